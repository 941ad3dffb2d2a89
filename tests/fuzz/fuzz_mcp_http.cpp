// fuzz_mcp_http.cpp - one request to the MCP endpoint from fuzzer bytes
// (method, password, Accept, Content-Type, MCP-Protocol-Version, Host,
// Origin, Authorization, body): the output must be one well-formed CGI
// answer with a status the endpoint gives, a 202 without a body and any
// other one JSON-RPC object line; only a request answered with 200 may
// change the graph file.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <yyjson.h>

#include "cgi/cgi.h"
#include "fuzz_util.h"
#include "store/store_internal.h"

namespace {

void set_or_unset(const char *name, const std::string &v, bool present) {
    if (present) setenv(name, fuzz::c_text(v).c_str(), 1);
    else unsetenv(name);
}

// Checks the answer; aborts on the first fault. Returns the status.
int check_answer(const std::string &out) {
    size_t end = out.find("\r\n\r\n");
    if (end == std::string::npos) abort();
    std::string head = out.substr(0, end + 2), body = out.substr(end + 4);
    int status = 200;
    std::string type, allow, auth;
    size_t pos = 0;
    bool first = true;
    while (pos < head.size()) {
        size_t eol = head.find("\r\n", pos);
        std::string line = head.substr(pos, eol - pos);
        pos = eol + 2;
        size_t colon = line.find(": ");
        if (colon == std::string::npos || colon == 0) abort();
        std::string name = line.substr(0, colon), value = line.substr(colon + 2);
        if (name == "Status") {
            if (!first) abort();
            status = atoi(value.c_str());
        }
        if (name == "Content-Type") type = value;
        if (name == "Allow") allow = value;
        if (name == "WWW-Authenticate") auth = value;
        if (name == "Mcp-Session-Id") abort();
        first = false;
    }
    switch (status) {
    case 200: case 202: case 400: case 401: case 403: case 405: case 406: case 413: case 415:
        break;
    default:
        abort();
    }
    if ((status == 405) != (allow == "POST")) abort();
    if ((status == 401) != (auth == "Bearer")) abort();
    if (status == 202) {
        if (!body.empty() || !type.empty()) abort();
        return status;
    }
    if (type != "application/json; charset=utf-8") abort();
    if (body.empty() || body.back() != '\n' || body.find('\n') != body.size() - 1) abort();
    yyjson_doc *d = yyjson_read(body.data(), body.size() - 1, 0);
    if (!d) abort();
    yyjson_val *root = yyjson_doc_get_root(d);
    if (!yyjson_is_obj(root) || !yyjson_equals_str(yyjson_obj_get(root, "jsonrpc"), "2.0")) abort();
    if (!yyjson_obj_get(root, "id")) abort();
    if (!yyjson_obj_get(root, "result") == !yyjson_obj_get(root, "error")) abort();
    if (status != 200 && !yyjson_obj_get(root, "error")) abort();
    yyjson_doc_free(d);
    return status;
}

FILE *g_null_in;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_graph_dir();
    fuzz::small_limits();
    setenv(MCP_HTTP_VAR, "1", 1);
    g_null_in = fopen("/dev/null", "rb");
    if (!g_null_in) abort();
    return 0;
}

// Input: one flag byte, then Accept, Content-Type, MCP-Protocol-Version,
// Host, Origin, Authorization and body, separated by 0x1f. Flags: 1 POST
// (else 64 picks DELETE over GET), 2 password "pw" set, 4 Accept present,
// 8 Content-Type present, 16 MCP-Protocol-Version present, 32 Origin
// present, 128 the host names "127.0.0.1:8080 localhost:8080" set.
// Authorization is present when not empty.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    int flags = data[0];
    std::string p[7];
    fuzz::split(data + 1, size - 1, '\x1f', p, 7);
    const std::string path = fuzz::graph_file();
    unlink(path.c_str());
    std::string before = fuzz::read_file(path);

    setenv("REQUEST_METHOD", flags & 1 ? "POST" : flags & 64 ? "DELETE" : "GET", 1);
    set_or_unset("BOT_PASSWORD", "pw", flags & 2);
    set_or_unset("HTTP_ACCEPT", p[0], flags & 4);
    set_or_unset("CONTENT_TYPE", p[1], flags & 8);
    set_or_unset("HTTP_MCP_PROTOCOL_VERSION", p[2], flags & 16);
    set_or_unset("HTTP_HOST", p[3], true);
    set_or_unset("HTTP_ORIGIN", p[4], flags & 32);
    set_or_unset("HTTP_AUTHORIZATION", p[5], !p[5].empty());
    set_or_unset(WEB_HOSTS_VAR, "127.0.0.1:8080 localhost:8080", flags & 128);
    const std::string &body = p[6];
    setenv("CONTENT_LENGTH", std::to_string(body.size()).c_str(), 1);

    FILE *in = body.empty() ? g_null_in : fmemopen((void *)body.data(), body.size(), "rb");
    if (!in) abort();
    rewind(g_null_in);
    char *out_text = nullptr;
    size_t out_len = 0;
    FILE *out = open_memstream(&out_text, &out_len);
    if (!out) abort();
    g_cgi_in = in;
    g_cgi_out = out;
    if (api_handle() != 0) abort();
    g_cgi_in = nullptr;
    g_cgi_out = nullptr;
    fclose(out);
    if (in != g_null_in) fclose(in);
    int status = check_answer(std::string(out_text, out_len));
    free(out_text);
    if (status != 200 && fuzz::read_file(path) != before) abort();
    if (g_lock_held || access((path + ".lock").c_str(), F_OK) == 0) abort();
    graph_clear(&G);
    return 0;
}
