// Fuzz target: the replies of the USB hub driver. The input scripts every
// DeviceIoControl answer (success or failure, the byte count the driver
// reports, the bytes themselves) for the hub queries that read them: root hub
// name, device descriptor with its string descriptors, the name of the hub
// on a port and the port status; and the reply decoders are run on buffers
// of exactly the bytes returned, so a read past them is caught.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzCheck.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/UsbLayouts.h"
#include "sim/CaptureLogSink.h"
#include "sim/Scheduler.h"
#include "sim/SimSystem.h"

namespace {

namespace ul = hubaccess::usblayout;

// Reads the input from the front; past its end every read gives zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t Word32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= std::uint32_t{Byte()} << (8 * i);
        return v;
    }
    // The next `n` bytes (fewer at the end).
    std::vector<std::uint8_t> Bytes(std::size_t n) {
        n = std::min(n, size_ - pos_);
        std::vector<std::uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }
    bool AtEnd() const { return pos_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Every request is answered from the input: a status byte (bit 0 set:
// failure), a length byte and that many reply bytes. The byte count reported
// is the reply's length, or with status bit 1 a count of the input's
// choosing, which may exceed the buffer (a driver that misreports).
class ScriptedDeviceIo : public platform::DeviceIo {
public:
    Input* input = nullptr;
    int opened = 0;

    platform::DeviceOpenResult CreateFile(const std::wstring&, platform::DeviceOpenMode) override {
        platform::DeviceOpenResult r;
        r.handle = platform::Handle{0x4000 + static_cast<std::uintptr_t>(++opened)};
        return r;
    }
    platform::IoctlResult DeviceIoControl(platform::Handle, std::uint32_t, const std::uint8_t*, std::uint32_t,
                                          std::uint8_t* out, std::uint32_t outCapacity) override {
        platform::IoctlResult r;
        const std::uint8_t status = input->Byte();
        if (status & 1) {
            r.status = platform::IoctlStatus::Failed;
            r.error = 31;
            return r;
        }
        std::size_t length = input->Byte();
        if (status & 4) length = length * 16 + 2;  // long names and descriptors
        const std::vector<std::uint8_t> reply = input->Bytes(length);
        const std::size_t copied = std::min<std::size_t>(reply.size(), outCapacity);
        if (out && copied) std::memcpy(out, reply.data(), copied);
        r.status = platform::IoctlStatus::Completed;
        r.bytesReturned = (status & 2) ? input->Word32() : static_cast<std::uint32_t>(copied);
        return r;
    }
    bool CloseHandle(platform::Handle) override { return true; }
    bool CancelIoEx(platform::Handle) override { return false; }
};

class SameCodePage : public platform::CodePage {
public:
    std::wstring AnsiRoundTrip(const std::wstring& text) override { return text; }
    std::wstring ThreadAnsiToWide(const std::string& text) override { return std::wstring(text.begin(), text.end()); }
};

sim::Scheduler::Options Untraced() {
    sim::Scheduler::Options options;
    options.traceLimit = 0;  // nothing reads it; it would only grow
    return options;
}

struct Bench {
    Bench() {
        ports.deviceIo = &io;
        ports.clock = &sched;
        ports.threads = &sched;
        ports.logSink = &sink;
        ports.files = &files;
        ports.registry = &registry;
        ports.processes = &processes;
        ports.osInfo = &osInfo;
        ports.ui = &ui;
        ports.codePage = &codePage;
        vDEBUG_Initial_printf(sched, sink);
        g_nMessageLevel = 0;
        utility = std::make_unique<hubaccess::CHubUtility>(ports);
    }

    sim::Scheduler sched{Untraced()};
    sim::CaptureLogSink sink;
    ScriptedDeviceIo io;
    SameCodePage codePage;
    sim::SimFiles files;
    sim::SimRegistry registry;
    sim::SimProcesses processes;
    sim::SimOsInfo osInfo{&sched, &files};
    sim::SimUi ui;
    platform::Ports ports;
    std::unique_ptr<hubaccess::CHubUtility> utility;
};

Bench& TheBench() {
    static Bench* bench = new Bench;
    return *bench;
}

// The decoders on a heap copy of exactly `reply`.
void DecodeExactly(const std::vector<std::uint8_t>& reply, std::uint32_t claimed) {
    const std::size_t n = reply.size();
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[n ? n : 1]);
    if (n) std::memcpy(exact.get(), reply.data(), n);
    const std::uint8_t* p = exact.get();

    hubaccess::BYTE ports = 0;
    ul::DecodeNodeInfoPorts(p, n, &ports);
    ul::ConnectionInfo info;
    if (ul::DecodeConnectionInfo(p, n, true, &info)) {
        const auto d = ul::DecodeDeviceDescriptor(info.deviceDescriptor.data());
        (void)d;
    }
    ul::DecodeConnectionInfo(p, n, false, &info);
    const std::wstring root = ul::DecodeRootHubName(p, n);
    FUZZ_CHECK(root.size() <= n / 2);
    ul::DecodeRootHubNameLength(p, n);
    const std::wstring conn = ul::DecodeConnectionName(p, n);
    FUZZ_CHECK(conn.size() <= n / 2);
    ul::DecodeConnectionNameLength(p, n);
    if (n >= ul::kDeviceDescriptorSize) ul::DecodeDeviceDescriptor(p);

    // A descriptor block reply whose byte count may be anything.
    ul::DescriptorRequestBlock block{};
    std::memcpy(block.data(), p, std::min(n, block.size()));
    hubaccess::WORD lang = 0;
    ul::DecodeFirstLanguageId(block, claimed, &lang);
    const std::wstring text = ul::DecodeStringDescriptor(block, claimed);
    FUZZ_CHECK(text.size() <= ul::kDescReqDataSize / 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0x4000) return 0;
    Bench& b = TheBench();
    Input input(data, size);
    b.io.input = &input;
    hubaccess::CHubUtility& u = *b.utility;

    const std::uint8_t plan = input.Byte();
    const std::uint32_t claimed = input.Word32();
    DecodeExactly(input.Bytes(input.Byte()), claimed);

    const platform::Handle hub = platform::Handle{0x3000};
    if (plan & 1) u.GetRootHubName(hub);
    if (plan & 2) {
        std::vector<std::uint8_t> descriptor = input.Bytes(ul::kDeviceDescriptorSize);
        descriptor.resize(ul::kDeviceDescriptorSize, 0);
        // Ask for every string the tool reads.
        descriptor[ul::kDevDescIManufacturer] = 2;
        descriptor[ul::kDevDescIProduct] = 3;
        descriptor[ul::kDevDescISerialNumber] = 1;
        u.GetDeviceDescriptor(hub, input.Byte(), descriptor.data());
        FUZZ_CHECK(u.strVID.size() == 4 && u.strPID.size() == 4);
    }
    if (plan & 4) u.strGetExternalHubName(hub, input.Byte());
    if (plan & 8) {
        const int status = u.GetPortStatus(L"HUB", input.Byte());
        FUZZ_CHECK(status >= 0 && status <= 15);
    }
    while (!input.AtEnd() && (plan & 16)) {
        hubaccess::USHORT lang = 0;
        const std::wstring text = u.GetStringDescriptor(hub, 1, &lang, input.Byte());
        FUZZ_CHECK(text.size() <= ul::kDescReqDataSize / 2);
    }
    b.io.input = nullptr;
    b.sink.Clear();
    return 0;
}
