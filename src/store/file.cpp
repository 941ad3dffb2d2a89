// file.cpp - the graph file: loading it into G line by line, and writing G
// back as a whole through a temporary file that replaces it in one step.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "store.h"
#include "store_internal.h"

char g_data_err[256];
// The loader looks at OBS_SCAN_MAX observation elements at least; a raised
// MEMORY_MAX_OBS widens it so that whatever was saved loads back.

static void set_err(char *err, size_t size, const char *msg) {
    if (err && size) snprintf(err, size, "%s", msg);
}

// Reads the whole file at path into a new zero-terminated block. Returns 1
// with the block, 0 when the file does not exist, -1 when it exists but
// cannot be read or is too large.
int graph_file_read(const char *path, char **out, size_t *out_len) {
    *out = nullptr;
    *out_len = 0;
    // Only a regular file is read; a directory would open on POSIX and read
    // as nothing, hiding that the graph is not where it should be.
    if (plat_exists(path) && !plat_file_mode(path, nullptr)) return -1;
    plat_file_id id;
    int fd = graph_open_read(path, &id);
    char *data = nullptr;
    int64_t n = 0;
    if (fd >= 0) {
        if (id.size >= 0 && id.size <= GRAPH_READ_MAX) data = (char *)mem_alloc((size_t)id.size + 1);
        if (data) {
            plat_prefer_large_pages(data, (size_t)id.size + 1);
            n = plat_read(fd, data, (size_t)id.size);
            if (n < 0) {
                mem_free(data);
                data = nullptr;
            }
        }
        plat_close(fd);
    }
    if (!data) return plat_exists(path) ? -1 : 0;
    data[n] = 0;
    *out = data;
    *out_len = (size_t)n;
    return 1;
}

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
        switch (yyjson_get_len(key)) {
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

// Adds one entity line's value to g; -1 when it is not a usable entity.
static int load_entity(graph *g, text_cursor *c, const line_fields *f) {
    if (!yyjson_is_str(f->name) || !yyjson_is_str(f->entity_type) || !yyjson_is_arr(f->obs))
        return -1;
    size_t max = (size_t)limit_max_obs();
    if (max < OBS_SCAN_MAX) max = OBS_SCAN_MAX;
    if (g->ent_count >= (uint64_t)limit_max_entities()) g->cut |= CUT_ENTITIES;
    return ent_add_loaded(g, c, f->name, f->entity_type, f->obs, max);
}

// Adds one relation line's value to g; -1 when it is not a usable relation.
static int load_relation(graph *g, text_cursor *c, const line_fields *f) {
    if (!yyjson_is_str(f->from) || !yyjson_is_str(f->to) || !yyjson_is_str(f->relation_type))
        return -1;
    if (g->rel_count >= (uint64_t)limit_max_relations()) g->cut |= CUT_RELATIONS;
    return rel_add_loaded(g, c, f->from, f->to, f->relation_type);
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
    int ok = -1;
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
    if (ok != 0) bad_add(g, line);
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
    if (len >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) p += 3;
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
    buf_add(b, "{\"type\":\"entity\",\"name\":", 24);
    json_str(b, e->name);
    buf_add(b, ",\"entityType\":", 14);
    json_str(b, e->entity_type);
    buf_add(b, ",\"observations\":[", 17);
    for (uint64_t k = 0; k < e->obs_count; k++) {
        if (k) buf_putc(b, ',');
        json_str(b, e->obs[k]);
    }
    buf_add(b, "]}\n", 3);
}

void format_rel(buf *b, const rel *r) {
    buf_add(b, "{\"type\":\"relation\",\"from\":", 26);
    json_str(b, r->from);
    buf_add(b, ",\"to\":", 6);
    json_str(b, r->to);
    buf_add(b, ",\"relationType\":", 16);
    json_str(b, r->relation_type);
    buf_add(b, "}\n", 2);
}

// The kept unreadable lines, after the entities and relations.
void format_bad(const graph *g, buf *b) {
    // A kept line that starts with a byte order mark and comes first in the
    // file gets one more mark in front: a load reads past the first mark, so
    // without it the line would come back shorter.
    if (!g->ent_count && !g->rel_count && g->bad_count && g->bad[0] &&
        strncmp(g->bad[0], "\xEF\xBB\xBF", 3) == 0)
        buf_add(b, "\xEF\xBB\xBF", 3);
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

// Resolves the path for a write; 1, or 0 with the reason in err.
int path_ready(char *err, size_t err_size) {
    if (g_path_resolved || ensure_path()) return 1;
    set_err(err, err_size, g_data_err[0] ? g_data_err : "the graph file is not reachable");
    return 0;
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

// The refusal of a save while the load left part of the file out: the
// limits that made it, with their values, and what to do.
void cut_message(uint32_t cut, char *err, size_t err_size) {
    static const struct {
        uint32_t bit;
        const char *name;
        int (*value)(void);
    } limits[] = {
        {CUT_ENTITIES, "MEMORY_MAX_ENTITIES", limit_max_entities},
        {CUT_RELATIONS, "MEMORY_MAX_RELATIONS", limit_max_relations},
        {CUT_OBS, "MEMORY_MAX_OBS", limit_max_obs},
        {CUT_BAD, "MEMORY_MAX_BAD", limit_max_bad},
    };
    size_t n = 0, done = 0;
    for (auto &l : limits) n += (cut & l.bit) != 0;
    buf b;
    buf_init(&b);
    buf_puts(&b, "Nothing was changed: the graph file holds more than ");
    for (auto &l : limits) {
        if (!(cut & l.bit)) continue;
        if (done) buf_puts(&b, done + 1 == n ? " and " : ", ");
        char item[64];
        snprintf(item, sizeof item, "%s (%d)", l.name, l.value());
        buf_puts(&b, item);
        done++;
    }
    buf_puts(&b, n == 1 ? " allows, and a save would drop the rest. Raise the limit to change "
                          "the graph."
                        : " allow, and a save would drop the rest. Raise the limits to change "
                          "the graph.");
    set_err(err, err_size, b.dropped ? "Nothing was changed: the graph file holds more than "
                                       "the limits allow."
                                     : buf_str(&b));
    buf_free(&b);
}

// Replaces the graph file by what fill(f, ctx, err, err_size) writes into f,
// a new temporary file beside it; fill returns 0, or -1 with the reason in
// err. Returns 1 with *written the identity of the new graph file, 0 when
// it was replaced but its identity is not known (something else took its
// place at once, say), or -1 with the reason in err, the file unchanged and
// no temporary file left. Forgets the kept graph.
int replace_with(int (*fill)(void *f, void *ctx, char *err, size_t err_size), void *ctx,
                        plat_file_id *written, char *err, size_t err_size) {
    graph_forget();
    if (err && err_size) err[0] = 0;
    if (!path_ready(err, err_size)) return -1;
    // A graph file that is a symbolic link (into a synced folder, say) stays
    // one: the file it finally names is replaced, through a temporary file
    // beside that file.
    char target[sizeof g_path];
    if (graph_write_target(target, sizeof target) != 0) {
        set_err(err, err_size, g_data_err);
        return -1;
    }
    // A file without a write permission bit is not to be replaced, though
    // the rename would ignore its mode, and the superuser its bits.
    if (!plat_file_writable(target)) {
        set_err(err, err_size, "cannot replace the graph file");
        return -1;
    }
    unsigned mode = 0;
    int keep_mode = plat_file_mode(target, &mode);
    char tmp[sizeof g_path + 48];
    graph_temp_path(target, tmp, sizeof tmp);
    // Made new, never through a link planted at its name: the name may be
    // taken only by a temporary file a dead writer of this process's id
    // left, which goes; anything else fails the save.
    int taken = 0;
    void *f = plat_create_new(tmp, &taken);
    if (!f && taken && plat_is_own_file(tmp) && plat_unlink(tmp) == 0)
        f = plat_create_new(tmp, &taken);
    if (!f) {
        if (err && err_size) snprintf(err, err_size, "cannot create a temp file beside %s", g_path);
        return -1;
    }
    if (fill(f, ctx, err, err_size) != 0) {
        plat_stream_close(f);
        plat_unlink(tmp);
        return -1;
    }
    // The data must be on disk before the rename makes it the graph file.
    int flushed = plat_sync_stream(f) == 0;
    plat_file_id mine;
    int known = plat_stream_identity(f, &mine) == 1;
    if (plat_stream_close(f) != 0) flushed = 0;
    if (!flushed) {
        plat_unlink(tmp);
        set_err(err, err_size, "cannot flush the graph to disk");
        return -1;
    }
    if (keep_mode) plat_chmod(tmp, mode);
    // A reader of another process may hold the graph file for the moment
    // of its read, which on Windows stops the move: waited for as the lock
    // is, every 10 ms until the time-out has passed.
    int moved = plat_replace(tmp, target);
    for (int waited = 0; moved == -2 && waited < lock_timeout_ms(); waited += 10) {
        plat_sleep_ms(10);
        moved = plat_replace(tmp, target);
    }
    if (moved != 0) {
        plat_unlink(tmp);
        // Still held at the end of the wait: the graph was busy, as for a
        // writer that cannot have the lock, and nothing is broken.
        set_err(err, err_size, moved == -2 ? GRAPH_BUSY : "cannot replace the graph file");
        return -1;
    }
    // The graph file is the one just written while it is the same file with
    // the same contents; the mode and the rename changed only its status time.
    plat_file_id now;
    if (!known || plat_file_identity(g_path, &now) != 1 || now.dev != mine.dev ||
        now.ino != mine.ino || now.size != mine.size || now.mtime_ns != mine.mtime_ns)
        return 0;
    if (written) *written = now;
    return 1;
}

// The whole text of a write_over.
struct text_piece {
    const char *text;
    size_t len;
};

static int put_text(void *f, void *ctx, char *err, size_t err_size) {
    const text_piece *t = (const text_piece *)ctx;
    if (t->len > 0 && plat_stream_put(f, t->text, t->len) != 0) {
        set_err(err, err_size, "the graph is too large to write");
        return -1;
    }
    return 0;
}

int write_over(const char *text, size_t len, char *err, size_t err_size) {
    text_piece t = {text, len};
    return replace_with(put_text, &t, nullptr, err, err_size) < 0 ? -1 : 0;
}

