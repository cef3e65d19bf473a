// An output buffer that hands on whole UTF-8 sequences only: a console that takes UTF-16 never gets
// half a character, however the text was cut into writes and flushes.
#pragma once

#include <cstddef>
#include <functional>
#include <streambuf>

class Utf8StreamBuffer : public std::streambuf {
public:
    // Gets the text in pieces that end on a sequence boundary (the last piece, at destruction, ends
    // the text as it is).
    using Sink = std::function<void(const char* text, std::size_t size)>;
    explicit Utf8StreamBuffer(Sink sink);
    ~Utf8StreamBuffer() override;
    Utf8StreamBuffer(const Utf8StreamBuffer&) = delete;
    Utf8StreamBuffer& operator=(const Utf8StreamBuffer&) = delete;

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    void Drain(bool all);

    Sink sink_;
    char buffer_[4096];
};

// How many of the last bytes of text begin a sequence that text does not finish (0 to 3).
std::size_t Utf8UnfinishedTail(const char* text, std::size_t size);
