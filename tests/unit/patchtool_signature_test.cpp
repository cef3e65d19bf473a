// The Authenticode signature of a patch: the certificate table found and checked, and (with osslsigncode
// and openssl) a signed patch verified until a byte changes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include <nlohmann/json.hpp>

#include "unit/os_test_support.h"
#include "unit/patchtool_fixture.h"

namespace {

using namespace patchtool_test;

// Every backend over one table of files, signed and not, changed after signing, forged and damaged:
// the state each backend gives, and what the build's own backend makes patchtool say and exit with.
TEST(PatchtoolSignature, EveryBackendGivesTheSameVerdicts) {
    using State = SignatureReport::State;
    SignedSamples samples;
    std::string why;
    if (!samples.Load(&why)) GTEST_SKIP() << why;
    const std::string& good = samples.signedPatch;
    PeSignatureLayout layout;
    std::string error;
    ASSERT_TRUE(ReadPeSignatureLayout(reinterpret_cast<const std::uint8_t*>(good.data()), 0x1000, &layout, &error));
    ASSERT_TRUE(layout.Signed());
    auto flipped = [](std::string bytes, std::size_t at) {
        bytes[at] ^= 0x01;
        return bytes;
    };
    // A certificate table of the given bytes in place of the signed one.
    auto withTable = [&](const std::string& body, std::uint32_t declared) {
        std::string bytes = good.substr(0, layout.tableOffset);
        std::string table(8, '\0');
        Put32(table, 0, declared);
        Put16(table, 4, 0x0200);
        Put16(table, 6, 0x0002);
        table += body;
        Put32(bytes, layout.entryOffset + 4, static_cast<std::uint32_t>(table.size()));
        return bytes + table;
    };
    // The stamped caption slot, which the signature covers as any other byte of the image.
    std::uint32_t slot = 0, slotSize = 0;
    ASSERT_TRUE(FindSection(reinterpret_cast<const std::uint8_t*>(good.data()), kPayloadOffset, kCaptionSection, &slot,
                            &slotSize, &error));
    const std::string der = good.substr(layout.tableOffset + 8, LoadLe32(reinterpret_cast<const std::uint8_t*>(
                                                                             good.data() + layout.tableOffset)) - 8);
    // The signed digest replaced by the changed file's own: only the signer's signature can tell.
    std::string forged = flipped(good, kPayloadOffset - 8);
    TempDir dir("ヴェルモラ");
    dir.Write("forged.exe", forged);
    const SignatureReport changed = ReadSignature(ToUtf8(dir.Native("forged.exe")));
    ASSERT_EQ(changed.state, State::Changed);
    auto binary = [](const std::string& hex) {
        std::string bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        return bytes;
    };
    const std::size_t at = forged.rfind(binary(changed.signedDigest));
    ASSERT_NE(at, std::string::npos);
    forged.replace(at, changed.signedDigest.size() / 2, binary(changed.fileDigest));

    struct Case {
        const char* what;
        std::string bytes;
        State state;            // what a backend that reads signatures says
        const char* problem;    // its reason, when Damaged
        bool read = true;       // false: decided before any backend reads the PKCS#7
        const char* verifyAlso = "";  // in verify's report too
    };
    const std::vector<Case> cases = {
        {"unsigned", samples.patch, State::None, "", false},
        {"signed", good, State::Matches, ""},
        {"signed again after a change", samples.resigned, State::Matches, ""},
        {"the header's CheckSum field changed", flipped(good, layout.checksumOffset), State::Matches, ""},
        {"a payload byte changed", flipped(good, kPayloadOffset + 0x300), State::Changed, "", true, "MISMATCH"},
        {"the caption slot changed", flipped(good, slot + 8 + 2 * 15), State::Changed, "", true, " ver 1.03 "},
        {"zero fill before the payload changed", flipped(good, kPayloadOffset - 8), State::Changed, "", true,
         " 0 failed"},
        {"the signed digest forged", forged, State::Damaged, "the signer's signature does not cover the signed digest"},
        {"no PKCS#7 in the table", withTable(std::string(8, '\x5A'), 16), State::Damaged,
         "the certificate table holds no PKCS#7 SignedData"},
        {"a byte after the table", good + "x", State::Damaged, "is not the end of the file", false},
        {"the table's entry longer than the table", withTable(std::string(8, '\x5A'), 17), State::Damaged,
         "the certificate table's first entry is not a PKCS#7 signature", false},
    };
    std::vector<const SignatureBackend*> backends = {&SystemSignatureBackend(), &kUncheckedSignatures};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dir.Write("case.exe", c.bytes);
        const std::string path = ToUtf8(dir.Native("case.exe"));
        for (const SignatureBackend* backend : backends) {
            SCOPED_TRACE(backend->name);
            const bool reads = backend != &kUncheckedSignatures;
            const SignatureReport report = ReadSignature(path, *backend);
            EXPECT_EQ(report.state, reads || !c.read ? c.state : State::NotChecked);
            if (reads || !c.read) {
                // A row without a reason wants none given.
                EXPECT_TRUE(*c.problem ? Contains(report.problem, c.problem) : report.problem.empty()) << report.problem;
            }
            if (reads && c.state == State::Matches) {
                EXPECT_EQ(report.subject, "CN=Patchtool Test Signer,O=Test");
                EXPECT_EQ(report.algorithm, "sha256");
                EXPECT_EQ(report.signedDigest, report.fileDigest);
            }
            // Only Windows judges the chain; the test certificate is its own root, which Windows does
            // not trust. Wine 8 deviates: its final Authenticode policy step fails without an error
            // code when the signer has no signature-hash property, so WinVerifyTrust says trusted.
            EXPECT_EQ(report.trust.empty(), !backend->judgeTrust || report.state != State::Matches);
            if (!report.trust.empty()) {
                const bool wine = ostest::RunsUnderWine();
                EXPECT_EQ(report.trusted, wine);
                EXPECT_TRUE(Contains(report.trust, wine ? "trusted on this machine" : "CERT_E_UNTRUSTEDROOT"));
            }
        }
        const Outcome verified = Patchtool({"verify", path});
        const bool broken = c.state == State::Changed || c.state == State::Damaged;
        EXPECT_EQ(verified.code, broken ? kExitSignatureChanged : 0) << verified.out;
        if (broken) {
            EXPECT_TRUE(Contains(verified.out, "verify: FAILED: the file is not what was signed"));
        }
        if (c.state == State::Changed) {
            EXPECT_TRUE(Contains(verified.out, "CHANGED after signing"));
        }
        if (*c.verifyAlso) {
            EXPECT_TRUE(Contains(verified.out, c.verifyAlso));
        }
    }

