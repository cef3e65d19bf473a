// The demo's hands at the screen: what a person would do with the patcher, done by the driver so
// that scripts/demo runs unattended.
//
//   e2e_driver demo register FOLDER
//       Records FOLDER as the game's install folder (HKLM\Software\MarbleHollow\ヴェルモラ,
//       InstalledFolder), which reg.exe cannot be trusted to spell right under Wine.
//   e2e_driver demo run PATCH.exe [--shots FOLDER]
//       Starts the patch, answers Yes, watches the progress dialog and confirms the result, telling
//       what it sees. With --shots, asks for a screenshot of the confirmation, the progress dialog
//       and the result: it writes NAME.request holding the window's geometry (WxH+X+Y) into FOLDER
//       and waits until a watcher outside Wine has put NAME.png there and removed the request.
//       Exit status 0 when the patcher ended with 0.
#pragma once

#include <string>
#include <vector>

namespace e2e {

int RunDemo(const std::vector<std::wstring>& args);

}  // namespace e2e
