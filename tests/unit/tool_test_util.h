// tool_test_util.h - running a graph tool in-process on a JSON arguments
// text, for unit tests that compare whole answers.
#ifndef PLUGIN_MEMORY_TOOL_TEST_UTIL_H
#define PLUGIN_MEMORY_TOOL_TEST_UTIL_H

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tools/tools.h"

namespace tool_test {

// Runs the tool named tool on the arguments text args; returns its API
// envelope ("<null>" when none could be written).
inline std::string run(const char *tool, const std::string &args) {
    yyjson_doc *d = yyjson_read(args.data(), args.size(), 0);
    EXPECT_NE(d, nullptr) << args;
    tool_out out;
    EXPECT_EQ(tool_dispatch(tool, yyjson_doc_get_root(d), &out), 0);
    char *t = tool_api_result(&out);
    std::string r = t ? t : "<null>";
    free(t);
    tool_free(&out);
    yyjson_doc_free(d);
    return r;
}

}  // namespace tool_test

#endif
