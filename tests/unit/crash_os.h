// A test backend in front of the real OS seam that cuts the power after the N-th call of a run.
//
// The model is the one file systems give: every call that completed before the cut stays done
// (creates, truncations, renames, deletes, and the bytes of every flush), while bytes written to a
// file after its last flush may be lost. The cut first drops every handle, as the OS would; at that
// moment the disk holds every byte written, as a killed process leaves it, and a test can look at
// it (onCut). Then the cut takes the worst case: every file written since its last flush is put
// back to what it held at that flush, or left empty when it was never flushed since it was created
// or truncated.
//
// After the cut the machine is off: every call fails and changes nothing, so whatever the code
// under test does next (its clean-up, a destructor's close or delete) never reaches the disk.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "support/os_forward.h"

class CrashOs : public os::ForwardingApi {
public:
    // cutAfter 0 never cuts (a run that only counts its calls, or a run to completion).
    explicit CrashOs(int cutAfter, std::function<void()> onCut = {})
        : ForwardingApi(os::Current()), real_(os::Current()), cutAfter_(cutAfter), onCut_(std::move(onCut)) {
        previous_ = os::SetApi(this);
    }
    ~CrashOs() override {
        os::SetApi(previous_);
        for (os::Handle h : open_) real_.Close(h);
    }
    CrashOs(const CrashOs&) = delete;
    CrashOs& operator=(const CrashOs&) = delete;

    int Calls() const { return calls_; }
    bool PowerIsOff() const { return off_; }

    // The calls whose effect the model follows; each is counted once it is done.
    os::Handle OpenRead(const char16_t* path, std::uint32_t* error) override {
        if (off_) return NoOpen(error);
        os::Handle h = real_.OpenRead(path, error);
        if (h != os::kInvalidHandle) open_.insert(h);
        return Done(h);
    }
    os::Handle OpenWrite(const char16_t* path, bool keep, std::uint32_t* error) override {
        if (off_) return NoOpen(error);
        std::string before = keep ? ReadWhole(path) : std::string();
        os::Handle h = real_.OpenWrite(path, keep, error);
        if (h != os::kInvalidHandle) Track(path, h, before);
        return Done(h);
    }
    // A create like OpenWrite's, of a file that was not there.
    os::Handle CreateNew(const char16_t* path, std::uint32_t* error) override {
        if (off_) return NoOpen(error);
        os::Handle h = real_.CreateNew(path, error);
        if (h != os::kInvalidHandle) Track(path, h, {});
        return Done(h);
    }
    bool Write(os::Handle h, const void* buffer, std::uint32_t count, std::uint32_t* done) override {
        if (off_) {
            if (done) *done = 0;
            return false;
        }
        bool ok = real_.Write(h, buffer, count, done);
        auto it = writers_.find(h);
        if (it != writers_.end() && *done > 0) {
            Writer& w = it->second;
            std::string& content = w.file->content;
            if (content.size() < w.position + *done) content.resize(w.position + *done);
            content.replace(w.position, *done, static_cast<const char*>(buffer), *done);
            w.position += *done;
            w.file->dirty = true;
        }
        return Done(ok);
    }
    bool Seek(os::Handle h, std::int32_t position) override {
        if (off_) return false;
        bool ok = real_.Seek(h, position);
        auto it = writers_.find(h);
        if (ok && it != writers_.end()) it->second.position = static_cast<std::size_t>(position);
        return Done(ok);
    }
    // The model makes a file's bytes durable; the real disk is not asked to, since what a real
    // flush guarantees is what this class stands in for (and a loop of fsyncs waits on the disk).
    bool Flush(os::Handle h) override {
        if (off_) return false;
        auto it = writers_.find(h);
        if (it == writers_.end()) return Done(real_.Flush(h));
        it->second.file->durable = it->second.file->content;
        it->second.file->dirty = false;
        return Done(true);
    }
    void Close(os::Handle h) override {
        if (off_) return;
        real_.Close(h);
        open_.erase(h);
        writers_.erase(h);
        Done(0);
    }
    bool ReplaceByRename(const char16_t* from, const char16_t* to, std::uint32_t* error) override {
        if (off_) return false;
        bool ok = real_.ReplaceByRename(from, to, error);
        if (ok) {
            // What was written to the file goes with it, flushed or not.
            auto it = files_.find(Key(from));
            std::shared_ptr<File> moved = it == files_.end() ? nullptr : it->second;
            if (it != files_.end()) files_.erase(it);
            files_.erase(Key(to));
            if (moved) {
                moved->path = to;
                files_[Key(to)] = moved;
            }
        }
        return Done(ok);
    }
    // Nothing is held here, so nothing waits; a wait changes nothing on disk either way.
    void Wait(std::uint32_t) override {}
    bool RemoveFile(const char16_t* path) override {
        if (off_) return false;
        bool ok = real_.RemoveFile(path);
        if (ok) files_.erase(Key(path));
        return Done(ok);
    }

protected:
    // Every other call passes through while the power is on and is counted.
    bool Enter(os::Call) override { return !off_; }
    void Leave(os::Call) override { Done(0); }
    std::uint32_t RefusalCode(os::Call) override { return os::kErrorWriteFault; }

private:
    struct File {
        std::u16string path;  // where it is now
        std::string content;  // what the OS was given
        std::string durable;  // what survives a cut
        bool dirty;           // written since its last flush
    };
    struct Writer {
        std::shared_ptr<File> file;
        std::size_t position;
    };

