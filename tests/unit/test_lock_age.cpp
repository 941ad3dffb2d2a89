// test_lock_age.cpp - when the writer's lock counts as stale, and how a stale
// lock is removed: only after whole seconds have really passed since it
// was written, and by one writer at a time.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>

#include <gtest/gtest.h>

#include "platform/platform.h"
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
    ASSERT_EQ(graph_load(), STORE_OK);  // resolves the path
    setenv("MEMORY_LOCK_STALE_MS", "100", 1);
    setenv("MEMORY_LOCK_TIMEOUT_MS", "0", 1);
    write_lock_aged(300);
    EXPECT_EQ(graph_lock(), STORE_BUSY);
    EXPECT_EQ(read_all(lock_file()), "12345\n");
}

// Once a whole second has passed, the same limit removes it.
TEST_F(LockAge, LockOlderThanASecondIsStale) {
    ASSERT_EQ(graph_load(), STORE_OK);
    setenv("MEMORY_LOCK_STALE_MS", "100", 1);
    setenv("MEMORY_LOCK_TIMEOUT_MS", "0", 1);
    write_lock_aged(1300);
    ASSERT_EQ(graph_lock(), STORE_OK);
    EXPECT_EQ(store_test::lock_holder(lock_file()), std::to_string((long)getpid()));
    graph_unlock();
}

}  // namespace

// Two writers that find the same stale lock must not both remove it, or the
// later removal hits the lock the earlier one has just taken. While another
// writer is removing it (its breaker file is fresh), a stale lock is left
// alone.
TEST_F(LockAge, StaleLockIsLeftToTheWriterRemovingIt) {
    ASSERT_EQ(graph_load(), STORE_OK);
    setenv("MEMORY_LOCK_STALE_MS", "100", 1);
    setenv("MEMORY_LOCK_TIMEOUT_MS", "0", 1);
    write_lock_aged(5000);
    write_all(lock_file() + ".break", "12346\n");
    EXPECT_EQ(graph_lock(), STORE_BUSY);
    EXPECT_EQ(read_all(lock_file()), "12345\n");
    EXPECT_TRUE(file_exists(lock_file() + ".break"));
}

