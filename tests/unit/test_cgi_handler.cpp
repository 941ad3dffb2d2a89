// test_cgi_handler.cpp - whole requests answered in-process: the page with
// its theme blocks, the access check and the framing of the early answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cgi/cgi.h"
#include "cgi_test_util.h"
#include "page/page.h"
#include "platform/platform.h"
#include "store/store_internal.h"
#include "tools/tools.h"

namespace {

const char *const CGI_VARS[] = {"REQUEST_METHOD", "QUERY_STRING", "CONTENT_LENGTH",
                                "HTTP_X_BOT_PASSWORD", "HTTP_AUTHORIZATION", "BOT_PASSWORD"};

const std::string HDR_JSON =
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n\r\n";

const std::string HDR_PAGE =
    "Content-Type: text/html; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: SAMEORIGIN\r\n"
    "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
    "style-src 'unsafe-inline'; img-src data:; connect-src 'self'; form-action 'none'; "
    "base-uri 'none'\r\n\r\n";

const std::string REFUSED =
    "Status: 401 Unauthorized\r\n" + HDR_JSON +
    "{\"ok\":false,\"error\":\"invalid node password\"}\n";

using env_list = std::vector<std::pair<const char *, const char *>>;

// Runs one request in this process with exactly the given CGI variables and
// body, and returns everything written.
std::string run_request(const env_list &env, const std::string &body = "") {
    for (const char *v : CGI_VARS) unsetenv(v);
    for (const auto &kv : env) setenv(kv.first, kv.second, 1);
    std::string got = cgi_test::answer(body);
    for (const char *v : CGI_VARS) unsetenv(v);
    return got;
}

// The page as it must go out: the template up to its terminating zero byte,
// the head block in place of 0x01 and the bridge in place of 0x02.
std::string expected_page() {
    std::string page = HDR_PAGE;
    for (size_t i = 0; i < page_template_len && page_template[i]; i++) {
        char c = page_template[i];
        if (c == '\x01')
            page.append(page_head, strnlen(page_head, page_head_len));
        else if (c == '\x02')
            page.append(page_bridge, strnlen(page_bridge, page_bridge_len));
        else
            page.push_back(c);
    }
    return page;
}

TEST(CgiHandler, TemplateHoldsEachMarkerOnce) {
    std::string t(page_template, strnlen(page_template, page_template_len));
    EXPECT_EQ(std::count(t.begin(), t.end(), '\x01'), 1);
    EXPECT_EQ(std::count(t.begin(), t.end(), '\x02'), 1);
    EXPECT_LT(t.find('\x01'), t.find('\x02'));
}

TEST(CgiHandler, PageHasMarkersReplacedByTheThemeBlocks) {
    std::string page = expected_page();
    for (const env_list &env : {env_list{{"REQUEST_METHOD", "GET"}}, env_list{},
                                env_list{{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "x=1"}},
                                env_list{{"REQUEST_METHOD", "HEAD"}, {"QUERY_STRING", "action="}},
                                env_list{{"REQUEST_METHOD", "post"}}}) {
        std::string got = run_request(env);
        EXPECT_EQ(got, page);
        EXPECT_EQ(got.find('\x01'), std::string::npos);
        EXPECT_EQ(got.find('\x02'), std::string::npos);
    }
}

TEST(CgiHandler, PageIsGuardedByThePassword) {
    EXPECT_EQ(run_request({{"BOT_PASSWORD", "s3cret"}, {"REQUEST_METHOD", "GET"}}), REFUSED);
    EXPECT_EQ(run_request({{"BOT_PASSWORD", "s3cret"}, {"QUERY_STRING", "pwd=s3cret"}}),
              expected_page());
    EXPECT_EQ(run_request({{"BOT_PASSWORD", ""}}), expected_page());
}

TEST(CgiHandler, RefusalIsTheFixedText) { EXPECT_EQ(REFUSED.size(), 178u); }

struct access_case {
    const char *header;  // X-Bot-Password, or null
    const char *auth;    // Authorization, or null
    const char *qs;      // QUERY_STRING, or null
    bool pass;
};

// The password is "pa ss+%" throughout.
const access_case ACCESS_CASES[] = {
    {nullptr, nullptr, nullptr, false},
    {"pa ss+%", nullptr, nullptr, true},
    {"pa ss+", nullptr, nullptr, false},
    {"pa ss+%x", nullptr, nullptr, false},
    {"", nullptr, nullptr, false},
    {"PA SS+%", nullptr, nullptr, false},
    {nullptr, "Bearer pa ss+%", nullptr, true},
    {nullptr, "   Bearer    pa ss+%", nullptr, true},
    {nullptr, "bearer pa ss+%", nullptr, false},
    {nullptr, "Bearer\tpa ss+%", nullptr, false},
    {nullptr, "\tBearer pa ss+%", nullptr, false},
    {nullptr, "Bearer pa ss+% ", nullptr, false},
    {nullptr, "Basic pa ss+%", nullptr, false},
    {nullptr, "Bearer", nullptr, false},
    {nullptr, nullptr, "pwd=pa+ss%2B%25", true},
    {nullptr, nullptr, "pwd=pa%20ss%2b%25", true},
    {nullptr, nullptr, "pwd=pa ss+%", false},
    {nullptr, nullptr, "x=1&pwd=pa+ss%2B%25&action=", true},
    {nullptr, nullptr, "pwd=wrong&pwd=pa+ss%2B%25", false},
    {nullptr, nullptr, "PWD=pa+ss%2B%25", false},
    // Any one of the three suffices.
    {"wrong", "Bearer wrong", "pwd=pa+ss%2B%25", true},
    {"wrong", "Bearer pa ss+%", nullptr, true},
};

TEST(CgiHandler, AccessCheckTable) {
    for (const access_case &c : ACCESS_CASES) {
        env_list env{{"BOT_PASSWORD", "pa ss+%"}, {"REQUEST_METHOD", "GET"}};
        if (c.header) env.push_back({"HTTP_X_BOT_PASSWORD", c.header});
        if (c.auth) env.push_back({"HTTP_AUTHORIZATION", c.auth});
        if (c.qs) env.push_back({"QUERY_STRING", c.qs});
        std::string got = run_request(env);
        SCOPED_TRACE(std::string("header=") + (c.header ? c.header : "-") +
                     " auth=" + (c.auth ? c.auth : "-") + " qs=" + (c.qs ? c.qs : "-"));
        if (c.pass)
            EXPECT_EQ(got.compare(0, HDR_PAGE.size(), HDR_PAGE), 0);
        else
            EXPECT_EQ(got, REFUSED);
    }
}

TEST(CgiHandler, LongPasswordOnlyByHeaderOrBearer) {
    std::string pw(300, 'p');
    std::string qs = "pwd=" + pw;
    env_list base{{"BOT_PASSWORD", pw.c_str()}, {"REQUEST_METHOD", "GET"}};
    env_list by_query = base;
    by_query.push_back({"QUERY_STRING", qs.c_str()});
    EXPECT_EQ(run_request(by_query), REFUSED);
    env_list by_header = base;
    by_header.push_back({"HTTP_X_BOT_PASSWORD", pw.c_str()});
    EXPECT_EQ(run_request(by_header), expected_page());
    std::string bearer = "Bearer " + pw;
    env_list by_bearer = base;
    by_bearer.push_back({"HTTP_AUTHORIZATION", bearer.c_str()});
    EXPECT_EQ(run_request(by_bearer), expected_page());
}

TEST(CgiHandler, RefusedRequestsBodyIsNotRead) {
    // The body is invalid JSON; a refusal must not even look at it.
    EXPECT_EQ(run_request({{"BOT_PASSWORD", "x"}, {"REQUEST_METHOD", "POST"},
                           {"CONTENT_LENGTH", "3"}},
                          "{{{"),
              REFUSED);
}

std::string err_answer(int status, const char *line, const char *message) {
    return std::string(line) + HDR_JSON + "{\"ok\":false,\"status\":" + std::to_string(status) +
           ",\"error\":\"" + message + "\"}\n";
}

struct early_case {
    const char *method;
    const char *qs;
    const char *length;
    const char *body;
    int status;
    const char *message;  // null: the page
};

const char BAD_REQUEST[] = "Status: 400 Bad Request\r\n";

const early_case EARLY_CASES[] = {
    {"POST", nullptr, "8388608", "", 413, "the request body is too large"},
    {"GET", "action=stats", "99999999999", "", 413, "the request body is too large"},
    {"GET", nullptr, "5", "{nope", 400, "the request body is not valid JSON"},
    {"POST", "x=1", "2", "{}x", 400, "missing action"},
    {"POST", nullptr, "2", "[]", 400, "missing action"},
    {"POST", nullptr, nullptr, "", 400, "missing action"},
    {"POST", "action=&x=1", "18", "{\"action\":\"stats\"}", 400, "missing action"},
    {"POST", nullptr, "18", "{\"action\":\"STATS\"}", 400, "unknown action"},
    {"GET", "action=STATS", nullptr, "", 400, "unknown action"},
    {"GET", "action=nope", nullptr, "", 400, "unknown action"},
    {"POST", nullptr, "12", "{\"action\":5}x", 400, "missing action"},
    {"GET", "action=" "stats" "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", nullptr, "",
     400, "unknown action"},
    // No body announced, or a length without digits, zero or negative.
    {"GET", nullptr, "abc", "{{", 0, nullptr},
    {"GET", nullptr, "0", "{{", 0, nullptr},
    {"GET", nullptr, "-5", "{{", 0, nullptr},
    {"GET", nullptr, "", "{{", 0, nullptr},
    {"GET", nullptr, "100", "", 0, nullptr},
    {"GET", nullptr, "5", "[1,2]", 0, nullptr},
};

TEST(CgiHandler, EarlyAnswersTable) {
    std::string page = expected_page();
    for (const early_case &c : EARLY_CASES) {
        env_list env{{"REQUEST_METHOD", c.method}};
        if (c.qs) env.push_back({"QUERY_STRING", c.qs});
        if (c.length) env.push_back({"CONTENT_LENGTH", c.length});
        SCOPED_TRACE(std::string(c.method) + " qs=" + (c.qs ? c.qs : "-") +
                     " len=" + (c.length ? c.length : "-") + " body=" + c.body);
        std::string got = run_request(env, c.body);
        if (!c.message) {
            EXPECT_EQ(got, page);
        } else {
            const char *line = c.status == 413 ? "Status: 413 Payload Too Large\r\n" : BAD_REQUEST;
            EXPECT_EQ(got, err_answer(c.status, line, c.message));
        }
    }
}

TEST(CgiHandler, LargestBodyIsRead) {
    // 8,388,607 bytes of valid JSON: a string padded with spaces.
    std::string body = "{\"action\":\"nope\"}";
    body.append(8388607 - body.size(), ' ');
    std::string got = run_request({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "8388607"}}, body);
    EXPECT_EQ(got, err_answer(400, BAD_REQUEST, "unknown action"));
}

