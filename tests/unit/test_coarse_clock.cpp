// test_coarse_clock.cpp - the kept graph on file systems whose clocks are
// coarse: ramfs (a scheduler tick) and ext4 with 128-byte inodes (whole
// seconds); and on tmpfs, which on Linux 6.13 and later dates every change
// after a look anew (the kept graph then rests on holding its file open).
// Each is mounted here for the test (skipped, saying why, where mounting is
// refused). A long-lived session and one-shot writers (other
// processes) change the same file within one tick of its clock: no
// acknowledged change may be lost and no read may be stale.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/store_internal.h"
#include "store_test_util.h"
#include "tool_test_util.h"

namespace {

using namespace store_test;
using tool_test::run;

// A file system mounted on a fresh directory for one test, unmounted after.
struct mounted_fs {
    std::string dir, image, why_not;
    bool ok = false;
    ~mounted_fs() {
        if (ok) umount2(dir.c_str(), MNT_DETACH);
        if (!dir.empty()) rmdir(dir.c_str());
        if (!image.empty()) unlink(image.c_str());
    }
};

void mount_fs(mounted_fs *m, const std::string &kind) {
    char tmpl[] = "/tmp/coarse_clock.XXXXXX";
    if (!mkdtemp(tmpl)) {
        m->why_not = "no temporary directory";
        return;
    }
    m->dir = tmpl;
    if (geteuid() != 0) {
        m->why_not = "mounting needs the superuser";
        return;
    }
    if (kind == "ramfs" || kind == "tmpfs") {
        m->ok = mount(kind.c_str(), m->dir.c_str(), kind.c_str(), 0, "mode=0700") == 0;
        if (!m->ok) m->why_not = kind + " cannot be mounted here";
        return;
    }
    m->image = m->dir + ".img";
    std::string inodes = kind == "ext4_128" ? " -I 128" : "";
    std::string make = "truncate -s 8M " + m->image + " && mkfs.ext4 -q -F" + inodes + " " + m->image +
                       " >/dev/null 2>&1 && mount -o loop " + m->image + " " + m->dir +
                       " >/dev/null 2>&1";
    m->ok = system(make.c_str()) == 0;
    if (!m->ok) m->why_not = "an ext4 image cannot be loop-mounted here";
}

// Waits until early in a second of the clock, so that what follows falls
// within one second of a coarse file clock.
void start_of_a_second() {
    timespec now;
    for (;;) {
        clock_gettime(CLOCK_REALTIME, &now);
        if (now.tv_nsec < 100000000L) return;
        usleep(20000);
    }
}

class CoarseClock : public store_fixture, public ::testing::WithParamInterface<const char *> {
protected:
    mounted_fs fs;
    void SetUp() override {
        store_fixture::SetUp();
        mount_fs(&fs, GetParam());
        if (!fs.ok) GTEST_SKIP() << GetParam() << ": " << fs.why_not;
        file = fs.dir + "/memory.jsonl";
        set_env("MEMORY_FILE_PATH", file);
        store_reset_path();
    }
    // A round starts on no file and nothing kept, early in a second of the
    // clock, so that what follows falls within one second of a coarse clock.
    void begin_round() {
        unlink(file.c_str());
        graph_forget();
        start_of_a_second();
    }
};


// Runs one tool in another process, as a one-shot writer of its own: it
// starts with nothing kept. Returns the tool's answer.
std::string one_shot(const char *tool, const std::string &args) {
    int out[2];
    if (pipe(out) != 0) return "pipe";
    pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        graph_forget();
        graph_clear(&G);
        std::string r = run(tool, args);
        ssize_t w = write(out[1], r.data(), r.size());
        (void)w;
        _exit(0);
    }
    close(out[1]);
    std::string r;
    char chunk[4096];
    ssize_t n;
    while ((n = read(out[0], chunk, sizeof chunk)) > 0) r.append(chunk, (size_t)n);
    close(out[0]);
    waitpid(child, nullptr, 0);
    return r;
}

std::string add_obs(const std::string &name, const std::string &text) {
    return "{\"observations\":[{\"entityName\":\"" + name + "\",\"contents\":[\"" + text + "\"]}]}";
}

std::string del_obs(const std::string &name, const std::string &text) {
    return "{\"deletions\":[{\"entityName\":\"" + name + "\",\"observations\":[\"" + text + "\"]}]}";
}

bool ok(const std::string &answer) { return answer.compare(0, 10, "{\"ok\":true") == 0; }

// The observations of e as open_nodes gives them: ["a","b"].
std::string obs_of(const std::string &answer) {
    size_t at = answer.find("\"observations\":");
    if (at == std::string::npos) return "none";
    size_t end = answer.find(']', at);
    return answer.substr(at + 15, end - at - 14);
}

