// lock.cpp - the writer's lock: a file beside the graph file, created
// exclusively, naming its holder precisely enough that a writer on the same
// machine can tell whether the holder still lives; removed at once when it
// does not, and after the stale limit when that cannot be told.
#include <cstdlib>
#include <cstring>

#include "store_internal.h"

char g_lock_path[LOCK_PATH_CAP];
int g_lock_held;
void (*g_lock_break_pause)(void);

// When the held lock was taken or last touched (plat_now_ns).
static int64_t g_lock_touched;

// A held lock is touched once this long has passed since it was taken or
// last touched: far inside the shortest stale limit (100 ms is the least
// MEMORY_LOCK_STALE_MS takes, but ages are counted in whole seconds, so
// nothing younger than a second is ever stale).
static const int64_t TOUCH_EVERY_NS = 500 * 1000000LL;

namespace {

// Bytes of a buffer for a lock's text: the holder_text of any process,
// "<pid>\n<tag> <start>\n" (at most 20 + 1 + 16 + 1 + 20 + 1 bytes), fits
// with room to spare. A lock file holding more is no lock of this program's
// making; its first 127 bytes are judged, and they name no holder.
const size_t LOCK_TEXT_CAP = 128;
static_assert(LOCK_TEXT_CAP > PID_TEXT_MAX + 1 + HOST_TAG_LEN + 1 + 20 + 1,
              "a holder's text fits a lock text buffer");

// What a lock file (or a temporary file's name) says about its holder.
enum holder_state {
    HOLDER_UNKNOWN,  // another machine or namespace, or an older form: only
                     // its age can tell
    HOLDER_ALIVE,    // a live process of this machine and namespace
    HOLDER_GONE,     // that process has ended
};

// The text this process writes into a lock it takes: its process id on the
// first line (as ever), then the tag of this machine and namespace and the
// process's start time. Without a tag only the first line is written. It
// always fits LOCK_TEXT_CAP bytes.
void holder_text(char out[LOCK_TEXT_CAP]) {
    unsigned long long start = 0;
    const char *tag = plat_host_tag();
    int fit = tag[0] && plat_pid_start(plat_pid(), &start) == 1
                  ? fmt_fits(out, LOCK_TEXT_CAP, "%ld\n%s %llu\n", plat_pid(), tag, start)
                  : fmt_fits(out, LOCK_TEXT_CAP, "%ld\n", plat_pid());
    PM_ASSERT(fit);
    (void)fit;
}

// The state of the process pid of this machine and namespace that started
// at start (a start of 0: not recorded, the process id alone decides).
holder_state process_state(long pid, unsigned long long start) {
    unsigned long long now_start = 0;
    int r = plat_pid_start(pid, &now_start);
    if (r == 0) return HOLDER_GONE;
    if (r < 0) return HOLDER_UNKNOWN;
    // The same id for a process that started later: the holder is gone.
    return start && now_start != start ? HOLDER_GONE : HOLDER_ALIVE;
}

// The holder a lock text names. text is the file's content.
holder_state text_state(const char *text) {
    char *end;
    long pid = strtol(text, &end, 10);
    if (end == text || pid <= 0 || *end != '\n') return HOLDER_UNKNOWN;
    const char *tag = plat_host_tag();
    const char *p = end + 1;
    size_t tag_len = strlen(tag);
    if (!tag_len || strncmp(p, tag, tag_len) != 0 || p[tag_len] != ' ') return HOLDER_UNKNOWN;
    unsigned long long start = strtoull(p + tag_len + 1, &end, 10);
    if (end == p + tag_len + 1 || *end != '\n' || !start) return HOLDER_UNKNOWN;
    if (pid == plat_pid()) {
        // This process, which does not hold the lock (it would not be
        // looking): a leftover of its own, or of an earlier process of the
        // same id.
        return HOLDER_GONE;
    }
    return process_state(pid, start);
}

// Reads a lock-sized file; "" when it cannot be read.
void read_lock_text(const char *path, char *out, size_t cap) {
    out[0] = 0;
    plat_file_id id;
    int fd = graph_open_read(path, &id);
    if (fd < 0) return;
    int64_t n = plat_read(fd, out, cap - 1);
    plat_close(fd);
    out[n > 0 ? n : 0] = 0;
}

// 1 when a file whose holder cannot be told has gone stale: older than the
// stale limit, or dated further ahead than it (no live writer's clock is
// that far ahead); one dated less far ahead counts its age from its date.
int aged_out(const char *path, int stale_ms) {
    long age;
    if (plat_file_age(path, &age) != 0) return 0;
    if (age < 0) age = -age;
    return age * 1000L > (long)stale_ms;
}

// 1 when the lock-like file at path (a lock or a breaker) may be removed:
// its holder is gone, or cannot be told and the file has gone stale. A live
// holder on this machine keeps it however long it takes. The content judged
// goes to text.
int removable(const char *path, int stale_ms, char *text, size_t cap) {
    read_lock_text(path, text, cap);
    switch (text_state(text)) {
    case HOLDER_GONE: return plat_node_kind(path) == 1;
    case HOLDER_ALIVE: return 0;
    default: return aged_out(path, stale_ms);
    }
}

// The name beside path of a file this process makes or moves on its way
// to or from path: "<path>.<word>.<pid>.<tag>" (without the tag when the
// system gives none), which a later writer can tell as this process's.
// False when it does not fit out[cap] (never for a cap of SIDE_PATH_CAP, a
// lock's or a breaker's path and the words used here).
bool own_name(const char *path, const char *word, char *out, size_t cap) {
    const char *tag = plat_host_tag();
    if (tag[0]) return fmt_fits(out, cap, "%s.%s.%ld.%s", path, word, plat_pid(), tag);
    return fmt_fits(out, cap, "%s.%s.%ld", path, word, plat_pid());
}

// Removes a file of this process's own making that must not stay behind; a
// removal that fails is tried once more (a passing fault, an interrupted
// call), as the release of the lock itself is.
void remove_own(const char *path) {
    if (plat_unlink(path) != 0) plat_unlink(path);
}

// Creates path holding text, so that no writer ever sees it without its
// holder: written under a name of this process first, then given its name
// in one step. Where the file system has no second names the file is
// created in place (its text follows within microseconds). Returns
// STORE_OK, STORE_BUSY when something is at path already, or STORE_NO_ROOM
// when nothing can be made beside it (no room, no permission), leaving
// nothing.
store_rc create_whole(const char *path, const char *text) {
    char tmp[SIDE_PATH_CAP];
    if (!own_name(path, "new", tmp, sizeof tmp)) return STORE_NO_ROOM;
    // A file of that name can only be a leftover of this process's id.
    plat_unlink(tmp);
    // Something at this process's own name that does not go is no lock of
    // another writer: the file cannot be made.
    if (plat_create_exclusive(tmp, text) != 0) return STORE_NO_ROOM;
    int made = plat_link_new(tmp, path);
    remove_own(tmp);
    if (made == -2) made = plat_create_exclusive(path, text);
    return made == 0 ? STORE_OK : made == -1 ? STORE_BUSY : STORE_NO_ROOM;
}

// Removes the lock file when its holder is gone or it has gone stale. Two
// writers that both find the same removable lock must not both remove "it":
// the later removal would hit the lock the earlier one has just taken, and
// both would then write. So breakers take turns under a second, short-lived
// file beside the lock; the holder of that file judges the lock again (the
// one first judged may be gone and a live one in its place), moves it away
// to a name of this writer's own in one step, and judges it there once
// more: what is removed is exactly what was judged. A lock that a writer
// took between the last look and the move is put back.
void remove_if_gone(int stale_ms, const char *breaker, const char *holder) {
    char judged[LOCK_TEXT_CAP], held[LOCK_TEXT_CAP], breaker_text[LOCK_TEXT_CAP];
    if (!removable(g_lock_path, stale_ms, judged, sizeof judged)) return;
    // It is held for microseconds; one left by a writer that died inside
    // that moment would stop every later removal, so it goes too.
    if (removable(breaker, stale_ms, breaker_text, sizeof breaker_text)) plat_unlink(breaker);
    if (create_whole(breaker, holder) != STORE_OK) return;  // another writer is at it
    // Judged again under the breaker: since the first look another breaker
    // may have removed that lock and a live writer taken the name, whose
    // lock must not even be moved (the name would be free while it is away).
    char again[LOCK_TEXT_CAP];
    if (!removable(g_lock_path, stale_ms, again, sizeof again) || strcmp(again, judged) != 0) {
        remove_own(breaker);
        return;
    }
    if (g_lock_break_pause) g_lock_break_pause();
    char away[SIDE_PATH_CAP];
    if (own_name(g_lock_path, "stale", away, sizeof away) && plat_node_kind(g_lock_path) == 1 &&
        plat_rename(g_lock_path, away) == 0) {
        if (removable(away, stale_ms, held, sizeof held) && strcmp(held, judged) == 0) {
            remove_own(away);
        } else if (plat_link_new(away, g_lock_path) == -2) {
            plat_rename(away, g_lock_path);
        } else {
            remove_own(away);
        }
    }
    remove_own(breaker);
}

// What follows the graph file's base name in the names of the files a
// writer makes beside it and may leave behind when it dies: its temporary
// files, and the lock's (see own_name).
const char *const OWN_KINDS[] = {".tmp.", ".lock.new.", ".lock.break.new.", ".lock.stale."};

// The graph file's directory and base name, for the scan below.
struct temp_scan {
    char dir[GRAPH_PATH_CAP]; /* directory part of the graph file ("." when it has none) */
    const char *base;   /* base name of the graph file */
    size_t base_len;    /* its length */
    int stale_ms;       /* the stale limit */
};

// The state of the writer of a file whose name goes on with rest, the part
// after the kind: "<pid>.<tag>" names a writer of the machine and process
// table of that tag; a bare "<pid>" (an older form) names no machine.
holder_state temp_state(const char *rest) {
    char *end;
    long pid = strtol(rest, &end, 10);
    if (end == rest || pid <= 0 || *rest == '-' || *rest == '+') return HOLDER_UNKNOWN;
    const char *tag = plat_host_tag();
    if (*end != '.' || !tag[0] || strcmp(end + 1, tag) != 0) return HOLDER_UNKNOWN;
    if (pid == plat_pid()) return HOLDER_GONE;  // not saving: this process holds the lock
    return process_state(pid, 0);
}

// Removes a file a writer made beside the graph file ("<graph file><kind>
// <pid>[.<tag>]") when that writer is gone: a writer killed in the middle of
// a save, or of taking or breaking the lock, leaves it behind, and nothing
// else would ever remove it. The writer is judged as a lock's holder is: a
// live writer of this machine keeps its file, and one that cannot be told
// keeps it until it has gone stale. Only called while the lock is held, so
// no save of a writer that keeps to the lock can be in progress.
void remove_orphan(const char *name, void *ctx) {
    temp_scan *ts = (temp_scan *)ctx;
    if (strncmp(name, ts->base, ts->base_len) != 0) return;
    const char *rest = nullptr;
    for (const char *kind : OWN_KINDS) {
        size_t n = strlen(kind);
        if (strncmp(name + ts->base_len, kind, n) == 0) rest = name + ts->base_len + n;
    }
    if (!rest) return;
    // The name of a writer's file: a process id, and its host tag or none.
    size_t digits = strspn(rest, "0123456789");
    if (!digits || digits > PID_TEXT_MAX) return;
    if (rest[digits] && !(rest[digits] == '.' && strlen(rest + digits + 1) == HOST_TAG_LEN &&
                          strspn(rest + digits + 1, "0123456789abcdef") == HOST_TAG_LEN))
        return;
    // The directory and such a name: the graph file's path and a suffix a
    // writer adds, and "./" in front when the graph path has no directory.
    char path[SIDE_PATH_CAP + 2];
    if (!fmt_fits(path, sizeof path, "%s/%s", ts->dir, name)) return;
    holder_state st = temp_state(rest);
    if (st == HOLDER_ALIVE) return;
    if (st == HOLDER_UNKNOWN && !aged_out(path, ts->stale_ms)) return;
    if (plat_is_own_file(path)) plat_unlink(path);
}

void remove_orphan_temps(const char *target, int stale_ms) {
    temp_scan ts;
    // The last separator of either kind: Windows paths may use both.
    const char *slash = strrchr(target, '/'), *back = strrchr(target, '\\');
    if (back && (!slash || back > slash)) slash = back;
    ts.base = slash ? slash + 1 : target;
    ts.base_len = strlen(ts.base);
    // The directory part is shorter than target, which fits GRAPH_PATH_CAP.
    if (!slash) str_copy(ts.dir, sizeof ts.dir, ".");
    else if (slash == target) str_copy(ts.dir, sizeof ts.dir, "/");
    else if (!fmt_fits(ts.dir, sizeof ts.dir, "%.*s", (int)(slash - target), target)) return;
    ts.stale_ms = stale_ms;
    plat_dir_each(ts.dir, remove_orphan, &ts);
}

// The text this process wrote into the lock it holds: what it compares
// the lock file with at release (the holder's text made again might differ,
// when a system file it reads could not be read one of the two times).
char g_lock_text[LOCK_TEXT_CAP];
// The identity of the lock file this process made, for a release that
// cannot read the file's text.
plat_file_id g_lock_id;
int g_lock_id_known;

// 1 when the lock file still names this process as its holder: its text,
// or, when the text cannot be read, the very file this process made.
int lock_is_ours(void) {
    char have[LOCK_TEXT_CAP];
    read_lock_text(g_lock_path, have, sizeof have);
    if (have[0]) return strcmp(have, g_lock_text) == 0;
    plat_file_id id;
    return g_lock_id_known && plat_file_identity(g_lock_path, &id) == 1 && id.dev == g_lock_id.dev &&
           id.ino == g_lock_id.ino && id.mtime_ns == g_lock_id.mtime_ns;
}

}  // namespace

