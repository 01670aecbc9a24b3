#include "sim/FilterDriver.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "platform/Win32Errors.h"
#include "sim/FilterWire.h"
#include "sim/Scheduler.h"

namespace sim {

using platform::IoctlResult;
using platform::IoctlStatus;
namespace fw = filterwire;

namespace {

void PutWord16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v & 0xFF);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

IoctlResult Done(std::uint32_t bytes) { return {IoctlStatus::Completed, 0, bytes}; }
IoctlResult Fail(std::uint32_t error) { return {IoctlStatus::Failed, error, 0}; }

}  // namespace

FilterDriver::FilterDriver(platform::Clock& clock) : clock_(clock), scheduler_(dynamic_cast<Scheduler*>(&clock)) {}

FilterDriver::~FilterDriver() = default;

void FilterDriver::SchedulingPoint() {
    if (scheduler_) scheduler_->Preempt();
}

void FilterDriver::SetExclusive(const std::wstring& objectName, bool exclusive) { exclusive_[objectName] = exclusive; }

bool FilterDriver::IsExclusive(const std::wstring& objectName) const {
    auto it = exclusive_.find(objectName);
    return it != exclusive_.end() ? it->second : exclusiveByDefault_;
}

int FilterDriver::HangingRequestCount() const {
    int n = 0;
    for (const HangingRequest& r : hanging_) n += r.abandoned ? 0 : 1;
    return n;
}

int FilterDriver::HangingRequestCount(const std::wstring& objectName) const {
    int n = 0;
    for (const HangingRequest& r : hanging_) n += !r.abandoned && r.objectName == objectName ? 1 : 0;
    return n;
}

void FilterDriver::AddInterface(const std::wstring& objectName, std::shared_ptr<HubChip> chip,
                                std::optional<InterfaceIds> ids) {
    interfaces_[objectName] = Interface{std::move(chip), true, ids};
}

void FilterDriver::RemoveInterface(const std::wstring& objectName) { interfaces_.erase(objectName); }

void FilterDriver::SetAttached(const std::wstring& objectName, bool attached) {
    auto it = interfaces_.find(objectName);
    if (it != interfaces_.end()) it->second.attached = attached;
}

Fault& FilterDriver::AddFault(const Fault& fault) {
    faults_.push_back(fault);
    return faults_.back();
}

void FilterDriver::ClearFaults() { faults_.clear(); }

platform::DeviceOpenResult FilterDriver::CreateFile(const std::wstring& path, platform::DeviceOpenMode) {
    SchedulingPoint();
    auto it = interfaces_.find(path);
    if (it == interfaces_.end() || !it->second.attached) {
        return {platform::Handle::Invalid(), platform::kErrorFileNotFound};
    }
    if (IsExclusive(path)) {
        for (const auto& [raw, open] : handles_)
            if (open.name == path) return {platform::Handle::Invalid(), platform::kErrorSharingViolation};
    }
    const std::uintptr_t raw = nextHandle_;
    nextHandle_ += 4;
    handles_[raw] = OpenHandle{path, {}};
    return {platform::Handle{raw}, 0};
}

bool FilterDriver::CloseHandle(platform::Handle device) {
    SchedulingPoint();
    const auto cancelling = cancelling_.find(device.raw);
    if (cancelling != cancelling_.end() && cancelling->second > 0) cancelsOnClosed_ += cancelling->second;
    if (closedByAbandon_.erase(device.raw) == 1) return true;
    // Closing a handle ends the requests still pending on it.
    for (HangingRequest& r : hanging_)
        if (r.handle == device.raw && !r.ignoresCancel) r.token->Cancel();
    return handles_.erase(device.raw) == 1;
}

bool FilterDriver::CancelIoEx(platform::Handle device) {
    ++cancelCalls_;
    // A handle the driver gave up with an abandoned request is still the
    // caller's until it closes it: no other object can have its number.
    if (handles_.count(device.raw) == 0 && closedByAbandon_.count(device.raw) == 0) ++cancelsOnClosed_;
    bool found = false;
    for (HangingRequest& r : hanging_) {
        if (r.handle != device.raw || r.abandoned || r.token->IsCancelled()) continue;
        found = true;
        if (!r.ignoresCancel) r.token->Cancel();
    }
    if (cancelCallMs_ > 0) {
        ++cancelling_[device.raw];
        clock_.Sleep(cancelCallMs_);
        if (--cancelling_[device.raw] == 0) cancelling_.erase(device.raw);
    }
    return found;
}

