#include "kit/build/patch_builder.h"

#include <algorithm>
#include <memory>

#include <nlohmann/json.hpp>

#include "kit/build/name_rules.h"
#include "kit/build/patch_writer.h"
#include "kit/common/display.h"
#include "kit/common/failure_watch.h"
#include "kit/common/kit_files.h"
#include "kit/format/caption_stamp.h"
#include "kit/format/stub.h"
#include "kit/format/version_list_file.h"
#include "support/text.h"
#include "update/archive.h"
#include "update/version_list.h"

namespace {

constexpr char kSplitHint[] = "; build --split cuts the update into patches that fit";

bool CheckNames(const BuildRequest& request, std::vector<PackedFile>* inputs, std::string* error) {
    const std::uint32_t nameField = IndexLayout{!request.legacyIndex}.NameField();
    const std::size_t files = request.files.size();
    if (!request.split && files + 1 > kMaxEntries) {
        return Fail(error, std::to_string(files + 1) + " entries (" + std::to_string(files) + " files and " +
                           kVersionListName + "); a payload holds at most " + std::to_string(kMaxEntries) +
                           kSplitHint);
    }
    for (const std::string& path : request.files) {
        PackedFile input;
        input.path = path;
        input.name = BaseName(path);
        auto refuse = [&](const std::string& problem) {
            return Fail(error, path + ": entry name " + Quoted(input.name) + " " + problem);
        };
        std::unique_ptr<char[]> utf8 = ConvertText(input.name.c_str(), TE_UTF8);
        std::string problem = utf8 ? EntryNameProblem(utf8.get()) : "cannot be read as text";
        if (!problem.empty()) return refuse(problem);
        if (input.name.size() + 1 > nameField) {
            return refuse("is " + std::to_string(input.name.size()) + " bytes; the " +
                          (request.legacyIndex ? "legacy " : "") + "index holds names of at most " +
                          std::to_string(nameField - 1) + " bytes");
        }
        char key[kNameKeyCapacity];
        if (!MakeNameKey(key, sizeof key, input.name.c_str())) return refuse("cannot be read as text");
        input.key = key;
        if (input.key == kVersionListKey) {
            return refuse(std::string("is the name of the version list entry ") + kVersionListName +
                          ", which patchtool writes itself");
        }
        for (const PackedFile& earlier : *inputs) {
            if (earlier.key == input.key) {
                return Fail(error, "entry names " + Quoted(earlier.name) + " (" + earlier.path + ") and " +
                                   Quoted(input.name) + " (" + path + ") are the same name apart from letter case");
            }
        }
        inputs->push_back(std::move(input));
    }
    return true;
}

bool PrepareVersionList(const BuildRequest& request, std::vector<PackedFile>* inputs, VersionListFile* list,
                        BuildSummary* summary, std::string* error) {
    if (!request.versionListPath.empty() && !LoadVersionListFile(request.versionListPath, list, error)) return false;
    VersionList engine;
    if (!ToEngineList(*list, &engine, error)) return Fail(error, request.versionListPath + ": " + *error);
    bool passedOver = false;
    if (const VersionRecord* self = FindVersionRecord(engine, kVersionListKey, &passedOver)) {
        return Fail(error, request.versionListPath + ": has a record for the version list itself (" +
                           Quoted(self->name) + "); the patcher would check the list against it and fail");
    }
    for (PackedFile& input : *inputs) {
        const VersionRecord* record = FindVersionRecord(engine, input.key.c_str(), &passedOver);
        if (passedOver) return Fail(error, request.versionListPath + ": a record's name cannot be converted to look it up");
        if (record) {
            if (std::string problem = RecordNameProblem(record->name); !problem.empty()) {
                return Fail(error, request.versionListPath + ": record " + Quoted(record->name) + " for " +
                                   input.path + " " + problem);
            }
            input.record = static_cast<std::uint32_t>(record - engine.records.get());
            ++summary->recordsUpdated;
            continue;
        }
        input.record = list->Count();
        if (!list->Append(input.name)) {
            return Fail(error, input.path + ": name " + Quoted(input.name) +
                                   " does not fit a version-1 record (at most " +
                                   std::to_string(list->NameField() - 1) + " bytes)");
        }
        ++summary->recordsAdded;
    }
    return true;
}

// The parts to write: as many as the limits need when split, else one patch of every file.
bool PlanBuild(const BuildRequest& request, const std::vector<PackedFile>& inputs, const VersionListFile& list,
               std::uint32_t givenRecords, std::vector<Part>* parts, std::string* error) {
    // A patch never exceeds what the patcher reads; a split may be asked to stay smaller.
    PatchLimits limits;
    if (request.split) {
        limits.maxFiles = std::min(limits.maxFiles, request.limits.maxFiles);
        limits.maxBytes = std::min(limits.maxBytes, request.limits.maxBytes);
    }
    const PatchLayout layout{givenRecords, list.RecordSize(), IndexLayout{!request.legacyIndex}.EntrySize()};
    const bool planned = PlanParts(inputs, layout, limits, parts, error);
    if (request.split) return planned;
    std::uint64_t total = layout.Overhead(inputs.size(), list.Count());
    for (const PackedFile& input : inputs) total += input.size;
    if (total >= kPositionLimit) {
        return Fail(error, "the patch would be " + std::to_string(total) + " bytes; it must stay below 2 GiB (" +
                           std::to_string(kPositionLimit) + " bytes), the most the patcher can read" +
                           (planned ? kSplitHint : ""));
    }
    parts->assign(1, Part{0, inputs.size(), list.Count(), total});
    return true;
}

}  // namespace

bool BuildPatch(const BuildRequest& request, BuildSummary* summary, std::string* error) {
    *summary = BuildSummary{};
    FailureWatch watch;
    std::vector<PackedFile> inputs;
    if (!CheckNames(request, &inputs, error)) return false;
    for (PackedFile& input : inputs) {
        if (!RegularFileSize(input.path, &input.size, error)) return false;
    }
    VersionListFile list;
    if (!PrepareVersionList(request, &inputs, &list, summary, error)) return false;
    std::vector<Part> parts;
    if (!PlanBuild(request, inputs, list, list.Count() - summary->recordsAdded, &parts, error)) return false;
    std::string stub;
    if (!ReadStub(request.stubPath, &stub, error)) return false;
    if (!request.gameVersion.empty() && !StampCaption(&stub, request.gameVersion, error)) {
        return Fail(error, request.stubPath + ": " + *error);
    }
    summary->caption = Text(CaptionJson(reinterpret_cast<const std::uint8_t*>(stub.data()), stub.size())["description"]);

    const std::vector<std::string> names = OutputNames(request.outPath, request.split, parts.size());
    PartWriting writing{&stub, &inputs, request.legacyIndex, &list, request.progress};
    if (!WriteParts(writing, parts, names, error)) return false;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        PartSummary part{names[k], static_cast<std::uint32_t>(parts[k].first),
                         static_cast<std::uint32_t>(parts[k].count), parts[k].size};
        summary->parts.push_back(part);
        if (part.size >= summary->patchSize) {
            summary->patchSize = part.size;
            summary->entries = part.files + 1;
        }
    }
    return true;
}
