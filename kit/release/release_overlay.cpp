#include "kit/release/release_overlay.h"

#include <algorithm>
#include <utility>

#include "support/ascii.h"

namespace {

// MoveFileEx's answer for a move between volumes: the view and the world outside root are two.
constexpr std::uint32_t kErrorNotSameDevice = 17;
constexpr std::uint32_t kCopyBytes = 1u << 16;
constexpr std::uint32_t kRefusedTarget = os::kAttrReadOnly | os::kAttrDirectory;

// The form every spelling of a path shares: ASCII lower case, one '/' for each run of separators,
// none at the end. from[i] is where in path the i-th unit came from.
std::u16string Fold(const std::u16string& path, std::vector<std::size_t>* from = nullptr) {
    std::u16string folded;
    for (std::size_t i = 0; i < path.size(); ++i) {
        char16_t c = path[i];
        if (IsPathSeparator(c) && !folded.empty() && folded.back() == u'/') continue;
        folded.push_back(IsPathSeparator(c) ? u'/' : AsciiLower(c));
        if (from) from->push_back(i);
    }
    if (!folded.empty() && folded.back() == u'/') folded.pop_back();
    return folded;
}

// rel joined to folder with one separator, the one folder uses.
std::u16string Join(std::u16string folder, std::u16string rel) {
    folder.erase(folder.find_last_not_of(u"\\/") + 1);
    const char16_t separator = folder.find(u'\\') != std::u16string::npos ? u'\\' : u'/';
    rel.erase(0, std::min(rel.size(), rel.find_first_not_of(u"\\/")));
    std::replace_if(rel.begin(), rel.end(), IsPathSeparator<char16_t>, separator);
    return folder + separator + rel;
}

bool IsFile(std::uint32_t attributes) {
    return attributes != os::kInvalidAttributes && (attributes & os::kAttrDirectory) == 0;
}

}  // namespace

OverlayOs::OverlayOs(std::u16string root, std::u16string scratch)
    : ForwardingApi(os::Current()),
      root_(std::move(root)),
      rootKey_(Fold(root_)),
      scratch_(std::move(scratch)) {
    os::SetApi(this);
}

OverlayOs::~OverlayOs() { os::SetApi(&Next()); }

std::u16string OverlayOs::Where(const std::u16string& rel) const {
    const std::u16string path = Join(root_, rel);
    std::optional<Inside> inside = Below(path.c_str());
    auto it = inside ? entries_.find(inside->key) : entries_.end();
    if (it != entries_.end() && it->second.gone) return {};
    if (it != entries_.end() && !it->second.copy.empty()) return it->second.copy;
    return IsFile(Next().GetAttributes(path.c_str())) ? path : std::u16string();
}

std::vector<std::u16string> OverlayOs::Touched() const {
    std::vector<std::u16string> names;
    for (const auto& [key, entry] : entries_)
        if (!entry.copy.empty() || (entry.gone && entry.inRoot)) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
}

os::Handle OverlayOs::OpenRead(const char16_t* path, std::uint32_t* error) {
    std::optional<Inside> inside = Below(path);
    auto it = inside ? entries_.find(inside->key) : entries_.end();
    const Entry* entry = it != entries_.end() ? &it->second : nullptr;
    if (entry == nullptr || (!entry->gone && entry->copy.empty())) return ForwardingApi::OpenRead(path, error);
    if (entry->gone) return Refuse(os::kErrorFileNotFound, error), os::kInvalidHandle;
    ClearRefusal();
    return Next().OpenRead(entry->copy.c_str(), error);
}