bool FilterDriver::Pend(platform::Handle device, JournalEntry& e, std::uint32_t delayMs, bool ignoresCancel,
                        IoctlResult& r) {
    if (!scheduler_) throw std::logic_error("FilterDriver: a pending request needs the scheduler's clock");
    hanging_.push_back(HangingRequest{device.raw, e.device, scheduler_->CreateCancelToken(), ignoresCancel, false});
    const auto me = std::prev(hanging_.end());
    const std::shared_ptr<platform::CancelToken> token = me->token;
    struct Forget {
        std::list<HangingRequest>& list;
        std::list<HangingRequest>::iterator it;
        bool keep = false;
        ~Forget() {
            if (!keep) list.erase(it);
        }
    } forget{hanging_, me};

    const std::uint32_t limit = platform::kFilterRequestLimitMs;
    if (delayMs < limit) {
        if (!scheduler_->SleepCancellable(delayMs, *token)) return true;  // completed in time
    } else if (!scheduler_->SleepCancellable(limit, *token)) {
        // Its limit: the request cancels itself only.
        if (!ignoresCancel) {
            token->Cancel();
            e.cancelled = JournalEntry::Cancel::ByItself;
            r = {platform::IoctlStatus::TimedOut, platform::kErrorTimeout, 0};
            return false;
        }
        // The driver never completes it: given up after the wait for the
        // cancel, its handle closed.
        clock_.Sleep(platform::kCancelCompletionWaitMs);
        e.cancelled = JournalEntry::Cancel::ByItself;
        me->abandoned = true;
        forget.keep = true;
        ++abandoned_;
        if (handles_.erase(device.raw) == 1) closedByAbandon_[device.raw] = true;
        r = {platform::IoctlStatus::TimedOut, platform::kErrorTimeout, 0, true};
        return false;
    }
    e.cancelled = JournalEntry::Cancel::ByHandle;
    r = {IoctlStatus::PendingThenFailed, platform::kErrorOperationAborted, 0};
    return false;
}

Fault* FilterDriver::FindFault(const JournalEntry& e) {
    for (Fault& f : faults_) {
        const FaultMatch& m = f.match;
        if (m.requestNumber && *m.requestNumber != e.number) continue;
        if (m.ioctl && *m.ioctl != e.ioctl) continue;
        if (m.command && *m.command != e.Command()) continue;
        if (m.address && *m.address != e.Index()) continue;
        if (m.device && *m.device != e.device) continue;
        if (f.times >= 0 && f.hits >= f.times) continue;
        if (f.skip > 0) {
            --f.skip;
            continue;
        }
        ++f.hits;
        return &f;
    }
    return nullptr;
}

IoctlResult FilterDriver::NoAnswer(std::uint32_t timeoutMs) {
    clock_.Sleep(timeoutMs);
    return {IoctlStatus::PendingThenFailed, platform::kErrorSemTimeout, 0};
}