store_rc graph_write_target(char *out, size_t cap) {
    // While the lock is held, the file it was taken for: the lock's path
    // without its suffix.
    size_t n = strlen(g_lock_path);
    if (g_lock_held) {
        PM_ASSERT(n > LOCK_SUFFIX_LEN &&
                  strcmp(g_lock_path + n - LOCK_SUFFIX_LEN, LOCK_SUFFIX) == 0);
        if (fmt_fits(out, cap, "%.*s", (int)(n - LOCK_SUFFIX_LEN), g_lock_path)) return STORE_OK;
        return STORE_PATH_TOO_LONG;
    }
    store_rc rc = ensure_path();
    if (rc != STORE_OK) return rc;
    if (plat_final_target(g_path, out, cap) != 0) return STORE_LINKS;
    return STORE_OK;
}

store_rc graph_temp_path(const char *target, char *out, size_t cap) {
    const char *tag = plat_host_tag();
    int fit = tag[0] ? fmt_fits(out, cap, "%s.tmp.%ld.%s", target, plat_pid(), tag)
                     : fmt_fits(out, cap, "%s.tmp.%ld", target, plat_pid());
    return fit ? STORE_OK : STORE_PATH_TOO_LONG;
}

// 2 s: a writer waits for the lock about as long as a person waits for a
// click to answer before trying again; 30 s at most, so that no request of
// the web host outwaits its own time-out.
int lock_timeout_ms(void) { return env_int("MEMORY_LOCK_TIMEOUT_MS", 2000, 0, 30000); }

