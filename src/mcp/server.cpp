// server.cpp - the MCP server: JSON-RPC 2.0 requests, one per line on
// standard input, each answered by at most one line on standard output.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mcp.h"
#include "tools/tools.h"

#define RESOURCE_URI "memory://knowledge-graph"

// The server's identity, as initialize and server/discover name it.
#define SERVER_INFO \
    "{\"name\":\"memory-server\",\"title\":\"Knowledge Graph Memory\"," \
    "\"version\":\"" CONNECTOR_VERSION "\"}"
// Every revision the server speaks, as server/discover and the
// unsupported-revision error name them.
#define SUPPORTED_VERSIONS \
    "[\"" MCP_MODERN_VERSION "\",\"" MCP_LEGACY_LATEST "\",\"" MCP_PROTOCOL_VERSION \
    "\",\"" MCP_LEGACY_OLDEST "\"]"
// The capabilities of both eras' tools and resources.
#define CAPABILITIES \
    "{\"tools\":{\"listChanged\":false}," \
    "\"resources\":{\"subscribe\":false,\"listChanged\":false}}"

static const char initialize_result[] =
    "{\"protocolVersion\":\"" MCP_PROTOCOL_VERSION "\",\"capabilities\":" CAPABILITIES
    ",\"serverInfo\":" SERVER_INFO "}";

static const char initialize_latest_result[] =
    "{\"protocolVersion\":\"" MCP_LEGACY_LATEST "\",\"capabilities\":" CAPABILITIES
    ",\"serverInfo\":" SERVER_INFO "}";

// The stateless revision announces the (empty) prompt list it answers.
static const char discover_result[] =
    "{\"supportedVersions\":" SUPPORTED_VERSIONS ","
    "\"capabilities\":{\"tools\":{\"listChanged\":false},"
    "\"resources\":{\"subscribe\":false,\"listChanged\":false},"
    "\"prompts\":{\"listChanged\":false}},"
    "\"serverInfo\":" SERVER_INFO ","
    "\"instructions\":\"A knowledge graph of entities, their observations and the relations "
    "between them, kept across conversations. Read it with read_graph, search_nodes or "
    "open_nodes; change it with the create, add and delete tools.\"}";

static const char resources_list_result[] =
    "{\"resources\":[{\"uri\":\"" RESOURCE_URI "\",\"name\":\"knowledge-graph\","
    "\"title\":\"Knowledge Graph\","
    "\"description\":\"The full knowledge graph with all entities and relations\","
    "\"mimeType\":\"application/json\"}]}";

// Answer used when a response could not be assembled whole.
// mem_refusals() as far as the answer being made has accounted for them: a
// request during which memory ran out past this mark answers "out of
// memory" rather than with a part missing.
static uint64_t g_refusals_mark;

static const char out_of_memory_line[] =
    "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32603,\"message\":\"out of memory\"}}\n";

/*==============================================================================
 * Response writing
 *============================================================================*/

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

// The error response with the n bytes of msg as its message.
static void send_error_n(buf *out, yyjson_val *id, int code, const char *msg, size_t n) {
    char num[16];
    snprintf(num, sizeof num, "%d", code);
    buf_puts(out, "{\"jsonrpc\":\"2.0\",\"id\":");
    put_id(out, id);
    buf_puts(out, ",\"error\":{\"code\":");
    buf_puts(out, num);
    buf_puts(out, ",\"message\":");
    json_strn(out, msg, n);
    buf_puts(out, "}}\n");
}

// {"jsonrpc":"2.0","id":<id>,"error":{"code":<code>,"message":<msg>}}.
static void send_error(buf *out, yyjson_val *id, int code, const char *msg) {
    if (!msg) msg = "error";
    send_error_n(out, id, code, msg, strlen(msg));
}

/*==============================================================================
 * Requests and the revision that answers them
 *============================================================================*/

// The legacy revisions, newest first.
static const char *const legacy_versions[] = {MCP_LEGACY_LATEST, MCP_PROTOCOL_VERSION,
                                              MCP_LEGACY_OLDEST};


