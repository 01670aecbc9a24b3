// The filter-driver channel against the simulated driver and chip: what goes
// over the wire for every request, how results map, and the faults the
// channel must survive.
#include <gtest/gtest.h>

#include <functional>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hubaccess/DebugLog.h"
#include "hubaccess/VntlFilter0.h"
#include "platform/Win32Errors.h"
#include "sim/CaptureLogSink.h"
#include "sim/FilterDriver.h"
#include "sim/HubChip.h"
#include "sim/Scheduler.h"

namespace ha = hubaccess;
using platform::Handle;
using Words = std::array<std::uint32_t, 6>;

namespace {

const std::wstring kObject = L"\\\\.\\USBPDO_70001";

class FilterChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        driver.AddInterface(kObject, chip);
        h = driver.CreateFile(kObject, platform::DeviceOpenMode::Filter).handle;
        ASSERT_TRUE(h.IsValid());
        vDEBUG_Initial_printf(sched, sink);
        g_nMessageLevel = 3;
    }
    void TearDown() override {
        g_nMessageLevel = 0;
        vDEBUG_Shutdown_printf();
    }

    Words WordsOf(const sim::JournalEntry& e) const {
        Words w;
        std::copy(std::begin(e.words), std::end(e.words), w.begin());
        return w;
    }
    bool LogHas(const std::wstring& text) const { return sink.Contains(text); }
    sim::Fault& FailWith(sim::FaultKind kind, std::uint32_t error = 0) {
        sim::Fault f;
        f.kind = kind;
        f.error = error;
        return driver.AddFault(f);
    }

    sim::Scheduler sched;
    sim::CaptureLogSink sink;
    sim::FilterDriver driver{sched};
    std::shared_ptr<sim::HubChip> chip = std::make_shared<sim::HubChip>();
    ha::CVNTLFILTER0 ch{driver, sched};
    Handle h;
};

struct WireCase {
    const char* name;
    std::function<int(ha::CVNTLFILTER0&, Handle)> op;
    std::uint32_t ioctl;
    Words words;
    std::uint32_t inLen;
    std::uint32_t outCap;
};

