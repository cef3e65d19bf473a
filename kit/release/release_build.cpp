#include "kit/release/release_build.h"

#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include <nlohmann/json.hpp>

#include "kit/build/name_rules.h"
#include "kit/build/patch_writer.h"
#include "kit/common/display.h"
#include "kit/common/failure_watch.h"
#include "kit/common/kit_files.h"
#include "kit/common/read_ahead.h"
#include "kit/format/version_list_file.h"
#include "kit/release/release_folder.h"
#include "kit/release/release_overlay.h"
#include "support/file.h"
#include "update/archive.h"
#include "update/progress.h"
#include "update/result.h"
#include "update/uninstall_list.h"
#include "update/worker.h"

namespace fs = std::filesystem;

namespace {

using Checksum = std::string;  // the kChecksumSize bytes, as stored

// An older release: a folder, or only its version list (checksums by key).
struct OldRelease {
    std::string given;
    bool listOnly = false;
    ReleaseFolder folder;
    std::map<std::string, Checksum> records;
    std::set<std::string> sameAsNew;  // keys of its files that hold NEW's bytes
};

// The list at path, and the key of every record, in order; empty for a record whose name has no
// terminator. A name that cannot be converted fails, naming the record: a lookup would miss it
// without a word, and the build would add a second record for the same file.
bool LoadWithKeys(const std::string& path, VersionListFile* list, std::vector<std::string>* keys, std::string* error) {
    if (!LoadVersionListFile(path, list, error)) return false;
    keys->assign(list->Count(), std::string());
    for (std::uint32_t i = 0; i < list->Count(); ++i) {
        char key[kNameKeyCapacity];
        if (!list->NameTerminated(i)) continue;
        if (!MakeNameKey(key, sizeof key, list->Name(i).c_str())) {
            return Fail(error, path + ": record " + std::to_string(i + 1) + " " + Quoted(list->Name(i)) +
                                   ": its name cannot be converted to UTF-8");
        }
        (*keys)[i] = ReleaseKey(key);
    }
    return true;
}

// Every file of NEW that differs from at least one older release, and the counts; the checksum of
// every file of NEW on the way (with no older release, only that).
bool Compare(const ReleaseFolder& release, std::vector<OldRelease>& olds, std::map<std::string, Checksum>* sums,
             ReleasePlan* plan, std::string* error) {
    ReadAhead helper;
    for (const auto& [key, file] : release.files) {
        std::vector<const ReleaseFile*> olderFiles;
        for (const OldRelease& old : olds) {
            auto found = old.folder.files.find(key);
            olderFiles.push_back(old.listOnly || found == old.folder.files.end() ? nullptr : &found->second);
        }
        std::vector<bool> same;
        Checksum& sum = (*sums)[key];
        if (!ReadAgainst(file, olderFiles, helper, &sum, &same, error)) return false;
        if (olds.empty()) continue;  // a repair: only the checksums
        bool differs = false, known = false;
        for (std::size_t k = 0; k < olds.size(); ++k) {
            if (olds[k].listOnly) {
                auto record = olds[k].records.find(key);
                known = known || record != olds[k].records.end();
                differs = differs || record == olds[k].records.end() || record->second != sum;
            } else {
                known = known || olderFiles[k];
                differs = differs || !same[k];
                if (same[k]) olds[k].sameAsNew.insert(key);
            }
        }
        if (!differs) {
            ++plan->unchanged;
            continue;
        }
        plan->files.push_back({file.rel, file.size, known ? "changed" : "added"});
        ++(known ? plan->changed : plan->added);
    }
    std::map<std::string, std::string> removed;  // by key: the first older release's name for it
    for (const OldRelease& old : olds) {
        if (old.listOnly) continue;
        for (const auto& [key, file] : old.folder.files) {
            if (!release.files.count(key)) removed.emplace(key, file.rel);
        }
    }
    for (const auto& [key, rel] : removed) {
        plan->warnings.push_back(Quoted(rel) + " is in an older release but not in " + release.root +
                                 ": the patcher cannot delete it, so it stays");
    }
    plan->removed = static_cast<std::uint32_t>(removed.size());
    return true;
}

// The version list the patch carries: NEW's, else the first older release's (else a new one), with
// a record appended for each file it lacks (named with the file's folder) and every planned file's
// checksum set; and what the patcher could not install as NEW holds it, one line per file (refused
// together). The patcher installs an entry through the first
// record with the entry's file name: a file with an earlier record of its name goes in `own`, to get
// a part of its own whose list puts its record first, when the build may split.
struct CarriedList {
    VersionListFile list;
    std::vector<std::string> keys;  // of its records
    std::vector<std::size_t> own;   // into plan.files
    std::vector<std::size_t> rest;  // into plan.files: the files of the last part
    std::vector<std::string> problems;
};

// NEW, the older releases, every file's checksum and NEW's list: what both ways of planning start from.
struct Releases {
    ReleaseFolder release;
    std::vector<OldRelease> olds;
    std::map<std::string, Checksum> sums;  // by key
    VersionListFile list;                  // NEW's, when it has one
    std::vector<std::string> keys;         // of its records
};

bool PlanList(const ReleaseRequest& request, const Releases& r, ReleasePlan* plan, CarriedList* carried,
              std::string* error) {
    std::string listPath = r.release.versionList;
    if (listPath.empty() && !r.olds.empty()) listPath = r.olds[0].listOnly ? r.olds[0].given : r.olds[0].folder.versionList;
    VersionListFile& after = carried->list = r.list;
    carried->keys = r.keys;
    if (r.release.versionList.empty() && !listPath.empty() && !LoadWithKeys(listPath, &after, &carried->keys, error)) {
        return false;
    }
    plan->versionList = listPath.empty() ? "a new version-2 list" : listPath;
    const std::uint32_t nameField = IndexLayout{!request.patch.legacyIndex}.NameField();
    std::map<std::string, std::uint32_t> records;
    for (std::uint32_t i = 0; i < after.Count(); ++i) records.emplace(carried->keys[i], i);
    for (const PlannedFile& file : plan->files) {
        const std::string key = ReleaseKey(file.rel);
        const std::string base = FileNameOf(file.rel);
        auto refuse = [&](const std::string& why) { carried->problems.push_back(Quoted(file.rel) + ": " + why); };
        if (std::string problem = EntryNameProblem(base); !problem.empty()) refuse("its entry name " + problem);
        if (std::string problem = RecordNameProblem(file.rel); !problem.empty()) refuse("its record name " + problem);
        if (base.size() + 1 > nameField) {
            refuse("its name is " + std::to_string(base.size()) + " bytes; the index holds names of at most " +
                   std::to_string(nameField - 1));
        }
        for (const OldRelease& old : r.olds) {
            if (!old.listOnly && !ParentKey(key).empty() && !old.folder.folders.count(ParentKey(key))) {
                refuse("its folder is not in " + old.given + ", and the patcher creates no folders");
            }
        }
        if (!records.count(key)) {
            if (!r.release.versionList.empty()) {
                refuse("the version list of " + request.to + " has no record for it");
                continue;
            }
            if (!after.Append(file.rel)) {
                refuse("its name does not fit a record of the version list");
                continue;
            }
            records.emplace(key, after.Count() - 1);
            carried->keys.push_back(key);
        }
        const Checksum& sum = r.sums.at(key);
        after.SetChecksum(records.at(key), reinterpret_cast<const std::uint8_t*>(sum.data()));
    }
    VersionList engine;
    if (!ToEngineList(after, &engine, error)) return Fail(error, plan->versionList + ": " + *error);
    for (std::size_t f = 0; f < plan->files.size(); ++f) {
        const PlannedFile& file = plan->files[f];
        char baseKey[kNameKeyCapacity];
        const std::string base = FileNameOf(file.rel);
        if (!MakeNameKey(baseKey, sizeof baseKey, base.c_str())) {
            return Fail(error, Quoted(file.rel) + ": its file name cannot be converted to UTF-8");
        }
        bool passedOver = false;
        const VersionRecord* first = FindVersionRecord(engine, baseKey, &passedOver);
        if (passedOver) return Fail(error, plan->versionList + ": a record's name cannot be converted to look it up");
        if (!first || ReleaseKey(first->name) == ReleaseKey(file.rel)) {
            carried->rest.push_back(f);
        } else if (request.patch.split) {
            carried->own.push_back(f);
        } else {
            carried->problems.push_back(Quoted(file.rel) + ": the patcher would install it through the record of " +
                                       Quoted(first->name) + ", the first with the file name " + Quoted(base) +
                                       "; build --split gives it a part of its own");
        }
    }
    std::string text = "the patcher could not install " + request.to + " as it is:";
    for (const std::string& problem : carried->problems) text += "\n  " + problem;
    return carried->problems.empty() || Fail(error, text);
}

// The list with every record of rel's file name that comes before rel's own moved to the end, so
// the patcher finds rel's first.
VersionListFile RecordFirst(const CarriedList& carried, const std::string& rel) {
    const VersionListFile& list = carried.list;
    const std::string own = ReleaseKey(rel), base = FileNameOf(own);
    VersionListFile moved = list;
    std::string front, back;
    bool reached = false;
    for (std::uint32_t i = 0; i < list.Count(); ++i) {
        const std::string& key = carried.keys[i];
        reached = reached || key == own;
        const bool sameName = FileNameOf(key) == base;
        (sameName && !reached ? back : front).append(list.records, std::size_t(i) * list.RecordSize(), list.RecordSize());
    }
    moved.records = front + back;
    return moved;
}

// Runs the parts over one older release folder through the overlay and compares the outcome with NEW.
bool Prove(const OldRelease& old, const ReleaseFolder& release, const std::vector<std::string>& parts,
           const std::vector<std::string>& names, const fs::path& scratch, std::string* line, std::string* error) {
    std::error_code ec;
    fs::create_directories(scratch, ec);
    const std::u16string root = WidenUtf8(old.folder.root);
    OverlayOs overlay(root, WidenUtf8(Utf8Path(scratch)));
    const bool hasUninstallList = fs::exists(NativePath(old.folder.root) / kUninstallListName, ec);
    ProgressView view;  // shows nothing, never cancelled
    const std::string failed = "the proof on " + old.given + " failed: ";
    for (std::size_t k = 0; k < parts.size(); ++k) {
        const UpdateResult result = RunUpdate(root.c_str(), view, WidenUtf8(parts[k]).c_str());
        if (result != UpdateOk && !(result == UpdateUninstallListFailed && !hasUninstallList)) {
            return Fail(error, failed + BaseName(names[k]) + " stopped with " + DescribeResult(result));
        }
    }
    ReadAhead helper;
    auto matches = [&](const ReleaseFile& want) -> bool {
        ReleaseFile seen{want.rel, NarrowToUtf8(overlay.Where(WidenUtf8(want.rel)).c_str()), 0};
        if (seen.path.empty()) return Fail(error, failed + Quoted(want.rel) + " is missing after the update");
        std::string sum;
        std::vector<bool> same;
        if (!RegularFileSize(seen.path, &seen.size, error) ||
            !ReadAgainst(want, {&seen}, helper, &sum, &same, error)) {
            return false;
        }
        return same[0] || Fail(error, failed + Quoted(want.rel) + " differs from " + release.root + "'s");
    };
    std::set<std::string> touched;
    for (const std::u16string& name : overlay.Touched()) touched.insert(ReleaseKey(NarrowToUtf8(name.c_str())));
    for (const auto& [key, file] : release.files) {
        // A file the run left alone is the older release's own, compared with NEW's already.
        if (!touched.count(key) && old.sameAsNew.count(key)) continue;
        if (!matches(file)) return false;
    }
    if (!release.versionList.empty()) {
        ReleaseFile list{kVersionListName, release.versionList, 0};
        if (!RegularFileSize(list.path, &list.size, error) || !matches(list)) return false;
    }
    for (const std::string& key : touched) {
        if (!release.files.count(key) && key != kVersionListKey && key != kUninstallListName) {
            return Fail(error, failed + "the update changed " + Quoted(key) + ", which " + release.root +
                                   " does not have");
        }
    }
    *line = "proved on " + old.given + ": every file as in " + release.root +
            (!release.versionList.empty() ? ", " + std::string(kVersionListName) + " equal to its" : "") + ", nothing else changed there";
    return true;
}

// The staging folder beside the output, removed however the build ends.
struct Staging {
    fs::path dir;
    ~Staging() {
        std::error_code ec;
        if (!dir.empty()) fs::remove_all(dir, ec);
    }
};

// The files that differ from the older releases (folders, or version lists), and their checksums.
bool PlanFromReleases(const ReleaseRequest& request, Releases* r, ReleasePlan* plan, std::string* error) {
    for (const std::string& given : request.from) {
        OldRelease old;
        old.given = given;
        std::error_code ec;
        old.listOnly = fs::is_regular_file(NativePath(given), ec);
        if (old.listOnly) {
            VersionListFile oldList;
            std::vector<std::string> keys;
            if (!LoadWithKeys(given, &oldList, &keys, error)) return false;
            for (std::uint32_t i = 0; i < oldList.Count(); ++i) {
                old.records.emplace(keys[i], Checksum(reinterpret_cast<const char*>(oldList.Checksum(i)), kChecksumSize));
            }
        } else if (!ScanRelease(given, &old.folder, error)) {
            return false;
        }
        r->olds.push_back(std::move(old));
    }
    return Compare(r->release, r->olds, &r->sums, plan, error);
}

// A repair: the files a player's `check --json` report does not call OK (the report must come from
// NEW's list), and the checksums of NEW's files.
bool PlanFromReport(const ReleaseRequest& request, Releases* r, ReleasePlan* plan, std::string* error) {
    const ReleaseFolder& release = r->release;
    const VersionListFile& list = r->list;
    const std::string& reportPath = request.repairReport;
    if (release.versionList.empty()) return Fail(error, request.to + ": a repair needs the release's " + kVersionListName);
    std::string text;
    if (!ReadWholeFile(reportPath, kMaxVersionListBytes, &text, error)) return false;
    nlohmann::json report = nlohmann::json::parse(text, nullptr, false);
    if (report.is_discarded() || !report.contains("files") || !report["files"].is_array()) {
        return Fail(error, reportPath + ": not a report of patchtool check --json");
    }
    std::map<std::string, std::string> expected;  // key to the checksum's hex digits
    for (std::uint32_t i = 0; i < list.Count(); ++i) expected[r->keys[i]] = HexBytes(list.Checksum(i), kChecksumSize);
    std::size_t matching = 0;
    for (const nlohmann::json& file : report["files"]) {
        if (!file.value("name", nlohmann::json()).is_string() || !file.value("expected", nlohmann::json()).is_string()) {
            return Fail(error, reportPath + ": a file without a name or an expected checksum");
        }
        const std::string key = ReleaseKey(file["name"].get<std::string>());
        auto record = expected.find(key);
        if (record == expected.end() || record->second != file["expected"].get<std::string>()) continue;
        ++matching;
        if (file.value("status", "") == "OK") continue;
        auto found = release.files.find(key);
        if (found == release.files.end()) return Fail(error, reportPath + ": " + Quoted(file["name"].get<std::string>()) + " is not in " + release.root);
        plan->files.push_back({found->second.rel, found->second.size, file.value("status", "") + " in the report"});
        ++plan->changed;
    }
    if (matching != report["files"].size() || matching != list.Count()) {
        return Fail(error, reportPath + ": the report is of another release: " + std::to_string(matching) + " of its " +
                               std::to_string(report["files"].size()) + " files match the " +
                               std::to_string(list.Count()) + " records of " + release.root + "/" + kVersionListName);
    }
    return Compare(r->release, r->olds, &r->sums, plan, error);
}

// Every record of NEW's list must name a file of NEW with its checksum.
bool CheckNewList(const Releases& r, std::string* error) {
    std::string names;
    for (std::uint32_t i = 0; i < r.list.Count(); ++i) {
        // A record of a folder ("data\") or without a name installs nothing and is not checked.
        const std::string& key = r.keys[i];
        if (key.empty() || key.back() == '\\') continue;
        auto sum = r.sums.find(key);
        if (sum == r.sums.end() || std::memcmp(sum->second.data(), r.list.Checksum(i), kChecksumSize) != 0) {
            names += (names.empty() ? "" : ", ") + Quoted(DisplayName(r.list.Name(i).c_str()));
        }
    }
    return names.empty() || Fail(error, r.release.versionList + " does not match the release: its records of " + names +
                                            " name a missing file or another checksum; a release whose list is wrong must not be shipped");
}

// Builds the parts in the staging folder, each build in a folder of its own under the output's name;
// the paths of the parts, in the order they are to run, go in plan->build. Every part carries the
// whole list as it must read at the end; the parts of files with an earlier record of their name
// come first, each with its record moved to the front, and the last part carries the list itself.
bool Stage(const ReleaseRequest& request, const Releases& r, const CarriedList& carried, Staging* staging,
           ReleasePlan* plan, std::string* error) {
    const fs::path out = NativePath(request.patch.outPath);
    const fs::path stagingDir = out.parent_path() / (".patchtool-" + Utf8Path(out.filename()) + ".staging");
    std::error_code ec;
    // A leftover is removed (a link as a link), and the folder made new; only then is it this run's to remove.
    fs::remove_all(stagingDir, ec);
    if (!fs::create_directories(stagingDir, ec)) return Fail(error, Utf8Path(stagingDir) + ": cannot create it");
    staging->dir = stagingDir;
    std::uint32_t placed = 0;  // files in the parts so far, in the order they run
    const auto build = [&](const std::vector<std::size_t>& files, const VersionListFile& list, const std::string& folder,
                           bool split) {
        std::error_code made;
        fs::create_directories(stagingDir / folder, made);
        const std::string listFile = Utf8Path(stagingDir / folder / kVersionListName);
        const std::string bytes = list.EncodeFirst(list.Count());
        if (!ReplaceFileContents(WidenUtf8(listFile).c_str(), bytes.data(), static_cast<std::uint32_t>(bytes.size()))) {
            return Fail(error, FailureText(listFile + ": cannot write it"));
        }
        BuildRequest part = request.patch;
        part.outPath = Utf8Path(stagingDir / folder / out.filename());
        part.versionListPath = listFile;
        part.split = split;
        for (std::size_t f : files) part.files.push_back(r.release.files.at(ReleaseKey(plan->files[f].rel)).path);
        BuildSummary built;
        if (!BuildPatch(part, &built, error)) return false;
        for (PartSummary& p : built.parts) p.firstFile += placed;
        placed += static_cast<std::uint32_t>(files.size());
        plan->build.parts.insert(plan->build.parts.end(), built.parts.begin(), built.parts.end());
        plan->build.caption = built.caption;
        return true;
    };
    for (std::size_t k = 0; k < carried.own.size(); ++k) {
        const std::size_t f = carried.own[k];
        if (!build({f}, RecordFirst(carried, plan->files[f].rel), "own" + std::to_string(k), false)) return false;
    }
    return build(carried.rest, carried.list, "last", request.patch.split);
}

// The staged parts, run over every older release folder.
bool ProveAll(const Releases& r, const std::vector<std::string>& parts, const std::vector<std::string>& names,
              const fs::path& scratch, ReleasePlan* plan, std::string* error) {
    for (std::size_t k = 0; k < r.olds.size(); ++k) {
        const OldRelease& old = r.olds[k];
        std::string line = old.given + " is a version list: there is no folder to run the patch over, so it is not proved";
        if (!old.listOnly && !Prove(old, r.release, parts, names, scratch / ("proof" + std::to_string(k)), &line, error)) {
            return false;
        }
        plan->proofs.push_back(line);
    }
    return true;
}

}  // namespace

