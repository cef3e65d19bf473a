// The count-then-fail loop: a run is made once as it is, which counts its OS calls, then once per call
// with that call failed, and each outcome is checked.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit/fault_os.h"

// run() sets up whatever it needs (through the tests' own file helpers, not the OS seam, so only the
// code under test is counted) and returns its outcome. good(outcome) checks the clean run and may
// read fault's counts and recorded kinds; a fatal failure in it ends the loop. check(n, outcome) checks
// the run with call n failed, with fault still armed (FailedKind, Failed, KindOfCall); it calls
// fault.Reset() before running anything that must not fail. Returns the clean run's number of calls.
template <class Run, class Good, class Check>
int ForEachFailedCall(FaultOs& fault, Run&& run, Good&& good, Check&& check) {
    fault.Record(true);
    fault.Reset();
    good(run());
    const int calls = fault.Total();
    if (testing::Test::HasFatalFailure()) return calls;
    for (int n = 1; n <= calls; ++n) {
        fault.Reset();
        fault.FailCallNumber(n);
        auto outcome = run();
        SCOPED_TRACE("failing OS call " + std::to_string(n) + " (" + OsCallName(fault.KindOfCall(n)) + ")");
        check(n, outcome);
    }
    return calls;
}

// One failed OS call of a kind: the first call of it, refused, or with shortTransfer cut to half of
// what was asked (for Read and Write).
struct FailedCall {
    OsCall call;
    bool shortTransfer = false;
};

// Rewriting a file through a temporary one: each step that can fail.
inline const std::vector<FailedCall> kRewriteFailures = {
    {OsCall::CreateNew}, {OsCall::Write}, {OsCall::Write, true}, {OsCall::Flush}, {OsCall::ReplaceByRename}};

// The "fail each kind once" loop: for every entry, run(fault) with that call failed, which must
// reach it exactly once.
template <class Run>
void ForEachFailedKind(const std::vector<FailedCall>& calls, Run&& run) {
    for (const FailedCall& c : calls) {
        SCOPED_TRACE(std::string("failed ") + OsCallName(c.call) + (c.shortTransfer ? " (short)" : ""));
        FaultOs fault;
        fault.SetShortTransfers(c.shortTransfer);
        fault.FailNth(c.call, 1);
        run(fault);
        EXPECT_EQ(fault.Failed(), 1);
    }
}
