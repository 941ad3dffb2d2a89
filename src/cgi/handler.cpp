// handler.cpp - STUB, replaced by the CGI request handler.
#include "cgi.h"
int api_handle(void) { return 0; }
int get_query_val(const char *, const char *, char *dst, size_t) { dst[0] = 0; return 0; }
int param_str(const char *, const char *, char *dst, size_t) { dst[0] = 0; return 0; }
