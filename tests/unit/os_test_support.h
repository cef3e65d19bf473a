// What the file and OS tests need to know about the platform they run on.
#pragma once

#include <filesystem>
#include <fstream>
#include <system_error>

#include "unit/test_util.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace ostest {

// Whether the Windows build runs under Wine, which says so through an export of its ntdll. For the
// few places where Wine is known to differ from Windows; the POSIX build is never Wine.
inline bool RunsUnderWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// Makes dir/big.bin a sparse file of 4 GiB and `low` bytes; false where the file system cannot.
inline bool MakeFileBeyondFourGiB(const testutil::TempDir& dir, std::uint32_t low) {
    dir.Write("big.bin", "");
    std::error_code ec;
    std::filesystem::resize_file(dir.Native("big.bin"), (std::uint64_t{1} << 32) + low, ec);
    return !ec;
}

enum class ReadOnlyGuard { Write, Delete, Replace };

// Whether a read-only file is safe from the given operation here. Windows refuses all three, and the
// Linux backend enforces that itself, even for root. Wine does not quite: it maps the attribute
// onto Unix permissions, which root passes through, and it lets a rename replace a read-only file.
inline bool ReadOnlyGuards(ReadOnlyGuard guard) {
    if (std::filesystem::path::preferred_separator != '\\') return true;
    testutil::TempDir dir;
    dir.Write("probe.bin", "x");
    dir.Write("other.bin", "y");
    dir.SetReadOnly("probe.bin", true);
    std::error_code ec;
    switch (guard) {
    case ReadOnlyGuard::Write:
        return !std::ofstream(dir.Native("probe.bin"), std::ios::binary | std::ios::app).is_open();
    case ReadOnlyGuard::Delete:
        return !std::filesystem::remove(dir.Native("probe.bin"), ec);
    case ReadOnlyGuard::Replace:
        std::filesystem::rename(dir.Native("other.bin"), dir.Native("probe.bin"), ec);
        return static_cast<bool>(ec);
    }
    return false;
}

}  // namespace ostest

#define SKIP_UNLESS_READ_ONLY_GUARDS(guard)                                                     \
    do {                                                                                        \
        if (!ostest::ReadOnlyGuards(ostest::ReadOnlyGuard::guard))                              \
            GTEST_SKIP() << "this platform lets " #guard " touch a read-only file (Wine does)"; \
    } while (0)
