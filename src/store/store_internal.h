/* store_internal.h - helpers shared between the files of the graph store only. */
#ifndef PLUGIN_MEMORY_STORE_INTERNAL_H
#define PLUGIN_MEMORY_STORE_INTERNAL_H

#include "platform/platform.h"
#include "store.h"

/*==============================================================================
 * Graph file, lock and location internals
 *============================================================================*/

/* Replaces the graph file by text[0..len) through a temporary file beside it.
 * Returns 0, or -1 with the reason in err (may be null); the file is then
 * unchanged and no temporary file remains. Forgets the kept graph. */
int write_over(const char *text, size_t len, char *err, size_t err_size);

/* The lock file's path while the lock is held, "" otherwise. */
extern char g_lock_path[1056];
/* 1 while this process holds the writer's lock, 0 otherwise. */
extern int g_lock_held;
/* Tests only: called, when not null, between the judgement that a lock is
 * stale and its removal, so that a test can put another writer's lock in
 * its place at the worst moment. */
extern void (*g_lock_break_pause)(void);

/* Writes dir joined with name into g_path, the graph file's path. Returns 1,
 * or 0 with g_path empty when the joined path does not fit. */
int set_graph_path(const char *dir, const char *name);
/* Creates path with its missing parents. Returns 1 when it is a directory
 * afterwards, 0 otherwise (also for a path of GRAPH_PATH_CAP bytes or
 * more). */
int mkdirs(const char *path);

/*==============================================================================
 * Loading
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
 * is copied through c. Returns 0, or -1 with g and c as they were. */
int ent_add_loaded(graph *g, text_cursor *c, yyjson_val *name, yyjson_val *entity_type,
                   yyjson_val *obs, size_t examine);
/* As rel_add for a loaded relation line (its three fields string values of
 * its document, as for ent_add_loaded), without a message, copying through
 * c. Returns 0, or -1 with g and c as they were. */
int rel_add_loaded(graph *g, text_cursor *c, yyjson_val *from, yyjson_val *to,
                   yyjson_val *relation_type);
/* Builds g, which must be empty, from the file text text[0..len), which is
 * followed by one more writable byte: each line end, and that byte, is
 * overwritten with a zero byte. With keep, text is a heap block of len + 1
 * bytes that g takes over as its block of loaded texts (or frees, when no
 * text went into it); the texts are written over the lines already read,
 * and those that do not fit in front of their line become heap copies.
 * Without keep the caller keeps text and every text is a heap copy. Never
 * fails: what cannot be taken is kept or dropped as the loader's rules say. */
void graph_build(graph *g, char *text, size_t len, int keep);

/*==============================================================================
 * The graph file's text, for the kept graph (kept.cpp)
 *============================================================================*/

/* Reads the whole file at path into a new zero-terminated heap block.
 * Returns 1 with the block and its length, 0 when the file does not exist,
 * -1 when it exists but cannot be read or is larger than GRAPH_READ_MAX. */
int graph_file_read(const char *path, char **out, size_t *out_len);
/* Append the line of e, of r, and the kept unreadable lines of g, each
 * exactly as graph_format writes them. */
void format_ent(buf *b, const ent *e);
void format_rel(buf *b, const rel *r);
void format_bad(const graph *g, buf *b);
/* 1 when a load of the line of e (of r) gives it back as it is; the count of
 * e's observations is not looked at. */
int ent_loads(const ent *e);
int rel_loads(const rel *r);
/* Resolves the graph path for a write: 1, or 0 with the reason in err. */
int path_ready(char *err, size_t err_size);
/* The refusal of a save while the load left part of the file out (cut, the
 * CUT_* bits), into err. */
void cut_message(uint32_t cut, char *err, size_t err_size);
/* Replaces the graph file by what fill(f, ctx, err, err_size) writes into
 * f, a new temporary file beside it (a stream of plat_create_new); fill
 * returns 0, or -1 with the reason in err. Returns 1 with *written (may be
 * null) the identity of the new graph file, 0 when it was replaced but its
 * identity is not known (something else took its place at once, say), or
 * -1 with the reason in err, the file unchanged and no temporary file left.
 * Forgets the kept graph. */
int replace_with(int (*fill)(void *f, void *ctx, char *err, size_t err_size), void *ctx,
                 plat_file_id *written, char *err, size_t err_size);
/* Tests only: while 1, a save that copies lines from the last save's file
 * also formats the whole graph and fails unless the file it wrote is that
 * text, byte for byte. */
extern int g_check_copies;

/* The path of the file a save replaces: the file the graph path's symbolic
 * links finally name (the graph path itself when it is no link). While the
 * lock is held, the file the lock was taken for. Returns 0, or -1 with the
 * reason in g_data_err. */
int graph_write_target(char *out, size_t cap);
/* The temporary file of this process for a save of target:
 * "<target>.tmp.<pid>.<host tag>", or "<target>.tmp.<pid>" when the system
 * gives no tag (see plat_host_tag). */
void graph_temp_path(const char *target, char *out, size_t cap);

/* Reads the four limits once and serves them from then on instead of the
 * environment, which cannot change while a load runs; a load of 60,000 lines
 * would otherwise scan the environment a quarter of a million times. Never
 * fails. */
void limits_hold(void);
/* Goes back to reading the limits from the environment at every check. */
void limits_release(void);

#endif
