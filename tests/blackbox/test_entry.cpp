// test_entry.cpp - the one-shot answers that carry the tool catalogue, and
// the default CGI mode, checked on the built executable.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <yyjson.h>

#include "exec.h"
#include "tools/tools.h"

namespace {

std::string catalogue() {
    char *t = tools_list_json();
    std::string s = t ? t : "";
    free(t);
    return s;
}

const char meta_line[] =
    "{\"name\":\"memory\",\"desc\":\"Knowledge graph\",\"kind\":\"mcp\",\"mcp\":true,"
    "\"daemon\":false,\"menus\":false,\"verified\":\"live\",\"category\":\"devtools\","
    "\"version\":\"1.0.0\"}\n";

struct schema_case {
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;
};

TEST(entry_schema, prints_catalogue_as_one_line) {
    const std::string cat = catalogue();
    ASSERT_FALSE(cat.empty());
    EXPECT_EQ(cat.find('\n'), std::string::npos);
    yyjson_doc *d = yyjson_read(cat.data(), cat.size(), 0);
    ASSERT_NE(d, nullptr) << "the catalogue is not JSON";
    EXPECT_TRUE(yyjson_is_arr(yyjson_doc_get_root(d)));
    yyjson_doc_free(d);

    const schema_case cases[] = {
        {{"--schema"}, {}},
        {{"--verbose", "--schema"}, {}},
        {{"--schema", "--meta"}, {}},
        {{"-x", "", "--schema"}, {{"TW_PLUGIN_META", "1"}, {"TW_PLUGIN_MCP", "1"}}},
    };
    for (const schema_case &c : cases) {
        temp_dir dir;
        exe_result r = run_plugin(c.args, c.env, "", dir.path);
        EXPECT_EQ(r.out, cat + "\n") << "args[0]=" << c.args[0];
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST(entry_schema, tools_list_wraps_the_same_catalogue) {
    temp_dir dir;
    exe_result r = run_plugin({"--mcp"}, {},
                              "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"tools/list\"}\n"
                              "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"tools/list\",\"params\":{\"cursor\":\"x\"}}\n",
                              dir.path);
    const std::string cat = catalogue();
    EXPECT_EQ(r.out, "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{\"tools\":" + cat + "}}\n"
                     "{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":{\"tools\":" + cat + "}}\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// Without a flag or a mode variable the process is a CGI program: it must
// neither print the meta line nor answer the MCP request on its input.
TEST(entry_mode, no_arguments_runs_cgi_handler) {
    const std::vector<std::vector<std::string>> arg_sets = {{}, {"--Meta", "-mcp", "--meta=1"}};
    for (auto &args : arg_sets) {
        temp_dir dir;
        exe_result r = run_plugin(args, {}, "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n", dir.path);
        EXPECT_FALSE(r.out.empty());
        EXPECT_NE(r.out, meta_line);
        EXPECT_EQ(r.out.find("\"jsonrpc\""), std::string::npos);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

}  // namespace
