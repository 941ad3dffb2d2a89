// kept.cpp - the kept graph: G between the calls of a long-lived process,
// the file it is the graph of, the places of its lines in that file, and
// the indexes derived from it. It alone owns G and decides when G is
// forgotten. The rules, in one place (PM_ASSERT checks them where they are
// relied on):
//
//  1. G is reused for a call only while it is the graph of the graph file
//     as it is now. What tells is the file's identity (device, inode, size,
//     modification and status-change times, from one stat), the
//     fingerprint of the text G was loaded from or saved as, and whether
//     that identity is settled (rules 2 and 3).
//  2. An identity is settled when it was seen at a moment later than its
//     times by more than the granularity of the file system's clock: every
//     change after that moment gets later times, so the same identity later
//     proves the same file. A file system's clock may count whole seconds
//     (ext4 with small inodes, FAT) or scheduler ticks (ramfs; ext4 before
//     Linux 6.13): within one unit, a writer of ours that got the same inode
//     back, or any program writing in place, leaves the identity as it was.
//     The granularity is judged from the times themselves (see
//     clock_window) and is never less than two ticks.
//     An identity is also settled as soon as it is seen when the file
//     system gives every change after a look new times (checked once per
//     process and device, at the first reuse that needed a fingerprint:
//     plat_change_times_fine) and this process holds that very file open
//     (hold_file_open): no change can then keep its times, and no other
//     file can get its inode number while it is held. The hold passes to
//     the next file kept; it keeps one replaced file's blocks on disk until
//     then.
//  3. While the identity is not settled, G is reused only when the file's
//     bytes still have the fingerprint of G's text; the look that finds so
//     settles it when rule 2 allows. A save or load whose identity is
//     settled at once takes no fingerprint. The fingerprint is a keyed
//     hash whose key is drawn from the system's random source by each
//     process, so no other text can be made to match it.
//  4. Line places: an entity or relation whose line_at is not 0 has its
//     line, byte for byte as a save formats it now, at that place in the
//     file of the last save (g_lines). Every edit function of the store
//     clears the place of what it changes (graph.cpp), and a load clears
//     them all; only a save sets them.
//  5. A save copies the lines whose place is known from that file while it
//     is provably the file that save wrote: the same identity, and settled
//     or with the fingerprint of what that save wrote, looked at after the
//     copy. Otherwise the save fails and nothing is replaced. The fingerprint
//     of the new file is taken from the bytes on their way into it.
//  6. In tests (g_check_copies), a save that copied lines also formats the
//     whole graph and fails unless the file it wrote is exactly that text.
//  7. An index derived from G (the rows of DERIVED below: the relations by
//     entity, index.cpp) describes G as it is now: built from G on first
//     use, told of every edit of G by G's watch (kept_watch), which keeps it
//     in step or drops it, and dropped before G is cleared or rebuilt.
//  8. Reads are handed G as a const graph (graph_open); only the store's
//     edit functions change it, inside a transaction (txn.cpp), and every
//     edit forgets it (kept_watch); only a save keeps it again: a change
//     that fails is never answered from memory. This file alone forgets G.
#include <cstring>

#include "store_internal.h"

int g_graph_reused;
int g_check_copies;
uint32_t g_cut_refused;

namespace {

// The indexes derived from G (rule 7).
const derived_index DERIVED[] = {
    {rel_index_edited, rel_index_drop},
};

// G's watch: every edit of G, and G's clearing, comes here (rules 7 and 8).
// A change holds the lock and keeps it fresh per edit, as a long one must
// (graph_lock_fresh is a clock read unless half a second has passed).
void kept_watch(const graph *g, graph_change what, uint64_t at) {
    PM_ASSERT(g == &G);
    graph_forget();
    if (what == CHANGE_CLEARED) {
        for (const derived_index &d : DERIVED) d.drop();
        return;
    }
    graph_lock_fresh();
    for (const derived_index &d : DERIVED) d.edited(g, what, at);
}

}  // namespace

// Empty, with kept.cpp's watch from the start.
constinit graph G = [] {
    graph g = {};
    g.watch = kept_watch;
    return g;
}();

