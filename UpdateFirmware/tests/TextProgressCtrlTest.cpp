#include "widgets/TextProgressCtrl.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "widgets/ColorStaticST.h"

namespace {

using namespace widgets;

const ProgressSysColors kSys{Rgb(0, 0, 200), Rgb(240, 240, 240), Rgb(1, 1, 1), Rgb(255, 255, 255)};

struct Msg {
    std::uint32_t msg;
    std::uintptr_t w;
    std::intptr_t l;
};

struct MessageCase {
    const char* name;
    std::uint32_t style;
    std::vector<Msg> setup;
    Msg msg;
    std::intptr_t result;
    int posAfter;
    bool repaint;
};

std::intptr_t Send(CTextProgressCtrl& c, const Msg& m, ProgressEffects* fxOut = nullptr,
                   ProgressRange* range = nullptr) {
    std::intptr_t r = -12345;
    ProgressEffects fx;
    EXPECT_TRUE(c.Handle(m.msg, m.w, m.l, kSys, r, fx, range)) << std::hex << m.msg;
    if (fxOut) *fxOut = fx;
    return r;
}

constexpr std::intptr_t Packed(int lo, int hi) { return (hi << 16) | (lo & 0xFFFF); }

TEST(TextProgressCtrl, AnswersItsMessagesFromItsOwnState) {
    const MessageCase cases[] = {
        {"setrange packs the old range", 0, {}, {pbm::SETRANGE, 0, Packed(0, 100)}, Packed(0, 100), 0, false},
        {"setrange returns the previous range", 0, {{pbm::SETRANGE, 0, Packed(5, 60)}},
         {pbm::SETRANGE, 0, Packed(0, 100)}, Packed(5, 60), 0, false},
        {"setrange32 signed ends", 0, {}, {pbm::SETRANGE32, static_cast<std::uintptr_t>(-50), 50},
         Packed(0, 100), 0, false},
        {"setrange does not move the position", 0, {{pbm::SETPOS, 90, 0}},
         {pbm::SETRANGE, 0, Packed(0, 50)}, Packed(0, 100), 90, false},
        {"setpos returns the old position", 0, {{pbm::SETPOS, 30, 0}}, {pbm::SETPOS, 40, 0}, 30, 40, true},
        {"setpos above max clamps", 0, {}, {pbm::SETPOS, 150, 0}, 0, 100, true},
        {"setpos above max in marquee runs to the limit", pbs::MARQUEE, {}, {pbm::SETPOS, 150, 0}, 0, 120, true},
        {"setpos below min clamps", 0, {}, {pbm::SETPOS, static_cast<std::uintptr_t>(-5), 0}, 0, 0, true},
        {"deltapos adds", 0, {{pbm::SETPOS, 10, 0}}, {pbm::DELTAPOS, 15, 0}, 10, 25, true},
        {"deltapos clamps at max", 0, {{pbm::SETPOS, 90, 0}}, {pbm::DELTAPOS, 0x7FFFFFFF, 0}, 90, 100, true},
        {"setstep returns the old step", 0, {}, {pbm::SETSTEP, 1, 0}, 10, 0, false},
        {"getstep answers the stored step", 0, {{pbm::SETSTEP, 3, 0}}, {pbm::GETSTEP, 0, 0}, 3, 0, false},
        {"stepit forward", 0, {{pbm::SETPOS, 40, 0}}, {pbm::STEPIT, 0, 0}, 40, 50, true},
        {"stepit wraps past max", 0, {{pbm::SETPOS, 95, 0}}, {pbm::STEPIT, 0, 0}, 95, 5, true},
        {"stepit wraps below min", 0, {{pbm::SETPOS, 5, 0}, {pbm::SETSTEP, static_cast<std::uintptr_t>(-10), 0}},
         {pbm::STEPIT, 0, 0}, 5, 95, true},
        {"stepit wrap of a huge step is still clamped", 0, {{pbm::SETSTEP, 1000, 0}},
         {pbm::STEPIT, 0, 0}, 0, 100, true},
        {"getrange wParam 0 gives max", 0, {{pbm::SETRANGE32, 7, 70}}, {pbm::GETRANGE, 0, 0}, 70, 0, false},
        {"getrange wParam 1 gives min", 0, {{pbm::SETRANGE32, 7, 70}}, {pbm::GETRANGE, 1, 0}, 7, 0, false},
        {"first setbarcolor returns kClrDefault", 0, {}, {pbm::SETBARCOLOR, 0, 0x0032FA32},
         static_cast<std::intptr_t>(kClrDefault), 0, true},
        {"setbarcolor returns the old colour", 0, {{pbm::SETBARCOLOR, 0, 0x123456}},
         {pbm::SETBARCOLOR, 0, 0x0032FA32}, 0x123456, 0, true},
        {"getbarcolor resolves the default", 0, {}, {pbm::GETBARCOLOR, 0, 0},
         static_cast<std::intptr_t>(kSys.highlight), 0, false},
        {"getbkcolor resolves the default", 0, {}, {pbm::GETBKCOLOR, 0, 0},
         static_cast<std::intptr_t>(kSys.btnFace), 0, false},
        {"getbkcolor after setbkcolor", 0, {{pbm::SETBKCOLOR, 0, 0x010203}}, {pbm::GETBKCOLOR, 0, 0}, 0x010203, 0, false},
        {"gettextcolor resolves", 0, {}, {PBM_GETTEXTCOLOR, 0, 0},
         static_cast<std::intptr_t>(kSys.windowText), 0, false},
        {"gettextbkcolor resolves", 0, {}, {PBM_GETTEXTBKCOLOR, 0, 0},
         static_cast<std::intptr_t>(kSys.window), 0, false},
        {"settextcolor returns the stored value", 0, {}, {PBM_SETTEXTCOLOR, 0, 5},
         static_cast<std::intptr_t>(kClrDefault), 0, true},
        {"setshowtext returns the old flag", 0, {}, {PBM_SETSHOWTEXT, 0, 0}, 1, 0, true},
        {"aligntext returns the old alignment", 0, {}, {PBM_ALIGNTEXT, 2, 0}, 1, 0, true},
        {"setmarquee returns wParam", 0, {}, {pbm::SETMARQUEE, 1, 30}, 1, 0, true},
        {"setmarqueeoptions returns wParam", 0, {}, {PBM_SETMARQUEEOPTIONS, 50, 0}, 50, 0, true},
    };
    for (const MessageCase& c : cases) {
        SCOPED_TRACE(c.name);
        CTextProgressCtrl ctrl(c.style);
        for (const Msg& m : c.setup) Send(ctrl, m);
        ProgressEffects fx;
        EXPECT_EQ(Send(ctrl, c.msg, &fx), c.result);
        EXPECT_EQ(ctrl.pos(), c.posAfter);
        EXPECT_EQ(fx.repaint, c.repaint);
    }
}

TEST(TextProgressCtrl, GetRangeFillsTheRecordAndForeignMessagesPassOn) {
    CTextProgressCtrl ctrl;
    Send(ctrl, {pbm::SETRANGE32, static_cast<std::uintptr_t>(-3), 300});
    ProgressRange range{99, 99};
    EXPECT_EQ(Send(ctrl, {pbm::GETRANGE, 1, 1}, nullptr, &range), -3);
    EXPECT_EQ(range.iLow, -3);
    EXPECT_EQ(range.iHigh, 300);

    std::intptr_t r = 0;
    ProgressEffects fx;
    EXPECT_FALSE(ctrl.Handle(0x000F /* WM_PAINT */, 0, 0, kSys, r, fx));
    EXPECT_FALSE(ctrl.Handle(0x410 /* PBM_SETSTATE */, 2, 0, kSys, r, fx));
}

TEST(TextProgressCtrl, MarqueeTurnsPercentOffAndDrivesItsTimer) {
    CTextProgressCtrl ctrl;
    Send(ctrl, {pbm::SETPOS, 110, 0});
    EXPECT_EQ(ctrl.pos(), 100);
    ProgressEffects fx;
    Send(ctrl, {pbm::SETMARQUEE, 1, 40}, &fx);
    EXPECT_TRUE(fx.startTimer);
    EXPECT_EQ(fx.timerMs, 40u);
    EXPECT_TRUE(fx.styleChanged);
    EXPECT_TRUE(ctrl.style() & pbs::MARQUEE);
    EXPECT_FALSE(ctrl.showPercent());
    EXPECT_EQ(ctrl.UpperBound(), 120);

    Send(ctrl, {PBM_SETSHOWTEXT, 1, 0});
    Send(ctrl, {pbm::SETMARQUEE, 0, 0}, &fx);
    EXPECT_TRUE(fx.killTimer);
    EXPECT_FALSE(fx.startTimer);
    EXPECT_FALSE(ctrl.style() & pbs::MARQUEE);
    EXPECT_FALSE(ctrl.showPercent()) << "stopping the marquee turns the percent off too";

    // A limit past the int range stays finite.
    CTextProgressCtrl big(pbs::MARQUEE);
    Send(big, {pbm::SETRANGE32, 0, 0x7FFFFFF0});
    EXPECT_EQ(big.UpperBound(), 0x7FFFFFFF);
}

TEST(TextProgressCtrl, MarqueeBarsTurnTogetherAtEitherEnd) {
    CTextProgressCtrl::ResetMarqueeDirection();
    CTextProgressCtrl a(pbs::MARQUEE), b(pbs::MARQUEE);
    Send(a, {pbm::SETPOS, 119, 0});
    Send(b, {pbm::SETPOS, 50, 0});
    ProgressEffects fx;
    a.OnMarqueeTimer(fx);
    EXPECT_TRUE(fx.repaint);
    EXPECT_EQ(a.pos(), 120);
    b.OnMarqueeTimer(fx);
    EXPECT_EQ(b.pos(), 51);
    a.OnMarqueeTimer(fx);  // a reaches the limit: every bar turns
    EXPECT_EQ(a.pos(), 119);
    EXPECT_EQ(CTextProgressCtrl::MarqueeDirection(), -1);
    b.OnMarqueeTimer(fx);
    EXPECT_EQ(b.pos(), 50);

    Send(b, {pbm::SETPOS, 0, 0});
    b.OnMarqueeTimer(fx);  // the lower end turns them back
    EXPECT_EQ(b.pos(), 1);
    EXPECT_EQ(CTextProgressCtrl::MarqueeDirection(), 1);
    CTextProgressCtrl::ResetMarqueeDirection();
}

// Text extent: 6 pixels a character, 10 high.
Size Measure(const std::wstring& text) { return {static_cast<int>(text.size()) * 6, 10}; }

struct LayoutCase {
    const char* name;
    std::uint32_t style;
    std::vector<Msg> setup;
    std::wstring windowText;
    Rect before, bar, after;
    std::wstring text;
    Point origin;
};

TEST(TextProgressCtrl, LaysOutBarTextAndPercent) {
    const Rect rc{1, 1, 201, 21};  // 200 x 20 interior
    const LayoutCase cases[] = {
        {"defaults at 45: empty text shows 45%", 0, {{pbm::SETPOS, 45, 0}}, L"",
         {}, {1, 1, 91, 21}, {91, 1, 201, 21}, L"45%", {92, 6}},
        {"0.995 rounds to 100%", 0, {{pbm::SETRANGE32, 0, 1000}, {pbm::SETPOS, 995, 0}}, L"",
         {}, {1, 1, 200, 21}, {200, 1, 201, 21}, L"100%", {89, 6}},
        {"0.994 rounds to 99%", 0, {{pbm::SETRANGE32, 0, 1000}, {pbm::SETPOS, 994, 0}}, L"",
         {}, {1, 1, 199, 21}, {199, 1, 201, 21}, L"99%", {92, 6}},
        {"position = max: no after region", 0, {{pbm::SETPOS, 100, 0}}, L"Hub",
         {}, {1, 1, 201, 21}, {}, L"Hub100%", {80, 6}},
        {"no percent, left aligned", 0, {{PBM_SETSHOWTEXT, 0, 0}, {PBM_ALIGNTEXT, 0, 0}}, L"ab",
         {}, {1, 1, 1, 21}, {1, 1, 201, 21}, L"ab", {3, 6}},
        {"right aligned", 0, {{PBM_ALIGNTEXT, 2, 0}, {pbm::SETPOS, 50, 0}}, L"",
         {}, {1, 1, 101, 21}, {101, 1, 201, 21}, L"50%", {180, 6}},
        {"nothing to write", 0, {{PBM_SETSHOWTEXT, 0, 0}}, L"",
         {}, {1, 1, 1, 21}, {1, 1, 201, 21}, L"", {0, 0}},
        // Out of range after a range change: painted clamped.
        {"position above a lowered range", 0, {{pbm::SETPOS, 80, 0}, {pbm::SETRANGE, 0, Packed(0, 50)}}, L"",
         {}, {1, 1, 201, 21}, {}, L"100%", {89, 6}},
        {"position below a raised range", 0, {{pbm::SETPOS, 10, 0}, {pbm::SETRANGE, 0, Packed(40, 100)}}, L"",
         {}, {1, 1, 1, 21}, {1, 1, 201, 21}, L"0%", {95, 6}},
        {"vertical from the bottom", pbs::VERTICAL, {{pbm::SETPOS, 25, 0}, {PBM_SETSHOWTEXT, 0, 0}}, L"v",
         {}, {1, 16, 201, 21}, {1, 1, 201, 16}, L"v", {96, 14}},
        {"vertical left (bottom) aligned", pbs::VERTICAL, {{PBM_ALIGNTEXT, 0, 0}, {PBM_SETSHOWTEXT, 0, 0}}, L"v",
         {}, {1, 21, 201, 21}, {1, 1, 201, 21}, L"v", {96, 18}},
        {"vertical right (top) aligned", pbs::VERTICAL, {{PBM_ALIGNTEXT, 2, 0}, {PBM_SETSHOWTEXT, 0, 0}}, L"v",
         {}, {1, 21, 201, 21}, {1, 1, 201, 21}, L"v", {96, 9}},
        // Marquee: a 40-pixel segment (20 % of 200) ending at the position.
        {"marquee in the middle", pbs::MARQUEE, {{pbm::SETPOS, 50, 0}, {PBM_SETSHOWTEXT, 0, 0}}, L"",
         {1, 1, 61, 21}, {61, 1, 101, 21}, {101, 1, 201, 21}, L"", {0, 0}},
        {"marquee entering at the start", pbs::MARQUEE, {{pbm::SETPOS, 10, 0}, {PBM_SETSHOWTEXT, 0, 0}}, L"",
         {}, {1, 1, 21, 21}, {21, 1, 201, 21}, L"", {0, 0}},
        {"marquee leaving at the end", pbs::MARQUEE, {{pbm::SETPOS, 110, 0}, {PBM_SETSHOWTEXT, 0, 0}}, L"",
         {1, 1, 181, 21}, {181, 1, 201, 21}, {}, L"", {0, 0}},
        {"marquee gone past the end", pbs::MARQUEE, {{pbm::SETPOS, 120, 0}, {PBM_SETSHOWTEXT, 0, 0}}, L"",
         {1, 1, 201, 21}, {201, 1, 201, 21}, {}, L"", {0, 0}},
        {"marquee percent never above 100", pbs::MARQUEE, {{pbm::SETPOS, 120, 0}}, L"",
         {1, 1, 201, 21}, {201, 1, 201, 21}, {}, L"100%", {89, 6}},
        {"vertical marquee", pbs::MARQUEE | pbs::VERTICAL, {{pbm::SETPOS, 50, 0}, {PBM_SETSHOWTEXT, 0, 0}}, L"",
         {1, 15, 201, 21}, {1, 11, 201, 15}, {1, 1, 201, 11}, L"", {0, 0}},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        CTextProgressCtrl ctrl(c.style);
        for (const Msg& m : c.setup) Send(ctrl, m);
        const ProgressLayout l = ctrl.Layout(rc, c.windowText, kSys, Measure);
        EXPECT_FALSE(l.paintNothing);
        EXPECT_EQ(l.before, c.before);
        EXPECT_EQ(l.bar, c.bar);
        EXPECT_EQ(l.after, c.after);
        EXPECT_EQ(l.text, c.text);
        EXPECT_EQ(l.textOrigin, c.origin);
        EXPECT_EQ(l.vertical, (c.style & pbs::VERTICAL) != 0);
    }
}

TEST(TextProgressCtrl, ResolvesColoursAndPaintsNothingForAnEmptyRange) {
    CTextProgressCtrl ctrl;
    Send(ctrl, {pbm::SETBARCOLOR, 0, 0x0032FA32});
    Send(ctrl, {PBM_SETTEXTBKCOLOR, 0, 0x000000FF});
    ProgressLayout l = ctrl.Layout({0, 0, 10, 10}, L"", kSys, Measure);
    EXPECT_EQ(l.barColor, 0x0032FA32u);
    EXPECT_EQ(l.backColor, kSys.btnFace);
    EXPECT_EQ(l.textColor, kSys.windowText);
    EXPECT_EQ(l.textOnBarColor, 0x000000FFu);

    Send(ctrl, {pbm::SETRANGE32, 50, 50});
    l = ctrl.Layout({0, 0, 10, 10}, L"x", kSys, Measure);
    EXPECT_TRUE(l.paintNothing);
    EXPECT_TRUE(l.text.empty());
}

TEST(ColorStaticST, StartsInSystemColoursAndStopsBlinkWithoutATimer) {
    CColorStaticST st(Rgb(0, 0, 0x10), Rgb(0xEE, 0xEE, 0xEE));
    EXPECT_EQ(st.textColor(), Rgb(0, 0, 0x10));
    EXPECT_EQ(st.bkColor(), Rgb(0xEE, 0xEE, 0xEE));
    EXPECT_EQ(st.StopTextBlink(), 0u);
    EXPECT_EQ(st.textColor(), Rgb(0, 0, 0x10));
    st.SetTextColor(Rgb(250, 50, 50));
    EXPECT_EQ(st.textColor(), 0x003232FAu);
    EXPECT_FALSE(st.blinking());
}

}  // namespace
