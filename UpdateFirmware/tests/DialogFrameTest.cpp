#include "app/DialogFrame.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(DialogFrame, CommandTextDropsTheProgramNameTabsAndNewlines) {
    struct Case {
        std::wstring commandLine;
        std::wstring text;
    };
    const Case cases[] = {
        {L"262FWUpgradeTool.exe /A\t/SILENT", L"/A/SILENT"},
        {L"262FWUpgradeTool.exe /A /SILENT", L"/A /SILENT"},
        {L"262FWUpgradeTool.exe    /A  /SILENT  ", L"/A  /SILENT  "},
        {L"\"C:\\Program Files\\Tool\\262FWUpgradeTool.exe\" /U \"a b.bin\"", L"/U \"a b.bin\""},
        {L"\"C:\\Tool dir\\x.exe\" /DOS", L"/DOS"},
        // As the runtime splits it: text glued to the closing quote is still the name.
        {L"\"C:\\Tool dir\\x.exe\"/DOS", L""},
        {L"C:\\t\\\"quoted part\"\\x.exe /C 1", L"/C 1"},
        {L"x.exe\t\t/A\n/O\r", L"/A/O\r"},
        {L"x.exe", L""},
        {L"", L""},
        {L"\"unterminated name /A", L""},
        {std::wstring(L"x.exe /A\0/B", 11), L"/A"},
    };
    for (const Case& c : cases) EXPECT_EQ(app::BuildCommandText(c.commandLine), c.text) << c.commandLine.c_str();
}

TEST(DialogFrame, UnattendedWindowIsNeverShownAndKeepsItsOtherFlags) {
    // SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW, as ShowWindow asks.
    EXPECT_EQ(app::HiddenWindowPosFlags(0x0043u), 0x0083u);
    EXPECT_EQ(app::HiddenWindowPosFlags(0u), 0x0080u);
    EXPECT_EQ(app::HiddenWindowPosFlags(0x0080u), 0x0080u);
    // No undefined bits and no SWP_FRAMECHANGED (0x20) appear.
    EXPECT_EQ(app::HiddenWindowPosFlags(0x0040u) & ~0x0080u, 0u);

    EXPECT_TRUE(app::IsAboutCommand(0x10));
    EXPECT_TRUE(app::IsAboutCommand(0x1F));
    EXPECT_FALSE(app::IsAboutCommand(0xF060));  // SC_CLOSE
    EXPECT_FALSE(app::IsAboutCommand(0x20));
    EXPECT_EQ(app::WindowTitle(),
              L"Vantrel USB 3.1 Hub Firmware Update ToolVantrel 262x FW UpgToolVer2, 4, 1, 6");
}

}  // namespace

#include "app/MainDialog.h"

namespace {

TEST(DialogFrame, ResetRunStateClearsEveryChildRecordOnly) {
    app::CMy262FWUpgradeToolDlg dlg;
    dlg.m_MainThreadInfo.ucMainStatus = app::MAIN_THREAD_FINISH;
    for (std::size_t i = 0; i < dlg.m_ChildThreadInfo.size(); ++i) {
        dlg.m_ChildThreadInfo[i].hDlgWnd = 0x1234;
        dlg.m_ChildThreadInfo[i].ucTargetNumber = static_cast<hubaccess::BYTE>(i);
        dlg.m_ChildThreadInfo[i].ucTotalTarget = 8;
        dlg.m_ChildThreadInfo[i].ucThreadState = app::CHILD_THREAD_FINISH;
    }
    dlg.vResetRunState();
    for (const app::CHILD_THREAD_INFO& c : dlg.m_ChildThreadInfo) {
        EXPECT_EQ(c.hDlgWnd, 0u);
        EXPECT_EQ(c.ucTargetNumber, 0);
        EXPECT_EQ(c.ucTotalTarget, 0);
        EXPECT_EQ(c.ucThreadState, 0);
    }
    EXPECT_EQ(dlg.m_MainThreadInfo.ucMainStatus, app::MAIN_THREAD_FINISH);
}

}  // namespace
