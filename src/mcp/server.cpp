// server.cpp - the MCP server: JSON-RPC 2.0 requests, one per line on
// standard input, each answered by at most one line on standard output.
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mcp.h"
#include "revision.h"
#include "tools/tools.h"

#define RESOURCE_URI "memory://knowledge-graph"

// The capabilities of every revision's tools and resources; the stateless
// revision announces the (empty) prompt list it answers as well.
#define CAPABILITIES_HEAD \
    "{\"tools\":{\"listChanged\":false}," \
    "\"resources\":{\"subscribe\":false,\"listChanged\":false}"
#define CAPABILITIES CAPABILITIES_HEAD "}"
#define STATELESS_CAPABILITIES CAPABILITIES_HEAD ",\"prompts\":{\"listChanged\":false}}"

#define INSTRUCTIONS \
    "A knowledge graph of entities, their observations and the relations between them, kept " \
    "across conversations. Read it with read_graph, search_nodes or open_nodes; change it with " \
    "the create, add and delete tools."

// Answer used when a response could not be assembled whole.
// mem_refusals() as far as the answer being made has accounted for them: a
// request during which memory ran out past this mark answers "out of
// memory" rather than with a part missing.
static uint64_t g_refusals_mark;

/*==============================================================================
 * Response writing
 *============================================================================*/

// The end of every response line: the response object's brace and the line
// feed.
static const char k_line_end[] = "}\n";

// Appends the n bytes at s as a JSON string literal. Zero bytes inside the
// text (legal in JSON strings as \u0000) are kept as escapes, so the echo
// of a string carries the same value; the rest is escaped like json_str.
static void json_strn(buf *b, const char *s, size_t n) {
    if (!s || strlen(s) == n) {
        json_str(b, s);
        return;
    }
    buf_putc(b, '"');
    const char *end = s + n;
    for (const char *p = s;;) {
        buf piece;
        buf_init(&piece);
        json_str(&piece, p);
        if (piece.dropped) b->dropped = 1;
        else buf_add(b, piece.data + 1, piece.len - 2);
        buf_free(&piece);
        p += strlen(p);
        if (p >= end) break;
        buf_add(b, "\\u0000", 6);
        p++;
    }
    buf_putc(b, '"');
}

void put_id(buf *b, yyjson_val *id) {
    char num[64];
    switch (yyjson_get_type(id)) {
    case YYJSON_TYPE_BOOL:
        buf_puts(b, yyjson_get_bool(id) ? "true" : "false");
        return;
    case YYJSON_TYPE_STR:
        json_strn(b, yyjson_get_str(id), yyjson_get_len(id));
        return;
    case YYJSON_TYPE_RAW:
        // An integer beyond 64 bits, kept as the request wrote it (see
        // settle_numbers): read as a double it would come back rounded.
        buf_add(b, yyjson_get_raw(id), yyjson_get_len(id));
        return;
    case YYJSON_TYPE_NUM:
        break;
    default: // absent, null, array, object
        buf_puts(b, "null");
        return;
    }
    if (yyjson_is_uint(id)) {
        snprintf(num, sizeof num, "%llu", (unsigned long long)yyjson_get_uint(id));
    } else if (yyjson_is_sint(id)) {
        snprintf(num, sizeof num, "%lld", (long long)yyjson_get_sint(id));
    } else {
        // The shortest text that reads back as the same double, so the
        // response carries the very id of the request (1.5, 1, 1000,
        // 1234567.5, 1e+300). The strict reader never yields inf or NaN.
        double d = yyjson_get_real(id);
        if (!std::isfinite(d)) {
            buf_puts(b, "null");
            return;
        }
        std::to_chars_result r = std::to_chars(num, num + sizeof num - 1, d);
        *r.ptr = 0;
    }
    buf_puts(b, num);
}

// {"jsonrpc":"2.0","id":<id>,"result": — the head of a result response.
static void result_head(buf *out, yyjson_val *id) {
    buf_puts(out, "{\"jsonrpc\":\"2.0\",\"id\":");
    put_id(out, id);
    buf_puts(out, ",\"result\":");
}