TEST(CgiHandler, JsonErrEscapesAndPicksStatusLines) {
    struct {
        int status;
        const char *line;
    } lines[] = {{400, "Status: 400 Bad Request\r\n"},
                 {404, "Status: 404 Not Found\r\n"},
                 {413, "Status: 413 Payload Too Large\r\n"},
                 {500, "Status: 500 Internal Server Error\r\n"}};
    for (const auto &l : lines) {
        FILE *out = tmpfile();
        g_cgi_out = out;
        json_err(l.status, "a\"b\\c\n");
        json_raw(nullptr);
        json_raw("[1]");
        g_cgi_out = nullptr;
        rewind(out);
        std::string got(4096, 0);
        got.resize(fread(got.data(), 1, got.size(), out));
        fclose(out);
        EXPECT_EQ(got, std::string(l.line) + HDR_JSON + "{\"ok\":false,\"status\":" +
                           std::to_string(l.status) + ",\"error\":\"a\\\"b\\\\c\\n\"}\n" +
                           HDR_JSON + "{\"ok\":true}\n" + HDR_JSON + "[1]\n");
    }
}

TEST(CgiHandler, EveryStatusSentIsInTheTable) {
    const struct {
        int status;
        const char *reason;
    } known[] = {{400, "Bad Request"}, {401, "Unauthorized"}, {404, "Not Found"},
                 {413, "Payload Too Large"}, {500, "Internal Server Error"}};
    for (const auto &k : known) EXPECT_STREQ(cgi_status_reason(k.status), k.reason);
    for (int unknown : {0, -1, 200, 418, 999}) EXPECT_EQ(cgi_status_reason(unknown), nullptr);
}

