// format.cpp - the graph file's text: a load builds a graph from its
// lines, a save writes a graph's lines. Knows nothing of the file itself.
#include <cstring>

#include "graph_internal.h"
#include "platform/platform.h"

// Appends the text literal s, its length counted by the compiler.
#define PUT_LIT(b, s) buf_add(b, s, sizeof s - 1)
// A byte order mark: a load passes over one at the very start of the file.
static const char BOM[] = "\xEF\xBB\xBF";
static const size_t BOM_LEN = sizeof BOM - 1;

// The members of a line's object that a load reads: the first member of
// each name, as yyjson_obj_get finds it, or null. One pass over the members.
struct line_fields {
    yyjson_val *type, *name, *entity_type, *obs, *from, *to, *relation_type;
};

static void line_fields_get(yyjson_val *obj, line_fields *f) {
    *f = {};
    yyjson_obj_iter it = yyjson_obj_iter_with(obj);
    yyjson_val *key;
    while ((key = yyjson_obj_iter_next(&it))) {
        const char *k = yyjson_get_str(key);
        yyjson_val **slot = nullptr;
        switch (yyjson_get_len(key)) {  // the member names' lengths
        case 2:
            if (memcmp(k, "to", 2) == 0) slot = &f->to;
            break;
        case 4:
            if (memcmp(k, "type", 4) == 0)
                slot = &f->type;
            else if (memcmp(k, "name", 4) == 0)
                slot = &f->name;
            else if (memcmp(k, "from", 4) == 0)
                slot = &f->from;
            break;
        case 10:
            if (memcmp(k, "entityType", 10) == 0) slot = &f->entity_type;
            break;
        case 12:
            if (memcmp(k, "observations", 12) == 0)
                slot = &f->obs;
            else if (memcmp(k, "relationType", 12) == 0)
                slot = &f->relation_type;
            break;
        }
        if (slot && !*slot) *slot = yyjson_obj_iter_get_val(key);
    }
}

// Adds one entity line's value to g; false when it is not a usable entity.
static bool load_entity(graph *g, text_cursor *c, const line_fields *f) {
    if (!yyjson_is_str(f->name) || !yyjson_is_str(f->entity_type) || !yyjson_is_arr(f->obs))
        return false;
    size_t max = (size_t)limit_max_obs();
    if (max < OBS_SCAN_MAX) max = OBS_SCAN_MAX;
    if (g->ent_count >= (uint64_t)limit_max_entities()) g->cut |= CUT_ENTITIES;
    return ent_add_loaded(g, c, f->name, f->entity_type, f->obs, max) == STORE_OK;
}

// Adds one relation line's value to g; false when it is not a usable relation.
static bool load_relation(graph *g, text_cursor *c, const line_fields *f) {
    if (!yyjson_is_str(f->from) || !yyjson_is_str(f->to) || !yyjson_is_str(f->relation_type))
        return false;
    if (g->rel_count >= (uint64_t)limit_max_relations()) g->cut |= CUT_RELATIONS;
    return rel_add_loaded(g, c, f->from, f->to, f->relation_type) == STORE_OK;
}

// One line, zero-terminated at its end; len counts its bytes up to the first
// zero byte. maybe_nul is 0 when the line holds no escape "\u0000", which
// alone can put U+0000 into a string. Blank lines are ignored, everything
// unusable is kept verbatim.
static void load_line(graph *g, text_cursor *c, char *line, size_t len, int maybe_nul,
                      const yyjson_alc *alc) {
    char *s = line, *end = line + len;
    while (s < end && (*s == ' ' || *s == '\t' || *s == '\r')) s++;
    if (s == end) return;
    yyjson_doc *doc = yyjson_read_opts(s, (size_t)(end - s), 0, alc, nullptr);
    bool ok = false;
    if (doc) {
        yyjson_val *root = yyjson_doc_get_root(doc);
        // A text holding U+0000 would be cut there by every later step, so
        // its line stays as it is.
        if (maybe_nul && json_has_nul(root)) root = nullptr;
        if (yyjson_is_obj(root)) {
            line_fields f;
            line_fields_get(root, &f);
            if (yyjson_equals_str(f.type, "entity"))
                ok = load_entity(g, c, &f);
            else if (yyjson_equals_str(f.type, "relation"))
                ok = load_relation(g, c, &f);
        }
        yyjson_doc_free(doc);
    }
    if (!ok) bad_add(g, line);
}

