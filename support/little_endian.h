// Little-endian fields of the file formats: the payload archive, the version list and the PE headers.
#pragma once

#include <cstdint>

inline std::uint32_t LoadLe16(const std::uint8_t* p) { return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8; }
inline std::uint32_t LoadLe32(const std::uint8_t* p) { return LoadLe16(p) | LoadLe16(p + 2) << 16; }
inline void StoreLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> 8 * i);
}
