#include "kit/common/kit_files.h"

#include <filesystem>
#include <system_error>

#include "kit/common/display.h"
#include "kit/common/failure_watch.h"
#include "support/file.h"
#include "support/os.h"

namespace fs = std::filesystem;

namespace {

std::string TooLarge(std::uint32_t maxSize) {
    return "more than the " + std::to_string(maxSize) + " this file may have";
}

}  // namespace

fs::path NativePath(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string Utf8Path(const fs::path& path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

bool RegularFileSize(const std::string& path, std::uint64_t* size, std::string* error) {
    std::error_code ec;
    fs::file_status status = fs::status(NativePath(path), ec);
    if (ec || !fs::exists(status)) return Fail(error, path + ": no such file");
    if (!fs::is_regular_file(status)) return Fail(error, path + ": not a regular file");
    *size = fs::file_size(NativePath(path), ec);
    return !ec || Fail(error, path + ": cannot read its size (" + ec.message() + ")");
}

bool ReadWholeFile(const std::string& path, std::uint32_t maxSize, std::string* bytes, std::string* error) {
    std::uint64_t size = 0;
    if (!RegularFileSize(path, &size, error)) return false;
    if (size > maxSize) return Fail(error, path + ": " + std::to_string(size) + " bytes, " + TooLarge(maxSize));
    const std::uint64_t mark = FailureMark();
    CFileDX file;
    std::u16string wide = WidenUtf8(path);
    if (wide.empty() || !file.OpenRead(wide.c_str())) {
        return Fail(error,
                    FailureText(path + ": cannot open it (error " + std::to_string(file.LastError()) + ")", mark));
    }
    return ReadOpenFile(file, path, maxSize, bytes, error);
}

bool ReadOpenFile(CFileDX& file, const std::string& path, std::uint32_t maxSize, std::string* bytes,
                  std::string* error) {
    const std::uint64_t mark = FailureMark();
    const std::uint32_t size = file.GetSize();
    if (size == os::kInvalidSize) return Fail(error, FailureText(path + ": cannot read its size", mark));
    if (size > maxSize) return Fail(error, path + ": " + std::to_string(size) + " bytes, " + TooLarge(maxSize));
    bytes->assign(size, '\0');
    if (size > 0 && file.Read(bytes->data(), size) != size) return Fail(error, FailureText(path + ": cannot read it", mark));
    return true;
}

std::string BaseName(const std::string& path) { return Utf8Path(NativePath(path).filename()); }

std::string InstalledStubPath() {
    char16_t self[1024];
    std::uint32_t length = os::Current().GetModulePath(self, 1024);
    if (length == 0 || length >= 1024) return {};
    std::string path = NarrowToUtf8(self);
    std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return {};
    const std::string folder = path.substr(0, slash);
    // The Windows kit's folder holds the stub beside patchtool.exe; an installed prefix keeps it in share/.
    const std::string beside = Utf8Path(NativePath(folder + "/patcher.exe").lexically_normal());
    std::uint64_t size = 0;
    std::string missing;
    if (RegularFileSize(beside, &size, &missing)) return beside;
    return Utf8Path(NativePath(folder + "/../share/patchtool/patcher.exe").lexically_normal());
}
