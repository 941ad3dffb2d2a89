/* entry.h - program entry: mode selection and the host's one-shot answers. */
#ifndef PLUGIN_MEMORY_ENTRY_H
#define PLUGIN_MEMORY_ENTRY_H

#define CONNECTOR_ID "plugin_memory"
#define CONNECTOR_NAME "memory"
#define CONNECTOR_DESC "Knowledge graph"
#define CONNECTOR_VERSION "1.0.0"

/* Chooses the mode from argv, then the environment, runs it and returns the
 * process exit status. */
int entry_run(int argc, char **argv);
/* Prints the meta line and returns 0. */
int mode_meta(void);

#endif
