// test_lock_hygiene.cpp - what a writer cleans up when it takes or releases
// the lock: temporary files of writers that died, and only its own lock.
#include <sys/time.h>

#include <gtest/gtest.h>

#include "platform/platform.h"

#include "store_test_util.h"

namespace {

using namespace store_test;

using LockHygiene = store_fixture;

// The name of a temporary file of the graph file for the writer pid, of
// this machine and namespace (tag "") or of the one tag names.
std::string temp_name(const std::string &file, long pid, const std::string &tag) {
    return file + ".tmp." + std::to_string(pid) + "." + tag;
}

// A temporary file of a writer that is gone goes with the next lock; one of
// a live process, or a name that is no temporary of this graph, stays.
TEST_F(LockHygiene, TemporaryFilesOfGoneWritersGoWithTheNextLock) {
    const std::string here = plat_host_tag();
    ASSERT_EQ(here.size(), 16u);
    const std::string gone = temp_name(file, 999999999, here);  // beyond any pid
    const std::string live = temp_name(file, 1, here);           // init is alive
    const std::string other = file + ".tmp.12x";
    const std::string elsewhere = dir / ("notes.txt.tmp.999999999." + here);
    for (const std::string &p : {gone, live, other, elsewhere}) write_all(p, "partial");

    ASSERT_EQ(graph_lock(), STORE_OK);
    EXPECT_FALSE(file_exists(gone));
    EXPECT_TRUE(file_exists(live));
    EXPECT_TRUE(file_exists(other));
    EXPECT_TRUE(file_exists(elsewhere));
    graph_unlock();
    EXPECT_FALSE(file_exists(file + ".lock"));
}

// A writer of another machine or process-id namespace (another tag, or the
// older name without one) cannot be asked whether it lives: its file stays
// until it has gone stale, even when no process of its id lives here.
TEST_F(LockHygiene, TemporaryFilesOfOtherNamespacesWaitForTheStaleLimit) {
    const std::string fresh_other = temp_name(file, 999999999, "0123456789abcdef");
    const std::string fresh_bare = file + ".tmp.999999998";
    const std::string old_other = temp_name(file, 999999997, "0123456789abcdef");
    const std::string old_bare = file + ".tmp.999999996";
    for (const std::string &p : {fresh_other, fresh_bare, old_other, old_bare}) write_all(p, "partial");
    struct timeval old[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
    ASSERT_EQ(utimes(old_other.c_str(), old), 0);
    ASSERT_EQ(utimes(old_bare.c_str(), old), 0);

    ASSERT_EQ(graph_lock(), STORE_OK);
    EXPECT_TRUE(file_exists(fresh_other));
    EXPECT_TRUE(file_exists(fresh_bare));
    EXPECT_FALSE(file_exists(old_other));
    EXPECT_FALSE(file_exists(old_bare));
    graph_unlock();
}

// A writer whose lock was taken over (it stalled past the stale limit) must
// not remove the new holder's lock when it finishes.
TEST_F(LockHygiene, ReleaseLeavesAnotherHoldersLock) {
    ASSERT_EQ(graph_lock(), STORE_OK);
    write_all(file + ".lock", "12345\n");
    graph_unlock();
    EXPECT_EQ(read_all(file + ".lock"), "12345\n");
    EXPECT_EQ(g_lock_held, 0);
}

}  // namespace
