/* store_internal.h - what lies behind the store's face (store/graph.h,
 * store/txn.h), shared by the store's files only (and by white-box tests):
 * the sizes of the paths it makes, the graph file's location, the writer's
 * lock, the file's reads and replacement, and the kept graph G. Nothing
 * outside src/store includes it.
 *
 * The rooms and who calls whom (never the other way, so there is no
 * circle; src/README.md draws it):
 *   graph.cpp    the model, a plain value                  (no other room)
 *   format.cpp   the file's text: load lines, write lines  graph
 *   index.cpp    the relations of a graph by entity        graph
 *   location.cpp where the graph file lives                (no other room)
 *   lock.cpp     the writer's lock, names beside the file  location
 *   file.cpp     reading the file, replacing it whole      location, lock
 *   kept.cpp     G, its loads and saves (its rules 1-8)    all of the above
 *   txn.cpp      reads, transactions, exports (states)     kept, file, lock, location
 *   message.cpp  the words of every store_rc               the state it names:
 *                                                          location, lock, kept */
#ifndef PLUGIN_MEMORY_STORE_INTERNAL_H
#define PLUGIN_MEMORY_STORE_INTERNAL_H

#include "graph_internal.h"
#include "platform/platform.h"
#include "txn.h"

/*==============================================================================
 * Sizes of the paths the store makes
 *============================================================================*/

/* Bytes of the graph file's path buffer, the terminator included: a path
 * of up to 1023 bytes is taken, a longer one is refused (STORE_PATH_TOO_LONG),
 * never cut, which would put the graph somewhere else than asked. 1024 is
 * the most the program has ever taken; Windows paths run longer than 260
 * bytes through \\?\ paths, and no graph path in use comes near 1023. */
#define GRAPH_PATH_CAP 1024
/* The longest text of a process id in a name: %ld of a 64-bit long
 * ("-9223372036854775808"; a real id is far shorter). */
#define PID_TEXT_MAX 20
/* The length of a host tag (plat_host_tag: 16 hexadecimal digits, or none). */
#define HOST_TAG_LEN 16
/* The lock file is "<graph file>.lock"; its breaker "<lock file>.break". */
#define LOCK_SUFFIX ".lock"
#define LOCK_SUFFIX_LEN (sizeof LOCK_SUFFIX - 1)
#define BREAK_SUFFIX ".break"
/* Bytes of a buffer for the lock file's path and for its breaker's. */
#define LOCK_PATH_CAP (GRAPH_PATH_CAP + LOCK_SUFFIX_LEN)
#define BREAK_PATH_CAP (LOCK_PATH_CAP + sizeof BREAK_SUFFIX - 1)
/* The longest suffix a writer adds to the graph file's path for a file of
 * its own beside it (lock.cpp, own_name and graph_temp_path): the breaker's
 * new name ".lock.break.new.<pid>.<tag>" (the temporary file of a save,
 * ".tmp.<pid>.<tag>", and the lock's ".lock.new." and ".lock.stale." names
 * are shorter). */
#define SIDE_SUFFIX_MAX (sizeof ".lock.break.new." - 1 + PID_TEXT_MAX + 1 + HOST_TAG_LEN)
/* Bytes of a buffer for the path of any file beside the graph file. */
#define SIDE_PATH_CAP (GRAPH_PATH_CAP + SIDE_SUFFIX_MAX)

/* Every formatted path and text of the store goes through fmt_fits
 * (base/text.h), and a path that does not fit is never used. */

/*==============================================================================
 * Storage location (location.cpp)
 *============================================================================*/

extern char g_path[GRAPH_PATH_CAP]; /* resolved path of the graph file */
extern int g_path_resolved;     /* 1 once g_path is resolved, for the process */

/* Resolves g_path once per process. Returns STORE_OK, or the location's
 * failure (the next call tries again): STORE_PATH_TOO_LONG for a path longer
 * than GRAPH_PATH_CAP - 1 bytes, STORE_NO_DATA_DIR, STORE_PATH_DOTDOT,
 * STORE_PATH_BARE or STORE_NO_FILE_DIR. */
store_rc ensure_path(void);
/* g_path once resolved, otherwise "" (never null). */
const char *graph_path(void);
/* Forgets the resolved path (tests only: the process normally resolves once). */
void store_reset_path(void);
/* Writes dir joined with name into g_path, the graph file's path. Returns
 * STORE_OK, or STORE_PATH_TOO_LONG with g_path empty when it does not fit. */
