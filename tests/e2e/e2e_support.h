// What the end-to-end tests need besides the patcher's windows: where the patcher is, the game's
// registry value and patches built around the real patcher (scratch folders and files: test_util).
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "unit/patch_format.h"
#include "unit/test_util.h"

namespace e2e {

namespace fs = std::filesystem;

// The patcher exe the tests run copies of: --patcher PATH, else PATCHER_EXE, else app/patcher.exe
// of the build the driver belongs to.
void SetPatcherPath(const std::wstring& path);
const fs::path& PatcherPath();
// The patcher's bytes, read once.
const std::string& PatcherBytes();

// A signed copy of the good update's patch (--signed-patch PATH, given by scripts/e2e); empty when
// none was given.
void SetSignedPatchPath(const std::wstring& path);
const fs::path& SignedPatchPath();
// `e2e_driver write-good-patch PATCHER OUT`: writes the good update's patch for scripts/e2e to sign.
int WriteGoodPatch(const std::wstring& patcher, const std::wstring& out);
// The size that a PE file's certificate-table entry gives (0: unsigned, or not a PE file).
std::uint32_t CertificateTableSize(const std::string& image);

// A wide text for a failure message: the characters as UTF-8, each U+3000 shown as "_" so that
// the padding can be counted.
std::string Show(const std::wstring& text);

// Scratch folders, byte-exact files, folder listings, pseudo-random bytes and UTF-8 of a wide text
// (through fs::path): the unit tests' own.
using testutil::ListFolder;
using testutil::RandomBytes;
using testutil::ReadAll;
using testutil::TempDir;
using testutil::ToUtf8;
using testutil::WriteAll;

// A version-2 list naming the given files (name: stored bytes) with the checksums of their contents.
using Record = PayloadFile;
std::string VersionList(const std::vector<Record>& records, std::uint32_t reserved = 0);
// The same list, but with the checksum of one record replaced by these 8 bytes.
std::string VersionListWithChecksum(const std::vector<Record>& records, std::size_t which,
                                    const std::vector<std::uint8_t>& checksum);

// The patcher's bytes, zero fill up to 0x60000, then an archive of files (128-byte index).
void WritePatch(const fs::path& path, const std::vector<PayloadFile>& files);

// The game's registry entry: HKLM (or another root)\Software\MarbleHollow\ヴェルモラ, value
// InstalledFolder. The default (64-bit) view, the one a 64-bit patcher reads.
inline constexpr wchar_t kGameKey[] = L"Software\\MarbleHollow\\ヴェルモラ";
inline constexpr wchar_t kBrandKey[] = L"Software\\MarbleHollow";
inline constexpr wchar_t kValueName[] = L"InstalledFolder";

// Removes the brand key under HKLM and HKCU.
void ClearGameKeys();
// Writes the value as a string of the given type, terminator included.
bool SetInstalledFolder(const std::wstring& folder, DWORD type = REG_SZ, HKEY root = HKEY_LOCAL_MACHINE);
// Creates the key without the value.
bool CreateGameKeyOnly();

// Named mutexes of the product.
inline constexpr char kUpdaterMutex[] = "Updater for Velmora is executing.";
inline constexpr char kGameMutex[] = "Quillmark for Velmora is executing.";
// True when a mutex of this name exists now.
bool MutexExists(const char* name);

}  // namespace e2e
