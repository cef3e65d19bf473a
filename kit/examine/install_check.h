// `patchtool check`: is an installed game intact?
//
// The installed version list "QMK.hvl" holds the checksum of every installed file. Each record's
// file is found the way the patcher names it (the record's whole name, subfolders included, in code
// page 932 or UTF-8, ASCII case ignored where the file system cares) and streamed through one buffer,
// so memory stays the same whatever the game's size.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

enum class FileState { Ok, Modified, Missing, Unreadable };

// "OK", "MODIFIED", "MISSING", "UNREADABLE".
const char* FileStateName(FileState state);

struct CheckedFile {
    std::string name;      // the record's name, printable UTF-8
    FileState state = FileState::Ok;
    std::string expected;  // the record's checksum in hex
    std::string actual;    // the file's checksum in hex; empty unless the file was read to its end
    std::uint64_t size = 0;
    std::string reason;    // why it is missing or unreadable
};

struct InstallCheck {
    std::string versionList;  // the path of QMK.hvl
    std::vector<CheckedFile> files;
    std::uint32_t counts[4] = {};  // per FileState
    bool Intact() const { return counts[0] == files.size(); }
};

// Called before each record's file and as its bytes are read: the record's index and name, and the
// bytes read of the file's size.
using CheckProgress = std::function<void(std::uint32_t record, const std::string& name, std::uint64_t done,
                                         std::uint64_t size)>;

// Checks every record of "<folder>/QMK.hvl". False, with a reason, when the list is missing,
// unreadable or not a version list; then nothing was checked.
bool CheckInstallation(const std::string& folder, InstallCheck* check, std::string* error,
                       const CheckProgress& progress = {});

// The check as one document: every file with its state, the summary and the verdict ("intact").
nlohmann::json DescribeCheck(const std::string& folder, const InstallCheck& check);
