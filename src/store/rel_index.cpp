// rel_index.cpp - relations by entity on the kept graph: for each entity the
// relations that name it at either end, so that reading a few entities of a
// graph kept between calls costs time in the size of the answer.
#include <cstdlib>
#include <cstring>

#include "store.h"

// The index of G: built on first use in a call that reused the kept graph,
// dropped whenever G may change.
struct rel_index {
    int built;            // 1 while the arrays describe G
    uint64_t ents, rels;  // G's counts when built (a change of either drops it)
    uint32_t *start;      // per entity + 1: where its relations begin in list
    uint32_t *list;       // relation numbers, grouped by entity, ascending in a group
};

static rel_index g_rels;

void rels_by_entity_drop(void) {
    mem_free(g_rels.start);
    mem_free(g_rels.list);
    memset(&g_rels, 0, sizeof g_rels);
}

// Entity number + 1 of the first entity of g bearing name, or 0.
static uint32_t first_named(graph *g, const char *name) {
    if (!name) return 0;
    int64_t e = ent_lookup(g, name, strlen(name));
    return e < 0 ? 0 : (uint32_t)e + 1;
}

// Builds the index for g. Returns 1, or 0 when memory runs out (nothing is
// kept then and the callers scan).
static int build(graph *g) {
    rels_by_entity_drop();
    // Entity and relation numbers are kept in 32 bits.
    if (g->ent_count >= UINT32_MAX || g->rel_count >= UINT32_MAX / 2) return 0;
    g_rels.start = (uint32_t *)mem_calloc((size_t)g->ent_count + 2, sizeof(uint32_t));
    uint32_t *ends = (uint32_t *)mem_alloc((size_t)g->rel_count * 2 * sizeof(uint32_t) + 1);
    if (!g_rels.start || !ends) {
        mem_free(ends);
        rels_by_entity_drop();
        return 0;
    }
    // Each relation goes to the first entity of each end's name (the walk
    // of a name reaches every entity of that name from there); counted,
    // then placed.
    uint64_t total = 0;
    for (uint64_t i = 0; i < g->rel_count; i++) {
        const rel *r = &g->rels[i];
        uint32_t f = first_named(g, r->from), t = first_named(g, r->to);
        if (t == f) t = 0;  // a relation of an entity with itself is listed once
        ends[2 * i] = f;
        ends[2 * i + 1] = t;
        if (f) g_rels.start[f]++;
        if (t) g_rels.start[t]++;
        total += (f != 0) + (t != 0);
    }
    for (uint64_t e = 1; e <= g->ent_count + 1; e++) g_rels.start[e] += g_rels.start[e - 1];
    g_rels.list = (uint32_t *)mem_alloc((size_t)total * sizeof(uint32_t) + 1);
    if (!g_rels.list) {
        mem_free(ends);
        rels_by_entity_drop();
        return 0;
    }
    // start[e] counts the relations of the entities up to number e - 1 here;
    // placing them backwards walks it back to where those of e - 1 begin.
    for (uint64_t i = g->rel_count; i-- > 0;) {
        for (int side = 1; side >= 0; side--) {
            uint32_t e = ends[2 * i + side];
            if (e) g_rels.list[--g_rels.start[e]] = (uint32_t)i;
        }
    }
    mem_free(ends);
    g_rels.ents = g->ent_count;
    g_rels.rels = g->rel_count;
    g_rels.built = 1;
    return 1;
}

int rels_by_entity_ready(graph *g) {
    if (g != &G) return 0;
    if (g_rels.built && g_rels.ents == g->ent_count && g_rels.rels == g->rel_count) return 1;
    if (g_rels.built) rels_by_entity_drop();
    if (!g_graph_reused) return 0;
    return build(g);
}

void rels_of_entity(graph *g, uint64_t entity, const uint32_t **list, uint64_t *count) {
    uint32_t first = first_named(g, g->ents[entity].name);
    if (!first) {
        *list = nullptr;
        *count = 0;
        return;
    }
    *list = g_rels.list + g_rels.start[first];
    *count = g_rels.start[first + 1] - g_rels.start[first];
}
