// The registry lookup of the install folder.
#include "app/install_folder.h"

#include <windows.h>

#include "support/ascii.h"
#include "support/text.h"

namespace {

// The registry work buffer: 8192 bytes.
constexpr std::size_t kRegistryWorkUnits = 4096;

bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// An absolute path on a drive ("X:\...") or a share ("\\server\share\..."). Not: an empty or relative
// value, which would resolve against the current drive or folder; "X:name", relative to the current
// folder of drive X; the device and namespace forms ("\\.\", "\\?\", "\??\"), which reach any device.
bool IsAbsoluteFolder(const char16_t* text, std::size_t length) {
    if (length >= 3 && IsLetter(text[0]) && text[1] == u':' && IsPathSeparator(text[2])) return true;
    if (length < 2 || !IsPathSeparator(text[0]) || !IsPathSeparator(text[1])) return false;
    std::size_t i = 2;  // the server name, then the share name, each non-empty
    const std::size_t server = i;
    while (i < length && !IsPathSeparator(text[i])) ++i;
    const std::size_t serverLength = i - server;
    if (serverLength == 0 || (serverLength == 1 && (text[server] == u'.' || text[server] == u'?'))) return false;
    const std::size_t share = ++i;
    while (i < length && !IsPathSeparator(text[i])) ++i;
    return share < length && i > share;
}

// Copies the string at the start of value (units long, possibly without a terminator) when it is a
// usable folder.
int CopyFolder(char16_t* destination, const char16_t* value, std::size_t units) {
    std::size_t length = 0;
    while (length < units && value[length] != u'\0') ++length;
    if (length >= kPathUnits || !IsAbsoluteFolder(value, length)) return 0;
    for (std::size_t i = 0; i < length; ++i) destination[i] = value[i];
    destination[length] = u'\0';
    return 1;
}

}  // namespace

int ReadInstalledFolder(char16_t* destination, const char16_t* brand, const char16_t* title) {
    if (!brand || !title) return 0;
    char16_t work[kRegistryWorkUnits];
    if (FormatWide(work, kRegistryWorkUnits, u"Software\\%s\\%s", brand, title) < 0) return 0;

    // No registry-view flag: the 32-bit patcher reads the 32-bit view, where the game's 32-bit
    // installer wrote.
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(work), 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    DWORD type = 0;
    DWORD size = sizeof work;
    const LSTATUS status = RegQueryValueExW(key, L"InstalledFolder", nullptr, &type, reinterpret_cast<BYTE*>(work), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return 0;
    return CopyFolder(destination, work, size / sizeof(char16_t));
}
