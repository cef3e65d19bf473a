// Windows' redirection guard for the whole process (Windows only; the programs' entry points call it).
#pragma once

namespace os {

// Switches on Windows' redirection guard (SetProcessMitigationPolicy with the redirection trust
// policy, enforced): from then on the process follows no junction that a user other than an
// administrator made, whatever path reaches it. Looked up at run time; false where the system lacks
// it (before Windows 10 22H2), and the program goes on. Wine accepts the call and guards nothing,
// which is why the backend's guarded folder does not rely on it.
bool EnableRedirectionGuard();

}  // namespace os
