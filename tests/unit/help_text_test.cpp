// patchtool's help text, its man page and the command list of the kit's guide (docs/patchtool.md)
// name the same commands, and patchtool takes every one of them.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "unit/patchtool_fixture.h"

namespace {

using patchtool_test::Outcome;
using patchtool_test::Patchtool;

// The first group of every line that matches pattern, among the lines after the one equal to from
// (all lines when from is empty) and before the next that matches until (none when it is empty).
std::set<std::string> Names(const std::string& text, const std::string& pattern, const std::string& from = {},
                            const std::string& until = {}) {
    std::set<std::string> names;
    std::istringstream in(text);
    bool inside = from.empty();
    const std::regex line(pattern);
    const std::regex end(until.empty() ? "." : until);
    std::smatch m;
    for (std::string s; std::getline(in, s);) {
        if (!s.empty() && s.back() == '\r') s.pop_back();
        if (!inside) {
            inside = s == from;
        } else if (!until.empty() && std::regex_search(s, end)) {
            break;
        } else if (std::regex_search(s, m, line)) {
            names.insert(m[1]);
        }
    }
    return names;
}

std::string Joined(const std::set<std::string>& names) {
    std::string s;
    for (const std::string& n : names) s += n + " ";
    return s;
}

TEST(PatchtoolHelp, HelpManPageAndGuideNameEveryCommand) {
    const Outcome help = Patchtool({"help"});
    ASSERT_EQ(help.code, kExitOk);
    const testutil::fs::path root = testutil::DataFolder().parent_path().parent_path();
    const std::string man = testutil::ReadAll(root / "docs" / "patchtool.1");
    const std::string guide = testutil::ReadAll(root / "docs" / "patchtool.md");

    const std::set<std::string> commands = Names(help.out, "^  patchtool ([a-z]+)");
    const std::map<std::string, std::set<std::string>> others = {
        {"man page synopsis", Names(man, "^\\.B patchtool ([a-z]+)")},
        {"man page description", Names(man, "^\\.B ([a-z]+)$", ".SH DESCRIPTION", "^\\.SH ")},
        {"docs/patchtool.md", Names(guide, "^    patchtool ([a-z]+)", "## Commands", "^## ")},
    };
    ASSERT_GT(commands.size(), 1u) << help.out;
    for (const auto& [where, names] : others) EXPECT_EQ(Joined(names), Joined(commands)) << where;

    // Each command is one patchtool knows; a name it does not know is refused as such.
    for (const std::string& name : commands) {
        Outcome run = Patchtool({name});
        EXPECT_EQ(run.err.find("unknown command"), std::string::npos) << name << ": " << run.err;
    }
    Outcome unknown = Patchtool({"frobnicate"});
    EXPECT_EQ(unknown.code, kExitUsage);
    EXPECT_NE(unknown.err.find("unknown command"), std::string::npos) << unknown.err;
}

}  // namespace