// The error response with code, the n bytes of msg as its message and, when
// data is not null, that JSON text as its data.
static void send_error_data(buf *out, yyjson_val *id, int code, const char *msg, size_t n,
                            const buf *data) {
    char num[16];
    snprintf(num, sizeof num, "%d", code);
    buf_puts(out, "{\"jsonrpc\":\"2.0\",\"id\":");
    put_id(out, id);
    buf_puts(out, ",\"error\":{\"code\":");
    buf_puts(out, num);
    buf_puts(out, ",\"message\":");
    json_strn(out, msg, n);
    if (data) {
        buf_puts(out, ",\"data\":");
        buf_add(out, data->data, data->len);
        if (data->dropped) out->dropped = 1;
    }
    buf_puts(out, "}");
    buf_puts(out, k_line_end);
}

// {"jsonrpc":"2.0","id":<id>,"error":{"code":<code>,"message":<msg>}}.
static void send_error(buf *out, yyjson_val *id, int code, const char *msg) {
    if (!msg) msg = "error";
    send_error_data(out, id, code, msg, strlen(msg), nullptr);
}

/*==============================================================================
 * Requests and the revision that answers them
 *============================================================================*/

// The legacy revision the last initialize on standard input settled on: the
// session of the stdio process. Null until then, which answers by the
// default revision. A request over HTTP names its revision in a header
// instead, and never sets it: a process may serve many clients.
static const mcp_revision *g_session;

// One request being answered.
struct mcp_call {
    yyjson_val *req;          // the request object
    yyjson_val *id;           // its id
    yyjson_val *params;       // its params when an object, else null
    const mcp_revision *rev;  // the revision answering it
    int stdio;                // 1 when it came without a transport (standard input)
};

// {"jsonrpc":"2.0","id":<id>,"result":<text>} and a line feed, the result
// ended by the revision of c as a result of the kind.
static void send_call_result(buf *out, const mcp_call &c, const char *text, int kind) {
    result_head(out, c.id);
    buf_puts(out, text ? text : "{}");
    if (c.rev->finish) c.rev->finish(out, kind);
    buf_puts(out, k_line_end);
}

// send_call_result for a text built in b, which may have lost a piece.
static void send_built_result(buf *out, const mcp_call &c, buf *b, int kind) {
    send_call_result(out, c, buf_str(b), kind);
    if (b->dropped) out->dropped = 1;
    buf_free(b);
}

/*==============================================================================
 * Methods
 *============================================================================*/

static void do_initialize(const mcp_call &c, buf *out) {
    yyjson_val *asked = c.params ? yyjson_obj_get(c.params, "protocolVersion") : nullptr;
    const mcp_revision *r = mcp_revision_for_initialize(yyjson_get_str(asked), yyjson_get_len(asked));
    if (c.stdio) g_session = r;
    buf text;
    buf_init(&text);
    buf_puts(&text, "{\"protocolVersion\":");
    json_str(&text, r->name);
    buf_puts(&text, ",\"capabilities\":" CAPABILITIES ",\"serverInfo\":");
    mcp_put_server_info(&text, r);
    buf_putc(&text, '}');
    send_built_result(out, c, &text, MCP_RESULT_PLAIN);
}

static void do_empty(const mcp_call &c, buf *out) {
    send_call_result(out, c, "{}", MCP_RESULT_PLAIN);
}

// logging/setLevel: there is nothing to log, so the level changes nothing.
static void do_set_level(const mcp_call &c, buf *out) {
    yyjson_val *level = c.params ? yyjson_obj_get(c.params, "level") : nullptr;
    static const char *const levels[] = {"debug",    "info",  "notice", "warning",
                                         "error",    "critical", "alert", "emergency"};
    for (const char *l : levels) {
        if (yyjson_equals_str(level, l)) {
            send_call_result(out, c, "{}", MCP_RESULT_PLAIN);
            return;
        }
    }
    send_error(out, c.id, JSONRPC_INVALID_PARAMS,
               "logging/setLevel needs params.level, a syslog level name");
}

