#include "kit/format/caption_stamp.h"

#include <algorithm>
#include <cstring>

#include <nlohmann/json.hpp>

#include "kit/common/display.h"
#include "kit/format/pe_image.h"
#include "support/file.h"
#include "support/text.h"
#include "update/archive.h"
#include "update/caption_slot.h"

namespace {

// Where the caption slot lies in the image held in data: its section, long enough for a slot.
bool FindCaptionSlot(const std::uint8_t* data, std::size_t size, std::uint32_t* offset, std::string* error) {
    std::uint32_t rawSize = 0;
    if (!FindSection(data, size, kCaptionSection, offset, &rawSize, error)) return false;
    return rawSize >= sizeof(CaptionSlot) || Fail(error, "its section .caption is too short for a caption slot");
}

}  // namespace

std::string GameVersionProblem(const std::string& version) {
    const bool allowed = !version.empty() && version.size() <= kGameVersionMaxLength &&
                         version.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") ==
                             std::string::npos;
    return allowed ? "" : "--game-version " + Quoted(version) + ": give 1 to " + std::to_string(kGameVersionMaxLength) +
                              " ASCII letters, digits, '.', '-' or '_', as in 1.02";
}

bool StampCaption(std::string* stub, const std::string& version, std::string* error) {
    if (std::string problem = GameVersionProblem(version); !problem.empty()) return Fail(error, problem);
    auto* bytes = reinterpret_cast<std::uint8_t*>(stub->data());
    std::uint32_t offset = 0;
    PeSignatureLayout layout;
    if (!FindCaptionSlot(bytes, stub->size(), &offset, error) ||
        !ReadPeSignatureLayout(bytes, stub->size(), &layout, error)) {
        return Fail(error, "cannot stamp the game version: " + *error + "; build the stub from this kit's source");
    }
    if (std::memcmp(bytes + offset, kCaptionMarker, sizeof kCaptionMarker) != 0) {
        return Fail(error, "cannot stamp the game version: the stub's caption slot is damaged (no marker " +
                               std::string(kCaptionMarker, sizeof kCaptionMarker) + ")");
    }
    const CaptionSlot slot = MakeCaptionSlot(version);
    std::memcpy(bytes + offset, &slot, sizeof slot);
    if (LoadLe32(bytes + layout.checksumOffset) != 0) {
        StoreLe32(bytes + layout.checksumOffset, PeChecksum(bytes, stub->size(), layout.checksumOffset));
    }
    return true;
}

nlohmann::json CaptionJson(const std::uint8_t* data, std::size_t size) {
    std::uint32_t offset = 0;
    std::string error;
    if (!FindCaptionSlot(data, size, &offset, &error)) {
        return {{"text", nullptr}, {"description", "not known: the patcher stub " + error + " (a stub made before "
                                                   "the caption could be stamped shows the caption it was built with)"}};
    }
    CaptionSlot slot;
    std::memcpy(&slot, data + offset, sizeof slot);
    const std::unique_ptr<char[]> utf8 = WideToMulti(SlotCaption(slot), TE_UTF8);
    const std::string text = utf8 ? utf8.get() : "?";
    return {{"text", text},
            {"description", CaptionSlotSound(slot) ? text : text + " (the built-in one: the caption slot is damaged)"}};
}

nlohmann::json CaptionJson(CFileDX& file) {
    std::string image(std::min<std::uint32_t>(file.GetSize(), kPayloadOffset), '\0');
    if (!file.Seek(0) || file.Read(image.data(), static_cast<std::uint32_t>(image.size())) != image.size()) {
        return {{"text", nullptr}, {"description", "not known: the patcher image cannot be read"}};
    }
    return CaptionJson(reinterpret_cast<const std::uint8_t*>(image.data()), image.size());
}
