// Power cuts and kills at every step of `patchtool apply` (the patcher's engine) and `patchtool build`.
//
// Each job runs once uncut for its reference. Then the power is cut after every OS call in turn
// (crash_os.h), which gives two states each: every byte written kept, and every byte written since
// a file's last flush lost; and the real patchtool process is killed with SIGKILL at a seeded set
// of its OS calls. In every state each file under the scratch folder must be wholly its old or
// wholly its new content (a few named whole states in between are allowed, and temporary files may
// be left); then the job runs again to completion and the folder must equal the reference byte for
// byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "unit/crash_os.h"
#include "unit/patchtool_fixture.h"
#include "unit/test_util.h"
#include "update/entry_check.h"
#include "update/worker.h"

#ifdef PATCHTOOL_PATH
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = testutil::fs;
using testutil::RandomBytes;
using testutil::ToUtf8;

// Relative path ('/' between components) to content, for every regular file under a folder.
using Files = std::map<std::string, std::string>;

// A file that is still a hard link to a planted copy (see Plant) stands for that copy's content.
constexpr char kLinked[] = "(the planted copy)";

Files Tree(const fs::path& root) {
    Files files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        std::u8string rel = entry.path().lexically_relative(root).generic_u8string();
        files[std::string(rel.begin(), rel.end())] =
            entry.hard_link_count() > 1 ? kLinked : testutil::ReadAll(entry.path());
    }
    return files;
}

// The job's input files of a megabyte or more are planted as hard links to one copy, written once:
// the jobs only read them, and the loops plant them hundreds of times. Tree shows such a file as
// kLinked while the link stands; the copies are checked after each loop.
std::map<std::string, fs::path>& PlantedCopies() {
    static std::map<std::string, fs::path> copies;
    return copies;
}

void ExpectCopiesUnchanged() {
    for (const auto& [bytes, copy] : PlantedCopies()) EXPECT_TRUE(testutil::ReadAll(copy) == bytes) << copy;
}

// The files as Tree shows them once planted.
Files Planted(const Files& files) {
    Files planted = files;
    for (auto& [rel, bytes] : planted)
        if (bytes.size() >= kCopyChunk) bytes = kLinked;
    return planted;
}

// Lays a state out under root: kLinked stands for the input of that name in inputs.
void Plant(const fs::path& root, const Files& state, const Files& inputs) {
    static testutil::TempDir master;
    std::map<std::string, fs::path>& copies = PlantedCopies();
    for (const auto& [rel, bytes] : state) {
        fs::path p = root / testutil::FromUtf8(rel);
        fs::create_directories(p.parent_path());
        if (bytes != kLinked) {
            testutil::WriteAll(p, bytes);
            continue;
        }
        const std::string& input = inputs.at(rel);
        fs::path& copy = copies[input];
        if (copy.empty()) {
            copy = master.Root() / std::to_string(copies.size());
            testutil::WriteAll(copy, input);
        }
        fs::create_hard_link(copy, p);
    }
}

bool IsTemporary(const std::string& rel) {
    return rel.ends_with(".tmp") || rel.ends_with(".new") || rel.ends_with(".partial");
}

// One command over a scratch folder: what lies there first, its arguments, and the whole contents
// a file may hold between old and new (the installed version list before it is pruned).
struct Job {
    const char* name;
    Files before;
    std::function<std::vector<std::string>(const fs::path& root)> args;
    Files between;
};

