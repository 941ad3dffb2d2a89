/* mcp.h - the MCP server: JSON-RPC 2.0 over standard input and output. */
#ifndef PLUGIN_MEMORY_MCP_H
#define PLUGIN_MEMORY_MCP_H

#include <stddef.h>
#include <stdint.h>

#include <yyjson.h>

#include "store/txn.h"

#define MCP_LINE_MAX 8388608   /* line buffer: 8 MiB including the terminator */

/* Handles one request line (len bytes, no line feed). Appends the response
 * line, line feed included, to out, or nothing when the message gets no
 * answer. Returns 1 when a response was written, 0 otherwise. */
int mcp_handle_line(const char *line, size_t len, buf *out);

/* What a message handed to mcp_handle_message turned out to be. */
enum : int {
    MCP_NO_REPLY = 0,   /* a notification or a client's response: no answer */
    MCP_REQUEST = 1,    /* a request: answered with its result or error */
    MCP_INVALID = -1,   /* no JSON-RPC message (not JSON, not an object, or
                           neither a method nor a result or error): answered
                           with the error, id null unless the message had one */
};
/* Handles one message of len bytes exactly as mcp_handle_line handles a
 * line (the same answer appended to out) and returns its kind above. */
int mcp_handle_message(const char *text, size_t len, buf *out);

/*==============================================================================
 * JSON-RPC error codes
 *
 * Every code the server answers with, named once. The first five are JSON-RPC
 * 2.0's own; the others lie in the range it leaves to servers.
 *============================================================================*/

enum : int {
    JSONRPC_PARSE_ERROR = -32700,      /* the message is not JSON */
    JSONRPC_INVALID_REQUEST = -32600,  /* JSON, but no request object */
    JSONRPC_METHOD_NOT_FOUND = -32601, /* a method the revision does not have */
    JSONRPC_INVALID_PARAMS = -32602,   /* params missing or not as the method needs */
    JSONRPC_INTERNAL_ERROR = -32603,   /* out of memory, a graph that cannot be read */
    MCP_TRANSPORT_ERROR = -32000,      /* refused by the HTTP transport before the
                                          body was read (id null) */
    MCP_RESOURCE_NOT_FOUND = -32002,   /* a resource the server does not have
                                          (the revisions that open with initialize) */
    MCP_HEADER_MISMATCH = -32020,      /* HTTP headers missing or not as the body */
    MCP_UNSUPPORTED_VERSION = -32022,  /* a revision the server does not speak;
                                          data names supported and requested */
};

/*==============================================================================
 * Protocol revisions
 *
 * Each revision the server speaks is one record, and a request is answered by
 * exactly one of them, chosen before its method runs. The revisions of the
 * legacy era open a session with "initialize" and are answered by the revision
 * it settled on (on HTTP, the one MCP-Protocol-Version names, and without that
 * header the default one, whose answers only add members to those of
 * 2025-03-26). A request that
 * carries the stateless revision's metadata (_meta with
 * io.modelcontextprotocol/protocolVersion), that comes with a header naming
 * it, or whose method only that revision has, is answered on its own, without
 * a session, by that revision.
 *============================================================================*/

/* The eras. */
enum : int {
    MCP_ERA_LEGACY = 1,   /* opened by initialize */
    MCP_ERA_MODERN = 2,   /* stateless: _meta on every request */
};

/* The methods, one bit each, for the method sets of the records. */
enum : uint32_t {
    MCP_M_INITIALIZE = 1u << 0,
    MCP_M_DISCOVER = 1u << 1,         /* server/discover */
    MCP_M_PING = 1u << 2,
    MCP_M_TOOLS_LIST = 1u << 3,
    MCP_M_TOOLS_CALL = 1u << 4,
    MCP_M_RESOURCES_LIST = 1u << 5,
    MCP_M_TEMPLATES_LIST = 1u << 6,   /* resources/templates/list */
    MCP_M_PROMPTS_LIST = 1u << 7,
    MCP_M_RESOURCES_READ = 1u << 8,
    MCP_M_SUBSCRIBE = 1u << 9,        /* resources/subscribe and unsubscribe */
    MCP_M_SET_LEVEL = 1u << 10,       /* logging/setLevel */
};

/* What a result of a method is, for the members a revision ends it with. */
enum : int {
    MCP_RESULT_PLAIN = 0,   /* a tool result, an empty result */
    MCP_RESULT_LIST = 1,    /* a list, or server/discover */
    MCP_RESULT_READ = 2,    /* a read of the resource */
};

