// read.cpp - the three reading tools (read_graph, search_nodes, open_nodes),
// their shared read options, and the entity and relation result objects.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "tools_internal.h"

// Highest "observationLimit" and "limit" honoured: both fit a 32-bit field.
static const int64_t k_read_cap = 100000000;
// Most "entityTypes" elements examined.
static const size_t k_types_max = 1000;

void read_opt_init(read_opt *opt) {
    opt->has_obs_limit = 0;
    opt->obs_limit = 0;
    opt->has_types = 0;
    opt->types = nullptr;
    opt->ntypes = 0;
    opt->add_count = 0;
    opt->max_ents = 0;
}

void read_opt_free_types(read_opt *opt) {
    str_arr_free(opt->types, opt->ntypes);
    opt->types = nullptr;
    opt->ntypes = 0;
}

// 1 when v is a JSON integer (no fraction, no exponent); its value, read as
// a signed 64-bit number, goes to *out.
static int json_int64(yyjson_val *v, int64_t *out) {
    if (yyjson_is_uint(v)) {
        *out = (int64_t)yyjson_get_uint(v);
        return 1;
    }
    if (yyjson_is_sint(v)) {
        *out = yyjson_get_sint(v);
        return 1;
    }
    return 0;
}

int parse_read_opts(yyjson_val *args, read_opt *opt) {
    if (!args || !yyjson_is_obj(args) || yyjson_obj_size(args) == 0) return 0;
    yyjson_val *lim = arg_get(args, "observationLimit");
    if (lim && !yyjson_is_null(lim)) {
        int64_t v;
        if (!json_int64(lim, &v) || v < 0) return -1;
        opt->has_obs_limit = 1;
        opt->add_count = 1;
        opt->obs_limit = (int32_t)(v > k_read_cap ? k_read_cap : v);
    }
    yyjson_val *types = arg_get(args, "entityTypes");
    if (!types || yyjson_is_null(types)) return 0;
    if (!yyjson_is_arr(types) || yyjson_arr_size(types) == 0) return -1;
    if (str_arr_from(types, &opt->types, &opt->ntypes, k_types_max) != STORE_OK) return -1;
    // A type holding U+0000 is not taken; it is wanted all the same, and
    // matches no entity.
    if (opt->ntypes == 0 && !json_has_nul(types)) return -1;
    opt->has_types = 1;
    return 0;
}

// A string value that refers to s (an absent text is written as "").
static yyjson_mut_val *ref_str(yyjson_mut_doc *doc, const char *s) {
    return yyjson_mut_str(doc, s ? s : "");
}

yyjson_mut_val *ent_to_mut(yyjson_mut_doc *doc, const ent *e, const read_opt *opt) {
    if (!doc || !e) return nullptr;
    yyjson_mut_val *o = yyjson_mut_obj(doc);
    if (!o) return nullptr;
    yyjson_mut_obj_add(o, yyjson_mut_str(doc, "name"), ref_str(doc, e->name));
    yyjson_mut_obj_add(o, yyjson_mut_str(doc, "entityType"), ref_str(doc, e->entity_type));
    yyjson_mut_val *obs = yyjson_mut_arr(doc);
    uint64_t k = e->obs_count;
    if (opt && opt->has_obs_limit && (uint64_t)opt->obs_limit < k) k = (uint64_t)opt->obs_limit;
    if (obs) {
        for (uint64_t i = 0; i < k; i++) yyjson_mut_arr_append(obs, ref_str(doc, e->obs[i]));
        yyjson_mut_obj_add(o, yyjson_mut_str(doc, "observations"), obs);
    }
    if (opt && opt->has_obs_limit && opt->add_count)
        yyjson_mut_obj_add(o, yyjson_mut_str(doc, "observationCount"),
                           yyjson_mut_uint(doc, e->obs_count));
    return o;
}

yyjson_mut_val *rel_to_mut(yyjson_mut_doc *doc, const char *from, const char *to,
                           const char *relation_type) {
    if (!doc) return nullptr;
    yyjson_mut_val *o = yyjson_mut_obj(doc);
    if (!o) return nullptr;
    yyjson_mut_obj_add(o, yyjson_mut_str(doc, "from"), ref_str(doc, from));
    yyjson_mut_obj_add(o, yyjson_mut_str(doc, "to"), ref_str(doc, to));
    yyjson_mut_obj_add(o, yyjson_mut_str(doc, "relationType"), ref_str(doc, relation_type));
    return o;
}

