// file.cpp - the graph file itself: read whole, and replaced whole by a
// new file written beside it that takes its place in one step.
#include <cstring>

#include "store_internal.h"

store_rc file_read_whole(const char *path, int64_t max, char **out, size_t *len,
                         plat_file_id *id) {
    *out = nullptr;
    *len = 0;
    // Only a regular file is read; a directory would open on POSIX and read
    // as nothing, hiding that the graph is not where it should be.
    if (plat_exists(path) && !plat_file_mode(path, nullptr)) return STORE_READ;
    int fd = graph_open_read(path, id);
    if (fd < 0) return plat_exists(path) ? STORE_READ : STORE_OK;
    store_rc rc = STORE_READ;
    char *data = nullptr;
    int64_t n = -1;
    if (id->size >= 0 && id->size <= max) {
        data = (char *)mem_alloc((size_t)id->size + 1);
        rc = data ? STORE_OK : STORE_OOM;
    }
    if (data) {
        plat_prefer_large_pages(data, (size_t)id->size + 1);
        n = plat_read(fd, data, (size_t)id->size);
        if (n < 0) rc = STORE_READ;
    }
    plat_close(fd);
    if (rc != STORE_OK) {
        mem_free(data);
        return rc;
    }
    data[n] = 0;
    *out = data;
    *len = (size_t)n;
    return STORE_OK;
}

store_rc replace_with(store_rc (*fill)(void *f, void *ctx), void *ctx, plat_file_id *written,
                      int *identified) {
    if (identified) *identified = 0;
    store_rc rc = ensure_path();
    if (rc != STORE_OK) return rc;
    // A graph file that is a symbolic link (into a synced folder, say) stays
    // one: the file it finally names is replaced, through a temporary file
    // beside that file.
    char target[GRAPH_PATH_CAP];
    rc = graph_write_target(target, sizeof target);
    if (rc != STORE_OK) return rc;
    // A file without a write permission bit is not to be replaced, though
    // the rename would ignore its mode, and the superuser its bits.
    if (!plat_file_writable(target)) return STORE_REPLACE;
    unsigned mode = 0;
    int keep_mode = plat_file_mode(target, &mode);
    char tmp[SIDE_PATH_CAP];
    rc = graph_temp_path(target, tmp, sizeof tmp);
    if (rc != STORE_OK) return rc;
    // Made new, never through a link planted at its name: the name may be
    // taken only by a temporary file a dead writer of this process's id
    // left, which goes; anything else fails the save.
    int taken = 0;
    void *f = plat_create_new(tmp, &taken);
    if (!f && taken && plat_is_own_file(tmp) && plat_unlink(tmp) == 0)
        f = plat_create_new(tmp, &taken);
    if (!f) return STORE_NO_ROOM;
    rc = fill(f, ctx);
    if (rc != STORE_OK) {
        plat_stream_close(f);
        plat_unlink(tmp);
        return rc;
    }
    // The data must be on disk before the rename makes it the graph file.
    int flushed = plat_sync_stream(f) == 0;
    plat_file_id mine;
    int known = plat_stream_identity(f, &mine) == 1;
    if (plat_stream_close(f) != 0) flushed = 0;
    if (!flushed) {
        plat_unlink(tmp);
        return STORE_FLUSH;
    }
    if (keep_mode) plat_chmod(tmp, mode);
    // A reader of another process may hold the graph file for the moment
    // of its read, which on Windows stops the move: waited for as the lock
    // is, until the time-out has passed.
    int moved = plat_replace(tmp, target);
    for (int waited = 0; moved == -2 && waited < lock_timeout_ms(); waited += BUSY_RETRY_MS) {
        plat_sleep_ms(BUSY_RETRY_MS);
        moved = plat_replace(tmp, target);
    }
    if (moved != 0) {
        plat_unlink(tmp);
        // Still held at the end of the wait: the graph was busy, as for a
        // writer that cannot have the lock, and nothing is broken.
        return moved == -2 ? STORE_BUSY : STORE_REPLACE;
    }
    // The graph file is the one just written while it is the same file with
    // the same contents; the mode and the rename changed only its status time.
    plat_file_id now;
    if (!known || plat_file_identity(g_path, &now) != 1 || now.dev != mine.dev ||
        now.ino != mine.ino || now.size != mine.size || now.mtime_ns != mine.mtime_ns)
        return STORE_OK;
    if (written) *written = now;
    if (identified) *identified = 1;
    return STORE_OK;
}

// The whole text of a write_over.
struct text_piece {
    const char *text;
    size_t len;
};

static store_rc put_text(void *f, void *ctx) {
    const text_piece *t = (const text_piece *)ctx;
    if (t->len > 0 && plat_stream_put(f, t->text, t->len) != 0) return STORE_WRITE;
    return STORE_OK;
}

store_rc write_over(const char *text, size_t len) {
    text_piece t = {text, len};
    return replace_with(put_text, &t, nullptr, nullptr);
}
