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

static const char initialize_result[] =
    "{\"protocolVersion\":\"" MCP_PROTOCOL_VERSION "\","
    "\"capabilities\":{\"tools\":{\"listChanged\":false},"
    "\"resources\":{\"subscribe\":false,\"listChanged\":false}},"
    "\"serverInfo\":{\"name\":\"memory-server\",\"title\":\"Knowledge Graph Memory\","
    "\"version\":\"" CONNECTOR_VERSION "\"}}";

static const char resources_list_result[] =
    "{\"resources\":[{\"uri\":\"" RESOURCE_URI "\",\"name\":\"knowledge-graph\","
    "\"title\":\"Knowledge Graph\","
    "\"description\":\"The full knowledge graph with all entities and relations\","
    "\"mimeType\":\"application/json\"}]}";

// Answer used when a response could not be assembled whole.
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

// {"jsonrpc":"2.0","id":<id>,"result":<text>} and a line feed.
static void send_result(buf *out, yyjson_val *id, const char *text) {
    result_head(out, id);
    buf_puts(out, text ? text : "{}");
    buf_puts(out, "}\n");
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
 * Methods
 *============================================================================*/

static void do_initialize(yyjson_val *, yyjson_val *id, buf *out) {
    send_result(out, id, initialize_result);
}

static void do_empty(yyjson_val *, yyjson_val *id, buf *out) { send_result(out, id, "{}"); }

static void do_resources_list(yyjson_val *, yyjson_val *id, buf *out) {
    send_result(out, id, resources_list_result);
}

static void do_templates_list(yyjson_val *, yyjson_val *id, buf *out) {
    send_result(out, id, "{\"resourceTemplates\":[]}");
}

static void do_prompts_list(yyjson_val *, yyjson_val *id, buf *out) {
    send_result(out, id, "{\"prompts\":[]}");
}

static void do_tools_list(yyjson_val *, yyjson_val *id, buf *out) {
    char *cat = tools_list_json();
    buf text;
    buf_init(&text);
    buf_puts(&text, "{\"tools\":");
    buf_puts(&text, cat ? cat : "[]");
    buf_puts(&text, "}");
    mem_free(cat);
    send_result(out, id, buf_str(&text));
    if (text.dropped) out->dropped = 1;
    buf_free(&text);
}

static void do_tools_call(yyjson_val *req, yyjson_val *id, buf *out) {
    yyjson_val *params = yyjson_obj_get(req, "params");
    yyjson_val *name = yyjson_is_obj(params) ? yyjson_obj_get(params, "name") : nullptr;
    if (!yyjson_is_str(name)) {
        send_error(out, id, -32602, "tools/call needs params.name");
        return;
    }
    yyjson_val *args = yyjson_obj_get(params, "arguments");
    if (!yyjson_is_obj(args)) args = nullptr;
    const char *nm = yyjson_get_str(name);
    size_t nlen = yyjson_get_len(name);

    tool_out res;
    tool_out_init(&res);
    // A name with a zero byte inside names no tool, whatever its prefix.
    int found = strlen(nm) == nlen ? tool_dispatch(nm, args, &res) : -1;
    if (found != 0) {
        buf msg;
        buf_init(&msg);
        buf_puts(&msg, "Unknown tool: ");
        buf_add(&msg, nm, nlen);
        send_error_n(out, id, -32602, buf_str(&msg), msg.len);
        if (msg.dropped) out->dropped = 1;
        buf_free(&msg);
    } else {
        // The result is written into the response itself, not copied into it.
        result_head(out, id);
        tool_mcp_result(out, &res);
        buf_puts(out, "}\n");
    }
    tool_free(&res);
}

static void do_resources_read(yyjson_val *req, yyjson_val *id, buf *out) {
    yyjson_val *params = yyjson_obj_get(req, "params");
    yyjson_val *uri = yyjson_is_obj(params) ? yyjson_obj_get(params, "uri") : nullptr;
    if (!yyjson_is_str(uri)) {
        send_error(out, id, -32602, "resources/read needs params.uri");
        return;
    }
    if (!yyjson_equals_str(uri, RESOURCE_URI)) {
        send_error(out, id, -32002,
                   "Unknown resource: this server serves " RESOURCE_URI " only");
        return;
    }
    tool_out res;
    tool_out_init(&res);
    g_data_err[0] = 0;
    tool_read_graph(nullptr, &res);
    char *text = nullptr;
    if (!res.failed && res.doc && res.root)
        text = yyjson_mut_write_opts(res.doc, YYJSON_WRITE_NOFLAG, mem_yyjson(), nullptr, nullptr);
    if (!text) {
        // A graph that cannot be read is a failure of the request, never an
        // empty graph: the client must not take "{}" for the contents.
        const char *why = res.err ? res.err
                          : g_data_err[0] ? g_data_err
                          : res.failed ? "the graph could not be read"
                                       : "out of memory";
        send_error(out, id, -32603, why);
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
    send_result(out, id, buf_str(&body));
    if (body.dropped) out->dropped = 1;
    buf_free(&body);
}

struct mcp_method {
    const char *name;
    void (*run)(yyjson_val *req, yyjson_val *id, buf *out);
};

static const mcp_method mcp_methods[] = {
    {"initialize", do_initialize},
    {"ping", do_empty},
    {"tools/list", do_tools_list},
    {"tools/call", do_tools_call},
    {"resources/list", do_resources_list},
    {"resources/templates/list", do_templates_list},
    {"prompts/list", do_prompts_list},
    {"resources/read", do_resources_read},
    {"resources/subscribe", do_empty},
    {"resources/unsubscribe", do_empty},
};

/*==============================================================================
 * One line, and the loop around it
 *============================================================================*/

// Classifies one parsed message, appends its answer, if any, to resp and
// returns its kind (MCP_REQUEST, MCP_NO_REPLY or MCP_INVALID).
static int handle_doc(yyjson_doc *doc, buf *resp) {
    yyjson_val *req = yyjson_doc_get_root(doc);
    if (!yyjson_is_obj(req)) {
        send_error(resp, nullptr, -32600, "Invalid request: expected an object");
        return MCP_INVALID;
    }
    yyjson_val *method = yyjson_obj_get(req, "method");
    yyjson_val *id = yyjson_obj_get(req, "id");
    if (!yyjson_is_str(method)) {
        // A client's answer to a request of ours: we send none, so drop it.
        if (yyjson_obj_get(req, "result") || yyjson_obj_get(req, "error")) return MCP_NO_REPLY;
        send_error(resp, id, -32600, "Invalid request: missing method");
        return MCP_INVALID;
    }
    if (!id) return MCP_NO_REPLY; // a notification is never executed
    for (const mcp_method &m : mcp_methods) {
        if (yyjson_equals_str(method, m.name)) {
            m.run(req, id, resp);
            return MCP_REQUEST;
        }
    }
    send_error(resp, id, -32601, "Method not found");
    return MCP_REQUEST;
}

int mcp_handle_line(const char *line, size_t len, buf *out) {
    return mcp_handle_message(line, len, out) != MCP_NO_REPLY;
}

void mcp_error_answer(buf *out, int code, const char *message) {
    send_error(out, nullptr, code, message);
}

int mcp_handle_message(const char *line, size_t len, buf *out) {
    buf resp;
    buf_init(&resp);
    // The flag 0 reader never writes into the text it is given.
    yyjson_doc *doc = yyjson_read_opts((char *)line, len, YYJSON_READ_NOFLAG, mem_yyjson(), nullptr);
    int kind = MCP_INVALID;
    if (!doc) send_error(&resp, nullptr, -32700, "Parse error: not valid JSON");
    else kind = handle_doc(doc, &resp);
    if (resp.dropped) {
        // Never half a line: a response that did not fit becomes an error.
        yyjson_val *root = yyjson_doc_get_root(doc);
        buf_free(&resp);
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
    return kind;
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
