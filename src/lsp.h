// viderav-build --lsp: the located lines in the writer's editor, as a
// language server (LSP 3.17) over standard input and output.  Each open
// document, saved or not, is read by the same encoder and watch as
// --check, and its findings become the editor's diagnostics.
#pragma once

#include <cstddef>
#include <cstdio>

// Where the server's messages come from and go: standard input and output
// for an editor, memory for the tests and the fuzzer.
struct lsp_stream {
    // Up to n bytes, waiting for some; 0 at the end of the input.
    virtual std::size_t read(char* p, std::size_t n) = 0;
    // Whether a read would return at once: while an editor sends more, the
    // documents' diagnostics wait for its last change.
    virtual bool waiting() = 0;
    // One whole message; false where it could not be written.
    virtual bool write(const char* p, std::size_t n) = 0;

  protected:
    ~lsp_stream() = default;
};

// Serves until `exit` or the end of the input; the exit status: 0 after
// `shutdown`, else 1.
int serve_lsp(lsp_stream& io, const char* version);

// The server on standard input and out, standard output's stream.
int serve_lsp_stdio(std::FILE* out, const char* version);
