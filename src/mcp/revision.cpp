// revision.cpp - the protocol revisions the server speaks, one record each:
// the methods it has, the members it ends a result with, what it asks of a
// request's _meta, and its errors; and the texts in which the server names
// itself and the revisions.
//
// What the revisions differ in, as the server answers them:
//   2025-03-26  the first revision the server speaks. Its Implementation
//               (serverInfo) and Resource have no title, and a tool result
//               is its content alone (structuredContent came in 2025-06-18).
//               Tools carry no title or outputSchema in any revision here,
//               so tools/list is the same in all of them.
//   2025-06-18  titles and structuredContent; the default, for a client
//               that names no revision the server speaks.
//   2025-11-25  adds logging/setLevel.
//   2026-07-28  stateless: no initialize, ping, logging or subscriptions,
//               server/discover instead; _meta on every request; every
//               result ends with resultType, caching hints for lists and
//               reads, and the server's identity in _meta; an unknown
//               resource is invalid params naming the uri, and over HTTP an
//               unknown method is 404 and the headers mirror the body.
#include <cstring>

#include "revision.h"

namespace {

/*==============================================================================
 * The server's identity
 *============================================================================*/

#define SERVER_NAME "\"name\":\"memory-server\","
#define SERVER_TITLE "\"title\":\"Knowledge Graph Memory\","
#define SERVER_VERSION "\"version\":\"" CONNECTOR_VERSION "\""

/*==============================================================================
 * How the stateless revision ends a result
 *============================================================================*/

// How long a client may reuse a list, in ms: the lists change only with a
// new build of the server, so an hour keeps clients from asking again and
// again while a new build still reaches them the same day.
#define LIST_TTL_MS "3600000"
// The graph changes with every write by any client: never reuse a read.
#define READ_TTL_MS "0"

// The members, in the order written: resultType on every result; the
// caching hints of a list or a read (private: the endpoint may sit behind a
// password, so no shared cache may hand one client's answer to another);
// the server's identity (the stateless revision has titles), which also
// closes the result.
const char k_result_type[] = "\"resultType\":\"complete\"";
const char k_list_hints[] = ",\"ttlMs\":" LIST_TTL_MS ",\"cacheScope\":\"private\"";
const char k_read_hints[] = ",\"ttlMs\":" READ_TTL_MS ",\"cacheScope\":\"private\"";
const char k_server_meta[] =
    ",\"_meta\":{\"io.modelcontextprotocol/serverInfo\":{" SERVER_NAME SERVER_TITLE SERVER_VERSION "}}}";

// The caching hints of a result of the kind, or null.
const char *hints_of(int kind, size_t *n) {
    *n = kind == MCP_RESULT_LIST ? sizeof k_list_hints - 1
         : kind == MCP_RESULT_READ ? sizeof k_read_hints - 1
                                   : 0;
    return kind == MCP_RESULT_LIST ? k_list_hints : kind == MCP_RESULT_READ ? k_read_hints : nullptr;
}

void stateless_finish(buf *out, int kind) {
    if (out->dropped || !out->data || out->len < 2 || out->data[out->len - 1] != '}') {
        out->dropped = 1;   // never half a result: the caller answers otherwise
        return;
    }
    out->len--;  // the closing brace, which k_server_meta writes again
    if (out->data[out->len - 1] != '{') buf_putc(out, ',');
    buf_add(out, k_result_type, sizeof k_result_type - 1);
    size_t n;
    const char *hints = hints_of(kind, &n);
    buf_add(out, hints, n);
    buf_add(out, k_server_meta, sizeof k_server_meta - 1);
}

// The comma and the members stateless_finish writes, less the brace it
// takes back.
size_t stateless_room(int kind) {
    size_t n;
    hints_of(kind, &n);
    return 1 + (sizeof k_result_type - 1) + n + (sizeof k_server_meta - 1) - 1;
}

/*==============================================================================
 * What the stateless revision asks of a request
 *============================================================================*/

const char *stateless_meta(yyjson_val *meta) {
    if (!yyjson_is_obj(meta)) return "Invalid params: the request needs _meta";
    if (!yyjson_is_str(yyjson_obj_get(meta, MCP_META_VERSION)))
        return "Invalid params: _meta needs " MCP_META_VERSION;
    if (!yyjson_is_obj(yyjson_obj_get(meta, MCP_META_CAPABILITIES)))
        return "Invalid params: _meta needs " MCP_META_CAPABILITIES;
    return nullptr;
}

/*==============================================================================
 * The revisions
 *============================================================================*/

// The methods of a session opened by initialize.
constexpr uint32_t SESSION_METHODS = MCP_M_INITIALIZE | MCP_M_PING | MCP_M_TOOLS_LIST |
                                     MCP_M_TOOLS_CALL | MCP_M_RESOURCES_LIST | MCP_M_TEMPLATES_LIST |
                                     MCP_M_PROMPTS_LIST | MCP_M_RESOURCES_READ | MCP_M_SUBSCRIBE;
// The methods of the stateless revision: its lists never change, so it has
// no subscriptions/listen either.
constexpr uint32_t STATELESS_METHODS = MCP_M_DISCOVER | MCP_M_TOOLS_LIST | MCP_M_TOOLS_CALL |
                                       MCP_M_RESOURCES_LIST | MCP_M_TEMPLATES_LIST |
                                       MCP_M_PROMPTS_LIST | MCP_M_RESOURCES_READ;

// Newest first: the order in which server/discover and the
// unsupported-revision error list them.
const mcp_revision k_revisions[] = {
    {"2026-07-28", MCP_ERA_MODERN, STATELESS_METHODS, 1, 1, stateless_finish, stateless_room,
     stateless_meta, 1, JSONRPC_INVALID_PARAMS, 404},
    {"2025-11-25", MCP_ERA_LEGACY, SESSION_METHODS | MCP_M_SET_LEVEL, 1, 1, nullptr, nullptr, nullptr,
     0, MCP_RESOURCE_NOT_FOUND, 200},
    {"2025-06-18", MCP_ERA_LEGACY, SESSION_METHODS, 1, 1, nullptr, nullptr, nullptr, 0,
     MCP_RESOURCE_NOT_FOUND, 200},
    {"2025-03-26", MCP_ERA_LEGACY, SESSION_METHODS, 0, 0, nullptr, nullptr, nullptr, 0,
     MCP_RESOURCE_NOT_FOUND, 200},
};
// The stateless revision, the newest legacy one, and the default: the one
// the server answered every initialize with before it spoke the others.
const mcp_revision &k_stateless = k_revisions[0];
const mcp_revision &k_newest_legacy = k_revisions[1];
const mcp_revision &k_default = k_revisions[2];

}  // namespace

