#include "update/install_name.h"

#include "support/ascii.h"
#include "support/text.h"

// Between the install folder and a name; a name's own separators are left as they are.
constexpr char16_t kFolderSeparator = u'\\';

bool IsSafeInstallName(const char16_t* name) {
    if (!name || !name[0] || IsPathSeparator(name[0])) return false;
    const char16_t* component = name;
    for (const char16_t* p = name;; ++p) {
        if (*p == u':') return false;
        if (*p == 0 || IsPathSeparator(*p)) {
            if (p - component == 2 && component[0] == u'.' && component[1] == u'.') return false;
            if (*p == 0) return true;
            component = p + 1;
        }
    }
}

bool InstallPath(char16_t* out, std::size_t units, const char16_t* folder, const char16_t* name) {
    return FormatWide(out, units, u"%s%c%s", folder, kFolderSeparator, name) >= 0;
}

std::u16string InstallPath(const std::u16string& folder, const char16_t* name) {
    return folder + kFolderSeparator + name;
}
