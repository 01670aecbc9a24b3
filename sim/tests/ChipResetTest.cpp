// The simulated chip's CPU reset: power-on registers, the image it chooses to
// run and the version it then reports, the "old version K times" option, and
// the way its interfaces leave and come back through the USB stack.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hubaccess/FilterRequest.h"
#include "sim/FilterDriver.h"
#include "sim/HubChip.h"
#include "sim/Scheduler.h"
#include "sim/SimSystem.h"
#include "sim/UsbStack.h"

namespace {

using sim::HubChip;
using Version = HubChip::Version;

const Version kOld{0x14, 0x04, 0x15, 0x03, 0xE5, 0x00};
const Version kNew0{0x15, 0x01, 0x02, 0x03, 0xE5, 0x00};
const Version kNew1{0x15, 0x01, 0x02, 0x03, 0xE5, 0x01};

std::vector<std::uint8_t> Image(std::size_t length, std::uint8_t seed) {
    std::vector<std::uint8_t> image(length);
    for (std::size_t i = 0; i < length; ++i) image[i] = static_cast<std::uint8_t>(seed + i * 7);
    return image;
}

Version VersionOf(const HubChip& chip) {
    Version v{};
    for (int i = 0; i < 6; ++i) v[i] = chip.Reg(HubChip::kVersionBlock + i);
    return v;
}

bool VersionBlockValid(const HubChip& chip) {
    const std::uint8_t b8 = chip.Reg(HubChip::kVersionBlock + 8);
    return (b8 == 1 || b8 == 2) && chip.Reg(HubChip::kVersionBlock + 9) == 0 &&
           chip.Reg(HubChip::kVersionBlock + 10) == 7;
}

TEST(ChipResetTest, CrcAndFrameHelpers) {
    const std::string text = "123456789";
    EXPECT_EQ(HubChip::Crc32(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0xCBF43926u);
    const auto area = HubChip::FirmwareAreaFor({0x10, 0xF0, 0x05}, 9);
    EXPECT_EQ(area, (std::vector<std::uint8_t>{3, 0, 0x10, 0xF0, 0x05, 9, 0x05}));
}

TEST(ChipResetTest, RunsTheFirstValidImageAndReportsItsVersion) {
    const auto image0 = Image(0x5000, 1), image1 = Image(0x6000, 2);
    struct Case {
        const char* name;
        std::function<void(HubChip&)> flash;
        int running;
        bool valid;
        Version version;
    };
    const auto put = [](HubChip& c, int n, const std::vector<std::uint8_t>& area) { c.SetFirmwareArea(n, 0, area); };
    const Case cases[] = {
        {"image 0 valid", [&](HubChip& c) { put(c, 0, HubChip::FirmwareAreaFor(image0)); put(c, 1, HubChip::FirmwareAreaFor(image1)); },
         0, true, kNew0},
        {"image 0 with a wrong sum",
         [&](HubChip& c) {
             auto area = HubChip::FirmwareAreaFor(image0);
             area.back() ^= 1;
             put(c, 0, area);
             put(c, 1, HubChip::FirmwareAreaFor(image1));
         },
         1, true, kNew1},
        {"image 0 too short",
         [&](HubChip& c) {
             put(c, 0, HubChip::FirmwareAreaFor(Image(0x4FFF, 1)));
             put(c, 1, HubChip::FirmwareAreaFor(image1));
         },
         1, true, kNew1},
        {"image 0 blank (length 0xFFFF)", [&](HubChip& c) { put(c, 1, HubChip::FirmwareAreaFor(image1)); }, 1, true, kNew1},
        {"longest image 0xFFFE",
         [&](HubChip& c) {
             const auto longest = Image(0xFFFE, 3);
             c.RegisterImageVersion(longest, kNew0);
             put(c, 0, HubChip::FirmwareAreaFor(longest));
         },
         0, true, kNew0},
        {"no valid image", [](HubChip&) {}, -1, false, Version{}},
        {"valid image nobody registered", [&](HubChip& c) { put(c, 0, HubChip::FirmwareAreaFor(Image(0x5000, 9))); },
         0, false, Version{}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HubChip chip;
        chip.RegisterImageVersion(image0, kNew0);
        chip.RegisterImageVersion(image1, kNew1);
        c.flash(chip);
        ASSERT_TRUE(VersionBlockValid(chip));
        chip.OnCpuReset();
        EXPECT_EQ(chip.RunningImage(), c.running);
        EXPECT_EQ(VersionBlockValid(chip), c.valid);
        EXPECT_EQ(VersionOf(chip), c.version);
    }
}

TEST(ChipResetTest, RegistersReturnToPowerOnValues) {
    HubChip chip;
    chip.SetReg(0x5820, 0x25);
    chip.SetReg(HubChip::kCpuStartPosition, 0x12);
    chip.SetReg(HubChip::kSignatureMark, 0x5A);
    chip.SetReg(HubChip::kSignatureIndex, 0x31);
    chip.eraseNeverFinishes = true;
    chip.OnSpiBlockErase(0, 0);
    ASSERT_EQ(chip.Reg(HubChip::kEraseStatus), 0);
    chip.SetConfigBlock(0, std::vector<std::uint8_t>(256, 0x11));

    chip.OnCpuReset();
    EXPECT_EQ(chip.cpuResets, 1);
    EXPECT_EQ(chip.Reg(0x5820), 0x25);  // no modelled reset value: kept
    EXPECT_EQ(chip.Reg(HubChip::kCpuStartPosition), 0);
    EXPECT_EQ(chip.Reg(HubChip::kSignatureMark), 0xFF);
    EXPECT_EQ(chip.Reg(HubChip::kSignatureIndex), 0xFF);
    EXPECT_EQ(chip.Reg(HubChip::kEraseStatus), 1);
    EXPECT_FALSE(chip.EraseBusy());
    EXPECT_EQ(chip.ConfigBlock(0)[0], 0x11);  // the abandoned erase erased nothing
}

TEST(ChipResetTest, OldVersionKeptForTheGivenNumberOfResets) {
    HubChip chip;
    const auto image = Image(0x5000, 4);
    chip.RegisterImageVersion(image, kNew0);
    chip.SetFirmwareArea(0, 0, HubChip::FirmwareAreaFor(image));
    chip.keepOldVersionResets = 2;
    chip.SetReg(HubChip::kSignatureMark, 0x5A);
    for (int reset = 1; reset <= 3; ++reset) {
        SCOPED_TRACE(reset);
        chip.OnCpuReset();
        EXPECT_EQ(chip.Reg(HubChip::kSignatureMark), 0xFF);
        EXPECT_TRUE(VersionBlockValid(chip));
        EXPECT_EQ(VersionOf(chip), reset <= 2 ? kOld : kNew0);
        EXPECT_EQ(chip.RunningImage(), reset <= 2 ? -1 : 0);
    }
}

// Through the filter driver and the USB stack.
struct StackRig {
    StackRig() {
        registry.SetMultiString(sim::UsbStack::kUsbClassKey, L"UpperFilters", {L"VntlFilter"});
        sim::HostControllerSpec host;
        host.interfacePath = L"\\\\?\\pci#ven_8086&dev_a12f&subsys_00000000&rev_01#3&11583659&0&10"
                             L"#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
        root = usb.AddHostController(host).rootHub;
        chip->SetFirmwareArea(0, 0, HubChip::FirmwareAreaFor(image));
        chip->RegisterImageVersion(image, kNew0);
    }
    int Add(std::uint32_t port, std::uint16_t bcdUSB, std::function<void(sim::UsbDeviceSpec&)> tweak = {}) {
        sim::UsbDeviceSpec spec = sim::UsbStack::ChipInterface(chip, bcdUSB);
        if (tweak) tweak(spec);
        return usb.AddDevice(root, port, spec);
    }
    // Sends one new-layout write on `object`.
    bool Write(const std::wstring& object, std::uint32_t command, std::uint32_t value, std::uint32_t index) {
        const auto h = usb.CreateFile(object, platform::DeviceOpenMode::Filter).handle;
        if (!h.IsValid()) return false;
        hubaccess::FILTER_REQUEST req;
        req.dwCommand = command;
        req.dwValue = value;
        req.dwIndex = index;
        std::vector<std::uint8_t> in(25, 0);
        const auto block = req.Encode();
        std::copy(block.begin(), block.end(), in.begin());
        const bool ok = usb.DeviceIoControl(h, hubaccess::IOCTL_FILTER_WRITE, in.data(), 25, nullptr, 0).Succeeded();
        usb.CloseHandle(h);
        return ok;
    }

    sim::Scheduler sched;
    sim::SimRegistry registry;
    sim::FilterDriver driver{sched};
    sim::UsbStack usb{sched, driver, &registry};
    std::shared_ptr<HubChip> chip = std::make_shared<HubChip>(&sched);
    std::vector<std::uint8_t> image = Image(0x5000, 5);
    int root = -1;
};

TEST(ChipResetTest, ResetByCommandOrRegisterComesBackWithNewObjectNames) {
    for (const bool byRegister : {false, true}) {
        SCOPED_TRACE(byRegister ? "register path" : "command 0x54");
        StackRig r;
        const int u3 = r.Add(1, 0x0300), u2 = r.Add(2, 0x0210);
        const std::wstring o3 = r.usb.FilterObjectName(u3), o2 = r.usb.FilterObjectName(u2);
        const std::uint64_t t0 = r.sched.MonotonicMs();
        if (byRegister) {
            EXPECT_TRUE(r.Write(o3, hubaccess::CMD_REG_WRITE, 0, HubChip::kCpuStartPosition));
            EXPECT_FALSE(r.Write(o3, hubaccess::CMD_REG_WRITE, 1, HubChip::kCpuReset));  // never answered
        } else {
            EXPECT_TRUE(r.Write(o3, hubaccess::CMD_CPU_RESET, 0, 0));
        }
        EXPECT_EQ(r.chip->cpuResets, 1);
        EXPECT_EQ(VersionOf(*r.chip), kNew0);
        EXPECT_FALSE(r.usb.IsPresent(u3));
        EXPECT_FALSE(r.usb.IsPresent(u2));
        EXPECT_FALSE(r.usb.CreateFile(o3, platform::DeviceOpenMode::Filter).handle.IsValid());

        r.sched.Sleep(static_cast<std::uint32_t>(t0 + 1500 - r.sched.MonotonicMs()));
        ASSERT_TRUE(r.usb.IsPresent(u3) && r.usb.IsPresent(u2));
        EXPECT_EQ(r.usb.Parent(u3), r.root);
        EXPECT_NE(r.usb.FilterObjectName(u3), o3);
        EXPECT_NE(r.usb.FilterObjectName(u2), o2);
        EXPECT_TRUE(r.usb.CreateFile(r.usb.FilterObjectName(u3), platform::DeviceOpenMode::Filter).handle.IsValid());
    }
}

TEST(ChipResetTest, ComesBackLateOrNever) {
    StackRig r;
    const int late = r.Add(1, 0x0300, [](sim::UsbDeviceSpec& s) { s.restartDelayMs = 30000; });
    r.chip->OnCpuReset();
    r.sched.Sleep(29999);
    EXPECT_FALSE(r.usb.IsPresent(late));
    r.sched.Sleep(1);
    EXPECT_TRUE(r.usb.IsPresent(late));

    StackRig n;
    const int gone = n.Add(1, 0x0300, [](sim::UsbDeviceSpec& s) { s.neverReturns = true; });
    n.chip->OnCpuReset();
    n.sched.Sleep(3'600'000);
    EXPECT_FALSE(n.usb.IsPresent(gone));
}

}  // namespace
