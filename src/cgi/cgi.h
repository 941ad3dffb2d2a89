/* cgi.h - the CGI program: one HTTP request from the environment and the
 * body on standard input to one response on standard output. */
#ifndef PLUGIN_MEMORY_CGI_H
#define PLUGIN_MEMORY_CGI_H

#include <stddef.h>

/* Answers one request; returns the exit status (always 0). */
int api_handle(void);
/* Looks name up in the raw query string qs and copies its decoded value into
 * dst[cap]. Returns 1 when the key is present (even empty), 0 otherwise. */
int get_query_val(const char *qs, const char *name, char *dst, size_t cap);
/* Text parameter: a non-empty query value, else a string member of the JSON
 * body. Returns 1 when found. */
int param_str(const char *qs, const char *name, char *dst, size_t cap);

#endif
