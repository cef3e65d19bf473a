// An OS backend that keeps its files in memory, for fuzz targets that run the engine thousands of
// times a second without touching the disk. Behaves like the Win32 calls the engine was written for:
// '\' and '/' both separate, names compare without regard to ASCII case, a read-only file cannot be
// opened for writing, replaced or deleted, a file can only be created in an existing folder. Code-page
// conversions go to the native backend (they touch no file).
//
// Links can be planted, made by another user or by a trusted one (root, this process's user): the calls
// follow them, except that below a guarded folder (GuardFolder) an untrusted link is refused with
// kErrorUntrustedLink. GetAttributes, RemoveFile, CreateNew and both ends of a rename see a link at the
// final component as itself.
//
// It also watches what the engine asks for: a path with a ".." component, or one outside the folders
// it was told of, a link's target included, aborts the process (an escape from the install folder is
// a fault even when it fails).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/os_forward.h"

class MemoryOs final : public os::ForwardingApi {
public:
    struct Entry {
        std::string data;      // what follows the hole
        std::uint64_t hole = 0;  // leading zero bytes not stored (a patch's zero fill)
        bool folder = false;
        bool readOnly = false;
        std::u16string link;  // a link's target (normalized); empty for a file or folder
        bool trusted = false;  // the link was made by root or this process's user
    };

    MemoryOs() : ForwardingApi(os::NativeApi()) { previous_ = os::SetApi(this); }
    ~MemoryOs() override { os::SetApi(previous_); }
    MemoryOs(const MemoryOs&) = delete;
    MemoryOs& operator=(const MemoryOs&) = delete;

    // A folder (and its parents) that the engine may reach; everything else is off limits.
    void AddFolder(const std::u16string& path) {
        std::u16string key = Normalize(path.c_str());
        for (std::size_t i = 1; i <= key.size(); ++i)
            if (i == key.size() || key[i] == u'\\') entries_[key.substr(0, i)].folder = true;
        allowed_.push_back(key + u'\\');
    }
    void Put(const std::u16string& path, std::string data, std::uint64_t hole = 0) {
        entries_[Key(path.c_str())] = {std::move(data), hole};
    }
    // A link at path (replacing whatever was there, a folder with its contents) to target, which may
    // be outside the known folders: reaching it aborts.
    void PutLink(const std::u16string& path, const std::u16string& target, bool trusted) {
        const std::u16string key = Key(path.c_str());
        for (auto it = entries_.begin(); it != entries_.end();)
            it = it->first == key || it->first.compare(0, key.size() + 1, key + u'\\') == 0 ? entries_.erase(it) : std::next(it);
        Entry& e = entries_[key];
        e.link = Normalize(target.c_str());
        e.trusted = trusted;
    }
    const Entry* File(const std::u16string& path) {
        auto it = entries_.find(Key(path.c_str()));
        return it == entries_.end() || it->second.folder ? nullptr : &it->second;
    }
    // Every file's key (lowercase, '\' separated) and content (after its hole), in key order.
    std::map<std::u16string, std::string> Files() const {
        std::map<std::u16string, std::string> files;
        for (const auto& [key, e] : entries_)
            if (!e.folder && e.link.empty()) files[key] = e.data;
        return files;
    }
    std::size_t OpenHandles() const { return handles_.size(); }