int graph_open_read(const char *path, plat_file_id *id) {
    int fd = plat_open_read(path, id);
    // Tried again as the lock is: every 10 ms until the time-out has passed.
    for (int waited = 0; fd == -2 && waited < lock_timeout_ms(); waited += BUSY_RETRY_MS) {
        plat_sleep_ms(BUSY_RETRY_MS);
        fd = plat_open_read(path, id);
    }
    return fd < 0 ? -1 : fd;
}

store_rc graph_lock(void) {
    // Not re-entrant: a second take while held would only wait on itself.
    if (g_lock_held) return STORE_BUSY;
    store_rc rc = ensure_path();
    if (rc != STORE_OK) return rc;
    // The lock sits beside the file the links finally name, so that writers
    // reaching it by different paths meet on one lock.
    char target[GRAPH_PATH_CAP];
    rc = graph_write_target(target, sizeof target);
    if (rc != STORE_OK) return rc;
    char breaker[BREAK_PATH_CAP];
    if (!fmt_fits(g_lock_path, sizeof g_lock_path, "%s" LOCK_SUFFIX, target) ||
        !fmt_fits(breaker, sizeof breaker, "%s" BREAK_SUFFIX, g_lock_path))
        return STORE_PATH_TOO_LONG;  // never: target fits GRAPH_PATH_CAP
    int timeout = lock_timeout_ms();
    // 10 s: far beyond the longest change (a save of the largest file takes
    // well under a second), so a live writer's lock never looks stale;
    // 100 ms to 10 minutes may be chosen.
    int stale_ms = env_int("MEMORY_LOCK_STALE_MS", 10000, 100, 600000);
    int attempts = timeout / BUSY_RETRY_MS + 1;
    char holder[LOCK_TEXT_CAP];
    holder_text(holder);
    rc = STORE_BUSY;
    for (int i = 0; i < attempts; i++) {
        // A directory or a link where the lock goes would never go away by
        // waiting: that is a storage failure, not a busy graph.
        if (plat_node_kind(g_lock_path) == 2) return STORE_LOCK_NOT_FILE;
        if (plat_node_kind(breaker) == 2) return STORE_BREAK_NOT_FILE;
        remove_if_gone(stale_ms, breaker, holder);
        rc = create_whole(g_lock_path, holder);
        if (rc == STORE_OK) {
            g_lock_held = 1;
            str_copy(g_lock_text, sizeof g_lock_text, holder);
            g_lock_id_known = plat_file_identity(g_lock_path, &g_lock_id) == 1;
            g_lock_touched = plat_now_ns();
            remove_orphan_temps(target, stale_ms);
            return STORE_OK;
        }
        // No file can be made beside the graph file (no room, no
        // permission): waiting will not help, and the writer must hear the
        // storage failure, not that the graph is busy.
        if (rc == STORE_NO_ROOM) return rc;
        if (i + 1 < attempts) plat_sleep_ms(BUSY_RETRY_MS);
    }
    return rc;
}

void graph_lock_fresh(void) {
    if (!g_lock_held || !g_lock_path[0]) return;
    int64_t now = plat_now_ns();
    if (now - g_lock_touched < TOUCH_EVERY_NS && now >= g_lock_touched) return;
    g_lock_touched = now;
    // The lock's identity, which a release that cannot read its text
    // compares, has the new time.
    if (plat_touch(g_lock_path) == 0 && g_lock_id_known)
        g_lock_id_known = plat_file_identity(g_lock_path, &g_lock_id) == 1;
}

void graph_unlock(void) {
    // A writer stalled past the stale limit may have lost its lock to the
    // next one; removing that writer's lock would let a third one in.
    // A removal that fails is tried once more: a lock left behind by this
    // live process would hold every other writer off until the stale limit.
    if (g_lock_held && g_lock_path[0] && lock_is_ours() && plat_unlink(g_lock_path) != 0)
        plat_unlink(g_lock_path);
    g_lock_path[0] = 0;
    g_lock_held = 0;
}
