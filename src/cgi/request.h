/* request.h - one HTTP request of the web host and its answer, whoever hands
 * it over (a CGI process, a FastCGI worker): its variables and body, its
 * parameters, the statuses and framing of every answer, and the access and
 * origin checks. Knows nothing of what the request asks for. */
#ifndef PLUGIN_MEMORY_CGI_REQUEST_H
#define PLUGIN_MEMORY_CGI_REQUEST_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <yyjson.h>

#include "store/graph.h"

/*==============================================================================
 * Where the request comes from and the answer goes
 *============================================================================*/

/* Streams of the request: the answer goes to g_cgi_out and the body comes
 * from g_cgi_in; null stands for standard output and standard input. Used
 * while g_cgi_io is null. */
extern FILE *g_cgi_out;
extern FILE *g_cgi_in;
/* mem_refusals() when the request began, moved on past what a tool answered
 * for: a request during which memory ran out past it answers "out of
 * memory" rather than act on, or answer with, a part of what it asked. */
extern uint64_t g_request_refusals;

/* A source of requests that is not the process itself (a FastCGI worker):
 * its variables, its body and where its answer goes. */
struct cgi_io {
    /* The request variable name ("REQUEST_METHOD", "HTTP_HOST", ...), or
     * null when the request has none. */
    const char *(*var)(const char *name);
    /* All the request's variables, "NAME=value" texts up to a null entry,
     * each as the host handed it over (a name may stand twice). */
    char **(*vars)(void);
    /* Reads up to n bytes of the body into p; returns how many (0 at its
     * end or on a failure). */
    size_t (*read)(char *p, size_t n);
    /* Writes the n bytes at p of the answer; a failure (the client went
     * away) is dropped silently. */
    void (*write)(const char *p, size_t n);
    /* Hands what was written on to the client. */
    void (*flush)(void);
};

/* The source of the request being answered, or null for the process's own
 * environment and the streams above (CGI). Set by the FastCGI worker for
 * its whole life. */
extern const cgi_io *g_cgi_io;

/* The request variable name: from g_cgi_io, else the environment. Null when
 * absent (an empty value is not absent). */
const char *req_var(const char *name);
/* A setting the host passes with each request (BOT_PASSWORD,
 * MEMORY_WEB_HOSTS, MEMORY_MCP_HTTP): the request's variable, else the
 * process environment, so that a worker started with the setting keeps it
 * even for a host that passes none. Null when neither has it. */
const char *req_setting(const char *name);

/*==============================================================================
 * The request
 *============================================================================*/

/* One HTTP request as the host hands it over: the variables read once and
 * the body read whole. The texts point into the variables or into the
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
    const char *mcp_method;    /* HTTP_MCP_METHOD, or null */
    const char *mcp_name;      /* HTTP_MCP_NAME, or null */
    const char *twice;         /* the first header the program reads that
                                  came under two spellings (a host gives
                                  Mcp_Method and Mcp-Method one variable, and
                                  only the first would be read), as its name
                                  is written with hyphens; null when none */
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
    int32_t body_whole;        /* 1 when the action takes the body only
                                  whole: one that ends before its announced
                                  length is refused. Otherwise what arrived
                                  is the body (a JSON body cut short does not
                                  parse) */
    size_t body_announced;     /* the length CONTENT_LENGTH announced, and */
    size_t body_arrived;       /* the bytes that arrived, as req_read_body
                                  found them */
    char *body_heap;           /* the body's own block when it is larger than
                                  the static buffer, or null; owned, freed by
                                  req_free */
};

/* Largest body accepted, in bytes: one less than the static body buffer. */
#define CGI_BODY_MAX ((size_t)8388607)
/* Largest body of an action that takes it as it is (graph file lines): the
 * largest graph file a load accepts, 24 MiB. */
#define CGI_RAW_BODY_MAX ((size_t)GRAPH_READ_MAX)

/* Fills r from the request variables (req_var); the body is not read. */
void req_from_env(cgi_request *r);
/* The answer to a request whose r->twice is set, refused with 400 before
 * anything else is looked at: "the request sends NAME under two spellings"
 * (a static text). Null when r->twice is null. */
const char *req_twice_refusal(const cgi_request *r);

