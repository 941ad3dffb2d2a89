/* revision.h - what the server's own files take from the table of protocol
 * revisions (revision.cpp) besides the face in mcp.h: the revision a
 * handshake settles on, the stateless revision, and the texts in which the
 * server names itself and the revisions it speaks. */
#ifndef PLUGIN_MEMORY_MCP_REVISION_H
#define PLUGIN_MEMORY_MCP_REVISION_H

#include "mcp.h"

/* The _meta keys of the stateless revision. */
#define MCP_META_VERSION "io.modelcontextprotocol/protocolVersion"
#define MCP_META_CAPABILITIES "io.modelcontextprotocol/clientCapabilities"

/* The revision an initialize asking for the n bytes at asked (null: none
 * asked) settles on: the one asked for when it is a legacy revision the
 * server speaks; the newest legacy revision when it names a later date (a
 * newer client, or one naming the stateless revision in a handshake); the
 * default revision otherwise. Never null. */
const mcp_revision *mcp_revision_for_initialize(const char *asked, size_t n);
/* The stateless revision: the one a request marked stateless is held to
 * before the revision its _meta names is looked up. Never null. */
const mcp_revision *mcp_revision_stateless(void);
/* 1 when a method (an MCP_M_ bit) is had by the stateless revision alone, so
 * that a request for it is stateless whatever else it says. */
int mcp_method_stateless_only(uint32_t method);
/* Appends the JSON array of the revisions the server speaks, newest first. */
void mcp_put_supported(buf *b);
/* Appends the server's identity as the revision r names it (serverInfo). */
void mcp_put_server_info(buf *b, const mcp_revision *r);

#endif
