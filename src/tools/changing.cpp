// changing.cpp - the writer's lock, load and save around every tool call
// that changes the graph, so that two writers never overwrite each other.
#include <cstring>

#include "tools_internal.h"

yyjson_val *required_array(yyjson_val *args, const char *key, tool_out *out) {
    yyjson_val *v = arg_get(args, key);
    if (yyjson_is_arr(v)) return v;
    tool_err(out, "Missing required parameter: %s", key);
    return nullptr;
}

int refuse_nul(yyjson_val *args, tool_out *out) {
    if (!json_has_nul(args)) return 0;
    tool_err(out, "Names, types, observations and relation fields cannot hold the character "
                  "U+0000; nothing was changed.");
    return 1;
}

int changing_begin(tool_out *out, writer_lock *lk) {
    // Resolve the path first so that a location problem is reported as such,
    // not as a busy graph.
    g_data_err[0] = 0;
    if (!ensure_path()) {
        tool_err(out, "%s", g_data_err[0] ? g_data_err : "the graph file is not reachable");
        return -1;
    }
    if (graph_lock() != 0) {
        // A lock that could not even be created is a storage failure.
        tool_err(out, "%s", g_data_err[0] ? g_data_err : "the graph is busy; try again");
        return -1;
    }
    lk->held = 1;
    if (graph_load() != 0) {
        tool_err(out, "%s", g_data_err);
        return -1;
    }
    return 0;
}

int changing_save(tool_out *out) {
    char err[256];
    err[0] = 0;
    if (graph_save(err, sizeof err) != 0) {
        tool_err(out, "%s", err[0] ? err : "cannot write the graph file");
        return -1;
    }
    return 0;
}

int str_val_is(yyjson_val *v, const char *s) {
    if (!s || !yyjson_is_str(v)) return 0;
    size_t len = yyjson_get_len(v);
    return strlen(s) == len && memcmp(yyjson_get_str(v), s, len) == 0;
}

const char *nonempty_str(yyjson_val *v) {
    const char *s = yyjson_get_str(v);
    return s && s[0] ? s : nullptr;
}
