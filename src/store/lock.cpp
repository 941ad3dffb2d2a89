// lock.cpp - the writer's lock: a file beside the graph file, created
// exclusively, naming its holder, and removed once it has gone stale.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "store.h"

char g_lock_path[1056];
int g_lock_fd = -1;

namespace {

int is_stale(const char *path, int stale_ms) {
    long age = plat_file_age_seconds(path);
    return age >= 0 && age * 1000L > (long)stale_ms;
}

// Removes the lock file when it has gone stale. Two writers that both find
// the same stale lock must not both remove "it": the later removal would hit
// the lock the earlier one has just taken, and both would then write. So the
// look and the removal happen under a second, short-lived file beside the
// lock, and the age is looked at again once that file is held: a fresh lock
// is never stale.
void remove_if_stale(int stale_ms, const char *holder) {
    if (!is_stale(g_lock_path, stale_ms)) return;
    char breaker[1072];
    snprintf(breaker, sizeof breaker, "%s.break", g_lock_path);
    // It is held for microseconds; one left by a writer that died inside
    // that moment would stop every later removal, so it goes stale too.
    if (is_stale(breaker, stale_ms)) plat_unlink(breaker);
    if (plat_create_exclusive(breaker, holder) != 0) return;  // another writer is at it
    if (is_stale(g_lock_path, stale_ms)) plat_unlink(g_lock_path);
    plat_unlink(breaker);
}

// The graph file's directory and base name, for the scan below.
struct temp_scan {
    char dir[1024];     /* directory part of g_path ("." when it has none) */
    char prefix[1040];  /* base name of g_path followed by ".tmp." */
    size_t prefix_len;  /* length of prefix */
};

// Removes "<graph file>.tmp.<pid>" when that writer is gone: a writer killed
// in the middle of a save leaves its temporary file behind, and nothing else
// would ever remove it. Only called while the lock is held, so no save of a
// live writer can be in progress.
void remove_orphan(const char *name, void *ctx) {
    temp_scan *ts = (temp_scan *)ctx;
    if (strncmp(name, ts->prefix, ts->prefix_len) != 0) return;
    const char *digits = name + ts->prefix_len;
    if (!*digits || strspn(digits, "0123456789") != strlen(digits)) return;
    long pid = strtol(digits, nullptr, 10);
    if (pid == plat_pid() || plat_pid_alive(pid)) return;
    char path[2100];
    snprintf(path, sizeof path, "%s/%s", ts->dir, name);
    plat_unlink(path);
}

void remove_orphan_temps(void) {
    temp_scan ts;
    const char *slash = strrchr(g_path, '/');
    const char *base = slash ? slash + 1 : g_path;
    if (!slash) str_copy(ts.dir, sizeof ts.dir, ".");
    else if (slash == g_path) str_copy(ts.dir, sizeof ts.dir, "/");
    else snprintf(ts.dir, sizeof ts.dir, "%.*s", (int)(slash - g_path), g_path);
    snprintf(ts.prefix, sizeof ts.prefix, "%s.tmp.", base);
    ts.prefix_len = strlen(ts.prefix);
    plat_dir_each(ts.dir, remove_orphan, &ts);
}

// 1 when the lock file still names this process as its holder.
int lock_is_ours(void) {
    char want[32], have[32];
    snprintf(want, sizeof want, "%ld\n", plat_pid());
    FILE *f = fopen(g_lock_path, "rb");
    if (!f) return 0;
    size_t n = fread(have, 1, sizeof have - 1, f);
    fclose(f);
    have[n] = 0;
    return strcmp(have, want) == 0;
}

}  // namespace

int graph_lock(void) {
    // Not re-entrant: a second take while held would only wait on itself.
    if (g_lock_fd == 0) return -1;
    if (!g_path_resolved && !ensure_path()) return -1;
    snprintf(g_lock_path, sizeof g_lock_path, "%s.lock", g_path);
    int timeout = env_int("MEMORY_LOCK_TIMEOUT_MS", 2000, 0, 30000);
    int stale_ms = env_int("MEMORY_LOCK_STALE_MS", 10000, 100, 600000);
    int attempts = timeout / 10 + 1;
    char holder[32];
    snprintf(holder, sizeof holder, "%ld\n", plat_pid());
    for (int i = 0; i < attempts; i++) {
        remove_if_stale(stale_ms, holder);
        int made = plat_create_exclusive(g_lock_path, holder);
        if (made == 0) {
            g_lock_fd = 0;
            remove_orphan_temps();
            return 0;
        }
        if (made == -2) {
            // No file can be made beside the graph file (no room, no
            // permission): waiting will not help, and the writer must hear
            // the storage failure, not that the graph is busy.
            char msg[1100];
            snprintf(msg, sizeof msg, "cannot create a temp file beside %s", g_path);
            str_copy(g_data_err, sizeof g_data_err, msg);
            break;
        }
        if (i + 1 < attempts) plat_sleep_ms(10);
    }
    g_lock_path[0] = 0;
    return -1;
}

void graph_unlock(void) {
    // A writer stalled past the stale limit may have lost its lock to the
    // next one; removing that writer's lock would let a third one in.
    if (g_lock_fd == 0 && g_lock_path[0] && lock_is_ours()) plat_unlink(g_lock_path);
    g_lock_path[0] = 0;
    g_lock_fd = -1;
}
