#include "update/entry_check.h"

#include <algorithm>

#include "support/text.h"
#include "update/install_name.h"

StreamedBytes StreamBytes(CFileDX& in, std::uint32_t size, CFileDX* out, std::uint8_t* buffer, StreamStep* step) {
    StreamedBytes result;
    const auto ended = [&result](StreamEnd end) {
        result.end = end;
        return result;
    };
    for (;;) {
        if (step && !step->Continue(result.done)) return ended(StreamEnd::Stopped);
        if (result.done == size) return result;
        const std::uint32_t chunk = std::min(size - result.done, kCopyChunk);
        const std::uint32_t got = std::min(in.Read(buffer, chunk), chunk);
        UpdateChecksum(result.checksum, buffer, got);
        result.done += got;
        if (got != chunk) return ended(StreamEnd::ReadFailed);
        if (out && out->Write(buffer, chunk) != chunk) return ended(StreamEnd::WriteFailed);
    }
}

EntryVerdict JudgeBytes(const RollingChecksum& checksum, const std::uint8_t* expected) {
    if (!expected) return EntryVerdict::Unverified;
    return ChecksumEquals(checksum, expected) ? EntryVerdict::Verified : EntryVerdict::Mismatch;
}

void ResolveEntry(const PayloadIndex& index, const VersionList& versions, std::uint32_t i, ResolvedEntry* entry) {
    index.Name(i, entry->stored);
    char key[kNameKeyCapacity];
    entry->record = MakeNameKey(key, sizeof key, entry->stored) ? FindVersionRecord(versions, key) : nullptr;
    entry->onDisk = MultiToWide(entry->OnDiskName());
    if (entry->onDisk && !IsSafeInstallName(entry->onDisk.get())) entry->onDisk.reset();
}