IoctlResult FilterDriver::DeviceIoControl(platform::Handle device, std::uint32_t code,
                                          const std::uint8_t* in, std::uint32_t inLen,
                                          std::uint8_t* out, std::uint32_t outCapacity) {
    SchedulingPoint();
    JournalEntry e;
    e.number = ++requestCount_;
    if (onRequest) onRequest(e.number);
    e.timeMs = clock_.MonotonicMs();
    e.thread = scheduler_ ? scheduler_->CurrentThreadId() : 0;
    e.ioctl = code;
    e.outCapacity = outCapacity;
    if (in && inLen) e.input.assign(in, in + inLen);
    e.legacy = code == fw::kIoctlLegacy;
    if (in && inLen >= fw::kBlockSize) {
        for (int i = 0; i < 6; ++i) e.words[i] = fw::Word(in, i);
    }

    auto h = handles_.find(device.raw);
    if (h != handles_.end()) e.device = h->second.name;

    IoctlResult r;
    std::vector<std::uint8_t> reply;
    Fault* fault = FindFault(e);
    const FaultKind kind = fault ? fault->kind : FaultKind::Pending;
    const bool faulted = fault != nullptr;

    if (faulted && kind == FaultKind::NoEvent) {
        r = {IoctlStatus::NoEvent, platform::kErrorNotEnoughMemory, 0};
    } else if (h == handles_.end()) {
        r = Fail(platform::kErrorInvalidHandle);
    } else if (faulted && kind == FaultKind::GenFailure) {
        r = Fail(platform::kErrorGenFailure);
    } else if (faulted && kind == FaultKind::Error) {
        r = Fail(fault->error);
    } else if (faulted && kind == FaultKind::PendingThenFail) {
        r = {IoctlStatus::PendingThenFailed, fault->error, 0};
    } else if (faulted && kind == FaultKind::NoAnswer) {
        r = NoAnswer(e.words[0]);
    } else if (faulted && (kind == FaultKind::Hang || kind == FaultKind::HangIgnoringCancel) &&
               !Pend(device, e, platform::kInfinite, kind == FaultKind::HangIgnoringCancel, r)) {
        // ended without completing
    } else if (faulted && kind == FaultKind::Slow && !Pend(device, e, fault->delayMs, fault->ignoresCancel, r)) {
        // cancelled, or past its limit
    } else {
        h = handles_.find(device.raw);  // the wait may have let a close in
        if (h == handles_.end()) {
            r = Fail(platform::kErrorInvalidHandle);
            e.faulted = faulted;
            e.result = r;
            e.endMs = clock_.MonotonicMs();
            journal_.push_back(std::move(e));
            return r;
        }
        auto itf = interfaces_.find(h->second.name);
        if (itf == interfaces_.end() || !itf->second.attached) {
            r = Fail(platform::kErrorDeviceNotConnected);
        } else {
            // Keep the chip alive even if a reset removes the interface.
            std::shared_ptr<HubChip> chip = itf->second.chip;
            r = Execute(h->second, itf->second, *chip, e, reply, faulted && kind == FaultKind::DropWrite,
                        faulted && kind == FaultKind::AlterWrite ? fault : nullptr);
        }
        if (r.Succeeded()) {
            if (faulted && kind == FaultKind::AlterReply && !reply.empty())
                reply[fault->alterAt % reply.size()] ^= fault->alterXor;
            std::uint32_t n = std::min<std::uint32_t>(static_cast<std::uint32_t>(reply.size()), outCapacity);
            if (faulted && kind == FaultKind::ShortReply) n = std::min(n, fault->shortBytes);
            if (n && out) std::memcpy(out, reply.data(), n);
            r.bytesReturned = n;
            e.output.assign(reply.begin(), reply.begin() + n);
            if (faulted && (kind == FaultKind::Pending || kind == FaultKind::Slow))
                r.status = IoctlStatus::CompletedAfterPending;
        }
    }
    e.faulted = faulted;
    e.result = r;
    e.endMs = clock_.MonotonicMs();
    journal_.push_back(std::move(e));
    return r;
}

