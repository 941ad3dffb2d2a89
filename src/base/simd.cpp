// simd.cpp - the routines that look at many bytes at once: writing a JSON
// string literal, the case-folding search, and the scans for a line's end and
// for the escape of U+0000. Each has a plain byte-at-a-time path beside its
// vector one; line_scan chooses its width at run time, the others use SSE2,
// which every x86-64 processor has.
#include <cstdint>
#include <cstring>

#include "buf.h"
#include "text.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define HAVE_X86_VECTOR_SCAN 1
#endif

#ifndef __SSE2__
// 1 when any of the eight bytes in w needs escaping: below 0x20, the double
// quote or the backslash.
static inline int word_needs_escape(uint64_t w) {
    const uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    uint64_t q = w ^ (ones * '"');
    uint64_t bs = w ^ (ones * '\\');
    uint64_t lt = (w - ones * 0x20) & ~w;           // high bit set where byte < 0x20
    uint64_t zq = (q - ones) & ~q;                  // where byte == '"'
    uint64_t zb = (bs - ones) & ~bs;                // where byte == '\\'
    return ((lt | zq | zb) & highs) != 0;
}
#endif

static const char k_hex[] = "0123456789abcdef";

// Writes the escape of the one byte c at o; returns the end.
static char *json_escape(char *o, unsigned char c) {
    *o++ = '\\';
    switch (c) {
    case '"': *o++ = '"'; break;
    case '\\': *o++ = '\\'; break;
    case '\n': *o++ = 'n'; break;
    case '\r': *o++ = 'r'; break;
    case '\t': *o++ = 't'; break;
    case '\b': *o++ = 'b'; break;
    case '\f': *o++ = 'f'; break;
    default: // the other bytes below 0x20, as \u00xx
        memcpy(o, "u00", 3);
        o[3] = k_hex[c >> 4];
        o[4] = k_hex[c & 15];
        o += 5;
    }
    return o;
}

static inline int needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// Slack json_put may write beyond the end of what it writes (whole blocks).
static const size_t JSON_PUT_SLACK = 16;

// Writes s[0..n) as a JSON string literal at o, which has room for
// 6 * n + 2 + JSON_PUT_SLACK bytes (every byte escaped as \u00xx at worst,
// and a last block stored whole); returns the end of the literal.
static char *json_put(char *o, const unsigned char *p, size_t n) {
    const unsigned char *end = p + n;
    *o++ = '"';
#ifdef __SSE2__
    // Sixteen bytes at a time: the plain ones are stored as a block, up to
    // the first byte that needs an escape.
    const __m128i quote = _mm_set1_epi8('"'), bslash = _mm_set1_epi8('\\');
    const __m128i ctl = _mm_set1_epi8(0x1f);
    while (p < end) {
        size_t left = (size_t)(end - p);
        __m128i v;
        if (left >= 16) {
            v = _mm_loadu_si128((const __m128i *)p);
        } else {
            unsigned char tail[16];
            memset(tail, 'a', sizeof tail);
            memcpy(tail, p, left);
            v = _mm_loadu_si128((const __m128i *)tail);
        }
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, bslash)),
                                   _mm_cmpeq_epi8(_mm_max_epu8(v, ctl), ctl));
        unsigned mask = (unsigned)_mm_movemask_epi8(hit);
        _mm_storeu_si128((__m128i *)o, v);
        if (!mask) {
            size_t k = left < 16 ? left : 16;
            o += k;
            p += k;
            continue;
        }
        unsigned k = (unsigned)__builtin_ctz(mask);
        o += k;
        p += k;
        o = json_escape(o, *p++);
    }
#else
    while (p < end) {
        // Eight plain bytes at a time; most text needs no escape.
        if (end - p >= 8) {
            uint64_t w;
            memcpy(&w, p, 8);
            if (!word_needs_escape(w)) {
                memcpy(o, &w, 8);
                o += 8;
                p += 8;
                continue;
            }
        }
        unsigned char c = *p++;
        if (needs_escape(c)) o = json_escape(o, c);
        else *o++ = (char)c;
    }