TEST_F(FilterChannelTest, EveryRequestGoesOutAsSpecified) {
    std::uint8_t buf[64] = {};
    const std::vector<WireCase> cases = {
        {"register read 1", [&](auto& c, Handle d) { return c.RegisterReadWriteCmd(d, buf, 1, 0x3000, 0, 0); },
         ha::IOCTL_FILTER_READ, {500, 2, 0, 0x52, 0, 0x3000}, 24, 1},
        {"register read 16, own timeout", [&](auto& c, Handle d) { return c.RegisterReadWriteCmd(d, buf, 16, 0x3600, 0, 50); },
         ha::IOCTL_FILTER_READ, {50, 2, 0, 0x52, 0, 0x3600}, 24, 16},
        {"register write", [&](auto& c, Handle d) { buf[0] = 0xAB; return c.RegisterReadWriteCmd(d, buf, 1, 0x3100, 1, 0); },
         ha::IOCTL_FILTER_WRITE, {500, 2, 0, 0x53, 0xAB, 0x3100}, 25, 0},
        {"16-bit write at 0x6400", [&](auto& c, Handle d) { buf[0] = 0x34; buf[1] = 0x12; return c.RegisterReadWriteCmd(d, buf, 2, 0x6400, 1, 0); },
         ha::IOCTL_FILTER_WRITE, {500, 2, 0, 0x40, 0x1234, 0x6400}, 26, 0},
        {"read at 0x6400 stays a read", [&](auto& c, Handle d) { return c.RegisterReadWriteCmd(d, buf, 2, 0x6400, 0, 0); },
         ha::IOCTL_FILTER_READ, {500, 2, 0, 0x52, 0, 0x6400}, 24, 2},
        {"version read", [&](auto& c, Handle d) { ha::FW_VERSION_BLOCK v; return c.RegisterReadWriteCmd(d, &v); },
         ha::IOCTL_FILTER_READ, {500, 2, 0, 0x52, 0, 0x7F0}, 24, 16},
        {"legacy register read", [&](auto& c, Handle d) { return c.RegisterReadWriteCmdOld(d, buf, 4, 0x7FB, 0); },
         ha::IOCTL_FILTER_LEGACY, {500, 0x52, 0, 0x7FB, 0, 0}, 24, 4},
        {"legacy register write", [&](auto& c, Handle d) { buf[0] = 0x5A; return c.RegisterReadWriteCmdOld(d, buf, 1, 0x7FB, 1); },
         ha::IOCTL_FILTER_LEGACY, {500, 0x53, 0x5A, 0x7FB, 0, 0}, 24, 1},
        {"device descriptor", [&](auto& c, Handle d) { return c.Get_Descriptor(d, buf); },
         ha::IOCTL_FILTER_LEGACY, {500, 1, 0, 0, 0, 0}, 24, 18},
        {"CPU reset command", [&](auto& c, Handle d) { return c.SendCpuResetByFilterDriver(d, 0); },
         ha::IOCTL_FILTER_WRITE, {500, 2, 0, 0x54, 0, 0}, 24, 0},
        {"ROM read", [&](auto& c, Handle d) { return c.ReadConfigFWCmd(d, buf, 0xE0, 1); },
         ha::IOCTL_FILTER_READ, {500, 2, 0, 0x55, 1, 0xE0}, 24, 32},
        {"SPI block erase", [&](auto& c, Handle d) { return c.SPIBlockEraseCmd(d, 3, 1); },
         ha::IOCTL_FILTER_WRITE, {500, 2, 0, 0x57, 0x103, 0}, 24, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        driver.ClearJournal();
        ASSERT_EQ(c.op(ch, h), 0);
        ASSERT_EQ(driver.Journal().size(), 1u);
        const auto& e = driver.Journal()[0];
        EXPECT_EQ(e.ioctl, c.ioctl);
        EXPECT_EQ(WordsOf(e), c.words);
        EXPECT_EQ(e.input.size(), c.inLen);
        EXPECT_EQ(e.outCapacity, c.outCap);
        // Padding behind a register-write block is zero.
        for (std::size_t i = 24; i < e.input.size(); ++i) EXPECT_EQ(e.input[i], 0) << i;
    }
    EXPECT_EQ(chip->Reg(0x3100), 0xAB);
    EXPECT_EQ(chip->write16Value, 0x1234);
    EXPECT_EQ(chip->write16Count, 1);  // the read at 0x6400 wrote nothing
}

TEST_F(FilterChannelTest, RegisterReadsReturnConsecutiveBytes) {
    chip->SetReg(0x7FB, 0x5A);
    chip->SetReg(0x7FC, 0x33);
    chip->SetReg(0x7FD, 0x01);
    chip->SetReg(0x7FE, 0x02);
    std::uint8_t out[4] = {};
    ASSERT_EQ(ch.RegisterReadWriteCmd(h, out, 4, 0x7FB, 0, 0), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 4), (std::vector<std::uint8_t>{0x5A, 0x33, 0x01, 0x02}));

    std::uint8_t big[300];
    EXPECT_EQ(ch.RegisterReadWriteCmd(h, big, 256, 0, 0, 0), -1);  // over 255: refused, nothing sent
    EXPECT_EQ(driver.Journal().size(), 1u);
}

