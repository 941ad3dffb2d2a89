/* mcp_http.h - MCP over HTTP: the endpoint the web host serves at /mcp. */
#ifndef PLUGIN_MEMORY_CGI_MCP_HTTP_H
#define PLUGIN_MEMORY_CGI_MCP_HTTP_H

#include "request.h"

/* The setting by which the web host marks a request to its MCP endpoint:
 * when set (even empty), web_answer answers with mcp_http_answer. */
#define MCP_HTTP_VAR "MEMORY_MCP_HTTP"

/* Answers the request r (filled by req_from_env, body not read) as the MCP
 * Streamable HTTP endpoint, stateless: one JSON-RPC message per POST,
 * handled by mcp_handle_message as the stdio server handles a line. In this
 * order, each refusal an answer with a JSON-RPC error of id null:
 *  - 403 for web_refusal's reasons (when WEB_HOSTS_VAR is set);
 *  - 401 with "WWW-Authenticate: Bearer" when cgi_bearer_ok refuses;
 *  - 405 with "Allow: POST" for any method but POST;
 *  - 406 when Accept is present and allows no application/json;
 *  - 415 when Content-Type is not application/json;
 *  - 400 when MCP-Protocol-Version is present and not a supported version;
 *  - 413 for a body above CGI_BODY_MAX (nothing read).
 * Then a request gets 200 with its answer, a notification or a response
 * 202 with no body, and a message that is none of these (not JSON, a batch,
 * no method) 400 with the error answer. No session id is issued, and an
 * Mcp-Session-Id header is ignored. */
void mcp_http_answer(cgi_request *r);
/* 1 when an Accept header value allows application/json, 0 otherwise. A
 * missing header allows anything; the media ranges that allow it are
 * application/json, application with the wildcard subtype and the full
 * wildcard (letters folded), each unless its q parameter is zero. */
int mcp_http_accepts_json(const char *accept);

#endif
