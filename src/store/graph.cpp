// graph.cpp - the model: a graph of entities, relations and kept unreadable
// lines as a plain value, its lookups, and the edits that change it under
// the configured limits, each told to the graph's watch. It knows nothing
// of the graph file, the lock or the kept graph.
#include <cstdlib>
#include <cstring>

#include "graph_internal.h"

// The limits as read by limits_hold, served instead of the environment
// while a load holds them.
static int g_limits_held;
static int g_held_ents, g_held_obs, g_held_rels, g_held_bad;

// The defaults are the sizes the program is built and measured for (a
// graph of 20,000 entities and 40,000 relations loads in tens of
// milliseconds; bench/); the ceilings keep every count, and a file of as
// many lines, far inside what the 32-bit line places and relation numbers
// of the kept graph hold. The observations and unreadable lines of a
// single file are bounded by its size in any case (GRAPH_READ_MAX).
static int read_max_entities(void) { return env_int("MEMORY_MAX_ENTITIES", 20000, 1, 2000000); }
static int read_max_obs(void) { return env_int("MEMORY_MAX_OBS", 2000, 1, 200000); }
static int read_max_relations(void) { return env_int("MEMORY_MAX_RELATIONS", 40000, 1, 4000000); }
static int read_max_bad(void) { return env_int("MEMORY_MAX_BAD", 5000, 1, 200000); }

int limit_max_entities(void) { return g_limits_held ? g_held_ents : read_max_entities(); }
int limit_max_obs(void) { return g_limits_held ? g_held_obs : read_max_obs(); }
int limit_max_relations(void) { return g_limits_held ? g_held_rels : read_max_relations(); }
int limit_max_bad(void) { return g_limits_held ? g_held_bad : read_max_bad(); }

void limits_hold(void) {
    g_held_ents = read_max_entities();
    g_held_obs = read_max_obs();
    g_held_rels = read_max_relations();
    g_held_bad = read_max_bad();
    g_limits_held = 1;
}

void limits_release(void) { g_limits_held = 0; }

// A name, type or relation field: present, non-empty, at most FIELD_MAX bytes.
static int field_ok(const char *s) {
    if (!s || !*s) return 0;
    return strnlen(s, FIELD_MAX + 1) <= FIELD_MAX;
}

// The bytes of a field given as a string value of a loaded line when it is
// one field_ok takes; 0 otherwise.
static size_t loaded_field(yyjson_val *v) {
    size_t n = yyjson_get_len(v);
    return n <= FIELD_MAX ? n : 0;
}

// The first slots of the three arrays: a small graph takes one allocation
// of each (about two relations per entity, and unreadable lines are rare),
// and doubling from there keeps an append amortised constant.
static const uint64_t FIRST_ENTS = 32, FIRST_RELS = 64, FIRST_BAD = 16;

// Makes room for one more element in an array that starts at `first` slots
// and doubles. False, with the array untouched, when it cannot grow.
static bool grow(void **arr, uint64_t count, uint64_t *cap, uint64_t first, size_t elem) {
    if (count < *cap) return true;
    uint64_t ncap = *cap ? *cap * 2 : first;
    if (ncap > SIZE_MAX / elem) return false;
    void *p = mem_realloc(*arr, (size_t)(ncap * elem));
    if (!p) return false;
    *arr = p;
    *cap = ncap;
    return true;
}

static void free_texts(char **arr, uint64_t count) {
    if (!arr) return;
    for (uint64_t i = 0; i < count; i++) mem_free(arr[i]);
    mem_free(arr);
}

// 1 when s lies in g's block of loaded texts.
static inline int in_block(const graph *g, const char *s) {
    return (uintptr_t)s - (uintptr_t)g->texts < g->texts_size;
}

void graph_text_free(const graph *g, char *text) {
    if (!in_block(g, text)) mem_free(text);
}

// Releases an array of texts of g and the array itself.
static void free_graph_texts(const graph *g, char **arr, uint64_t count) {
    if (!arr) return;
    for (uint64_t i = 0; i < count; i++) graph_text_free(g, arr[i]);
    mem_free(arr);
}

// Tells g's watch what an edit did.
static inline void told(const graph *g, graph_change what, uint64_t at) {
    if (g->watch) g->watch(g, what, at);
}

