// lock.cpp - the writer's lock: a file beside the graph file, created
// exclusively, naming its holder, and removed once it has gone stale.
#include <cstdio>

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
    if (g_lock_fd == 0 && g_lock_path[0]) plat_unlink(g_lock_path);
    g_lock_path[0] = 0;
    g_lock_fd = -1;
}
