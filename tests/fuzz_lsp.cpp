// libFuzzer target: arbitrary bytes as an editor's side of a session with
// the language server.  Whatever comes in, the server ends, and everything
// it writes is whole messages of JSON.

#include "lsp.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

class memory final : public lsp_stream {
  public:
    memory(const std::uint8_t* data, std::size_t size)
        : at(reinterpret_cast<const char*>(data)), left(size) {}
    std::size_t read(char* p, std::size_t n) override {
        // A few bytes at a time, so that messages split everywhere.
        n = std::min({n, left, std::size_t{7} + left % 13});
        std::memcpy(p, at, n);
        at += n;
        left -= n;
        return n;
    }
    bool waiting() override {
        return left > 0;
    }
    bool write(const char* p, std::size_t n) override {
        out.append(p, n);
        return true;
    }
    std::string out;

  private:
    const char* at;
    std::size_t left;
};

void check(bool ok, const char* what, const std::string& out) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_lsp: %s:\n%s\n", what, out.c_str());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    memory io(data, size);
    const int status = serve_lsp(io, "fuzz");
    check(status == 0 || status == 1, "an exit status but 0 or 1", io.out);
    for (std::size_t at = 0; at < io.out.size();) {
        std::size_t length = 0;
        int used = 0;
        check(std::sscanf(io.out.c_str() + at, "Content-Length: %zu\r\n\r\n%n", &length, &used) ==
                      1 &&
                  used > 0,
              "a message without its header", io.out);
        at += static_cast<std::size_t>(used);
        check(at + length <= io.out.size(), "a message cut short", io.out);
        check(nlohmann::json::accept(io.out.substr(at, length)), "a body that is not JSON", io.out);
        at += length;
    }
    return 0;
}
