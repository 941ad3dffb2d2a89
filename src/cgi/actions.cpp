// actions.cpp - the API actions: each gathers its parameters, builds the
// arguments object of one tool as an MCP client would, runs the tool and
// answers with its result text.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi.h"
#include "store/store.h"
#include "tools/tools.h"

namespace {

// Parameter buffer sizes, the terminating zero included.
constexpr size_t NAME_CAP = 2048;      // name, entityType, from, to, relationType
constexpr size_t QUERY_CAP = 512;      // q
constexpr size_t INT_CAP = 32;         // limit, observationLimit
constexpr size_t TYPES_CAP = 4096;     // entityTypes given as text
constexpr size_t LIST_CAP = 32000;     // observations, contents given as text

// One text parameter: its bytes (a zero byte and what follows it included)
// and their number.
template <size_t N>
struct text_param {
    char text[N];
    size_t len;
};

// The 400 answer for a parameter whose value is not UTF-8.
void not_utf8(const char *key) {
    char msg[96];
    snprintf(msg, sizeof msg, "the parameter %s is not valid UTF-8", key);
    json_err(400, msg);
}

// Text parameter that counts only when found and non-empty: 1 then, 0 when
// absent or empty, -1 when not valid UTF-8.
template <size_t N>
int param_given(cgi_request *r, const char *key, text_param<N> *p) {
    int found = param_text(r, key, p->text, N, &p->len);
    return found < 0 ? -1 : (found && p->len);
}

// A required text parameter: 1 when given, otherwise the 400 answer (message,
// or the one for a value that is not UTF-8) has been written and 0 is
// returned.
template <size_t N>
int require(cgi_request *r, const char *key, text_param<N> *p, const char *message) {
    int given = param_given(r, key, p);
    if (given > 0) return 1;
    if (given < 0) not_utf8(key);
    else json_err(400, message);
    return 0;
}

// Integer parameter: added as key when found, read as strtol reads it and
// saturated to 32 bits.
void add_int_param(args *a, cgi_request *r, const char *key) {
    char text[INT_CAP];
    if (!param_str(r, key, text, sizeof text)) return;
    long v = strtol(text, nullptr, 10);
    int n = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int)v;
    args_add_int(a->doc, a->root, key, n);
}

void add_str(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key, const char *text,
             size_t len) {
    if (doc && yyjson_mut_is_obj(obj))
        yyjson_mut_obj_add_val(doc, obj, key, yyjson_mut_strncpy(doc, text, len));
}

template <size_t N>
void add_param(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key, const text_param<N> &p) {
    add_str(doc, obj, key, p.text, p.len);
}

void arr_push_copy(yyjson_mut_doc *doc, yyjson_mut_val *arr, const char *text, size_t len) {
    yyjson_mut_val *s = yyjson_mut_strncpy(doc, text, len);
    if (s) yyjson_mut_arr_append(arr, s);
}

// The list parameter key as a new array in doc: the string elements of a body
// array of that name, else the "|"-separated pieces of the text parameter
// (read with a text_cap buffer; empty pieces kept only when keep_empty; a
// piece cut to its longest size ends on a whole character). Returns null when
// the request has no such list or the array cannot be made; *bad is set to 1
// when the text parameter is not valid UTF-8.
yyjson_mut_val *list_param(yyjson_mut_doc *doc, cgi_request *r, const char *key,
                           size_t text_cap, int keep_empty, int *bad) {
    *bad = 0;
    if (!doc) return nullptr;
    yyjson_val *body = body_arr(r, key);
    if (body) {
        yyjson_mut_val *arr = yyjson_mut_arr(doc);
        if (!arr) return nullptr;
        size_t idx, max;
        yyjson_val *v;
        yyjson_arr_foreach(body, idx, max, v) {
            if (yyjson_is_str(v)) arr_push_copy(doc, arr, yyjson_get_str(v), yyjson_get_len(v));
        }
        return arr;
    }
    char *text = (char *)mem_alloc(text_cap);
    if (!text) return nullptr;
    yyjson_mut_val *arr = nullptr;
    size_t text_len = 0;
    int found = param_text(r, key, text, text_cap, &text_len);
    if (found < 0) *bad = 1;
    if (found > 0) {
        arr = yyjson_mut_arr(doc);
        const char *p = text;
        const char *end = text + text_len;
        while (arr && p < end) {
            const char *bar = (const char *)memchr(p, '|', (size_t)(end - p));
            const char *stop = bar ? bar : end;
            size_t len = (size_t)(stop - p);
            if (len > LIST_PIECE_MAX) len = utf8_whole_prefix(p, LIST_PIECE_MAX);
            if (len || keep_empty) arr_push_copy(doc, arr, p, len);
            if (!bar) break;
            p = bar + 1;
        }
    }
    mem_free(text);
    return arr;
}

