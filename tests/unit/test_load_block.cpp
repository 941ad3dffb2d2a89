// test_load_block.cpp - the block of loaded texts: a load writes the texts it
// takes from the file over the lines already read, in the file's own block,
// which the graph keeps; what does not fit in front of its line, or every
// text without the block, becomes a heap copy; and single texts are released
// through graph_text_free so that none inside the block is freed on its own.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/store_internal.h"
#include "store_test_util.h"
#include "tool_test_util.h"
#include "tools/tools.h"

namespace {

// Files that exercise every kind of line: escapes that shrink (\u00e9, \n,
// surrogate pairs), empty texts, a zero byte inside a line and inside a
// string, CRLF, blank lines, kept lines, refused entities and relations,
// a repeated key and a last line without its line feed.
const char k_zero_file[] =
    "{\"type\":\"relation\",\"from\":\"x\",\"to\":\"y\",\"relationType\":\"z\"}\n"
    "{\"type\":\"entity\",\"name\":\"Z\xc3\xa9\",\"entityType\":\"t\",\"observations\":[\"a\"]}\n"
    "garbage with a zero \0 byte inside\n"
    "{\"type\":\"entity\",\"name\":\"after zero\",\"entityType\":\"t\",\"observations\":[]}\n";

std::vector<std::string> files() {
    return {
        "",
        " \t\r\n\n",
        "not json\n[1]\n{\"type\":\"other\"}\n",
        "{\"type\":\"entity\",\"name\":\"A\",\"entityType\":\"t\",\"observations\":[\"x\",\"\",1,null,"
        "\"\\\"q\\\"\"]}\n"
        "{\"type\":\"relation\",\"from\":\"A\",\"to\":\"B\",\"relationType\":\"r\"}\n",
        "{\"type\":\"entity\",\"name\":\"\\u00e9\\n\\ud83d\\ude00\",\"entityType\":\"\\t\","
        "\"observations\":[\"\",\"\",\"\",\"\",\"\\u0000tail\",\"y\\u0000z\"]}\r\n"
        "  {\"type\":\"entity\",\"name\":\"B\",\"name\":\"C\",\"entityType\":\"t2\",\"observations\":[]}\r\n"
        "{\"type\":\"relation\",\"from\":\"A\",\"to\":\"\",\"relationType\":\"r\"}\n"
        "{\"type\":\"entity\",\"name\":\"\",\"entityType\":\"t\",\"observations\":[\"kept\"]}\n"
        "{\"type\":\"entity\",\"name\":\"D\",\"entityType\":\"t\",\"observations\":[\"d\"]}",
        std::string(k_zero_file, sizeof k_zero_file - 1),
    };
}

// Builds a graph from a heap copy of text, which g takes over with keep,
// and returns its file text as the writer makes it; g is left built for the
// caller to look at.
std::string build(graph *g, const std::string &text, int keep) {
    char *copy = (char *)malloc(text.size() + 1);
    memcpy(copy, text.data(), text.size());
    *g = graph{};
    graph_build(g, copy, text.size(), keep);
    if (!keep) free(copy);
    return store_test::formatted(g);
}

bool in_block(const graph &g, const char *s) {
    return g.texts && s >= g.texts && s < g.texts + g.texts_size;
}

// Every entity and relation text of g, in order.
std::vector<const char *> texts_of(const graph &g) {
    std::vector<const char *> v;
    for (uint64_t i = 0; i < g.ent_count; i++) {
        v.push_back(g.ents[i].name);
        v.push_back(g.ents[i].entity_type);
        for (uint64_t k = 0; k < g.ents[i].obs_count; k++) v.push_back(g.ents[i].obs[k]);
    }
    for (uint64_t i = 0; i < g.rel_count; i++) {
        v.push_back(g.rels[i].from);
        v.push_back(g.rels[i].to);
        v.push_back(g.rels[i].relation_type);
    }
    return v;
}

class LoadBlock : public store_test::store_fixture {};

TEST_F(LoadBlock, WithOrWithoutTheBlockALoadGivesTheSameGraph) {
    std::vector<std::string> all = files();
    for (size_t i = 0; i < all.size(); i++) {
        SCOPED_TRACE("file " + std::to_string(i));
        const std::string &text = all[i];
        graph heap, kept;
        std::string a = build(&heap, text, 0);
        std::string b = build(&kept, text, 1);
        EXPECT_EQ(a, b);
        EXPECT_EQ(heap.texts, nullptr);
        EXPECT_EQ(heap.ent_count, kept.ent_count);
        EXPECT_EQ(heap.rel_count, kept.rel_count);
        EXPECT_EQ(heap.bad_count, kept.bad_count);
        // A block that holds nothing is not kept.
        size_t inside = 0;
        for (const char *s : texts_of(kept)) inside += in_block(kept, s);
        if (!inside) {
            EXPECT_EQ(kept.texts, nullptr);
        }
        // Kept lines are heap copies of their own.
        for (uint64_t k = 0; k < kept.bad_count; k++) EXPECT_FALSE(in_block(kept, kept.bad[k]));
        graph_clear(&heap);
        graph_clear(&kept);
        EXPECT_EQ(kept.texts, nullptr);
        EXPECT_EQ(kept.texts_size, 0u);
    }
}

TEST_F(LoadBlock, TextsGoInFrontOfTheirLineOrElseToTheHeap) {
    // The first line has nothing in front of it: its texts are heap copies.
    // Every later one finds room where the lines before it were.
    std::string text =
        "{\"type\":\"entity\",\"name\":\"A\",\"entityType\":\"t\",\"observations\":[\"a\",\"\"]}\n"
        "{\"type\":\"relation\",\"from\":\"A\",\"to\":\"B\",\"relationType\":\"r\"}\n"
        "{\"type\":\"entity\",\"name\":\"\\u00e9\",\"entityType\":\"t\",\"observations\":[\"b\"]}\n"
        "x\n"
        "{\"type\":\"entity\",\"name\":\"C\",\"entityType\":\"t\",\"observations\":[]}";
    graph g;
    std::string out = build(&g, text, 1);
    ASSERT_EQ(g.ent_count, 3u);
    ASSERT_EQ(g.rel_count, 1u);
    EXPECT_FALSE(in_block(g, g.ents[0].name));
    EXPECT_FALSE(in_block(g, g.ents[0].obs[1]));
    // The first text taken lies at the block's start.
    EXPECT_EQ(g.rels[0].from, g.texts);
    EXPECT_TRUE(in_block(g, g.rels[0].relation_type));
    EXPECT_TRUE(in_block(g, g.ents[1].name));
    EXPECT_STREQ(g.ents[1].name, "\xc3\xa9");
    EXPECT_TRUE(in_block(g, g.ents[2].entity_type));
    EXPECT_EQ(out,
              "{\"type\":\"entity\",\"name\":\"A\",\"entityType\":\"t\",\"observations\":[\"a\",\"\"]}\n"
              "{\"type\":\"entity\",\"name\":\"\xc3\xa9\",\"entityType\":\"t\",\"observations\":[\"b\"]}\n"
              "{\"type\":\"entity\",\"name\":\"C\",\"entityType\":\"t\",\"observations\":[]}\n"
              "{\"type\":\"relation\",\"from\":\"A\",\"to\":\"B\",\"relationType\":\"r\"}\n"
              "x\n");
    graph_clear(&g);
}

TEST_F(LoadBlock, RefusedLinesTakeNoRoomFromTheBlock) {
    // Only the third line is an entity the graph takes; the others are kept
    // as lines and take no room: its first text lies at the block's start.
    store_test::set_env("MEMORY_MAX_ENTITIES", "1");
    std::string text =
        "{\"type\":\"relation\",\"from\":\"A\",\"to\":\"\",\"relationType\":\"r\"}\n"
        "{\"type\":\"entity\",\"name\":\"\",\"entityType\":\"t\",\"observations\":[\"zz\"]}\n"
        "{\"type\":\"entity\",\"name\":\"A\",\"entityType\":\"t\",\"observations\":[\"o\"]}\n"
        "{\"type\":\"entity\",\"name\":\"B\",\"entityType\":\"t\",\"observations\":[\"p\"]}\n";
    graph g;
    build(&g, text, 1);
    ASSERT_EQ(g.ent_count, 1u);
    EXPECT_EQ(g.bad_count, 3u);
    EXPECT_EQ(g.ents[0].obs[0], g.texts);
    for (const char *s : texts_of(g)) EXPECT_TRUE(in_block(g, s)) << s;
    // The kept lines are whole, though texts were written in front of them.
    EXPECT_EQ(std::string(g.bad[2]),
              "{\"type\":\"entity\",\"name\":\"B\",\"entityType\":\"t\",\"observations\":[\"p\"]}");
    graph_clear(&g);
}

TEST_F(LoadBlock, TextsAddedAfterALoadAreHeapCopiesAndEveryTextIsReleasedOnce) {
    store_test::write_all(file,
                          "{\"type\":\"entity\",\"name\":\"A\",\"entityType\":\"t\",\"observations\":"
                          "[\"a1\",\"a2\"]}\n"
                          "{\"type\":\"entity\",\"name\":\"B\",\"entityType\":\"t\",\"observations\":[]}\n"
                          "{\"type\":\"relation\",\"from\":\"A\",\"to\":\"B\",\"relationType\":\"r\"}\n"
                          "kept\n");
    ASSERT_EQ(graph_load(), STORE_OK);
    ASSERT_NE(G.texts, nullptr);
    EXPECT_TRUE(in_block(G, G.ents[1].name));  // the first line has no room in front
    ASSERT_EQ(obs_push(&G, &G.ents[1], "b1"), STORE_OK);
    EXPECT_FALSE(in_block(G, G.ents[1].obs[0]));
    const char *obs[] = {"c1"};
    ASSERT_EQ(ent_add(&G, "C", "t", (char *const *)obs, 1), STORE_OK);
    ASSERT_EQ(rel_add(&G, "C", "A", "r2"), STORE_OK);
    EXPECT_FALSE(in_block(G, G.ents[2].name));
    EXPECT_FALSE(in_block(G, G.rels[1].from));
    // Release a loaded observation and an added one, as the delete tools do;
    // a free of a text inside the block would be caught by the allocator.
    graph_text_free(&G, G.ents[0].obs[0]);
    G.ents[0].obs[0] = G.ents[0].obs[1];
    G.ents[0].obs_count = 1;
    graph_text_free(&G, G.ents[1].obs[0]);
    G.ents[1].obs_count = 0;
    graph_text_free(&G, nullptr);
    ASSERT_EQ(graph_save(), STORE_OK);
    EXPECT_EQ(store_test::read_all(file),
              "{\"type\":\"entity\",\"name\":\"A\",\"entityType\":\"t\",\"observations\":[\"a2\"]}\n"
              "{\"type\":\"entity\",\"name\":\"B\",\"entityType\":\"t\",\"observations\":[]}\n"
              "{\"type\":\"entity\",\"name\":\"C\",\"entityType\":\"t\",\"observations\":[\"c1\"]}\n"
              "{\"type\":\"relation\",\"from\":\"A\",\"to\":\"B\",\"relationType\":\"r\"}\n"
              "{\"type\":\"relation\",\"from\":\"C\",\"to\":\"A\",\"relationType\":\"r2\"}\n"
              "kept\n");
    graph_clear(&G);
    EXPECT_EQ(G.texts, nullptr);
}

// Runs one tool on a JSON arguments text; returns the API envelope.
std::string run(const char *tool, const char *args) { return tool_test::run(tool, args); }

TEST_F(LoadBlock, DeleteToolsReleaseLoadedTextsWithoutFreeingThemOneByOne) {
    store_test::set_env("MEMORY_LOCK_TIMEOUT_MS", "0");
    store_test::write_all(file,
                          "{\"type\":\"entity\",\"name\":\"A\",\"entityType\":\"t\",\"observations\":"
                          "[\"a1\",\"a2\",\"a1\"]}\n"
                          "{\"type\":\"entity\",\"name\":\"B\",\"entityType\":\"t\",\"observations\":[\"b\"]}\n"
                          "{\"type\":\"entity\",\"name\":\"C\",\"entityType\":\"t\",\"observations\":[]}\n"
                          "{\"type\":\"relation\",\"from\":\"A\",\"to\":\"B\",\"relationType\":\"r\"}\n"
                          "{\"type\":\"relation\",\"from\":\"B\",\"to\":\"C\",\"relationType\":\"r\"}\n"
                          "{\"type\":\"relation\",\"from\":\"C\",\"to\":\"A\",\"relationType\":\"r\"}\n");
    // Each call loads afresh, so the texts it releases lie in the block.
    const char *calls[][2] = {
        {"delete_observations",
         "{\"deletions\":[{\"entityName\":\"A\",\"observations\":[\"a1\"]},"
         "{\"entityName\":\"B\",\"observations\":[\"b\"]}]}"},
        {"delete_relations", "{\"relations\":[{\"from\":\"C\",\"to\":\"A\",\"relationType\":\"r\"}]}"},
        {"delete_entities", "{\"entityNames\":[\"B\"]}"},
        {"add_observations", "{\"observations\":[{\"entityName\":\"C\",\"contents\":[\"c1\"]}]}"},
    };
    for (auto &c : calls) EXPECT_EQ(run(c[0], c[1]).substr(0, 11), "{\"ok\":true,") << c[0];
    // G still holds the graph of the last call, with an added observation
    // beside loaded texts; the next load releases both kinds.
    ASSERT_EQ(G.ent_count, 2u);
    EXPECT_FALSE(in_block(G, G.ents[1].obs[0]));
    EXPECT_TRUE(in_block(G, G.ents[1].name));
    EXPECT_EQ(store_test::read_all(file),
              "{\"type\":\"entity\",\"name\":\"A\",\"entityType\":\"t\",\"observations\":[\"a2\"]}\n"
              "{\"type\":\"entity\",\"name\":\"C\",\"entityType\":\"t\",\"observations\":[\"c1\"]}\n");
    ASSERT_EQ(graph_load(), STORE_OK);
    EXPECT_EQ(G.ent_count, 2u);
}

}  // namespace
