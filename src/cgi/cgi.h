/* cgi.h - the CGI program: one HTTP request from the environment and the
 * body on standard input to one response on standard output. */
#ifndef PLUGIN_MEMORY_CGI_H
#define PLUGIN_MEMORY_CGI_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <yyjson.h>

#include "store/store.h"

/*==============================================================================
 * The request
 *============================================================================*/

/* One HTTP request as the host hands it over: the CGI variables read once
 * and the body read whole. The texts point into the environment or into the
 * body's static buffer and stay valid until the answer has been written. A
 * header the request did not send is null, so that absence can be told from
 * an empty value. A record whose fields are all zero is a request without
 * variables and without a body. */
struct cgi_request {
    const char *method;        /* REQUEST_METHOD, or "" when unset */
    const char *query;         /* QUERY_STRING, or "" when unset */
    const char *content_type;  /* CONTENT_TYPE, or null */
    const char *accept;        /* HTTP_ACCEPT, or null */
    const char *host;          /* HTTP_HOST, or null */
    const char *origin;        /* HTTP_ORIGIN, or null */
    const char *fetch_site;    /* HTTP_SEC_FETCH_SITE, or null */
    const char *fetch_mode;    /* HTTP_SEC_FETCH_MODE, or null */
    const char *fetch_dest;    /* HTTP_SEC_FETCH_DEST, or null */
    const char *mcp_version;   /* HTTP_MCP_PROTOCOL_VERSION, or null */
    const char *body;          /* the raw body, followed by a zero byte; null
                                  while none has been read */
    size_t body_len;           /* bytes at body, the zero byte not counted; the
                                  body itself may hold zero bytes */
    yyjson_doc *body_doc;      /* the body parsed by req_body_parse, or null;
                                  owned, freed by req_free */
    int32_t body_state;        /* 0 not parsed yet, 1 parsed (body_doc is null
                                  for an empty body), -1 not valid JSON */
    int32_t body_raw;          /* 1 when the action takes the body as it is:
                                  its parameters then come from the query
                                  string alone */
    size_t body_max;           /* largest body req_read_body accepts; 0 stands
                                  for CGI_BODY_MAX */
    char *body_heap;           /* the body's own block when it is larger than
                                  the static buffer, or null; owned, freed by
                                  req_free */
};

/* Largest body accepted, in bytes: one less than the static body buffer. */
#define CGI_BODY_MAX ((size_t)8388607)
/* Largest body of an action that takes it as it is (graph file lines): the
 * largest graph file a load accepts, 24 MiB. */
#define CGI_RAW_BODY_MAX ((size_t)GRAPH_READ_MAX)

/* Fills r from the CGI variables of the environment; the body is not read. */
void req_from_env(cgi_request *r);
/* Reads the body announced by CONTENT_LENGTH from g_cgi_in into the static
 * body buffer, or into a block of its own when it is larger and r->body_max
 * allows it (no announced length, one without digits, zero or negative
 * reads nothing). Returns 0, or -1 when the announced length exceeds
 * r->body_max (CGI_BODY_MAX when 0) or its block cannot be allocated
 * (nothing read; the caller answers 413). */
int req_read_body(cgi_request *r);
/* Parses the body as JSON once, on the first call: the text up to its first
 * zero byte; an empty body gives no document. Returns 0, or -1 when the body
 * is not valid JSON (then and later). */
int req_body_parse(cgi_request *r);
/* Releases what r owns (the parsed body) and zeroes it. */
void req_free(cgi_request *r);

/*==============================================================================
 * Routes
 *============================================================================*/

/* What an action does, for the checks made before it runs. */
enum : uint32_t {
    ROUTE_READS = 1,     /* reads the graph */
    ROUTE_EDITS = 2,     /* changes the graph */
    ROUTE_RAW_BODY = 4,  /* takes the body as it is: it is not parsed as JSON
                            before the action runs (only an action named in
                            the query string can take it so) */
};

/* One API action: its name in "action", its handler and its flags. */
struct cgi_route {
    const char *action;
    void (*run)(cgi_request *r);
    uint32_t flags;
};

/* The route of action (exact, case-sensitive), or null for an unknown one. */
const cgi_route *cgi_route_find(const char *action);

/*==============================================================================
 * Request handling and parameters
 *============================================================================*/

/* Answers one request; returns the exit status (always 0). */
int api_handle(void);
/* Answers the request r, already filled by req_from_env (body not read). */
void cgi_answer(cgi_request *r);
/* Looks name up in the raw query string qs and copies its decoded value into
 * dst[cap]. Returns 1 when the key is present (even empty), 0 otherwise. */
int get_query_val(const char *qs, const char *name, char *dst, size_t cap);
/* Text parameter: a non-empty query value, else a string member of the JSON
 * body (parsed on demand), copied into dst[cap] with its length (which counts
 * a U+0000 and what follows it) in *len; a value cut to fit ends on a whole
 * character. Returns 1 when found, 0 when absent, -1 when found but not
 * valid UTF-8. */
