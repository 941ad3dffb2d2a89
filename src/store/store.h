/* store.h - the graph store: the in-memory graph, the graph file with its
 * atomic saves and writer's lock, and the storage location. It includes the
 * base layer's headers, which every user of the store also uses. */
#ifndef PLUGIN_MEMORY_STORE_H
#define PLUGIN_MEMORY_STORE_H

#include <stddef.h>
#include <stdint.h>

#include <yyjson.h>

#include "base/buf.h"
#include "base/connector.h"
#include "base/env.h"
#include "base/hash.h"
#include "base/mem.h"
#include "base/text.h"

/*==============================================================================
 * Graph model
 *============================================================================*/

#define FIELD_MAX 1024        /* longest name, type or relation field */

/* One entity. */
struct ent {
    char *name;               /* owned, 1..FIELD_MAX bytes */
    char *entity_type;        /* owned, 1..FIELD_MAX bytes */
    char **obs;               /* owned texts, exactly obs_count slots; null when none */
    uint64_t obs_count;       /* number of observations */
    uint32_t line_at;         /* where the entity's line starts in the file of
                                 the last save, plus one; 0 when not known (it
                                 was loaded, added or changed since). The next
                                 save copies a known line from that file (the
                                 rules of the kept graph, store/kept.cpp), so
                                 an entity is changed only through the store's
                                 edit functions, which clear this */
    uint32_t line_len;        /* the bytes of that line, its line feed included */
};

/* One directed, typed relation. */
struct rel {
    char *from;               /* owned name of the source entity */
    char *to;                 /* owned name of the target entity */
    char *relation_type;      /* owned relation type */
    uint32_t line_at;         /* as ent.line_at: the place of the relation's
                                 line in the file of the last save, plus one,
                                 or 0; relations are never changed in place */
    uint32_t line_len;        /* the bytes of that line, its line feed included */
};

/* The whole graph: three growable arrays with counts and capacities. */
struct graph {
    ent *ents;                /* entities in the order added */
    uint64_t ent_count;       /* entities in use */
    uint64_t ent_cap;         /* slots allocated (32, then doubling) */
    rel *rels;                /* relations in the order added */
    uint64_t rel_count;       /* relations in use */
    uint64_t rel_cap;         /* slots allocated (64, then doubling) */
    char **bad;               /* unreadable file lines, verbatim; an entry may be null */
    uint64_t bad_count;       /* lines kept */
    uint64_t bad_cap;         /* slots allocated (16, then doubling) */
    char *texts;              /* the block graph_load read the file into, which
                                 then holds the texts it took from the file, or
                                 null; a text inside it is released with the
                                 block, never on its own: free single texts of a
                                 graph with graph_text_free */
    uint64_t texts_size;      /* bytes allocated at texts; 0 while texts is null */
    uint32_t cut;             /* what the load of the file had to leave out of
                                 the graph, by the limit that made it (CUT_*
                                 bits); 0 for a graph built by the tools */
    mutable hash_index names; /* the name index: entity numbers under the
                                 str_hash of their names. It holds entities
                                 0 .. names.count - 1 and is in use while
                                 names.count equals ent_count; the first
                                 lookup after a load or a removal builds it,
                                 and ent_add keeps it up to date */
    mutable uint32_t name_walks; /* lookups answered by walking the entities
                                 while the index was not in use: the first
                                 few walk (cheaper than building it for one
                                 or two names), later ones build it */
};

/* What a load left out of the graph, by limit (bits of graph.cut). A save
 * never writes away what the file holds: while CUT_OBS or CUT_BAD is set,
 * graph_save refuses, naming the limits. */
enum : uint32_t {
    CUT_ENTITIES = 1,   /* entity lines past MEMORY_MAX_ENTITIES, kept as lines */
    CUT_RELATIONS = 2,  /* relation lines past MEMORY_MAX_RELATIONS, kept as lines */
    CUT_OBS = 4,        /* observations past MEMORY_MAX_OBS (or the 2000 examined) */
    CUT_BAD = 8,        /* unreadable lines past MEMORY_MAX_BAD, not kept */
};

/* The process-wide graph. A long-lived process keeps it between calls while
 * the graph file is unchanged (see graph_load). Only the store's file code
 * names it: everything else is handed the graph by graph_open or
 * graph_begin. */
