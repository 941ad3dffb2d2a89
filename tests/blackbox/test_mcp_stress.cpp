// test_mcp_stress.cpp - the MCP server with hostile and oversized input,
// a graph too large to load, and one request at a time over live pipes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <yyjson.h>

#include "exec.h"

namespace {

const size_t line_max = 8388607;  // longest line the server keeps

const std::string parse_error =
    "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32700,\"message\":\"Parse error: not valid JSON\"}}\n";
const std::string not_object =
    "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32600,\"message\":\"Invalid request: expected an object\"}}\n";
const std::string ping_req = "{\"jsonrpc\":\"2.0\",\"id\":9,\"method\":\"ping\"}\n";
const std::string ping_ans = "{\"jsonrpc\":\"2.0\",\"id\":9,\"result\":{}}\n";

exe_result run_mcp(const std::string &input) {
    temp_dir dir;
    return run_plugin({"--mcp"}, {}, input, dir.path, 120);
}

void expect_clean(const exe_result &r) {
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// A ping padded with a string member to exactly n bytes.
std::string ping_of_size(size_t n) {
    std::string head = "{\"id\":9,\"method\":\"ping\",\"pad\":\"";
    std::string tail = "\"}";
    return head + std::string(n - head.size() - tail.size(), 'x') + tail;
}

TEST(mcp_stress, nested_brackets_fill_the_line) {
    // Unclosed: a parse error; closed: a valid array, so not an object.
    std::string open(line_max, '[');
    std::string closed = std::string(line_max / 2, '[') + std::string(line_max / 2, ']');
    exe_result r = run_mcp(open + "\n" + closed + "\n" + ping_req);
    expect_clean(r);
    EXPECT_EQ(r.out, parse_error + not_object + ping_ans);
}

TEST(mcp_stress, nested_objects_as_id) {
    std::string id;
    for (int i = 0; i < 500000; i++) id += "{\"a\":[";
    for (int i = 0; i < 500000; i++) id += "]}";
    exe_result r = run_mcp("{\"id\":" + id + ",\"method\":\"ping\"}\n");
    expect_clean(r);
    EXPECT_EQ(r.out, "{\"jsonrpc\":\"2.0\",\"id\":null,\"result\":{}}\n");
}

TEST(mcp_stress, random_bytes_on_one_line) {
    std::mt19937 rng(12345);
    std::string junk(line_max + 4096, 0);
    for (char &c : junk) {
        c = (char)(rng() & 0xff);
        if (c == '\n' || c == '\r') c = ' ';
    }
    junk[0] = '{';
    exe_result r = run_mcp(junk + "\n" + ping_req);
    expect_clean(r);
    EXPECT_EQ(r.out, parse_error + ping_ans);
}

// Random bytes with line feeds: every line gets at most one answer, and
// every answer is one JSON-RPC object line.
TEST(mcp_stress, random_lines_answered_with_json_rpc) {
    std::mt19937 rng(777);
    const char *pieces[] = {"{", "}", "[", "]", "\"", ":", ",", "\"id\"", "\"method\"", "\"ping\"",
                            "1", "1e3", "null", "\\", "\n", "\r", " ", "\"tools/call\"", "\"params\"",
                            "\"name\"", "\"uri\"", "\xff", "\x01", "\"result\""};
    std::string in;
    while (in.size() < 2000000) {
        uint32_t k = rng() % (sizeof pieces / sizeof pieces[0] + 8);
        if (k < sizeof pieces / sizeof pieces[0]) in += pieces[k];
        else in += (char)(rng() & 0xff);
    }
    exe_result r = run_mcp(in);
    expect_clean(r);
    size_t lines = 0, start = 0;
    for (size_t nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines++;
        yyjson_doc *d = yyjson_read(r.out.data() + start, nl - start, 0);
        ASSERT_NE(d, nullptr) << "not JSON: " << r.out.substr(start, 200);
        yyjson_val *root = yyjson_doc_get_root(d);
        EXPECT_TRUE(yyjson_equals_str(yyjson_obj_get(root, "jsonrpc"), "2.0"));
        EXPECT_TRUE(yyjson_obj_get(root, "id") != nullptr);
        yyjson_doc_free(d);
    }
    EXPECT_EQ(start, r.out.size()) << "the output does not end in a line feed";
    EXPECT_GT(lines, 1000u);
    EXPECT_LE(lines, (size_t)std::count(in.begin(), in.end(), '\n') + 1);
}

TEST(mcp_stress, longest_line_is_kept_whole) {
    exe_result r = run_mcp(ping_of_size(line_max) + "\n");
    expect_clean(r);
    EXPECT_EQ(r.out, ping_ans);
}

TEST(mcp_stress, overlong_line_is_cut) {
    // One byte too many cuts the closing brace; only spaces cut is harmless.
    std::string spaced = ping_of_size(line_max) + std::string(100000, ' ');
    exe_result r = run_mcp(ping_of_size(line_max + 1) + "\n" + spaced + "\n" + ping_req);
    expect_clean(r);
    EXPECT_EQ(r.out, parse_error + ping_ans + ping_ans);
}

TEST(mcp_stress, overlong_line_without_line_feed) {
    exe_result r = run_mcp(ping_of_size(line_max + 10));
    expect_clean(r);
    EXPECT_EQ(r.out, parse_error);
}

TEST(mcp_stress, many_requests) {
    std::string in, want;
    for (int i = 0; i < 5000; i++) {
        in += "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(i) + ",\"method\":\"ping\"}\n";
        want += "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(i) + ",\"result\":{}}\n";
    }
    exe_result r = run_mcp(in);
    expect_clean(r);
    EXPECT_EQ(r.out, want);
}

// A graph file over the 24 MiB load limit (sparse, so cheap) must make the
// resource read fail as a JSON-RPC error, never pass as an empty graph.
TEST(mcp_resource, graph_too_large_is_an_error) {
    temp_dir dir;
    std::string graph = dir.path + "/memory.jsonl";
    int fd = open(graph.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 25165825), 0);
    close(fd);
    exe_result r = run_plugin(
        {"--mcp"}, {},
        "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"resources/read\",\"params\":{\"uri\":\"memory://knowledge-graph\"}}\n",
        dir.path);
    expect_clean(r);
    EXPECT_EQ(r.out,
              "{\"jsonrpc\":\"2.0\",\"id\":1,\"error\":{\"code\":-32603,\"message\":"
              "\"cannot read the graph file (permission, or larger than 24 MB)\"}}\n");
}

// A client sends the next request only after the answer to the previous
// one: each response must be flushed before the server reads on.
TEST(mcp_live, each_answer_arrives_before_more_input) {
    temp_dir dir;
    auto env = base_env(dir.path);
    std::vector<std::string> envs;
    for (auto &kv : env) envs.push_back(kv.first + "=" + kv.second);
    std::vector<char *> envp;
    for (auto &e : envs) envp.push_back((char *)e.c_str());
    envp.push_back(nullptr);
    char *argv[] = {(char *)plugin_exe(), (char *)"--mcp", nullptr};

    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(in[0], 0);
        dup2(out[1], 1);
        execve(plugin_exe(), argv, envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    for (int i = 0; i < 3; i++) {
        std::string req = "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(i) + ",\"method\":\"ping\"}\n";
        ASSERT_EQ(write(in[1], req.data(), req.size()), (ssize_t)req.size());
        std::string got;
        while (got.find('\n') == std::string::npos) {
            pollfd p = {out[0], POLLIN, 0};
            if (poll(&p, 1, 30000) <= 0) break;
            char b[256];
            ssize_t n = read(out[0], b, sizeof b);
            if (n <= 0) break;
            got.append(b, (size_t)n);
        }
        EXPECT_EQ(got, "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(i) + ",\"result\":{}}\n");
        if (got.empty()) break;
    }
    close(in[1]);
    int st = 0;
    waitpid(pid, &st, 0);
    close(out[0]);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

}  // namespace