/* What req_read_body found. */
enum : int {
    REQ_BODY_OK = 0,         /* read whole (or none announced) */
    REQ_BODY_TOO_LARGE = -1, /* announced above the limit, or no memory for
                                it: nothing read, the caller answers 413 */
    REQ_BODY_SHORT = -2,     /* for r->body_whole, it ended before the
                                announced length (the client went away, or
                                the host cut it): the caller answers 400
                                with req_short_message */
};
/* Reads the body announced by CONTENT_LENGTH into the static body buffer,
 * or into a block of its own when it is larger and r->body_max allows it
 * (no announced length, one without digits, zero or negative reads
 * nothing). Returns REQ_BODY_OK, REQ_BODY_TOO_LARGE when the announced
 * length exceeds r->body_max (CGI_BODY_MAX when 0) or its block cannot be
 * allocated, or REQ_BODY_SHORT when r->body_whole is set and fewer bytes
 * arrived than announced (the body is then not taken: r->body is empty). */
int req_read_body(cgi_request *r);
/* The message of a REQ_BODY_SHORT answer, naming the bytes that arrived and
 * those announced, in msg[cap]. */
void req_short_message(const cgi_request *r, char *msg, size_t cap);
/* Parses the body as JSON once, on the first call: the text up to its first
 * zero byte; an empty body gives no document. Returns 0, or -1 when the body
 * is not valid JSON (then and later). */
int req_body_parse(cgi_request *r);
/* Releases what r owns (the parsed body) and zeroes it. */
void req_free(cgi_request *r);

/*==============================================================================
 * Parameters
 *============================================================================*/

/* Looks name up in the raw query string qs and copies its decoded value into
 * dst[cap]. Returns 1 when the key is present (even empty), 0 otherwise. */
int get_query_val(const char *qs, const char *name, char *dst, size_t cap);
/* get_query_val, also giving the decoded length (which counts a decoded zero
 * byte and what follows it) in *len and in *cut whether the raw value was
 * cut to fit. */
int query_text(const char *qs, const char *name, char *dst, size_t cap, size_t *len, int *cut);
/* Base-10 integer of a text as strtol reads it, saturated to 32 bits. */
int req_int(const char *s);
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
 * Answers: statuses and framing
 *============================================================================*/

/* Reason phrase of an HTTP status the program answers with, from the one
 * table of statuses (adding one is one line there), or null for a status
 * not in it. */
const char *cgi_status_reason(int status);
/* Writes the n bytes at p of the answer. */
void cgi_write(const char *p, size_t n);
/* Writes a text literal of the answer, without its terminator. */
template <size_t N>
inline void cgi_write_lit(const char (&s)[N]) {
    cgi_write(s, N - 1);
}
/* Hands the answer written so far on to the client. */
void cgi_flush(void);
/* Room for any status line of the table: "Status: " (8 bytes), three digits
 * and a space (4), the longest reason phrase (22 now, "Unsupported Media
 * Type"; the table is checked against this at build time), CRLF (2) and the
 * terminator. */
#define CGI_STATUS_LINE_MAX 48
/* Writes the CGI status line of status ("Status: 404 Not Found\r\n") into
 * line[cap], a status the table does not know as 500. Returns its length
 * (cut to cap - 1). */
size_t cgi_status_text(int status, char *line, size_t cap);
/* JSON answer: header block, text (null gives {"ok":true}), a line feed. */
void json_raw(const char *text);
/* Error answer with a status line and {"ok":false,"status":N,"error":...}.
 * A status the table does not know is a fault of the program: it is answered
 * as 500, in the status line and the body alike, with the error "answer
 * status N unknown: " followed by message. Falls back to writing the pieces
 * directly when the text cannot be built. */
void json_err(int status, const char *message);
/* The 401 answer to a request without the node password (JSON headers,
 * {"ok":false,"error":"invalid node password"}). */
void cgi_refused(void);

/* The header block of a JSON answer (after its status line, if any). */
extern const char CGI_HDR_JSON[];

/*==============================================================================
 * Access
 *============================================================================*/

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
/* web_refusal for the request r with the host's WEB_HOSTS_VAR setting. */
const char *req_refusal(const cgi_request *r);

#endif
