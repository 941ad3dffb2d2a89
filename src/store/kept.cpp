// kept.cpp - the kept graph: G between the calls of a long-lived process,
// the file it is the graph of, the places of its lines in that file, and
// the index of its relations by entity. The rules, in one place:
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
//     (g_held): no change can then keep its times, and no other file can
//     get its inode number while it is held. The hold passes to the next
//     file kept; it keeps one replaced file's blocks on disk until then.
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
//  7. The relation index (rels_by_entity_*) describes G only while G is
//     reused unchanged: built on first use in a call that reused G, dropped
//     whenever G may change (graph_forget).
//  8. Reads are handed G as a const graph (graph_open); only the store's
//     edit functions change it, inside a transaction (txn.cpp), which
//     forgets G before the first edit: a change that fails is never
//     answered from memory.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "store.h"
#include "store_internal.h"

int g_graph_reused;
int g_check_copies;

namespace {

/*------------------------------------------------------------------------------
 * Fingerprints (rule 3)
 *----------------------------------------------------------------------------*/

// The key of this process, drawn once.
uint64_t g_key[6];
int g_key_drawn;

inline uint64_t mix(uint64_t a, uint64_t b) {
    __uint128_t p = (__uint128_t)a * b;
    return (uint64_t)p ^ (uint64_t)(p >> 64);
}

inline uint64_t load64(const unsigned char *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

// A fingerprint being taken over bytes that come in pieces of any size:
// four lanes of 8 bytes at a time, each its own chain of keyed multiplies.
struct print_state {
    uint64_t v[4];
    uint64_t total;            // bytes taken
    unsigned char tail[32];    // bytes of an unfinished block
    size_t tail_len;
};

void print_start(print_state *p) {
    if (!g_key_drawn) {
        plat_random(g_key, sizeof g_key);
        for (uint64_t &k : g_key) k |= 1;  // odd: no multiply by zero keys
        g_key_drawn = 1;
    }
    for (int i = 0; i < 4; i++) p->v[i] = g_key[i];
    p->total = 0;
    p->tail_len = 0;
}

inline void print_block(print_state *p, const unsigned char *b) {
    for (int i = 0; i < 4; i++) p->v[i] = mix(load64(b + 8 * i) ^ g_key[i], p->v[i] ^ g_key[4]);
}

void print_add(print_state *p, const void *data, size_t n) {
    const unsigned char *s = (const unsigned char *)data;
    p->total += n;
    if (p->tail_len) {
        size_t take = 32 - p->tail_len < n ? 32 - p->tail_len : n;
        memcpy(p->tail + p->tail_len, s, take);
        p->tail_len += take;
        s += take;
        n -= take;
        if (p->tail_len < 32) return;
        print_block(p, p->tail);
        p->tail_len = 0;
    }
    for (; n >= 32; s += 32, n -= 32) print_block(p, s);
    memcpy(p->tail, s, n);
    p->tail_len = n;
}

uint64_t print_end(print_state *p) {
    memset(p->tail + p->tail_len, 0, 32 - p->tail_len);
    print_block(p, p->tail);
    uint64_t h = mix(p->total ^ g_key[5], g_key[4]);
    for (int i = 0; i < 4; i++) h = mix(h ^ p->v[i], g_key[5]);
    return h;
}

// Reads bytes of the file open at fd from off on and adds them to p, a
// block at a time, until the file ends or len bytes were taken (out, when
// not null, takes them too; p may be null when only out wants them).
// Returns the count, or -1 on an I/O error.
const size_t READ_BLOCK = (size_t)1 << 18;  // fits the second-level cache

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
    char target[sizeof g_path], scratch[sizeof g_path + 48];
    uint64_t seen = 0;
    g_clock.fine = 0;
    g_clock.dev = dev;
    if (graph_write_target(target, sizeof target) == 0) {
        graph_temp_path(target, scratch, sizeof scratch);
        g_clock.fine = plat_change_times_fine(scratch, &seen) == 1 && seen == dev;
    }
    return g_clock.fine;
}

// 1 while this process holds the file of identity id.
int held(const plat_file_id *id) { return g_held.fd >= 0 && same_id(&g_held.id, id); }

// Holds the graph file open when it is (still) the file of identity id on
// a file system of fine times (asked when may_ask): 1 then, and id is
// settled (rule 2).
int hold(const plat_file_id *id, int may_ask) {
    if (held(id)) return 1;
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
    return 1;
}

// The least a file clock's unit is taken to be: two scheduler ticks of the
// slowest common rate (100 Hz), since a tick-based clock reads the last
// tick and a change may fall just before the next.
const int64_t TICKS_NS = 20 * 1000000LL;

// The largest power of ten, up to a second, that divides the fraction of a
// second of t: the unit of a clock that keeps no finer time.
int64_t unit_of(int64_t t) {
    int64_t frac = t % 1000000000LL;
    if (frac < 0) frac += 1000000000LL;
    if (frac == 0) return 1000000000LL;
    int64_t unit = 1;
    while (unit < 1000000000LL && frac % (unit * 10) == 0) unit *= 10;
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
// it was opened. Returns 1, or 0 when it cannot be read.
int print_of_path(const char *path, plat_file_id *id, uint64_t *print) {
    int fd = plat_open_read(path, id);
    if (fd < 0) return 0;
    print_state p;
    print_start(&p);
    int64_t n = print_file(fd, 0, (uint64_t)id->size + 1, &p, nullptr);
    plat_close(fd);
    if (n != id->size) return 0;
    *print = print_end(&p);
    return 1;
}

void keep(const plat_file_id *id, uint64_t print, int settled) {
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
    if (settles(id, seen_at) || hold(id, 1)) {
        g_kept.settled = 1;
        if (g_lines.ok && same_id(&g_lines.id, id)) g_lines.settled = 1;
    }
    return 1;
}

}  // namespace

void graph_forget(void) {
    g_kept.kept = 0;
    g_graph_reused = 0;
    rels_by_entity_drop();
}

int graph_load(void) {
    g_data_err[0] = 0;
    g_graph_reused = 0;
    if (!g_path_resolved && !ensure_path()) {
        graph_forget();
        graph_clear(&G);
        return -1;
    }
    int64_t seen_at = plat_now_ns();
    plat_file_id id;
    int seen = plat_file_identity(g_path, &id);
    if (seen == 1 && reusable(&id, seen_at)) {
        g_graph_reused = 1;
        return 0;
    }
    graph_forget();
    graph_clear(&G);
    g_lines.ok = 0;
    char *data;
    size_t n;
    // Any allocation refused from here on fails the load: a line that went
    // without memory would otherwise count as unreadable, and the graph
    // would not be the file's.
    uint64_t refused = mem_refusals();
    int r = graph_file_read(g_path, &data, &n);
    if (r < 0 && mem_refusals() != refused) {
        str_copy(g_data_err, sizeof g_data_err, "out of memory");
        return -1;
    }
    if (r < 0) {
        snprintf(g_data_err, sizeof g_data_err,
                 "cannot read the graph file (permission, or larger than %d MB)", GRAPH_READ_MAX_MB);
        return -1;
    }
    if (r == 0) return 0;
    // The text read is the file of that identity or a later one (a change
    // while it was read gives the file another identity, and the next load
    // reads it again). Its fingerprint is needed only while the identity
    // is not settled; the build writes over the text.
    int settled = seen == 1 && (settles(&id, seen_at) || hold(&id, 0));
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
        str_copy(g_data_err, sizeof g_data_err, "out of memory");
        return -1;
    }
    G = g;
    if (seen == 1) keep(&id, print, settled);
    return 0;
}

