/* entry.h - program entry: mode selection and the host's one-shot answers. */
#ifndef PLUGIN_MEMORY_ENTRY_H
#define PLUGIN_MEMORY_ENTRY_H

#include "base/connector.h"  /* the connector's name, description and version */

/* Chooses the mode from argv, then the environment, runs it and returns the
 * process exit status. */
int entry_run(int argc, char **argv);
/* Prints the meta line and returns 0. */
int mode_meta(void);

#endif