// 1 when name equals the name of one of the n entities.
static int names_one_of(const char *name, const ent *const *ents, size_t n) {
    if (!name) return 0;
    for (size_t i = 0; i < n; i++)
        if (ents[i]->name && strcmp(ents[i]->name, name) == 0) return 1;
    return 0;
}

// Selections up to this size are walked; larger ones are looked up in the
// graph's name index.
static const size_t k_walk_max = 8;

static int cmp_u32(const void *a, const void *b) {
    uint32_t x = *(const uint32_t *)a, y = *(const uint32_t *)b;
    return x < y ? -1 : x > y;
}

// The relations of the n selected entities from the relations-by-entity
// index of g, in graph order, each once, appended to ra. Returns 0, or -1
// when memory runs out (nothing is appended then).
static int emit_indexed_relations(yyjson_mut_doc *doc, yyjson_mut_val *ra, const graph *g,
                                  const ent *const *ents, size_t n) {
    uint64_t total = 0;
    for (size_t i = 0; i < n; i++) {
        const uint32_t *l;
        uint64_t k;
        rels_of_entity(g, (uint64_t)(ents[i] - g->ents), &l, &k);
        total += k;
    }
    uint32_t *all = (uint32_t *)mem_alloc((size_t)total * sizeof(uint32_t) + 1);
    if (!all) return -1;
    uint64_t m = 0;
    for (size_t i = 0; i < n; i++) {
        const uint32_t *l;
        uint64_t k;
        rels_of_entity(g, (uint64_t)(ents[i] - g->ents), &l, &k);
        if (k) memcpy(all + m, l, (size_t)k * sizeof(uint32_t));
        m += k;
    }
    if (n > 1) qsort(all, (size_t)m, sizeof(uint32_t), cmp_u32);
    for (uint64_t i = 0; i < m; i++) {
        if (i && all[i] == all[i - 1]) continue;
        const rel *r = &g->rels[all[i]];
        yyjson_mut_val *o = rel_to_mut(doc, r->from, r->to, r->relation_type);
        if (o && ra) yyjson_mut_arr_append(ra, o);
    }
    mem_free(all);
    return 0;
}

// 1 when an entity marked in sel bears the name, which may name several.
static int name_selected(const graph *g, const unsigned char *sel, const char *name) {
    if (!name) return 0;
    name_walk w;
    name_walk_start_str(g, name, &w);
    for (int64_t i; (i = name_walk_next(g, &w)) >= 0;)
        if (sel[i]) return 1;
    return 0;
}

void emit_with_relations(tool_out *out, const graph *g, const ent *const *ents, size_t n, const read_opt *opt) {
    if (out->failed || !out->doc || !out->root) return;
    yyjson_mut_doc *doc = out->doc;
    yyjson_mut_val *ea = yyjson_mut_arr(doc);
    yyjson_mut_val *ra = yyjson_mut_arr(doc);
    for (size_t i = 0; i < n; i++) {
        yyjson_mut_val *o = ent_to_mut(doc, ents[i], opt);
        if (o && ea) yyjson_mut_arr_append(ea, o);
    }
    // A few entities of a kept graph (a small share of it, or few at all):
    // their relations from the index.
    int indexed = n > 0 && (n <= 64 || n * 4 < g->ent_count) && rels_by_entity_ready(g) &&
                  emit_indexed_relations(doc, ra, g, ents, n) == 0;
    if (n > 0 && !indexed) {
        // A large selection as a byte per entity of g, so that each relation
        // end costs a lookup instead of a walk over every selected name (the
        // walk made a whole-graph read quadratic).
        unsigned char *sel = nullptr;
        if (n > k_walk_max) {
            sel = (unsigned char *)mem_calloc((size_t)g->ent_count + 1, 1);
            graph_index_names(g);  // a lookup per relation end
        }
        if (sel)
            for (size_t i = 0; i < n; i++) sel[ents[i] - g->ents] = 1;
        for (uint64_t i = 0; i < g->rel_count; i++) {
            const rel *r = &g->rels[i];
            int hit = sel ? name_selected(g, sel, r->from) || name_selected(g, sel, r->to)
                          : names_one_of(r->from, ents, n) || names_one_of(r->to, ents, n);
            if (!hit) continue;
            yyjson_mut_val *o = rel_to_mut(doc, r->from, r->to, r->relation_type);
            if (o && ra) yyjson_mut_arr_append(ra, o);
        }
        mem_free(sel);
    }
    if (ea) yyjson_mut_obj_add(out->root, yyjson_mut_str(doc, "entities"), ea);
    if (ra) yyjson_mut_obj_add(out->root, yyjson_mut_str(doc, "relations"), ra);
}

