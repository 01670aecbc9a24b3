// The chip operations against the simulated filter driver, chip and SPI
// flash: what each operation sends, what lands in the flash, and how the
// operations fail without half-written results or leaked handles.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/VntlHubDev.h"
#include "sim/CaptureLogSink.h"
#include "sim/FilterDriver.h"
#include "sim/HubChip.h"
#include "sim/Scheduler.h"
#include "sim/SimSystem.h"

namespace ha = hubaccess;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::wstring kObject = L"\\\\.\\USBPDO_70001";
const std::wstring kImageFile = L"C:\\Tool\\Temp\\TempBinData.bin";

// Counts opens, so a test can tell that an operation opened nothing.
class CountingDeviceIo : public platform::DeviceIo {
public:
    explicit CountingDeviceIo(platform::DeviceIo& inner) : inner_(inner) {}
    platform::DeviceOpenResult CreateFile(const std::wstring& p, platform::DeviceOpenMode m) override {
        ++opens;
        return inner_.CreateFile(p, m);
    }
    platform::IoctlResult DeviceIoControl(platform::Handle d, std::uint32_t c, const std::uint8_t* in,
                                          std::uint32_t inLen, std::uint8_t* out,
                                          std::uint32_t cap) override {
        return inner_.DeviceIoControl(d, c, in, inLen, out, cap);
    }
    bool CloseHandle(platform::Handle d) override { return inner_.CloseHandle(d); }
    bool CancelIoEx(platform::Handle d) override { return inner_.CancelIoEx(d); }
    int opens = 0;

private:
    platform::DeviceIo& inner_;
};

// The scheduler's clock with a calendar that jumps at every sleep.
class JumpingCalendar : public platform::Clock {
public:
    JumpingCalendar(sim::Scheduler& s, std::int64_t step) : s_(s), step_(step) {}
    std::uint64_t MonotonicMs() override { return s_.MonotonicMs(); }
    std::int64_t CalendarSeconds() override { return s_.CalendarSeconds(); }
    std::int64_t PerformanceCounter() override { return s_.PerformanceCounter(); }
    std::int64_t PerformanceFrequency() override { return s_.PerformanceFrequency(); }
    void Sleep(std::uint32_t ms) override {
        s_.Sleep(ms);
        s_.AdjustCalendarSeconds(step_);
    }
    bool SleepCancellable(std::uint32_t ms, platform::CancelToken& t) override {
        return s_.SleepCancellable(ms, t);
    }

private:
    sim::Scheduler& s_;
    std::int64_t step_;
};

// A firmware file in its frame: length word, image, type byte, sum.
Bytes FramedImage(std::size_t imageLen, std::size_t fileLen = 0) {
    Bytes f(imageLen + 4);
    f[0] = static_cast<std::uint8_t>(imageLen);
    f[1] = static_cast<std::uint8_t>(imageLen >> 8);
    for (std::size_t i = 0; i < imageLen; ++i) f[2 + i] = static_cast<std::uint8_t>(i * 13 + 7);
    f[imageLen + 2] = 0xAA;
    f[imageLen + 3] = static_cast<std::uint8_t>(std::accumulate(f.begin() + 2, f.begin() + 2 + imageLen, 0u));
    if (fileLen) f.resize(fileLen, 0x5C);
    return f;
}

class ChipOperationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        driver.AddInterface(kObject, chip);
        ports.deviceIo = &io;
        ports.clock = &sched;
        ports.threads = &sched;
        ports.logSink = &sink;
        ports.files = &files;
        ports.registry = &registry;
        ports.processes = &processes;
        ports.osInfo = &osInfo;
        ports.ui = &ui;
        vDEBUG_Initial_printf(sched, sink);
        utility = std::make_unique<ha::CHubUtility>(ports);
        dev = std::make_unique<ha::CVntlHubDev>(*utility);
        dev->m_pDevList = &list;
        list.nCount = 1;
        list.rows[0].m_strObjectName = kObject;
        g_nMessageLevel = 3;
        driver.ClearJournal();
        sink.Clear();
    }
    void TearDown() override {
        EXPECT_EQ(driver.OpenHandleCount(), 0) << "a device handle was left open";
        EXPECT_EQ(files.OpenHandleCount(), 0) << "a file handle was left open";
        dev.reset();
        utility.reset();
        g_nMessageLevel = 0;
        vDEBUG_Shutdown_printf();
    }

    bool LogHas(const std::wstring& text) const { return sink.Contains(text); }
    std::vector<sim::JournalEntry> Requests(std::uint32_t command) const {
        std::vector<sim::JournalEntry> out;
        for (const auto& e : driver.Journal())
            if (e.Command() == command) out.push_back(e);
        return out;
    }
    sim::Fault& Fail(std::uint32_t command, int skip = 0, sim::FaultKind kind = sim::FaultKind::GenFailure) {
        sim::Fault f;
        f.match.command = command;
        f.kind = kind;
        f.skip = skip;
        return driver.AddFault(f);
    }
    void PutFirmware(std::uint32_t length) {
        chip->SetFirmwareArea(0, 0, FramedImage(length));
    }

    sim::Scheduler sched;
    sim::CaptureLogSink sink;
    sim::FilterDriver driver{sched};
    CountingDeviceIo io{driver};
    std::shared_ptr<sim::HubChip> chip = std::make_shared<sim::HubChip>(&sched);
    sim::SimFiles files;
    sim::SimRegistry registry;
    sim::SimProcesses processes;
    sim::SimOsInfo osInfo{&sched, &files};
    sim::SimUi ui;
    platform::Ports ports;
    std::unique_ptr<ha::CHubUtility> utility;
    std::unique_ptr<ha::CVntlHubDev> dev;
    ha::DEV_LIST list;
};

TEST_F(ChipOperationsTest, ConfigWriteIntoImage1ErasesExactlyThatBlock) {
    const Bytes old0(256, 0x00), old1(256, 0x0F);
    chip->SetConfigBlock(0, old0);
    chip->SetConfigBlock(1, old1);
    Bytes table(256);
    for (int i = 0; i < 256; ++i) table[i] = static_cast<std::uint8_t>(0xF0 ^ i);

    ASSERT_EQ(dev->VTL262xBlockErase(0, 1), 0);
    ASSERT_EQ(dev->VTL262xConfigWrite(0, table.data(), 1, 1), 0);
    EXPECT_EQ(chip->erases, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 1}, {1, 1}}));
    EXPECT_EQ(chip->ConfigBlock(1), table);
    EXPECT_EQ(chip->ConfigBlock(0), old0);
    EXPECT_TRUE(chip->flashErrors.empty());
    ASSERT_EQ(Requests(0x51).size(), 8u);
    EXPECT_EQ(Requests(0x51)[7].Value(), 1u);

    // Without its erase the same table comes out corrupted.
    ASSERT_EQ(dev->VTL262xConfigWrite(0, table.data(), 0, 1), 0);
    EXPECT_NE(chip->ConfigBlock(0), table);
}

TEST_F(ChipOperationsTest, EraseFailsWhenAnyStepFails) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        int result;
        std::size_t eraseCommands;
        const wchar_t* record;
    };
    const std::vector<Case> cases = {
        {"part 0 command fails", [&] { Fail(0x57); }, -1, 1, L"SPIBlockEraseCmd[0] Bolcok 0, return -1"},
        {"part 1 command fails", [&] { Fail(0x57, 1); }, -1, 2, L"SPIBlockEraseCmd[0] return -1"},
        {"second status read fails", [&] { chip->eraseMs = 0; Fail(0x52, 1); }, -1, 2,
         L"RegisterReadWriteCmd Failed"},
        {"erase never done", [&] { chip->eraseNeverFinishes = true; }, -1, 1,
         L"PollingRegStatus [Dev0] TimeOut!!! Bolcok 0"},
        {"no object name", [&] { list.rows[0].m_strObjectName.clear(); }, -10, 0, nullptr},
        {"object cannot be opened", [&] { list.rows[0].m_strObjectName = L"\\\\.\\USBPDO_90001"; }, -1, 0,
         L"ucTargetNumber[0], CreateFile[\\\\.\\USBPDO_90001] failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        driver.ClearFaults();
        driver.ClearJournal();
        sink.Clear();
        chip->eraseNeverFinishes = false;
        chip->eraseMs = 50;
        list.rows[0].m_strObjectName = kObject;
        c.arrange();
        const std::uint64_t t0 = sched.NowMs();
        EXPECT_EQ(dev->VTL262xBlockErase(0, 0), c.result);
        EXPECT_EQ(Requests(0x57).size(), c.eraseCommands);
        if (c.record) {
            EXPECT_TRUE(LogHas(c.record));
        }
        if (chip->eraseNeverFinishes) {
            EXPECT_GE(sched.NowMs() - t0, 3000u);
            EXPECT_LE(sched.NowMs() - t0, 4000u);
        }
    }
}

