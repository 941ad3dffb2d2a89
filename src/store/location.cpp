// location.cpp - where the graph file lives: resolved once per process from
// the environment, creating the directories it needs on the way.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "store.h"
#include "store_internal.h"

char g_path[GRAPH_PATH_CAP];
int g_path_resolved;

// The failure of a path that does not fit the path buffers: it is never cut,
// which would put the graph somewhere else than the one asked for.
static const char MSG_TOO_LONG[] = "the path of the graph file is longer than 1023 bytes";
static_assert(GRAPH_PATH_CAP == 1024, "MSG_TOO_LONG names the longest path");

static const char DEFAULT_FILE[] = "memory.jsonl";
static const char WORKSPACE_DIR[] = "/workspace";

static int is_sep(char c) { return c == '/' || c == '\\'; }

static const char *env_nonempty(const char *name) {
    const char *v = getenv(name);
    return (v && *v) ? v : nullptr;
}

// 1 when snprintf's result n says the text fit a buffer of size bytes.
static int fits(int n, size_t size) { return n >= 0 && (size_t)n < size; }

int set_graph_path(const char *dir, const char *name) {
    size_t n = strlen(dir);
    int w = n > 0 && is_sep(dir[n - 1]) ? snprintf(g_path, sizeof g_path, "%s%s", dir, name)
                                        : snprintf(g_path, sizeof g_path, "%s/%s", dir, name);
    if (fits(w, sizeof g_path)) return 1;
    g_path[0] = 0;
    return 0;
}

int mkdirs(const char *path) {
    if (!path || !*path) return 0;
    if (plat_is_dir(path)) return 1;
    char p[GRAPH_PATH_CAP];
    if (strlen(path) >= sizeof p) return 0;
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
    return plat_is_dir(p);
}

// The connector's data directory, by the first rule that applies. Returns
// 1, or 0 when it does not fit d[size].
static int data_dir(char *d, size_t size) {
    const char *v;
    int n;
    if ((v = env_nonempty("MEMORY_CONNECTOR_DIR"))) {
        n = snprintf(d, size, "%s", v);
    } else if (plat_is_dir(WORKSPACE_DIR)) {
        n = snprintf(d, size, "%s/.tallowin/connectors/%s", WORKSPACE_DIR, CONNECTOR_ID);
    } else if ((v = env_nonempty("LOCALAPPDATA"))) {
        n = snprintf(d, size, "%s\\tallowin\\connectors\\%s", v, CONNECTOR_ID);
    } else {
        const char *home = env_nonempty("HOME");
        n = snprintf(d, size, "%s/.tallowin/connectors/%s", home ? home : ".", CONNECTOR_ID);
    }
    return fits(n, size);
}

static int fail(const char *msg) {
    str_copy(g_data_err, sizeof g_data_err, msg);
    return 0;
}

static int make_data_dir(const char *d) {
    if (!plat_is_dir(d)) mkdirs(d);
    return plat_is_dir(d);
}

static int resolve(void) {
    char d[GRAPH_PATH_CAP];
    // A data directory that does not fit is only refused where it is used.
    int d_fits = data_dir(d, sizeof d);
    const char *v = env_nonempty("MEMORY_FILE_PATH");
    if (!v) {
        if (!d_fits) return fail(MSG_TOO_LONG);
        if (!make_data_dir(d)) return fail("cannot create the connector data directory");
        if (!set_graph_path(d, DEFAULT_FILE)) return fail(MSG_TOO_LONG);
        return 1;
    }
    char f[GRAPH_PATH_CAP];
    const char *home = env_nonempty("HOME");
    if (!home) home = ".";
    int n;
    if (v[0] == '~' && v[1] == 0)
        n = snprintf(f, sizeof f, "%s", home);
    else if (v[0] == '~' && is_sep(v[1]))
        n = snprintf(f, sizeof f, "%s%s", home, v + 1);
    else
        n = snprintf(f, sizeof f, "%s", v);
    if (!fits(n, sizeof f)) return fail(MSG_TOO_LONG);

    unsigned char c0 = (unsigned char)f[0];
    int drive = ((c0 >= 'A' && c0 <= 'Z') || (c0 >= 'a' && c0 <= 'z')) && f[1] == ':';
    if (!is_sep(f[0]) && !drive) {
        if (strstr(f, "..")) return fail("MEMORY_FILE_PATH may not contain '..'");
        if (!d_fits) return fail(MSG_TOO_LONG);
        if (!make_data_dir(d)) return fail("cannot create the connector data directory");
        if (!set_graph_path(d, f)) return fail(MSG_TOO_LONG);
        return 1;
    }
    const char *slash = strrchr(f, '/');
    const char *back = strrchr(f, '\\');
    const char *sep = (slash && back) ? (slash > back ? slash : back) : (slash ? slash : back);
    if (!sep) return fail("MEMORY_FILE_PATH must name a file, not a bare name");
    char dir[GRAPH_PATH_CAP];
    size_t k = (size_t)(sep - f);
    if (k == 0) k = 1; // a file directly under the root keeps the root separator
    memcpy(dir, f, k);
    dir[k] = 0;
    mkdirs(dir);
    if (!plat_is_dir(dir)) return fail("cannot create the directory for MEMORY_FILE_PATH");
    str_copy(g_path, sizeof g_path, f);
    return 1;
}

int ensure_path(void) {
    if (g_path_resolved) return 1;
    if (!resolve()) return 0;
    g_path_resolved = 1;
    return 1;
}

const char *graph_path(void) { return ensure_path() ? g_path : ""; }

int graph_path_info(int64_t *size, int *exists) {
    if (size) *size = 0;
    if (exists) *exists = 0;
    if (!ensure_path() || !g_path[0]) return -1;
    plat_file_id id;
    int r = plat_file_identity(g_path, &id);
    if (r < 0) return -1;  // something that cannot be examined is no answer
    if (r == 0) return 0;
    if (exists) *exists = 1;
    if (size) *size = id.size;
    return 0;
}

void store_reset_path(void) {
    g_path[0] = 0;
    g_path_resolved = 0;
}
