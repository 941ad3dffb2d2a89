// delete.cpp - the tools that remove from the graph: delete_entities,
// delete_observations and delete_relations.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools_internal.h"

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

// The text of a requested name that can equal a stored name: a string
// without a zero byte; null otherwise.
static const char *name_text(yyjson_val *v) {
    if (!yyjson_is_str(v)) return nullptr;
    const char *s = yyjson_get_str(v);
    return strlen(s) == yyjson_get_len(v) ? s : nullptr;
}

// A relation goes with a requested name at either end, whether or not an
// entity of that name exists.
static int rel_names_requested(const rel *r, void *ctx) {
    const text_set *requested = (const text_set *)ctx;
    return text_set_find(requested, r->from, -1) >= 0 || text_set_find(requested, r->to, -1) >= 0;
}

void tool_delete_entities(yyjson_val *args, tool_out *out) {
    yyjson_val *list = required_array(args, "entityNames", out);
    if (!list || refuse_nul(args, out)) return;
    graph_txn tx;
    graph *g = change_begin(&tx, out);
    if (!g) return;

    // For each requested name its string (or null) and its text, whether it
    // was found, and for each entity whether it goes: one block.
    size_t n = yyjson_arr_size(list);
    size_t slots = n ? n : 1;
    heap_guard block{mem_calloc(1, slots * (sizeof(yyjson_val *) + sizeof(char *) + 1) +
                                   (size_t)g->ent_count + 1)};
    if (!block.p) {
        tool_err(out, "out of memory");
        return;
    }
    yyjson_val **names = (yyjson_val **)block.p;
    const char **texts = (const char **)(names + slots);
    unsigned char *found = (unsigned char *)(texts + slots);
    unsigned char *marks = found + slots;
    for (size_t i = 0; i < n; i++) {
        yyjson_val *v = yyjson_arr_get(list, i);
        if (!yyjson_is_str(v)) continue;
        names[i] = v;
        texts[i] = name_text(v);
    }
    text_set requested;
    text_set_init(&requested, texts, n);
    size_t deleted = 0;
    for (size_t i = 0; i < n; i++) {
        if (!texts[i]) continue;
        int64_t e = ent_lookup(g, texts[i], strlen(texts[i]));
        if (e < 0) continue;
        marks[e] = 1;
        found[i] = 1;
        // A name requested twice counts once.
        if (text_set_find(&requested, texts[i], -1) == (int64_t)i) deleted++;
    }
    rels_remove_matching(g, rel_names_requested, &requested);
    text_set_free(&requested);
    ents_remove_marked(g, marks);

    {
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
    // The answer is complete before the change is saved.
    change_commit(&tx, out);
}

void tool_delete_observations(yyjson_val *args, tool_out *out) {
    yyjson_val *list = required_array(args, "deletions", out);
    if (!list || refuse_nul(args, out)) return;
    graph_txn tx;
    graph *g = change_begin(&tx, out);
    if (!g) return;

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
        ent *e = ent_find(g, name);
        requested_n += yyjson_arr_size(texts);
        if (!e) {
            if (missing.len) buf_puts(&missing, ", ");
            buf_puts(&missing, name);
            continue;
        }
        yyjson_arr_iter ti = yyjson_arr_iter_with(texts);
        yyjson_val *tv;
        while ((tv = yyjson_arr_iter_next(&ti)))
            if (yyjson_is_str(tv))
                deleted += (size_t)obs_remove(g, e, yyjson_get_str(tv), yyjson_get_len(tv));
    }
    if (!out->failed) {
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
        change_commit(&tx, out);
    }
    buf_free(&missing);
}

// 1 when the request's list names exactly the relation r.
static int rel_requested(const rel *r, void *ctx) {
    return rel_list_find((const rel_list *)ctx, r->from, r->to, r->relation_type, -1) >= 0;
}

void tool_delete_relations(yyjson_val *args, tool_out *out) {
    yyjson_val *list = required_array(args, "relations", out);
    if (!list || refuse_nul(args, out)) return;
    graph_txn tx;
    graph *g = change_begin(&tx, out);
    if (!g) return;

    // The fields of each element that can name a stored relation: strings
    // without a zero byte.
    size_t n = yyjson_arr_size(list);
    rel_list q;
    if (rel_list_init(&q, n, 0, nullptr, out) != 0) return;
    for (size_t i = 0; i < n; i++) {
        yyjson_val *el = yyjson_arr_get(list, i);
        if (!yyjson_is_obj(el)) continue;
        q.from[i] = name_text(arg_get(el, "from"));
        q.to[i] = name_text(arg_get(el, "to"));
        q.type[i] = name_text(arg_get(el, "relationType"));
    }
    rel_list_index(&q);
    size_t deleted = (size_t)rels_remove_matching(g, rel_requested, &q);

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
    change_commit(&tx, out);
}
