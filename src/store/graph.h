/* graph.h - the store's model: entities, relations and kept unreadable
 * lines as one plain value (a graph), the lookups a read makes and the edit
 * functions a change makes, under the configured limits; and the store's
 * one way to fail. A graph knows nothing of the graph file, the lock or the
 * kept graph: the process-wide graph is handed out by store/txn.h.
 *
 * It includes the base layer's headers, which every user of the store also
 * uses. */
#ifndef PLUGIN_MEMORY_STORE_GRAPH_H
#define PLUGIN_MEMORY_STORE_GRAPH_H

#include <stddef.h>
#include <stdint.h>

#include <yyjson.h>

#include "base/buf.h"
#include "base/check.h"
#include "base/connector.h"
#include "base/env.h"
#include "base/hash.h"
#include "base/mem.h"
#include "base/text.h"

/*==============================================================================
 * One way to fail
 *============================================================================*/

/* What a store operation gives back: STORE_OK (0), or why it failed. Every
 * operation of the store that can fail returns one of these and nothing
 * else; store_message words it. The texts are the ones callers print, byte
 * for byte. */
enum store_rc : int32_t {
    STORE_OK = 0,
    STORE_OOM,            /* "out of memory" */
    /* The graph file's location (the environment, resolved once) */
    STORE_PATH_TOO_LONG,  /* "the path of the graph file is longer than 1023 bytes" */
    STORE_NO_DATA_DIR,    /* "cannot create the connector data directory" */
    STORE_PATH_DOTDOT,    /* "MEMORY_FILE_PATH may not contain '..'" */
    STORE_PATH_BARE,      /* "MEMORY_FILE_PATH must name a file, not a bare name" */
    STORE_NO_FILE_DIR,    /* "cannot create the directory for MEMORY_FILE_PATH" */
    STORE_LINKS,          /* "cannot follow the links from <graph path> to the graph file" */
    /* The writer's lock and the files beside the graph file */
    STORE_BUSY,           /* "the graph is busy; try again": another writer kept
                             the lock past the wait, or (Windows) readers of
                             other processes kept the graph file open all the
                             while its replacement was tried */
    STORE_LOCK_NOT_FILE,  /* "the lock file <lock path> is not a regular file" */
    STORE_BREAK_NOT_FILE, /* the same, naming "<lock path>.break" */
    STORE_NO_ROOM,        /* "cannot create a temp file beside <graph path>":
                             no file can be made beside it (no room, no
                             permission, its name taken) */
    /* Reads of the graph file */
    STORE_UNREADABLE,     /* "cannot read the graph file (permission, or larger
                             than 24 MB)": a load */
    STORE_READ,           /* "cannot read the graph file": the file's size or
                             bytes, for an export or the statistics */
    /* Saves */
    STORE_CUT,            /* the refusal of a save while the load left part of
                             the file out, naming the limits (CUT_* below) */
    STORE_TOO_LARGE,      /* "the graph would be larger than 24 MB; delete
                             something first" */
    STORE_SAVE_OOM,       /* "out of memory while writing the graph" */
    STORE_WRITE,          /* "cannot write the graph to disk": a write into the
                             new file failed (a full disk, an I/O error) */
    STORE_FLUSH,          /* "cannot flush the graph to disk" */
    STORE_REPLACE,        /* "cannot replace the graph file" */
    STORE_CHANGED,        /* "the file was changed by another program": the file
                             a save copies lines from changed under it */
    STORE_COPY_DIFFERS,   /* "a copied line differs from its formatted text"
                             (tests only: g_check_copies) */
    /* Transactions */
    STORE_NOT_OPEN,       /* "cannot write the graph file": a commit of a
                             transaction that is not open */
    STORE_DOOMED,         /* "a change within this one failed; nothing was saved" */
    /* Edits */
    STORE_ENTITY_LIMIT,   /* "The graph is at its entity limit; delete entities
                             before adding more." */
    STORE_ENTITY_FIELDS,  /* "An entity needs a non-empty name and entityType
                             (each at most 1024 characters)." */
    STORE_RELATION_LIMIT, /* "The graph is at its relation limit; delete
                             relations before adding more." */
    STORE_RELATION_FIELDS,/* "A relation needs non-empty from, to and
                             relationType fields." */
    STORE_OBS_LIMIT,      /* "the entity holds MEMORY_MAX_OBS (N) observations
                             already" */
};

/* Bytes that hold every message of store_message, the terminator included:
 * the longest ones name a path beside the graph file (checked where they are
 * written, store/message.cpp). */
#define STORE_MESSAGE_CAP 1152

/* Writes the message of rc into out (cap bytes, always terminated; cut on a
 * whole UTF-8 character when it does not fit) and returns out. The one place
 * where the store's failures are worded: a message that names details (a
 * path, the limits a refused save names) takes them from the store as it is
 * now, so it is asked for right after the operation that failed. STORE_OK
 * gives "". out must not be null unless cap is 0 (then "" is returned). */