    // Paths name the same file whatever their separators and ASCII case, as on Windows.
    static std::u16string Key(const char16_t* path) {
        std::u16string key(path);
        for (char16_t& c : key) {
            if (c == u'/') c = u'\\';
            if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        }
        return key;
    }

    // A file opened for writing. A create or a truncation is done at once; only what is written from
    // here on may be lost.
    void Track(const char16_t* path, os::Handle h, const std::string& before) {
        open_.insert(h);
        auto file = std::make_shared<File>(File{path, before, before, false});
        files_[Key(path)] = file;
        writers_[h] = {file, 0};
    }

    template <typename T>
    T Done(T result) {
        if (++calls_ == cutAfter_) PowerOff();
        return result;
    }
    // An open after the cut: no disk to answer.
    static os::Handle NoOpen(std::uint32_t* error) {
        if (error) *error = os::kErrorWriteFault;
        return os::kInvalidHandle;
    }

    std::string ReadWhole(const char16_t* path) {
        std::string bytes;
        std::uint32_t error = 0;
        os::Handle h = real_.OpenRead(path, &error);
        if (h == os::kInvalidHandle) return bytes;
        char chunk[4096];
        std::uint32_t got = 0;
        while (real_.Read(h, chunk, sizeof chunk, &got) && got > 0) bytes.append(chunk, got);
        real_.Close(h);
        return bytes;
    }

    void PowerOff() {
        off_ = true;
        for (os::Handle h : open_) real_.Close(h);
        open_.clear();
        writers_.clear();
        if (onCut_) onCut_();
        for (const auto& [key, file] : files_) {
            if (!file->dirty) continue;
            std::uint32_t error = 0;
            os::Handle h = real_.OpenWrite(file->path.c_str(), false, &error);
            if (h == os::kInvalidHandle) continue;
            std::uint32_t done = 0;
            if (!file->durable.empty())
                real_.Write(h, file->durable.data(), static_cast<std::uint32_t>(file->durable.size()), &done);
            real_.Close(h);
        }
    }

    os::Api& real_;
    os::Api* previous_ = nullptr;
    int cutAfter_;
    std::function<void()> onCut_;
    int calls_ = 0;
    bool off_ = false;
    std::set<os::Handle> open_;
    std::map<os::Handle, Writer> writers_;
    std::map<std::u16string, std::shared_ptr<File>> files_;
};
