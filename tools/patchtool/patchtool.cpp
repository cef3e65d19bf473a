#include "tools/patchtool/patchtool.h"

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kit/build/patch_builder.h"
#include "kit/common/display.h"
#include "kit/common/failure_watch.h"
#include "kit/common/kit_files.h"
#include "kit/format/caption_stamp.h"
#include "kit/format/version_list_file.h"
#include "kit/examine/install_check.h"
#include "kit/examine/patch_listing.h"
#include "kit/examine/patch_verify.h"
#include "kit/release/release_build.h"
#include "tools/patchtool/console_view.h"
#include "tools/patchtool/report_text.h"
#include "update/worker.h"

namespace {

// The help text; the limits and exit codes it states come from where they are defined.
std::string Usage() {
    const PatchLimits limits;
    const auto n = [](auto value) { return std::to_string(value); };
    return
    "usage: patchtool COMMAND ...\n"
    "\n"
    "  patchtool build [--stub PATCHER.exe] --out PATCH.exe [--version-list QMK.hvl] [--legacy-index] [--split]\n"
    "                  [--game-version TEXT] FILE...\n"
    "      Packs the FILEs, under their base names and in this order, and the version list QMK.hvl\n"
    "      (last) into a payload at 0x60000 behind the patcher stub. Every FILE's checksum goes into\n"
    "      the version list: the given one is updated (its layout and reserved bytes kept, records for\n"
    "      new files appended), without one a new version-2 list is made. --legacy-index writes the\n"
    "      old 32-byte index entries (names up to 15 bytes). Nothing is written on failure.\n"
    "      A patch holds at most " + n(limits.maxFiles) + " files and stays below " + n((limits.maxBytes + 1) >> 30) +
    " GiB; --split cuts a bigger update, in the\n"
    "      FILEs' order, into parts PATCH.part1of3.exe, PATCH.part2of3.exe, ... to be run in order.\n"
    "  patchtool build [--stub PATCHER.exe] --out PATCH.exe [--split] [--json] --from OLD... --to NEW\n"
    "  patchtool build [--stub PATCHER.exe] --out FIX.exe [--split] [--json] --to NEW --repair REPORT.json\n"
    "      Makes the patch that turns the older release OLD (a folder, or its QMK.hvl; several\n"
    "      --from make one patch for players of any of them) into the release folder NEW: every file\n"
    "      of NEW that differs, with NEW's QMK.hvl (else OLD's, updated). Refused, naming each file,\n"
    "      where the patcher could not install NEW as it is. Before the patch takes its name, the\n"
    "      patcher's engine runs it over every OLD folder, changing nothing there, and the result\n"
    "      must be NEW. With --repair: the files a player's `check --json` report calls not OK.\n"
    "      Every build form takes --game-version TEXT (1 to 16 ASCII letters, digits, '.', '-', '_'):\n"
    "      the patcher's caption becomes \"「ヴェルモラ」 ver TEXT 更新パッチ\"; without it the stub's stays.\n"
    "  patchtool list PATCH.exe\n"
    "      Prints the patcher's caption, the payload's layout and every entry with its version record\n"
    "      and checksum.\n"
    "  patchtool verify PATCH.exe\n"
    "      Checks every entry the way the patcher does, without installing anything. A part of a\n"
    "      split update is compared with the earlier parts beside it.\n"
    "  patchtool check [--json] FOLDER\n"
    "      Checks the file of every record of FOLDER/QMK.hvl (subfolders, code page 932 and UTF-8\n"
    "      names, ASCII case ignored): OK, MODIFIED, MISSING or UNREADABLE, then a summary.\n"
    "  patchtool hvl QMK.hvl\n"
    "      Prints a version list file.\n"
    "  patchtool apply PATCH.exe... FOLDER\n"
    "      Installs the patches into FOLDER one after the other with the patcher's own engine,\n"
    "      stopping at the first that does not succeed; Ctrl-C asks to cancel.\n"
    "  patchtool help\n"
    "      Prints this text.\n"
    "\n"
    "--json prints one JSON document on stdout instead of the text. On a terminal, build, apply and\n"
    "check show their progress on stderr.\n"
    "\n"
    "Exit codes: " + n(kExitOk) + " success; " + n(kExitFailed) + " the command failed (verify: " +
    n(UpdateDamaged & 0xFF) + " damaged, " + n(UpdateTooManyEntries & 0xFF) + " too many entries; check: no\n"
    "readable QMK.hvl); apply: the low byte of the first update result that is not UpdateOk (1 to 7);\n" +
    n(kExitSignatureChanged) + " verify: the file changed after it was signed, or its signature is damaged; " +
    n(kExitNotIntact) + " check: a file is\nnot OK; " + n(kExitUsage) + " a wrong command line.\n";
}

int UsageError(std::ostream& err, const std::string& message) {
    err << "patchtool: " << message << "\n" << "Run \"patchtool help\" for the commands.\n";
    return kExitUsage;
}

// The build's command line; an empty string when it is right, else what is wrong with it. A build
// from releases (--to) fills release too.
std::string ParseBuildArgs(const std::vector<std::string>& args, BuildRequest& request, ReleaseRequest& release,
                           bool& json) {
    bool filesOnly = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!filesOnly && arg == "--game-version") {
            if (!request.gameVersion.empty()) return "build: --game-version given twice";
            if (std::string problem = GameVersionProblem(i + 1 < args.size() ? args[++i] : ""); !problem.empty()) {
                return "build: " + problem;
            }
            request.gameVersion = args[i];
        } else if (!filesOnly && (arg == "--stub" || arg == "--out" || arg == "--version-list" || arg == "--to" ||
                                  arg == "--repair" || arg == "--from")) {
            if (i + 1 >= args.size() || args[i + 1].empty()) return "build: " + arg + " needs a file name";
            if (arg == "--from") {
                release.from.push_back(args[++i]);
                continue;
            }
            std::string& target = arg == "--stub" ? request.stubPath
                                  : arg == "--out" ? request.outPath
                                  : arg == "--to"  ? release.to
                                  : arg == "--repair" ? release.repairReport
                                                      : request.versionListPath;
            if (!target.empty()) return "build: " + arg + " given twice";
            target = args[++i];
        } else if (!filesOnly && (arg == "--legacy-index" || arg == "--split" || arg == "--json" || arg == "--")) {
            bool& flag = arg == "--legacy-index" ? request.legacyIndex
                         : arg == "--split"      ? request.split
                         : arg == "--json"       ? json
                                                 : filesOnly;
            flag = true;
        } else if (!filesOnly && arg.size() > 1 && arg[0] == '-') {
            return "build: unknown option " + arg;
        } else {
            request.files.push_back(arg);
        }
    }
    if (request.outPath.empty()) return "build: --out PATCH.exe is missing";
    const bool fromReleases = !release.to.empty() || !release.from.empty() || !release.repairReport.empty();
    if (!fromReleases) return json ? "build: --json goes with --to" : "";
    if (release.to.empty()) return "build: --from and --repair need --to NEW";
    if (!request.files.empty() || !request.versionListPath.empty()) {
        return "build: --to takes no FILEs and no --version-list: they come from the releases";
    }
    if (release.from.empty() == release.repairReport.empty()) return "build: --to needs --from OLD or --repair REPORT.json";
    return "";
}

