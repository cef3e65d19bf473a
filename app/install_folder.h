// Finding the game's install folder in the registry.
#pragma once

#include <cstddef>

// The key is "Software\<brand>\<title>" under HKEY_LOCAL_MACHINE.
inline constexpr char16_t kBrand[] = u"MarbleHollow";
inline constexpr char16_t kTitle[] = u"ヴェルモラ";

// Registry work buffer: 8192 bytes.
inline constexpr std::size_t kRegistryWorkUnits = 4096;

// Copies the REG_SZ value "InstalledFolder" of the key into destination, which holds kPathUnits
// (780) units. Returns 1 when found, else 0. Only HKEY_LOCAL_MACHINE is read, in the process's own
// registry view. A value of another type, one larger than the work buffer, or one whose text does
// not fit destination (more than 779 units) counts as not installed; a value stored without its
// terminating zero is terminated. Nothing is written past destination.
int ReadInstalledFolder(char16_t* destination, const char16_t* brand, const char16_t* title);