static void do_resources_list(const mcp_call &c, buf *out) {
    send_call_result(out, c,
                     c.rev->titles
                         ? "{\"resources\":[{\"uri\":\"" RESOURCE_URI "\",\"name\":\"knowledge-graph\","
                           "\"title\":\"Knowledge Graph\","
                           "\"description\":\"The full knowledge graph with all entities and relations\","
                           "\"mimeType\":\"application/json\"}]}"
                         : "{\"resources\":[{\"uri\":\"" RESOURCE_URI "\",\"name\":\"knowledge-graph\","
                           "\"description\":\"The full knowledge graph with all entities and relations\","
                           "\"mimeType\":\"application/json\"}]}",
                     MCP_RESULT_LIST);
}

static void do_templates_list(const mcp_call &c, buf *out) {
    send_call_result(out, c, "{\"resourceTemplates\":[]}", MCP_RESULT_LIST);
}

static void do_prompts_list(const mcp_call &c, buf *out) {
    send_call_result(out, c, "{\"prompts\":[]}", MCP_RESULT_LIST);
}

static void do_discover(const mcp_call &c, buf *out) {
    buf text;
    buf_init(&text);
    buf_puts(&text, "{\"supportedVersions\":");
    mcp_put_supported(&text);
    buf_puts(&text, ",\"capabilities\":" STATELESS_CAPABILITIES ",\"serverInfo\":");
    mcp_put_server_info(&text, c.rev);
    buf_puts(&text, ",\"instructions\":\"" INSTRUCTIONS "\"}");
    send_built_result(out, c, &text, MCP_RESULT_LIST);
}

static void do_tools_list(const mcp_call &c, buf *out) {
    char *cat = tools_list_json();
    buf text;
    buf_init(&text);
    buf_puts(&text, "{\"tools\":");
    buf_puts(&text, cat ? cat : "[]");
    buf_puts(&text, "}");
    mem_free(cat);
    send_built_result(out, c, &text, MCP_RESULT_LIST);
}

// params.key of c when it is a string; otherwise null, with the invalid-params
// error why answered.
static yyjson_val *required_str(const mcp_call &c, const char *key, const char *why, buf *out) {
    yyjson_val *v = c.params ? yyjson_obj_get(c.params, key) : nullptr;
    if (yyjson_is_str(v)) return v;
    send_error(out, c.id, JSONRPC_INVALID_PARAMS, why);
    return nullptr;
}

static void do_tools_call(const mcp_call &c, buf *out) {
    yyjson_val *name = required_str(c, "name", "tools/call needs params.name", out);
    if (!name) return;
    yyjson_val *args = yyjson_obj_get(c.params, "arguments");
    if (!yyjson_is_obj(args)) args = nullptr;
    const char *nm = yyjson_get_str(name);
    size_t nlen = yyjson_get_len(name);

    tool_out res;
    tool_out_init(&res);
    // The head goes first, and a changing tool makes room for its result
    // behind it before saving, with what is appended behind the result: the
    // answer of a saved change is never lost for want of memory.
    uint64_t mark = out->len;
    result_head(out, c.id);
    tool_mcp_form form = {};
    form.reserve = out;
    form.tail = (c.rev->finish ? c.rev->finish_room(MCP_RESULT_PLAIN) : 0) + sizeof k_line_end - 1;
    form.structured = c.rev->structured;
    // A name with a zero byte inside names no tool, whatever its prefix.
    int found = strlen(nm) == nlen ? tool_dispatch(nm, args, &res, &form) : -1;
    // The tool answers for the memory it went without: a failure is in
    // its answer, and a change it saved has its whole answer.
    if (found == 0) g_refusals_mark = mem_refusals();
    if (found != 0 && out->data) {
        out->len = mark;
        out->data[mark] = 0;
    }
    if (found != 0) {
        buf msg;
        buf_init(&msg);
        buf_puts(&msg, "Unknown tool: ");
        buf_add(&msg, nm, nlen);
        send_error_data(out, c.id, JSONRPC_INVALID_PARAMS, buf_str(&msg), msg.len, nullptr);
        if (msg.dropped) out->dropped = 1;
        buf_free(&msg);
    } else {
        // The result is written into the response itself, not copied into it.
        tool_mcp_result(out, &res);
        uint64_t result_end = out->len;
        if (c.rev->finish) c.rev->finish(out, MCP_RESULT_PLAIN);
        buf_puts(out, k_line_end);
        assert(out->dropped || out->len - result_end <= form.tail);
        (void)result_end;
    }
    tool_free(&res);
}

