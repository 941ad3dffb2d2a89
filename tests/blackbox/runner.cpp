// runner.cpp - runs every case of tests/cases/*.cases against the built
// executable, one registered test per case (format in tests/cases/README.md,
// named graph fixtures and the MCP tool-result shorthand included);
// then once more, per file, every MCP case in one long-lived process, and
// every CGI case through a FastCGI worker.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "cgi/cgi.h"
#include "exec.h"
#include "live.h"
#include "tools/tools.h"

extern char **environ;

/*==============================================================================
 * Running a child process
 *============================================================================*/

exe_result run_exe(const std::string &exe, const std::vector<std::string> &args,
                   const std::vector<std::pair<std::string, std::string>> &env,
                   const std::string &input, const std::string &cwd, int timeout_s) {
    exe_result r;
    // Everything the child needs is prepared before fork: after it only
    // async-signal-safe calls are made.
    std::vector<std::string> envs;
    for (auto &kv : env) envs.push_back(kv.first + "=" + kv.second);
    std::vector<char *> argv, envp;
    argv.push_back((char *)exe.c_str());
    for (auto &a : args) argv.push_back((char *)a.c_str());
    argv.push_back(nullptr);
    for (auto &e : envs) envp.push_back((char *)e.c_str());
    envp.push_back(nullptr);

    int pin[2], pout[2], perr[2];
    if (pipe2(pin, O_CLOEXEC) != 0) { r.failure = "pipe failed"; return r; }
    if (pipe2(pout, O_CLOEXEC) != 0) { close(pin[0]); close(pin[1]); r.failure = "pipe failed"; return r; }
    if (pipe2(perr, O_CLOEXEC) != 0) {
        close(pin[0]); close(pin[1]); close(pout[0]); close(pout[1]);
        r.failure = "pipe failed";
        return r;
    }
    pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {pin[0], pin[1], pout[0], pout[1], perr[0], perr[1]}) close(fd);
        r.failure = "fork failed";
        return r;
    }
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(pin[0], 0);
        dup2(pout[1], 1);
        dup2(perr[1], 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execve(exe.c_str(), argv.data(), envp.data());
        static const char msg[] = "runner: execve failed\n";
        ssize_t ignored = write(2, msg, sizeof msg - 1);
        (void)ignored;
        _exit(127);
    }
    close(pin[0]);
    close(pout[1]);
    close(perr[1]);
    int in_fd = pin[1], out_fd = pout[0], err_fd = perr[0];
    fcntl(in_fd, F_SETFL, fcntl(in_fd, F_GETFL) | O_NONBLOCK);
    size_t in_off = 0;
    if (input.empty()) { close(in_fd); in_fd = -1; }
    double deadline = now_s() + timeout_s;
    char chunk[65536];
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3];
        int n = 0, i_in = -1, i_out = -1, i_err = -1;
        if (in_fd >= 0) { i_in = n; fds[n++] = {in_fd, POLLOUT, 0}; }
        if (out_fd >= 0) { i_out = n; fds[n++] = {out_fd, POLLIN, 0}; }
        if (err_fd >= 0) { i_err = n; fds[n++] = {err_fd, POLLIN, 0}; }
        double left = deadline - now_s();
        if (left <= 0) { r.timed_out = true; break; }
        int pr = poll(fds, (nfds_t)n, (int)(left * 1000) + 1);
        if (pr < 0) {
            if (errno == EINTR) continue;
            r.failure = "poll failed";
            break;
        }
        if (i_in >= 0 && fds[i_in].revents) {
            ssize_t w = write(in_fd, input.data() + in_off, std::min<size_t>(input.size() - in_off, 65536));
            if (w > 0) in_off += (size_t)w;
            if ((w < 0 && errno != EAGAIN && errno != EINTR) || in_off == input.size()) {
                close(in_fd); // the child stopped reading, or all is sent
                in_fd = -1;
            }
        }
        for (int k : {i_out, i_err}) {
            if (k < 0 || !fds[k].revents) continue;
            int &fd = k == i_out ? out_fd : err_fd;
            ssize_t got = read(fd, chunk, sizeof chunk);
            if (got > 0) (k == i_out ? r.out : r.err).append(chunk, (size_t)got);
            else if (got == 0 || (errno != EINTR && errno != EAGAIN)) { close(fd); fd = -1; }
        }
    }
    if (r.timed_out || !r.failure.empty()) kill(pid, SIGKILL);
    for (int fd : {in_fd, out_fd, err_fd})
        if (fd >= 0) close(fd);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {}
    if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st)) r.signal = WTERMSIG(st);
    return r;
}

