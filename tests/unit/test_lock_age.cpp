// test_lock_age.cpp - when the writer's lock counts as stale, and how a stale
// lock is removed: only after whole seconds have really passed since it
// was written, and by one writer at a time.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>

#include <gtest/gtest.h>

#include "store_test_util.h"

namespace {

using namespace store_test;

class LockAge : public store_fixture {
protected:
    std::string lock_file() { return file + ".lock"; }

    // Writes a lock file of another holder whose time is age_ms before now,
    // at a moment when that puts it in the previous clock second.
    void write_lock_aged(long age_ms) {
        timespec now;
        for (;;) {  // early enough in the second that age_ms reaches back
            clock_gettime(CLOCK_REALTIME, &now);  // into the one before
            if (now.tv_nsec / 1000000 < age_ms / 2) break;
            struct timespec nap = {0, 5000000};
            nanosleep(&nap, nullptr);
        }
        write_all(lock_file(), "12345\n");
        long long t = (long long)now.tv_sec * 1000000000LL + now.tv_nsec - age_ms * 1000000LL;
        timespec times[2] = {{(time_t)(t / 1000000000LL), (long)(t % 1000000000LL)},
                             {(time_t)(t / 1000000000LL), (long)(t % 1000000000LL)}};
        ASSERT_EQ(utimensat(AT_FDCWD, lock_file().c_str(), times, 0), 0);
    }
};

// A lock written 300 ms ago, in the previous second of the clock, is not a
// second old: with the shortest stale limit it still belongs to its holder.
// Counting the change of the second as a whole second let two writers hold
// the lock at once and lose one's answered change.
TEST_F(LockAge, YoungLockAcrossASecondTickIsKept) {
    ASSERT_EQ(graph_load(), 0);  // resolves the path
    setenv("MEMORY_LOCK_STALE_MS", "100", 1);
    setenv("MEMORY_LOCK_TIMEOUT_MS", "0", 1);
    write_lock_aged(300);
    EXPECT_EQ(graph_lock(), -1);
    EXPECT_EQ(read_all(lock_file()), "12345\n");
}

// Once a whole second has passed, the same limit removes it.
TEST_F(LockAge, LockOlderThanASecondIsStale) {
    ASSERT_EQ(graph_load(), 0);
    setenv("MEMORY_LOCK_STALE_MS", "100", 1);
    setenv("MEMORY_LOCK_TIMEOUT_MS", "0", 1);
    write_lock_aged(1300);
    ASSERT_EQ(graph_lock(), 0);
    EXPECT_EQ(read_all(lock_file()), std::to_string((long)getpid()) + "\n");
    graph_unlock();
}

}  // namespace

// Two writers that find the same stale lock must not both remove it, or the
// later removal hits the lock the earlier one has just taken. While another
// writer is removing it (its breaker file is fresh), a stale lock is left
// alone.
TEST_F(LockAge, StaleLockIsLeftToTheWriterRemovingIt) {
    ASSERT_EQ(graph_load(), 0);
    setenv("MEMORY_LOCK_STALE_MS", "100", 1);
    setenv("MEMORY_LOCK_TIMEOUT_MS", "0", 1);
    write_lock_aged(5000);
    write_all(lock_file() + ".break", "12346\n");
    EXPECT_EQ(graph_lock(), -1);
    EXPECT_EQ(read_all(lock_file()), "12345\n");
    EXPECT_TRUE(file_exists(lock_file() + ".break"));
}

// A breaker file left by a writer that died while holding it goes stale
// like a lock; the removal then goes ahead and leaves no breaker behind.
TEST_F(LockAge, StaleBreakerIsRemovedToo) {
    ASSERT_EQ(graph_load(), 0);
    setenv("MEMORY_LOCK_STALE_MS", "100", 1);
    setenv("MEMORY_LOCK_TIMEOUT_MS", "0", 1);
    write_lock_aged(5000);
    std::string breaker = lock_file() + ".break";
    write_all(breaker, "12346\n");
    struct timeval old[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
    ASSERT_EQ(utimes(breaker.c_str(), old), 0);
    ASSERT_EQ(graph_lock(), 0);
    EXPECT_EQ(read_all(lock_file()), std::to_string((long)getpid()) + "\n");
    EXPECT_FALSE(file_exists(breaker));
    graph_unlock();
    EXPECT_EQ(list_dir(dir.path).size(), 0u);
}
