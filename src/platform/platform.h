/* platform.h - the operating-system services the program takes from its
 * platform: files, directories, processes, memory pages and the clock. One
 * implementation per platform, chosen by the build (posix.cpp, windows.cpp); no
 * other part of the program knows which system it runs on. Paths are UTF-8
 * texts. Every call that can fail goes through the implementation's table
 * of system calls, which tests reach through plat_set_syscall. */
#ifndef PLUGIN_MEMORY_PLATFORM_H
#define PLUGIN_MEMORY_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

/* Puts standard input and output into binary mode (no line-ending
 * translation). A no-op on POSIX. */
void plat_binary_stdio(void);
/* The process's environment: "NAME=value" texts up to a null entry (on
 * Windows the UTF-8 copy getenv reads). A name may stand more than once
 * where the process's parent put it so; getenv finds the first. */
char **plat_environment(void);
/* Sets up the heap for a process that loads and frees a whole graph per
 * call: large blocks are mapped on their own and go back to the system when
 * freed. Never fails (the outcome is not reported). */
void plat_heap_setup(void);
/* Gives the whole memory pages inside p[0..len), a part of a heap block
 * that is no longer read, back to the system; their bytes become undefined.
 * The block stays allocated and is freed as usual. Never fails (a refusal
 * keeps the pages). */
void plat_release_pages(void *p, size_t len);
/* Asks for the whole memory pages inside p[0..len), a heap block about to
 * be filled, to be backed by large pages where the system offers them on
 * request, so that filling it takes a few faults instead of one per page.
 * Never fails (a refusal keeps small pages). */
void plat_prefer_large_pages(void *p, size_t len);
/* The current process identifier as this machine's process table (the one
 * plat_pid_start reads) knows it: in a process-id namespace that shares the
 * table of its parent, the id there, not the namespace's own small number,
 * so that another writer asking about it asks about this process. The
 * namespace's own id when the table does not say. Never fails. */
long plat_pid(void);
/* 1 when path exists and is a directory, else 0. */
int plat_is_dir(const char *path);
/* 1 when path exists (anything), else 0. */
int plat_exists(const char *path);
/* Regular file test; when it is one, its low nine permission bits go to
 * *mode (may be null) and 1 is returned; otherwise 0. */
int plat_file_mode(const char *path, unsigned *mode);
/* What tells one version of a file from another: a save that renames a new
 * file over it changes the inode, a write in place the size or the times. */
struct plat_file_id {
    uint64_t dev;       /* device */
    uint64_t ino;       /* inode */
    int64_t size;       /* bytes */
    int64_t mtime_ns;   /* last modification, ns since the epoch */
    int64_t ctime_ns;   /* last status change, ns since the epoch */
};
/* Looks at path with one stat (following links). Returns 1 with *id filled
 * when it is a regular file; 0 when nothing is there; -1 when it is something
 * else (a directory) or cannot be examined. */
int plat_file_identity(const char *path, plat_file_id *id);
/* The wall clock in ns since the epoch, the clock file times are given in. */
int64_t plat_now_ns(void);
/* Size of the file at path in bytes, or -1 when it cannot be examined. */
int64_t plat_file_size(const char *path);
/* Creates one directory with default permissions. Returns 0 or -1. */
int plat_mkdir(const char *path);
/* Sets the low nine permission bits. Returns 0 or -1. */
int plat_chmod(const char *path, unsigned mode);
/* Removes a file. Returns 0 or -1. */
int plat_unlink(const char *path);
/* Writes out what the stream f (from plat_create_new) holds and flushes
 * its file's data to stable storage. Returns 0 or -1. */
int plat_sync_stream(void *f);
/* Closes the stream f (from plat_create_new), writing out what it holds.
 * Returns 0, or -1 when that write or the close failed; f is closed either
 * way. */
int plat_stream_close(void *f);
/* Moves the finished file tmp over dst in one step, durably: after success
 * the rename itself is on stable storage. Returns 0; -2 when dst is busy,
 * held open by another process in a way that stops the move until that
 * process lets go (Windows; never on POSIX); -1 on any other failure. dst
 * is untouched on failure. */
int plat_replace(const char *tmp, const char *dst);
/* Creates path exclusively, owner read/write, and writes text into it.
 * Returns 0; -1 when it exists already; -2 when it cannot be made or
 * written for another reason (no room, no permission), leaving nothing. */
int plat_create_exclusive(const char *path, const char *text);
/* Gives the file src the second name dst, in one step: dst appears with
 * src's whole content or not at all. Returns 0; -1 when something is at dst
 * already (nothing changed); -2 when it cannot be done otherwise (the file
 * system has no second names, no permission...), nothing changed. */
int plat_link_new(const char *src, const char *dst);
/* Moves the file (or link) at src to dst, replacing what is at dst, in one
 * step, without syncing. Returns 0 or -1 (nothing moved). */
int plat_rename(const char *src, const char *dst);
/* Sets the file's modification time to now, so that its age starts again.
 * Returns 0 or -1. */
int plat_touch(const char *path);
/* Age of the file's last modification in whole seconds that have really
 * passed, into *seconds: negative when the file is dated ahead of this
 * machine's clock. Returns 0, or -1 when the file cannot be examined. */
int plat_file_age(const char *path, long *seconds);
/* Sleeps for ms milliseconds. */
void plat_sleep_ms(int ms);
/* 1 unless the process pid is known to be gone (0 then). */
int plat_pid_alive(long pid);
/* What tells this machine's current boot and the process table this
 * process reads apart from any other: 16 hexadecimal digits, the same for
 * every process that shares both (two processes with one tag know each
 * other by the ids plat_pid gives), or "" when the system does not say.
 * Never null. */
