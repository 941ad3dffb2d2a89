// txn.cpp - the graph as the rest of the program gets it: loaded for a read,
// inside a write transaction that saves it whole or forgets it, and the
// file's bytes for an export. The transaction's states, in one place
// (PM_ASSERT checks them at every step):
//
//  1. CLOSED: no transaction is open. g_outer is null and g_doomed 0; the
//     writer's lock is not held for a transaction. Reads (graph_open) are
//     made only in this state: a load would put the file's graph in place
//     of the edits of an open change.
//  2. OPEN: g_outer is the outermost open transaction, begun in CLOSED. It
//     holds the writer's lock and G (g_outer->g == &G), whose first edit
//     forgets it (kept.cpp, rule 8). Its commit saves G and
//     releases the lock, its abort clears G and releases the lock: CLOSED
//     again either way.
//  3. JOINED: a transaction begun while OPEN, with the same graph and
//     joined set; it ends before the outer one does. Its commit saves
//     nothing; its abort dooms the outer one.
//  4. DOOMED: OPEN with g_doomed set, after a joined abort. The outer commit
//     then fails with STORE_DOOMED, saving nothing, as an abort does.
#include "store_internal.h"

namespace {

// The outermost open transaction, which later ones join, and whether a
// joined one was aborted.
graph_txn *g_outer;
int g_doomed;

// State 1.
bool closed(void) { return !g_outer && !g_doomed; }
// State 2 (or 4) for the outer transaction t.
bool open_outer(const graph_txn *t) {
    return t && g_outer == t && t->g == &G && !t->joined && g_lock_held;
}

}  // namespace

store_rc graph_open(const graph **g) {
    PM_ASSERT(closed());
    store_rc rc = graph_load();
    *g = rc == STORE_OK ? &G : nullptr;
    return rc;
}

store_rc graph_export(char **text, size_t *len) {
    *text = nullptr;
    *len = 0;
    store_rc rc = ensure_path();
    if (rc != STORE_OK) return rc;
    // Read whole before the first byte goes out: a read that fails halfway
    // is answered with an error, never with a cut download.
    plat_file_id id;
    rc = file_read_whole(g_path, INT64_MAX - 1, text, len, &id);
    if (rc == STORE_OK && *text && (int64_t)*len != id.size) {
        mem_free(*text);
        *text = nullptr;
        *len = 0;
        rc = STORE_READ;  // cut while it was read
    }
    return rc;
}

store_rc graph_begin(graph_txn *t) {
    PM_ASSERT(!t->g);  // t must not be open
    t->g = nullptr;
    t->joined = 0;
    if (g_outer) {
        // State 3: the same graph, and the outer change's lock kept fresh
        // by a long run of joined ones.
        PM_ASSERT(open_outer(g_outer) && t != g_outer);
        t->joined = 1;
        t->g = g_outer->g;
        graph_lock_fresh();
        return STORE_OK;
    }
    PM_ASSERT(closed());
    // Resolve the path first so that a location problem is reported as such,
    // not as a busy graph.
    store_rc rc = ensure_path();
    if (rc == STORE_OK) rc = graph_lock();
    if (rc != STORE_OK) return rc;
    rc = graph_load();
    if (rc != STORE_OK) {
        graph_unlock();
        return rc;
    }
    // The graph is about to be edited: its first edit forgets it, and only
    // a successful save keeps it again (kept.cpp, rule 8).
    t->g = &G;
    g_outer = t;
    PM_ASSERT(open_outer(t));
    return STORE_OK;
}

store_rc graph_commit(graph_txn *t) {
    if (!t->g) return STORE_NOT_OPEN;
    if (t->joined) {
        PM_ASSERT(g_outer && t != g_outer && t->g == g_outer->g);
        t->g = nullptr;
        t->joined = 0;
        return g_doomed ? STORE_DOOMED : STORE_OK;
    }
    PM_ASSERT(open_outer(t));
    if (g_doomed) {
        graph_abort(t);
        return STORE_DOOMED;
    }
    store_rc rc = graph_save();
    if (rc != STORE_OK) {
        graph_abort(t);
        return rc;
    }
    graph_unlock();
    t->g = nullptr;
    g_outer = nullptr;
    PM_ASSERT(closed());
    return STORE_OK;
}

void graph_abort(graph_txn *t) {
    if (!t->g) return;
    if (t->joined) {
        PM_ASSERT(g_outer && t != g_outer && t->g == g_outer->g);
        g_doomed = 1;
        t->g = nullptr;
        t->joined = 0;
        return;
    }
    PM_ASSERT(open_outer(t));
    graph_unlock();
    graph_clear(t->g);
    t->g = nullptr;
    g_outer = nullptr;
    g_doomed = 0;
    PM_ASSERT(closed());
}