os::Handle OverlayOs::OpenWrite(const char16_t* path, bool keep, std::uint32_t* error) {
    std::optional<Inside> inside = Below(path);
    if (!inside) return ForwardingApi::OpenWrite(path, keep, error);
    const std::uint32_t now = Viewed(inside->key, path);
    if (now != os::kInvalidAttributes && (now & kRefusedTarget) != 0)
        return Refuse(os::kErrorAccessDenied, error), os::kInvalidHandle;
    // The patcher never makes folders, so neither does the view.
    if (!ParentExists(path)) return Refuse(os::kErrorPathNotFound, error), os::kInvalidHandle;
    ClearRefusal();
    Entry& entry = Track(*inside, path);
    std::u16string copy = entry.copy.empty() ? NewCopyName() : entry.copy;
    std::uint32_t code = 0;
    if (entry.copy.empty() && keep && now != os::kInvalidAttributes && !CopyFile(path, copy, &code))
        return Refuse(code, error), os::kInvalidHandle;
    const os::Handle h = Next().OpenWrite(copy.c_str(), keep, error);
    return Holding(entry, std::move(copy), h);  // a read-only file was refused above
}

// A new file is a new scratch copy; anything the view shows at path, a link included, is in the way.
os::Handle OverlayOs::CreateNew(const char16_t* path, std::uint32_t* error) {
    std::optional<Inside> inside = Below(path);
    if (!inside) return ForwardingApi::CreateNew(path, error);
    if (Viewed(inside->key, path) != os::kInvalidAttributes)
        return Refuse(os::kErrorFileExists, error), os::kInvalidHandle;
    if (!ParentExists(path)) return Refuse(os::kErrorPathNotFound, error), os::kInvalidHandle;
    ClearRefusal();
    Entry& entry = Track(*inside, path);
    std::u16string copy = NewCopyName();
    const os::Handle h = Next().CreateNew(copy.c_str(), error);
    return Holding(entry, std::move(copy), h);
}

std::uint32_t OverlayOs::GetAttributes(const char16_t* path) {
    std::optional<Inside> inside = Below(path);
    if (!inside) return ForwardingApi::GetAttributes(path);
    ClearRefusal();
    const std::uint32_t attributes = Viewed(inside->key, path);
    if (attributes == os::kInvalidAttributes) Refuse(MissingCode(path));
    return attributes;
}

bool OverlayOs::SetAttributes(const char16_t* path, std::uint32_t attributes) {
    std::optional<Inside> inside = Below(path);
    if (!inside) return ForwardingApi::SetAttributes(path, attributes);
    const std::uint32_t now = Viewed(inside->key, path);
    if (now == os::kInvalidAttributes) return Refuse(MissingCode(path));
    ClearRefusal();
    // Root's folders keep theirs; the engine sets none on a folder.
    if ((now & os::kAttrDirectory) == 0) Track(*inside, path).readOnly = (attributes & os::kAttrReadOnly) != 0;
    return true;
}

bool OverlayOs::ReplaceByRename(const char16_t* from, const char16_t* to, std::uint32_t* error) {
    std::optional<Inside> source = Below(from);
    std::optional<Inside> target = Below(to);
    if (!source && !target) return ForwardingApi::ReplaceByRename(from, to, error);
    if (!source || !target) return Refuse(kErrorNotSameDevice, error);
    const std::uint32_t moved = Viewed(source->key, from);
    const std::uint32_t replaced = Viewed(target->key, to);
    if (moved == os::kInvalidAttributes) return Refuse(MissingCode(from), error);
    if ((moved & os::kAttrDirectory) != 0 || (replaced != os::kInvalidAttributes && (replaced & kRefusedTarget) != 0))
        return Refuse(os::kErrorAccessDenied, error);
    if (!ParentExists(to)) return Refuse(os::kErrorPathNotFound, error);
    ClearRefusal();
    if (source->key == target->key) return true;

    Entry& was = Track(*source, from);
    Entry& now = Track(*target, to);
    // Root's file cannot move, so the target gets a copy of it.
    if (was.copy.empty()) {
        std::u16string copy = NewCopyName();
        std::uint32_t code = 0;
        if (!CopyFile(from, copy, &code)) return Refuse(code, error);
        was.copy = std::move(copy);
    }
    if (!now.copy.empty()) Next().RemoveFile(now.copy.c_str());
    now.copy = std::exchange(was.copy, {});
    now.gone = false;
    now.readOnly = was.readOnly;
    was.gone = true;
    return true;
}

