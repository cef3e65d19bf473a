#include "unit/test_util.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testutil {

TempDir::TempDir(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = fs::temp_directory_path() /
                             FromUtf8(prefix + "-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            root_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    if (std::getenv("E2E_KEEP")) return;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ec);
    }
    fs::remove_all(root_, ec);
}

void TempDir::Write(const std::string& rel, const std::string& bytes) const {
    fs::create_directories(Native(rel).parent_path());
    WriteAll(Native(rel), bytes);
}
std::string TempDir::Read(const std::string& rel) const { return ReadAll(Native(rel)); }
bool TempDir::Exists(const std::string& rel) const { return fs::exists(Native(rel)); }
void TempDir::MakeDir(const std::string& rel) const { fs::create_directories(Native(rel)); }

void TempDir::SetReadOnly(const std::string& rel, bool readOnly) const {
    auto write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    fs::permissions(Native(rel), readOnly ? write : fs::perms::owner_write,
                    readOnly ? fs::perm_options::remove : fs::perm_options::add);
}

std::vector<std::string> TempDir::List() const { return ListFolder(root_); }

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error("cannot read " + ToUtf8(p));
    std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
    in.seekg(0);
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) throw std::runtime_error("cannot read " + ToUtf8(p));
    return bytes;
}

void WriteAll(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + ToUtf8(p));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> ListFolder(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(ToUtf8(e.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
}

std::map<std::string, std::string> FileTree(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file()) files[ToUtf8(fs::relative(e.path(), root).generic_u8string())] = ReadAll(e.path());
    }
    return files;
}

std::string SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    std::string sorted;
    for (const std::string& line : lines) sorted += line + '\n';
    return sorted;
}

testing::AssertionResult Contains(const std::string& text, const std::string& part) {
    const bool found = text.find(part) != std::string::npos;
    return (found ? testing::AssertionSuccess() : testing::AssertionFailure())
           << testing::PrintToString(part) << (found ? " is in:\n" : " is not in:\n") << text;
}

void ExpectContainsAll(const std::string& text, const std::vector<std::string>& parts) {
    for (const std::string& part : parts) EXPECT_TRUE(Contains(text, part));
}

fs::path MakeFolderOfLength(const fs::path& root, std::size_t units) {
    fs::path folder = root;
    std::size_t length = folder.u16string().size();
    while (length < units) {
        // Each step adds a separator and a name; the last name is never shorter than one unit.
        std::size_t name = std::min<std::size_t>(200, units - length - 1);
        if (units - length - 1 - name == 1) --name;
        folder /= std::string(name, 'd');
        fs::create_directory(folder);
        length = folder.u16string().size();
    }
    return folder;
}

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

std::string MakeStub(std::uint32_t sectionBytes, const std::string& tail) {
    auto put = [](std::string& s, std::size_t at, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
    };
    std::string pe(0x200, '\0');
    pe[0] = 'M';
    pe[1] = 'Z';
    put(pe, 0x3C, 0x40, 4);
    pe.replace(0x40, 4, "PE\0\0", 4);
    put(pe, 0x44, 0x8664, 2);  // machine
    put(pe, 0x46, 1, 2);       // sections
    put(pe, 0x54, 0xF0, 2);    // optional header size
    put(pe, 0x58, 0x20B, 2);
    put(pe, 0x58 + 60, 0x200, 4);  // SizeOfHeaders
    std::size_t section = 0x58 + 0xF0;
    pe.replace(section, 5, ".text", 5);
    put(pe, section + 16, sectionBytes, 4);
    put(pe, section + 20, 0x200, 4);
    std::string body = RandomBytes(sectionBytes, 99);
    if (!body.empty()) body.back() = '\x90';  // the image's last byte is not zero
    return pe + body + tail;
}

}  // namespace testutil
