// fastcgi.cpp - the FastCGI mode: a long-lived worker that answers the
// requests of a web server one after another through the same path as the
// CGI mode, on libfcgi. Built only where libfcgi is found; elsewhere the
// mode says that this build lacks it.
#include <climits>
#include <cstdio>

#include "cgi.h"

#ifdef PLUGIN_MEMORY_HAVE_FCGI

#include <fcgiapp.h>

const int g_fastcgi_built = 1;

namespace {

// The request being answered; its variables, body and answer streams are
// valid from FCGX_Accept_r to FCGX_Finish_r.
FCGX_Request g_fcgi;

const char *fcgi_var(const char *name) { return FCGX_GetParam(name, g_fcgi.envp); }

char **fcgi_vars(void) { return g_fcgi.envp; }

size_t fcgi_read(char *p, size_t n) {
    int got = FCGX_GetStr(p, n > INT_MAX ? INT_MAX : (int)n, g_fcgi.in);
    return got > 0 ? (size_t)got : 0;
}

void fcgi_write(const char *p, size_t n) {
    while (n) {
        int step = n > INT_MAX ? INT_MAX : (int)n;
        if (FCGX_PutStr(p, step, g_fcgi.out) != step) return;  // the client went away
        p += step;
        n -= (size_t)step;
    }
}

void fcgi_flush(void) { FCGX_FFlush(g_fcgi.out); }

const cgi_io FCGI_IO = {fcgi_var, fcgi_vars, fcgi_read, fcgi_write, fcgi_flush};

}  // namespace

int mode_fastcgi(void) {
    // A worker is started with the listening socket as its standard input;
    // anything else (a terminal, a pipe) is not a FastCGI server's doing.
    if (FCGX_Init() != 0 || FCGX_IsCGI()) {
        printf("%s: --fastcgi needs a FastCGI listening socket as standard input "
               "(a web server's FastCGI process manager starts it so)\n",
               CONNECTOR_ID);
        fflush(stdout);
        return 1;
    }
    if (FCGX_InitRequest(&g_fcgi, 0, 0) != 0) return 1;
    g_cgi_io = &FCGI_IO;
    // The graph the store keeps between requests is reloaded whenever the
    // file changed, exactly as in the stdio server: every request starts
    // with graph_open or graph_begin, which compare the file first.
    while (FCGX_Accept_r(&g_fcgi) >= 0) {
        web_answer();
        FCGX_Finish_r(&g_fcgi);
    }
    g_cgi_io = nullptr;
    return 0;
}

#else

const int g_fastcgi_built = 0;

int mode_fastcgi(void) {
    printf("%s: this build has no FastCGI mode (built without libfcgi)\n", CONNECTOR_ID);
    fflush(stdout);
    return 1;
}

#endif
