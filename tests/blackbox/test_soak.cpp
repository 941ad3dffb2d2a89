// test_soak.cpp - MCP servers and CGI requests change and read one graph at
// the same time for a bounded time. No answered change may be lost, no read
// may fail, and a writer that is turned away hears exactly that the graph is
// busy.
#include <atomic>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <yyjson.h>

#include "graph_check.h"
#include "live.h"

namespace {

const char busy_text[] = "the graph is busy; try again";

struct tally {
    std::mutex m;
    std::set<std::string> ents;     // entities whose creation was answered
    std::set<std::string> hub_obs;  // observations on "hub" whose addition was answered
    std::vector<std::string> faults;
    long changes = 0, busy = 0, reads = 0;

    void fault(const std::string &what) {
        std::lock_guard<std::mutex> g(m);
        if (faults.size() < 20) faults.push_back(what);
    }
};

// The JSON body of a CGI answer, or null.
yyjson_doc *cgi_body(const std::string &out) {
    size_t end = out.find("\r\n\r\n");
    if (end == std::string::npos) return nullptr;
    return yyjson_read(out.data() + end + 4, out.size() - end - 4, 0);
}

// One stream of CGI requests: adds entities and hub observations, reads the
// stats and the graph, until the end time.
void cgi_stream(int k, const std::string &dir, const env_list &extra, double until, tally *t) {
    for (long j = 0; now_s() < until; j++) {
        std::string name = "c" + std::to_string(k) + "-" + std::to_string(j);
        const char *reads[] = {"action=stats", "action=graph", "action=search&q=hub"};
        struct step {
            std::string qs;
            bool change;
            bool hub;
        } steps[] = {{"action=add_entity&name=" + name + "&entityType=t", true, false},
                     {"action=add_obs&name=hub&contents=" + name, true, true},
                     {reads[j % 3], false, false}};
        for (const step &s : steps) {
            for (;;) {  // a refused change is tried again
                env_list env = extra;
                env.push_back({"REQUEST_METHOD", "GET"});
                env.push_back({"QUERY_STRING", s.qs});
                exe_result r = run_plugin({}, env, "", dir, 60);
                yyjson_doc *d = cgi_body(r.out);
                yyjson_val *root = yyjson_doc_get_root(d);
                bool ok = yyjson_get_bool(yyjson_obj_get(root, "ok"));
                const char *err = yyjson_get_str(yyjson_obj_get(root, "error"));
                std::string error = err ? err : "";
                yyjson_doc_free(d);
                std::lock_guard<std::mutex> g(t->m);
                if (ok && s.hub && r.out.find("\"addedObservations\":[\"" + name + "\"]") == std::string::npos) {
                    if (t->faults.size() < 20) t->faults.push_back("CGI observation not added: " + r.out.substr(0, 300));
                    break;
                }
                if (ok) {
                    if (!s.change) t->reads++;
                    else if (s.hub) t->hub_obs.insert(name), t->changes++;
                    else t->ents.insert(name), t->changes++;
                    break;
                }
                if (s.change && error == busy_text && r.out.find("Status:") == std::string::npos) {
                    t->busy++;
                    continue;
                }
                if (t->faults.size() < 20) t->faults.push_back("CGI " + s.qs + ": " + r.out.substr(0, 300));
                break;
            }
        }
    }
}

TEST(soak, concurrent_writers_and_readers_lose_nothing) {
    temp_dir dir;
    const std::string graph = dir.path + "/memory.jsonl";
    // A short lock time-out, so that writers are really turned away now and
    // then and the busy answer is seen.
    const env_list extra = {{"MEMORY_LOCK_TIMEOUT_MS", "30"}, {"MEMORY_MAX_OBS", "200000"}};
    env_list env = base_env(dir.path);
    env.insert(env.end(), extra.begin(), extra.end());
    exe_result r = run_plugin({"--mcp"}, extra,
                              mcp_call(1, "create_entities", "{\"entities\":[{\"name\":\"hub\",\"entityType\":\"t\"}]}"),
                              dir.path);
    ASSERT_NE(r.out.find("\"isError\":false"), std::string::npos) << r.out;

    const double seconds = 20, t0 = now_s(), until = t0 + seconds;
    tally t;
    std::vector<std::thread> cgi;
    for (int k = 0; k < 2; k++) cgi.emplace_back(cgi_stream, k, dir.path, extra, until, &t);

    // MCP servers: four writers and one reader, one request in flight each.
    const int nwriters = 4, nservers = nwriters + 1;
    live_child srv[nservers];
    std::string last[nservers];   // the request in flight, to send again when refused
    std::string what[nservers];   // the entity or hub observation it adds
    long seq[nservers] = {};
    for (int i = 0; i < nservers; i++) ASSERT_TRUE(srv[i].start({"--mcp"}, env));
    auto next = [&](int i) {
        long n = ++seq[i];
        if (i == nwriters) {
            last[i] = n % 3 == 0 ? "{\"jsonrpc\":\"2.0\",\"id\":0,\"method\":\"resources/read\",\"params\":{\"uri\":"
                                   "\"memory://knowledge-graph\"}}\n"
                      : n % 3 == 1 ? mcp_call(n, "read_graph", "{}")
                                   : mcp_call(n, "search_nodes", "{\"query\":\"m\"}");
        } else if (n % 2) {
            what[i] = "m" + std::to_string(i) + "-" + std::to_string(n);
            last[i] = mcp_call(n, "create_entities",
                               "{\"entities\":[{\"name\":\"" + what[i] + "\",\"entityType\":\"t\",\"observations\":[\"o\"]}]}");
        } else {
            what[i] = "h" + std::to_string(i) + "-" + std::to_string(n);
            last[i] = mcp_call(n, "add_observations",
                               "{\"observations\":[{\"entityName\":\"hub\",\"contents\":[\"" + what[i] + "\"]}]}");
        }
        srv[i].send(last[i]);
    };
    for (int i = 0; i < nservers; i++) next(i);
    while (now_s() < until) {
        std::vector<pollfd> fds;
        for (auto &s : srv) fds.push_back({s.out, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 100) < 0) break;
        for (int i = 0; i < nservers; i++) {
            if (!fds[i].revents) continue;
            if (!srv[i].pump()) {
                t.fault("MCP server " + std::to_string(i) + " ended");
                continue;
            }
            std::string line;
            while (srv[i].take_line(&line)) {
                enum { done, again } then = done;
                {
                    std::lock_guard<std::mutex> g(t.m);
                    bool is_error = false;
                    std::string text;
                    if (i == nwriters) {
                        bool resource = line.find("\"contents\":[{\"uri\":") != std::string::npos;
                        bool ok = resource ? line.find("\"text\":\"{}\"") == std::string::npos
                                           : tool_answer(line, &is_error, &text) && !is_error;
                        if (ok) t.reads++;
                        else if (t.faults.size() < 20) t.faults.push_back("MCP read " + last[i] + " -> " + line.substr(0, 300));
                    } else if (!tool_answer(line, &is_error, &text)) {
                        if (t.faults.size() < 20) t.faults.push_back("MCP " + last[i] + " -> " + line.substr(0, 300));
                    } else if (is_error && text == busy_text) {
                        t.busy++;
                        then = again;
                    } else if (is_error) {
                        if (t.faults.size() < 20) t.faults.push_back("MCP " + last[i] + " -> " + text);
                    } else if (what[i][0] == 'm') {
                        t.ents.insert(what[i]);
                        t.changes++;
                    } else if (line.find("\"addedObservations\":[\"" + what[i] + "\"]") != std::string::npos) {
                        t.hub_obs.insert(what[i]);
                        t.changes++;
                    } else if (t.faults.size() < 20) {
                        t.faults.push_back("MCP observation not added: " + line.substr(0, 300));
                    }
                }
                if (then == again) srv[i].send(last[i]);  // refused: the same change again
                else next(i);
            }
        }
    }
    for (auto &th : cgi) th.join();
    for (auto &s : srv) EXPECT_EQ(s.finish(30), 0);
    const double elapsed = now_s() - t0;

    for (const std::string &f : t.faults) ADD_FAILURE() << f;
    graph_view g = read_graph_file(graph);
    EXPECT_EQ(g.unreadable, 0u);
    size_t lost = 0;
    for (const std::string &name : t.ents) lost += !g.ents.count(name);
    for (const std::string &o : t.hub_obs) lost += !g.ents["hub"].count(o);
    EXPECT_EQ(lost, 0u) << "answered changes missing from the graph file";
    EXPECT_GT(t.changes, 0);
    std::cout << "[ figures  ] " << t.changes << " changes in " << elapsed << " s = " << t.changes / elapsed
              << " changes/s held, " << t.reads << " reads, " << t.busy << " busy answers (all retried), "
              << lost << " lost, " << t.faults.size() << " faults\n";
}

}  // namespace