// The _meta keys of the stateless revision.
#define META_VERSION "io.modelcontextprotocol/protocolVersion"
#define META_CAPABILITIES "io.modelcontextprotocol/clientCapabilities"

int mcp_version_era(const char *v, size_t n) {
    if (!v) return MCP_ERA_UNKNOWN;
    if (n == sizeof MCP_MODERN_VERSION - 1 && memcmp(v, MCP_MODERN_VERSION, n) == 0)
        return MCP_ERA_MODERN;
    for (const char *known : legacy_versions)
        if (n == strlen(known) && memcmp(v, known, n) == 0) return MCP_ERA_LEGACY;
    return MCP_ERA_UNKNOWN;
}

// The legacy revision the last initialize on standard input settled on: the
// session of the stdio process. Empty until then, which answers as
// MCP_PROTOCOL_VERSION. A request over HTTP names its revision in a header
// instead, and never sets it: a process may serve many clients.
static char g_session_version[16];

// One request being answered.
struct mcp_call {
    yyjson_val *req;       // the request object
    yyjson_val *id;        // its id
    yyjson_val *params;    // its params when an object, else null
    int modern;            // answered by the stateless revision
    const char *legacy;    // the legacy revision answering it, when not modern
    int stdio;             // 1 when it came without a transport (standard input)
};

// 1 when the legacy revision of c is 2025-11-25 (or newer).
static int legacy_latest(const mcp_call &c) {
    return !c.modern && c.legacy && strcmp(c.legacy, MCP_LEGACY_LATEST) == 0;
}

/*==============================================================================
 * Results of the stateless revision
 *============================================================================*/

// How long a client may reuse a list, in ms: the lists change only with a
// new build of the server, so an hour keeps clients from asking again and
// again while a new build still reaches them the same day.
#define LIST_TTL_MS "3600000"
// The graph changes with every write by any client: never reuse a read.
#define READ_TTL_MS "0"

// What a result of the stateless revision carries besides its own members.
enum : int { PLAIN = 0, LIST = 1, READ = 2 };

// Ends the result object that out ends with (its closing brace the last
// byte) with the members of the stateless revision: resultType, the caching
// hints of a list or a read (private: the endpoint may sit behind a password,
// so no shared cache may hand one client's answer to another) and the
// server's identity.
static void modern_members(buf *out, int kind) {
    if (out->dropped || !out->data || out->len < 2 || out->data[out->len - 1] != '}') {
        out->dropped = 1;   // never half a result: the caller answers otherwise
        return;
    }
    out->len--;
    if (out->data[out->len - 1] != '{') buf_putc(out, ',');
    buf_puts(out, "\"resultType\":\"complete\"");
    if (kind == LIST) buf_puts(out, ",\"ttlMs\":" LIST_TTL_MS ",\"cacheScope\":\"private\"");
    if (kind == READ) buf_puts(out, ",\"ttlMs\":" READ_TTL_MS ",\"cacheScope\":\"private\"");
    buf_puts(out, ",\"_meta\":{\"io.modelcontextprotocol/serverInfo\":" SERVER_INFO "}}");
}

// {"jsonrpc":"2.0","id":<id>,"result":<text>} and a line feed, the result
// completed for the stateless revision as modern_members says.
static void send_call_result(buf *out, const mcp_call &c, const char *text, int kind) {
    result_head(out, c.id);
    buf_puts(out, text ? text : "{}");
    if (c.modern) modern_members(out, kind);
    buf_puts(out, "}\n");
}

/*==============================================================================
 * Methods
 *============================================================================*/

static void do_initialize(const mcp_call &c, buf *out) {
    // A client asking for 2025-11-25 or later is answered with 2025-11-25;
    // every other ask with the revision the server has always answered.
    yyjson_val *asked = c.params ? yyjson_obj_get(c.params, "protocolVersion") : nullptr;
    const char *v = yyjson_get_str(asked);
    int latest = v && yyjson_get_len(asked) == sizeof MCP_LEGACY_LATEST - 1 && v[0] == '2' &&
                 strcmp(v, MCP_LEGACY_LATEST) >= 0;
    if (c.stdio)
        snprintf(g_session_version, sizeof g_session_version, "%s",
                 latest ? MCP_LEGACY_LATEST : MCP_PROTOCOL_VERSION);
    send_call_result(out, c, latest ? initialize_latest_result : initialize_result, PLAIN);
}

