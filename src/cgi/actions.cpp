// actions.cpp - the API actions: each gathers its parameters, builds the
// arguments object of one tool as an MCP client would, runs the tool and
// answers with its result text.
#include <climits>
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
constexpr size_t PIECE_MAX = 7999;     // longest piece of a "|"-separated list

// Text parameter that counts only when found and non-empty.
int param_given(cgi_request *r, const char *key, char *dst, size_t cap) {
    return param_str(r, key, dst, cap) && dst[0];
}

// A required text parameter: 1 when given, otherwise the 400 answer with
// message has been written and 0 is returned.
int require(cgi_request *r, const char *key, char *dst, size_t cap, const char *message) {
    if (param_given(r, key, dst, cap)) return 1;
    json_err(400, message);
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

void add_str(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key, const char *text) {
    if (doc && yyjson_mut_is_obj(obj))
        yyjson_mut_obj_add_val(doc, obj, key, yyjson_mut_strcpy(doc, text));
}

void arr_push_copy(yyjson_mut_doc *doc, yyjson_mut_val *arr, const char *text, size_t len) {
    yyjson_mut_val *s = yyjson_mut_strncpy(doc, text, len);
    if (s) yyjson_mut_arr_append(arr, s);
}

// The list parameter key as a new array in doc: the string elements of a body
// array of that name, else the "|"-separated pieces of the text parameter
// (read with a text_cap buffer; empty pieces kept only when keep_empty).
// Returns null when the request has no such list or the array cannot be made.
yyjson_mut_val *list_param(yyjson_mut_doc *doc, cgi_request *r, const char *key,
                           size_t text_cap, int keep_empty) {
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
    char *text = (char *)malloc(text_cap);
    if (!text) return nullptr;
    yyjson_mut_val *arr = nullptr;
    if (param_str(r, key, text, text_cap)) {
        arr = yyjson_mut_arr(doc);
        const char *p = text;
        const char *end = text + strlen(text);
        while (arr && p < end) {
            const char *bar = strchr(p, '|');
            const char *stop = bar ? bar : end;
            size_t len = (size_t)(stop - p);
            if (len > PIECE_MAX) len = PIECE_MAX;
            if (len || keep_empty) arr_push_copy(doc, arr, p, len);
            if (!bar) break;
            p = bar + 1;
        }
    }
    free(text);
    return arr;
}

// A list that is always present: the parameter's list or an empty array.
yyjson_mut_val *list_or_empty(yyjson_mut_doc *doc, cgi_request *r, const char *key) {
    yyjson_mut_val *arr = list_param(doc, r, key, LIST_CAP, 0);
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
    char from[NAME_CAP];
    char to[NAME_CAP];
    char type[NAME_CAP];
};

void run_relation(const char *tool, const rel_params &p) {
    args a;
    args_init(&a);
    yyjson_mut_val *r = new_obj(a.doc);
    add_str(a.doc, r, "from", p.from);
    add_str(a.doc, r, "to", p.to);
    add_str(a.doc, r, "relationType", p.type);
    add_one(a.doc, a.root, "relations", r);
    run_and_free(tool, &a);
}

// A one-name action: name goes into key as the array's single element.
void run_named(cgi_request *r, const char *tool, const char *key) {
    char name[NAME_CAP];
    if (!require(r, "name", name, sizeof name, "missing name")) return;
    args a;
    args_init(&a);
    add_one(a.doc, a.root, key, a.doc ? yyjson_mut_strcpy(a.doc, name) : nullptr);
    run_and_free(tool, &a);
}

// An observations action: {key: [{"entityName": name, list_key: [...]}]}.
void run_obs(cgi_request *r, const char *tool, const char *key, const char *list_key) {
    char name[NAME_CAP];
    if (!require(r, "name", name, sizeof name, "missing name")) return;
    args a;
    args_init(&a);
    yyjson_mut_val *o = new_obj(a.doc);
    add_str(a.doc, o, "entityName", name);
    yyjson_mut_val *list = list_or_empty(a.doc, r, list_key);
    if (o && list) yyjson_mut_obj_add_val(a.doc, o, list_key, list);
    add_one(a.doc, a.root, key, o);
    run_and_free(tool, &a);
}

}  // namespace

