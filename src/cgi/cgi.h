/* cgi.h - the web path: one HTTP request, from whichever source hands it
 * over, to the part that answers it (the MCP endpoint, or the API and the
 * page). The request itself is in request.h, the API in api.h, the MCP
 * endpoint in mcp_http.h; none of them includes another's header but
 * request.h. */
#ifndef PLUGIN_MEMORY_CGI_H
#define PLUGIN_MEMORY_CGI_H

#include "api.h"
#include "mcp_http.h"
#include "request.h"

/*==============================================================================
 * The one request path
 *============================================================================*/

/* Answers one request whose source is set up (g_cgi_io, or the process's
 * environment and streams): reads its variables, answers it as the MCP
 * endpoint when MCP_HTTP_VAR is set for it, else as the API and the page,
 * and releases it. */
void web_answer(void);

/* The CGI mode: answers the one request of the process's environment and
 * standard streams. Returns the exit status (always 0). */
int api_handle(void);

/*==============================================================================
 * The FastCGI mode
 *============================================================================*/

/* 1 when the executable was built with the FastCGI mode (libfcgi found). */
extern const int g_fastcgi_built;

/* The FastCGI mode (--fastcgi): a worker that answers, one after another,
 * the requests of the FastCGI listening socket it was started with (its
 * standard input, as a web server's FastCGI process manager hands it over),
 * each exactly as the CGI mode answers it (same status lines, headers and
 * bytes), keeping the store's graph between them while the graph file is
 * unchanged. Returns 0 when accepting fails (the socket was closed or the
 * worker told to stop); 1, with one line saying why on standard output,
 * when standard input is no listening socket or the build has no libfcgi. */
int mode_fastcgi(void);

#endif
