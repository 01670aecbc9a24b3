#include <gtest/gtest.h>

#include "sim/FakeRunView.h"

namespace {

using app::RowControlId;
using app::RowPart;
using sim::FakeRunView;

TEST(FakeRunView, StartsAsTheTemplateAndKeepsTheModel) {
    FakeRunView v;
    EXPECT_FALSE(v.Visible(app::kIdDeviceNumber));
    EXPECT_TRUE(v.Visible(app::kIdStaticWarning));
    EXPECT_EQ(v.Text(RowControlId(4, RowPart::Label)), L"Hub 5:");
    EXPECT_FALSE(v.Visible(RowControlId(2, RowPart::Speed)));

    v.SetControlText(app::kIdUpdateVersion, L"14041503e500");
    v.ShowControl(RowControlId(1, RowPart::Speed), true);
    v.EnableControl(app::kIdButtonOk, false);
    v.SetBarRange(app::kIdProgressMain, 0, 50);
    v.SetBarPos(app::kIdProgressMain, 80);  // clamped as a progress bar does
    v.SetBarColour(RowControlId(3, RowPart::Bar), app::kColourRed);
    v.SetStatusText(L"Pass!!", app::kColourGreen, 40);

    EXPECT_EQ(v.Text(app::kIdUpdateVersion), L"14041503e500");
    EXPECT_TRUE(v.Visible(RowControlId(1, RowPart::Speed)));
    EXPECT_FALSE(v.Enabled(app::kIdButtonOk));
    EXPECT_EQ(v.BarPos(app::kIdProgressMain), 50);
    EXPECT_EQ(v.BarColour(RowControlId(3, RowPart::Bar)), app::kColourRed);
    EXPECT_EQ(v.GetStatus().text, L"Pass!!");
    EXPECT_EQ(v.GetStatus().fontHeight, 40);
    EXPECT_EQ(v.Events().size(), 7u);
    EXPECT_TRUE(v.Failures().empty());
}

TEST(FakeRunView, AnswersFromItsScriptAndReportsWhatNobodyExpected) {
    FakeRunView v;
    std::vector<std::wstring> reported;
    v.SetFailureHandler([&](const std::wstring& m) { reported.push_back(m); });
    v.ScriptAnswer(app::kIdOk, L"Older");
    v.ScriptAnswer(app::kIdCancel);
    EXPECT_EQ(v.MessageBox(L"This is Older", L"Warning", app::kMbOkCancel), app::kIdOk);
    EXPECT_EQ(v.MessageBox(L"anything", L"Question", 0), app::kIdCancel);
    EXPECT_TRUE(reported.empty());

    v.MessageBox(L"surprise", L"Error", 0);          // nothing scripted
    v.SetControlText(RowControlId(5, RowPart::Version), L"x");  // no sixth row
    v.SetBarPos(app::kIdUpdateVersion, 3);           // not a bar
    EXPECT_EQ(reported.size(), 3u);
    EXPECT_EQ(v.Failures(), reported);
    EXPECT_EQ(v.Boxes().size(), 3u);

    v.ConsolePrint(L"a");
    v.ConsolePrint(L"b\n");
    v.ConsoleFocus();
    v.RequestExit(-4);
    EXPECT_EQ(v.ConsoleText(), L"ab\n");
    EXPECT_EQ(v.ConsoleFocusCount(), 1);
    EXPECT_EQ(v.ExitRequests(), std::vector<int>{-4});
}

}  // namespace
