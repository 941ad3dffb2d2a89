// posix.cpp - the operating-system services of platform.h on POSIX.
//
// Every system call that can fail is made through the table a_syscall, in
// the manner of SQLite's os_unix.c, so that a test can put a failing version
// in place of any of them (plat_set_syscall) and prove that each failure is
// handled. Rules for the table:
//   1. Only the calls whose failure the program must survive are in it:
//      file, directory and process queries. Hints (madvise), the clock and
//      the process's own id are called directly.
//   2. Each entry's default is a plain static function of this file with the
//      call's own signature (variadic calls get a fixed one), so the typed
//      accessor SYS(name) needs no casts at the call sites.
//   3. A replacement keeps the default's contract: it returns what the call
//      returns on failure and sets errno as the call would.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <signal.h>

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "syscalls.h"

static int sys_open(const char *path, int flags, mode_t mode) { return open(path, flags, mode); }
static int sys_close(int fd) { return close(fd); }
static ssize_t sys_read(int fd, void *buf, size_t n) { return read(fd, buf, n); }
static ssize_t sys_pread(int fd, void *buf, size_t n, off_t off) { return pread(fd, buf, n, off); }
static ssize_t sys_write(int fd, const void *buf, size_t n) { return write(fd, buf, n); }
static int sys_fsync(int fd) { return fsync(fd); }
static int sys_rename(const char *from, const char *to) { return rename(from, to); }
static int sys_unlink(const char *path) { return unlink(path); }
static int sys_link(const char *from, const char *to) { return link(from, to); }
static ssize_t sys_getrandom(void *out, size_t n, unsigned flags) { return getrandom(out, n, flags); }
static int sys_utimensat(int dir, const char *path, const struct timespec *t, int flags) {
    return utimensat(dir, path, t, flags);
}
static int sys_mkdir(const char *path, mode_t mode) { return mkdir(path, mode); }
static int sys_chmod(const char *path, mode_t mode) { return chmod(path, mode); }
static int sys_stat(const char *path, struct stat *st) { return stat(path, st); }
static int sys_lstat(const char *path, struct stat *st) { return lstat(path, st); }
static int sys_fstat(int fd, struct stat *st) { return fstat(fd, st); }
static ssize_t sys_readlink(const char *path, char *buf, size_t n) { return readlink(path, buf, n); }
static char *sys_realpath(const char *path, char *out) { return realpath(path, out); }
static int sys_faccessat(int dir, const char *path, int mode, int flags) {
    return faccessat(dir, path, mode, flags);
}
static void *sys_mmap(void *at, size_t n, int prot, int flags, int fd, off_t off) {
    return mmap(at, n, prot, flags, fd, off);
}
static int sys_munmap(void *at, size_t n) { return munmap(at, n); }
static FILE *sys_fdopen(int fd, const char *mode) { return fdopen(fd, mode); }
static size_t sys_fwrite(const void *p, size_t size, size_t n, FILE *f) { return fwrite(p, size, n, f); }
static int sys_fflush(FILE *f) { return fflush(f); }
static int sys_fclose(FILE *f) { return fclose(f); }
static DIR *sys_opendir(const char *path) { return opendir(path); }
static int sys_kill(pid_t pid, int sig) { return kill(pid, sig); }

// The calls of the table, in its order: name and default function.
#define POSIX_SYSCALLS(X)                                                                      \
    X(open) X(close) X(read) X(pread) X(write) X(fsync) X(rename) X(unlink) X(mkdir) X(chmod)  \
    X(stat) X(lstat) X(fstat) X(readlink) X(realpath) X(faccessat) X(mmap) X(munmap)           \
    X(fdopen) X(fwrite) X(fflush) X(fclose) X(opendir) X(kill) X(link) X(utimensat) X(getrandom)

enum {
#define SYS_INDEX(name) SYS_##name,
    POSIX_SYSCALLS(SYS_INDEX)
#undef SYS_INDEX
    SYS_COUNT
};

syscall_entry a_syscall[SYS_COUNT] = {
#define SYS_ENTRY(name) {#name, (plat_syscall_ptr)sys_##name, (plat_syscall_ptr)sys_##name},
    POSIX_SYSCALLS(SYS_ENTRY)
#undef SYS_ENTRY
};
const int a_syscall_count = SYS_COUNT;

// The current function of a call, with its own type.
#define SYS(name) ((decltype(&sys_##name))a_syscall[SYS_##name].current)