/*------------------------------------------------------------------------------
 * Saves (rules 4 to 6)
 *----------------------------------------------------------------------------*/

namespace {

void set_err(char *err, size_t size, const char *msg) {
    if (err && size) snprintf(err, size, "%s", msg);
}

// Formatted text is written out once this much of it has gathered.
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
    int failed;           // why the save stopped: 0, or one of the SAVE_* below
};
enum { SAVE_IO = 1, SAVE_OOM, SAVE_TOO_LARGE, SAVE_SOURCE_CHANGED, SAVE_COPY_DIFFERS };

int run_write_text(save_run *s, void *f) {
    if (!s->text.len) return 0;
    if (s->printing) print_add(&s->print, s->text.data, (size_t)s->text.len);
    int r = plat_stream_put(f, s->text.data, (size_t)s->text.len);
    s->text.len = 0;
    s->text.data[0] = 0;
    graph_lock_fresh();
    return r;
}

int run_copy(save_run *s, void *f) {
    if (!s->run_len) return 0;
    int64_t n = print_file(s->src, (int64_t)s->run_at, s->run_len, s->printing ? &s->print : nullptr, f);
    int r = n == (int64_t)s->run_len ? 0 : -1;
    s->copied += s->run_len;
    s->run_len = 0;
    graph_lock_fresh();
    return r;
}

