// Changing tools against a real graph file: the writer's lock on every path,
// all-or-nothing saves, and the length limits of names and observations.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "store/store_internal.h"
#include "tool_test_util.h"
#include "tools/tools.h"
#include "store/store_internal.h"

namespace {

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void spit(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

// A temporary graph file for one test, with the environment the store reads
// put back afterwards.
class ToolChanges : public ::testing::Test {
protected:
    std::string dir, path, lock;
    void SetUp() override {
        char tmpl[] = "/tmp/tools_changes.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/memory.jsonl";
        lock = path + ".lock";
        setenv("MEMORY_FILE_PATH", path.c_str(), 1);
        setenv("MEMORY_LOCK_TIMEOUT_MS", "0", 1);
        unsetenv("MEMORY_MAX_OBS");
        store_reset_path();
    }
    void TearDown() override {
        unsetenv("MEMORY_FILE_PATH");
        unsetenv("MEMORY_LOCK_TIMEOUT_MS");
        unsetenv("MEMORY_MAX_OBS");
        store_reset_path();
        graph_clear(&G);
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    // Runs one tool on a JSON arguments text; returns the API envelope.
    std::string run(const char *tool, const std::string &args) { return tool_test::run(tool, args); }
};

const char *k_graph =
    "{\"type\":\"entity\",\"name\":\"A\",\"entityType\":\"t\",\"observations\":[\"o\"]}\n"
    "{\"type\":\"entity\",\"name\":\"B\",\"entityType\":\"t\",\"observations\":[]}\n"
    "{\"type\":\"relation\",\"from\":\"A\",\"to\":\"B\",\"relationType\":\"r\"}\n";

// One successful call of every changing tool.
struct call {
    const char *tool, *args;
};
const call k_changes[] = {
    {"create_entities", "{\"entities\":[{\"name\":\"C\",\"entityType\":\"t\"}]}"},
    {"create_relations", "{\"relations\":[{\"from\":\"B\",\"to\":\"A\",\"relationType\":\"r\"}]}"},
    {"add_observations", "{\"observations\":[{\"entityName\":\"B\",\"contents\":[\"n\"]}]}"},
    {"delete_entities", "{\"entityNames\":[\"B\"]}"},
    {"delete_observations", "{\"deletions\":[{\"entityName\":\"A\",\"observations\":[\"o\"]}]}"},
    {"delete_relations", "{\"relations\":[{\"from\":\"A\",\"to\":\"B\",\"relationType\":\"r\"}]}"},
};

TEST_F(ToolChanges, BusyGraphChangesNothing) {
    spit(path, k_graph);
    spit(lock, "99999\n");  // another writer holds the lock (fresh, not stale)
    for (const call &c : k_changes) {
        EXPECT_EQ(run(c.tool, c.args), "{\"ok\":false,\"error\":\"the graph is busy; try again\"}")
            << c.tool;
        EXPECT_EQ(slurp(path), k_graph) << c.tool;
        EXPECT_TRUE(exists(lock)) << c.tool << " removed a lock it did not hold";
    }
    // Reading takes no lock.
    EXPECT_EQ(run("open_nodes", "{\"names\":[\"B\"]}"),
              "{\"ok\":true,\"entities\":[{\"name\":\"B\",\"entityType\":\"t\",\"observations\":[]}],"
              "\"relations\":[{\"from\":\"A\",\"to\":\"B\",\"relationType\":\"r\"}]}");
    // Argument errors are reported before the lock is asked for.
    EXPECT_EQ(run("delete_entities", "{}"),
              "{\"ok\":false,\"error\":\"Missing required parameter: entityNames\"}");
}

TEST_F(ToolChanges, LockIsReleasedAfterSuccess) {
    for (const call &c : k_changes) {
        spit(path, k_graph);
        std::string r = run(c.tool, c.args);
        EXPECT_EQ(r.compare(0, 10, "{\"ok\":true"), 0) << c.tool << ": " << r;
        EXPECT_NE(slurp(path), k_graph) << c.tool;
        EXPECT_FALSE(exists(lock)) << c.tool;
        EXPECT_EQ(g_lock_held, 0) << c.tool;
    }
}

TEST_F(ToolChanges, LockIsReleasedAfterAFailedCheck) {
    const call failing[] = {
        {"create_entities", "{\"entities\":[{\"name\":\"C\",\"entityType\":\"t\"},{}]}"},
        {"create_relations", "{\"relations\":[{\"from\":\"A\",\"to\":\"Z\",\"relationType\":\"r\"}]}"},
        {"add_observations", "{\"observations\":[{\"entityName\":\"Z\",\"contents\":[]}]}"},
        {"delete_observations", "{\"deletions\":[{\"entityName\":\"A\",\"observations\":[\"o\"]},{}]}"},
    };
    spit(path, k_graph);
    for (const call &c : failing) {
        std::string r = run(c.tool, c.args);
        EXPECT_EQ(r.compare(0, 11, "{\"ok\":false"), 0) << c.tool << ": " << r;
        EXPECT_EQ(slurp(path), k_graph) << c.tool;
        EXPECT_FALSE(exists(lock)) << c.tool;
        EXPECT_EQ(g_lock_held, 0) << c.tool;
    }
}

TEST_F(ToolChanges, LockIsReleasedAfterAFailedLoad) {
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);  // the graph path is a directory
    for (const call &c : k_changes) {
        EXPECT_EQ(run(c.tool, c.args),
                  "{\"ok\":false,\"error\":\"cannot read the graph file (permission, or larger "
                  "than 24 MB)\"}")
            << c.tool;
        EXPECT_FALSE(exists(lock)) << c.tool;
        EXPECT_EQ(g_lock_held, 0) << c.tool;
    }
}

TEST_F(ToolChanges, FailedSaveChangesNothingAndReleasesTheLock) {
    // A directory where the temporary file would go makes every save fail.
    char tmp[SIDE_PATH_CAP];
    ASSERT_EQ(graph_temp_path(path.c_str(), tmp, sizeof tmp), STORE_OK);
    ASSERT_EQ(mkdir(tmp, 0700), 0);
    for (const call &c : k_changes) {
        spit(path, k_graph);
        EXPECT_EQ(run(c.tool, c.args),
                  "{\"ok\":false,\"error\":\"cannot create a temp file beside " + path + "\"}")
            << c.tool;
        EXPECT_EQ(slurp(path), k_graph) << c.tool;
        EXPECT_FALSE(exists(lock)) << c.tool;
    }
}

TEST_F(ToolChanges, AFailedChangeLeavesNoEditedGraphBehind) {
    // Each call edits the graph in memory and then fails: the change must be
    // forgotten whole, not left in the graph for whoever reads it next.
    const call failing[] = {
        {"create_entities", "{\"entities\":[{\"name\":\"C\",\"entityType\":\"t\"},{}]}"},
        {"create_relations", "{\"relations\":[{\"from\":\"B\",\"to\":\"A\",\"relationType\":\"r\"},"
                             "{\"from\":\"A\",\"to\":\"A\",\"relationType\":\"r\"}]}"},
        {"delete_observations", "{\"deletions\":[{\"entityName\":\"A\",\"observations\":[\"o\"]},{}]}"},
    };
    auto fails_and_forgets = [&](const call &c) {
        spit(path, k_graph);
        std::string r = run(c.tool, c.args);
        EXPECT_EQ(r.compare(0, 11, "{\"ok\":false"), 0) << c.tool << ": " << r;
        EXPECT_EQ(G.ent_count, 0u) << c.tool;
        EXPECT_EQ(G.rel_count, 0u) << c.tool;
        EXPECT_EQ(slurp(path), k_graph) << c.tool;
        EXPECT_FALSE(exists(lock)) << c.tool;
    };
    setenv("MEMORY_MAX_RELATIONS", "2", 1);  // the second new relation is one too many
    for (const call &c : failing) fails_and_forgets(c);
    unsetenv("MEMORY_MAX_RELATIONS");
    // A save that fails after every edit went through forgets them too.
    char tmp[SIDE_PATH_CAP];
    ASSERT_EQ(graph_temp_path(path.c_str(), tmp, sizeof tmp), STORE_OK);
    ASSERT_EQ(mkdir(tmp, 0700), 0);
    for (const call &c : k_changes) fails_and_forgets(c);
    rmdir(tmp);
    // A change that is saved leaves the graph as written.
    spit(path, k_graph);
    EXPECT_EQ(run("create_entities", "{\"entities\":[{\"name\":\"C\",\"entityType\":\"t\"}]}")
                  .compare(0, 10, "{\"ok\":true"),
              0);
    ASSERT_EQ(G.ent_count, 3u);
    EXPECT_STREQ(G.ents[2].name, "C");
}

TEST_F(ToolChanges, ObservationTextsOver8000BytesAreNeverStored) {
    std::string ok(8000, 'k'), over(8001, 'v');
    EXPECT_EQ(run("create_entities", "{\"entities\":[{\"name\":\"E\",\"entityType\":\"t\","
                                     "\"observations\":[\"" + over + "\",\"" + ok + "\"]}]}"),
              "{\"ok\":true,\"entities\":[{\"name\":\"E\",\"entityType\":\"t\",\"observations\":[\"" +
                  ok + "\"]}]}");
    EXPECT_EQ(run("add_observations", "{\"observations\":[{\"entityName\":\"E\",\"contents\":[\"" +
                                          over + "\",\"x\"]}]}"),
              "{\"ok\":true,\"results\":[{\"entityName\":\"E\",\"addedObservations\":[\"x\"]}],"
              "\"note\":\"Left out 1 observation for E: over 8,000 bytes.\"}");
    // What was saved loads back unchanged.
    std::string saved = slurp(path);
    EXPECT_EQ(saved, "{\"type\":\"entity\",\"name\":\"E\",\"entityType\":\"t\",\"observations\":[\"" +
                         ok + "\",\"x\"]}\n");
    EXPECT_EQ(run("delete_relations", "{\"relations\":[]}"),
              "{\"ok\":true,\"success\":true,\"message\":\"Relations deleted successfully\"}");
    EXPECT_EQ(slurp(path), saved);
}

TEST_F(ToolChanges, ObservationsBeyondTheLoadersDefaultLoadBack) {
    // With a raised observation limit, add_observations may go past 2000;
    // the next load must still see every one of them.
    setenv("MEMORY_MAX_OBS", "2100", 1);
    std::string contents;
    for (int i = 0; i < 2050; i++) contents += (i ? ",\"" : "\"") + std::to_string(i) + "\"";
    run("create_entities", "{\"entities\":[{\"name\":\"E\",\"entityType\":\"t\"}]}");
    std::string r = run("add_observations",
                        "{\"observations\":[{\"entityName\":\"E\",\"contents\":[" + contents + "]}]}");
    ASSERT_EQ(r.compare(0, 10, "{\"ok\":true"), 0);
    EXPECT_EQ(run("open_nodes", "{\"names\":[\"E\"],\"observationLimit\":0}"),
              "{\"ok\":true,\"entities\":[{\"name\":\"E\",\"entityType\":\"t\",\"observations\":[],"
              "\"observationCount\":2050}],\"relations\":[]}");
}

TEST_F(ToolChanges, CreateLooksAtTheFirst2000Observations) {
    // Even with room for more, only the first 2000 elements are examined.
    setenv("MEMORY_MAX_OBS", "3000", 1);
    std::string obs;
    for (int i = 0; i < 2500; i++) obs += (i ? ",\"" : "\"") + std::to_string(i) + "\"";
    run("create_entities",
        "{\"entities\":[{\"name\":\"E\",\"entityType\":\"t\",\"observations\":[" + obs + "]}]}");
    EXPECT_EQ(run("open_nodes", "{\"names\":[\"E\"],\"observationLimit\":1}"),
              "{\"ok\":true,\"entities\":[{\"name\":\"E\",\"entityType\":\"t\",\"observations\":"
              "[\"0\"],\"observationCount\":2000}],\"relations\":[]}");
}

TEST_F(ToolChanges, FieldLengthLimits) {
    std::string n1024(1024, 'n'), n1025(1025, 'n');
    EXPECT_EQ(run("create_entities",
                  "{\"entities\":[{\"name\":\"" + n1024 + "\",\"entityType\":\"t\"}]}"),
              "{\"ok\":true,\"entities\":[{\"name\":\"" + n1024 +
                  "\",\"entityType\":\"t\",\"observations\":[]}]}");
    std::string before = slurp(path);
    EXPECT_EQ(run("create_entities",
                  "{\"entities\":[{\"name\":\"x\",\"entityType\":\"t\"},{\"name\":\"" + n1025 +
                      "\",\"entityType\":\"t\"}]}"),
              "{\"ok\":false,\"error\":\"An entity needs a non-empty name and entityType (each at "
              "most 1024 characters).\"}");
    EXPECT_EQ(slurp(path), before);
    EXPECT_EQ(run("create_relations", "{\"relations\":[{\"from\":\"" + n1024 + "\",\"to\":\"" +
                                          n1024 + "\",\"relationType\":\"" + n1025 + "\"}]}"),
              "{\"ok\":false,\"error\":\"A relation needs non-empty from, to and relationType "
              "fields.\"}");
    EXPECT_EQ(slurp(path), before);
}

TEST_F(ToolChanges, LongNameInAMessageStaysWholeUtf8) {
    // A name of one byte and 400 two-byte characters makes the not-found message longer
    // than the error buffer; the cut must fall between characters.
    std::string name;
    for (int i = 0; i < 400; i++) name += "\xc3\xa9";
    spit(path, k_graph);
    std::string r = run("add_observations", "{\"observations\":[{\"entityName\":\"x" + name +
                                                "\",\"contents\":[]}]}");
    yyjson_doc *d = yyjson_read(r.data(), r.size(), 0);
    ASSERT_NE(d, nullptr) << "the envelope must be valid JSON";
    const char *err = yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(d), "error"));
    ASSERT_NE(err, nullptr);
    std::string e = err;
    // "Entity with name x" is 18 bytes, so byte 767 would split a character.
    EXPECT_EQ(e.size(), 766u);
    EXPECT_EQ(e.compare(0, 18, "Entity with name x"), 0);
    yyjson_doc_free(d);
}

