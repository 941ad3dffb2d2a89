// test_kept_graph.cpp - the graph kept between calls of one process: reads
// from the indexes of a kept graph answer exactly as the scan of a graph
// just read; a change that fails is never answered from memory; a save keeps
// the graph only when a load of the file it wrote would give it back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/store_internal.h"
#include "store_test_util.h"
#include "tool_test_util.h"

namespace {

using store_test::formatted;
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

// A change in the same tick of a coarse file clock could leave the file's
// times as they were: until the clock has surely moved past them, a kept
// graph is reused only while the file's bytes are still its text. Here the
// file is rewritten in place at the same size with the same times.
TEST_F(KeptGraph, AFileChangedWithinItsClockTickIsReadAgain) {
    write_all(file, entity("A", "a"));
    struct stat before;
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    EXPECT_NE(run("read_graph", "{}").find("\"A\""), std::string::npos);
    write_all(file, entity("B", "b"));
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    std::string again = run("read_graph", "{}");
    EXPECT_NE(again.find("\"B\""), std::string::npos) << again;
    EXPECT_EQ(g_graph_reused, 0);
    // Once settled, the identity alone tells.
    let_it_settle();
    run("read_graph", "{}");
    run("read_graph", "{}");
    EXPECT_EQ(g_graph_reused, 1);
}

// A program that writes the graph file in place while a save copies lines
// from it (its first read of the file): one byte of the third line.
std::string g_written_in_place;
ssize_t pread_then_write_in_place(int fd, void *out, size_t n, off_t off) {
    if (!g_written_in_place.empty()) {
        std::string text = read_all(g_written_in_place);
        text[text.rfind("\"c\"") + 1] = 'z';
        write_all(g_written_in_place, text);  // in place: the same inode
        g_written_in_place.clear();
    }
    auto real = (ssize_t(*)(int, void *, size_t, off_t))plat_default_syscall("pread");
    return real(fd, out, n, off);
}

// Rule 5: a save that copied lines from a file changed under it fails,
// saying so, and replaces nothing; the next save writes the whole graph.
TEST_F(KeptGraph, ASaveWhoseSourceChangedUnderItSaysSo) {
    write_all(file, entity("a", "1") + entity("b", "2") + entity("c", "3"));
    ASSERT_EQ(graph_load(), STORE_OK);
    save_ok();
    ASSERT_EQ(obs_push(&G, &G.ents[1], "new"), STORE_OK);
    g_written_in_place = file;
    ASSERT_EQ(plat_set_syscall("pread", (plat_syscall_ptr)pread_then_write_in_place), 0);
    store_rc rc = graph_save();
    plat_set_syscall("pread", nullptr);
    EXPECT_TRUE(g_written_in_place.empty()) << "no line was copied";
    EXPECT_EQ(store_test::message(rc), "the file was changed by another program");
    EXPECT_EQ(read_all(file), entity("a", "1") + entity("b", "2") + entity("z", "3"));
    save_ok();
    EXPECT_EQ(read_all(file), formatted(&G));
}

// The file text of the graph a load of text gives, read aside from G.
std::string reformatted(std::string text) {
    graph g = {};
    text.push_back(0);
    graph_build(&g, text.data(), text.size() - 1, 0);
    std::string t = formatted(&g);
    graph_clear(&g);
    return t;
}

// A save copies the lines it knows from the file it wrote last and formats
// the rest: after every change of a long session the file must be exactly
// what formatting the whole graph gives, whichever lines each change
// touched, moved or removed, and another process must read it back as such.
TEST_F(KeptGraph, EverySaveOfASessionWritesTheWholeGraphAsItIs) {
    std::string text;
    for (int i = 0; i < 40; i++) text += entity("e" + std::to_string(i), "obs \\\"" + std::to_string(i) + "\\\"");
    for (int i = 0; i < 40; i++) text += relation("e" + std::to_string(i), "e" + std::to_string((i * 7 + 3) % 40));
    write_all(file, text);
    let_it_settle();
    unsigned seed = 12345;
    auto pick = [&seed](int n) {
        seed = seed * 1103515245u + 12345u;
        return (int)((seed >> 16) % (unsigned)n);
    };
    auto name = [&](void) { return "e" + std::to_string(pick(48)); };
    for (int step = 0; step < 300; step++) {
        std::string call, args;
        switch (pick(7)) {
        case 0:
            call = "create_entities";
            args = "{\"entities\":[{\"name\":\"" + name() + "\",\"entityType\":\"t\",\"observations\":[\"new\\n" +
                   std::to_string(step) + "\"]}]}";
            break;
        case 1:
            call = "create_relations";
            args = "{\"relations\":[{\"from\":\"" + name() + "\",\"to\":\"" + name() + "\",\"relationType\":\"r" +
                   std::to_string(pick(3)) + "\"}]}";
            break;
        case 2:
        case 3:
            call = "add_observations";
            args = "{\"observations\":[{\"entityName\":\"" + name() + "\",\"contents\":[\"s" +
                   std::to_string(step) + "\"]},{\"entityName\":\"" + name() + "\",\"contents\":[\"t\\u00e9" +
                   std::to_string(step) + "\"]}]}";
            break;
        case 4:
            call = "delete_observations";
            args = "{\"deletions\":[{\"entityName\":\"" + name() + "\",\"observations\":[\"s" +
                   std::to_string(step - 1 - pick(20)) + "\",\"obs \\\"" + std::to_string(pick(40)) + "\\\"\"]}]}";
            break;
        case 5:
            call = "delete_relations";
            args = "{\"relations\":[{\"from\":\"" + name() + "\",\"to\":\"" + name() + "\",\"relationType\":\"r" +
                   std::to_string(pick(3)) + "\"}]}";
            break;
        default:
            call = "delete_entities";
            args = "{\"entityNames\":[\"" + name() + "\"]}";
            break;
        }
        SCOPED_TRACE(std::to_string(step) + " " + call + " " + args);
        bool changed = run(call.c_str(), args).rfind("{\"ok\":true", 0) == 0;
        // The answer after a change comes from the graph kept in memory.
        run("read_graph", "{}");
        ASSERT_EQ(g_graph_reused, changed ? 1 : 0);
        std::string on_disk = read_all(file);
        ASSERT_EQ(on_disk, formatted(&G));
        ASSERT_EQ(reformatted(on_disk), on_disk);
    }
}

}  // namespace
