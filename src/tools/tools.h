/* tools.h - the nine graph tools, their common result record, dispatch by
 * name, the two wrappings of a result and the tool catalogue. */
#ifndef PLUGIN_MEMORY_TOOLS_H
#define PLUGIN_MEMORY_TOOLS_H

#include <stddef.h>
#include <stdint.h>

#include <yyjson.h>

#include "store/txn.h"

/*==============================================================================
 * Result record and framework
 *============================================================================*/

/* How the MCP server takes the result of a call: handed to tool_dispatch,
 * so that a changing tool writes its MCP answer in that form, and makes room
 * for all of it, before it saves. */
struct tool_mcp_form {
    buf *reserve;          /* the response the result will be appended to;
                              may be null. Not owned */
    size_t tail;           /* bytes the server appends behind the result (the
                              members its revision adds and the line's end):
                              the room made in reserve covers them too */
    int32_t structured;    /* 1: the result carries structuredContent beside
                              its text (the revisions that have it) */
};

/* The result of one tool call. All fields zero when initialised. */
struct tool_out {
    yyjson_mut_doc *doc;   /* result document, created by tool_start; owned */
    yyjson_mut_val *root;  /* root object of doc; the result members go here */
    char *note;            /* optional remark shown only by the MCP wrapping; owned */
    char *err;             /* first error message; owned */
    int32_t failed;        /* 1 once any error was recorded */
    char *mcp_text;        /* the MCP result object of a changing tool, written
                              before its change was saved (change_commit);
                              owned; null for the other tools */
    char *api_text;        /* the API answer, likewise */
    const tool_mcp_form *mcp; /* given to tool_dispatch: how the MCP server
                              takes the result, or null (structuredContent
                              included, no room made). Not owned */
    uint64_t refusals;     /* mem_refusals() when the call began: any
                              allocation refused during the call makes it
                              fail with "out of memory" */
};

/* Zeroes every field. */
void tool_out_init(tool_out *out);
/* Creates the result document and its root object; records "out of memory"
 * on failure. Called only while out->doc is null. */
void tool_start(tool_out *out);
/* Records an error (printf format, cut to 767 bytes on a whole UTF-8
 * character); the first error's text is kept, every error sets failed. */
