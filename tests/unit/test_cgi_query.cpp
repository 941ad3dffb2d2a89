// test_cgi_query.cpp - the query-string and body lookups of the CGI handler.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cgi/cgi.h"

namespace {

struct query_case {
    const char *qs;
    const char *name;
    size_t cap;
    int found;
    const char *value;
};

const query_case QUERY_CASES[] = {
    {nullptr, "a", 16, 0, ""},
    {"", "a", 16, 0, ""},
    {"a=1", "a", 16, 1, "1"},
    {"a=", "a", 16, 1, ""},
    {"a=&b=2", "a", 16, 1, ""},
    {"b=2&a=1", "a", 16, 1, "1"},
    {"action=stats&action=graph", "action", 64, 1, "stats"},
    {"flag&action=stats", "action", 64, 1, "stats"},
    {"flag", "action", 64, 0, ""},
    {"flag&", "action", 64, 0, ""},
    {"x=1&", "action", 64, 0, ""},
    {"%61ction=stats", "action", 64, 0, ""},
    {"Action=stats", "action", 64, 0, ""},
    {"actions=stats", "action", 64, 0, ""},
    {"ction=stats", "action", 64, 0, ""},
    {"v=a%2Gb", "v", 64, 1, "a%2Gb"},
    {"v=a+b%20c", "v", 64, 1, "a b c"},
    {"v=%41%6a%4A", "v", 64, 1, "AjJ"},
    {"v=100%", "v", 64, 1, "100%"},
    {"v=%4", "v", 64, 1, "%4"},
    {"v=a%00b", "v", 64, 1, "a"},
    {"v=a=b", "v", 64, 1, "a=b"},
    // The raw value is cut before decoding: an escape split by the cut stays.
    {"v=abc%41", "v", 5, 1, "abc%"},
    {"v=abcdef", "v", 4, 1, "abc"},
    {"v=abc", "v", 1, 1, ""},
    {"=x&v=1", "v", 8, 1, "1"},
    {"a&b&v=1", "v", 8, 1, "1"},
};

TEST(CgiQuery, GetQueryValTable) {
    for (const query_case &c : QUERY_CASES) {
        std::string dst(c.cap + 8, 'X');
        int got = get_query_val(c.qs, c.name, dst.data(), c.cap);
        SCOPED_TRACE(std::string("qs=") + (c.qs ? c.qs : "(null)") + " name=" + c.name);
        EXPECT_EQ(got, c.found);
        EXPECT_STREQ(dst.c_str(), c.value);
        // Nothing is written beyond the capacity.
        EXPECT_EQ(dst[c.cap], 'X');
    }
}

// A request with the query string qs and the JSON text json as its body
// (none for null), released at the end of the scope.
struct request_guard {
    cgi_request r{};
    request_guard(const char *qs, const char *json) {
        r.query = qs;
        if (json) {
            r.body = json;
            r.body_len = strlen(json);
        }
    }
    ~request_guard() { req_free(&r); }
};

struct param_case {
    const char *qs;
    const char *body;
    const char *name;
    int found;
    const char *value;
};

const param_case PARAM_CASES[] = {
    {"name=a", nullptr, "name", 1, "a"},
    {"name=", nullptr, "name", 0, ""},
    {"", nullptr, "name", 0, ""},
    {nullptr, R"({"name":"b"})", "name", 1, "b"},
    {"name=a", R"({"name":"b"})", "name", 1, "a"},
    // An empty query value falls through to the body.
    {"name=", R"({"name":"b"})", "name", 1, "b"},
    {"", R"({"name":""})", "name", 1, ""},
    {"", R"({"limit":50})", "limit", 0, ""},
    {"", R"({"limit":"50"})", "limit", 1, "50"},
    {"", R"({"name":null})", "name", 0, ""},
    {"", R"({"name":["a"]})", "name", 0, ""},
    {"", R"({"name":"first","name":"second"})", "name", 1, "first"},
    {"", R"({"name":1,"name":"second"})", "name", 0, ""},
    {"", R"({"Name":"x"})", "name", 0, ""},
    {"", R"(["name","x"])", "name", 0, ""},
    {"", R"("name")", "name", 0, ""},
    {"", R"({"name":"x\u0000y"})", "name", 1, "x"},
};

TEST(CgiQuery, ParamStrTable) {
    for (const param_case &c : PARAM_CASES) {
        request_guard req(c.qs, c.body);
        char dst[64];
        memset(dst, 'X', sizeof dst);
        SCOPED_TRACE(std::string("qs=") + (c.qs ? c.qs : "(null)") +
                     " body=" + (c.body ? c.body : "(none)"));
        EXPECT_EQ(param_str(&req.r, c.name, dst, sizeof dst), c.found);
        EXPECT_STREQ(dst, c.value);
        if (c.body) {
            EXPECT_EQ(req_body_parse(&req.r), 0) << "the fixture is valid JSON";
        }
    }
}

TEST(CgiQuery, ParamStrCutsBodyValueToCapacity) {
    request_guard req("", R"({"name":"abcdef"})");
    char dst[4];
    EXPECT_EQ(param_str(&req.r, "name", dst, sizeof dst), 1);
    EXPECT_STREQ(dst, "abc");
}

TEST(CgiQuery, BodyArrTakesOnlyAFirstArrayMember) {
    {
        request_guard req("", R"({"a":[1,"x"],"a":[2]})");
        yyjson_val *v = body_arr(&req.r, "a");
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(yyjson_arr_size(v), 2u);
    }
    {
        request_guard req("", R"({"a":"x","a":[2]})");
        EXPECT_EQ(body_arr(&req.r, "a"), nullptr);
    }
    {
        request_guard req("", R"([[1]])");
        EXPECT_EQ(body_arr(&req.r, "a"), nullptr);
    }
    {
        request_guard req("", nullptr);
        EXPECT_EQ(body_arr(&req.r, "a"), nullptr);
    }
}

TEST(CgiQuery, BodyIsParsedOnceOnDemand) {
    request_guard req("", R"({"name":"a"})");
    EXPECT_EQ(req.r.body_state, 0);
    EXPECT_EQ(req.r.body_doc, nullptr);
    char dst[8];
    EXPECT_EQ(param_str(&req.r, "name", dst, sizeof dst), 1);
    yyjson_doc *doc = req.r.body_doc;
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(body_arr(&req.r, "name"), nullptr);  // a string, not an array
    EXPECT_EQ(req_body_parse(&req.r), 0);
    EXPECT_EQ(req.r.body_doc, doc);
}

struct body_case {
    std::string body;  // "-" for no body at all
    int parse;       // req_body_parse's result
    bool has_doc;    // a document is made
};

const body_case BODY_CASES[] = {
    {"-", 0, false},
    {"", 0, false},
    {"{}", 0, true},
    {"[1]", 0, true},
    {"{nope", -1, false},
    {"{}x", -1, false},
    // The text up to the first zero byte is what is parsed.
    {std::string("{}\0garbage", 10), 0, true},
};

TEST(CgiQuery, BodyParseTable) {
    for (const body_case &c : BODY_CASES) {
        cgi_request r{};
        if (c.body != "-") {
            r.body = c.body.c_str();
            r.body_len = c.body.size();
        }
        SCOPED_TRACE(c.body);
        EXPECT_EQ(req_body_parse(&r), c.parse);
        EXPECT_EQ(req_body_parse(&r), c.parse);  // and the same again
        EXPECT_EQ(r.body_doc != nullptr, c.has_doc);
        req_free(&r);
        EXPECT_EQ(r.body_doc, nullptr);
    }
}

TEST(CgiQuery, RawBodyGivesNoParameters) {
    request_guard req("name=", R"({"name":"b","a":[1]})");
    req.r.body_raw = 1;
    char dst[8];
    EXPECT_EQ(param_str(&req.r, "name", dst, sizeof dst), 0);
    EXPECT_EQ(body_arr(&req.r, "a"), nullptr);
    EXPECT_EQ(req.r.body_doc, nullptr);
}

}  // namespace