static void do_empty(const mcp_call &c, buf *out) { send_call_result(out, c, "{}", PLAIN); }

// logging/setLevel: 2025-11-25 takes it (there is nothing to log, so the
// level changes nothing); older sessions never had it.
static void do_set_level(const mcp_call &c, buf *out) {
    if (!legacy_latest(c)) {
        send_error(out, c.id, -32601, "Method not found");
        return;
    }
    yyjson_val *level = c.params ? yyjson_obj_get(c.params, "level") : nullptr;
    static const char *const levels[] = {"debug",    "info",  "notice", "warning",
                                         "error",    "critical", "alert", "emergency"};
    for (const char *l : levels) {
        if (yyjson_equals_str(level, l)) {
            send_call_result(out, c, "{}", PLAIN);
            return;
        }
    }
    send_error(out, c.id, -32602, "logging/setLevel needs params.level, a syslog level name");
}

static void do_resources_list(const mcp_call &c, buf *out) {
    send_call_result(out, c, resources_list_result, LIST);
}

static void do_templates_list(const mcp_call &c, buf *out) {
    send_call_result(out, c, "{\"resourceTemplates\":[]}", LIST);
}

static void do_prompts_list(const mcp_call &c, buf *out) {
    send_call_result(out, c, "{\"prompts\":[]}", LIST);
}

static void do_discover(const mcp_call &c, buf *out) {
    send_call_result(out, c, discover_result, LIST);
}

static void do_tools_list(const mcp_call &c, buf *out) {
    char *cat = tools_list_json();
    buf text;
    buf_init(&text);
    buf_puts(&text, "{\"tools\":");
    buf_puts(&text, cat ? cat : "[]");
    buf_puts(&text, "}");
    mem_free(cat);
    send_call_result(out, c, buf_str(&text), LIST);
    if (text.dropped) out->dropped = 1;
    buf_free(&text);
}

static void do_tools_call(const mcp_call &c, buf *out) {
    yyjson_val *name = c.params ? yyjson_obj_get(c.params, "name") : nullptr;
    if (!yyjson_is_str(name)) {
        send_error(out, c.id, -32602, "tools/call needs params.name");
        return;
    }
    yyjson_val *args = yyjson_obj_get(c.params, "arguments");
    if (!yyjson_is_obj(args)) args = nullptr;
    const char *nm = yyjson_get_str(name);
    size_t nlen = yyjson_get_len(name);

    tool_out res;
    tool_out_init(&res);
    // The head goes first, and a changing tool makes room for its result
    // behind it before saving: the answer of a saved change is never lost
    // for want of memory.
    uint64_t mark = out->len;
    result_head(out, c.id);
    // A name with a zero byte inside names no tool, whatever its prefix.
    int found = strlen(nm) == nlen ? tool_dispatch(nm, args, &res, out) : -1;
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
        send_error_n(out, c.id, -32602, buf_str(&msg), msg.len);
        if (msg.dropped) out->dropped = 1;
        buf_free(&msg);
    } else {
        // The result is written into the response itself, not copied into it.
        tool_mcp_result(out, &res);
        if (c.modern) modern_members(out, PLAIN);
        buf_puts(out, "}\n");
    }
    tool_free(&res);
}

// The error for a resource this server does not have. The stateless
// revision answers it as invalid params, naming the URI in data.
static void resource_not_found(const mcp_call &c, yyjson_val *uri, buf *out) {
    static const char msg[] = "Unknown resource: this server serves " RESOURCE_URI " only";
    if (!c.modern) {
        send_error(out, c.id, -32002, msg);
        return;
    }
    buf_puts(out, "{\"jsonrpc\":\"2.0\",\"id\":");
    put_id(out, c.id);
    buf_puts(out, ",\"error\":{\"code\":-32602,\"message\":\"");
    buf_puts(out, msg);
    buf_puts(out, "\",\"data\":{\"uri\":");
    json_strn(out, yyjson_get_str(uri), yyjson_get_len(uri));
    buf_puts(out, "}}}\n");
}