int rel_same_fields(const char *f1, const char *t1, const char *r1, const char *f2,
                    const char *t2, const char *r2) {
    if (!f1 || !t1 || !r1 || !f2 || !t2 || !r2) return 0;
    return strcmp(f1, f2) == 0 && strcmp(t1, t2) == 0 && strcmp(r1, r2) == 0;
}

// The common start of a read: parses the read options (failing with
// bad_opts), loads the graph into *g and allocates the entity list with one
// slot per element of names, or per entity of the graph when names is null
// (at least one). Returns the list, or null with the error recorded and the
// types released.
static const ent **read_begin(yyjson_val *args, read_opt *opt, tool_out *out, const char *bad_opts,
                              yyjson_val *names, const graph **g) {
    if (parse_read_opts(args, opt) != 0) {
        read_opt_free_types(opt);
        tool_err(out, "%s", bad_opts);
        return nullptr;
    }
    store_rc rc = graph_open(g);
    if (rc != STORE_OK) {
        read_opt_free_types(opt);
        tool_store_err(out, rc);
        return nullptr;
    }
    uint64_t slots = names ? yyjson_arr_size(names) : (*g)->ent_count;
    const ent **list = (const ent **)mem_alloc(sizeof(ent *) * (slots ? slots : 1));
    if (!list) {
        read_opt_free_types(opt);
        tool_err(out, "out of memory");
    }
    return list;
}

// The common end of a read: writes the n selected entities and releases the
// list and the types.
static void read_finish(tool_out *out, const graph *g, const ent **list, size_t n, read_opt *opt) {
    if (!out->doc) tool_start(out);
    if (!out->failed) emit_with_relations(out, g, list, n, opt);
    mem_free(list);
    read_opt_free_types(opt);
}

// 1 when t is one of the wanted types.
static int type_wanted(const read_opt *opt, const char *t) {
    if (!t) return 0;
    for (size_t i = 0; i < opt->ntypes; i++)
        if (opt->types[i] && strcmp(opt->types[i], t) == 0) return 1;
    return 0;
}

void tool_read_graph(yyjson_val *args, tool_out *out) {
    read_opt opt;
    read_opt_init(&opt);
    const graph *g;
    const ent **list = read_begin(args, &opt, out,
                            "observationLimit must be an integer >= 0 and entityTypes a "
                            "non-empty array of strings.",
                            nullptr, &g);
    if (!list) return;
    size_t n = 0;
    for (uint64_t i = 0; i < g->ent_count; i++) {
        const ent *e = &g->ents[i];
        if (opt.has_types && !type_wanted(&opt, e->entity_type)) continue;
        list[n++] = e;
    }
    read_finish(out, g, list, n, &opt);
}

// 1 when the query occurs in the entity's name, type or an observation.
static int ent_matches(const ent *e, const ifind *q) {
    if (ifind_in(q, e->name) || ifind_in(q, e->entity_type)) return 1;
    for (uint64_t i = 0; i < e->obs_count; i++)
        if (ifind_in(q, e->obs[i])) return 1;
    return 0;
}

