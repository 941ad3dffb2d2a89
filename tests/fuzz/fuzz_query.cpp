// fuzz_query.cpp - the query-string and parameter lookups against a plain
// model of the lookup rules, with destination arrays of exactly their size so
// that any write past the end is caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <yyjson.h>

#include "cgi/cgi.h"
#include "fuzz_util.h"

namespace {

int hex(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The decoded bytes, a zero byte and what follows it included.
std::string decode_all(const std::string &s) {
    std::string r;
    for (size_t i = 0; i < s.size();) {
        if (s[i] == '%' && i + 2 < s.size() && hex((unsigned char)s[i + 1]) >= 0 &&
            hex((unsigned char)s[i + 2]) >= 0) {
            r += (char)(hex((unsigned char)s[i + 1]) * 16 + hex((unsigned char)s[i + 2]));
            i += 3;
        } else if (s[i] == '+') {
            r += ' ';
            i++;
        } else {
            r += s[i++];
        }
    }
    return r;
}

std::string decode(const std::string &s) { return fuzz::c_text(decode_all(s)); }

// The raw value of the first segment whose key is name: segments between
// "&", the first "=" of the rest, keys compared raw.
int find_raw(const std::string &qs, const std::string &name, std::string *raw) {
    if (qs.empty()) return 0;
    size_t p = 0;
    for (;;) {
        size_t eq = qs.find('=', p), amp = qs.find('&', p);
        if (eq == std::string::npos) return 0;
        if (amp != std::string::npos && eq > amp) {
            p = amp + 1;
            continue;
        }
        if (qs.compare(p, eq - p, name) == 0) {
            size_t end = amp == std::string::npos ? qs.size() : amp;
            *raw = qs.substr(eq + 1, end - eq - 1);
            return 1;
        }
        if (amp == std::string::npos || amp + 1 == qs.size()) return 0;
        p = amp + 1;
    }
}

// The lookup as described: segments between "&", the first "=" of the rest,
// keys compared raw, the raw value cut to cap - 1 bytes and then decoded.
int model_get(const std::string &qs, const std::string &name, size_t cap, std::string *val) {
    val->clear();
    std::string raw;
    if (!find_raw(qs, name, &raw)) return 0;
    if (raw.size() > cap - 1) raw.resize(cap - 1);
    *val = decode(raw);
    return 1;
}

// A text parameter: a query value that decodes to at least one byte (a zero
// byte counts), else a string member of the body; a value cut to cap - 1
// bytes then ends on a whole UTF-8 character. val is what a C string of it
// holds.
int model_param(const std::string &qs, const std::string &name, size_t cap, yyjson_doc *body,
                std::string *val) {
    val->clear();
    std::string raw, text;
    int cut = 0, found = 0;
    if (find_raw(qs, name, &raw)) {
        cut = raw.size() > cap - 1;
        if (cut) raw.resize(cap - 1);
        text = decode_all(raw);
        found = !text.empty();
    }
    if (!found) {
        yyjson_val *root = yyjson_doc_get_root(body);
        if (!yyjson_is_obj(root)) return 0;
        yyjson_obj_iter it = yyjson_obj_iter_with(root);
        yyjson_val *key;
        while ((key = yyjson_obj_iter_next(&it))) {
            if (yyjson_get_len(key) == name.size() &&
                memcmp(yyjson_get_str(key), name.data(), name.size()) == 0) {
                yyjson_val *v = yyjson_obj_iter_get_val(key);
                if (!yyjson_is_str(v)) return 0;
                text.assign(yyjson_get_str(v), yyjson_get_len(v));
                cut = text.size() > cap - 1;
                if (cut) text.resize(cap - 1);
                found = 1;
                break;
            }
        }
        if (!found) return 0;
    }
    if (cut) text.resize(utf8_whole_prefix(text.data(), text.size()));
    *val = fuzz::c_text(text);
    return 1;
}

}  // namespace

// Input: one byte for the destination size, then name, query string and
// body separated by 0x1f.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    size_t cap = (size_t)data[0] % 80 + 1;
    if (data[0] >= 240) cap = 256 + data[0];
    std::string parts[3];
    fuzz::split(data + 1, size - 1, '\x1f', parts, 3);
    std::string name = fuzz::c_text(parts[0]);
    std::string qs = fuzz::c_text(parts[1]);

    char *dst = (char *)malloc(cap);
    std::string want;
    int got = get_query_val(qs.c_str(), name.c_str(), dst, cap);
    int exp = model_get(qs, name, cap, &want);
    if (got != exp || want != dst) abort();

    cgi_request r{};
    r.query = qs.c_str();
    r.body_doc = yyjson_read(parts[2].data(), parts[2].size(), 0);
    r.body_state = 1;  // parsed here, whole, as the model reads it
    got = param_str(&r, name.c_str(), dst, cap);
    exp = model_param(qs, name, cap, r.body_doc, &want);
    if (got != exp || want != dst) abort();
    yyjson_val *arr = body_arr(&r, name.c_str());
    if (arr && !yyjson_is_arr(arr)) abort();
    // A null query string is no query string.
    if (get_query_val(nullptr, name.c_str(), dst, cap) != 0 || dst[0]) abort();
    req_free(&r);
    free(dst);
    return 0;
}
