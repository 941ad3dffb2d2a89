// lock.cpp - the writer's lock: a file beside the graph file, created
// exclusively, naming its holder, and removed once it has gone stale.
#include <cstdio>

#include "platform.h"
#include "store.h"

char g_lock_path[1056];
int g_lock_fd = -1;

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
        long age = plat_file_age_seconds(g_lock_path);
        if (age >= 0 && age * 1000L > (long)stale_ms) plat_unlink(g_lock_path);
        if (plat_create_exclusive(g_lock_path, holder) == 0) {
            g_lock_fd = 0;
            return 0;
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
