// create.cpp - the tools that add to the graph: create_entities,
// create_relations and add_observations.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools_internal.h"

// Appends the composed note about skipped names to out.
static void note_skipped(tool_out *out, yyjson_mut_val *skipped) {
    size_t k = yyjson_mut_arr_size(skipped);
    buf b;
    buf_init(&b);
    char head[96];
    snprintf(head, sizeof head, "Skipped %zu %s: ", k,
             k == 1 ? "entity that already exists" : "entities that already exist");
    buf_puts(&b, head);
    size_t idx = 0;
    yyjson_mut_arr_iter it = yyjson_mut_arr_iter_with(skipped);
    yyjson_mut_val *v;
    while ((v = yyjson_mut_arr_iter_next(&it))) {
        if (idx++) buf_puts(&b, ", ");
        buf_puts(&b, yyjson_mut_get_str(v));
    }
    buf_puts(&b, k == 1 ? ". Its observations were not added; use add_observations for existing "
                          "entities."
                        : ". Their observations were not added; use add_observations for "
                          "existing entities.");
    if (!b.dropped) out->note = dup_or_null(buf_str(&b));
    buf_free(&b);
}

void tool_create_entities(yyjson_val *args, tool_out *out) {
    yyjson_val *list = required_array(args, "entities", out);
    if (!list || refuse_nul(args, out)) return;
    graph_txn tx;
    graph *g = change_begin(&tx, out);
    if (!g) return;
    if (!out->doc) tool_start(out);
    if (out->failed) return;
    // The entities created are the ones appended from here on.
    uint64_t first_new = g->ent_count;
    yyjson_mut_doc *doc = out->doc;
    yyjson_mut_val *created = yyjson_mut_arr(doc);
    yyjson_mut_val *skipped = yyjson_mut_arr(doc);

    yyjson_arr_iter it = yyjson_arr_iter_with(list);
    yyjson_val *el;
    while ((el = yyjson_arr_iter_next(&it))) {
        if (!yyjson_is_obj(el)) {
            tool_err(out, "Each entity must be an object with name, entityType and observations.");
            break;
        }
        const char *name = nonempty_str(arg_get(el, "name"));
        const char *type = nonempty_str(arg_get(el, "entityType"));
        if (!name || !type) {
            tool_err(out, "Each entity needs a non-empty name and entityType.");
            break;
        }
        yyjson_val *obs = arg_get(el, "observations");
        if (obs && !yyjson_is_arr(obs)) {
            tool_err(out, "Entity '%s': observations must be an array of strings.", name);
            break;
        }
        if (ent_find(g, name)) {
            if (skipped) yyjson_mut_arr_append(skipped, yyjson_mut_str(doc, name));
            continue;
        }
        char **texts = nullptr;
        size_t count = 0;
        store_rc rc = str_arr_from(obs, &texts, &count, OBS_SCAN_MAX);
        if (rc == STORE_OK) rc = ent_add(g, name, type, texts, count);
        str_arr_free(texts, count);
        if (rc != STORE_OK) {
            tool_store_err(out, rc);
            break;
        }
    }
    if (out->failed) return;

    read_opt opt;
    read_opt_init(&opt);
    for (uint64_t i = first_new; i < g->ent_count; i++) {
        yyjson_mut_val *o = ent_to_mut(doc, &g->ents[i], &opt);
        if (o && created) yyjson_mut_arr_append(created, o);
    }
    if (created) yyjson_mut_obj_add(out->root, yyjson_mut_str(doc, "entities"), created);
    if (skipped && yyjson_mut_arr_size(skipped) > 0) {
        yyjson_mut_obj_add(out->root, yyjson_mut_str(doc, "skipped"), skipped);
        note_skipped(out, skipped);
    }
    // The answer is complete before the change is saved.
    change_commit(&tx, out);
}

// Marks in known the request elements that the graph already holds, in one
// walk over its relations.
static void mark_known(const graph *g, const rel_list *l, unsigned char *known) {
    for (uint64_t r = 0; r < g->rel_count; r++) {
        const rel *x = &g->rels[r];
        for (int64_t i = rel_list_find(l, x->from, x->to, x->relation_type, -1); i >= 0;
             i = rel_list_find(l, x->from, x->to, x->relation_type, i))
            known[i] = 1;
    }
}

void tool_create_relations(yyjson_val *args, tool_out *out) {
    yyjson_val *list = required_array(args, "relations", out);
    if (!list || refuse_nul(args, out)) return;
    graph_txn tx;
    graph *g = change_begin(&tx, out);
    if (!g) return;

    // The three fields of each element, then a byte per element for
    // whether the graph holds it already.
    size_t n = yyjson_arr_size(list);
    rel_list f;
    unsigned char *known;
    if (rel_list_init(&f, n, n, &known, out) != 0) return;

    // Check every element before anything changes.
    size_t i = 0;
    yyjson_arr_iter it = yyjson_arr_iter_with(list);
    yyjson_val *el;
    while ((el = yyjson_arr_iter_next(&it))) {
        const char *from = nonempty_str(arg_get(el, "from"));
        const char *to = nonempty_str(arg_get(el, "to"));
        const char *rt = nonempty_str(arg_get(el, "relationType"));
        if (!yyjson_is_obj(el) || !from || !to || !rt) {
            tool_err(out, "Each relation must be an object with non-empty from, to and "
                          "relationType.");
            return;
        }
        if (!ent_find(g, from)) {
            tool_err(out, "Entity with name %s not found", from);
            return;
        }
        if (!ent_find(g, to)) {
            tool_err(out, "Entity with name %s not found", to);
            return;
        }
        f.from[i] = from;
        f.to[i] = to;
        f.type[i] = rt;
        i++;
    }

    if (!out->doc) tool_start(out);
    if (out->failed) return;
    yyjson_mut_doc *doc = out->doc;
    yyjson_mut_val *added = yyjson_mut_arr(doc);
    // A relation the graph holds already, or one named earlier in the same
    // request, is not added again.
    rel_list_index(&f);
    mark_known(g, &f, known);
    for (i = 0; i < f.n; i++) {
        if (known[i] || rel_list_find(&f, f.from[i], f.to[i], f.type[i], -1) < (int64_t)i) continue;
        store_rc rc = rel_add(g, f.from[i], f.to[i], f.type[i]);
        if (rc != STORE_OK) {
            tool_store_err(out, rc);
            return;
        }
        yyjson_mut_val *o = rel_to_mut(doc, f.from[i], f.to[i], f.type[i]);
        if (o && added) yyjson_mut_arr_append(added, o);
    }
    if (added) yyjson_mut_obj_add(out->root, yyjson_mut_str(doc, "relations"), added);
    change_commit(&tx, out);
}

