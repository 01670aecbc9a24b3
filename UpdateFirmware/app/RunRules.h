// Pure rules of a run, kept apart from the threads so they can be tested as
// tables: the reset gate and its tier release, the version numbers the
// workers compare, the chip name and its firmware-version limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "hubaccess/WinTypes.h"

namespace app {

using hubaccess::BYTE;

// A 12-digit hexadecimal version text as the 48-bit number high:low (the
// first 4 digits and the last 8). False when the text is not exactly 12
// hexadecimal digits (either case).
bool ParseVersion48(const std::wstring& text, std::uint64_t* value);

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

// The temporary image as a run may flash it: length word F >= 0x5000,
// F + 4 <= size, and size rounded up to 32 at most 0x10000.
bool IsFlashableImage(const std::uint8_t* data, std::size_t size);

}  // namespace app
