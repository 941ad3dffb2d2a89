// mem.cpp - the program's heap, with the hook that can refuse an allocation.
#include <cstdlib>

#include "mem.h"

// The hook tests set; null refuses nothing.
static mem_fail_fn g_fail;

// Allocations refused so far.
static uint64_t g_refused;

void mem_set_fail_hook(mem_fail_fn fn) { g_fail = fn; }

uint64_t mem_refusals(void) { return g_refused; }

// p, counting a refusal when it is null.
static void *counted(void *p) {
    if (!p) g_refused++;
    return p;
}

void *mem_alloc(size_t n) {
    if (g_fail && g_fail(n)) return counted(nullptr);
    return counted(malloc(n ? n : 1));
}

void *mem_calloc(size_t count, size_t size) {
    if (g_fail && g_fail(count * size)) return counted(nullptr);
    return counted(calloc(count ? count : 1, size ? size : 1));
}

void *mem_realloc(void *p, size_t n) {
    if (g_fail && g_fail(n)) return counted(nullptr);
    return counted(realloc(p, n ? n : 1));
}

void mem_free(void *p) { free(p); }

static void *alc_malloc(void *, size_t n) { return mem_alloc(n); }
static void *alc_realloc(void *, void *p, size_t, size_t n) { return mem_realloc(p, n); }
static void alc_free(void *, void *p) { mem_free(p); }

static const yyjson_alc g_yyjson_alc = {alc_malloc, alc_realloc, alc_free, nullptr};

const yyjson_alc *mem_yyjson(void) { return &g_yyjson_alc; }

// A block from the kept ones that fits n bytes and is free, or a new one in
// a free slot (the slot's old, smaller block released first), or, with both
// slots busy, a block of its own that free gives back to the heap.
static void *reuse_malloc(void *ctx, size_t n) {
    mem_reuse *r = (mem_reuse *)ctx;
    for (int i = 0; i < 2; i++)
        if (!r->busy[i] && r->block[i] && r->cap[i] >= n) {
            if (g_fail && g_fail(n)) return counted(nullptr);
            r->busy[i] = 1;
            return r->block[i];
        }
    for (int i = 0; i < 2; i++)
        if (!r->busy[i]) {
            void *p = mem_alloc(n);
            if (!p) return nullptr;
            mem_free(r->block[i]);
            r->block[i] = p;
            r->cap[i] = n;
            r->busy[i] = 1;
            return p;
        }
    return mem_alloc(n);
}

static void *reuse_realloc(void *ctx, void *p, size_t old, size_t n) {
    (void)old;
    mem_reuse *r = (mem_reuse *)ctx;
    if (!p) return reuse_malloc(ctx, n);
    for (int i = 0; i < 2; i++)
        if (r->block[i] == p) {
            if (n <= r->cap[i]) return p;
            void *q = mem_realloc(p, n);
            if (!q) return nullptr;
            r->block[i] = q;
            r->cap[i] = n;
            return q;
        }
    return mem_realloc(p, n);
}

static void reuse_free(void *ctx, void *p) {
    mem_reuse *r = (mem_reuse *)ctx;
    for (int i = 0; i < 2; i++)
        if (p && r->block[i] == p) {
            r->busy[i] = 0;
            return;
        }
    mem_free(p);
}

const yyjson_alc *mem_reuse_start(mem_reuse *r) {
    for (int i = 0; i < 2; i++) {
        r->block[i] = nullptr;
        r->cap[i] = 0;
        r->busy[i] = 0;
    }
    r->alc = {reuse_malloc, reuse_realloc, reuse_free, r};
    return &r->alc;
}

void mem_reuse_end(mem_reuse *r) {
    for (int i = 0; i < 2; i++) {
        mem_free(r->block[i]);
        r->block[i] = nullptr;
        r->cap[i] = 0;
        r->busy[i] = 0;
    }
}