// The error for a resource this server does not have: the code the
// revision gives it, with the URI in data when that is invalid params.
static void resource_not_found(const mcp_call &c, yyjson_val *uri, buf *out) {
    static const char msg[] = "Unknown resource: this server serves " RESOURCE_URI " only";
    int code = c.rev->resource_not_found;
    if (code != JSONRPC_INVALID_PARAMS) {
        send_error(out, c.id, code, msg);
        return;
    }
    buf data;
    buf_init(&data);
    buf_puts(&data, "{\"uri\":");
    json_strn(&data, yyjson_get_str(uri), yyjson_get_len(uri));
    buf_putc(&data, '}');
    send_error_data(out, c.id, code, msg, sizeof msg - 1, &data);
    buf_free(&data);
}

static void do_resources_read(const mcp_call &c, buf *out) {
    yyjson_val *uri = required_str(c, "uri", "resources/read needs params.uri", out);
    if (!uri) return;
    if (!yyjson_equals_str(uri, RESOURCE_URI)) {
        resource_not_found(c, uri, out);
        return;
    }
    tool_out res;
    tool_out_init(&res);
    tool_read_graph(nullptr, &res);
    char *text = nullptr;
    if (!res.failed && res.doc && res.root)
        text = yyjson_mut_write_opts(res.doc, YYJSON_WRITE_NOFLAG, mem_yyjson(), nullptr, nullptr);
    if (!text) {
        // A graph that cannot be read is a failure of the request, never an
        // empty graph: the client must not take "{}" for the contents.
        const char *why = res.err ? res.err
                          : res.failed ? "the graph could not be read"
                                       : "out of memory";
        send_error(out, c.id, JSONRPC_INTERNAL_ERROR, why);
        tool_free(&res);
        return;
    }
    tool_free(&res);
    buf body;
    buf_init(&body);
    buf_puts(&body, "{\"contents\":[{\"uri\":\"" RESOURCE_URI
                    "\",\"mimeType\":\"application/json\",\"text\":");
    json_str(&body, text);
    buf_puts(&body, "}]}");
    mem_free(text);
    send_built_result(out, c, &body, MCP_RESULT_READ);
}

struct mcp_method {
    const char *name;
    void (*run)(const mcp_call &c, buf *out);
    uint32_t bit;  // its MCP_M_ bit: the revisions that have it list it
};

static const mcp_method mcp_methods[] = {
    {"initialize", do_initialize, MCP_M_INITIALIZE},
    {"server/discover", do_discover, MCP_M_DISCOVER},
    {"ping", do_empty, MCP_M_PING},
    {"tools/list", do_tools_list, MCP_M_TOOLS_LIST},
    {"tools/call", do_tools_call, MCP_M_TOOLS_CALL},
    {"resources/list", do_resources_list, MCP_M_RESOURCES_LIST},
    {"resources/templates/list", do_templates_list, MCP_M_TEMPLATES_LIST},
    {"prompts/list", do_prompts_list, MCP_M_PROMPTS_LIST},
    {"resources/read", do_resources_read, MCP_M_RESOURCES_READ},
    {"resources/subscribe", do_empty, MCP_M_SUBSCRIBE},
    {"resources/unsubscribe", do_empty, MCP_M_SUBSCRIBE},
    {"logging/setLevel", do_set_level, MCP_M_SET_LEVEL},
};