TEST(CgiHandler, UnknownStatusIsAnsweredAsAFaultNotPassedOff) {
    // A status missing from the table must not go out as a client error with
    // a mismatched line: the answer is a 500 that says so, line and body alike.
    for (int status : {418, 0, -7}) {
        FILE *out = tmpfile();
        g_cgi_out = out;
        json_err(status, "x\"y");
        g_cgi_out = nullptr;
        rewind(out);
        std::string got(4096, 0);
        got.resize(fread(got.data(), 1, got.size(), out));
        fclose(out);
        EXPECT_EQ(got, "Status: 500 Internal Server Error\r\n" + HDR_JSON +
                           "{\"ok\":false,\"status\":500,\"error\":\"answer status " +
                           std::to_string(status) + " unknown: x\\\"y\"}\n");
    }
}

TEST(CgiHandler, RequestRecordTakesTheVariables) {
    setenv("REQUEST_METHOD", "POST", 1);
    setenv("QUERY_STRING", "action=stats", 1);
    setenv("CONTENT_TYPE", "application/json", 1);
    setenv("HTTP_ACCEPT", "*/*", 1);
    setenv("HTTP_HOST", "127.0.0.1:8080", 1);
    setenv("HTTP_ORIGIN", "", 1);
    setenv("HTTP_SEC_FETCH_SITE", "same-origin", 1);
    setenv("HTTP_SEC_FETCH_MODE", "cors", 1);
    unsetenv("HTTP_SEC_FETCH_DEST");
    cgi_request r;
    req_from_env(&r);
    EXPECT_STREQ(r.method, "POST");
    EXPECT_STREQ(r.query, "action=stats");
    EXPECT_STREQ(r.content_type, "application/json");
    EXPECT_STREQ(r.accept, "*/*");
    EXPECT_STREQ(r.host, "127.0.0.1:8080");
    EXPECT_STREQ(r.origin, "");  // sent empty, which is not absent
    EXPECT_STREQ(r.fetch_site, "same-origin");
    EXPECT_STREQ(r.fetch_mode, "cors");
    EXPECT_EQ(r.fetch_dest, nullptr);
    EXPECT_EQ(r.body, nullptr);
    for (const char *v : {"REQUEST_METHOD", "QUERY_STRING", "CONTENT_TYPE", "HTTP_ACCEPT",
                          "HTTP_HOST", "HTTP_ORIGIN", "HTTP_SEC_FETCH_SITE", "HTTP_SEC_FETCH_MODE"})
        unsetenv(v);
    req_from_env(&r);
    EXPECT_STREQ(r.method, "");
    EXPECT_STREQ(r.query, "");
    EXPECT_EQ(r.content_type, nullptr);
    EXPECT_EQ(r.host, nullptr);
    EXPECT_EQ(r.origin, nullptr);
    req_free(&r);
}