const char *plat_host_tag(void);
/* When the process pid of this namespace started, in the system's own
 * unit, into *start: together with pid it names one process, whatever ids
 * are reused later. Returns 1 while the process lives, 0 when it is gone,
 * -1 when that cannot be told. */
int plat_pid_start(long pid, unsigned long long *start);
/* What is at path, links not followed: 0 nothing, 1 a regular file, 2
 * anything else (directory, symbolic link, device...), -1 when it cannot be
 * examined. */
int plat_node_kind(const char *path);
/* 1 when path is a regular file (not a link) owned by this process's user
 * with no other name: one a writer of this user can have left. */
int plat_is_own_file(const char *path);
/* 1 when the file at path (links followed) may be replaced by a writer that
 * keeps to its mode: it does not exist, or it has a write permission bit and
 * this process may write it (for the superuser too, the bits decide).
 * 0 otherwise. */
int plat_file_writable(const char *path);
/* Follows symbolic links from path to the file they finally name (which
 * need not exist) and writes its path into out[cap], its directory part
 * made canonical when that directory exists, so that every way of naming a
 * file gives the same text. Returns 0, or -1 (a loop, a path too long, a
 * link that cannot be read) with out emptied. */
int plat_final_target(const char *path, char *out, size_t cap);
/* Creates path new for writing, owner read/write, never through a symbolic
 * link. Returns the stream (opaque; close it with plat_stream_close), or null with *taken set to 1 when
 * something is at path already and to 0 for any other reason. */
void *plat_create_new(const char *path, int *taken);
/* Appends len bytes at data to the stream f (from plat_create_new), as fwrite: small
 * pieces wait in its buffer. Returns 0, or -1 when not every byte was taken
 * (no room, an I/O error). */
int plat_stream_put(void *f, const void *data, size_t len);
/* Appends the len bytes of the file open at fd that start at offset off to
 * the stream f, after what its buffer holds (flushed first), written from
 * the file's own cached pages where the system can map them. f must be a
 * stream that only writes, made by plat_create_new. Returns 0, or -1 when not every byte was copied (the file
 * at fd ends sooner, no room, an I/O error). */
int plat_stream_copy(void *f, int fd, int64_t off, uint64_t len);
/* The identity (as plat_file_identity) of the file behind the stream f, from
 * its descriptor. Returns 1, or -1 when it cannot be examined. */
int plat_stream_identity(void *f, plat_file_id *id);
/* The same for a descriptor from plat_open_read. */
int plat_fd_identity(int fd, plat_file_id *id);
/* Opens the regular file at path (links followed) for reading, shared with
 * every other reader and with a writer that replaces or removes the file
 * meanwhile. Returns its descriptor with *id its identity; -2 when the file
 * is there but held by another process in a way that a wait can end (in the
 * middle of being replaced, on Windows; never on POSIX); -1 when it cannot
 * be opened or is no regular file. Close it with plat_close. */
int plat_open_read(const char *path, plat_file_id *id);
/* Reads up to n bytes from fd (from plat_open_read) at its offset into out,
 * as many as the file gives: fewer only at its end. Returns the count, or -1
 * on an I/O error (out then undefined). */
int64_t plat_read(int fd, void *out, size_t n);
/* Reads up to n bytes from fd (from plat_open_read) starting at offset off,
 * without moving its offset: as many as the file gives, fewer only at its
 * end. Returns the count, or -1 on an I/O error (out then undefined). */
int64_t plat_read_at(int fd, int64_t off, void *out, size_t n);
/* 1 when the file system at scratch gives a file new times at every change
 * made after its times were looked at, however soon after (as Linux's
 * multigrain timestamps do): then a file's identity, once seen, changes
 * with its next change. Found by changing a new file of that name, which
 * this process alone may make (it is removed again), several times within
 * one millisecond, less than any clock tick: each change must show a later
 * status-change time. *dev becomes the device examined. 0 when the times
 * are coarser, or when it cannot be told (the file cannot be made, the
 * changes took too long, the system keeps no such times). */
int plat_change_times_fine(const char *scratch, uint64_t *dev);
/* Fills out[0..n) with unpredictable bytes from the system's random source,
 * for keys that no one outside this process may know. Returns 0, or -1 when
 * the system gives none (out then holds bytes that are only hard to guess:
 * the time, the process id and an address). */
int plat_random(void *out, size_t n);
/* Closes a descriptor from plat_open_read; -1 does nothing. */
void plat_close(int fd);
/* Calls fn(name, ctx) for every entry of the directory dir (not "." and
 * ".."). Returns 0, or -1 when the directory cannot be read. */
int plat_dir_each(const char *dir, void (*fn)(const char *name, void *ctx), void *ctx);

/*==============================================================================
 * The table of system calls
 *============================================================================*/

/* Any function, as the table holds it; cast to the call's own type. */
typedef void (*plat_syscall_ptr)(void);
/* Puts fn in place of the system call named name (the POSIX side names
 * them after the C library: "open", "read", "write", "fsync", "rename",
 * "mmap" ...); fn must have that call's signature and keep its failure
 * contract. A null fn puts the default back. Returns 0, or -1 when the
 * table has no such call. For tests, which fail calls on purpose; the
 * program never calls it. */
int plat_set_syscall(const char *name, plat_syscall_ptr fn);
/* The function in use for name, or null when there is no such call. */
plat_syscall_ptr plat_get_syscall(const char *name);
/* The system's own function for name, or null when there is no such call. */
plat_syscall_ptr plat_default_syscall(const char *name);
/* The name of the call after name in the table (the first for null), or
 * null after the last: a test walks every call with it. */
const char *plat_next_syscall(const char *name);

#endif
