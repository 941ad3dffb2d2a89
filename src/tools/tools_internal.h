/* tools_internal.h - helpers shared by the tool files: the lock, load and save
 * steps of the changing tools and exact text comparison with JSON strings. */
#ifndef PLUGIN_MEMORY_TOOLS_INTERNAL_H
#define PLUGIN_MEMORY_TOOLS_INTERNAL_H

#include "tools.h"

/* Holds the writer's lock for one changing tool call and releases it when
 * the call's scope ends, on every path. */
struct writer_lock {
    int held = 0;
    writer_lock() = default;
    writer_lock(const writer_lock &) = delete;
    writer_lock &operator=(const writer_lock &) = delete;
    ~writer_lock() {
        if (held) graph_unlock();
    }
};

/* The member key of args when it is an array; otherwise null, with the error
 * "Missing required parameter: <key>" recorded in out. */
yyjson_val *required_array(yyjson_val *args, const char *key, tool_out *out);
/* Refuses a change whose arguments hold U+0000 anywhere: a text with it would
 * be cut there, acting on or storing only its first part. Returns 1 with the
 * error recorded in out, or 0 when args is free of it. */
int refuse_nul(yyjson_val *args, tool_out *out);
/* Takes the writer's lock into lk and then loads the graph. Returns 0, or -1
 * with the error recorded in out ("the graph is busy; try again" when another
 * writer holds the lock, the storage error text when the path or the file
 * cannot be read); nothing is changed then. */
int changing_begin(tool_out *out, writer_lock *lk);
/* Saves G. Returns 0, or -1 with the save's message (or "cannot write the
 * graph file") recorded in out; the file is then unchanged. */
int changing_save(tool_out *out);

/* 1 when v is a JSON string whose bytes equal the text s exactly (same
 * length, so a string holding a zero byte equals no stored text); 0 for a
 * null s or a v that is not a string. */
int str_val_is(yyjson_val *v, const char *s);
/* The text of v when it is a non-empty JSON string, otherwise null. */
const char *nonempty_str(yyjson_val *v);

#endif
