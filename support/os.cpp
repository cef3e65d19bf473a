// The switch between the native OS backend and a test's wrapper in front of it.
#include "support/os.h"

namespace os {

namespace {
// Null means the native backend; a plain pointer so that it is set before any static constructor
// could ask for it.
Api* g_override = nullptr;
}  // namespace

Api& Current() { return g_override ? *g_override : NativeApi(); }

bool ReplaceHeldFile(const char16_t* from, const char16_t* to, std::uint32_t* error) {
    Api& api = Current();
    std::uint32_t code = 0;
    bool moved = api.ReplaceByRename(from, to, &code);
    for (std::uint32_t wait : kBusyWaits) {
        if (moved || !IsBusyError(code)) break;
        api.Wait(wait);
        code = 0;
        moved = api.ReplaceByRename(from, to, &code);
    }
    if (error != nullptr) *error = moved ? 0 : code;
    return moved;
}

std::string ErrorText(std::uint32_t code) {
    // The systems' own words speak of mount points, or nothing; the player meets links.
    if (code == kErrorUntrustedLink) return "a link made by another user";
    std::string text = SystemErrorText(code);
    return text.empty() ? "error " + std::to_string(code) : text;
}

Api* SetApi(Api* api) {
    Api* previous = &Current();
    g_override = (api == &NativeApi()) ? nullptr : api;
    return previous;
}

}  // namespace os