    os::Handle OpenRead(const char16_t* path, std::uint32_t* error) override {
        std::u16string key;
        if (!Resolve(path, true, &key, error)) return os::kInvalidHandle;
        Entry* e = At(key);
        if (!e || e->folder) return Refuse(error, e ? os::kErrorAccessDenied : os::kErrorFileNotFound);
        return NewHandle(key, false);
    }
    os::Handle OpenWrite(const char16_t* path, bool keepContents, std::uint32_t* error) override {
        std::u16string key;
        if (!Resolve(path, true, &key, error)) return os::kInvalidHandle;
        Entry* e = At(key);
        if (e && (e->folder || e->readOnly)) return Refuse(error, os::kErrorAccessDenied);
        if (!e) {
            if (!ParentExists(key)) return Refuse(error, os::kErrorPathNotFound);
            entries_[key] = {};
        } else if (!keepContents) {
            e->data.clear();
            e->hole = 0;
        }
        return NewHandle(key, true);
    }
    os::Handle CreateNew(const char16_t* path, std::uint32_t* error) override {
        std::u16string key;
        if (!Resolve(path, false, &key, error)) return os::kInvalidHandle;
        if (At(key)) return Refuse(error, os::kErrorFileExists);
        if (!ParentExists(key)) return Refuse(error, os::kErrorPathNotFound);
        entries_[key] = {};
        return NewHandle(key, true);
    }
    void GuardFolder(const char16_t* folder) override {
        guard_ = folder && *folder ? Key(folder) + u'\\' : std::u16string();
    }
    bool Read(os::Handle h, void* buffer, std::uint32_t count, std::uint32_t* done) override {
        *done = 0;
        Open* o = Handle(h);
        if (!o) return false;
        const Entry& e = entries_[o->key];
        auto* out = static_cast<char*>(buffer);
        while (*done < count && o->pos < e.hole + e.data.size()) {
            std::uint64_t n;
            if (o->pos < e.hole) {
                n = std::min<std::uint64_t>(count - *done, e.hole - o->pos);
                std::memset(out + *done, 0, n);
            } else {
                n = std::min<std::uint64_t>(count - *done, e.hole + e.data.size() - o->pos);
                std::memcpy(out + *done, e.data.data() + (o->pos - e.hole), n);
            }
            *done += static_cast<std::uint32_t>(n);
            o->pos += n;
        }
        return true;
    }
    bool Write(os::Handle h, const void* buffer, std::uint32_t count, std::uint32_t* done) override {
        *done = 0;
        Open* o = Handle(h);
        if (!o || !o->write) return false;
        Entry& e = entries_[o->key];
        if (e.hole) {
            e.data.insert(0, e.hole, '\0');
            e.hole = 0;
        }
        std::string& data = e.data;
        if (o->pos + count > kMaxFile) return false;
        if (data.size() < o->pos + count) data.resize(o->pos + count);
        if (count) std::memcpy(&data[o->pos], buffer, count);
        o->pos += count;
        *done = count;
        return true;
    }
    bool Seek(os::Handle h, std::int32_t position) override {
        Open* o = Handle(h);
        if (!o || position < 0) return false;
        o->pos = static_cast<std::uint64_t>(position);
        return true;
    }
    std::uint32_t GetSize(os::Handle h) override {
        Open* o = Handle(h);
        if (!o) return 0xFFFFFFFFu;
        const Entry& e = entries_[o->key];
        return static_cast<std::uint32_t>(e.hole + e.data.size());
    }
    bool Flush(os::Handle h) override { return Handle(h) != nullptr; }
    void Close(os::Handle h) override {
        if (!handles_.erase(h)) Abort("a handle closed twice or never opened");
    }
    std::uint32_t GetAttributes(const char16_t* path) override {
        Entry* e = Lookup(path, false);
        if (!e) return os::kInvalidAttributes;
        if (!e->link.empty()) return 0x420;  // FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE
        return e->folder ? os::kAttrDirectory : (e->readOnly ? os::kAttrReadOnly : 0) | 0x20;
    }
    bool SetAttributes(const char16_t* path, std::uint32_t attributes) override {
        Entry* e = Lookup(path, true);
        if (!e) return false;
        if (!e->folder) e->readOnly = (attributes & os::kAttrReadOnly) != 0;
        return true;
    }
    bool ReplaceByRename(const char16_t* from, const char16_t* to, std::uint32_t* error) override {
        std::u16string source, target;
        if (!Resolve(from, false, &source, error) || !Resolve(to, false, &target, error)) return false;
        Entry* s = At(source);
        Entry* t = At(target);
        if (!s) return Fail(error, os::kErrorFileNotFound);
        if (t && (t->folder || t->readOnly)) return Fail(error, os::kErrorAccessDenied);
        if (!ParentExists(target)) return Fail(error, os::kErrorPathNotFound);
        if (source == target) return true;
        Entry moved = std::move(*s);
        entries_.erase(source);
        entries_[target] = std::move(moved);
        return true;
    }
    bool RemoveFile(const char16_t* path) override {
        std::u16string key;
        if (!Resolve(path, false, &key, nullptr)) return false;
        Entry* e = At(key);
        if (!e || e->folder || e->readOnly) return false;
        entries_.erase(key);
        return true;
    }
    void Wait(std::uint32_t) override {}
    std::uint32_t GetModulePath(char16_t* buffer, std::uint32_t capacity) override {
        if (!buffer || capacity == 0) return 0;
        buffer[0] = 0;
        return 0;
    }

private:
    struct Open {
        std::u16string key;
        std::uint64_t pos = 0;
        bool write = false;
    };
    static constexpr std::uint64_t kMaxFile = 64u << 20;

