/* gen.h - deterministic benchmark graphs and MCP request sessions, written
 * in the graph file's own format (shared by the generator and micro.cpp). */
#ifndef PLUGIN_MEMORY_BENCH_GEN_H
#define PLUGIN_MEMORY_BENCH_GEN_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "store/graph.h"

/* A fixed-seed generator (splitmix64): the same seed gives the same bytes on
 * every machine. */
struct gen_rng {
    uint64_t s;
};

static inline uint64_t gen_next(gen_rng *r) {
    uint64_t z = (r->s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

/* Uniform in [0, n); n must be above 0. */
static inline uint32_t gen_below(gen_rng *r, uint32_t n) { return (uint32_t)(gen_next(r) % n); }

/* Appends s as a JSON string literal with the graph file writer's own
 * json_str, so the generated files are exactly what a save would write. */
static inline void gen_json_str(std::string &o, const std::string &s) {
    buf b;
    buf_init(&b);
    json_str(&b, s.c_str());
    o.append(buf_str(&b), (size_t)b.len);
    buf_free(&b);
}

/* The graph as plain lists, so that request sessions can name what exists. */
struct gen_graph {
    std::vector<std::string> names;
    std::vector<std::string> types;
    std::vector<std::vector<std::string>> obs;
    std::vector<uint32_t> rel_from, rel_to;
    std::vector<std::string> rel_types;
    uint32_t tag_count;  /* observations carry "tag%05u" markers below this */
};

static const char *const gen_words[] = {
    "alpha", "project", "meeting", "deadline", "Zürich", "naïve", "café", "東京",
    "München", "façade", "résumé", "Ωmega", "emoji🙂", "report", "budget", "review",
    "customer", "release", "server", "latency", "database", "migration", "backup",
    "prefers", "works", "on", "the", "with", "and", "in", "of", "Kraków", "Αθήνα",
    "Москва", "日本語", "한국어", "data", "graph", "memory", "note", "Tuesday", "v2.1",
};
static const char *const gen_entity_types[] = {
    "person", "project", "organization", "place", "event", "document", "tool",
    "concept", "team", "meeting", "Person", "personne", "Ort/Stadt", "프로젝트",
    "task", "bug", "feature", "service", "library", "dataset", "customer", "vendor",
    "contract", "product", "release", "incident", "decision", "risk", "goal", "idea",
};
static const char *const gen_rel_types[] = {
    "works_at", "knows", "manages", "depends on", "located in", "part_of", "owns",
    "reports to", "created", "uses", "blocks", "relates to", "mentions", "präsentiert",
    "follows", "leads", "reviews", "funds", "supports", "replaces",
};
#define GEN_COUNT(a) (sizeof(a) / sizeof((a)[0]))

/* The two shapes of benchmark graph: many short observations per entity
 * (3 to 8 of 7 to 18 words), or few long ones (1 to 2 of 150 to 600 words,
 * about 1 to 4 KB each). */
enum gen_shape { GEN_SHORT = 0, GEN_LONG = 1 };

/* Builds a graph of n entities and m relations from seed. Names are unique;
 * texts mix ASCII, UTF-8, quotes, backslashes and control characters. Every
 * field stays within the loader's limits, so a load and a save reproduce the
 * file byte for byte. */
static inline void gen_build(gen_graph *g, uint32_t n, uint32_t m, uint64_t seed,
                             gen_shape shape = GEN_SHORT) {
    gen_rng r = {seed};
    g->tag_count = n / 4 + 1;
    g->names.resize(n);
    g->types.resize(n);
    g->obs.resize(n);
    for (uint32_t i = 0; i < n; i++) {
        std::string name = "Entity ";
        char num[32];
        snprintf(num, sizeof num, "%05u", i);
        name += num;
        name += ' ';
        name += gen_words[gen_below(&r, GEN_COUNT(gen_words))];
        if (i % 7 == 3) name += " \"quoted\"";
        if (i % 11 == 5) name += " back\\slash";
        g->names[i] = name;
        g->types[i] = gen_entity_types[gen_below(&r, GEN_COUNT(gen_entity_types))];
        uint32_t k = shape == GEN_LONG ? 1 + gen_below(&r, 2) : 3 + gen_below(&r, 6);
        for (uint32_t j = 0; j < k; j++) {
            std::string t;
            uint32_t words = shape == GEN_LONG ? 150 + gen_below(&r, 451) : 7 + gen_below(&r, 12);
            for (uint32_t w = 0; w < words; w++) {
                if (w) t += ' ';
                t += gen_words[gen_below(&r, GEN_COUNT(gen_words))];
            }
            if (j == 0) {
                snprintf(num, sizeof num, " tag%05u", gen_below(&r, g->tag_count));
                t += num;
            }
            switch (gen_below(&r, 10)) {
            case 0: t += " said \"yes\""; break;
            case 1: t += " path C:\\Users\\x"; break;
            case 2: t += "\tcol2\ncont"; break;
            case 3: t += " ctl\x01\x1f\x7f"; break;
            case 4: t += "\r\n\b\f"; break;
            default: break;
            }
            g->obs[i].push_back(t);
        }
    }
    g->rel_from.resize(n ? m : 0);
    g->rel_to.resize(n ? m : 0);
    g->rel_types.resize(n ? m : 0);
    for (uint32_t i = 0; n && i < m; i++) {
        g->rel_from[i] = gen_below(&r, n);
        g->rel_to[i] = gen_below(&r, n);
        g->rel_types[i] = gen_rel_types[gen_below(&r, GEN_COUNT(gen_rel_types))];
    }
}

/* The graph file text, exactly as the product's writer lays it out. */
static inline void gen_file_text(const gen_graph *g, std::string &o) {
    for (size_t i = 0; i < g->names.size(); i++) {
        o += "{\"type\":\"entity\",\"name\":";
        gen_json_str(o, g->names[i]);
        o += ",\"entityType\":";
        gen_json_str(o, g->types[i]);
        o += ",\"observations\":[";
        for (size_t j = 0; j < g->obs[i].size(); j++) {
            if (j) o += ',';
            gen_json_str(o, g->obs[i][j]);
        }
        o += "]}\n";
    }
    for (size_t i = 0; i < g->rel_from.size(); i++) {
        o += "{\"type\":\"relation\",\"from\":";
        gen_json_str(o, g->names[g->rel_from[i]]);
        o += ",\"to\":";
        gen_json_str(o, g->names[g->rel_to[i]]);
        o += ",\"relationType\":";
        gen_json_str(o, g->rel_types[i]);
        o += "}\n";
    }
}

/* One MCP tools/call line (with its line feed) for the given tool and the
 * JSON text of its arguments. */
static inline void gen_call(std::string &o, uint32_t id, const char *tool, const std::string &args) {
    char head[96];
    snprintf(head, sizeof head, "{\"jsonrpc\":\"2.0\",\"id\":%u,\"method\":\"tools/call\",\"params\":{\"name\":", id);
    o += head;
    gen_json_str(o, tool);
    o += ",\"arguments\":";
    o += args;
    o += "}}\n";
}

/* open_nodes request number i: one to three existing names (the empty graph
 * asks for a name that does not exist). */
static inline std::string gen_open_args(const gen_graph *g, gen_rng *r) {
    std::string a = "{\"names\":[";
    uint32_t n = (uint32_t)g->names.size();
    uint32_t k = 1 + gen_below(r, 3);
    for (uint32_t j = 0; j < k; j++) {
        if (j) a += ',';
        gen_json_str(a, n ? g->names[gen_below(r, n)] : std::string("nobody"));
    }
    a += "]}";
    return a;
}

/* search_nodes request: a tag written in capitals, found in a few entities. */
static inline std::string gen_search_args(const gen_graph *g, gen_rng *r) {
    char q[64];
    snprintf(q, sizeof q, "{\"query\":\"TAG%05u\"}", gen_below(r, g->tag_count));
    return q;
}

#endif
