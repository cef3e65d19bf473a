#include "update/archive.h"

const char* PayloadIndex::Name(std::uint32_t i, char* out) const {
    // A name that fills its whole field has no terminator of its own.
    if (i < count) std::memcpy(out, Entry(i), NameField());
    out[i < count ? NameField() : 0] = '\0';
    return out;
}

UpdateResult ReadPayloadIndex(CFileDX& file, PayloadIndex& index) {
    index = PayloadIndex{};

    // A failed size query reports os::kInvalidSize and passes; the header read below then fails.
    if (file.GetSize() < kPayloadOffset) return UpdateDamaged;
    // The size test guarantees the position exists, so a failed seek is the OS failing us; reading
    // on from wherever the file stands would take the stub's bytes for the archive.
    if (!file.Seek(static_cast<std::int32_t>(kPayloadOffset))) return UpdateDamaged;

    std::uint8_t header[kHeaderSize];
    if (file.Read(header, kHeaderSize) != kHeaderSize) return UpdateDamaged;
    const std::uint32_t count = LoadLe32(header + 12);
    if (count > kMaxEntries) return UpdateTooManyEntries;

    const IndexLayout layout = IndexLayout::Of(header);
    const std::uint32_t entrySize = layout.EntrySize();
    const std::uint32_t indexSize = count * entrySize;  // at most 32 * 128
    auto entries = std::make_unique<std::uint8_t[]>(indexSize ? indexSize : 1);
    if (indexSize != 0 && file.Read(entries.get(), indexSize) != indexSize) return UpdateDamaged;

    index.count = count;
    index.wideLayout = layout.wide;
    index.entries = std::move(entries);
    index.dataStart = kIndexOffset + indexSize;
    return UpdateOk;
}
