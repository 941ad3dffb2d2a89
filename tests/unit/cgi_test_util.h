// cgi_test_util.h - runs one web request in this process, for the unit tests
// of the request path.
#ifndef PLUGIN_MEMORY_CGI_TEST_UTIL_H
#define PLUGIN_MEMORY_CGI_TEST_UTIL_H

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "cgi/cgi.h"

namespace cgi_test {

// Answers one request with the CGI variables the environment holds now and
// body as its input; returns everything written.
inline std::string answer(const std::string &body) {
    FILE *out = tmpfile();
    FILE *in = tmpfile();
    EXPECT_TRUE(out && in);
    fwrite(body.data(), 1, body.size(), in);
    rewind(in);
    g_cgi_out = out;
    g_cgi_in = in;
    EXPECT_EQ(api_handle(), 0);
    g_cgi_out = nullptr;
    g_cgi_in = nullptr;
    std::string got;
    rewind(out);
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, out)) > 0) got.append(chunk, n);
    fclose(out);
    fclose(in);
    return got;
}

}  // namespace cgi_test

#endif
