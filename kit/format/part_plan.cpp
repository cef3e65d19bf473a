#include "kit/format/part_plan.h"

#include "kit/common/display.h"
#include "kit/common/kit_files.h"
#include "support/ascii.h"
#include "update/version_list.h"

std::uint64_t PatchLayout::Overhead(std::size_t files, std::uint32_t records) const {
    return kIndexOffset + std::uint64_t(files + 1) * entrySize + kVersionListHeaderSize +
           std::uint64_t(records) * recordSize;
}

bool PlanParts(const std::vector<PackedFile>& files, const PatchLayout& layout, const PatchLimits& limits,
               std::vector<Part>* parts, std::string* error) {
    std::size_t next = 0;
    std::uint32_t records = layout.givenRecords;
    do {
        Part part;
        part.first = next;
        std::uint64_t data = 0;
        while (next < files.size() && part.count < limits.maxFiles) {
            const PackedFile& file = files[next];
            std::uint32_t withIt = records + (file.record >= layout.givenRecords ? 1 : 0);
            std::uint64_t size = layout.Overhead(part.count + 1, withIt) + data + file.size;
            if (size > limits.maxBytes) {
                if (part.count > 0) break;
                return Fail(error, file.path + ": " + std::to_string(file.size) +
                                   " bytes; a patch of it alone would be " + std::to_string(size) +
                                   " bytes, and a patch must stay below " +
                                   std::to_string(limits.maxBytes + 1) +
                                   " bytes (2 GiB, the most the patcher can read): no part can hold it");
            }
            records = withIt;
            data += file.size;
            ++part.count;
            ++next;
        }
        part.records = records;
        part.size = layout.Overhead(part.count, records) + data;
        parts->push_back(part);
    } while (next < files.size());
    return true;
}

std::string PartName(const std::string& out, std::uint32_t part, std::uint32_t parts) {
    std::string count = std::to_string(parts);
    std::string number = std::to_string(part);
    if (number.size() < count.size()) number.insert(0, count.size() - number.size(), '0');
    std::string tag = ".part" + number + "of" + count;
    // The extension is the final component's, from its last dot (a leading dot starts no extension).
    std::size_t nameStart = out.find_last_of("/\\");
    nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
    std::size_t dot = out.rfind('.');
    if (dot == std::string::npos || dot <= nameStart) return out + tag;
    return out.substr(0, dot) + tag + out.substr(dot);
}

bool ParsePartName(const std::string& path, std::uint32_t* part, std::uint32_t* parts, std::string* out) {
    std::string name = BaseName(path);
    const std::size_t folder = path.size() >= name.size() ? path.size() - name.size() : 0;
    for (char& c : name) c = AsciiLower(c);
    // ".partKofN" ends the name, or the name without its extension.
    std::vector<std::string> candidates = {name};
    std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) candidates.push_back(name.substr(0, dot));
    for (const std::string& candidate : candidates) {
        std::size_t tag = candidate.rfind(".part");
        if (tag == std::string::npos) continue;
        std::string rest = candidate.substr(tag + 5);
        std::size_t of = rest.find("of");
        if (of == std::string::npos) continue;
        std::string k = rest.substr(0, of), n = rest.substr(of + 2);
        auto isNumber = [](const std::string& digits) {
            return !digits.empty() && digits.size() <= 9 && digits.find_first_not_of("0123456789") == std::string::npos;
        };
        if (!isNumber(k) || !isNumber(n)) continue;
        std::uint32_t kValue = static_cast<std::uint32_t>(std::stoul(k));
        std::uint32_t nValue = static_cast<std::uint32_t>(std::stoul(n));
        if (kValue < 1 || kValue > nValue) continue;
        *part = kValue;
        *parts = nValue;
        if (out) *out = path.substr(0, folder + tag) + path.substr(folder + tag + 5 + rest.size());
        return true;
    }
    return false;
}
