// The DER reader and the Authenticode content decoder of both signature backends on arbitrary bytes,
// held in a heap block of exactly their size (the sanitizers see any read outside it): every element
// lies inside its parent, and the content is accepted with a digest of its algorithm's size or
// refused as damaged.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_check.h"
#include "kit/signature/authenticode.h"

namespace {

void Check(bool ok, const char* what) { FuzzCheck(ok, "fuzz_der", what); }

// Every element, depth first; constructed ones are opened.
void Walk(const std::uint8_t* at, const std::uint8_t* end, int depth) {
    DerElement element;
    while (depth < 64 && ReadDerElement(at, end, &element)) {
        Check(element.body > at && element.next <= end && element.body + element.size == element.next,
              "an element outside its parent");
        if (element.tag == kDerOid) DerOidText(element);
        if (element.tag & 0x20) Walk(element.body, element.next, depth + 1);
        at = element.next;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size ? size : 1]);
    if (size) std::memcpy(copy.get(), data, size);
    Walk(copy.get(), copy.get() + size, 0);
    SignatureReport report;
    DerElement part;
    if (const AuthenticodeDigest* digest = ReadAuthenticodeContent(copy.get(), size, &part, &report)) {
        Check(part.body > copy.get() && part.body + part.size == copy.get() + size &&
                  report.signedDigest.size() == 2 * digest->size && report.state == SignatureReport::State::None,
              "accepted content outside its bytes or with a digest of the wrong size");
    } else {
        Check(report.state == SignatureReport::State::Damaged && !report.problem.empty(), "refused content without a reason");
    }
    return 0;
}