namespace {

/*------------------------------------------------------------------------------
 * Fingerprints (rule 3)
 *----------------------------------------------------------------------------*/

// A fingerprint runs LANES independent chains of keyed multiplies, each over
// one 8-byte word of every BLOCK bytes: four lanes keep a core's multipliers
// busy, and a block of 32 bytes is taken in one step.
const int LANES = 4;
const size_t WORD = sizeof(uint64_t);
const size_t BLOCK = LANES * WORD;

// The key of this process, drawn once: a key for each lane, one that every
// multiply of a block takes too (KEY_MIX), and one for the finish (KEY_END).
const int KEY_MIX = LANES, KEY_END = LANES + 1;
uint64_t g_key[LANES + 2];
int g_key_drawn;

// One 64 x 64 -> 128-bit multiply folded to 64 bits: every bit of a and of
// b moves bits of the result.
inline uint64_t mix(uint64_t a, uint64_t b) {
    __uint128_t p = (__uint128_t)a * b;
    return (uint64_t)p ^ (uint64_t)(p >> 64);
}

inline uint64_t load64(const unsigned char *p) {
    uint64_t v;
    memcpy(&v, p, WORD);
    return v;
}

// A fingerprint being taken over bytes that come in pieces of any size.
struct print_state {
    uint64_t v[LANES];         // the lanes
    uint64_t total;            // bytes taken
    unsigned char tail[BLOCK]; // bytes of an unfinished block
    size_t tail_len;
};

void print_start(print_state *p) {
    if (!g_key_drawn) {
        plat_random(g_key, sizeof g_key);
        for (uint64_t &k : g_key) k |= 1;  // odd: no multiply by zero keys
        g_key_drawn = 1;
    }
    for (int i = 0; i < LANES; i++) p->v[i] = g_key[i];
    p->total = 0;
    p->tail_len = 0;
}

inline void print_block(print_state *p, const unsigned char *b) {
    for (int i = 0; i < LANES; i++)
        p->v[i] = mix(load64(b + WORD * i) ^ g_key[i], p->v[i] ^ g_key[KEY_MIX]);
}

void print_add(print_state *p, const void *data, size_t n) {
    const unsigned char *s = (const unsigned char *)data;
    p->total += n;
    if (p->tail_len) {
        size_t take = BLOCK - p->tail_len < n ? BLOCK - p->tail_len : n;
        memcpy(p->tail + p->tail_len, s, take);
        p->tail_len += take;
        s += take;
        n -= take;
        if (p->tail_len < BLOCK) return;
        print_block(p, p->tail);
        p->tail_len = 0;
    }
    for (; n >= BLOCK; s += BLOCK, n -= BLOCK) print_block(p, s);
    memcpy(p->tail, s, n);
    p->tail_len = n;
}

uint64_t print_end(print_state *p) {
    memset(p->tail + p->tail_len, 0, BLOCK - p->tail_len);
    print_block(p, p->tail);
    uint64_t h = mix(p->total ^ g_key[KEY_END], g_key[KEY_MIX]);
    for (int i = 0; i < LANES; i++) h = mix(h ^ p->v[i], g_key[KEY_END]);
    return h;
}

// Reads bytes of the file open at fd from off on and adds them to p, a
// block at a time, until the file ends or len bytes were taken (out, when
// not null, takes them too; p may be null when only out wants them).
// Returns the count, or -1 on an I/O error.
const size_t READ_BLOCK = (size_t)1 << 18;  // 256 KiB: fits the second-level cache

int64_t print_file(int fd, int64_t off, uint64_t len, print_state *p, void *out) {
    static unsigned char *block;
    if (!block) block = (unsigned char *)mem_alloc(READ_BLOCK);
    if (!block) return -1;
    uint64_t done = 0;
    while (done < len) {
        size_t want = len - done < READ_BLOCK ? (size_t)(len - done) : READ_BLOCK;
        int64_t got = plat_read_at(fd, off + (int64_t)done, block, want);
        if (got < 0) return -1;
        if (p) print_add(p, block, (size_t)got);
        if (out && got > 0 && plat_stream_put(out, block, (size_t)got) != 0) return -1;
        done += (uint64_t)got;
        if ((size_t)got < want) break;
    }
    return (int64_t)done;
}

/*------------------------------------------------------------------------------
 * The kept graph and its file (rules 1 to 3)
 *----------------------------------------------------------------------------*/

struct kept_file {
    int kept;            // 1 while G is the graph of the file of identity id
    plat_file_id id;     // that file's identity
    uint64_t print;      // the fingerprint of G's text, as loaded or saved
    int settled;         // 1 when id alone proves the file unchanged (rule 2)
};
kept_file g_kept;

// The lines of the last save (rule 4): while ok, every entity and relation
// of G whose line_at is not 0 has its line at that place in the file of
// identity id, whose text has the fingerprint print.
struct saved_lines {
    int ok;
    plat_file_id id;
    uint64_t print;
    int settled;         // as g_kept.settled, for that file
};
saved_lines g_lines;

int same_id(const plat_file_id *a, const plat_file_id *b) {
    return a->dev == b->dev && a->ino == b->ino && a->size == b->size &&
           a->mtime_ns == b->mtime_ns && a->ctime_ns == b->ctime_ns;
}

// The file this process holds open (rule 2): fd -1 when none.
struct held_file {
    int fd;
    plat_file_id id;  // its identity when opened
};
held_file g_held = {-1, {}};

// What plat_change_times_fine found for the device dev (fine: -1 not yet
// asked).
struct clock_kind {
    int fine;
    uint64_t dev;
};
clock_kind g_clock = {-1, 0};

// 1 when the file system of the graph file, of device dev, dates every
// change after a look anew. Asked once per device, and only by a process
// that reuses a kept graph (may_ask): a one-shot process never pays for it.
int fine_times(uint64_t dev, int may_ask) {
    if (g_clock.fine >= 0 && g_clock.dev == dev) return g_clock.fine;
    if (!may_ask) return 0;
    char target[GRAPH_PATH_CAP], scratch[SIDE_PATH_CAP];
    uint64_t seen = 0;
    g_clock.fine = 0;
    g_clock.dev = dev;
    if (graph_write_target(target, sizeof target) == STORE_OK &&
        graph_temp_path(target, scratch, sizeof scratch) == STORE_OK)
        g_clock.fine = plat_change_times_fine(scratch, &seen) == 1 && seen == dev;
    return g_clock.fine;
}

// 1 while this process holds the file of identity id open.
int holds_file_open(const plat_file_id *id) {
    return g_held.fd >= 0 && same_id(&g_held.id, id);
}

// Holds the graph file open when it is (still) the file of identity id on
// a file system of fine times (asked when may_ask), letting go of the file
// held before: 1 then, and id is settled (rule 2); 0 otherwise, the file
// held before still held.
int hold_file_open(const plat_file_id *id, int may_ask) {
    if (holds_file_open(id)) return 1;
    if (!fine_times(id->dev, may_ask)) return 0;
    plat_file_id opened;
    int fd = plat_open_read(g_path, &opened);
    if (fd < 0) return 0;
    if (!same_id(&opened, id)) {
        plat_close(fd);
        return 0;
    }
    plat_close(g_held.fd);
    g_held.fd = fd;
    g_held.id = opened;
    PM_ASSERT(holds_file_open(id));
    return 1;
}

// The least a file clock's unit is taken to be: two scheduler ticks of the
// slowest common rate (100 Hz), since a tick-based clock reads the last
// tick and a change may fall just before the next.
const int64_t TICKS_NS = 20 * 1000000LL;

const int64_t NS_PER_S = 1000000000LL;

// The largest power of ten, up to a second, that divides the fraction of a
// second of t: the unit of a clock that keeps no finer time.
int64_t unit_of(int64_t t) {
    int64_t frac = t % NS_PER_S;
    if (frac < 0) frac += NS_PER_S;
    if (frac == 0) return NS_PER_S;
    int64_t unit = 1;
    while (unit < NS_PER_S && frac % (unit * 10) == 0) unit *= 10;
    return unit;
}

// How long after a file's times its clock is surely past them: two of the
// coarser unit its two times show (a clock of 2-second steps shows whole
// seconds), and never less than TICKS_NS.
int64_t clock_window(const plat_file_id *id) {
    int64_t a = unit_of(id->mtime_ns), b = unit_of(id->ctime_ns);
    int64_t unit = a > b ? a : b;
    return 2 * unit + TICKS_NS;
}

// Rule 2: 1 when an identity seen at the moment seen_at (taken before the
// look) is settled. A file dated ahead of this clock never is.
int settles(const plat_file_id *id, int64_t seen_at) {
    int64_t latest = id->mtime_ns > id->ctime_ns ? id->mtime_ns : id->ctime_ns;
    return seen_at - latest >= clock_window(id);
}

// The fingerprint of the whole file at path, with the identity it had when
// it was opened. False when it cannot be read.
bool print_of_path(const char *path, plat_file_id *id, uint64_t *print) {
    int fd = plat_open_read(path, id);
    if (fd < 0) return false;
    print_state p;
    print_start(&p);
    int64_t n = print_file(fd, 0, (uint64_t)id->size + 1, &p, nullptr);
    plat_close(fd);
    if (n != id->size) return false;
    *print = print_end(&p);
    return true;
}

// Keeps G, from now on, as the graph of the file of identity id, whose text
// has the fingerprint print when printed: rule 3, an identity that is not
// settled is kept only with the fingerprint of G's text.
void keep_as_graph_of(const plat_file_id *id, uint64_t print, int printed, int settled) {
    PM_ASSERT(settled || printed);
    g_kept.kept = 1;
    g_kept.id = *id;
    g_kept.print = print;
    g_kept.settled = settled;
}

// Rules 1 to 3 for a file whose identity id was just seen (at seen_at): 1
// when G may be reused.
int reusable(const plat_file_id *id, int64_t seen_at) {
    if (!g_kept.kept || !same_id(id, &g_kept.id)) return 0;
    if (g_kept.settled) return 1;
    plat_file_id opened;
    uint64_t print;
    if (!print_of_path(g_path, &opened, &print) || !same_id(&opened, id) ||
        print != g_kept.print)
        return 0;
    if (settles(id, seen_at) || hold_file_open(id, 1)) {
        g_kept.settled = 1;
        if (g_lines.ok && same_id(&g_lines.id, id)) g_lines.settled = 1;
    }
    return 1;
}

}  // namespace

