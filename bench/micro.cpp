// micro.cpp - micro-benchmarks of the hot paths: loading the graph file,
// formatting the file text, the case-folding search, the JSON string writer
// and the MCP handling of one read request.
//
// The graphs are the generator's (gen.h), written once per size into a
// temporary directory that is removed at exit.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <benchmark/benchmark.h>

#include "gen.h"
#include "mcp/mcp.h"
#include "store/store_internal.h"

static char g_dir[256];
static std::string g_text[2];  // file text per size index
static gen_graph g_gen[2];
static const uint32_t SIZES[2] = {1000, 20000};

static void cleanup(void) {
    for (int i = 0; i < 2; i++) {
        char p[512];
        snprintf(p, sizeof p, "%s/graph%d.jsonl", g_dir, i);
        unlink(p);
    }
    if (g_dir[0]) rmdir(g_dir);
}

// Generates (once) the graph of size index i and points the store at it.
static int use_size(int i) {
    if (g_text[i].empty()) {
        gen_build(&g_gen[i], SIZES[i], SIZES[i] * 2, 0x6d656d6f72793031ULL);
        gen_file_text(&g_gen[i], g_text[i]);
        char p[512];
        snprintf(p, sizeof p, "%s/graph%d.jsonl", g_dir, i);
        FILE *f = fopen(p, "wb");
        if (!f) return -1;
        fwrite(g_text[i].data(), 1, g_text[i].size(), f);
        fclose(f);
    }
    char p[512];
    snprintf(p, sizeof p, "%s/graph%d.jsonl", g_dir, i);
    setenv("MEMORY_FILE_PATH", p, 1);
    store_reset_path();
    return 0;
}

static int idx_of(const benchmark::State &st) { return st.range(0) == (int64_t)SIZES[0] ? 0 : 1; }

static void BM_graph_load(benchmark::State &st) {
    int i = idx_of(st);
    if (use_size(i)) {
        st.SkipWithError("cannot write the graph");
        return;
    }
    for (auto _ : st) {
        graph_forget();  // a load of the file, not the reuse of the kept graph
        store_rc rc = graph_load();
        if (rc != STORE_OK) {
            char msg[STORE_MESSAGE_CAP];
            st.SkipWithError(store_message(rc, msg, sizeof msg));
            break;
        }
    }
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)g_text[i].size());
    graph_clear(&G);
}
BENCHMARK(BM_graph_load)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

static void BM_graph_format(benchmark::State &st) {
    int i = idx_of(st);
    if (use_size(i) || graph_load() != STORE_OK) {
        st.SkipWithError("cannot load the graph");
        return;
    }
    buf b;
    buf_init(&b);
    graph_format(&G, &b);
    // The generator writes the file exactly as the product's writer does, so
    // a load and a format must give the same bytes back.
    if (b.len != g_text[i].size() || memcmp(b.data, g_text[i].data(), b.len) != 0)
        st.SkipWithError("graph_format differs from the loaded file");
    buf_free(&b);
    for (auto _ : st) {
        buf_init(&b);
        graph_format(&G, &b);
        benchmark::DoNotOptimize(b.data);
        buf_free(&b);
    }
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)g_text[i].size());
    graph_clear(&G);
}
BENCHMARK(BM_graph_format)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

// The search's inner loop over every text of the graph, with a needle that
// matches nowhere (the worst case: every text is scanned to its end).
static void BM_str_icontains(benchmark::State &st) {
    int i = idx_of(st);
    if (use_size(i) || graph_load() != STORE_OK) {
        st.SkipWithError("cannot load the graph");
        return;
    }
    int64_t bytes = 0;
    for (uint64_t e = 0; e < G.ent_count; e++) {
        bytes += (int64_t)(strlen(G.ents[e].name) + strlen(G.ents[e].entity_type));
        for (uint64_t o = 0; o < G.ents[e].obs_count; o++) bytes += (int64_t)strlen(G.ents[e].obs[o]);
    }
    for (auto _ : st) {
        int hits = 0;
        for (uint64_t e = 0; e < G.ent_count; e++) {
            const ent *x = &G.ents[e];
            if (str_icontains(x->name, "TAGZZZZZ") || str_icontains(x->entity_type, "TAGZZZZZ")) hits++;
            for (uint64_t o = 0; o < x->obs_count; o++) hits += str_icontains(x->obs[o], "TAGZZZZZ");
        }
        benchmark::DoNotOptimize(hits);
    }
    st.SetBytesProcessed(st.iterations() * bytes);
    graph_clear(&G);
}
BENCHMARK(BM_str_icontains)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

// Every observation text of the 20,000-entity graph through json_str.
static void BM_json_str(benchmark::State &st) {
    use_size(1);
    const gen_graph *g = &g_gen[1];
    int64_t bytes = 0;
    for (const auto &v : g->obs)
        for (const auto &t : v) bytes += (int64_t)t.size();
    buf b;
    buf_init(&b);
    for (auto _ : st) {
        b.len = 0;
        for (const auto &v : g->obs)
            for (const auto &t : v) json_str(&b, t.c_str());
        benchmark::DoNotOptimize(b.data);
    }
    buf_free(&b);
    st.SetBytesProcessed(st.iterations() * bytes);
}
BENCHMARK(BM_json_str)->Unit(benchmark::kMillisecond);

// One open_nodes request line as the MCP server handles it as the first call
// of a process: parse, load the graph, select, write the result.
static void BM_mcp_open_nodes(benchmark::State &st) {
    int i = idx_of(st);
    if (use_size(i)) {
        st.SkipWithError("cannot write the graph");
        return;
    }
    gen_rng r = {42};
    std::string line;
    gen_call(line, 1, "open_nodes", gen_open_args(&g_gen[i], &r));
    line.pop_back();  // the server hands the line over without its line feed
    buf out;
    buf_init(&out);
    for (auto _ : st) {
        out.len = 0;
        graph_forget();  // the first call of a process: the graph is read
        mcp_handle_line(line.data(), line.size(), &out);
        benchmark::DoNotOptimize(out.data);
    }
    if (out.len == 0 || strstr(buf_str(&out), "\"isError\":true")) st.SkipWithError("open_nodes gave no result");
    buf_free(&out);
    graph_clear(&G);
}
BENCHMARK(BM_mcp_open_nodes)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    snprintf(g_dir, sizeof g_dir, "%s", "/tmp/plugin_memory_micro.XXXXXX");
    if (!mkdtemp(g_dir)) return 1;
    atexit(cleanup);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
