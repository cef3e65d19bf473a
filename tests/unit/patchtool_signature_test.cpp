// The Authenticode signature of a patch: the certificate table found and checked, and (with osslsigncode
// and openssl) a signed patch verified until a byte changes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include <nlohmann/json.hpp>

#include "unit/patchtool_fixture.h"

namespace {

using namespace patchtool_test;

// A certificate table that is no signature: the table is found and read, the PKCS#7 is not.
TEST(PatchtoolSignature, CertificateTableIsFoundAndCheckedWhereTheBuildCan) {
    Workshop w;
    w.stub = SignableStub();
    ASSERT_EQ(Patchtool(w.BuildArgs()).code, 0);
    std::string patch = w.dir.Read("patch.exe");
    EXPECT_TRUE(Contains(Patchtool({"verify", w.At("patch.exe")}).out, "signature: none (unsigned)\n"));

    patch.resize((patch.size() + 7) / 8 * 8, '\0');
    std::string table(16, '\x5A');
    Put32(table, 0, 16);
    Put16(table, 4, 0x0200);
    Put16(table, 6, 0x0002);
    const std::size_t entry = 0x58 + 112 + 4 * 8;
    Put32(patch, entry, static_cast<std::uint32_t>(patch.size()));
    Put32(patch, entry + 4, 16);
    w.dir.Write("junk.exe", patch + table);
    SignatureReport report = ReadSignature(w.At("junk.exe"));
#ifdef _WIN32
    EXPECT_EQ(report.state, SignatureReport::State::NotChecked);
#else
    EXPECT_EQ(report.state, SignatureReport::State::Damaged);
    EXPECT_EQ(report.problem, "the certificate table holds no PKCS#7 SignedData");
    Outcome verified = Patchtool({"verify", w.At("junk.exe")});
    EXPECT_EQ(verified.code, kExitSignatureChanged);
    EXPECT_TRUE(Contains(verified.out, "signature: damaged: the certificate table holds no PKCS#7"));
#endif
    // A table that is not the end of the file leaves bytes outside the signature.
    w.dir.Write("trailing.exe", patch + table + "x");
    EXPECT_EQ(ReadSignature(w.At("trailing.exe")).state, SignatureReport::State::Damaged);
    Put32(table, 0, 17);
    w.dir.Write("overlong.exe", patch + table);
    EXPECT_EQ(ReadSignature(w.At("overlong.exe")).problem,
              "the certificate table's first entry is not a PKCS#7 signature");
}

#ifndef _WIN32
TEST(PatchtoolSignature, SignedPatchVerifiesUntilABytesChanges) {
    Signer signer;
    Workshop w;
    w.stub = SignableStub();
    ASSERT_EQ(Patchtool(w.BuildArgs()).code, 0);
    ASSERT_TRUE(signer.Sign(w.At("patch.exe"), w.At("signed.exe")));
    const std::string matches = "signature: signed by CN=Patchtool Test Signer,O=Test; its sha256 digest matches";
    Outcome good = Patchtool({"verify", w.At("signed.exe")});
    EXPECT_EQ(good.code, 0) << good.out << good.err;
    EXPECT_TRUE(Contains(good.out, matches));
    EXPECT_TRUE(Contains(Patchtool({"list", w.At("signed.exe")}).out, matches));
    nlohmann::json doc = nlohmann::json::parse(Patchtool({"verify", "--json", w.At("signed.exe")}).out);
    EXPECT_EQ(doc["signature"]["state"], "matches");
    EXPECT_EQ(doc["signature"]["signedDigest"], doc["signature"]["fileDigest"]);
    EXPECT_EQ(doc["passed"], true);

    // After signing: a payload byte, a byte the patcher never reads, and the excluded CheckSum field.
    const std::string signedBytes = w.dir.Read("signed.exe");
    const std::vector<std::tuple<const char*, std::size_t, int, const char*>> changes = {
        {"payload byte", kPayloadOffset + 0x300, kExitSignatureChanged, "MISMATCH    \"data1.arc\""},
        {"zero fill before the payload", kPayloadOffset - 8, kExitSignatureChanged, "3 OK"},
        {"the header's CheckSum field", 0x58 + 64, 0, "digest matches"},
    };
    for (const auto& [what, at, code, also] : changes) {
        SCOPED_TRACE(what);
        std::string bytes = signedBytes;
        bytes[at] ^= 0x01;
        w.dir.Write("changed.exe", bytes);
        Outcome outcome = Patchtool({"verify", w.At("changed.exe")});
        EXPECT_EQ(outcome.code, code);
        EXPECT_TRUE(Contains(outcome.out, also));
        if (code != 0) {
            ExpectContainsAll(outcome.out, {"CHANGED after signing", "verify: FAILED: the file is not what was signed"});
        }
    }

    // The digest inside the signature replaced by the changed file's: the signer's signature fails.
    std::string changed = signedBytes;
    changed[kPayloadOffset - 8] ^= 0x01;
    w.dir.Write("changed.exe", changed);
    SignatureReport report = ReadSignature(w.At("changed.exe"));
    ASSERT_EQ(report.state, SignatureReport::State::Changed);
    auto binary = [](const std::string& hex) {
        std::string bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
        return bytes;
    };
    std::size_t at = changed.rfind(binary(report.signedDigest));
    ASSERT_NE(at, std::string::npos);
    changed.replace(at, report.signedDigest.size() / 2, binary(report.fileDigest));
    w.dir.Write("forged.exe", changed);
    Outcome forged = Patchtool({"verify", w.At("forged.exe")});
    EXPECT_EQ(forged.code, kExitSignatureChanged);
    EXPECT_TRUE(Contains(forged.out, "signature: damaged: the signer's signature does not cover the signed digest"));

    // A signed stub is refused with the way out; without its signature it builds again.
    w.dir.Write("stub.exe", w.stub);
    ASSERT_TRUE(signer.Sign(w.At("stub.exe"), w.At("signed-stub.exe")));
    std::vector<std::string> args = w.BuildArgs();
    args[2] = w.At("signed-stub.exe");
    Outcome refused = Patchtool(args);
    EXPECT_EQ(refused.code, kExitFailed);
    ExpectContainsAll(refused.err, {"the stub is signed", "osslsigncode remove-signature -in STUB.exe -out UNSIGNED.exe"});
    std::string removed = "osslsigncode remove-signature -in '" + w.At("signed-stub.exe") + "' -out '" +
                          w.At("unsigned-stub.exe") + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(removed.c_str()), 0);
    args[2] = w.At("unsigned-stub.exe");
    EXPECT_EQ(Patchtool(args).code, 0) << Patchtool(args).err;
}
#endif

}  // namespace
