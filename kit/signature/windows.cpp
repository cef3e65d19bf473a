// Signatures read with the system's own API: crypt32 parses the PKCS#7 and checks the signer's
// signature, CryptoAPI hashes, and wintrust judges the certificate chain as Windows does when it shows
// a file's publisher. No OpenSSL on Windows.
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "kit/common/display.h"
#include "kit/common/kit_files.h"
#include "kit/signature/authenticode.h"
#include "support/os.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kMessageDigest[] = "1.2.840.113549.1.9.4";

// CryptoAPI's ids of kAuthenticodeDigests, in its order.
constexpr ALG_ID kAlgorithmIds[] = {CALG_SHA1, CALG_SHA_256, CALG_SHA_384, CALG_SHA_512, CALG_MD5};
static_assert(sizeof kAlgorithmIds / sizeof(ALG_ID) == sizeof kAuthenticodeDigests / sizeof(AuthenticodeDigest));

// A CryptMsgGetParam value, sized by the first call.
bool MessageParam(HCRYPTMSG message, DWORD kind, DWORD index, std::vector<std::uint8_t>* value) {
    DWORD size = 0;
    if (!CryptMsgGetParam(message, kind, index, nullptr, &size) || size == 0) return false;
    value->assign(size, 0);
    if (!CryptMsgGetParam(message, kind, index, value->data(), &size)) return false;
    value->resize(size);
    return true;
}

class Hash {
public:
    explicit Hash(ALG_ID algorithm) {
        if (CryptAcquireContextW(&provider_, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
            !CryptCreateHash(provider_, algorithm, 0, 0, &hash_)) {
            hash_ = 0;
        }
    }
    ~Hash() {
        if (hash_) CryptDestroyHash(hash_);
        if (provider_) CryptReleaseContext(provider_, 0);
    }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;

    bool Add(const std::uint8_t* bytes, std::size_t size) {
        return hash_ && CryptHashData(hash_, bytes, static_cast<DWORD>(size), 0);
    }
    // The value; empty when the hash failed.
    std::string Value() {
        BYTE value[64];
        DWORD size = sizeof value;
        if (!hash_ || !CryptGetHashParam(hash_, HP_HASHVAL, value, &size, 0)) return {};
        return std::string(reinterpret_cast<const char*>(value), size);
    }

private:
    HCRYPTPROV provider_ = 0;
    HCRYPTHASH hash_ = 0;
};

// RFC 2253 with the RDNs in the order the certificate holds them and UTF-8 left as it is: the form
// the OpenSSL build prints ("CN=...,O=...").
std::string Escaped(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        const bool edge = (i == 0 && (c == '#' || c == ' ')) || (i + 1 == value.size() && c == ' ');
        if (edge || (c != 0 && std::strchr(",+\"\\<>;", c))) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "\\%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

const char* ShortName(const char* oid) {
    static const char* const names[][2] = {
        {"2.5.4.3", "CN"},      {"2.5.4.6", "C"},     {"2.5.4.7", "L"},          {"2.5.4.8", "ST"},
        {"2.5.4.10", "O"},      {"2.5.4.11", "OU"},   {"2.5.4.5", "serialNumber"}, {"2.5.4.9", "street"},
        {"2.5.4.12", "title"},  {"2.5.4.42", "GN"},   {"2.5.4.4", "SN"},         {"2.5.4.17", "postalCode"},
        {"1.2.840.113549.1.9.1", "emailAddress"},     {"0.9.2342.19200300.100.1.25", "DC"},
        {"0.9.2342.19200300.100.1.1", "UID"},
    };
    for (const auto& name : names) {
        if (std::strcmp(oid, name[0]) == 0) return name[1];
    }
    return oid;  // an attribute without a short name goes by its OID
}

std::string Subject(PCCERT_CONTEXT certificate) {
    CERT_NAME_INFO* name = nullptr;
    DWORD size = 0;
    const CERT_NAME_BLOB& subject = certificate->pCertInfo->Subject;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_UNICODE_NAME, subject.pbData, subject.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &name, &size)) {
        return "?";
    }
    std::string text;
    for (DWORD i = 0; i < name->cRDN; ++i) {
        for (DWORD j = 0; j < name->rgRDN[i].cRDNAttr; ++j) {
            const CERT_RDN_ATTR& attribute = name->rgRDN[i].rgRDNAttr[j];
            if (!text.empty()) text += j == 0 ? "," : "+";
            std::u16string value(reinterpret_cast<const char16_t*>(attribute.Value.pbData),
                                 attribute.Value.cbData / sizeof(char16_t));
            text += std::string(ShortName(attribute.pszObjId)) + "=" + Escaped(NarrowToUtf8(value.c_str()));
        }
    }
    LocalFree(name);
    return text;
}

