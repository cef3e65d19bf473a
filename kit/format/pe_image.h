// Reading a Windows executable's headers: where its image ends and where a signature would sit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Where a PE file keeps what the Authenticode digest leaves out.
struct PeSignatureLayout {
    std::uint32_t checksumOffset = 0;  // the optional header's CheckSum field (4 bytes)
    std::uint32_t entryOffset = 0;     // the certificate-table directory entry (8 bytes)
    std::uint32_t tableOffset = 0;     // the table: a file offset, 0 when the file is not signed
    std::uint32_t tableSize = 0;
    bool Signed() const { return tableOffset != 0 || tableSize != 0; }
};

// The signature layout from the file's first bytes. False, with a reason, when they are not a PE
// image's headers (no MZ or PE signature, an optional header or section table cut short), or when
// the optional header has no certificate-table entry.
bool ReadPeSignatureLayout(const std::uint8_t* data, std::size_t size, PeSignatureLayout* layout, std::string* error);

// Where the PE image held whole in data ends. False, with a reason, when the bytes are not a PE
// image or are cut short.
bool FindImageEnd(const std::uint8_t* data, std::size_t size, std::uint32_t* end, std::string* error);

// Where the raw data of the section named name (8 bytes, zero-padded) lies in the file held whole
// in data. False, with a reason, when the bytes are no PE image, there is no such section, or its
// raw data runs past the end of data.
bool FindSection(const std::uint8_t* data, std::size_t size, const char (&name)[8], std::uint32_t* offset,
                 std::uint32_t* rawSize, std::string* error);

// The PE checksum of the file held whole in data, as the optional header's CheckSum field (at
// checksumOffset, counted as zero) should hold it: the 16-bit one's-complement sum of the file's
// words plus its length.
std::uint32_t PeChecksum(const std::uint8_t* data, std::size_t size, std::uint32_t checksumOffset);