bool BuildFromReleases(const ReleaseRequest& request, ReleasePlan* plan, std::string* error) {
    *plan = ReleasePlan{};
    FailureWatch watch;
    Releases r;
    if (!ScanRelease(request.to, &r.release, error)) return false;
    if (!r.release.versionList.empty() && !LoadWithKeys(r.release.versionList, &r.list, &r.keys, error)) return false;
    const bool planned = request.repairReport.empty() ? PlanFromReleases(request, &r, plan, error)
                                                      : PlanFromReport(request, &r, plan, error);
    if (!planned || !CheckNewList(r, error)) return false;
    if (plan->files.empty()) return Fail(error, "nothing to build: " + request.to + " has no file that differs");
    CarriedList carried;
    Staging staging;
    if (!PlanList(request, r, plan, &carried, error) || !Stage(request, r, carried, &staging, plan, error)) return false;
    std::vector<std::string> parts;  // where the parts are staged
    for (const PartSummary& part : plan->build.parts) parts.push_back(part.path);
    const std::vector<std::string> names = OutputNames(request.patch.outPath, request.patch.split, parts.size());
    if (!ProveAll(r, parts, names, staging.dir, plan, error) || !PublishParts(parts, names, error)) return false;
    for (std::size_t k = 0; k < names.size(); ++k) plan->build.parts[k].path = names[k];
    return true;
}