// Whether the signer's signature covers the Authenticode data as it stands: the data's digest is the
// signed attributes' message digest, and crypt32 finds those attributes signed with the certificate's key.
bool SignerSignatureHolds(HCRYPTMSG message, PCCERT_CONTEXT signer, const DerElement& indirect) {
    std::vector<std::uint8_t> param;
    if (!MessageParam(message, CMSG_SIGNER_INFO_PARAM, 0, &param)) return false;
    const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(param.data());
    const AuthenticodeDigest* digest = FindAuthenticodeDigest(info->HashAlgorithm.pszObjId);
    if (!digest) return false;
    const CRYPT_ATTRIBUTE* attribute = nullptr;
    for (DWORD i = 0; i < info->AuthAttrs.cAttr; ++i) {
        if (std::strcmp(info->AuthAttrs.rgAttr[i].pszObjId, kMessageDigest) == 0) attribute = &info->AuthAttrs.rgAttr[i];
    }
    DerElement stored;
    if (!attribute || attribute->cValue < 1 ||
        !ReadDerElement(attribute->rgValue[0].pbData, attribute->rgValue[0].pbData + attribute->rgValue[0].cbData,
                        &stored, kDerOctetString)) {
        return false;
    }
    Hash hash(kAlgorithmIds[digest - kAuthenticodeDigests]);
    if (!hash.Add(indirect.body, indirect.size) ||
        hash.Value() != std::string(reinterpret_cast<const char*>(stored.body), stored.size)) {
        return false;
    }
    return CryptMsgControl(message, 0, CMSG_CTRL_VERIFY_SIGNATURE, signer->pCertInfo) != FALSE;
}

struct StoreCloser {
    void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};

void CheckWithWindows(CFileDX& file, const PeSignatureLayout& layout, const std::string& der,
                      SignatureReport* report) {
    std::unique_ptr<void, decltype(&CryptMsgClose)> message(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr),
                                                            CryptMsgClose);
    DWORD type = 0, size = sizeof type;
    std::vector<std::uint8_t> contentType, content;
    if (!message || !CryptMsgUpdate(message.get(), reinterpret_cast<const BYTE*>(der.data()),
                                    static_cast<DWORD>(der.size()), TRUE) ||
        !CryptMsgGetParam(message.get(), CMSG_TYPE_PARAM, 0, &type, &size) || type != CMSG_SIGNED ||
        !MessageParam(message.get(), CMSG_INNER_CONTENT_TYPE_PARAM, 0, &contentType)) {
        return MarkDamaged(report, SignatureDamage::NoSignedData);
    }
    contentType.push_back(0);
    const std::string typeText(reinterpret_cast<const char*>(contentType.data()));
    if (typeText != kAuthenticodeContentType || !MessageParam(message.get(), CMSG_CONTENT_PARAM, 0, &content)) {
        return MarkDamaged(report, SignatureDamage::NotAuthenticode, typeText);
    }
    DerElement indirect;
    const AuthenticodeDigest* known = ReadAuthenticodeContent(content.data(), content.size(), &indirect, report);
    if (!known) return;

    std::vector<std::uint8_t> signerId;
    std::unique_ptr<void, StoreCloser> store(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message.get()));
    PCCERT_CONTEXT signer = nullptr;
    if (store && MessageParam(message.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, &signerId)) {
        signer = CertGetSubjectCertificateFromStore(store.get(), kEncoding,
                                                    reinterpret_cast<CERT_INFO*>(signerId.data()));
    }
    if (!signer) return MarkDamaged(report, SignatureDamage::NoSigner);
    std::unique_ptr<const CERT_CONTEXT, decltype(&CertFreeCertificateContext)> owner(signer, CertFreeCertificateContext);
    report->subject = Subject(signer);
    if (!SignerSignatureHolds(message.get(), signer, indirect)) {
        return MarkDamaged(report, SignatureDamage::Altered);
    }

    Hash hash(kAlgorithmIds[known - kAuthenticodeDigests]);
    auto update = [&hash](const std::uint8_t* bytes, std::size_t count) { return hash.Add(bytes, count); };
    const std::string value = HashSignedBytes(file, layout, update) ? hash.Value() : std::string();
    if (value.empty()) return MarkDamaged(report, SignatureDamage::CannotHash);
    SetFileDigest(report, HexBytes(value.data(), value.size()));
}