void graph_forget(void) {
    g_kept.kept = 0;
    g_graph_reused = 0;
}

store_rc graph_load(void) {
    g_graph_reused = 0;
    store_rc rc = ensure_path();
    if (rc != STORE_OK) {
        graph_clear(&G);
        return rc;
    }
    int64_t seen_at = plat_now_ns();
    plat_file_id id;
    int seen = plat_file_identity(g_path, &id);
    if (seen == 1 && reusable(&id, seen_at)) {
        // Rule 1: the file is the one G is the graph of.
        PM_ASSERT(g_kept.kept && same_id(&id, &g_kept.id) && G.watch == kept_watch);
        g_graph_reused = 1;
        return STORE_OK;
    }
    graph_clear(&G);  // G's watch forgets it and drops what was derived from it
    g_lines.ok = 0;
    char *data;
    size_t n;
    // Any allocation refused from here on fails the load: a line that went
    // without memory would otherwise count as unreadable, and the graph
    // would not be the file's.
    uint64_t refused = mem_refusals();
    plat_file_id read_id;
    rc = file_read_whole(g_path, GRAPH_READ_MAX, &data, &n, &read_id);
    if (rc != STORE_OK)
        return rc == STORE_OOM || mem_refusals() != refused ? STORE_OOM : STORE_UNREADABLE;
    if (!data) return STORE_OK;
    // The text read is the file of that identity or a later one (a change
    // while it was read gives the file another identity, and the next load
    // reads it again). Its fingerprint is needed only while the identity
    // is not settled; the build writes over the text.
    int settled = seen == 1 && (settles(&id, seen_at) || hold_file_open(&id, 0));
    uint64_t print = 0;
    if (seen == 1 && !settled) {
        print_state p;
        print_start(&p);
        print_add(&p, data, n);
        print = print_end(&p);
    }
    graph g = {};
    graph_build(&g, data, n, 1);
    if (mem_refusals() != refused) {
        graph_clear(&g);
        return STORE_OOM;
    }
    g.watch = kept_watch;
    G = g;
    if (seen == 1) keep_as_graph_of(&id, print, !settled, settled);
    return STORE_OK;
}