TEST_F(ChipOperationsTest, PollingTakesAFinishedEraseAndIgnoresTheCalendar) {
    const ha::BYTE ready = 1;
    auto poll = [&] {
        const auto open = driver.CreateFile(kObject, platform::DeviceOpenMode::Filter);
        const ha::BOOL ok = utility->PollingRegStatus(open.handle, &ready);
        driver.CloseHandle(open.handle);
        return ok;
    };

    // Already done: one read, then the 100 ms pause.
    std::uint64_t t0 = sched.NowMs();
    EXPECT_EQ(poll(), ha::TRUE);
    EXPECT_EQ(Requests(0x52).size(), 1u);
    EXPECT_EQ(sched.NowMs() - t0, 100u);
    EXPECT_TRUE(LogHas(L"CHubUtility::PollingRegStatus:"));
    EXPECT_TRUE(LogHas(L":   ucTargetValue=1, pBLockEraseStatus[0]=1"));

    // Done just after the budget ran out: still taken.
    chip->eraseMs = 3050;
    chip->OnSpiBlockErase(0, 0);
    EXPECT_EQ(poll(), ha::TRUE);

    // Calendar jumps during the wait change nothing: the wait neither ends
    // early nor runs on.
    struct Jump {
        std::int64_t stepSeconds;
        bool neverDone;
        ha::BOOL result;
    };
    for (const Jump j : {Jump{-3600, true, ha::FALSE}, Jump{+3600, false, ha::TRUE}}) {
        SCOPED_TRACE(j.stepSeconds);
        JumpingCalendar clock(sched, j.stepSeconds);
        platform::Ports jumping = ports;
        jumping.clock = &clock;
        ha::CHubUtility jumpingUtility(jumping);
        chip->eraseMs = 2000;
        chip->eraseNeverFinishes = j.neverDone;
        chip->OnSpiBlockErase(0, 0);
        const auto open = driver.CreateFile(kObject, platform::DeviceOpenMode::Filter);
        t0 = sched.NowMs();
        EXPECT_EQ(jumpingUtility.PollingRegStatus(open.handle, &ready), j.result);
        driver.CloseHandle(open.handle);
        const std::uint64_t spent = sched.NowMs() - t0;
        if (j.neverDone) {
            EXPECT_GT(spent, 3000u);
            EXPECT_LE(spent, 4000u);
        } else {
            EXPECT_EQ(spent, 2100u);
        }
    }
    EXPECT_TRUE(LogHas(L":  Time Out (3s), ucTargetValue=1"));
}

TEST_F(ChipOperationsTest, ConfigReadFillsExactly256Bytes) {
    Bytes table(256);
    for (int i = 0; i < 256; ++i) table[i] = static_cast<std::uint8_t>(i);
    chip->SetConfigBlock(1, table);
    Bytes out(260, 0xEE);
    ASSERT_EQ(dev->VTL262xConfigRead(0, out.data(), 1), 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 256), table);
    EXPECT_EQ(Bytes(out.begin() + 256, out.end()), Bytes(4, 0xEE));
    const auto reads = Requests(0x55);
    ASSERT_EQ(reads.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(reads[i].Index(), 0x20u * i);
        EXPECT_EQ(reads[i].Value(), 1u);
    }

    // A failed fourth read: -1, the three blocks before it stay delivered.
    Fail(0x55, 3);
    std::fill(out.begin(), out.end(), 0xEE);
    EXPECT_EQ(dev->VTL262xConfigRead(0, out.data(), 1), -1);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 96), Bytes(table.begin(), table.begin() + 96));
    EXPECT_EQ(Bytes(out.begin() + 96, out.end()), Bytes(164, 0xEE));
    EXPECT_TRUE(LogHas(L"Target[0] ReadConfigFWCmd FAIL, ret:-1"));
}