void plat_binary_stdio(void) {}

char **plat_environment(void) { return environ; }

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

// The id the process table of /proc gives this process: "/proc/self" names
// it there. Asked again after a fork (the id of this process changed).
long plat_pid(void) {
    static pid_t asked_for = -1;
    static long known;
    pid_t own = getpid();
    if (own == asked_for) return known;
    char link[32];
    ssize_t n = SYS(readlink)("/proc/self", link, sizeof link - 1);
    long table = 0;
    if (n > 0) {
        link[n] = 0;
        char *end;
        table = strtol(link, &end, 10);
        if (*end || table <= 0) table = 0;
    }
    known = table ? table : (long)own;
    asked_for = own;
    return known;
}

void plat_prefer_large_pages(void *p, size_t len) {
#ifdef MADV_HUGEPAGE
    const uintptr_t huge = (uintptr_t)2 << 20;
    uintptr_t start = ((uintptr_t)p + huge - 1) & ~(huge - 1);
    uintptr_t end = ((uintptr_t)p + len) & ~(huge - 1);
    if (p && end > start) madvise((void *)start, (size_t)(end - start), MADV_HUGEPAGE);
#else
    (void)p;
    (void)len;
#endif
}

int plat_is_dir(const char *path) {
    struct stat st;
    return SYS(stat)(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int plat_exists(const char *path) {
    struct stat st;
    return SYS(stat)(path, &st) == 0;
}

int plat_file_mode(const char *path, unsigned *mode) {
    struct stat st;
    if (SYS(stat)(path, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    if (mode) *mode = (unsigned)(st.st_mode & 0777);
    return 1;
}

static void id_of(const struct stat *st, plat_file_id *id) {
    id->dev = (uint64_t)st->st_dev;
    id->ino = (uint64_t)st->st_ino;
    id->size = (int64_t)st->st_size;
    id->mtime_ns = (int64_t)st->st_mtim.tv_sec * 1000000000LL + st->st_mtim.tv_nsec;
    id->ctime_ns = (int64_t)st->st_ctim.tv_sec * 1000000000LL + st->st_ctim.tv_nsec;
}

int plat_file_identity(const char *path, plat_file_id *id) {
    struct stat st;
    if (SYS(stat)(path, &st) != 0) return (errno == ENOENT || errno == ENOTDIR) ? 0 : -1;
    if (!S_ISREG(st.st_mode)) return -1;
    id_of(&st, id);
    return 1;
}

int64_t plat_now_ns(void) {
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
    return (int64_t)now.tv_sec * 1000000000LL + now.tv_nsec;
}

int64_t plat_file_size(const char *path) {
    struct stat st;
    if (SYS(stat)(path, &st) != 0) return -1;
    return (int64_t)st.st_size;
}

int plat_mkdir(const char *path) { return SYS(mkdir)(path, 0777) == 0 ? 0 : -1; }

int plat_chmod(const char *path, unsigned mode) {
    return SYS(chmod)(path, (mode_t)(mode & 0777)) == 0 ? 0 : -1;
}

int plat_unlink(const char *path) { return SYS(unlink)(path) == 0 ? 0 : -1; }

int plat_sync_stream(void *f) {
    if (SYS(fflush)((FILE *)f) != 0) return -1;
    int fd = fileno((FILE *)f);
    if (fd < 0) return -1;
    while (SYS(fsync)(fd) != 0) {
        if (errno != EINTR) return -1;
    }
    return 0;
}

int plat_stream_close(void *f) { return SYS(fclose)((FILE *)f) == 0 ? 0 : -1; }

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
    int fd = SYS(open)(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return;
    while (SYS(fsync)(fd) != 0 && errno == EINTR) {
    }
    SYS(close)(fd);
}

int plat_replace(const char *tmp, const char *dst) {
    if (SYS(rename)(tmp, dst) != 0) return -1;
    sync_parent_dir(dst);
    return 0;
}

// Writes all len bytes at data to fd; 0, or -1.
static int write_all(int fd, const char *data, size_t len) {
    while (len > 0) {
        ssize_t w = SYS(write)(fd, data, len);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        data += w;
        len -= (size_t)w;
    }
    return 0;
}

int plat_create_exclusive(const char *path, const char *text) {
    int fd = SYS(open)(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errno == EEXIST ? -1 : -2;
    if (write_all(fd, text, strlen(text)) != 0) {
        // A lock file that does not name its holder is worse than none.
        SYS(close)(fd);
        SYS(unlink)(path);
        return -2;
    }
    if (SYS(close)(fd) != 0) {
        SYS(unlink)(path);
        return -2;
    }
    return 0;
}

int64_t plat_read_at(int fd, int64_t off, void *out, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = SYS(pread)(fd, (char *)out + got, n - got, (off_t)(off + (int64_t)got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += (size_t)r;
    }
    return (int64_t)got;
}

int plat_random(void *out, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = SYS(getrandom)((char *)out + got, n - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += (size_t)r;
    }
    if (got == n) return 0;
    // Hard to guess, not unpredictable.
    uint64_t mix = (uint64_t)plat_now_ns() ^ ((uint64_t)getpid() << 32) ^ (uint64_t)(uintptr_t)&got;
    for (size_t i = got; i < n; i++) {
        mix = mix * 6364136223846793005ULL + 1442695040888963407ULL;
        ((unsigned char *)out)[i] = (unsigned char)(mix >> 56);
    }
    return -1;
}

int plat_link_new(const char *src, const char *dst) {
    if (SYS(link)(src, dst) == 0) return 0;
    return errno == EEXIST ? -1 : -2;
}

int plat_rename(const char *src, const char *dst) { return SYS(rename)(src, dst) == 0 ? 0 : -1; }

int plat_touch(const char *path) {
    return SYS(utimensat)(AT_FDCWD, path, nullptr, 0) == 0 ? 0 : -1;
}

int plat_file_age(const char *path, long *seconds) {
    struct stat st;
    if (SYS(lstat)(path, &st) != 0) return -1;
    // Whole seconds that have really passed, from the exact times: the
    // difference of the two second counts alone would call a file written
    // at 10.999 one second old at 11.000. Ahead of the clock, likewise.
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
    long long ns = ((long long)now.tv_sec - (long long)st.st_mtim.tv_sec) * 1000000000LL +
                   ((long long)now.tv_nsec - (long long)st.st_mtim.tv_nsec);
    *seconds = (long)(ns / 1000000000LL);
    return 0;
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
    return (SYS(kill)((pid_t)pid, 0) == 0 || errno != ESRCH) ? 1 : 0;
}

int plat_dir_each(const char *dir, void (*fn)(const char *name, void *ctx), void *ctx) {
    DIR *d = SYS(opendir)(dir);
    if (!d) return -1;
    struct dirent *e;
    while ((e = readdir(d)) != nullptr) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        fn(e->d_name, ctx);
    }
    closedir(d);
    return 0;
}

// Reads up to cap - 1 bytes of a small file into buf. Returns the count, or
// -1 with errno as open or read left it.
static ssize_t read_small(const char *path, char *buf, size_t cap) {
    int fd = SYS(open)(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    ssize_t n;
    while ((n = SYS(read)(fd, buf, cap - 1)) < 0 && errno == EINTR) {
    }
    int saved = errno;
    SYS(close)(fd);
    errno = saved;
    if (n >= 0) buf[n] = 0;
    return n;
}

const char *plat_host_tag(void) {
    static char tag[17];
    static int known = -1;
    if (known >= 0) return tag;
    known = 0;
    // The boot's random id tells machines (and boots) apart; the device of
    // the mounted process table tells the tables of containers on one
    // machine apart. Not the process's own pid namespace: one that shares
    // its parent's table knows processes by the parent's ids.
    char boot[64];
    ssize_t n = read_small("/proc/sys/kernel/random/boot_id", boot, sizeof boot);
    struct stat proc;
    if (n <= 0 || SYS(faccessat)(AT_FDCWD, "/proc/self/stat", F_OK, 0) != 0 || SYS(stat)("/proc", &proc) != 0) return tag;
    char table[64];
    snprintf(table, sizeof table, "%llx", (unsigned long long)proc.st_dev);
    uint64_t h = 1469598103934665603ULL;  // FNV-1a, 64 bits
    const char *parts[] = {boot, "/", table};
    for (const char *part : parts)
        for (const unsigned char *p = (const unsigned char *)part; *p; p++)
            if (*p != '\n') h = (h ^ *p) * 1099511628211ULL;
    snprintf(tag, sizeof tag, "%016llx", (unsigned long long)h);
    known = 1;
    return tag;
}

int plat_pid_start(long pid, unsigned long long *start) {
    if (pid <= 0) return -1;
    char path[64], stat_text[1024];
    snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    ssize_t n = read_small(path, stat_text, sizeof stat_text);
    if (n < 0) {
        if (errno != ENOENT && errno != ESRCH) return -1;
        // No such entry: gone, unless there is no /proc to ask.
        return access("/proc/self/stat", F_OK) == 0 ? 0 : -1;
    }
    // The name in parentheses may hold anything; the fields follow the
    // last ")". The start time is field 22, the 20th after the name.
    const char *p = strrchr(stat_text, ')');
    if (!p) return -1;
    p++;
    for (int field = 3; field < 22; field++) {
        p = strchr(p + 1, ' ');
        if (!p) return -1;
    }
    char *end;
    errno = 0;
    unsigned long long v = strtoull(p + 1, &end, 10);
    if (errno || end == p + 1) return -1;
    // A zombie has not been reaped yet but will never write again.
    const char *state = strrchr(stat_text, ')') + 2;
    if (*state == 'Z' || *state == 'X') return 0;
    *start = v;
    return 1;
}

int plat_node_kind(const char *path) {
    struct stat st;
    if (SYS(lstat)(path, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    return S_ISREG(st.st_mode) ? 1 : 2;
}

int plat_is_own_file(const char *path) {
    struct stat st;
    return SYS(lstat)(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
           st.st_nlink == 1;
}

int plat_file_writable(const char *path) {
    struct stat st;
    // What cannot be examined is left to the steps that replace it.
    if (SYS(stat)(path, &st) != 0) return 1;
    if ((st.st_mode & 0222) == 0) return 0;
    return SYS(faccessat)(AT_FDCWD, path, W_OK, AT_EACCESS) == 0;
}

int plat_final_target(const char *path, char *out, size_t cap) {
    char cur[4096], link[4096];
    out[0] = 0;
    if (strlen(path) >= sizeof cur) return -1;
    strcpy(cur, path);
    for (int hops = 0;; hops++) {
        struct stat st;
        if (SYS(lstat)(cur, &st) != 0 || !S_ISLNK(st.st_mode)) break;
        if (hops == 40) return -1;  // as the system itself gives up
        ssize_t n = SYS(readlink)(cur, link, sizeof link - 1);
        if (n <= 0) return -1;
        link[n] = 0;
        if (link[0] == '/') {
            strcpy(cur, link);
        } else {
            // Relative to the directory that holds the link.
            char *slash = strrchr(cur, '/');
            size_t keep = slash ? (size_t)(slash - cur) + 1 : 0;
            if (keep + (size_t)n >= sizeof cur) return -1;
            memcpy(cur + keep, link, (size_t)n + 1);
        }
    }
    // The directory made canonical: the same file reached through another
    // spelling or a linked directory gives the same text.
    char *slash = strrchr(cur, '/');
    const char *base = slash ? slash + 1 : cur;
    char dir[4096];
    if (!slash) strcpy(dir, ".");
    else if (slash == cur) strcpy(dir, "/");
    else {
        memcpy(dir, cur, (size_t)(slash - cur));
        dir[slash - cur] = 0;
    }
    char canon[PATH_MAX];
    int n;
    if (SYS(realpath)(dir, canon))
        n = snprintf(out, cap, "%s%s%s", canon, strcmp(canon, "/") == 0 ? "" : "/", base);
    else
        n = snprintf(out, cap, "%s", cur);
    if (n < 0 || (size_t)n >= cap) {
        out[0] = 0;
        return -1;
    }
    return 0;
}

void *plat_create_new(const char *path, int *taken) {
    *taken = 0;
    int fd = SYS(open)(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *taken = errno == EEXIST;
        return nullptr;
    }
    FILE *f = SYS(fdopen)(fd, "wb");
    if (!f) {
        SYS(close)(fd);
        SYS(unlink)(path);
    }
    return f;
}

int plat_stream_put(void *f, const void *data, size_t len) {
    return SYS(fwrite)(data, 1, len, (FILE *)f) == len ? 0 : -1;
}

// Copies len bytes of in from offset off to out through a buffer of this
// process: for a file that cannot be mapped.
static int copy_by_reading(int in, off_t off, int out, uint64_t len) {
    static char block[1 << 16];
    while (len > 0) {
        size_t want = len < sizeof block ? (size_t)len : sizeof block;
        ssize_t r = SYS(pread)(in, block, want, off);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || write_all(out, block, (size_t)r) != 0) return -1;
        off += r;
        len -= (uint64_t)r;
    }
    return 0;
}

int plat_stream_copy(void *f, int fd, int64_t off, uint64_t len) {
    // The stream's own writes go first; a stream that only writes then
    // continues at the descriptor's offset, past the bytes copied here.
    if (SYS(fflush)((FILE *)f) != 0) return -1;
    int out = fileno((FILE *)f);
    if (out < 0 || fd < 0 || off < 0) return -1;
    struct stat st;
    if (SYS(fstat)(fd, &st) != 0 || (uint64_t)off > (uint64_t)st.st_size ||
        len > (uint64_t)st.st_size - (uint64_t)off)
        return -1;  // the file ends sooner: a mapping past its end would fault
    // Written straight from the file's cached pages, a window at a time: one
    // copy, as a write of the same bytes from memory makes, and only one
    // window of them counted in this process's memory at once.
    const uint64_t window = (uint64_t)1 << 20;
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) return copy_by_reading(fd, (off_t)off, out, len);
    while (len > 0) {
        off_t base = (off_t)off & ~(off_t)(page - 1);
        uint64_t skip = (uint64_t)((off_t)off - base);
        uint64_t want = len < window ? len : window;
        void *m = SYS(mmap)(nullptr, (size_t)(skip + want), PROT_READ, MAP_SHARED | MAP_POPULATE, fd, base);
        if (m == MAP_FAILED) return copy_by_reading(fd, (off_t)off, out, len);
        int r = write_all(out, (const char *)m + skip, (size_t)want);
        SYS(munmap)(m, (size_t)(skip + want));
        if (r != 0) return -1;
        off += (int64_t)want;
        len -= want;
    }
    return 0;
}

int plat_stream_identity(void *f, plat_file_id *id) {
    struct stat st;
    int fd = fileno((FILE *)f);
    if (fd < 0 || SYS(fstat)(fd, &st) != 0) return -1;
    id_of(&st, id);
    return 1;
}

int plat_fd_identity(int fd, plat_file_id *id) {
    struct stat st;
    if (fd < 0 || SYS(fstat)(fd, &st) != 0) return -1;
    id_of(&st, id);
    return 1;
}

int plat_open_read(const char *path, plat_file_id *id) {
    int fd = SYS(open)(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct stat st;
    if (SYS(fstat)(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        SYS(close)(fd);
        return -1;
    }
    id_of(&st, id);
    return fd;
}

int64_t plat_read(int fd, void *out, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = SYS(read)(fd, (char *)out + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += (size_t)r;
    }
    return (int64_t)got;
}

void plat_close(int fd) {
    if (fd >= 0) SYS(close)(fd);
}

int plat_change_times_fine(const char *scratch, uint64_t *dev) {
    // Changes a clock of ticks (1 ms at the finest) dates alike: made within
    // less than a tick, at most one pair of them falls on either side of a
    // tick, so CHANGES later times in a row can only come from a fine clock.
    const int CHANGES = 4;
    const int64_t WITHIN_NS = 1000000;
    const int TRIES = 3;  // a preempted try proves nothing either way
    for (int t = 0; t < TRIES; t++) {
        int fd = SYS(open)(scratch, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return 0;
        struct timespec t0, t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        struct stat st;
        int ok = SYS(fstat)(fd, &st) == 0, later = 0;
        *dev = ok ? (uint64_t)st.st_dev : 0;
        int64_t last = ok ? (int64_t)st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec : 0;
        for (int i = 0; ok && i < CHANGES; i++) {
            ok = SYS(write)(fd, "x", 1) == 1 && SYS(fstat)(fd, &st) == 0;
            int64_t c = (int64_t)st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
            if (ok && c > last) later++;
            last = c;
        }
        clock_gettime(CLOCK_MONOTONIC, &t1);
        SYS(close)(fd);
        if (SYS(unlink)(scratch) != 0) SYS(unlink)(scratch);
        if (!ok) return 0;
        int64_t took = (int64_t)(t1.tv_sec - t0.tv_sec) * 1000000000LL + (t1.tv_nsec - t0.tv_nsec);
        if (took < WITHIN_NS) return later == CHANGES;
    }
    return 0;
}
