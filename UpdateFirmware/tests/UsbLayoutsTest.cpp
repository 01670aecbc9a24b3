// The USB request layouts against the simulated stack, whose encoders use
// their own literal offsets, and the length rules of the name blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "hubaccess/UsbLayouts.h"
#include "platform/Win32Errors.h"
#include "sim/FilterDriver.h"
#include "sim/Scheduler.h"
#include "sim/UsbStack.h"

namespace ha = hubaccess;
namespace ul = hubaccess::usblayout;
using platform::Handle;
using sim::UsbStack;
using Bytes = std::vector<ha::BYTE>;

namespace {

class UsbLayoutsTest : public ::testing::Test {
protected:
    UsbLayoutsTest() {
        sim::HostControllerSpec c;
        c.interfacePath = L"\\\\?\\pci#ven_8086&dev_a12f#3&1&0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
        c.rootPorts = 4;
        host = usb.AddHostController(c);
        hub = usb.AddDevice(host.rootHub, 3, UsbStack::Hub(0x7A7D, 0x3262, 0x0300, 7));
        root = usb.CreateFile(L"\\\\.\\" + usb.Name(host.rootHub), platform::DeviceOpenMode::HubQuery).handle;
    }

    // Sends `block` as input and output; returns the bytes that came back.
    std::uint32_t Send(Handle h, std::uint32_t code, Bytes& block, bool input = true) {
        const auto size = static_cast<std::uint32_t>(block.size());
        const auto r = usb.DeviceIoControl(h, code, input ? block.data() : nullptr, input ? size : 0, block.data(), size);
        EXPECT_TRUE(r.Succeeded());
        return r.bytesReturned;
    }

