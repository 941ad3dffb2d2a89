// graph_check.h - reads a graph file the way the store accepts it and tells
// which entities and observations it holds and how many lines it could not
// read, for tests that check what survived a crash or a race.
#ifndef PLUGIN_MEMORY_TESTS_GRAPH_CHECK_H
#define PLUGIN_MEMORY_TESTS_GRAPH_CHECK_H

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <yyjson.h>

struct graph_view {
    bool exists = false;
    size_t unreadable = 0;                               // lines neither entity nor relation
    size_t relations = 0;
    std::map<std::string, std::set<std::string>> ents;  // name -> observations
};

inline std::string file_text(const std::string &path, bool *exists = nullptr) {
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (exists) *exists = f != nullptr;
    if (!f) return s;
    char b[65536];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0) s.append(b, n);
    fclose(f);
    return s;
}

// Names in dir that begin with prefix.
inline std::vector<std::string> files_with_prefix(const std::string &dir, const std::string &prefix) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

inline bool str_member(yyjson_val *o, const char *key) { return yyjson_is_str(yyjson_obj_get(o, key)); }

inline graph_view read_graph_file(const std::string &path) {
    graph_view g;
    std::string text = file_text(path, &g.exists);
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {  // a last line without its line feed is torn
            g.unreadable++;
            break;
        }
        std::string line = text.substr(start, nl - start);
        start = nl + 1;
        if (line.empty()) continue;
        yyjson_doc *d = yyjson_read(line.data(), line.size(), 0);
        yyjson_val *o = yyjson_doc_get_root(d);
        yyjson_val *type = yyjson_obj_get(o, "type");
        if (yyjson_equals_str(type, "entity") && str_member(o, "name") && str_member(o, "entityType") &&
            yyjson_is_arr(yyjson_obj_get(o, "observations"))) {
            auto &obs = g.ents[yyjson_get_str(yyjson_obj_get(o, "name"))];
            size_t i, n;
            yyjson_val *v;
            yyjson_arr_foreach(yyjson_obj_get(o, "observations"), i, n, v) {
                if (yyjson_is_str(v)) obs.insert(yyjson_get_str(v));
            }
        } else if (yyjson_equals_str(type, "relation") && str_member(o, "from") && str_member(o, "to") &&
                   str_member(o, "relationType")) {
            g.relations++;
        } else {
            g.unreadable++;
        }
        yyjson_doc_free(d);
    }
    return g;
}

// The "isError" and first text of a tools/call answer line; false when the
// line is not such an answer.
inline bool tool_answer(const std::string &line, bool *is_error, std::string *text, long *id = nullptr) {
    yyjson_doc *d = yyjson_read(line.data(), line.size(), 0);
    yyjson_val *root = yyjson_doc_get_root(d);
    yyjson_val *res = yyjson_obj_get(root, "result");
    yyjson_val *err = yyjson_obj_get(res, "isError");
    yyjson_val *item = yyjson_arr_get(yyjson_obj_get(res, "content"), 0);
    bool ok = yyjson_is_bool(err) && yyjson_is_str(yyjson_obj_get(item, "text"));
    if (ok) {
        *is_error = yyjson_get_bool(err);
        *text = yyjson_get_str(yyjson_obj_get(item, "text"));
        if (id) *id = (long)yyjson_get_num(yyjson_obj_get(root, "id"));
    }
    yyjson_doc_free(d);
    return ok;
}

#endif
