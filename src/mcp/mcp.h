/* mcp.h - the MCP server: JSON-RPC 2.0 over standard input and output. */
#ifndef PLUGIN_MEMORY_MCP_H
#define PLUGIN_MEMORY_MCP_H

#include <stddef.h>

#include <yyjson.h>

#include "store/store.h"

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
/* Appends the error answer with id null, code and message (escaped), line
 * feed included, as the server answers a message it cannot take. */
void mcp_error_answer(buf *out, int code, const char *message);
/* Appends the JSON text of an id value (null for an absent id). */
void put_id(buf *b, yyjson_val *id);
/* Runs the server on standard input and output until input ends. Returns 0,
 * or 1 when the line buffer cannot be allocated. */
int mode_mcp(void);

#endif
