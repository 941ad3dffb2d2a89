// web.cpp - the one request path: a request from the CGI environment or a
// FastCGI worker goes to the MCP endpoint or to the API.
#include "cgi.h"

void web_answer(void) {
    g_request_refusals = mem_refusals();
    cgi_request r;
    req_from_env(&r);
    if (req_setting(MCP_HTTP_VAR))
        mcp_http_answer(&r);
    else
        api_answer(&r);
    req_free(&r);
}

int api_handle(void) {
    web_answer();
    return 0;
}