// The plan, the proof and what was written, as one document.
nlohmann::json DescribeRelease(const ReleaseRequest& request, const ReleasePlan& plan) {
    nlohmann::json files = nlohmann::json::array(), parts = nlohmann::json::array();
    for (const PlannedFile& file : plan.files) files.push_back({{"name", file.rel}, {"size", file.size}, {"why", file.why}});
    for (const PartSummary& part : plan.build.parts) {
        parts.push_back({{"path", part.path}, {"size", part.size}, {"files", part.files}, {"firstFile", part.firstFile}});
    }
    return {{"to", request.to},
            {"from", request.from},
            {"counts", {{"changed", plan.changed}, {"added", plan.added}, {"removed", plan.removed}, {"unchanged", plan.unchanged}}},
            {"files", std::move(files)},
            {"warnings", plan.warnings},
            {"versionList", plan.versionList},
            {"caption", plan.build.caption},
            {"proofs", plan.proofs},
            {"parts", std::move(parts)},
            {"exitCode", kExitOk}};
}

int RunBuild(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const ConsoleIo& io) {
    BuildRequest request;
    ReleaseRequest release;
    bool json = false;
    if (std::string wrong = ParseBuildArgs(args, request, release, json); !wrong.empty()) return UsageError(err, wrong);
    if (request.stubPath.empty()) {
        request.stubPath = io.defaultStub.empty() ? InstalledStubPath() : io.defaultStub;
        if (request.stubPath.empty()) return UsageError(err, "build: --stub PATCHER.exe is missing");
        std::uint64_t size = 0;
        std::string error;
        if (!RegularFileSize(request.stubPath, &size, &error)) {
            err << "patchtool: build: no --stub given and no installed patcher stub (" << error << ")\n";
            return kExitFailed;
        }
        (json ? err : out) << "stub: " << request.stubPath << " (the installed patcher stub)\n";
    }

    // The build, with its progress on a terminal's stderr.
    const auto withBar = [&](std::function<void(std::uint64_t, std::uint64_t)>& progress, const auto& build) {
        ProgressLine bar(err, io.errIsTerminal);
        progress = [&bar](std::uint64_t done, std::uint64_t total) { bar.Show("building", done, total); };
        return build();
    };
    std::string error;
    if (!release.to.empty()) {
        release.patch = request;
        ReleasePlan plan;
        if (!withBar(release.patch.progress, [&] { return BuildFromReleases(release, &plan, &error); })) {
            for (const std::string& warning : plan.warnings) err << "patchtool: build: warning: " << warning << "\n";
            err << "patchtool: build: " << error << "\n";
            if (json) out << nlohmann::json({{"to", release.to}, {"error", error}, {"exitCode", kExitFailed}}).dump(2) << "\n";
            return kExitFailed;
        }
        const nlohmann::json doc = DescribeRelease(release, plan);
        if (json) out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        else PrintRelease(doc, out);
        return kExitOk;
    }

    BuildSummary summary;
    if (!withBar(request.progress, [&] { return BuildPatch(request, &summary, &error); })) {
        err << "patchtool: build: " << error << "\n";
        return kExitFailed;
    }
    out << "caption: " << summary.caption << "\n";
    if (!request.split) {
        out << "wrote " << request.outPath << ": " << summary.patchSize << " bytes, " << summary.entries
            << " entries; version list: " << summary.recordsUpdated << " records updated, " << summary.recordsAdded
            << " added\n";
        return kExitOk;
    }
    for (const PartSummary& part : summary.parts) {
        out << "wrote " << part.path << ": " << part.size << " bytes, " << part.files + 1 << " entries";
        if (part.files > 0) out << " (files " << part.firstFile + 1 << " to " << part.firstFile + part.files << ")";
        out << "\n";
    }
    out << "version list: " << summary.recordsUpdated << " records updated, " << summary.recordsAdded
        << " added; run the " << summary.parts.size() << (summary.parts.size() == 1 ? " part" : " parts")
        << " in order\n";
    return kExitOk;
}