    // The PKCS#7 cut short anywhere: damaged for every backend that reads it, and never a crash.
    for (std::size_t cut = 0; cut < der.size(); cut += 1 + cut / 8) {
        SCOPED_TRACE(cut);
        dir.Write("cut.exe", withTable(der.substr(0, cut), static_cast<std::uint32_t>(8 + cut)));
        EXPECT_EQ(ReadSignature(ToUtf8(dir.Native("cut.exe"))).state, State::Damaged);
    }

    // list and --json carry the same verdict.
    dir.Write("signed.exe", good);
    ExpectContainsAll(Patchtool({"list", ToUtf8(dir.Native("signed.exe"))}).out,
                      {"signature: signed by CN=Patchtool Test Signer,O=Test; its sha256 digest matches",
                       "caption: 「ヴェルモラ」 ver 1.02 更新パッチ\n"});
    nlohmann::json doc = nlohmann::json::parse(Patchtool({"verify", "--json", ToUtf8(dir.Native("signed.exe"))}).out);
    EXPECT_EQ(doc["signature"]["state"], "matches");
    EXPECT_EQ(doc["signature"].contains("trusted"), SystemSignatureBackend().judgeTrust != nullptr);
    EXPECT_EQ(doc["passed"], true);
}

// The Authenticode content both backends decode, from bytes of exactly its size (the sanitizers see any
// read outside them): accepted with its digest, or refused with the reason every backend gives.
TEST(PatchtoolSignature, AuthenticodeContentIsDecodedWithinItsBytes) {
    auto tlv = [](char tag, const std::string& body) {
        const std::size_t n = body.size();
        return (n < 0x80 ? std::string{tag, char(n)} : std::string{tag, '\x82', char(n >> 8), char(n)}) + body;
    };
    auto content = [&](const std::string& oid, const std::string& digest, const std::string& data = "") {
        return tlv(0x30, tlv(0x30, data) + tlv(0x30, tlv(0x30, tlv(0x06, oid) + std::string(2, '\0')) + digest));
    };
    const std::string sha256 = "\x60\x86\x48\x01\x65\x03\x04\x02\x01", digest = tlv(0x04, std::string(32, '\xAB'));
    const std::string small = content(sha256, digest), rest = small.substr(2), x = std::string(1, '\0');
    const std::string large = content(sha256, digest, tlv(0x04, std::string(300, 'x')));
    using D = SignatureDamage;
    const std::vector<std::tuple<const char*, std::string, const char*, D>> cases = {
        {"short-form lengths", small, "sha256", {}},
        {"long-form lengths", large, "sha256", {}},
        {"sha1", content("\x2B\x0E\x03\x02\x1A", tlv(0x04, std::string(20, 'x'))), "sha1", {}},
        {"an indefinite length", "\x30\x80" + rest + x + x, nullptr, D::NoDigest},
        {"a length not in its shortest form", std::string("\x30\x81\x35") + rest, nullptr, D::NoDigest},
        {"a long-form length with a leading zero", "\x30\x83" + x + large.substr(2), nullptr, D::NoDigest},
        {"a length of five bytes", "\x30\x85" + x + x + x + x + "\x35" + rest, nullptr, D::NoDigest},
        {"a length past the end", "\x30\x84\xFF\xFF\xFF\xFF" + rest, nullptr, D::NoDigest},
        {"a high tag number", "\x3F" + small.substr(1), nullptr, D::NoDigest},
        {"a SET for the SEQUENCE", "\x31" + small.substr(1), nullptr, D::NoDigest},
        {"a byte after it", small + x, nullptr, D::NoDigest},
        {"no DigestInfo", tlv(0x30, tlv(0x30, "")), nullptr, D::NoDigest},
        {"an unknown algorithm (sha224)", content("\x60\x86\x48\x01\x65\x03\x04\x02\x04", tlv(0x04, std::string(28, 'x'))),
         nullptr, D::UnknownDigest},
        {"a digest one byte short", content(sha256, tlv(0x04, std::string(31, 'x'))), nullptr, D::UnknownDigest},
        {"the digest a BIT STRING", content(sha256, tlv(0x03, std::string(32, 'x'))), nullptr, D::UnknownDigest},
        {"an OID cut inside an arc", content("\x60\x86", digest), nullptr, D::UnknownDigest},
        {"an arc not in its shortest form", content("\x60\x80\x86\x48\x01\x65\x03\x04\x02\x01", digest), nullptr,
         D::UnknownDigest},
    };
    auto decode = [](const std::string& bytes, const char* name, D damage) {
        const std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
        SignatureReport report, expected;
        DerElement part;
        const AuthenticodeDigest* digest = ReadAuthenticodeContent(exact.data(), exact.size(), &part, &report);
        if (!digest) MarkDamaged(&expected, damage);
        EXPECT_EQ(report.problem, expected.problem);
        EXPECT_EQ(report.algorithm, name ? name : "");
        if (!digest) return;
        EXPECT_EQ(report.signedDigest, HexBytes(bytes.data() + bytes.size() - digest->size, digest->size));
        EXPECT_EQ(part.body, exact.data() + (exact[1] & 0x80 ? 2 + (exact[1] & 0x7F) : 2));
        EXPECT_EQ(part.body + part.size, exact.data() + exact.size());
    };
    for (const auto& [what, bytes, name, damage] : cases) {
        SCOPED_TRACE(what);
        decode(bytes, name, damage);
    }
    for (const std::string& whole : {small, large}) {
        for (std::size_t cut = 0; cut < whole.size(); ++cut) decode(whole.substr(0, cut), nullptr, D::NoDigest);
    }
    EXPECT_EQ(DerOidText({0x06, reinterpret_cast<const std::uint8_t*>("\x88\x37\x03"), 3}), "2.999.3");
}

#ifndef _WIN32
TEST(PatchtoolSignature, SignedStubIsRefusedWithTheWayOut) {
    Signer signer;
    Workshop w;
    w.stub = SignableStub();
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
