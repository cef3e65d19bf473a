// patchtool's entry point on Windows: the wide command line is turned into UTF-8 arguments (the
// narrow one would lose every name outside the ANSI code page). What patchtool prints goes to a
// console as UTF-16, which shows every name whatever the console's code page, and to a pipe or file
// as UTF-8 with CR LF line ends (`patchtool.exe list PATCH.exe > list.txt` gives a UTF-8 text file).
#include <windows.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "kit/common/utf8_text.h"
#include "support/win32/redirection_guard.h"
#include "tools/patchtool/patchtool.h"
#include "tools/patchtool/utf8_stream.h"

namespace {

Utf8StreamBuffer::Sink OutputTo(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return [](const char*, std::size_t) {};
    if (GetConsoleMode(handle, &mode)) {
        return [handle](const char* text, std::size_t size) {
            std::wstring wide(size, L'\0');  // never more UTF-16 units than UTF-8 bytes
            const int units = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), wide.data(),
                                                  static_cast<int>(wide.size()));
            DWORD written = 0;
            if (units > 0) WriteConsoleW(handle, wide.data(), static_cast<DWORD>(units), &written, nullptr);
        };
    }
    // Lines end in CR LF, as text files on Windows do (and as the C library's text mode wrote them).
    return [handle](const char* text, std::size_t size) {
        std::string lines;
        lines.reserve(size + size / 16);
        for (std::size_t i = 0; i < size; ++i) {
            if (text[i] == '\n') lines += '\r';
            lines += text[i];
        }
        DWORD written = 0;
        WriteFile(handle, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
    };
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // No junction a user planted is followed (on the systems that have the guard).
    os::EnableRedirectionGuard();
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(NarrowToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
    std::vector<char*> pointers;
    for (std::string& arg : args) pointers.push_back(arg.data());
    pointers.push_back(nullptr);

    Utf8StreamBuffer outBuffer(OutputTo(STD_OUTPUT_HANDLE)), errBuffer(OutputTo(STD_ERROR_HANDLE));
    std::ostream out(&outBuffer), err(&errBuffer);
    err << std::unitbuf;
    ConsoleIo io;
    io.in = &std::cin;
    io.inInteractive = _isatty(_fileno(stdin)) != 0;
    io.errIsTerminal = _isatty(_fileno(stderr)) != 0;
    const int code = RunPatchtool(argc, pointers.data(), out, err, io);
    out.flush();
    return code;
}
