#include "update/install_name.h"

bool IsSafeInstallName(const char16_t* name) {
    const auto isSeparator = [](char16_t c) { return c == u'\\' || c == u'/'; };
    if (!name || !name[0] || isSeparator(name[0])) return false;
    const char16_t* component = name;
    for (const char16_t* p = name;; ++p) {
        if (*p == u':') return false;
        if (*p == 0 || isSeparator(*p)) {
            if (p - component == 2 && component[0] == u'.' && component[1] == u'.') return false;
            if (*p == 0) return true;
            component = p + 1;
        }
    }
}
