/* text.h - JSON text and small string helpers: string literals, bounded and
 * heap copies, the case-folding search, UTF-8 checks, and the scans of a
 * file line for its end and for U+0000. The routines that look at many
 * bytes at once live in simd.cpp, the rest in text.cpp. */
#ifndef PLUGIN_MEMORY_TEXT_H
#define PLUGIN_MEMORY_TEXT_H

#include <stddef.h>
#include <stdint.h>

#include <yyjson.h>

#include "buf.h"


/* Appends s as a JSON string literal, escaping only the double quote, the
 * backslash and control bytes. A null s gives "". Each escape is one piece. */
void json_str(buf *b, const char *s);
/* Bounded copy into dst[size]: always terminated, cut silently. Nothing
 * happens when dst is null or size is 0; a null src gives an empty text. */
void str_copy(char *dst, size_t size, const char *src);
/* snprintf into out[cap], telling whether it fit: 1 when the whole text was
 * written, 0 when it was cut (out then holds what fit), the format failed
 * (out "") or cap is 0 or out null. A path or a text that must not be used
 * cut is formatted with it and checked. */
int fmt_fits(char *out, size_t cap, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
/* 1 when the n bytes at a and at b are equal once A-Z are folded to a-z
 * (neither may be null; bytes past a zero byte are compared too). */
int str_ieq_n(const char *a, const char *b, size_t n);
/* 1 when needle occurs in hay, folding only A-Z; an empty or null needle
 * always matches, an empty or null hay matches only that. */
int str_icontains(const char *hay, const char *needle);
/* A needle prepared for many searches as str_icontains makes them. */
struct ifind {
    const char *needle;   /* the needle ("" for null); not owned */
    size_t len;           /* its bytes */
    size_t p1, p2;        /* two of its places whose bytes a quick test
                             looks for first (the same place for one byte) */
};
/* Prepares f for needle (null as ""); the needle must outlive f. */
void ifind_prepare(ifind *f, const char *needle);
/* str_icontains(hay, the needle of f). */
int ifind_in(const ifind *f, const char *hay);
/* Heap copy of s, or null for a null s or when memory runs out. */
char *dup_or_null(const char *s);
/* 1 when s[0..len) is well-formed UTF-8 (no overlong forms, surrogates or
 * code points past U+10FFFF, as the JSON reader demands), else 0. */
int utf8_valid(const char *s, size_t len);
/* Length of the longest prefix of s[0..len) that does not end inside a
 * multi-byte UTF-8 sequence: a lead byte whose sequence runs past len is
 * dropped together with its continuation bytes. */
size_t utf8_whole_prefix(const char *s, size_t len);
/* 1 when v, or any value inside it (member keys included), is a string that
 * holds the character U+0000; 0 otherwise and for null. v must belong to an
 * immutable document. */
int json_has_nul(yyjson_val *v);
/* 1 when the JSON text s[0..n) holds the escape \u0000 somewhere (perhaps
 * not in a string, or after an escaped backslash): the quick test before
 * json_has_nul, since only that escape puts U+0000 into a string. */
int json_text_has_nul_escape(const char *s, size_t n);
/* What line_scan saw on the way to a line's end (bits of *marks). */
enum : int {
    LINE_ZERO = 1,        /* a zero byte */
    LINE_NUL_ESCAPE = 2,  /* the escape \u0000, as json_text_has_nul_escape */
};
/* The offset of the first line feed in s[0..n) (n when there is none), with
 * LINE_* bits set in *marks for what comes before it; *marks is not
 * cleared. One pass over the line, many bytes at a time. */
size_t line_scan(const char *s, size_t n, int *marks);
/* Makes line_scan look at no more than width bytes at once (64, 32, 16, or
 * 1), within what the processor offers; returns the width it uses now. For
 * tests, which try every way of scanning. */
int line_scan_set_width(int width);

#endif
