// env.cpp - integer settings from the environment.
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "env.h"

int env_int(const char *name, int def, int min, int max) {
    const char *v = getenv(name);
    if (!v || !*v) return def;
    char *end = nullptr;
    errno = 0;
    long x = strtol(v, &end, 10);
    if (end == v) return def;
    if (errno == ERANGE || x < INT_MIN || x > INT_MAX) return def;
    if (x < min) return min;
    if (x > max) return max;
    return (int)x;
}
