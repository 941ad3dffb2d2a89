// store_test_util.h - temporary directories, environment and file helpers for
// the graph store's unit tests.
#ifndef PLUGIN_MEMORY_STORE_TEST_UTIL_H
#define PLUGIN_MEMORY_STORE_TEST_UTIL_H

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/store_internal.h"

namespace store_test {

// Removes a file or a directory tree.
inline void remove_tree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR *d = opendir(path.c_str())) {
            while (dirent *e = readdir(d)) {
                if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
                remove_tree(path + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
struct temp_dir {
    std::string path;
    temp_dir() {
        const char *base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/store_test.XXXXXX";
        std::vector<char> t(tmpl.begin(), tmpl.end());
        t.push_back(0);
        if (mkdtemp(t.data())) path = t.data();
    }
    ~temp_dir() {
        if (!path.empty()) remove_tree(path);
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// The environment variables the store reads; saved at construction and put
// back at destruction so that each test starts from the same environment.
struct env_guard {
    static constexpr const char *names[] = {
        "MEMORY_FILE_PATH", "MEMORY_CONNECTOR_DIR", "LOCALAPPDATA", "HOME",
        "MEMORY_MAX_ENTITIES", "MEMORY_MAX_OBS", "MEMORY_MAX_RELATIONS", "MEMORY_MAX_BAD",
        "MEMORY_LOCK_TIMEOUT_MS", "MEMORY_LOCK_STALE_MS"};
    std::vector<std::pair<bool, std::string>> saved;
    env_guard() {
        for (const char *n : names) {
            const char *v = getenv(n);
            saved.emplace_back(v != nullptr, v ? v : "");
        }
    }
    ~env_guard() {
        size_t i = 0;
        for (const char *n : names) {
            if (saved[i].first)
                setenv(n, saved[i].second.c_str(), 1);
            else
                unsetenv(n);
            i++;
        }
    }
};

// The file text of g as a save writes it whole.
inline std::string formatted(const graph *g) {
    buf b;
    buf_init(&b);
    graph_format(g, &b);
    std::string t(buf_str(&b), (size_t)b.len);
    buf_free(&b);
    return t;
}

// The words of a store result.
inline std::string message(store_rc rc) {
    char m[STORE_MESSAGE_CAP];
    return store_message(rc, m, sizeof m);
}

inline void set_env(const char *name, const std::string &value) { setenv(name, value.c_str(), 1); }

inline bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline std::string read_all(const std::string &path) {
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return out;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out.append(chunk, n);
    fclose(f);
    return out;
}

// The process id a lock file names: its first line.
inline std::string lock_holder(const std::string &path) {
    std::string text = read_all(path);
    return text.substr(0, text.find('\n'));
}

inline void write_all(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(fwrite(text.data(), 1, text.size(), f), text.size());
    fclose(f);
}

// Names in a directory, "." and ".." left out.
inline std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> out;
    if (DIR *d = opendir(path.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) out.push_back(e->d_name);
        closedir(d);
    }
    return out;
}

// A fixture for tests that work on the graph file: an empty G, a fresh
// temporary directory with MEMORY_FILE_PATH pointing at "memory.jsonl" in it,
// and the path resolved afresh.
class store_fixture : public ::testing::Test {
protected:
    env_guard env;
    temp_dir dir;
    std::string file;

    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        for (const char *n : env_guard::names)
            if (strcmp(n, "HOME") != 0) unsetenv(n);
        file = dir / "memory.jsonl";
        set_env("MEMORY_FILE_PATH", file);
        graph_clear(&G);
        store_reset_path();
        graph_unlock();
        g_check_copies = 1;  // every copying save is checked against the formatter
    }
    void TearDown() override {
        graph_unlock();
        graph_clear(&G);
        store_reset_path();
    }
    // Saves G, expecting success.
    void save_ok() {
        store_rc rc = graph_save();
        ASSERT_EQ(rc, STORE_OK) << message(rc);
    }
};

}  // namespace store_test

// A store result as a failed expectation shows it: its words.
inline void PrintTo(store_rc rc, std::ostream *os) {
    *os << (rc == STORE_OK ? "STORE_OK" : store_test::message(rc));
}

#endif
