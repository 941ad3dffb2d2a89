/* connector.h - the connector's name, version and fixed limits, defined here once
 * for every layer. */
#ifndef PLUGIN_MEMORY_CONNECTOR_H
#define PLUGIN_MEMORY_CONNECTOR_H



#define CONNECTOR_ID "plugin_memory"     /* the connector's name, for the host */
#define CONNECTOR_NAME "memory"          /* its short name in the meta line */
#define CONNECTOR_DESC "Knowledge graph" /* its description in the meta line */
#define CONNECTOR_VERSION "1.0.0"        /* its version, everywhere it is named */

#define GRAPH_READ_MAX_MB 24      /* the largest graph file, in MiB */
#define GRAPH_READ_MAX ((long)GRAPH_READ_MAX_MB * 1048576L) /* ... in bytes */
#define OBS_SCAN_MAX 2000         /* observation elements examined per entity
                                     (a load looks at more when MEMORY_MAX_OBS
                                     is raised above it) */
#define OBS_TEXT_MAX 8000         /* longest observation text taken from JSON */
#define LIST_PIECE_MAX (OBS_TEXT_MAX - 1) /* longest piece of a "|"-separated
                                     list parameter of the API */

#endif
