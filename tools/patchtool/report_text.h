// The text patchtool prints: every line from the document the kit returned (the same document
// --json prints), so the text and the JSON never tell different things.
#pragma once

#include <iosfwd>
#include <string>

#include <nlohmann/json_fwd.hpp>

struct VersionListFile;

void PrintListing(const nlohmann::json& listing, std::ostream& out);
// The documents carry the exit code the command line chose ("exitCode").
void PrintVerification(const nlohmann::json& verification, std::ostream& out);
void PrintCheck(const nlohmann::json& check, std::ostream& out);
void PrintRelease(const nlohmann::json& release, std::ostream& out);
void PrintVersionList(const std::string& path, const VersionListFile& list, std::ostream& out);
