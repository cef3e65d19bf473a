#include "tools/release_folder.h"

#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "support/file.h"
#include "tools/display.h"
#include "tools/failure_watch.h"
#include "tools/read_ahead.h"
#include "tools/tool_files.h"
#include "update/checksum.h"
#include "update/entry_check.h"

namespace fs = std::filesystem;

std::string ReleaseKey(const std::string& utf8) {
    std::string key = utf8;
    for (char& c : key) {
        if (c == '/') c = '\\';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
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
        if (key == "qmk.hvl" || key == "uninst.lst") {
            if (key == "qmk.hvl") release->versionList = Utf8Path(it->path());
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

bool ReadAgainst(const ReleaseFile& file, const std::vector<const ReleaseFile*>& others, ReadAhead& reader,
                 std::uint8_t* buffers, std::string* sum, std::vector<bool>* same, std::string* error) {
    constexpr std::uint32_t kHalf = kCopyChunk / 2;
    if (file.size > 0xFFFFFFFFu) {
        return Fail(error, file.path + ": " + std::to_string(file.size) + " bytes; the patcher installs no file of 4 GiB or more");
    }
    const std::uint64_t mark = FailureMark();
    const auto open = [&](const std::string& path, CFileDX* in) {
        std::u16string wide = WidenUtf8(path);
        return (!wide.empty() && in->OpenRead(wide.c_str())) || Fail(error, FailureText(path + ": cannot open it", mark));
    };
    std::vector<std::unique_ptr<CFileDX>> files(1 + others.size());  // file's, then the others'
    const auto path = [&](std::size_t f) -> const std::string& { return f == 0 ? file.path : others[f - 1]->path; };
    files[0] = std::make_unique<CFileDX>();
    if (!open(file.path, files[0].get())) return false;
    same->assign(others.size(), false);
    for (std::size_t k = 0; k < others.size(); ++k) {
        if (!others[k] || others[k]->size != file.size) continue;
        files[k + 1] = std::make_unique<CFileDX>();
        if (!open(others[k]->path, files[k + 1].get())) return false;
        (*same)[k] = true;
    }
    RollingChecksum checksum;
    ResetChecksum(checksum);
    std::vector<ReadAhead::Read> reads[2];
    std::vector<std::size_t> of[2];  // the file each read is of
    const auto ask = [&](std::uint32_t slot, std::uint64_t at) {
        const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(file.size - at, kHalf));
        reads[slot].clear();
        of[slot].clear();
        for (std::size_t f = 0; f < files.size(); ++f) {
            if (f > 0 && !(*same)[f - 1]) continue;
            reads[slot].push_back({files[f].get(), buffers + (slot * files.size() + f) * kHalf, chunk, 0});
            of[slot].push_back(f);
        }
        reader.Ask(reads[slot].data(), reads[slot].size());
    };
    std::uint32_t slot = 0;
    if (file.size > 0) {
        ask(slot, 0);
        reader.Collect();
    }
    for (std::uint64_t done = 0; done < file.size; slot ^= 1) {
        const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(file.size - done, kHalf));
        for (std::size_t r = 0; r < reads[slot].size(); ++r) {
            if (reads[slot][r].got != chunk) return Fail(error, FailureText(path(of[slot][r]) + ": cannot read it", mark));
        }
        done += chunk;
        if (done < file.size) ask(slot ^ 1, done);
        const std::uint8_t* mine = reads[slot][0].target;
        UpdateChecksum(checksum, mine, chunk);
        for (std::size_t r = 1; r < reads[slot].size(); ++r) {
            std::vector<bool>::reference equal = (*same)[of[slot][r] - 1];
            equal = equal && std::memcmp(mine, reads[slot][r].target, chunk) == 0;
        }
        if (done < file.size) reader.Collect();
    }
    sum->assign(reinterpret_cast<const char*>(&checksum), 8);
    return true;
}
