// platform_posix.cpp - the operating-system services of platform.h on POSIX.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <signal.h>

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform.h"

void plat_binary_stdio(void) {}

// glibc raises its mmap threshold each time a mapped block is freed, up to
// 32 MiB: after the first call of a session has freed the file text and the
// save buffer, the next ones would come from the heap, beside the graph
// being freed, and stay resident with it. A fixed threshold turns that off.
void plat_heap_setup(void) { mallopt(M_MMAP_THRESHOLD, 128 * 1024); }

void plat_release_pages(void *p, size_t len) {
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || !p) return;
    uintptr_t mask = (uintptr_t)page - 1;
    uintptr_t start = ((uintptr_t)p + mask) & ~mask;
    uintptr_t end = ((uintptr_t)p + len) & ~mask;
    if (end > start) madvise((void *)start, (size_t)(end - start), MADV_DONTNEED);
}

long plat_pid(void) { return (long)getpid(); }

int plat_is_dir(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int plat_exists(const char *path) {
    struct stat st;
    return stat(path, &st) == 0;
}

int plat_file_mode(const char *path, unsigned *mode) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    if (mode) *mode = (unsigned)(st.st_mode & 0777);
    return 1;
}

int64_t plat_file_size(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    return (int64_t)st.st_size;
}

int plat_mkdir(const char *path) { return mkdir(path, 0777) == 0 ? 0 : -1; }

int plat_chmod(const char *path, unsigned mode) {
    return chmod(path, (mode_t)(mode & 0777)) == 0 ? 0 : -1;
}

int plat_unlink(const char *path) { return unlink(path) == 0 ? 0 : -1; }

int plat_sync_stream(void *f) {
    int fd = fileno((FILE *)f);
    if (fd < 0) return -1;
    while (fsync(fd) != 0) {
        if (errno != EINTR) return -1;
    }
    return 0;
}

// Makes a finished rename durable by syncing the directory that holds dst.
// Some file systems refuse fsync on a directory; the rename has happened by
// then, so the outcome is not reported.
static void sync_parent_dir(const char *dst) {
    char dir[4096];
    const char *slash = strrchr(dst, '/');
    if (!slash) {
        strcpy(dir, ".");
    } else if (slash == dst) {
        strcpy(dir, "/");
    } else {
        size_t n = (size_t)(slash - dst);
        if (n >= sizeof dir) return;
        memcpy(dir, dst, n);
        dir[n] = 0;
    }
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    while (fsync(fd) != 0 && errno == EINTR) {
    }
    close(fd);
}

int plat_replace(const char *tmp, const char *dst) {
    if (rename(tmp, dst) != 0) return -1;
    sync_parent_dir(dst);
    return 0;
}

int plat_create_exclusive(const char *path, const char *text) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errno == EEXIST ? -1 : -2;
    size_t len = strlen(text), done = 0;
    while (done < len) {
        ssize_t w = write(fd, text + done, len - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            // A lock file that does not name its holder is worse than none.
            close(fd);
            unlink(path);
            return -2;
        }
        done += (size_t)w;
    }
    if (close(fd) != 0) {
        unlink(path);
        return -2;
    }
    return 0;
}

long plat_file_age_seconds(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    // Whole seconds that have really passed, from the exact times: the
    // difference of the two second counts alone would call a file written
    // at 10.999 one second old at 11.000.
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
    long long ns = ((long long)now.tv_sec - (long long)st.st_mtim.tv_sec) * 1000000000LL +
                   ((long long)now.tv_nsec - (long long)st.st_mtim.tv_nsec);
    if (ns < 0) return 0;
    return (long)(ns / 1000000000LL);
}

void plat_sleep_ms(int ms) {
    if (ms <= 0) return;
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int plat_pid_alive(long pid) {
    if (pid <= 0) return 1;
    return (kill((pid_t)pid, 0) == 0 || errno != ESRCH) ? 1 : 0;
}

int plat_dir_each(const char *dir, void (*fn)(const char *name, void *ctx), void *ctx) {
    DIR *d = opendir(dir);
    if (!d) return -1;
    struct dirent *e;
    while ((e = readdir(d)) != nullptr) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        fn(e->d_name, ctx);
    }
    closedir(d);
    return 0;
}