    [[noreturn]] static void Abort(const char* what) {
        std::fprintf(stderr, "MemoryOs: %s\n", what);
        std::abort();
    }

    // '/' made '\', ASCII lowercased, repeated and trailing separators dropped.
    static std::u16string Normalize(const char16_t* path) {
        std::u16string key;
        std::size_t n = 0;
        for (const char16_t* p = path; *p; ++p, ++n) {
            if (n >= 780) Abort("a path of 780 units or more");
            char16_t c = *p == u'/' ? u'\\' : *p;
            if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
            if (c == u'\\' && !key.empty() && key.back() == u'\\') continue;
            key += c;
        }
        while (key.size() > 1 && key.back() == u'\\') key.pop_back();
        return key;
    }
    // The lookup key. A ".." component, a path of 780 units or more, or a path outside the known
    // folders aborts.
    std::u16string Key(const char16_t* path) const {
        std::u16string key = Normalize(path);
        std::u16string padded = u"\\" + key + u"\\";
        if (padded.find(u"\\..\\") != std::u16string::npos) Abort("a path with a \"..\" component");
        bool inside = false;
        for (const auto& a : allowed_)
            if ((key + u'\\').compare(0, a.size(), a) == 0 || a.compare(0, key.size() + 1, key + u'\\') == 0)
                inside = true;
        if (!inside) Abort("a path outside the folders the engine may reach");
        return key;
    }
    Entry* At(const std::u16string& key) {
        auto it = entries_.find(key);
        return it == entries_.end() ? nullptr : &it->second;
    }
    Entry* Lookup(const char16_t* path, bool followLast) {
        std::u16string key;
        return Resolve(path, followLast, &key, nullptr) ? At(key) : nullptr;
    }
    // The key a path reaches through the links on its way (and at its end with followLast): false,
    // with the code, for an untrusted link below the guarded folder or too many links.
    bool Resolve(const char16_t* path, bool followLast, std::u16string* key, std::uint32_t* error, int hops = 0) {
        const std::u16string full = Key(path);
        for (std::size_t end = 0; end != std::u16string::npos;) {
            end = full.find(u'\\', end + 1);
            const bool last = end == std::u16string::npos;
            const std::u16string prefix = full.substr(0, end);
            const Entry* e = At(prefix);
            if (e && !e->link.empty() && (!last || followLast)) {
                const bool guarded = !guard_.empty() && prefix.size() >= guard_.size() &&
                                     prefix.compare(0, guard_.size(), guard_) == 0;
                if (guarded && !e->trusted) return Fail(error, os::kErrorUntrustedLink);
                if (hops >= 40) return Fail(error, os::kErrorPathNotFound);
                const std::u16string next = e->link + (last ? std::u16string() : full.substr(end));
                return Resolve(next.c_str(), followLast, key, error, hops + 1);
            }
        }
        *key = full;
        return true;
    }
    bool ParentExists(const std::u16string& key) const {
        std::size_t slash = key.rfind(u'\\');
        if (slash == std::u16string::npos) return false;
        auto it = entries_.find(key.substr(0, slash));
        return it != entries_.end() && it->second.folder;
    }
    os::Handle NewHandle(const std::u16string& key, bool write) {
        os::Handle h = next_++;
        handles_[h] = {key, 0, write};
        return h;
    }
    Open* Handle(os::Handle h) {
        auto it = handles_.find(h);
        if (it == handles_.end()) return nullptr;
        // A handle whose file was renamed away or deleted under it is a fault of the caller here.
        if (entries_.find(it->second.key) == entries_.end()) Abort("a handle outlived its file");
        return &it->second;
    }
    static os::Handle Refuse(std::uint32_t* error, std::uint32_t code) {
        if (error) *error = code;
        return os::kInvalidHandle;
    }
    static bool Fail(std::uint32_t* error, std::uint32_t code) {
        if (error) *error = code;
        return false;
    }

    os::Api* previous_ = nullptr;
    std::map<std::u16string, Entry> entries_;
    std::vector<std::u16string> allowed_;
    std::u16string guard_;  // the guarded folder's key and '\\'; empty when none
    std::map<os::Handle, Open> handles_;
    os::Handle next_ = 100;
};