// list, verify and check: each fills doc (and problem, when it could not look at all) and returns the
// exit code.
int RunList(const std::string& path, nlohmann::json* doc, std::string* problem) {
    return ListPatch(path, doc, problem) ? kExitOk : kExitFailed;
}

int RunVerify(const std::string& path, nlohmann::json* doc, std::string* problem) {
    Verification verification = VerifyPatch(path);
    *problem = verification.problem;
    *doc = std::move(verification.doc);
    // A patch that cannot be opened ends with the result's low byte, as the patcher's exit would.
    return verification.signatureSound ? static_cast<int>(verification.result & 0xFF) : kExitSignatureChanged;
}

int RunCheck(const std::string& folder, nlohmann::json* doc, std::string* problem, std::ostream& err,
             const ConsoleIo& io) {
    InstallCheck check;
    ProgressLine bar(err, io.errIsTerminal);
    if (!CheckInstallation(folder, &check, problem,
                           [&](std::uint32_t record, const std::string& name, std::uint64_t done, std::uint64_t size) {
                               bar.Show("file " + std::to_string(record + 1) + "  " + name, done, size);
                           })) {
        *doc = {{"folder", folder}, {"error", *problem}, {"intact", false}};
        return kExitFailed;
    }
    *doc = DescribeCheck(folder, check);
    return check.Intact() ? kExitOk : kExitNotIntact;
}