// A reply shorter than asked fails the read, whichever read it is, and none
// of its bytes (nor zeros in place of the missing ones) reach the caller.
TEST_F(FilterChannelTest, ShortReplyFailsEveryRead) {
    chip->SetReg(0x3000, 0x11);
    chip->SetReg(0x3001, 0x22);
    chip->SetString(2, u"Vantrel");
    sim::Fault f;
    f.kind = sim::FaultKind::ShortReply;
    f.times = -1;
    sim::Fault& fault = driver.AddFault(f);

    struct Read {
        const char* what;
        std::uint32_t shortBytes;
        std::function<int(std::uint8_t*)> call;
        const wchar_t* record;
    };
    const Read reads[] = {
        {"register", 1, [&](std::uint8_t* o) { return ch.RegisterReadWriteCmd(h, o, 4, 0x3000, 0, 0); },
         L"set_device_paths: couldn't send device command"},
        {"legacy register", 3, [&](std::uint8_t* o) { return ch.RegisterReadWriteCmdOld(h, o, 4, 0x3000, 0); },
         L"set_device_paths: couldn't read device descriptor"},
        {"ROM", 31, [&](std::uint8_t* o) { return ch.ReadConfigFWCmd(h, o, 0, 0); },
         L"set_device_paths: couldn't read device descriptor"},
        {"descriptor", 17, [&](std::uint8_t* o) { return ch.Get_Descriptor(h, o); },
         L"set_device_paths: couldn't read device descriptor"},
        {"string", 8, [&](std::uint8_t* o) {
             return ch.Get_StringDescriptor(h, reinterpret_cast<char*>(o), 32, 16, 2); },
         L"set_device_paths: couldn't read device descriptor"},
    };
    for (const Read& r : reads) {
        SCOPED_TRACE(r.what);
        fault.shortBytes = r.shortBytes;
        sink.Clear();
        std::uint8_t out[32];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(r.call(out), -1);
        // The string read clears the caller's text first; nothing else is written.
        for (std::size_t i = std::string(r.what) == "string" ? 1 : 0; i < sizeof out; ++i) EXPECT_EQ(out[i], 0xEE) << i;
        EXPECT_TRUE(LogHas(r.record));
    }

    // The version block: a short new-layout reply falls back to the legacy
    // layout, whose short reply fails as well.
    fault.shortBytes = 15;
    ha::FW_VERSION_BLOCK block;
    block.bytes.fill(0xEE);
    EXPECT_EQ(ch.RegisterReadWriteCmd(h, &block), -1);
    EXPECT_EQ(block.bytes[15], 0xEE);
    EXPECT_TRUE(LogHas(L"short reply, 15 of 16 bytes"));

    fault.shortBytes = 32;  // enough for every read
    std::uint8_t regs[4] = {};
    EXPECT_EQ(ch.RegisterReadWriteCmd(h, regs, 4, 0x3000, 0, 0), 0);
    EXPECT_EQ(regs[1], 0x22);
}

TEST_F(FilterChannelTest, DownloadIsChunkedWithTotalLengthInEveryChunk) {
    std::vector<std::uint8_t> data(64);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i + 1);
    struct Case {
        std::uint32_t length;
        std::size_t chunks;
    };
    for (const Case c : {Case{256, 8}, Case{33, 2}, Case{32, 1}}) {
        SCOPED_TRACE(c.length);
        std::vector<std::uint8_t> src(c.length);
        for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i * 7 + 1);
        driver.ClearJournal();
        chip->downloads.clear();
        ASSERT_EQ(ch.DownLoadCMD(h, src.data(), c.length, 0x51, 1), 0);
        ASSERT_EQ(driver.Journal().size(), c.chunks);
        for (std::size_t i = 0; i < c.chunks; ++i) {
            const auto& e = driver.Journal()[i];
            EXPECT_EQ(e.ioctl, ha::IOCTL_FILTER_WRITE);
            EXPECT_EQ(e.input.size(), 56u);
            EXPECT_EQ(WordsOf(e), (Words{500, 2, 0, 0x51, 1, c.length}));
            for (std::size_t k = 0; k < 32; ++k) {
                const std::size_t at = i * 32 + k;
                EXPECT_EQ(e.input[24 + k], at < c.length ? src[at] : 0) << "chunk " << i << " byte " << k;
            }
        }
        ASSERT_EQ(chip->downloads.size(), 1u);
        EXPECT_EQ(chip->downloads[0].command, 0x51u);
        EXPECT_EQ(chip->downloads[0].image, 1u);
        EXPECT_EQ(chip->downloads[0].data, src);
    }

    driver.ClearJournal();
    EXPECT_EQ(ch.DownLoadCMD(h, data.data(), 0, 0x50, 0), -1);
    EXPECT_TRUE(driver.Journal().empty());
}

