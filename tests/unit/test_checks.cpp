// test_checks.cpp - the checked rules are on in the test build: a broken
// rule stops the process at once, writing nothing (base/check.h).
#include <csignal>

#include <gtest/gtest.h>

#include "store/store_internal.h"
#include "store_test_util.h"

namespace {

using ::testing::KilledBySignal;

class CheckedRules : public store_test::store_fixture {};

// A read while a change is open: the transaction's state 1 (the load
// would put the file's graph in place of the change's edits).
void read_inside_a_change() {
    graph_txn t;
    graph_begin(&t);
    const graph *g;
    graph_open(&g);
}

// A joined transaction that ends after the one it joined: state 3.
void joined_outlives_outer() {
    graph_txn outer;
    graph_txn inner;
    graph_begin(&outer);
    graph_begin(&inner);
    graph_commit(&outer);
    graph_abort(&inner);
}

// The relations by entity of a graph the index does not describe: the kept
// graph's rule 7.
void relations_of_another_graph() {
    graph g = {};
    ent_add(&g, "a", "t", nullptr, 0);
    const uint32_t *list;
    uint64_t n;
    rels_of_entity(&g, 0, &list, &n);
}

// Each case breaks one rule in a child process, which must die on the spot
// with nothing on its standard error.
TEST_F(CheckedRules, ABrokenRuleStopsTheProcessAndWritesNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(PM_ASSERT(sizeof(int) == 0), KilledBySignal(SIGILL), "^$");
    EXPECT_EXIT(read_inside_a_change(), KilledBySignal(SIGILL), "^$");
    EXPECT_EXIT(joined_outlives_outer(), KilledBySignal(SIGILL), "^$");
    EXPECT_EXIT(relations_of_another_graph(), KilledBySignal(SIGILL), "^$");
}

}  // namespace