int RunApply(const std::vector<std::string>& patches, const std::string& folder, std::ostream& out,
             std::ostream& err, const ConsoleIo& io) {
    std::u16string wideFolder = WidenUtf8(folder);
    std::vector<std::u16string> widePatches;
    for (const std::string& patch : patches) widePatches.push_back(WidenUtf8(patch));
    if (wideFolder.empty() || std::count(widePatches.begin(), widePatches.end(), u"") > 0) {
        return UsageError(err, "apply: a path cannot be read as UTF-8");
    }
    const bool several = patches.size() > 1;
    for (std::size_t i = 0; i < patches.size(); ++i) {
        if (several) err << "applying " << patches[i] << " (" << i + 1 << " of " << patches.size() << ")\n";
        UpdateResult result;
        FailureWatch watch;
        {
            ConsoleView view(err, io);
            result = RunUpdate(wideFolder.c_str(), view, widePatches[i].c_str());
        }
        out << (several ? patches[i] + ": " : "") << "result: " << DescribeResult(result) << "\n";
        if (result == UpdateOk) continue;
        // The engine says only what the update came to; the watch says which call failed, and why.
        const bool stopped = result == UpdateCancelled || result == UpdateWindowClosed;
        if (!stopped && watch.Failures() > 0) err << "patchtool: apply: " << watch.Message() << "\n";
        if (i + 1 < patches.size()) {
            out << "stopped: " << patches.size() - i - 1 << " more not applied, from " << patches[i + 1] << "\n";
        }
        return static_cast<int>(result & 0xFF);
    }
    return kExitOk;
}

}  // namespace

int RunPatchtool(int argc, char** argv, std::ostream& out, std::ostream& err, const ConsoleIo& io) {
    if (argc < 2) {
        err << Usage();
        return kExitUsage;
    }
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "help" || command == "--help" || command == "-h") {
        out << Usage();
        return kExitOk;
    }
    if (command == "build") return RunBuild(args, out, err, io);
    if (command == "list" || command == "verify" || command == "check") {
        bool json = !args.empty() && args[0] == "--json";
        if (json) args.erase(args.begin());
        if (args.size() != 1) {
            return UsageError(err, command + ": needs exactly one " + (command == "check" ? "folder" : "file"));
        }
        // With --json the document is printed instead of the text.
        nlohmann::json doc;
        std::string problem;
        const int code = command == "list"     ? RunList(args[0], &doc, &problem)
                         : command == "verify" ? RunVerify(args[0], &doc, &problem)
                                               : RunCheck(args[0], &doc, &problem, err, io);
        if (!problem.empty()) err << "patchtool: " << (command == "check" ? "check: " : "") << problem << "\n";
        doc["exitCode"] = code;
        if (json) {
            out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        } else if (problem.empty() || command == "verify") {
            if (command == "list") PrintListing(doc, out);
            if (command == "verify") PrintVerification(doc, out);
            if (command == "check") PrintCheck(doc, out);
        }
        return code;
    }
    if (command == "hvl") {
        if (args.size() != 1) return UsageError(err, command + ": needs exactly one file");
        FailureWatch watch;
        VersionListFile list;
        std::string error;
        if (!LoadVersionListFile(args[0], &list, &error)) {
            err << "patchtool: " << error << "\n";
            return kExitFailed;
        }
        PrintVersionList(args[0], list, out);
        return kExitOk;
    }
    if (command == "apply") {
        if (args.size() < 2) return UsageError(err, "apply: needs PATCH.exe and FOLDER");
        return RunApply({args.begin(), args.end() - 1}, args.back(), out, err, io);
    }
    return UsageError(err, "unknown command \"" + command + "\"");
}