TEST_F(FilterChannelTest, FailingThirdChunkStopsTheDownload) {
    std::vector<std::uint8_t> data(256, 0x5A);
    for (auto kind : {sim::FaultKind::GenFailure, sim::FaultKind::Error}) {
        driver.ClearFaults();
        driver.ClearJournal();
        sim::Fault f;
        f.kind = kind;
        f.error = platform::kErrorAccessDenied;
        f.match.command = 0x50;
        f.skip = 2;
        driver.AddFault(f);
        const int expected = kind == sim::FaultKind::GenFailure ? -3 : -1;
        EXPECT_EQ(ch.DownLoadCMD(h, data.data(), 256, 0x50, 0), expected);
        EXPECT_EQ(driver.Journal().size(), 3u);  // two accepted, the third failed, no more
        const std::wstring code = kind == sim::FaultKind::GenFailure ? L"31" : L"5";
        EXPECT_TRUE(LogHas(L"Write Cmd failed...dwWrCnt[2], ErrorCode[" + code + L"]"));
    }
}

TEST_F(FilterChannelTest, IoSyncMapsEveryOutcome) {
    struct Case {
        sim::FaultKind kind;
        std::uint32_t error;
        int expected;
        bool record;
    };
    const std::vector<Case> cases = {
        {sim::FaultKind::GenFailure, 0, -3, true},
        {sim::FaultKind::Error, platform::kErrorAccessDenied, -1, true},
        {sim::FaultKind::Pending, 0, 0, false},
        {sim::FaultKind::PendingThenFail, platform::kErrorSemTimeout, -1, false},
        {sim::FaultKind::NoEvent, 0, -8, false},
    };
    const ha::FilterBlock block = [] {
        ha::FILTER_REQUEST r;
        r.dwCommand = ha::CMD_CPU_RESET;
        return r.Encode();
    }();
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        driver.ClearFaults();
        sink.Clear();
        FailWith(c.kind, c.error);
        std::uint32_t bytes = 99;
        EXPECT_EQ(ch.IO_Sync(h, ha::IOCTL_FILTER_WRITE, block.data(), 24, nullptr, 0, &bytes), c.expected);
        EXPECT_EQ(bytes, 0u);
        EXPECT_EQ(LogHas(L"DeviceIoControl Failed, code = 222010"), c.record);
    }
    // A pending read that completes delivers its bytes.
    driver.ClearFaults();
    FailWith(sim::FaultKind::Pending);
    std::uint8_t out[16];
    EXPECT_EQ(ch.RegisterReadWriteCmd(h, out, 16, 0x7F0, 0, 0), 0);
    EXPECT_EQ(out[0], chip->Reg(0x7F0));

    // NULL never reaches the driver.
    driver.ClearJournal();
    EXPECT_EQ(ch.IO_Sync(Handle::Null(), ha::IOCTL_FILTER_WRITE, block.data(), 24, nullptr, 0, nullptr), -10);
    EXPECT_TRUE(driver.Journal().empty());
    EXPECT_TRUE(LogHas(L"Driver Handle is NULL"));
}