/* One revision: what it answers and how. Static, never changed. */
struct mcp_revision {
    const char *name;         /* its date, as requests and answers name it */
    int era;                  /* MCP_ERA_LEGACY or MCP_ERA_MODERN */
    uint32_t methods;         /* the methods it has (MCP_M_ bits); any other
                                 is answered "Method not found" */
    /* What its answers carry. */
    int titles;               /* 1: serverInfo and the resource carry a title */
    int structured;           /* 1: a tool result carries structuredContent
                                 beside its text */
    /* Ends the result object that out ends with (its closing brace the
     * last byte) with the members the revision adds to every result of
     * the kind (MCP_RESULT_*): the place for any member a result carries
     * in one revision and not in another (such as where a paged list puts
     * its next cursor). Null: nothing is added. */
    void (*finish)(buf *out, int kind);
    /* The most bytes finish adds to a result of the kind (0 without
     * finish); a tool call makes room for them before it saves. */
    size_t (*finish_room)(int kind);
    /* What it asks of a request. */
    /* Why params._meta (null when absent or not an object) is not as the
     * revision needs, as the text of the invalid-params error; null when it
     * is. Null: _meta is not looked at. */
    const char *(*check_meta)(yyjson_val *meta);
    int mirrored_headers;     /* 1: over HTTP, MCP-Protocol-Version is
                                 required and Mcp-Method and Mcp-Name mirror
                                 the body */
    /* Its errors. */
    int resource_not_found;   /* the code for a resource the server does not
                                 have: MCP_RESOURCE_NOT_FOUND, or
                                 JSONRPC_INVALID_PARAMS with the uri in data */
    int method_not_found_status; /* the HTTP status of "Method not found" */
};

/* The record of the revision named by the n bytes at v, or null when the
 * server does not speak it (null v: null). */
const mcp_revision *mcp_revision_named(const char *v, size_t n);
/* The revision a legacy request is answered by when nothing names one: the
 * one initialize answers by default, and the tools action of the API names. */
const mcp_revision *mcp_revision_default(void);

/* One request as the transport may check it before it runs. The texts point
 * into the request document and are valid only during the check. */
struct mcp_request_view {
    const char *method;       /* the method, never null */
    size_t method_len;
    const char *name;         /* params.name (tools/call, prompts/get) or
                                 params.uri (resources/read) when a string,
                                 else null */
    size_t name_len;
    const char *version;      /* _meta's io.modelcontextprotocol/protocolVersion
                                 (a stateless request), else null */
    size_t version_len;
    const mcp_revision *revision; /* the revision that answers it, never null
                                 (for a stateless request that names no
                                 revision the server speaks, the stateless
                                 one: it is refused right after the check) */
};

/* Why a transport refuses a request; code 0 lets it run. */
struct mcp_refusal {
    int code;                 /* MCP_HEADER_MISMATCH or MCP_UNSUPPORTED_VERSION */
    const char *message;      /* static text, escaped on output */
    const char *requested;    /* MCP_UNSUPPORTED_VERSION: the revision asked
                                 for (zero-terminated), echoed in data */
};

/* What the transport adds to a message: the revision it names (HTTP's
 * MCP-Protocol-Version) and a check run on every request after its _meta has
 * been found well formed and before anything else is done. Every field may
 * be null: stdio has neither. */
struct mcp_transport {
    const char *version;      /* the revision the transport names, or null */
    void (*check)(const mcp_request_view *v, void *ctx, mcp_refusal *why);
    void *ctx;                /* handed to check */
};

/* How a message handed to mcp_handle_request was answered. */
struct mcp_outcome {
    int kind;                 /* MCP_NO_REPLY, MCP_REQUEST or MCP_INVALID */
    const mcp_revision *revision; /* the revision that answered it, or null
                                 for a message that is no request */
    int code;                 /* the error code answered, 0 for a result */
    int refused;              /* 1 when the request was refused before its
                                 method ran (bad _meta, a transport refusal,
                                 an unsupported revision) */
};

/* Handles one message as mcp_handle_message does, with what transport adds
 * (null: as on stdio), and fills outcome. Returns outcome->kind. */
int mcp_handle_request(const char *text, size_t len, const mcp_transport *transport, buf *out,
                       mcp_outcome *outcome);
/* Appends the error answer with id null, code and message (escaped), line
 * feed included, as the server answers a message it cannot take. */
void mcp_error_answer(buf *out, int code, const char *message);
/* Appends the JSON text of an id value (null for an absent id, an array or
 * an object; a number kept raw by the reader, an integer beyond 64 bits, as
 * it was written). */
void put_id(buf *b, yyjson_val *id);
/* Runs the server on standard input and output until input ends. Returns 0,
 * or 1 when the line buffer cannot be allocated. */
int mode_mcp(void);

#endif
