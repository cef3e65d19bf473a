#include "kit/format/stub.h"

#include <algorithm>
#include <cstdint>

#include "kit/common/display.h"
#include "kit/common/kit_files.h"
#include "kit/format/pe_image.h"
#include "update/archive.h"

bool ReadStub(const std::string& path, std::string* stub, std::string* error) {
    std::uint64_t size = 0;
    if (!RegularFileSize(path, &size, error)) return false;
    if (size > kPayloadOffset) {
        return Fail(error, path + ": the stub is " + std::to_string(size) + " bytes; it must end by " +
                           HexValue(kPayloadOffset) + " (" + std::to_string(kPayloadOffset) +
                           " bytes), where the payload starts");
    }
    if (!ReadWholeFile(path, kPayloadOffset, stub, error)) return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(stub->data());
    PeSignatureLayout signature;
    std::string ignored;
    if (ReadPeSignatureLayout(bytes, stub->size(), &signature, &ignored) && signature.Signed()) {
        return Fail(error, path + ": the stub is signed; sign the patch after it is built instead (the signature "
                           "must cover the payload). Remove the stub's signature first, e.g. with "
                           "\"osslsigncode remove-signature -in STUB.exe -out UNSIGNED.exe\"");
    }
    std::uint32_t imageEnd = 0;
    if (!FindImageEnd(bytes, stub->size(), &imageEnd, error)) return Fail(error, path + ": " + *error);
    auto nonzero = std::count_if(bytes + imageEnd, bytes + stub->size(), [](std::uint8_t b) { return b != 0; });
    if (nonzero > 0) {
        return Fail(error, path + ": " + std::to_string(nonzero) + " nonzero bytes after the image end " +
                           HexValue(imageEnd) + "; everything up to " + HexValue(kPayloadOffset) +
                           " must be zero (strip the stub's symbols or remove what was appended to it)");
    }
    return true;
}
