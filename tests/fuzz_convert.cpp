// libFuzzer target: arbitrary bytes through convert_lines, compared byte for
// byte with the plain model; any difference aborts.

#include "convert.h"
#include "model.h"
#include "platform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string take(std::FILE* f, char*& buf, std::size_t& size) {
    std::fclose(f);
    std::string s(buf, size);
    std::free(buf);
    return s;
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_convert: %s differs from the model\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // fmemopen refuses an empty buffer; an empty stream is /dev/null.
    std::FILE* in = size > 0 ? fmemopen(const_cast<std::uint8_t*>(data), size, "r")
                             : std::fopen("/dev/null", "r");
    char* out_buf = nullptr;
    char* con_buf = nullptr;
    std::size_t out_size = 0;
    std::size_t con_size = 0;
    std::FILE* out = open_memstream(&out_buf, &out_size);
    std::FILE* con = open_memstream(&con_buf, &con_size);
    if (in == nullptr || out == nullptr || con == nullptr)
        std::abort();

    convert_lines(in, out, con);
    check(!std::ferror(in) && !std::ferror(out), "stream state");
    std::fclose(in);
    const std::string got_out = take(out, out_buf, out_size);
    const std::string got_con = take(con, con_buf, con_size);

    const model_result want =
        model_convert({reinterpret_cast<const char*>(data), size}, text_ends_at_ctrl_z);
    check(got_out == want.out, "output");
    check(got_con == want.console, "console");
    return 0;
}