TEST(CgiHandler, RawBodyIsReadWholeWithItsLength) {
    // Zero bytes and text that is not JSON come through as sent.
    const std::string body("a\0b\nc", 5);
    FILE *in = tmpfile();
    ASSERT_NE(in, nullptr);
    fwrite(body.data(), 1, body.size(), in);
    rewind(in);
    setenv("CONTENT_LENGTH", "5", 1);
    g_cgi_in = in;
    cgi_request r{};
    EXPECT_EQ(req_read_body(&r), 0);
    g_cgi_in = nullptr;
    fclose(in);
    unsetenv("CONTENT_LENGTH");
    ASSERT_NE(r.body, nullptr);
    EXPECT_EQ(std::string(r.body, r.body_len), body);
    EXPECT_EQ(r.body[r.body_len], 0);
    req_free(&r);
}

TEST(CgiHandler, RoutesNameTheirToolsAndOnlyImportTakesTheBodyRaw) {
    const struct {
        const char *action;
        api_tool tool;  // null for an answer of its own
    } want[] = {{"stats", nullptr},
                {"graph", tool_read_graph},
                {"search", tool_search_nodes},
                {"entity", tool_open_nodes},
                {"export", nullptr},
                {"tools", nullptr},
                {"import", nullptr},
                {"add_entity", tool_create_entities},
                {"add_relation", tool_create_relations},
                {"add_obs", tool_add_observations},
                {"delete_entity", tool_delete_entities},
                {"delete_relation", tool_delete_relations},
                {"delete_obs", tool_delete_observations}};
    size_t n = 0;
    cgi_routes(&n);
    EXPECT_EQ(n, sizeof want / sizeof want[0]);
    for (const auto &w : want) {
        const cgi_route *r = cgi_route_find(w.action);
        ASSERT_NE(r, nullptr) << w.action;
        EXPECT_EQ(r->tool, w.tool) << w.action;
        EXPECT_EQ(r->flags, strcmp(w.action, "import") == 0 ? (uint32_t)ROUTE_RAW_BODY : 0u)
            << w.action;
    }
    for (const char *unknown : {"", "STATS", "stats ", "nope"})
        EXPECT_EQ(cgi_route_find(unknown), nullptr) << unknown;
}

// Every route is either a tool with the shape of its parameters or an answer
// of its own, never both and never neither; a tool route's parameters are
// named, have a buffer and a kind, and its wrapped element is either bare
// text (from one required parameter) or an object of keyed members.
TEST(CgiHandler, RoutesAreToolsWithShapesOrAnswersOfTheirOwn) {
    size_t n = 0;
    const cgi_route *routes = cgi_routes(&n);
    ASSERT_GT(n, 0u);
    for (size_t i = 0; i < n; i++) {
        const cgi_route &r = routes[i];
        EXPECT_EQ(cgi_route_find(r.action), &r) << r.action;
        EXPECT_NE(!r.tool, !r.run) << r.action;
        EXPECT_EQ(!r.tool, !r.shape) << r.action;
        if (!r.shape) continue;
        size_t params = 0, texts = 0;
        for (const api_param &p : r.shape->params) {
            if (!p.kind) continue;
            params++;
            texts += p.kind == PARAM_TEXT;
            EXPECT_TRUE(p.name && *p.name) << r.action;
            EXPECT_GT(p.cap, 1u) << r.action;
            EXPECT_TRUE(p.kind >= PARAM_TEXT && p.kind <= PARAM_TYPES) << r.action;
            if (!r.shape->bare) {
                EXPECT_TRUE(p.key && *p.key) << r.action << " " << p.name;
            }
        }
        EXPECT_GT(params, 0u) << r.action;
        if (r.shape->bare) {
            EXPECT_NE(r.shape->wrap, nullptr) << r.action;
            EXPECT_EQ(params, 1u) << r.action;
            EXPECT_EQ(texts, 1u) << r.action;
        }
    }
}

