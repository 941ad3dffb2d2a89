// handler.cpp - the CGI request: access check, body, action choice and
// routing, the answers composed here (page, stats, tools, export) and the
// framing of every response.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cgi.h"
#include "page/page.h"
#include "store/store.h"
#include "tools/tools.h"

FILE *g_cgi_out;
FILE *g_cgi_in;
yyjson_doc *g_body_doc;

namespace {

// The request body and its terminating zero; static so a body needs no
// allocation. The largest accepted body is one byte less than its size.
constexpr size_t BODY_CAP = 8388608;
char g_body[BODY_CAP];

// The largest export read in one piece: the same limit under which a load
// accepts the file.
constexpr long EXPORT_MAX = 25165824L;

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

const char REFUSED[] =
    "Status: 401 Unauthorized\r\n"
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n"
    "{\"ok\":false,\"error\":\"invalid node password\"}\n";
static_assert(sizeof REFUSED - 1 == 178, "the refusal is a fixed text of 178 bytes");

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

const char *status_line(int status) {
    switch (status) {
    case 400: return "Status: 400 Bad Request\r\n";
    case 404: return "Status: 404 Not Found\r\n";
    case 413: return "Status: 413 Payload Too Large\r\n";
    default: return "Status: 500 Internal Server Error\r\n";
    }
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
void url_decode(char *s) {
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
}

// First member of the body's root object whose key is exactly name, or null.
yyjson_val *body_member(const char *name) {
    yyjson_val *root = g_body_doc ? yyjson_doc_get_root(g_body_doc) : nullptr;
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
void send_page(const char *) {
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

void do_stats(const char *) {
    if (graph_load() != 0) {
        json_err(500, g_data_err);
        return;
    }
    int64_t bytes = 0;
    int exists = 0;
    graph_path_info(&bytes, &exists);

    uint64_t nobs = 0;
    for (uint64_t i = 0; i < G.ent_count; i++) nobs += G.ents[i].obs_count;

    // The distinct types in the order first seen, and behind them an
    // open-addressing table of the same texts, so that each entity costs one
    // probe instead of a comparison with every type seen so far.
    constexpr size_t type_slots = 512;  // a power of two, over twice STATS_MAX_TYPES
    const char **types = (const char **)calloc(STATS_MAX_TYPES + type_slots, sizeof *types);
    const char **slot = types ? types + STATS_MAX_TYPES : nullptr;
    size_t ntypes = 0;
    for (uint64_t i = 0; types && i < G.ent_count; i++) {
        const char *t = G.ents[i].entity_type ? G.ents[i].entity_type : "";
        size_t k = str_hash(t) & (type_slots - 1);
        while (slot[k] && strcmp(slot[k], t) != 0) k = (k + 1) & (type_slots - 1);
        if (slot[k]) continue;
        if (ntypes == STATS_MAX_TYPES) break;
        slot[k] = t;
        types[ntypes++] = t;
    }

    char num[160];
    snprintf(num, sizeof num,
             "{\"ok\":true,\"entities\":%llu,\"relations\":%llu,\"observations\":%llu,"
             "\"unreadable_lines\":%llu,\"file_exists\":%s,\"file_bytes\":%lld,\"types\":[",
             (unsigned long long)G.ent_count, (unsigned long long)G.rel_count,
             (unsigned long long)nobs, (unsigned long long)G.bad_count,
             exists ? "true" : "false", (long long)bytes);
    buf b;
    buf_init(&b);
    buf_puts(&b, num);
    for (size_t k = 0; k < ntypes; k++) {
        if (k) buf_putc(&b, ',');
        json_str(&b, types[k]);
    }
    buf_puts(&b, "]}");
    free(types);
    send_built(&b);
    buf_free(&b);
}

void do_tools(const char *) {
    char *list = tools_list_json();
    buf b;
    buf_init(&b);
    buf_puts(&b, "{\"ok\":true,\"connector\":\"plugin_memory\",\"kind\":\"mcp\","
                 "\"protocol\":\"2025-06-18\",\"tools\":");
    buf_puts(&b, list ? list : "[]");
    buf_putc(&b, '}');
    free(list);
    send_built(&b);
    buf_free(&b);
}

// The graph file as stored, as a download named memory.jsonl.
void do_export(const char *) {
    char path[sizeof g_path];
    str_copy(path, sizeof path, graph_path());
    if (graph_load() != 0) {
        json_err(500, g_data_err);
        return;
    }
    FILE *f = path[0] ? fopen(path, "rb") : nullptr;
    if (!f) {
        out_lit(HDR_EXPORT);
        fflush(out_stream());
        return;
    }
    long size = 0;
    if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    if (size < 0) size = 0;
    if (size > EXPORT_MAX) size = EXPORT_MAX;
    fseek(f, 0, SEEK_SET);
    char *data = nullptr;
    size_t got = 0;
    if (size > 0) {
        data = (char *)malloc((size_t)size);
        if (!data) {
            fclose(f);
            json_err(500, "not enough memory to export the graph file");
            return;
        }
        got = fread(data, 1, (size_t)size, f);
    }
    fclose(f);
    out_lit(HDR_EXPORT);
    out_write(data, got);
    free(data);
    fflush(out_stream());
}

/*------------------------------------------------------------------------------
 * Routing
 *----------------------------------------------------------------------------*/

struct route {
    const char *action;
    void (*run)(const char *qs);
};

// Compared in this order, exact and case-sensitive.
const route ROUTES[] = {
    {"stats", do_stats},
    {"graph", do_graph},
    {"search", do_search},
    {"entity", do_entity},
    {"add_entity", do_add_entity},
    {"add_relation", do_add_relation},
    {"add_obs", do_add_obs},
    {"delete_entity", do_delete_entity},
    {"delete_relation", do_delete_relation},
    {"delete_obs", do_delete_obs},
    {"tools", do_tools},
    {"export", do_export},
};

// Reads and parses the body. Returns 0 to go on, -1 when an error answer has
// been written.
int read_body(void) {
    g_body[0] = 0;
    const char *cl = getenv("CONTENT_LENGTH");
    if (!cl || !*cl) return 0;
    int n = int_of(cl);
    if (n <= 0) return 0;
    if ((size_t)n > BODY_CAP - 1) {
        json_err(413, "the request body is too large");
        return -1;
    }
    size_t got = fread(g_body, 1, (size_t)n, in_stream());
    g_body[got] = 0;
    if (got == 0) return 0;
    g_body_doc = yyjson_read_opts(g_body, strlen(g_body), 0, nullptr, nullptr);
    if (!g_body_doc) {
        json_err(400, "the request body is not valid JSON");
        return -1;
    }
    return 0;
}

void handle(void) {
    const char *qs = getenv("QUERY_STRING");
    if (!qs) qs = "";
    if (!cgi_access_ok(getenv("QUERY_STRING"))) {
        out_lit(REFUSED);
        fflush(out_stream());
        return;
    }
    if (read_body() != 0) return;

    char action[64];
    if (!get_query_val(qs, "action", action, sizeof action))
        param_str(qs, "action", action, sizeof action);
    if (!action[0]) {
        char format[32];
        get_query_val(qs, "format", format, sizeof format);
        const char *method = getenv("REQUEST_METHOD");
        if (strcmp(format, "json") == 0) {
            str_copy(action, sizeof action, "graph");
        } else if (method && strcmp(method, "POST") == 0) {
            json_err(400, "missing action");
            return;
        } else {
            send_page(qs);
            return;
        }
    }
    for (const route &r : ROUTES) {
        if (strcmp(r.action, action) == 0) {
            r.run(qs);
            return;
        }
    }
    json_err(400, "unknown action");
}

}  // namespace

/*------------------------------------------------------------------------------
 * Public operations
 *----------------------------------------------------------------------------*/

int api_handle(void) {
    if (g_body_doc) {  // left over only when a caller reuses the process
        yyjson_doc_free(g_body_doc);
        g_body_doc = nullptr;
    }
    handle();
    if (g_body_doc) {
        yyjson_doc_free(g_body_doc);
        g_body_doc = nullptr;
    }
    return 0;
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

void json_raw(const char *text) {
    out_lit(HDR_JSON);
    if (!text) text = "{\"ok\":true}";
    out_write(text, strlen(text));
    out_write("\n", 1);
    fflush(out_stream());
}

void json_err(int status, const char *message) {
    char num[16];
    snprintf(num, sizeof num, "%d", status);
    buf b;
    buf_init(&b);
    buf_puts(&b, status_line(status));
    buf_puts(&b, HDR_JSON);
    buf_puts(&b, "{\"ok\":false,\"status\":");
    buf_puts(&b, num);
    buf_puts(&b, ",\"error\":");
    json_str(&b, message);
    buf_putc(&b, '}');
    if (b.dropped || !b.data) {
        // No memory for the composed text: the answer still goes out whole,
        // with a message that needs no escaping.
        const char *line = status_line(status);
        out_write(line, strlen(line));
        out_lit(HDR_JSON);
        out_write("{\"ok\":false,\"status\":", 21);
        out_write(num, strlen(num));
        out_lit(",\"error\":\"out of memory\"}");
    } else {
        out_write(b.data, b.len);
    }
    buf_free(&b);
    out_write("\n", 1);
    fflush(out_stream());
}

int get_query_val(const char *qs, const char *name, char *dst, size_t cap) {
    dst[0] = 0;
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
            if (vlen > cap - 1) vlen = cap - 1;
            memcpy(dst, v, vlen);
            dst[vlen] = 0;
            url_decode(dst);
            return 1;
        }
        if (!amp || !amp[1]) return 0;
        p = amp + 1;
    }
}

int param_str(const char *qs, const char *name, char *dst, size_t cap) {
    dst[0] = 0;
    if (qs && get_query_val(qs, name, dst, cap) && dst[0]) return 1;
    dst[0] = 0;
    yyjson_val *v = body_member(name);
    if (!yyjson_is_str(v)) return 0;
    str_copy(dst, cap, yyjson_get_str(v));
    return 1;
}

yyjson_val *body_arr(const char *name) {
    yyjson_val *v = body_member(name);
    return yyjson_is_arr(v) ? v : nullptr;
}
