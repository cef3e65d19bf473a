#include "tools/release_folder.h"

#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "support/file.h"
#include "tools/display.h"
#include "tools/failure_watch.h"
#include "tools/tool_files.h"
#include "update/entry_check.h"

namespace fs = std::filesystem;

namespace {

bool OpenFile(const std::string& path, CFileDX* file, std::string* error) {
    const std::uint64_t mark = FailureMark();
    std::u16string wide = WidenUtf8(path);
    if (!wide.empty() && file->OpenRead(wide.c_str())) return true;
    return Fail(error, FailureText(path + ": cannot open it (error " + std::to_string(file->LastError()) + ")", mark));
}

}  // namespace

std::string ReleaseKey(const std::string& utf8) {
    std::string key = utf8;
    for (char& c : key) {
        if (c == '/') c = '\\';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

std::string ParentKey(const std::string& key) {
    const std::size_t slash = key.rfind('\\');
    return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

bool ScanRelease(const std::string& root, ReleaseFolder* release, std::string* error) {
    *release = ReleaseFolder{};
    release->root = root;
    const fs::path top = NativePath(root);
    std::error_code ec;
    if (!fs::is_directory(top, ec)) return Fail(error, root + ": no such folder");
    for (fs::recursive_directory_iterator it(top, ec), end; !ec && it != end; it.increment(ec)) {
        std::string rel = Utf8Path(it->path().lexically_relative(top));
        for (char& c : rel) c = c == '/' ? '\\' : c;
        const std::string key = ReleaseKey(rel);
        if (it->is_directory(ec)) {
            release->folders.insert(key);
            continue;
        }
        if (key == "qmk.hvl" || key == "uninst.lst") {
            if (key == "qmk.hvl") {
                release->hasVersionList = true;
                release->versionList = Utf8Path(it->path());
            }
            continue;
        }
        ReleaseFile file{rel, Utf8Path(it->path()), 0};
        if (!RegularFileSize(file.path, &file.size, error)) return false;
        if (!release->files.emplace(key, file).second) {
            return Fail(error, root + ": " + Quoted(rel) + " and " + Quoted(release->files[key].rel) +
                                   " are one name to the patcher (ASCII case ignored)");
        }
    }
    if (ec) return Fail(error, root + ": cannot list it (" + ec.message() + ")");
    return true;
}

bool SameBytes(const std::string& a, const std::string& b, bool* same, std::string* error) {
    CFileDX fa, fb;
    if (!OpenFile(a, &fa, error) || !OpenFile(b, &fb, error)) return false;
    std::uint64_t sizeA = 0, sizeB = 0;
    if (!RegularFileSize(a, &sizeA, error) || !RegularFileSize(b, &sizeB, error)) return false;
    *same = sizeA == sizeB;
    auto bufferA = std::make_unique<std::uint8_t[]>(kCopyChunk), bufferB = std::make_unique<std::uint8_t[]>(kCopyChunk);
    for (std::uint64_t done = 0; *same && done < sizeA;) {
        const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(sizeA - done, kCopyChunk));
        if (fa.Read(bufferA.get(), chunk) != chunk) return Fail(error, a + ": cannot read it");
        if (fb.Read(bufferB.get(), chunk) != chunk) return Fail(error, b + ": cannot read it");
        *same = std::memcmp(bufferA.get(), bufferB.get(), chunk) == 0;
        done += chunk;
    }
    return true;
}
