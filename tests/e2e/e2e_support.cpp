#include "e2e_support.h"

#include <algorithm>
#include <stdexcept>

namespace e2e {

namespace {

fs::path g_patcherPath;
fs::path g_signedPatchPath;

std::uint32_t Le32(const std::string& bytes, std::size_t at) {
    if (at + 4 > bytes.size()) return 0;
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    return value;
}

fs::path DefaultPatcherPath() {
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD length = GetEnvironmentVariableW(L"PATCHER_EXE", buffer, MAX_PATH * 2);
    if (length > 0 && length < MAX_PATH * 2) return fs::path(buffer);
    // The driver lives in <build>/tests/, the patcher in <build>/app/.
    length = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
    return fs::path(std::wstring(buffer, length)).parent_path().parent_path() / L"app" / L"patcher.exe";
}

}  // namespace

void SetPatcherPath(const std::wstring& path) { g_patcherPath = fs::path(path); }

const fs::path& PatcherPath() {
    if (g_patcherPath.empty()) g_patcherPath = DefaultPatcherPath();
    return g_patcherPath;
}

void SetSignedPatchPath(const std::wstring& path) { g_signedPatchPath = fs::path(path); }
const fs::path& SignedPatchPath() { return g_signedPatchPath; }

std::uint32_t CertificateTableSize(const std::string& image) {
    const std::uint32_t pe = Le32(image, 0x3C);
    if (image.compare(0, 2, "MZ") != 0 || Le32(image, pe) != 0x00004550) return 0;
    // The optional header follows the 20-byte file header; its data directories begin 96 bytes into
    // a PE32 optional header and 112 into a PE32+ one, and the certificate table is the fifth.
    const std::size_t optional = pe + 24;
    if (optional + 2 > image.size()) return 0;
    const unsigned magic = static_cast<std::uint8_t>(image[optional]) | static_cast<std::uint8_t>(image[optional + 1]) << 8;
    const std::size_t entry = optional + (magic == 0x20B ? 112 : 96) + 4 * 8;
    return Le32(image, entry + 4);
}

const std::string& PatcherBytes() {
    static const std::string bytes = ReadAll(PatcherPath());
    return bytes;
}

std::string Show(const std::wstring& text) {
    std::wstring shown = text;
    std::replace(shown.begin(), shown.end(), L'\u3000', L'_');
    return "\"" + ToUtf8(shown) + "\" (" + std::to_string(text.size()) + " units)";
}

std::string VersionList(const std::vector<Record>& records, std::uint32_t reserved) {
    return EncodeVersionListOf(records, false, reserved);
}

std::string VersionListWithChecksum(const std::vector<Record>& records, std::size_t which,
                                    const std::vector<std::uint8_t>& checksum) {
    std::string list = VersionList(records);
    // Header of 16 bytes, then 256-byte records whose last 8 bytes are the checksum.
    std::copy(checksum.begin(), checksum.end(), list.begin() + 16 + 256 * which + 248);
    return list;
}

void WritePatch(const fs::path& path, const std::vector<PayloadFile>& files) {
    WriteAll(path, EncodePatch(PatcherBytes(), EncodeArchive(files, false)));
}

void ClearGameKeys() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kBrandKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, kBrandKey);
}

bool SetInstalledFolder(const std::wstring& folder, DWORD type, HKEY root) {
    HKEY key;
    if (RegCreateKeyExW(root, kGameKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) return false;
    DWORD bytes = static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t));
    LONG status = RegSetValueExW(key, kValueName, 0, type, reinterpret_cast<const BYTE*>(folder.c_str()), bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool CreateGameKeyOnly() {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kGameKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr)) return false;
    RegCloseKey(key);
    return true;
}

bool MutexExists(const char* name) {
    HANDLE handle = OpenMutexA(SYNCHRONIZE, FALSE, name);
    if (!handle) return false;
    CloseHandle(handle);
    return true;
}

}  // namespace e2e
