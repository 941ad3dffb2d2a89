// test_full_disk.cpp - saves on a full file system: the graph directory on a
// small tmpfs mounted by the test (root only; skipped elsewhere). A save that
// cannot be written fails with the storage message, the old file stays byte
// for byte, and neither a temporary file nor the lock remains.
#include <errno.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "graph_check.h"
#include "live.h"

namespace {

// A tmpfs mounted on a fresh directory and unmounted on every way out.
struct small_disk {
    temp_dir dir;
    std::string mnt = dir.path + "/disk";
    bool mounted = false;
    std::string why;  // why it could not be mounted

    explicit small_disk(const char *options) {
        if (mkdir(mnt.c_str(), 0700) != 0) {
            why = std::string("mkdir: ") + strerror(errno);
            return;
        }
        if (mount("tmpfs", mnt.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) != 0) {
            why = std::string("mount -t tmpfs: ") + strerror(errno);
            return;
        }
        mounted = true;
    }
    ~small_disk() {
        if (mounted) umount2(mnt.c_str(), MNT_DETACH);
    }
};

// Fills the file system with path until it has no room left, in pieces of
// at most chunk bytes. Returns the bytes written.
size_t fill(const std::string &path, size_t chunk) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0) return 0;
    std::string block(chunk, 'x');
    size_t total = 0;
    for (;;) {
        ssize_t w = write(fd, block.data(), block.size());
        if (w <= 0) break;
        total += (size_t)w;
    }
    close(fd);
    return total;
}

// Creates empty files until no inode is left. Returns how many were made.
int use_up_inodes(const std::string &dir) {
    int n = 0;
    for (;; n++) {
        int fd = open((dir + "/i" + std::to_string(n)).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0) break;
        close(fd);
    }
    return n;
}

// Runs the executable with its graph file on the small disk.
exe_result run_on(const std::string &mnt, const std::string &dir, const std::vector<std::string> &args,
                  const env_list &extra, const std::string &input) {
    env_list env = base_env(dir);
    for (auto &kv : env)
        if (kv.first == "MEMORY_FILE_PATH") kv.second = mnt + "/memory.jsonl";
    env.insert(env.end(), extra.begin(), extra.end());
    return run_exe(plugin_exe(), args, env, input, dir, 60);
}

exe_result mcp_in(const std::string &mnt, const std::string &dir, const std::string &input) {
    return run_on(mnt, dir, {"--mcp"}, {}, input);
}

// Creates entity name with count observations of 6000 bytes each.
std::string create_line(const std::string &name, int count) {
    std::string obs;
    for (int i = 0; i < count; i++) obs += std::string(i ? ",\"" : "\"") + std::string(6000, 'a' + i % 26) + "\"";
    return mcp_call(1, "create_entities",
                    "{\"entities\":[{\"name\":\"" + name + "\",\"entityType\":\"t\",\"observations\":[" + obs + "]}]}");
}

struct disk_case {
    const char *what;
    const char *options;         // tmpfs mount options
    int change_obs;              // 6000-byte observations in the change that fails
    bool inodes;                 // use up the inodes instead of the bytes
    size_t leave_free;           // then hand back this many bytes, or inodes
    std::vector<std::string> messages;  // storage messages the change may fail with
};

void PrintTo(const disk_case &c, std::ostream *os) { *os << c.what; }

class full_disk : public ::testing::TestWithParam<disk_case> {};

