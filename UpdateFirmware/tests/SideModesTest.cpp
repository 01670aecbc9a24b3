#include <gtest/gtest.h>

#include "DialogMachine.h"

namespace {

using app::RowPart;
using testing_machine::DialogMachine;

std::string Text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(SideModes, VersionFileHoldsOneLinePerHubAndReplacesTheOldOne) {
    DialogMachine m;
    m.SetHubs(3);
    m.dlg->m_bOutputVerFile = 1;
    m.dlg->m_devList.rows[0].m_strFWVersion = L" 14041503e500 ";
    m.dlg->m_devList.rows[1].m_strFWVersion = L"120621000000";
    m.dlg->m_devList.rows[2].m_strFWVersion = L"abc";  // padded to 12 with zeros
    m.files.PutFile(L"C:\\Tool\\VTL262xVersion.txt", std::vector<std::uint8_t>(500, 'x'));

    EXPECT_EQ(m.dlg->outputFWVersionTask(), 0);
    const auto file = m.files.GetFile(L"C:\\Tool\\VTL262xVersion.txt");
    ASSERT_TRUE(file);
    EXPECT_EQ(Text(*file), "0:14041503e500\r\n1:120621000000\r\n2:000000000abc\r\n");
    EXPECT_EQ(m.dlg->m_devList.rows[0].m_strFWVersion, L"14041503e500");  // kept trimmed
    EXPECT_EQ(m.os.CurrentDirectory(), L"C:\\Tool");
    EXPECT_EQ(m.view.GetStatus().text, L"Output Version File PASS");
    EXPECT_EQ(m.view.GetStatus().colour, app::kColourGreen);
    EXPECT_EQ(m.view.GetStatus().fontHeight, 20);
    for (int r = 0; r < 3; ++r) {
        EXPECT_TRUE(m.view.Row(r, RowPart::Label).visible);
        EXPECT_EQ(m.view.Row(r, RowPart::Bar).barColour, app::kColourGreen);
        EXPECT_EQ(m.view.Row(r, RowPart::Bar).barPos, 100);
    }
    EXPECT_FALSE(m.view.Row(3, RowPart::Label).visible);
}

TEST(SideModes, VersionFileNotWrittenIsNoPass) {
    for (sim::FileOp op : {sim::FileOp::Open, sim::FileOp::Write}) {
        DialogMachine m;
        m.SetHubs(2);
        m.dlg->m_bOutputVerFile = 1;
        m.files.AddFault(sim::FileFault{op, L"C:\\Tool\\VTL262xVersion.txt", platform::kErrorAccessDenied});
        EXPECT_EQ(m.dlg->outputFWVersionTask(), -1);
        EXPECT_FALSE(m.files.Exists(L"C:\\Tool\\VTL262xVersion.txt"));  // nothing half-written
        EXPECT_NE(m.view.GetStatus().text, L"Output Version File PASS");
        EXPECT_EQ(m.view.Row(0, RowPart::Bar).barColour, app::kColourRed);
        EXPECT_EQ(m.view.Row(1, RowPart::Bar).barColour, app::kColourRed);
        EXPECT_TRUE(m.HasRecord(L"ERR", L"CMy262FWUpgradeToolDlg::nOutputVerTextFile",
                                L"  CreateFile Failed,OUTPUT_VERSION_FILE_NAME=VTL262xVersion.txt,Erroe=5"));
    }
}

struct CompareRow {
    int hubs;
    const wchar_t* sn0;
    const wchar_t* sn1;
    int result;
    const wchar_t* text;
    int height;
};

void PrintTo(const CompareRow& r, std::ostream* os) {
    *os << r.hubs << " hubs " << ::testing::PrintToString(r.sn0) << " " << ::testing::PrintToString(r.sn1);
}

class SerialCompare : public testing::TestWithParam<CompareRow> {};

TEST_P(SerialCompare, ResultTextAndBars) {
    const CompareRow& row = GetParam();
    DialogMachine m;
    m.SetHubs(row.hubs);
    if (row.hubs >= 2) {
        m.dlg->m_devList.rows[0].m_strSN = row.sn0;
        m.dlg->m_devList.rows[1].m_strSN = row.sn1;
    }
    EXPECT_EQ(m.dlg->nCmpHubSNTask(), row.result);
    EXPECT_EQ(m.view.GetStatus().text, row.text);
    EXPECT_EQ(m.view.GetStatus().fontHeight, row.height);
    const app::COLORREF colour = row.result == 0 ? app::kColourGreen : app::kColourRed;
    EXPECT_EQ(m.view.GetStatus().colour, colour);
    for (int r = 0; r < row.hubs && r < app::kRunViewRows; ++r)
        EXPECT_EQ(m.view.Row(r, RowPart::Bar).barColour, colour) << r;
}

INSTANTIATE_TEST_SUITE_P(
    Hubs, SerialCompare,
    testing::Values(CompareRow{2, L"ABC123", L"abc123", 0, L"Compare Serial Number PASS", 20},
                    CompareRow{2, L"----", L"----", 0, L"Compare Serial Number PASS", 20},
                    CompareRow{2, L"ABC123", L"ABC124", -3, L"The Serial Number are not same!!!", 20},
                    CompareRow{2, L"ABC123", L"ABC1234", -3, L"The Serial Number are not same!!!", 20},
                    CompareRow{1, L"", L"", -3, L"Can not Compare above 2 Hubs in platform", 40},
                    CompareRow{3, L"A", L"A", -3, L"Can not Compare above 2 Hubs in platform", 40},
                    CompareRow{7, L"A", L"A", -3, L"Can not Compare above 2 Hubs in platform", 40}));

}  // namespace