std::vector<std::pair<std::string, std::string>> base_env(const std::string &dir) {
    std::vector<std::pair<std::string, std::string>> env;
    const char *path = getenv("PATH");
    env.push_back({"PATH", path ? path : "/usr/bin:/bin"});
    env.push_back({"HOME", dir + "/home"});
    env.push_back({"MEMORY_FILE_PATH", dir + "/memory.jsonl"});
    // A sanitizer build must keep its settings in the child.
    for (const char *v : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *val = getenv(v)) env.push_back({v, val});
    return env;
}

exe_result run_plugin(const std::vector<std::string> &args,
                      const std::vector<std::pair<std::string, std::string>> &extra,
                      const std::string &input, const std::string &dir, int timeout_s) {
    auto env = base_env(dir);
    env.insert(env.end(), extra.begin(), extra.end());
    return run_exe(plugin_exe(), args, env, input, dir, timeout_s);
}

std::string make_temp_dir() {
    const char *t = getenv("TMPDIR");
    std::string tmpl = std::string(t && *t ? t : "/tmp") + "/plugin_memory_bb.XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back(0);
    if (!mkdtemp(name.data())) return "";
    return std::string(name.data());
}

static int remove_one(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

void remove_tree(const std::string &dir) {
    if (!dir.empty()) nftw(dir.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
}

std::string show_bytes(const std::string &s) {
    std::string o = "    |";
    char hex[8];
    for (unsigned char c : s) {
        if (c == '\n') o += "\\n\n    |";
        else if (c == '\r') o += "\\r";
        else if (c == '\t') o += "\\t";
        else if (c == '\\') o += "\\\\";
        else if (c >= 0x20 && c < 0x7f) o += (char)c;
        else { snprintf(hex, sizeof hex, "\\x%02x", c); o += hex; }
    }
    return o + "<end>";
}

// Expected and actual text side by side, cut to the region around the
// first difference when they are long.
static std::string show_diff(const std::string &want, const std::string &got) {
    size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i]) i++;
    size_t line = 1 + (size_t)std::count(want.begin(), want.begin() + (long)i, '\n');
    size_t from = 0;
    const size_t keep = 1500;
    if (i > keep) {
        from = want.rfind('\n', i - keep);
        from = from == std::string::npos ? i - keep : from + 1;
    }
    auto cut = [&](const std::string &s) {
        std::string part = from < s.size() ? s.substr(from, 2 * keep) : std::string();
        std::string o = show_bytes(part);
        if (from > 0) o = "    (" + std::to_string(from) + " bytes before)\n" + o;
        if (from + 2 * keep < s.size()) o += " ... (" + std::to_string(s.size()) + " bytes in all)";
        return o;
    };
    std::ostringstream m;
    m << "first difference at byte " << i << " (line " << line << ")\n"
      << "  expected (" << want.size() << " bytes):\n" << cut(want) << "\n"
      << "  actual (" << got.size() << " bytes):\n" << cut(got) << "\n";
    return m.str();
}

/*==============================================================================
 * Case files
 *============================================================================*/

struct bb_case {
    std::string file;       // path of the .cases file
    int line = 0;           // line of the case's "##"
    std::string name;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::string> unset;
    bool has_file = false;
    std::string file_text;  // graph file before the run
    int exit_code = 0;
    std::string input;
    std::string expect;
    bool check_after = false;
    std::string after;
    bool after_unchanged = false;
    bool after_absent = false;
    std::string error;      // a fault in the case's own text
};

static bool starts(const std::string &s, const char *p) { return s.compare(0, strlen(p), p) == 0; }

// Decodes the escapes of a "~" line. Returns false on an unknown escape.
static bool unescape(const std::string &s, std::string &out) {
    out.clear();
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\') { out += s[i]; continue; }
        if (++i >= s.size()) return false;
        switch (s[i]) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '\\': out += '\\'; break;
        case '0': out += '\0'; break;
        case 'x': {
            if (i + 2 >= s.size()) return false;
            std::string h = s.substr(i + 1, 2);
            if (!isxdigit((unsigned char)h[0]) || !isxdigit((unsigned char)h[1]))
                return false;
            out += (char)strtol(h.c_str(), nullptr, 16);
            i += 2;
            break;
        }
        default: return false;
        }
    }
    return true;
}

