// entry.cpp - picks the process's one job from the command line and the
// environment, and answers the host's one-shot questions.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/cgi.h"
#include "entry.h"
#include "mcp/mcp.h"
#include "platform/platform.h"
#include "tools/tools.h"

// Runs before main: no line ending may ever be translated on the standard
// streams, in either direction.
__attribute__((constructor)) void tw_plugin_binary_stdio(void) { plat_binary_stdio(); }

int mode_meta(void) {
    printf("{\"name\":\"%s\",\"desc\":\"%s\",\"kind\":\"mcp\",\"mcp\":true,\"daemon\":false,"
           "\"menus\":false,\"verified\":\"live\",\"category\":\"devtools\",\"version\":\"%s\"}\n",
           CONNECTOR_NAME, CONNECTOR_DESC, CONNECTOR_VERSION);
    fflush(stdout);
    return 0;
}

// Prints the tool catalogue on one line; "[]" when its copy cannot be made.
static int mode_schema(void) {
    char *text = tools_list_json();
    printf("%s\n", text ? text : "[]");
    mem_free(text);
    fflush(stdout);
    return 0;
}

static int mode_version(void) {
    printf("%s %s\n", CONNECTOR_ID, CONNECTOR_VERSION);
    fflush(stdout);
    return 0;
}

static int mode_help(void) {
    printf("usage: %s [--meta|--mcp|--schema|--version]\n"
           "With no arguments this plugin runs as a CGI handler: the\n"
           "browser page on GET, the JSON API on ?action=... or POST.\n",
           CONNECTOR_ID);
    fflush(stdout);
    return 0;
}

struct mode_flag {
    const char *flag;
    int (*run)(void);
};

// Whole-argument, case-sensitive matches only. --fastcgi, the web host's
// long-lived worker, is left out of the usage text, which names the modes
// a connector host uses.
static const mode_flag mode_flags[] = {
    {"--meta", mode_meta},       {"--mcp", mode_mcp},   {"--version", mode_version},
    {"--schema", mode_schema},   {"--help", mode_help}, {"--fastcgi", mode_fastcgi},
};

int entry_run(int argc, char **argv) {
    plat_heap_setup();
    // The first argument that is a flag decides; anything else is skipped.
    for (int i = 1; i < argc; i++) {
        if (!argv[i]) continue;
        for (const mode_flag &m : mode_flags)
            if (strcmp(argv[i], m.flag) == 0) return m.run();
    }
    // The host may pick the mode through the environment instead; a set
    // variable counts even when empty.
    if (getenv("TW_PLUGIN_META")) return mode_meta();
    if (getenv("TW_PLUGIN_MCP")) return mode_mcp();
    return api_handle();
}
