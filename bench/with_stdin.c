/* with_stdin.c - runs a command with its standard input read from a file,
 * so that MCP sessions can be timed without a shell in between.
 *
 *   bench_with_stdin <input file> <program path> [arguments...]
 */
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0 || dup2(fd, 0) < 0) return 2;
    if (fd != 0) close(fd);
    execv(argv[2], argv + 2);
    return 127;
}