// A list that is always present: the parameter's list or an empty array.
// *bad as for list_param.
yyjson_mut_val *list_or_empty(yyjson_mut_doc *doc, cgi_request *r, const char *key, int *bad) {
    yyjson_mut_val *arr = list_param(doc, r, key, LIST_CAP, 0, bad);
    return arr ? arr : (doc ? yyjson_mut_arr(doc) : nullptr);
}

// Adds key holding an array with one element, elem.
void add_one(yyjson_mut_doc *doc, yyjson_mut_val *root, const char *key, yyjson_mut_val *elem) {
    if (!doc || !yyjson_mut_is_obj(root)) return;
    yyjson_mut_val *arr = yyjson_mut_arr(doc);
    if (!arr) return;
    if (elem) yyjson_mut_arr_append(arr, elem);
    yyjson_mut_obj_add_val(doc, root, key, arr);
}

// A new object in doc, or null.
yyjson_mut_val *new_obj(yyjson_mut_doc *doc) { return doc ? yyjson_mut_obj(doc) : nullptr; }

void run_and_free(const char *tool, args *a) {
    run_tool(tool, a->doc, a->root);
    yyjson_mut_doc_free(a->doc);
}

// Parameters of one relation; all three given or an answer already written.
struct rel_params {
    text_param<NAME_CAP> from;
    text_param<NAME_CAP> to;
    text_param<NAME_CAP> type;
};

void run_relation(const char *tool, const rel_params &p) {
    args a;
    args_init(&a);
    yyjson_mut_val *r = new_obj(a.doc);
    add_param(a.doc, r, "from", p.from);
    add_param(a.doc, r, "to", p.to);
    add_param(a.doc, r, "relationType", p.type);
    add_one(a.doc, a.root, "relations", r);
    run_and_free(tool, &a);
}

// A one-name action: name goes into key as the array's single element.
void run_named(cgi_request *r, const char *tool, const char *key) {
    text_param<NAME_CAP> name;
    if (!require(r, "name", &name, "missing name")) return;
    args a;
    args_init(&a);
    add_one(a.doc, a.root, key, a.doc ? yyjson_mut_strncpy(a.doc, name.text, name.len) : nullptr);
    run_and_free(tool, &a);
}

// An observations action: {key: [{"entityName": name, list_key: [...]}]}.
void run_obs(cgi_request *r, const char *tool, const char *key, const char *list_key) {
    text_param<NAME_CAP> name;
    if (!require(r, "name", &name, "missing name")) return;
    args a;
    args_init(&a);
    yyjson_mut_val *o = new_obj(a.doc);
    add_param(a.doc, o, "entityName", name);
    int bad;
    yyjson_mut_val *list = list_or_empty(a.doc, r, list_key, &bad);
    if (bad) {
        yyjson_mut_doc_free(a.doc);
        not_utf8(list_key);
        return;
    }
    if (o && list) yyjson_mut_obj_add_val(a.doc, o, list_key, list);
    add_one(a.doc, a.root, key, o);
    run_and_free(tool, &a);
}

}  // namespace

void args_init(args *a) {
    a->doc = yyjson_mut_doc_new(mem_yyjson());
    a->root = a->doc ? yyjson_mut_obj(a->doc) : nullptr;
    if (a->root) yyjson_mut_doc_set_root(a->doc, a->root);
}

