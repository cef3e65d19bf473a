// Path splitting by the rules of the Windows run-time's _wsplitpath.
#include "support/text.h"

#include <algorithm>

#include "support/ascii.h"

namespace {

constexpr std::size_t kDriveLimit = 2;
constexpr std::size_t kPartLimit = 255;

// One part of a split path and the output it goes to.
struct Part {
    char16_t* out;
    std::size_t capacity;
    std::size_t limit;
    const char16_t* start;
    std::size_t length;
};

}  // namespace

bool SplitPathWide(const WideSplitOutputs& out, const char* path) {
    // An unconvertible path splits as the empty one.
    char16_t work[kPathUnits];
    const bool converted = path != nullptr && MultiToWide(work, kPathUnits, path) != nullptr;
    if (!converted) work[0] = 0;
    const char16_t* p = work;
    const char16_t* end = p + WideLength(p);

    const char16_t* drive = p;
    if (end - p >= 2 && p[1] == u':') p += 2;
    const char16_t* lastSeparator = nullptr;
    const char16_t* lastDot = nullptr;
    for (const char16_t* q = p; q < end; ++q) {
        if (IsPathSeparator(*q)) {
            lastSeparator = q;
            lastDot = nullptr;  // a dot in a folder name does not start the extension
        } else if (*q == u'.') {
            lastDot = q;
        }
    }
    const char16_t* nameStart = lastSeparator != nullptr ? lastSeparator + 1 : p;
    const char16_t* extStart = lastDot != nullptr ? lastDot : end;
    const Part parts[] = {
        {out.drive, out.driveCapacity, kDriveLimit, drive, static_cast<std::size_t>(p - drive)},
        {out.dir, out.dirCapacity, kPartLimit, p, static_cast<std::size_t>(nameStart - p)},
        {out.fname, out.fnameCapacity, kPartLimit, nameStart, static_cast<std::size_t>(extStart - nameStart)},
        {out.ext, out.extCapacity, kPartLimit, extStart, static_cast<std::size_t>(end - extStart)},
    };
    // An output that is not requested always fits; one that is must hold the part and its
    // terminator, and the part must be within the run-time's limit for it. When one does not fit,
    // every requested output is emptied.
    bool fits = true;
    for (const Part& part : parts)
        if (part.out != nullptr && (part.length > part.limit || part.length >= part.capacity)) fits = false;
    for (const Part& part : parts) {
        if (part.out == nullptr || part.capacity == 0) continue;
        std::size_t length = fits ? part.length : 0;
        std::copy_n(part.start, length, part.out);
        part.out[length] = 0;
    }
    return converted || path == nullptr;
}

bool SplitPath(char* drive, char* dir, char* fname, char* ext, const char* path) {
    char16_t parts[4][kPathUnits];
    bool converted =
        SplitPathWide({parts[0], kPathUnits, parts[1], kPathUnits, parts[2], kPathUnits, parts[3], kPathUnits}, path);
    char* outputs[4] = {drive, dir, fname, ext};
    for (int i = 0; i < 4; ++i) {
        if (outputs[i] == nullptr) continue;
        if (WideToMulti(outputs[i], kSplitPartBytes, parts[i], TE_UTF8) == nullptr) {
            outputs[i][0] = 0;
            converted = false;
        }
    }
    return converted;
}
