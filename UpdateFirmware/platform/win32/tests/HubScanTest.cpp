// The hub access layer on the real Win32 ports. Wine has no USB host
// controllers, so a walk must end cleanly with no hub and a scan report none.
#include <gtest/gtest.h>

#include <memory>

#include "hubaccess/HubUtility.h"
#include "platform/win32/Win32Ports.h"

namespace {

TEST(HubScanOnThisSystem, NoHostControllerEndsTheWalkAndTheScanWithNoHub) {
    platform::win32::Win32Ports win32;
    hubaccess::CHubUtility utility(win32.Ports());
    hubaccess::DEV_LIST table;

    auto& hubDev = utility.m_USBLib.m_pHubDev;
    hubDev = std::make_unique<hubaccess::CVntlHubDev>(utility);
    hubDev->m_pDevList = &table;
    EXPECT_FALSE(utility.GetDeviceList());
    EXPECT_EQ(hubDev->m_DriverNum, 0);

    EXPECT_EQ(utility.m_USBLib.OpenDev(&table, 0), -4);
    EXPECT_EQ(table.nCount, 0);
}

}  // namespace
