// The hub queries against the simulated USB stack: the root hub name with its
// length checks, string descriptors (language ID first), the descriptor texts
// of a port's device and the two text helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "HubUtilityMachine.h"
#include "hubaccess/UsbLayouts.h"

namespace ha = hubaccess;
namespace ul = hubaccess::usblayout;
using platform::Handle;
using sim::UsbStack;

namespace {

const std::wstring kControllerPath =
    L"\\\\?\\pci#ven_8086&dev_a12f&subsys_50071458&rev_31#3&11583659&0&a0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
const std::wstring kRootHubName = L"USB#ROOT_HUB30#4&2a5b1f0c&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

class UsbQueriesTest : public ::testing::Test {
protected:
    UsbQueriesTest() {
        sim::HostControllerSpec c;
        c.interfacePath = kControllerPath;
        c.rootHubName = kRootHubName;
        c.rootPorts = 4;
        host = m.usb.AddHostController(c);
        m.usb.ClearJournal();
    }

    Handle Open(const std::wstring& path) {
        return m.usb.CreateFile(path, platform::DeviceOpenMode::HubQuery).handle;
    }
    Handle Controller() { return Open(kControllerPath); }
    Handle RootHub() { return Open(L"\\\\.\\" + kRootHubName); }

    // A hub on `port` of the root hub with these string indexes, its texts
    // (index 1 serial, 2 manufacturer, 3 product) in US English.
    int AddHub(std::uint32_t port, std::uint8_t iManufacturer, std::uint8_t iProduct, std::uint8_t iSerial,
               const std::u16string& tag) {
        sim::UsbDeviceSpec s = UsbStack::Hub(0x7A7D, 0x3262, 0x0300, 4);
        s.iManufacturer = iManufacturer;
        s.iProduct = iProduct;
        s.iSerialNumber = iSerial;
        s.SetString(1, u"SN-" + tag);
        s.SetString(2, u"Maker-" + tag);
        s.SetString(3, u"Hub-" + tag);
        return m.usb.AddDevice(host.rootHub, port, s);
    }

    // The device descriptor of a port's device, from its connection information.
    std::vector<ha::BYTE> Descriptor(Handle hub, std::uint32_t port) {
        std::vector<ha::BYTE> block = ul::EncodeConnectionInfoRequest(port, ul::kConnInfoExSize);
        const auto size = static_cast<std::uint32_t>(block.size());
        const auto r = m.usb.DeviceIoControl(hub, ul::kIoctlGetNodeConnectionInformationEx, block.data(), size,
                                             block.data(), size);
        ul::ConnectionInfo info;
        EXPECT_TRUE(r.Succeeded() && ul::DecodeConnectionInfo(block.data(), r.bytesReturned, true, &info));
        return {info.deviceDescriptor.begin(), info.deviceDescriptor.end()};
    }

    // Requests the stack answered with this code since the journal was cleared.
    std::vector<sim::UsbEvent> Requests(std::uint32_t code) const {
        std::vector<sim::UsbEvent> out;
        for (const auto& e : m.usb.Journal())
            if (e.kind == sim::UsbEventKind::Ioctl && e.ioctl == code) out.push_back(e);
        return out;
    }

    // The records of `method`, each as "<kind>|<text after the line number>".
    std::vector<std::wstring> Records(const std::wstring& method) const {
        std::vector<std::wstring> out;
        for (const auto& r : m.sink.Records()) {
            const std::size_t head = r.find(L"::");
            if (head == std::wstring::npos || r.compare(head + 2, method.size() + 1, method + L":") != 0) continue;
            const std::size_t text = r.find(L": ", head + 3 + method.size());
            out.push_back(r.substr(2, head - 2) + L"|" + r.substr(text + 2));
        }
        return out;
    }

