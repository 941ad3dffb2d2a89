// test_kept_graph.cpp - the graph kept between calls of one process: reads
// from the indexes of a kept graph answer exactly as the scan of a graph
// just read; a change that fails is never answered from memory; a save keeps
// the graph only when a load of the file it wrote would give it back.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store_test_util.h"
#include "tool_test_util.h"

namespace {

using store_test::read_all;
using store_test::store_fixture;
using store_test::write_all;
using tool_test::run;

// Longer than the time within which a load does not keep a file just
// changed.
void let_it_settle() { usleep(30000); }

std::string entity(const std::string &name, const std::string &obs) {
    return "{\"type\":\"entity\",\"name\":\"" + name + "\",\"entityType\":\"t\",\"observations\":[\"" +
           obs + "\"]}\n";
}

std::string relation(const std::string &from, const std::string &to) {
    return "{\"type\":\"relation\",\"from\":\"" + from + "\",\"to\":\"" + to +
           "\",\"relationType\":\"r\"}\n";
}

class KeptGraph : public store_fixture {};

TEST_F(KeptGraph, IndexedReadsAnswerAsTheScanOfAFreshLoad) {
    // Names given twice in the file, relations to entities that do not
    // exist, of an entity with itself and given twice.
    std::string text;
    for (int i = 0; i < 12; i++) text += entity("e" + std::to_string(i), "obs " + std::to_string(i));
    text += entity("e3", "the second e3");
    text += entity("e7", "the second e7");
    for (int i = 0; i < 12; i++) {
        text += relation("e" + std::to_string(i), "e" + std::to_string((i * 5 + 1) % 12));
        text += relation("ghost", "e" + std::to_string(i));
        text += relation("e" + std::to_string(i), "e" + std::to_string(i));
    }
    text += relation("e3", "e7");
    text += relation("e3", "e7");
    text += relation("ghost", "nobody");
    write_all(file, text);
    let_it_settle();
    const char *calls[][2] = {
        {"open_nodes", "{\"names\":[\"e1\"]}"},
        {"open_nodes", "{\"names\":[\"e3\"]}"},
        {"open_nodes", "{\"names\":[\"e3\",\"e7\"]}"},
        {"open_nodes", "{\"names\":[\"e7\",\"e3\",\"e1\"]}"},
        {"open_nodes", "{\"names\":[\"e3\",\"e3\",\"e3\"]}"},
        {"open_nodes", "{\"names\":[\"e2\",\"e2\"]}"},
        {"open_nodes", "{\"names\":[\"ghost\",\"nobody\",\"e11\"]}"},
        {"open_nodes", "{\"names\":[\"e1\\u0000x\",\"e1\",5,null]}"},
        {"open_nodes", "{\"names\":[]}"},
        {"open_nodes", "{\"names\":[\"e0\",\"e1\",\"e2\",\"e3\",\"e4\",\"e5\",\"e6\",\"e7\",\"e8\",\"e9\",\"e10\",\"e11\"]}"},
        {"open_nodes", "{\"names\":[\"e5\"],\"observationLimit\":0}"},
        {"search_nodes", "{\"query\":\"OBS 1\"}"},
        {"search_nodes", "{\"query\":\"second\"}"},
        {"search_nodes", "{\"query\":\"e\",\"limit\":3}"},
        {"search_nodes", "{\"query\":\"nothing like it\"}"},
        {"read_graph", "{}"},
        {"read_graph", "{\"entityTypes\":[\"t\"],\"observationLimit\":1}"},
    };
    for (auto &c : calls) {
        SCOPED_TRACE(std::string(c[0]) + " " + c[1]);
        graph_forget();
        std::string cold = run(c[0], c[1]);
        EXPECT_EQ(g_graph_reused, 0);
        std::string warm = run(c[0], c[1]);
        EXPECT_EQ(g_graph_reused, 1);
        EXPECT_EQ(warm, cold);
        EXPECT_EQ(run(c[0], c[1]), cold);
    }
}

TEST_F(KeptGraph, AChangeThatFailsIsNeverAnsweredFromMemory) {
    write_all(file, entity("A", "a"));
    let_it_settle();
    std::string before = run("read_graph", "{}");
    EXPECT_EQ(run("read_graph", "{}"), before);
    EXPECT_EQ(g_graph_reused, 1);
    // The first entity is added to the graph in memory before the second
    // one is refused; nothing is saved.
    std::string r = run("create_entities",
                        "{\"entities\":[{\"name\":\"B\",\"entityType\":\"t\"},{\"name\":\"\",\"entityType\":\"t\"}]}");
    EXPECT_EQ(r.substr(0, 12), "{\"ok\":false,") << r;
    EXPECT_EQ(read_all(file), entity("A", "a"));
    EXPECT_EQ(run("open_nodes", "{\"names\":[\"B\"]}"), "{\"ok\":true,\"entities\":[],\"relations\":[]}");
    EXPECT_EQ(g_graph_reused, 0);
    EXPECT_EQ(run("read_graph", "{}"), before);
}

TEST_F(KeptGraph, ASaveKeepsTheGraphItWrote) {
    write_all(file, entity("A", "a"));
    let_it_settle();
    run("read_graph", "{}");
    std::string r = run("add_observations", "{\"observations\":[{\"entityName\":\"A\",\"contents\":[\"b\"]}]}");
    EXPECT_EQ(r.substr(0, 11), "{\"ok\":true,") << r;
    std::string after = run("read_graph", "{}");
    EXPECT_EQ(g_graph_reused, 1);
    graph_forget();
    EXPECT_EQ(run("read_graph", "{}"), after);
    EXPECT_EQ(g_graph_reused, 0);
}

TEST_F(KeptGraph, ASaveWhoseFileWouldLoadOtherwiseIsReadAgain) {
    // The third entity is over the limit and kept as a line; once the first
    // is deleted, a load reads it as an entity, and so must the next call.
    store_test::set_env("MEMORY_MAX_ENTITIES", "2");
    store_test::set_env("MEMORY_LOCK_TIMEOUT_MS", "0");
    write_all(file, entity("A", "a") + entity("B", "b") + entity("C", "c"));
    let_it_settle();
    run("read_graph", "{}");
    bool deleted = run("delete_entities", "{\"entityNames\":[\"A\"]}").substr(0, 10) == "{\"ok\":true";
    std::string warm = run("open_nodes", "{\"names\":[\"B\",\"C\"]}");
    graph_forget();
    EXPECT_EQ(warm, run("open_nodes", "{\"names\":[\"B\",\"C\"]}"));
    if (deleted) {
        EXPECT_NE(warm.find("\"name\":\"C\""), std::string::npos) << warm;
    }
}

TEST_F(KeptGraph, AFileChangedJustBeforeItIsReadIsReadAgain) {
    // A change in the same tick of a coarse file clock could leave the
    // file's times as they were: such a load is not kept.
    write_all(file, entity("A", "a"));
    run("read_graph", "{}");
    run("read_graph", "{}");
    EXPECT_EQ(g_graph_reused, 0);
    let_it_settle();
    run("read_graph", "{}");
    run("read_graph", "{}");
    EXPECT_EQ(g_graph_reused, 1);
}

}  // namespace
