// The failure-point sweep: every tool over MCP and every API action, each
// run again and again with one allocation or one system call failing, the
// first, the second, ... (evenly sampled where a class has many points),
// on a graph kept from an earlier call (warm) and on one read afresh
// (cold). After each run:
//   1. there is an answer;
//   2. the answer is the one the run without a failure gave (survived), or
//      an error: "out of memory" for an allocation;
//   3. the graph file is the old file or the new one, byte for byte, and the
//      new one only when the answer is the run's own success;
//   4. no lock file and no temporary file is left behind;
//   5. the next read in the same process answers what a fresh read of the
//      file answers (the kept graph did not outlive the failure).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cgi_test_util.h"
#include "fault_inject.h"
#include "mcp/mcp.h"
#include "store_test_util.h"

namespace {

using store_test::read_all;
using store_test::temp_dir;
using store_test::write_all;

// The graph the operations run on: 40 entities and 50 relations.
std::string fixture() {
    std::string s;
    for (int i = 0; i < 40; i++)
        s += "{\"type\":\"entity\",\"name\":\"E" + std::to_string(i) +
             "\",\"entityType\":\"" + (i % 3 ? "thing" : "person") + "\",\"observations\":[\"obs " +
             std::to_string(i) + "\",\"more " + std::to_string(i) + "\"]}\n";
    for (int i = 0; i < 50; i++)
        s += "{\"type\":\"relation\",\"from\":\"E" + std::to_string(i % 40) + "\",\"to\":\"E" +
             std::to_string((i * 7 + 1) % 40) + "\",\"relationType\":\"" + (i % 2 ? "knows" : "uses") +
             "\"}\n";
    return s;
}

// One operation: an MCP request line, or an API request (query, and a body
// for a POST).
struct op {
    const char *name;
    const char *mcp;     // the request line, or null for an API request
    const char *query;   // QUERY_STRING of an API request
    const char *body;    // the body of a POST, or null for a GET
};

#define TOOL(n, args) \
    "{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"tools/call\",\"params\":{\"name\":\"" n "\",\"arguments\":" args "}}"

const op OPS[] = {
    {"create_entities", TOOL("create_entities", "{\"entities\":[{\"name\":\"New\",\"entityType\":\"t\",\"observations\":[\"a\",\"b\"]},{\"name\":\"E1\",\"entityType\":\"t\"}]}"), nullptr, nullptr},
    {"create_relations", TOOL("create_relations", "{\"relations\":[{\"from\":\"E1\",\"to\":\"E5\",\"relationType\":\"new\"},{\"from\":\"E0\",\"to\":\"E1\",\"relationType\":\"uses\"}]}"), nullptr, nullptr},
    {"add_observations", TOOL("add_observations", "{\"observations\":[{\"entityName\":\"E2\",\"contents\":[\"c\",\"obs 2\"]}]}"), nullptr, nullptr},
    {"delete_entities", TOOL("delete_entities", "{\"entityNames\":[\"E3\",\"nobody\"]}"), nullptr, nullptr},
    {"delete_observations", TOOL("delete_observations", "{\"deletions\":[{\"entityName\":\"E4\",\"observations\":[\"obs 4\"]}]}"), nullptr, nullptr},
    {"delete_relations", TOOL("delete_relations", "{\"relations\":[{\"from\":\"E0\",\"to\":\"E1\",\"relationType\":\"uses\"}]}"), nullptr, nullptr},
    {"read_graph", TOOL("read_graph", "{}"), nullptr, nullptr},
    {"search_nodes", TOOL("search_nodes", "{\"query\":\"e1\"}"), nullptr, nullptr},
    {"open_nodes", TOOL("open_nodes", "{\"names\":[\"E7\",\"E8\",\"nobody\"]}"), nullptr, nullptr},
    {"resource", "{\"jsonrpc\":\"2.0\",\"id\":8,\"method\":\"resources/read\",\"params\":{\"uri\":\"memory://knowledge-graph\"}}", nullptr, nullptr},
    {"api_graph", nullptr, "action=graph", nullptr},
    {"api_search", nullptr, "action=search&q=E2", nullptr},
    {"api_entity", nullptr, "action=entity&name=E9", nullptr},
    {"api_stats", nullptr, "action=stats", nullptr},
    {"api_export", nullptr, "action=export", nullptr},
    {"api_add_entity", nullptr, "action=add_entity&name=Zed&entityType=person&observations=x|y", nullptr},
    {"api_add_relation", nullptr, "action=add_relation&from=E2&to=E3&relationType=likes", nullptr},
    {"api_add_obs", nullptr, "action=add_obs&name=E5&contents=p|q", nullptr},
    {"api_delete_entity", nullptr, "action=delete_entity&name=E6", nullptr},
    {"api_delete_relation", nullptr, "action=delete_relation&from=E1&to=E8&relationType=knows", nullptr},
    {"api_import", nullptr, "action=import",
     "{\"type\":\"entity\",\"name\":\"Imp\",\"entityType\":\"t\",\"observations\":[\"i\"]}\n"
     "{\"type\":\"entity\",\"name\":\"E1\",\"entityType\":\"t\",\"observations\":[\"j\"]}\n"
     "{\"type\":\"relation\",\"from\":\"Imp\",\"to\":\"E1\",\"relationType\":\"r\"}\n"},
};
#undef TOOL

const char *const CGI_VARS[] = {"REQUEST_METHOD", "QUERY_STRING", "CONTENT_LENGTH", "CONTENT_TYPE",
                                "HTTP_X_BOT_PASSWORD", "HTTP_AUTHORIZATION", "BOT_PASSWORD"};

std::string run_api(const op &o) {
    for (const char *v : CGI_VARS) unsetenv(v);
    setenv("QUERY_STRING", o.query, 1);
    setenv("REQUEST_METHOD", o.body ? "POST" : "GET", 1);
    std::string body = o.body ? o.body : "";
    if (o.body) setenv("CONTENT_LENGTH", std::to_string(body.size()).c_str(), 1);
    std::string got = cgi_test::answer(body);
    for (const char *v : CGI_VARS) unsetenv(v);
    return got;
}

std::string run_mcp(const char *line) {
    buf out;
    buf_init(&out);
    mcp_handle_line(line, strlen(line), &out);
    std::string got(buf_str(&out), out.len);
    buf_free(&out);
    return got;
}

std::string run(const op &o) { return o.mcp ? run_mcp(o.mcp) : run_api(o); }

// 1 when the answer reports a failure of the request.
bool is_error(const std::string &a) {
    return a.find("\"isError\":true") != std::string::npos ||
           a.find("\"error\":{") != std::string::npos || a.find("\"ok\":false") != std::string::npos ||
           a.rfind("Status: 5", 0) == 0;
}

const char *READ = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"tools/call\",\"params\":{\"name\":\"read_graph\",\"arguments\":{}}}";

// Forgets everything the process keeps of the graph.
void forget_all() {
    graph_forget();
    graph_clear(&G);
}

struct sweep : ::testing::TestWithParam<op> {
    temp_dir dir;
    store_test::env_guard env;
    std::string file;
    std::string old_text = fixture();