// The method named by method (a JSON string), or null.
static const mcp_method *find_method(yyjson_val *method) {
    for (const mcp_method &m : mcp_methods)
        if (yyjson_equals_str(method, m.name)) return &m;
    return nullptr;
}

/*==============================================================================
 * One line, and the loop around it
 *============================================================================*/

// The unsupported-revision error: data names the revisions the server speaks
// and the n bytes asked for.
static void send_unsupported(buf *out, yyjson_val *id, const char *asked, size_t n) {
    buf data;
    buf_init(&data);
    buf_puts(&data, "{\"supported\":");
    mcp_put_supported(&data);
    buf_puts(&data, ",\"requested\":");
    // The text asked for may come from a header in any bytes: each one that
    // is not part of a well-formed UTF-8 character goes out as U+FFFD, so
    // the answer stays JSON.
    buf text;
    buf_init(&text);
    for (size_t i = 0; i < n;) {
        unsigned char c = (unsigned char)asked[i];
        size_t k = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        if (k <= n - i && utf8_valid(asked + i, k)) {
            buf_add(&text, asked + i, k);
            i += k;
        } else {
            buf_puts(&text, "\xEF\xBF\xBD");
            i++;
        }
    }
    json_strn(&data, buf_str(&text), text.len);
    if (text.dropped) data.dropped = 1;
    buf_free(&text);
    buf_putc(&data, '}');
    static const char msg[] = "Unsupported protocol version";
    send_error_data(out, id, MCP_UNSUPPORTED_VERSION, msg, sizeof msg - 1, &data);
    buf_free(&data);
}

// Marks the request refused before its method ran, with the code answered.
static void refused(mcp_outcome *o, int code) {
    o->refused = 1;
    o->code = code;
}

// Chooses the revision of the request c, checks what it and the transport
// ask of the request, and runs it.
static void run_request(mcp_call &c, yyjson_val *method, const mcp_transport *t, buf *out,
                        mcp_outcome *o) {
    const mcp_method *m = find_method(method);
    yyjson_val *meta = c.params ? yyjson_obj_get(c.params, "_meta") : nullptr;
    if (!yyjson_is_obj(meta)) meta = nullptr;
    yyjson_val *version = meta ? yyjson_obj_get(meta, MCP_META_VERSION) : nullptr;
    const char *tv = t ? t->version : nullptr;
    const mcp_revision *named = tv ? mcp_revision_named(tv, strlen(tv)) : nullptr;
    // A request is stateless when it says so in _meta, when the transport
    // names a stateless revision, or when its method exists only there; it
    // is held to the stateless revision until its _meta names one. A legacy
    // request is answered by the revision the transport names (one the
    // server does not speak is refused by the transport's check), else by
    // the one the session settled on.
    int stateless = version || (named && named->era == MCP_ERA_MODERN) ||
                    (m && mcp_method_stateless_only(m->bit));
    c.rev = stateless                ? mcp_revision_stateless()
            : named                  ? named
            : !tv && c.stdio && g_session ? g_session
                                     : mcp_revision_default();
    o->revision = c.rev;
    const char *why = c.rev->check_meta ? c.rev->check_meta(meta) : nullptr;
    if (why) {
        refused(o, JSONRPC_INVALID_PARAMS);
        send_error(out, c.id, JSONRPC_INVALID_PARAMS, why);
        return;
    }
    if (t && t->check) {
        mcp_request_view v = {};
        v.method = yyjson_get_str(method);
        v.method_len = yyjson_get_len(method);
        yyjson_val *name = nullptr;
        if (c.params && m && m->bit == MCP_M_TOOLS_CALL)
            name = yyjson_obj_get(c.params, "name");
        else if (c.params && yyjson_equals_str(method, "prompts/get"))
            name = yyjson_obj_get(c.params, "name");
        else if (c.params && m && m->bit == MCP_M_RESOURCES_READ)
            name = yyjson_obj_get(c.params, "uri");
        if (yyjson_is_str(name)) {
            v.name = yyjson_get_str(name);
            v.name_len = yyjson_get_len(name);
        }
        if (version) {
            v.version = yyjson_get_str(version);
            v.version_len = yyjson_get_len(version);
        }
        v.revision = c.rev;
        mcp_refusal no = {};
        t->check(&v, t->ctx, &no);
        if (no.code) {
            refused(o, no.code);
            const char *asked = no.requested ? no.requested : "";
            if (no.code == MCP_UNSUPPORTED_VERSION)
                send_unsupported(out, c.id, asked, strlen(asked));
            else
                send_error(out, c.id, no.code, no.message);
            return;
        }
    }
    if (stateless) {
        const mcp_revision *asked = mcp_revision_named(yyjson_get_str(version), yyjson_get_len(version));
        if (!asked || asked->era != MCP_ERA_MODERN) {
            refused(o, MCP_UNSUPPORTED_VERSION);
            send_unsupported(out, c.id, yyjson_get_str(version), yyjson_get_len(version));
            return;
        }
        c.rev = o->revision = asked;
    }
    if (!m || !(c.rev->methods & m->bit)) {
        o->code = JSONRPC_METHOD_NOT_FOUND;
        send_error(out, c.id, JSONRPC_METHOD_NOT_FOUND, "Method not found");
        return;
    }
    m->run(c, out);
}

