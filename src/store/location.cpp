// location.cpp - STUB, replaced by the storage location rules.
#include "store.h"
char g_path[1024];
int g_path_resolved;
int ensure_path(void) { return 0; }
const char *graph_path(void) { return ""; }
int graph_path_info(int64_t *, int *) { return -1; }
void path_join(const char *, const char *) {}
int mkdirs(const char *) { return 0; }
void store_reset_path(void) {}
