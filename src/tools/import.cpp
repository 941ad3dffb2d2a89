// import.cpp - an import: merges graph file lines into the graph by the
// rules of create_entities, add_observations and create_relations, all in
// one write transaction, all or nothing. Its callers (the API's import
// action) frame its answer.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools_internal.h"

namespace {

enum line_kind : int32_t { KIND_ENTITY = 1, KIND_RELATION = 2 };

// One line of the body that holds something: its number (from 1), its
// parsed text and its kind. The document is owned.
struct import_line {
    size_t no;
    yyjson_doc *doc;
    int32_t kind;
    int32_t skipped;  // an entity whose name the graph held already
};

// The lines of a body and the memory behind them; frees them when its scope
// ends.
struct import_lines {
    import_line *at = nullptr;
    size_t n = 0;
    import_lines() = default;
    import_lines(const import_lines &) = delete;
    import_lines &operator=(const import_lines &) = delete;
    ~import_lines() {
        for (size_t i = 0; i < n; i++) yyjson_doc_free(at[i].doc);
        mem_free(at);
    }
};

// The one place an import's refusal is worded: "line N: why" when a line is
// to blame, else why.
void fail_at(import_tally *t, size_t line, const char *why) {
    t->err_line = line;
    if (line) snprintf(t->err, sizeof t->err, "line %zu: %s", line, why);
    else snprintf(t->err, sizeof t->err, "%s", why);
}

// Splits the body into lines (a carriage return before a line feed is
// dropped, blank lines are passed over), parses each and tells its kind by
// its "type": an object whose "type" is "entity" or "relation". Returns 0, or
// -1 with the error naming the first line that is neither.
int read_lines(const char *body, size_t len, import_lines *out, import_tally *t) {
    size_t count = 1;
    for (size_t i = 0; i < len; i++) count += body[i] == '\n';
    out->at = (import_line *)mem_calloc(count, sizeof *out->at);
    if (!out->at) {
        fail_at(t, 0, "not enough memory to read the import");
        return -1;
    }
    size_t no = 0;
    // A byte order mark at the very start is no part of the first line, as
    // for a load of the graph file (an export hands that file out as stored).
    size_t first = len >= 3 && memcmp(body, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    for (size_t start = first; start < len;) {
        const char *nl = (const char *)memchr(body + start, '\n', len - start);
        size_t end = nl ? (size_t)(nl - body) : len;
        size_t n = end - start;
        no++;
        const char *p = body + start;
        start = end + 1;
        if (n && p[n - 1] == '\r') n--;
        size_t blank = 0;
        while (blank < n && (p[blank] == ' ' || p[blank] == '\t')) blank++;
        if (blank == n) continue;
        yyjson_read_err rerr;
        yyjson_doc *doc = yyjson_read_opts((char *)p, n, 0, mem_yyjson(), &rerr);
        if (!doc) {
            fail_at(t, no, rerr.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION ? "not enough memory to import it"
                                                                           : "not valid JSON");
            return -1;
        }
        import_line *l = &out->at[out->n++];
        l->no = no;
        l->doc = doc;
        yyjson_val *type = yyjson_obj_get(yyjson_doc_get_root(doc), "type");
        if (yyjson_equals_str(type, "entity")) l->kind = KIND_ENTITY;
        else if (yyjson_equals_str(type, "relation")) l->kind = KIND_RELATION;
        else {
            fail_at(t, no, "neither an entity nor a relation (its \"type\" must be \"entity\" or "
                           "\"relation\")");
            return -1;
        }
    }
    return 0;
}

// Runs one tool on {key: [element]}, element being v or, when v is null, the
// object {"entityName": name, "contents": contents}. Returns 0 with the
// tool's result in out, or -1 with the tool's error set in t for line no.
int run_on(void (*tool)(yyjson_val *, tool_out *), const char *key, yyjson_val *v,
           yyjson_val *name, yyjson_val *contents, size_t no, tool_out *out, import_tally *t) {
    // A member that could not be added would change what the tool is asked.
    uint64_t refused = mem_refusals();
    yyjson_mut_doc *m = yyjson_mut_doc_new(mem_yyjson());
    yyjson_mut_val *root = m ? yyjson_mut_obj(m) : nullptr;
    yyjson_mut_val *arr = m ? yyjson_mut_arr(m) : nullptr;
    yyjson_mut_val *el = nullptr;
    if (m && v) {
        el = yyjson_val_mut_copy(m, v);
    } else if (m) {
        el = yyjson_mut_obj(m);
        if (el) {
            yyjson_mut_obj_add_val(m, el, "entityName", yyjson_val_mut_copy(m, name));
            yyjson_mut_obj_add_val(m, el, "contents", yyjson_val_mut_copy(m, contents));
        }
    }
    yyjson_doc *args = nullptr;
    if (root && arr && el && yyjson_mut_arr_append(arr, el) && yyjson_mut_obj_add_val(m, root, key, arr)) {
        yyjson_mut_doc_set_root(m, root);
        args = yyjson_mut_doc_imut_copy(m, mem_yyjson());
    }
    yyjson_mut_doc_free(m);
    if (args && mem_refusals() != refused) {
        yyjson_doc_free(args);
        args = nullptr;
    }
    if (!args) {
        fail_at(t, no, "not enough memory to import it");
        return -1;
    }
    tool_out_init(out);
    tool(yyjson_doc_get_root(args), out);
    yyjson_doc_free(args);
    if (!out->failed) return 0;
    fail_at(t, no, out->err ? out->err : "it could not be imported");
    tool_free(out);
    return -1;
}

// Size of the array member key of a tool's result, or 0.
size_t result_count(const tool_out *out, const char *key) {
    return out->root ? yyjson_mut_arr_size(yyjson_mut_obj_get(out->root, key)) : 0;
}

// Refuses an entity line whose observations the graph would not take
// whole: a new entity keeps at most MEMORY_MAX_OBS of them, and none that is
// not a string or is longer than a load reads back. An import never drops
// part of a line silently. Returns 0, or -1 with the error in t.
int check_observations(const import_line *l, import_tally *t) {
    yyjson_val *root = yyjson_doc_get_root(l->doc);
    const char *name = yyjson_get_str(yyjson_obj_get(root, "name"));
    yyjson_val *obs = yyjson_obj_get(root, "observations");
    if (!name || !yyjson_is_arr(obs)) return 0;  // the tool's own checks answer
    char why[256];
    yyjson_arr_iter it = yyjson_arr_iter_with(obs);
    yyjson_val *v;
    while ((v = yyjson_arr_iter_next(&it))) {
        if (!yyjson_is_str(v)) {
            snprintf(why, sizeof why, "an observation of %.120s is not a string", name);
            fail_at(t, l->no, why);
            return -1;
        }
        if (yyjson_get_len(v) > OBS_TEXT_MAX) {
            snprintf(why, sizeof why, "an observation of %.120s is longer than %d bytes", name,
                     OBS_TEXT_MAX);
            fail_at(t, l->no, why);
            return -1;
        }
    }
    size_t n = yyjson_arr_size(obs);
    if (n > (size_t)limit_max_obs()) {
        snprintf(why, sizeof why,
                 "%.120s has %zu observations, more than MEMORY_MAX_OBS (%d) allows; raise the "
                 "limit to import it",
                 name, n, limit_max_obs());
        fail_at(t, l->no, why);
        return -1;
    }
    return 0;
}

// Adds the observations of a new entity's line past the OBS_SCAN_MAX that
// create_entities looks at (MEMORY_MAX_OBS may allow more). Returns 0, or -1
// with the error in t.
int add_rest(const import_line *l, import_tally *t) {
    yyjson_val *root = yyjson_doc_get_root(l->doc);
    yyjson_val *obs = yyjson_obj_get(root, "observations");
    size_t n = yyjson_arr_size(obs);
    if (n <= OBS_SCAN_MAX) return 0;
    yyjson_mut_doc *m = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *rest = m ? yyjson_mut_arr(m) : nullptr;
    int ok = rest != nullptr;
    for (size_t i = OBS_SCAN_MAX; ok && i < n; i++)
        ok = yyjson_mut_arr_append(rest, yyjson_val_mut_copy(m, yyjson_arr_get(obs, i)));
    yyjson_doc *d = nullptr;
    if (ok) {
        yyjson_mut_doc_set_root(m, rest);
        d = yyjson_mut_doc_imut_copy(m, nullptr);
    }
    yyjson_mut_doc_free(m);
    if (!d) {
        fail_at(t, l->no, "not enough memory to import it");
        return -1;
    }
    tool_out out;
    int r = run_on(tool_add_observations, "observations", nullptr, yyjson_obj_get(root, "name"),
                   yyjson_doc_get_root(d), l->no, &out, t);
    yyjson_doc_free(d);
    if (r != 0) return -1;
    yyjson_mut_val *res = yyjson_mut_arr_get_first(yyjson_mut_obj_get(out.root, "results"));
    size_t added = yyjson_mut_arr_size(yyjson_mut_obj_get(res, "addedObservations"));
    t->obs_added += added;
    t->obs_skipped += n - OBS_SCAN_MAX - added;
    tool_free(&out);
    return 0;
}

// The checks create_relations makes of one element, made per line first so
// that a refusal names its line. Returns 0, or -1 with the error in t.
int check_relation(graph *g, const import_line *l, import_tally *t) {
    yyjson_val *root = yyjson_doc_get_root(l->doc);
    const char *ends[2] = {yyjson_get_str(yyjson_obj_get(root, "from")),
                           yyjson_get_str(yyjson_obj_get(root, "to"))};
    const char *rt = yyjson_get_str(yyjson_obj_get(root, "relationType"));
    if (!ends[0] || !ends[1] || !rt || !*ends[0] || !*ends[1] || !*rt) {
        fail_at(t, l->no, "Each relation must be an object with non-empty from, to and relationType.");
        return -1;
    }
    for (const char *end : ends) {
        if (ent_find(g, end)) continue;
        char why[960];
        snprintf(why, sizeof why, "Entity with name %.900s not found", end);
        fail_at(t, l->no, why);
        return -1;
    }
    return 0;
}

// The relation lines, checked one by one and then added by one run of
// create_relations, which looks at the graph's relations once: per line it
// would look at them all again, and an import would take time in the square
// of its lines. Returns 0, or -1 with the error in t.
int merge_relations(graph *g, import_lines *lines, import_tally *t) {
    yyjson_mut_doc *m = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *root = m ? yyjson_mut_obj(m) : nullptr;
    yyjson_mut_val *arr = m ? yyjson_mut_arr(m) : nullptr;
    int ok = root && arr && yyjson_mut_obj_add_val(m, root, "relations", arr);
    size_t n = 0;
    for (size_t i = 0; ok && i < lines->n; i++) {
        import_line *l = &lines->at[i];
        if (l->kind != KIND_RELATION) continue;
        if (check_relation(g, l, t) != 0) {
            yyjson_mut_doc_free(m);
            return -1;
        }
        ok = yyjson_mut_arr_append(arr, yyjson_val_mut_copy(m, yyjson_doc_get_root(l->doc)));
        n++;
    }
    yyjson_doc *args = nullptr;
    if (ok && n) {
        yyjson_mut_doc_set_root(m, root);
        args = yyjson_mut_doc_imut_copy(m, nullptr);
    }
    yyjson_mut_doc_free(m);
    if (!n) return 0;
    if (!args) {
        fail_at(t, 0, "not enough memory to import it");
        return -1;
    }
    tool_out out;
    tool_out_init(&out);
    tool_create_relations(yyjson_doc_get_root(args), &out);
    yyjson_doc_free(args);
    if (out.failed) {
        fail_at(t, 0, out.err ? out.err : "the relations could not be imported");
        tool_free(&out);
        return -1;
    }
    t->rels_added = result_count(&out, "relations");
    t->rels_skipped = n - t->rels_added;
    tool_free(&out);
    return 0;
}

// The three steps, inside the open transaction of g: entities, then
// observations of the entities that were there already, then relations.
// Returns 0, or -1 with the error in t.
int merge(graph *g, import_lines *lines, import_tally *t) {
    tool_out out;
    for (size_t i = 0; i < lines->n; i++) {
        import_line *l = &lines->at[i];
        if (l->kind != KIND_ENTITY) continue;
        if (check_observations(l, t) != 0) return -1;
        yyjson_val *root = yyjson_doc_get_root(l->doc);
        if (run_on(tool_create_entities, "entities", root, nullptr, nullptr, l->no, &out, t) != 0)
            return -1;
        yyjson_mut_val *made = yyjson_mut_arr_get_first(yyjson_mut_obj_get(out.root, "entities"));
        if (made) {
            t->ents_added++;
            t->obs_added += yyjson_mut_arr_size(yyjson_mut_obj_get(made, "observations"));
            // create_entities looks at the first OBS_SCAN_MAX; a raised limit
            // takes the rest as add_observations does.
            if (add_rest(l, t) != 0) {
                tool_free(&out);
                return -1;
            }
        } else if (result_count(&out, "skipped")) {
            l->skipped = 1;
            t->ents_skipped++;
            if (t->skipped_names.len) buf_putc(&t->skipped_names, ',');
            json_str(&t->skipped_names, yyjson_get_str(yyjson_obj_get(root, "name")));
        }
        tool_free(&out);
    }
    for (size_t i = 0; i < lines->n; i++) {
        import_line *l = &lines->at[i];
        yyjson_val *root = yyjson_doc_get_root(l->doc);
        yyjson_val *obs = yyjson_obj_get(root, "observations");
        if (!l->skipped || !yyjson_arr_size(obs)) continue;
        if (run_on(tool_add_observations, "observations", nullptr, yyjson_obj_get(root, "name"), obs,
                   l->no, &out, t) != 0)
            return -1;
        yyjson_mut_val *res = yyjson_mut_arr_get_first(yyjson_mut_obj_get(out.root, "results"));
        size_t added = yyjson_mut_arr_size(yyjson_mut_obj_get(res, "addedObservations"));
        t->obs_added += added;
        t->obs_skipped += yyjson_arr_size(obs) - added;
        tool_free(&out);
    }
    return merge_relations(g, lines, t);
}

}  // namespace

int import_graph_lines(const char *body, size_t len, int check_only, import_tally *t,
                       int (*answer)(const import_tally *t, void *ctx), void *ctx) {
    *t = import_tally{};
    buf_init(&t->skipped_names);
    import_lines lines;
    if (read_lines(body, len, &lines, t) != 0) return -1;
    graph_txn tx;
    store_rc rc = graph_begin(&tx);
    if (rc != STORE_OK) {
        char msg[STORE_MESSAGE_CAP];
        fail_at(t, 0, store_message(rc, msg, sizeof msg));
        return -1;
    }
    if (merge(tx.g, &lines, t) != 0) {
        graph_abort(&tx);
        return -1;
    }
    // The answer is written before the change is saved, so that a saved
    // import always has it.
    int answered = answer(t, ctx) == 0;
    if (!answered || check_only) {
        graph_abort(&tx);
        return answered ? 0 : -1;
    }
    rc = graph_commit(&tx);
    if (rc != STORE_OK) {
        char msg[STORE_MESSAGE_CAP];
        fail_at(t, 0, store_message(rc, msg, sizeof msg));
        return -1;
    }
    return 0;
}
