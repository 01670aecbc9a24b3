// The SetupAPI adapter under Wine, which has no USB host controllers: the
// sets are made and are empty, and every per-entry call says so.
#include <gtest/gtest.h>

#include "platform/win32/Win32SetupApi.h"
#include "platform/win32/WindowsApi.h"

#include <initguid.h>
#include <setupapi.h>
#include <usbiodef.h>

namespace {

using platform::win32::Win32SetupApi;

platform::Guid FromNative(const GUID& g) {
    platform::Guid out;
    out.data1 = g.Data1;
    out.data2 = g.Data2;
    out.data3 = g.Data3;
    for (int i = 0; i < 8; ++i) out.data4[i] = g.Data4[i];
    return out;
}

TEST(Win32SetupApi, InterfaceClassesAreTheSystemsOwn) {
    EXPECT_EQ(FromNative(GUID_DEVINTERFACE_USB_HOST_CONTROLLER), platform::kGuidDevInterfaceUsbHostController);
    EXPECT_EQ(FromNative(GUID_DEVINTERFACE_USB_HUB), platform::kGuidDevInterfaceUsbHub);
}

TEST(Win32SetupApi, HostControllerSetIsEmptyUnderWine) {
    Win32SetupApi setupApi;
    for (const platform::Guid& cls : {platform::kGuidDevInterfaceUsbHostController, platform::kGuidDevInterfaceUsbHub}) {
        std::uint32_t error = 12345;
        auto set = setupApi.GetClassDevs(cls, platform::kDigcfPresent | platform::kDigcfDeviceInterface, &error);
        ASSERT_NE(set, nullptr);
        EXPECT_EQ(error, 0u);

        const platform::SetupCallResult first = set->EnumInterface(0);
        EXPECT_FALSE(first.ok);
        EXPECT_EQ(first.error, platform::kErrorNoMoreItems);

        const platform::InterfaceDetailResult detail = set->GetInterfaceDetail(0);
        EXPECT_FALSE(detail.ok);
        EXPECT_FALSE(detail.outOfMemory);
        EXPECT_EQ(detail.error, platform::kErrorNoMoreItems);
        EXPECT_TRUE(detail.devicePath.empty());

        const platform::DevicePropertyResult property =
            set->GetDeviceRegistryProperty(0, platform::kSpdrpDeviceDesc, 256);
        EXPECT_FALSE(property.ok);
        EXPECT_EQ(property.error, platform::kErrorNoMoreItems);
        EXPECT_TRUE(property.data.empty());

        const platform::PropChangeResult change = set->PropertyChange(0, platform::PropChangeScope::Global);
        EXPECT_FALSE(change.setParams.ok);
        EXPECT_FALSE(change.installerCalled);
        EXPECT_EQ(change.setParams.error, platform::kErrorNoMoreItems);
    }
}

}  // namespace