    testing_machine::HubUtilityMachine m;
    ha::CHubUtility& u = *m.utility;
    UsbStack::HostNodes host;
};

using Texts = std::vector<std::wstring>;

TEST_F(UsbQueriesTest, RootHubNameIsProbedThenRead) {
    u.strRootHubName = L"previous";
    ASSERT_EQ(u.GetRootHubName(Controller()), ha::TRUE);
    EXPECT_EQ(u.strRootHubName, kRootHubName);

    const auto calls = Requests(ul::kIoctlGetRootHubName);
    ASSERT_EQ(calls.size(), 2u);
    const ha::DWORD actual = 4 + 2 * static_cast<ha::DWORD>(kRootHubName.size() + 1);
    EXPECT_EQ(calls[0].bytesReturned, ul::kRootHubNameFixedSize);
    EXPECT_EQ(calls[1].bytesReturned, actual);
    EXPECT_TRUE(calls[0].input.empty());
    EXPECT_TRUE(Records(L"CHubUtility::GetRootHubName").empty());
}

TEST_F(UsbQueriesTest, RootHubNameFailuresKeepThePreviousName) {
    struct Case {
        const char* what;
        sim::UsbFault fault;
        std::size_t requests;
        std::wstring record;
    };
    auto fail = [](int skip) {
        sim::UsbFault f;
        f.ioctl = ul::kIoctlGetRootHubName;
        f.skip = skip;
        return f;
    };
    auto length = [](ha::DWORD value) {
        sim::UsbFault f;
        f.ioctl = ul::kIoctlGetRootHubName;
        f.kind = sim::UsbFaultKind::ActualLength;
        f.value = value;
        return f;
    };
    const Case cases[] = {
        {"probe fails", fail(0), 1, L"ERR|GetRootHubName: Get ActualLength Fail , dwErrorCode 31"},
        {"read fails", fail(1), 2, L"ERR|GetRootHubName: Get Root Hub Name Fail , dwErrorCode 31"},
        {"odd length", length(141), 1, L"ERR|GetRootHubName: ActualLength[141] refused , dwErrorCode 13"},
        {"below the fixed part", length(4), 1, L"ERR|GetRootHubName: ActualLength[4] refused , dwErrorCode 13"},
        {"zero", length(0), 1, L"ERR|GetRootHubName: ActualLength[0] refused , dwErrorCode 13"},
        {"above the bound", length(4098), 1, L"ERR|GetRootHubName: ActualLength[4098] refused , dwErrorCode 13"},
        {"huge", length(0xFFFFFFFE), 1,
         L"ERR|GetRootHubName: ActualLength[4294967294] refused , dwErrorCode 13"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m.usb.ClearFaults();
        m.usb.ClearJournal();
        m.sink.Clear();
        m.usb.AddFault(c.fault);
        u.strRootHubName = L"previous";
        EXPECT_EQ(u.GetRootHubName(Controller()), ha::FALSE);
        EXPECT_EQ(u.strRootHubName, L"previous");
        EXPECT_EQ(Requests(ul::kIoctlGetRootHubName).size(), c.requests);
        EXPECT_EQ(Records(L"CHubUtility::GetRootHubName"), Texts{c.record});
    }
}

TEST_F(UsbQueriesTest, RootHubNameParsesOnlyTheBytesReturned) {
    // A short but well-formed length: the read returns 12 bytes, 4 characters
    // of the name without its NUL; nothing after them is read.
    sim::UsbFault f;
    f.ioctl = ul::kIoctlGetRootHubName;
    f.kind = sim::UsbFaultKind::ActualLength;
    f.value = 12;
    m.usb.AddFault(f);
    ASSERT_EQ(u.GetRootHubName(Controller()), ha::TRUE);
    EXPECT_EQ(u.strRootHubName, L"USB#");

    // The largest length believed: a block of 4096 bytes, of which the
    // stack fills only the real name.
    f.value = ul::kMaxNameBlockSize;
    m.usb.ClearFaults();
    m.usb.AddFault(f);
    ASSERT_EQ(u.GetRootHubName(Controller()), ha::TRUE);
    EXPECT_EQ(u.strRootHubName, kRootHubName);
}

TEST_F(UsbQueriesTest, RootHubNamePassesThroughTheAnsiCodePage) {
    sim::HostControllerSpec c;
    c.interfacePath = L"\\\\?\\pci#ven_1b21&dev_1242#4&1&0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
    c.rootHubName = L"USB#ROOT_HUB30#\u00e9\u4e2d#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
    m.usb.AddHostController(c);
    ASSERT_EQ(u.GetRootHubName(Open(c.interfacePath)), ha::TRUE);
    EXPECT_EQ(u.strRootHubName, L"USB#ROOT_HUB30#??#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
    EXPECT_EQ(u.WideStrToMultiStr(L"Hub \u00c4rger"), L"Hub ?rger");
}

TEST_F(UsbQueriesTest, StringDescriptorAsksForTheLanguageFirst) {
    sim::UsbDeviceSpec s = UsbStack::Hub(0x7A7D, 0x3262, 0x0300, 4);
    s.languages = {0x0407, 0x0409};
    s.SetString(2, u"Hersteller", 0x0407);
    s.SetString(2, u"Maker", 0x0409);
    m.usb.AddDevice(host.rootHub, 3, s);

    ha::USHORT language = 0;
    EXPECT_EQ(u.GetStringDescriptor(RootHub(), 3, &language, 2), L"Hersteller");
    EXPECT_EQ(language, 0x0407);

    const auto calls = Requests(ul::kIoctlGetDescriptorFromNodeConnection);
    ASSERT_EQ(calls.size(), 2u);
    const std::vector<ha::BYTE> first{3, 0, 0, 0, 0x80, 0x06, 0x00, 0x03, 0x00, 0x00, 0x04, 0x00};
    const std::vector<ha::BYTE> second{3, 0, 0, 0, 0x80, 0x06, 0x02, 0x03, 0x07, 0x04, 0xFF, 0x00};
    for (const auto& [call, header] : {std::pair{calls[0], first}, std::pair{calls[1], second}}) {
        ASSERT_EQ(call.input.size(), ul::kDescReqSize);
        EXPECT_EQ(std::vector<ha::BYTE>(call.input.begin(), call.input.begin() + 12), header);
        // The block is zeroed before each request.
        EXPECT_EQ(std::count(call.input.begin() + 12, call.input.end(), 0), 2048);
    }
}

TEST_F(UsbQueriesTest, StringDescriptorFailures) {
    sim::UsbDeviceSpec noLanguages = UsbStack::Hub(0x7A7D, 0x3262, 0x0300, 4);
    noLanguages.languages.clear();
    m.usb.AddDevice(host.rootHub, 1, noLanguages);
    AddHub(2, 2, 3, 1, u"B");
    struct Case {
        std::uint32_t port;
        ha::BYTE index;
        std::size_t requests;
        std::wstring record;
    };
    const Case cases[] = {
        {1, 2, 1,
         L"ERR|GetStringDescriptor : IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION Get uspLanguageID Fail , "
         L"dwErrorCode 31"},
        {2, 7, 2, L"ERR|GetStringDescriptor : IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION Fail , dwErrorCode 31"},
        {4, 2, 1,
         L"ERR|GetStringDescriptor : IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION Get uspLanguageID Fail , "
         L"dwErrorCode 1167"},
    };
    const Handle root = RootHub();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        m.usb.ClearJournal();
        m.sink.Clear();
        ha::USHORT language = 0;
        EXPECT_EQ(u.GetStringDescriptor(root, c.port, &language, c.index), L"");
        EXPECT_EQ(Requests(ul::kIoctlGetDescriptorFromNodeConnection).size(), c.requests);
        EXPECT_EQ(Records(L"CHubUtility::GetStringDescriptor"), Texts{c.record});
    }
}

TEST_F(UsbQueriesTest, DeviceDescriptorReadsOnlyTheKnownLayoutAndClearsStrings) {
    AddHub(1, 2, 3, 1, u"A");  // the only layout whose strings are read
    sim::UsbDeviceSpec usb2 = UsbStack::Hub(0x05E3, 0x0610, 0x0210, 4);
    usb2.iManufacturer = 1;
    usb2.iProduct = 2;
    usb2.iSerialNumber = 3;
    usb2.bcdDevice = 0x9A0B;
    usb2.SetString(1, u"Other maker");
    m.usb.AddDevice(host.rootHub, 2, usb2);
    AddHub(3, 2, 0, 0, u"C");  // manufacturer only

    const Handle root = RootHub();
    struct Case {
        std::uint32_t port;
        std::size_t requests;
        std::wstring bcdUSB, vid, pid, bcdDevice, manufacturer, product, serial;
        Texts records;
    };
    const Case cases[] = {
        {1, 6, L"0300", L"7a7d", L"3262", L"0100", L"Maker-A", L"Hub-A", L"SN-A",
         {L"MSG|bcdUSB 0300", L"MSG|wVendorID 7a7d ", L"MSG|wProductID 3262 ", L"MSG|iManufacturer Maker-A",
          L"MSG|iProduct Hub-A", L"MSG|iSerialNumber SN-A"}},
        {2, 0, L"0210", L"05e3", L"0610", L"9a0b", L"", L"", L"",
         {L"MSG|bcdUSB 0210", L"MSG|wVendorID 05e3 ", L"MSG|wProductID 0610 "}},
        {3, 2, L"0300", L"7a7d", L"3262", L"0100", L"Maker-C", L"", L"",
         {L"MSG|bcdUSB 0300", L"MSG|wVendorID 7a7d ", L"MSG|wProductID 3262 ", L"MSG|iManufacturer Maker-C"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        const std::vector<ha::BYTE> descriptor = Descriptor(root, c.port);
        m.usb.ClearJournal();
        m.sink.Clear();
        u.GetDeviceDescriptor(root, c.port, descriptor.data());
        EXPECT_EQ(Requests(ul::kIoctlGetDescriptorFromNodeConnection).size(), c.requests);
        EXPECT_EQ(u.strbcdUSB, c.bcdUSB);
        EXPECT_EQ(u.strVID, c.vid);
        EXPECT_EQ(u.strPID, c.pid);
        EXPECT_EQ(u.strbcdDevice, c.bcdDevice);
        EXPECT_EQ(u.strIManufacture, c.manufacturer);
        EXPECT_EQ(u.strIProduct, c.product);
        EXPECT_EQ(u.strISerialNumber, c.serial);
        EXPECT_EQ(Records(L"CHubUtility::GetDeviceDescriptor"), c.records);
    }
}

// A code page whose conversion fails with the system's error.
struct FailingCodePage : platform::CodePage {
    std::wstring AnsiRoundTrip(const std::wstring&) override {
        throw std::system_error(1113, std::system_category(), "WideCharToMultiByte");  // no mapping
    }
    std::wstring ThreadAnsiToWide(const std::string&) override {
        throw std::system_error(1113, std::system_category(), "MultiByteToWideChar");
    }
};

TEST_F(UsbQueriesTest, FailedConversionGivesAnEmptyTextAndTheSystemError) {
    FailingCodePage failing;
    platform::Ports ports = m.ports;
    ports.codePage = &failing;
    ha::CHubUtility other(ports);
    m.sink.Clear();
    EXPECT_EQ(other.WideStrToMultiStr(L"USB#ROOT_HUB30"), L"");
    EXPECT_EQ(Records(L"CHubUtility::WideStrToMultiStr"), Texts{L"ERR|WideStrToMultiStr , dwErrorCode 1113"});
}

TEST_F(UsbQueriesTest, HexTextParsing) {
    const std::pair<std::wstring, ha::DWORD> cases[] = {
        {L"", 0},
        {L"10", 16},
        {L"1A", 26},
        {L"123456789", 0x23456789},  // the first of nine digits falls off
        {L"FFFFFFFF", 0xFFFFFFFF},
        {L"00000010", 16},
        {L"1a", 26},
        {L"12G4", 0x12},  // reading stops at a non-digit
    };
    for (const auto& [text, value] : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(u.vCharToHex(text), value);
    }
}

}  // namespace