// A fresh graph file location for the requests of one test: a temporary
// directory with MEMORY_FILE_PATH at memory.jsonl in it.
class CgiGraphFile : public ::testing::Test {
protected:
    std::string dir, file;
    void SetUp() override {
        char tmpl[] = "/tmp/cgi_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        file = dir + "/memory.jsonl";
        setenv("MEMORY_FILE_PATH", file.c_str(), 1);
        unsetenv("MEMORY_CONNECTOR_DIR");
        store_reset_path();
    }
    void TearDown() override {
        unlink(file.c_str());
        unlink((file + ".lock").c_str());
        rmdir(dir.c_str());
        unsetenv("MEMORY_FILE_PATH");
        unsetenv("MEMORY_LOCK_TIMEOUT_MS");
        unsetenv("MEMORY_MAX_OBS");
        unsetenv("MEMORY_MAX_RELATIONS");
        store_reset_path();
        graph_clear(&G);
    }
    void write_file(const std::string &path, const std::string &text) {
        FILE *f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    std::string read_file() {
        std::string text;
        if (FILE *f = fopen(file.c_str(), "rb")) {
            char chunk[4096];
            size_t n;
            while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
            fclose(f);
        }
        return text;
    }
};

TEST_F(CgiGraphFile, ToolsAnswerWrapsTheCatalogue) {
    std::string want = HDR_JSON +
                       "{\"ok\":true,\"connector\":\"plugin_memory\",\"kind\":\"mcp\","
                       "\"protocol\":\"2025-06-18\",\"tools\":" +
                       std::string(tool_catalogue, tool_catalogue_len) + "}\n";
    EXPECT_EQ(run_request({{"QUERY_STRING", "action=tools"}}), want);
    EXPECT_EQ(run_request({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "18"}},
                          "{\"action\":\"tools\"}"),
              want);
}

TEST_F(CgiGraphFile, StatsListsTheFirst200Types) {
    std::string text, types;
    for (int i = 0; i < 250; i++) {
        char line[128];
        snprintf(line, sizeof line,
                 "{\"type\":\"entity\",\"name\":\"e%d\",\"entityType\":\"t%03d\","
                 "\"observations\":[\"o\"]}\n",
                 i, 249 - i);
        text += line;
        if (i < 200) {
            snprintf(line, sizeof line, "%s\"t%03d\"", i ? "," : "", 249 - i);
            types += line;
        }
    }
    // Repeated types are listed once and do not count towards the 200.
    text = "{\"type\":\"entity\",\"name\":\"r\",\"entityType\":\"t249\",\"observations\":[]}\n" +
           text;
    write_file(file, text);
    std::string want = HDR_JSON +
                       "{\"ok\":true,\"entities\":251,\"relations\":0,\"observations\":250,"
                       "\"unreadable_lines\":0,\"file_exists\":true,\"file_bytes\":" +
                       std::to_string(text.size()) + ",\"types\":[" + types + "]}\n";
    EXPECT_EQ(run_request({{"QUERY_STRING", "action=stats"}}), want);
}

// A graph file over the 24 MiB a load accepts can still be downloaded
// whole, byte for byte, while stats keeps saying it is too large.
TEST_F(CgiGraphFile, ExportHandsOutAFileTooLargeToLoad) {
    std::string text =
        "{\"type\":\"entity\",\"name\":\"Ada\",\"entityType\":\"person\",\"observations\":[]}\n";
    std::string filler(1000, 'x');
    filler += '\n';
    while (text.size() <= (size_t)GRAPH_READ_MAX) text += filler;
    text += "last line without a line feed";
    write_file(file, text);
    const std::string hdr_export =
        "Content-Type: text/plain; charset=utf-8\r\nCache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\nContent-Disposition: attachment; "
        "filename=\"memory.jsonl\"\r\n\r\n";
    std::string exported = run_request({{"QUERY_STRING", "action=export"}});
    ASSERT_EQ(exported.size(), hdr_export.size() + text.size());
    EXPECT_EQ(exported.compare(0, hdr_export.size(), hdr_export), 0);
    EXPECT_TRUE(exported.compare(hdr_export.size(), std::string::npos, text) == 0);
    EXPECT_EQ(run_request({{"QUERY_STRING", "action=stats"}}),
              "Status: 500 Internal Server Error\r\n" + HDR_JSON +
                  "{\"ok\":false,\"status\":500,\"error\":\"cannot read the graph file "
                  "(permission, or larger than 24 MB)\"}\n");
    EXPECT_EQ(read_file(), text);
}

TEST_F(CgiGraphFile, BusyGraphFailsTheEditButNotTheReaders) {
    const std::string line =
        "{\"type\":\"entity\",\"name\":\"Ada\",\"entityType\":\"person\",\"observations\":[]}\n";
    write_file(file, line);
    write_file(file + ".lock", "1\n");  // another writer holds the graph
    setenv("MEMORY_LOCK_TIMEOUT_MS", "0", 1);
    EXPECT_EQ(run_request({{"QUERY_STRING", "action=add_entity&name=Bob&entityType=person"}}),
              HDR_JSON + "{\"ok\":false,\"error\":\"the graph is busy; try again\"}\n");
    EXPECT_EQ(read_file(), line);
    EXPECT_EQ(run_request({{"QUERY_STRING", "action=graph"}}),
              HDR_JSON +
                  "{\"ok\":true,\"entities\":[{\"name\":\"Ada\",\"entityType\":\"person\","
                  "\"observations\":[]}],\"relations\":[]}\n");
    std::string stats = run_request({{"QUERY_STRING", "action=stats"}});
    EXPECT_NE(stats.find("{\"ok\":true,\"entities\":1,"), std::string::npos) << stats;
    std::string exported = run_request({{"QUERY_STRING", "action=export"}});
    ASSERT_GE(exported.size(), line.size());
    EXPECT_EQ(exported.substr(exported.size() - line.size()), line);
    EXPECT_EQ(run_request({}), expected_page());
}

