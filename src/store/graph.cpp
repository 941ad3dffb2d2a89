// graph.cpp - STUB, replaced by the graph model.
#include "store.h"
graph G;
int limit_max_entities(void) { return 20000; }
int limit_max_obs(void) { return 2000; }
int limit_max_relations(void) { return 40000; }
int limit_max_bad(void) { return 5000; }
void graph_clear(graph *g) { *g = graph{}; }
ent *ent_find(graph *, const char *) { return nullptr; }
int ent_add(graph *, const char *, const char *, char *const *, uint64_t, char *, size_t) { return -1; }
int rel_add(graph *, const char *, const char *, const char *, char *, size_t) { return -1; }
int obs_push(ent *, const char *) { return 0; }
void bad_add(graph *, const char *) {}
int str_arr_from(yyjson_val *, char ***out, size_t *n, size_t) { *out = nullptr; *n = 0; return 0; }
void str_arr_free(char **, size_t) {}
