// Relation selection of the read tools on selections of every size: a
// relation is listed once, in graph order, when either end names a selected
// entity, whether the selection is walked or looked up in a table.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store_test_util.h"
#include "tools/tools.h"

namespace {

using store_test::store_fixture;

struct rel_t {
    std::string from, to;
};

// The relations of the tool's result as from>to pairs, in order.
std::vector<std::string> result_relations(const tool_out &out) {
    std::vector<std::string> got;
    yyjson_mut_val *ra = yyjson_mut_obj_get(out.root, "relations");
    yyjson_mut_arr_iter it = yyjson_mut_arr_iter_with(ra);
    while (yyjson_mut_val *r = yyjson_mut_arr_iter_next(&it))
        got.push_back(std::string(yyjson_mut_get_str(yyjson_mut_obj_get(r, "from"))) + ">" +
                      yyjson_mut_get_str(yyjson_mut_obj_get(r, "to")));
    return got;
}

// The same selection worked out the plain way: relations whose from or to
// is one of the wanted names.
std::vector<std::string> expected_relations(const std::vector<rel_t> &rels,
                                            const std::vector<std::string> &wanted) {
    std::vector<std::string> out;
    for (const rel_t &r : rels) {
        bool hit = false;
        for (const std::string &w : wanted) hit = hit || w == r.from || w == r.to;
        if (hit) out.push_back(r.from + ">" + r.to);
    }
    return out;
}

class ReadSelect : public store_fixture {
protected:
    std::vector<std::string> names, types;
    std::vector<rel_t> rels;

    // n entities "e0".."e<n-1>" of types "a" and "b" in turn, where the
    // last two repeat the first two names; relations between neighbours,
    // self-relations and relations to names no entity has.
    void build(int n) {
        graph_clear(&G);  // the previous read left its graph behind
        for (int i = 0; i < n; i++) {
            names.push_back(i >= 2 && i >= n - 2 ? "e" + std::to_string(i - (n - 2)) : "e" + std::to_string(i));
            types.push_back(i % 2 ? "b" : "a");
            ASSERT_EQ(ent_add(&G, names.back().c_str(), types.back().c_str(), nullptr, 0), STORE_OK);
        }
        for (int i = 0; i < n; i++) {
            rels.push_back({"e" + std::to_string(i), "e" + std::to_string((i + 1) % n)});
            rels.push_back({"ghost" + std::to_string(i), "e" + std::to_string(i)});
            rels.push_back({"e" + std::to_string(i), "e" + std::to_string(i)});
            rels.push_back({"ghost", "nobody"});
        }
        for (const rel_t &r : rels)
            ASSERT_EQ(rel_add(&G, r.from.c_str(), r.to.c_str(), "r"), STORE_OK);
        save_ok();
        graph_clear(&G);
    }

    std::vector<std::string> run(void (*tool)(yyjson_val *, tool_out *), const std::string &args) {
        yyjson_doc *d = yyjson_read(args.c_str(), args.size(), 0);
        tool_out out;
        tool_out_init(&out);
        tool(yyjson_doc_get_root(d), &out);
        EXPECT_FALSE(out.failed) << (out.err ? out.err : "");
        std::vector<std::string> got = out.failed ? std::vector<std::string>{} : result_relations(out);
        tool_free(&out);
        yyjson_doc_free(d);
        return got;
    }
};

TEST_F(ReadSelect, RelationsOfEverySelectionSize) {
    for (int n : {1, 3, 8, 9, 10, 40, 300}) {
        SCOPED_TRACE("entities: " + std::to_string(n));
        names.clear();
        types.clear();
        rels.clear();
        build(n);

        EXPECT_EQ(run(tool_read_graph, "{}"), expected_relations(rels, names));

        std::vector<std::string> typed;
        for (size_t i = 0; i < names.size(); i++)
            if (types[i] == "b") typed.push_back(names[i]);
        EXPECT_EQ(run(tool_read_graph, "{\"entityTypes\":[\"b\"]}"), expected_relations(rels, typed));

        // open_nodes with every name, asked twice, and one that no entity has.
        std::string args = "{\"names\":[";
        for (const std::string &nm : names) args += "\"" + nm + "\",\"" + nm + "\",";
        args += "\"ghost\"]}";
        std::vector<std::string> distinct;
        for (const std::string &nm : names)
            if (std::find(distinct.begin(), distinct.end(), nm) == distinct.end()) distinct.push_back(nm);
        EXPECT_EQ(run(tool_open_nodes, args), expected_relations(rels, distinct));

        EXPECT_EQ(run(tool_search_nodes, "{\"query\":\"E1\"}"),
                  expected_relations(rels, [&] {
                      std::vector<std::string> m;
                      for (const std::string &nm : names)
                          if (nm.find("e1") != std::string::npos) m.push_back(nm);
                      return m;
                  }()));
    }
}

}  // namespace
