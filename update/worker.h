// The update worker: one call performs the whole update.
//
// It reads the payload archive, extracts every entry into "<folder>\<name>.tmp" while checksumming
// it, verifies it against the version list carried in the payload, and only when every entry was
// written and verified renames the temporary files over their targets, prunes the installed version
// list and merges the installed names into the uninstall list. Temporary files are always removed.
// Progress and cancellation go through a ProgressView.
#pragma once

#include "update/progress.h"
#include "update/result.h"

// Runs the update into installFolder. The payload is read from payloadPath, or from the running
// executable when payloadPath is null.
UpdateResult RunUpdate(const char16_t* installFolder, ProgressView& view, const char16_t* payloadPath = nullptr);