TEST_F(CgiGraphFile, RunToolAnswers) {
    struct {
        api_tool tool;
        bool with_args;
        std::string want;
    } cases[] = {
        {tool_create_entities, false,
         HDR_JSON + "{\"ok\":false,\"error\":\"Missing required parameter: entities\"}\n"},
        {tool_read_graph, true, HDR_JSON + "{\"ok\":true,\"entities\":[],\"relations\":[]}\n"},
    };
    for (const auto &c : cases) {
        args a{};
        if (c.with_args) args_init(&a);
        FILE *out = tmpfile();
        g_cgi_out = out;
        g_request_refusals = mem_refusals();  // as a request begins
        api_run_tool(c.tool, a.doc, a.root);
        g_cgi_out = nullptr;
        yyjson_mut_doc_free(a.doc);
        rewind(out);
        std::string got(4096, 0);
        got.resize(fread(got.data(), 1, got.size(), out));
        fclose(out);
        EXPECT_EQ(got, c.want);
    }
}

TEST(CgiArgs, AddIntOnlyToObjects) {
    args a;
    args_init(&a);
    ASSERT_NE(a.doc, nullptr);
    ASSERT_NE(a.root, nullptr);
    args_add_int(a.doc, a.root, "limit", -2147483647 - 1);
    args_add_int(a.doc, yyjson_mut_arr(a.doc), "x", 1);
    args_add_int(nullptr, a.root, "y", 1);
    args_add_int(a.doc, nullptr, "z", 1);
    char *text = yyjson_mut_write(a.doc, 0, nullptr);
    EXPECT_STREQ(text, "{\"limit\":-2147483648}");
    free(text);
    yyjson_mut_doc_free(a.doc);
}

}  // namespace

// A graph file may be larger than the body buffer of the other actions: an
// import takes a body up to the size of a graph file, and no more.
TEST_F(CgiGraphFile, ImportTakesABodyAsLargeAsAGraphFile) {
    std::string body;
    std::string obs(7000, 'o');
    int n = 0;
    for (; body.size() <= CGI_BODY_MAX; n++)
        body += "{\"type\":\"entity\",\"name\":\"e" + std::to_string(n) +
                "\",\"entityType\":\"t\",\"observations\":[\"" + obs + "\"]}\n";
    std::string len = std::to_string(body.size());
    std::string got = run_request({{"REQUEST_METHOD", "POST"}, {"QUERY_STRING", "action=import"},
                                   {"CONTENT_LENGTH", len.c_str()}}, body);
    ASSERT_EQ(got.compare(0, HDR_JSON.size(), HDR_JSON), 0) << got.substr(0, 300);
    std::string counts = std::to_string(n);
    EXPECT_EQ(got.substr(HDR_JSON.size()), "{\"ok\":true,\"added\":{\"entities\":" + counts +
                                               ",\"observations\":" + counts +
                                               ",\"relations\":0},\"skipped\":{\"entities\":0,"
                                               "\"observations\":0,\"relations\":0},"
                                               "\"skippedEntities\":[]}\n");
    EXPECT_EQ(read_file(), body);
    // Another action keeps the smaller limit, and so does an import past the
    // graph file's.
    std::string text = "{\"action\":\"stats\"," + std::string(CGI_BODY_MAX, ' ') + "}";
    len = std::to_string(text.size());
    got = run_request({{"REQUEST_METHOD", "POST"}, {"QUERY_STRING", "action=stats"},
                       {"CONTENT_LENGTH", len.c_str()}}, text);
    EXPECT_NE(got.find("Status: 413 Payload Too Large\r\n"), std::string::npos);
    len = std::to_string(CGI_RAW_BODY_MAX + 1);
    got = run_request({{"REQUEST_METHOD", "POST"}, {"QUERY_STRING", "action=import"},
                       {"CONTENT_LENGTH", len.c_str()}}, "");
    EXPECT_NE(got.find("Status: 413 Payload Too Large\r\n"), std::string::npos);
}

namespace {

// The answer of an import of body, without its header.
std::string import_answer(const std::string &body) {
    std::string len = std::to_string(body.size());
    std::string got = run_request({{"REQUEST_METHOD", "POST"}, {"QUERY_STRING", "action=import"},
                                   {"CONTENT_LENGTH", len.c_str()}}, body);
    return got.compare(0, HDR_JSON.size(), HDR_JSON) == 0 ? got.substr(HDR_JSON.size()) : got;
}

// An entity line of name with count observations "o0", "o1", ...
std::string entity_line(const std::string &name, int count) {
    std::string line = "{\"type\":\"entity\",\"name\":\"" + name + "\",\"entityType\":\"t\",\"observations\":[";
    for (int i = 0; i < count; i++) line += (i ? ",\"o" : "\"o") + std::to_string(i) + "\"";
    return line + "]}\n";
}

}  // namespace

