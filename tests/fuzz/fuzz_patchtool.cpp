// `patchtool list`, `verify` and `hvl` on arbitrary bytes (placed at the payload offset for the first
// two, as a whole file for the third), through the real command line: each ends with its exit code
// and never crashes, overruns or leaves a file open.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "fuzz/memory_os.h"
#include "tools/patchtool/patchtool.h"
#include "update/archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return 0;
    MemoryOs fs;
    fs.AddFolder(u"C:\\patch");
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    fs.Put(u"C:\\patch\\patch.exe", bytes, kPayloadOffset);
    fs.Put(u"C:\\patch\\QMK.hvl", bytes);
    const char* runs[][3] = {{"patchtool", "list", "C:\\patch\\patch.exe"},
                             {"patchtool", "verify", "C:\\patch\\patch.exe"},
                             {"patchtool", "hvl", "C:\\patch\\QMK.hvl"}};
    for (auto& run : runs) {
        std::ostringstream out, err;
        int code = RunPatchtool(3, const_cast<char**>(run), out, err);
        bool known = code == kExitOk || code == kExitFailed || (code >= 1 && code <= 7 && run[1][0] == 'v');
        if (!known || fs.OpenHandles() != 0) {
            std::fprintf(stderr, "fuzz_patchtool: %s gave %d with %zu files open\n", run[1], code, fs.OpenHandles());
            std::abort();
        }
    }
    return 0;
}