void tool_err(tool_out *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
/* Releases what the record owns and zeroes it; null is ignored. */
void tool_free(tool_out *out);
/* Value of the first member named key of the object args, or null. */
yyjson_val *arg_get(yyjson_val *args, const char *key);
/* Runs the tool called name on args with a zeroed out, whose mcp becomes
 * mcp (may be null). Returns 0 when such a tool exists (whatever its
 * outcome), -1 otherwise. A call during which an allocation was refused
 * fails with "out of memory", so that no answer ever misses a part; a
 * changing tool's change is then not saved. */
int tool_dispatch(const char *name, yyjson_val *args, tool_out *out,
                  const tool_mcp_form *mcp = nullptr);
/* Runs the tool function fn on args as tool_dispatch runs a named tool.
 * Never fails on its own. */
void tool_run(void (*fn)(yyjson_val *args, tool_out *out), yyjson_val *args, tool_out *out,
              const tool_mcp_form *mcp = nullptr);
/* Newly allocated copy of the catalogue text, or null. The caller frees it. */
char *tools_list_json(void);
/* The catalogue text itself and its length (embedded at build time). */
extern const char tool_catalogue[];
extern const size_t tool_catalogue_len;
/* Appends the MCP tool-result object for out to b (the caller's response
 * line, so a large result is written once, not copied into it), in the form
 * out->mcp asks for. When b runs
 * out of room, or the result cannot be written for want of memory, its
 * `dropped` flag says so and the caller answers otherwise. */
void tool_mcp_result(buf *b, const tool_out *out);
/* Newly allocated {"ok":...} API envelope for out, or null when memory ran
 * out. Caller frees. The text a changing tool wrote before saving is handed
 * over as it is (out no longer holds it), so the answer of a saved change
 * needs no memory. */
char *tool_api_result(tool_out *out);

/*==============================================================================
 * Read options and result objects
 *============================================================================*/

/* Read options of one call of a read tool. */
struct read_opt {
    int32_t has_obs_limit;  /* "observationLimit" was present */
    int32_t obs_limit;      /* observations shown per entity, 0..100000000 */
    int32_t has_types;      /* "entityTypes" was present */
    char **types;           /* owned copies of the wanted types */
    size_t ntypes;          /* number of texts in types */
    int32_t add_count;      /* add "observationCount" to entity objects */
    int32_t max_ents;       /* most entities in a result; 0 for no maximum */
};

void read_opt_init(read_opt *opt);
void read_opt_free_types(read_opt *opt);
/* Reads "observationLimit" and "entityTypes". Returns 0, or -1 when invalid. */
int parse_read_opts(yyjson_val *args, read_opt *opt);
/* New entity object in doc (strings by reference), or null. */
yyjson_mut_val *ent_to_mut(yyjson_mut_doc *doc, const ent *e, const read_opt *opt);
/* New relation object in doc (strings by reference), or null. */
yyjson_mut_val *rel_to_mut(yyjson_mut_doc *doc, const char *from, const char *to,
                           const char *relation_type);
/* Writes {"entities":[...],"relations":[...]} into out: the n entities of g
 * at ents, and every relation of g from or to a name one of them bears. May
 * build g's name index. */
void emit_with_relations(tool_out *out, const graph *g, const ent *const *ents, size_t n, const read_opt *opt);
/* 1 when all six texts are present and the two triples are equal. */
int rel_same_fields(const char *f1, const char *t1, const char *r1, const char *f2,
                    const char *t2, const char *r2);

/*==============================================================================
 * Import
 *============================================================================*/

/* What an import added and skipped, or why it changed nothing. */
struct import_tally {
    uint64_t ents_added, ents_skipped;  /* entity lines added; skipped (the
                                           graph held their names) */
    uint64_t obs_added, obs_skipped;    /* observations added; skipped (held) */
    uint64_t rels_added, rels_skipped;  /* relation lines added; skipped (held) */
    buf skipped_names;        /* the names of the skipped entities, as JSON
                                 string literals joined by ","; owned */
    char err[1024];           /* why nothing was imported ("line N: why" when a
                                 line is to blame), or "" */
    size_t err_line;          /* that line's number, from 1; 0 when none is */
};

/* Merges the len bytes at body, graph file lines (JSON Lines in the export's
 * format; blank lines, a carriage return before each line feed and a byte
 * order mark at the start are passed over), into the graph in one write
 * transaction: entity lines by the rules of create_entities (a name the
 * graph holds is skipped), then the observations of the skipped ones by
 * those of add_observations, then relation lines by those of
 * create_relations. All or nothing: the first line that is not valid JSON,
 * not an entity or a relation, whose observations the graph would not take
 * whole, or that its tool refuses (a limit among them), and a graph that
 * would not fit the file, change nothing. Once the import is decided,
 * answer(t, ctx) writes its answer, before the change is saved, so that a
 * saved import always has its answer; it returns 0, or -1 when it could not
 * (nothing is then saved). With check_only nothing is saved.
 *
 * Fills t (its earlier contents ignored; the caller frees t->skipped_names
 * with buf_free). Returns 0 when the import went through (saved, or only
 * checked) with its answer made; -1 otherwise, t->err saying why nothing
 * was imported, or empty when answer failed. The store keeps the lock fresh
 * all along. */
int import_graph_lines(const char *body, size_t len, int check_only, import_tally *t,
                       int (*answer)(const import_tally *t, void *ctx), void *ctx);

/*==============================================================================
 * The nine tools
 *============================================================================*/

void tool_create_entities(yyjson_val *args, tool_out *out);
void tool_create_relations(yyjson_val *args, tool_out *out);
void tool_add_observations(yyjson_val *args, tool_out *out);
void tool_delete_entities(yyjson_val *args, tool_out *out);
void tool_delete_observations(yyjson_val *args, tool_out *out);
void tool_delete_relations(yyjson_val *args, tool_out *out);
void tool_read_graph(yyjson_val *args, tool_out *out);
void tool_search_nodes(yyjson_val *args, tool_out *out);
void tool_open_nodes(yyjson_val *args, tool_out *out);

#endif
