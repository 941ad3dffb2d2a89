// txn.cpp - the graph as the rest of the program gets it: loaded for a read,
// or inside a write transaction that saves it whole or forgets it.
#include <cstdio>

#include "store.h"

namespace {

void set_err(char *err, size_t size, const char *msg) {
    if (err && size) snprintf(err, size, "%s", msg);
}

const char DOOMED[] = "a change within this one failed; nothing was saved";

// The outermost open transaction, which later ones join, and whether a
// joined one was aborted.
graph_txn *g_outer;
int g_doomed;

}  // namespace

const char GRAPH_BUSY[] = "the graph is busy; try again";

const graph *graph_open(void) { return graph_load() == 0 ? &G : nullptr; }

graph *graph_begin(graph_txn *t, char *err, size_t err_size) {
    t->g = nullptr;
    t->joined = 0;
    if (g_outer && g_outer->g) {
        t->joined = 1;
        t->g = g_outer->g;
        return t->g;
    }
    // Resolve the path first so that a location problem is reported as such,
    // not as a busy graph.
    g_data_err[0] = 0;
    if (!ensure_path()) {
        set_err(err, err_size, g_data_err[0] ? g_data_err : "the graph file is not reachable");
        return nullptr;
    }
    if (graph_lock() != 0) {
        // A lock that could not even be created is a storage failure.
        set_err(err, err_size, g_data_err[0] ? g_data_err : GRAPH_BUSY);
        return nullptr;
    }
    if (graph_load() != 0) {
        set_err(err, err_size, g_data_err);
        graph_unlock();
        return nullptr;
    }
    // The graph is about to be edited: only a successful save keeps it
    // again, so a change that fails midway is never answered from memory.
    graph_forget();
    t->g = &G;
    g_outer = t;
    g_doomed = 0;
    return t->g;
}

int graph_commit(graph_txn *t, char *err, size_t err_size) {
    if (!t->g) {
        set_err(err, err_size, "cannot write the graph file");
        return -1;
    }
    if (t->joined) {
        t->g = nullptr;
        t->joined = 0;
        if (!g_doomed) return 0;
        set_err(err, err_size, DOOMED);
        return -1;
    }
    if (g_doomed) {
        graph_abort(t);
        set_err(err, err_size, DOOMED);
        return -1;
    }
    char why[256];
    why[0] = 0;
    if (graph_save(why, sizeof why) != 0) {
        set_err(err, err_size, why[0] ? why : "cannot write the graph file");
        graph_abort(t);
        return -1;
    }
    graph_unlock();
    t->g = nullptr;
    g_outer = nullptr;
    return 0;
}

void graph_abort(graph_txn *t) {
    if (!t->g) return;
    if (t->joined) {
        g_doomed = 1;
        t->g = nullptr;
        t->joined = 0;
        return;
    }
    graph_unlock();
    graph_clear(t->g);
    t->g = nullptr;
    g_outer = nullptr;
    g_doomed = 0;
}
