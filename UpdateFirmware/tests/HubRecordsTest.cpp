// The hub records: what the two presets clear and what they must leave for
// the workers, and the position index.
#include <gtest/gtest.h>

#include "HubUtilityMachine.h"
#include "hubaccess/HubRecords.h"

namespace ha = hubaccess;

namespace {

// Every field of a row set to something a preset would have to change.
void FillRow(ha::DEV_LIST_ITEM& r, int i) {
    const std::wstring t = L"x" + std::to_wstring(i);
    r.m_ucTargetNumber = static_cast<ha::BYTE>(i);
    r.m_ucPortNumber = 3;
    r.m_ucCompanionPortNumber = 4;
    r.m_ucPositionIndex = -7;
    r.m_strParentHubName = r.m_strCompanionParentHubName = r.m_strObjectName = r.m_strVID = t;
    r.m_strPID30 = r.m_strPID20 = r.m_strSN = r.m_strManufacturer = r.m_strProduct = t;
    r.m_strBcdDevice = r.m_strBcdUSB = r.m_strCompanionBcdUSB = r.m_strFWVersion = t;
    r.m_strDriverName = r.m_strUSBType = t;
    r.m_ucConfigTable.fill(0x5C);
    r.m_ucHubDepth = 2;
    r.m_position = ha::HubPosition{t, {3}};
    r.m_bConfigResult = r.m_bUpdateFWResult = r.m_bReloadFWResult = r.m_bChkFWResult = r.m_bExportResult = 1;
}

TEST(HubRecordsTest, ClearPrivateDataResetsTheScanFieldsOfRowsZeroToSeven) {
    testing_machine::HubUtilityMachine m;
    ha::CVntlHubDev& dev = m.HubDev();
    for (int i = 0; i < ha::kDevListCapacity; ++i) FillRow(m.devList.rows[i], i);
    m.devList.nCount = 5;
    dev.ucListIndex = 4;
    dev.m_strDescPID = dev.m_strDescSN = dev.m_strDescBcdUSB = L"old";

    dev.vClearPrivateData();

    EXPECT_EQ(m.devList.nCount, 0);
    EXPECT_EQ(dev.ucListIndex, 0);
    EXPECT_TRUE(dev.m_strDescPID.empty() && dev.m_strDescSN.empty() && dev.m_strDescBcdUSB.empty());
    EXPECT_TRUE(m.HasRecord(L"MSG", L"CVntlHubDev::vInitialPrivateData", L"  Clear  Descriptor"));
    for (int i = 0; i < ha::kDevListRowsUsed; ++i) {
        SCOPED_TRACE(i);
        const ha::DEV_LIST_ITEM& r = m.devList.rows[i];
        EXPECT_EQ(r.m_ucTargetNumber, 0xFF);
        for (const auto* s : {&r.m_strPID30, &r.m_strPID20, &r.m_strSN, &r.m_strProduct}) EXPECT_EQ(*s, L"----");
        for (const auto* s : {&r.m_strVID, &r.m_strManufacturer, &r.m_strBcdDevice, &r.m_strFWVersion, &r.m_strUSBType,
                              &r.m_strParentHubName, &r.m_strObjectName, &r.m_strBcdUSB, &r.m_strCompanionBcdUSB})
            EXPECT_TRUE(s->empty());
        EXPECT_EQ(r.m_ucHubDepth, 0);
        EXPECT_TRUE(r.m_position.empty());  // a cleared row is found by no position
        // Kept for the workers.
        EXPECT_EQ(r.m_ucPortNumber, 3);
        EXPECT_EQ(r.m_ucCompanionPortNumber, 4);
        EXPECT_EQ(r.m_ucPositionIndex, -7);
        EXPECT_EQ(r.m_strCompanionParentHubName, L"x" + std::to_wstring(i));
        EXPECT_EQ(r.m_strDriverName, L"x" + std::to_wstring(i));
        EXPECT_EQ(r.m_ucConfigTable[0xFF], 0x5C);
        EXPECT_EQ(r.m_bConfigResult + r.m_bUpdateFWResult + r.m_bReloadFWResult + r.m_bChkFWResult + r.m_bExportResult, 5);
    }
    EXPECT_EQ(m.devList.rows[8].m_ucTargetNumber, 8);  // beyond the rows in use
    EXPECT_EQ(m.devList.rows[8].m_strPID30, L"x8");
}

TEST(HubRecordsTest, InitHubStatusFlagsClearsOnlyTheWriteResults) {
    testing_machine::HubUtilityMachine m;
    ha::CVntlHubDev& dev = m.HubDev();
    for (int i = 0; i < ha::kDevListCapacity; ++i) FillRow(m.devList.rows[i], i);

    dev.vInitHubStatusFlags();

    for (int i = 0; i < ha::kDevListCapacity; ++i) {
        SCOPED_TRACE(i);
        const ha::DEV_LIST_ITEM& r = m.devList.rows[i];
        const int cleared = i < ha::kDevListRowsUsed ? 0 : 1;
        EXPECT_EQ(r.m_bConfigResult, cleared);
        EXPECT_EQ(r.m_bUpdateFWResult, cleared);
        EXPECT_EQ(r.m_bReloadFWResult, cleared);
        EXPECT_EQ(r.m_bChkFWResult, 1);
        EXPECT_EQ(r.m_bExportResult, 1);
        EXPECT_EQ(r.m_strFWVersion, L"x" + std::to_wstring(i));
    }
}

TEST(HubRecordsTest, PresetsWithoutAHubTableOnlyLog) {
    testing_machine::HubUtilityMachine m;
    ha::CVntlHubDev& dev = m.HubDev();
    dev.m_pDevList = nullptr;
    dev.ucListIndex = 3;
    dev.vClearPrivateData();
    dev.vInitHubStatusFlags();
    EXPECT_EQ(dev.ucListIndex, 0);
    EXPECT_TRUE(m.HasRecord(L"ERR", L"CVntlHubDev::vClearPrivateData", L" m_pDevList : 0 , dwErrorCode"));
}

TEST(HubRecordsTest, PositionIndexIsTheLowByteSigned) {
    struct Case {
        ha::BYTE depth, ports, port;
        int expected;
    };
    const Case cases[] = {
        {0, 4, 1, 5},
        {0, 8, 2, 10},
        {1, 4, 2, 10},     // same index, other place in the tree
        {3, 32, 1, -127},  // 129
        {0, 127, 0, 127},
        {255, 255, 255, -1},  // 65535
    };
    for (const Case& c : cases)
        EXPECT_EQ(ha::ComputePositionIndex(c.depth, c.ports, c.port), c.expected)
            << int(c.depth) << "," << int(c.ports) << "," << int(c.port);
}

TEST(HubRecordsTest, TextFieldsKeepAtMost259Characters) {
    EXPECT_EQ(ha::BoundedText(std::wstring(300, L'a')).size(), 259u);
    EXPECT_EQ(ha::BoundedText(std::string(259, 'a')).size(), 259u);
    EXPECT_EQ(ha::BoundedText(std::wstring(L"abc"), 3), L"ab");
    EXPECT_EQ(ha::BoundedText(std::wstring(L"abc"), 0), L"");
}

}  // namespace
