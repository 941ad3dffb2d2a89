// fuzz_util.h - what the fuzz targets share: a private directory for the
// graph file (in memory-backed /dev/shm when it is there), removed at exit.
#ifndef PLUGIN_MEMORY_FUZZ_UTIL_H
#define PLUGIN_MEMORY_FUZZ_UTIL_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace fuzz {

inline std::string &dir() {
    static std::string d;
    return d;
}

inline void remove_dir(void) {
    if (dir().empty()) return;
    std::string cmd = "rm -rf '" + dir() + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

// Makes the directory, points MEMORY_FILE_PATH into it and removes it at
// exit. Aborts when no directory can be made: nothing could be tested.
inline void setup_graph_dir(void) {
    const char *bases[] = {"/dev/shm", getenv("TMPDIR"), "/tmp"};
    for (const char *base : bases) {
        if (!base || access(base, W_OK) != 0) continue;
        std::string tmpl = std::string(base) + "/pm-fuzz-XXXXXX";
        if (mkdtemp(&tmpl[0])) {
            dir() = tmpl;
            break;
        }
    }
    if (dir().empty()) abort();
    setenv("MEMORY_FILE_PATH", (dir() + "/memory.jsonl").c_str(), 1);
    atexit(remove_dir);
}

// Small graph limits, so that inputs reach the limit paths cheaply, and no
// waiting for the writer's lock.
inline void small_limits(void) {
    setenv("MEMORY_MAX_ENTITIES", "20", 1);
    setenv("MEMORY_MAX_RELATIONS", "20", 1);
    setenv("MEMORY_MAX_OBS", "8", 1);
    setenv("MEMORY_LOCK_TIMEOUT_MS", "0", 1);
}

inline std::string graph_file(void) { return dir() + "/memory.jsonl"; }

// Whole file, or "" when it is absent.
inline std::string read_file(const std::string &path) {
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return s;
    char b[65536];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0) s.append(b, n);
    fclose(f);
    return s;
}

inline void write_file(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (size && fwrite(data, 1, size, f) != size) abort();
    fclose(f);
}

// Splits data at the byte sep into at most n pieces (the last takes the rest).
inline void split(const uint8_t *data, size_t size, char sep, std::string *parts, int n) {
    int k = 0;
    size_t start = 0;
    for (size_t i = 0; i < size && k < n - 1; i++) {
        if (data[i] == (uint8_t)sep) {
            parts[k++].assign((const char *)data + start, i - start);
            start = i + 1;
        }
    }
    parts[k].assign((const char *)data + start, size - start);
}

// The text up to its first zero byte, as a C string would carry it.
inline std::string c_text(const std::string &s) { return std::string(s.c_str()); }

}  // namespace fuzz

#endif