TEST_F(FilterChannelTest, ChannelResultsAndRecordsPerOperation) {
    // Register access logs an error record and folds every failure into -1.
    FailWith(sim::FaultKind::GenFailure);
    std::uint8_t b = 0;
    EXPECT_EQ(ch.RegisterReadWriteCmd(h, &b, 1, 0x3000, 0, 0), -1);
    EXPECT_TRUE(LogHas(L"\r\nERR::CVNTLFILTER0::RegisterReadWriteCmd:"));
    EXPECT_TRUE(LogHas(L": set_device_paths: couldn't send device command"));

    // The command reset forwards IO_Sync's own code.
    FailWith(sim::FaultKind::NoEvent);
    EXPECT_EQ(ch.SendCpuResetByFilterDriver(h, 0), -8);
    FailWith(sim::FaultKind::GenFailure);
    EXPECT_EQ(ch.SendCpuResetByFilterDriver(h, 0), -3);

    FailWith(sim::FaultKind::GenFailure);
    EXPECT_EQ(ch.SPIBlockEraseCmd(h, 0, 0), -1);
    EXPECT_TRUE(LogHas(L": IO_Sync Failed "));

    // Every operation refuses a NULL handle without a request.
    driver.ClearJournal();
    sink.Clear();
    std::uint8_t buf[32];
    char text[8];
    EXPECT_EQ(ch.RegisterReadWriteCmd(Handle::Null(), buf, 1, 0, 0, 0), -10);
    EXPECT_EQ(ch.RegisterReadWriteCmdOld(Handle::Null(), buf, 1, 0, 0), -10);
    EXPECT_EQ(ch.Get_Descriptor(Handle::Null(), buf), -10);
    EXPECT_EQ(ch.Get_StringDescriptor(Handle::Null(), text, sizeof text, 4, 1), -10);
    EXPECT_EQ(ch.DownLoadCMD(Handle::Null(), buf, 32, 0x50, 0), -10);
    EXPECT_EQ(ch.SendCpuResetByFilterDriver(Handle::Null(), 1), -10);
    EXPECT_EQ(ch.ReadConfigFWCmd(Handle::Null(), buf, 0, 0), -10);
    EXPECT_EQ(ch.SPIBlockEraseCmd(Handle::Null(), 0, 0), -10);
    EXPECT_TRUE(driver.Journal().empty());
    EXPECT_TRUE(LogHas(L"Deriver Handle is NULL"));

    // A request on a handle whose interface went away fails.
    driver.SetAttached(kObject, false);
    EXPECT_EQ(ch.ReadConfigFWCmd(h, buf, 0, 0), -1);
}

TEST_F(FilterChannelTest, VersionReadFallsBackToLegacyLayoutOnSameHandle) {
    chip->SetVersion({0x14, 0x04, 0x15, 0x03, 0xE5, 0x00});
    chip->supportsNewLayout = false;
    ha::FW_VERSION_BLOCK v;
    ASSERT_EQ(ch.RegisterReadWriteCmd(h, &v), 0);
    ASSERT_EQ(driver.Journal().size(), 2u);
    EXPECT_EQ(driver.Journal()[0].ioctl, ha::IOCTL_FILTER_READ);
    EXPECT_EQ(driver.Journal()[1].ioctl, ha::IOCTL_FILTER_LEGACY);
    EXPECT_EQ(WordsOf(driver.Journal()[1]), (Words{500, 0x52, 0, 0x7F0, 0, 0}));
    EXPECT_EQ(driver.Journal()[0].device, driver.Journal()[1].device);
    EXPECT_EQ(v.VersionText(), L"14041503e500");
    EXPECT_TRUE(v.IsValid());

    // Both layouts failing: the legacy result is returned.
    driver.ClearJournal();
    sim::Fault f;
    f.kind = sim::FaultKind::Error;
    f.error = platform::kErrorAccessDenied;
    f.times = -1;
    driver.AddFault(f);
    EXPECT_EQ(ch.RegisterReadWriteCmd(h, &v), -1);
    EXPECT_EQ(driver.Journal().size(), 2u);

    // NULL: no request in either layout, -10.
    driver.ClearJournal();
    sink.Clear();
    EXPECT_EQ(ch.RegisterReadWriteCmd(Handle::Null(), &v), -10);
    EXPECT_TRUE(driver.Journal().empty());
    EXPECT_TRUE(LogHas(L"Driver Handle is NULL"));
    EXPECT_TRUE(LogHas(L"Deriver Handle is NULL"));
}

TEST_F(FilterChannelTest, VersionBlockValidity) {
    ha::FW_VERSION_BLOCK v;
    v.bytes = {0x14, 0x04, 0x15, 0x03, 0xE5, 0x00, 0, 0, 2, 0, 7};
    EXPECT_TRUE(v.IsValid());
    EXPECT_EQ(v.VersionText(), L"14041503e500");
    for (auto [at, value] : {std::pair{8, 0}, {8, 3}, {9, 1}, {10, 6}}) {
        auto w = v;
        w.bytes[at] = static_cast<std::uint8_t>(value);
        EXPECT_FALSE(w.IsValid()) << at << "=" << value;
    }
}