void graph_clear(graph *g) {
    told(g, CHANGE_CLEARED, 0);
    void (*watch)(const graph *, graph_change, uint64_t) = g->watch;
    for (uint64_t i = 0; i < g->ent_count; i++) {
        ent *e = &g->ents[i];
        graph_text_free(g, e->name);
        graph_text_free(g, e->entity_type);
        free_graph_texts(g, e->obs, e->obs_count);
    }
    mem_free(g->ents);
    for (uint64_t i = 0; i < g->rel_count; i++) {
        rel *r = &g->rels[i];
        graph_text_free(g, r->from);
        graph_text_free(g, r->to);
        graph_text_free(g, r->relation_type);
    }
    mem_free(g->rels);
    free_graph_texts(g, g->bad, g->bad_count);
    mem_free(g->texts);
    hash_index_free(&g->names);
    memset(g, 0, sizeof *g);
    g->watch = watch;
}

char *text_take(text_cursor *c, const char *s, size_t len) {
    char *p;
    if (c && c->next && (size_t)(c->end - c->next) > len) {
        p = c->next;
        c->next += len + 1;
    } else {
        p = (char *)mem_alloc(len + 1);
        if (!p) return nullptr;
    }
    memcpy(p, s, len);
    p[len] = 0;
    return p;
}

// 1 when the name of entity number i equals the len bytes at name.
static int name_is(const graph *g, uint64_t i, const char *name, size_t len) {
    const char *s = g->ents[i].name;
    return s && strncmp(s, name, len) == 0 && s[len] == 0;
}

// Brings the name index up to date by entering the entities it lacks (a
// cache of lookups: a read-only graph has it built too). True when it is in
// use, false when memory for it ran out (it is then empty and the lookups
// walk the entities).
static bool names_ready(const graph *g) {
    if (g->names.count > g->ent_count) hash_index_free(&g->names);
    if (!g->names.slot && g->ent_count) hash_index_reserve(&g->names, g->ent_count);
    while (g->names.count < g->ent_count) {
        uint64_t i = g->names.count;
        const char *s = g->ents[i].name;
        if (hash_index_add(&g->names, str_hash(s ? s : ""), i) != 0) {
            hash_index_free(&g->names);
            return false;
        }
    }
    return true;
}

// Lookups that walk the entities before the index is built: building it
// costs about as much as six walks.
static const uint32_t WALKS_BEFORE_INDEX = 4;

store_rc graph_index_names(const graph *g) { return names_ready(g) ? STORE_OK : STORE_OOM; }

// Starts w for the len bytes at name, whose hash is hash, with no zero byte.
static void walk_begin(const graph *g, const char *name, size_t len, size_t hash, name_walk *w) {
    w->name = name;
    w->len = len;
    w->next = 0;
    int in_use = g->names.count == g->ent_count && (g->names.slot || g->ent_count == 0);
    if (!in_use && g->name_walks < WALKS_BEFORE_INDEX) {
        g->name_walks++;
        w->linear = 1;
        return;
    }
    w->linear = !names_ready(g);
    if (!w->linear) hash_index_walk(&g->names, hash, &w->hw);
}

void name_walk_start(const graph *g, const char *name, size_t len, name_walk *w) {
    if (!name || memchr(name, 0, len)) {  // names no entity
        w->name = nullptr;
        w->linear = 1;
        return;
    }
    walk_begin(g, name, len, str_hash_n(name, len), w);
}

void name_walk_start_str(const graph *g, const char *name, name_walk *w) {
    size_t len;
    size_t hash = str_hash_len(name, &len);
    walk_begin(g, name, len, hash, w);
}

int64_t name_walk_next(const graph *g, name_walk *w) {
    if (!w->name) return -1;
    if (w->linear) {
        while (w->next < g->ent_count) {
            uint64_t i = w->next++;
            if (name_is(g, i, w->name, w->len)) return (int64_t)i;
        }
        return -1;
    }
    int64_t i;
    while ((i = hash_index_next(&g->names, &w->hw)) >= 0)
        if (name_is(g, (uint64_t)i, w->name, w->len)) return i;
    return -1;
}

