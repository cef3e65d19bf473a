#include "unit/patchtool_fixture.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace patchtool_test {

Outcome Patchtool(std::vector<std::string> args, const ConsoleIo& io) {
    args.insert(args.begin(), "patchtool");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    std::ostringstream out, err;
    Outcome outcome;
    outcome.code = RunPatchtool(static_cast<int>(argv.size()), argv.data(), out, err, io);
    outcome.out = out.str();
    outcome.err = err.str();
    return outcome;
}

namespace {

testing::AssertionResult Says(const Outcome& outcome, int code, const char* stream, const std::string& part) {
    const std::string& said = stream[0] == 'o' ? outcome.out : outcome.err;
    const bool ok = outcome.code == code && said.find(part) != std::string::npos;
    return (ok ? testing::AssertionSuccess() : testing::AssertionFailure())
           << "exit code " << outcome.code << " (expected " << code << "), " << testing::PrintToString(part)
           << " expected on std" << stream << "\nout:\n" << outcome.out << "\nerr:\n" << outcome.err;
}

}  // namespace

testing::AssertionResult OutSays(const Outcome& outcome, int code, const std::string& part) {
    return Says(outcome, code, "out", part);
}
testing::AssertionResult ErrSays(const Outcome& outcome, int code, const std::string& part) {
    return Says(outcome, code, "err", part);
}

std::string RawVersionList(bool v1, std::uint32_t reserved, const std::vector<std::string>& recordBytes) {
    std::string list = EncodeVersionList({}, v1, reserved);
    Put32(list, 12, static_cast<std::uint32_t>(recordBytes.size()));  // the record count
    for (const std::string& r : recordBytes) list += r;
    return list;
}

std::string RawRecord(bool v1, const std::string& name, const std::string& afterName, std::uint8_t checksumByte) {
    std::string record(v1 ? 64 : 256, '\0');
    std::size_t field = v1 ? 56 : 248;  // the name field; the 8 checksum bytes follow it
    std::memcpy(record.data(), name.data(), name.size());
    std::memcpy(record.data() + name.size() + 1, afterName.data(), afterName.size());
    std::memset(record.data() + field, checksumByte, 8);
    return record;
}

std::string HandMadePatch::Make(bool legacy, std::uint8_t tamperAt) {
    std::string firstData = first;
    if (tamperAt) firstData[tamperAt] ^= 0x40;
    std::vector<PayloadFile> files = {{sjisName, firstData}, {"B.BIN", second},
                                      {"QMK.hvl", EncodeVersionListOf({{"data\\" + sjisName, first}, {"b.bin", second}})}};
    std::string name = legacy ? "legacy.exe" : tamperAt ? "tampered.exe" : "patch.exe";
    dir.Write(name, EncodePatch(MakeStub(), EncodeArchive(files, legacy)));
    return ToUtf8(dir.Native(name));
}

FolderCheck CheckFolder(const std::u16string& folder) {
    FolderCheck result;
    InstallCheck check;
    std::string error;
    if (!CheckInstallation(ToUtf8(std::filesystem::path(folder)), &check, &error)) {
        result.bad.push_back("LIST " + error);
        return result;
    }
    for (const CheckedFile& file : check.files) {
        if (file.state == FileState::Ok) {
            ++result.ok;
        } else {
            result.bad.push_back(std::string(FileStateName(file.state)) + " " + file.name);
        }
    }
    return result;
}

SplitShop::SplitShop(int count, std::size_t base) {
    files.clear();
    std::vector<std::string> records;
    dir.Write("game/game.exe", "exe");
    records.push_back(Record("game.exe", "exe"));
    records.push_back(Record("movie.arc", "not installed"));
    for (int i = 0; i < count; ++i) {
        std::string name = "f" + std::to_string(100 + i) + ".arc";
        Add(name, RandomBytes(base + 7 * i, 1000 + i));
        matched.push_back(i % 4 == 3 || i == count - 1);
        if (matched.back()) {
            std::string folder = i == 3 ? "data/" : "";
            dir.Write("game/" + folder + name, "old " + name);
            records.push_back(Record((i == 3 ? "data\\" : "") + name, "old " + name));
        }
    }
    dir.Write("given.hvl", RawVersionList(false, 0x01020304, records));
    dir.Write("game/QMK.hvl", dir.Read("given.hvl"));
    dir.Write("game/uninst.lst", std::string("Game.exe\r\n$Registry\r\n") + '\0');
}

std::string SplitShop::Record(const std::string& name, const std::string& content) {
    given.push_back(name);
    return EncodeVersionList({RecordOf(name, content)}, false).substr(16);
}

BuildRequest SplitShop::Request(const std::string& out, bool split) {
    dir.Write("stub.exe", stub);
    BuildRequest request;
    request.stubPath = At("stub.exe");
    request.outPath = At(out);
    request.versionListPath = At("given.hvl");
    request.split = split;
    for (const auto& f : files) request.files.push_back(In(f.first));
    return request;
}

InstalledGame::InstalledGame() {
    dir.Write("game/big.arc", big);
    dir.Write("game/Data/データ.arc", "sjis");
    dir.Write("game/Data/utf8.dat", "utf8");
    dir.Write("game/empty.dat", "");
    Add("BIG.ARC", big);           // case differs from the file's
    Add("data\\" + sjis, "sjis");  // a subfolder and a code page 932 name
    Add("data/utf8.dat", "utf8");
    Add("empty.dat", "");
    WriteList();
}

#ifndef _WIN32
namespace {

// A function of scripts/lib/cert.sh run with these arguments (none may hold a single quote).
bool CertificateScript(const std::vector<std::string>& call) {
    std::string cmd = "bash -c '. \"$0\" && \"$@\"' '" PATCHER_SCRIPTS "/lib/cert.sh'";
    for (const std::string& arg : call) cmd += " '" + arg + "'";
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

Signer::Signer() {
    EXPECT_TRUE(CertificateScript({"make_test_certificate", ToUtf8(dir.Root()), "/CN=Patchtool Test Signer/O=Test", "1"}))
        << "openssl is needed (scripts/install-deps installs it)";
}

bool Signer::Sign(const std::string& in, const std::string& out) const {
    return CertificateScript({"sign_with_test_certificate", ToUtf8(dir.Root()), in, out});
}

#endif

bool SignedSamples::Load(std::string* why) {
    std::string root, error;
    if (const char* folder = std::getenv("PATCHER_SIGNED_SAMPLES")) root = testutil::HostPath(folder);
#ifndef _WIN32
    Workshop w;
    if (root.empty()) {
        w.stub = SignableStub();
        std::vector<std::string> args = w.BuildArgs();
        args.insert(args.end(), {"--game-version", "1.02"});  // as scripts/test stamps its samples
        if (Patchtool(args).code != 0) return Fail(why, "the patch was not built");
        if (!CertificateScript({"make_signed_samples", w.At("samples"), w.At("patch.exe")})) {
            return Fail(why, "make_signed_samples failed (it needs openssl and osslsigncode: scripts/install-deps)");
        }
        root = w.At("samples");
    }
#endif
    if (root.empty()) return Fail(why, "PATCHER_SIGNED_SAMPLES names no folder of signed samples (scripts/test makes one)");
    return (ReadWholeFile(root + "/patch.exe", 64u << 20, &patch, &error) &&
            ReadWholeFile(root + "/signed.exe", 64u << 20, &signedPatch, &error) &&
            ReadWholeFile(root + "/resigned.exe", 64u << 20, &resigned, &error)) ||
           Fail(why, error);
}

}  // namespace patchtool_test
