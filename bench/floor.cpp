// floor.cpp - the least work any implementation must do for one call, the
// yardstick the product's timings are divided by.
//
//   bench_floor read <file> [n]     n times: read the whole file in one block
//                                   and parse every line with yyjson (no graph)
//   bench_floor change <file> [n]   n times: the same, then write the same
//                                   bytes to a temporary file beside it, fsync
//                                   it and rename it over the file
//   bench_floor write <file> [n]    reads the file once, then n times writes
//                                   the same bytes to a temporary file beside
//                                   it, fsyncs it and renames it over the file
//                                   (the durable write alone, without a parse)
//
// Prints nothing; the exit status is 0 unless the file cannot be handled.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <yyjson.h>

// Larger than any benchmark graph file.
static const size_t GRAPH_MAX = (size_t)32 << 20;

// Reads the file and parses each non-blank line, as a load must. Returns the
// block (caller frees) and its length, or null when the file is absent.
static char *read_and_parse(const char *path, size_t *len, unsigned long *docs) {
    *len = 0;
    FILE *f = fopen(path, "rb");
    if (!f) return nullptr;
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    if (size < 0 || fseek(f, 0, SEEK_SET) != 0) {
        fclose(f);
        return nullptr;
    }
    char *text = (char *)malloc((size_t)size + 1);
    if (!text) {
        fclose(f);
        return nullptr;
    }
    size_t got = fread(text, 1, (size_t)size, f);
    fclose(f);
    text[got] = 0;
    *len = got;
    char *p = text, *end = text + got;
    while (p < end) {
        char *nl = (char *)memchr(p, '\n', (size_t)(end - p));
        char *line_end = nl ? nl : end;
        while (p < line_end && (*p == ' ' || *p == '\t' || *p == '\r')) p++;
        if (p < line_end) {
            yyjson_doc *d = yyjson_read_opts(p, (size_t)(line_end - p), 0, nullptr, nullptr);
            if (d) (*docs)++;
            yyjson_doc_free(d);
        }
        p = line_end + 1;
    }
    return text;
}

// Replaces path by text through "<path>.tmp.<pid>": write, flush, fsync, rename.
static int write_over(const char *path, const char *text, size_t len) {
    char tmp[4096];
    snprintf(tmp, sizeof tmp, "%s.tmp.%ld", path, (long)getpid());
    FILE *f = fopen(tmp, "wb");
    if (!f) return -1;
    int bad = len && fwrite(text, 1, len, f) != len;
    bad |= fflush(f) != 0;
    bad |= fsync(fileno(f)) != 0;
    bad |= fclose(f) != 0;
    if (bad || rename(tmp, path) != 0) {
        unlink(tmp);
        return -1;
    }
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    int change = strcmp(argv[1], "change") == 0;
    int write = strcmp(argv[1], "write") == 0;
    if (!change && !write && strcmp(argv[1], "read") != 0) return 2;
    long n = argc > 3 ? strtol(argv[3], nullptr, 10) : 1;
    unsigned long docs = 0;
    if (write) {
        FILE *f = fopen(argv[2], "rb");
        if (!f) return 1;
        char *text = (char *)malloc(GRAPH_MAX + 1);
        size_t len = text ? fread(text, 1, GRAPH_MAX, f) : 0;
        fclose(f);
        int bad = !text;
        for (long i = 0; i < n && !bad; i++) bad = write_over(argv[2], text, len) != 0;
        free(text);
        return bad;
    }
    for (long i = 0; i < n; i++) {
        size_t len = 0;
        char *text = read_and_parse(argv[2], &len, &docs);
        if (change && write_over(argv[2], text ? text : "", len) != 0) {
            free(text);
            return 1;
        }
        free(text);
    }
    return docs == (unsigned long)-1;  // keeps the parse count observable
}
