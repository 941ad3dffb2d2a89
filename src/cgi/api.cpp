// api.cpp - the page's JSON API: the table of routes, the arguments each
// tool action builds from its parameters as an MCP client would, and the
// answers composed here (page, stats, tools, export).
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api.h"
#include "mcp/mcp.h"
#include "page/page.h"
#include "store/txn.h"
#include "tools/tools.h"

namespace {

// Parameter buffer sizes, the terminating zero included.
constexpr size_t NAME_CAP = 2048;      // name, entityType, from, to, relationType
constexpr size_t QUERY_CAP = 512;      // q
constexpr size_t INT_CAP = 32;         // limit, observationLimit
constexpr size_t TYPES_CAP = 4096;     // entityTypes given as text
constexpr size_t LIST_CAP = 32000;     // observations, contents given as text

// The 400 answer for a parameter whose value is not UTF-8.
void not_utf8(const char *key) {
    char msg[96];
    snprintf(msg, sizeof msg, "the parameter %s is not valid UTF-8", key);
    json_err(400, msg);
}

// Integer parameter: added as key when found, read as strtol reads it and
// saturated to 32 bits.
void add_int_param(yyjson_mut_doc *doc, yyjson_mut_val *obj, cgi_request *r, const char *key) {
    char text[INT_CAP];
    if (param_str(r, key, text, sizeof text)) args_add_int(doc, obj, key, req_int(text));
}

void add_str(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key, const char *text,
             size_t len) {
    if (doc && yyjson_mut_is_obj(obj))
        yyjson_mut_obj_add_val(doc, obj, key, yyjson_mut_strncpy(doc, text, len));
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
yyjson_mut_val *list_or_empty(yyjson_mut_doc *doc, cgi_request *r, const char *key,
                              size_t text_cap, int *bad) {
    yyjson_mut_val *arr = list_param(doc, r, key, text_cap, 0, bad);
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

// Writes the answer of a tool's result in out: the API envelope, or 500
// when it cannot be made.
void send_result(tool_out *out) {
    char *answer = tool_api_result(out);
    if (answer)
        json_raw(answer);
    else
        json_err(500, "out of memory");
    mem_free(answer);
}

// The text of one required parameter of a route.
struct text_value {
    char text[NAME_CAP];
    size_t len;
    int given;  // 1 found and non-empty, 0 absent or empty, -1 not UTF-8
};

// Reads the required text parameters of shape into vals; 1 when all are
// given, otherwise the 400 answer has been written and 0 is returned.
int read_required(cgi_request *r, const api_shape *shape, text_value *vals) {
    for (size_t i = 0; i < API_PARAMS_MAX; i++) {
        const api_param &p = shape->params[i];
        if (p.kind != PARAM_TEXT) continue;
        size_t cap = p.cap < sizeof vals[i].text ? p.cap : sizeof vals[i].text;
        int found = param_text(r, p.name, vals[i].text, cap, &vals[i].len);
        vals[i].given = found < 0 ? -1 : (found && vals[i].len);
        if (shape->missing || vals[i].given > 0) continue;
        if (vals[i].given < 0) {
            not_utf8(p.name);
        } else {
            char msg[96];
            snprintf(msg, sizeof msg, "missing %s", p.name);
            json_err(400, msg);
        }
        return 0;
    }
    if (!shape->missing) return 1;
    for (size_t i = 0; i < API_PARAMS_MAX; i++) {
        if (shape->params[i].kind == PARAM_TEXT && vals[i].given < 0) {
            not_utf8(shape->params[i].name);
            return 0;
        }
    }
    for (size_t i = 0; i < API_PARAMS_MAX; i++) {
        if (shape->params[i].kind == PARAM_TEXT && !vals[i].given) {
            json_err(400, shape->missing);
            return 0;
        }
    }
    return 1;
}

/*------------------------------------------------------------------------------
 * Answers composed here
 *----------------------------------------------------------------------------*/

const char HDR_PAGE[] =
    "Content-Type: text/html; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: SAMEORIGIN\r\n"
    "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
    "style-src 'unsafe-inline'; img-src data:; connect-src 'self'; form-action 'none'; "
    "base-uri 'none'\r\n"
    "\r\n";

const char HDR_EXPORT[] =
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Content-Disposition: attachment; filename=\"memory.jsonl\"\r\n"
    "\r\n";

// Sends a text built in b with json_raw, or a 500 when b lost a piece for
// lack of memory (a cut answer would be invalid JSON).
void send_built(buf *b) {
    if (b->dropped || !b->data || mem_refusals() != g_request_refusals)
        json_err(500, "out of memory");
    else
        json_raw(buf_str(b));
}

// The browser page: the template with its two marker bytes replaced by the
// head block and the bridge script.
void send_page(void) {
    cgi_write_lit(HDR_PAGE);
    const char *p = page_template;
    const char *end = page_template + page_template_len;
    const char *run = p;
    for (; p < end && *p; p++) {
        if (*p != '\x01' && *p != '\x02') continue;
        cgi_write(run, (size_t)(p - run));
        if (*p == '\x01')
            cgi_write(page_head, strnlen(page_head, page_head_len));
        else
            cgi_write(page_bridge, strnlen(page_bridge, page_bridge_len));
        run = p + 1;
    }
    cgi_write(run, (size_t)(p - run));
    cgi_flush();
}

// Most distinct entity types listed by stats.
constexpr size_t STATS_MAX_TYPES = 200;

// The 500 answer for a failure of the store.
void store_err(store_rc rc) {
    char msg[STORE_MESSAGE_CAP];
    json_err(500, store_message(rc, msg, sizeof msg));
}

void do_stats(cgi_request *) {
    const graph *g;
    store_rc rc = graph_open(&g);
    if (rc != STORE_OK) {
        store_err(rc);
        return;
    }
    int64_t bytes = 0;
    int exists = 0;
    if (graph_file_info(&bytes, &exists) != STORE_OK) {
        store_err(STORE_READ);
        return;
    }

    uint64_t nobs = 0;
    for (uint64_t i = 0; i < g->ent_count; i++) nobs += g->ents[i].obs_count;

    // The distinct types in the order first seen, with a hash index of them,
    // so that each entity costs one lookup instead of a comparison with
    // every type seen so far.
    const char *types[STATS_MAX_TYPES];
    size_t ntypes = 0;
    hash_index seen = {};
    for (uint64_t i = 0; i < g->ent_count; i++) {
        const char *t = g->ents[i].entity_type ? g->ents[i].entity_type : "";
        size_t h = str_hash(t);
        hash_walk w;
        hash_index_walk(&seen, h, &w);
        int64_t k;
        while ((k = hash_index_next(&seen, &w)) >= 0 && strcmp(types[k], t) != 0) {
        }
        if (k >= 0) continue;
        if (ntypes == STATS_MAX_TYPES || hash_index_add(&seen, h, ntypes) != 0) break;
        types[ntypes++] = t;
    }
    hash_index_free(&seen);

    char num[160];
    snprintf(num, sizeof num,
             "{\"ok\":true,\"entities\":%llu,\"relations\":%llu,\"observations\":%llu,"
             "\"unreadable_lines\":%llu,\"file_exists\":%s,\"file_bytes\":%lld,\"types\":[",
             (unsigned long long)g->ent_count, (unsigned long long)g->rel_count,
             (unsigned long long)nobs, (unsigned long long)g->bad_count,
             exists ? "true" : "false", (long long)bytes);
    buf b;
    buf_init(&b);
    buf_puts(&b, num);
    for (size_t k = 0; k < ntypes; k++) {
        if (k) buf_putc(&b, ',');
        json_str(&b, types[k]);
    }
    buf_puts(&b, "]}");
    send_built(&b);
    buf_free(&b);
}

void do_tools(cgi_request *) {
    char *list = tools_list_json();
    buf b;
    buf_init(&b);
    buf_puts(&b, "{\"ok\":true,\"connector\":\"" CONNECTOR_ID "\",\"kind\":\"mcp\",\"protocol\":");
    json_str(&b, mcp_revision_default()->name);
    buf_puts(&b, ",\"tools\":");
    buf_puts(&b, list ? list : "[]");
    buf_putc(&b, '}');
    mem_free(list);
    send_built(&b);
    buf_free(&b);
}

// The graph file as stored, as a download named memory.jsonl.
void do_export(cgi_request *) {
    // The file as stored: it needs no parsing, so it goes out whole
    // whatever its size, also when it is too large to load (the one way
    // left to rescue it). Read whole before the first byte goes out, never
    // a cut download under 200.
    char *text;
    size_t len;
    store_rc rc = graph_export(&text, &len);
    if (rc != STORE_OK) {
        store_err(rc);
        return;
    }
    cgi_write_lit(HDR_EXPORT);
    if (len) cgi_write(text, len);
    cgi_flush();
    mem_free(text);
}

/*------------------------------------------------------------------------------
 * Routing
 *----------------------------------------------------------------------------*/

// The parameter shapes of the tool actions.
const api_shape SHAPE_GRAPH = {
    nullptr, 0, nullptr,
    {{"entityTypes", "entityTypes", PARAM_TYPES, TYPES_CAP}, {"limit", "limit", PARAM_INT, INT_CAP}}};
const api_shape SHAPE_SEARCH = {nullptr, 0, nullptr,
                                {{"q", "query", PARAM_TEXT, QUERY_CAP},
                                 {"limit", "limit", PARAM_INT, INT_CAP},
                                 {"observationLimit", "observationLimit", PARAM_INT, INT_CAP}}};
const api_shape SHAPE_NAMES = {"names", 1, nullptr, {{"name", nullptr, PARAM_TEXT, NAME_CAP}}};
const api_shape SHAPE_ENTITY_NAMES = {"entityNames", 1, nullptr,
                                      {{"name", nullptr, PARAM_TEXT, NAME_CAP}}};
const api_shape SHAPE_ENTITY = {"entities", 0, nullptr,
                                {{"name", "name", PARAM_TEXT, NAME_CAP},
                                 {"entityType", "entityType", PARAM_TEXT, NAME_CAP},
                                 {"observations", "observations", PARAM_LIST, LIST_CAP}}};
const api_shape SHAPE_RELATION = {"relations", 0, nullptr,
                                  {{"from", "from", PARAM_TEXT, NAME_CAP},
                                   {"to", "to", PARAM_TEXT, NAME_CAP},
                                   {"relationType", "relationType", PARAM_TEXT, NAME_CAP}}};
const api_shape SHAPE_RELATION_ALL = {"relations", 0, "from, to and relationType are all required",
                                      {{"from", "from", PARAM_TEXT, NAME_CAP},
                                       {"to", "to", PARAM_TEXT, NAME_CAP},
                                       {"relationType", "relationType", PARAM_TEXT, NAME_CAP}}};
const api_shape SHAPE_ADD_OBS = {"observations", 0, nullptr,
                                 {{"name", "entityName", PARAM_TEXT, NAME_CAP},
                                  {"contents", "contents", PARAM_LIST, LIST_CAP}}};
const api_shape SHAPE_DELETE_OBS = {"deletions", 0, nullptr,
                                    {{"name", "entityName", PARAM_TEXT, NAME_CAP},
                                     {"observations", "observations", PARAM_LIST, LIST_CAP}}};

// Compared in this order, exact and case-sensitive.
const cgi_route ROUTES[] = {
    {"stats", nullptr, nullptr, do_stats, 0},
    {"graph", tool_read_graph, &SHAPE_GRAPH, nullptr, 0},
    {"search", tool_search_nodes, &SHAPE_SEARCH, nullptr, 0},
    {"entity", tool_open_nodes, &SHAPE_NAMES, nullptr, 0},
    {"add_entity", tool_create_entities, &SHAPE_ENTITY, nullptr, 0},
    {"add_relation", tool_create_relations, &SHAPE_RELATION, nullptr, 0},
    {"add_obs", tool_add_observations, &SHAPE_ADD_OBS, nullptr, 0},
    {"delete_entity", tool_delete_entities, &SHAPE_ENTITY_NAMES, nullptr, 0},
    {"delete_relation", tool_delete_relations, &SHAPE_RELATION_ALL, nullptr, 0},
    {"delete_obs", tool_delete_observations, &SHAPE_DELETE_OBS, nullptr, 0},
    {"tools", nullptr, nullptr, do_tools, 0},
    {"export", nullptr, nullptr, do_export, 0},
    {"import", nullptr, nullptr, do_import, ROUTE_RAW_BODY},
};

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

void api_run_tool(api_tool tool, yyjson_mut_doc *doc, yyjson_mut_val *root) {
    // The arguments go to the tool as a document: an immutable copy of the
    // one built, never written out and parsed back.
    yyjson_doc *copy = doc && root ? yyjson_mut_val_imut_copy(root, mem_yyjson()) : nullptr;
    tool_out out;
    tool_out_init(&out);
    if ((doc && root && !copy) || mem_refusals() != g_request_refusals) {
        // An argument that could not be added would change the request.
        json_err(500, "out of memory");
    } else {
        tool_run(tool, yyjson_doc_get_root(copy), &out);
        // The tool answers for the memory it went without (see tool_run).
        g_request_refusals = mem_refusals();
        send_result(&out);
    }
    tool_free(&out);
    yyjson_doc_free(copy);
}

void api_run_route(cgi_request *r, const cgi_route *route) {
    const api_shape *shape = route->shape;
    text_value vals[API_PARAMS_MAX];
    if (!read_required(r, shape, vals)) return;
    args a;
    args_init(&a);
    // Where the parameters go: the arguments themselves, or the one element
    // of the wrapping array (a bare element is the text itself).
    yyjson_mut_val *target = shape->wrap ? (shape->bare ? nullptr : new_obj(a.doc)) : a.root;
    yyjson_mut_val *elem = target;
    for (size_t i = 0; i < API_PARAMS_MAX; i++) {
        const api_param &p = shape->params[i];
        if (p.kind == PARAM_TEXT) {
            if (shape->bare)
                elem = a.doc ? yyjson_mut_strncpy(a.doc, vals[i].text, vals[i].len) : nullptr;
            else
                add_str(a.doc, target, p.key, vals[i].text, vals[i].len);
        } else if (p.kind == PARAM_INT) {
            add_int_param(a.doc, target, r, p.key);
        } else if (p.kind == PARAM_LIST || p.kind == PARAM_TYPES) {
            int bad;
            yyjson_mut_val *list = p.kind == PARAM_LIST
                                       ? list_or_empty(a.doc, r, p.name, p.cap, &bad)
                                       : list_param(a.doc, r, p.name, p.cap, 1, &bad);
            if (bad) {
                yyjson_mut_doc_free(a.doc);
                not_utf8(p.name);
                return;
            }
            if (list && target) yyjson_mut_obj_add_val(a.doc, target, p.key, list);
        }
    }
    if (shape->wrap) add_one(a.doc, a.root, shape->wrap, elem);
    api_run_tool(route->tool, a.doc, a.root);
    yyjson_mut_doc_free(a.doc);
}

const cgi_route *cgi_route_find(const char *action) {
    for (const cgi_route &r : ROUTES)
        if (strcmp(r.action, action) == 0) return &r;
    return nullptr;
}

const cgi_route *cgi_routes(size_t *count) {
    *count = sizeof ROUTES / sizeof ROUTES[0];
    return ROUTES;
}

void api_answer(cgi_request *r) {
    if (!r->method) r->method = "";
    if (!r->query) r->query = "";
    const char *twice = req_twice_refusal(r);
    if (twice) {
        json_err(400, twice);
        return;
    }
    const char *why = req_refusal(r);
    if (why) {
        json_err(403, why);
        return;
    }
    if (!cgi_access_ok(r->query)) {
        cgi_refused();
        return;
    }
    // The action named in the query string, else in the body. A body is
    // parsed before anything else unless the query names an action that
    // takes it raw; such a body may be as large as a graph file.
    char action[64];
    size_t action_len = 0;
    int cut;
    int in_query = query_text(r->query, "action", action, sizeof action, &action_len, &cut);
    const cgi_route *route = in_query ? cgi_route_find(action) : nullptr;
    int raw = route && (route->flags & ROUTE_RAW_BODY);
    if (raw) {
        r->body_max = CGI_RAW_BODY_MAX;
        r->body_whole = 1;
    }
    int body = req_read_body(r);
    if (body == REQ_BODY_TOO_LARGE) {
        json_err(413, "the request body is too large");
        return;
    }
    if (body == REQ_BODY_SHORT) {
        char msg[128];
        req_short_message(r, msg, sizeof msg);
        json_err(400, msg);
        return;
    }
    if (raw) {
        r->body_raw = 1;
    } else if (req_body_parse(r) != 0) {
        json_err(400, "the request body is not valid JSON");
        return;
    }
    if (!in_query) {
        param_text(r, "action", action, sizeof action, &action_len);
        route = cgi_route_find(action);
    }
    // An action name holding U+0000 names no action, not the part before it.
    if (strlen(action) != action_len) {
        json_err(400, "unknown action");
        return;
    }
    if (!action[0]) {
        char format[32];
        get_query_val(r->query, "format", format, sizeof format);
        if (strcmp(format, "json") == 0) {
            route = cgi_route_find("graph");
        } else if (strcmp(r->method, "POST") == 0) {
            json_err(400, "missing action");
            return;
        } else {
            send_page();
            return;
        }
    }
    if (!route) {
        json_err(400, "unknown action");
        return;
    }
    if (route->run)
        route->run(r);
    else
        api_run_route(r, route);
}
