// hash.cpp - the text hash, and the hash index of numbered items: open
// addressing with linear probing over slots that hold an item number and the
// low 32 bits of its hash, which also give the item's home slot (an index
// never has more than 2^32 slots).
#include <cstdlib>
#include <cstring>

#include "hash.h"
#include "mem.h"

size_t str_hash(const char *s) {
    uint64_t h = 1469598103934665603ULL;
    for (; *s; s++) h = (h ^ (unsigned char)*s) * 1099511628211ULL;
    return (size_t)(h ^ (h >> 29));
}

size_t str_hash_len(const char *s, size_t *len) {
    uint64_t h = 1469598103934665603ULL;
    const char *p = s;
    for (; *p; p++) h = (h ^ (unsigned char)*p) * 1099511628211ULL;
    *len = (size_t)(p - s);
    return (size_t)(h ^ (h >> 29));
}

size_t str_hash_n(const char *s, size_t len) {
    uint64_t h = 1469598103934665603ULL;
    for (size_t i = 0; i < len; i++) h = (h ^ (unsigned char)s[i]) * 1099511628211ULL;
    return (size_t)(h ^ (h >> 29));
}

namespace {

// Slots of a new index.
constexpr uint64_t FIRST_SLOTS = 16;

// Puts item + 1 into the first free slot of the probe sequence of tag.
void place(hash_slot *slot, uint64_t mask, uint32_t tag, uint32_t item1) {
    uint64_t k = tag & mask;
    while (slot[k].item) k = (k + 1) & mask;
    slot[k].item = item1;
    slot[k].tag = tag;
}

// Doubles the slots (or makes the first ones). Returns 0, or -1 with x
// unchanged.
int grow(hash_index *x) {
    uint64_t slots = x->slot ? x->mask + 1 : 0;
    uint64_t nslots = slots ? slots * 2 : FIRST_SLOTS;
    if (nslots > ((uint64_t)1 << 32) || nslots > SIZE_MAX / sizeof(hash_slot)) return -1;
    hash_slot *ns = (hash_slot *)mem_calloc((size_t)nslots, sizeof *ns);
    if (!ns) return -1;
    // The items move in slot order from a free slot on, so that every run of
    // taken slots is met whole and from its start: items of one hash then
    // arrive in the order they were entered and keep it.
    uint64_t start = 0;
    while (start < slots && x->slot[start].item) start++;
    for (uint64_t i = 0; i < slots; i++) {
        const hash_slot &s = x->slot[(start + i) & x->mask];
        if (s.item) place(ns, nslots - 1, s.tag, s.item);
    }
    mem_free(x->slot);
    x->slot = ns;
    x->mask = nslots - 1;
    return 0;
}

}  // namespace

int hash_index_add(hash_index *x, size_t hash, uint64_t item) {
    if (item >= UINT32_MAX) return -1;
    uint64_t slots = x->slot ? x->mask + 1 : 0;
    if ((x->count + 1) * 4 > slots * 3 && grow(x) != 0) return -1;
    place(x->slot, x->mask, (uint32_t)hash, (uint32_t)(item + 1));
    x->count++;
    return 0;
}

int hash_index_reserve(hash_index *x, uint64_t n) {
    if (x->slot || x->count) return -1;
    uint64_t slots = FIRST_SLOTS;
    while (slots * 3 < (n + 1) * 4) slots *= 2;
    if (slots > ((uint64_t)1 << 32) || slots > SIZE_MAX / sizeof(hash_slot)) return -1;
    hash_slot *s = (hash_slot *)mem_calloc((size_t)slots, sizeof *s);
    if (!s) return -1;
    x->slot = s;
    x->mask = slots - 1;
    return 0;
}

void hash_index_walk(const hash_index *x, size_t hash, hash_walk *w) {
    w->tag = (uint32_t)hash;
    w->pos = w->tag & x->mask;
}

int64_t hash_index_next(const hash_index *x, hash_walk *w) {
    if (!x->slot) return -1;
    for (;;) {
        const hash_slot &s = x->slot[w->pos];
        if (!s.item) return -1;
        w->pos = (w->pos + 1) & x->mask;
        if (s.tag == w->tag) return (int64_t)s.item - 1;
    }
}

void hash_index_free(hash_index *x) {
    mem_free(x->slot);
    memset(x, 0, sizeof *x);
}
