// test_mcp_http.cpp - the MCP endpoint in-process: its answers carry exactly
// what the stdio line handler writes for the same message, and the Accept
// header is read by its media ranges.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "cgi/cgi.h"
#include "mcp/mcp.h"
#include "store_test_util.h"

namespace {

using namespace store_test;

struct http_answer {
    std::string head;
    std::string body;
};

// Posts one message to the endpoint as a JSON client would.
http_answer post(const std::string &message) {
    unsetenv("BOT_PASSWORD");
    unsetenv(WEB_HOSTS_VAR);
    setenv("CONTENT_LENGTH", std::to_string(message.size()).c_str(), 1);
    FILE *in = tmpfile();
    FILE *out = tmpfile();
    fwrite(message.data(), 1, message.size(), in);
    rewind(in);
    g_cgi_in = in;
    g_cgi_out = out;
    cgi_request r{};
    r.method = "POST";
    r.query = "";
    r.content_type = "application/json";
    r.accept = "application/json, text/event-stream";
    mcp_http_answer(&r);
    req_free(&r);
    g_cgi_in = nullptr;
    g_cgi_out = nullptr;
    unsetenv("CONTENT_LENGTH");
    std::string all;
    rewind(out);
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, out)) > 0) all.append(chunk, n);
    fclose(in);
    fclose(out);
    size_t end = all.find("\r\n\r\n");
    EXPECT_NE(end, std::string::npos) << all;
    if (end == std::string::npos) return {all, ""};
    return {all.substr(0, end + 2), all.substr(end + 4)};
}

std::string stdio_answer(const std::string &line) {
    buf b;
    buf_init(&b);
    mcp_handle_line(line.data(), line.size(), &b);
    std::string s(buf_str(&b), (size_t)b.len);
    buf_free(&b);
    return s;
}

// Each test on a graph file of its own.
class McpHttp : public ::testing::Test {
  protected:
    env_guard env;
    temp_dir dir;
    void SetUp() override {
        set_env("MEMORY_FILE_PATH", dir / "memory.jsonl");
        unsetenv("MEMORY_CONNECTOR_DIR");
        store_reset_path();
    }
};

TEST_F(McpHttp, BodyIsTheStdioAnswerAndStatusFollowsTheKind) {
    struct message_case {
        const char *message;
        const char *status;  // the status line, "" for 200
    };
    const message_case cases[] = {
        {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{}})", ""},
        {R"({"jsonrpc":"2.0","id":"x","method":"tools/list"})", ""},
        {R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"create_entities","arguments":{"entities":[{"name":"Ada","entityType":"person"}]}}})", ""},
        {R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"create_entities","arguments":{}}})", ""},
        {R"({"jsonrpc":"2.0","id":4,"method":"resources/read","params":{"uri":"memory://knowledge-graph"}})", ""},
        {R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"nope"}})", ""},
        {R"({"jsonrpc":"2.0","id":6,"method":"resources/read","params":{"uri":"memory://other"}})", ""},
        {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", "Status: 202 Accepted\r\n"},
        {R"({"jsonrpc":"2.0","id":9,"error":{"code":1,"message":"m"}})", "Status: 202 Accepted\r\n"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ping"} x)", "Status: 400 Bad Request\r\n"},
        {R"([])", "Status: 400 Bad Request\r\n"},
        {R"({"jsonrpc":"2.0","id":[1],"params":{}})", "Status: 400 Bad Request\r\n"},
    };
    // Each message meets the same graph file on both ways: none.
    std::string file = dir / "memory.jsonl";
    for (const message_case &c : cases) {
        unlink(file.c_str());
        std::string want = stdio_answer(c.message);
        unlink(file.c_str());
        http_answer a = post(c.message);
        EXPECT_EQ(a.body, want) << c.message;
        EXPECT_EQ(a.head.rfind(c.status, 0), 0u) << c.message << "\n" << a.head;
        EXPECT_EQ(a.head.find("Mcp-Session-Id"), std::string::npos);
        EXPECT_EQ(a.head.find("Content-Type: application/json") != std::string::npos, !want.empty())
            << a.head;
    }
}

TEST(McpHttpAccept, MediaRanges) {
    struct accept_case {
        const char *accept;
        int ok;
    };
    const accept_case cases[] = {
        {nullptr, 1},
        {"application/json", 1},
        {"application/json, text/event-stream", 1},
        {"text/event-stream, application/json", 1},
        {"text/event-stream,application/json;q=0.5", 1},
        {"APPLICATION/JSON", 1},
        {"application/*", 1},
        {"*/*", 1},
        {"  */*  ; q=1 ", 1},
        {"application/json; charset=utf-8", 1},
        {"application/json;q=0.001", 1},
        {"application/json;q=1.0", 1},
        {"", 0},
        {"text/event-stream", 0},
        {"text/*", 0},
        {"application/jsonx", 0},
        {"application/json-seq", 0},
        {"application/json;q=0", 0},
        {"application/json; q=0.000", 0},
        {"application/json;Q=0, */*;q=0", 0},
        {"text/html, application/xml", 0},
    };
    for (const accept_case &c : cases)
        EXPECT_EQ(mcp_http_accepts_json(c.accept), c.ok) << (c.accept ? c.accept : "(absent)");
}

}  // namespace
