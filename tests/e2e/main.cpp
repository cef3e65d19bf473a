// e2e_driver: the end-to-end tests of the patcher under Wine, and the demo's hands at the screen.
//
//   e2e_driver [--patcher PATCHER.exe] [--signed-patch PATCH.exe] [GoogleTest flags]   runs the tests
//   e2e_driver write-good-patch PATCHER.exe OUT.exe        the good update's patch, for signing
//   e2e_driver demo ...                                      see demo.h
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "demo.h"
#include "e2e_support.h"

int main(int, char**) {
    // Paths may be non-ASCII: take the arguments as UTF-16 from the command line.
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> args(wide, wide + count);
    LocalFree(wide);

    if (args.size() >= 2 && args[1] == L"demo") return e2e::RunDemo(std::vector<std::wstring>(args.begin() + 2, args.end()));
    if (args.size() == 4 && args[1] == L"write-good-patch") return e2e::WriteGoodPatch(args[2], args[3]);

    // GoogleTest's own flags are ASCII; everything else is ours.
    std::vector<std::string> gtestArgs{"e2e_driver"};
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (arg == L"--patcher" && i + 1 < args.size()) {
            e2e::SetPatcherPath(args[++i]);
        } else if (arg.rfind(L"--patcher=", 0) == 0) {
            e2e::SetPatcherPath(arg.substr(10));
        } else if (arg == L"--signed-patch" && i + 1 < args.size()) {
            e2e::SetSignedPatchPath(args[++i]);
        } else if (arg.rfind(L"--gtest_", 0) == 0) {
            gtestArgs.push_back(e2e::ToUtf8(arg));
        } else {
            std::fprintf(stderr, "e2e_driver: unknown argument %s\n", e2e::ToUtf8(arg).c_str());
            return 64;
        }
    }
    std::vector<char*> argv;
    for (std::string& arg : gtestArgs) argv.push_back(arg.data());
    int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    testing::InitGoogleTest(&argc, argv.data());
    return RUN_ALL_TESTS();
}