IoctlResult FilterDriver::Execute(OpenHandle& h, const Interface& itf, HubChip& chip, JournalEntry& e,
                                  std::vector<std::uint8_t>& reply, bool dropWrite, const Fault* alterWrite) {
    if (e.input.size() < fw::kBlockSize) return Fail(platform::kErrorInvalidParameter);
    // The data the chip takes, one byte changed when the fault says so.
    std::vector<std::uint8_t> taken(e.input.begin() + fw::kBlockSize, e.input.end());
    if (alterWrite && !taken.empty()) taken[alterWrite->alterAt % taken.size()] ^= alterWrite->alterXor;
    const std::uint32_t inLen = static_cast<std::uint32_t>(e.input.size());

    const std::uint8_t* block = e.input.data();
    if (e.ioctl == fw::kIoctlLegacy) {
        const std::uint32_t kind = fw::Word(block, fw::kLegacyWordKind);
        const std::uint32_t value = fw::Word(block, fw::kLegacyWordValue);
        const std::uint32_t index = fw::Word(block, fw::kLegacyWordIndex);
        switch (kind) {
            case fw::kLegacyDeviceDescriptor:
                reply.assign(chip.deviceDescriptor.begin(), chip.deviceDescriptor.end());
                if (itf.ids) {
                    PutWord16(&reply[2], itf.ids->bcdUSB);
                    PutWord16(&reply[10], itf.ids->idProduct);
                }
                return Done(0);
            case fw::kLegacyStringDescriptor:
                if (value > 0xFF) return Fail(platform::kErrorInvalidParameter);
                reply = chip.StringDescriptor(static_cast<std::uint8_t>(value));
                if (reply.empty()) return Fail(platform::kErrorGenFailure);  // the device stalls
                return Done(0);
            case fw::kLegacyRegisterRead:
                reply = chip.ReadRegs(index, e.outCapacity);
                return Done(0);
            case fw::kLegacyRegisterWrite:
                if (!dropWrite) chip.OnRegisterWrite(index, static_cast<std::uint8_t>(value));
                return Done(0);
            default:
                return Fail(platform::kErrorInvalidParameter);
        }
    }

    if (e.ioctl != fw::kIoctlWrite && e.ioctl != fw::kIoctlRead) {
        return Fail(platform::kErrorInvalidFunction);
    }
    if (!chip.supportsNewLayout) return Fail(platform::kErrorInvalidFunction);
    struct {
        std::uint32_t dwTimeout, dwCommand, dwValue, dwIndex;
    } const req{fw::Word(block, fw::kWordTimeout), fw::Word(block, fw::kWordCommand), fw::Word(block, fw::kWordValue),
                fw::Word(block, fw::kWordIndex)};
    if (fw::Word(block, fw::kWordRequestType) != fw::kVendorRequestType) return Fail(platform::kErrorInvalidParameter);
    const bool isWrite = e.ioctl == fw::kIoctlWrite;

    switch (req.dwCommand) {
        case fw::kCmdRegisterRead:
            if (isWrite || e.outCapacity == 0) return Fail(platform::kErrorInvalidParameter);
            reply = chip.ReadRegs(req.dwIndex, e.outCapacity);
            return Done(0);
        case fw::kCmdRegisterWrite: {
            if (!isWrite || inLen <= fw::kBlockSize) return Fail(platform::kErrorInvalidParameter);
            const bool resets = req.dwIndex == HubChip::kCpuReset && (req.dwValue & 0xFF) == 1;
            if (!dropWrite) chip.OnRegisterWrite(req.dwIndex, static_cast<std::uint8_t>(req.dwValue));
            // The chip restarts before it can answer.
            if (resets && !dropWrite) return NoAnswer(req.dwTimeout);
            return Done(0);
        }
        case fw::kCmdWrite16:
            if (!isWrite || req.dwIndex != HubChip::kWrite16) return Fail(platform::kErrorInvalidParameter);
            if (!dropWrite) {
                chip.write16Value = static_cast<std::uint16_t>(req.dwValue);
                ++chip.write16Count;
            }
            return Done(0);
        case fw::kCmdFirmwareDownload:
        case fw::kCmdConfigDownload:
        case fw::kCmdFirmwareDownloadAlt:
        case fw::kCmdConfigDownloadAlt: {
            if (!isWrite || inLen != fw::kChunkSize || req.dwIndex == 0) {
                return Fail(platform::kErrorInvalidParameter);
            }
            DownloadSession& s = h.session;
            if (s.active && (s.command != req.dwCommand || s.image != req.dwValue || s.total != req.dwIndex)) {
                s = DownloadSession{};
                return Fail(platform::kErrorInvalidParameter);
            }
            if (!s.active) s = DownloadSession{true, req.dwCommand, req.dwValue, req.dwIndex, {}};
            const std::uint8_t* chunk = taken.data();
            if (!dropWrite && !chip.OnDownloadChunk(s.command, s.image, s.total,
                                                    static_cast<std::uint32_t>(s.data.size()), chunk,
                                                    static_cast<std::uint32_t>(fw::kChunkData))) {
                s = DownloadSession{};
                return Fail(platform::kErrorGenFailure);
            }
            // A dropped chunk leaves its bytes as they were; the next chunk
            // still lands at its own place.
            s.data.insert(s.data.end(), chunk, chunk + fw::kChunkData);
            if (s.data.size() >= s.total) {
                HubChip::Download d{s.command, s.image, std::vector<std::uint8_t>(s.data.begin(), s.data.begin() + s.total)};
                s = DownloadSession{};
                chip.OnDownloadComplete(d);
            }
            return Done(0);
        }
        case fw::kCmdCpuReset:
            if (!isWrite) return Fail(platform::kErrorInvalidParameter);
            if (!chip.answersCpuResetCommand) return Fail(platform::kErrorGenFailure);
            if (!dropWrite) chip.OnCpuReset();
            return Done(0);
        case fw::kCmdRomRead:
            if (isWrite || e.outCapacity < fw::kRomReadBytes) return Fail(platform::kErrorInvalidParameter);
            reply.assign(fw::kRomReadBytes, 0);
            if (!chip.OnRomRead(req.dwValue, req.dwIndex, reply.data())) return Fail(platform::kErrorGenFailure);
            return Done(0);
        case fw::kCmdSpiErase:
            if (!isWrite) return Fail(platform::kErrorInvalidParameter);
            if (!dropWrite) chip.OnSpiBlockErase(req.dwValue >> 8, req.dwValue & 0xFF);
            return Done(0);
        default:
            return Fail(platform::kErrorInvalidParameter);
    }
}

}  // namespace sim
