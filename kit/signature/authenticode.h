// Authenticode signatures of patches.
//
// A publisher signs a built patch (osslsigncode or signtool): the signer appends a certificate table
// after the payload and points the PE's certificate-table directory entry at it. The signature holds
// a digest of the file without the optional header's CheckSum field, that directory entry and the
// table itself, so it covers the stub and the whole payload. patchtool reports who signed and whether
// that digest still matches the file; on Windows it also asks the system whether it trusts the
// signer's certificate chain (elsewhere osslsigncode verify can judge the chain).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "kit/format/pe_image.h"

struct SignatureReport {
    enum class State {
        None,        // no certificate table
        Matches,     // signed, and the signed digest equals the file's
        Changed,     // signed, but the file changed after signing
        Damaged,     // a certificate table that cannot be read as an Authenticode signature
        NotChecked,  // signed, but this build of patchtool cannot read signatures
    };
    State state = State::None;
    std::string subject;    // the signer certificate's subject, "CN=...,O=..."
    std::string algorithm;  // the digest algorithm, "sha256"
    std::string signedDigest, fileDigest;  // hex
    std::string problem;    // why Damaged or NotChecked
    // What the system says of the signer's certificate chain on this machine, for a signature that
    // matches; empty where the build cannot judge it.
    std::string trust;
    bool trusted = false;
};

class CFileDX;

// How a build reads the PKCS#7 inside the certificate table. Each build has its cryptography
// library's (OpenSSL's libcrypto on Linux, crypt32 and wintrust on Windows) and the one that reads
// none; all of them give the same state for the same file.
struct SignatureBackend {
    const char* name;  // "openssl", "windows", "none"
    // Parses the SignedData in der, finds the signer and the signed digest, and hashes the file's
    // covered ranges with the digest's algorithm. Fills every field of report but state None.
    void (*check)(CFileDX& file, const PeSignatureLayout& layout, const std::string& der, SignatureReport* report);
    // Fills trust and trusted for a file whose signature matches; null where the build cannot judge.
    void (*judgeTrust)(const std::u16string& path, SignatureReport* report);
};
// The build's own backend, the one patchtool uses.
const SignatureBackend& SystemSignatureBackend();
// Sees a signature without reading it.
extern const SignatureBackend kUncheckedSignatures;

// Reads and checks the signature of the file at path (UTF-8). The file is streamed, never held whole.
SignatureReport ReadSignature(const std::string& path, const SignatureBackend& backend = SystemSignatureBackend());

// The report as a JSON object: "state" ("none", "matches", "changed", "damaged", "not checked"), its
// other facts, and a line for people in "description" ("signed by CN=..., sha256 digest matches ...").
nlohmann::json SignatureJson(const SignatureReport& report);

// --- for the backends, so that they say the same ---

// SPC_INDIRECT_DATA_OBJID: the content type of an Authenticode signature.
inline constexpr char kAuthenticodeContentType[] = "1.3.6.1.4.1.311.2.1.4";

// Why a signature that was found cannot be read as one.
enum class SignatureDamage { NoSignedData, NotAuthenticode, NoDigest, UnknownDigest, NoSigner, Altered, CannotHash };
// Sets report Damaged, with the reason in words; detail (the content type found) goes with NotAuthenticode.
void MarkDamaged(SignatureReport* report, SignatureDamage why, const std::string& detail = {});
// Sets the file's digest (hex) and, from it, Matches or Changed.
void SetFileDigest(SignatureReport* report, std::string fileDigest);

// DER, the encoding of the ASN.1 in a signature, read one element at a time and only inside the bytes
// given: a child is read from its parent's contents, so no nesting reaches past the outermost element.
struct DerElement {
    std::uint8_t tag = 0;
    const std::uint8_t* body = nullptr;  // the contents
    std::size_t size = 0;
    const std::uint8_t* next = nullptr;  // just past the element
};
inline constexpr int kDerOctetString = 0x04, kDerOid = 0x06, kDerSequence = 0x30, kDerAnyTag = -1;
// The element at the start of [at, end), of the tag given; false when there is none: cut short, a high
// tag number, an indefinite length, a length of more than four bytes or not in its shortest form.
bool ReadDerElement(const std::uint8_t* at, const std::uint8_t* end, DerElement* element, int tag = kDerAnyTag);
// An OBJECT IDENTIFIER's contents as dotted text ("2.16.840.1.101.3.4.2.1"); empty when malformed.
std::string DerOidText(const DerElement& oid);

// The digests signers use, with the names OpenSSL gives them, so every build says the same.
struct AuthenticodeDigest {
    const char* oid;  // dotted
    const char* name;
    std::size_t size;
};
inline constexpr AuthenticodeDigest kAuthenticodeDigests[] = {
    {"1.3.14.3.2.26", "sha1", 20},          {"2.16.840.1.101.3.4.2.1", "sha256", 32},
    {"2.16.840.1.101.3.4.2.2", "sha384", 48}, {"2.16.840.1.101.3.4.2.3", "sha512", 64},
    {"1.2.840.113549.2.5", "md5", 16},
};
// The digest of the dotted OID; null for one not in the list.
const AuthenticodeDigest* FindAuthenticodeDigest(const char* oid);
// Decodes the signature's content, SpcIndirectDataContent, the whole of [der, der + size): sets report's
// algorithm and signed digest, and signedPart to the content's SEQUENCE, whose contents the signer's
// signed attributes hold the digest of. Null, with report marked Damaged, when it cannot.
const AuthenticodeDigest* ReadAuthenticodeContent(const std::uint8_t* der, std::size_t size, DerElement* signedPart,
                                                  SignatureReport* report);

// Feeds update the bytes the Authenticode digest covers, in order (everything
// before the table but the CheckSum field and the table's directory entry). False when a read or
// update fails.
bool HashSignedBytes(CFileDX& file, const PeSignatureLayout& layout,
                     const std::function<bool(const std::uint8_t*, std::size_t)>& update);