// A game at 1.00 in root/game, a file beside it and the patch to 1.01 in root. The update replaces
// an archive of three 1 MiB chunks, a small one, one in a subfolder (through its record's name) and
// adds one; the payload's version list names a file that is not there, so the prune changes it.
Job ApplyJob() {
    Files game = {
        {"game.exe", "exe 1.00"},
        {"big.arc", RandomBytes(5000, 11)},
        {"a.arc", "old a"},
        {"data/s.arc", "old s"},
        {"data/keep.txt", "not in the patch"},
        {"uninst.lst", "game.exe\r\nBIG.arc\r\n$reg\r\n"},
    };
    game["QMK.hvl"] = EncodeVersionListOf({{"game.exe", game["game.exe"]}, {"big.arc", game["big.arc"]},
                                           {"a.arc", game["a.arc"]}, {"data\\s.arc", game["data/s.arc"]}});
    std::vector<PayloadFile> payload = {{"big.arc", RandomBytes(2 * kCopyChunk + 0x1000, 12)},
                                        {"a.arc", RandomBytes(3000, 13)},
                                        {"S.ARC", "new s"},
                                        {"new.arc", "added in 1.01"}};
    std::vector<PayloadFile> records = {{"game.exe", game["game.exe"]}, {"gone.arc", "not installed"}};
    for (const PayloadFile& f : payload) records.push_back({f.name == "S.ARC" ? "data\\s.arc" : f.name, f.data});
    std::string list = EncodeVersionListOf(records);
    payload.push_back({"QMK.hvl", list});

    Job job{"apply", {}, {}, {{"game/QMK.hvl", list}}};
    for (const auto& [rel, bytes] : game) job.before["game/" + rel] = bytes;
    job.before["beside.txt"] = "outside the game folder";
    job.before["patch.exe"] = EncodePatch("MZ stub", EncodeArchive(payload, false));
    job.args = [](const fs::path& root) {
        return std::vector<std::string>{"apply", ToUtf8(root / "patch.exe"), ToUtf8(root / "game")};
    };
    return job;
}

// A stub and two files, one of them more than two copy chunks long, packed into root/patch.exe.
Job BuildJob() {
    Job job{"build",
            {{"stub.exe", testutil::MakeStub()},
             {"in/big.dat", RandomBytes(2 * kCopyChunk + 17, 21)},
             {"in/small.txt", "small"}},
            {},
            {}};
    job.args = [](const fs::path& root) {
        return std::vector<std::string>{"build", "--stub", ToUtf8(root / "stub.exe"), "--out", ToUtf8(root / "patch.exe"),
                                        ToUtf8(root / "in/big.dat"), ToUtf8(root / "in/small.txt")};
    };
    return job;
}

int RunInProcess(const Job& job, const fs::path& root) { return patchtool_test::Patchtool(job.args(root)).code; }

// Every file wholly old, wholly new or one of the job's whole states between; nothing else but
// temporary files.
void ExpectWholeFiles(const Job& job, const Files& before, const Files& reference, const Files& now) {
    std::map<std::string, bool> names;
    for (const Files* f : {&before, &reference, &now})
        for (const auto& entry : *f) names[entry.first] = true;
    for (const auto& [rel, unused] : names) {
        auto it = now.find(rel);
        auto old = before.find(rel);
        auto fresh = reference.find(rel);
        auto between = job.between.find(rel);
        if (it == now.end()) {
            // Missing: it did not exist before, or not after.
            EXPECT_TRUE(old == before.end() || fresh == reference.end()) << rel << " is gone";
        } else if (!(old != before.end() && it->second == old->second) &&
                   !(fresh != reference.end() && it->second == fresh->second) &&
                   !(between != job.between.end() && it->second == between->second)) {
            EXPECT_TRUE(IsTemporary(rel)) << rel << " holds " << it->second.size() << " bytes, neither old nor new";
        }
    }
}

struct Reference {
    Files before;  // as Tree shows the planted files
    Files files;   // as Tree shows the files after an uncut run
    int calls = 0;
};

Reference RunUncut(const Job& job) {
    Reference ref;
    ref.before = Planted(job.before);
    testutil::TempDir dir;
    Plant(dir.Root(), ref.before, job.before);
    {
        CrashOs counter(0);
        EXPECT_EQ(RunInProcess(job, dir.Root()), 0);
        ref.calls = counter.Calls();
    }
    ref.files = Tree(dir.Root());
    return ref;
}

