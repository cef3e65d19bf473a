// How a fuzz target reports a broken invariant: it names itself and what broke on stderr and aborts,
// which libFuzzer and the replay driver both take as a failure of that input.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void FuzzCheck(bool ok, const char* target, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "%s: %s\n", target, what);
    std::abort();
}
