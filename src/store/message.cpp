// message.cpp - the store's one way to fail, worded: the message of every
// store_rc, and the one place that formats the details a message names.
#include <cstring>

#include "store_internal.h"

namespace {

// A message being put together in the caller's buffer, cut on a whole
// character when it does not fit. Never allocates: a message is asked for
// when memory may have run out.
struct message {
    char *out;
    size_t cap;
    size_t len;      // bytes written, the terminator not counted
    int cut;         // 1 once a piece did not fit
};

void put(message *m, const char *s) {
    size_t n = strlen(s);
    if (m->cut) return;
    if (m->len + n >= m->cap) {
        n = m->cap - 1 - m->len;
        m->cut = 1;
    }
    memcpy(m->out + m->len, s, n);
    m->len += n;
    m->out[m->len] = 0;
}

void put_int(message *m, long v) {
    char num[24];  // %ld of any 64-bit long, and its terminator: it always fits
    fmt_fits(num, sizeof num, "%ld", v);
    put(m, num);
}

// The refusal of a save while the load left part of the file out: the
// limits that made it (cut, the CUT_* bits), with their values, and what
// to do.
void put_cut(message *m, uint32_t cut) {
    static const struct {
        uint32_t bit;
        const char *name;
        int (*value)(void);
    } limits[] = {
        {CUT_ENTITIES, "MEMORY_MAX_ENTITIES", limit_max_entities},
        {CUT_RELATIONS, "MEMORY_MAX_RELATIONS", limit_max_relations},
        {CUT_OBS, "MEMORY_MAX_OBS", limit_max_obs},
        {CUT_BAD, "MEMORY_MAX_BAD", limit_max_bad},
    };
    size_t n = 0, done = 0;
    for (auto &l : limits) n += (cut & l.bit) != 0;
    put(m, "Nothing was changed: the graph file holds more than ");
    for (auto &l : limits) {
        if (!(cut & l.bit)) continue;
        if (done) put(m, done + 1 == n ? " and " : ", ");
        put(m, l.name);
        put(m, " (");
        put_int(m, l.value());
        put(m, ")");
        done++;
    }
    put(m, n == 1 ? " allows, and a save would drop the rest. Raise the limit to change "
                    "the graph."
                  : " allow, and a save would drop the rest. Raise the limits to change "
                    "the graph.");
}

// The longest messages name a path beside the graph file: they fit.
static_assert(STORE_MESSAGE_CAP >= sizeof "the lock file " - 1 + BREAK_PATH_CAP - 1 +
                                       sizeof " is not a regular file",
              "STORE_MESSAGE_CAP holds the breaker's message");
static_assert(STORE_MESSAGE_CAP >= sizeof "cannot follow the links from " - 1 + GRAPH_PATH_CAP - 1 +
                                       sizeof " to the graph file",
              "STORE_MESSAGE_CAP holds the links' message");

}  // namespace

const char *store_message(store_rc rc, char *out, size_t cap) {
    if (!out || !cap) return "";
    message m = {out, cap, 0, 0};
    out[0] = 0;
    switch (rc) {
    case STORE_OK: break;
    case STORE_OOM: put(&m, "out of memory"); break;
    case STORE_PATH_TOO_LONG:
        put(&m, "the path of the graph file is longer than ");
        put_int(&m, GRAPH_PATH_CAP - 1);
        put(&m, " bytes");
        break;
    case STORE_NO_DATA_DIR: put(&m, "cannot create the connector data directory"); break;
    case STORE_PATH_DOTDOT: put(&m, "MEMORY_FILE_PATH may not contain '..'"); break;
    case STORE_PATH_BARE: put(&m, "MEMORY_FILE_PATH must name a file, not a bare name"); break;
    case STORE_NO_FILE_DIR: put(&m, "cannot create the directory for MEMORY_FILE_PATH"); break;
    case STORE_LINKS:
        put(&m, "cannot follow the links from ");
        put(&m, g_path);
        put(&m, " to the graph file");
        break;
    case STORE_BUSY: put(&m, "the graph is busy; try again"); break;
    case STORE_LOCK_NOT_FILE:
    case STORE_BREAK_NOT_FILE:
        put(&m, "the lock file ");
        put(&m, g_lock_path);
        if (rc == STORE_BREAK_NOT_FILE) put(&m, BREAK_SUFFIX);
        put(&m, " is not a regular file");
        break;
    case STORE_NO_ROOM:
        put(&m, "cannot create a temp file beside ");
        put(&m, g_path);
        break;
    case STORE_UNREADABLE:
        put(&m, "cannot read the graph file (permission, or larger than ");
        put_int(&m, GRAPH_READ_MAX_MB);
        put(&m, " MB)");
        break;
    case STORE_READ: put(&m, "cannot read the graph file"); break;
    case STORE_CUT: put_cut(&m, g_cut_refused); break;
    case STORE_TOO_LARGE:
        put(&m, "the graph would be larger than ");
        put_int(&m, GRAPH_READ_MAX_MB);
        put(&m, " MB; delete something first");
        break;
    case STORE_SAVE_OOM: put(&m, "out of memory while writing the graph"); break;
    case STORE_WRITE: put(&m, "cannot write the graph to disk"); break;
    case STORE_FLUSH: put(&m, "cannot flush the graph to disk"); break;
    case STORE_REPLACE: put(&m, "cannot replace the graph file"); break;
    case STORE_CHANGED: put(&m, "the file was changed by another program"); break;
    case STORE_COPY_DIFFERS: put(&m, "a copied line differs from its formatted text"); break;
    case STORE_NOT_OPEN: put(&m, "cannot write the graph file"); break;
    case STORE_DOOMED: put(&m, "a change within this one failed; nothing was saved"); break;
    case STORE_ENTITY_LIMIT:
        put(&m, "The graph is at its entity limit; delete entities before adding more.");
        break;
    case STORE_ENTITY_FIELDS:
        put(&m, "An entity needs a non-empty name and entityType (each at most ");
        put_int(&m, FIELD_MAX);
        put(&m, " characters).");
        break;
    case STORE_RELATION_LIMIT:
        put(&m, "The graph is at its relation limit; delete relations before adding more.");
        break;
    case STORE_RELATION_FIELDS:
        put(&m, "A relation needs non-empty from, to and relationType fields.");
        break;
    case STORE_OBS_LIMIT:
        put(&m, "the entity holds MEMORY_MAX_OBS (");
        put_int(&m, limit_max_obs());
        put(&m, ") observations already");
        break;
    }
    // Every value has its words (a value missing above is a build warning,
    // -Wswitch); a text cut for a small buffer ends on a whole character.
    PM_ASSERT(rc == STORE_OK || m.len > 0 || cap == 1);
    if (m.cut) out[utf8_whole_prefix(out, m.len)] = 0;
    return out;
}
