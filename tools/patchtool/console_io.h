// What patchtool's command line and the parts of the kit that answer for it share: the exit codes and
// what the program knows of its console. A leaf: it includes nothing of the kit.
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
