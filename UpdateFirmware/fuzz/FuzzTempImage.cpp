// Fuzz target: the temporary firmware image, both ways. The first input byte
// chooses the options; the rest is a file's contents.
//   - as a source image (plain or "Config_"), turned into Temp\TempBinData.bin:
//     either refused, leaving no file, or written in the exact format;
//   - as Temp\TempBinData.bin itself, read and downloaded through a filter
//     channel that takes every request: never a handle left open, never a
//     download of a frame the file does not hold.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <numeric>
#include <vector>

#include "FuzzCheck.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/VntlHubDev.h"
#include "sim/CaptureLogSink.h"
#include "sim/Scheduler.h"
#include "sim/SimSystem.h"

namespace {

const std::wstring kObject = L"\\\\.\\USBPDO_70001";
const std::wstring kSource = L"C:\\Tool\\SOURCE.BIN";
const std::wstring kTemp = L"C:\\Tool\\Temp\\TempBinData.bin";

// A filter device that takes every request and counts the download's bytes.
class AcceptingDevice : public platform::DeviceIo {
public:
    int open = 0;
    std::uint64_t written = 0;

    platform::DeviceOpenResult CreateFile(const std::wstring&, platform::DeviceOpenMode) override {
        ++open;
        platform::DeviceOpenResult r;
        r.handle = platform::Handle{0x5000};
        return r;
    }
    platform::IoctlResult DeviceIoControl(platform::Handle, std::uint32_t, const std::uint8_t*, std::uint32_t inLen,
                                          std::uint8_t*, std::uint32_t) override {
        written += inLen;
        platform::IoctlResult r;
        r.status = platform::IoctlStatus::Completed;
        return r;
    }
    bool CloseHandle(platform::Handle) override {
        --open;
        return true;
    }
    bool CancelIoEx(platform::Handle) override { return false; }
};

sim::Scheduler::Options Untraced() {
    sim::Scheduler::Options options;
    options.traceLimit = 0;  // nothing reads it; it would only grow
    return options;
}

struct Bench {
    Bench() {
        files.MakeDirectory(L"C:\\Tool\\Temp");
        ports.deviceIo = &driver;
        ports.clock = &sched;
        ports.threads = &sched;
        ports.logSink = &sink;
        ports.files = &files;
        ports.registry = &registry;
        ports.processes = &processes;
        ports.osInfo = &osInfo;
        ports.ui = &ui;
        vDEBUG_Initial_printf(sched, sink);
        g_nMessageLevel = 0;
        utility = std::make_unique<hubaccess::CHubUtility>(ports);
        utility->m_szModuleDirectory = L"C:\\Tool";
        dev = std::make_unique<hubaccess::CVntlHubDev>(*utility);
        dev->m_pDevList = &list;
        list.nCount = 1;
        list.rows[0].m_strObjectName = kObject;
    }

    sim::Scheduler sched{Untraced()};
    sim::CaptureLogSink sink;
    AcceptingDevice driver;
    sim::SimFiles files;
    sim::SimRegistry registry;
    sim::SimProcesses processes;
    sim::SimOsInfo osInfo{&sched, &files};
    sim::SimUi ui;
    platform::Ports ports;
    std::unique_ptr<hubaccess::CHubUtility> utility;
    std::unique_ptr<hubaccess::CVntlHubDev> dev;
    hubaccess::DEV_LIST list;
};

Bench& TheBench() {
    static Bench* bench = new Bench;
    return *bench;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 0x11000) return 0;
    Bench& b = TheBench();
    const std::uint8_t options = data[0];
    const std::vector<std::uint8_t> contents(data + 1, data + size);

    if ((options & 0x80) == 0) {
        // Source image -> temporary image.
        const bool strip = options & 1, crc = options & 2;
        b.files.PutFile(kSource, contents);
        b.files.DeleteFile(kTemp);
        const auto ok = b.utility->vCreateTempBinDataFile(kSource, strip, crc, 1);
        const auto written = b.files.GetFile(kTemp);
        // What is held is what was written and read back.
        std::vector<std::uint8_t> held;
        b.files.CloseHandle(b.utility->TakeTempImage(&held));
        b.utility->vReleaseTempFolder();
        if (!ok) {
            // A refused source leaves no image.
            FUZZ_CHECK(!written);
            FUZZ_CHECK(held.empty());
        } else {
            FUZZ_CHECK(written.has_value() && held == *written);
            if (strip) {
                FUZZ_CHECK(contents.size() >= 256);
                FUZZ_CHECK(std::equal(written->begin(), written->end(), contents.begin() + 256, contents.end()));
            } else {
                const std::size_t n = contents.size();
                FUZZ_CHECK(n <= 0xFFFC);
                FUZZ_CHECK(written->size() == n + 4 + (crc ? 4 : 0));
                FUZZ_CHECK((*written)[0] == (n & 0xFF) && (*written)[1] == (n >> 8));
                FUZZ_CHECK(std::equal(contents.begin(), contents.end(), written->begin() + 2));
                const std::uint8_t sum = static_cast<std::uint8_t>(std::accumulate(contents.begin(), contents.end(), 0u));
                FUZZ_CHECK((*written)[n + 3] == sum);
            }
        }
    } else {
        // Temporary image -> chip.
        b.files.PutFile(kTemp, contents);
        b.driver.written = 0;
        const int rc = b.dev->VTL262xFirmwareWrite(0, kTemp, options & 1, 1);
        if (rc == 0) {
            FUZZ_CHECK(b.driver.written > contents.size());
            FUZZ_CHECK(contents.size() >= 4);
            const std::size_t imageLen = contents[0] | (contents[1] << 8);
            FUZZ_CHECK(contents.size() >= imageLen + 4);
        }
    }
    FUZZ_CHECK(b.files.OpenHandleCount() == 0);
    FUZZ_CHECK(b.driver.open == 0);
    b.sink.Clear();
    return 0;
}
