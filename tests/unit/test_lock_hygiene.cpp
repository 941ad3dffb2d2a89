// test_lock_hygiene.cpp - what a writer cleans up when it takes or releases
// the lock: temporary files of writers that died, and only its own lock.
#include <gtest/gtest.h>

#include "store_test_util.h"

namespace {

using namespace store_test;

using LockHygiene = store_fixture;

// A temporary file of a writer that is gone goes with the next lock; one of
// a live process, or a name that is no temporary of this graph, stays.
TEST_F(LockHygiene, TemporaryFilesOfGoneWritersGoWithTheNextLock) {
    const std::string gone = file + ".tmp.999999999";  // beyond any pid
    const std::string live = file + ".tmp.1";           // init is alive
    const std::string other = file + ".tmp.12x";
    const std::string elsewhere = dir / "notes.txt.tmp.999999999";
    for (const std::string &p : {gone, live, other, elsewhere}) write_all(p, "partial");

    ASSERT_EQ(graph_lock(), 0);
    EXPECT_FALSE(file_exists(gone));
    EXPECT_TRUE(file_exists(live));
    EXPECT_TRUE(file_exists(other));
    EXPECT_TRUE(file_exists(elsewhere));
    graph_unlock();
    EXPECT_FALSE(file_exists(file + ".lock"));
}

// A writer whose lock was taken over (it stalled past the stale limit) must
// not remove the new holder's lock when it finishes.
TEST_F(LockHygiene, ReleaseLeavesAnotherHoldersLock) {
    ASSERT_EQ(graph_lock(), 0);
    write_all(file + ".lock", "12345\n");
    graph_unlock();
    EXPECT_EQ(read_all(file + ".lock"), "12345\n");
    EXPECT_EQ(g_lock_fd, -1);
}

}  // namespace
