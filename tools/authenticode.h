// Authenticode signatures of patches.
//
// A publisher signs a built patch (osslsigncode or signtool): the signer appends a certificate table
// after the payload and points the PE's certificate-table directory entry at it. The signature holds
// a digest of the file without the optional header's CheckSum field, that directory entry and the
// table itself, so it covers the stub and the whole payload. patchtool reports who signed and whether
// that digest still matches the file; it does not judge the certificate chain (osslsigncode verify
// and Windows do).
#pragma once

#include <string>

#include "tools/pe_image.h"

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
};

// "none", "matches", "changed", "damaged", "not checked".
const char* SignatureStateName(SignatureReport::State state);

// Reads and checks the signature of the file at path (UTF-8). The file is streamed, never held whole.
SignatureReport ReadSignature(const std::string& path);

// One line for people: "none", "signed by CN=..., sha256 digest matches the file", ...
std::string DescribeSignature(const SignatureReport& report);

// --- the part that needs a cryptography library; each build links one of two backends ---

class CFileDX;
// Parses the PKCS#7 SignedData in der, finds the signer and the signed digest, and hashes the file's
// covered ranges with the digest's algorithm. Fills every field of report but state None.
void CheckSignatureBlob(CFileDX& file, const PeSignatureLayout& layout, const std::string& der,
                        SignatureReport* report);
