// Signatures read with OpenSSL's libcrypto: the PKCS#7 structure, the signer and the hash.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

#include "kit/common/display.h"
#include "kit/signature/authenticode.h"

namespace {

struct Free {
    void operator()(PKCS7* p) const { PKCS7_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(BIO* p) const { BIO_free_all(p); }
    void operator()(STACK_OF(X509)* p) const { sk_X509_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

std::string Subject(X509* certificate) {
    Owned<BIO> bio(BIO_new(BIO_s_mem()));
    // RFC 2253 escaping in the order the certificate holds it, UTF-8 left as it is.
    if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0,
                                   XN_FLAG_RFC2253 & ~XN_FLAG_DN_REV & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return "?";
    }
    char* text = nullptr;
    long size = BIO_get_mem_data(bio.get(), &text);
    return size > 0 ? std::string(text, static_cast<std::size_t>(size)) : std::string();
}

// Whether the signer's signature covers the Authenticode data as it stands: the data's digest is in
// the signed attributes, and those are signed with the certificate's key. Without this a file could
// be changed and the digest in the signature replaced to match.
bool SignerSignatureHolds(PKCS7* pkcs7, const DerElement& indirect, X509* signer) {
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(pkcs7);
    if (!infos || sk_PKCS7_SIGNER_INFO_num(infos) < 1) return false;
    BIO* content = BIO_new_mem_buf(indirect.body, static_cast<int>(indirect.size));
    if (!content) return false;
    BIO* chain = PKCS7_dataInit(pkcs7, content);
    if (!chain) {
        BIO_free(content);
        return false;
    }
    Owned<BIO> owner(chain);  // the whole chain, content included
    char scratch[4096];
    while (BIO_read(chain, scratch, sizeof scratch) > 0) {
    }
    return PKCS7_signatureVerify(chain, pkcs7, sk_PKCS7_SIGNER_INFO_value(infos, 0), signer) == 1;
}

void CheckWithOpenSsl(CFileDX& file, const PeSignatureLayout& layout, const std::string& der,
                      SignatureReport* report) {
    // What failed is told by report; OpenSSL's own error queue is not left for others to find.
    struct ClearErrors {
        ~ClearErrors() { ERR_clear_error(); }
    } clearErrors;
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    Owned<PKCS7> pkcs7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    if (!pkcs7 || !PKCS7_type_is_signed(pkcs7.get()) || !pkcs7->d.sign || !pkcs7->d.sign->contents) {
        return MarkDamaged(report, SignatureDamage::NoSignedData);
    }
    PKCS7* content = pkcs7->d.sign->contents;
    char type[80] = {};
    OBJ_obj2txt(type, sizeof type, content->type, 1);
    ASN1_TYPE* indirect = std::string(type) == kAuthenticodeContentType ? content->d.other : nullptr;
    if (!indirect) return MarkDamaged(report, SignatureDamage::NotAuthenticode, type);
    // Content that is not a SEQUENCE holds no digest, as the decoder would find it.
    if (indirect->type != V_ASN1_SEQUENCE) return MarkDamaged(report, SignatureDamage::NoDigest);
    const ASN1_STRING* encoded = indirect->value.sequence;  // a SEQUENCE's whole encoding
    DerElement authenticode;
    const AuthenticodeDigest* known =
        ReadAuthenticodeContent(encoded->data, static_cast<std::size_t>(encoded->length), &authenticode, report);
    if (!known) return;
    const EVP_MD* md = EVP_get_digestbyname(known->name);
    if (!md) return MarkDamaged(report, SignatureDamage::UnknownDigest);

    Owned<STACK_OF(X509)> signers(PKCS7_get0_signers(pkcs7.get(), nullptr, 0));
    if (!signers || sk_X509_num(signers.get()) < 1) {
        return MarkDamaged(report, SignatureDamage::NoSigner);
    }
    report->subject = Subject(sk_X509_value(signers.get(), 0));
    if (!SignerSignatureHolds(pkcs7.get(), authenticode, sk_X509_value(signers.get(), 0))) {
        return MarkDamaged(report, SignatureDamage::Altered);
    }

    Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int valueSize = 0;
    auto update = [&context](const std::uint8_t* bytes, std::size_t size) {
        return EVP_DigestUpdate(context.get(), bytes, size) == 1;
    };
    if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1 || !HashSignedBytes(file, layout, update) ||
        EVP_DigestFinal_ex(context.get(), value, &valueSize) != 1) {
        return MarkDamaged(report, SignatureDamage::CannotHash);
    }
    SetFileDigest(report, HexBytes(value, valueSize));
}

}  // namespace

const SignatureBackend& SystemSignatureBackend() {
    static const SignatureBackend backend = {"openssl", CheckWithOpenSsl, nullptr};
    return backend;
}
