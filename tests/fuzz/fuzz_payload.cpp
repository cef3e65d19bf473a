// The payload reader and the version list on arbitrary archive bytes placed at the payload offset:
// the reader, the load and every lookup must come back with a result, never crash or overrun, and a
// loaded list never holds an unterminated name.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "support/file.h"
#include "update/archive.h"
#include "update/version_list.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path path = fs::temp_directory_path() / ("patcher-fuzz-payload-" + std::to_string(getpid()));
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
    }
    fs::resize_file(path, kPayloadOffset);  // sparse: only the archive bytes are written
    {
        std::ofstream out(path, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(kPayloadOffset);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }

    CFileDX file;
    std::u16string wide = path.u16string();
    file.OpenRead(wide.c_str());
    PayloadIndex index;
    UpdateResult r = ReadPayloadIndex(file, index);
    if (r != UpdateOk) {
        if (r != UpdateDamaged && r != UpdateTooManyEntries) std::abort();
        return 0;
    }
    if (index.count > kMaxEntries) std::abort();
    VersionList list = LoadVersionList(file, index);
    for (std::uint32_t i = 0; i < list.count; ++i) {
        if (!std::memchr(list.records[i].name, 0, sizeof list.records[i].name)) std::abort();
    }
    for (std::uint32_t i = 0; i < index.count; ++i) {
        char name[kWideNameField + 1];
        index.Name(i, name);
        char key[1024];
        if (MakeNameKey(key, sizeof key, name)) FindVersionRecord(list, key);
    }
    return 0;
}
