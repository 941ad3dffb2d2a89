// handler.cpp - the CGI request: access check, body, action choice and
// routing, the answers composed here (page, stats, tools, export) and the
// framing of every response.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cgi.h"
#include "page/page.h"
#include "platform/platform.h"
#include "store/store.h"
#include "tools/tools.h"

FILE *g_cgi_out;
FILE *g_cgi_in;

static int query_text(const char *qs, const char *name, char *dst, size_t cap, size_t *len,
                      int *cut);

namespace {

// The request body and its terminating zero; static so a body needs no
// allocation.
char g_body[CGI_BODY_MAX + 1];

// Every HTTP status the program answers with and its reason phrase. A status
// goes out only through this table: add a line here for a new one.
struct status_entry {
    int status;
    const char *reason;
};
const status_entry STATUSES[] = {
    {202, "Accepted"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {413, "Payload Too Large"},
    {415, "Unsupported Media Type"},
    {500, "Internal Server Error"},
};


const char HDR_JSON[] =
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n";

const char HDR_PAGE[] =
    "Content-Type: text/html; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: SAMEORIGIN\r\n"
    "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
    "style-src 'unsafe-inline'; img-src data:; connect-src 'self'; form-action 'none'; "
    "base-uri 'none'\r\n"
    "\r\n";

const char HDR_EXPORT[] =
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Content-Disposition: attachment; filename=\"memory.jsonl\"\r\n"
    "\r\n";

// The body of the answer to a request without the node password (status
// 401, JSON headers).
const char REFUSED_BODY[] = "{\"ok\":false,\"error\":\"invalid node password\"}\n";

FILE *out_stream(void) { return g_cgi_out ? g_cgi_out : stdout; }
FILE *in_stream(void) { return g_cgi_in ? g_cgi_in : stdin; }

void out_write(const char *p, size_t n) {
    if (n) fwrite(p, 1, n, out_stream());
}

// Writes a constant text literal without its terminator.
template <size_t N>
void out_lit(const char (&s)[N]) {
    out_write(s, N - 1);
}

// Appends the CGI status line of a status in the table to b.
void add_status_line(buf *b, int status) {
    char num[16];
    snprintf(num, sizeof num, "%d", status);
    buf_puts(b, "Status: ");
    buf_puts(b, num);
    buf_putc(b, ' ');
    buf_puts(b, cgi_status_reason(status));
    buf_puts(b, "\r\n");
}

// Writes the CGI status line of a status in the table.
void out_status_line(int status) {
    char line[96];
    int n = snprintf(line, sizeof line, "Status: %d %s\r\n", status, cgi_status_reason(status));
    if (n > 0) out_write(line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

// Compares a presented secret with the password. The time taken depends on
// the two lengths only, never on where the bytes first differ.
int secret_eq(const char *given, const char *password) {
    size_t glen = strlen(given);
    size_t plen = strlen(password);
    volatile unsigned diff = glen != plen;
    for (size_t i = 0; i < plen; i++) {
        unsigned char g = i < glen ? (unsigned char)given[i] : 0;
        diff = diff | (unsigned)(g ^ (unsigned char)password[i]);
    }
    return diff == 0;
}

// Value of an "Authorization: Bearer <token>" header after the scheme and
// the spaces around it, or null when the header has another form.
const char *bearer_token(const char *h) {
    while (*h == ' ') h++;
    if (strncmp(h, "Bearer ", 7) != 0) return nullptr;
    h += 7;
    while (*h == ' ') h++;
    return h;
}

// Base-10 integer of a text as strtol reads it, saturated to 32 bits.
int int_of(const char *s) {
    long v = strtol(s, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

int hex_val(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes %HH escapes and "+" in place; anything else stays as it is.
// Returns the decoded length, which counts a decoded zero byte and what
// follows it.
size_t url_decode(char *s) {
    char *w = s;
    for (const char *r = s; *r;) {
        int hi, lo;
        if (r[0] == '%' && (hi = hex_val((unsigned char)r[1])) >= 0 &&
            (lo = hex_val((unsigned char)r[2])) >= 0) {
            *w++ = (char)(hi * 16 + lo);
            r += 3;
        } else if (*r == '+') {
            *w++ = ' ';
            r++;
        } else {
            *w++ = *r++;
        }
    }
    *w = 0;
    return (size_t)(w - s);
}

// First member of the body's root object whose key is exactly name, or null.
yyjson_val *body_member(cgi_request *r, const char *name) {
    if (r->body_raw) return nullptr;
    yyjson_val *root = req_body_parse(r) == 0 && r->body_doc ? yyjson_doc_get_root(r->body_doc)
                                                              : nullptr;
    if (!yyjson_is_obj(root)) return nullptr;
    size_t nlen = strlen(name);
    yyjson_obj_iter it = yyjson_obj_iter_with(root);
    yyjson_val *key;
    while ((key = yyjson_obj_iter_next(&it))) {
        if (yyjson_get_len(key) == nlen && memcmp(yyjson_get_str(key), name, nlen) == 0)
            return yyjson_obj_iter_get_val(key);
    }
    return nullptr;
}

// Sends a text built in b with json_raw, or a 500 when b lost a piece for
// lack of memory (a cut answer would be invalid JSON).
void send_built(buf *b) {
    if (b->dropped || !b->data)
        json_err(500, "out of memory");
    else
        json_raw(buf_str(b));
}

/*------------------------------------------------------------------------------
 * Answers composed here
 *----------------------------------------------------------------------------*/

// The browser page: the template with its two marker bytes replaced by the
// head block and the bridge script.
void send_page(void) {
    out_lit(HDR_PAGE);
    const char *p = page_template;
    const char *end = page_template + page_template_len;
    const char *run = p;
    for (; p < end && *p; p++) {
        if (*p != '\x01' && *p != '\x02') continue;
        out_write(run, (size_t)(p - run));
        if (*p == '\x01')
            out_write(page_head, strnlen(page_head, page_head_len));
        else
            out_write(page_bridge, strnlen(page_bridge, page_bridge_len));
        run = p + 1;
    }
    out_write(run, (size_t)(p - run));
    fflush(out_stream());
}

// Most distinct entity types listed by stats.
constexpr size_t STATS_MAX_TYPES = 200;

void do_stats(cgi_request *) {
    graph *g = graph_open();
    if (!g) {
        json_err(500, g_data_err);
        return;
    }
    int64_t bytes = 0;
    int exists = 0;
    graph_path_info(&bytes, &exists);

    uint64_t nobs = 0;
    for (uint64_t i = 0; i < g->ent_count; i++) nobs += g->ents[i].obs_count;

    // The distinct types in the order first seen, with a hash index of them,
    // so that each entity costs one lookup instead of a comparison with
    // every type seen so far.
    const char *types[STATS_MAX_TYPES];
    size_t ntypes = 0;
    hash_index seen = {};
    for (uint64_t i = 0; i < g->ent_count; i++) {
        const char *t = g->ents[i].entity_type ? g->ents[i].entity_type : "";
        size_t h = str_hash(t);
        hash_walk w;
        hash_index_walk(&seen, h, &w);
        int64_t k;
        while ((k = hash_index_next(&seen, &w)) >= 0 && strcmp(types[k], t) != 0) {
        }
        if (k >= 0) continue;
        if (ntypes == STATS_MAX_TYPES || hash_index_add(&seen, h, ntypes) != 0) break;
        types[ntypes++] = t;
    }
    hash_index_free(&seen);

    char num[160];
    snprintf(num, sizeof num,
             "{\"ok\":true,\"entities\":%llu,\"relations\":%llu,\"observations\":%llu,"
             "\"unreadable_lines\":%llu,\"file_exists\":%s,\"file_bytes\":%lld,\"types\":[",
             (unsigned long long)g->ent_count, (unsigned long long)g->rel_count,
             (unsigned long long)nobs, (unsigned long long)g->bad_count,
             exists ? "true" : "false", (long long)bytes);
    buf b;
    buf_init(&b);
    buf_puts(&b, num);
    for (size_t k = 0; k < ntypes; k++) {
        if (k) buf_putc(&b, ',');
        json_str(&b, types[k]);
    }
    buf_puts(&b, "]}");
    send_built(&b);
    buf_free(&b);
}

void do_tools(cgi_request *) {
    char *list = tools_list_json();
    buf b;
    buf_init(&b);
    buf_puts(&b, "{\"ok\":true,\"connector\":\"" CONNECTOR_ID "\",\"kind\":\"mcp\","
                 "\"protocol\":\"" MCP_PROTOCOL_VERSION "\",\"tools\":");
    buf_puts(&b, list ? list : "[]");
    buf_putc(&b, '}');
    mem_free(list);
    send_built(&b);
    buf_free(&b);
}

// The graph file as stored, as a download named memory.jsonl.
void do_export(cgi_request *) {
    // The file as stored, read and sent in pieces: it needs no parsing, so
    // it goes out whole whatever its size, also when it is too large to
    // load (the one way left to rescue it).
    if (!ensure_path()) {
        json_err(500, g_data_err[0] ? g_data_err : "the graph file is not reachable");
        return;
    }
    char path[sizeof g_path];
    str_copy(path, sizeof path, graph_path());
    int exists = 0;
    graph_path_info(nullptr, &exists);
    if (!exists) {
        out_lit(HDR_EXPORT);
        fflush(out_stream());
        return;
    }
    // Only a regular file: a directory would open and read as nothing.
    plat_file_id id;
    int fd = plat_open_read(path, &id);
    if (fd < 0) {
        json_err(500, "cannot read the graph file (permission, or larger than 24 MB)");
        return;
    }
    out_lit(HDR_EXPORT);
    static char piece[65536];
    int64_t got;
    while ((got = plat_read(fd, piece, sizeof piece)) > 0) out_write(piece, (size_t)got);
    plat_close(fd);
    fflush(out_stream());
}

/*------------------------------------------------------------------------------
 * Routing
 *----------------------------------------------------------------------------*/

// Compared in this order, exact and case-sensitive.
const cgi_route ROUTES[] = {
    {"stats", do_stats, ROUTE_READS},
    {"graph", do_graph, ROUTE_READS},
    {"search", do_search, ROUTE_READS},
    {"entity", do_entity, ROUTE_READS},
    {"add_entity", do_add_entity, ROUTE_EDITS},
    {"add_relation", do_add_relation, ROUTE_EDITS},
    {"add_obs", do_add_obs, ROUTE_EDITS},
    {"delete_entity", do_delete_entity, ROUTE_EDITS},
    {"delete_relation", do_delete_relation, ROUTE_EDITS},
    {"delete_obs", do_delete_obs, ROUTE_EDITS},
    {"tools", do_tools, 0},
    {"export", do_export, ROUTE_READS},
    {"import", do_import, ROUTE_EDITS | ROUTE_RAW_BODY},
};

}  // namespace

/*------------------------------------------------------------------------------
 * Public operations
 *----------------------------------------------------------------------------*/

int api_handle(void) {
    cgi_request r;
    req_from_env(&r);
    if (getenv(MCP_HTTP_VAR))
        mcp_http_answer(&r);
    else
        cgi_answer(&r);
    req_free(&r);
    return 0;
}

void req_from_env(cgi_request *r) {
    *r = cgi_request{};
    r->method = getenv("REQUEST_METHOD");
    if (!r->method) r->method = "";
    r->query = getenv("QUERY_STRING");
    if (!r->query) r->query = "";
    r->content_type = getenv("CONTENT_TYPE");
    r->accept = getenv("HTTP_ACCEPT");
    r->host = getenv("HTTP_HOST");
    r->origin = getenv("HTTP_ORIGIN");
    r->fetch_site = getenv("HTTP_SEC_FETCH_SITE");
    r->fetch_mode = getenv("HTTP_SEC_FETCH_MODE");
    r->fetch_dest = getenv("HTTP_SEC_FETCH_DEST");
    r->mcp_version = getenv("HTTP_MCP_PROTOCOL_VERSION");
}

int req_read_body(cgi_request *r) {
    g_body[0] = 0;
    r->body = g_body;
    r->body_len = 0;
    const char *cl = getenv("CONTENT_LENGTH");
    if (!cl || !*cl) return 0;
    int n = int_of(cl);
    if (n <= 0) return 0;
    if ((size_t)n > (r->body_max ? r->body_max : CGI_BODY_MAX)) return -1;
    char *at = g_body;
    if ((size_t)n > CGI_BODY_MAX) {
        mem_free(r->body_heap);
        r->body_heap = (char *)mem_alloc((size_t)n + 1);
        if (!r->body_heap) return -1;
        at = r->body_heap;
    }
    size_t got = fread(at, 1, (size_t)n, in_stream());
    at[got] = 0;
    r->body = at;
    r->body_len = got;
    return 0;
}

int req_body_parse(cgi_request *r) {
    if (r->body_state == 0) {
        r->body_state = 1;
        size_t len = r->body ? strlen(r->body) : 0;
        if (len) {
            r->body_doc = yyjson_read_opts((char *)r->body, len, 0, mem_yyjson(), nullptr);
            if (!r->body_doc) r->body_state = -1;
        }
    }
    return r->body_state < 0 ? -1 : 0;
}

void req_free(cgi_request *r) {
    yyjson_doc_free(r->body_doc);
    mem_free(r->body_heap);
    *r = cgi_request{};
}

const cgi_route *cgi_route_find(const char *action) {
    for (const cgi_route &r : ROUTES)
        if (strcmp(r.action, action) == 0) return &r;
    return nullptr;
}

void cgi_answer(cgi_request *r) {
    if (!r->method) r->method = "";
    if (!r->query) r->query = "";
    const char *why = web_refusal(getenv(WEB_HOSTS_VAR), r->host, r->origin, r->fetch_site);
    if (why) {
        json_err(403, why);
        return;
    }
    if (!cgi_access_ok(r->query)) {
        out_status_line(401);
        out_lit(HDR_JSON);
        out_lit(REFUSED_BODY);
        fflush(out_stream());
        return;
    }
    // The action named in the query string, else in the body. A body is
    // parsed before anything else unless the query names an action that
    // takes it raw; such a body may be as large as a graph file.
    char action[64];
    size_t action_len = 0;
    int cut;
    int in_query = query_text(r->query, "action", action, sizeof action, &action_len, &cut);
    const cgi_route *route = in_query ? cgi_route_find(action) : nullptr;
    int raw = route && (route->flags & ROUTE_RAW_BODY);
    if (raw) r->body_max = CGI_RAW_BODY_MAX;
    if (req_read_body(r) != 0) {
        json_err(413, "the request body is too large");
        return;
    }
    if (raw) {
        r->body_raw = 1;
    } else if (req_body_parse(r) != 0) {
        json_err(400, "the request body is not valid JSON");
        return;
    }
    if (!in_query) {
        param_text(r, "action", action, sizeof action, &action_len);
        route = cgi_route_find(action);
    }
    // An action name holding U+0000 names no action, not the part before it.
    if (strlen(action) != action_len) {
        json_err(400, "unknown action");
        return;
    }
    if (!action[0]) {
        char format[32];
        get_query_val(r->query, "format", format, sizeof format);
        if (strcmp(format, "json") == 0) {
            route = cgi_route_find("graph");
        } else if (strcmp(r->method, "POST") == 0) {
            json_err(400, "missing action");
            return;
        } else {
            send_page();
            return;
        }
    }
    if (!route) {
        json_err(400, "unknown action");
        return;
    }
    route->run(r);
}

const char *cgi_status_reason(int status) {
    for (const status_entry &e : STATUSES)
        if (e.status == status) return e.reason;
    return nullptr;
}

int cgi_access_ok(const char *qs) {
    const char *password = getenv("BOT_PASSWORD");
    if (!password || !*password) return 1;
    const char *h = getenv("HTTP_X_BOT_PASSWORD");
    if (h && secret_eq(h, password)) return 1;
    const char *auth = getenv("HTTP_AUTHORIZATION");
    const char *token = auth ? bearer_token(auth) : nullptr;
    if (token && secret_eq(token, password)) return 1;
    char pwd[256];
    if (qs && get_query_val(qs, "pwd", pwd, sizeof pwd) && secret_eq(pwd, password)) return 1;
    return 0;
}

int cgi_bearer_ok(void) {
    const char *password = getenv("BOT_PASSWORD");
    if (!password || !*password) return 1;
    const char *auth = getenv("HTTP_AUTHORIZATION");
    const char *token = auth ? bearer_token(auth) : nullptr;
    return token && secret_eq(token, password);
}

void json_raw(const char *text) {
    out_lit(HDR_JSON);
    if (!text) text = "{\"ok\":true}";
    out_write(text, strlen(text));
    out_write("\n", 1);
    fflush(out_stream());
}

void json_err(int status, const char *message) {
    buf b;
    buf_init(&b);
    buf text;  // the error text, when it is not message as given
    buf_init(&text);
    if (!cgi_status_reason(status)) {
        char head[64];
        snprintf(head, sizeof head, "answer status %d unknown: ", status);
        buf_puts(&text, head);
        buf_puts(&text, message);
        message = buf_str(&text);
        status = 500;
    }
    char num[16];
    snprintf(num, sizeof num, "%d", status);
    add_status_line(&b, status);
    buf_puts(&b, HDR_JSON);
    buf_puts(&b, "{\"ok\":false,\"status\":");
    buf_puts(&b, num);
    buf_puts(&b, ",\"error\":");
    json_str(&b, message);
    buf_putc(&b, '}');
    if (b.dropped || !b.data || text.dropped) {
        // No memory for the composed text: the answer still goes out whole,
        // with a message that needs no escaping.
        out_status_line(status);
        out_lit(HDR_JSON);
        out_write("{\"ok\":false,\"status\":", 21);
        out_write(num, strlen(num));
        out_lit(",\"error\":\"out of memory\"}");
    } else {
        out_write(b.data, b.len);
    }
    buf_free(&b);
    buf_free(&text);
    out_write("\n", 1);
    fflush(out_stream());
}

// get_query_val, also giving the decoded length and whether the raw value
// was cut to fit.
static int query_text(const char *qs, const char *name, char *dst, size_t cap, size_t *len,
                      int *cut) {
    dst[0] = 0;
    *len = 0;
    *cut = 0;
    if (!qs || !*qs) return 0;
    size_t nlen = strlen(name);
    const char *p = qs;
    for (;;) {
        const char *eq = strchr(p, '=');
        const char *amp = strchr(p, '&');
        if (!eq) return 0;
        if (amp && eq > amp) {  // a segment without "="
            p = amp + 1;
            continue;
        }
        if ((size_t)(eq - p) == nlen && memcmp(p, name, nlen) == 0) {
            const char *v = eq + 1;
            size_t vlen = amp ? (size_t)(amp - v) : strlen(v);
            if (vlen > cap - 1) {
                vlen = cap - 1;
                *cut = 1;
            }
            memcpy(dst, v, vlen);
            dst[vlen] = 0;
            *len = url_decode(dst);
            return 1;
        }
        if (!amp || !amp[1]) return 0;
        p = amp + 1;
    }
}

int get_query_val(const char *qs, const char *name, char *dst, size_t cap) {
    size_t len;
    int cut;
    return query_text(qs, name, dst, cap, &len, &cut);
}

int param_text(cgi_request *r, const char *name, char *dst, size_t cap, size_t *len) {
    int cut = 0;
    *len = 0;
    if (!(r->query && query_text(r->query, name, dst, cap, len, &cut) && *len)) {
        dst[0] = 0;
        *len = 0;
        yyjson_val *v = body_member(r, name);
        if (!yyjson_is_str(v)) return 0;
        size_t n = yyjson_get_len(v);
        cut = n > cap - 1;
        if (cut) n = cap - 1;
        memcpy(dst, yyjson_get_str(v), n);
        dst[n] = 0;
        *len = n;
    }
    // A value cut to fit ends on a whole character, so that only what was
    // sent decides whether it is UTF-8.
    if (cut) {
        *len = utf8_whole_prefix(dst, *len);
        dst[*len] = 0;
    }
    return utf8_valid(dst, *len) ? 1 : -1;
}

int param_str(cgi_request *r, const char *name, char *dst, size_t cap) {
    size_t len;
    return param_text(r, name, dst, cap, &len) != 0;
}

yyjson_val *body_arr(cgi_request *r, const char *name) {
    yyjson_val *v = body_member(r, name);
    return yyjson_is_arr(v) ? v : nullptr;
}