// An import never leaves part of a line out silently: an entity with more
// observations than MEMORY_MAX_OBS allows, or one the graph would not read
// back, refuses the whole import and names its line; up to the limit every
// observation is taken, also past the 2,000 a load examines by default.
TEST_F(CgiGraphFile, ImportTakesEveryObservationOrRefusesTheLine) {
    struct {
        const char *max_obs;
        std::string body;
        std::string answer;
    } cases[] = {
        {"3", entity_line("a", 2) + entity_line("b", 5),
         "{\"ok\":false,\"error\":\"nothing was imported: line 2: b has 5 observations, more than "
         "MEMORY_MAX_OBS (3) allows; raise the limit to import it\",\"line\":2}\n"},
        {"10", "{\"type\":\"entity\",\"name\":\"a\",\"entityType\":\"t\",\"observations\":[\"x\",2]}\n",
         "{\"ok\":false,\"error\":\"nothing was imported: line 1: an observation of a is not a "
         "string\",\"line\":1}\n"},
        {"10", "{\"type\":\"entity\",\"name\":\"a\",\"entityType\":\"t\",\"observations\":[\"" +
                   std::string(8001, 'x') + "\"]}\n",
         "{\"ok\":false,\"error\":\"nothing was imported: line 1: an observation of a is longer "
         "than 8000 bytes\",\"line\":1}\n"},
        {"3000", entity_line("a", 2600),
         "{\"ok\":true,\"added\":{\"entities\":1,\"observations\":2600,\"relations\":0},"
         "\"skipped\":{\"entities\":0,\"observations\":0,\"relations\":0},\"skippedEntities\":[]}\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.max_obs);
        unlink(file.c_str());
        setenv("MEMORY_MAX_OBS", c.max_obs, 1);
        EXPECT_EQ(import_answer(c.body), c.answer);
        if (c.answer.find("\"ok\":true") != std::string::npos) EXPECT_EQ(read_file(), c.body);
        else EXPECT_EQ(read_file(), "");
    }
}

// A file that starts with a byte order mark imports as without it: a load
// reads such a file, and an export hands the file out as it is stored.
TEST_F(CgiGraphFile, ImportPassesOverALeadingByteOrderMark) {
    std::string lines = entity_line("a", 1) + entity_line("b", 0);
    EXPECT_EQ(import_answer("\xEF\xBB\xBF" + lines),
              "{\"ok\":true,\"added\":{\"entities\":2,\"observations\":1,\"relations\":0},"
              "\"skipped\":{\"entities\":0,\"observations\":0,\"relations\":0},\"skippedEntities\":[]}\n");
    EXPECT_EQ(read_file(), lines);
}

// A large import holds the lock no longer than it must, and keeps it fresh
// meanwhile: a writer that can judge the lock only by its age (from another
// process-id namespace) never finds it stale. 80,000 relation lines, with
// the lock watched all along from another process.
TEST_F(CgiGraphFile, ALargeImportKeepsItsLockFresh) {
    setenv("MEMORY_MAX_RELATIONS", "200000", 1);
    std::string body = entity_line("hub", 0);
    for (int i = 0; i < 200; i++) body += entity_line("e" + std::to_string(i), 0);
    for (int i = 0; i < 80000; i++)
        body += "{\"type\":\"relation\",\"from\":\"e" + std::to_string(i % 200) +
                "\",\"to\":\"hub\",\"relationType\":\"r" + std::to_string(i) + "\"}\n";
    std::string lock = file + ".lock";
    pid_t watcher = fork();
    ASSERT_GE(watcher, 0);
    if (watcher == 0) {
        // Exits 1 when it sees the lock two seconds old or more.
        for (int i = 0; i < 120 * 50; i++) {
            long age = 0;
            if (plat_file_age(lock.c_str(), &age) == 0 && age >= 2) _exit(1);
            usleep(20000);
            if (access((file + ".done").c_str(), F_OK) == 0) _exit(0);
        }
        _exit(0);
    }
    std::string got = import_answer(body);
    write_file(file + ".done", "");
    int status = 0;
    waitpid(watcher, &status, 0);
    unlink((file + ".done").c_str());
    EXPECT_NE(got.find("\"relations\":80000},"), std::string::npos) << got.substr(0, 300);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the lock went unrefreshed for two seconds";
}

namespace {

// A source of requests other than the process, as a FastCGI worker's: its
// variables as the host hands them over (a name may stand twice, as for a
// header sent as Mcp-Method and Mcp_Method) and a body that may end before
// its announced length.
struct own_source {
    std::vector<std::string> texts;  // "NAME=value"
    std::vector<char *> vars;        // texts' data, then null
    std::string body;
    size_t at = 0;
    std::string out;
};
own_source *g_source;

const char *source_var(const char *name) {
    size_t n = strlen(name);
    for (char *v : g_source->vars)
        if (v && strncmp(v, name, n) == 0 && v[n] == '=') return v + n + 1;
    return nullptr;
}
char **source_vars(void) { return g_source->vars.data(); }
size_t source_read(char *p, size_t n) {
    size_t k = std::min(n, g_source->body.size() - g_source->at);
    memcpy(p, g_source->body.data() + g_source->at, k);
    g_source->at += k;
    return k;
}
void source_write(const char *p, size_t n) { g_source->out.append(p, n); }
void source_flush(void) {}
const cgi_io SOURCE_IO = {source_var, source_vars, source_read, source_write, source_flush};

// Everything written in answer to one request of the source.
std::string answer_from(const std::vector<std::string> &vars, const std::string &body) {
    own_source s;
    s.texts = vars;
    for (std::string &t : s.texts) s.vars.push_back(t.data());
    s.vars.push_back(nullptr);
    s.body = body;
    g_source = &s;
    g_cgi_io = &SOURCE_IO;
    web_answer();
    g_cgi_io = nullptr;
    g_source = nullptr;
    return s.out;
}

}  // namespace

// The host hands a header sent under two spellings over as one variable name
// twice, and only the first would be read: a front end that routes by the
// real Mcp-Method would see another request than the program. Such a request
// is refused before anything else, on both endpoints.
TEST_F(CgiGraphFile, AHeaderSentUnderTwoSpellingsIsRefused) {
    const std::string create =
        R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"create_entities",)"
        R"("arguments":{"entities":[{"name":"Smuggled","entityType":"t","observations":[]}]},)"
        R"("_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28",)"
        R"("io.modelcontextprotocol/clientCapabilities":{}}}})";
    const std::vector<std::string> mcp = {
        "MEMORY_MCP_HTTP=1", "REQUEST_METHOD=POST", "CONTENT_TYPE=application/json",
        "CONTENT_LENGTH=" + std::to_string(create.size())};
    const struct {
        const char *first, *second, *header;
    } cases[] = {
        {"HTTP_MCP_METHOD=tools/call", "HTTP_MCP_METHOD=tools/list", "Mcp-Method"},
        {"HTTP_MCP_NAME=create_entities", "HTTP_MCP_NAME=read_graph", "Mcp-Name"},
        {"HTTP_MCP_PROTOCOL_VERSION=2026-07-28", "HTTP_MCP_PROTOCOL_VERSION=2025-06-18",
         "MCP-Protocol-Version"},
    };
    const std::vector<std::string> headers = {"HTTP_MCP_METHOD=tools/call",
                                              "HTTP_MCP_NAME=create_entities",
                                              "HTTP_MCP_PROTOCOL_VERSION=2026-07-28"};
    for (const auto &c : cases) {
        std::vector<std::string> vars = mcp;
        vars.push_back(c.first);
        vars.push_back(c.second);
        std::string twice = std::string(c.first).substr(0, strchr(c.first, '=') - c.first);
        for (const std::string &h : headers)  // the other two, once each
            if (h.substr(0, h.find('=')) != twice) vars.push_back(h);
        EXPECT_EQ(answer_from(vars, create),
                  "Status: 400 Bad Request\r\n" + HDR_JSON +
                      R"({"jsonrpc":"2.0","id":null,"error":{"code":-32000,"message":"the request sends )" +
                      c.header + R"( under two spellings"}})" + "\n")
            << c.header;
        EXPECT_EQ(access(file.c_str(), F_OK), -1) << c.header;
    }
    // Each once: the change is made.
    std::vector<std::string> vars = mcp;
    vars.insert(vars.end(), headers.begin(), headers.end());
    EXPECT_EQ(answer_from(vars, create).compare(0, HDR_JSON.size(), HDR_JSON), 0);
    EXPECT_EQ(access(file.c_str(), F_OK), 0);
    // The page's API: a second Sec-Fetch-Site could hide a cross-site one.
    EXPECT_EQ(answer_from({"QUERY_STRING=action=stats", "HTTP_SEC_FETCH_SITE=same-origin",
                           "HTTP_SEC_FETCH_SITE=cross-site"}, ""),
              "Status: 400 Bad Request\r\n" + HDR_JSON +
                  R"({"ok":false,"status":400,"error":"the request sends Sec-Fetch-Site under two spellings"})"
                  "\n");
}

// An import whose body ends before its announced length takes none of it,
// though every line that arrived is whole; a JSON body cut short is what
// arrived, as before (it no longer parses, or was whole already).
TEST_F(CgiGraphFile, AnImportCutShortChangesNothing) {
    std::string body;
    for (int i = 0; i < 6; i++)
        body += R"({"type":"entity","name":"e)" + std::to_string(i) + R"(","entityType":"t","observations":[]})" "\n";
    std::string announced = "CONTENT_LENGTH=" + std::to_string(body.size() + 264);
    EXPECT_EQ(answer_from({"REQUEST_METHOD=POST", "QUERY_STRING=action=import", announced}, body),
              "Status: 400 Bad Request\r\n" + HDR_JSON +
                  R"({"ok":false,"status":400,"error":"the request body ended after )" +
                  std::to_string(body.size()) + " of the " + std::to_string(body.size() + 264) +
                  R"( bytes its Content-Length announced"})" "\n");
    EXPECT_EQ(access(file.c_str(), F_OK), -1);
    std::string stats = R"({"action":"stats"})";
    EXPECT_EQ(answer_from({"REQUEST_METHOD=POST", "CONTENT_LENGTH=1000"}, stats).compare(0, HDR_JSON.size(), HDR_JSON), 0);
}
