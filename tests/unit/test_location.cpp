// test_location.cpp - where the graph file lives: the order of the rules,
// tilde expansion, refused paths, directory creation, and resolving once.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/store_internal.h"
#include "store_test_util.h"

namespace {

using store_test::file_exists;

bool is_dir(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Replaces every "$T" by the test's directory.
std::string expand(const std::string &s, const std::string &t) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '$' && i + 1 < s.size() && s[i + 1] == 'T') {
            out += t;
            i++;
        } else {
            out += s[i];
        }
    }
    return out;
}

class StorageLocation : public ::testing::Test {
protected:
    store_test::env_guard env;
    store_test::temp_dir dir;
    char old_cwd[PATH_MAX] = "";

    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        // Relative results land in the test's directory.
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
        for (const char *n : store_test::env_guard::names) unsetenv(n);
        store_reset_path();
    }
    void TearDown() override {
        if (chdir(old_cwd) != 0) ADD_FAILURE() << "cannot return to " << old_cwd;
        store_reset_path();
    }
    void set(const char *name, const std::string &value) {
        setenv(name, expand(value, dir.path).c_str(), 1);
    }
};

struct location_case {
    const char *what;
    std::vector<std::pair<const char *, std::string>> env;
    std::string path;    // expected g_path ("$T" for the test directory), or ""
    std::string error;   // the expected message when resolution fails
    std::string made;    // a directory that exists afterwards
};

TEST_F(StorageLocation, RulesInOrder) {
    if (is_dir("/workspace")) GTEST_SKIP() << "/workspace exists and takes precedence";
    const std::string pm = "/.tallowin/connectors/plugin_memory";
    const location_case cases[] = {
        {"home directory", {{"HOME", "$T/home"}}, "$T/home" + pm + "/memory.jsonl", "",
         "$T/home" + pm},
        {"no HOME: the current directory", {}, "." + pm + "/memory.jsonl", "", "$T" + pm},
        {"empty HOME counts as unset", {{"HOME", ""}}, "." + pm + "/memory.jsonl", "", "$T" + pm},
        {"connector directory wins over home",
         {{"MEMORY_CONNECTOR_DIR", "$T/c"}, {"HOME", "$T/home"}}, "$T/c/memory.jsonl", "", "$T/c"},
        {"connector directory ending in a separator", {{"MEMORY_CONNECTOR_DIR", "$T/c/"}},
         "$T/c/memory.jsonl", "", "$T/c"},
        {"LOCALAPPDATA keeps its backslashes as bytes",
         {{"LOCALAPPDATA", "$T/lad"}, {"HOME", "$T/home"}},
         "$T/lad\\tallowin\\connectors\\plugin_memory/memory.jsonl", "",
         "$T/lad\\tallowin\\connectors\\plugin_memory"},
        {"plain file name lives in the data directory",
         {{"MEMORY_CONNECTOR_DIR", "$T/d"}, {"MEMORY_FILE_PATH", "g.jsonl"}}, "$T/d/g.jsonl", "",
         "$T/d"},
        {"relative path through a parent",
         {{"MEMORY_CONNECTOR_DIR", "$T/d"}, {"MEMORY_FILE_PATH", "../g.jsonl"}}, "",
         "MEMORY_FILE_PATH may not contain '..'", ""},
        {"two dots inside a name",
         {{"MEMORY_CONNECTOR_DIR", "$T/d"}, {"MEMORY_FILE_PATH", "g..jsonl"}}, "",
         "MEMORY_FILE_PATH may not contain '..'", ""},
        {"absolute path with a parent component",
         {{"MEMORY_FILE_PATH", "$T/a/../b/g.jsonl"}}, "$T/a/../b/g.jsonl", "", "$T/b"},
        {"absolute path in a missing directory chain",
         {{"MEMORY_FILE_PATH", "$T/x/y/z/g.jsonl"}}, "$T/x/y/z/g.jsonl", "", "$T/x/y/z"},
        {"mixed separators", {{"MEMORY_FILE_PATH", "$T/m\\n/g.jsonl"}}, "$T/m\\n/g.jsonl", "",
         "$T/m\\n"},
        {"directly under the root", {{"MEMORY_FILE_PATH", "/g.jsonl"}}, "/g.jsonl", "", "/"},
        {"drive letter and a bare name", {{"MEMORY_FILE_PATH", "C:g.jsonl"}}, "",
         "MEMORY_FILE_PATH must name a file, not a bare name", ""},
        {"drive letter with a backslash", {{"MEMORY_FILE_PATH", "C:\\g.jsonl"}}, "C:\\g.jsonl",
         "", "$T/C:"},
        {"tilde with HOME", {{"HOME", "$T/h"}, {"MEMORY_FILE_PATH", "~/g.jsonl"}},
         "$T/h/g.jsonl", "", "$T/h"},
        {"tilde and backslash", {{"HOME", "$T/h"}, {"MEMORY_FILE_PATH", "~\\g.jsonl"}},
         "$T/h\\g.jsonl", "", "$T/h"},
        {"tilde alone names the home directory", {{"HOME", "$T/h/file"}, {"MEMORY_FILE_PATH", "~"}},
         "$T/h/file", "", "$T/h"},
        {"tilde without HOME is relative",
         {{"MEMORY_CONNECTOR_DIR", "$T/d"}, {"MEMORY_FILE_PATH", "~/g.jsonl"}}, "$T/d/./g.jsonl",
         "", "$T/d"},
        {"tilde before a name is taken as it is",
         {{"MEMORY_CONNECTOR_DIR", "$T/d"}, {"HOME", "$T/h"}, {"MEMORY_FILE_PATH", "~g.jsonl"}},
         "$T/d/~g.jsonl", "", "$T/d"},
        {"data directory under a regular file",
         {{"MEMORY_CONNECTOR_DIR", "$T/plain/d"}}, "", "cannot create the connector data directory",
         ""},
        {"relative file whose data directory cannot be made",
         {{"MEMORY_CONNECTOR_DIR", "$T/plain/d"}, {"MEMORY_FILE_PATH", "g.jsonl"}}, "",
         "cannot create the connector data directory", ""},
        {"absolute file whose directory cannot be made",
         {{"MEMORY_FILE_PATH", "$T/plain/sub/g.jsonl"}}, "",
         "cannot create the directory for MEMORY_FILE_PATH", ""},
    };
    for (const location_case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const char *n : store_test::env_guard::names) unsetenv(n);
        for (auto &kv : c.env) set(kv.first, kv.second);
        store_test::write_all(dir / "plain", "a regular file");
        store_reset_path();
        if (c.error.empty()) {
            ASSERT_EQ(ensure_path(), STORE_OK);
            EXPECT_EQ(g_path_resolved, 1);
            EXPECT_EQ(std::string(g_path), expand(c.path, dir.path));
            EXPECT_EQ(std::string(graph_path()), expand(c.path, dir.path));
            EXPECT_TRUE(is_dir(expand(c.made, dir.path))) << expand(c.made, dir.path);
        } else {
            EXPECT_EQ(store_test::message(ensure_path()), c.error);
            EXPECT_EQ(g_path_resolved, 0);
            EXPECT_STREQ(graph_path(), "");
            int64_t size = 7;
            int exists = 7;
            EXPECT_EQ(store_test::message(graph_file_info(&size, &exists)), c.error);
            EXPECT_EQ(size, 0);
            EXPECT_EQ(exists, 0);
        }
        store_reset_path();
    }
}

