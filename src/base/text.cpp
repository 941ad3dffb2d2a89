// text.cpp - small string helpers: bounded and heap copies and formatting,
// UTF-8 checks, and the test for U+0000 inside a parsed JSON value.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "mem.h"
#include "text.h"

int fmt_fits(char *out, size_t cap, const char *fmt, ...) {
    if (!out || !cap) return 0;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(out, cap, fmt, ap);
    va_end(ap);
    if (n < 0) {
        out[0] = 0;
        return 0;
    }
    return (size_t)n < cap;
}

void str_copy(char *dst, size_t size, const char *src) {
    if (!dst || size == 0) return;
    dst[0] = 0;
    if (!src) return;
    size_t i = 0;
    for (; i + 1 < size && src[i]; i++) dst[i] = src[i];
    dst[i] = 0;
}

char *dup_or_null(const char *s) {
    if (!s) return nullptr;
    size_t n = strlen(s) + 1;
    char *p = (char *)mem_alloc(n);
    if (p) memcpy(p, s, n);
    return p;
}

int utf8_valid(const char *s, size_t len) {
    const unsigned char *p = (const unsigned char *)s, *end = p + len;
    while (p < end) {
        unsigned c = *p;
        if (c < 0x80) {
            p++;
            continue;
        }
        size_t n;
        unsigned min;
        if (c >= 0xC2 && c <= 0xDF) n = 2, min = 0x80;
        else if (c >= 0xE0 && c <= 0xEF) n = 3, min = 0x800;
        else if (c >= 0xF0 && c <= 0xF4) n = 4, min = 0x10000;
        else return 0;
        if ((size_t)(end - p) < n) return 0;
        unsigned cp = c & (0x7F >> n);
        for (size_t i = 1; i < n; i++) {
            if ((p[i] & 0xC0) != 0x80) return 0;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, the surrogates and anything past U+10FFFF.
        if (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
        p += n;
    }
    return 1;
}

size_t utf8_whole_prefix(const char *s, size_t len) {
    const unsigned char *p = (const unsigned char *)s;
    size_t i = len;
    size_t back = 0;
    while (i > 0 && back < 4 && (p[i - 1] & 0xC0) == 0x80) {
        i--;
        back++;
    }
    if (i == 0) return len;
    unsigned char lead = p[i - 1];
    size_t need;
    if (lead < 0x80) return len;            // plain ASCII ends the text
    else if ((lead & 0xE0) == 0xC0) need = 2;
    else if ((lead & 0xF0) == 0xE0) need = 3;
    else if ((lead & 0xF8) == 0xF0) need = 4;
    else return len;                        // not a lead byte: leave as it is
    if (back + 1 >= need) return len;       // the last character is whole
    return i - 1;
}

int json_has_nul(yyjson_val *v) {
    if (!v) return 0;
    // The values of an immutable document lie one after another, a
    // container's contents right behind it, so the whole tree is one run
    // that ends where the value's next sibling would begin.
    yyjson_val *end = unsafe_yyjson_get_next(v);
    for (yyjson_val *p = v; p < end; p++)
        if (yyjson_is_str(p) && memchr(yyjson_get_str(p), 0, yyjson_get_len(p))) return 1;
    return 0;
}