#endif
    *o++ = '"';
    return o;
}

// json_str piece by piece, for a text whose worst case does not fit at once.
static void json_str_pieces(buf *b, const unsigned char *p, const unsigned char *end) {
    buf_putc(b, '"');
    const unsigned char *run = p; // start of the bytes copied unchanged
    while (p < end) {
        unsigned char c = *p;
        if (!needs_escape(c)) {
            p++;
            continue;
        }
        buf_add(b, run, (uint64_t)(p - run));
        char esc[8];
        buf_add(b, esc, (uint64_t)(json_escape(esc, c) - esc));
        p++;
        run = p;
    }
    buf_add(b, run, (uint64_t)(p - run));
    buf_putc(b, '"');
}

void json_str(buf *b, const char *s) {
    size_t n = s ? strlen(s) : 0;
    const unsigned char *p = (const unsigned char *)(s ? s : "");
    // The common case writes straight into the buffer, once there is room
    // for the worst case; a huge text that cannot have that goes in pieces.
    if (n < BUF_MAX_CAP / 8 && buf_need(b, 6 * (uint64_t)n + 2 + JSON_PUT_SLACK)) {
        char *o = json_put(b->data + b->len, p, n);
        b->len = (uint64_t)(o - b->data);
        b->data[b->len] = 0;
        return;
    }
    json_str_pieces(b, p, p + n);
}

static inline unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : c;
}

// 1 when the n bytes at a and b are equal once A-Z are folded.
static inline int ifold_eq(const unsigned char *a, const unsigned char *b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (fold(a[i]) != fold(b[i])) return 0;
    return 1;
}

int str_ieq_n(const char *a, const char *b, size_t n) {
    return ifold_eq((const unsigned char *)a, (const unsigned char *)b, n);
}

// How telling a needle byte is for the quick test: a digit or other sign
// is rarer in text than a letter, a space the least telling.
static int byte_rank(unsigned char c) {
    if (c == ' ') return 0;
    if (c >= 0x80) return 1;
    c = fold(c);
    if (c >= 'a' && c <= 'z') return strchr("jkqvxz", c) ? 2 : 1;
    return 3;
}

void ifind_prepare(ifind *f, const char *needle) {
    f->needle = needle ? needle : "";
    f->len = strlen(f->needle);
    f->p1 = 0;
    f->p2 = f->len ? f->len - 1 : 0;
    const unsigned char *n = (const unsigned char *)f->needle;
    // The most telling byte first, then the most telling other one.
    int best = -1;
    for (size_t k = 0; k < f->len; k++)
        if (byte_rank(n[k]) > best) best = byte_rank(n[k]), f->p1 = k;
    best = -1;
    for (size_t k = f->len; k-- > 0;)
        if (k != f->p1 && byte_rank(n[k]) > best) best = byte_rank(n[k]), f->p2 = k;
}

int ifind_in(const ifind *f, const char *hay) {
    if (!f->len) return 1;
    if (!hay || !*hay) return 0;
    const unsigned char *h = (const unsigned char *)hay;
    const unsigned char *n = (const unsigned char *)f->needle;
    size_t nl = f->len, hl = strlen(hay);
    if (nl > hl) return 0;
    size_t last = hl - nl;  // the last place the needle can start
#ifdef __SSE2__
    if (last + 1 >= 16) {
        // Sixteen places at a time: those where two telling bytes of the
        // needle both match are compared in full. A byte x matches the
        // letter c (lower case) when x | 0x20 is c, any other byte only
        // itself; so a letter is looked for with the 0x20 bit set in both.
        unsigned char c1 = fold(n[f->p1]), c2 = fold(n[f->p2]);
        const __m128i want1 = _mm_set1_epi8((char)c1), want2 = _mm_set1_epi8((char)c2);
        const __m128i bit1 = _mm_set1_epi8((c1 >= 'a' && c1 <= 'z') ? 0x20 : 0);
        const __m128i bit2 = _mm_set1_epi8((c2 >= 'a' && c2 <= 'z') ? 0x20 : 0);
        // The last block ends at the last place; it may cover some places
        // twice, which finds nothing new.
        const size_t end = last + 1 - 16;
        const unsigned char *h1 = h + f->p1, *h2 = h + f->p2;
        for (size_t i = 0;; i += 16) {
            if (i > end) i = end;
            __m128i a = _mm_or_si128(_mm_loadu_si128((const __m128i *)(h1 + i)), bit1);
            __m128i b = _mm_or_si128(_mm_loadu_si128((const __m128i *)(h2 + i)), bit2);
            unsigned m = (unsigned)_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, want1), _mm_cmpeq_epi8(b, want2)));
            while (__builtin_expect(m != 0, 0)) {
                if (ifold_eq(h + i + (size_t)__builtin_ctz(m), n, nl)) return 1;
                m &= m - 1;
            }
            if (i == end) return 0;
        }
    }
