#include "kit/format/patch_reading.h"

#include <nlohmann/json.hpp>

#include "kit/common/display.h"
#include "kit/common/failure_watch.h"
#include "kit/common/kit_files.h"
#include "kit/format/part_plan.h"

namespace {

// Why the index reader refused the file, in words, read from the file itself.
std::string ArchiveProblem(CFileDX& file, UpdateResult result) {
    std::uint32_t size = file.GetSize();
    if (size == os::kInvalidSize || size < kPayloadOffset) {
        return FailureText("the file is " + std::to_string(size) + " bytes and holds no payload (it starts at " +
                           HexValue(kPayloadOffset) + ")");
    }
    std::uint8_t header[kHeaderSize];
    if (!file.Seek(static_cast<std::int32_t>(kPayloadOffset)) || file.Read(header, kHeaderSize) != kHeaderSize) {
        return FailureText("the archive header at " + HexValue(kPayloadOffset) + " is cut short");
    }
    std::uint32_t count = LoadLe32(header + 12);
    if (result == UpdateTooManyEntries) {
        return "the header counts " + std::to_string(count) + " entries; the patcher reads at most " +
               std::to_string(kMaxEntries);
    }
    const std::uint64_t entrySize = IndexLayout::Of(header).EntrySize();
    return FailureText("the index of " + std::to_string(count) + " entries needs " +
                       std::to_string(count * entrySize) + " bytes after the header; the file ends " +
                       std::to_string(size - kIndexOffset) + " bytes after it");
}

}  // namespace

UpdateResult OpenPayload(const std::string& path, CFileDX& file, PayloadIndex& index, std::string* problem) {
    std::u16string wide = WidenUtf8(path);
    if (wide.empty() || !file.OpenRead(wide.c_str())) {
        *problem = FailureText(path + ": cannot open it");
        return UpdateDamaged;
    }
    UpdateResult result = ReadPayloadIndex(file, index);
    if (result != UpdateOk) *problem = path + ": " + DescribeResult(result) + ": " + ArchiveProblem(file, result);
    return result;
}

nlohmann::json SplitJson(const std::string& path) {
    std::uint32_t part = 0, parts = 0;
    if (!ParsePartName(path, &part, &parts)) return nullptr;
    return {{"part", part}, {"parts", parts}};
}

std::string DescribeSplit(const nlohmann::json& split) {
    if (split.is_null()) return {};
    return "part " + split["part"].dump() + " of " + split["parts"].dump() +
           " (by its name): run the parts in order, each after the one before";
}