TEST_F(StorageLocation, RefusedRelativePathCreatesNothing) {
    set("MEMORY_CONNECTOR_DIR", "$T/d");
    set("MEMORY_FILE_PATH", "../g.jsonl");
    EXPECT_EQ(ensure_path(), STORE_PATH_DOTDOT);
    EXPECT_FALSE(file_exists(dir / "d"));
}

TEST_F(StorageLocation, ResolvedOncePerProcess) {
    set("MEMORY_CONNECTOR_DIR", "$T/first");
    ASSERT_EQ(ensure_path(), STORE_OK);
    set("MEMORY_CONNECTOR_DIR", "$T/second");
    set("MEMORY_FILE_PATH", "../refused");
    EXPECT_EQ(ensure_path(), STORE_OK);
    EXPECT_EQ(std::string(graph_path()), dir / "first/memory.jsonl");
    EXPECT_FALSE(file_exists(dir / "second"));
}

TEST_F(StorageLocation, FailureIsRetriedOnTheNextCall) {
    set("MEMORY_CONNECTOR_DIR", "$T/plain/d");
    store_test::write_all(dir / "plain", "x");
    EXPECT_EQ(store_test::message(ensure_path()), "cannot create the connector data directory");
    unlink((dir / "plain").c_str());
    EXPECT_EQ(ensure_path(), STORE_OK);
    EXPECT_EQ(std::string(g_path), dir / "plain/d/memory.jsonl");
}

TEST_F(StorageLocation, PathInfoTellsSizeAndExistence) {
    set("MEMORY_CONNECTOR_DIR", "$T");
    int64_t size = 7;
    int exists = 7;
    ASSERT_EQ(graph_file_info(&size, &exists), STORE_OK);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(exists, 0);
    store_test::write_all(dir / "memory.jsonl", "12345");
    ASSERT_EQ(graph_file_info(&size, &exists), STORE_OK);
    EXPECT_EQ(size, 5);
    EXPECT_EQ(exists, 1);
    EXPECT_EQ(graph_file_info(nullptr, nullptr), STORE_OK);
    // What is there but cannot be read as a file is no answer.
    unlink((dir / "memory.jsonl").c_str());
    ASSERT_EQ(mkdir((dir / "memory.jsonl").c_str(), 0700), 0);
    EXPECT_EQ(graph_file_info(&size, &exists), STORE_READ);
}

