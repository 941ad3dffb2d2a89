/* graph_internal.h - the model's inside, shared by the store's files only:
 * how a load fills a graph (graph.cpp) and the graph file's text, read and
 * written (format.cpp). Like the model itself, nothing here knows of the
 * graph file, the lock or the kept graph. */
#ifndef PLUGIN_MEMORY_STORE_GRAPH_INTERNAL_H
#define PLUGIN_MEMORY_STORE_GRAPH_INTERNAL_H

#include "graph.h"

/*==============================================================================
 * Filling a graph from loaded lines (graph.cpp)
 *============================================================================*/

/* Where a load puts the texts it copies: the free part [next, end) of the
 * graph's block of loaded texts. A cursor whose next is null has no block,
 * and every text becomes a heap copy of its own. */
struct text_cursor {
    char *next;
    char *end;
};

/* Copies len bytes of s and a terminator into the cursor's block while it
 * has room, otherwise onto the heap. Returns the copy, or null when the heap
 * copy cannot be allocated. */
char *text_take(text_cursor *c, const char *s, size_t len);
/* As ent_add for a loaded entity line, without a message: name and
 * entity_type are string values of its document (as yyjson_get_len
 * measures them: the line holds no U+0000), the strings among the first
 * `examine` elements of the JSON array obs become its observations (as
 * str_arr_from takes them, at most limit_max_obs() of them), and every text
 * is copied through c. A load is no edit: the watch is not told. Returns
 * STORE_OK, or a failure with g and c as they were. */
store_rc ent_add_loaded(graph *g, text_cursor *c, yyjson_val *name, yyjson_val *entity_type,
                        yyjson_val *obs, size_t examine);
/* As rel_add for a loaded relation line (its three fields string values of
 * its document, as for ent_add_loaded), copying through c. Returns
 * STORE_OK, or a failure with g and c as they were. */
store_rc rel_add_loaded(graph *g, text_cursor *c, yyjson_val *from, yyjson_val *to,
                        yyjson_val *relation_type);
/* Keeps a copy of an unreadable line, up to limit_max_bad(); past it sets
 * CUT_BAD and drops the line. Never fails (a copy that cannot be made is
 * kept as an absent entry, written as an empty line). */
void bad_add(graph *g, const char *line);
/* Reads the four limits once and serves them from then on instead of the
 * environment, which cannot change while a load runs; a load of 60,000 lines
 * would otherwise scan the environment a quarter of a million times. Never
 * fails. */
void limits_hold(void);
/* Goes back to reading the limits from the environment at every check. */
void limits_release(void);

/*==============================================================================
 * The graph file's text (format.cpp)
 *============================================================================*/

/* Builds g, which must be empty, from the file text text[0..len), which is
 * followed by one more writable byte: each line end, and that byte, is
 * overwritten with a zero byte. With keep, text is a heap block of len + 1
 * bytes that g takes over as its block of loaded texts (or frees, when no
 * text went into it); the texts are written over the lines already read,
 * and those that do not fit in front of their line become heap copies.
 * Without keep the caller keeps text and every text is a heap copy. Never
 * fails: what cannot be taken is kept or dropped as the loader's rules say
 * (a caller tells a load that went without memory by mem_refusals). */
void graph_build(graph *g, char *text, size_t len, int keep);
/* Appends the file text of g (entities, relations, kept lines) to b. */
void graph_format(const graph *g, buf *b);
/* Append the line of e, of r, and the kept unreadable lines of g, each
 * exactly as graph_format writes them. */
void format_ent(buf *b, const ent *e);
void format_rel(buf *b, const rel *r);
void format_bad(const graph *g, buf *b);
/* 1 when a load of the line of e (of r) gives it back as it is; the count of
 * e's observations is not looked at. */
int ent_loads(const ent *e);
int rel_loads(const rel *r);

#endif
