// request.cpp - one HTTP request of the web host: its variables and body,
// its parameters, the statuses and framing of every answer, and the access
// check.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "request.h"
#include "store/graph.h"
#include "tools/tools.h"

FILE *g_cgi_out;
FILE *g_cgi_in;
uint64_t g_request_refusals;
const cgi_io *g_cgi_io;

const char CGI_HDR_JSON[] =
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n";

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
constexpr status_entry STATUSES[] = {
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

// Every status line of the table fits CGI_STATUS_LINE_MAX.
constexpr bool status_lines_fit() {
    for (const status_entry &e : STATUSES) {
        size_t n = 0;
        while (e.reason[n]) n++;
        if (e.status < 100 || e.status > 999 || 8 + 4 + n + 2 + 1 > CGI_STATUS_LINE_MAX) return false;
    }
    return true;
}
static_assert(status_lines_fit(), "a status line of the table is longer than CGI_STATUS_LINE_MAX");

// The headers the program reads whose names hold a hyphen, with their
// variables: a client may send one again with an underscore for a hyphen,
// which the host hands over under the same variable name.
struct spelled_header {
    const char *var;
    const char *name;
    const char *refusal;  // the answer to a request that sends it twice
};
#define TWICE(name) "the request sends " name " under two spellings"
const spelled_header SPELLED[] = {
    {"HTTP_MCP_PROTOCOL_VERSION", "MCP-Protocol-Version", TWICE("MCP-Protocol-Version")},
    {"HTTP_MCP_METHOD", "Mcp-Method", TWICE("Mcp-Method")},
    {"HTTP_MCP_NAME", "Mcp-Name", TWICE("Mcp-Name")},
    {"HTTP_SEC_FETCH_SITE", "Sec-Fetch-Site", TWICE("Sec-Fetch-Site")},
    {"HTTP_SEC_FETCH_MODE", "Sec-Fetch-Mode", TWICE("Sec-Fetch-Mode")},
    {"HTTP_SEC_FETCH_DEST", "Sec-Fetch-Dest", TWICE("Sec-Fetch-Dest")},
    {"HTTP_X_BOT_PASSWORD", "X-Bot-Password", TWICE("X-Bot-Password")},
};
#undef TWICE

// 1 when the variable name stands more than once among the request's.
int var_twice(const char *name) {
    char **env = g_cgi_io ? g_cgi_io->vars() : plat_environment();
    size_t n = strlen(name);
    int seen = 0;
    for (; env && *env; env++)
        if (strncmp(*env, name, n) == 0 && (*env)[n] == '=' && seen++) return 1;
    return 0;
}

// The body of the answer to a request without the node password (status
// 401, JSON headers).
const char REFUSED_BODY[] = "{\"ok\":false,\"error\":\"invalid node password\"}\n";

FILE *out_stream(void) { return g_cgi_out ? g_cgi_out : stdout; }
FILE *in_stream(void) { return g_cgi_in ? g_cgi_in : stdin; }

// Reads n bytes of the body into p, fewer when it ends first.
size_t read_in(char *p, size_t n) {
    if (!g_cgi_io) return fread(p, 1, n, in_stream());
    size_t got = 0;
    while (got < n) {
        size_t step = g_cgi_io->read(p + got, n - got);
        if (!step) break;
        got += step;
    }
    return got;
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
// the spaces around it, or null when the header has another form. The
// scheme is "Bearer" exactly, or with any_case in any case of its letters
// (as HTTP's authentication schemes are matched; the MCP endpoint does so).
const char *bearer_token(const char *h, int any_case) {
    while (*h == ' ') h++;
    // Compared no further than the header's end: a shorter one differs
    // at its terminating zero.
    size_t n = strnlen(h, 7);
    if (n < 7 || !(any_case ? str_ieq_n(h, "Bearer ", 7) : strncmp(h, "Bearer ", 7) == 0)) return nullptr;
    h += 7;
    while (*h == ' ') h++;
    return h;
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
    return req_body_parse(r) == 0 && r->body_doc ? arg_get(yyjson_doc_get_root(r->body_doc), name)
                                                 : nullptr;
}

}  // namespace

/*------------------------------------------------------------------------------
 * Public operations
 *----------------------------------------------------------------------------*/

const char *req_var(const char *name) { return g_cgi_io ? g_cgi_io->var(name) : getenv(name); }

const char *req_setting(const char *name) {
    const char *v = g_cgi_io ? g_cgi_io->var(name) : nullptr;
    return v ? v : getenv(name);
}

void cgi_write(const char *p, size_t n) {
    if (!n) return;
    if (g_cgi_io) g_cgi_io->write(p, n);
    else fwrite(p, 1, n, out_stream());
}

void cgi_flush(void) {
    if (g_cgi_io) g_cgi_io->flush();
    else fflush(out_stream());
}

size_t cgi_status_text(int status, char *line, size_t cap) {
    const char *reason = cgi_status_reason(status);
    int n = snprintf(line, cap, "Status: %d %s\r\n", reason ? status : 500,
                     reason ? reason : cgi_status_reason(500));
    return n < 0 ? 0 : (size_t)n < cap ? (size_t)n : cap - 1;
}

void cgi_refused(void) {
    char line[CGI_STATUS_LINE_MAX];
    cgi_write(line, cgi_status_text(401, line, sizeof line));
    cgi_write_lit(CGI_HDR_JSON);
    cgi_write_lit(REFUSED_BODY);
    cgi_flush();
}

const char *req_refusal(const cgi_request *r) {
    return web_refusal(req_setting(WEB_HOSTS_VAR), r->host, r->origin, r->fetch_site);
}

void req_from_env(cgi_request *r) {
    *r = cgi_request{};
    r->method = req_var("REQUEST_METHOD");
    if (!r->method) r->method = "";
    r->query = req_var("QUERY_STRING");
    if (!r->query) r->query = "";
    r->content_type = req_var("CONTENT_TYPE");
    r->accept = req_var("HTTP_ACCEPT");
    r->host = req_var("HTTP_HOST");
    r->origin = req_var("HTTP_ORIGIN");
    r->fetch_site = req_var("HTTP_SEC_FETCH_SITE");
    r->fetch_mode = req_var("HTTP_SEC_FETCH_MODE");
    r->fetch_dest = req_var("HTTP_SEC_FETCH_DEST");
    r->mcp_version = req_var("HTTP_MCP_PROTOCOL_VERSION");
    r->mcp_method = req_var("HTTP_MCP_METHOD");
    r->mcp_name = req_var("HTTP_MCP_NAME");
    for (const spelled_header &h : SPELLED) {
        if (var_twice(h.var)) {
            r->twice = h.name;
            break;
        }
    }
}

const char *req_twice_refusal(const cgi_request *r) {
    if (!r->twice) return nullptr;
    for (const spelled_header &h : SPELLED)
        if (strcmp(h.name, r->twice) == 0) return h.refusal;
    return nullptr;
}

int req_read_body(cgi_request *r) {
    g_body[0] = 0;
    r->body = g_body;
    r->body_len = 0;
    const char *cl = req_var("CONTENT_LENGTH");
    if (!cl || !*cl) return REQ_BODY_OK;
    int n = req_int(cl);
    if (n <= 0) return REQ_BODY_OK;
    r->body_announced = (size_t)n;
    if ((size_t)n > (r->body_max ? r->body_max : CGI_BODY_MAX)) return REQ_BODY_TOO_LARGE;
    char *at = g_body;
    if ((size_t)n > CGI_BODY_MAX) {
        mem_free(r->body_heap);
        r->body_heap = (char *)mem_alloc((size_t)n + 1);
        if (!r->body_heap) return REQ_BODY_TOO_LARGE;
        at = r->body_heap;
    }
    size_t got = read_in(at, (size_t)n);
    r->body_arrived = got;
    if (got < (size_t)n && r->body_whole) {
        // A part of such a body is never taken for the whole: the lines of
        // an import cut at a line end would each look complete.
        at[0] = 0;
        return REQ_BODY_SHORT;
    }
    at[got] = 0;
    r->body = at;
    r->body_len = got;
    return REQ_BODY_OK;
}

void req_short_message(const cgi_request *r, char *msg, size_t cap) {
    snprintf(msg, cap, "the request body ended after %zu of the %zu bytes its Content-Length announced",
             r->body_arrived, r->body_announced);
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


const char *cgi_status_reason(int status) {
    for (const status_entry &e : STATUSES)
        if (e.status == status) return e.reason;
    return nullptr;
}

int cgi_access_ok(const char *qs) {
    const char *password = req_setting("BOT_PASSWORD");
    if (!password || !*password) return 1;
    const char *h = req_var("HTTP_X_BOT_PASSWORD");
    if (h && secret_eq(h, password)) return 1;
    const char *auth = req_var("HTTP_AUTHORIZATION");
    const char *token = auth ? bearer_token(auth, 0) : nullptr;
    if (token && secret_eq(token, password)) return 1;
    char pwd[256];
    if (qs && get_query_val(qs, "pwd", pwd, sizeof pwd) && secret_eq(pwd, password)) return 1;
    return 0;
}

int cgi_bearer_ok(void) {
    const char *password = req_setting("BOT_PASSWORD");
    if (!password || !*password) return 1;
    const char *auth = req_var("HTTP_AUTHORIZATION");
    const char *token = auth ? bearer_token(auth, 1) : nullptr;
    return token && secret_eq(token, password);
}

void json_raw(const char *text) {
    cgi_write_lit(CGI_HDR_JSON);
    if (!text) text = "{\"ok\":true}";
    cgi_write(text, strlen(text));
    cgi_write("\n", 1);
    cgi_flush();
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
    char line[CGI_STATUS_LINE_MAX];
    size_t line_len = cgi_status_text(status, line, sizeof line);
    buf_add(&b, line, line_len);
    buf_puts(&b, CGI_HDR_JSON);
    buf_puts(&b, "{\"ok\":false,\"status\":");
    buf_puts(&b, num);
    buf_puts(&b, ",\"error\":");
    json_str(&b, message);
    buf_putc(&b, '}');
    if (b.dropped || !b.data || text.dropped) {
        // No memory for the composed text: the answer still goes out whole,
        // with a message that needs no escaping.
        cgi_write(line, line_len);
        cgi_write_lit(CGI_HDR_JSON);
        cgi_write_lit("{\"ok\":false,\"status\":");
        cgi_write(num, strlen(num));
        cgi_write_lit(",\"error\":\"out of memory\"}");
    } else {
        cgi_write(b.data, b.len);
    }
    buf_free(&b);
    buf_free(&text);
    cgi_write("\n", 1);
    cgi_flush();
}

int req_int(const char *s) {
    long v = strtol(s, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

int query_text(const char *qs, const char *name, char *dst, size_t cap, size_t *len, int *cut) {
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
