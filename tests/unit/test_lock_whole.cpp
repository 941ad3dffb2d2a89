// test_lock_whole.cpp - the writer's lock across deaths and namespaces: a
// lock always names its holder from the moment it appears, a dead holder is
// recognised from a process-id namespace that shares the machine's process
// table, a stale lock is broken without touching a lock taken meanwhile, and
// a live holder keeps its lock fresh.
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "store_test_util.h"

namespace {

using namespace store_test;

class LockWhole : public store_fixture {
protected:
    std::string lock_file() { return file + ".lock"; }
    void SetUp() override {
        store_fixture::SetUp();
        ASSERT_EQ(graph_load(), STORE_OK);  // resolves the path
    }
};

// The text this process writes into a lock: "<pid>\n<tag> <start>\n".
bool names_a_holder(const std::string &text) {
    size_t nl = text.find('\n');
    if (nl == std::string::npos || nl == 0) return false;
    return text.size() > nl + 18 && text.back() == '\n' && text[nl + 17] == ' ';
}

// A writer killed at any moment while taking or releasing its lock never
// leaves a lock that does not name it: the next writer finds its holder
// gone and takes the lock at once, with no stale limit to wait out.
TEST_F(LockWhole, AWriterKilledAtAnyMomentLeavesALockThatNamesIt) {
    set_env("MEMORY_LOCK_TIMEOUT_MS", "0");
    set_env("MEMORY_LOCK_STALE_MS", "600000");
    int unnamed = 0, kept = 0;
    srand(7);
    for (int round = 0; round < 300; round++) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (;;) {
                if (graph_lock() == STORE_OK) graph_unlock();
            }
        }
        struct timespec nap = {0, (long)(rand() % 2000) * 1000L};
        nanosleep(&nap, nullptr);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        if (file_exists(lock_file()) && !names_a_holder(read_all(lock_file()))) unnamed++;
        if (graph_lock() != STORE_OK) {
            kept++;
            unlink(lock_file().c_str());
        } else {
            graph_unlock();
        }
    }
    EXPECT_EQ(unnamed, 0);
    EXPECT_EQ(kept, 0);
    // What the killed writers left on their way goes with the next lock.
    ASSERT_EQ(graph_lock(), STORE_OK);
    graph_unlock();
    EXPECT_EQ(list_dir(dir.path).size(), 0u);
}

// A writer in a process-id namespace of its own that shares the machine's
// process table (no /proc of its own) dies holding the lock: the next
// writer outside it sees that the holder is gone. The namespace's own
// small id (1 here) names a live, unrelated process of the table.
TEST_F(LockWhole, ADeadHolderInANamespaceSharingTheProcessTableIsGone) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWPID) != 0) _exit(2);
        pid_t inner = fork();
        if (inner < 0) _exit(3);
        if (inner == 0) _exit(getpid() == 1 && graph_lock() == STORE_OK ? 0 : 4);  // dies holding it
        int status = 0;
        waitpid(inner, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 5);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no new process-id namespace may be made here";
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(file_exists(lock_file()));
    set_env("MEMORY_LOCK_TIMEOUT_MS", "0");
    set_env("MEMORY_LOCK_STALE_MS", "600000");
    EXPECT_EQ(graph_lock(), STORE_OK) << read_all(lock_file());
    graph_unlock();
}

// A stale lock is broken only as it was judged: when another writer puts a
// live lock in its place between the look and the removal, that lock stays
// and the breaker does not get the lock.
std::string g_fresh_lock, g_lock_at;
void put_fresh_lock() {
    std::string tmp = g_lock_at + ".fresh";
    FILE *f = fopen(tmp.c_str(), "wb");
    fputs(g_fresh_lock.c_str(), f);
    fclose(f);
    rename(tmp.c_str(), g_lock_at.c_str());
}

TEST_F(LockWhole, BreakingAStaleLockNeverRemovesOneTakenMeanwhile) {
    set_env("MEMORY_LOCK_TIMEOUT_MS", "0");
    set_env("MEMORY_LOCK_STALE_MS", "10000");
    // Holders that cannot be asked: only the lock's age counts.
    write_all(lock_file(), "999999998\n");
    struct timeval old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimes(lock_file().c_str(), old), 0);
    g_fresh_lock = "999999999\n";
    g_lock_at = lock_file();
    g_lock_break_pause = put_fresh_lock;
    store_rc took = graph_lock();
    g_lock_break_pause = nullptr;
    EXPECT_EQ(took, STORE_BUSY);
    EXPECT_EQ(read_all(lock_file()), g_fresh_lock);
    if (took == STORE_OK) graph_unlock();
    // Once it is gone, the next writer takes the lock, and nothing of the
    // breaking is left.
    unlink(lock_file().c_str());
    ASSERT_EQ(graph_lock(), STORE_OK);
    graph_unlock();
    EXPECT_EQ(list_dir(dir.path).size(), 0u);
}

// A holder that may run long (an import of many lines, say) touches its
// lock, so that a writer that can judge it only by its age never takes it
// for stale.
TEST_F(LockWhole, AHeldLockIsKeptFresh) {
    ASSERT_EQ(graph_lock(), STORE_OK);
    struct timeval old[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
    ASSERT_EQ(utimes(lock_file().c_str(), old), 0);
    usleep(600 * 1000);
    graph_lock_fresh();
    long age = 99;
    ASSERT_EQ(plat_file_age(lock_file().c_str(), &age), 0);
    EXPECT_EQ(age, 0);
    graph_unlock();
}

}  // namespace