static void do_resources_read(const mcp_call &c, buf *out) {
    yyjson_val *uri = c.params ? yyjson_obj_get(c.params, "uri") : nullptr;
    if (!yyjson_is_str(uri)) {
        send_error(out, c.id, -32602, "resources/read needs params.uri");
        return;
    }
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
        send_error(out, c.id, -32603, why);
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
    send_call_result(out, c, buf_str(&body), READ);
    if (body.dropped) out->dropped = 1;
    buf_free(&body);
}

// The eras a method exists in.
enum : int { LEGACY = 1, MODERN = 2, BOTH = 3 };

struct mcp_method {
    const char *name;
    void (*run)(const mcp_call &c, buf *out);
    int eras;  // LEGACY, MODERN or BOTH
};

// The methods. initialize, ping, logging/setLevel and the resource
// subscriptions are gone from the stateless revision, which brings
// server/discover; its lists never change, so there is no
// subscriptions/listen either.
static const mcp_method mcp_methods[] = {
    {"initialize", do_initialize, LEGACY},
    {"server/discover", do_discover, MODERN},
    {"ping", do_empty, LEGACY},
    {"tools/list", do_tools_list, BOTH},
    {"tools/call", do_tools_call, BOTH},
    {"resources/list", do_resources_list, BOTH},
    {"resources/templates/list", do_templates_list, BOTH},
    {"prompts/list", do_prompts_list, BOTH},
    {"resources/read", do_resources_read, BOTH},
    {"resources/subscribe", do_empty, LEGACY},
    {"resources/unsubscribe", do_empty, LEGACY},
    {"logging/setLevel", do_set_level, LEGACY},
};

/*==============================================================================
 * One line, and the loop around it
 *============================================================================*/

// The unsupported-revision error: data names the revisions the server speaks
// and the n bytes asked for.
static void send_unsupported(buf *out, yyjson_val *id, const char *asked, size_t n) {
    buf_puts(out, "{\"jsonrpc\":\"2.0\",\"id\":");
    put_id(out, id);
    buf_puts(out, ",\"error\":{\"code\":-32022,\"message\":\"Unsupported protocol version\","
                  "\"data\":{\"supported\":");
    buf_puts(out, SUPPORTED_VERSIONS);
    buf_puts(out, ",\"requested\":");
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
    json_strn(out, buf_str(&text), text.len);
    if (text.dropped) out->dropped = 1;
    buf_free(&text);
    buf_puts(out, "}}}\n");
}

// Runs the request c by the method of its era, or answers that there is
// none.
static void dispatch(const mcp_call &c, yyjson_val *method, buf *out, mcp_outcome *o) {
    for (const mcp_method &m : mcp_methods) {
        if ((m.eras & (c.modern ? MODERN : LEGACY)) && yyjson_equals_str(method, m.name)) {
            m.run(c, out);
            return;
        }
    }
    o->code = -32601;
    send_error(out, c.id, -32601, "Method not found");
}

