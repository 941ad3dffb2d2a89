// test_graph.cpp - the in-memory graph: adding entities, relations,
// observations and kept lines under the limits, and copying JSON string arrays.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/store_internal.h"
#include "store_test_util.h"

namespace {

const char ENTITY_LIMIT[] = "The graph is at its entity limit; delete entities before adding more.";
const char ENTITY_FIELDS[] =
    "An entity needs a non-empty name and entityType (each at most 1024 characters).";
const char RELATION_LIMIT[] =
    "The graph is at its relation limit; delete relations before adding more.";
const char RELATION_FIELDS[] = "A relation needs non-empty from, to and relationType fields.";

class GraphModel : public ::testing::Test {
protected:
    store_test::env_guard env;
    graph g = {};
    char err[256] = "";

    void SetUp() override {
        for (const char *n : store_test::env_guard::names)
            if (strncmp(n, "MEMORY_MAX_", 11) == 0) unsetenv(n);
    }
    void TearDown() override { graph_clear(&g); }

    // The edits, 0 or -1 with their message in err.
    int add(const char *name, const char *type = "t", std::vector<const char *> obs = {}) {
        store_rc rc = ent_add(&g, name, type, const_cast<char *const *>(obs.data()), obs.size());
        store_message(rc, err, sizeof err);
        return rc == STORE_OK ? 0 : -1;
    }
    int relate(const char *from, const char *to, const char *type = "r") {
        store_rc rc = rel_add(&g, from, to, type);
        store_message(rc, err, sizeof err);
        return rc == STORE_OK ? 0 : -1;
    }
};

TEST_F(GraphModel, EntityLimitComesBeforeFieldChecks) {
    setenv("MEMORY_MAX_ENTITIES", "1", 1);
    ASSERT_EQ(add("a"), 0);
    EXPECT_EQ(add(""), -1);
    EXPECT_STREQ(err, ENTITY_LIMIT);
    EXPECT_EQ(add("b"), -1);
    EXPECT_STREQ(err, ENTITY_LIMIT);
    EXPECT_EQ(g.ent_count, 1u);
    // Read at every check: raising it lets the next one in.
    setenv("MEMORY_MAX_ENTITIES", "2", 1);
    EXPECT_EQ(add("b"), 0);
}

TEST_F(GraphModel, EntityFieldsAreOneTo1024Bytes) {
    std::string n1024(1024, 'n'), n1025(1025, 'n');
    struct {
        const char *name, *type;
        int want;
    } cases[] = {
        {n1024.c_str(), "t", 0},  {n1025.c_str(), "t", -1}, {"a", n1024.c_str(), 0},
        {"a", n1025.c_str(), -1}, {"", "t", -1},            {"a", "", -1},
        {nullptr, "t", -1},       {"a", nullptr, -1},
    };
    for (auto &c : cases) {
        uint64_t before = g.ent_count;
        EXPECT_EQ(add(c.name, c.type), c.want);
        if (c.want == 0) {
            EXPECT_EQ(g.ent_count, before + 1);
        } else {
            EXPECT_STREQ(err, ENTITY_FIELDS);
            EXPECT_EQ(g.ent_count, before);
        }
    }
}

TEST_F(GraphModel, MessagesAreCutToTheCallersArray) {
    char small[10];
    EXPECT_STREQ(store_message(ent_add(&g, "", "t", nullptr, 0), small, sizeof small), "An entity");
    EXPECT_EQ(rel_add(&g, "", "b", "r"), STORE_RELATION_FIELDS);
}

TEST_F(GraphModel, EntityCopiesItsTextsAndCutsObservationsAtTheLimit) {
    std::vector<std::string> texts;
    for (int i = 0; i < 2500; i++) texts.push_back("obs " + std::to_string(i));
    std::vector<const char *> ptrs;
    for (auto &t : texts) ptrs.push_back(t.c_str());
    ptrs[1] = nullptr;  // stored as an empty text
    char name[] = "Alice";
    ASSERT_EQ(add(name, "person", ptrs), 0);
    name[0] = 'X';
    const ent &e = g.ents[0];
    EXPECT_STREQ(e.name, "Alice");
    EXPECT_STREQ(e.entity_type, "person");
    ASSERT_EQ(e.obs_count, 2000u);
    EXPECT_STREQ(e.obs[0], "obs 0");
    EXPECT_STREQ(e.obs[1], "");
    EXPECT_STREQ(e.obs[1999], "obs 1999");
    EXPECT_NE(e.obs[0], texts[0].c_str());

    setenv("MEMORY_MAX_OBS", "3", 1);
    ASSERT_EQ(add("Bob", "person", ptrs), 0);
    EXPECT_EQ(g.ents[1].obs_count, 3u);
    ASSERT_EQ(add("Carol"), 0);
    EXPECT_EQ(g.ents[2].obs_count, 0u);
    EXPECT_EQ(g.ents[2].obs, nullptr);
}

TEST_F(GraphModel, ArraysGrowFromTheirFirstSizeByDoubling) {
    for (int i = 0; i < 33; i++) {
        ASSERT_EQ(add(("e" + std::to_string(i)).c_str()), 0);
        EXPECT_EQ(g.ent_cap, i < 32 ? 32u : 64u);
    }
    for (int i = 0; i < 65; i++) {
        ASSERT_EQ(relate("a", "b"), 0);
        EXPECT_EQ(g.rel_cap, i < 64 ? 64u : 128u);
    }
    for (int i = 0; i < 17; i++) {
        bad_add(&g, "x");
        EXPECT_EQ(g.bad_cap, i < 16 ? 16u : 32u);
    }
}

TEST_F(GraphModel, ObservationPushStopsAtTheLimit) {
    setenv("MEMORY_MAX_OBS", "2", 1);
    ASSERT_EQ(add("a"), 0);
    ent *e = &g.ents[0];
    EXPECT_EQ(obs_push(&g, e, "one"), STORE_OK);
    EXPECT_EQ(obs_push(&g, e, nullptr), STORE_OK);
    char **before = e->obs;
    EXPECT_EQ(obs_push(&g, e, "three"), STORE_OBS_LIMIT);
    EXPECT_EQ(e->obs, before);
    ASSERT_EQ(e->obs_count, 2u);
    EXPECT_STREQ(e->obs[0], "one");
    EXPECT_STREQ(e->obs[1], "");
    // No length limit and no duplicate check here.
    setenv("MEMORY_MAX_OBS", "4", 1);
    std::string long_text(9000, 'z');
    EXPECT_EQ(obs_push(&g, e, long_text.c_str()), STORE_OK);
    EXPECT_EQ(obs_push(&g, e, long_text.c_str()), STORE_OK);
    EXPECT_EQ(e->obs_count, 4u);
}

TEST_F(GraphModel, RelationFieldsAndLimit) {
    std::string r1024(1024, 'r'), r1025(1025, 'r');
    struct {
        const char *from, *to, *type;
        int want;
    } cases[] = {
        {"a", "b", "knows", 0},
        {"a", r1024.c_str(), r1024.c_str(), 0},
        {"a", r1025.c_str(), "knows", -1},
        {r1025.c_str(), "b", "knows", -1},
        {"a", "b", r1025.c_str(), -1},
        {"", "b", "knows", -1},
        {"a", nullptr, "knows", -1},
        {"a", "b", "", -1},
    };
    for (auto &c : cases) {
        uint64_t before = g.rel_count;
        EXPECT_EQ(relate(c.from, c.to, c.type), c.want);
        EXPECT_EQ(g.rel_count, before + (c.want == 0 ? 1 : 0));
        if (c.want) {
            EXPECT_STREQ(err, RELATION_FIELDS);
        }
    }
    // Neither duplicates nor endpoints are checked.
    EXPECT_EQ(relate("a", "b", "knows"), 0);
    EXPECT_STREQ(g.rels[0].from, "a");
    EXPECT_STREQ(g.rels[0].to, "b");
    EXPECT_STREQ(g.rels[0].relation_type, "knows");

    setenv("MEMORY_MAX_RELATIONS", "0", 1);  // clamped to 1
    graph_clear(&g);
    EXPECT_EQ(relate("a", "b"), 0);
    EXPECT_EQ(relate("", "b"), -1);
    EXPECT_STREQ(err, RELATION_LIMIT);
    setenv("MEMORY_MAX_RELATIONS", "many", 1);  // not a number: the default
    EXPECT_EQ(limit_max_relations(), 40000);
    EXPECT_EQ(relate("a", "b"), 0);
}

TEST_F(GraphModel, FindIsExactAndReturnsTheFirst) {
    ASSERT_EQ(add("Alice", "first"), 0);
    ASSERT_EQ(add("alice", "lower"), 0);
    ASSERT_EQ(add("Alice", "second"), 0);
    EXPECT_EQ(ent_find(&g, nullptr), nullptr);
    EXPECT_EQ(ent_find(&g, "ALICE"), nullptr);
    EXPECT_EQ(ent_find(&g, "Alic"), nullptr);
    ASSERT_NE(ent_find(&g, "Alice"), nullptr);
    EXPECT_STREQ(ent_find(&g, "Alice")->entity_type, "first");
    EXPECT_STREQ(ent_find(&g, "alice")->entity_type, "lower");
}

TEST_F(GraphModel, KeptLinesStopAtTheLimit) {
    setenv("MEMORY_MAX_BAD", "1", 1);
    bad_add(&g, "first");
    bad_add(&g, "second");
    ASSERT_EQ(g.bad_count, 1u);
    EXPECT_STREQ(g.bad[0], "first");
    graph_clear(&g);
    unsetenv("MEMORY_MAX_BAD");
    bad_add(&g, nullptr);
    ASSERT_EQ(g.bad_count, 1u);
    EXPECT_STREQ(g.bad[0], "");
}

TEST_F(GraphModel, ClearEmptiesTheRecordForReuse) {
    ASSERT_EQ(add("a", "t", {"x", "y"}), 0);
    ASSERT_EQ(relate("a", "a"), 0);
    bad_add(&g, "junk");
    graph_clear(&g);
    EXPECT_EQ(g.ents, nullptr);
    EXPECT_EQ(g.rels, nullptr);
    EXPECT_EQ(g.bad, nullptr);
    EXPECT_EQ(g.ent_count + g.ent_cap + g.rel_count + g.rel_cap + g.bad_count + g.bad_cap, 0u);
    ASSERT_EQ(add("b"), 0);
    EXPECT_EQ(g.ent_count, 1u);
}

TEST(GraphStrArr, CopiesTheStringsAmongTheFirstElements) {
    std::string big = "[";
    for (int i = 0; i < 3000; i++) big += (i ? ",\"s" : "\"s") + std::to_string(i) + "\"";
    big += "]";
    std::string long_ok(8000, 'k'), long_bad(8001, 'k');
    struct {
        std::string json;
        size_t max;
        std::vector<std::string> want;
        bool want_array;
    } cases[] = {
        {"[1, \"two\", {\"x\":3}]", 10, {"two"}, true},
        {"{\"a\":\"b\"}", 10, {}, false},
        {"\"text\"", 10, {}, false},
        {"[]", 10, {}, false},
        {"[\"a\",\"b\",\"c\"]", 0, {}, false},
        {"[\"a\",\"b\",\"c\"]", 2, {"a", "b"}, true},
        {"[1, 2]", 5, {}, true},
        {"[\"" + long_ok + "\",\"" + long_bad + "\"]", 5, {long_ok}, true},
        // A text holding U+0000 is left out whole, never cut to "ab".
        {"[\"ab\\u0000cd\", \"\"]", 5, {""}, true},
    };
    for (auto &c : cases) {
        yyjson_doc *doc = yyjson_read(c.json.data(), c.json.size(), 0);
        ASSERT_NE(doc, nullptr) << c.json;
        char **arr = (char **)1;
        size_t n = 99;
        EXPECT_EQ(str_arr_from(yyjson_doc_get_root(doc), &arr, &n, c.max), STORE_OK);
        EXPECT_EQ(arr != nullptr, c.want_array) << c.json.substr(0, 40);
        ASSERT_EQ(n, c.want.size()) << c.json.substr(0, 40);
        for (size_t i = 0; i < n; i++) EXPECT_EQ(arr[i], c.want[i]);
        str_arr_free(arr, n);
        yyjson_doc_free(doc);
    }
    yyjson_doc *doc = yyjson_read(big.data(), big.size(), 0);
    char **arr;
    size_t n;
    ASSERT_EQ(str_arr_from(yyjson_doc_get_root(doc), &arr, &n, 2000), STORE_OK);
    ASSERT_EQ(n, 2000u);
    EXPECT_STREQ(arr[0], "s0");
    EXPECT_STREQ(arr[1999], "s1999");
    str_arr_free(arr, n);
    yyjson_doc_free(doc);
    EXPECT_EQ(str_arr_from(nullptr, &arr, &n, 5), STORE_OK);
    EXPECT_EQ(arr, nullptr);
    EXPECT_EQ(n, 0u);
}

}  // namespace
