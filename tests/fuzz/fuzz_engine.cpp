// The whole update on arbitrary archive bytes, against an install folder kept in memory: every run
// ends with one of the worker's results, closes every handle, never reaches outside the install folder
// (MemoryOs aborts on that), leaves the patch as it was, leaves no temporary file behind, and changes
// nothing when it ends before the commit. The input's last byte plants links another user made, each
// leading outside, where the engine creates, reads, replaces or walks: none of them is ever followed.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/memory_os.h"
#include "unit/scripted_view.h"
#include "update/archive.h"
#include "update/worker.h"

namespace {

std::string Record(const char* name, const char* checksum) {
    std::string r(name);
    r.resize(248, '\0');
    return r + std::string(checksum, 8);
}

void Check(bool ok, const char* what) { FuzzCheck(ok, "fuzz_engine", what); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return 0;
    MemoryOs fs;
    fs.AddFolder(u"C:\\game");
    fs.AddFolder(u"C:\\game\\data");
    fs.AddFolder(u"C:\\patch");
    const std::string patch(reinterpret_cast<const char*>(data), size);
    fs.Put(u"C:\\patch\\patch.exe", patch, kPayloadOffset);
    fs.Put(u"C:\\game\\game.exe", "exe");
    fs.Put(u"C:\\game\\a.arc", "old a");
    fs.Put(u"C:\\game\\data\\b.arc", "old b");
    std::string list = std::string("QHV_V2__\0\0\0\0\3\0\0\0", 16) + Record("game.exe", "12345678") +
                       Record("data\\b.arc", "abcdefgh") + Record("gone.arc", "ABCDEFGH");
    fs.Put(u"C:\\game\\QMK.hvl", list);
    fs.Put(u"C:\\game\\uninst.lst", "game.exe\r\na.arc\r\n$reg\r\n");
    const char16_t* const planted[] = {u"C:\\game\\a.arc.tmp",   u"C:\\game\\data\\b.arc.tmp",
                                       u"C:\\game\\QMK.hvl.new", u"C:\\game\\uninst.lst.new",
                                       u"C:\\game\\QMK.hvl",     u"C:\\game\\uninst.lst",
                                       u"C:\\game\\a.arc",       u"C:\\game\\data"};
    const unsigned plan = size > 0 ? data[size - 1] : 0;
    for (unsigned i = 0; i < 8; ++i)
        if ((plan >> i) & 1) fs.PutLink(planted[i], u"C:\\outside\\" + std::u16string(1, char16_t(u'0' + i)), false);
    fs.PutLink(u"C:\\game\\mine", u"C:\\game\\data", true);  // a link of our own, followed
    const auto before = fs.Files();

    ScriptedView view;
    UpdateResult r = RunUpdate(u"C:\\game", view, u"C:\\patch\\patch.exe");

    Check(r == UpdateOk || r == UpdateDamaged || r == UpdateTooManyEntries || r == UpdateInstallFailed ||
              r == UpdateUninstallListFailed,
          "a result the worker never gives here");
    Check(fs.OpenHandles() == 0, "a handle left open");
    const MemoryOs::Entry* after = fs.File(u"C:\\patch\\patch.exe");
    Check(after && after->hole == kPayloadOffset && after->data == patch, "the patch changed");
    const auto files = fs.Files();
    if (r == UpdateDamaged || r == UpdateTooManyEntries) Check(files == before, "a run that stopped early changed files");
    // A payload may name a file "x.tmp" or "x.new" itself; only the ones it cannot have named are checked.
    bool namesTemporary = false;
    for (const char* word : {"tmp", "TMP", "new", "NEW"})
        namesTemporary = namesTemporary || patch.find(word) != std::string::npos;
    for (const auto& [key, content] : files) {
        if (before.count(key) || namesTemporary) continue;
        Check(!key.ends_with(u".tmp") && !key.ends_with(u".new"), "a temporary file left behind");
    }
    if (r == UpdateOk) {
        const MemoryOs::Entry* lst = fs.File(u"C:\\game\\uninst.lst");
        Check(lst && !lst->data.empty() && lst->data.back() == '\0', "the merged list lost its zero byte");
    }
    return 0;
}
