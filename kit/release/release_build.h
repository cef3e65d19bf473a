// A patch made from two releases: what changed from the older release (or releases) to the new one
// goes in, with the new release's version list, and before the patch takes its name the patcher's
// own engine proves it on every older release folder, changing nothing there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kit/build/patch_builder.h"

struct ReleaseRequest {
    // The stub, the output, --split, --legacy-index and the progress; files and list come from below.
    BuildRequest patch;
    std::vector<std::string> from;  // older release folders, or their QMK.hvl files
    std::string to;                 // the new release folder
    std::string repairReport;       // a `check --json` report: only its files that are not OK go in
};

struct PlannedFile {
    std::string rel;  // in the new release, '\' separated
    std::uint64_t size = 0;
    std::string why;  // "changed", "added", "not OK in the report"
};

struct ReleasePlan {
    std::vector<PlannedFile> files;  // what goes in, in this order
    std::uint32_t changed = 0, added = 0, removed = 0, unchanged = 0;
    std::vector<std::string> warnings;  // files of an older release the patcher cannot delete
    std::vector<std::string> proofs;    // one line per older release: proved, or why not
    std::string versionList;            // where the patch's version list came from
    BuildSummary build;
};

// Plans, builds and proves. False with the reason (each refused file named) and no output file when
// the releases cannot be turned into a patch the unchanged patcher installs, or the proof fails.
bool BuildFromReleases(const ReleaseRequest& request, ReleasePlan* plan, std::string* error);
