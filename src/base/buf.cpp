// buf.cpp - the growable text buffer.
#include <cstring>

#include "buf.h"
#include "mem.h"

static char empty_text[1] = {0};

void buf_init(buf *b) {
    b->data = nullptr;
    b->len = 0;
    b->cap = 0;
    b->dropped = 0;
}

int buf_need(buf *b, uint64_t n) {
    // Compare without overflow: the text, the new bytes and the terminator.
    if (n >= BUF_MAX_CAP || b->len + 1 > BUF_MAX_CAP - n) return 0;
    uint64_t need = b->len + n + 1;
    if (need <= b->cap) return 1;
    uint64_t cand = b->cap ? b->cap : 1024;
    while (cand < need) {
        if (cand > BUF_MAX_CAP / 2) return 0;
        cand *= 2;
    }
    char *p = (char *)mem_realloc(b->data, (size_t)cand);
    if (!p) return 0;
    if (!b->data) p[0] = 0;
    b->data = p;
    b->cap = cand;
    return 1;
}

void buf_add(buf *b, const void *src, uint64_t n) {
    if (!src || n == 0) return;
    if (!buf_need(b, n)) {
        b->dropped = 1;
        return;
    }
    memcpy(b->data + b->len, src, (size_t)n);
    b->len += n;
    b->data[b->len] = 0;
}

void buf_puts(buf *b, const char *s) {
    if (s) buf_add(b, s, strlen(s));
}

void buf_putc(buf *b, int c) {
    // The common case, room for the byte and the terminator, needs no call.
    if (b->data && b->len + 2 <= b->cap) {
        b->data[b->len++] = (char)c;
        b->data[b->len] = 0;
        return;
    }
    char ch = (char)c;
    buf_add(b, &ch, 1);
}

const char *buf_str(const buf *b) { return b->data ? b->data : empty_text; }

void buf_free(buf *b) {
    mem_free(b->data);
    buf_init(b);
}