// A breaker file left by a writer that died while holding it goes stale
// like a lock; the removal then goes ahead and leaves no breaker behind.
TEST_F(LockAge, StaleBreakerIsRemovedToo) {
    ASSERT_EQ(graph_load(), STORE_OK);
    setenv("MEMORY_LOCK_STALE_MS", "100", 1);
    setenv("MEMORY_LOCK_TIMEOUT_MS", "0", 1);
    write_lock_aged(5000);
    std::string breaker = lock_file() + ".break";
    write_all(breaker, "12346\n");
    struct timeval old[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
    ASSERT_EQ(utimes(breaker.c_str(), old), 0);
    ASSERT_EQ(graph_lock(), STORE_OK);
    EXPECT_EQ(store_test::lock_holder(lock_file()), std::to_string((long)getpid()));
    EXPECT_FALSE(file_exists(breaker));
    graph_unlock();
    EXPECT_EQ(list_dir(dir.path).size(), 0u);
}

namespace {

using namespace store_test;

// The lock text a process of this machine and namespace writes.
std::string lock_text(long pid, unsigned long long start) {
    return std::to_string(pid) + "\n" + plat_host_tag() + " " + std::to_string(start) + "\n";
}

class LockHolder : public store_fixture {
protected:
    std::string lock_file() { return file + ".lock"; }
    void SetUp() override {
        store_fixture::SetUp();
        ASSERT_EQ(graph_load(), STORE_OK);  // resolves the path
        ASSERT_EQ(std::string(plat_host_tag()).size(), 16u);
        setenv("MEMORY_LOCK_TIMEOUT_MS", "0", 1);
    }
    // Dates the lock file seconds from now (negative: in the past).
    void date_lock(long seconds) {
        struct timeval t[2] = {{time(nullptr) + seconds, 0}, {time(nullptr) + seconds, 0}};
        ASSERT_EQ(utimes(lock_file().c_str(), t), 0);
    }
};

// A lock whose holder on this machine has ended goes at once, well inside
// the stale limit: a killed writer no longer holds every change back. The
// same id for a process started later is not the holder either.
TEST_F(LockHolder, LockOfAGoneHolderOnThisMachineGoesAtOnce) {
    unsigned long long init_start = 0;
    ASSERT_EQ(plat_pid_start(1, &init_start), 1);
    const std::string cases[] = {
        lock_text(999999999, 12345),       // no such process
        lock_text(1, init_start + 1),      // the id, reused by a later process
    };
    for (const std::string &text : cases) {
        SCOPED_TRACE(text);
        write_all(lock_file(), text);
        ASSERT_EQ(graph_lock(), STORE_OK);
        EXPECT_EQ(lock_holder(lock_file()), std::to_string((long)getpid()));
        graph_unlock();
    }
}

// A holder that lives on this machine keeps its lock however old it is: a
// writer stalled past the stale limit (in a slow fsync, say) is not
// overtaken by a second one.
TEST_F(LockHolder, LiveHolderOnThisMachineIsNeverStale) {
    unsigned long long init_start = 0;
    ASSERT_EQ(plat_pid_start(1, &init_start), 1);
    setenv("MEMORY_LOCK_STALE_MS", "100", 1);
    write_all(lock_file(), lock_text(1, init_start));
    date_lock(-3600);
    EXPECT_EQ(graph_lock(), STORE_BUSY);
    EXPECT_EQ(read_all(lock_file()), lock_text(1, init_start));
}

// A holder that cannot be asked (another machine, another namespace, or a
// lock without the holder's tag) is judged by the lock's date: further
// ahead of the clock than the stale limit counts as stale (no live writer's
// clock is that far ahead); less far ahead, its age counts from its date.
TEST_F(LockHolder, FutureDatesOfHoldersThatCannotBeAsked) {
    setenv("MEMORY_LOCK_STALE_MS", "10000", 1);
    struct {
        const char *text;
        long dated;
        int taken;
    } cases[] = {
        {"12345\n", 3600, 1},
        {"12345\n", 30, 1},
        {"12345\n", 5, 0},
        {"12345\n", -5, 0},
        {"12345\n", -30, 1},
        {"12345\n0123456789abcdef 777\n", 3600, 1},
        {"12345\n0123456789abcdef 777\n", 5, 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " dated " + std::to_string(c.dated));
        write_all(lock_file(), c.text);
        date_lock(c.dated);
        EXPECT_EQ(graph_lock(), c.taken ? STORE_OK : STORE_BUSY);
        if (c.taken) {
            EXPECT_EQ(lock_holder(lock_file()), std::to_string((long)getpid()));
            graph_unlock();
        } else {
            EXPECT_EQ(read_all(lock_file()), c.text);
        }
        unlink(lock_file().c_str());
    }
}

// A lock path (or its breaker) that is no regular file would block every
// writer for ever: the change fails at once with a storage message.
TEST_F(LockHolder, LockPathThatIsNoFileFailsAtOnce) {
    setenv("MEMORY_LOCK_TIMEOUT_MS", "5000", 1);
    struct {
        std::string path;
        void (*make)(const std::string &path);
    } cases[] = {
        {lock_file(), [](const std::string &p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }},
        {lock_file(), [](const std::string &p) { ASSERT_EQ(symlink("/nowhere", p.c_str()), 0); }},
        {lock_file() + ".break", [](const std::string &p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.path);
        c.make(c.path);
        EXPECT_EQ(store_test::message(graph_lock()), "the lock file " + c.path + " is not a regular file");
        EXPECT_EQ(g_lock_held, 0);
        remove_tree(c.path);
    }
}

}  // namespace
