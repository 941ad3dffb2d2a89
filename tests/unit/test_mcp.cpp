// test_mcp.cpp - the MCP line handler, the id echo and the records of the
// protocol revisions, called in-process.
#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "mcp/mcp.h"

namespace {

struct line_case {
    std::string in;
    std::string out;  // whole response line, or "" for no answer
};

std::string handle(const std::string &in, int *answered = nullptr) {
    buf b;
    buf_init(&b);
    int r = mcp_handle_line(in.data(), in.size(), &b);
    std::string s(buf_str(&b), (size_t)b.len);
    buf_free(&b);
    if (answered) *answered = r;
    return s;
}

TEST(mcp_line, answers_by_table) {
    const line_case cases[] = {
        {R"({"jsonrpc":"2.0","id":7,"method":"ping"})", R"({"jsonrpc":"2.0","id":7,"result":{}})"},
        {R"({"id":1234567.5,"method":"ping"})", R"({"jsonrpc":"2.0","id":1234567.5,"result":{}})"},
        {R"({"id":1e3,"method":"ping"})", R"({"jsonrpc":"2.0","id":1000,"result":{}})"},
        {R"({"id":"s","method":"x"})",
         R"({"jsonrpc":"2.0","id":"s","error":{"code":-32601,"message":"Method not found"}})"},
        {R"({"method":"ping"})", ""},
        {R"({"id":1,"result":{}})", ""},
        {R"({"id":1})", R"({"jsonrpc":"2.0","id":1,"error":{"code":-32600,"message":"Invalid request: missing method"}})"},
        {"[1]", R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"Invalid request: expected an object"}})"},
        {"{", R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error: not valid JSON"}})"},
        {R"({"id":2,"method":"tools/call","params":{"name":"no_such_tool"}})",
         R"({"jsonrpc":"2.0","id":2,"error":{"code":-32602,"message":"Unknown tool: no_such_tool"}})"},
        {R"({"id":3,"method":"resources/read","params":{"uri":"x"}})",
         R"({"jsonrpc":"2.0","id":3,"error":{"code":-32002,"message":"Unknown resource: this server serves memory://knowledge-graph only"}})"},
    };
    for (const line_case &c : cases) {
        int answered = -1;
        std::string got = handle(c.in, &answered);
        EXPECT_EQ(got, c.out.empty() ? "" : c.out + "\n") << c.in;
        EXPECT_EQ(answered, c.out.empty() ? 0 : 1) << c.in;
    }
}

TEST(mcp_line, appends_to_what_the_buffer_holds) {
    buf b;
    buf_init(&b);
    buf_puts(&b, "before\n");
    std::string req = R"({"id":1,"method":"ping"})";
    EXPECT_EQ(mcp_handle_line(req.data(), req.size(), &b), 1);
    EXPECT_EQ(mcp_handle_line(req.data(), req.size(), &b), 1);
    EXPECT_STREQ(buf_str(&b), "before\n{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}\n"
                              "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}\n");
    buf_free(&b);
}

TEST(mcp_line, reads_exactly_len_bytes) {
    // A zero byte counts as part of the line; bytes past len are not read.
    std::string with_zero = std::string(R"({"id":1,"method":"ping"})") + '\0';
    EXPECT_EQ(handle(with_zero),
              "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32700,\"message\":\"Parse error: not valid JSON\"}}\n");
    const char text[] = R"({"id":1,"method":"ping"}garbage)";
    buf b;
    buf_init(&b);
    EXPECT_EQ(mcp_handle_line(text, strlen(R"({"id":1,"method":"ping"})"), &b), 1);
    EXPECT_STREQ(buf_str(&b), "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}\n");
    buf_free(&b);
}

std::string id_text(const std::string &json) {
    yyjson_doc *d = yyjson_read(json.data(), json.size(), 0);
    EXPECT_NE(d, nullptr) << json;
    buf b;
    buf_init(&b);
    put_id(&b, d ? yyjson_doc_get_root(d) : nullptr);
    std::string s = buf_str(&b);
    buf_free(&b);
    yyjson_doc_free(d);
    return s;
}

TEST(mcp_put_id, by_type) {
    const std::pair<const char *, const char *> cases[] = {
        {"1.5", "1.5"}, {"1.0", "1"}, {"1e3", "1000"}, {"-3", "-3"}, {"1234567.5", "1234567.5"},
        {"18446744073709551615", "18446744073709551615"}, {"-9223372036854775808", "-9223372036854775808"},
        {"true", "true"}, {"false", "false"}, {"null", "null"}, {"{}", "null"}, {"[1]", "null"},
        {"\"a\\u0000b\"", "\"a\\u0000b\""}, {"\"str\\u0001\"", "\"str\\u0001\""},
    };
    for (auto &c : cases) EXPECT_EQ(id_text(c.first), c.second) << c.first;
    buf b;
    buf_init(&b);
    put_id(&b, nullptr);
    EXPECT_STREQ(buf_str(&b), "null");
    buf_free(&b);
}

// Whatever real number a client uses as its id, the echo reads back as the
// very same double.
TEST(mcp_put_id, real_ids_read_back_unchanged) {
    std::mt19937_64 rng(2024);
    for (int i = 0; i < 20000; i++) {
        uint64_t bits = rng();
        double d;
        memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) continue;
        char in[64];
        snprintf(in, sizeof in, "%.17g", d);
        std::string json = in;
        if (json.find_first_of(".eE") == std::string::npos) json += ".0";
        std::string echo = id_text(json);
        yyjson_doc *back = yyjson_read(echo.data(), echo.size(), 0);
        ASSERT_NE(back, nullptr) << json << " -> " << echo;
        yyjson_val *v = yyjson_doc_get_root(back);
        ASSERT_TRUE(yyjson_is_num(v)) << echo;
        double got = yyjson_get_num(v);
        EXPECT_EQ(memcmp(&got, &d, sizeof d) == 0 || (got == 0 && d == 0), true)
            << json << " -> " << echo;
        yyjson_doc_free(back);
    }
}

// Every revision the server speaks, by name; a revision's finish adds no
// more than the room a tool call makes for it before its change is saved.
TEST(mcp_revision, finish_stays_within_its_room) {
    const char *names[] = {"2026-07-28", "2025-11-25", "2025-06-18", "2025-03-26"};
    for (const char *name : names) {
        const mcp_revision *r = mcp_revision_named(name, strlen(name));
        ASSERT_NE(r, nullptr) << name;
        EXPECT_STREQ(r->name, name);
        EXPECT_EQ(r->finish == nullptr, r->finish_room == nullptr) << name;
        if (!r->finish) continue;
        for (int kind : {MCP_RESULT_PLAIN, MCP_RESULT_LIST, MCP_RESULT_READ}) {
            for (const char *result : {"{}", "{\"content\":[],\"isError\":false}"}) {
                buf b;
                buf_init(&b);
                buf_puts(&b, result);
                r->finish(&b, kind);
                ASSERT_FALSE(b.dropped);
                EXPECT_LE(b.len - strlen(result), r->finish_room(kind)) << name << " " << kind;
                EXPECT_EQ(b.data[b.len - 1], '}');
                yyjson_doc *d = yyjson_read(b.data, b.len, 0);
                EXPECT_NE(d, nullptr) << buf_str(&b);
                yyjson_doc_free(d);
                buf_free(&b);
            }
        }
    }
    EXPECT_EQ(mcp_revision_named("2025-06-1", 9), nullptr);
    EXPECT_EQ(mcp_revision_named(nullptr, 0), nullptr);
    EXPECT_STREQ(mcp_revision_default()->name, "2025-06-18");
}

}  // namespace