/*------------------------------------------------------------------------------
 * Saves (rules 4 to 6)
 *----------------------------------------------------------------------------*/

namespace {

// Formatted text is written out once this much of it has gathered: 1 MiB
// makes a few dozen writes of the largest file, and a save holds no more
// than that of text at a time.
const uint64_t SAVE_BLOCK = (uint64_t)1 << 20;

// A save being written: the lines whose place in the file of the last save
// is known are copied from that file, in runs of adjacent lines; the others
// are formatted and written a block at a time. Every byte goes through the
// fingerprint of the new file on its way.
struct save_run {
    int src;              // the file of the last save, open for reading; -1
                          // when every line is formatted
    plat_file_id src_id;  // its identity when it was opened
    buf text;             // formatted lines not written yet
    uint64_t run_at;      // where the run of lines to copy starts in src
    uint64_t run_len;     // its bytes; 0 while there is none
    uint64_t copied;      // bytes copied from src in all
    uint64_t size;        // bytes of the new file so far, text and run included
    print_state print;    // the fingerprint of the bytes written so far
    uint64_t fingerprint; // the new file's, once the last byte is written
    int printing;         // 1 when it is taken: not when the new file will
                          // be held on a file system of fine times (rule 3)
    int loads;            // 1 while a load of the new file would give G back
    store_rc failed;      // why the save stopped, or STORE_OK
};

store_rc run_write_text(save_run *s, void *f) {
    if (!s->text.len) return STORE_OK;
    if (s->printing) print_add(&s->print, s->text.data, (size_t)s->text.len);
    int r = plat_stream_put(f, s->text.data, (size_t)s->text.len);
    s->text.len = 0;
    s->text.data[0] = 0;
    graph_lock_fresh();
    return r == 0 ? STORE_OK : STORE_WRITE;
}

store_rc run_copy(save_run *s, void *f) {
    if (!s->run_len) return STORE_OK;
    // Rule 5: copied only from the file of the last save.
    PM_ASSERT(s->src >= 0 && same_id(&s->src_id, &g_lines.id));
    uint64_t want = s->run_len;
    int64_t n = print_file(s->src, (int64_t)s->run_at, want, s->printing ? &s->print : nullptr, f);
    s->copied += want;
    s->run_len = 0;
    graph_lock_fresh();
    if (n < 0) return STORE_WRITE;
    // The file ends before the lines it held: it was cut meanwhile.
    return (uint64_t)n == want ? STORE_OK : STORE_CHANGED;
}

// Puts the line of e (or, when e is null, of r) into the new file: copied
// from the last save's file when its place there is known, else formatted.
// *at and *len become its place in the new file. Returns STORE_OK, or the
// failure, also set in s->failed.
store_rc run_line(save_run *s, void *f, const ent *e, const rel *r, uint32_t *at, uint32_t *len) {
    uint64_t n;
    if (s->src >= 0 && *at) {
        // Rule 4: a known place lies within the file of the last save.
        PM_ASSERT((uint64_t)*at - 1 + *len <= (uint64_t)s->src_id.size);
        n = *len;
        if ((s->failed = run_write_text(s, f)) != STORE_OK) return s->failed;
        if (s->run_len && s->run_at + s->run_len == (uint64_t)*at - 1) {
            s->run_len += n;
        } else {
            if ((s->failed = run_copy(s, f)) != STORE_OK) return s->failed;
            s->run_at = (uint64_t)*at - 1;
            s->run_len = n;
        }
    } else {
        if ((s->failed = run_copy(s, f)) != STORE_OK) return s->failed;
        uint64_t before = s->text.len;
        if (e) {
            format_ent(&s->text, e);
            s->loads &= ent_loads(e);
        } else {
            format_rel(&s->text, r);
            s->loads &= rel_loads(r);
        }
        // Never replace the file by a text with a piece missing.
        if (s->text.dropped) return s->failed = STORE_SAVE_OOM;
        n = s->text.len - before;
    }
    // A file no load could read again would lose the whole graph.
    if (s->size + n > (uint64_t)GRAPH_READ_MAX) return s->failed = STORE_TOO_LARGE;
    *at = (uint32_t)(s->size + 1);
    *len = (uint32_t)n;
    s->size += n;
    if (s->text.len >= SAVE_BLOCK) s->failed = run_write_text(s, f);
    return s->failed;
}

// Rule 5: 1 when the copied lines are provably those of the last save's
// file: it is the same file, and its identity was settled or its bytes
// still have the fingerprint of what that save wrote.
int source_unchanged(save_run *s) {
    plat_file_id now;
    if (plat_fd_identity(s->src, &now) != 1 || !same_id(&now, &s->src_id)) return 0;
    if (g_lines.settled) return 1;
    print_state p;
    print_start(&p);
    int64_t n = print_file(s->src, 0, (uint64_t)now.size + 1, &p, nullptr);
    return n == now.size && print_end(&p) == g_lines.print;
}

// Rule 6: 1 when the new file's text, fingerprint, equals the whole graph
// as the formatter writes it.
int copies_match(uint64_t fingerprint, uint64_t size) {
    buf b;
    buf_init(&b);
    graph_format(&G, &b);
    print_state p;
    print_start(&p);
    print_add(&p, b.data ? b.data : "", (size_t)b.len);
    int same = !b.dropped && b.len == size && print_end(&p) == fingerprint;
    buf_free(&b);
    return same;
}

// Writes G into the temporary file f of a save (see replace_with).
store_rc save_fill(void *f, void *ctx) {
    save_run *s = (save_run *)ctx;
    uint64_t max_obs = (uint64_t)limit_max_obs();
    for (uint64_t i = 0; i < G.ent_count && !s->failed; i++) {
        ent *e = &G.ents[i];
        s->loads &= e->obs_count <= max_obs;
        run_line(s, f, e, nullptr, &e->line_at, &e->line_len);
    }
    for (uint64_t i = 0; i < G.rel_count && !s->failed; i++) {
        rel *r = &G.rels[i];
        run_line(s, f, nullptr, r, &r->line_at, &r->line_len);
    }
    if (!s->failed) s->failed = run_copy(s, f);
    if (!s->failed) {
        uint64_t before = s->text.len;
        format_bad(&G, &s->text);
        if (s->text.dropped)
            s->failed = STORE_SAVE_OOM;
        else if (s->size + (s->text.len - before) > (uint64_t)GRAPH_READ_MAX)
            s->failed = STORE_TOO_LARGE;
        else
            s->size += s->text.len - before;
    }
    if (!s->failed) s->failed = run_write_text(s, f);
    // Not the disk's fault: another program wrote the file in place.
    if (!s->failed && s->copied && !source_unchanged(s)) s->failed = STORE_CHANGED;
    // Closed before the rename, so that the old file goes with the rename,
    // not later at a close that would find it unlinked and free it then.
    plat_close(s->src);
    s->src = -1;
    s->fingerprint = print_end(&s->print);
    if (!s->failed && s->copied && g_check_copies && !copies_match(s->fingerprint, s->size))
        s->failed = STORE_COPY_DIFFERS;
    return s->failed;
}

}  // namespace

