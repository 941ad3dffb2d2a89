// test_web_origin.cpp - the check of where a request comes from: the host's
// own names against DNS rebinding, Origin and Sec-Fetch-Site against pages of
// other sites.
#include <gtest/gtest.h>

#include "cgi/cgi.h"

namespace {

const char *const LIST = "127.0.0.1:8080 localhost:8080 [::1]:8080";
const char *const OK = nullptr;

struct origin_case {
    const char *hosts;
    const char *host;
    const char *origin;
    const char *fetch_site;
    const char *const *want;  // null: passes
};

const char *const *const PASS = nullptr;
const char *const *const HOST = &WEB_FOREIGN_HOST;
const char *const *const PAGE = &WEB_FOREIGN_PAGE;

const origin_case CASES[] = {
    // No setting, or one without names: no check at all.
    {nullptr, "evil.example", "http://evil.example", "cross-site", PASS},
    {"", "evil.example", "http://evil.example", "cross-site", PASS},
    {" ,\t ", nullptr, "null", "cross-site", PASS},
    // The Host header.
    {LIST, "127.0.0.1:8080", nullptr, nullptr, PASS},
    {LIST, "localhost:8080", nullptr, nullptr, PASS},
    {LIST, "LocalHost:8080", nullptr, nullptr, PASS},
    {LIST, "[::1]:8080", nullptr, nullptr, PASS},
    {"a.example:1,b.example:2", "b.example:2", nullptr, nullptr, PASS},
    {LIST, nullptr, nullptr, nullptr, HOST},
    {LIST, "", nullptr, nullptr, HOST},
    {LIST, "evil.example:8080", nullptr, nullptr, HOST},
    {LIST, "127.0.0.1:8081", nullptr, nullptr, HOST},
    {LIST, "127.0.0.1", nullptr, nullptr, HOST},
    {LIST, "localhost:808", nullptr, nullptr, HOST},
    {LIST, "localhost:80800", nullptr, nullptr, HOST},
    {LIST, "127.0.0.1:8080 ", nullptr, nullptr, HOST},
    {LIST, "evil.example", "http://127.0.0.1:8080", "same-origin", HOST},
    // The Origin header: the request's own Host, and only that.
    {LIST, "127.0.0.1:8080", "http://127.0.0.1:8080", nullptr, PASS},
    {LIST, "localhost:8080", "http://LOCALHOST:8080", nullptr, PASS},
    {LIST, "127.0.0.1:8080", "https://127.0.0.1:8080", nullptr, PASS},
    {LIST, "127.0.0.1:8080", "http://localhost:8080", nullptr, PAGE},
    {LIST, "127.0.0.1:8080", "http://127.0.0.1:9090", nullptr, PAGE},
    {LIST, "127.0.0.1:8080", "http://evil.example", nullptr, PAGE},
    {LIST, "127.0.0.1:8080", "http://127.0.0.1:8080.evil.example", nullptr, PAGE},
    {LIST, "127.0.0.1:8080", "http://127.0.0.1:8080/", nullptr, PAGE},
    {LIST, "127.0.0.1:8080", "ftp://127.0.0.1:8080", nullptr, PAGE},
    {LIST, "127.0.0.1:8080", "null", nullptr, PAGE},
    {LIST, "127.0.0.1:8080", "", nullptr, PAGE},
    // Sec-Fetch-Site: the page itself and typed addresses only.
    {LIST, "127.0.0.1:8080", nullptr, "same-origin", PASS},
    {LIST, "127.0.0.1:8080", nullptr, "none", PASS},
    {LIST, "127.0.0.1:8080", "http://127.0.0.1:8080", "same-origin", PASS},
    {LIST, "127.0.0.1:8080", nullptr, "cross-site", PAGE},
    {LIST, "127.0.0.1:8080", nullptr, "same-site", PAGE},
    {LIST, "127.0.0.1:8080", nullptr, "", PAGE},
    {LIST, "127.0.0.1:8080", nullptr, "Same-Origin", PAGE},
    {LIST, "127.0.0.1:8080", "http://127.0.0.1:8080", "cross-site", PAGE},
};

TEST(WebOrigin, RefusalTable) {
    for (const origin_case &c : CASES) {
        const char *got = web_refusal(c.hosts, c.host, c.origin, c.fetch_site);
        const char *want = c.want ? *c.want : OK;
        EXPECT_EQ(got, want) << "hosts=" << (c.hosts ? c.hosts : "(unset)")
                             << " host=" << (c.host ? c.host : "(absent)")
                             << " origin=" << (c.origin ? c.origin : "(absent)")
                             << " fetch-site=" << (c.fetch_site ? c.fetch_site : "(absent)");
    }
}

}  // namespace
