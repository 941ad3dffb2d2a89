/* mcp.h - the MCP server: JSON-RPC 2.0 over standard input and output. */
#ifndef PLUGIN_MEMORY_MCP_H
#define PLUGIN_MEMORY_MCP_H

#include <stddef.h>

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
 * Protocol revisions
 *
 * The server speaks two eras of the protocol. A legacy session begins with
 * "initialize" and is answered by the revision it settled on; a request that
 * carries the per-request metadata of the stateless revision (_meta with
 * io.modelcontextprotocol/protocolVersion) is answered on its own, without a
 * session, by that revision.
 *============================================================================*/

/* The stateless revision: no handshake, _meta on every request, every
 * result with resultType. */
#define MCP_MODERN_VERSION "2026-07-28"
/* The newest revision with the initialize handshake; a client that asks for
 * it (or for anything newer) in initialize is answered with it. */
#define MCP_LEGACY_LATEST "2025-11-25"
/* The oldest revision a legacy client may name: the one a request over HTTP
 * without MCP-Protocol-Version is taken to speak. */
#define MCP_LEGACY_OLDEST "2025-03-26"

/* Error codes besides those of JSON-RPC itself, each with its meaning in the
 * stateless revision. */
#define MCP_HEADER_MISMATCH (-32020)   /* HTTP headers missing or not as the body */
#define MCP_UNSUPPORTED_VERSION (-32022) /* a revision the server does not speak;
                                            data names supported and requested */

/* The era of a revision name. */
enum : int {
    MCP_ERA_UNKNOWN = 0,  /* not a revision the server speaks */
    MCP_ERA_LEGACY = 1,   /* MCP_LEGACY_OLDEST up to MCP_LEGACY_LATEST */
    MCP_ERA_MODERN = 2,   /* MCP_MODERN_VERSION */
};
/* The era of the n bytes at v (null: unknown). */
int mcp_version_era(const char *v, size_t n);

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
    int modern;               /* 1 when the request is answered statelessly */
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
    int modern;               /* 1 when answered by the stateless revision */
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
/* Appends the JSON text of an id value (null for an absent id). */
void put_id(buf *b, yyjson_val *id);
/* Runs the server on standard input and output until input ends. Returns 0,
 * or 1 when the line buffer cannot be allocated. */
int mode_mcp(void);

#endif
