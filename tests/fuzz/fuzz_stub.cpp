// The patch builder's reader of the stub's PE headers on arbitrary bytes: it reads only inside the
// buffer (the sanitizer checks, and the bytes sit in a heap block of exactly their size), and an
// image end it accepts lies inside the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kit/build/patch_builder.h"
#include "kit/format/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size ? size : 1]);
    if (size) std::memcpy(copy.get(), data, size);
    std::uint32_t end = 0xFFFFFFFFu;
    std::string error;
    bool ok = FindImageEnd(copy.get(), size, &end, &error);
    if (ok ? end > size || !error.empty() : error.empty()) {
        std::fprintf(stderr, "fuzz_stub: accepted %d, end %u of %zu, error \"%s\"\n", ok, end, size, error.c_str());
        std::abort();
    }
    return 0;
}
