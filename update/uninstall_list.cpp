#include "update/uninstall_list.h"

#include <cstring>
#include <string>

#include "support/ascii.h"
#include "support/file.h"
#include "support/text.h"
#include "update/install_name.h"

namespace {

constexpr auto kUninstallListWide = WidenAscii(kUninstallListName);

// The encoding detected for the rest of the text from a position, for positions that only move
// forward. Detection walks ASCII bytes one by one without changing its state, so the answer for a
// position is the answer for the first byte of 0x80 or above from there (ASCII when there is none).
// Remembering that byte keeps a parse linear where asking afresh for every line would rescan the
// whole rest of the text each time.
class RestEncoding {
public:
    TextEncoding At(const char* p) {
        if (exhausted_) return TE_ASCII;
        if (high_ == nullptr || p > high_) {
            high_ = p;
            while (*high_ != '\0' && static_cast<unsigned char>(*high_) < 0x80) ++high_;
            if (*high_ == '\0') {
                exhausted_ = true;
                return TE_ASCII;
            }
            mode_ = DetectTextEncoding(high_);
        }
        return mode_;
    }

private:
    const char* high_ = nullptr;
    bool exhausted_ = false;
    TextEncoding mode_ = TE_ASCII;
};

// Length of the character at p in the given mode, never reaching over the terminator and never 0.
std::size_t CharLength(const char* p, TextEncoding mode, std::uint32_t* code) {
    std::uint32_t length = DecodeChar(code, p, mode);
    if (length == 0) return 1;
    for (std::uint32_t i = 1; i < length; ++i) {
        if (p[i] == '\0') return i;
    }
    return length;
}

// The first character with the code CR or LF, walking by characters of the mode so that the second
// byte of a double-byte character never ends a line; the terminator when there is none. *length
// receives the length of the character found.
const char* FindLineEnd(const char* p, TextEncoding mode, std::size_t* length) {
    *length = 1;
    if (mode == TE_ASCII) return p + std::strcspn(p, "\r\n");
    while (*p != '\0') {
        std::uint32_t code = 0;
        std::size_t step = CharLength(p, mode, &code);
        if (code == '\r' || code == '\n') {
            *length = step;
            return p;
        }
        p += step;
    }
    return p;
}

void AddLine(const char* begin, const char* end, UninstallList& list, std::string& line) {
    line.assign(begin, end);
    // The unsized conversion keeps a line of any length whole: a line the format calls too long is
    // still a file of the installation, and cutting it would name another file.
    std::unique_ptr<char[]> converted = ConvertText(line.c_str(), TE_UTF8);
    if (!converted) return;
    StrToLower(converted.get());
    // A line can convert to text holding a CR or LF: 0xFF 0x0D walks as one double-byte character
    // but converts as two. Written as it is, it would read back as two lines, so it is taken as the
    // lines it holds.
    for (char* piece = converted.get(); *piece != '\0';) {
        piece += std::strspn(piece, " \t");
        char* stop = piece + std::strcspn(piece, "\r\n");
        bool more = *stop != '\0';
        *stop = '\0';
        if (*piece != '\0') (*piece == '$' ? list.dollars : list.names).AppendUnique(piece);
        if (!more) break;
        piece = stop + 1;
    }
}

void Drain(UninstallChain& chain, std::string& text) {
    for (const UninstallNode* node = chain.head.get(); node != nullptr; node = node->next.get()) {
        (text += node->text.get()) += '\n';
    }
    chain.Clear();
}

}  // namespace

bool UninstallChain::Contains(const char* text) const {
    for (const UninstallNode* node = head.get(); node != nullptr; node = node->next.get()) {
        if (StrCompare(node->text.get(), text) == 0) return true;
    }
    return false;
}

void UninstallChain::AppendUnique(const char* text) {
    if (Contains(text)) return;
    auto node = std::make_unique<UninstallNode>();
    std::size_t size = std::strlen(text) + 1;
    node->text = std::make_unique<char[]>(size);
    std::memcpy(node->text.get(), text, size);
    UninstallNode* added = node.get();
    (tail != nullptr ? tail->next : head) = std::move(node);
    tail = added;
}

void UninstallChain::Clear() {
    // One node at a time: letting the head's destructor free the rest would recurse once per node.
    while (head) head = std::move(head->next);
    tail = nullptr;
}

UninstallChain::~UninstallChain() { Clear(); }

void ParseUninstallList(const char* text, UninstallList& list) {
    if (text == nullptr) return;
    RestEncoding rest;
    std::string line;
    const char* p = text;
    while (*p != '\0') {
        p += std::strspn(p, " \t");
        if (*p == '\0') break;
        std::size_t breakLength = 1;
        const char* end = FindLineEnd(p, rest.At(p), &breakLength);
        if (end > p) AddLine(p, end, list, line);
        const char* next = end + std::strspn(end, "\r\n");
        // A multi-byte form of CR or LF (possible in text taken as UTF-8) ends a line without being
        // a CR or LF byte; stepping over it is the only way on when the line it ends is empty.
        if (next == p && *next != '\0') next += breakLength;
        p = next;
    }
}

bool WriteUninstallList(const char16_t* path, UninstallList& list) {
    std::string text;
    text.reserve(0x10000);
    Drain(list.names, text);
    Drain(list.dollars, text);
    text += '\0';
    if (path == nullptr || text.size() > 0xFFFFFFFFu) return false;
    // Written beside the old list and renamed over it: a failed or short write leaves the old list
    // as it was instead of an emptied or cut one.
    return ReplaceFileContents(path, text.data(), static_cast<std::uint32_t>(text.size())) != 0;
}

bool MergeUninstallList(const char16_t* installFolder, const char16_t* const* names) {
    if (installFolder == nullptr) return false;
    char16_t path[kPathUnits];
    if (!InstallPath(path, kPathUnits, installFolder, kUninstallListWide.data())) return false;

    CFileDX file;
    if (!file.OpenRead(path)) return false;
    const std::uint32_t size = file.GetSize();
    if (size == 0 || size == os::kInvalidSize) return false;
    auto text = std::make_unique<char[]>(static_cast<std::size_t>(size) + 1);
    // A short read would write back a list missing its tail; failing keeps the file as it is.
    if (file.Read(text.get(), size) != size) return false;
    text[size] = '\0';
    file.Close();

    UninstallList list;
    ParseUninstallList(text.get(), list);
    text.reset();

    for (const char16_t* const* slot = names; slot != nullptr && *slot != nullptr; ++slot) {
        std::unique_ptr<char[]> name = WideToMulti(*slot, TE_UTF8);
        if (!name || name[0] == '\0') continue;
        StrToLower(name.get());
        list.names.AppendUnique(name.get());
    }
    return WriteUninstallList(path, list);
}