    sim::Scheduler sched;
    sim::FilterDriver filter{sched};
    UsbStack usb{sched, filter};
    UsbStack::HostNodes host;
    int hub = -1;
    Handle root;
};

TEST_F(UsbLayoutsTest, ConnectionInformationInBothLayouts) {
    for (const auto& [code, size, ex] : {std::tuple{ul::kIoctlGetNodeConnectionInformationEx, ul::kConnInfoExSize, true},
                                         std::tuple{ul::kIoctlGetNodeConnectionInformation, ul::kConnInfoSize, false}}) {
        SCOPED_TRACE(size);
        Bytes block = ul::EncodeConnectionInfoRequest(3, size);
        ASSERT_EQ(block.size(), size);
        const std::uint32_t got = Send(root, code, block);
        ul::ConnectionInfo info;
        ASSERT_TRUE(ul::DecodeConnectionInfo(block.data(), got, ex, &info));
        EXPECT_EQ(info.connectionIndex, 3u);
        EXPECT_EQ(info.connectionStatus, ul::kDeviceConnected);
        EXPECT_TRUE(info.deviceIsHub);
        EXPECT_EQ(info.speed, ex ? 3 : 0);
        EXPECT_EQ(info.currentConfigurationValue, 1);
        EXPECT_NE(info.deviceAddress, 0);
        EXPECT_EQ(info.numberOfOpenPipes, 1u);
        const ul::DeviceDescriptorFields d = ul::DecodeDeviceDescriptor(info.deviceDescriptor.data());
        EXPECT_EQ(d.idVendor, 0x7A7D);
        EXPECT_EQ(d.idProduct, 0x3262);
        EXPECT_EQ(d.bcdUSB, 0x0300);
        // One byte short of the fixed part is no reply at all.
        EXPECT_FALSE(ul::DecodeConnectionInfo(block.data(), ul::kConnInfoFixedSize - 1, ex, &info));
    }
}

TEST_F(UsbLayoutsTest, NodeInformationGivesThePortCount) {
    const Handle h = usb.CreateFile(L"\\\\?\\" + usb.Name(hub), platform::DeviceOpenMode::HubQuery).handle;
    Bytes block(ul::kNodeInfoSize, 0);
    const std::uint32_t got = Send(h, ul::kIoctlGetNodeInformation, block);
    ha::BYTE ports = 0;
    ASSERT_TRUE(ul::DecodeNodeInfoPorts(block.data(), got, &ports));
    EXPECT_EQ(ports, 7);
    EXPECT_FALSE(ul::DecodeNodeInfoPorts(block.data(), ul::kNodeInfoNumberOfPorts, &ports));
}

TEST_F(UsbLayoutsTest, ConnectionNameProbeAndRead) {
    const std::wstring name = usb.Name(hub);
    Bytes probe = ul::EncodeConnectionNameRequest(3, ul::kConnNameFixedSize);
    ASSERT_EQ(probe.size(), ul::kConnNameFixedSize);
    const ha::ULONG actual = ul::DecodeConnectionNameLength(probe.data(), Send(root, ul::kIoctlGetNodeConnectionName, probe));
    EXPECT_EQ(actual, 8 + 2 * (name.size() + 1));
    ASSERT_TRUE(ul::IsValidConnectionNameLength(actual));

    Bytes block = ul::EncodeConnectionNameRequest(3, actual);
    const std::uint32_t got = Send(root, ul::kIoctlGetNodeConnectionName, block);
    EXPECT_EQ(ul::DecodeConnectionName(block.data(), got), name);
    // Only the bytes returned count: 8 + 6 bytes hold three characters.
    EXPECT_EQ(ul::DecodeConnectionName(block.data(), 14), name.substr(0, 3));
    EXPECT_EQ(ul::DecodeConnectionName(block.data(), 8), L"");

    // A port without a hub reports the bare fixed part: no usable name.
    Bytes empty = ul::EncodeConnectionNameRequest(1, ul::kConnNameFixedSize);
    const ha::ULONG none = ul::DecodeConnectionNameLength(empty.data(), Send(root, ul::kIoctlGetNodeConnectionName, empty));
    EXPECT_EQ(none, 10u);
    EXPECT_FALSE(ul::IsValidConnectionNameLength(none));
    // A reply too short to hold ActualLength reads as 0.
    EXPECT_EQ(ul::DecodeConnectionNameLength(block.data(), 7), 0u);
}

TEST(UsbNameLengths, OnlyEvenLengthsWithinBoundsAreBelieved) {
    const std::pair<ha::ULONG, bool> connectionName[] = {{0, false},    {10, false},   {11, false}, {12, true},
                                                         {13, false},   {4096, true},  {4097, false},
                                                         {4098, false}, {0xFFFFFFFE, false}};
    for (const auto& [length, valid] : connectionName)
        EXPECT_EQ(ul::IsValidConnectionNameLength(length), valid) << length;
    const std::pair<ha::ULONG, bool> rootHubName[] = {{0, false}, {4, false},    {5, false},    {6, true},
                                                      {7, false}, {4096, true},  {4098, false}, {0x80000000, false}};
    for (const auto& [length, valid] : rootHubName) EXPECT_EQ(ul::IsValidRootHubNameLength(length), valid) << length;
}

TEST(UsbReplyDecoding, OnlyTheBytesReturnedAreRead) {
    const Bytes text{'H', 0, 'u', 0, 'b', 0, 0, 0, 'X', 0};
    EXPECT_EQ(ul::DecodeUtf16(text.data(), text.size()), L"Hub");
    EXPECT_EQ(ul::DecodeUtf16(text.data(), 5), L"Hu");  // the odd byte is no character

    // String descriptor 0 with one language, then string text without a NUL.
    ul::DescriptorRequestBlock block{};
    const Bytes language{4, 3, 0x09, 0x04};
    std::copy(language.begin(), language.end(), block.begin() + 12);
    ha::WORD id = 0;
    EXPECT_FALSE(ul::DecodeFirstLanguageId(block, 15, &id));
    ASSERT_TRUE(ul::DecodeFirstLanguageId(block, 16, &id));
    EXPECT_EQ(id, 0x0409);
    for (std::size_t i = 14; i < block.size(); i += 2) {
        block[i] = 'z';
        block[i + 1] = 0;
    }
    EXPECT_EQ(ul::DecodeStringDescriptor(block, 20), L"zzz");
    EXPECT_EQ(ul::DecodeStringDescriptor(block, 0xFFFFFFFF).size(), (ul::kDescReqSize - 14) / 2);
}

}  // namespace
