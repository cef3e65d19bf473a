#include "tools/authenticode.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "support/file.h"
#include "support/little_endian.h"
#include "tools/der.h"
#include "tools/display.h"
#include "tools/tool_files.h"
#include "update/entry_check.h"

namespace {

constexpr std::uint16_t kCertificateRevision2 = 0x0200;
constexpr std::uint16_t kCertificateTypePkcs7 = 0x0002;
constexpr std::size_t kCertificateHeader = 8;
// The headers of any PE file this tool reads sit in the stub, before the payload.
constexpr std::uint32_t kHeaderBytes = 0x1000;

}  // namespace

const char* SignatureStateName(SignatureReport::State state) {
    static const char* const names[] = {"none", "matches", "changed", "damaged", "not checked"};
    return state <= SignatureReport::State::NotChecked ? names[static_cast<int>(state)] : "?";
}

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
    if (fileSize == 0xFFFFFFFFu || file.Read(head.data(), static_cast<std::uint32_t>(head.size())) != head.size()) {
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

const AuthenticodeDigest* FindAuthenticodeDigest(const char* oid) {
    for (const AuthenticodeDigest& digest : kAuthenticodeDigests) {
        if (oid && std::strcmp(oid, digest.oid) == 0) return &digest;
    }
    return nullptr;
}

bool ReadAuthenticodeContent(const std::uint8_t* der, std::size_t size, AuthenticodeContent* content,
                             SignatureReport* report) {
    // SEQUENCE { data, DigestInfo SEQUENCE { AlgorithmIdentifier SEQUENCE { OID, parameters }, OCTET STRING } }.
    const std::uint8_t* end = der + size;
    DerElement indirect, data, digestInfo, algorithm, oid, digest;
    if (!ReadDerElement(der, end, &indirect) || indirect.tag != kDerSequence || indirect.next != end ||
        !ReadDerElement(indirect.body, indirect.next, &data) || data.tag != kDerSequence ||
        !ReadDerElement(data.next, end, &digestInfo) || digestInfo.tag != kDerSequence || digestInfo.next != end) {
        MarkDamaged(report, SignatureDamage::NoDigest);
        return false;
    }
    const AuthenticodeDigest* known = nullptr;
    if (ReadDerElement(digestInfo.body, end, &algorithm) && algorithm.tag == kDerSequence &&
        ReadDerElement(algorithm.body, algorithm.next, &oid) && oid.tag == kDerOid &&
        ReadDerElement(algorithm.next, end, &digest) && digest.tag == kDerOctetString && digest.next == end) {
        known = FindAuthenticodeDigest(DerOidText(oid).c_str());
    }
    if (!known || digest.size != known->size) {
        MarkDamaged(report, SignatureDamage::UnknownDigest);
        return false;
    }
    *content = {indirect.body, indirect.size, known};
    report->algorithm = known->name;
    report->signedDigest = HexBytes(digest.body, digest.size);
    return true;
}

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
