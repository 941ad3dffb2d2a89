// The limits while and after a load: a load reads each limit once, and the
// environment counts again at every check as soon as the load is over.
#include <gtest/gtest.h>

#include "store_test_util.h"

namespace {

using store_test::set_env;
using store_test::store_fixture;
using store_test::write_all;

class LoadLimits : public store_fixture {};

// Three entities of two observations, two relations and two unreadable lines.
const char *const k_file =
    "{\"type\":\"entity\",\"name\":\"a\",\"entityType\":\"t\",\"observations\":[\"1\",\"2\"]}\n"
    "{\"type\":\"entity\",\"name\":\"b\",\"entityType\":\"t\",\"observations\":[\"1\",\"2\"]}\n"
    "{\"type\":\"entity\",\"name\":\"c\",\"entityType\":\"t\",\"observations\":[\"1\",\"2\"]}\n"
    "{\"type\":\"relation\",\"from\":\"a\",\"to\":\"b\",\"relationType\":\"r\"}\n"
    "{\"type\":\"relation\",\"from\":\"b\",\"to\":\"c\",\"relationType\":\"r\"}\n"
    "not json\n"
    "[1]\n";

TEST_F(LoadLimits, EachLimitAppliesToTheLoadAndAgainAfterIt) {
    struct row {
        const char *var;
        uint64_t graph::*count;  // null: the observations of the first entity
        uint64_t unlimited;   // the count without the limit (1 with it)
        int (*limit)(void);
    };
    const row rows[] = {
        {"MEMORY_MAX_ENTITIES", &graph::ent_count, 3, limit_max_entities},
        {"MEMORY_MAX_RELATIONS", &graph::rel_count, 2, limit_max_relations},
        {"MEMORY_MAX_BAD", &graph::bad_count, 2, limit_max_bad},
        {"MEMORY_MAX_OBS", nullptr, 2, limit_max_obs},
    };
    write_all(file, k_file);
    for (const row &r : rows) {
        SCOPED_TRACE(r.var);
        set_env(r.var, "1");
        graph_forget();  // read afresh under the limit, not kept from before
        ASSERT_EQ(graph_load(), STORE_OK);
        uint64_t got = r.count ? G.*r.count : G.ents[0].obs_count;
        EXPECT_EQ(got, 1u);

        // After the load the variable is read again at every check.
        unsetenv(r.var);
        EXPECT_EQ(limit_max_entities(), 20000);
        EXPECT_EQ(limit_max_obs(), 2000);
        EXPECT_EQ(limit_max_relations(), 40000);
        EXPECT_EQ(limit_max_bad(), 5000);
        set_env(r.var, "7");
        EXPECT_EQ(r.limit(), 7);
        unsetenv(r.var);

        graph_forget();
        ASSERT_EQ(graph_load(), STORE_OK);
        got = r.count ? G.*r.count : G.ents[0].obs_count;
        EXPECT_EQ(got, r.unlimited);
    }
}

TEST_F(LoadLimits, AFailedLoadLeavesTheEnvironmentInCharge) {
    // A path that cannot be read: the load fails before any line.
    write_all(file, k_file);
    set_env("MEMORY_FILE_PATH", dir.path);  // a directory, not a file
    store_reset_path();
    EXPECT_EQ(graph_load(), STORE_UNREADABLE);
    set_env("MEMORY_MAX_ENTITIES", "3");
    EXPECT_EQ(limit_max_entities(), 3);
}

}  // namespace