// Classifies one parsed message, appends its answer, if any, to resp and
// fills o (its kind MCP_REQUEST, MCP_NO_REPLY or MCP_INVALID).
static void handle_doc(yyjson_doc *doc, const mcp_transport *t, buf *resp, mcp_outcome *o) {
    yyjson_val *req = yyjson_doc_get_root(doc);
    o->kind = MCP_INVALID;
    o->code = JSONRPC_INVALID_REQUEST;
    if (!yyjson_is_obj(req)) {
        send_error(resp, nullptr, JSONRPC_INVALID_REQUEST, "Invalid request: expected an object");
        return;
    }
    yyjson_val *method = yyjson_obj_get(req, "method");
    yyjson_val *id = yyjson_obj_get(req, "id");
    if (!yyjson_is_str(method)) {
        // A client's answer to a request of ours: we send none, so drop it.
        if (yyjson_obj_get(req, "result") || yyjson_obj_get(req, "error")) {
            o->kind = MCP_NO_REPLY;
            o->code = 0;
            return;
        }
        send_error(resp, id, JSONRPC_INVALID_REQUEST, "Invalid request: missing method");
        return;
    }
    o->code = 0;
    if (!id) { // a notification is never executed
        o->kind = MCP_NO_REPLY;
        return;
    }
    o->kind = MCP_REQUEST;
    yyjson_val *params = yyjson_obj_get(req, "params");
    mcp_call c = {req, id, yyjson_is_obj(params) ? params : nullptr, nullptr, !t};
    run_request(c, method, t, resp, o);
}

// Settles the numbers of a document read with YYJSON_READ_BIGNUM_AS_RAW,
// which keeps the text of every number a double or a 64-bit integer cannot
// hold: an integer beyond 64 bits stays as written when it is the request's
// own id (so that its answer carries the very id) and is read as the double
// nearest to it everywhere else, as the strict reader reads it; a real
// beyond a double's range makes the message no JSON the server takes, as
// with the strict reader. Returns 0, or -1 for such a real.
static int settle_numbers(yyjson_doc *doc) {
    yyjson_val *root = yyjson_doc_get_root(doc);
    if (!root) return 0;
    yyjson_val *id = yyjson_is_obj(root) ? yyjson_obj_get(root, "id") : nullptr;
    // The values of an immutable document lie one after another, a
    // container's contents right behind it.
    yyjson_val *end = unsafe_yyjson_get_next(root);
    for (yyjson_val *v = root; v < end; v++) {
        if (!yyjson_is_raw(v)) continue;
        const char *text = yyjson_get_raw(v);
        size_t n = yyjson_get_len(v);
        int integer = 1;
        for (size_t i = 0; i < n; i++)
            if (text[i] == '.' || text[i] == 'e' || text[i] == 'E') integer = 0;
        if (!integer) return -1;
        if (v == id) continue;
        yyjson_read_err err;
        if (!yyjson_read_number(text, v, YYJSON_READ_NOFLAG, mem_yyjson(), &err)) return -1;
    }
    return 0;
}