void args_init(args *a) {
    a->doc = yyjson_mut_doc_new(nullptr);
    a->root = a->doc ? yyjson_mut_obj(a->doc) : nullptr;
    if (a->root) yyjson_mut_doc_set_root(a->doc, a->root);
}

void args_add_int(yyjson_mut_doc *doc, yyjson_mut_val *object, const char *key, int value) {
    if (!doc || !yyjson_mut_is_obj(object)) return;
    yyjson_mut_obj_add_val(doc, object, key, yyjson_mut_int(doc, value));
}

void run_tool(const char *name, yyjson_mut_doc *doc, yyjson_mut_val *root) {
    char *text = nullptr;
    yyjson_doc *copy = nullptr;
    yyjson_val *arguments = nullptr;
    if (doc && root) {
        size_t len = 0;
        text = yyjson_mut_write_opts(doc, 0, nullptr, &len, nullptr);
        if (text) copy = yyjson_read_opts(text, len, 0, nullptr, nullptr);
        if (copy) arguments = yyjson_doc_get_root(copy);
    }
    tool_out out;
    tool_out_init(&out);
    if (tool_dispatch(name, arguments, &out) == 0) {
        char *answer = tool_api_result(&out);
        if (answer)
            json_raw(answer);
        else
            json_err(500, "out of memory");
        free(answer);
        tool_free(&out);
    } else {
        tool_free(&out);
        json_err(400, "unknown action");
    }
    free(text);
    yyjson_doc_free(copy);
}

void do_graph(cgi_request *r) {
    args a;
    args_init(&a);
    yyjson_mut_val *types = list_param(a.doc, r, "entityTypes", TYPES_CAP, 1);
    if (types && a.root) yyjson_mut_obj_add_val(a.doc, a.root, "entityTypes", types);
    add_int_param(&a, r, "limit");
    run_and_free("read_graph", &a);
}

void do_search(cgi_request *r) {
    char q[QUERY_CAP];
    if (!require(r, "q", q, sizeof q, "missing q")) return;
    args a;
    args_init(&a);
    add_str(a.doc, a.root, "query", q);
    add_int_param(&a, r, "limit");
    add_int_param(&a, r, "observationLimit");
    run_and_free("search_nodes", &a);
}

void do_entity(cgi_request *r) { run_named(r, "open_nodes", "names"); }

void do_delete_entity(cgi_request *r) { run_named(r, "delete_entities", "entityNames"); }

void do_add_entity(cgi_request *r) {
    char name[NAME_CAP];
    char type[NAME_CAP];
    if (!require(r, "name", name, sizeof name, "missing name")) return;
    if (!require(r, "entityType", type, sizeof type, "missing entityType")) return;
    args a;
    args_init(&a);
    yyjson_mut_val *e = new_obj(a.doc);
    add_str(a.doc, e, "name", name);
    add_str(a.doc, e, "entityType", type);
    yyjson_mut_val *list = list_or_empty(a.doc, r, "observations");
    if (e && list) yyjson_mut_obj_add_val(a.doc, e, "observations", list);
    add_one(a.doc, a.root, "entities", e);
    run_and_free("create_entities", &a);
}

void do_add_relation(cgi_request *r) {
    rel_params p;
    if (!require(r, "from", p.from, sizeof p.from, "missing from")) return;
    if (!require(r, "to", p.to, sizeof p.to, "missing to")) return;
    if (!require(r, "relationType", p.type, sizeof p.type, "missing relationType")) return;
    run_relation("create_relations", p);
}

void do_delete_relation(cgi_request *r) {
    rel_params p;
    int has_from = param_given(r, "from", p.from, sizeof p.from);
    int has_to = param_given(r, "to", p.to, sizeof p.to);
    int has_type = param_given(r, "relationType", p.type, sizeof p.type);
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