store_rc graph_save(void) {
    graph_forget();
    saved_lines lines = g_lines;
    g_lines.ok = 0;
    store_rc rc = ensure_path();
    if (rc != STORE_OK) return rc;
    // What the load left out would be gone with this save.
    if (G.cut & (CUT_OBS | CUT_BAD)) {
        g_cut_refused = G.cut;
        return STORE_CUT;
    }
    save_run s = {};
    s.src = -1;
    buf_init(&s.text);
    print_start(&s.print);
    plat_file_id cur;
    s.printing = g_check_copies || g_clock.fine != 1 || plat_file_identity(g_path, &cur) != 1 ||
                 !fine_times(cur.dev, 0);
    s.loads = G.bad_count == 0 && G.ent_count <= (uint64_t)limit_max_entities() &&
              G.rel_count <= (uint64_t)limit_max_relations();
    // The lines of the last save are copied from its file when that file is
    // still the graph file, as it was written.
    if (lines.ok && G.bad_count == 0) {
        s.src = plat_open_read(g_path, &s.src_id);
        if (s.src >= 0 && !same_id(&s.src_id, &lines.id)) {
            plat_close(s.src);
            s.src = -1;
        }
    }
    g_lines = lines;  // source_unchanged reads it
    g_lines.ok = 0;
    plat_file_id id;
    int identified = 0;
    rc = replace_with(save_fill, &s, &id, &identified);
    plat_close(s.src);
    buf_free(&s.text);
    // G is now the graph of the file just written, whose fingerprint the
    // save took. Unless a load of that file would give another graph (an
    // unreadable line that a load could read now, below a limit a deletion
    // made room under; a text or count a load would leave out): then the
    // next call loads it.
    int settled = identified && s.loads && hold_file_open(&id, 0);
    if (identified && s.loads && (settled || s.printing)) {
        keep_as_graph_of(&id, s.fingerprint, s.printing, settled);
        g_lines.ok = 1;
        g_lines.id = id;
        g_lines.print = s.fingerprint;
        g_lines.settled = settled;
    }
    return rc;
}

/*------------------------------------------------------------------------------
 * Relations by entity (rule 7)
 *----------------------------------------------------------------------------*/

// Built for G only, and only in a call that reused it: a single call scans
// the relations instead, which costs less than building.
int rels_by_entity_ready(const graph *g) { return g == &G && rel_index_ready(g, g_graph_reused); }

void rels_of_entity(const graph *g, uint64_t entity, const uint32_t **list, uint64_t *count) {
    PM_ASSERT(g == &G);
    rel_index_of(g, entity, list, count);
}