extern graph G;

/* Limits, read from the environment at every check. */
int limit_max_entities(void); /* MEMORY_MAX_ENTITIES, default 20000 */
int limit_max_obs(void);      /* MEMORY_MAX_OBS, default 2000 */
int limit_max_relations(void);/* MEMORY_MAX_RELATIONS, default 40000 */
int limit_max_bad(void);      /* MEMORY_MAX_BAD, default 5000 */

/* Frees everything g owns and zeroes it; it can be refilled afterwards.
 * Clearing G also stops keeping it (graph_forget). */
void graph_clear(graph *g);
/* Releases one text of g (a name, type, relation field, observation or kept
 * line): frees it when it is a heap copy of its own, leaves it when it lies in
 * g's block of loaded texts (it goes with the block). Null does nothing;
 * never fails. */
void graph_text_free(const graph *g, char *text);
/* First entity whose name equals name byte for byte, or null. The entity
 * of a graph being changed is changed only through the functions below. */
ent *ent_find(graph *g, const char *name);
const ent *ent_find(const graph *g, const char *name);
/* Walk over the entities of one name, in the graph's order. */
struct name_walk {
    const char *name;         /* the name sought (len bytes, not terminated) */
    size_t len;
    hash_walk hw;             /* the walk of the name index */
    uint64_t next;            /* next entity number, when walking without it */
    int32_t linear;           /* 1 when the index could not be built */
};
/* Starts a walk over the entities of g named by the len bytes at name (a
 * name holding a zero byte names no entity). Builds g's name index when it
 * is not in use; without memory for it, the walk looks at every entity.
 * name must stay valid and g unchanged while the walk is used. */
void name_walk_start(const graph *g, const char *name, size_t len, name_walk *w);
/* Number of the next entity of the walk, or -1 at the end. */
int64_t name_walk_next(const graph *g, name_walk *w);
/* As name_walk_start for the zero-terminated name (not null). */
void name_walk_start_str(const graph *g, const char *name, name_walk *w);
/* Number of the first entity named by the len bytes at name, or -1. */
int64_t ent_lookup(const graph *g, const char *name, size_t len);
/* Builds g's name index now, for a caller about to make many lookups.
 * Returns 1 when it is in use, 0 when memory for it ran out. */
int graph_index_names(const graph *g);
/* Appends a copy of an entity (at most limit_max_obs() observations; a null
 * entry is stored as ""). Returns 0, or -1 with the reason in err (may be
 * null) and g unchanged. */
int ent_add(graph *g, const char *name, const char *entity_type, char *const *obs,
            uint64_t count, char *err, size_t err_size);
/* Appends a copy of a relation. Returns 0, or -1 with the reason in err and g
 * unchanged. */
int rel_add(graph *g, const char *from, const char *to, const char *relation_type,
            char *err, size_t err_size);
/* Appends a copy of text (null as "") to e's observations (its line is
 * written anew by the next save). Returns 1, or 0 when e is at its
 * observation limit or memory runs out (e unchanged). */
int obs_push(ent *e, const char *text);
/* Removes from e, an entity of g, every observation equal to the len bytes
 * at text, keeping the order of the rest and the observation array exactly
 * as long as it is. Returns how many went; never fails. */
uint64_t obs_remove(graph *g, ent *e, const char *text, size_t len);
/* Removes the entities whose byte in marks (one per entity, ent_count of
 * them) is not zero, keeping the order of the rest; their texts are
 * released. The name index is rebuilt on its next use. Never fails. */
void ents_remove_marked(graph *g, const unsigned char *marks);
/* Removes the relations for which match(r, ctx) returns non-zero, keeping
 * the order of the rest; their texts are released. Returns how many went;
 * never fails. */
uint64_t rels_remove_matching(graph *g, int (*match)(const rel *r, void *ctx), void *ctx);
/* Keeps a copy of an unreadable line, up to limit_max_bad(); otherwise drops
 * it silently. */
void bad_add(graph *g, const char *line);
/* Copies the strings (at most OBS_TEXT_MAX bytes each, none holding U+0000)
 * among the first max elements of the JSON array v into a new array. Non-arrays give no texts.
 * Returns 0, or -1 when the slot array cannot be allocated. The caller frees
 * the array and its texts (see str_arr_free). */