TEST_P(full_disk, failed_save_keeps_the_old_file) {
    const disk_case &c = GetParam();
    small_disk disk(c.options);
    if (!disk.mounted) GTEST_SKIP() << "cannot mount a small tmpfs here (" << disk.why << "); needs root";
    const std::string graph = disk.mnt + "/memory.jsonl";

    exe_result r = mcp_in(disk.mnt, disk.dir.path, create_line("base", 1));
    ASSERT_NE(r.out.find("\"isError\":false"), std::string::npos) << r.out;
    const std::string before = file_text(graph);
    ASSERT_FALSE(before.empty());

    if (c.inodes) {
        int made = use_up_inodes(disk.mnt);
        ASSERT_GT(made, (int)c.leave_free);
        for (size_t i = 0; i < c.leave_free; i++) unlink((disk.mnt + "/i" + std::to_string(made - 1 - i)).c_str());
    } else {
        ASSERT_GT(fill(disk.mnt + "/filler", 4096), 0u);
        if (c.leave_free) {
            // Hand back some room: part of the new text fits, not all of it.
            struct stat st;
            ASSERT_EQ(stat((disk.mnt + "/filler").c_str(), &st), 0);
            ASSERT_EQ(truncate((disk.mnt + "/filler").c_str(), st.st_size - (off_t)c.leave_free), 0);
        }
    }

    // Over MCP and through the CGI API alike.
    r = mcp_in(disk.mnt, disk.dir.path, create_line("new", c.change_obs));
    bool is_error = false;
    std::string text;
    ASSERT_TRUE(tool_answer(r.out.substr(0, r.out.find('\n')), &is_error, &text)) << r.out;
    EXPECT_TRUE(is_error);
    bool known = false;
    for (const std::string &m : c.messages)  // one ending in a blank is followed by the path
        known = known || text == m || (m.back() == ' ' && text == m + graph);
    EXPECT_TRUE(known) << "unexpected message: " << text;
    r = run_on(disk.mnt, disk.dir.path, {},
               {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "0"},
                {"QUERY_STRING", "action=add_obs&name=base&contents=" + std::string(6000, 'c')}},
               "");
    EXPECT_NE(r.out.find("\"ok\":false"), std::string::npos) << r.out.substr(0, 300);

    EXPECT_EQ(file_text(graph), before) << "the old graph file changed";
    for (const char *left : {"memory.jsonl.tmp.", "memory.jsonl.lock"})
        EXPECT_TRUE(files_with_prefix(disk.mnt, left).empty()) << left << "* remains";

    // Reads still work, and once there is room again so do saves.
    r = run_on(disk.mnt, disk.dir.path, {}, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "action=stats"}}, "");
    EXPECT_NE(r.out.find("\"entities\":1,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"unreadable_lines\":0,"), std::string::npos) << r.out;
    unlink((disk.mnt + "/filler").c_str());
    for (int i = 0; c.inodes && i < 1000; i++) unlink((disk.mnt + "/i" + std::to_string(i)).c_str());
    r = mcp_in(disk.mnt, disk.dir.path, create_line("new", c.change_obs));
    EXPECT_NE(r.out.find("\"isError\":false"), std::string::npos) << r.out.substr(0, 300);
    EXPECT_EQ(read_graph_file(graph).ents.count("new"), 1u);
}

const std::vector<std::string> write_failures = {"cannot flush the graph to disk",
                                                 "cannot write the graph to disk"};
const char temp_failure[] = "cannot create a temp file beside ";

// The lock file comes first: where even it cannot be made, the change fails
// at once with the storage message (it used to wait and report a busy graph).
INSTANTIATE_TEST_SUITE_P(
    cases, full_disk,
    ::testing::Values(
        disk_case{"no_room_at_all", "size=256k,mode=0700", 1, false, 0, {temp_failure}},
        disk_case{"room_for_the_lock_only", "size=256k,mode=0700", 1, false, 4096, write_failures},
        disk_case{"room_for_part_of_the_file", "size=256k,mode=0700", 10, false, 8192, write_failures},
        disk_case{"no_inode", "size=1m,nr_inodes=16,mode=0700", 1, true, 0, {temp_failure}},
        disk_case{"one_inode_for_the_lock", "size=1m,nr_inodes=16,mode=0700", 1, true, 1, {temp_failure}}),
    [](const ::testing::TestParamInfo<disk_case> &i) { return std::string(i.param.what); });

}  // namespace
