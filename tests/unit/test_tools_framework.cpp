// Tool framework: the result record, error recording, argument lookup,
// dispatch by name, the catalogue and the two wrappings of a result.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/tools.h"

namespace {

// A parsed JSON text that frees itself.
struct parsed {
    yyjson_doc *doc;
    explicit parsed(const std::string &text) : doc(yyjson_read(text.data(), text.size(), 0)) {}
    ~parsed() { yyjson_doc_free(doc); }
    yyjson_val *root() const { return yyjson_doc_get_root(doc); }
};

// Takes ownership of a malloc'd text and returns it as a string.
std::string take(char *s) {
    std::string r = s ? s : "<null>";
    free(s);
    return r;
}

// A record filled by hand the way a tool would fill it.
struct record {
    tool_out out;
    record() { tool_out_init(&out); }
    ~record() { tool_free(&out); }
    yyjson_mut_doc *doc() {
        if (!out.doc) tool_start(&out);
        return out.doc;
    }
    void add_empty_array(const char *key) {
        yyjson_mut_obj_add(out.root, yyjson_mut_str(doc(), key), yyjson_mut_arr(doc()));
    }
    std::string mcp() const {
        buf b;
        buf_init(&b);
        tool_mcp_result(&b, &out);
        std::string s = buf_str(&b);
        buf_free(&b);
        return s;
    }
    std::string api() { return take(tool_api_result(&out)); }
};

// 1 when s is well-formed UTF-8.
bool valid_utf8(const std::string &s) {
    parsed p("\"" + s + "\"");
    return p.doc != nullptr;
}

TEST(ToolFramework, InitStartAndFree) {
    tool_out out;
    memset(&out, 0x5a, sizeof out);
    tool_out_init(&out);
    EXPECT_EQ(out.doc, nullptr);
    EXPECT_EQ(out.root, nullptr);
    EXPECT_EQ(out.note, nullptr);
    EXPECT_EQ(out.err, nullptr);
    EXPECT_EQ(out.failed, 0);
    tool_start(&out);
    ASSERT_NE(out.doc, nullptr);
    ASSERT_NE(out.root, nullptr);
    EXPECT_EQ(yyjson_mut_doc_get_root(out.doc), out.root);
    EXPECT_TRUE(yyjson_mut_is_obj(out.root));
    out.note = strdup("n");
    tool_err(&out, "e");
    tool_free(&out);
    EXPECT_EQ(out.doc, nullptr);
    EXPECT_EQ(out.root, nullptr);
    EXPECT_EQ(out.note, nullptr);
    EXPECT_EQ(out.err, nullptr);
    EXPECT_EQ(out.failed, 0);
    tool_free(nullptr);  // ignored
}

TEST(ToolFramework, FirstErrorWins) {
    record r;
    tool_err(&r.out, "first %d", 1);
    tool_err(&r.out, "second %s", "x");
    EXPECT_EQ(r.out.failed, 1);
    EXPECT_STREQ(r.out.err, "first 1");
    EXPECT_EQ(r.mcp(), "{\"content\":[{\"type\":\"text\",\"text\":\"first 1\"}],\"isError\":true}");
    EXPECT_EQ(r.api(), "{\"ok\":false,\"error\":\"first 1\"}");
}

TEST(ToolFramework, LongErrorIsCutTo767Bytes) {
    record r;
    std::string m(1000, 'a');
    tool_err(&r.out, "%s", m.c_str());
    ASSERT_NE(r.out.err, nullptr);
    EXPECT_EQ(strlen(r.out.err), 767u);
    // Exactly 767 bytes is kept whole.
    record r2;
    std::string m2(767, 'b');
    tool_err(&r2.out, "%s", m2.c_str());
    EXPECT_EQ(std::string(r2.out.err), m2);
}

TEST(ToolFramework, CutNeverSplitsACharacter) {
    // Characters of two, three and four bytes placed so that each offset of
    // the 767-byte limit falls inside one of them.
    const char *chars[] = {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
    for (const char *ch : chars) {
        size_t w = strlen(ch);
        for (size_t shift = 0; shift < w; shift++) {
            std::string m = "Entity with name " + std::string(shift, 'x');
            while (m.size() < 900) m += ch;
            m += " not found";
            record r;
            tool_err(&r.out, "%s", m.c_str());
            std::string got = r.out.err;
            EXPECT_LE(got.size(), 767u);
            EXPECT_GT(got.size(), 767u - w);
            EXPECT_EQ(m.compare(0, got.size(), got), 0);
            EXPECT_TRUE(valid_utf8(got)) << "width " << w << " shift " << shift;
            std::string wrapped = r.mcp();
            parsed p(wrapped);
            EXPECT_NE(p.doc, nullptr) << "MCP answer must stay valid JSON";
        }
    }
}

TEST(ToolFramework, FailedWithoutTextUsesFallback) {
    record r;
    r.out.failed = 1;
    EXPECT_EQ(r.mcp(),
              "{\"content\":[{\"type\":\"text\",\"text\":\"the tool could not be completed\"}],"
              "\"isError\":true}");
    EXPECT_EQ(r.api(), "{\"ok\":false,\"error\":\"the tool could not be completed\"}");
}

TEST(ToolFramework, FailedHidesDocumentAndNote) {
    record r;
    r.add_empty_array("entities");
    r.out.note = strdup("a note");
    tool_err(&r.out, "say \"no\"\n");
    EXPECT_EQ(r.mcp(), "{\"content\":[{\"type\":\"text\",\"text\":\"say \\\"no\\\"\\n\"}],"
                       "\"isError\":true}");
    EXPECT_EQ(r.api(), "{\"ok\":false,\"error\":\"say \\\"no\\\"\\n\"}");
}

TEST(ToolFramework, WrapsTwoEmptyArrays) {
    record r;
    r.add_empty_array("entities");
    r.add_empty_array("relations");
    EXPECT_EQ(r.mcp(), "{\"content\":[{\"type\":\"text\",\"text\":\"{\\n  \\\"entities\\\": [],\\n"
                       "  \\\"relations\\\": []\\n}\"}],\"isError\":false,"
                       "\"structuredContent\":{\"entities\":[],\"relations\":[]}}");
    EXPECT_EQ(r.api(), "{\"ok\":true,\"entities\":[],\"relations\":[]}");
}

TEST(ToolFramework, NoteIsASecondTextItem) {
    record r;
    r.add_empty_array("entities");
    r.out.note = strdup("Skipped \"b\"");
    EXPECT_EQ(r.mcp(), "{\"content\":[{\"type\":\"text\",\"text\":\"{\\n  \\\"entities\\\": []\\n}\"},"
                       "{\"type\":\"text\",\"text\":\"Skipped \\\"b\\\"\"}],\"isError\":false,"
                       "\"structuredContent\":{\"entities\":[]}}");
    // The API envelope shows it as its last member.
    EXPECT_EQ(r.api(), "{\"ok\":true,\"entities\":[],\"note\":\"Skipped \\\"b\\\"\"}");
}

TEST(ToolFramework, EmptyNoteAddsNoItem) {
    record r;
    r.add_empty_array("entities");
    r.out.note = strdup("");
    EXPECT_EQ(r.mcp(), "{\"content\":[{\"type\":\"text\",\"text\":\"{\\n  \\\"entities\\\": []\\n}\"}],"
                       "\"isError\":false,\"structuredContent\":{\"entities\":[]}}");
    EXPECT_EQ(r.api(), "{\"ok\":true,\"entities\":[]}");
}

TEST(ToolFramework, EmptyOrMissingRootWrapsAsEmptyObject) {
    const char *mcp_empty =
        "{\"content\":[{\"type\":\"text\",\"text\":\"{}\"}],\"isError\":false}";
    record none;  // no document at all
    EXPECT_EQ(none.mcp(), mcp_empty);
    EXPECT_EQ(none.api(), "{\"ok\":true}");
    record empty;  // a document whose root has no members
    empty.doc();
    EXPECT_EQ(empty.mcp(), mcp_empty);
    EXPECT_EQ(empty.api(), "{\"ok\":true}");
}

TEST(ToolFramework, ApiEnvelopeCarriesMembersInOrder) {
    record r;
    yyjson_mut_doc *d = r.doc();
    yyjson_mut_obj_add(r.out.root, yyjson_mut_str(d, "success"), yyjson_mut_true(d));
    yyjson_mut_obj_add(r.out.root, yyjson_mut_str(d, "message"), yyjson_mut_str(d, "Done"));
    EXPECT_EQ(r.api(), "{\"ok\":true,\"success\":true,\"message\":\"Done\"}");
    EXPECT_EQ(r.mcp(), "{\"content\":[{\"type\":\"text\",\"text\":\"{\\n  \\\"success\\\": true,\\n"
                       "  \\\"message\\\": \\\"Done\\\"\\n}\"}],\"isError\":false,"
                       "\"structuredContent\":{\"success\":true,\"message\":\"Done\"}}");
}

TEST(ToolFramework, WrappersLeaveTheRecordUnchanged) {
    record r;
    r.add_empty_array("relations");
    std::string a = r.mcp(), b = r.mcp(), c = r.api(), d = r.api();
    EXPECT_EQ(a, b);
    EXPECT_EQ(c, d);
    EXPECT_EQ(r.out.failed, 0);
}

TEST(ToolFramework, ArgGet) {
    parsed p("{\"k\":1,\"K\":2,\"k\":3,\"k \":4,\"\":5}");
    yyjson_val *a = p.root();
    ASSERT_NE(arg_get(a, "k"), nullptr);
    EXPECT_EQ(yyjson_get_int(arg_get(a, "k")), 1);  // the first of two
    EXPECT_EQ(yyjson_get_int(arg_get(a, "K")), 2);
    EXPECT_EQ(yyjson_get_int(arg_get(a, "k ")), 4);
    EXPECT_EQ(yyjson_get_int(arg_get(a, "")), 5);
    EXPECT_EQ(arg_get(a, "kk"), nullptr);
    parsed only_upper("{\"Key\":1}");
    EXPECT_EQ(arg_get(only_upper.root(), "key"), nullptr);  // case matters
    parsed arr("[\"k\",1]"), empty("{}"), str("\"k\"");
    EXPECT_EQ(arg_get(arr.root(), "k"), nullptr);
    EXPECT_EQ(arg_get(empty.root(), "k"), nullptr);
    EXPECT_EQ(arg_get(str.root(), "k"), nullptr);
    EXPECT_EQ(arg_get(nullptr, "k"), nullptr);
    // A key holding a zero byte is not the shorter key.
    parsed nul("{\"k\\u0000x\":1}");
    EXPECT_EQ(arg_get(nul.root(), "k"), nullptr);
}

TEST(ToolFramework, DispatchRefusesNamesThatAreNotExact) {
    const char *bad[] = {"Read_graph", "READ_GRAPH", "read_graph ", " read_graph", "", "read",
                         "read_graph\n", "tools/list"};
    for (const char *name : bad) {
        tool_out out;
        memset(&out, 0x5a, sizeof out);
        EXPECT_EQ(tool_dispatch(name, nullptr, &out), -1) << name;
        EXPECT_EQ(out.doc, nullptr);
        EXPECT_EQ(out.err, nullptr);
        EXPECT_EQ(out.failed, 0);
    }
    tool_out out;
    EXPECT_EQ(tool_dispatch(nullptr, nullptr, &out), -1);
    EXPECT_EQ(out.failed, 0);
}

TEST(ToolFramework, DispatchRunsTheNamedTool) {
    // Argument errors come before any storage access, so these run anywhere.
    struct {
        const char *name, *message;
    } cases[] = {
        {"create_entities", "Missing required parameter: entities"},
        {"create_relations", "Missing required parameter: relations"},
        {"add_observations", "Missing required parameter: observations"},
        {"delete_entities", "Missing required parameter: entityNames"},
        {"delete_observations", "Missing required parameter: deletions"},
        {"delete_relations", "Missing required parameter: relations"},
        {"search_nodes", "Missing required parameter: query"},
        {"open_nodes", "Missing required parameter: names"},
    };
    for (auto &c : cases) {
        tool_out out;
        ASSERT_EQ(tool_dispatch(c.name, nullptr, &out), 0) << c.name;
        EXPECT_EQ(out.failed, 1);
        EXPECT_STREQ(out.err, c.message);
        tool_free(&out);
    }
}

/*==============================================================================
 * Catalogue
 *============================================================================*/

const char *k_names[] = {"create_entities",  "create_relations", "add_observations",
                         "delete_entities",  "delete_observations", "delete_relations",
                         "read_graph",       "search_nodes",     "open_nodes"};

TEST(ToolCatalogue, IsOneCompactLineOf8338Bytes) {
    EXPECT_EQ(tool_catalogue_len, 8338u);
    EXPECT_EQ(strlen(tool_catalogue), tool_catalogue_len);
    EXPECT_EQ(memchr(tool_catalogue, '\n', tool_catalogue_len), nullptr);
    char *copy = tools_list_json();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::string(copy), std::string(tool_catalogue, tool_catalogue_len));
    free(copy);
}

TEST(ToolCatalogue, WritesBackToTheSameBytes) {
    parsed p(std::string(tool_catalogue, tool_catalogue_len));
    ASSERT_NE(p.doc, nullptr);
    size_t len = 0;
    char *w = yyjson_write(p.doc, 0, &len);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(std::string(w, len), std::string(tool_catalogue, tool_catalogue_len));
    free(w);
}

TEST(ToolCatalogue, NamesTheDispatchedToolsInOrder) {
    parsed p(std::string(tool_catalogue, tool_catalogue_len));
    ASSERT_TRUE(yyjson_is_arr(p.root()));
    ASSERT_EQ(yyjson_arr_size(p.root()), 9u);
    for (size_t i = 0; i < 9; i++) {
        yyjson_val *t = yyjson_arr_get(p.root(), i);
        ASSERT_TRUE(yyjson_is_obj(t));
        EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(t, "name")), k_names[i]);
        // Member layout of every element.
        const char *keys[] = {"name", "description", "inputSchema", "annotations"};
        ASSERT_EQ(yyjson_obj_size(t), 4u);
        yyjson_obj_iter it = yyjson_obj_iter_with(t);
        for (const char *k : keys) EXPECT_STREQ(yyjson_get_str(yyjson_obj_iter_next(&it)), k);
        yyjson_val *schema = yyjson_obj_get(t, "inputSchema");
        EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(schema, "type")), "object");
        EXPECT_EQ(yyjson_obj_get(schema, "required") == nullptr, i == 6);
        yyjson_val *ann = yyjson_obj_get(t, "annotations");
        EXPECT_EQ(yyjson_get_bool(yyjson_obj_get(ann, "readOnlyHint")), i >= 6);
        EXPECT_EQ(yyjson_get_bool(yyjson_obj_get(ann, "destructiveHint")), i >= 3 && i <= 5);
        EXPECT_TRUE(yyjson_get_bool(yyjson_obj_get(ann, "idempotentHint")));
        EXPECT_FALSE(yyjson_get_bool(yyjson_obj_get(ann, "openWorldHint")));
        // Every catalogued name is accepted by dispatch. Without arguments
        // all but read_graph fail before they touch the graph file.
        if (i != 6) {
            tool_out out;
            EXPECT_EQ(tool_dispatch(k_names[i], nullptr, &out), 0);
            tool_free(&out);
        }
    }
}

}  // namespace
