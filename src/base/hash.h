/* hash.h - the hash of a text and the hash index of numbered items. */
#ifndef PLUGIN_MEMORY_HASH_H
#define PLUGIN_MEMORY_HASH_H

#include <stddef.h>
#include <stdint.h>

/* A hash of the zero-terminated text s (FNV-1a), for tables of texts. Never
 * fails; s must not be null. */
size_t str_hash(const char *s);
/* The same hash of the len bytes at s, zero bytes included: equal to
 * str_hash(s) when s holds no zero byte among them. */
size_t str_hash_n(const char *s, size_t len);
/* str_hash(s), with the length of s put in *len in the same pass. */
size_t str_hash_len(const char *s, size_t *len);


/* A hash table of item numbers, in the manner of SQLite's hash.c but leaner:
 * the items (entities, texts of a request, ...) stay in the caller's arrays
 * and the index holds only their numbers under a hash of their key that the
 * caller computes; a lookup walks the numbers entered under a hash and the
 * caller compares the keys. Open addressing with linear probing, at most
 * three quarters full, 8 bytes a slot. Items entered under one hash are
 * walked in the order they were entered. There is no removal: a caller whose
 * numbering changes frees the index and enters its items again. A record
 * whose fields are all zero is an empty index. */
struct hash_slot {
    uint32_t item;            /* item number + 1; 0 marks a free slot */
    uint32_t tag;             /* low 32 bits of the item's hash: its home
                                 slot, and a filter that passes over most
                                 other items without a key comparison */
};
struct hash_index {
    hash_slot *slot;          /* the slots; null while nothing was entered */
    uint64_t mask;            /* slot count - 1; 0 while slot is null */
    uint64_t count;           /* items entered */
};

/* Enters item under hash. Returns 0, or -1 when the index cannot grow (out
 * of memory, or item beyond 32 bits): the index is then unchanged. */
int hash_index_add(hash_index *x, size_t hash, uint64_t item);
/* Position of a walk over the items entered under one hash. */
struct hash_walk {
    uint64_t pos;             /* next slot to look at */
    uint32_t tag;             /* low 32 bits of the hash */
};
/* Starts a walk over the items entered under hash. */
void hash_index_walk(const hash_index *x, size_t hash, hash_walk *w);
/* The next item of the walk: every item entered under the walk's hash comes
 * out once, in the order entered, perhaps among a few others (the caller
 * compares keys). Returns the item number, or -1 at the end. */
int64_t hash_index_next(const hash_index *x, hash_walk *w);
/* Makes room for n items in an index that holds none, so that entering
 * them does not grow it step by step. Returns 0, or -1 (x unchanged) when
 * the slots cannot be had; the index still works then. */
int hash_index_reserve(hash_index *x, uint64_t n);
/* Releases the slots and zeroes x. */
void hash_index_free(hash_index *x);

#endif
