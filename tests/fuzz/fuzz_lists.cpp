// The installed lists on arbitrary bytes. The uninstall list: a merged file that is well-formed UTF-8
// reads back to itself, so merging the same names again rewrites it byte for byte. (Text the
// detection takes as UTF-8 is copied unchanged, malformed or not, and such bytes may read back
// otherwise.) The version list: the prune either leaves
// the file as it was or writes a list of the same layout with no more records than before.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

#include "update/uninstall_list.h"
#include "update/version_list.h"

namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void Write(const fs::path& p, const std::uint8_t* data, std::size_t size) {
    std::ofstream(p, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                static_cast<std::streamsize>(size));
}
// Well-formed UTF-8: shortest forms, no surrogates, nothing above U+10FFFF.
bool IsStrictUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        std::uint32_t code = n == 1 ? c : c & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) {
            unsigned char t = s[i + k];
            if ((t & 0xC0) != 0x80) return false;
            code = code << 6 | (t & 0x3F);
        }
        static const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if ((n > 1 && code < least[n]) || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
        i += n;
    }
    return true;
}

void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_lists: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path folder = [] {
        fs::path p = fs::temp_directory_path() / ("patcher-fuzz-lists-" + std::to_string(getpid()));
        fs::create_directories(p);
        std::ofstream(p / "game.exe") << "x";
        return p;
    }();
    std::u16string wideFolder = folder.u16string();
    const char16_t* names[] = {u"game.exe", u"Data\\A.arc", u"\u65e5\u672c.dat", nullptr};

    Write(folder / "uninst.lst", data, size);
    if (MergeUninstallList(wideFolder.c_str(), names)) {
        std::string once = Read(folder / "uninst.lst");
        if (once.empty() || once.back() != '\0') Fail("merged list does not end with its zero byte");
        if (!MergeUninstallList(wideFolder.c_str(), names)) Fail("second merge failed");
        if (IsStrictUtf8(once.substr(0, once.size() - 1)) && Read(folder / "uninst.lst") != once)
            Fail("second merge changed the list");
    } else if (size > 0 && Read(folder / "uninst.lst") != std::string(reinterpret_cast<const char*>(data), size)) {
        Fail("failed merge changed the list");
    }

    Write(folder / "QMK.hvl", data, size);
    PruneVersionList(wideFolder.c_str());
    std::string after = Read(folder / "QMK.hvl");
    std::string before(reinterpret_cast<const char*>(data), size);
    if (after != before) {
        if (after.size() < 16 || after.compare(0, 12, before, 0, 12) != 0) Fail("prune changed the header");
        std::uint32_t was, now;
        std::memcpy(&was, before.data() + 12, 4);
        std::memcpy(&now, after.data() + 12, 4);
        std::uint32_t record = after.compare(0, 8, "QHV_V2__") == 0 ? 256 : 64;
        if (now > was || after.size() != 16 + std::size_t(now) * record) Fail("prune wrote a bad list");
    }
    return 0;
}