void graph_build(graph *g, char *text, size_t len, int keep) {
    // The texts of a line are written over the lines already read, in front
    // of it: each is the unescaped content of one of the line's string
    // literals, never longer than the literal with its quotes, so the
    // texts fall behind the lines, and whatever does not fit in front of
    // the line becomes a heap copy. Without keep every text is one.
    text_cursor c = {nullptr, nullptr};
    if (keep) {
        g->texts = text;
        g->texts_size = (uint64_t)len + 1;
        c.next = text;
    }
    // One allocator for all the line documents, so that their memory is
    // reused from line to line.
    mem_reuse reuse;
    const yyjson_alc *alc = mem_reuse_start(&reuse);
    char *p = text, *end = text + len;
    // A byte order mark at the very start is no part of the first line; a
    // save does not write it back.
    if (len >= BOM_LEN && memcmp(text, BOM, BOM_LEN) == 0) p += BOM_LEN;
    limits_hold();
    while (p < end) {
        // One pass finds the line's end and tells whether it holds a zero
        // byte or the escape of U+0000.
        int marks = 0;
        char *le = p + line_scan(p, (size_t)(end - p), &marks);
        *le = 0;
        size_t n = (size_t)(le - p);
        int maybe_nul = (marks & LINE_NUL_ESCAPE) != 0;
        if (marks & LINE_ZERO) {
            // The line ends at its first zero byte; only what comes before
            // it counts.
            n = strnlen(p, n);
            maybe_nul = json_text_has_nul_escape(p, n);
        }
        if (keep) c.end = p;
        load_line(g, &c, p, n, maybe_nul, alc);
        p = le + 1;
    }
    limits_release();
    mem_reuse_end(&reuse);
    if (keep && c.next == text) {
        // Nothing went into the block.
        mem_free(text);
        g->texts = nullptr;
        g->texts_size = 0;
    } else if (keep) {
        // The texts take the block's front; the rest is not read again, and
        // its pages go back to the system while the graph lives.
        g->texts_size = (uint64_t)(c.next - text);
        plat_release_pages(c.next, len + 1 - (size_t)(c.next - text));
    }
}

void format_ent(buf *b, const ent *e) {
    PUT_LIT(b, "{\"type\":\"entity\",\"name\":");
    json_str(b, e->name);
    PUT_LIT(b, ",\"entityType\":");
    json_str(b, e->entity_type);
    PUT_LIT(b, ",\"observations\":[");
    for (uint64_t k = 0; k < e->obs_count; k++) {
        if (k) buf_putc(b, ',');
        json_str(b, e->obs[k]);
    }
    PUT_LIT(b, "]}\n");
}

void format_rel(buf *b, const rel *r) {
    PUT_LIT(b, "{\"type\":\"relation\",\"from\":");
    json_str(b, r->from);
    PUT_LIT(b, ",\"to\":");
    json_str(b, r->to);
    PUT_LIT(b, ",\"relationType\":");
    json_str(b, r->relation_type);
    PUT_LIT(b, "}\n");
}

// The kept unreadable lines, after the entities and relations.
void format_bad(const graph *g, buf *b) {
    // A kept line that starts with a byte order mark and comes first in the
    // file gets one more mark in front: a load reads past the first mark, so
    // without it the line would come back shorter.
    if (!g->ent_count && !g->rel_count && g->bad_count && g->bad[0] &&
        strncmp(g->bad[0], BOM, BOM_LEN) == 0)
        buf_add(b, BOM, BOM_LEN);
    for (uint64_t i = 0; i < g->bad_count; i++) {
        buf_puts(b, g->bad[i]);
        buf_putc(b, '\n');
    }
}

void graph_format(const graph *g, buf *b) {
    for (uint64_t i = 0; i < g->ent_count; i++) format_ent(b, &g->ents[i]);
    for (uint64_t i = 0; i < g->rel_count; i++) format_rel(b, &g->rels[i]);
    format_bad(g, b);
}

static uint64_t text_len(const char *s) { return s ? (uint64_t)strlen(s) : 0; }

// A name, type or relation field as a load takes it: 1 to FIELD_MAX bytes.
static int field_loads(const char *s) {
    uint64_t n = text_len(s);
    return n >= 1 && n <= FIELD_MAX;
}

// 1 when a load of e's line gives e back as it is (the observation count is
// checked for every entity by the save itself).
int ent_loads(const ent *e) {
    int ok = field_loads(e->name) & field_loads(e->entity_type);
    for (uint64_t k = 0; k < e->obs_count; k++) ok &= text_len(e->obs[k]) <= OBS_TEXT_MAX;
    return ok;
}

// The same for a relation's line.
int rel_loads(const rel *r) {
    return field_loads(r->from) & field_loads(r->to) & field_loads(r->relation_type);
}
