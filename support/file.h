// CFileDX: the program's only way of reading and writing files.
//
// A thin owner of one OS file handle, used as a local object whose scope bounds the time a file is
// open. All sizes and positions are 32-bit. Results: 1 for success, 0 for failure, or a byte count the
// caller compares with what it asked for. Every call goes through the OS seam (support/os.h).
#pragma once

#include <cstdint>

#include "support/os.h"

class CFileDX {
public:
    CFileDX() = default;
    virtual ~CFileDX();
    CFileDX(const CFileDX&) = delete;
    CFileDX& operator=(const CFileDX&) = delete;

    // Opens an existing file for reading (others may read it meanwhile). Refused (0) while a file is
    // open. On failure the OS error code is kept in LastError().
    int OpenRead(const char16_t* path);
    // Opens for writing with no sharing: mode 1 opens or creates keeping the contents, any other mode
    // creates or truncates. Refused (0) while a file is open. Leaves LastError() as it was.
    int OpenWrite(const char16_t* path, std::int32_t mode);
    // Creates a file that must not exist yet (see os::Api::CreateNew), for writing with no sharing.
    // Refused (0) while a file is open. On failure the OS error code is kept in LastError().
    int CreateNew(const char16_t* path);
    // Bytes read or written as the OS reports them, 0 when the call fails.
    std::uint32_t Read(void* buffer, std::uint32_t count);
    std::uint32_t Write(const void* buffer, std::uint32_t count);
    // Absolute position from the start, a signed 32-bit value: 0x80000000 and beyond fail.
    int Seek(std::int32_t position);
    // Low 32 bits of the size; os::kInvalidSize when the call fails (also when no file is open).
    std::uint32_t GetSize();
    // Pushes written data to the disk; 1 on success.
    int Flush();
    void Close();
    // A view of size bytes of the file from offset, a multiple of os::kMapAlignment (see
    // os::Api::MapRead); nullptr on failure, with the OS error code kept in LastError().
    const std::uint8_t* Map(std::uint32_t offset, std::uint32_t size);
    // Ends a view Map gave; false when the view did not show the file (it shrank under it).
    static bool Unmap(const std::uint8_t* view, std::uint32_t size);

    bool IsOpen() const { return handle_ != os::kInvalidHandle; }
    std::uint32_t LastError() const { return lastError_; }

private:
    // Opens path with one of the seam's opens that report their error, and keeps the handle, or the
    // error of a failed open; the result of the open.
    int Take(os::Handle (os::Api::*open)(const char16_t*, std::uint32_t*), const char16_t* path);

    os::Handle handle_ = os::kInvalidHandle;
    std::uint32_t lastError_ = 0;
};

// Removes what an earlier run left at a temporary file's path, before the file is created new there:
// a read-only leftover is made writable first; a link is removed as a link (it shows its own
// attributes, never read-only, so whatever it leads to is not changed either).
void RemoveLeftover(const char16_t* path);

// Replaces a file's whole content without risking it: writes data to "<path>.new" beside it, created
// new after a leftover is removed, flushes it, and renames it over path (waiting a moment for a path
// another program holds open, as os::ReplaceHeldFile does). On any failure the temporary file this
// call created is removed and path is left exactly as it was (a read-only path is refused, as a
// create-always open of it would be). 1 on success.
int ReplaceFileContents(const char16_t* path, const void* data, std::uint32_t size);
