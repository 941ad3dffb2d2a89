// test_store_edits.cpp - the hash index, the graph's name index kept up to
// date by the store's edits, the edits themselves and write transactions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "store/store_internal.h"
#include "store_test_util.h"

namespace {

using store_test::message;
using store_test::read_all;
using store_test::store_fixture;
using store_test::write_all;

// The items a walk over hash yields.
std::vector<int64_t> walk(const hash_index &x, size_t hash) {
    std::vector<int64_t> got;
    hash_walk w;
    hash_index_walk(&x, hash, &w);
    for (int64_t i; (i = hash_index_next(&x, &w)) >= 0;) got.push_back(i);
    return got;
}

TEST(HashIndex, ItemsOfAHashComeOutInTheOrderEnteredThroughGrowth) {
    hash_index x = {};
    EXPECT_TRUE(walk(x, 7).empty());
    // Hashes that share their home slot in every table size, and a wrapping
    // run at the end of the slots, mixed with many other items.
    const size_t same = 0xabcdef00u | 15u, other = 0x12345600u | 15u;
    std::vector<int64_t> want_same, want_other;
    for (uint64_t i = 0; i < 5000; i++) {
        size_t h = i % 7 == 0 ? same : i % 11 == 0 ? other : (size_t)i * 2654435761u;
        ASSERT_EQ(hash_index_add(&x, h, i), 0);
        if (h == same) want_same.push_back((int64_t)i);
        if (h == other) want_other.push_back((int64_t)i);
    }
    EXPECT_EQ(x.count, 5000u);
    EXPECT_LE(x.count * 4, (x.mask + 1) * 3);
    EXPECT_EQ(walk(x, same), want_same);
    EXPECT_EQ(walk(x, other), want_other);
    EXPECT_EQ(walk(x, (size_t)1234 * 2654435761u), std::vector<int64_t>{1234});
    hash_index_free(&x);
    EXPECT_EQ(x.slot, nullptr);
    EXPECT_EQ(x.count, 0u);
    EXPECT_EQ(hash_index_add(&x, 1, UINT32_MAX), -1);  // beyond 32 bits
    EXPECT_EQ(x.count, 0u);
    // Room made beforehand takes the items without growing.
    ASSERT_EQ(hash_index_reserve(&x, 1000), 0);
    uint64_t mask = x.mask;
    for (uint64_t i = 0; i < 1000; i++) ASSERT_EQ(hash_index_add(&x, (size_t)i * 40503u, i), 0);
    EXPECT_EQ(x.mask, mask);
    EXPECT_EQ(walk(x, (size_t)999 * 40503u), std::vector<int64_t>{999});
    EXPECT_EQ(hash_index_reserve(&x, 10), -1);  // only while empty
    hash_index_free(&x);
}

// A graph of its own, cleared after each test.
class NameIndex : public ::testing::Test {
protected:
    graph g = {};
    void TearDown() override { graph_clear(&g); }
    void add(const char *name, const char *type = "t") {
        ASSERT_EQ(ent_add(&g, name, type, nullptr, 0), STORE_OK);
    }
    std::vector<int64_t> all(const char *name, size_t len) {
        std::vector<int64_t> got;
        name_walk w;
        name_walk_start(&g, name, len, &w);
        for (int64_t i; (i = name_walk_next(&g, &w)) >= 0;) got.push_back(i);
        return got;
    }
    std::vector<int64_t> all(const char *name) { return all(name, strlen(name)); }
};

TEST_F(NameIndex, LookupsFollowAddsAndRemovals) {
    EXPECT_EQ(ent_find(&g, "a"), nullptr);
    for (int i = 0; i < 100; i++) add(("n" + std::to_string(i)).c_str());
    add("n7", "second");  // a file may hold a name twice
    // The first few lookups walk the entities; the next one builds the index.
    for (int i = 0; i < 4; i++) EXPECT_EQ(all("n7"), (std::vector<int64_t>{7, 100}));
    EXPECT_EQ(g.names.slot, nullptr);
    EXPECT_EQ(all("n7"), (std::vector<int64_t>{7, 100}));
    EXPECT_EQ(g.names.count, 101u);
    add("late");  // kept up to date by ent_add
    EXPECT_EQ(g.names.count, 102u);
    EXPECT_EQ(ent_lookup(&g, "late", 4), 101);
    EXPECT_EQ(ent_lookup(&g, "lat", 3), -1);
    EXPECT_EQ(ent_lookup(&g, "late\0", 5), -1);  // a zero byte names nothing
    EXPECT_EQ(ent_lookup(&g, "n7\0x", 4), -1);

    std::vector<unsigned char> marks(g.ent_count, 0);
    marks[0] = marks[7] = 1;
    ents_remove_marked(&g, marks.data());
    ASSERT_EQ(g.ent_count, 100u);
    EXPECT_EQ(ent_find(&g, "n0"), nullptr);
    EXPECT_EQ(all("n7"), std::vector<int64_t>{98});
    EXPECT_STREQ(g.ents[98].entity_type, "second");
    EXPECT_EQ(ent_lookup(&g, "n8", 2), 6);
    EXPECT_EQ(ent_lookup(&g, "late", 4), 99);
}

TEST_F(NameIndex, LoadedEntitiesAreIndexedOnFirstLookup) {
    std::string text =
        "{\"type\":\"entity\",\"name\":\"A\",\"entityType\":\"t\",\"observations\":[\"x\"]}\n"
        "{\"type\":\"entity\",\"name\":\"B\",\"entityType\":\"t\",\"observations\":[]}\n"
        "{\"type\":\"entity\",\"name\":\"A\",\"entityType\":\"u\",\"observations\":[]}\n";
    char *block = (char *)malloc(text.size() + 1);
    memcpy(block, text.data(), text.size());
    graph_build(&g, block, text.size(), 1);
    EXPECT_EQ(g.names.slot, nullptr);  // a load builds no index
    EXPECT_EQ(all("A"), (std::vector<int64_t>{0, 2}));
    EXPECT_EQ(graph_index_names(&g), STORE_OK);
    EXPECT_EQ(g.names.count, 3u);
    EXPECT_EQ(all("A"), (std::vector<int64_t>{0, 2}));
    EXPECT_EQ(all("B"), std::vector<int64_t>{1});
    add("C");
    EXPECT_EQ(all("C"), std::vector<int64_t>{3});
}

TEST_F(NameIndex, ObservationRemovalIsExact) {
    const char *obs[] = {"a", "b", "a", "ab", ""};
    ASSERT_EQ(ent_add(&g, "E", "t", (char *const *)obs, 5), STORE_OK);
    ent *e = &g.ents[0];
    EXPECT_EQ(obs_remove(&g, e, "a\0", 2), 0u);  // a zero byte equals nothing
    EXPECT_EQ(obs_remove(&g, e, "abc", 2), 1u);  // the first len bytes: "ab"
    EXPECT_EQ(obs_remove(&g, e, "a", 1), 2u);
    ASSERT_EQ(e->obs_count, 2u);
    EXPECT_STREQ(e->obs[0], "b");
    EXPECT_STREQ(e->obs[1], "");
    EXPECT_EQ(obs_remove(&g, e, "", 0), 1u);
    EXPECT_EQ(obs_remove(&g, e, "b", 1), 1u);
    EXPECT_EQ(e->obs_count, 0u);
    EXPECT_EQ(e->obs, nullptr);
}

int from_is_a(const rel *r, void *ctx) {
    ++*(int *)ctx;
    return strcmp(r->from, "a") == 0;
}

TEST_F(NameIndex, RelationRemovalKeepsTheOrderOfTheRest) {
    const char *ends[][2] = {{"a", "b"}, {"b", "a"}, {"a", "c"}, {"c", "b"}};
    for (auto &e : ends) ASSERT_EQ(rel_add(&g, e[0], e[1], "r"), STORE_OK);
    int calls = 0;
    EXPECT_EQ(rels_remove_matching(&g, from_is_a, &calls), 2u);
    EXPECT_EQ(calls, 4);
    ASSERT_EQ(g.rel_count, 2u);
    EXPECT_STREQ(g.rels[0].from, "b");
    EXPECT_STREQ(g.rels[1].from, "c");
}

class Transactions : public store_fixture {};

const char k_line[] = "{\"type\":\"entity\",\"name\":\"A\",\"entityType\":\"t\",\"observations\":[]}\n";

TEST_F(Transactions, CommitSavesAndKeepsTheGraphAsWritten) {
    write_all(file, k_line);
    graph_txn t;
    ASSERT_EQ(graph_begin(&t), STORE_OK);
    graph *g = t.g;
    EXPECT_EQ(g_lock_held, 1);
    ASSERT_EQ(ent_add(g, "B", "t", nullptr, 0), STORE_OK);
    ASSERT_EQ(graph_commit(&t), STORE_OK);
    EXPECT_EQ(t.g, nullptr);
    EXPECT_EQ(g_lock_held, 0);
    EXPECT_FALSE(store_test::file_exists(file + ".lock"));
    buf b = {};
    graph_format(g, &b);
    EXPECT_EQ(read_all(file), buf_str(&b));
    buf_free(&b);
    EXPECT_EQ(g->ent_count, 2u);
}

TEST_F(Transactions, AbortAndLeavingTheScopeForgetTheEdits) {
    write_all(file, k_line);
    for (int by_scope = 0; by_scope < 2; by_scope++) {
        {
            graph_txn t;
            ASSERT_EQ(graph_begin(&t), STORE_OK);
            graph *g = t.g;
            ASSERT_EQ(ent_add(g, "B", "t", nullptr, 0), STORE_OK);
            if (!by_scope) {
                graph_abort(&t);
                graph_abort(&t);  // a second abort does nothing
            }
        }
        EXPECT_EQ(G.ent_count, 0u) << by_scope;
        EXPECT_EQ(g_lock_held, 0) << by_scope;
        EXPECT_FALSE(store_test::file_exists(file + ".lock")) << by_scope;
        EXPECT_EQ(read_all(file), k_line) << by_scope;
    }
}

TEST_F(Transactions, AJoinedTransactionSavesWithTheOuterOneOrDoomsIt) {
    write_all(file, k_line);
    // Committed inner changes are saved by the outer commit, not before.
    {
        graph_txn outer;
        ASSERT_EQ(graph_begin(&outer), STORE_OK);
        graph *g = outer.g;
        for (const char *name : {"B", "C"}) {
            graph_txn inner;
            ASSERT_EQ(graph_begin(&inner), STORE_OK);
            graph *h = inner.g;
            ASSERT_EQ(h, g);
            EXPECT_EQ(inner.joined, 1);
            ASSERT_EQ(ent_add(h, name, "t", nullptr, 0), STORE_OK);
            ASSERT_EQ(graph_commit(&inner), STORE_OK);
            EXPECT_EQ(g_lock_held, 1);
            EXPECT_EQ(read_all(file), k_line);
        }
        ASSERT_EQ(graph_commit(&outer), STORE_OK);
    }
    std::string three = read_all(file);
    EXPECT_NE(three.find("\"C\""), std::string::npos);
    EXPECT_EQ(g_lock_held, 0);
    // An inner abort, by call or by scope, makes the outer commit fail and
    // save nothing; the next transaction stands on its own again.
    for (int by_scope = 0; by_scope < 2; by_scope++) {
        graph_txn outer;
        ASSERT_EQ(graph_begin(&outer), STORE_OK);
        graph *g = outer.g;
        ASSERT_EQ(ent_add(g, "D", "t", nullptr, 0), STORE_OK);
        {
            graph_txn inner;
            ASSERT_EQ(graph_begin(&inner), STORE_OK);
            ASSERT_EQ(inner.g, g);
            if (!by_scope) graph_abort(&inner);
        }
        graph_txn late;
        ASSERT_EQ(graph_begin(&late), STORE_OK);
        ASSERT_EQ(late.g, g);
        EXPECT_EQ(message(graph_commit(&late)), "a change within this one failed; nothing was saved");
        EXPECT_EQ(message(graph_commit(&outer)), "a change within this one failed; nothing was saved");
        EXPECT_EQ(G.ent_count, 0u);
        EXPECT_EQ(g_lock_held, 0);
        EXPECT_EQ(read_all(file), three) << by_scope;
    }
    graph_txn alone;
    ASSERT_EQ(graph_begin(&alone), STORE_OK);
    graph *g = alone.g;
    EXPECT_EQ(alone.joined, 0);
    ASSERT_EQ(ent_add(g, "E", "t", nullptr, 0), STORE_OK);
    ASSERT_EQ(graph_commit(&alone), STORE_OK);
    EXPECT_NE(read_all(file).find("\"E\""), std::string::npos);
}

TEST_F(Transactions, FailedBeginsAndCommits) {
    // Another writer holds the lock.
    write_all(file + ".lock", "99999\n");
    store_test::set_env("MEMORY_LOCK_TIMEOUT_MS", "0");
    graph_txn t;
    EXPECT_EQ(message(graph_begin(&t)), "the graph is busy; try again");
    EXPECT_EQ(t.g, nullptr);
    EXPECT_TRUE(store_test::file_exists(file + ".lock"));
    unlink((file + ".lock").c_str());
    // A commit of a transaction that is not open writes nothing.
    EXPECT_EQ(message(graph_commit(&t)), "cannot write the graph file");
    EXPECT_FALSE(store_test::file_exists(file));
    // A graph no load could read back is not written, and is forgotten.
    write_all(file, k_line);
    store_test::set_env("MEMORY_MAX_OBS", "2000");
    ASSERT_EQ(graph_begin(&t), STORE_OK);
    graph *g = t.g;
    std::string text(7999, 'x');
    std::vector<const char *> obs(2000, text.c_str());
    ASSERT_EQ(ent_add(g, "B", "t", (char *const *)obs.data(), obs.size()), STORE_OK);
    ASSERT_EQ(ent_add(g, "C", "t", (char *const *)obs.data(), obs.size()), STORE_OK);
    EXPECT_EQ(message(graph_commit(&t)), "the graph would be larger than 24 MB; delete something first");
    EXPECT_EQ(t.g, nullptr);
    EXPECT_EQ(G.ent_count, 0u);
    EXPECT_EQ(g_lock_held, 0);
    EXPECT_EQ(read_all(file), k_line);
}

}  // namespace