const mcp_revision *mcp_revision_named(const char *v, size_t n) {
    if (!v) return nullptr;
    for (const mcp_revision &r : k_revisions)
        if (n == strlen(r.name) && memcmp(v, r.name, n) == 0) return &r;
    return nullptr;
}

const mcp_revision *mcp_revision_default(void) { return &k_default; }

const mcp_revision *mcp_revision_stateless(void) { return &k_stateless; }

const mcp_revision *mcp_revision_for_initialize(const char *asked, size_t n) {
    const mcp_revision *r = mcp_revision_named(asked, n);
    if (r && r->era == MCP_ERA_LEGACY) return r;
    // Revisions are named by their dates, YYYY-MM-DD, so a later one sorts
    // after an earlier one byte by byte.
    const size_t date = strlen(k_newest_legacy.name);
    if (asked && n == date && asked[0] == '2' && memcmp(asked, k_newest_legacy.name, date) > 0)
        return &k_newest_legacy;
    return &k_default;
}

int mcp_method_stateless_only(uint32_t method) {
    uint32_t legacy = 0;
    for (const mcp_revision &r : k_revisions)
        if (r.era == MCP_ERA_LEGACY) legacy |= r.methods;
    return (k_stateless.methods & method & ~legacy) != 0;
}

void mcp_put_supported(buf *b) {
    buf_putc(b, '[');
    for (const mcp_revision &r : k_revisions) {
        if (&r != k_revisions) buf_putc(b, ',');
        json_str(b, r.name);
    }
    buf_putc(b, ']');
}

void mcp_put_server_info(buf *b, const mcp_revision *r) {
    buf_puts(b, r->titles ? "{" SERVER_NAME SERVER_TITLE SERVER_VERSION "}"
                          : "{" SERVER_NAME SERVER_VERSION "}");
}
