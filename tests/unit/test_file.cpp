// test_file.cpp - loading and saving the graph file: line handling, kept
// lines, the size limit, failed saves that leave the file alone, permission
// bits, and the writer's lock.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "store/store_internal.h"
#include "store_test_util.h"

namespace {

using store_test::file_exists;
using store_test::list_dir;
using store_test::message;
using store_test::read_all;
using store_test::write_all;

const char READ_ERR[] = "cannot read the graph file (permission, or larger than 24 MB)";
const char E1[] = "{\"type\":\"entity\",\"name\":\"a\",\"entityType\":\"t\",\"observations\":[]}";
const char E2[] = "{\"type\":\"entity\",\"name\":\"b\",\"entityType\":\"t\",\"observations\":[\"x\"]}";
const char R1[] = "{\"type\":\"relation\",\"from\":\"a\",\"to\":\"b\",\"relationType\":\"r\"}";

class GraphFile : public store_test::store_fixture {
protected:
    // Loads the file, expecting success, and saves it back.
    std::string load_and_save() {
        EXPECT_EQ(graph_load(), STORE_OK);
        save_ok();
        return read_all(file);
    }
    // The names in the directory other than the graph file itself.
    std::vector<std::string> leftovers() {
        std::vector<std::string> out;
        for (auto &n : list_dir(dir.path))
            if (n != "memory.jsonl") out.push_back(n);
        return out;
    }
};

TEST_F(GraphFile, MissingFileLoadsEmptyAndTheFirstSaveCreatesIt) {
    ASSERT_EQ(graph_load(), STORE_OK);
    EXPECT_EQ(G.ent_count + G.rel_count + G.bad_count, 0u);
    EXPECT_FALSE(file_exists(file));
    save_ok();
    EXPECT_TRUE(file_exists(file));
    EXPECT_EQ(read_all(file), "");
    EXPECT_TRUE(leftovers().empty());
}

struct round_case {
    const char *what;
    std::string in;
    std::string out;  // the file after a load and a save
    uint64_t ents, rels, bad;
};

TEST_F(GraphFile, LinesLoadAndSaveBack) {
    const std::string e1 = E1, e2 = E2, r1 = R1;
    const round_case cases[] = {
        {"blank lines only", " \t\r\n\n  \r\n\t", "", 0, 0, 0},
        {"one of each", e1 + "\n" + r1 + "\n" + e2 + "\n", e1 + "\n" + e2 + "\n" + r1 + "\n", 2, 1, 0},
        {"last line without a line feed", e1 + "\n" + e2, e1 + "\n" + e2 + "\n", 2, 0, 0},
        {"CRLF endings", e1 + "\r\n" + r1 + "\r\n", e1 + "\n" + r1 + "\n", 1, 1, 0},
        {"non-JSON line moves after the relations",
         e1 + "\nnot json\n" + e2 + "\n" + r1 + "\n",
         e1 + "\n" + e2 + "\n" + r1 + "\nnot json\n", 2, 1, 1},
        {"kept line verbatim with its white space and CR", "  [1, 2]\t\r\n" + e1 + "\n",
         e1 + "\n  [1, 2]\t\r\n", 1, 0, 1},
        {"missing observations",
         "{\"type\":\"entity\",\"name\":\"a\",\"entityType\":\"t\"}\n",
         "{\"type\":\"entity\",\"name\":\"a\",\"entityType\":\"t\"}\n", 0, 0, 1},
        {"entityType a number",
         "{\"type\":\"entity\",\"name\":\"a\",\"entityType\":5,\"observations\":[]}\n",
         "{\"type\":\"entity\",\"name\":\"a\",\"entityType\":5,\"observations\":[]}\n", 0, 0, 1},
        {"observations with a number, a string and null",
         "{\"type\":\"entity\",\"name\":\"a\",\"entityType\":\"t\",\"observations\":[1,\"s\",null]}\n",
         "{\"type\":\"entity\",\"name\":\"a\",\"entityType\":\"t\",\"observations\":[\"s\"]}\n", 1, 0, 0},
        {"keys in any order, other keys ignored, first of a repeated key counts",
         "{\"observations\":[\"o\"],\"x\":1,\"entityType\":\"t\",\"name\":\"n\",\"name\":\"m\","
         "\"type\":\"entity\"}\n",
         "{\"type\":\"entity\",\"name\":\"n\",\"entityType\":\"t\",\"observations\":[\"o\"]}\n", 1, 0, 0},
        {"unknown or missing type, not an object, trailing text, bad UTF-8",
         "{\"type\":\"thing\"}\n{\"name\":\"a\"}\n\"entity\"\n" + e1 + " x\n"
         "{\"type\":\"entity\",\"name\":\"\xff\",\"entityType\":\"t\",\"observations\":[]}\n",
         "{\"type\":\"thing\"}\n{\"name\":\"a\"}\n\"entity\"\n" + e1 + " x\n"
         "{\"type\":\"entity\",\"name\":\"\xff\",\"entityType\":\"t\",\"observations\":[]}\n",
         0, 0, 5},
        {"refused fields are kept as lines",
         "{\"type\":\"entity\",\"name\":\"\",\"entityType\":\"t\",\"observations\":[]}\n"
         "{\"type\":\"relation\",\"from\":\"a\",\"to\":\"" + std::string(1025, 'b') +
             "\",\"relationType\":\"r\"}\n"
         "{\"type\":\"relation\",\"from\":\"a\",\"to\":\"b\"}\n",
         "{\"type\":\"entity\",\"name\":\"\",\"entityType\":\"t\",\"observations\":[]}\n"
         "{\"type\":\"relation\",\"from\":\"a\",\"to\":\"" + std::string(1025, 'b') +
             "\",\"relationType\":\"r\"}\n"
         "{\"type\":\"relation\",\"from\":\"a\",\"to\":\"b\"}\n",
         0, 0, 3},
        {"duplicates load as they are", e1 + "\n" + e1 + "\n" + r1 + "\n" + r1 + "\n",
         e1 + "\n" + e1 + "\n" + r1 + "\n" + r1 + "\n", 2, 2, 0},
        {"bytes after a zero byte in a line are not taken",
         e1 + std::string(1, '\0') + "junk\nbad" + std::string(1, '\0') + "tail\n",
         e1 + "\nbad\n", 1, 0, 1},
        {"escapes are written back in their one form",
         "{\"type\":\"entity\",\"name\":\"\\u0041\\/\",\"entityType\":\"t\",\"observations\":"
         "[\"\\u00e9\\u001B\\\"\"]}\n",
         "{\"type\":\"entity\",\"name\":\"A/\",\"entityType\":\"t\",\"observations\":"
         "[\"\xc3\xa9\\u001b\\\"\"]}\n",
         1, 0, 0},
    };
    for (const round_case &c : cases) {
        SCOPED_TRACE(c.what);
        write_all(file, c.in);
        ASSERT_EQ(graph_load(), STORE_OK);
        EXPECT_EQ(G.ent_count, c.ents);
        EXPECT_EQ(G.rel_count, c.rels);
        EXPECT_EQ(G.bad_count, c.bad);
        save_ok();
        EXPECT_EQ(read_all(file), c.out);
        // What was saved loads again unchanged.
        EXPECT_EQ(load_and_save(), c.out);
    }
}

TEST_F(GraphFile, FormatWritesEntitiesRelationsThenKeptLines) {
    ASSERT_EQ(rel_add(&G, "a", "b", "r"), STORE_OK);
    bad_add(&G, "kept");
    bad_add(&G, "lost copy");
    free(G.bad[1]);  // as when the copy could not be allocated
    G.bad[1] = nullptr;
    const char *obs[] = {"x", "", "q\""};
    ASSERT_EQ(ent_add(&G, "b", "t", const_cast<char *const *>(obs), 3), STORE_OK);
    buf b = {};
    graph_format(&G, &b);
    EXPECT_EQ(std::string(buf_str(&b)),
              "{\"type\":\"entity\",\"name\":\"b\",\"entityType\":\"t\",\"observations\":"
              "[\"x\",\"\",\"q\\\"\"]}\n" +
                  std::string(R1) + "\nkept\n\n");
    buf_free(&b);
}

TEST_F(GraphFile, EntityLimitSpillsIntoKeptLines) {
    setenv("MEMORY_MAX_ENTITIES", "2", 1);
    const std::string e3 =
        "{\"type\":\"entity\",\"name\":\"c\",\"entityType\":\"t\",\"observations\":[]}";
    write_all(file, std::string(E1) + "\n" + E2 + "\n" + e3 + "\n" + R1 + "\n");
    ASSERT_EQ(graph_load(), STORE_OK);
    EXPECT_EQ(G.ent_count, 2u);
    EXPECT_EQ(G.rel_count, 1u);
    ASSERT_EQ(G.bad_count, 1u);
    save_ok();
    EXPECT_EQ(read_all(file), std::string(E1) + "\n" + E2 + "\n" + R1 + "\n" + e3 + "\n");
}

// What a lowered limit leaves out of a load is not written away by a save:
// the save is refused, naming the limit, and the file stays as it is.
TEST_F(GraphFile, LimitsThatLeaveLinesOrObservationsOutBlockSaves) {
    struct {
        const char *var, *value;
        std::string text;
        uint64_t ents, obs, bad;
        uint32_t cut;
        const char *message;
    } cases[] = {
        {"MEMORY_MAX_BAD", "1", "one\ntwo\n" + std::string(E1) + "\n", 1, 0, 1, CUT_BAD,
         "Nothing was changed: the graph file holds more than MEMORY_MAX_BAD (1) allows, and a "
         "save would drop the rest. Raise the limit to change the graph."},
        {"MEMORY_MAX_OBS", "2",
         "{\"type\":\"entity\",\"name\":\"a\",\"entityType\":\"t\",\"observations\":[1,\"x\",\"y\",\"z\"]}\n",
         1, 2, 0, CUT_OBS,
         "Nothing was changed: the graph file holds more than MEMORY_MAX_OBS (2) allows, and a "
         "save would drop the rest. Raise the limit to change the graph."},
        {"MEMORY_MAX_ENTITIES", "1", std::string(E1) + "\n" + E2 + "\nthree\n", 1, 0, 1,
         CUT_ENTITIES | CUT_BAD,
         "Nothing was changed: the graph file holds more than MEMORY_MAX_ENTITIES (1) and "
         "MEMORY_MAX_BAD (1) allow, and a save would drop the rest. Raise the limits to change "
         "the graph."},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.var);
        setenv("MEMORY_MAX_BAD", "1", 1);
        setenv(c.var, c.value, 1);
        write_all(file, c.text);
        ASSERT_EQ(graph_load(), STORE_OK);
        EXPECT_EQ(G.ent_count, c.ents);
        EXPECT_EQ(G.ent_count ? G.ents[0].obs_count : 0, c.obs);
        EXPECT_EQ(G.bad_count, c.bad);
        EXPECT_EQ(G.cut, c.cut);
        EXPECT_EQ(message(graph_save()), c.message);
        EXPECT_EQ(read_all(file), c.text);
        EXPECT_TRUE(leftovers().empty());
        unsetenv(c.var);
        unsetenv("MEMORY_MAX_BAD");
    }
}

