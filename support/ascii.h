// ASCII case folding, the only folding names get (no locale or code page takes part in it), the
// wide forms of ASCII names, and the path separators.
#pragma once

#include <array>
#include <cstddef>

// The unit with an ASCII capital lowered; every other unit, of any width, as it is.
template <typename Unit>
constexpr Unit AsciiLower(Unit c) {
    return c >= Unit('A') && c <= Unit('Z') ? static_cast<Unit>(c + ('a' - 'A')) : c;
}

// Whether the unit separates path components: Windows takes '/' as well as the backslash.
template <typename Unit>
constexpr bool IsPathSeparator(Unit c) {
    return c == Unit('\\') || c == Unit('/');
}

// An ASCII string constant lowered, made at compile time.
template <std::size_t N>
constexpr std::array<char, N> LowerAscii(const char (&text)[N]) {
    std::array<char, N> lowered{};
    for (std::size_t i = 0; i < N; ++i) lowered[i] = AsciiLower(text[i]);
    return lowered;
}

// An ASCII string constant in UTF-16, made at compile time.
template <std::size_t N>
constexpr std::array<char16_t, N> WidenAscii(const char (&text)[N]) {
    std::array<char16_t, N> wide{};
    for (std::size_t i = 0; i < N; ++i) wide[i] = static_cast<char16_t>(text[i]);
    return wide;
}