static void replace_all(std::string &s, const std::string &from, const std::string &to) {
    for (size_t p = 0; (p = s.find(from, p)) != std::string::npos; p += to.size())
        s.replace(p, from.size(), to);
}

// The text after a line's kind marker: "> text" gives "text", ">" gives "".
static std::string rest(const std::string &l, const char *kind) {
    size_t n = strlen(kind);
    return l.size() > n ? l.substr(n + 1) : std::string();
}

// Whether l is of the kind marker: the marker alone, or followed by a space.
static bool is_kind(const std::string &l, const char *kind) {
    size_t n = strlen(kind);
    return starts(l, kind) && (l.size() == n || l[n] == ' ');
}

// The exact line the MCP server writes for a tools/call answered with id:
// the result object when is_error is 0 (compact JSON, in the server's own
// member order), else the error text. False when json is not an object.
static bool tool_answer(const std::string &id, const std::string &body, bool is_error,
                        std::string &line) {
    tool_out out;
    tool_out_init(&out);
    if (is_error) {
        tool_err(&out, "%s", body.c_str());
    } else {
        yyjson_doc *in = yyjson_read(body.data(), body.size(), 0);
        if (!in || !yyjson_is_obj(yyjson_doc_get_root(in))) {
            yyjson_doc_free(in);
            return false;
        }
        out.doc = yyjson_doc_mut_copy(in, nullptr);
        yyjson_doc_free(in);
        out.root = out.doc ? yyjson_mut_doc_get_root(out.doc) : nullptr;
    }
    buf b;
    buf_init(&b);
    tool_mcp_result(&b, &out);
    tool_free(&out);
    bool ok = !b.dropped && b.data;
    if (ok) line = "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":" + std::string(b.data, b.len) + "}\n";
    buf_free(&b);
    return ok;
}

// Splits "ID REST" at the first space; false when either part is empty.
static bool id_and_rest(const std::string &s, std::string &id, std::string &body) {
    size_t sp = s.find(' ');
    if (sp == std::string::npos || sp == 0 || sp + 1 >= s.size()) return false;
    id = s.substr(0, sp);
    body = s.substr(sp + 1);
    return true;
}