// A clock of ticks or seconds is never taken for one that dates every
// change anew, and the check leaves nothing behind.
TEST_P(CoarseClock, CoarseTimesAreNotTakenForFine) {
    std::string kind = GetParam();
    if (kind == "tmpfs" || kind == "ext4") GTEST_SKIP() << kind << " dates changes finely on some kernels";
    uint64_t dev = 0;
    for (int i = 0; i < 20; i++) EXPECT_EQ(plat_change_times_fine((fs.dir + "/scratch").c_str(), &dev), 0);
    EXPECT_FALSE(file_exists(fs.dir + "/scratch"));
}

// Within one tick: a session creates e with ["aa"]; two one-shot writers
// delete "aa" and add "bb" (the second may get the first file's inode back,
// at the same size); the session must read ["bb"], and its next change
// keeps both writers' changes.
TEST_P(CoarseClock, ChangesOfOtherWritersWithinOneTickAreSeen) {
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        begin_round();
        ASSERT_TRUE(ok(run("create_entities",
                           "{\"entities\":[{\"name\":\"e\",\"entityType\":\"t\",\"observations\":[\"aa\"]}]}")));
        ASSERT_TRUE(ok(one_shot("delete_observations", del_obs("e", "aa"))));
        ASSERT_TRUE(ok(one_shot("add_observations", add_obs("e", "bb"))));
        EXPECT_EQ(obs_of(run("open_nodes", "{\"names\":[\"e\"]}")), "[\"bb\"]");
        ASSERT_TRUE(ok(run("add_observations", add_obs("e", "cc"))));
        graph_forget();
        EXPECT_EQ(obs_of(run("open_nodes", "{\"names\":[\"e\"]}")), "[\"bb\",\"cc\"]");
    }
}

// Within one tick of a session's save, another program rewrites the file in
// place at the same size. The session's next change must start from what
// the file holds then, and never copy lines from a file whose bytes moved
// under them.
TEST_P(CoarseClock, AFileRewrittenInPlaceWithinOneTickIsNeverCopiedFrom) {
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE(round);
        begin_round();
        for (const char *name : {"a", "b", "c"}) {
            std::string e = std::string("{\"entities\":[{\"name\":\"") + name +
                            "\",\"entityType\":\"t\",\"observations\":[\"x\"]}]}";
            ASSERT_TRUE(ok(run("create_entities", e)));
        }
        // The same bytes with "a" turned into "z", written in place.
        std::string text = read_all(file);
        size_t at = text.find("\"name\":\"a\"");
        ASSERT_NE(at, std::string::npos);
        text[at + 8] = 'z';
        int fd = open(file.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
        close(fd);
        std::string r = run("add_observations", add_obs("b", "new"));
        graph_forget();
        graph_clear(&G);
        ASSERT_EQ(graph_load(), STORE_OK);
        EXPECT_EQ(G.bad_count, 0u);
        if (ok(r)) {
            // The change went in on top of what the file held.
            EXPECT_EQ(read_all(file), text.substr(0, text.find("\"name\":\"b\"")) +
                                          "\"name\":\"b\",\"entityType\":\"t\",\"observations\":[\"x\",\"new\"]}\n" +
                                          text.substr(text.find("{\"type\":\"entity\",\"name\":\"c\"")));
        } else {
            EXPECT_EQ(read_all(file), text) << r;
        }
    }
}

// Sessions and one-shot writers, interleaved many times on one file: every
// acknowledged change is in the file, and every read of the session answers
// what the file holds.
TEST_P(CoarseClock, InterleavedWritersLoseNothingAndReadNothingStale) {
    ASSERT_TRUE(ok(run("create_entities",
                       "{\"entities\":[{\"name\":\"e\",\"entityType\":\"t\",\"observations\":[]}]}")));
    std::vector<std::string> want;
    srand(11);
    for (int i = 0; i < 60; i++) {
        SCOPED_TRACE(i);
        std::string text = "o" + std::to_string(i);
        int who = rand() % 3;
        if (who == 0) {
            ASSERT_TRUE(ok(run("add_observations", add_obs("e", text))));
        } else {
            ASSERT_TRUE(ok(one_shot("add_observations", add_obs("e", text))));
        }
        want.push_back(text);
        if (rand() % 4 == 0 && want.size() > 1) {
            size_t k = (size_t)rand() % want.size();
            std::string gone = want[k];
            ASSERT_TRUE(ok(rand() % 2 ? run("delete_observations", del_obs("e", gone))
                                      : one_shot("delete_observations", del_obs("e", gone))));
            want.erase(want.begin() + (long)k);
        }
        std::string expect = "[";
        for (size_t k = 0; k < want.size(); k++) expect += (k ? ",\"" : "\"") + want[k] + "\"";
        expect += "]";
        ASSERT_EQ(obs_of(run("open_nodes", "{\"names\":[\"e\"]}")), expect);
    }
}

INSTANTIATE_TEST_SUITE_P(FileSystems, CoarseClock, ::testing::Values("ramfs", "ext4_128", "tmpfs", "ext4"),
                         [](const ::testing::TestParamInfo<const char *> &p) {
                             return std::string(p.param);
                         });

}  // namespace
