// import.cpp - the API's import action: the request's checks, and the
// answer of the import (tools/tools.h, import_graph_lines) framed as the API
// answers.
#include <cstdio>
#include <cstring>

#include "api.h"
#include "tools/tools.h"

namespace {

// Writes the answer to the import into b (its `dropped` flag set when
// memory ran out).
void compose(const import_tally *t, int checked, buf *b) {
    char num[384];
    if (t->err[0]) {
        char msg[sizeof t->err + 40];
        snprintf(msg, sizeof msg, "nothing was imported: %s", t->err);
        buf_puts(b, "{\"ok\":false,\"error\":");
        json_str(b, msg);
        if (t->err_line) {
            snprintf(num, sizeof num, ",\"line\":%zu", t->err_line);
            buf_puts(b, num);
        }
        buf_putc(b, '}');
    } else {
        snprintf(num, sizeof num,
                 "{\"ok\":true,%s\"added\":{\"entities\":%llu,\"observations\":%llu,\"relations\":%llu},"
                 "\"skipped\":{\"entities\":%llu,\"observations\":%llu,\"relations\":%llu},"
                 "\"skippedEntities\":[",
                 checked ? "\"checked\":true," : "", (unsigned long long)t->ents_added,
                 (unsigned long long)t->obs_added, (unsigned long long)t->rels_added,
                 (unsigned long long)t->ents_skipped, (unsigned long long)t->obs_skipped,
                 (unsigned long long)t->rels_skipped);
        buf_puts(b, num);
        buf_puts(b, buf_str(&t->skipped_names));
        buf_puts(b, "]}");
    }
}

// Where the answer of an import that went through is written.
struct answer_to {
    buf *b;
    int checked;
};

int answer(const import_tally *t, void *ctx) {
    answer_to *a = (answer_to *)ctx;
    compose(t, a->checked, a->b);
    return a->b->dropped ? -1 : 0;
}

}  // namespace

void do_import(cgi_request *r) {
    // Only an action named in the query string gets the body as it is.
    if (!r->body_raw) {
        json_err(400, "import must be named in the query string (action=import)");
        return;
    }
    if (strcmp(r->method, "POST") != 0) {
        json_err(400, "import takes the graph file's lines as the body of a POST");
        return;
    }
    if (!r->body || !r->body_len) {
        json_err(400, "import needs the graph file's lines as the request body");
        return;
    }
    char check[8];
    get_query_val(r->query, "check", check, sizeof check);
    int checked = strcmp(check, "1") == 0;

    buf b;
    buf_init(&b);
    answer_to to = {&b, checked};
    import_tally t;
    if (import_graph_lines(r->body, r->body_len, checked, &t, answer, &to) != 0 && t.err[0]) {
        buf_free(&b);
        compose(&t, checked, &b);
    }
    if (b.dropped) json_err(500, "not enough memory for the answer");
    else json_raw(buf_str(&b));
    buf_free(&b);
    buf_free(&t.skipped_names);
}
