// Pure rules of a run, kept apart from the threads so they can be tested as
// tables: the reset gate and its tier release, version texts, the chip name
// and its firmware-version limits (versions as numbers: FirmwareFiles.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "hubaccess/WinTypes.h"
#include "platform/DeviceIo.h"

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

// A table's erase and download, once started, is never cut: a download that
// fails after its erase is erased and written again, this many tries in all.
constexpr int kTableTries = 2;
// The longest a table's step (erase and download, every try) may take once
// started, from the bounds of what it does. A request ends within its limit
// and the wait for its cancel (10,000 + 2,000 = 12,000 ms). The erase status
// is polled for 3,000 ms, 100 ms apart; the last read starts at most 100 ms
// after the budget and may run to the request bound, then 100 ms settle:
// 3,000 + 100 + 12,000 + 100 = 15,200 ms per poll. One try: two erase
// requests, two polls, eight 32-byte table chunks and the 500 ms settle:
// 2 x 12,000 + 2 x 15,200 + 8 x 12,000 + 500 = 150,900 ms. Two tries:
// 301,800 ms.
constexpr std::uint32_t kRequestBoundMs = platform::kFilterRequestLimitMs + platform::kCancelCompletionWaitMs;
constexpr std::uint32_t kErasePollWorstMs = 3000 + 100 + kRequestBoundMs + 100;
constexpr std::uint32_t kTableTryWorstMs = 2 * kRequestBoundMs + 2 * kErasePollWorstMs + 8 * kRequestBoundMs + 500;
constexpr std::uint32_t kTableStepWorstMs = kTableTries * kTableTryWorstMs;
static_assert(kTableStepWorstMs == 301'800, "the sum written above");

}  // namespace app