TEST_F(ChipOperationsTest, FirmwareReadStaysInsideTheBuffer) {
    struct Case {
        std::uint32_t length;
        std::size_t capacity;
        int result;
        std::size_t reads;
        std::size_t delivered;
    };
    // A length word out of range (-2) is told apart from a failed request (-1).
    for (const Case c : {Case{0x5000, 0x10000, 0, 641, 20512}, Case{0xFFFE, 65568, 0, 2049, 65568},
                         Case{0x4FFF, 0x10000, -2, 1, 0}, Case{0xFFFF, 0x10000, -2, 1, 0},
                         Case{0xFFF0, 0x10000, -1, 1, 0}}) {
        SCOPED_TRACE(c.length);
        driver.ClearJournal();
        chip->BlankFlash();
        if (c.length != 0xFFFF) PutFirmware(c.length);
        // Exactly the capacity, so ASan sees any write past it.
        Bytes out(c.capacity, 0xEE);
        EXPECT_EQ(dev->VTL262xFirmwareRead(0, out.data(), out.size()), c.result);
        EXPECT_EQ(Requests(0x55).size(), c.reads);
        const Bytes& area = chip->FirmwareArea(0);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + c.delivered), Bytes(area.begin(), area.begin() + c.delivered));
        EXPECT_EQ(Bytes(out.begin() + c.delivered, out.end()), Bytes(c.capacity - c.delivered, 0xEE));
    }
    EXPECT_TRUE(LogHas(L"ReadConfigFWCmd FAIL, wFWLength=4fff"));

    PutFirmware(0x5000);
    Fail(0x55, 10);
    Bytes out(0x10000);
    EXPECT_EQ(dev->VTL262xFirmwareRead(0, out.data(), out.size()), -1);
    // A failed first block is a failed read, not an area without an image.
    Fail(0x55, 0);
    EXPECT_EQ(dev->VTL262xFirmwareRead(0, out.data(), out.size()), -1);

    // The value selects the image: image 1's area with value 1.
    driver.ClearJournal();
    chip->SetFirmwareArea(1, 0, {0x00, 0x60});
    EXPECT_EQ(dev->VTL262xFirmwareRead(0, out.data(), out.size(), 1), 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 0x6020), Bytes(chip->FirmwareArea(1).begin(), chip->FirmwareArea(1).begin() + 0x6020));
    for (const auto& e : Requests(0x55)) ASSERT_EQ(e.Value(), 1u);
}

TEST_F(ChipOperationsTest, FirmwareWriteSendsTheFileInPaddedChunks) {
    const Bytes file = FramedImage(24576);
    ASSERT_EQ(file.size(), 24580u);
    files.PutFile(kImageFile, file);
    ASSERT_EQ(dev->VTL262xFirmwareWrite(0, kImageFile, 1, 1), 0);
    const auto chunks = Requests(0x50);
    ASSERT_EQ(chunks.size(), 769u);
    for (const auto& e : chunks) {
        ASSERT_EQ(e.Value(), 1u);
        ASSERT_EQ(e.Index(), 24608u);
    }
    EXPECT_EQ(Bytes(chunks.back().input.begin() + 24 + 4, chunks.back().input.end()), Bytes(28, 0));
    const Bytes& area = chip->FirmwareArea(1);
    EXPECT_EQ(Bytes(area.begin(), area.begin() + 24580), file);
    EXPECT_EQ(chip->FirmwareArea(0), Bytes(sim::HubChip::kFirmwareAreaSize, 0xFF));

    // The largest file the chip takes.
    driver.ClearJournal();
    files.PutFile(kImageFile, FramedImage(0xFFFC));
    EXPECT_EQ(dev->VTL262xFirmwareWrite(0, kImageFile, 0, 1), 0);
    EXPECT_EQ(Requests(0x50).size(), 2048u);

    // A failing chunk ends the download with the channel's code.
    Fail(0x50, 2);
    EXPECT_EQ(dev->VTL262xFirmwareWrite(0, kImageFile, 0, 1), -3);
    EXPECT_TRUE(LogHas(L"DownLoad[0] FW return -3"));
}