// Puts the line of e (or, when e is null, of r) into the new file: copied
// from the last save's file when its place there is known, else formatted.
// *at and *len become its place in the new file. Returns 0, or -1 with
// s->failed set.
int run_line(save_run *s, void *f, const ent *e, const rel *r, uint32_t *at, uint32_t *len) {
    uint64_t n;
    if (s->src >= 0 && *at) {
        n = *len;
        if (run_write_text(s, f) != 0) return s->failed = SAVE_IO, -1;
        if (s->run_len && s->run_at + s->run_len == (uint64_t)*at - 1) {
            s->run_len += n;
        } else {
            if (run_copy(s, f) != 0) return s->failed = SAVE_IO, -1;
            s->run_at = (uint64_t)*at - 1;
            s->run_len = n;
        }
    } else {
        if (run_copy(s, f) != 0) return s->failed = SAVE_IO, -1;
        uint64_t before = s->text.len;
        if (e) {
            format_ent(&s->text, e);
            s->loads &= ent_loads(e);
        } else {
            format_rel(&s->text, r);
            s->loads &= rel_loads(r);
        }
        // Never replace the file by a text with a piece missing.
        if (s->text.dropped) return s->failed = SAVE_OOM, -1;
        n = s->text.len - before;
    }
    // A file no load could read again would lose the whole graph.
    if (s->size + n > (uint64_t)GRAPH_READ_MAX) return s->failed = SAVE_TOO_LARGE, -1;
    *at = (uint32_t)(s->size + 1);
    *len = (uint32_t)n;
    s->size += n;
    if (s->text.len >= SAVE_BLOCK && run_write_text(s, f) != 0) return s->failed = SAVE_IO, -1;
    return 0;
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
int save_fill(void *f, void *ctx, char *err, size_t err_size) {
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
    if (!s->failed && run_copy(s, f) != 0) s->failed = SAVE_IO;
    if (!s->failed) {
        uint64_t before = s->text.len;
        format_bad(&G, &s->text);
        if (s->text.dropped)
            s->failed = SAVE_OOM;
        else if (s->size + (s->text.len - before) > (uint64_t)GRAPH_READ_MAX)
            s->failed = SAVE_TOO_LARGE;
        else
            s->size += s->text.len - before;
    }
    if (!s->failed && run_write_text(s, f) != 0) s->failed = SAVE_IO;
    if (!s->failed && s->copied && !source_unchanged(s)) s->failed = SAVE_SOURCE_CHANGED;
    // Closed before the rename, so that the old file goes with the rename,
    // not later at a close that would find it unlinked and free it then.
    plat_close(s->src);
    s->src = -1;
    s->fingerprint = print_end(&s->print);
    if (!s->failed && s->copied && g_check_copies && !copies_match(s->fingerprint, s->size))
        s->failed = SAVE_COPY_DIFFERS;
    switch (s->failed) {
    case 0:
        return 0;
    case SAVE_OOM:
        set_err(err, err_size, "out of memory while writing the graph");
        break;
    case SAVE_TOO_LARGE:
        if (err && err_size)
            snprintf(err, err_size, "the graph would be larger than %d MB; delete something first",
                     GRAPH_READ_MAX_MB);
        break;
    case SAVE_SOURCE_CHANGED:
        // Not the disk's fault: another program wrote the file in place.
        set_err(err, err_size, "cannot write the graph file");
        break;
    case SAVE_COPY_DIFFERS:
        set_err(err, err_size, "a copied line differs from its formatted text");
        break;
    default:
        set_err(err, err_size, "the graph is too large to write");
        break;
    }
    return -1;
}

}  // namespace

