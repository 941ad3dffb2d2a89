// delete.cpp - the tools that remove from the graph: delete_entities,
// delete_observations and delete_relations.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools_internal.h"

// The texts of G are released through graph_text_free: those a load took
// from the file share one block and are never freed one by one.
static void free_rel(rel *r) {
    graph_text_free(&G, r->from);
    graph_text_free(&G, r->to);
    graph_text_free(&G, r->relation_type);
}

static void free_ent(ent *e) {
    graph_text_free(&G, e->name);
    graph_text_free(&G, e->entity_type);
    for (uint64_t i = 0; i < e->obs_count; i++) graph_text_free(&G, e->obs[i]);
    free(e->obs);
}

// Adds "success": true and a copy of message to the result; the change is
// already saved, so a failure here only reports "out of memory".
static void success_message(tool_out *out, const buf *msg) {
    if (!out->doc) tool_start(out);
    if (out->failed) return;
    yyjson_mut_doc *doc = out->doc;
    yyjson_mut_obj_add(out->root, yyjson_mut_str(doc, "success"), yyjson_mut_true(doc));
    yyjson_mut_obj_add(out->root, yyjson_mut_str(doc, "message"),
                       yyjson_mut_strcpy(doc, buf_str(msg)));
}

// 1 when name equals one of the n requested names (absent slots never match).
static int requested(const char *name, yyjson_val *const *names, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (names[i] && str_val_is(names[i], name)) return 1;
    return 0;
}

void tool_delete_entities(yyjson_val *args, tool_out *out) {
    yyjson_val *list = required_array(args, "entityNames", out);
    if (!list || refuse_nul(args, out)) return;
    writer_lock lk;
    if (changing_begin(out, &lk) != 0) return;

    size_t n = yyjson_arr_size(list);
    yyjson_val **names = (yyjson_val **)calloc(n ? n : 1, sizeof *names);
    int *found = (int *)calloc(n ? n : 1, sizeof *found);
    if (!names || !found) {
        free(names);
        free(found);
        tool_err(out, "out of memory");
        return;
    }
    size_t deleted = 0;
    for (size_t i = 0; i < n; i++) {
        yyjson_val *v = yyjson_arr_get(list, i);
        if (!yyjson_is_str(v)) continue;
        names[i] = v;
        for (uint64_t k = 0; k < G.ent_count; k++) {
            if (str_val_is(v, G.ents[k].name)) {
                G.ents[k].is_new = 1;
                found[i] = 1;
                break;
            }
        }
        int repeat = 0;
        for (size_t j = 0; j < i && !repeat; j++)
            repeat = names[j] && yyjson_get_len(names[j]) == yyjson_get_len(v) &&
                     memcmp(yyjson_get_str(names[j]), yyjson_get_str(v), yyjson_get_len(v)) == 0;
        if (!repeat) deleted += (size_t)found[i];
    }

    uint64_t keep = 0;
    for (uint64_t i = 0; i < G.rel_count; i++) {
        rel *r = &G.rels[i];
        if (requested(r->from, names, n) || requested(r->to, names, n)) free_rel(r);
        else G.rels[keep++] = *r;
    }
    G.rel_count = keep;
    keep = 0;
    for (uint64_t i = 0; i < G.ent_count; i++) {
        ent *e = &G.ents[i];
        if (e->is_new) free_ent(e);
        else G.ents[keep++] = *e;
    }
    G.ent_count = keep;

    if (changing_save(out) == 0) {
        buf msg;
        buf_init(&msg);
        if (deleted == n) {
            buf_puts(&msg, "Entities deleted successfully");
        } else {
            char head[96];
            snprintf(head, sizeof head, "Deleted %zu of %zu entities. Not found: ", deleted, n);
            buf_puts(&msg, head);
            int first = 1;
            for (size_t i = 0; i < n; i++) {
                if (!names[i] || found[i]) continue;
                if (!first) buf_puts(&msg, ", ");
                buf_puts(&msg, yyjson_get_str(names[i]));
                first = 0;
            }
        }
        success_message(out, &msg);
        buf_free(&msg);
    }
    free(names);
    free(found);
}

