// The result of an update run, also the patcher's exit code once an update ran.
#pragma once

#include <cstdint>

using UpdateResult = std::uint32_t;

inline constexpr UpdateResult UpdateOk = 0;
inline constexpr UpdateResult UpdateDamaged = 0x80000001u;
inline constexpr UpdateResult UpdateTooManyEntries = 0x80000002u;
inline constexpr UpdateResult UpdateReserved = 0x80000003u;  // part of the code set, never produced
inline constexpr UpdateResult UpdateInstallFailed = 0x80000004u;
inline constexpr UpdateResult UpdateUninstallListFailed = 0x80000005u;
inline constexpr UpdateResult UpdateCancelled = 0x80000006u;
inline constexpr UpdateResult UpdateWindowClosed = 0x80000007u;

// "UpdateOk", "UpdateDamaged", ...; "unknown" for anything else.
const char* UpdateResultName(UpdateResult result);
