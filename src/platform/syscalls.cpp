// syscalls.cpp - the functions of platform.h that reach the table of system
// calls of the side the build is for (syscalls.h).
#include <cstring>

#include "syscalls.h"

static syscall_entry *syscall_find(const char *name) {
    for (int i = 0; name && i < a_syscall_count; i++)
        if (strcmp(a_syscall[i].name, name) == 0) return &a_syscall[i];
    return nullptr;
}

int plat_set_syscall(const char *name, plat_syscall_ptr fn) {
    syscall_entry *e = syscall_find(name);
    if (!e) return -1;
    e->current = fn ? fn : e->dflt;
    return 0;
}

plat_syscall_ptr plat_get_syscall(const char *name) {
    syscall_entry *e = syscall_find(name);
    return e ? e->current : nullptr;
}

plat_syscall_ptr plat_default_syscall(const char *name) {
    syscall_entry *e = syscall_find(name);
    return e ? e->dflt : nullptr;
}

const char *plat_next_syscall(const char *name) {
    if (!name) return a_syscall[0].name;
    for (int i = 0; i + 1 < a_syscall_count; i++)
        if (strcmp(a_syscall[i].name, name) == 0) return a_syscall[i + 1].name;
    return nullptr;
}