void args_add_int(yyjson_mut_doc *doc, yyjson_mut_val *object, const char *key, int value) {
    if (!doc || !yyjson_mut_is_obj(object)) return;
    yyjson_mut_obj_add_val(doc, object, key, yyjson_mut_int(doc, value));
}

void run_tool(const char *name, yyjson_mut_doc *doc, yyjson_mut_val *root) {
    // The arguments go to the tool as a document: an immutable copy of the
    // one built, never written out and parsed back.
    yyjson_doc *copy = doc && root ? yyjson_mut_val_imut_copy(root, nullptr) : nullptr;
    yyjson_val *arguments = copy ? yyjson_doc_get_root(copy) : nullptr;
    tool_out out;
    tool_out_init(&out);
    if (tool_dispatch(name, arguments, &out) == 0) {
        char *answer = tool_api_result(&out);
        if (answer)
            json_raw(answer);
        else
            json_err(500, "out of memory");
        mem_free(answer);
        tool_free(&out);
    } else {
        tool_free(&out);
        json_err(400, "unknown action");
    }
    yyjson_doc_free(copy);
}

void do_graph(cgi_request *r) {
    args a;
    args_init(&a);
    int bad;
    yyjson_mut_val *types = list_param(a.doc, r, "entityTypes", TYPES_CAP, 1, &bad);
    if (bad) {
        yyjson_mut_doc_free(a.doc);
        not_utf8("entityTypes");
        return;
    }
    if (types && a.root) yyjson_mut_obj_add_val(a.doc, a.root, "entityTypes", types);
    add_int_param(&a, r, "limit");
    run_and_free("read_graph", &a);
}

void do_search(cgi_request *r) {
    text_param<QUERY_CAP> q;
    if (!require(r, "q", &q, "missing q")) return;
    args a;
    args_init(&a);
    add_param(a.doc, a.root, "query", q);
    add_int_param(&a, r, "limit");
    add_int_param(&a, r, "observationLimit");
    run_and_free("search_nodes", &a);
}

void do_entity(cgi_request *r) { run_named(r, "open_nodes", "names"); }

void do_delete_entity(cgi_request *r) { run_named(r, "delete_entities", "entityNames"); }

void do_add_entity(cgi_request *r) {
    text_param<NAME_CAP> name;
    text_param<NAME_CAP> type;
    if (!require(r, "name", &name, "missing name")) return;
    if (!require(r, "entityType", &type, "missing entityType")) return;
    args a;
    args_init(&a);
    yyjson_mut_val *e = new_obj(a.doc);
    add_param(a.doc, e, "name", name);
    add_param(a.doc, e, "entityType", type);
    int bad;
    yyjson_mut_val *list = list_or_empty(a.doc, r, "observations", &bad);
    if (bad) {
        yyjson_mut_doc_free(a.doc);
        not_utf8("observations");
        return;
    }
    if (e && list) yyjson_mut_obj_add_val(a.doc, e, "observations", list);
    add_one(a.doc, a.root, "entities", e);
    run_and_free("create_entities", &a);
}

void do_add_relation(cgi_request *r) {
    rel_params p;
    if (!require(r, "from", &p.from, "missing from")) return;
    if (!require(r, "to", &p.to, "missing to")) return;
    if (!require(r, "relationType", &p.type, "missing relationType")) return;
    run_relation("create_relations", p);
}

void do_delete_relation(cgi_request *r) {
    rel_params p;
    int has_from = param_given(r, "from", &p.from);
    int has_to = param_given(r, "to", &p.to);
    int has_type = param_given(r, "relationType", &p.type);
    const char *bad = has_from < 0 ? "from" : has_to < 0 ? "to" : has_type < 0 ? "relationType"
                                                                               : nullptr;
    if (bad) {
        not_utf8(bad);
        return;
    }
    if (!has_from || !has_to || !has_type) {
        json_err(400, "from, to and relationType are all required");
        return;
    }
    run_relation("delete_relations", p);
}

void do_add_obs(cgi_request *r) { run_obs(r, "add_observations", "observations", "contents"); }

void do_delete_obs(cgi_request *r) {
    run_obs(r, "delete_observations", "deletions", "observations");
}