bool OverlayOs::RemoveFile(const char16_t* path) {
    std::optional<Inside> inside = Below(path);
    if (!inside) return ForwardingApi::RemoveFile(path);
    const std::uint32_t now = Viewed(inside->key, path);
    if (now == os::kInvalidAttributes) return Refuse(MissingCode(path));
    if ((now & kRefusedTarget) != 0) return Refuse(os::kErrorAccessDenied);
    ClearRefusal();
    Entry& entry = Track(*inside, path);
    if (!entry.copy.empty()) Next().RemoveFile(entry.copy.c_str());
    entry.copy.clear();
    entry.gone = true;
    return true;
}

std::optional<OverlayOs::Inside> OverlayOs::Below(const char16_t* path) const {
    if (path == nullptr) return std::nullopt;
    const std::u16string given(path);
    std::vector<std::size_t> from;
    const std::u16string folded = Fold(given, &from);
    const std::size_t n = rootKey_.size();
    if (folded.size() <= n + 1 || folded[n] != u'/' || folded.compare(0, n, rootKey_) != 0) return std::nullopt;
    return Inside{folded.substr(n + 1), given.substr(from[n + 1])};
}

std::uint32_t OverlayOs::Viewed(const std::u16string& key, const char16_t* path) const {
    auto it = entries_.find(key);
    if (it == entries_.end()) return Next().GetAttributes(path);
    const Entry& entry = it->second;
    if (entry.gone) return os::kInvalidAttributes;
    std::uint32_t attributes = Next().GetAttributes(entry.copy.empty() ? path : entry.copy.c_str());
    if (!IsFile(attributes)) return attributes;
    attributes &= ~(os::kAttrReadOnly | os::kAttrNormal);
    attributes |= entry.readOnly ? os::kAttrReadOnly : 0;
    return attributes != 0 ? attributes : os::kAttrNormal;
}

OverlayOs::Entry& OverlayOs::Track(const Inside& inside, const char16_t* path) {
    auto [it, added] = entries_.try_emplace(inside.key);
    if (added) {
        const std::uint32_t attributes = Next().GetAttributes(path);
        it->second.name = inside.name;
        it->second.inRoot = IsFile(attributes);
        it->second.readOnly = it->second.inRoot && (attributes & os::kAttrReadOnly) != 0;
    }
    return it->second;
}

bool OverlayOs::ParentExists(const char16_t* path) const {
    const std::u16string given(path);
    const std::u16string parent = given.substr(0, given.find_last_of(u"\\/"));
    const std::uint32_t attributes = Next().GetAttributes(parent.c_str());
    return attributes != os::kInvalidAttributes && (attributes & os::kAttrDirectory) != 0;
}

std::uint32_t OverlayOs::MissingCode(const char16_t* path) const {
    return ParentExists(path) ? os::kErrorFileNotFound : os::kErrorPathNotFound;
}

os::Handle OverlayOs::Holding(Entry& entry, std::u16string copy, os::Handle h) {
    if (h != os::kInvalidHandle) {
        entry.copy = std::move(copy);
        entry.gone = false;
        entry.readOnly = false;
    }
    return h;
}

// A counter names the copies: the run's names may be anything, Japanese ones included.
std::u16string OverlayOs::NewCopyName() {
    const std::string number = std::to_string(++copies_);
    return Join(scratch_, u"copy" + std::u16string(number.begin(), number.end()));
}

bool OverlayOs::CopyFile(const char16_t* from, const std::u16string& to, std::uint32_t* code) {
    os::Api& next = Next();
    const os::Handle in = next.OpenRead(from, code);
    if (in == os::kInvalidHandle) return false;
    const os::Handle out = next.CreateNew(to.c_str(), code);
    bool ok = out != os::kInvalidHandle;
    std::vector<char> buffer(kCopyBytes);
    while (ok) {
        std::uint32_t got = 0;
        std::uint32_t put = 0;
        ok = next.Read(in, buffer.data(), kCopyBytes, &got);
        if (!ok || got == 0) break;
        ok = next.Write(out, buffer.data(), got, &put) && put == got;
    }
    if (!ok && out != os::kInvalidHandle) *code = next.LastError() != 0 ? next.LastError() : os::kErrorWriteFault;
    if (out != os::kInvalidHandle) next.Close(out);
    next.Close(in);
    return ok;
}
