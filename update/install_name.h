// Which on-disk names the engine installs (only names that stay inside the install folder) and where.
#pragma once

#include <cstddef>
#include <string>

// True when an on-disk name stays inside the install folder: not empty, no drive, no UNC or leading
// separator, no ".." component and no ':'.
bool IsSafeInstallName(const char16_t* name);

// "<folder>\<name>", where an on-disk name is installed; the name's own separators and subfolders
// are kept. Into out, which holds units units: false when it does not fit.
bool InstallPath(char16_t* out, std::size_t units, const char16_t* folder, const char16_t* name);
std::u16string InstallPath(const std::u16string& folder, const char16_t* name);
