#include "kit/signature/authenticode.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <nlohmann/json.hpp>

#include "kit/common/display.h"
#include "kit/common/kit_files.h"
#include "support/file.h"
#include "support/little_endian.h"
#include "update/entry_check.h"

namespace {

constexpr std::uint16_t kCertificateRevision2 = 0x0200;
constexpr std::uint16_t kCertificateTypePkcs7 = 0x0002;
constexpr std::size_t kCertificateHeader = 8;
// The headers of any PE file this tool reads sit in the stub, before the payload.
constexpr std::uint32_t kHeaderBytes = 0x1000;

// One line for people: "none", "signed by CN=..., sha256 digest matches the file", ...
std::string DescribeSignature(const SignatureReport& report) {
    using State = SignatureReport::State;
    switch (report.state) {
    case State::None: return report.problem.empty() ? "none (unsigned)" : "none: the file is " + report.problem;
    case State::Matches:
        return "signed by " + report.subject + "; its " + report.algorithm +
               " digest matches the file (unchanged since signing)";
    case State::Changed:
        return "signed by " + report.subject + "; CHANGED after signing: the signature's " + report.algorithm +
               " digest is " + report.signedDigest + ", the file's is " + report.fileDigest;
    case State::Damaged: return "damaged: " + report.problem;
    case State::NotChecked: return "present, not checked: " + report.problem;
    }
    return {};
}

}  // namespace

SignatureReport ReadSignature(const std::string& path, const SignatureBackend& backend) {
    SignatureReport report;
    auto damaged = [&report](std::string problem) {
        report.state = SignatureReport::State::Damaged;
        report.problem = std::move(problem);
        return report;
    };
    CFileDX file;
    std::u16string wide = WidenUtf8(path);
    if (wide.empty() || !file.OpenRead(wide.c_str())) return damaged("cannot open the file");
    const std::uint32_t fileSize = file.GetSize();
    std::string head(std::min(fileSize, kHeaderBytes), '\0');
    if (fileSize == os::kInvalidSize || file.Read(head.data(), static_cast<std::uint32_t>(head.size())) != head.size()) {
        return damaged("cannot read the file's headers");
    }
    PeSignatureLayout layout;
    std::string error;
    if (!ReadPeSignatureLayout(reinterpret_cast<const std::uint8_t*>(head.data()), head.size(), &layout, &error)) {
        report.problem = error + ", so it cannot carry a signature";
        return report;
    }
    if (!layout.Signed()) return report;
    // Signers put the table last; anything after it would be outside the digest and unsigned.
    if (layout.tableSize < kCertificateHeader || std::uint64_t(layout.tableOffset) + layout.tableSize != fileSize ||
        layout.tableOffset < head.size()) {
        return damaged("the certificate table (at " + std::to_string(layout.tableOffset) + ", " +
                       std::to_string(layout.tableSize) + " bytes) is not the end of the file (" +
                       std::to_string(fileSize) + " bytes)");
    }
    std::uint8_t header[kCertificateHeader];
    if (!file.Seek(static_cast<std::int32_t>(layout.tableOffset)) || file.Read(header, sizeof header) != sizeof header) {
        return damaged("cannot read the certificate table");
    }
    const std::uint32_t length = LoadLe32(header);
    if (length < kCertificateHeader || length > layout.tableSize || LoadLe16(header + 4) != kCertificateRevision2 ||
        LoadLe16(header + 6) != kCertificateTypePkcs7) {
        return damaged("the certificate table's first entry is not a PKCS#7 signature");
    }
    std::string der(length - kCertificateHeader, '\0');
    if (file.Read(der.data(), static_cast<std::uint32_t>(der.size())) != der.size()) {
        return damaged("the certificate table is cut short");
    }
    backend.check(file, layout, der, &report);
    if (report.state == SignatureReport::State::Matches && backend.judgeTrust) backend.judgeTrust(wide, &report);
    return report;
}

bool HashSignedBytes(CFileDX& file, const PeSignatureLayout& layout,
                     const std::function<bool(const std::uint8_t*, std::size_t)>& update) {
    auto buffer = std::make_unique<std::uint8_t[]>(kCopyChunk);
    auto range = [&](std::uint32_t from, std::uint32_t to) {
        if (!file.Seek(static_cast<std::int32_t>(from))) return false;
        for (std::uint32_t at = from; at < to;) {
            std::uint32_t chunk = std::min(kCopyChunk, to - at);
            if (file.Read(buffer.get(), chunk) != chunk || !update(buffer.get(), chunk)) return false;
            at += chunk;
        }
        return true;
    };
    return range(0, layout.checksumOffset) && range(layout.checksumOffset + 4, layout.entryOffset) &&
           range(layout.entryOffset + 8, layout.tableOffset);
}

