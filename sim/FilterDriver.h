// A simulated upper-filter driver: one device object per hub interface,
// answering the three filter I/O control codes in both request layouts on
// behalf of the HubChip behind it. Every request is journalled with its
// virtual time, and any request can be made to fail on purpose.
//
// Not thread-safe by itself: it runs under the deterministic scheduler, where
// one participant runs at a time (a request that "never answers" sleeps on
// the virtual clock, letting the others run meanwhile). When the clock is a
// sim::Scheduler, every open, request and close is a scheduling point: under
// a non-zero seed another participant may run first (Scheduler::Preempt).
//
// Requests keep the DeviceIo contract's limit as the Win32 adapter does. A
// request can be made slow (FaultKind::Slow: it completes after `delayMs`,
// however long its block's `dwTimeout`), or hang (FaultKind::Hang) until a
// cancel or closing its handle ends it with ERROR_OPERATION_ABORTED, or hang
// and ignore every cancel (FaultKind::HangIgnoringCancel), as filter drivers
// that lose a request behave on Windows. CancelIoEx on a handle ends every
// request pending on it; a request at its limit cancels only itself, and one
// that ignores that is abandoned with its handle closed. Pending requests
// need the clock to be a sim::Scheduler.
//
// A device object can be made exclusive: while a handle is open on it, a
// second open fails with ERROR_SHARING_VIOLATION (the tool opens with share 0).
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/DeviceIo.h"
#include "platform/Threads.h"
#include "sim/HubChip.h"

namespace sim {

enum class FaultKind {
    GenFailure,       // DeviceIoControl fails at once with ERROR_GEN_FAILURE
    Error,            // DeviceIoControl fails at once with `error`
    Pending,          // pending, then completes normally
    PendingThenFail,  // pending, then GetOverlappedResult fails with `error`
    ShortReply,       // completes, but hands back at most `shortBytes`
    NoAnswer,         // the chip never answers: fails after the block's time-out
    NoEvent,          // no event object could be made; nothing is sent
    DropWrite,        // completes, but the chip ignores the request (a
                      // download chunk is skipped: the next lands where it belongs)
    AlterWrite,       // completes, but the chip takes the written data with one
                      // byte changed (XOR `alterXor`, at `alterAt` of the data)
    AlterReply,       // completes, but one byte of the reply comes back changed
                      // (XOR `alterXor`, at `alterAt` of the reply)
    Hang,             // pending until cancelled (or its handle is closed)
    Slow,             // pending for `delayMs`, then completes normally
    HangIgnoringCancel,  // pending for ever: no cancel ends it
};

// Which requests a fault applies to; every given field must match.
struct FaultMatch {
    std::optional<std::uint64_t> requestNumber;  // 1-based, over all requests
    std::optional<std::uint32_t> ioctl;
    std::optional<std::uint32_t> command;  // dwCommand, or the legacy request kind
    std::optional<std::uint32_t> address;  // dwIndex of the block
    std::optional<std::wstring> device;    // device object name
};

struct Fault {
    FaultMatch match;
    FaultKind kind = FaultKind::GenFailure;
    std::uint32_t error = 0;
    std::uint32_t shortBytes = 0;
    std::uint32_t alterAt = 7;      // byte of the data or reply (modulo its size)
    std::uint8_t alterXor = 0x10;
    std::uint32_t delayMs = 0;  // Slow
    bool ignoresCancel = false;  // Slow: no cancel ends it early
    int skip = 0;    // matching requests to let through first
    int times = 1;   // how many to hit; -1: every one
    int hits = 0;
};

struct JournalEntry {
    std::uint64_t number = 0;
    std::uint64_t timeMs = 0;  // virtual time the request was made
    std::uint64_t endMs = 0;   // virtual time it ended (completed, failed, cancelled or abandoned)
    std::uint32_t thread = 0;  // the scheduler's participant that made it (0: none)
    std::wstring device;
    std::uint32_t ioctl = 0;
    std::vector<std::uint8_t> input;
    std::uint32_t outCapacity = 0;
    bool legacy = false;
    std::uint32_t words[6] = {};  // the block's six words, as sent
    platform::IoctlResult result;
    std::vector<std::uint8_t> output;  // the bytes handed back
    // How a pending request was ended other than by completing.
    enum class Cancel { None, ByHandle, ByItself } cancelled = Cancel::None;
    bool faulted = false;  // a fault of the test hit it

    // New layout: dwCommand, dwValue, dwIndex; legacy: kind, value, index.
    std::uint32_t Command() const { return legacy ? words[1] : words[3]; }
    std::uint32_t Value() const { return legacy ? words[2] : words[4]; }
    std::uint32_t Index() const { return legacy ? words[3] : words[5]; }
    std::uint32_t Timeout() const { return words[0]; }
};

class Scheduler;

class FilterDriver : public platform::DeviceIo {
public:
    explicit FilterDriver(platform::Clock& clock);
    ~FilterDriver() override;