#endif
    unsigned char first = fold(n[0]);
    for (size_t i = 0; i <= last; i++)
        if (fold(h[i]) == first && ifold_eq(h + i + 1, n + 1, nl - 1)) return 1;
    return 0;
}

int str_icontains(const char *hay, const char *needle) {
    ifind f;
    ifind_prepare(&f, needle);
    return ifind_in(&f, hay);
}

int json_text_has_nul_escape(const char *s, size_t n) {
    static const char esc[] = "\\u0000";
    size_t i = 0;
#ifdef __SSE2__
    // Sixteen places at a time where a backslash is followed by "u"; only
    // those are compared further.
    const __m128i bs = _mm_set1_epi8('\\'), u = _mm_set1_epi8('u');
    for (; i + 17 <= n; i += 16) {
        // Most stretches hold no backslash at all: thirty-two bytes are
        // passed over with one test.
        if (i + 33 <= n) {
            __m128i x = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(s + i)), bs);
            __m128i y = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(s + i + 16)), bs);
            if (!_mm_movemask_epi8(_mm_or_si128(x, y))) {
                i += 16;
                continue;
            }
        }
        __m128i a = _mm_loadu_si128((const __m128i *)(s + i));
        __m128i b = _mm_loadu_si128((const __m128i *)(s + i + 1));
        unsigned m = (unsigned)_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, bs), _mm_cmpeq_epi8(b, u)));
        while (m) {
            size_t at = i + (size_t)__builtin_ctz(m);
            if (at + 6 <= n && memcmp(s + at, esc, 6) == 0) return 1;
            m &= m - 1;
        }
    }
#endif
    for (; i + 6 <= n; i++)
        if (s[i] == '\\' && memcmp(s + i, esc, 6) == 0) return 1;
    return 0;
}

// What line_scan does at the byte s[at], one of the bytes it stops at (a
// line feed, a zero byte, or a backslash followed by "u"): 1 at the line
// feed.
static inline int line_stop(const char *s, size_t at, size_t n, int *marks) {
    char ch = s[at];
    if (ch == '\n') return 1;
    if (!ch)
        *marks |= LINE_ZERO;
    else if (at + 6 <= n && memcmp(s + at, "\\u0000", 6) == 0)
        *marks |= LINE_NUL_ESCAPE;
    return 0;
}

static size_t line_scan_bytes(const char *s, size_t i, size_t n, int *marks) {
    for (; i < n; i++)
        if ((s[i] == '\n' || !s[i] || (s[i] == '\\' && i + 1 < n && s[i + 1] == 'u')) &&
            line_stop(s, i, n, marks))
            return i;
    return n;
}

// The stops of one block that starts at s[i], one bit per byte in m: the
// offset of the line feed among them, or SIZE_MAX when the line goes on.
static inline size_t block_stops(const char *s, size_t i, uint64_t m, size_t n, int *marks) {
    for (; m; m &= m - 1) {
        size_t at = i + (size_t)__builtin_ctzll(m);
        if (line_stop(s, at, n, marks)) return at;
    }
    return SIZE_MAX;
}

