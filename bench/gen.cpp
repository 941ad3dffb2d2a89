// gen.cpp - writes one benchmark size: the graph file and the MCP request
// sessions that run against it, all from a fixed seed.
//
//   bench_gen <entities> <relations> <dir> [reads] [changes] [short|long]
//
// The last argument picks the graph's shape (gen.h): many short
// observations (the default) or few long ones.
//
// Files written into <dir>:
//   graph.jsonl   the graph in the graph file's own format
//   open.jsonl    <reads> open_nodes calls (default 1000)
//   search.jsonl  <reads> search_nodes calls (default 1000)
//   change.jsonl  <changes> add_observations calls of one new text each (default 100)
//   query.txt     a search text for the CGI search action (no line feed)
#include <stdio.h>
#include <stdlib.h>

#include "gen.h"

static const uint64_t GRAPH_SEED = 0x6d656d6f72793031ULL;
static const uint64_t SESSION_SEED = 0x73657373696f6e31ULL;

static int write_file(const std::string &dir, const char *name, const std::string &text) {
    std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) {
        fprintf(stderr, "bench_gen: cannot create %s\n", path.c_str());
        return -1;
    }
    size_t w = fwrite(text.data(), 1, text.size(), f);
    if (fclose(f) != 0 || w != text.size()) {
        fprintf(stderr, "bench_gen: cannot write %s\n", path.c_str());
        return -1;
    }
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: bench_gen <entities> <relations> <dir> [reads] [changes] [short|long]\n");
        return 2;
    }
    uint32_t n = (uint32_t)strtoul(argv[1], nullptr, 10);
    uint32_t m = (uint32_t)strtoul(argv[2], nullptr, 10);
    std::string dir = argv[3];
    uint32_t reads = argc > 4 ? (uint32_t)strtoul(argv[4], nullptr, 10) : 1000;
    uint32_t changes = argc > 5 ? (uint32_t)strtoul(argv[5], nullptr, 10) : 100;
    gen_shape shape = argc > 6 && std::string(argv[6]) == "long" ? GEN_LONG : GEN_SHORT;

    gen_graph g;
    gen_build(&g, n, m, GRAPH_SEED, shape);
    std::string text;
    text.reserve((size_t)n * (shape == GEN_LONG ? 3600 : 900) + (size_t)m * 140);
    gen_file_text(&g, text);
    if (write_file(dir, "graph.jsonl", text)) return 1;

    gen_rng r = {SESSION_SEED};
    std::string open, search, change;
    for (uint32_t i = 0; i < reads; i++) {
        gen_call(open, i + 1, "open_nodes", gen_open_args(&g, &r));
        gen_call(search, i + 1, "search_nodes", gen_search_args(&g, &r));
    }
    for (uint32_t i = 0; i < changes; i++) {
        // Only existing entities can take observations; the empty graph gets
        // calls that fail their check, which is all it can do.
        std::string a = "{\"observations\":[{\"entityName\":";
        gen_json_str(a, n ? g.names[gen_below(&r, n)] : std::string("nobody"));
        char t[96];
        snprintf(t, sizeof t, "benchmark change %u: \"quoted\" \\ é\t", i);
        a += ",\"contents\":[";
        gen_json_str(a, t);
        a += "]}]}";
        gen_call(change, i + 1, "add_observations", a);
    }
    char q[32];
    snprintf(q, sizeof q, "TAG%05u", gen_below(&r, g.tag_count));
    if (write_file(dir, "open.jsonl", open) || write_file(dir, "search.jsonl", search) ||
        write_file(dir, "change.jsonl", change) || write_file(dir, "query.txt", q))
        return 1;
    printf("%s: %u entities, %u relations, %zu bytes\n", dir.c_str(), n, (unsigned)g.rel_from.size(),
           text.size());
    return 0;
}
