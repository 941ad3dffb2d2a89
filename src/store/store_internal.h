/* store_internal.h - helpers shared between the files of the graph store only. */
#ifndef PLUGIN_MEMORY_STORE_INTERNAL_H
#define PLUGIN_MEMORY_STORE_INTERNAL_H

#include "store.h"

/* As ent_add, but takes over obs (an array of count heap texts, as made by
 * str_arr_from) instead of copying it; the array is freed on refusal and
 * entries beyond limit_max_obs() are freed. Returns 0 or -1 like ent_add. */
int ent_add_owned(graph *g, const char *name, const char *entity_type, char **obs,
                  uint64_t count, char *err, size_t err_size);

/* Reads the four limits once and serves them from then on instead of the
 * environment, which cannot change while a load runs; a load of 60,000 lines
 * would otherwise scan the environment a quarter of a million times. Never
 * fails. */
void limits_hold(void);
/* Goes back to reading the limits from the environment at every check. */
void limits_release(void);

#endif
