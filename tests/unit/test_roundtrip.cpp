// test_roundtrip.cpp - random graphs saved, loaded and saved again give the
// same bytes: nothing that a save writes is lost or changed by a load.
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/store_internal.h"
#include "store_test_util.h"

namespace {

struct text_gen {
    std::mt19937_64 rng;
    explicit text_gen(uint64_t seed) : rng(seed) {}

    uint32_t below(uint32_t n) { return (uint32_t)(rng() % n); }

    // Appends one code point as UTF-8, chosen across control characters,
    // the characters JSON escapes, ASCII and the two- to four-byte ranges.
    void code_point(std::string &s) {
        uint32_t cp;
        switch (below(8)) {
        case 0: cp = 1 + below(0x1f); break;
        case 1: cp = "\"\\/\x7f"[below(4)]; break;
        case 2: cp = 0x80 + below(0x800 - 0x80); break;
        case 3:
            do cp = 0x800 + below(0x10000 - 0x800);
            while (cp >= 0xd800 && cp <= 0xdfff);
            break;
        case 4: cp = 0x10000 + below(0x110000 - 0x10000); break;
        default: cp = 0x20 + below(0x5f); break;
        }
        if (cp < 0x80) {
            s += (char)cp;
        } else if (cp < 0x800) {
            s += (char)(0xc0 | (cp >> 6));
            s += (char)(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            s += (char)(0xe0 | (cp >> 12));
            s += (char)(0x80 | ((cp >> 6) & 0x3f));
            s += (char)(0x80 | (cp & 0x3f));
        } else {
            s += (char)(0xf0 | (cp >> 18));
            s += (char)(0x80 | ((cp >> 12) & 0x3f));
            s += (char)(0x80 | ((cp >> 6) & 0x3f));
            s += (char)(0x80 | (cp & 0x3f));
        }
    }

    // A valid UTF-8 text of at most max_bytes bytes (and at least one code
    // point when min_one is set).
    std::string text(size_t max_bytes, bool min_one) {
        size_t want = below((uint32_t)max_bytes + 1);
        std::string s;
        while (s.size() < want || (min_one && s.empty())) {
            std::string cp;
            code_point(cp);
            if (s.size() + cp.size() > max_bytes) {
                if (!s.empty() || max_bytes < 4) break;
                continue;
            }
            s += cp;
        }
        return s;
    }

    // Any bytes but the line feed and the zero byte, starting with one that
    // keeps the line from being blank or a JSON value.
    std::string kept_line() {
        std::string s = "#";
        size_t n = below(200);
        for (size_t i = 0; i < n; i++) {
            char c = (char)(1 + below(255));
            if (c != '\n') s += c;
        }
        return s;
    }
};

class GraphRoundTrip : public store_test::store_fixture {};

TEST_F(GraphRoundTrip, RandomGraphsSaveLoadAndSaveToTheSameBytes) {
    setenv("MEMORY_MAX_OBS", "3000", 1);
    for (uint64_t seed = 1; seed <= 12; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        text_gen gen(seed);
        graph_clear(&G);
        uint32_t ents = 1 + gen.below(40);
        for (uint32_t i = 0; i < ents; i++) {
            std::vector<std::string> obs;
            uint32_t kind = gen.below(10);
            uint32_t count = kind == 0 ? 2001 + gen.below(999) : gen.below(12);
            for (uint32_t k = 0; k < count; k++) {
                if (kind == 0)
                    obs.push_back(gen.text(12, false));
                else if (gen.below(6) == 0)
                    obs.push_back(gen.text(OBS_TEXT_MAX, false));
                else
                    obs.push_back(gen.text(80, false));
            }
            if (kind == 1) obs.push_back(std::string(OBS_TEXT_MAX, 'L'));
            std::vector<const char *> ptrs;
            for (auto &o : obs) ptrs.push_back(o.c_str());
            std::string name = gen.below(5) == 0 ? gen.text(FIELD_MAX, true) : gen.text(30, true);
            std::string type = gen.text(gen.below(4) == 0 ? FIELD_MAX : 16, true);
            ASSERT_EQ(ent_add(&G, name.c_str(), type.c_str(), const_cast<char *const *>(ptrs.data()), ptrs.size()),
                      STORE_OK);
            if (gen.below(3) == 0) {
                ASSERT_EQ(obs_push(&G, &G.ents[G.ent_count - 1], ""), STORE_OK);
            }
        }
        uint32_t rels = gen.below(60);
        for (uint32_t i = 0; i < rels; i++) {
            std::string from = gen.text(40, true), to = gen.text(FIELD_MAX, true),
                        type = gen.text(20, true);
            ASSERT_EQ(rel_add(&G, from.c_str(), to.c_str(), type.c_str()), STORE_OK);
        }
        uint32_t bad = gen.below(5);
        for (uint32_t i = 0; i < bad; i++) bad_add(&G, gen.kept_line().c_str());

        save_ok();
        const std::string first = store_test::read_all(file);
        const uint64_t counts[3] = {G.ent_count, G.rel_count, G.bad_count};
        ASSERT_EQ(graph_load(), STORE_OK);
        EXPECT_EQ(G.ent_count, counts[0]);
        EXPECT_EQ(G.rel_count, counts[1]);
        EXPECT_EQ(G.bad_count, counts[2]);
        save_ok();
        const std::string second = store_test::read_all(file);
        ASSERT_EQ(first.size(), second.size());
        EXPECT_TRUE(first == second);
    }
}

}  // namespace
