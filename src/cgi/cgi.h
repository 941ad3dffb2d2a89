/* cgi.h - the CGI program: one HTTP request from the environment and the
 * body on standard input to one response on standard output. */
#ifndef PLUGIN_MEMORY_CGI_H
#define PLUGIN_MEMORY_CGI_H

#include <stddef.h>
#include <stdio.h>

#include <yyjson.h>

/* Answers one request; returns the exit status (always 0). */
int api_handle(void);
/* Looks name up in the raw query string qs and copies its decoded value into
 * dst[cap]. Returns 1 when the key is present (even empty), 0 otherwise. */
int get_query_val(const char *qs, const char *name, char *dst, size_t cap);
/* Text parameter: a non-empty query value, else a string member of the JSON
 * body. Returns 1 when found. */
int param_str(const char *qs, const char *name, char *dst, size_t cap);

/*==============================================================================
 * Request state and answers (reachable by tests and fuzzers)
 *============================================================================*/

/* Streams of the request: the answer goes to g_cgi_out and the body comes
 * from g_cgi_in; null stands for standard output and standard input. */
extern FILE *g_cgi_out;
extern FILE *g_cgi_in;
/* The parsed request body, or null. Set at most once per request by
 * api_handle and freed before it returns. */
extern yyjson_doc *g_body_doc;

/* Array member name of the body's root object, or null (no body, a root that
 * is not an object, no such member, or not an array). Owned by g_body_doc. */
yyjson_val *body_arr(const char *name);
/* JSON answer: header block, text (null gives {"ok":true}), a line feed. */
void json_raw(const char *text);
/* Error answer with a status line and {"ok":false,"status":N,"error":...}.
 * Falls back to writing the pieces directly when the text cannot be built. */
void json_err(int status, const char *message);
/* 1 when the request's credentials match a set BOT_PASSWORD (or none is set),
 * 0 when it must be refused. */
int cgi_access_ok(const char *qs);

/*==============================================================================
 * API actions: one tool call each
 *============================================================================*/

/* Arguments object of one tool call being built. */
struct args {
    yyjson_mut_doc *doc;   /* owned by the action; null if it could not be made */
    yyjson_mut_val *root;  /* empty object set as doc's root, or null */
};

/* Creates the document and its root object; what fails stays null and the
 * tool then runs without arguments. */
void args_init(args *a);
/* Appends key with the integer value when doc and object are present and
 * object is an object; does nothing otherwise. key must outlive doc. */
void args_add_int(yyjson_mut_doc *doc, yyjson_mut_val *object, const char *key, int value);
/* Runs tool name on a re-parsed copy of root (none when doc or root is null
 * or the copy fails) and writes the request's answer: the API envelope, 500
 * when it cannot be made, 400 "unknown action" for an unknown tool. */
void run_tool(const char *name, yyjson_mut_doc *doc, yyjson_mut_val *root);

/* The action handlers: each writes exactly one answer for the raw query
 * string qs (possibly empty): a 400 for a missing required parameter, or the
 * tool's answer through run_tool. */
void do_graph(const char *qs);
void do_search(const char *qs);
void do_entity(const char *qs);
void do_add_entity(const char *qs);
void do_add_relation(const char *qs);
void do_add_obs(const char *qs);
void do_delete_entity(const char *qs);
void do_delete_relation(const char *qs);
void do_delete_obs(const char *qs);

#endif