static std::vector<bb_case> parse_cases(const std::string &path) {
    std::vector<bb_case> cases;
    std::map<std::string, std::string> fixtures;  // name -> graph file text
    std::string *fixture = nullptr;               // the block being defined
    std::ifstream f(path, std::ios::binary);
    std::string l;
    int ln = 0;
    auto fault = [&](const std::string &why) {
        std::string m = path + ":" + std::to_string(ln) + ": " + why;
        if (cases.empty()) {
            bb_case c;
            c.file = path;
            c.line = ln;
            c.name = "file_format";
            cases.push_back(c);
        }
        if (cases.back().error.empty()) cases.back().error = m;
    };
    while (std::getline(f, l)) {
        ln++;
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (starts(l, "## ")) {
            bb_case c;
            c.file = path;
            c.line = ln;
            c.name = l.substr(3);
            cases.push_back(c);
            fixture = nullptr;
            continue;
        }
        if (l.empty() || l[0] == '#') continue;
        std::string text;
        if (is_kind(l, "@fixture")) {
            std::string name = rest(l, "@fixture");
            if (name.empty() || fixtures.count(name)) fault("@fixture needs a new name");
            fixture = &fixtures[name];
            continue;
        }
        if (fixture) {
            if (is_kind(l, "@file~")) {
                if (!unescape(rest(l, "@file~"), text)) fault("bad escape");
                *fixture += text;
            } else if (is_kind(l, "@file")) {
                *fixture += rest(l, "@file") + "\n";
            } else {
                fault("a fixture holds only @file and @file~ lines");
            }
            continue;
        }
        if (cases.empty()) { fault("a line before the first case"); continue; }
        bb_case &c = cases.back();
        if (is_kind(l, "@args")) {
            c.args.clear();
            std::string a = rest(l, "@args");
            if (!a.empty()) {
                size_t p = 0, q;
                while ((q = a.find(' ', p)) != std::string::npos) { c.args.push_back(a.substr(p, q - p)); p = q + 1; }
                c.args.push_back(a.substr(p));
            }
        } else if (is_kind(l, "@env")) {
            std::string kv = rest(l, "@env");
            size_t eq = kv.find('=');
            if (eq == std::string::npos || eq == 0) fault("@env needs NAME=value");
            else c.env.push_back({kv.substr(0, eq), kv.substr(eq + 1)});
        } else if (is_kind(l, "@unset")) {
            c.unset.push_back(rest(l, "@unset"));
        } else if (is_kind(l, "@file~")) {
            if (!unescape(rest(l, "@file~"), text)) fault("bad escape");
            c.has_file = true;
            c.file_text += text;
        } else if (is_kind(l, "@file-fixture")) {
            auto it = fixtures.find(rest(l, "@file-fixture"));
            if (it == fixtures.end()) fault("no fixture of that name above");
            else { c.has_file = true; c.file_text += it->second; }
        } else if (is_kind(l, "@file")) {
            c.has_file = true;
            c.file_text += rest(l, "@file") + "\n";
        } else if (is_kind(l, "@exit")) {
            std::string n = rest(l, "@exit");
            char *end = nullptr;
            long v = strtol(n.c_str(), &end, 10);
            if (n.empty() || *end) fault("@exit needs a number");
            c.exit_code = (int)v;
        } else if (is_kind(l, ">~")) {
            if (!unescape(rest(l, ">~"), text)) fault("bad escape");
            c.input += text;
        } else if (is_kind(l, ">")) {
            c.input += rest(l, ">") + "\n";
        } else if (is_kind(l, "<tool-result") || is_kind(l, "<tool-error")) {
            bool is_error = is_kind(l, "<tool-error");
            std::string id, body;
            if (!id_and_rest(rest(l, is_error ? "<tool-error" : "<tool-result"), id, body) ||
                !tool_answer(id, body, is_error, text))
                fault(is_error ? "<tool-error needs an id and a text"
                               : "<tool-result needs an id and a JSON object");
            else c.expect += text;
        } else if (is_kind(l, "<~")) {
            if (!unescape(rest(l, "<~"), text)) fault("bad escape");
            c.expect += text;
        } else if (is_kind(l, "<")) {
            c.expect += rest(l, "<") + "\n";
        } else if (is_kind(l, "@after~")) {
            if (!unescape(rest(l, "@after~"), text)) fault("bad escape");
            c.check_after = true;
            c.after += text;
        } else if (l == "@after-unchanged") {
            c.after_unchanged = true;
        } else if (l == "@after-absent") {
            c.after_absent = true;
        } else if (is_kind(l, "@after")) {
            c.check_after = true;
            c.after += rest(l, "@after") + "\n";
        } else {
            fault("unknown line kind: " + l.substr(0, 40));
        }
    }
    return cases;
}

static bool read_file(const std::string &path, std::string &out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream s;
    s << f.rdbuf();
    out = s.str();
    return true;
}

static bool write_file(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    return (bool)f;
}

/*==============================================================================
 * One case as a test
 *============================================================================*/

class case_test : public testing::Test {
public:
    explicit case_test(bb_case c) : c_(std::move(c)) {}
    void TestBody() override;

private:
    bb_case c_;
};

// A case set up to run: its temporary directory (with home/ in it), its
// environment and arguments with $TMP replaced, its graph file in place.
struct case_setup {
    std::string dir;
    std::string graph;
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::string> args;
    std::string where;
};

static void setup_case(const bb_case &c, case_setup *s) {
    ASSERT_TRUE(c.error.empty()) << c.error;
    s->dir = make_temp_dir();
    ASSERT_FALSE(s->dir.empty()) << "cannot create a temporary directory";
    mkdir((s->dir + "/home").c_str(), 0700);
    s->where = c.file + ":" + std::to_string(c.line) + ": case " + c.name;

    s->env = base_env(s->dir);
    auto &env = s->env;
    for (auto &u : c.unset)
        env.erase(std::remove_if(env.begin(), env.end(), [&](auto &kv) { return kv.first == u; }), env.end());
    for (auto kv : c.env) {
        replace_all(kv.second, "$TMP", s->dir);
        auto it = std::find_if(env.begin(), env.end(), [&](auto &e) { return e.first == kv.first; });
        if (it != env.end()) it->second = kv.second;
        else env.push_back(kv);
    }
    s->args = c.args;
    for (auto &a : s->args) replace_all(a, "$TMP", s->dir);

    // The graph file: MEMORY_FILE_PATH when the case makes it absolute.
    s->graph = s->dir + "/memory.jsonl";
    for (auto &kv : env)
        if (kv.first == "MEMORY_FILE_PATH" && starts(kv.second, "/")) s->graph = kv.second;
    if (c.has_file) {
        ASSERT_TRUE(write_file(s->graph, c.file_text)) << "cannot write " << s->graph;
    }
}

