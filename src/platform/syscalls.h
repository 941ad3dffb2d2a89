/* syscalls.h - the table of system calls through which each side of the
 * platform layer (posix.cpp, windows.cpp) makes every call that can fail,
 * in the manner of SQLite's aSyscall; syscalls.cpp gives tests their way in
 * (plat_set_syscall and friends, platform.h). Seen only inside the layer. */
#ifndef PLUGIN_MEMORY_PLATFORM_SYSCALLS_H
#define PLUGIN_MEMORY_PLATFORM_SYSCALLS_H

#include "platform.h"

/* One call of the table. */
struct syscall_entry {
    const char *name;          /* the call's name, as tests give it */
    plat_syscall_ptr current;  /* what the program calls now */
    plat_syscall_ptr dflt;     /* the system's own */
};

/* The side's table, in its order, and its number of calls: defined by the
 * side the build is for. */
extern syscall_entry a_syscall[];
extern const int a_syscall_count;

#endif