// The vector scans look at each block of bytes and at the same block one
// byte on, so that a backslash is a stop only where a "u" follows it; the
// last block is left to line_scan_bytes, so the look one byte on stays
// inside s[0..n).
#ifdef HAVE_X86_VECTOR_SCAN
__attribute__((target("avx2"))) static size_t line_scan_avx2(const char *s, size_t n, int *marks) {
    const __m256i nl = _mm256_set1_epi8('\n'), bs = _mm256_set1_epi8('\\');
    const __m256i u = _mm256_set1_epi8('u'), zero = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 33 <= n; i += 32) {
        __m256i x = _mm256_loadu_si256((const __m256i *)(s + i));
        __m256i y = _mm256_loadu_si256((const __m256i *)(s + i + 1));
        __m256i esc = _mm256_and_si256(_mm256_cmpeq_epi8(x, bs), _mm256_cmpeq_epi8(y, u));
        __m256i hit = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(x, nl), esc),
                                      _mm256_cmpeq_epi8(x, zero));
        size_t at = block_stops(s, i, (uint32_t)_mm256_movemask_epi8(hit), n, marks);
        if (at != SIZE_MAX) return at;
    }
    return line_scan_bytes(s, i, n, marks);
}

__attribute__((target("avx512bw"))) static size_t line_scan_avx512(const char *s, size_t n,
                                                                   int *marks) {
    const __m512i nl = _mm512_set1_epi8('\n'), bs = _mm512_set1_epi8('\\');
    const __m512i u = _mm512_set1_epi8('u'), zero = _mm512_setzero_si512();
    size_t i = 0;
    for (; i + 65 <= n; i += 64) {
        __m512i x = _mm512_loadu_si512((const void *)(s + i));
        __m512i y = _mm512_loadu_si512((const void *)(s + i + 1));
        __mmask64 m = _mm512_cmpeq_epi8_mask(x, nl) | _mm512_cmpeq_epi8_mask(x, zero) |
                      (_mm512_cmpeq_epi8_mask(x, bs) & _mm512_cmpeq_epi8_mask(y, u));
        size_t at = block_stops(s, i, m, n, marks);
        if (at != SIZE_MAX) return at;
    }
    return line_scan_bytes(s, i, n, marks);
}
#endif

// The widest vectors the processor has, in bytes (1: none).
static int scan_width_max(void) {
#ifdef HAVE_X86_VECTOR_SCAN
    if (__builtin_cpu_supports("avx512bw")) return 64;
    if (__builtin_cpu_supports("avx2")) return 32;
#endif
#ifdef __SSE2__
    return 16;
#else
    return 1;
#endif
}

// The width line_scan uses; 0 until it is chosen.
static int g_scan_width;

int line_scan_set_width(int width) {
    int max = scan_width_max();
    g_scan_width = width < max ? width : max;
    return g_scan_width;
}

size_t line_scan(const char *s, size_t n, int *marks) {
    if (!g_scan_width) g_scan_width = scan_width_max();
#ifdef HAVE_X86_VECTOR_SCAN
    if (g_scan_width == 64) return line_scan_avx512(s, n, marks);
    if (g_scan_width == 32) return line_scan_avx2(s, n, marks);
#endif
    size_t i = 0;
#ifdef __SSE2__
    if (g_scan_width < 16) return line_scan_bytes(s, i, n, marks);
    const __m128i nl = _mm_set1_epi8('\n'), bs = _mm_set1_epi8('\\'), u = _mm_set1_epi8('u');
    const __m128i zero = _mm_setzero_si128();
    for (; i + 17 <= n; i += 16) {
        __m128i x = _mm_loadu_si128((const __m128i *)(s + i));
        __m128i y = _mm_loadu_si128((const __m128i *)(s + i + 1));
        __m128i esc = _mm_and_si128(_mm_cmpeq_epi8(x, bs), _mm_cmpeq_epi8(y, u));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, nl), esc), _mm_cmpeq_epi8(x, zero));
        size_t at = block_stops(s, i, (uint32_t)_mm_movemask_epi8(hit), n, marks);
        if (at != SIZE_MAX) return at;
    }
#endif
    return line_scan_bytes(s, i, n, marks);
}
