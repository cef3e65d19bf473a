// ASCII case folding, the only folding names get: no locale or code page takes part in it.
#pragma once

// The unit with an ASCII capital lowered; every other unit, of any width, as it is.
template <typename Unit>
constexpr Unit AsciiLower(Unit c) {
    return c >= Unit('A') && c <= Unit('Z') ? static_cast<Unit>(c + ('a' - 'A')) : c;
}
