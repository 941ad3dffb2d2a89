// fuzz_graph.cpp - any bytes as a graph file: load it, save it and load the
// saved file again. The two loads must give the same graph and the two saves
// the same bytes; a file without zero bytes must also survive the first
// round unchanged in what it holds; the graph a save keeps for the next call
// must be the one a load of the saved file gives; after edits, a save that
// copies the lines it did not change must still write the whole graph.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_util.h"
#include "store/store_internal.h"

namespace {

// A deep copy of G in plain strings, so two loads can be compared.
struct snapshot {
    std::vector<std::string> ents;  // name, type and observations, joined
    std::vector<std::string> rels;
    std::vector<std::string> bad;
    bool operator==(const snapshot &o) const { return ents == o.ents && rels == o.rels && bad == o.bad; }
};

std::string field(const char *s) { return std::string(s ? s : "") + '\x1e'; }

snapshot take(void) {
    snapshot s;
    for (uint64_t i = 0; i < G.ent_count; i++) {
        const ent &e = G.ents[i];
        std::string t = field(e.name) + field(e.entity_type);
        for (uint64_t j = 0; j < e.obs_count; j++) t += field(e.obs[j]);
        s.ents.push_back(t);
    }
    for (uint64_t i = 0; i < G.rel_count; i++)
        s.rels.push_back(field(G.rels[i].from) + field(G.rels[i].to) + field(G.rels[i].relation_type));
    for (uint64_t i = 0; i < G.bad_count; i++) s.bad.push_back(field(G.bad[i]));
    return s;
}

void load_or_die(void) {
    if (graph_load() != STORE_OK) abort();
}

void save_or_die(void) {
    if (graph_save() != STORE_OK) abort();
}

// Choices drawn from the input: a generator seeded with a hash of all of
// it, since graph files mostly start with the same bytes.
struct chooser {
    uint64_t state;
    unsigned next(unsigned n) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (unsigned)((state >> 33) % n);
    }
};

int rel_marked(const rel *r, void *ctx) {
    (void)r;
    return ((chooser *)ctx)->next(3) == 0;
}

// Edits G through the store's own functions, as the input chooses: an
// observation added to or removed from some entities, some entities and
// relations removed.
void edit(const uint8_t *data, size_t size) {
    chooser c = {str_hash_n((const char *)data, size)};
    std::vector<unsigned char> marks(G.ent_count + 1, 0);
    for (uint64_t i = 0; i < G.ent_count; i++) {
        ent *e = &G.ents[i];
        switch (c.next(5)) {
        case 0:
            obs_push(&G, e, "added \"\n\u00e9");
            break;
        case 1:
            if (e->obs_count) {
                const char *o = e->obs[c.next((unsigned)e->obs_count)];
                std::string text = o ? o : "";
                obs_remove(&G, e, text.data(), text.size());
            }
            break;
        case 2:
            marks[i] = 1;
            break;
        }
    }
    ents_remove_marked(&G, marks.data());
    rels_remove_matching(&G, rel_marked, &c);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_graph_dir();
    setenv("MEMORY_MAX_ENTITIES", "30", 1);
    setenv("MEMORY_MAX_RELATIONS", "30", 1);
    setenv("MEMORY_MAX_OBS", "6", 1);
    setenv("MEMORY_MAX_BAD", "30", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = fuzz::graph_file();
    fuzz::write_file(path, data, size);

    load_or_die();
    // A load that had to leave part of the file out for a limit is never
    // saved: the file must stay exactly as it was.
    if (G.cut & (CUT_OBS | CUT_BAD)) {
        if (graph_save() == STORE_OK) abort();
        if (fuzz::read_file(path) != std::string((const char *)data, size)) abort();
        graph_clear(&G);
        return 0;
    }
    snapshot first = take();
    save_or_die();
    std::string saved1 = fuzz::read_file(path);
    // The graph a save keeps for the next call must be the graph a load of
    // the saved file gives.
    load_or_die();
    snapshot kept = take();
    graph_forget();
    load_or_die();
    snapshot second = take();
    if (!(kept == second)) abort();
    save_or_die();
    std::string saved2 = fuzz::read_file(path);

    if (saved1 != saved2) abort();
    // A zero byte cuts a kept line short, and the cut text may read as an
    // entity the next time; without one, the saved file holds the same graph.
    if (!memchr(data, 0, size) && !(first == second)) abort();
    // Every saved line is an entity, a relation or a kept line, and ends
    // with a line feed.
    if (!saved1.empty() && saved1.back() != '\n') abort();
    char tmp[SIDE_PATH_CAP];
    if (graph_temp_path(path.c_str(), tmp, sizeof tmp) != STORE_OK) abort();
    if (access(tmp, F_OK) == 0) abort();

    // Edits chosen by the input, then one more save, which copies the lines
    // no edit touched from the file the last save wrote: the file must be
    // the whole edited graph as formatting it gives, and load back as it.
    edit(data, size);
    snapshot edited = take();
    save_or_die();
    buf b;
    buf_init(&b);
    graph_format(&G, &b);
    if (fuzz::read_file(path) != std::string(buf_str(&b), (size_t)b.len)) abort();
    buf_free(&b);
    graph_forget();
    load_or_die();
    if (!memchr(data, 0, size) && G.bad_count == 0 && !(take() == edited)) abort();
    graph_clear(&G);
    return 0;
}
