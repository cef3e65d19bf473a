// patchtool: the command-line program for the people who ship patches.
//
// It builds a patch (the patcher stub with the payload archive appended at 0x60000), lists and
// verifies one, prints a version list and applies a patch to a folder through the real update
// engine. The whole program is this one call so that the tests run it in-process; the executable's
// entry point only turns the process's arguments into UTF-8 and says what the terminal is.
#pragma once

#include <iosfwd>

#include "tools/patchtool/console_io.h"

// argv holds UTF-8 strings (the entry point converts them). Normal output goes to out, errors,
// progress and questions to err. Returns the process exit code.
int RunPatchtool(int argc, char** argv, std::ostream& out, std::ostream& err, const ConsoleIo& io = {});