// Removes every observation of e equal to the string v; returns how many.
static size_t obs_remove(ent *e, yyjson_val *v) {
    uint64_t keep = 0;
    size_t removed = 0;
    for (uint64_t i = 0; i < e->obs_count; i++) {
        if (str_val_is(v, e->obs[i])) {
            graph_text_free(&G, e->obs[i]);
            removed++;
        } else {
            e->obs[keep++] = e->obs[i];
        }
    }
    if (removed) {
        e->obs_count = keep;
        // Keep the array exactly as long as the observations it holds.
        if (keep == 0) {
            free(e->obs);
            e->obs = nullptr;
        } else {
            char **shrunk = (char **)realloc(e->obs, sizeof(char *) * keep);
            if (shrunk) e->obs = shrunk;
        }
    }
    return removed;
}

void tool_delete_observations(yyjson_val *args, tool_out *out) {
    yyjson_val *list = required_array(args, "deletions", out);
    if (!list || refuse_nul(args, out)) return;
    writer_lock lk;
    if (changing_begin(out, &lk) != 0) return;

    size_t requested_n = 0, deleted = 0;
    buf missing;
    buf_init(&missing);
    yyjson_arr_iter it = yyjson_arr_iter_with(list);
    yyjson_val *el;
    while ((el = yyjson_arr_iter_next(&it))) {
        const char *name = nonempty_str(arg_get(el, "entityName"));
        if (!name) {
            tool_err(out, "Each deletion needs a non-empty entityName.");
            break;
        }
        yyjson_val *texts = arg_get(el, "observations");
        if (!yyjson_is_arr(texts)) {
            tool_err(out, "Observations for %s must be an array of strings.", name);
            break;
        }
        ent *e = ent_find(&G, name);
        requested_n += yyjson_arr_size(texts);
        if (!e) {
            if (missing.len) buf_puts(&missing, ", ");
            buf_puts(&missing, name);
            continue;
        }
        yyjson_arr_iter ti = yyjson_arr_iter_with(texts);
        yyjson_val *tv;
        while ((tv = yyjson_arr_iter_next(&ti)))
            if (yyjson_is_str(tv)) deleted += obs_remove(e, tv);
    }
    if (!out->failed && changing_save(out) == 0) {
        buf msg;
        buf_init(&msg);
        if (deleted == requested_n) {
            buf_puts(&msg, "Observations deleted successfully");
        } else {
            char head[96];
            snprintf(head, sizeof head, "Deleted %zu of %zu observations.", deleted, requested_n);
            buf_puts(&msg, head);
            if (missing.len) {
                buf_puts(&msg, " Entities not found: ");
                buf_puts(&msg, buf_str(&missing));
            }
        }
        success_message(out, &msg);
        buf_free(&msg);
    }
    buf_free(&missing);
}

// 1 when the request element el names exactly the relation r.
static int rel_requested(const rel *r, yyjson_val *el) {
    return str_val_is(arg_get(el, "from"), r->from) && str_val_is(arg_get(el, "to"), r->to) &&
           str_val_is(arg_get(el, "relationType"), r->relation_type);
}

void tool_delete_relations(yyjson_val *args, tool_out *out) {
    yyjson_val *list = required_array(args, "relations", out);
    if (!list || refuse_nul(args, out)) return;
    writer_lock lk;
    if (changing_begin(out, &lk) != 0) return;

    size_t n = yyjson_arr_size(list);
    uint64_t before = G.rel_count, keep = 0;
    for (uint64_t i = 0; i < G.rel_count; i++) {
        rel *r = &G.rels[i];
        int hit = 0;
        yyjson_arr_iter it = yyjson_arr_iter_with(list);
        yyjson_val *el;
        while (!hit && (el = yyjson_arr_iter_next(&it)))
            hit = yyjson_is_obj(el) && rel_requested(r, el);
        if (hit) free_rel(r);
        else G.rels[keep++] = *r;
    }
    G.rel_count = keep;
    size_t deleted = (size_t)(before - keep);

    if (changing_save(out) != 0) return;
    buf msg;
    buf_init(&msg);
    if (deleted == n) {
        buf_puts(&msg, "Relations deleted successfully");
    } else {
        char head[112];
        snprintf(head, sizeof head, "Deleted %zu of %zu relations. The rest matched nothing.",
                 deleted, n);
        buf_puts(&msg, head);
    }
    success_message(out, &msg);
    buf_free(&msg);
}
