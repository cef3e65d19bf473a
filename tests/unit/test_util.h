// Helpers shared by the unit, GUI and end-to-end tests: a scratch folder per test, byte-exact file
// access, folder listings and a readable "contains" check.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testutil {

namespace fs = std::filesystem;

// UTF-8 std::string <-> path, whatever the platform's native path type.
inline fs::path FromUtf8(const std::string& s) { return fs::path(std::u8string(s.begin(), s.end())); }
inline std::string ToUtf8(const fs::path& p) {
    std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

// A fresh, empty folder under the system's temporary folder, removed (with read-only files made
// writable first) when the object goes; E2E_KEEP=1 in the environment leaves it for a look after a
// failure.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "patcher-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& Root() const { return root_; }
    // The folder as the engine gets it: a UTF-16 string.
    std::u16string Folder() const { return root_.u16string(); }
    // A path inside the folder; rel may use '/' to name a subfolder.
    fs::path Native(const std::string& rel) const { return root_ / FromUtf8(rel); }
    std::u16string Path(const std::string& rel) const { return Native(rel).u16string(); }

    // Writes the file, making the folders on its way.
    void Write(const std::string& rel, const std::string& bytes) const;
    std::string Read(const std::string& rel) const;
    bool Exists(const std::string& rel) const;
    void MakeDir(const std::string& rel) const;
    // Sets or clears write permission (the read-only attribute).
    void SetReadOnly(const std::string& rel, bool readOnly) const;
    // The names in the folder (not recursive), sorted.
    std::vector<std::string> List() const;

private:
    fs::path root_;
};

// An absolute Linux path (of the build, or handed over by scripts/test) as this program reaches it:
// under Wine, Linux's root is drive Z:.
inline std::string HostPath(std::string path) {
    if (fs::path::preferred_separator == '\\' && !path.empty() && path[0] == '/') path = "Z:" + path;
    return path;
}

#ifdef PATCHER_TEST_DATA
// tests/data of the source tree.
inline fs::path DataFolder() { return fs::path(HostPath(PATCHER_TEST_DATA)); }
#endif

std::string ReadAll(const fs::path& p);
void WriteAll(const fs::path& p, const std::string& bytes);
// The names in a folder (files and folders, not recursive), sorted, as UTF-8.
std::vector<std::string> ListFolder(const fs::path& folder);
// Every regular file under root (recursive), by its path relative to root with '/', with its bytes.
std::map<std::string, std::string> FileTree(const fs::path& root);
// The text's lines sorted, each ended by '\n'.
std::string SortedLines(const std::string& text);

// EXPECT_TRUE(Contains(text, part)) / EXPECT_FALSE(...): the message shows both.
testing::AssertionResult Contains(const std::string& text, const std::string& part);
// EXPECT_TRUE(Contains(text, part)) for each part, in one loop over the list.
void ExpectContainsAll(const std::string& text, const std::vector<std::string>& parts);

// A returned string, or "<null>" for a null pointer, so that a comparison of it cannot crash.
inline std::string Text(const char* s) { return s ? std::string(s) : std::string("<null>"); }
inline std::u16string Text(const char16_t* s) { return s ? std::u16string(s) : std::u16string(u"<null>"); }

// Bytes from a list of values, for tables of test input.
inline std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

// Makes nested folders inside root so that the returned folder's UTF-16 path is exactly `units` long
// (no component longer than 200 units, which every file system takes).
fs::path MakeFolderOfLength(const fs::path& root, std::size_t units);

// Deterministic pseudo-random bytes.
std::string RandomBytes(std::size_t size, std::uint32_t seed);

// A minimal PE file, as patchtool takes for a stub: 0x200 bytes of headers and one section of
// sectionBytes raw bytes after them, then tail.
std::string MakeStub(std::uint32_t sectionBytes = 0x400, const std::string& tail = {});

}  // namespace testutil