store_rc set_graph_path(const char *dir, const char *name);
/* Creates path with its missing parents. True when it is a directory
 * afterwards; false otherwise (also for a path of GRAPH_PATH_CAP bytes or
 * more). */
bool mkdirs(const char *path);

/*==============================================================================
 * Writer's lock and the names beside the graph file (lock.cpp)
 *============================================================================*/

/* The writer's lock: the file "<graph file>.lock" beside the file the graph
 * path's links finally name, created whole with its holder's name. A writer
 * waits up to MEMORY_LOCK_TIMEOUT_MS for it, and removes a lock whose
 * holder is gone, or cannot be told and is older than MEMORY_LOCK_STALE_MS
 * (the protocol: lock.cpp). */

/* The lock file's path while the lock is held; after a take that failed,
 * the path it tried (named by STORE_LOCK_NOT_FILE); "" before any take. */
extern char g_lock_path[LOCK_PATH_CAP];
/* 1 while this process holds the writer's lock, 0 otherwise. */
extern int g_lock_held;
/* Tests only: called, when not null, between the judgement that a lock is
 * stale and its removal, so that a test can put another writer's lock in
 * its place at the worst moment. */
extern void (*g_lock_break_pause)(void);

/* Takes the lock. Returns STORE_OK, or STORE_BUSY when it cannot be had in
 * time (or is held by this process already: a second take would only wait
 * on itself); without waiting, the location's failure, STORE_LINKS,
 * STORE_LOCK_NOT_FILE or STORE_BREAK_NOT_FILE (something other than a file
 * at the name) or STORE_NO_ROOM (no file can be made beside the graph
 * file: no room, no permission). */
store_rc graph_lock(void);
/* Keeps a held lock visibly fresh for writers that can tell its holder
 * only by the lock's age (another machine, another process table): touches
 * the lock file when half a second has passed since it was taken or last
 * touched. Cheap (a clock read) otherwise, so a long change calls it per
 * item. Does nothing while the lock is not held; never fails. */
void graph_lock_fresh(void);
/* Releases the lock if held. Never fails. */
void graph_unlock(void);
/* The time a writer waits for the lock, and a reader or a save for a graph
 * file that another process holds (Windows), in ms: MEMORY_LOCK_TIMEOUT_MS,
 * 0 to 30000, 2000 when unset. */
int lock_timeout_ms(void);
/* Within that time a held lock or a busy file is tried again every 10 ms: a
 * change takes about a millisecond, so a waiter gets in soon after the one
 * before it is done, without spinning. */
#define BUSY_RETRY_MS 10
/* Opens the file at path for reading as plat_open_read does, waiting up to
 * lock_timeout_ms while it is busy (held by another process in the middle of
 * replacing it; only on Windows). Returns the descriptor with *id, or -1. */
int graph_open_read(const char *path, plat_file_id *id);
/* The path of the file a save replaces into out[cap]: the file the graph
 * path's symbolic links finally name (the graph path itself when it is no
 * link); while the lock is held, the file the lock was taken for. Returns
 * STORE_OK, or the location's failure or STORE_LINKS. */
store_rc graph_write_target(char *out, size_t cap);
/* The temporary file of this process for a save of target into out[cap]:
 * "<target>.tmp.<pid>.<host tag>", or "<target>.tmp.<pid>" when the system
 * gives no tag (see plat_host_tag). Returns STORE_OK, or
 * STORE_PATH_TOO_LONG when it does not fit (never for a cap of
 * SIDE_PATH_CAP and a target from graph_write_target). */
store_rc graph_temp_path(const char *target, char *out, size_t cap);

/*==============================================================================
 * The graph file: reads and replacement (file.cpp)
 *============================================================================*/

/* Reads the regular file at path whole into a new zero-terminated heap
 * block (*out, *len bytes, which the caller frees), *id its identity when it
 * was opened (the bytes read are fewer than id->size only when the file was
 * cut meanwhile). Returns STORE_OK, with *out null when there is no file;
 * STORE_READ when it exists but is no regular file, cannot be read or is
 * larger than max bytes; STORE_OOM when its block cannot be had. */
store_rc file_read_whole(const char *path, int64_t max, char **out, size_t *len,
                         plat_file_id *id);
