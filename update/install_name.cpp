#include "update/install_name.h"

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

}  // namespace

bool IsSafeInstallName(const char16_t* name) {
    if (!name || !name[0] || IsSeparator(name[0])) return false;
    const char16_t* component = name;
    for (const char16_t* p = name;; ++p) {
        if (*p == u':') return false;
        if (*p == 0 || IsSeparator(*p)) {
            if (p - component == 2 && component[0] == u'.' && component[1] == u'.') return false;
            if (*p == 0) return true;
            component = p + 1;
        }
    }
}
