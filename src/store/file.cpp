// file.cpp - STUB, replaced by the graph file reader and writer.
#include "store.h"
char g_data_err[256];
char g_lock_path[1056];
int g_lock_fd = -1;
int graph_load(void) { return 0; }
int graph_save(char *err, size_t n) { str_copy(err, n, "not built"); return -1; }
int write_over(const char *, size_t, char *err, size_t n) { str_copy(err, n, "not built"); return -1; }
void graph_format(const graph *, buf *) {}
int graph_lock(void) { return 0; }
void graph_unlock(void) {}
