// The uninstall list "uninst.lst": the installation's files, one per line.
//
// Read: the text ends at the file's end or first zero byte; any run of CR/LF separates lines; blanks
// at a line's start are dropped; every line is brought to UTF-8 and ASCII-lowercased; lines starting
// with '$' form a group of their own. Written: the names, then the '$' lines, each followed by LF, no
// line twice, and one zero byte at the end.
#pragma once

#include <memory>

inline constexpr char kUninstallListName[] = "uninst.lst";

// An ordered list of distinct strings, appended at the tail.
struct UninstallNode {
    std::unique_ptr<char[]> text;
    std::unique_ptr<UninstallNode> next;
};
struct UninstallChain {
    std::unique_ptr<UninstallNode> head;
    UninstallNode* tail = nullptr;
    // True when an identical string is in the chain.
    bool Contains(const char* text) const;
    // Appends a copy unless an identical string is there already.
    void AppendUnique(const char* text);
    void Clear();
    ~UninstallChain();
};
struct UninstallList {
    UninstallChain names;
    UninstallChain dollars;  // lines beginning with '$'
};

// Appends the lines of a zero-terminated text to the two lists.
void ParseUninstallList(const char* text, UninstallList& list);
// Writes the names, then the '$' lines, and releases every node whatever the outcome. True when the
// whole text and its zero byte were written.
bool WriteUninstallList(const char16_t* path, UninstallList& list);
// Reads "<folder>\uninst.lst", adds every on-disk name not yet listed and writes it back. names is
// walked up to its first null slot. False when the file is missing, empty or cannot be rewritten.
bool MergeUninstallList(const char16_t* installFolder, const char16_t* const* names);
