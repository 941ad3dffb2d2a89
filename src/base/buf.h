/* buf.h - the growable, always zero-terminated text buffer in which every
 * JSON text the program prints or stores is assembled. */
#ifndef PLUGIN_MEMORY_BUF_H
#define PLUGIN_MEMORY_BUF_H

#include <stddef.h>
#include <stdint.h>


/* Largest capacity a buffer may reach: 256 MiB (text plus terminator). */
#define BUF_MAX_CAP ((uint64_t)268435456)

/* A growable, always zero-terminated text buffer. A record whose fields are
 * all zero is a valid empty buffer. */
struct buf {
    char *data;      /* the text; null while nothing has been allocated */
    uint64_t len;    /* text bytes, the terminator not counted */
    uint64_t cap;    /* bytes allocated at data; 0 while data is null */
    int dropped;     /* set to 1 the first time an append is dropped for lack
                        of room; only buf_init and buf_free clear it */
};

/* Sets every field to zero: an empty buffer without storage. */
void buf_init(buf *b);
/* Makes room for n more bytes plus the terminator. Capacities run 1024, then
 * doubling, up to BUF_MAX_CAP. Returns 1 on success; 0 when the buffer cannot
 * grow, leaving data, len and cap exactly as they were. */
int buf_need(buf *b, uint64_t n);
/* Appends n bytes; a null src or n of 0 does nothing (and allocates nothing).
 * When there is no room the whole piece is dropped and `dropped` is set. */
void buf_add(buf *b, const void *src, uint64_t n);
/* Appends a zero-terminated text; null appends nothing. */
void buf_puts(buf *b, const char *s);
/* Appends one byte. */
void buf_putc(buf *b, int c);
/* The text, or a static empty text while nothing is allocated; never null. */
const char *buf_str(const buf *b);
/* Releases the storage and zeroes the record; it can be used again. */
void buf_free(buf *b);

#endif