TEST_F(FilterChannelTest, RegisterResetTakesItsTimeAndSucceedsWithoutAnAnswer) {
    const std::uint64_t start = sched.MonotonicMs();
    ASSERT_EQ(ch.SendCpuResetByFilterDriver(h, 1), 0);
    EXPECT_GE(sched.MonotonicMs() - start, 2200u);
    ASSERT_EQ(driver.Journal().size(), 2u);
    const auto& start0 = driver.Journal()[0];
    const auto& reset = driver.Journal()[1];
    EXPECT_EQ(WordsOf(start0), (Words{500, 2, 0, 0x53, 0, 0x5846}));
    EXPECT_EQ(WordsOf(reset), (Words{200, 2, 0, 0x53, 1, 0x5810}));
    EXPECT_FALSE(reset.result.Succeeded());  // the chip never answered
    EXPECT_GE(reset.timeMs - start0.timeMs, 200u);
    EXPECT_EQ(chip->cpuResets, 1);

    // When the start-position write fails, the reset is not attempted.
    driver.ClearJournal();
    sim::Fault f;
    f.kind = sim::FaultKind::GenFailure;
    f.match.address = 0x5846;
    driver.AddFault(f);
    EXPECT_EQ(ch.SendCpuResetByFilterDriver(h, 1), -1);
    EXPECT_EQ(driver.Journal().size(), 1u);
    EXPECT_TRUE(LogHas(L"CPU_START_POSITION_ADDR command failed ErrorCode[31]"));
    EXPECT_EQ(chip->cpuResets, 1);
}

TEST_F(FilterChannelTest, StringDescriptorIsNarrowedAndBounded) {
    struct Case {
        const char* name;
        std::u16string text;
        std::size_t capacity;
        std::uint8_t length;
        std::string expected;
    };
    const std::u16string longText(300, u'S');
    const std::vector<Case> cases = {
        {"two characters", u"AB", 48, 24, "AB"},
        {"high byte dropped", u"A\u0142B", 48, 24, "ABB"},  // U+0142 keeps its low byte 0x42
        {"stops at a zero low byte", std::u16string(u"AB\u0100CD"), 48, 24, "AB"},
        {"caller's buffer bounds it", longText, 20, 24, std::string(19, 'S')},
        {"reply size bounds it", longText, 48, 10, std::string(9, 'S')},
        {"descriptor length bounds it", longText, 300, 255, std::string(126, 'S')},
        {"empty string", u"", 48, 24, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        chip->SetString(3, c.text);
        std::vector<char> buf(c.capacity + 8, '#');
        ASSERT_EQ(ch.Get_StringDescriptor(h, buf.data(), c.capacity, c.length, 3), 0);
        EXPECT_EQ(std::string(buf.data()), c.expected);
        for (std::size_t i = c.capacity; i < buf.size(); ++i) EXPECT_EQ(buf[i], '#') << "overrun at " << i;
    }
    const auto& e = driver.Journal().back();
    EXPECT_EQ(WordsOf(e), (Words{500, 3, 3, 0x0409, 0, 0}));
    EXPECT_EQ(e.outCapacity, 2u * 24u);

    // The language the device lists first is the one asked for.
    chip->languages = {0x0407, 0x0409};
    char out[8];
    ASSERT_EQ(ch.Get_StringDescriptor(h, out, sizeof out, 4, 1), 0);
    EXPECT_EQ(driver.Journal().back().Index(), 0x0407u);

    // No language at all: the language list is too short.
    chip->languages.clear();
    EXPECT_EQ(ch.Get_StringDescriptor(h, out, sizeof out, 4, 1), -1);
    EXPECT_EQ(out[0], '\0');
}

}  // namespace
