/* mcp.h - the MCP server: JSON-RPC 2.0 over standard input and output. */
#ifndef PLUGIN_MEMORY_MCP_H
#define PLUGIN_MEMORY_MCP_H

#include <stddef.h>

#include <yyjson.h>

#include "../store/store.h"

#define MCP_LINE_MAX 8388608   /* line buffer: 8 MiB including the terminator */

/* Handles one request line (len bytes, no line feed). Appends the response
 * line, line feed included, to out, or nothing when the message gets no
 * answer. Returns 1 when a response was written, 0 otherwise. */
int mcp_handle_line(const char *line, size_t len, buf *out);
/* Appends the JSON text of an id value (null for an absent id). */
void put_id(buf *b, yyjson_val *id);
/* Runs the server on standard input and output until input ends. Returns 0,
 * or 1 when the line buffer cannot be allocated. */
int mode_mcp(void);

#endif