// Decides the era of the request c, checks what the stateless revision and
// the transport ask of it, and runs it.
static void run_request(mcp_call &c, yyjson_val *method, const mcp_transport *t, buf *out,
                        mcp_outcome *o) {
    yyjson_val *meta = c.params ? yyjson_obj_get(c.params, "_meta") : nullptr;
    yyjson_val *version = yyjson_is_obj(meta) ? yyjson_obj_get(meta, META_VERSION) : nullptr;
    const char *tv = t ? t->version : nullptr;
    // A request is stateless when it says so in _meta, when the transport
    // names the stateless revision, or when its method exists only there.
    c.modern = version || (tv && mcp_version_era(tv, strlen(tv)) == MCP_ERA_MODERN) ||
               yyjson_equals_str(method, "server/discover");
    o->modern = c.modern;
    if (c.modern) {
        yyjson_val *caps = yyjson_is_obj(meta) ? yyjson_obj_get(meta, META_CAPABILITIES) : nullptr;
        const char *why = !yyjson_is_obj(meta) ? "Invalid params: the request needs _meta"
                          : !yyjson_is_str(version) ? "Invalid params: _meta needs " META_VERSION
                          : !yyjson_is_obj(caps) ? "Invalid params: _meta needs " META_CAPABILITIES
                                                 : nullptr;
        if (why) {
            o->refused = 1;
            o->code = -32602;
            send_error(out, c.id, -32602, why);
            return;
        }
    } else {
        // The legacy revision: the one the transport names, else the one
        // the session settled on.
        c.legacy = tv                                 ? tv
                   : c.stdio && g_session_version[0] ? g_session_version
                                                     : MCP_PROTOCOL_VERSION;
    }
    if (t && t->check) {
        mcp_request_view v = {};
        v.method = yyjson_get_str(method);
        v.method_len = yyjson_get_len(method);
        yyjson_val *name = nullptr;
        if (c.params && (yyjson_equals_str(method, "tools/call") ||
                         yyjson_equals_str(method, "prompts/get")))
            name = yyjson_obj_get(c.params, "name");
        else if (c.params && yyjson_equals_str(method, "resources/read"))
            name = yyjson_obj_get(c.params, "uri");
        if (yyjson_is_str(name)) {
            v.name = yyjson_get_str(name);
            v.name_len = yyjson_get_len(name);
        }
        if (version) {
            v.version = yyjson_get_str(version);
            v.version_len = yyjson_get_len(version);
        }
        v.modern = c.modern;
        mcp_refusal why = {};
        t->check(&v, t->ctx, &why);
        if (why.code) {
            o->refused = 1;
            o->code = why.code;
            const char *asked = why.requested ? why.requested : "";
            if (why.code == MCP_UNSUPPORTED_VERSION)
                send_unsupported(out, c.id, asked, strlen(asked));
            else
                send_error(out, c.id, why.code, why.message);
            return;
        }
    }
    if (c.modern && mcp_version_era(yyjson_get_str(version), yyjson_get_len(version)) !=
                        MCP_ERA_MODERN) {
        o->refused = 1;
        o->code = MCP_UNSUPPORTED_VERSION;
        send_unsupported(out, c.id, yyjson_get_str(version), yyjson_get_len(version));
        return;
    }
    dispatch(c, method, out, o);
}

// Classifies one parsed message, appends its answer, if any, to resp and
// fills o (its kind MCP_REQUEST, MCP_NO_REPLY or MCP_INVALID).
static void handle_doc(yyjson_doc *doc, const mcp_transport *t, buf *resp, mcp_outcome *o) {
    yyjson_val *req = yyjson_doc_get_root(doc);
    o->kind = MCP_INVALID;
    o->code = -32600;
    if (!yyjson_is_obj(req)) {
        send_error(resp, nullptr, -32600, "Invalid request: expected an object");
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
        send_error(resp, id, -32600, "Invalid request: missing method");
        return;
    }
    o->code = 0;
    if (!id) { // a notification is never executed
        o->kind = MCP_NO_REPLY;
        return;
    }
    o->kind = MCP_REQUEST;
    yyjson_val *params = yyjson_obj_get(req, "params");
    mcp_call c = {req, id, yyjson_is_obj(params) ? params : nullptr, 0, nullptr, !t};
    run_request(c, method, t, resp, o);
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
    // The flag 0 reader never writes into the text it is given.
    g_refusals_mark = mem_refusals();
    yyjson_read_err rerr;
    yyjson_doc *doc = yyjson_read_opts((char *)line, len, YYJSON_READ_NOFLAG, mem_yyjson(), &rerr);
    if (!doc && rerr.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
        o->kind = MCP_INVALID;
        resp.dropped = 1;
    } else if (!doc) {
        o->kind = MCP_INVALID;
        o->code = -32700;
        send_error(&resp, nullptr, -32700, "Parse error: not valid JSON");
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
        o->code = -32603;
        send_error(&resp, yyjson_is_obj(root) ? yyjson_obj_get(root, "id") : nullptr, -32603,
                   "out of memory");
        if (resp.dropped) {
            buf_free(&resp);
            buf_puts(&resp, out_of_memory_line);
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