void MarkDamaged(SignatureReport* report, SignatureDamage why, const std::string& detail) {
    static const char* const reasons[] = {
        "the certificate table holds no PKCS#7 SignedData",
        "the signature's content is not Authenticode data",
        "the Authenticode data holds no digest",
        "the signed digest is missing or of an unknown algorithm",
        "the signature does not carry its signer's certificate",
        "the signer's signature does not cover the signed digest: the signature was altered",
        "cannot read the file to hash it",
    };
    report->state = SignatureReport::State::Damaged;
    report->problem = reasons[static_cast<int>(why)];
    if (why == SignatureDamage::NotAuthenticode) report->problem += " (" + detail + ")";
}

void SetFileDigest(SignatureReport* report, std::string fileDigest) {
    report->fileDigest = std::move(fileDigest);
    report->state = report->fileDigest == report->signedDigest ? SignatureReport::State::Matches
                                                                : SignatureReport::State::Changed;
}

bool ReadDerElement(const std::uint8_t* at, const std::uint8_t* end, DerElement* element, int tag) {
    if (!at || end - at < 2 || (at[0] & 0x1F) == 0x1F || (tag != kDerAnyTag && at[0] != tag)) return false;
    std::size_t length = at[1];
    const std::uint8_t* p = at + 2;
    if (length & 0x80) {
        const std::size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 4 || static_cast<std::size_t>(end - p) < bytes || p[0] == 0) return false;
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i) length = length << 8 | *p++;
        if (length < 0x80) return false;
    }
    if (length > static_cast<std::size_t>(end - p)) return false;
    *element = {at[0], p, length, p + length};
    return true;
}

std::string DerOidText(const DerElement& oid) {
    if (oid.size == 0 || (oid.body[oid.size - 1] & 0x80)) return {};
    std::string text;
    std::uint64_t arc = 0;
    for (std::size_t i = 0; i < oid.size; ++i) {
        if (arc >> 56 || (arc == 0 && oid.body[i] == 0x80)) return {};  // too long, or not in its shortest form
        arc = arc << 7 | (oid.body[i] & 0x7F);
        if (oid.body[i] & 0x80) continue;
        if (text.empty()) {
            const std::uint64_t first = arc < 80 ? arc / 40 : 2;
            text = std::to_string(first) + "." + std::to_string(arc - first * 40);
        } else {
            text += "." + std::to_string(arc);
        }
        arc = 0;
    }
    return text;
}

const AuthenticodeDigest* FindAuthenticodeDigest(const char* oid) {
    for (const AuthenticodeDigest& digest : kAuthenticodeDigests) {
        if (oid && std::strcmp(oid, digest.oid) == 0) return &digest;
    }
    return nullptr;
}

const AuthenticodeDigest* ReadAuthenticodeContent(const std::uint8_t* der, std::size_t size, DerElement* signedPart,
                                                  SignatureReport* report) {
    // SEQUENCE { data SEQUENCE, DigestInfo SEQUENCE { SEQUENCE { OID, parameters }, OCTET STRING } }.
    const std::uint8_t* end = der + size;
    DerElement data, digestInfo, algorithm, oid, digest;
    const bool framed = ReadDerElement(der, end, signedPart, kDerSequence) && signedPart->next == end &&
                        ReadDerElement(signedPart->body, end, &data, kDerSequence) &&
                        ReadDerElement(data.next, end, &digestInfo, kDerSequence) && digestInfo.next == end;
    const AuthenticodeDigest* known =
        framed && ReadDerElement(digestInfo.body, end, &algorithm, kDerSequence) &&
                ReadDerElement(algorithm.body, algorithm.next, &oid, kDerOid) &&
                ReadDerElement(algorithm.next, end, &digest, kDerOctetString) && digest.next == end
            ? FindAuthenticodeDigest(DerOidText(oid).c_str())
            : nullptr;
    if (!known || digest.size != known->size) {
        MarkDamaged(report, framed ? SignatureDamage::UnknownDigest : SignatureDamage::NoDigest);
        return nullptr;
    }
    report->algorithm = known->name;
    report->signedDigest = HexBytes(digest.body, digest.size);
    return known;
}

nlohmann::json SignatureJson(const SignatureReport& report) {
    static const char* const states[] = {"none", "matches", "changed", "damaged", "not checked"};
    nlohmann::json doc = {{"state", states[static_cast<int>(report.state)]}};
    if (!report.subject.empty()) doc["subject"] = report.subject;
    if (!report.algorithm.empty()) doc["algorithm"] = report.algorithm;
    if (!report.signedDigest.empty()) doc["signedDigest"] = report.signedDigest;
    if (!report.fileDigest.empty()) doc["fileDigest"] = report.fileDigest;
    if (!report.problem.empty()) doc["problem"] = report.problem;
    if (!report.trust.empty()) {
        doc["trusted"] = report.trusted;
        doc["trust"] = report.trust;
    }
    doc["description"] = DescribeSignature(report);
    return doc;
}
