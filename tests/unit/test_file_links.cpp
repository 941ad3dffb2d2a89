// test_file_links.cpp - a graph file reached through symbolic links, and one
// without a write permission bit: a save replaces the file the links name
// and leaves the links, writers meet on the lock beside that file, and a
// read-only file is never replaced.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "store/store_internal.h"
#include "store_test_util.h"

namespace {

using namespace store_test;

const char E1[] = "{\"type\":\"entity\",\"name\":\"a\",\"entityType\":\"t\",\"observations\":[]}\n";
const char E2[] = "{\"type\":\"entity\",\"name\":\"b\",\"entityType\":\"t\",\"observations\":[]}\n";

class GraphLinks : public store_fixture {
protected:
    std::string link_target(const std::string &path) {
        char buf[4096];
        ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
        return n < 0 ? "" : std::string(buf, (size_t)n);
    }
    bool is_link(const std::string &path) {
        struct stat st;
        return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }
    // Adds entity "b" under the lock, as a changing tool does.
    void change() {
        ASSERT_EQ(graph_lock(), STORE_OK);
        ASSERT_EQ(graph_load(), STORE_OK);
        ASSERT_EQ(ent_add(&G, "b", "t", nullptr, 0), STORE_OK);
        save_ok();
        graph_unlock();
    }
};

// The graph file kept as a link into another folder (a synced one, say):
// the save replaces the file the links finally name, the links stay, and
// no temporary file is left on either side.
TEST_F(GraphLinks, SaveReplacesTheFileTheLinksName) {
    ASSERT_EQ(mkdir((dir / "synced").c_str(), 0700), 0);
    const std::string real = dir / "synced/memory.jsonl";
    struct {
        const char *what;
        const char *first;   // what memory.jsonl points at
        const char *second;  // a second link in the chain, or null
        bool exists;         // whether the final file exists before the save
    } cases[] = {
        {"relative link", "synced/memory.jsonl", nullptr, true},
        {"absolute link", nullptr, nullptr, true},
        {"chain of two links", "hop.jsonl", "synced/memory.jsonl", true},
        {"link to a file not made yet", "synced/memory.jsonl", nullptr, false},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(file.c_str());
        unlink((dir / "hop.jsonl").c_str());
        unlink(real.c_str());
        if (c.exists) write_all(real, E1);
        std::string first = c.first ? c.first : real;
        ASSERT_EQ(symlink(first.c_str(), file.c_str()), 0);
        if (c.second) {
            ASSERT_EQ(symlink(c.second, (dir / "hop.jsonl").c_str()), 0);
        }
        store_reset_path();
        change();
        EXPECT_TRUE(is_link(file));
        EXPECT_EQ(link_target(file), first);
        EXPECT_EQ(read_all(real), std::string(c.exists ? E1 : "") + E2);
        EXPECT_EQ(list_dir(dir / "synced").size(), 1u);
        EXPECT_EQ(list_dir(dir.path).size(), c.second ? 3u : 2u);  // the links and the folder
    }
}

// Writers that reach one file by different paths (the link, the file
// itself, a linked folder) take one and the same lock, beside the file.
TEST_F(GraphLinks, EveryPathToTheFileTakesTheSameLock) {
    ASSERT_EQ(mkdir((dir / "real").c_str(), 0700), 0);
    const std::string real = dir / "real/memory.jsonl";
    write_all(real, E1);
    ASSERT_EQ(symlink("real/memory.jsonl", file.c_str()), 0);
    ASSERT_EQ(symlink("real", (dir / "alias").c_str()), 0);
    for (const std::string &path :
         {file, real, dir / "alias/memory.jsonl", dir / "real/../real/memory.jsonl"}) {
        SCOPED_TRACE(path);
        set_env("MEMORY_FILE_PATH", path);
        store_reset_path();
        ASSERT_EQ(graph_lock(), STORE_OK);
        EXPECT_EQ(std::string(g_lock_path), real + ".lock");
        EXPECT_TRUE(file_exists(real + ".lock"));
        graph_unlock();
    }
}

// A graph file without a write permission bit is not replaced, though the
// rename would ignore its mode and the superuser its bits: the save fails
// with the storage message and the old file stays, mode and all.
TEST_F(GraphLinks, ReadOnlyFileIsNeverReplaced) {
    const std::string real = dir / "kept.jsonl";
    for (bool through_link : {false, true}) {
        SCOPED_TRACE(through_link ? "through a link" : "the file itself");
        unlink(file.c_str());
        unlink(real.c_str());
        const std::string &target = through_link ? real : file;
        write_all(target, E1);
        if (through_link) {
            ASSERT_EQ(symlink(real.c_str(), file.c_str()), 0);
        }
        for (unsigned mode : {0444u, 0400u}) {
            ASSERT_EQ(chmod(target.c_str(), mode), 0);
            store_reset_path();
            ASSERT_EQ(graph_load(), STORE_OK);
            ASSERT_EQ(ent_add(&G, "b", "t", nullptr, 0), STORE_OK);
            EXPECT_EQ(store_test::message(graph_save()), "cannot replace the graph file");
            chmod(target.c_str(), 0600);
            EXPECT_EQ(read_all(target), E1);
            ASSERT_EQ(chmod(target.c_str(), mode), 0);
            struct stat st;
            ASSERT_EQ(stat(target.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, mode);
            EXPECT_EQ(list_dir(dir.path).size(), through_link ? 2u : 1u);
        }
        chmod(target.c_str(), 0600);
    }
}

}  // namespace
