#include "tools/patchtool/utf8_stream.h"

#include <cstring>

std::size_t Utf8UnfinishedTail(const char* text, std::size_t size) {
    for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
        const unsigned char byte = static_cast<unsigned char>(text[size - back]);
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        if (byte < 0xC0) return 0;
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
        return length > back ? back : 0;
    }
    return 0;
}

Utf8StreamBuffer::Utf8StreamBuffer(Sink sink) : sink_(std::move(sink)) { setp(buffer_, buffer_ + sizeof buffer_); }

Utf8StreamBuffer::~Utf8StreamBuffer() { Drain(true); }

Utf8StreamBuffer::int_type Utf8StreamBuffer::overflow(int_type c) {
    Drain(false);
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

int Utf8StreamBuffer::sync() {
    Drain(false);
    return 0;
}

void Utf8StreamBuffer::Drain(bool all) {
    const std::size_t size = static_cast<std::size_t>(pptr() - pbase());
    const std::size_t keep = all ? 0 : Utf8UnfinishedTail(pbase(), size);
    if (size > keep) sink_(pbase(), size - keep);
    std::memmove(buffer_, pbase() + size - keep, keep);
    setp(buffer_, buffer_ + sizeof buffer_);
    pbump(static_cast<int>(keep));
}
