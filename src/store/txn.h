/* txn.h - the graph as the rest of the program gets it: opened for a read,
 * changed inside a write transaction that saves it whole or not at all, and
 * the graph file's bytes for an export. Behind it (store_internal.h) lie the
 * graph file, its writer's lock, its location and the kept graph. */
#ifndef PLUGIN_MEMORY_STORE_TXN_H
#define PLUGIN_MEMORY_STORE_TXN_H

#include <stddef.h>
#include <stdint.h>

#include "graph.h"

/*==============================================================================
 * Reads
 *============================================================================*/

/* Loads the graph file for a read, without the writer's lock, and puts the
 * graph into *g, read-only (a change goes through graph_begin): a
 * long-lived process keeps it between calls while the file is unchanged.
 * It stays valid until the next call of the store. Returns STORE_OK (an
 * absent file gives an empty graph), or the failure with *g null. Never
 * called while a transaction is open. */
store_rc graph_open(const graph **g);

/* The relations of the graph of graph_open by entity, so that reading a few
 * entities of a kept graph costs time in the size of the answer: for each
 * entity, the relations whose from or to is its name. Built on first use in
 * a call that reused the kept graph (a single call scans the relations
 * instead, which costs less than building), kept while the graph stays as
 * it is, and dropped when it changes (store/kept.cpp, rule 7). */

/* 1 when the index describes g and may be used (building it now when g is
 * the graph of graph_open and that call reused the kept graph); 0 when the
 * caller must scan: another graph, a graph just read, or memory ran out. */
int rels_by_entity_ready(const graph *g);
/* The numbers of the relations of g whose from or to is the name of entity
 * number entity, ascending, each once (*list is null when *count is 0).
 * Only while rels_by_entity_ready(g) is 1. */
void rels_of_entity(const graph *g, uint64_t entity, const uint32_t **list, uint64_t *count);

/* The graph file's size and existence (outputs may be null). Returns
 * STORE_OK when the file is there or certainly not there (size 0); the
 * location's failure, or STORE_READ when what is there cannot be examined
 * (a directory, a failing disk). */
store_rc graph_file_info(int64_t *size, int *exists);

/* The graph file as stored, whatever its size (also a file too large to
 * load: an export is the one way left to rescue it), read whole: *text is a
 * new heap block of *len bytes and a terminator, which the caller frees, or
 * null with *len 0 when there is no file. Returns STORE_OK, or the
 * location's failure, STORE_READ or STORE_OOM with *text null. */
store_rc graph_export(char **text, size_t *len);

/*==============================================================================
 * Changes
 *============================================================================*/

/* One change of the graph file, all or nothing. graph_begin takes the
 * writer's lock and loads the graph; the caller decides and edits it with
 * the edit functions of store/graph.h; graph_commit saves it whole and
 * releases the lock; graph_abort releases the lock and forgets the
 * in-memory graph. A change that fails midway is aborted, so an edited
 * graph that was not saved never outlives its transaction; a transaction
 * still open when its scope ends is aborted. After a commit the graph stays
 * as it was written: it equals the file. A long change keeps the lock fresh
 * by itself (every edit and every joined transaction touches it when half a
 * second has passed).
 *
 * A transaction begun while another is open joins it: it gets the same
 * graph with the edits made so far, and its commit saves nothing (the
 * outermost one saves them all). Aborting a joined transaction dooms the
 * outer one: its commit then fails, saving nothing. So several changes, each
 * made by code that opens its own transaction, are saved together or not
 * at all. The states and their rules: store/txn.cpp. */
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
/* Opens t (which must not be open): t->g is then the graph to change.
 * Returns STORE_OK, or the failure with t not open: the location's failure
 * (checked first, so that it is never reported as a busy graph), a lock
 * that cannot be made (STORE_LOCK_NOT_FILE, STORE_BREAK_NOT_FILE,
 * STORE_NO_ROOM, STORE_LINKS), STORE_BUSY when another writer keeps the
 * lock past the wait (MEMORY_LOCK_TIMEOUT_MS), or a load's failure. */
store_rc graph_begin(graph_txn *t);
/* Saves t's graph as the whole graph file and closes t. Returns STORE_OK,
 * or the save's failure; the file is then unchanged and the graph forgotten
 * as by graph_abort. STORE_NOT_OPEN for a t that is not open. A joined t is
 * closed without saving: STORE_OK, or STORE_DOOMED when a transaction joined
 * to the same outer one was aborted. An outer t that was doomed so fails
 * with STORE_DOOMED, saving nothing and forgetting the graph. */
store_rc graph_commit(graph_txn *t);
/* graph_abort (declared above): closes t without saving, releasing the lock
 * and clearing the graph; a joined t only dooms the outer one. Does nothing
 * for a t that is not open. */

#endif