TEST_F(ChipOperationsTest, FirmwareWriteRefusesImpossibleImagesBeforeAnyRequest) {
    struct Case {
        const char* name;
        Bytes file;
        bool shortRead;
    };
    const std::vector<Case> cases = {
        {"65,537 bytes", FramedImage(0xFFFC, 65537), false},
        {"empty", {}, false},
        {"shorter than its frame", {0x00, 0x50, 0xAA}, false},
        {"length word below 0x5000", FramedImage(0x4FFF), false},
        {"shorter than its length word", FramedImage(0x6000, 0x6000), false},
        {"short read", FramedImage(0x5000), true},
        {"no file", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        driver.ClearJournal();
        files.ClearFaults();
        const std::wstring path = std::string(c.name) == "no file" ? L"C:\\Tool\\none.bin" : kImageFile;
        files.PutFile(kImageFile, c.file);
        if (c.shortRead) {
            sim::FileFault f;
            f.op = sim::FileOp::Read;
            f.shortRead = true;
            f.shortBytes = 100;
            files.AddFault(f);
        }
        const int opensBefore = io.opens;
        EXPECT_EQ(dev->VTL262xFirmwareWrite(0, path, 0, 1), -1);
        EXPECT_TRUE(driver.Journal().empty());
        EXPECT_EQ(io.opens, opensBefore);
    }
    EXPECT_TRUE(LogHas(L"Malloc ucpFileBuf Fail , dwFWFileLen 65568 , strFWBinaryNamePath  C:\\Tool\\Temp\\TempBinData.bin"));
}

TEST_F(ChipOperationsTest, RegisterAccessNeedsTheRowsObjectNotTheInterfaceCount) {
    ha::BYTE value = 0x5A;
    dev->m_DriverNum = 0;  // a rescan elsewhere is rebuilding the interface list
    ASSERT_EQ(dev->VTL262xAccessRegister(0, &value, 0x3000, 1), 0);
    value = 0;
    ASSERT_EQ(dev->VTL262xAccessRegister(0, &value, 0x3000, 0), 0);
    EXPECT_EQ(value, 0x5A);

    const int opens = io.opens;
    EXPECT_EQ(dev->VTL262xAccessRegister(1, &value, 0x3000, 0), -4);   // empty row
    EXPECT_EQ(dev->VTL262xAccessRegister(200, &value, 0x3000, 0), -4);  // beyond the table
    dev->m_pDevList = nullptr;
    EXPECT_EQ(dev->VTL262xAccessRegister(0, &value, 0x3000, 0), -4);
    EXPECT_EQ(io.opens, opens);
    dev->m_pDevList = &list;

    Fail(0x52);
    EXPECT_EQ(dev->VTL262xAccessRegister(0, &value, 0x3000, 0), -1);
    EXPECT_TRUE(LogHas(L"CVntlHubDev::VTL262xAccessRegister:"));
    EXPECT_TRUE(LogHas(L": RegisterReadWriteCmd failed, CreateFile[\\\\.\\USBPDO_70001] "));

    driver.SetAttached(kObject, false);
    EXPECT_EQ(dev->VTL262xAccessRegister(0, &value, 0x3000, 0), -1);
    EXPECT_EQ(dev->VTL262xReset(0, 1), -4);
    EXPECT_TRUE(LogHas(L"Target[0] CreateFile FAIL,objectname=\\\\.\\USBPDO_70001,  Error:2"));
}

TEST_F(ChipOperationsTest, ResetThroughRegistersOrCommand) {
    EXPECT_EQ(dev->VTL262xReset(0, 1), 0);
    EXPECT_EQ(chip->cpuResets, 1);
    const auto writes = Requests(0x53);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].Index(), 0x5846u);
    EXPECT_EQ(writes[1].Index(), 0x5810u);

    EXPECT_EQ(dev->VTL262xReset(0, 0), 0);
    EXPECT_EQ(chip->cpuResets, 2);
    EXPECT_EQ(Requests(0x54).size(), 1u);
}

}  // namespace
