// mcp_http.cpp - the MCP endpoint of the web host: one JSON-RPC message per
// POST, answered by the same message handler as the stdio server, without
// sessions and without a server-sent stream.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mcp_http.h"
#include "mcp/mcp.h"

namespace {

int is_space(char c) { return c == ' ' || c == '\t'; }

// The n bytes at s without the white space around them.
void trim(const char **s, size_t *n) {
    while (*n && is_space(**s)) (*s)++, (*n)--;
    while (*n && is_space((*s)[*n - 1])) (*n)--;
}

// 1 when the n bytes at s, white space around them dropped, equal the
// lower-case text want with letters folded.
int token_is(const char *s, size_t n, const char *want) {
    trim(&s, &n);
    return n == strlen(want) && str_ieq_n(s, want, n);
}

// 1 when the parameters of one media range (from its first ";" to end)
// carry a quality of zero: q=0, q=0., q=0.0 up to q=0.000.
int quality_zero(const char *p, const char *end) {
    while (p < end) {
        const char *next = (const char *)memchr(p, ';', (size_t)(end - p));
        if (!next) next = end;
        const char *eq = (const char *)memchr(p, '=', (size_t)(next - p));
        if (eq && token_is(p, (size_t)(eq - p), "q")) {
            const char *v = eq + 1;
            size_t vn = (size_t)(next - v);
            trim(&v, &vn);
            if (!vn || *v != '0') return 0;
            for (size_t i = 1; i < vn; i++)
                if (v[i] != '.' && v[i] != '0') return 0;
            return 1;
        }
        p = next + 1;
    }
    return 0;
}

// 1 when the media type of a Content-Type value is application/json.
int is_json_type(const char *ct) {
    if (!ct) return 0;
    const char *semi = strchr(ct, ';');
    return token_is(ct, semi ? (size_t)(semi - ct) : strlen(ct), "application/json");
}

// 1 when a header value, white space around it dropped, holds exactly the n
// bytes at want.
int header_is(const char *header, const char *want, size_t n) {
    size_t hn = strlen(header);
    trim(&header, &hn);
    return hn == n && memcmp(header, want, n) == 0;
}

// The value of one base64 digit, or -1.
int b64_digit(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// 1 when the Mcp-Name header names the n bytes at want: its value as it is,
// or, in the form =?base64?<digits>?=, the bytes the digits encode.
int name_header_is(const char *header, const char *want, size_t n) {
    static const char head[] = "=?base64?";
    size_t hn = strlen(header);
    trim(&header, &hn);
    if (hn < sizeof head + 1 || memcmp(header, head, sizeof head - 1) != 0 ||
        memcmp(header + hn - 2, "?=", 2) != 0)
        return hn == n && memcmp(header, want, n) == 0;
    const char *p = header + sizeof head - 1;
    const char *end = header + hn - 2;
    size_t got = 0;
    unsigned acc = 0;
    int bits = 0;
    for (; p < end && *p != '='; p++) {
        int d = b64_digit(*p);
        if (d < 0) return 0;
        acc = (acc << 6) | (unsigned)d;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (got >= n || want[got] != (char)((acc >> bits) & 0xff)) return 0;
            got++;
        }
    }
    for (; p < end; p++)
        if (*p != '=') return 0;
    return got == n;
}

// The methods whose Mcp-Name header mirrors params.name or params.uri.
const char *const NAMED_METHODS[] = {"tools/call", "resources/read", "prompts/get"};

// The header rules, checked on every request once its body is parsed.
void check_headers(const mcp_request_view *v, void *ctx, mcp_refusal *why) {
    const cgi_request *r = (const cgi_request *)ctx;
    const char *version = r->mcp_version;
    if (version) {
        size_t n = strlen(version);
        trim(&version, &n);
        if (!mcp_revision_named(version, n)) {
            why->code = MCP_UNSUPPORTED_VERSION;
            why->requested = r->mcp_version;
            return;
        }
    }
    if (!v->revision->mirrored_headers) return;  // only the revision header is checked
    why->code = MCP_HEADER_MISMATCH;
    if (!r->mcp_version) {
        why->message = "Header mismatch: the MCP-Protocol-Version header is missing";
    } else if (v->version && !header_is(r->mcp_version, v->version, v->version_len)) {
        why->message = "Header mismatch: MCP-Protocol-Version is not the revision in _meta";
    } else if (!r->mcp_method) {
        why->message = "Header mismatch: the Mcp-Method header is missing";
    } else if (!header_is(r->mcp_method, v->method, v->method_len)) {
        why->message = "Header mismatch: Mcp-Method is not the request's method";
    } else {
        why->code = 0;
        int named = 0;
        for (const char *m : NAMED_METHODS)
            named |= v->method_len == strlen(m) && memcmp(v->method, m, v->method_len) == 0;
        if (!named || !v->name) return;  // no name in the body: the method says what is wrong
        why->code = MCP_HEADER_MISMATCH;
        if (!r->mcp_name)
            why->message = "Header mismatch: the Mcp-Name header is missing";
        else if (!name_header_is(r->mcp_name, v->name, v->name_len))
            why->message = "Header mismatch: Mcp-Name is not the request's name or uri";
        else
            why->code = 0;
    }
}

// Writes one whole answer: the status line unless 200, the extra header
// line (or null), the JSON headers when there is a body, the body.
void answer(int status, const char *extra, const buf *body) {
    buf b;
    buf_init(&b);
    if (status != 200) {
        char line[CGI_STATUS_LINE_MAX];
        buf_add(&b, line, cgi_status_text(status, line, sizeof line));
    }
    if (extra) buf_puts(&b, extra);
    if (body && body->len) buf_puts(&b, "Content-Type: application/json; charset=utf-8\r\n");
    buf_puts(&b, "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n\r\n");
    if (body) buf_add(&b, body->data, body->len);
    if (b.dropped || !b.data) {
        // No memory for the whole text: at least the status goes out.
        cgi_write_lit("Status: 500 Internal Server Error\r\n\r\n");
    } else {
        cgi_write(b.data, (size_t)b.len);
    }
    cgi_flush();
    buf_free(&b);
}

// A refusal by the transport: status, extra header, and the JSON-RPC error
// with id null and the message.
void refuse(int status, const char *extra, const char *message) {
    buf body;
    buf_init(&body);
    mcp_error_answer(&body, MCP_TRANSPORT_ERROR, message);
    answer(status, extra, &body);
    buf_free(&body);
}

}  // namespace

