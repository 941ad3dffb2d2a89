/* api.h - the page's JSON API: the actions as one table of routes, each a
 * tool with the shape of its parameters or an answer of its own, and the
 * answers composed without a tool (page, stats, tools, export, import). */
#ifndef PLUGIN_MEMORY_CGI_API_H
#define PLUGIN_MEMORY_CGI_API_H

#include <stddef.h>
#include <stdint.h>

#include <yyjson.h>

#include "request.h"
#include "tools/tools.h"

/*==============================================================================
 * Routes
 *============================================================================*/

/* How an action takes its request, for what is done before it runs. */
enum : uint32_t {
    ROUTE_RAW_BODY = 1,  /* takes the body as it is, up to CGI_RAW_BODY_MAX
                            and only whole: it is not parsed as JSON before
                            the action runs (only an action named in the
                            query string can take it so) */
};

/* How one request parameter becomes part of a tool's arguments. */
enum : uint8_t {
    PARAM_TEXT = 1,   /* required text: 400 when absent or empty */
    PARAM_INT = 2,    /* optional integer, read as strtol reads it and
                         saturated to 32 bits; left out when absent */
    PARAM_LIST = 3,   /* list: a body array of strings, or the "|"-separated
                         pieces of the text (empty pieces dropped); an empty
                         array when absent */
    PARAM_TYPES = 4,  /* list as PARAM_LIST but keeping empty pieces, and
                         left out when absent */
};

/* One parameter: its name in the request, its key in the arguments, its
 * kind and the size of the buffer its text is read with (the terminating
 * zero included; a longer value is cut on a whole character). */
struct api_param {
    const char *name;
    const char *key;
    uint8_t kind;
    uint32_t cap;
};

/* Most parameters of one action. */
#define API_PARAMS_MAX 3

/* The shape of the arguments an action builds from its parameters. */
struct api_shape {
    const char *wrap;     /* null: the parameters are the arguments' own
                             members; else the arguments are {wrap: [one
                             element]} */
    int32_t bare;         /* 1: that element is the one parameter's text;
                             0: an object of the parameters */
    const char *missing;  /* null: the first required parameter that is
                             absent gets 400 "missing NAME", checked in order
                             with its UTF-8; else every required one is
                             checked for UTF-8 first, then any absent one
                             gets 400 with this message */
    api_param params[API_PARAMS_MAX]; /* in order; unused ones are zero */
};

/* A tool as the routes name it: its function, so that a misspelt tool is
 * a build failure. */
typedef void (*api_tool)(yyjson_val *args, tool_out *out);

/* One API action: its name in "action", and either a tool with the shape of
 * its parameters or an answer of its own in run; its flags. */
struct cgi_route {
    const char *action;
    api_tool tool;          /* null for an action that runs run */
    const api_shape *shape; /* with tool; null otherwise */
    void (*run)(cgi_request *r); /* null for a tool action */
    uint32_t flags;
};

/* The route of action (exact, case-sensitive), or null for an unknown one. */
const cgi_route *cgi_route_find(const char *action);
/* The routes in the order they are compared, and their number. */
const cgi_route *cgi_routes(size_t *count);

/* Answers the request r as the API and the page, r filled by req_from_env
 * (body not read). In this order: 400 for a header sent under two spellings
 * (req_twice_refusal), 403 for web_refusal's reasons, 401 when
 * cgi_access_ok refuses, 413 for a body too large for the action, 400 for a
 * raw body that ended before its announced length (req_short_message) and
 * for a body that is not JSON (unless the action takes it raw); then the action
 * named in the query string, else in the body: none gives the page (GET),
 * the graph (format=json) or 400 "missing action" (POST); an unknown one
 * 400 "unknown action". */
void api_answer(cgi_request *r);

/*==============================================================================
 * Tool calls
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
/* Runs tool on an immutable copy of root (none when doc or root is null or
 * the copy fails) and writes the request's answer: the API envelope, or 500
 * when it cannot be made or memory ran out while the arguments were built. */
void api_run_tool(api_tool tool, yyjson_mut_doc *doc, yyjson_mut_val *root);
/* Runs the route's tool with the arguments its shape builds from the
 * request's parameters and writes exactly one answer: 400 for a missing
 * required parameter or one that is not UTF-8, else the tool's answer as
 * api_run_tool writes it. */
void api_run_route(cgi_request *r, const cgi_route *route);

/*==============================================================================
 * Import
 *============================================================================*/

/* The import action: a POST whose body is graph file lines, imported as
 * import_graph_lines (tools/tools.h) imports them, all or nothing. A
 * refusal answers {"ok":false,"error":"nothing was imported: ...","line":N}
 * naming the line and why ("line" left out when no line is to blame).
 * Otherwise {"ok":true,"added":{...},"skipped":{...},"skippedEntities":
 * [...]} counts entities, observations and relations added and skipped.
 * With check=1 in the query string it answers the same (with
 * "checked":true) and saves nothing. A request that names the action only in
 * its body, is not a POST or has no body gets 400. */
void do_import(cgi_request *r);

#endif