// Compares what the run wrote, its status and the graph file after it with
// the case, and removes the directory (unless asked to keep it).
static void check_case(const bb_case &c, const case_setup &s, const exe_result &r) {
    const std::string &where = s.where;
    EXPECT_TRUE(r.failure.empty()) << where << ": " << r.failure;
    EXPECT_FALSE(r.timed_out) << where << ": no exit within 60 s";
    EXPECT_EQ(r.signal, 0) << where << ": killed by signal " << r.signal;
    std::string want = c.expect;
    replace_all(want, "$TMP", s.dir);
    if (r.out != want) ADD_FAILURE() << where << ": standard output differs\n" << show_diff(want, r.out);
    EXPECT_TRUE(r.err.empty()) << where << ": standard error is not empty:\n" << show_bytes(r.err);
    if (!r.timed_out && r.signal == 0) {
        EXPECT_EQ(r.status, c.exit_code) << where << ": exit status";
    }

    std::string now;
    bool exists = read_file(s.graph, now);
    if (c.after_absent) {
        EXPECT_FALSE(exists) << where << ": the graph file exists after the run";
    }
    if (c.after_unchanged) {
        if (!c.has_file) {
            EXPECT_FALSE(exists) << where << ": a graph file appeared";
        } else if (!exists) {
            ADD_FAILURE() << where << ": the graph file is gone";
        } else if (now != c.file_text) {
            ADD_FAILURE() << where << ": the graph file changed\n" << show_diff(c.file_text, now);
        }
    }
    if (c.check_after) {
        std::string after = c.after;
        replace_all(after, "$TMP", s.dir);
        if (!exists) {
            ADD_FAILURE() << where << ": no graph file after the run";
        } else if (now != after) {
            ADD_FAILURE() << where << ": graph file after the run differs\n" << show_diff(after, now);
        }
    }
    if (!getenv("PLUGIN_MEMORY_KEEP_TMP")) remove_tree(s.dir);
    else printf("kept %s\n", s.dir.c_str());
}

void case_test::TestBody() {
    case_setup s;
    setup_case(c_, &s);
    if (HasFatalFailure()) return;
    exe_result r = run_exe(plugin_exe(), s.args, s.env, c_.input, s.dir, 60);
    check_case(c_, s, r);
}

/*==============================================================================
 * The CGI cases once more through a FastCGI worker
 *============================================================================*/

// Debian's CGI-to-FastCGI bridge (libfcgi-bin): run as a CGI program, it
// hands its environment and its body to a FastCGI application on a socket
// as one request and writes the answer out as a CGI program does.
static const char CGI_FCGI[] = "/usr/bin/cgi-fcgi";

// A case the CGI mode answers: no arguments, no mode chosen through the
// environment.
static bool cgi_case(const bb_case &c) {
    if (!c.error.empty() || !c.args.empty() || c.exit_code != 0) return false;
    for (auto &kv : c.env)
        if (kv.first == "TW_PLUGIN_META" || kv.first == "TW_PLUGIN_MCP") return false;
    return true;
}

// A variable the web server hands over with each request (a FastCGI
// parameter), as opposed to one of the worker's own environment (storage,
// limits, locks).
static bool request_var(const std::string &name) {
    static const char *const names[] = {"REQUEST_METHOD", "QUERY_STRING", "CONTENT_TYPE",
                                        "CONTENT_LENGTH", "BOT_PASSWORD", "MEMORY_WEB_HOSTS",
                                        "MEMORY_MCP_HTTP"};
    if (starts(name, "HTTP_")) return true;
    for (const char *n : names)
        if (name == n) return true;
    return false;
}

class fastcgi_case_test : public testing::Test {
public:
    explicit fastcgi_case_test(bb_case c) : c_(std::move(c)) {}
    void TestBody() override;

private:
    bb_case c_;
};