const char *store_message(store_rc rc, char *out, size_t cap);

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
                                 an entity is changed only through the edit
                                 functions below, which clear this */
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

struct graph;

/* What an edit did to a graph, as its watcher hears it (graph.watch). */
enum graph_change : uint32_t {
    CHANGE_ENT_ADDED = 1,     /* entity number at was appended */
    CHANGE_OBS_ADDED,         /* an observation was appended to entity number at */
    CHANGE_OBS_REMOVED,       /* observations of entity number at went */
    CHANGE_ENTS_REMOVED,      /* entities went; the numbers of the rest moved */
    CHANGE_REL_ADDED,         /* relation number at was appended */
    CHANGE_RELS_REMOVED,      /* relations went; the numbers of the rest moved */
    CHANGE_CLEARED,           /* everything is about to go (graph_clear) */
};

/* The whole graph: three growable arrays with counts and capacities. A
 * record whose fields are all zero is an empty graph. */
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
    char *texts;              /* the block a load read the file into, which
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
    void (*watch)(const graph *g, graph_change what, uint64_t at);
                              /* called after every edit of the functions
                                 below, and by graph_clear before it frees
                                 anything, so that what is derived from the
                                 graph (the kept graph's indexes) keeps in step
                                 or is dropped; null: nobody watches. Set by
                                 the owner of the graph; graph_clear keeps it */
};

/* What a load left out of the graph, by limit (bits of graph.cut). A save
 * never writes away what the file holds: while CUT_OBS or CUT_BAD is set,
 * a save is refused (STORE_CUT), naming the limits. */
enum : uint32_t {
    CUT_ENTITIES = 1,   /* entity lines past MEMORY_MAX_ENTITIES, kept as lines */
    CUT_RELATIONS = 2,  /* relation lines past MEMORY_MAX_RELATIONS, kept as lines */
    CUT_OBS = 4,        /* observations past MEMORY_MAX_OBS (or the 2000 examined) */
    CUT_BAD = 8,        /* unreadable lines past MEMORY_MAX_BAD, not kept */
};

/* Limits, read from the environment at every check (a load reads them once:
 * store_internal.h, limits_hold). Each is clamped to its range. */
int limit_max_entities(void); /* MEMORY_MAX_ENTITIES, default 20000 */
int limit_max_obs(void);      /* MEMORY_MAX_OBS, default 2000 */
int limit_max_relations(void);/* MEMORY_MAX_RELATIONS, default 40000 */
int limit_max_bad(void);      /* MEMORY_MAX_BAD, default 5000 */

/* Frees everything g owns and empties it; it can be refilled afterwards.
 * Its watch is told first and stays. */
void graph_clear(graph *g);
/* Releases one text of g (a name, type, relation field, observation or kept
 * line): frees it when it is a heap copy of its own, leaves it when it lies in
 * g's block of loaded texts (it goes with the block). Null does nothing;
 * never fails. */
void graph_text_free(const graph *g, char *text);

/*==============================================================================
 * Lookups
 *============================================================================*/

/* First entity whose name equals name byte for byte, or null. The entity
 * of a graph being changed is changed only through the edit functions. */
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
 * Returns STORE_OK when it is in use, STORE_OOM when memory for it ran out
 * (the lookups then walk the entities). */
store_rc graph_index_names(const graph *g);

/*==============================================================================
 * Edits
 *============================================================================*/

/* Each edit tells g's watch what it did once it is done. */

/* Appends a copy of an entity (at most limit_max_obs() observations; a null
 * entry is stored as ""). Returns STORE_OK, or STORE_ENTITY_LIMIT (checked
 * first: a full graph says so even for invalid input), STORE_ENTITY_FIELDS
 * or STORE_OOM with g unchanged. */
store_rc ent_add(graph *g, const char *name, const char *entity_type, char *const *obs,
                 uint64_t count);
/* Appends a copy of a relation. Returns STORE_OK, or STORE_RELATION_LIMIT,
 * STORE_RELATION_FIELDS or STORE_OOM with g unchanged. */
store_rc rel_add(graph *g, const char *from, const char *to, const char *relation_type);
/* Appends a copy of text (null as "") to e's observations, e being an
 * entity of g (its line is written anew by the next save). Returns
 * STORE_OK, or STORE_OBS_LIMIT or STORE_OOM with e unchanged. */
store_rc obs_push(graph *g, ent *e, const char *text);
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

/*==============================================================================
 * Texts from JSON
 *============================================================================*/

/* Copies the strings (at most OBS_TEXT_MAX bytes each, none holding U+0000)
 * among the first max elements of the JSON array v into a new array.
 * Non-arrays give no texts. Returns STORE_OK, or STORE_OOM when the slot
 * array cannot be allocated. The caller frees the array and its texts (see
 * str_arr_free). */
store_rc str_arr_from(yyjson_val *v, char ***out, size_t *out_count, size_t max);
/* Frees an array made by str_arr_from. */
void str_arr_free(char **arr, size_t count);

#endif
