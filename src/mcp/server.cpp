// server.cpp - STUB, replaced by the MCP server.
#include "mcp.h"
int mcp_handle_line(const char *, size_t, buf *) { return 0; }
void put_id(buf *b, yyjson_val *) { buf_puts(b, "null"); }
int mode_mcp(void) { return 0; }