// Starts exe --fastcgi with the listening socket listen_fd as its standard
// input (as a web server's process manager does) and its standard output
// and error in the files out and err. Returns its pid, or -1.
static pid_t start_worker(int listen_fd, const std::vector<std::pair<std::string, std::string>> &env,
                          const std::string &dir, const std::string &out, const std::string &err) {
    std::vector<std::string> env_text;
    for (auto &kv : env) env_text.push_back(kv.first + "=" + kv.second);
    std::vector<char *> envp;
    for (auto &e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = PLUGIN_MEMORY_EXE;
    char flag[] = "--fastcgi";
    char *argv[] = {exe.data(), flag, nullptr};
    pid_t pid = fork();
    if (pid != 0) return pid;
    signal(SIGPIPE, SIG_DFL);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (o < 0 || e < 0 || dup2(listen_fd, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(126);
    if (chdir(dir.c_str()) != 0) _exit(126);
    execve(exe.c_str(), argv, envp.data());
    _exit(127);
}

// The case through a worker of its own: the request's variables go as
// FastCGI parameters, the rest as the worker's environment; the answer,
// the graph file and the silence of the worker's own streams must be those
// of the CGI run.
void fastcgi_case_test::TestBody() {
    case_setup s;
    setup_case(c_, &s);
    if (HasFatalFailure()) return;
    std::vector<std::pair<std::string, std::string>> worker_env, params;
    for (auto &kv : s.env) (request_var(kv.first) ? params : worker_env).push_back(kv);
    const char *path = getenv("PATH");
    params.push_back({"PATH", path ? path : "/usr/bin:/bin"});

    std::string sock = s.dir + "/fastcgi.sock";
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(sock.size(), sizeof addr.sun_path);
    memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
    ASSERT_EQ(bind(fd, (sockaddr *)&addr, sizeof addr), 0) << strerror(errno);
    ASSERT_EQ(listen(fd, 8), 0);
    std::string wout = s.dir + "/worker.out", werr = s.dir + "/worker.err";
    pid_t worker = start_worker(fd, worker_env, s.dir, wout, werr);
    close(fd);
    ASSERT_GT(worker, 0);

    exe_result r = run_exe(CGI_FCGI, {"-bind", "-connect", sock}, params, c_.input, s.dir, 60);

    kill(worker, SIGTERM);
    int st = 0;
    while (waitpid(worker, &st, 0) < 0 && errno == EINTR) {}
    std::string text;
    EXPECT_TRUE(!read_file(wout, text) || text.empty()) << s.where << ": the worker wrote on its standard output:\n" << show_bytes(text);
    EXPECT_TRUE(!read_file(werr, text) || text.empty()) << s.where << ": the worker wrote on its standard error:\n" << show_bytes(text);
    unlink(wout.c_str());
    unlink(werr.c_str());
    unlink(sock.c_str());
    check_case(c_, s, r);
}

/*==============================================================================
 * The MCP cases of a file in one long-lived process
 *============================================================================*/

// A case one process can answer among others: the plain MCP server, with
// the default environment, whose input is whole lines.
static bool warm_eligible(const bb_case &c) {
    return c.error.empty() && c.args == std::vector<std::string>{"--mcp"} && c.env.empty() &&
           c.unset.empty() && c.exit_code == 0 && !c.input.empty() && c.input.back() == '\n';
}

// Writes the graph file as a writer of its own would: a new file renamed
// over it.
static bool replace_file(const std::string &path, const std::string &text) {
    std::string tmp = path + ".case";
    if (!write_file(tmp, text)) return false;
    return rename(tmp.c_str(), path.c_str()) == 0;
}

class warm_cases_test : public testing::Test {
public:
    explicit warm_cases_test(std::vector<bb_case> cases) : cases_(std::move(cases)) {}
    void TestBody() override;

private:
    std::vector<bb_case> cases_;
};

// Every case in turn, each with its graph file put in place (or removed)
// before its input is sent; the process keeps whatever it keeps between
// them and must answer each exactly as a process of its own does.
void warm_cases_test::TestBody() {
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty()) << "cannot create a temporary directory";
    mkdir((dir + "/home").c_str(), 0700);
    std::string graph = dir + "/memory.jsonl";
    live_child p;
    ASSERT_TRUE(p.start({"--mcp"}, base_env(dir)));
    for (const bb_case &c : cases_) {
        std::string where = c.file + ":" + std::to_string(c.line) + ": case " + c.name;
        if (c.has_file) {
            ASSERT_TRUE(replace_file(graph, c.file_text)) << where << ": cannot write " << graph;
            // Old enough that the first call's load is kept, so that the
            // calls after it answer from the kept graph.
            usleep(30000);
        } else {
            unlink(graph.c_str());
        }
        ASSERT_TRUE(p.send(c.input)) << where << ": the process is gone";
        std::string want = c.expect;
        replace_all(want, "$TMP", dir);
        double end = now_s() + 20;
        while (p.got.size() < want.size() && now_s() < end) {
            pollfd pf = {p.out, POLLIN, 0};
            if (poll(&pf, 1, 100) > 0 && !p.pump()) break;
        }
        std::string got = p.got.substr(0, want.size());
        p.got.erase(0, got.size());
        if (got != want) ADD_FAILURE() << where << ": standard output differs\n" << show_diff(want, got);
        std::string now;
        bool exists = read_file(graph, now);
        if (c.after_absent) {
            EXPECT_FALSE(exists) << where << ": the graph file exists after the run";
        }
        if (c.after_unchanged && c.has_file && now != c.file_text)
            ADD_FAILURE() << where << ": the graph file changed\n" << show_diff(c.file_text, now);
        if (c.after_unchanged && !c.has_file) {
            EXPECT_FALSE(exists) << where << ": a graph file appeared";
        }
        if (c.check_after) {
            std::string after = c.after;
            replace_all(after, "$TMP", dir);
            if (now != after) ADD_FAILURE() << where << ": graph file after the run differs\n" << show_diff(after, now);
        }
    }
    EXPECT_EQ(p.finish(20), 0);
    EXPECT_EQ(p.got, "") << "answers nobody asked for";
    if (!getenv("PLUGIN_MEMORY_KEEP_TMP")) remove_tree(dir);
    else printf("kept %s\n", dir.c_str());
}

/*==============================================================================
 * Registration of every case file
 *============================================================================*/

static std::string sanitize(const std::string &s) {
    std::string o;
    for (unsigned char ch : s) o += isalnum(ch) ? (char)ch : '_';
    return o.empty() ? std::string("unnamed") : o;
}

static int register_cases() {
    signal(SIGPIPE, SIG_IGN); // a child that stops reading must not end us
    std::vector<std::string> files;
    if (DIR *d = opendir(CASES_DIR)) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 6 && n.compare(n.size() - 6, 6, ".cases") == 0) files.push_back(n);
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    // The CGI cases run once more through the FastCGI mode when the
    // executable has one and the bridge is installed.
    // Not for another build under a wrapper (the Windows one has no
    // FastCGI mode): this build's flag does not speak for it.
    bool fastcgi = g_fastcgi_built && !exe_is_wrapped() && access(CGI_FCGI, X_OK) == 0;
    for (auto &n : files) {
        std::string path = std::string(CASES_DIR) + "/" + n;
        std::string suite = "cases_" + sanitize(n.substr(0, n.size() - 6));
        std::set<std::string> used;
        std::vector<bb_case> warm;
        for (auto &c : parse_cases(path)) {
            if (warm_eligible(c)) warm.push_back(c);
            std::string name = sanitize(c.name);
            for (int k = 2; used.count(name); k++) name = sanitize(c.name) + "_" + std::to_string(k);
            used.insert(name);
            testing::RegisterTest(suite.c_str(), name.c_str(), nullptr, nullptr, path.c_str(), c.line,
                                  [c]() -> testing::Test * { return new case_test(c); });
            if (fastcgi && cgi_case(c))
                testing::RegisterTest(("fastcgi_" + suite).c_str(), name.c_str(), nullptr, nullptr,
                                      path.c_str(), c.line,
                                      [c]() -> testing::Test * { return new fastcgi_case_test(c); });
        }
        if (!warm.empty())
            testing::RegisterTest(("warm_" + suite).c_str(), "all_in_one_process", nullptr, nullptr,
                                  path.c_str(), warm.front().line,
                                  [warm]() -> testing::Test * { return new warm_cases_test(warm); });
    }
    return 0;
}

static int registered = register_cases();
