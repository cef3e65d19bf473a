// patchtool's entry point on POSIX systems, where arguments already are UTF-8.
#include <unistd.h>

#include <iostream>

#include "tools/patchtool.h"

int main(int argc, char** argv) {
    ConsoleIo io;
    io.in = &std::cin;
    io.inInteractive = isatty(STDIN_FILENO) != 0;
    io.errIsTerminal = isatty(STDERR_FILENO) != 0;
    return RunPatchtool(argc, argv, std::cout, std::cerr, io);
}