// 1 when the entity already holds an observation equal to text.
static int obs_known(const ent *e, const char *text) {
    for (uint64_t i = 0; i < e->obs_count; i++)
        if (e->obs[i] && strcmp(e->obs[i], text) == 0) return 1;
    return 0;
}

// Appends to b the sentences saying what add_observations left out of the
// texts for the entity name: too_long texts over OBS_TEXT_MAX bytes, and full
// texts because the entity holds MEMORY_MAX_OBS observations.
static void note_left_out(buf *b, const char *name, size_t too_long, size_t full) {
    struct {
        size_t count;
        const char *why;
    } parts[] = {{too_long, "over 8,000 bytes"}, {full, nullptr}};
    for (auto &p : parts) {
        if (!p.count) continue;
        char head[96];
        snprintf(head, sizeof head, "%sLeft out %zu %s for ", b->len ? " " : "", p.count,
                 p.count == 1 ? "observation" : "observations");
        buf_puts(b, head);
        buf_puts(b, name);
        char why[96];
        if (p.why) snprintf(why, sizeof why, ": %s.", p.why);
        else snprintf(why, sizeof why, ": the entity holds MEMORY_MAX_OBS (%d) observations.",
                      limit_max_obs());
        buf_puts(b, why);
    }
}

void tool_add_observations(yyjson_val *args, tool_out *out) {
    yyjson_val *list = required_array(args, "observations", out);
    if (!list || refuse_nul(args, out)) return;
    graph_txn tx;
    graph *g = change_begin(&tx, out);
    if (!g) return;

    // Check every element before anything changes.
    yyjson_arr_iter it = yyjson_arr_iter_with(list);
    yyjson_val *el;
    while ((el = yyjson_arr_iter_next(&it))) {
        const char *name = nonempty_str(arg_get(el, "entityName"));
        if (!name) {
            tool_err(out, "Each observation needs a non-empty entityName.");
            return;
        }
        if (!yyjson_is_arr(arg_get(el, "contents"))) {
            tool_err(out, "Observations for %s must be an array of strings.", name);
            return;
        }
        if (!ent_find(g, name)) {
            tool_err(out, "Entity with name %s not found", name);
            return;
        }
    }

    if (!out->doc) tool_start(out);
    if (out->failed) return;
    yyjson_mut_doc *doc = out->doc;
    yyjson_mut_val *results = yyjson_mut_arr(doc);
    buf left_out;  // the note about texts left out for a limit
    buf_init(&left_out);
    it = yyjson_arr_iter_with(list);
    while ((el = yyjson_arr_iter_next(&it))) {
        const char *name = yyjson_get_str(arg_get(el, "entityName"));
        ent *e = ent_find(g, name);
        yyjson_mut_val *o = yyjson_mut_obj(doc);
        yyjson_mut_val *added = yyjson_mut_arr(doc);
        size_t too_long = 0, full = 0;
        yyjson_arr_iter ci = yyjson_arr_iter_with(arg_get(el, "contents"));
        yyjson_val *cv;
        while ((cv = yyjson_arr_iter_next(&ci))) {
            const char *text = yyjson_get_str(cv);
            if (!text) continue;
            // A text the loader would not read back is never stored.
            if (strlen(text) > OBS_TEXT_MAX) {
                too_long++;
                continue;
            }
            if (obs_known(e, text)) continue;
            if (e->obs_count >= (uint64_t)limit_max_obs()) {
                full++;
                continue;
            }
            if (obs_push(g, e, text) != STORE_OK) continue;
            if (added) yyjson_mut_arr_append(added, yyjson_mut_str(doc, text));
        }
        note_left_out(&left_out, name, too_long, full);
        if (o) {
            yyjson_mut_obj_add(o, yyjson_mut_str(doc, "entityName"), yyjson_mut_str(doc, name));
            if (added) yyjson_mut_obj_add(o, yyjson_mut_str(doc, "addedObservations"), added);
            if (results) yyjson_mut_arr_append(results, o);
        }
    }
    // The answer is complete before the change is saved.
    if (results) yyjson_mut_obj_add(out->root, yyjson_mut_str(doc, "results"), results);
    if (left_out.len) {
        out->note = left_out.dropped ? nullptr : dup_or_null(buf_str(&left_out));
        if (!out->note) tool_err(out, "out of memory");
    }
    if (!out->failed) change_commit(&tx, out);
    buf_free(&left_out);
}