int graph_save(char *err, size_t err_size) {
    graph_forget();
    saved_lines lines = g_lines;
    g_lines.ok = 0;
    if (!path_ready(err, err_size)) return -1;
    // What the load left out would be gone with this save.
    if (G.cut & (CUT_OBS | CUT_BAD)) {
        cut_message(G.cut, err, err_size);
        return -1;
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
    int r = replace_with(save_fill, &s, &id, err, err_size);
    plat_close(s.src);
    buf_free(&s.text);
    // G is now the graph of the file just written, whose fingerprint the
    // save took. Unless a load of that file would give another graph (an
    // unreadable line that a load could read now, below a limit a deletion
    // made room under; a text or count a load would leave out): then the
    // next call loads it.
    int settled = r == 1 && s.loads && hold(&id, 0);
    if (r == 1 && s.loads && (settled || s.printing)) {
        keep(&id, s.fingerprint, settled);
        g_lines.ok = 1;
        g_lines.id = id;
        g_lines.print = s.fingerprint;
        g_lines.settled = settled;
    }
    return r < 0 ? -1 : 0;
}

/*------------------------------------------------------------------------------
 * Relations by entity (rule 7)
 *----------------------------------------------------------------------------*/

// The index of G: built on first use in a call that reused the kept graph,
// dropped whenever G may change.
struct rel_index {
    int built;            // 1 while the arrays describe G
    uint64_t ents, rels;  // G's counts when built (a change of either drops it)
    uint32_t *start;      // per entity + 1: where its relations begin in list
    uint32_t *list;       // relation numbers, grouped by entity, ascending in a group
};

static rel_index g_rels;

void rels_by_entity_drop(void) {
    mem_free(g_rels.start);
    mem_free(g_rels.list);
    memset(&g_rels, 0, sizeof g_rels);
}

// Entity number + 1 of the first entity of g bearing name, or 0.
static uint32_t first_named(const graph *g, const char *name) {
    if (!name) return 0;
    int64_t e = ent_lookup(g, name, strlen(name));
    return e < 0 ? 0 : (uint32_t)e + 1;
}

// Builds the index for g. Returns 1, or 0 when memory runs out (nothing is
// kept then and the callers scan).
static int build(const graph *g) {
    rels_by_entity_drop();
    // Entity and relation numbers are kept in 32 bits.
    if (g->ent_count >= UINT32_MAX || g->rel_count >= UINT32_MAX / 2) return 0;
    g_rels.start = (uint32_t *)mem_calloc((size_t)g->ent_count + 2, sizeof(uint32_t));
    uint32_t *ends = (uint32_t *)mem_alloc((size_t)g->rel_count * 2 * sizeof(uint32_t) + 1);
    if (!g_rels.start || !ends) {
        mem_free(ends);
        rels_by_entity_drop();
        return 0;
    }
    // Each relation goes to the first entity of each end's name (the walk
    // of a name reaches every entity of that name from there); counted,
    // then placed.
    uint64_t total = 0;
    for (uint64_t i = 0; i < g->rel_count; i++) {
        const rel *r = &g->rels[i];
        uint32_t f = first_named(g, r->from), t = first_named(g, r->to);
        if (t == f) t = 0;  // a relation of an entity with itself is listed once
        ends[2 * i] = f;
        ends[2 * i + 1] = t;
        if (f) g_rels.start[f]++;
        if (t) g_rels.start[t]++;
        total += (f != 0) + (t != 0);
    }
    for (uint64_t e = 1; e <= g->ent_count + 1; e++) g_rels.start[e] += g_rels.start[e - 1];
    g_rels.list = (uint32_t *)mem_alloc((size_t)total * sizeof(uint32_t) + 1);
    if (!g_rels.list) {
        mem_free(ends);
        rels_by_entity_drop();
        return 0;
    }
    // start[e] counts the relations of the entities up to number e - 1 here;
    // placing them backwards walks it back to where those of e - 1 begin.
    for (uint64_t i = g->rel_count; i-- > 0;) {
        for (int side = 1; side >= 0; side--) {
            uint32_t e = ends[2 * i + side];
            if (e) g_rels.list[--g_rels.start[e]] = (uint32_t)i;
        }
    }
    mem_free(ends);
    g_rels.ents = g->ent_count;
    g_rels.rels = g->rel_count;
    g_rels.built = 1;
    return 1;
}

int rels_by_entity_ready(const graph *g) {
    if (g != &G) return 0;
    if (g_rels.built && g_rels.ents == g->ent_count && g_rels.rels == g->rel_count) return 1;
    if (g_rels.built) rels_by_entity_drop();
    if (!g_graph_reused) return 0;
    return build(g);
}

void rels_of_entity(const graph *g, uint64_t entity, const uint32_t **list, uint64_t *count) {
    uint32_t first = first_named(g, g->ents[entity].name);
    if (!first) {
        *list = nullptr;
        *count = 0;
        return;
    }
    *list = g_rels.list + g_rels.start[first];
    *count = g_rels.start[first + 1] - g_rels.start[first];
}
