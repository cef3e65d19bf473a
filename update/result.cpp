#include "update/result.h"

#include <iterator>

const char* UpdateResultName(UpdateResult result) {
    // The failure codes run on from UpdateDamaged.
    static const char* const kFailures[] = {"UpdateDamaged",       "UpdateTooManyEntries",      "UpdateReserved",
                                            "UpdateInstallFailed", "UpdateUninstallListFailed", "UpdateCancelled",
                                            "UpdateWindowClosed"};
    static_assert(UpdateDamaged + std::size(kFailures) - 1 == UpdateWindowClosed);
    if (result == UpdateOk) return "UpdateOk";
    const UpdateResult failure = result - UpdateDamaged;
    return failure < std::size(kFailures) ? kFailures[failure] : "unknown";
}
