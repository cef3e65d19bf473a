// patchtool: the command-line program for the people who ship patches.
//
// It builds a patch (the patcher stub with the payload archive appended at 0x60000), lists and
// verifies one, prints a version list and applies a patch to a folder through the real update
// engine. The whole program is this one call so that the tests run it in-process; the executable's
// entry point only turns the process's arguments into UTF-8 and says what the terminal is.
#pragma once

#include <iosfwd>
#include <string>

// Exit codes of patchtool (apply returns the low byte of its UpdateResult instead: 0 and 1 to 7).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;   // the command ran and failed: refused build, unreadable input
inline constexpr int kExitSignatureChanged = 8;  // verify: the file changed after it was signed
inline constexpr int kExitNotIntact = 9;         // check: a file is modified, missing or unreadable
inline constexpr int kExitUsage = 64;   // the command line itself is wrong

// What the program may know about its console besides the two output streams.
struct ConsoleIo {
    std::istream* in = nullptr;       // answers to the cancel question; null reads as end of input
    bool inInteractive = false;       // in is a terminal a person types into
    bool errIsTerminal = false;       // progress may redraw one line with '\r'
    std::string defaultStub;          // build's stub when --stub is left out; empty: the installed one
};

// argv holds UTF-8 strings (the entry point converts them). Normal output goes to out, errors,
// progress and questions to err. Returns the process exit code.
int RunPatchtool(int argc, char** argv, std::ostream& out, std::ostream& err, const ConsoleIo& io = {});
