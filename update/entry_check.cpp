#include "update/entry_check.h"

#include <algorithm>

#include "support/text.h"
#include "update/install_name.h"

StreamedBytes StreamBytes(CFileDX& in, std::uint32_t size, CFileDX* out, std::uint8_t* buffer, StreamStep* step) {
    StreamedBytes result;
    ResetChecksum(result.checksum);
    for (;;) {
        if (step && !step->Continue(result.done)) {
            result.end = StreamEnd::Stopped;
            return result;
        }
        if (result.done == size) return result;
        const std::uint32_t chunk = std::min(size - result.done, kCopyChunk);
        const std::uint32_t got = std::min(in.Read(buffer, chunk), chunk);
        UpdateChecksum(result.checksum, buffer, got);
        result.done += got;
        if (got != chunk) {
            result.end = StreamEnd::ReadFailed;
            return result;
        }
        if (out && out->Write(buffer, chunk) != chunk) {
            result.end = StreamEnd::WriteFailed;
            return result;
        }
    }
}

EntryVerdict JudgeBytes(const RollingChecksum& checksum, const std::uint8_t* expected) {
    if (!expected) return EntryVerdict::Unverified;
    return ChecksumEquals(checksum, expected) ? EntryVerdict::Verified : EntryVerdict::Mismatch;
}

void ResolveEntry(const PayloadIndex& index, const VersionList& versions, std::uint32_t i, ResolvedEntry* entry) {
    index.Name(i, entry->stored);
    entry->record = nullptr;
    if (MakeNameKey(entry->key, sizeof entry->key, entry->stored)) {
        entry->record = FindVersionRecord(versions, entry->key);
    } else {
        entry->key[0] = '\0';
    }
    entry->onDisk = MultiToWide(entry->OnDiskName());
    if (entry->onDisk && !IsSafeInstallName(entry->onDisk.get())) entry->onDisk.reset();
}