// What WinVerifyTrust's answer means for the person who ships the patch.
std::string TrustText(LONG status) {
    struct Reason {
        LONG status;
        const char* name;
        const char* text;
    };
    static const Reason reasons[] = {
        {static_cast<LONG>(CERT_E_UNTRUSTEDROOT), "CERT_E_UNTRUSTEDROOT",
         "its certificate chain ends in a root certificate this machine does not trust (a self-signed or "
         "test certificate)"},
        {static_cast<LONG>(CERT_E_CHAINING), "CERT_E_CHAINING",
         "no certificate chain to a trusted root could be built from what the signature and this machine hold"},
        {static_cast<LONG>(CERT_E_EXPIRED), "CERT_E_EXPIRED",
         "a certificate of its chain has expired or is not valid yet, and the signature has no timestamp"},
        {static_cast<LONG>(CERT_E_REVOKED), "CERT_E_REVOKED", "a certificate of its chain was revoked"},
        {static_cast<LONG>(TRUST_E_EXPLICIT_DISTRUST), "TRUST_E_EXPLICIT_DISTRUST",
         "this machine distrusts the signer's certificate"},
        {static_cast<LONG>(CERT_E_WRONG_USAGE), "CERT_E_WRONG_USAGE", "the certificate is not one for code signing"},
        {static_cast<LONG>(CERT_E_PURPOSE), "CERT_E_PURPOSE", "the certificate is not one for code signing"},
        {static_cast<LONG>(TRUST_E_BAD_DIGEST), "TRUST_E_BAD_DIGEST", "Windows finds the file changed after signing"},
        {static_cast<LONG>(TRUST_E_NOSIGNATURE), "TRUST_E_NOSIGNATURE", "Windows finds no signature it can read"},
        {static_cast<LONG>(CRYPT_E_SECURITY_SETTINGS), "CRYPT_E_SECURITY_SETTINGS",
         "this machine's security settings forbid trusting it"},
    };
    char code[40];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
    if (status == ERROR_SUCCESS) return "trusted on this machine (its certificate chain ends in a trusted root)";
    for (const Reason& reason : reasons) {
        if (reason.status == status) {
            return std::string("not trusted on this machine: ") + reason.text + " (" + reason.name + ", " + code + ")";
        }
    }
    return std::string("not trusted on this machine (WinVerifyTrust ") + code + ")";
}

// Asks wintrust, as Windows does before it names a publisher: offline (no revocation lists or
// certificates fetched), no user interface. The file is opened through the seam, which takes paths
// beyond MAX_PATH, and wintrust reads that handle.
void JudgeWithWintrust(const std::u16string& path, SignatureReport* report) {
    std::uint32_t error = 0;
    const os::Handle handle = os::Current().OpenRead(path.c_str(), &error);
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = reinterpret_cast<const wchar_t*>(path.c_str());
    fileInfo.hFile = handle != os::kInvalidHandle ? reinterpret_cast<HANDLE>(handle) : nullptr;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);
    const LONG status = WinVerifyTrust(noWindow, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(noWindow, &action, &data);
    if (handle != os::kInvalidHandle) os::Current().Close(handle);
    report->trusted = status == ERROR_SUCCESS;
    report->trust = TrustText(status);
}

}  // namespace

const SignatureBackend& SystemSignatureBackend() {
    static const SignatureBackend backend = {"windows", CheckWithWindows, JudgeWithWintrust};
    return backend;
}