int64_t ent_lookup(const graph *g, const char *name, size_t len) {
    name_walk w;
    name_walk_start(g, name, len, &w);
    return name_walk_next(g, &w);
}

ent *ent_find(graph *g, const char *name) {
    if (!name) return nullptr;
    int64_t i = ent_lookup(g, name, strlen(name));
    return i < 0 ? nullptr : &g->ents[i];
}

const ent *ent_find(const graph *g, const char *name) { return ent_find(const_cast<graph *>(g), name); }

// str_arr_from, keeping no more than `keep` texts and copying them through c
// (null: heap copies). The slot array is a heap block of its own.
// A string element that str_arr_take would copy; nul_free is 1 when the
// array's document is known to hold no U+0000 (a loaded line).
static int usable_text(yyjson_val *it, int nul_free) {
    if (!yyjson_is_str(it)) return 0;
    size_t len = yyjson_get_len(it);
    // A text holding U+0000 is never cut to the part before it.
    return len <= OBS_TEXT_MAX && (nul_free || !memchr(yyjson_get_str(it), 0, len));
}

// *more (may be null) is set to 1 when texts that would have been copied
// are left out for the keep or examine limits. A cursor c is given only for
// a loaded line, whose document holds no U+0000.
static store_rc str_arr_take(yyjson_val *v, char ***out, size_t *out_count, size_t examine,
                             size_t keep, text_cursor *c, int *more) {
    int nul_free = c != nullptr;
    *out = nullptr;
    *out_count = 0;
    if (more) *more = 0;
    if (!v || !yyjson_is_arr(v)) return STORE_OK;
    size_t k = yyjson_arr_size(v);
    if (k > examine) k = examine;
    if (k == 0) return STORE_OK;
    size_t slots = k < keep ? k : keep;
    char **arr = (char **)mem_alloc(slots * sizeof(char *));
    if (!arr) return STORE_OOM;
    size_t n = 0, i = 0;
    yyjson_val *it = yyjson_arr_get_first(v);
    for (; i < k && n < slots; i++, it = unsafe_yyjson_get_next(it)) {
        if (!usable_text(it, nul_free)) continue;
        char *copy = text_take(c, yyjson_get_str(it), yyjson_get_len(it));
        if (!copy) continue;
        arr[n++] = copy;
    }
    for (size_t total = yyjson_arr_size(v); more && i < total; i++, it = unsafe_yyjson_get_next(it))
        if (usable_text(it, nul_free)) {
            *more = 1;
            break;
        }
    *out = arr;
    *out_count = n;
    return STORE_OK;
}

// The checks that come before any copy: the entity limit first (a full graph
// reports it even for invalid input), then the two fields.
static store_rc ent_check(graph *g, const char *name, const char *entity_type) {
    if (g->ent_count >= (uint64_t)limit_max_entities()) return STORE_ENTITY_LIMIT;
    if (!field_ok(name) || !field_ok(entity_type)) return STORE_ENTITY_FIELDS;
    if (!grow((void **)&g->ents, g->ent_count, &g->ent_cap, FIRST_ENTS, sizeof(ent)))
        return STORE_OOM;
    return STORE_OK;
}

// Puts the finished texts into the next entity slot, which the caller has
// made room for; obs (count texts, owned from here on) is dropped when empty.
// A name index in use takes the new entity too (or is dropped, to be built
// again on the next lookup, when it cannot grow).
static void ent_place(graph *g, char *name, char *entity_type, char **obs, uint64_t count) {
    uint64_t i = g->ent_count++;
    ent *e = &g->ents[i];
    e->name = name;
    e->entity_type = entity_type;
    e->obs = count ? obs : nullptr;
    e->obs_count = count;
    e->line_at = 0;
    e->line_len = 0;
    if (!count) mem_free(obs);
    if (g->names.count == i && g->names.slot &&
        hash_index_add(&g->names, str_hash(name), i) != 0)
        hash_index_free(&g->names);
}

// Fills the next entity slot with copies of the two fields and the given
// observation array (owned from here on). On failure everything is freed.
static store_rc ent_fill(graph *g, const char *name, const char *entity_type, char **obs,
                         uint64_t count) {
    char *n = dup_or_null(name);
    char *t = dup_or_null(entity_type);
    if (!n || !t) {
        mem_free(n);
        mem_free(t);
        free_texts(obs, count);
        return STORE_OOM;
    }
    ent_place(g, n, t, obs, count);
    return STORE_OK;
}

