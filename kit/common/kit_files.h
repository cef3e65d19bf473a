// Files as patchtool sees them: paths arrive as UTF-8 and every read and write goes through
// CFileDX, so the tool touches the disk the same way the patcher does (and tests can fault it).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "kit/common/utf8_text.h"  // the paths' conversions

// A UTF-8 path as the C++ library takes it, and back (for the few things the seam has no call for:
// listing folders, making the scratch folders).
std::filesystem::path NativePath(const std::string& utf8);
std::string Utf8Path(const std::filesystem::path& path);

// The size of a regular file in 64 bits (CFileDX only knows 32). False, with a reason, for a
// missing file, a folder or anything else that is not a plain file.
bool RegularFileSize(const std::string& path, std::uint64_t* size, std::string* error);
// Reads a whole file of at most maxSize bytes.
bool ReadWholeFile(const std::string& path, std::uint32_t maxSize, std::string* bytes, std::string* error);
class CFileDX;
// The same of a file already open (from where it stands), named path in what it says.
bool ReadOpenFile(CFileDX& file, const std::string& path, std::uint32_t maxSize, std::string* bytes,
                  std::string* error);
// The final component of a path by the platform's rules ("dir/a.arc" gives "a.arc").
std::string BaseName(const std::string& path);

// Where the kit keeps the patcher stub: patcher.exe beside the program when that file is there (the
// Windows kit's folder), else <prefix>/share/patchtool/patcher.exe beside <prefix>/bin/patchtool (an
// installed kit). Empty when the program's own path is unknown.
std::string InstalledStubPath();
