// fuzz_mcp.cpp - any bytes as one MCP request line: the answer is nothing or
// exactly one JSON-RPC object on one line ending in a line feed.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <yyjson.h>

#include "fuzz_util.h"
#include "mcp/mcp.h"
#include "store/store_internal.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_graph_dir();
    fuzz::small_limits();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Every input starts from no graph, so that a run does not depend on the
    // inputs before it.
    unlink(fuzz::graph_file().c_str());
    buf out;
    buf_init(&out);
    int answered = mcp_handle_line((const char *)data, size, &out);
    if (answered != (out.len > 0)) abort();
    if (out.len > 0) {
        const char *s = buf_str(&out);
        if ((uint64_t)strlen(s) != out.len) abort();           // no zero byte inside
        if (s[out.len - 1] != '\n') abort();                  // ends the line
        if (memchr(s, '\n', out.len - 1)) abort();            // and only once
        if (memchr(s, '\r', out.len)) abort();
        yyjson_doc *d = yyjson_read(s, out.len - 1, 0);
        if (!d) abort();
        yyjson_val *root = yyjson_doc_get_root(d);
        if (!yyjson_is_obj(root)) abort();
        if (!yyjson_equals_str(yyjson_obj_get(root, "jsonrpc"), "2.0")) abort();
        if (!yyjson_obj_get(root, "id")) abort();
        yyjson_val *res = yyjson_obj_get(root, "result");
        yyjson_val *err = yyjson_obj_get(root, "error");
        if (!res == !err) abort();                             // exactly one of them
        if (err && (!yyjson_is_int(yyjson_obj_get(err, "code")) ||
                    !yyjson_is_str(yyjson_obj_get(err, "message"))))
            abort();
        yyjson_doc_free(d);
    }
    buf_free(&out);
    // A tool call must never leave the writer's lock behind.
    if (g_lock_held || access((fuzz::graph_file() + ".lock").c_str(), F_OK) == 0) abort();
    return 0;
}
