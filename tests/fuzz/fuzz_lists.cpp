// The installed lists on arbitrary bytes. The uninstall list: a merged file that is well-formed UTF-8
// reads back to itself, so merging the same names again rewrites it byte for byte. (Text the
// detection takes as UTF-8 is copied unchanged, malformed or not, and such bytes may read back
// otherwise.) The version list: the prune either leaves
// the file as it was or writes a list of the same layout with no more records than before.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/memory_os.h"
#include "update/uninstall_list.h"
#include "update/version_list.h"

namespace {

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

void Fail(const char* what) { FuzzCheck(false, "fuzz_lists", what); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemoryOs fs;
    fs.AddFolder(u"C:\\game");
    fs.Put(u"C:\\game\\game.exe", "x");
    auto Read = [&fs](const char16_t* path) {
        const MemoryOs::Entry* e = fs.File(path);
        return e ? e->data : std::string();
    };
    const char16_t* names[] = {u"game.exe", u"Data\\A.arc", u"\u65e5\u672c.dat", nullptr};
    const std::string before(reinterpret_cast<const char*>(data), size);

    fs.Put(u"C:\\game\\uninst.lst", before);
    if (MergeUninstallList(u"C:\\game", names)) {
        std::string once = Read(u"C:\\game\\uninst.lst");
        if (once.empty() || once.back() != '\0') Fail("merged list does not end with its zero byte");
        if (!MergeUninstallList(u"C:\\game", names)) Fail("second merge failed");
        if (IsStrictUtf8(once.substr(0, once.size() - 1)) && Read(u"C:\\game\\uninst.lst") != once)
            Fail("second merge changed the list");
    } else if (size > 0 && Read(u"C:\\game\\uninst.lst") != before) {
        Fail("failed merge changed the list");
    }

    fs.Put(u"C:\\game\\QMK.hvl", before);
    PruneVersionList(u"C:\\game");
    std::string after = Read(u"C:\\game\\QMK.hvl");
    if (after != before) {
        if (after.size() < 16 || after.compare(0, 12, before, 0, 12) != 0) Fail("prune changed the header");
        VersionListHeader was, now;
        if (!ParseVersionListHeader(reinterpret_cast<const std::uint8_t*>(before.data()), &was) ||
            !ParseVersionListHeader(reinterpret_cast<const std::uint8_t*>(after.data()), &now))
            Fail("prune rewrote a list it cannot read");
        if (now.count > was.count || after.size() != 16 + std::size_t(now.count) * now.RecordSize())
            Fail("prune wrote a bad list");
    }
    if (fs.OpenHandles() != 0) Fail("a file left open");
    for (const auto& [key, content] : fs.Files())
        if (key.ends_with(u".new")) Fail("a temporary list left behind");
    return 0;
}
