// exec.h - runs the built executable as a child process with given
// arguments, environment and standard input, and collects what it wrote.
#ifndef PLUGIN_MEMORY_TESTS_EXEC_H
#define PLUGIN_MEMORY_TESTS_EXEC_H

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

struct exe_result {
    std::string out;      // everything written to standard output
    std::string err;      // everything written to standard error
    int status = -1;      // exit status, or -1 when it did not exit normally
    int signal = 0;       // the signal that ended it, if any
    bool timed_out = false;
    std::string failure;  // why the child could not be run; empty on success
};

// The executable under test: $PLUGIN_MEMORY_EXE when set (a wrapper that
// runs another build of it, say the Windows one under Wine), else the one
// this build made.
inline const char *plugin_exe() {
    const char *e = getenv("PLUGIN_MEMORY_EXE");
    return e && *e ? e : PLUGIN_MEMORY_EXE;
}
// True when plugin_exe() is not this build's own executable.
inline bool exe_is_wrapped() { return std::string(plugin_exe()) != PLUGIN_MEMORY_EXE; }

// Runs exe with args (argv[1..]) and exactly the variables env in directory
// cwd, feeding input on standard input. Kills the child after timeout_s
// seconds.
exe_result run_exe(const std::string &exe, const std::vector<std::string> &args,
                   const std::vector<std::pair<std::string, std::string>> &env,
                   const std::string &input, const std::string &cwd, int timeout_s = 60);

// The environment every case starts from: PATH, HOME=<dir>/home,
// MEMORY_FILE_PATH=<dir>/memory.jsonl, and the sanitizers' options.
std::vector<std::pair<std::string, std::string>> base_env(const std::string &dir);

// A new empty directory under $TMPDIR (or /tmp); "" on failure.
std::string make_temp_dir();
// Removes a directory tree.
void remove_tree(const std::string &dir);

// A temporary directory that is removed with its contents at scope end.
struct temp_dir {
    std::string path = make_temp_dir();
    temp_dir() = default;
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    ~temp_dir() { remove_tree(path); }
};

// Runs the built executable in dir with base_env(dir) plus extra variables.
exe_result run_plugin(const std::vector<std::string> &args,
                      const std::vector<std::pair<std::string, std::string>> &extra,
                      const std::string &input, const std::string &dir, int timeout_s = 60);

// Shows bytes with escapes, one output line per text line.
std::string show_bytes(const std::string &s);

#endif