// An import, as any caller makes it: its answer is asked for before the
// save and nothing is saved when it cannot be made; checked only, nothing is
// saved either; a refusal names its line.
int g_answers;
int answer_as(const import_tally *t, void *ctx) {
    g_answers++;
    EXPECT_EQ(t->err[0], 0);
    return *(int *)ctx;
}

TEST_F(ToolChanges, ImportAsksForItsAnswerBeforeItSaves) {
    spit(path, k_graph);
    const std::string before = slurp(path);
    const std::string body = "{\"type\":\"entity\",\"name\":\"new\",\"entityType\":\"t\","
                             "\"observations\":[\"o\"]}\n";
    struct {
        int check_only, answer, result;
        bool saved;
    } cases[] = {{0, -1, -1, false}, {1, 0, 0, false}, {0, 0, 0, true}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.check_only * 10 + c.answer);
        g_answers = 0;
        import_tally t;
        int answer = c.answer;
        EXPECT_EQ(import_graph_lines(body.data(), body.size(), c.check_only, &t, answer_as, &answer),
                  c.result);
        EXPECT_EQ(g_answers, 1);
        EXPECT_STREQ(t.err, "");
        EXPECT_EQ(t.ents_added, 1u);
        EXPECT_EQ(slurp(path) != before, c.saved);
        EXPECT_FALSE(exists(lock));
        buf_free(&t.skipped_names);
    }
    import_tally t;
    int answer = 0;
    EXPECT_EQ(import_graph_lines("\n{", 2, 0, &t, answer_as, &answer), -1);
    EXPECT_STREQ(t.err, "line 2: not valid JSON");
    EXPECT_EQ(t.err_line, 2u);
    buf_free(&t.skipped_names);
}

}  // namespace