store_rc ent_add(graph *g, const char *name, const char *entity_type, char *const *obs,
                 uint64_t count) {
    store_rc rc = ent_check(g, name, entity_type);
    if (rc != STORE_OK) return rc;
    uint64_t max = (uint64_t)limit_max_obs();
    if (count > max) count = max;
    char **copy = nullptr;
    if (count > 0) {
        copy = (char **)mem_alloc((size_t)count * sizeof(char *));
        if (!copy) return STORE_OOM;
        for (uint64_t i = 0; i < count; i++) {
            copy[i] = dup_or_null(obs && obs[i] ? obs[i] : "");
            if (!copy[i]) {
                free_texts(copy, i);
                return STORE_OOM;
            }
        }
    }
    rc = ent_fill(g, name, entity_type, copy, count);
    if (rc == STORE_OK) told(g, CHANGE_ENT_ADDED, g->ent_count - 1);
    return rc;
}

store_rc ent_add_loaded(graph *g, text_cursor *c, yyjson_val *name, yyjson_val *entity_type,
                        yyjson_val *obs, size_t examine) {
    size_t ln = loaded_field(name), lt = loaded_field(entity_type);
    if (g->ent_count >= (uint64_t)limit_max_entities()) return STORE_ENTITY_LIMIT;
    if (!ln || !lt) return STORE_ENTITY_FIELDS;
    if (!grow((void **)&g->ents, g->ent_count, &g->ent_cap, FIRST_ENTS, sizeof(ent)))
        return STORE_OOM;
    char *mark = c->next;
    char **arr;
    size_t count;
    int more;
    if (str_arr_take(obs, &arr, &count, examine, (size_t)limit_max_obs(), c, &more) != STORE_OK)
        return STORE_OOM;
    char *n = text_take(c, yyjson_get_str(name), ln);
    char *t = text_take(c, yyjson_get_str(entity_type), lt);
    if (!n || !t) {
        graph_text_free(g, n);
        graph_text_free(g, t);
        free_graph_texts(g, arr, count);
        c->next = mark;
        return STORE_OOM;
    }
    ent_place(g, n, t, arr, count);
    if (more) g->cut |= CUT_OBS;
    return STORE_OK;
}

// rel_add with the fields' lengths (0 for a field field_ok refuses),
// copying the texts through c (null: heap copies).
static store_rc rel_add_in(graph *g, text_cursor *c, const char *from, size_t lf, const char *to,
                           size_t lt, const char *relation_type, size_t lr) {
    if (g->rel_count >= (uint64_t)limit_max_relations()) return STORE_RELATION_LIMIT;
    if (!lf || !lt || !lr) return STORE_RELATION_FIELDS;
    if (!grow((void **)&g->rels, g->rel_count, &g->rel_cap, FIRST_RELS, sizeof(rel)))
        return STORE_OOM;
    char *mark = c ? c->next : nullptr;
    char *f = text_take(c, from, lf);
    char *t = text_take(c, to, lt);
    char *rt = text_take(c, relation_type, lr);
    if (!f || !t || !rt) {
        graph_text_free(g, f);
        graph_text_free(g, t);
        graph_text_free(g, rt);
        if (c) c->next = mark;
        return STORE_OOM;
    }
    rel *r = &g->rels[g->rel_count++];
    r->from = f;
    r->to = t;
    r->relation_type = rt;
    r->line_at = 0;
    r->line_len = 0;
    return STORE_OK;
}

// The length of a field field_ok takes, else 0.
static size_t field_len(const char *s) { return field_ok(s) ? strlen(s) : 0; }

store_rc rel_add(graph *g, const char *from, const char *to, const char *relation_type) {
    store_rc rc = rel_add_in(g, nullptr, from, field_len(from), to, field_len(to), relation_type,
                             field_len(relation_type));
    if (rc == STORE_OK) told(g, CHANGE_REL_ADDED, g->rel_count - 1);
    return rc;
}

