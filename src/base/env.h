/* env.h - integer settings from the environment. */
#ifndef PLUGIN_MEMORY_ENV_H
#define PLUGIN_MEMORY_ENV_H


/* Integer setting from the environment: def when unset, empty, without
 * digits or beyond 32 bits; otherwise the value clamped to [min, max]. */
int env_int(const char *name, int def, int min, int max);

#endif