/* Replaces the graph file by what fill(f, ctx) writes into f, a new
 * temporary file beside it (a stream of plat_create_new); fill returns
 * STORE_OK, or its failure. Returns STORE_OK with *identified 1 and *written
 * the identity of the new graph file, or *identified 0 when it was replaced
 * but its identity is not known (something else took its place at once,
 * say); or the failure, with the file unchanged and no temporary file left:
 * the location's, STORE_LINKS, STORE_REPLACE (the file may not be
 * replaced, or the move failed), STORE_NO_ROOM, fill's, STORE_FLUSH, or
 * STORE_BUSY (Windows: readers held the file all through the wait). written
 * and identified may be null. It does not touch the kept graph: a save
 * forgets it first (kept.cpp). */
store_rc replace_with(store_rc (*fill)(void *f, void *ctx), void *ctx, plat_file_id *written,
                      int *identified);
/* Replaces the graph file by text[0..len) as replace_with does (STORE_WRITE
 * when a write fails). Tests only. */
store_rc write_over(const char *text, size_t len);

/*==============================================================================
 * The kept graph (kept.cpp; its rules are numbered at the top there)
 *============================================================================*/

/* The process-wide graph. A long-lived process keeps it between calls while
 * the graph file is unchanged (see graph_load). Only the store names it:
 * everything else is handed the graph by graph_open or graph_begin. Its
 * watch is kept.cpp's, for the indexes derived from it (rule 7). */
extern graph G;
/* 1 when the last graph_load reused the kept G instead of reading the file. */
extern int g_graph_reused;
/* Tests only: while 1, a save that copies lines from the last save's file
 * also formats the whole graph and fails (STORE_COPY_DIFFERS) unless the
 * file it wrote is that text, byte for byte (rule 6). */
extern int g_check_copies;
/* The CUT_* bits of the graph whose save was refused last (STORE_CUT), which
 * its message names after the graph itself is gone. */
extern uint32_t g_cut_refused;

/* Makes G the graph of the file as it is now. G is kept from the last load
 * or save while it provably is the graph of the file (rules 1 to 3);
 * otherwise G is cleared and rebuilt from the file. Returns STORE_OK (an
 * absent file gives an empty G), or the location's failure, STORE_OOM or
 * STORE_UNREADABLE with G empty. */
store_rc graph_load(void);
/* Stops keeping G: the next graph_load reads the file again. G itself stays
 * as it is until then (results may still point into it). Every edit of G
 * forgets it; a successful graph_save keeps it again. Never fails. */
void graph_forget(void);
/* Writes G as the whole graph file, atomically and durably. Returns
 * STORE_OK, or the failure with the file unchanged: STORE_CUT while the
 * load of G left part of the file out (CUT_OBS, CUT_BAD), STORE_TOO_LARGE,
 * STORE_SAVE_OOM, STORE_WRITE, STORE_CHANGED (rule 5), STORE_COPY_DIFFERS,
 * or replace_with's. On success G is kept as the graph of the file just
 * written (unless a load of that file might give another graph); on failure
 * it is forgotten.
 *
 * The new file holds exactly what graph_format writes. The lines of
 * entities and relations that no edit touched since the last save of this
 * process are copied from the file that save wrote, while it provably is
 * the graph file as it was written (rule 5); the others are formatted, a
 * block at a time, so a save never holds the whole text in memory. */
store_rc graph_save(void);

/* An index derived from G, such as the relations by entity: built from G on
 * first use, kept in step with G's edits or dropped by them, and dropped when
 * G is cleared (rule 7). A new one gets a row in kept.cpp's table DERIVED:
 *   edited(g, what, at)  is told of every edit of G (graph.watch), after it:
 *                        it brings the index up to date or drops it;
 *   drop()               forgets it: G is about to be cleared or rebuilt.
 * Both never fail. An index is built only from G, and used only for G. */
struct derived_index {
    void (*edited)(const graph *g, graph_change what, uint64_t at);
    void (*drop)(void);
};

/*==============================================================================
 * Relations by entity (index.cpp): the index kept.cpp derives from G
 *============================================================================*/

/* 1 when the index describes g; otherwise, with may_build, builds it for g
 * (1, or 0 when memory ran out), else 0. An index of another graph is
 * dropped. */
int rel_index_ready(const graph *g, int may_build);
/* rels_of_entity for g, while rel_index_ready(g, ...) is 1. */
void rel_index_of(const graph *g, uint64_t entity, const uint32_t **list, uint64_t *count);
/* Its row in kept.cpp's DERIVED. */
void rel_index_edited(const graph *g, graph_change what, uint64_t at);
void rel_index_drop(void);

#endif