store_rc rel_add_loaded(graph *g, text_cursor *c, yyjson_val *from, yyjson_val *to,
                        yyjson_val *relation_type) {
    return rel_add_in(g, c, yyjson_get_str(from), loaded_field(from), yyjson_get_str(to),
                      loaded_field(to), yyjson_get_str(relation_type), loaded_field(relation_type));
}

store_rc obs_push(graph *g, ent *e, const char *text) {
    PM_ASSERT(e >= g->ents && e < g->ents + g->ent_count);
    if (e->obs_count >= (uint64_t)limit_max_obs()) return STORE_OBS_LIMIT;
    char *copy = dup_or_null(text ? text : "");
    if (!copy) return STORE_OOM;
    char **p = (char **)mem_realloc(e->obs, (size_t)(e->obs_count + 1) * sizeof(char *));
    if (!p) {
        mem_free(copy);
        return STORE_OOM;
    }
    p[e->obs_count++] = copy;
    e->obs = p;
    e->line_at = 0;
    told(g, CHANGE_OBS_ADDED, (uint64_t)(e - g->ents));
    return STORE_OK;
}

uint64_t obs_remove(graph *g, ent *e, const char *text, size_t len) {
    PM_ASSERT(e >= g->ents && e < g->ents + g->ent_count);
    // A text holding a zero byte equals no stored text.
    if (!text || memchr(text, 0, len)) return 0;
    uint64_t keep = 0, removed = 0;
    for (uint64_t i = 0; i < e->obs_count; i++) {
        const char *o = e->obs[i];
        if (o && strncmp(o, text, len) == 0 && o[len] == 0) {
            graph_text_free(g, e->obs[i]);
            removed++;
        } else {
            e->obs[keep++] = e->obs[i];
        }
    }
    if (removed) {
        e->obs_count = keep;
        e->line_at = 0;
        // Keep the array exactly as long as the observations it holds.
        if (keep == 0) {
            mem_free(e->obs);
            e->obs = nullptr;
        } else {
            char **shrunk = (char **)mem_realloc(e->obs, sizeof(char *) * keep);
            if (shrunk) e->obs = shrunk;
        }
        told(g, CHANGE_OBS_REMOVED, (uint64_t)(e - g->ents));
    }
    return removed;
}

void ents_remove_marked(graph *g, const unsigned char *marks) {
    uint64_t keep = 0;
    for (uint64_t i = 0; i < g->ent_count; i++) {
        ent *e = &g->ents[i];
        if (marks[i]) {
            graph_text_free(g, e->name);
            graph_text_free(g, e->entity_type);
            free_graph_texts(g, e->obs, e->obs_count);
        } else {
            g->ents[keep++] = *e;
        }
    }
    uint64_t before = g->ent_count;
    g->ent_count = keep;
    if (keep != before) {  // the numbers moved
        hash_index_free(&g->names);
        g->name_walks = 0;
        told(g, CHANGE_ENTS_REMOVED, 0);
    }
}

uint64_t rels_remove_matching(graph *g, int (*match)(const rel *r, void *ctx), void *ctx) {
    uint64_t keep = 0, before = g->rel_count;
    for (uint64_t i = 0; i < g->rel_count; i++) {
        rel *r = &g->rels[i];
        if (match(r, ctx)) {
            graph_text_free(g, r->from);
            graph_text_free(g, r->to);
            graph_text_free(g, r->relation_type);
        } else {
            g->rels[keep++] = *r;
        }
    }
    g->rel_count = keep;
    if (keep != before) told(g, CHANGE_RELS_REMOVED, 0);
    return before - keep;
}

void bad_add(graph *g, const char *line) {
    if (g->bad_count >= (uint64_t)limit_max_bad()) {
        g->cut |= CUT_BAD;
        return;
    }
    if (!grow((void **)&g->bad, g->bad_count, &g->bad_cap, FIRST_BAD, sizeof(char *))) return;
    // An entry whose copy fails stays absent and is written as an empty line.
    g->bad[g->bad_count++] = dup_or_null(line ? line : "");
}

store_rc str_arr_from(yyjson_val *v, char ***out, size_t *out_count, size_t max) {
    return str_arr_take(v, out, out_count, max, SIZE_MAX, nullptr, nullptr);
}

void str_arr_free(char **arr, size_t count) { free_texts(arr, count); }
