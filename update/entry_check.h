// One entry's bytes through the copy buffer and the rolling checksum, and the verdict on them.
//
// The worker extracts each payload entry with it; patchtool verifies a patch's entries, copies
// files into a patch and checks an installed game with the same code, so all four judge bytes the
// same way.
#pragma once

#include <cstdint>
#include <memory>

#include "support/file.h"
#include "update/archive.h"
#include "update/checksum.h"
#include "update/version_list.h"

// The copy buffer: every stream moves at most this many bytes per read and write.
inline constexpr std::uint32_t kCopyChunk = 0x100000;

enum class StreamEnd {
    Complete,     // every byte was read (and written)
    ReadFailed,   // a read failed or came back short: the source is shorter than it claimed
    WriteFailed,  // a write failed or came back short
    Stopped,      // the step said stop
};

struct StreamedBytes {
    StreamEnd end = StreamEnd::Complete;
    std::uint32_t done = 0;  // bytes read and checksummed, a short read's included
    RollingChecksum checksum;
};

// Told the bytes done so far before the first chunk and after each one; false stops the stream.
class StreamStep {
public:
    virtual bool Continue(std::uint32_t done) = 0;

protected:
    ~StreamStep() = default;
};
// A step made of a callable: StepOf step([&](std::uint32_t done) { ...; return true; });
template <typename F>
class StepOf final : public StreamStep {
public:
    explicit StepOf(F f) : f_(f) {}
    bool Continue(std::uint32_t done) override { return f_(done); }

private:
    F f_;
};

// Streams size bytes from in's position through buffer (kCopyChunk bytes) into the checksum and,
// when out is given, into out.
StreamedBytes StreamBytes(CFileDX& in, std::uint32_t size, CFileDX* out, std::uint8_t* buffer,
                          StreamStep* step = nullptr);

enum class EntryVerdict { Verified, Unverified, Mismatch };

// Against a record's 8 checksum bytes; no record (null) leaves the bytes unverified.
EntryVerdict JudgeBytes(const RollingChecksum& checksum, const std::uint8_t* expected);

// A payload entry as the worker installs it: the version record found for its stored name decides
// the on-disk name (the record's whole name, subfolders included) and the checksum.
struct ResolvedEntry {
    char stored[kWideNameField + 1] = {};
    const VersionRecord* record = nullptr;
    // The on-disk name, wide; null when it cannot be converted or would leave the install folder.
    std::unique_ptr<char16_t[]> onDisk;

    const char* OnDiskName() const { return record ? record->name : stored; }
    const std::uint8_t* Expected() const { return record ? record->checksum : nullptr; }
};
void ResolveEntry(const PayloadIndex& index, const VersionList& versions, std::uint32_t i, ResolvedEntry* entry);
