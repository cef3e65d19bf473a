#include "kit/format/pe_image.h"

#include <algorithm>
#include <cstring>

#include "kit/common/display.h"
#include "support/little_endian.h"

namespace {

constexpr std::uint32_t kPe32 = 0x10B;
constexpr std::uint32_t kPe32Plus = 0x20B;
constexpr std::uint64_t kSectionHeader = 40;

struct PeHeaders {
    // The end of the headers or of the last section's raw data, whichever is later.
    std::uint64_t imageEnd = 0;
    std::uint32_t sectionTable = 0;  // file offset of the section table, sections 40-byte headers
    std::uint32_t sections = 0;
    bool hasCertificateEntry = false;  // the optional header is long enough to hold one
    PeSignatureLayout signature;       // valid when hasCertificateEntry
};

// Reads the headers from the file's first bytes; false, with a reason, when they are no PE image's.
bool ReadPeHeaders(const std::uint8_t* data, std::size_t size, PeHeaders* headers, std::string* error) {
    if (size < 0x40 || data[0] != 'M' || data[1] != 'Z') return Fail(error, "not a Windows executable (no MZ header)");
    const std::uint64_t pe = LoadLe32(data + 0x3C);
    if (pe + 24 > size || std::memcmp(data + pe, "PE\0\0", 4) != 0) {
        return Fail(error, "not a PE executable (no PE header)");
    }
    const std::uint64_t sections = LoadLe16(data + pe + 6);
    const std::uint64_t optionalSize = LoadLe16(data + pe + 20);
    const std::uint64_t optional = pe + 24;
    if (optionalSize < 64 || optional + optionalSize > size) {
        return Fail(error, "its PE optional header is missing or cut short");
    }
    const std::uint64_t table = optional + optionalSize;
    if (table + sections * kSectionHeader > size) return Fail(error, "its section table is cut short");
    *headers = PeHeaders{};
    headers->sectionTable = static_cast<std::uint32_t>(table);
    headers->sections = static_cast<std::uint32_t>(sections);
    headers->imageEnd = LoadLe32(data + optional + 60);  // SizeOfHeaders
    for (std::uint64_t i = 0; i < sections; ++i) {
        const std::uint8_t* section = data + table + i * kSectionHeader;
        const std::uint64_t rawSize = LoadLe32(section + 16);
        if (rawSize > 0) headers->imageEnd = std::max(headers->imageEnd, LoadLe32(section + 20) + rawSize);
    }
    // The data directories follow the fixed fields: 96 bytes of them in PE32, 112 in PE32+.
    const std::uint32_t magic = LoadLe16(data + optional);
    const std::uint64_t directories = optional + (magic == kPe32Plus ? 112 : 96);
    const std::uint64_t entry = directories + 4 * 8;  // entry 4: the certificate table
    if ((magic == kPe32 || magic == kPe32Plus) && entry + 8 <= optional + optionalSize) {
        const bool present = LoadLe32(data + directories - 4) > 4;  // NumberOfRvaAndSizes
        headers->hasCertificateEntry = true;
        headers->signature = {static_cast<std::uint32_t>(optional + 64), static_cast<std::uint32_t>(entry),
                              present ? LoadLe32(data + entry) : 0, present ? LoadLe32(data + entry + 4) : 0};
    }
    return true;
}

}  // namespace

bool ReadPeSignatureLayout(const std::uint8_t* data, std::size_t size, PeSignatureLayout* layout, std::string* error) {
    PeHeaders headers;
    if (!ReadPeHeaders(data, size, &headers, error)) return false;
    if (!headers.hasCertificateEntry) return Fail(error, "its PE optional header has no certificate-table entry");
    *layout = headers.signature;
    return true;
}

bool FindImageEnd(const std::uint8_t* data, std::size_t size, std::uint32_t* end, std::string* error) {
    PeHeaders headers;
    if (!ReadPeHeaders(data, size, &headers, error)) return false;
    if (headers.imageEnd > size) {
        return Fail(error, "its image ends at " + HexValue(headers.imageEnd) + ", past the end of the file (" +
                           std::to_string(size) + " bytes)");
    }
    *end = static_cast<std::uint32_t>(headers.imageEnd);
    return true;
}

bool FindSection(const std::uint8_t* data, std::size_t size, const char (&name)[8], std::uint32_t* offset,
                 std::uint32_t* rawSize, std::string* error) {
    PeHeaders headers;
    if (!ReadPeHeaders(data, size, &headers, error)) return false;
    for (std::uint32_t i = 0; i < headers.sections; ++i) {
        const std::uint8_t* section = data + headers.sectionTable + i * kSectionHeader;
        if (std::memcmp(section, name, sizeof name) != 0) continue;
        *offset = LoadLe32(section + 20);
        *rawSize = LoadLe32(section + 16);
        if (std::uint64_t(*offset) + *rawSize > size) {
            return Fail(error, "its section " + std::string(name, sizeof name) + " runs past the end of the file");
        }
        return true;
    }
    return Fail(error, "it has no section " + std::string(name, strnlen(name, sizeof name)));
}

std::uint32_t PeChecksum(const std::uint8_t* data, std::size_t size, std::uint32_t checksumOffset) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < size; i += 2) {
        if (i >= checksumOffset && i < std::uint64_t(checksumOffset) + 4) continue;
        sum += i + 1 < size ? LoadLe16(data + i) : data[i];
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + size);
}