int param_text(cgi_request *r, const char *name, char *dst, size_t cap, size_t *len);
/* param_text without the length: 1 when found (valid or not), 0 otherwise. */
int param_str(cgi_request *r, const char *name, char *dst, size_t cap);
/* Array member name of the body's root object, or null (no body, a body that
 * is not JSON, a root that is not an object, no such member, or not an
 * array). Owned by r->body_doc. */
yyjson_val *body_arr(cgi_request *r, const char *name);

/*==============================================================================
 * Answers (reachable by tests and fuzzers)
 *============================================================================*/

/* Streams of the request: the answer goes to g_cgi_out and the body comes
 * from g_cgi_in; null stands for standard output and standard input. */
extern FILE *g_cgi_out;
extern FILE *g_cgi_in;

/* Reason phrase of an HTTP status the program answers with, from the one
 * table of statuses (adding one is one line there), or null for a status
 * not in it. */
const char *cgi_status_reason(int status);
/* JSON answer: header block, text (null gives {"ok":true}), a line feed. */
void json_raw(const char *text);
/* Error answer with a status line and {"ok":false,"status":N,"error":...}.
 * A status the table does not know is a fault of the program: it is answered
 * as 500, in the status line and the body alike, with the error "answer
 * status N unknown: " followed by message. Falls back to writing the pieces
 * directly when the text cannot be built. */
void json_err(int status, const char *message);
/* 1 when the request's credentials match a set BOT_PASSWORD (or none is set),
 * 0 when it must be refused. */
int cgi_access_ok(const char *qs);
/* 1 when BOT_PASSWORD is unset or empty, or the request's Authorization
 * header is "Bearer " and the password (the same reading and constant-time
 * comparison as cgi_access_ok); 0 otherwise. */
int cgi_bearer_ok(void);

/*==============================================================================
 * The web host's own names (DNS rebinding, requests from other pages)
 *============================================================================*/

/* The setting by which a web host opts in: its own names for its listen
 * address, "name:port" entries separated by spaces or commas, for example
 * "127.0.0.1:8080 localhost:8080 [::1]:8080". Unset or empty: no check, and
 * every answer is as without it. */
#define WEB_HOSTS_VAR "MEMORY_WEB_HOSTS"

/* The two refusal messages of web_refusal. */
extern const char *const WEB_FOREIGN_HOST;
extern const char *const WEB_FOREIGN_PAGE;

/* Checks where a request comes from. hosts is the value of WEB_HOSTS_VAR
 * (null or only separators: no check, null is returned); host, origin and
 * fetch_site are the request's Host, Origin and Sec-Fetch-Site headers, each
 * null when absent. Returns null when the request may go on, otherwise the
 * reason to refuse it with 403:
 *  - WEB_FOREIGN_HOST when Host is absent, empty or none of the listed names
 *    (compared whole, ASCII letters folded);
 *  - WEB_FOREIGN_PAGE when an Origin is present and is not "http://" or
 *    "https://" followed by the request's Host (so "null" and "" are
 *    foreign), or Sec-Fetch-Site is present and neither "same-origin" nor
 *    "none" ("cross-site", and "same-site", which always names another
 *    origin). */
const char *web_refusal(const char *hosts, const char *host, const char *origin,
                        const char *fetch_site);

/*==============================================================================
 * MCP over HTTP: the endpoint the web host serves at /mcp
 *============================================================================*/

/* The setting by which the web host marks a request to its MCP endpoint:
 * when set (even empty), api_handle answers with mcp_http_answer. */
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
/* Runs tool name on an immutable copy of root (none when doc or root is null
 * or the copy fails) and writes the request's answer: the API envelope, 500
 * when it cannot be made, 400 "unknown action" for an unknown tool. */
void run_tool(const char *name, yyjson_mut_doc *doc, yyjson_mut_val *root);

/* The action handlers: each writes exactly one answer for the request r: a
 * 400 for a missing required parameter, or the tool's answer through
 * run_tool. */
void do_graph(cgi_request *r);
void do_search(cgi_request *r);
void do_entity(cgi_request *r);
void do_add_entity(cgi_request *r);
void do_add_relation(cgi_request *r);
void do_add_obs(cgi_request *r);
void do_delete_entity(cgi_request *r);
void do_delete_relation(cgi_request *r);
void do_delete_obs(cgi_request *r);

/* The import action: a POST whose body is graph file lines (JSON Lines in
 * the export's format; blank lines and a carriage return before each line
 * feed are passed over). They are merged in one write transaction: entity
 * lines by the rules of create_entities (a name the graph holds is skipped),
 * then the observations of the skipped ones by those of add_observations,
 * then relation lines by those of create_relations. All or nothing: the
 * first line that is not valid JSON, not an entity or a relation, or that
 * its tool refuses (a limit among them), and a graph that would not fit the
 * file, change nothing; the answer {"ok":false,"error":...,"line":N} names
 * the line and why. Otherwise {"ok":true,"added":{...},"skipped":{...},
 * "skippedEntities":[...]} counts entities, observations and relations
 * added and skipped. With check=1 in the query string it answers the same
 * and saves nothing. A request that names the action only in its body, is
 * not a POST or has no body gets 400. */
void do_import(cgi_request *r);

#endif
