// framework.cpp - STUB, replaced by the tool framework.
#include <cstdlib>
#include "tools.h"
void tool_out_init(tool_out *out) { *out = tool_out{}; }
void tool_start(tool_out *) {}
void tool_err(tool_out *out, const char *, ...) { out->failed = 1; }
void tool_free(tool_out *out) { *out = tool_out{}; }
yyjson_val *arg_get(yyjson_val *, const char *) { return nullptr; }
int tool_dispatch(const char *, yyjson_val *, tool_out *out) { *out = tool_out{}; return -1; }
char *tools_list_json(void) { return dup_or_null("[]"); }
char *tool_mcp_result(const tool_out *) { return dup_or_null("{}"); }
char *tool_api_result(const tool_out *) { return dup_or_null("{\"ok\":true}"); }
void tool_read_graph(yyjson_val *, tool_out *out) { out->failed = 1; }
