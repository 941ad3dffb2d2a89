/* mem.h - the program's heap: every block the program allocates, and every
 * block the JSON library allocates for it, comes from here, through one hook
 * that a test can use to refuse any allocation it chooses.
 *
 * The blocks are the C library's own: a block from mem_alloc may be released
 * with free and one from malloc with mem_free, so texts that the JSON library
 * writes with its default allocator mix safely with these. */
#ifndef PLUGIN_MEMORY_MEM_H
#define PLUGIN_MEMORY_MEM_H

#include <stddef.h>
#include <stdint.h>

#include <yyjson.h>

/* A new block of n bytes (n of 0 is taken as 1, so a success is never
 * null), or null when the hook refuses it or memory runs out. */
void *mem_alloc(size_t n);
/* A new block of count * size bytes, all zero, or null when the hook
 * refuses it, the product overflows or memory runs out. */
void *mem_calloc(size_t count, size_t size);
/* Resizes p (null: a new block) to n bytes (0 taken as 1). Returns the
 * block, or null when refused, with p then untouched and still owned by the
 * caller. */
void *mem_realloc(void *p, size_t n);
/* Releases p; null does nothing. Never fails. */
void mem_free(void *p);

/* How many allocations were refused since the process began (by the hook
 * or because memory ran out). A caller that compares it before and after a
 * piece of work knows whether anything in it went without memory, even where
 * the failure itself was passed over (a library call that only returns
 * false). Never fails. */
uint64_t mem_refusals(void);

/* The allocator record to hand to every yyjson call that takes one, so that
 * the library's documents and written texts come from mem_alloc too. Never
 * null; lives as long as the process. */
const yyjson_alc *mem_yyjson(void);

/* An allocator for many short-lived documents, one after another (the lines
 * of a file as they are parsed): the blocks a document frees are kept and
 * handed to the next one, so that a load does not go to the heap per line.
 * Every block still comes from mem_alloc. Start it with mem_reuse_start,
 * give the record it returns to yyjson, and end it with mem_reuse_end once
 * no document made with it is alive. */
struct mem_reuse {
    void *block[2];           /* kept blocks; null where none */
    size_t cap[2];            /* bytes of each kept block */
    int busy[2];              /* 1 while a document holds that block */
    yyjson_alc alc;           /* the record handed to yyjson; ctx is this */
};
/* Sets r up empty and returns its allocator record (never null). r must not
 * move while the record is in use. */
const yyjson_alc *mem_reuse_start(mem_reuse *r);
/* Releases the kept blocks. Never fails. */
void mem_reuse_end(mem_reuse *r);

/* The hook: called with the size of each allocation (mem_alloc, mem_calloc,
 * mem_realloc, and yyjson's through mem_yyjson) before it is made; when it
 * returns non-zero the allocation fails as if memory had run out. Null, the
 * default, refuses nothing. For tests, which fail the N-th allocation of a
 * call to prove that every failure is handled. */
typedef int (*mem_fail_fn)(size_t size);
void mem_set_fail_hook(mem_fail_fn fn);

#endif