int str_arr_from(yyjson_val *v, char ***out, size_t *out_count, size_t max);
/* Frees an array made by str_arr_from. */
void str_arr_free(char **arr, size_t count);

/*==============================================================================
 * Relations by entity, on the kept graph
 *============================================================================*/

/* For each entity of G, the relations whose from or to is its name, so that
 * reading a few entities of a kept graph costs time in the size of the
 * answer. Built on first use in a call that reused the kept graph (a single
 * call scans the relations instead, which costs less than building), and
 * dropped whenever G may change. */

/* 1 when the index describes g and may be used (building it now when g is
 * G and the last graph_load reused the kept graph); 0 when the caller must
 * scan: another graph, G just read or being changed, or memory ran out. */
int rels_by_entity_ready(const graph *g);
/* The numbers of the relations of g whose from or to is the name of entity
 * number entity, ascending, each once (*list is null when *count is 0).
 * Only while rels_by_entity_ready(g) is 1. */
void rels_of_entity(const graph *g, uint64_t entity, const uint32_t **list, uint64_t *count);
/* Drops the index. Never fails. */
void rels_by_entity_drop(void);

/*==============================================================================
 * Graph file and persistence
 *============================================================================*/

/* Loads the graph file for a read, without the writer's lock. Returns the
 * graph, read-only (a change goes through graph_begin), or null with the
 * reason in g_data_err. */
const graph *graph_open(void);

/* One change of the graph file, all or nothing. graph_begin takes the
 * writer's lock and loads the graph; the caller decides and edits it with
 * the store's functions; graph_commit saves it whole and releases the lock;
 * graph_abort releases the lock and forgets the in-memory graph. A change
 * that fails midway is aborted, so an edited graph that was not saved never
 * outlives its transaction; a transaction still open when its scope ends is
 * aborted. After a commit the graph stays as it was written: it equals the
 * file.
 *
 * A transaction begun while another is open joins it: it gets the same
 * graph with the edits made so far, and its commit saves nothing (the
 * outermost one saves them all). Aborting a joined transaction dooms the
 * outer one: its commit then fails, saving nothing. So several changes, each
 * made by code that opens its own transaction, are saved together or not
 * at all. */
struct graph_txn;
void graph_abort(graph_txn *t);
struct graph_txn {
    graph *g = nullptr;       /* the graph being changed while open; null
                                 once committed or aborted */
    int32_t joined = 0;       /* 1 while open inside another transaction */
    graph_txn() = default;
    graph_txn(const graph_txn &) = delete;
    graph_txn &operator=(const graph_txn &) = delete;
    ~graph_txn() {
        if (g) graph_abort(this);
    }
};
/* Opens t (which must not be open). Returns the graph to change, or null
 * with the reason in err and t not open: the storage message when the path
 * cannot be resolved, the lock file cannot be made or the file cannot be
 * read; "the graph is busy; try again" when another writer keeps the lock
 * past the wait. */
graph *graph_begin(graph_txn *t, char *err, size_t err_size);
/* The answer of a change that could not have the graph in time: another
 * writer kept the lock, or (Windows) readers of other processes kept the
 * graph file open all the while its replacement was tried. */
extern const char GRAPH_BUSY[];
/* Saves t's graph as the whole graph file and closes t. Returns 0, or -1
 * with the reason in err ("cannot write the graph file" when the save gave
 * none); the file is then unchanged and the graph forgotten as by
 * graph_abort. A joined t is closed without saving: 0, or -1 with "a change
 * within this one failed; nothing was saved" when a transaction joined to
 * the same outer one was aborted. An outer t that was doomed so fails with
 * that message, saving nothing and forgetting the graph. */
int graph_commit(graph_txn *t, char *err, size_t err_size);
/* graph_abort (declared above): closes t without saving, releasing the lock
 * and clearing the graph; a joined t only dooms the outer one. Does nothing
 * for a t that is not open. */

/* Text of the last storage failure, always terminated. */
extern char g_data_err[256];