void tool_search_nodes(yyjson_val *args, tool_out *out) {
    yyjson_val *qv = arg_get(args, "query");
    if (!yyjson_is_str(qv)) {
        tool_err(out, "Missing required parameter: query");
        return;
    }
    const char *query = yyjson_get_str(qv);
    // A query holding U+0000 occurs in no text of the graph.
    int matches_none = memchr(query, 0, yyjson_get_len(qv)) != nullptr;
    read_opt opt;
    read_opt_init(&opt);
    yyjson_val *lim = arg_get(args, "limit");
    if (lim && !yyjson_is_null(lim)) {
        int64_t v;
        if (!json_int64(lim, &v) || v < 1) {
            tool_err(out, "limit must be an integer >= 1");
            return;
        }
        opt.max_ents = (int32_t)(v > k_read_cap ? k_read_cap : v);
    }
    const graph *g;
    const ent **list =
        read_begin(args, &opt, out, "observationLimit must be an integer >= 0.", nullptr, &g);
    if (!list) return;
    size_t n = 0;
    ifind q;
    ifind_prepare(&q, query);
    for (uint64_t i = 0; i < g->ent_count && !matches_none; i++) {
        if (ent_matches(&g->ents[i], &q)) list[n++] = &g->ents[i];
        if (opt.max_ents > 0 && n >= (size_t)opt.max_ents) break;
    }
    read_finish(out, g, list, n, &opt);
}

// The entities named by the elements of names in a kept graph, without a
// pass over all its entities: each once, in graph order, the first `want` of
// them, as the pass below takes them. Returns how many went to list, or -1
// when memory runs out.
static int64_t open_indexed(const graph *g, yyjson_val *names, size_t want, const ent **list) {
    uint64_t cap = want + 1, m = 0;
    uint64_t *found = (uint64_t *)mem_alloc((size_t)cap * sizeof(uint64_t));
    if (!found) return -1;
    yyjson_arr_iter it = yyjson_arr_iter_with(names);
    yyjson_val *v;
    while ((v = yyjson_arr_iter_next(&it))) {
        if (!yyjson_is_str(v)) continue;
        name_walk w;
        name_walk_start(g, yyjson_get_str(v), yyjson_get_len(v), &w);
        for (int64_t i; (i = name_walk_next(g, &w)) >= 0;) {
            if (m == cap) {
                uint64_t *more = (uint64_t *)mem_realloc(found, (size_t)cap * 2 * sizeof(uint64_t));
                if (!more) {
                    mem_free(found);
                    return -1;
                }
                found = more;
                cap *= 2;
            }
            found[m++] = (uint64_t)i;
        }
    }
    std::sort(found, found + m);
    size_t n = 0;
    for (uint64_t i = 0; i < m && n < want; i++)
        if (!i || found[i] != found[i - 1]) list[n++] = &g->ents[found[i]];
    mem_free(found);
    return (int64_t)n;
}

void tool_open_nodes(yyjson_val *args, tool_out *out) {
    yyjson_val *names = arg_get(args, "names");
    if (!yyjson_is_arr(names)) {
        tool_err(out, "Missing required parameter: names");
        return;
    }
    read_opt opt;
    read_opt_init(&opt);
    const graph *g;
    const ent **list =
        read_begin(args, &opt, out, "observationLimit must be an integer >= 0.", names, &g);
    if (!list) return;
    // Every entity bearing a requested name, in the graph's order, at most
    // as many as names were requested.
    size_t want = yyjson_arr_size(names), n = 0;
    int64_t got = want > 0 && rels_by_entity_ready(g) ? open_indexed(g, names, want, list) : -1;
    if (got >= 0) {
        read_finish(out, g, list, (size_t)got, &opt);
        return;
    }
    unsigned char *sel = want ? (unsigned char *)mem_calloc((size_t)g->ent_count + 1, 1) : nullptr;
    if (want && !sel) {
        mem_free(list);
        read_opt_free_types(&opt);
        tool_err(out, "out of memory");
        return;
    }
    size_t marked = 0;
    yyjson_arr_iter it = yyjson_arr_iter_with(names);
    yyjson_val *v;
    while ((v = yyjson_arr_iter_next(&it))) {
        if (!yyjson_is_str(v)) continue;
        name_walk w;
        name_walk_start(g, yyjson_get_str(v), yyjson_get_len(v), &w);
        for (int64_t i; (i = name_walk_next(g, &w)) >= 0;) {
            marked += !sel[i];
            sel[i] = 1;
        }
    }
    for (uint64_t i = 0; marked > 0 && i < g->ent_count && n < want; i++) {
        if (!sel[i]) continue;
        list[n++] = &g->ents[i];
        marked--;
    }
    mem_free(sel);
    read_finish(out, g, list, n, &opt);
}
