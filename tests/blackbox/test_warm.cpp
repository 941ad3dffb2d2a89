// test_warm.cpp - a long-lived MCP session keeps its graph between calls,
// yet every answer shows the graph file as it is now: after another
// process's save, an edit in place of the same size, truncation, deletion,
// replacement by a directory or by a link that loops; a change of the session
// keeps what another writer saved before it; a lowered limit shows in a new
// process.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "live.h"

namespace {

const char k_graph[] =
    "{\"type\":\"entity\",\"name\":\"A\",\"entityType\":\"t\",\"observations\":[\"aaaa\"]}\n"
    "{\"type\":\"entity\",\"name\":\"B\",\"entityType\":\"t\",\"observations\":[]}\n"
    "{\"type\":\"entity\",\"name\":\"C\",\"entityType\":\"t\",\"observations\":[]}\n"
    "{\"type\":\"relation\",\"from\":\"A\",\"to\":\"B\",\"relationType\":\"r\"}\n";

const std::string read_all_req = mcp_call(1, "read_graph", "{}");
const std::string open_a_req = mcp_call(2, "open_nodes", "{\"names\":[\"A\",\"B\"]}");

void write_text(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

std::string read_text(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Longer than the time within which a load does not keep a file just
// changed: the next load of the session keeps what it reads.
void let_it_settle() { usleep(60000); }

// The answer of a process of its own to one request line.
std::string fresh(const std::string &dir, const std::string &req, const env_list &extra = {}) {
    exe_result r = run_plugin({"--mcp"}, extra, req, dir, 60);
    EXPECT_EQ(r.err, "");
    return r.out;
}

// Another process adds the entity name to the graph.
void other_process_creates(const std::string &dir, const std::string &name) {
    exe_result r = run_plugin(
        {"--mcp"}, {},
        mcp_call(7, "create_entities", "{\"entities\":[{\"name\":\"" + name + "\",\"entityType\":\"t\"}]}"),
        dir, 60);
    ASSERT_NE(r.out.find("\"isError\":false"), std::string::npos) << r.out;
}

std::string ask(live_child &p, const std::string &req) {
    std::string line;
    EXPECT_TRUE(p.send(req));
    EXPECT_TRUE(p.read_line(&line, 20)) << "no answer to " << req;
    return line + "\n";
}

TEST(warm_session, every_answer_shows_the_file_as_it_is_now) {
    temp_dir dir;
    std::string graph = dir.path + "/memory.jsonl";
    write_text(graph, k_graph);
    let_it_settle();
    live_child p;
    ASSERT_TRUE(p.start({"--mcp"}, base_env(dir.path)));

    struct step {
        const char *what;
        std::function<void()> change;
    };
    const step steps[] = {
        {"nothing changed", [] {}},
        {"another process's save", [&] { other_process_creates(dir.path, "D"); }},
        {"an edit in place of the same size",
         [&] {
             std::string text = read_text(graph);
             size_t at = text.find("aaaa");
             ASSERT_NE(at, std::string::npos);
             int fd = open(graph.c_str(), O_WRONLY);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(pwrite(fd, "bbbb", 4, (off_t)at), 4);
             close(fd);
         }},
        {"truncation", [&] { ASSERT_EQ(truncate(graph.c_str(), 0), 0); }},
        {"a new file", [&] { write_text(graph, k_graph); }},
        {"deletion", [&] { ASSERT_EQ(unlink(graph.c_str()), 0); }},
        {"a directory in its place", [&] { ASSERT_EQ(mkdir(graph.c_str(), 0700), 0); }},
        {"a link that loops in its place",
         [&] {
             ASSERT_EQ(rmdir(graph.c_str()), 0);
             ASSERT_EQ(symlink(graph.c_str(), graph.c_str()), 0);
         }},
        {"the file back",
         [&] {
             ASSERT_EQ(unlink(graph.c_str()), 0);
             write_text(graph, k_graph);
         }},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.what);
        s.change();
        // The first answer after the change, and one more after the load
        // has had time to be kept: both as a process of its own gives them.
        for (int round = 0; round < 2; round++) {
            for (const std::string &req : {read_all_req, open_a_req}) {
                std::string want = fresh(dir.path, req);
                EXPECT_EQ(ask(p, req), want) << "round " << round;
            }
            let_it_settle();
        }
    }
    EXPECT_EQ(p.finish(20), 0);
}

TEST(warm_session, a_change_keeps_what_another_writer_saved_before_it) {
    temp_dir dir;
    std::string graph = dir.path + "/memory.jsonl";
    write_text(graph, k_graph);
    let_it_settle();
    live_child p;
    ASSERT_TRUE(p.start({"--mcp"}, base_env(dir.path)));
    // The session reads (and keeps) the graph, then adds to it twice; in
    // between another process saves an entity of its own.
    ask(p, read_all_req);
    ask(p, read_all_req);
    std::string add_x = mcp_call(3, "add_observations",
                                 "{\"observations\":[{\"entityName\":\"B\",\"contents\":[\"x\"]}]}");
    EXPECT_NE(ask(p, add_x).find("\"isError\":false"), std::string::npos);
    other_process_creates(dir.path, "E");
    std::string add_y = mcp_call(4, "add_observations",
                                 "{\"observations\":[{\"entityName\":\"E\",\"contents\":[\"y\"]}]}");
    EXPECT_NE(ask(p, add_y).find("\"isError\":false"), std::string::npos);
    EXPECT_EQ(read_text(graph),
              "{\"type\":\"entity\",\"name\":\"A\",\"entityType\":\"t\",\"observations\":[\"aaaa\"]}\n"
              "{\"type\":\"entity\",\"name\":\"B\",\"entityType\":\"t\",\"observations\":[\"x\"]}\n"
              "{\"type\":\"entity\",\"name\":\"C\",\"entityType\":\"t\",\"observations\":[]}\n"
              "{\"type\":\"entity\",\"name\":\"E\",\"entityType\":\"t\",\"observations\":[\"y\"]}\n"
              "{\"type\":\"relation\",\"from\":\"A\",\"to\":\"B\",\"relationType\":\"r\"}\n");
    EXPECT_EQ(ask(p, read_all_req), fresh(dir.path, read_all_req));
    EXPECT_EQ(p.finish(20), 0);
}

TEST(warm_session, a_lowered_limit_shows_in_a_new_process) {
    temp_dir dir;
    write_text(dir.path + "/memory.jsonl", k_graph);
    let_it_settle();
    live_child before;
    ASSERT_TRUE(before.start({"--mcp"}, base_env(dir.path)));
    std::string all = ask(before, read_all_req);
    EXPECT_NE(all.find("\\\"C\\\""), std::string::npos);
    // A process started with fewer entities allowed reads fewer, whatever
    // the session before it keeps.
    env_list lowered = base_env(dir.path);
    lowered.push_back({"MEMORY_MAX_ENTITIES", "2"});
    live_child after;
    ASSERT_TRUE(after.start({"--mcp"}, lowered));
    std::string two = ask(after, read_all_req);
    EXPECT_EQ(two, fresh(dir.path, read_all_req, {{"MEMORY_MAX_ENTITIES", "2"}}));
    EXPECT_EQ(two.find("\\\"C\\\""), std::string::npos);
    EXPECT_EQ(ask(before, read_all_req), all);
    EXPECT_EQ(before.finish(20), 0);
    EXPECT_EQ(after.finish(20), 0);
}

}  // namespace