// A state a cut left: the invariants, then a run to completion from it, which must give the
// reference. The run is deterministic, so it is made once for each state: a cut that leaves the
// same state as the cut before it (after a call that changed nothing on the disk) is only checked.
// Returns whether it ran the job again.
bool CheckState(const Job& job, const Reference& ref, Files state, Files* previousState) {
    ExpectWholeFiles(job, ref.before, ref.files, state);
    if (state == *previousState) return false;
    *previousState = std::move(state);
    testutil::TempDir dir;
    Plant(dir.Root(), *previousState, job.before);
    CrashOs noCut(0);
    EXPECT_EQ(RunInProcess(job, dir.Root()), 0);
    EXPECT_TRUE(Tree(dir.Root()) == ref.files) << "the run after the cut does not give the reference";
    return true;
}

// Each cut gives two states: the disk as a killed process leaves it (every byte written kept) and,
// from the same cut, the worst a power cut leaves (every unflushed byte lost).
TEST(Crash, PowerCutAfterEveryOsCall) {
    for (const Job& job : {ApplyJob(), BuildJob()}) {
        Reference ref = RunUncut(job);
        ASSERT_GT(ref.calls, 20) << job.name;
        auto start = std::chrono::steady_clock::now();
        int states = 0;
        Files previousKept, previousLost;
        for (int cut = 1; cut <= ref.calls && !HasFailure(); ++cut) {
            SCOPED_TRACE(std::string(job.name) + ", cut after call " + std::to_string(cut));
            testutil::TempDir dir;
            Plant(dir.Root(), ref.before, job.before);
            Files kept;
            {
                CrashOs power(cut, [&] { kept = Tree(dir.Root()); });
                RunInProcess(job, dir.Root());
                ASSERT_TRUE(power.PowerIsOff());
            }
            {
                SCOPED_TRACE("every byte written kept");
                states += CheckState(job, ref, std::move(kept), &previousKept);
            }
            SCOPED_TRACE("unflushed bytes lost");
            states += CheckState(job, ref, Tree(dir.Root()), &previousLost);
        }
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::printf("[ figures  ] %s: power cut after each of %d OS calls, unflushed bytes kept and lost: "
                    "%d states, each run again; %lld ms\n",
                    job.name, ref.calls, states, static_cast<long long>(ms.count()));
    }
    ExpectCopiesUnchanged();
}

#ifdef PATCHTOOL_PATH
// Runs the real patchtool on root, killed by SIGKILL just before its killAt-th OS call.
int RunKilled(const Job& job, const fs::path& root, int killAt) {
    std::vector<std::string> args = job.args(root);
    args.insert(args.begin(), PATCHTOOL_PATH);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string setting = std::to_string(killAt);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        setenv("PATCHTOOL_KILL_AT_OS_CALL", setting.c_str(), 1);
        execv(PATCHTOOL_PATH, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(Crash, PatchtoolKilledAtSeededPoints) {
    constexpr int kPoints = 60;
    std::mt19937 rng(9);
    for (const Job& job : {ApplyJob(), BuildJob()}) {
        Reference ref = RunUncut(job);
        // One point in each of kPoints equal stretches of the run; every call of a shorter run.
        const int points = std::min(kPoints, ref.calls);
        auto start = std::chrono::steady_clock::now();
        int states = 0;
        Files previousState;
        for (int k = 0; k < points && !HasFailure(); ++k) {
            int low = 1 + k * ref.calls / points, high = (k + 1) * ref.calls / points;
            int killAt = low + static_cast<int>(rng() % static_cast<unsigned>(high - low + 1));
            SCOPED_TRACE(std::string(job.name) + ", killed before call " + std::to_string(killAt));
            testutil::TempDir dir;
            Plant(dir.Root(), ref.before, job.before);
            int status = RunKilled(job, dir.Root(), killAt);
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
            states += CheckState(job, ref, Tree(dir.Root()), &previousState);
        }
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::printf("[ figures  ] %s: killed at %d of %d OS calls: %d states, each run again; %lld ms\n", job.name,
                    points, ref.calls, states, static_cast<long long>(ms.count()));
    }
    ExpectCopiesUnchanged();
}
#endif

}  // namespace