    void SetUp() override {
        file = dir / "memory.jsonl";
        setenv("MEMORY_FILE_PATH", file.c_str(), 1);
        setenv("MEMORY_LOCK_TIMEOUT_MS", "50", 1);
        store_reset_path();
    }
    void TearDown() override {
        fault::disarm();
        forget_all();
        store_reset_path();
    }
    // The file as the fixture, and the process warm (kept graph) or cold.
    void reset(bool warm) {
        forget_all();
        write_all(file, old_text);
        if (warm) run_mcp(READ);
    }
};

TEST_P(sweep, every_failure_point_answers_truly) {
    const op &o = GetParam();
    long runs = 0, failed_points = 0;
    for (bool warm : {false, true}) {
        reset(warm);
        const std::string right = run(o);
        const std::string new_text = read_all(file);
        ASSERT_FALSE(right.empty());
        for (const std::string &cls : fault::classes()) {
            reset(warm);
            ASSERT_TRUE(fault::arm(cls, 0)) << cls;
            run(o);
            long points = fault::disarm();
            // Every point while there are few; otherwise 300 spread evenly,
            // the first and the last among them.
            const long most = 300;
            std::vector<long> at;
            for (long i = 0; i < std::min(points, most); i++)
                at.push_back(points <= most ? i + 1 : 1 + i * (points - 1) / (most - 1));
            for (long k : at) {
                reset(warm);
                fault::arm(cls, k);
                std::string got = run(o);
                bool hit = fault::g.hit;
                fault::disarm();
                runs++;
                SCOPED_TRACE(std::string(o.name) + (warm ? " warm" : " cold") + ", " + cls + " #" +
                             std::to_string(k) + " of " + std::to_string(points));
                ASSERT_FALSE(got.empty()) << "no answer";
                std::string now = read_all(file);
                if (got != right) {
                    failed_points++;
                    EXPECT_TRUE(is_error(got)) << "neither the right answer nor an error:\n" << got;
                    if (cls == "alloc" && hit) {
                        EXPECT_TRUE(got.find("out of memory") != std::string::npos ||
                                    got.find("not enough memory") != std::string::npos)
                            << got;
                    }
                    EXPECT_EQ(now, old_text) << "a failed request changed the file:\n" << got;
                } else {
                    EXPECT_EQ(now, new_text) << "the answer is the success, the file is not its change";
                }
                EXPECT_EQ(store_test::list_dir(dir.path), std::vector<std::string>{"memory.jsonl"})
                    << "something was left behind";
                // The next read of this process against a fresh one.
                std::string warm_read = run_mcp(READ);
                forget_all();
                EXPECT_EQ(warm_read, run_mcp(READ)) << "the kept graph outlived the failure";
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
    printf("[ sweep ] %s: %ld runs, %ld answered with an error\n", o.name, runs, failed_points);
}

INSTANTIATE_TEST_SUITE_P(points, sweep, ::testing::ValuesIn(OPS),
                         [](const ::testing::TestParamInfo<op> &i) { return std::string(i.param.name); });

}  // namespace