int mcp_handle_line(const char *line, size_t len, buf *out) {
    return mcp_handle_message(line, len, out) != MCP_NO_REPLY;
}

void mcp_error_answer(buf *out, int code, const char *message) {
    send_error(out, nullptr, code, message);
}

int mcp_handle_message(const char *line, size_t len, buf *out) {
    mcp_outcome o;
    return mcp_handle_request(line, len, nullptr, out, &o);
}

int mcp_handle_request(const char *line, size_t len, const mcp_transport *t, buf *out,
                       mcp_outcome *o) {
    *o = {};
    buf resp;
    buf_init(&resp);
    // A reader without YYJSON_READ_INSITU never writes into the text it is
    // given.
    g_refusals_mark = mem_refusals();
    yyjson_read_err rerr;
    yyjson_doc *doc =
        yyjson_read_opts((char *)line, len, YYJSON_READ_BIGNUM_AS_RAW, mem_yyjson(), &rerr);
    if (doc && settle_numbers(doc) != 0) {
        yyjson_doc_free(doc);
        doc = nullptr;
        rerr.code = YYJSON_READ_ERROR_INVALID_NUMBER;
    }
    if (!doc && rerr.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
        o->kind = MCP_INVALID;
        resp.dropped = 1;
    } else if (!doc) {
        o->kind = MCP_INVALID;
        o->code = JSONRPC_PARSE_ERROR;
        send_error(&resp, nullptr, JSONRPC_PARSE_ERROR, "Parse error: not valid JSON");
    } else {
        handle_doc(doc, t, &resp, o);
    }
    if (resp.dropped || (o->kind != MCP_NO_REPLY && mem_refusals() != g_refusals_mark)) {
        // Never half a line, nor an answer that went without a part: a
        // response that did not fit, or during which memory ran out, becomes
        // an error. (A changing tool fails before its save when memory runs
        // out, so no saved change is answered so.)
        yyjson_val *root = yyjson_doc_get_root(doc);
        buf_free(&resp);
        o->code = JSONRPC_INTERNAL_ERROR;
        send_error(&resp, yyjson_is_obj(root) ? yyjson_obj_get(root, "id") : nullptr,
                   JSONRPC_INTERNAL_ERROR, "out of memory");
        if (resp.dropped) {
            // Not even that: the same answer with id null, written without
            // the heap into a block of the stack.
            char line_oom[128];
            int n = snprintf(line_oom, sizeof line_oom,
                             "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":%d,"
                             "\"message\":\"out of memory\"}}\n",
                             JSONRPC_INTERNAL_ERROR);
            buf_free(&resp);
            buf_add(&resp, line_oom, (size_t)n);
        }
    }
    yyjson_doc_free(doc);
    if (!out->data && !out->dropped) {
        *out = resp;  // an empty out takes the response's storage instead of a copy
    } else {
        buf_add(out, resp.data, resp.len);
        buf_free(&resp);
    }
    return o->kind;
}

int mode_mcp(void) {
    char *line = (char *)mem_alloc(MCP_LINE_MAX);
    if (!line) return 1;
    buf out;
    buf_init(&out);
    size_t len = 0;
    for (;;) {
        int c = getc(stdin);
        if (c == '\r') continue;
        if (c != EOF && c != '\n') {
            if (len < MCP_LINE_MAX - 1) line[len++] = (char)c; // an overlong line is cut
            continue;
        }
        if (len > 0) {
            line[len] = 0;
            if (mcp_handle_line(line, len, &out)) {
                fwrite(out.data, 1, (size_t)out.len, stdout);
                fflush(stdout);
            }
            buf_free(&out);
            len = 0;
        }
        if (c == EOF) break;
    }
    mem_free(line);
    return 0;
}
