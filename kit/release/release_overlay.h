// A release folder seen as a run leaves it, while the folder itself stays as it was.
//
// To prove that a patch turns an old release into the new one, the patcher's own engine runs over the
// old folder with this layer in front of the OS seam. Every change to a file inside that folder goes
// to a copy in a scratch folder instead: a file the run writes, or renames over another, lives on as
// a copy; a file it removes is only marked removed; the read-only bit is kept here. Opens, attribute
// queries and renames answer for that view, so the run sees its own changes; paths outside the
// folder (the patch itself) pass through unchanged. Afterwards Where says where each file of the new
// release lies and Touched which ones the run changed.
//
// Copies are made with the next backend's own calls, so the layer behaves alike on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/os_forward.h"

class OverlayOs : public os::ForwardingApi {
public:
    // root: the release folder, as the engine will be given it (UTF-16, '\' or '/' separators);
    // scratch: an existing empty folder that receives the copies. Installs itself in front of the
    // current backend until it is destroyed.
    OverlayOs(std::u16string root, std::u16string scratch);
    ~OverlayOs() override;
    OverlayOs(const OverlayOs&) = delete;
    OverlayOs& operator=(const OverlayOs&) = delete;

    // The file now at rel (relative to root, '\' or '/' separated, ASCII case ignored): the scratch
    // copy when the run wrote, renamed or had to copy it, root's own file when untouched, empty when
    // the run removed it or it does not exist.
    std::u16string Where(const std::u16string& rel) const;
    // The relative paths, as the run first named them, that the run created, replaced or removed; sorted.
    std::vector<std::u16string> Touched() const;

    os::Handle OpenRead(const char16_t* path, std::uint32_t* error) override;
    os::Handle OpenWrite(const char16_t* path, bool keep, std::uint32_t* error) override;
    // Creates the file in the view only: refused with kErrorFileExists when the view shows one there.
    os::Handle CreateNew(const char16_t* path, std::uint32_t* error) override;
    std::uint32_t GetAttributes(const char16_t* path) override;
    bool SetAttributes(const char16_t* path, std::uint32_t attributes) override;
    bool ReplaceByRename(const char16_t* from, const char16_t* to, std::uint32_t* error) override;
    bool RemoveFile(const char16_t* path) override;
    // Every file the run writes is a scratch copy, thrown away afterwards: nothing needs to reach the
    // disk, so a flush only says yes.
    bool Flush(os::Handle) override { return true; }

private:
    // A file of the view that differs from root's, or may: once named by a change, kept by its key.
    struct Entry {
        std::u16string name;      // its path below root as the run first named it
        std::u16string copy;      // the scratch file holding its bytes; empty: root's own file
        bool gone = false;        // removed or renamed away (never with a copy)
        bool inRoot = false;      // root holds a file of that name
        bool readOnly = false;    // the read-only bit the view shows
    };
    // A path inside root: its part below root folded for lookup, and as given.
    struct Inside {
        std::u16string key;
        std::u16string name;
    };

    std::optional<Inside> Below(const char16_t* path) const;
    // The attributes the view shows for an inside path.
    std::uint32_t Viewed(const std::u16string& key, const char16_t* path) const;
    // The entry of an inside path, made to show root's file when there is none yet.
    Entry& Track(const Inside& inside, const char16_t* path);
    bool ParentExists(const char16_t* path) const;
    // Why a file that is not in the view cannot be found: the file, or the folder on the way.
    std::uint32_t MissingCode(const char16_t* path) const;
    std::u16string NewCopyName();
    // What an open of a new copy for entry gave: when it opened, the entry shows the copy, writable.
    os::Handle Holding(Entry& entry, std::u16string copy, os::Handle h);
    bool CopyFile(const char16_t* from, const std::u16string& to, std::uint32_t* code);

    std::u16string root_;
    std::u16string rootKey_;
    std::u16string scratch_;
    std::map<std::u16string, Entry> entries_;
    std::size_t copies_ = 0;
};
