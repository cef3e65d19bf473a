// Runs a fuzz target without libFuzzer: replays the files named on the command line, then feeds it
// pseudo-random inputs built from bytes that matter to the formats (terminators, CR/LF, backslash,
// lead and trail bytes, UTF-8 sequence starts, the magics). Usage: fuzz_x [ITERATIONS] [FILE|FOLDER...]
// (a folder: every file in it, in name order).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

const char* const kTokens[] = {"MORVEN ARC20", "QHV_V2__", "QHV_____", "QMK.hvl", "qmk.hvl", "\r\n", "$", "\\",
                               "..", "\xE6\x97\xA5", "\x95\x5C", "\xED\xA0\x80", "\xED\xB0\x80", "\xC3\xBD", "  \t"};
const std::uint8_t kBytes[] = {0x00, 0x0A, 0x0D, 0x20, 0x09, 0x24, 0x2F, 0x3A, 0x41, 0x5C, 0x61, 0x7F, 0x80,
                               0x81, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF7, 0xFC,
                               0xFD, 0xFE, 0xFF, 0x20, 0x21, 0x40, 0x7E};

std::vector<std::uint8_t> Generate(std::mt19937& rng) {
    std::vector<std::uint8_t> data;
    std::size_t pieces = rng() % 24;
    for (std::size_t i = 0; i < pieces; ++i) {
        switch (rng() % 4) {
            case 0: {
                const char* t = kTokens[rng() % (sizeof kTokens / sizeof *kTokens)];
                data.insert(data.end(), t, t + std::strlen(t));
                break;
            }
            case 1: data.push_back(kBytes[rng() % sizeof kBytes]); break;
            case 2: {
                std::size_t n = rng() % 300;
                for (std::size_t k = 0; k < n; ++k) data.push_back(static_cast<std::uint8_t>(rng()));
                break;
            }
            default: {
                std::uint32_t v = rng() % 3 ? rng() % 64 : rng();  // small counts, sizes and offsets
                for (int k = 0; k < 4; ++k) data.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
            }
        }
    }
    return data;
}

}  // namespace

int main(int argc, char** argv) {
    long iterations = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000;
    std::vector<std::filesystem::path> saved;
    for (int i = 2; i < argc; ++i) {
        std::filesystem::path p(argv[i]);
        if (!std::filesystem::is_directory(p)) {
            saved.push_back(p);
            continue;
        }
        std::vector<std::filesystem::path> files;
        for (const auto& e : std::filesystem::directory_iterator(p))
            if (e.is_regular_file()) files.push_back(e.path());
        std::sort(files.begin(), files.end());
        saved.insert(saved.end(), files.begin(), files.end());
    }
    for (const auto& p : saved) {
        std::ifstream in(p, std::ios::binary);
        std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    if (!saved.empty()) std::printf("%zu saved inputs replayed\n", saved.size());
    // FUZZ_LAST names a file that holds the input under test, so a crash leaves it behind.
    const char* last = std::getenv("FUZZ_LAST");
    std::mt19937 rng(20261208);
    for (long i = 0; i < iterations; ++i) {
        std::vector<std::uint8_t> data = Generate(rng);
        if (last) std::ofstream(last, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("%ld inputs, no failure\n", iterations);
    return 0;
}