/* Makes G the graph of the file as it is now. G is kept from the last load
 * or save while it provably is the graph of the file (the numbered rules at
 * the top of store/kept.cpp: the file's identity, and while the file's times
 * lie within its clock's granularity, the fingerprint of its bytes);
 * otherwise G is cleared and rebuilt from the file. Returns 0 (an absent
 * file gives an empty G), or -1 with G empty and the reason in g_data_err. */
int graph_load(void);
/* 1 when the last graph_load reused the kept G instead of reading the file. */
extern int g_graph_reused;
/* Stops keeping G: the next graph_load reads the file again. G itself stays
 * as it is until then (results may still point into it). Called before G is
 * edited; a successful graph_save keeps it again. Never fails. */
void graph_forget(void);
/* Writes G as the whole graph file, atomically and durably. Returns 0, or -1
 * with the reason in err and the file unchanged. On success G is kept as the
 * graph of the file just written (unless it holds unreadable lines, which a
 * load might read otherwise); on failure it is forgotten. Refused while the
 * load of G left part of the file out (see CUT_OBS and CUT_BAD), with a
 * message naming the limits and saying that nothing was changed.
 *
 * The new file holds exactly what graph_format writes. The lines of
 * entities and relations that no edit touched since the last save of this
 * process are copied from the file that save wrote, while it provably is
 * the graph file as it was written (store/kept.cpp, rule 5; otherwise the
 * save fails, saying the file was changed by another program); the others
 * are formatted, a block at a time, so a save never holds the whole text in
 * memory. */
int graph_save(char *err, size_t err_size);
/* Appends the file text of g (entities, relations, kept lines) to b. */
void graph_format(const graph *g, buf *b);

/* Writer's lock: the file "<graph path>.lock" beside the graph file. Takes
 * the lock, waiting up to MEMORY_LOCK_TIMEOUT_MS and removing a lock
 * file older than MEMORY_LOCK_STALE_MS. Returns 0, or -1 when it cannot be
 * had in time (or the path cannot be resolved); when the lock file cannot be
 * created at all (no room, no permission) it fails at once with the storage
 * message in g_data_err. */
int graph_lock(void);
/* Keeps a held lock visibly fresh for writers that can tell its holder
 * only by the lock's age (another machine, another process table): touches
 * the lock file when half a second has passed since it was taken or last
 * touched. Cheap (a clock read) otherwise, so a long change calls it per
 * item. Does nothing while the lock is not held; never fails. */
void graph_lock_fresh(void);
/* Releases the lock if held. */
void graph_unlock(void);
/* The time a writer waits for the lock, and a reader or a save for a graph
 * file that another process holds (Windows), in ms: MEMORY_LOCK_TIMEOUT_MS,
 * 0 to 30000, 2000 when unset. */
int lock_timeout_ms(void);
/* Opens the file at path for reading as plat_open_read does, waiting up to
 * lock_timeout_ms while it is busy (held by another process in the middle of
 * replacing it; only on Windows). Returns the descriptor with *id, or -1. */
int graph_open_read(const char *path, struct plat_file_id *id);

/*==============================================================================
 * Storage location
 *============================================================================*/

/* Bytes of the graph file's path buffer, the terminator included: a path
 * that does not fit is refused, never cut. The lock file, temporary files
 * and their scans add at most 32 bytes to it in buffers of their own. */
#define GRAPH_PATH_CAP 1024

extern char g_path[GRAPH_PATH_CAP]; /* resolved path of the graph file */
extern int g_path_resolved;     /* 1 once g_path is resolved, for the process */

/* Resolves g_path once per process. Returns 1, or 0 with the reason in
 * g_data_err (the next call tries again); a path longer than
 * GRAPH_PATH_CAP - 1 bytes fails with "the path of the graph file is longer
 * than 1023 bytes". */
int ensure_path(void);
/* g_path once resolved, otherwise "" (never null). */
const char *graph_path(void);
/* File size and existence of the graph file (outputs may be null). Returns 0
 * when the path is known and the file is there or certainly not there; -1
 * when the path cannot be resolved or what is there cannot be examined (a
 * directory, a failing disk). */
int graph_path_info(int64_t *size, int *exists);
/* Forgets the resolved path (tests only: the process normally resolves once). */
void store_reset_path(void);

#endif
