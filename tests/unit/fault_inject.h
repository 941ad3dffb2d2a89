// fault_inject.h - fails the N-th allocation, or the N-th call of one system
// call of the platform's table, for the failure-point sweep.
//
// One class of call is armed at a time: "alloc" (every allocation through
// the heap hook) or the name of a call in the platform's table ("open",
// "write", "fsync", ...). While armed, every call of that class is counted;
// the N-th fails as the system would fail it (null, -1 with errno EIO,
// MAP_FAILED), the others go through. N of 0 only counts.
#ifndef PLUGIN_MEMORY_FAULT_INJECT_H
#define PLUGIN_MEMORY_FAULT_INJECT_H

#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <type_traits>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/mem.h"
#include "platform/platform.h"

namespace fault {

struct state {
    std::string armed;   // the class counted, "" when none
    long fail_at = 0;    // the call number that fails; 0 for none
    long calls = 0;      // calls of the class since arming
    bool hit = false;    // the failing call was made
};
inline state g;

// 1 when the call being made now is the one to fail.
inline bool tick() {
    if (++g.calls != g.fail_at) return false;
    g.hit = true;
    return true;
}

inline int alloc_hook(size_t) { return tick() ? 1 : 0; }

// What a call returns on failure, by its return type.
template <typename R> R failure() {
    if constexpr (std::is_pointer_v<R>) return nullptr;
    else if constexpr (std::is_same_v<R, size_t>) return 0;
    else return (R)-1;
}

// The failing stand-in of call I of the table: the default unless it is
// the call to fail.
template <int I, typename R, typename... A> R stand_in(A... a);

struct call {
    const char *name;
    plat_syscall_ptr stand_in;
};

// Index of each call's default, filled by arm().
inline plat_syscall_ptr g_default[64];

template <int I, typename R, typename... A> R stand_in(A... a) {
    if (tick()) {
        errno = EIO;
        if constexpr (std::is_same_v<R, void *>) return MAP_FAILED;  // mmap
        else return failure<R>();
    }
    return ((R(*)(A...))g_default[I])(a...);
}

#define FAULT_CALL(i, name, R, ...) {name, (plat_syscall_ptr)&stand_in<i, R, __VA_ARGS__>}
// The calls of the POSIX side's table, with their signatures.
inline const call CALLS[] = {
    FAULT_CALL(0, "open", int, const char *, int, mode_t),
    FAULT_CALL(1, "close", int, int),
    FAULT_CALL(2, "read", ssize_t, int, void *, size_t),
    FAULT_CALL(3, "pread", ssize_t, int, void *, size_t, off_t),
    FAULT_CALL(4, "write", ssize_t, int, const void *, size_t),
    FAULT_CALL(5, "fsync", int, int),
    FAULT_CALL(6, "rename", int, const char *, const char *),
    FAULT_CALL(7, "unlink", int, const char *),
    FAULT_CALL(8, "mkdir", int, const char *, mode_t),
    FAULT_CALL(9, "chmod", int, const char *, mode_t),
    FAULT_CALL(10, "stat", int, const char *, struct stat *),
    FAULT_CALL(11, "lstat", int, const char *, struct stat *),
    FAULT_CALL(12, "fstat", int, int, struct stat *),
    FAULT_CALL(13, "readlink", ssize_t, const char *, char *, size_t),
    FAULT_CALL(14, "realpath", char *, const char *, char *),
    FAULT_CALL(15, "faccessat", int, int, const char *, int, int),
    FAULT_CALL(16, "mmap", void *, void *, size_t, int, int, int, off_t),
    FAULT_CALL(17, "munmap", int, void *, size_t),
    FAULT_CALL(18, "fdopen", FILE *, int, const char *),
    FAULT_CALL(19, "fwrite", size_t, const void *, size_t, size_t, FILE *),
    FAULT_CALL(20, "fflush", int, FILE *),
    FAULT_CALL(21, "fclose", int, FILE *),
    FAULT_CALL(22, "opendir", DIR *, const char *),
    FAULT_CALL(23, "kill", int, pid_t, int),
    FAULT_CALL(24, "link", int, const char *, const char *),
    FAULT_CALL(25, "utimensat", int, int, const char *, const struct timespec *, int),
    FAULT_CALL(26, "getrandom", ssize_t, void *, size_t, unsigned),
};
#undef FAULT_CALL

// Every class: "alloc", then the calls of the table.
inline std::vector<std::string> classes() {
    std::vector<std::string> out{"alloc"};
    for (const char *n = plat_next_syscall(nullptr); n; n = plat_next_syscall(n)) out.push_back(n);
    return out;
}

// Arms the class: its n-th call fails (0: none fails; calls are counted).
// Returns false for a class this file has no stand-in for.
inline bool arm(const std::string &cls, long n) {
    g = state{cls, n, 0, false};
    if (cls == "alloc") {
        mem_set_fail_hook(alloc_hook);
        return true;
    }
    for (size_t i = 0; i < sizeof CALLS / sizeof CALLS[0]; i++)
        if (cls == CALLS[i].name) {
            g_default[i] = plat_default_syscall(CALLS[i].name);
            return plat_set_syscall(CALLS[i].name, CALLS[i].stand_in) == 0;
        }
    return false;
}

// Puts every call back; returns the calls counted.
inline long disarm() {
    mem_set_fail_hook(nullptr);
    for (const call &c : CALLS) plat_set_syscall(c.name, nullptr);
    long n = g.calls;
    g.armed.clear();
    g.fail_at = 0;
    return n;
}

}  // namespace fault

#endif
