// location.cpp - where the graph file lives: resolved once per process from
// the environment, creating the directories it needs on the way.
#include <cstdlib>
#include <cstring>

#include "store_internal.h"

char g_path[GRAPH_PATH_CAP];
int g_path_resolved;

// A path that does not fit the path buffers fails with STORE_PATH_TOO_LONG:
// it is never cut, which would put the graph somewhere else than the one
// asked for.

static const char DEFAULT_FILE[] = "memory.jsonl";
static const char WORKSPACE_DIR[] = "/workspace";

static int is_sep(char c) { return c == '/' || c == '\\'; }

static const char *env_nonempty(const char *name) {
    const char *v = getenv(name);
    return (v && *v) ? v : nullptr;
}

store_rc set_graph_path(const char *dir, const char *name) {
    size_t n = strlen(dir);
    int fit = n > 0 && is_sep(dir[n - 1]) ? fmt_fits(g_path, sizeof g_path, "%s%s", dir, name)
                                          : fmt_fits(g_path, sizeof g_path, "%s/%s", dir, name);
    if (fit) return STORE_OK;
    g_path[0] = 0;
    return STORE_PATH_TOO_LONG;
}

bool mkdirs(const char *path) {
    if (!path || !*path) return false;
    if (plat_is_dir(path)) return true;
    char p[GRAPH_PATH_CAP];
    if (strlen(path) >= sizeof p) return false;
    str_copy(p, sizeof p, path);
    size_t n = strlen(p);
    while (n > 1 && is_sep(p[n - 1])) p[--n] = 0;
    for (size_t i = 1; i < n; i++) {
        if (!is_sep(p[i])) continue;
        char c = p[i];
        p[i] = 0;
        if (!plat_is_dir(p)) plat_mkdir(p);
        p[i] = c;
    }
    if (!plat_is_dir(p)) plat_mkdir(p);
    return plat_is_dir(p) != 0;
}

// The connector's data directory, by the first rule that applies. False
// when it does not fit d[size].
static bool data_dir(char *d, size_t size) {
    const char *v;
    if ((v = env_nonempty("MEMORY_CONNECTOR_DIR"))) return fmt_fits(d, size, "%s", v);
    if (plat_is_dir(WORKSPACE_DIR))
        return fmt_fits(d, size, "%s/.tallowin/connectors/%s", WORKSPACE_DIR, CONNECTOR_ID);
    if ((v = env_nonempty("LOCALAPPDATA")))
        return fmt_fits(d, size, "%s\\tallowin\\connectors\\%s", v, CONNECTOR_ID);
    const char *home = env_nonempty("HOME");
    return fmt_fits(d, size, "%s/.tallowin/connectors/%s", home ? home : ".", CONNECTOR_ID);
}

static bool make_data_dir(const char *d) {
    if (!plat_is_dir(d)) mkdirs(d);
    return plat_is_dir(d) != 0;
}

static store_rc resolve(void) {
    char d[GRAPH_PATH_CAP];
    // A data directory that does not fit is only refused where it is used.
    bool d_fits = data_dir(d, sizeof d);
    const char *v = env_nonempty("MEMORY_FILE_PATH");
    if (!v) {
        if (!d_fits) return STORE_PATH_TOO_LONG;
        if (!make_data_dir(d)) return STORE_NO_DATA_DIR;
        return set_graph_path(d, DEFAULT_FILE);
    }
    char f[GRAPH_PATH_CAP];
    const char *home = env_nonempty("HOME");
    if (!home) home = ".";
    int fit;
    if (v[0] == '~' && v[1] == 0)
        fit = fmt_fits(f, sizeof f, "%s", home);
    else if (v[0] == '~' && is_sep(v[1]))
        fit = fmt_fits(f, sizeof f, "%s%s", home, v + 1);
    else
        fit = fmt_fits(f, sizeof f, "%s", v);
    if (!fit) return STORE_PATH_TOO_LONG;

    unsigned char c0 = (unsigned char)f[0];
    int drive = ((c0 >= 'A' && c0 <= 'Z') || (c0 >= 'a' && c0 <= 'z')) && f[1] == ':';
    if (!is_sep(f[0]) && !drive) {
        if (strstr(f, "..")) return STORE_PATH_DOTDOT;
        if (!d_fits) return STORE_PATH_TOO_LONG;
        if (!make_data_dir(d)) return STORE_NO_DATA_DIR;
        return set_graph_path(d, f);
    }
    const char *slash = strrchr(f, '/');
    const char *back = strrchr(f, '\\');
    const char *sep = (slash && back) ? (slash > back ? slash : back) : (slash ? slash : back);
    if (!sep) return STORE_PATH_BARE;
    char dir[GRAPH_PATH_CAP];
    size_t k = (size_t)(sep - f);
    if (k == 0) k = 1; // a file directly under the root keeps the root separator
    memcpy(dir, f, k);
    dir[k] = 0;
    mkdirs(dir);
    if (!plat_is_dir(dir)) return STORE_NO_FILE_DIR;
    str_copy(g_path, sizeof g_path, f);  // f fits g_path: both are GRAPH_PATH_CAP bytes
    return STORE_OK;
}

store_rc ensure_path(void) {
    if (g_path_resolved) return STORE_OK;
    store_rc rc = resolve();
    if (rc == STORE_OK) g_path_resolved = 1;
    return rc;
}

const char *graph_path(void) { return ensure_path() == STORE_OK ? g_path : ""; }

store_rc graph_file_info(int64_t *size, int *exists) {
    if (size) *size = 0;
    if (exists) *exists = 0;
    store_rc rc = ensure_path();
    if (rc != STORE_OK) return rc;
    plat_file_id id;
    int r = plat_file_identity(g_path, &id);
    if (r < 0) return STORE_READ;  // something that cannot be examined is no answer
    if (r == 0) return STORE_OK;
    if (exists) *exists = 1;
    if (size) *size = id.size;
    return STORE_OK;
}

void store_reset_path(void) {
    g_path[0] = 0;
    g_path_resolved = 0;
}