// A path of exactly len bytes: the test's directory, directories of at most
// 200 bytes, then tail.
std::string path_of(const std::string &base, size_t len, const std::string &tail) {
    std::string p = base;
    while (p.size() + 1 + tail.size() < len) {
        size_t room = len - p.size() - 1 - tail.size();
        // The last component takes what is left; the one before it leaves
        // the last at least one byte.
        size_t k = room <= 201 ? room - 1 : room == 202 ? 199 : 200;
        p += "/" + std::string(k, 'd');
    }
    p += "/" + tail;
    EXPECT_EQ(p.size(), len);
    return p;
}

TEST_F(StorageLocation, PathsLongerThanTheBuffersAreRefusedNotCut) {
    const std::string too_long = "the path of the graph file is longer than 1023 bytes";
    const std::string d1010 = path_of(dir.path, 1010, "c");  // + "/memory.jsonl": 1023
    const std::string d1011 = path_of(dir.path, 1011, "c");  // + "/memory.jsonl": 1024
    const struct {
        const char *what;
        std::vector<std::pair<const char *, std::string>> env;
        std::string path;  // expected g_path, or "" when refused
    } cases[] = {
        {"file path of 1023 bytes", {{"MEMORY_FILE_PATH", path_of(dir.path, 1023, "g")}},
         path_of(dir.path, 1023, "g")},
        {"file path of 1024 bytes", {{"MEMORY_FILE_PATH", path_of(dir.path, 1024, "g")}}, ""},
        {"file path of 1,027 bytes", {{"MEMORY_FILE_PATH", path_of(dir.path, 1027, "g.jsonl")}},
         ""},
        {"data directory joined to 1023 bytes", {{"MEMORY_CONNECTOR_DIR", d1010}},
         d1010 + "/memory.jsonl"},
        {"data directory joined to 1024 bytes", {{"MEMORY_CONNECTOR_DIR", d1011}}, ""},
        {"data directory of 1,100 bytes",
         {{"MEMORY_CONNECTOR_DIR", path_of(dir.path, 1100, "c")}}, ""},
        {"relative file joined past the limit",
         {{"MEMORY_CONNECTOR_DIR", d1010}, {"MEMORY_FILE_PATH", "memory.jsonl.x"}}, ""},
        {"home directory past the limit",
         {{"HOME", path_of(dir.path, 1020, "h")}, {"MEMORY_FILE_PATH", "~/g.jsonl"}}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        for (const char *n : store_test::env_guard::names) unsetenv(n);
        for (auto &kv : c.env) setenv(kv.first, kv.second.c_str(), 1);
        store_reset_path();
        if (!c.path.empty()) {
            ASSERT_EQ(ensure_path(), STORE_OK);
            EXPECT_EQ(std::string(g_path), c.path);
        } else {
            EXPECT_EQ(store_test::message(ensure_path()), too_long);
            EXPECT_STREQ(graph_path(), "");
        }
    }
    // Joining never cuts either.
    EXPECT_EQ(set_graph_path(d1011.c_str(), "memory.jsonl"), STORE_PATH_TOO_LONG);
    EXPECT_STREQ(g_path, "");
    EXPECT_EQ(set_graph_path(d1010.c_str(), "memory.jsonl"), STORE_OK);
    EXPECT_EQ(std::string(g_path), d1010 + "/memory.jsonl");
    EXPECT_FALSE(mkdirs(path_of(dir.path, 1024, "m").c_str()));
}

TEST_F(StorageLocation, JoinAndMakeDirectories) {
    struct {
        const char *dir, *name, *want;
    } joins[] = {{"a", "b", "a/b"}, {"a/", "b", "a/b"}, {"a\\", "b", "a\\b"},
                 {"C:\\x", "b", "C:\\x/b"}, {"/", "b", "/b"}};
    for (auto &j : joins) {
        set_graph_path(j.dir, j.name);
        EXPECT_STREQ(g_path, j.want);
    }
    store_reset_path();
    EXPECT_FALSE(mkdirs(""));
    EXPECT_FALSE(mkdirs(nullptr));
    EXPECT_TRUE(mkdirs("/"));
    EXPECT_TRUE(mkdirs((dir / "p/q/r//").c_str()));
    EXPECT_TRUE(is_dir(dir / "p/q/r"));
    EXPECT_TRUE(mkdirs("rel/one"));  // relative to the current directory
    EXPECT_TRUE(is_dir(dir / "rel/one"));
    store_test::write_all(dir / "f", "x");
    EXPECT_FALSE(mkdirs((dir / "f").c_str()));
    EXPECT_FALSE(mkdirs((dir / "f/g").c_str()));
}

}  // namespace