    // Device objects. A detached interface cannot be opened and fails the
    // requests of handles still open on it. The device descriptor is the
    // chip's; `ids`, when given, is what the interface shows in its place for
    // bcdUSB and idProduct (a chip's USB 2.0 and USB 3.0 interfaces differ there).
    struct InterfaceIds {
        std::uint16_t bcdUSB = 0;
        std::uint16_t idProduct = 0;
    };
    void AddInterface(const std::wstring& objectName, std::shared_ptr<HubChip> chip,
                      std::optional<InterfaceIds> ids = std::nullopt);
    void RemoveInterface(const std::wstring& objectName);
    void SetAttached(const std::wstring& objectName, bool attached);
    // A second open of an exclusive object fails while a handle is open on
    // it. Per object name, or for every object without a setting of its own.
    void SetExclusive(const std::wstring& objectName, bool exclusive);
    void SetExclusiveByDefault(bool exclusive) { exclusiveByDefault_ = exclusive; }

    Fault& AddFault(const Fault& fault);
    void ClearFaults();

    const std::vector<JournalEntry>& Journal() const { return journal_; }
    void ClearJournal() { journal_.clear(); }
    int OpenHandleCount() const { return static_cast<int>(handles_.size()); }
    // Requests pending now (hung or slow, abandoned ones not counted), on any
    // handle or on objects of this name.
    int HangingRequestCount() const;
    int HangingRequestCount(const std::wstring& objectName) const;
    // Requests given up at their limit (the driver never completed them).
    int AbandonedRequestCount() const { return abandoned_; }
    // CancelIoEx calls so far.
    int CancelCalls() const { return cancelCalls_; }
    // Every CancelIoEx call takes this long (virtual time) after it has
    // cancelled what was pending, as a driver's slow cancel routine holds
    // its caller.
    void SetCancelCallMs(std::uint32_t ms) { cancelCallMs_ = ms; }
    // CancelIoEx calls that met a closed handle: made on a handle no longer
    // open, or whose handle was closed while the call was still under way
    // (on Windows the value may by then name another object).
    int CancelsOnClosedHandles() const { return cancelsOnClosed_; }
    // Called with each request's number (1-based, as the journal numbers
    // it) before the request is carried out.
    std::function<void(std::uint64_t)> onRequest;

    // platform::DeviceIo
    platform::DeviceOpenResult CreateFile(const std::wstring& path, platform::DeviceOpenMode mode) override;
    platform::IoctlResult DeviceIoControl(platform::Handle device, std::uint32_t code,
                                          const std::uint8_t* in, std::uint32_t inLen,
                                          std::uint8_t* out, std::uint32_t outCapacity) override;
    bool CloseHandle(platform::Handle device) override;
    bool CancelIoEx(platform::Handle device) override;

private:
    struct Interface {
        std::shared_ptr<HubChip> chip;
        bool attached = true;
        std::optional<InterfaceIds> ids;
    };
    struct DownloadSession {
        bool active = false;
        std::uint32_t command = 0, image = 0, total = 0;
        std::vector<std::uint8_t> data;
    };
    struct OpenHandle {
        std::wstring name;
        DownloadSession session;
    };

    Fault* FindFault(const JournalEntry& e);
    // Carries out a request on the chip; fills `reply` and returns the
    // result as the driver would report it.
    platform::IoctlResult Execute(OpenHandle& h, const Interface& itf, HubChip& chip, JournalEntry& e,
                                  std::vector<std::uint8_t>& reply, bool dropWrite, const Fault* alterWrite);
    platform::IoctlResult NoAnswer(std::uint32_t timeoutMs);
    // Keeps a request pending for `delayMs` (kInfinite: until a cancel) or
    // until its limit. Returns true when it is to complete normally; else
    // `r` holds how it ended.
    bool Pend(platform::Handle device, JournalEntry& e, std::uint32_t delayMs, bool ignoresCancel,
              platform::IoctlResult& r);
    void SchedulingPoint();
    bool IsExclusive(const std::wstring& objectName) const;

    struct HangingRequest {
        std::uintptr_t handle = 0;
        std::wstring objectName;
        std::shared_ptr<platform::CancelToken> token;
        bool ignoresCancel = false;
        bool abandoned = false;
    };

    platform::Clock& clock_;
    Scheduler* scheduler_ = nullptr;  // the clock, when it is the scheduler
    std::map<std::wstring, Interface> interfaces_;
    std::map<std::wstring, bool> exclusive_;
    bool exclusiveByDefault_ = false;
    std::list<HangingRequest> hanging_;
    int cancelCalls_ = 0;
    std::uint32_t cancelCallMs_ = 0;
    int cancelsOnClosed_ = 0;
    // CancelIoEx calls under way, per handle.
    std::map<std::uintptr_t, int> cancelling_;
    int abandoned_ = 0;
    // Handles closed by an abandoning request; the caller's own close of
    // one still succeeds (numbers are never handed out twice).
    std::map<std::uintptr_t, bool> closedByAbandon_;
    std::map<std::uintptr_t, OpenHandle> handles_;
    std::uintptr_t nextHandle_ = 0x100;
    std::list<Fault> faults_;
    std::vector<JournalEntry> journal_;
    std::uint64_t requestCount_ = 0;
};

}  // namespace sim
