// patchtool's entry point on Windows: the wide command line is turned into UTF-8 arguments (the
// narrow one would lose every name outside the ANSI code page), and the console shows UTF-8.
#include <windows.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tools/patchtool.h"
#include "tools/tool_files.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(NarrowToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
    std::vector<char*> pointers;
    for (std::string& arg : args) pointers.push_back(arg.data());
    pointers.push_back(nullptr);

    SetConsoleOutputCP(CP_UTF8);
    ConsoleIo io;
    io.in = &std::cin;
    io.inInteractive = _isatty(_fileno(stdin)) != 0;
    io.errIsTerminal = _isatty(_fileno(stderr)) != 0;
    return RunPatchtool(argc, pointers.data(), std::cout, std::cerr, io);
}
