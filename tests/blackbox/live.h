// live.h - a running child of the built executable with pipes on its
// standard input and output, for tests that talk to it request by request,
// run several at once, or kill it at a chosen moment.
#ifndef PLUGIN_MEMORY_TESTS_LIVE_H
#define PLUGIN_MEMORY_TESTS_LIVE_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "exec.h"

using env_list = std::vector<std::pair<std::string, std::string>>;

// Seconds on a steady clock, for time bounds and rates.
inline double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct live_child {
    pid_t pid = -1;
    int in = -1;       // the child's standard input (we write)
    int out = -1;      // the child's standard output (we read)
    std::string got;   // bytes read and not yet taken as lines

    live_child() = default;
    live_child(const live_child &) = delete;
    live_child &operator=(const live_child &) = delete;
    ~live_child() { kill_now(); }

    // Starts exe with args and exactly env. Returns false when it cannot.
    bool start(const std::vector<std::string> &args, const env_list &env) {
        // A child that died must show as a failed write, not end the test.
        signal(SIGPIPE, SIG_IGN);
        std::vector<std::string> envs;
        for (auto &kv : env) envs.push_back(kv.first + "=" + kv.second);
        std::vector<char *> envp, argv;
        for (auto &e : envs) envp.push_back((char *)e.c_str());
        envp.push_back(nullptr);
        argv.push_back((char *)plugin_exe());
        for (auto &a : args) argv.push_back((char *)a.c_str());
        argv.push_back(nullptr);
        int pin[2], pout[2];
        if (pipe2(pin, O_CLOEXEC) != 0) return false;
        if (pipe2(pout, O_CLOEXEC) != 0) {
            close(pin[0]);
            close(pin[1]);
            return false;
        }
        pid = fork();
        if (pid == 0) {
            signal(SIGPIPE, SIG_DFL);
            dup2(pin[0], 0);
            dup2(pout[1], 1);
            int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) dup2(devnull, 2);
            execve(plugin_exe(), argv.data(), envp.data());
            _exit(127);
        }
        close(pin[0]);
        close(pout[1]);
        in = pin[1];
        out = pout[0];
        if (pid < 0) {
            close(in);
            close(out);
            in = out = -1;
            return false;
        }
        return true;
    }

    bool send(const std::string &s) {
        size_t done = 0;
        while (done < s.size()) {
            ssize_t w = write(in, s.data() + done, s.size() - done);
            if (w <= 0) return false;
            done += (size_t)w;
        }
        return true;
    }

    // Reads what is there without waiting. Returns false at end of output.
    bool pump() {
        char b[65536];
        ssize_t n = read(out, b, sizeof b);
        if (n <= 0) return false;
        got.append(b, (size_t)n);
        return true;
    }

    // Takes one complete line (without its line feed) if one has arrived.
    bool take_line(std::string *line) {
        size_t nl = got.find('\n');
        if (nl == std::string::npos) return false;
        *line = got.substr(0, nl);
        got.erase(0, nl + 1);
        return true;
    }

    // Waits up to timeout_s for one line. Returns false on time-out or end.
    bool read_line(std::string *line, double timeout_s) {
        double end = now_s() + timeout_s;
        while (!take_line(line)) {
            int ms = (int)((end - now_s()) * 1000);
            if (ms <= 0) return false;
            pollfd p = {out, POLLIN, 0};
            if (poll(&p, 1, ms) <= 0) return false;
            if (!pump()) return false;
        }
        return true;
    }

    // Closes its input and waits for it to exit. Returns its exit status, or
    // -1 when it did not exit normally within timeout_s (it is killed then).
    int finish(double timeout_s) {
        if (in >= 0) close(in);
        in = -1;
        double end = now_s() + timeout_s;
        int st = 0;
        while (pid > 0) {
            pid_t r = waitpid(pid, &st, WNOHANG);
            if (r == pid) {
                pid = -1;
                break;
            }
            if (now_s() > end) {
                kill_now();
                return -1;
            }
            // Keep reading, so that a child with answers still to write does
            // not block on a full pipe.
            pollfd p = {out, POLLIN, 0};
            if (out >= 0 && poll(&p, 1, 2) > 0) {
                if (!pump()) usleep(2000);
            } else {
                usleep(2000);
            }
        }
        if (out >= 0) close(out);
        out = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

    // SIGKILL and reap; safe to call at any time.
    void kill_now() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
        if (in >= 0) close(in);
        if (out >= 0) close(out);
        in = out = -1;
    }
};

// A tools/call request line (with its line feed).
inline std::string mcp_call(long id, const std::string &tool, const std::string &args) {
    return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) +
           ",\"method\":\"tools/call\",\"params\":{\"name\":\"" + tool + "\",\"arguments\":" + args + "}}\n";
}

#endif
