// fuzz_cgi.cpp - one CGI request from fuzzer bytes (method, password,
// query string, headers, announced length, body): the output must be one
// well-formed CGI answer, a header block ending in an empty line and then
// the body; a JSON answer's body is one JSON text and a line feed.
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

// Checks the answer; aborts on the first fault.
void check_answer(const std::string &out, const std::string &file_before) {
    size_t end = out.find("\r\n\r\n");
    if (end == std::string::npos) abort();
    std::string head = out.substr(0, end + 2), body = out.substr(end + 4);
    std::string type;
    size_t pos = 0;
    bool first = true;
    while (pos < head.size()) {
        size_t eol = head.find("\r\n", pos);
        std::string line = head.substr(pos, eol - pos);
        pos = eol + 2;
        size_t colon = line.find(": ");
        if (colon == std::string::npos || colon == 0) abort();
        for (size_t i = 0; i < colon; i++) {
            char c = line[i];
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-')) abort();
        }
        for (char c : line)
            if (c == '\r' || c == '\n' || c == 0) abort();
        std::string name = line.substr(0, colon);
        if (name == "Status" && !first) abort();
        if (name == "Content-Type") type = line.substr(colon + 2);
        first = false;
    }
    if (type.empty()) abort();
    if (type.rfind("application/json", 0) == 0) {
        if (body.empty() || body.back() != '\n') abort();
        yyjson_doc *d = yyjson_read(body.data(), body.size() - 1, 0);
        if (!d) abort();
        yyjson_val *root = yyjson_doc_get_root(d);
        if (!yyjson_is_obj(root) || !yyjson_is_bool(yyjson_obj_get(root, "ok"))) abort();
        yyjson_doc_free(d);
        if (body.find('\n') != body.size() - 1) abort();
    } else if (type.rfind("text/html", 0) == 0) {
        if (body.find("</html>") == std::string::npos) abort();
    } else if (type.rfind("text/plain", 0) == 0) {
        // The export: the file exactly as stored, which no request changes.
        if (body != file_before) abort();
    } else {
        abort();
    }
}

FILE *g_null_in;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_graph_dir();
    fuzz::small_limits();
    g_null_in = fopen("/dev/null", "rb");
    if (!g_null_in) abort();
    return 0;
}

// Input: one flag byte, then query string, X-Bot-Password, Authorization,
// CONTENT_LENGTH, body and a starting graph file, separated by 0x1f. Flags: 1
// POST, 2 password "pw" set, 4 header present, 8 authorization present, 16
// length given as text (else the body's own length), 32 no query string.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    int flags = data[0];
    std::string p[6];
    fuzz::split(data + 1, size - 1, '\x1f', p, 6);
    const std::string path = fuzz::graph_file();
    unlink(path.c_str());
    if (!p[5].empty()) fuzz::write_file(path, (const uint8_t *)p[5].data(), p[5].size());
    std::string before = fuzz::read_file(path);

    setenv("REQUEST_METHOD", flags & 1 ? "POST" : "GET", 1);
    set_or_unset("BOT_PASSWORD", "pw", flags & 2);
    set_or_unset("QUERY_STRING", p[0], !(flags & 32));
    set_or_unset("HTTP_X_BOT_PASSWORD", p[1], flags & 4);
    set_or_unset("HTTP_AUTHORIZATION", p[2], flags & 8);
    std::string length = flags & 16 ? p[3] : std::to_string(p[4].size());
    set_or_unset("CONTENT_LENGTH", length, true);

    const std::string &body = p[4];
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
    check_answer(std::string(out_text, out_len), before);
    free(out_text);
    if (g_lock_held || access((path + ".lock").c_str(), F_OK) == 0) abort();
    graph_clear(&G);
    return 0;
}
