// Finding the game's install folder in the registry.
#pragma once

// The key is "Software\<brand>\<title>" under HKEY_LOCAL_MACHINE.
inline constexpr char16_t kBrand[] = u"MarbleHollow";
inline constexpr char16_t kTitle[] = u"ヴェルモラ";

// Copies the REG_SZ value "InstalledFolder" of the key into destination, which holds kPathUnits
// (780) units. Returns 1 when found, else 0. Only HKEY_LOCAL_MACHINE is read, in the process's own
// registry view. A value stored without its terminating zero is terminated. Counted as not
// installed: a value of another type, one larger than the 8192-byte work buffer, one whose text
// does not fit destination (more than 779 units), and one that is not an absolute folder on a drive
// ("X:\...") or a share ("\\server\share..."): empty, relative, drive-relative ("X:name"), or a
// device or namespace form ("\\.\", "\\?\", "\??\"). Nothing is written past destination, and
// nothing at all when the result is 0.
int ReadInstalledFolder(char16_t* destination, const char16_t* brand, const char16_t* title);
