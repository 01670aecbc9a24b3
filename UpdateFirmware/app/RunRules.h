// Pure rules of a run, kept apart from the threads so they can be tested as
// tables: the reset gate and its tier release, version texts, the chip name
// and its firmware-version limits (versions as numbers: FirmwareFiles.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "hubaccess/WinTypes.h"

namespace app {

using hubaccess::BYTE;

// Version texts compared without regard to case.
bool SameVersionText(const std::wstring& a, const std::wstring& b);

// The chip name from chip version register 0x5820.
std::wstring ChipNameFromVersionRegister(BYTE value);

enum class LimitVerdict { Allowed, TooNew, TooOld };
// The firmware-version limits of a chip on the file's version.
LimitVerdict CheckFirmwareLimits(const std::wstring& chipName, std::uint64_t fileVersion);

// The two versions whose hubs are updated the legacy way (no read-back,
// longer gate, reset by register).
bool IsLegacyVersion(const std::wstring& hubVersion);

// Reset gate, seen from the coordinator: the tier to keep open after one
// wait pass. `states` and `depths` describe the n workers of the run.
// The tier D is lowered by one when D > 1 and no hub of the table at tier
// D is in a state other than reset sent (5) or finished (8); a tier on
// which no hub sits is thus passed over, one tier per pass.
std::int8_t NextResetTier(std::int8_t currentTier, const BYTE* states, const BYTE* depths, std::size_t n);

// Reset gate, seen from a worker: every worker of the run has at least
// reached the gate (state 4, 5 or 8).
bool AllWorkersReady(const BYTE* states, std::size_t n);
// Every worker has sent its reset or ended (state 5 or 8).
bool AllWorkersReset(const BYTE* states, std::size_t n);

}  // namespace app
