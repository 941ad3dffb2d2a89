// changing.cpp - what the changing tools share: the write transaction as a
// tool sees it, required arrays, sets of requested texts and comparisons
// with JSON strings.
#include <cstring>

#include "tools_internal.h"

yyjson_val *required_array(yyjson_val *args, const char *key, tool_out *out) {
    yyjson_val *v = arg_get(args, key);
    if (yyjson_is_arr(v)) return v;
    tool_err(out, "Missing required parameter: %s", key);
    return nullptr;
}

int refuse_nul(yyjson_val *args, tool_out *out) {
    if (!json_has_nul(args)) return 0;
    tool_err(out, "Names, types, observations and relation fields cannot hold the character "
                  "U+0000; nothing was changed.");
    return 1;
}

void tool_store_err(tool_out *out, store_rc rc) {
    char msg[STORE_MESSAGE_CAP];
    tool_err(out, "%s", store_message(rc, msg, sizeof msg));
}

graph *change_begin(graph_txn *t, tool_out *out) {
    store_rc rc = graph_begin(t);
    if (rc == STORE_OK) return t->g;
    tool_store_err(out, rc);
    return nullptr;
}

// Writes both answers of the call into out before its change is saved, and
// makes room for the MCP one in the caller's buffer: after the save nothing
// is left that could fail for want of memory. Returns 0, or -1 when memory
// ran out.
static int write_answers(tool_out *out) {
    buf b;
    buf_init(&b);
    tool_mcp_result(&b, out);
    if (b.dropped || !b.data) {
        buf_free(&b);
        return -1;
    }
    out->mcp_text = b.data;
    out->api_text = tool_api_result(out);
    if (!out->api_text) return -1;
    // A response that already lost a piece could not carry the answer. The
    // room made covers the result and what the server appends behind it.
    buf *reserve = out->mcp ? out->mcp->reserve : nullptr;
    if (reserve && (reserve->dropped || !buf_need(reserve, b.len + out->mcp->tail))) return -1;
    return 0;
}

int change_commit(graph_txn *t, tool_out *out) {
    if (!out->failed && (mem_refusals() != out->refusals || write_answers(out) != 0))
        tool_err(out, "out of memory");
    if (out->failed) {
        graph_abort(t);
        return -1;
    }
    store_rc rc = graph_commit(t);
    if (rc == STORE_OK) {
        // The save deals with its own failures: an allocation it went
        // without and survived leaves the answer whole.
        out->refusals = mem_refusals();
        return 0;
    }
    tool_store_err(out, rc);
    return -1;
}

// Sets up to this size are walked; larger ones are hashed.
static const size_t k_set_walk_max = 8;

void text_set_init(text_set *s, const char *const *texts, size_t n) {
    s->texts = texts;
    s->n = n;
    s->index = hash_index{};
    s->hashed = 0;
    if (n <= k_set_walk_max) return;
    for (size_t i = 0; i < n; i++) {
        if (texts[i] && hash_index_add(&s->index, str_hash(texts[i]), i) != 0) {
            hash_index_free(&s->index);
            return;
        }
    }
    s->hashed = 1;
}

int64_t text_set_find(const text_set *s, const char *text, int64_t after) {
    if (!text) return -1;
    if (!s->hashed) {
        for (size_t i = (size_t)(after + 1); i < s->n; i++)
            if (s->texts[i] && strcmp(s->texts[i], text) == 0) return (int64_t)i;
        return -1;
    }
    hash_walk w;
    hash_index_walk(&s->index, str_hash(text), &w);
    int64_t i;
    while ((i = hash_index_next(&s->index, &w)) >= 0)
        if (i > after && strcmp(s->texts[i], text) == 0) return i;
    return -1;
}

void text_set_free(text_set *s) {
    hash_index_free(&s->index);
    s->hashed = 0;
}

int rel_list_init(rel_list *l, size_t n, size_t extra, unsigned char **extra_at, tool_out *out) {
    size_t slots = n ? n : 1;
    l->block = mem_calloc(1, 3 * slots * sizeof(char *) + extra + 1);
    if (!l->block) {
        tool_err(out, "out of memory");
        return -1;
    }
    l->n = n;
    l->from = (const char **)l->block;
    l->to = l->from + slots;
    l->type = l->to + slots;
    if (extra_at) *extra_at = (unsigned char *)(l->type + slots);
    return 0;
}

// One hash of a relation's three fields.
static size_t rel_key_hash(const char *from, const char *to, const char *type) {
    uint64_t h = (uint64_t)str_hash(from);
    h = (h ^ (uint64_t)str_hash(to)) * 0x9E3779B97F4A7C15ULL;
    h = (h ^ (uint64_t)str_hash(type)) * 0x9E3779B97F4A7C15ULL;
    return (size_t)(h ^ (h >> 29));
}

void rel_list_index(rel_list *l) {
    hash_index_free(&l->keys);
    l->hashed = 0;
    if (l->n <= k_set_walk_max) return;
    for (size_t i = 0; i < l->n; i++) {
        if (!l->from[i] || !l->to[i] || !l->type[i]) continue;
        if (hash_index_add(&l->keys, rel_key_hash(l->from[i], l->to[i], l->type[i]), i) != 0) {
            hash_index_free(&l->keys);
            return;
        }
    }
    l->hashed = 1;
}

// 1 when element i names the relation from -> to of type.
static int rel_is(const rel_list *l, size_t i, const char *from, const char *to, const char *type) {
    return l->from[i] && l->to[i] && l->type[i] && strcmp(l->from[i], from) == 0 &&
           strcmp(l->to[i], to) == 0 && strcmp(l->type[i], type) == 0;
}

int64_t rel_list_find(const rel_list *l, const char *from, const char *to, const char *type,
                      int64_t after) {
    if (!from || !to || !type) return -1;
    if (!l->hashed) {
        for (size_t i = (size_t)(after + 1); i < l->n; i++)
            if (rel_is(l, i, from, to, type)) return (int64_t)i;
        return -1;
    }
    hash_walk w;
    hash_index_walk(&l->keys, rel_key_hash(from, to, type), &w);
    int64_t i;
    while ((i = hash_index_next(&l->keys, &w)) >= 0)
        if (i > after && rel_is(l, (size_t)i, from, to, type)) return i;
    return -1;
}

int str_val_is(yyjson_val *v, const char *s) {
    if (!s || !yyjson_is_str(v)) return 0;
    size_t len = yyjson_get_len(v);
    return strlen(s) == len && memcmp(yyjson_get_str(v), s, len) == 0;
}

const char *nonempty_str(yyjson_val *v) {
    const char *s = yyjson_get_str(v);
    return s && s[0] ? s : nullptr;
}
