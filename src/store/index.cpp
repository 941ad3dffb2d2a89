// index.cpp - the relations of a graph by entity: for each entity, the
// relations whose from or to is its name, so that reading a few entities
// costs time in the size of the answer. One index, of one graph at a time:
// the kept graph's (kept.cpp decides when it is built, rule 7; it is
// dropped by any edit of that graph and before the graph is cleared).
// Knows only the model.
#include <cstring>

#include "graph_internal.h"
#include "store_internal.h"

namespace {

struct rel_index {
    const graph *of;      // the graph it describes while built, else null
    uint64_t ents, rels;  // that graph's counts when built (a change of
                          // either without an edit function is caught)
    uint32_t *start;      // per entity + 1: where its relations begin in list
    uint32_t *list;       // relation numbers, grouped by entity, ascending in a group
};

rel_index g_rels;

// Entity number + 1 of the first entity of g bearing name, or 0.
uint32_t first_named(const graph *g, const char *name) {
    if (!name) return 0;
    int64_t e = ent_lookup(g, name, strlen(name));
    return e < 0 ? 0 : (uint32_t)e + 1;
}

// Builds the index for g. False when memory runs out (nothing is kept then
// and the callers scan).
bool build(const graph *g) {
    rel_index_drop();
    // Entity and relation numbers are kept in 32 bits.
    if (g->ent_count >= UINT32_MAX || g->rel_count >= UINT32_MAX / 2) return false;
    g_rels.start = (uint32_t *)mem_calloc((size_t)g->ent_count + 2, sizeof(uint32_t));
    uint32_t *ends = (uint32_t *)mem_alloc((size_t)g->rel_count * 2 * sizeof(uint32_t) + 1);
    if (!g_rels.start || !ends) {
        mem_free(ends);
        rel_index_drop();
        return false;
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
        rel_index_drop();
        return false;
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
    g_rels.of = g;
    return true;
}

// 1 while the index describes g.
int describes(const graph *g) {
    return g_rels.of == g && g_rels.ents == g->ent_count && g_rels.rels == g->rel_count;
}

}  // namespace

void rel_index_drop(void) {
    mem_free(g_rels.start);
    mem_free(g_rels.list);
    memset(&g_rels, 0, sizeof g_rels);
}

// Any edit changes the relations of some entity, or the entity numbers: the
// index is built again on its next use.
void rel_index_edited(const graph *g, graph_change, uint64_t) {
    if (g_rels.of == g) rel_index_drop();
}

int rel_index_ready(const graph *g, int may_build) {
    if (describes(g)) return 1;
    if (g_rels.of) rel_index_drop();
    return may_build ? build(g) : 0;
}

void rel_index_of(const graph *g, uint64_t entity, const uint32_t **list, uint64_t *count) {
    // Only while rel_index_ready(g) said so.
    PM_ASSERT(describes(g) && entity < g->ent_count);
    uint32_t first = first_named(g, g->ents[entity].name);
    if (!first) {
        *list = nullptr;
        *count = 0;
        return;
    }
    *list = g_rels.list + g_rels.start[first];
    *count = g_rels.start[first + 1] - g_rels.start[first];
}
