/* tools_internal.h - helpers shared by the tool files: the write
 * transaction of the changing tools as a tool sees it, sets of requested
 * texts, and exact text comparison with JSON strings. */
#ifndef PLUGIN_MEMORY_TOOLS_INTERNAL_H
#define PLUGIN_MEMORY_TOOLS_INTERNAL_H

#include <stdlib.h>

#include "tools.h"

/* One tool: its name and its function. */
struct tool_entry {
    const char *name;
    void (*fn)(yyjson_val *args, tool_out *out);
};
/* Every tool, in the catalogue's order, generated from the catalogue at
 * build time (cmake/embed.cpp): the catalogue is the one place a tool is
 * named, and tool_<name> its function. */
extern const tool_entry tool_table[];
extern const size_t tool_table_count;

/* Frees a heap block (null allowed) when its scope ends. */
struct heap_guard {
    void *p;
    explicit heap_guard(void *block) : p(block) {}
    heap_guard(const heap_guard &) = delete;
    heap_guard &operator=(const heap_guard &) = delete;
    ~heap_guard() { mem_free(p); }
};

/* The member key of args when it is an array; otherwise null, with the error
 * "Missing required parameter: <key>" recorded in out. */
yyjson_val *required_array(yyjson_val *args, const char *key, tool_out *out);
/* Refuses a change whose arguments hold U+0000 anywhere: a text with it would
 * be cut there, acting on or storing only its first part. Returns 1 with the
 * error recorded in out, or 0 when args is free of it. */
int refuse_nul(yyjson_val *args, tool_out *out);
/* Records the message of the store's failure rc as out's error. */
void tool_store_err(tool_out *out, store_rc rc);
/* Opens the write transaction t of a changing tool (graph_begin). Returns
 * the graph to change, or null with the error recorded in out; nothing is
 * changed then. */
graph *change_begin(graph_txn *t, tool_out *out);
/* Ends a changing tool's call: unless out has failed, writes its answers
 * (tool_out.mcp_text and api_text, and room in out->mcp->reserve) and then
 * commits t (graph_commit), so that a saved change always has its whole
 * answer. A call that failed, that went without memory at any point
 * ("out of memory"), or whose commit fails is aborted. Returns 0, or -1
 * with the error recorded in out; the file is then unchanged and the graph
 * forgotten. */
int change_commit(graph_txn *t, tool_out *out);

/* A set of texts a request names, to test texts of the graph against:
 * walked while small, hashed when larger (a whole-graph walk per requested
 * text made large requests quadratic). Texts compare byte for byte up to
 * their terminating zero. */
struct text_set {
    const char *const *texts; /* the entries; a null entry is left out; not owned */
    size_t n;                 /* entries at texts */
    hash_index index;         /* their numbers under str_hash, when hashed */
    int32_t hashed;           /* 1 when index is in use */
};
/* Makes s over the n entries at texts, which must outlive s. Never fails: a
 * set whose index cannot be made is walked. */
void text_set_init(text_set *s, const char *const *texts, size_t n);
/* Number of the first entry after number after (-1: the first of all) that
 * equals text, or -1 (always for a null text). */
int64_t text_set_find(const text_set *s, const char *text, int64_t after);
/* Releases the index of s. */
void text_set_free(text_set *s);

/* The relations a request names, element by element: the three fields of
 * each (null where an element names no relation), with an index of the
 * elements under a hash of all three fields, so that finding the elements
 * that name a relation costs a lookup however many relations share an end
 * (a set of the from fields alone made a request of many relations of one
 * entity quadratic). Freed when its scope ends. */
struct rel_list {
    const char **from = nullptr;  /* n fields each */
    const char **to = nullptr;
    const char **type = nullptr;
    size_t n = 0;             /* elements */
    hash_index keys = {};     /* element numbers under rel_key_hash of their
                                 fields, made by rel_list_index */
    int32_t hashed = 0;       /* 1 when keys is in use (else walked) */
    void *block = nullptr;    /* the one heap block behind the fields */
    rel_list() = default;
    rel_list(const rel_list &) = delete;
    rel_list &operator=(const rel_list &) = delete;
    ~rel_list() {
        hash_index_free(&keys);
        mem_free(block);
    }
};
/* Makes room for n elements, every field null, and for extra zeroed bytes
 * behind them (at *extra_at when extra_at is not null). Returns 0, or -1
 * with "out of memory" recorded in out. */
int rel_list_init(rel_list *l, size_t n, size_t extra, unsigned char **extra_at, tool_out *out);
/* Makes the set of from fields once they are filled in. Never fails. */
void rel_list_index(rel_list *l);
/* Number of the first element after number after (-1: the first of all)
 * that names the relation (from, to, type), or -1. */
int64_t rel_list_find(const rel_list *l, const char *from, const char *to, const char *type,
                      int64_t after);

/* 1 when v is a JSON string whose bytes equal the text s exactly (same
 * length, so a string holding a zero byte equals no stored text); 0 for a
 * null s or a v that is not a string. */
int str_val_is(yyjson_val *v, const char *s);
/* The text of v when it is a non-empty JSON string, otherwise null. */
const char *nonempty_str(yyjson_val *v);

#endif
