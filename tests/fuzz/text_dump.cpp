// Prints, for every file of a folder (in name order, each read up to its first zero byte), what the
// text helpers make of it: the UTF-16 of MultiToWide and the UTF-8 and code-page forms of that, in
// hex. Built for Linux and for Windows, the two outputs compare the POSIX backend's conversions
// with the Win32 ones (scripts/text-diff runs the Windows one under Wine).
// Usage: text_dump FOLDER
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/text.h"

namespace {

void Bytes(const char* s) {
    for (; s && *s; ++s) std::printf(" %02X", static_cast<unsigned char>(*s));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: text_dump FOLDER\n");
        return 64;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(argv[1]))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
        std::printf("%s:", path.filename().string().c_str());
        Bytes(text.c_str());
        std::printf(" =");
        std::unique_ptr<char16_t[]> wide = MultiToWide(text.c_str());
        if (!wide) {
            std::printf(" none\n");
            continue;
        }
        for (const char16_t* p = wide.get(); *p; ++p) std::printf(" %04X", static_cast<unsigned>(*p));
        std::printf(" |");
        Bytes(WideToMulti(wide.get(), TE_UTF8).get());
        std::printf(" |");
        Bytes(WideToMulti(wide.get(), TE_CODEPAGE).get());
        std::printf("\n");
    }
    return 0;
}