int mcp_http_accepts_json(const char *accept) {
    if (!accept) return 1;
    const char *p = accept;
    for (;;) {
        const char *comma = strchr(p, ',');
        const char *end = comma ? comma : p + strlen(p);
        const char *semi = (const char *)memchr(p, ';', (size_t)(end - p));
        const char *type_end = semi ? semi : end;
        size_t n = (size_t)(type_end - p);
        if ((token_is(p, n, "application/json") || token_is(p, n, "application/*") ||
             token_is(p, n, "*/*")) &&
            !(semi && quality_zero(semi + 1, end)))
            return 1;
        if (!comma) return 0;
        p = comma + 1;
    }
}

void mcp_http_answer(cgi_request *r) {
    const char *twice = req_twice_refusal(r);
    if (twice) {
        refuse(400, nullptr, twice);
        return;
    }
    const char *why = req_refusal(r);
    if (why) {
        refuse(403, nullptr, why);
        return;
    }
    if (!cgi_bearer_ok()) {
        refuse(401, "WWW-Authenticate: Bearer\r\n", "invalid node password");
        return;
    }
    if (!r->method || strcmp(r->method, "POST") != 0) {
        refuse(405, "Allow: POST\r\n", "this endpoint takes POST only");
        return;
    }
    if (!mcp_http_accepts_json(r->accept)) {
        refuse(406, nullptr, "the client must accept application/json");
        return;
    }
    if (!is_json_type(r->content_type)) {
        refuse(415, nullptr, "the body must be application/json");
        return;
    }
    if (req_read_body(r) != REQ_BODY_OK) {
        refuse(413, nullptr, "the request body is too large");
        return;
    }
    buf out;
    buf_init(&out);
    mcp_transport t = {r->mcp_version, check_headers, r};
    mcp_outcome o;
    mcp_handle_request(r->body ? r->body : "", r->body_len, &t, &out, &o);
    int status = o.kind == MCP_NO_REPLY ? 202
                 : o.kind == MCP_INVALID || o.refused ? 400
                 : o.code == JSONRPC_METHOD_NOT_FOUND ? o.revision->method_not_found_status
                                                     : 200;
    answer(status, nullptr, &out);
    buf_free(&out);
}
