#include "kit/release/release_folder.h"

#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "kit/common/display.h"
#include "kit/common/failure_watch.h"
#include "kit/common/kit_files.h"
#include "kit/common/read_ahead.h"
#include "support/ascii.h"
#include "support/file.h"
#include "update/checksum.h"
#include "update/uninstall_list.h"
#include "update/version_list.h"

namespace fs = std::filesystem;

std::string ReleaseKey(const std::string& utf8) {
    std::string key = utf8;
    for (char& c : key) c = c == '/' ? '\\' : AsciiLower(c);
    return key;
}

std::string FileNameOf(const std::string& rel) { return rel.substr(rel.rfind('\\') + 1); }

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
        if (key == kVersionListKey) release->versionList = Utf8Path(it->path());
        if (key == kVersionListKey || key == kUninstallListName) continue;
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

bool ReadAgainst(const ReleaseFile& file, const std::vector<const ReleaseFile*>& others, ReadAhead& helper,
                 std::string* sum, std::vector<bool>* same, std::string* error) {
    if (file.size > 0xFFFFFFFFu) {
        return Fail(error, file.path + ": " + std::to_string(file.size) + " bytes; the patcher installs no file of 4 GiB or more");
    }
    const std::uint64_t mark = FailureMark();
    std::vector<std::unique_ptr<CFileDX>> files(1 + others.size());  // file's, then the others'
    const auto path = [&](std::size_t f) -> const std::string& { return f == 0 ? file.path : others[f - 1]->path; };
    const auto open = [&](std::size_t f) {
        files[f] = std::make_unique<CFileDX>();
        std::u16string wide = WidenUtf8(path(f));
        return (!wide.empty() && files[f]->OpenRead(wide.c_str())) ||
               Fail(error, FailureText(path(f) + ": cannot open it", mark));
    };
    if (!open(0)) return false;
    same->assign(others.size(), false);
    for (std::size_t k = 0; k < others.size(); ++k) {
        if (!others[k] || others[k]->size != file.size) continue;
        if (!open(k + 1)) return false;
        (*same)[k] = true;
    }
    RollingChecksum checksum;  // starts at zero
    const auto size = static_cast<std::uint32_t>(file.size);
    std::vector<const std::uint8_t*> views(files.size());
    for (std::uint32_t at = 0; at < size; at += kReleaseWindow) {
        const std::uint32_t window = std::min(size - at, kReleaseWindow);
        for (std::size_t f = 0; f < files.size(); ++f) {
            views[f] = nullptr;
            if (f > 0 && !(*same)[f - 1]) continue;  // a file that already differs is not read on
            views[f] = files[f]->Map(at, window);
            if (views[f] == nullptr) {
                for (std::size_t g = 0; g < f; ++g) {
                    if (views[g]) CFileDX::Unmap(views[g], window);
                }
                return Fail(error, FailureText(path(f) + ": cannot read it", mark));
            }
        }
        helper.Ask([&] {
            for (std::size_t f = 1; f < files.size(); ++f) {
                if (views[f]) (*same)[f - 1] = std::memcmp(views[0], views[f], window) == 0;
            }
        });
        UpdateChecksum(checksum, views[0], window);
        helper.Collect();
        std::size_t changed = files.size();
        for (std::size_t f = 0; f < files.size(); ++f) {
            if (views[f] && !CFileDX::Unmap(views[f], window) && changed == files.size()) changed = f;
        }
        if (changed < files.size()) {
            return Fail(error, FailureText(path(changed) + ": it changed while it was read (it shrank, or the disk failed)",
                                           mark));
        }
    }
    sum->assign(reinterpret_cast<const char*>(&checksum), kChecksumSize);
    return true;
}
