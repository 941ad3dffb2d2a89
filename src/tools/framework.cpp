// framework.cpp - the result record of a tool call, dispatch by name, the
// catalogue copy, and the MCP and API wrappings of a finished result.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools_internal.h"

void tool_out_init(tool_out *out) {
    if (!out) return;
    out->doc = nullptr;
    out->root = nullptr;
    out->note = nullptr;
    out->err = nullptr;
    out->failed = 0;
    out->mcp_text = nullptr;
    out->api_text = nullptr;
    out->mcp = nullptr;
    out->refusals = mem_refusals();
}

void tool_start(tool_out *out) {
    out->doc = yyjson_mut_doc_new(mem_yyjson());
    if (!out->doc) {
        tool_err(out, "out of memory");
        return;
    }
    out->root = yyjson_mut_obj(out->doc);
    if (!out->root) {
        tool_err(out, "out of memory");
        return;
    }
    yyjson_mut_doc_set_root(out->doc, out->root);
}

void tool_err(tool_out *out, const char *fmt, ...) {
    char msg[768];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    if (n < 0) msg[0] = 0;
    else if ((size_t)n >= sizeof msg) msg[utf8_whole_prefix(msg, sizeof msg - 1)] = 0;
    if (!out->err) out->err = dup_or_null(msg);
    out->failed = 1;
}

void tool_free(tool_out *out) {
    if (!out) return;
    if (out->doc) yyjson_mut_doc_free(out->doc);
    mem_free(out->note);
    mem_free(out->err);
    mem_free(out->mcp_text);
    mem_free(out->api_text);
    tool_out_init(out);
}

yyjson_val *arg_get(yyjson_val *args, const char *key) {
    if (!args || !yyjson_is_obj(args) || yyjson_obj_size(args) == 0 || !key) return nullptr;
    size_t klen = strlen(key);
    yyjson_obj_iter it = yyjson_obj_iter_with(args);
    yyjson_val *k;
    while ((k = yyjson_obj_iter_next(&it))) {
        if (yyjson_get_len(k) == klen && memcmp(yyjson_get_str(k), key, klen) == 0)
            return yyjson_obj_iter_get_val(k);
    }
    return nullptr;
}

void tool_run(void (*fn)(yyjson_val *args, tool_out *out), yyjson_val *args, tool_out *out,
              const tool_mcp_form *mcp) {
    tool_out_init(out);
    out->mcp = mcp;
    fn(args, out);
    if (!out->failed && mem_refusals() != out->refusals) tool_err(out, "out of memory");
}

int tool_dispatch(const char *name, yyjson_val *args, tool_out *out, const tool_mcp_form *mcp) {
    for (size_t i = 0; i < tool_table_count; i++) {
        const tool_entry &t = tool_table[i];
        if (name && strcmp(name, t.name) == 0) {
            tool_run(t.fn, args, out, mcp);
            return 0;
        }
    }
    tool_out_init(out);
    return -1;
}

char *tools_list_json(void) { return dup_or_null(tool_catalogue); }

// 1 when the record holds a result document whose root has members.
static int has_members(const tool_out *out) {
    return out->doc && out->root && yyjson_mut_is_obj(out->root) &&
           yyjson_mut_obj_size(out->root) > 0;
}

// Hands out the assembled text (the buffer's own block, so a large result is
// never held twice), or null when a piece of it was dropped. The buffer is
// left empty either way.
static char *finish(buf *b) {
    char *text = nullptr;
    if (!b->dropped) text = b->data ? b->data : dup_or_null("");
    if (text == b->data) buf_init(b);
    buf_free(b);
    return text;
}

static const char *err_text(const tool_out *out) {
    return out->err ? out->err : "the tool could not be completed";
}

void tool_mcp_result(buf *b, const tool_out *out) {
    if (out->mcp_text && !out->failed) {
        buf_puts(b, out->mcp_text);
        return;
    }
    if (out->failed) {
        buf_puts(b, "{\"content\":[{\"type\":\"text\",\"text\":");
        json_str(b, err_text(out));
        buf_puts(b, "}],\"isError\":true}");
        return;
    }
    char *pretty = nullptr;
    if (out->doc && out->root)
        pretty = yyjson_mut_write_opts(out->doc, YYJSON_WRITE_PRETTY_TWO_SPACES, mem_yyjson(),
                                       nullptr, nullptr);
    if (out->doc && out->root && !pretty) {
        b->dropped = 1;  // never an answer without its result
        return;
    }
    buf_puts(b, "{\"content\":[{\"type\":\"text\",\"text\":");
    json_str(b, pretty ? pretty : "{}");
    buf_puts(b, "}");
    mem_free(pretty);
    if (out->note && out->note[0]) {
        buf_puts(b, ",{\"type\":\"text\",\"text\":");
        json_str(b, out->note);
        buf_puts(b, "}");
    }
    buf_puts(b, "],\"isError\":false");
    if (has_members(out) && (!out->mcp || out->mcp->structured)) {
        char *compact = yyjson_mut_write_opts(out->doc, YYJSON_WRITE_NOFLAG, mem_yyjson(), nullptr,
                                              nullptr);
        if (!compact) {
            b->dropped = 1;
            return;
        }
        buf_puts(b, ",\"structuredContent\":");
        buf_puts(b, compact);
        mem_free(compact);
    }
    buf_puts(b, "}");
}

char *tool_api_result(tool_out *out) {
    if (out->api_text && !out->failed) {
        char *text = out->api_text;
        out->api_text = nullptr;
        return text;
    }
    buf b;
    buf_init(&b);
    if (out->failed) {
        buf_puts(&b, "{\"ok\":false,\"error\":");
        json_str(&b, err_text(out));
        buf_puts(&b, "}");
        return finish(&b);
    }
    if (!has_members(out)) return dup_or_null("{\"ok\":true}");
    size_t len = 0;
    char *compact = yyjson_mut_write_opts(out->doc, YYJSON_WRITE_NOFLAG, mem_yyjson(), &len, nullptr);
    if (!compact) return nullptr;
    if (compact[0] != '{' || compact[1] == '}') {
        mem_free(compact);
        return dup_or_null("{\"ok\":true}");
    }
    // The members follow "{\"ok\":true," in the written text itself, widened
    // in place, so that a whole-graph answer is not copied.
    static const char head[] = "{\"ok\":true,";
    const size_t head_len = sizeof head - 1;
    char *text = (char *)mem_realloc(compact, len + head_len);
    if (!text) {
        mem_free(compact);
        return nullptr;
    }
    memmove(text + head_len, text + 1, len);  // the members, "}" and the terminator
    memcpy(text, head, head_len);
    if (!out->note || !out->note[0]) return text;
    // The note, which the API would not show otherwise, as the last member.
    buf_add(&b, text, len + head_len - 2);  // without the closing "}"
    mem_free(text);
    buf_puts(&b, ",\"note\":");
    json_str(&b, out->note);
    buf_putc(&b, '}');
    return finish(&b);
}
