// DER, the encoding of the ASN.1 inside a signature, read one element at a time. Every read stays
// inside the bytes it is given; a child is read from its parent's contents, so no nesting can reach
// past the outermost element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct DerElement {
    std::uint8_t tag = 0;
    const std::uint8_t* body = nullptr;  // the contents
    std::size_t size = 0;
    const std::uint8_t* next = nullptr;  // just past the element
};

inline constexpr std::uint8_t kDerOctetString = 0x04, kDerOid = 0x06, kDerSequence = 0x30;

// The element at the start of [at, end). False when the bytes there are not one: cut short, a
// high tag number, an indefinite length, a long-form length of more than four bytes or not in its
// shortest form, or contents longer than the bytes left.
bool ReadDerElement(const std::uint8_t* at, const std::uint8_t* end, DerElement* element);

// An OBJECT IDENTIFIER's contents as dotted text ("2.16.840.1.101.3.4.2.1"); empty when malformed.
std::string DerOidText(const DerElement& oid);
