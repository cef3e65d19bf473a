// Which on-disk names the engine installs: only names that stay inside the install folder.
#pragma once

// True when an on-disk name stays inside the install folder: not empty, no drive, no UNC or leading
// separator, no ".." component and no ':'.
bool IsSafeInstallName(const char16_t* name);
