// The caption a patch shows: stamped into the stub's caption slot by `build --game-version`, read
// back by list and verify (update/caption_slot.h has the slot's layout).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

// Empty when version may be stamped: 1 to 16 ASCII letters, digits, '.', '-' or '_'; else why not.
std::string GameVersionProblem(const std::string& version);

// Writes the caption of version into the stub's caption slot and brings its PE checksum, when it
// has one, up to date. False, with a reason, when the version is not allowed or the stub has no
// sound caption slot.
bool StampCaption(std::string* stub, const std::string& version, std::string* error);

// The caption of the image whose first bytes are data, as {"text": UTF-8 or null, "description":
// the line people read}: the slot's caption, the built-in one for a damaged slot, or null and why
// for an image without a slot.
nlohmann::json CaptionJson(const std::uint8_t* data, std::size_t size);

class CFileDX;
// The same of an open patch, from its image before the payload.
nlohmann::json CaptionJson(CFileDX& file);
