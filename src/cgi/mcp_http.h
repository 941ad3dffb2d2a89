/* mcp_http.h - MCP over HTTP: the endpoint the web host serves at /mcp. */
#ifndef PLUGIN_MEMORY_CGI_MCP_HTTP_H
#define PLUGIN_MEMORY_CGI_MCP_HTTP_H

#include "request.h"

/* The setting by which the web host marks a request to its MCP endpoint:
 * when set (even empty), web_answer answers with mcp_http_answer. */
#define MCP_HTTP_VAR "MEMORY_MCP_HTTP"

/* Answers the request r (filled by req_from_env, body not read) as the MCP
 * Streamable HTTP endpoint, stateless: one JSON-RPC message per POST,
 * handled by mcp_handle_request as the stdio server handles a line, with the
 * revision MCP-Protocol-Version names. In this order, each refusal an answer
 * with a JSON-RPC error of id null (the body is not read yet):
 *  - 400 for a header sent under two spellings (req_twice_refusal);
 *  - 403 for web_refusal's reasons (when WEB_HOSTS_VAR is set);
 *  - 401 with "WWW-Authenticate: Bearer" when cgi_bearer_ok refuses;
 *  - 405 with "Allow: POST" for any method but POST;
 *  - 406 when Accept is present and allows no application/json;
 *  - 415 when Content-Type is not application/json;
 *  - 413 for a body above CGI_BODY_MAX (nothing read).
 * Then a request is checked against the headers, and refused with 400 and
 * the error with its id:
 *  - MCP_UNSUPPORTED_VERSION when MCP-Protocol-Version names no revision the
 *    server speaks;
 *  - MCP_HEADER_MISMATCH, for a request of the stateless revision, when
 *    MCP-Protocol-Version is missing or differs from _meta's revision, when
 *    Mcp-Method is missing or differs from the method, or when Mcp-Name is
 *    missing or differs from params.name or params.uri (tools/call,
 *    resources/read, prompts/get). Values are compared with the white space
 *    around them dropped; an Mcp-Name of the form =?base64?...?= is decoded
 *    first.
 * A request otherwise gets its answer with 200, except that one of the
 * stateless revision gets 400 when its _meta is incomplete or its revision
 * unsupported, and 404 for a method the server does not have. A
 * notification or a response gets 202 with no body, and a message that is
 * none of these (not JSON, a batch, no method) 400 with the error answer. No
 * session id is issued, and an Mcp-Session-Id header is ignored. */
void mcp_http_answer(cgi_request *r);
/* 1 when an Accept header value allows application/json, 0 otherwise. A
 * missing header allows anything; the media ranges that allow it are
 * application/json, application with the wildcard subtype and the full
 * wildcard (letters folded), each unless its q parameter is zero. */
int mcp_http_accepts_json(const char *accept);

#endif
