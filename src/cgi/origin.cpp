// origin.cpp - whether a request reached the web host under one of its own
// names and from no other web page (DNS rebinding, cross-site requests).
#include <cstring>

#include "request.h"

namespace {

// 1 when the n bytes at a equal the text b, ASCII letters folded.
int same_fold(const char *a, size_t n, const char *b) { return strlen(b) == n && str_ieq_n(a, b, n); }

int is_sep(char c) { return c == ' ' || c == ',' || c == '\t'; }

// 1 when host is one of the names in the list.
int host_listed(const char *names, const char *host) {
    for (const char *p = names; *p;) {
        while (is_sep(*p)) p++;
        const char *start = p;
        while (*p && !is_sep(*p)) p++;
        if (p > start && same_fold(start, (size_t)(p - start), host)) return 1;
    }
    return 0;
}

// 1 when origin is http:// or https:// followed by host.
int origin_is_host(const char *origin, const char *host) {
    static const char *const schemes[] = {"http://", "https://"};
    for (const char *s : schemes) {
        size_t n = strlen(s);
        if (strncmp(origin, s, n) == 0 && same_fold(host, strlen(host), origin + n)) return 1;
    }
    return 0;
}

}  // namespace

const char *const WEB_FOREIGN_HOST = "this server does not answer to that host name";
const char *const WEB_FOREIGN_PAGE = "requests from other web pages are refused";

const char *web_refusal(const char *hosts, const char *host, const char *origin,
                        const char *fetch_site) {
    if (!hosts) return nullptr;
    const char *p = hosts;
    while (is_sep(*p)) p++;
    if (!*p) return nullptr;
    if (!host || !*host || !host_listed(p, host)) return WEB_FOREIGN_HOST;
    if (origin && !origin_is_host(origin, host)) return WEB_FOREIGN_PAGE;
    if (fetch_site && strcmp(fetch_site, "same-origin") != 0 && strcmp(fetch_site, "none") != 0)
        return WEB_FOREIGN_PAGE;
    return nullptr;
}
