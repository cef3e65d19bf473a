#include "update/result.h"

const char* UpdateResultName(UpdateResult result) {
    switch (result) {
    case UpdateOk: return "UpdateOk";
    case UpdateDamaged: return "UpdateDamaged";
    case UpdateTooManyEntries: return "UpdateTooManyEntries";
    case UpdateReserved: return "UpdateReserved";
    case UpdateInstallFailed: return "UpdateInstallFailed";
    case UpdateUninstallListFailed: return "UpdateUninstallListFailed";
    case UpdateCancelled: return "UpdateCancelled";
    case UpdateWindowClosed: return "UpdateWindowClosed";
    }
    return "unknown";
}