// Entity and relation lines past their limits are kept as lines: nothing is
// lost, so saves go on, and the lines move after the relations.
TEST_F(GraphFile, EntitiesAndRelationsPastTheirLimitsStayAsLines) {
    setenv("MEMORY_MAX_ENTITIES", "1", 1);
    setenv("MEMORY_MAX_RELATIONS", "1", 1);
    write_all(file, std::string(E1) + "\n" + E2 + "\n" + R1 + "\n" + R1 + "\n");
    ASSERT_EQ(graph_load(), STORE_OK);
    EXPECT_EQ(G.cut, (uint32_t)(CUT_ENTITIES | CUT_RELATIONS));
    save_ok();
    EXPECT_EQ(read_all(file), std::string(E1) + "\n" + R1 + "\n" + E2 + "\n" + R1 + "\n");
}

// An entity line of exactly `size` bytes, line feed included.
std::string entity_line_of(size_t size) {
    const std::string head =
        "{\"type\":\"entity\",\"name\":\"a\",\"entityType\":\"t\",\"observations\":[\"";
    const std::string tail = "\"]}\n";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

TEST_F(GraphFile, ReadLimitIs24MiB) {
    write_all(file, std::string(E1) + "\n" +
                        std::string((size_t)GRAPH_READ_MAX - strlen(E1) - 2, ' ') + "\n");
    ASSERT_EQ(read_all(file).size(), (size_t)GRAPH_READ_MAX);
    ASSERT_EQ(graph_load(), STORE_OK);
    EXPECT_EQ(G.ent_count, 1u);

    write_all(file, read_all(file) + " ");
    EXPECT_EQ(message(graph_load()), READ_ERR);
    EXPECT_EQ(G.ent_count + G.bad_count, 0u);
    unlink(file.c_str());
    EXPECT_EQ(graph_load(), STORE_OK);
}

TEST_F(GraphFile, UnreadablePathIsReportedNotTakenAsEmpty) {
    ASSERT_EQ(mkdir(file.c_str(), 0700), 0);
    EXPECT_EQ(message(graph_load()), READ_ERR);
}

TEST_F(GraphFile, SaveRefusesWhatNoLoadCouldRead) {
    // Exactly 24 MiB is written and loads back.
    ASSERT_EQ(ent_add(&G, "a", "t", nullptr, 0), STORE_OK);
    std::string line = entity_line_of((size_t)GRAPH_READ_MAX);
    std::string obs = line.substr(line.find("[\"") + 2, line.size() - line.find("[\"") - 6);
    ASSERT_EQ(obs_push(&G, &G.ents[0], obs.c_str()), STORE_OK);
    save_ok();
    EXPECT_EQ(read_all(file), line);
    ASSERT_EQ(graph_load(), STORE_OK);
    ASSERT_EQ(G.ent_count, 1u);
    EXPECT_EQ(G.ents[0].obs_count, 0u) << "over 8000 bytes: not taken on load";

    // One byte more is refused and the file stays as it was.
    write_all(file, std::string(E1) + "\n");
    ASSERT_EQ(graph_load(), STORE_OK);
    ASSERT_EQ(obs_push(&G, &G.ents[0], (obs + "y").c_str()), STORE_OK);
    EXPECT_EQ(message(graph_save()), "the graph would be larger than 24 MB; delete something first");
    EXPECT_EQ(read_all(file), std::string(E1) + "\n");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(GraphFile, SaveFailsWhenAPieceOfTheTextIsDropped) {
    write_all(file, std::string(E1) + "\n");
    ASSERT_EQ(graph_load(), STORE_OK);
    // 300 observations sharing one 1 MiB text make a file text beyond what a
    // buffer may hold; the shared slots are taken back before G is cleared.
    std::string big((size_t)1 << 20, 'm');
    char *shared[300];
    for (char *&p : shared) p = big.data();
    ent &e = G.ents[0];
    e.obs = shared;
    e.obs_count = 300;
    store_rc rc = graph_save();
    e.obs = nullptr;
    e.obs_count = 0;
    EXPECT_EQ(message(rc), "out of memory while writing the graph");
    EXPECT_EQ(read_all(file), std::string(E1) + "\n");
    EXPECT_TRUE(leftovers().empty());
}

// The temporary file of this process for the graph file.
std::string temp_of(const std::string &file) {
    char tmp[SIDE_PATH_CAP];
    EXPECT_EQ(graph_temp_path(file.c_str(), tmp, sizeof tmp), STORE_OK);
    return tmp;
}

// Files of this process grow no larger than limit bytes while it lives, as
// on a full disk: writes past it fail (and the signal that would end the
// process is ignored meanwhile).
struct file_size_cap {
    rlimit old;
    void (*old_handler)(int);
    explicit file_size_cap(rlim_t limit) {
        getrlimit(RLIMIT_FSIZE, &old);
        old_handler = signal(SIGXFSZ, SIG_IGN);
        rlimit cap = {limit, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &cap);
    }
    ~file_size_cap() {
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, old_handler);
    }
};

TEST_F(GraphFile, FailedSavesLeaveTheFileAndNoTemporary) {
    const std::string old = std::string(E1) + "\n" + "kept line\n";
    const std::string tmp = temp_of(file);
    const std::string elsewhere = dir / "elsewhere.txt";
    struct {
        const char *what;
        void (*arrange)(const std::string &tmp, const std::string &elsewhere);
        const char *message;
    } cases[] = {
        {"temporary name taken by a directory",
         [](const std::string &t, const std::string &) { ASSERT_EQ(mkdir(t.c_str(), 0700), 0); },
         "cannot create a temp file beside "},
        // A link planted at the name would have the graph written into any
        // file the process may write.
        {"temporary name taken by a link to another file",
         [](const std::string &t, const std::string &e) {
             write_all(e, "not the graph");
             ASSERT_EQ(symlink(e.c_str(), t.c_str()), 0);
         },
         "cannot create a temp file beside "},
        {"temporary name taken by a link to nothing",
         [](const std::string &t, const std::string &e) {
             ASSERT_EQ(symlink(e.c_str(), t.c_str()), 0);
         },
         "cannot create a temp file beside "},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_all(file, old);
        ASSERT_EQ(graph_load(), STORE_OK);
        ASSERT_EQ(ent_add(&G, "new", "t", nullptr, 0), STORE_OK);
        c.arrange(tmp, elsewhere);
        std::string err = message(graph_save());
        EXPECT_EQ(err.rfind(c.message, 0), 0u) << err;
        EXPECT_EQ(read_all(file), old);
        if (file_exists(elsewhere)) {
            EXPECT_EQ(read_all(elsewhere), "not the graph");
        }
        store_test::remove_tree(tmp);  // what the test itself put there
        unlink(elsewhere.c_str());
        EXPECT_TRUE(leftovers().empty());
    }
    // A full disk: a small text fails when it is flushed, a large one while
    // it is written.
    struct {
        size_t extra;
        const char *message;
    } full[] = {{0, "cannot flush the graph to disk"}, {(size_t)1 << 20, "cannot write the graph to disk"}};
    for (auto &c : full) {
        SCOPED_TRACE(c.message);
        write_all(file, old);
        ASSERT_EQ(graph_load(), STORE_OK);
        std::string big(c.extra, 'b');
        ASSERT_EQ(obs_push(&G, &G.ents[0], big.c_str()), STORE_OK);
        store_rc rc;
        {
            file_size_cap cap(16);
            rc = graph_save();
        }
        EXPECT_EQ(message(rc), c.message);
        EXPECT_EQ(read_all(file), old);
        EXPECT_FALSE(file_exists(tmp));
        EXPECT_TRUE(leftovers().empty());
    }
}

// A save after a save copies the lines it did not change from the file it
// wrote; when the disk fills while it copies, the file stays as it was, and
// the graph in memory, still holding the change, is written whole next time.
TEST_F(GraphFile, ASaveThatCopiesLinesFailsCleanlyOnAFullDisk) {
    std::string text;
    for (int i = 0; i < 200; i++)
        text += "{\"type\":\"entity\",\"name\":\"e" + std::to_string(i) +
                "\",\"entityType\":\"t\",\"observations\":[\"o\"]}\n";
    write_all(file, text);
    ASSERT_EQ(graph_load(), STORE_OK);
    save_ok();
    const std::string saved = read_all(file);
    ASSERT_EQ(saved, text);
    ASSERT_EQ(obs_push(&G, &G.ents[150], "new"), STORE_OK);
    store_rc rc;
    {
        file_size_cap cap(4096);
        rc = graph_save();
    }
    EXPECT_EQ(message(rc), "cannot write the graph to disk");
    EXPECT_EQ(read_all(file), saved);
    EXPECT_TRUE(leftovers().empty());
    save_ok();
    std::string want = text;
    want.replace(want.find("\"e150\",\"entityType\":\"t\",\"observations\":[\"o\"]"),
                 std::string("\"e150\",\"entityType\":\"t\",\"observations\":[\"o\"]").size(),
                 "\"e150\",\"entityType\":\"t\",\"observations\":[\"o\",\"new\"]");
    EXPECT_EQ(read_all(file), want);
}

// A temporary file of this process's name that a dead writer of the same
// id left behind is its own regular file: it goes, and the save succeeds.
TEST_F(GraphFile, TemporaryLeftByADeadWriterOfTheSameIdIsReplaced) {
    write_all(file, std::string(E1) + "\n");
    write_all(temp_of(file), "half a graph");
    ASSERT_EQ(graph_load(), STORE_OK);
    ASSERT_EQ(ent_add(&G, "new", "t", nullptr, 0), STORE_OK);
    save_ok();
    EXPECT_EQ(read_all(file),
              std::string(E1) + "\n" +
                  "{\"type\":\"entity\",\"name\":\"new\",\"entityType\":\"t\",\"observations\":[]}\n");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(GraphFile, SaveIntoAGoneDirectoryFails) {
    const std::string sub = dir / "sub";
    const std::string path = sub + "/memory.jsonl";
    setenv("MEMORY_FILE_PATH", path.c_str(), 1);
    struct {
        const char *what;
        void (*arrange)(const std::string &sub);
        const char *message;
    } cases[] = {
        {"directory removed", [](const std::string &s) { store_test::remove_tree(s); },
         "cannot create a temp file beside "},
        {"directory replaced by a regular file",
         [](const std::string &s) {
             store_test::remove_tree(s);
             write_all(s, "a file");
         },
         "cannot create a temp file beside "},
        {"graph path is a directory",
         [](const std::string &s) { ASSERT_EQ(mkdir((s + "/memory.jsonl").c_str(), 0700), 0); },
         "cannot replace the graph file"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        store_test::remove_tree(sub);
        store_reset_path();
        ASSERT_EQ(graph_load(), STORE_OK);  // resolves the path and creates sub
        ASSERT_TRUE(file_exists(sub));
        ASSERT_EQ(ent_add(&G, "a", "t", nullptr, 0), STORE_OK);
        c.arrange(sub);
        std::string want = c.message;
        if (want.back() == ' ') want += path;
        EXPECT_EQ(message(graph_save()), want);
        struct stat st;
        if (stat(sub.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            auto names = list_dir(sub);
            ASSERT_EQ(names.size(), 1u);
            EXPECT_EQ(names[0], "memory.jsonl");
        }
    }
}

TEST_F(GraphFile, SaveKeepsPermissionBits) {
    for (unsigned mode : {0600u, 0640u, 0604u, 0755u}) {
        write_all(file, std::string(E1) + "\n");
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
        ASSERT_EQ(graph_load(), STORE_OK);
        save_ok();
        struct stat st;
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode);
    }
}

TEST_F(GraphFile, WriteOverReplacesTheWholeFile) {
    write_all(file, "a much longer old text\n");
    ASSERT_EQ(write_over("new\n", 4), STORE_OK);
    EXPECT_EQ(read_all(file), "new\n");
    ASSERT_EQ(write_over("", 0), STORE_OK);
    EXPECT_EQ(read_all(file), "");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(GraphFile, SaveReportsAnUnreachablePath) {
    setenv("MEMORY_FILE_PATH", "../up.jsonl", 1);
    setenv("MEMORY_CONNECTOR_DIR", dir.path.c_str(), 1);
    EXPECT_EQ(message(graph_load()), "MEMORY_FILE_PATH may not contain '..'");
    EXPECT_EQ(message(graph_save()), "MEMORY_FILE_PATH may not contain '..'");
}

class GraphLock : public store_test::store_fixture {
protected:
    std::string lock_file() { return file + ".lock"; }
};

TEST_F(GraphLock, TakeAndRelease) {
    ASSERT_EQ(graph_lock(), STORE_OK);
    EXPECT_EQ(g_lock_held, 1);
    EXPECT_EQ(std::string(g_lock_path), lock_file());
    EXPECT_EQ(store_test::lock_holder(lock_file()), std::to_string((long)getpid()));
    struct stat st;
    ASSERT_EQ(stat(lock_file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Not re-entrant, and a refused second take keeps the first.
    setenv("MEMORY_LOCK_TIMEOUT_MS", "0", 1);
    EXPECT_EQ(graph_lock(), STORE_BUSY);
    EXPECT_EQ(g_lock_held, 1);
    EXPECT_EQ(std::string(g_lock_path), lock_file());
    graph_unlock();
    EXPECT_EQ(g_lock_held, 0);
    EXPECT_STREQ(g_lock_path, "");
    EXPECT_FALSE(file_exists(lock_file()));
    graph_unlock();  // releasing twice is harmless
}

TEST_F(GraphLock, HeldLockMakesATakeWaitAndFail) {
    ASSERT_EQ(graph_load(), STORE_OK);  // resolves the path
    write_all(lock_file(), "12345\n");
    setenv("MEMORY_LOCK_TIMEOUT_MS", "60", 1);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(graph_lock(), STORE_BUSY);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(50));
    EXPECT_EQ(g_lock_held, 0);
    EXPECT_EQ(std::string(g_lock_path), lock_file());  // the path tried
    EXPECT_EQ(read_all(lock_file()), "12345\n");
    graph_unlock();  // not held: the other holder's file stays
    EXPECT_TRUE(file_exists(lock_file()));
}

TEST_F(GraphLock, StaleLockIsRemoved) {
    ASSERT_EQ(graph_load(), STORE_OK);
    write_all(lock_file(), "12345\n");
    struct timeval old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimes(lock_file().c_str(), old), 0);
    setenv("MEMORY_LOCK_TIMEOUT_MS", "0", 1);
    ASSERT_EQ(graph_lock(), STORE_OK);
    EXPECT_EQ(store_test::lock_holder(lock_file()), std::to_string((long)getpid()));
    graph_unlock();

    // Younger than MEMORY_LOCK_STALE_MS: left alone.
    write_all(lock_file(), "12345\n");
    struct timeval recent[2] = {{time(nullptr) - 5, 0}, {time(nullptr) - 5, 0}};
    ASSERT_EQ(utimes(lock_file().c_str(), recent), 0);
    setenv("MEMORY_LOCK_STALE_MS", "60000", 1);
    EXPECT_EQ(graph_lock(), STORE_BUSY);
    setenv("MEMORY_LOCK_STALE_MS", "1000", 1);
    EXPECT_EQ(graph_lock(), STORE_OK);
}

TEST_F(GraphLock, FailsWhenThePathCannotBeResolved) {
    setenv("MEMORY_FILE_PATH", "a..b", 1);
    setenv("MEMORY_CONNECTOR_DIR", dir.path.c_str(), 1);
    EXPECT_EQ(graph_lock(), STORE_PATH_DOTDOT);
    EXPECT_EQ(g_lock_held, 0);
}

}  // namespace
