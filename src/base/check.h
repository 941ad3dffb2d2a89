/* check.h - the checked rules: PM_ASSERT(x) states that x holds at that
 * point, in the manner of SQLite's assert( unixMutexHeld() ). Each invariant
 * of the program has one home with its rules numbered at the top of its
 * file; the places that rely on a rule assert it there.
 *
 * On in debug and test builds, off in release builds: the build defines
 * PLUGIN_MEMORY_CHECKS to 1 unless CMAKE_BUILD_TYPE is Release or MinSizeRel
 * (the option PLUGIN_MEMORY_CHECKS of CMakeLists.txt). Off, x is not
 * evaluated (it is still compiled, so it cannot rot), and costs nothing.
 *
 * A rule found broken stops the process at once with an illegal instruction
 * (__builtin_trap: SIGILL on Linux, an illegal-instruction exception on
 * Windows), before a wrong answer or a wrong file can follow from it. It
 * writes nothing, to stderr or anywhere else (the program never writes to
 * stderr), and needs no system call; a debugger or a core dump shows the
 * place. A test sees the process die, and fails. */
#ifndef PLUGIN_MEMORY_CHECK_H
#define PLUGIN_MEMORY_CHECK_H

#if defined(PLUGIN_MEMORY_CHECKS) && PLUGIN_MEMORY_CHECKS
#define PM_ASSERT(x) ((x) ? (void)0 : __builtin_trap())
#else
#define PM_ASSERT(x) ((void)sizeof(!(x)))
#endif

#endif
