// A recording RunView for tests: it keeps a model of the main dialog's
// controls (texts, visibility, enabled state, bars, the status line), an
// event log of every call in order, and answers message boxes from a FIFO
// script. A box nobody scripted, a control the dialog does not have and a
// row control of a row beyond the fifth are faults: they go to the failure
// handler (by default only recorded; tests usually report them through
// ADD_FAILURE) and are kept in Failures().
//
// Safe to call from many threads (one lock; nothing waits under it).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/RunView.h"

namespace sim {

class FakeRunView : public app::RunView {
public:
    struct Control {
        std::wstring text;
        bool visible = true;
        bool enabled = true;
        bool isBar = false;
        int barPos = 0;
        int barLo = 0;
        int barHi = 100;
        std::optional<app::COLORREF> barColour;  // unset: the system's colour
    };

    struct Status {
        std::wstring text = L"Update Status";
        app::COLORREF colour = 0;
        int fontHeight = 0;
        int updates = 0;
    };

    enum class EventKind {
        MessageBox,
        StatusText,
        ControlText,
        Show,
        Enable,
        BarPos,
        BarRange,
        BarColour,
        PrepareForPrompt,
        ConsolePrint,
        ConsoleFocus,
        RequestExit,
    };

    struct Event {
        EventKind kind;
        int id = 0;         // control id (0 where none)
        std::wstring text;  // text, caption + "|" + message for boxes
        std::int64_t value = 0;  // pos, colour, flag, flags, exit code, answer
        std::int64_t value2 = 0; // range high, font height
    };

    struct MessageBoxCall {
        std::wstring text;
        std::wstring caption;
        std::uint32_t flags = 0;
        int answer = 0;
    };

    // The dialog as its template leaves it (Part of the main dialog's
    // resources): visible and hidden controls, template texts.
    FakeRunView();

    // --- script
    // The next box is answered with `answer`. When `textContains` is not
    // empty, the box's text must contain it (else a failure).
    void ScriptAnswer(int answer, const std::wstring& textContains = L"");
    std::size_t PendingAnswers() const;
    void SetFailureHandler(std::function<void(const std::wstring&)> handler);

    // --- model
    Control Get(int controlId) const;
    Status GetStatus() const;
    std::wstring Text(int controlId) const { return Get(controlId).text; }
    bool Visible(int controlId) const { return Get(controlId).visible; }
    bool Enabled(int controlId) const { return Get(controlId).enabled; }
    int BarPos(int controlId) const { return Get(controlId).barPos; }
    std::optional<app::COLORREF> BarColour(int controlId) const { return Get(controlId).barColour; }
    // Row helpers (row 0..4).
    Control Row(int row, app::RowPart part) const { return Get(app::RowControlId(row, part)); }

    std::vector<Event> Events() const;
    std::vector<MessageBoxCall> Boxes() const;
    std::wstring ConsoleText() const;
    int ConsoleFocusCount() const;
    // Exit codes requested, in order.
    std::vector<int> ExitRequests() const;
    std::vector<std::wstring> Failures() const;
    void ClearEvents();

    // --- app::RunView
    int MessageBox(const std::wstring& text, const std::wstring& caption,
                   std::uint32_t flags) override;
    void SetStatusText(const std::wstring& text, app::COLORREF colour, int fontHeight) override;
    void SetControlText(int controlId, const std::wstring& text) override;
    void ShowControl(int controlId, bool show) override;
    void EnableControl(int controlId, bool enable) override;
    void SetBarPos(int controlId, int pos) override;
    int GetBarPos(int controlId) override;
    void SetBarRange(int controlId, int lo, int hi) override;
    void SetBarColour(int controlId, app::COLORREF colour) override;
    void PrepareForPrompt() override;
    void ConsolePrint(const std::wstring& text) override;
    void ConsoleFocus() override;
    void RequestExit(int exitCode) override;

private:
    struct Scripted {
        int answer = 0;
        std::wstring textContains;
    };

    // The control, or null after reporting a fault; `wantBar` also asks
    // that it is a progress bar. Called with the lock held.
    Control* Find(int controlId, bool wantBar, const wchar_t* what);
    void Fail(const std::wstring& message);  // lock held; handler called after unlock
    void Flush();                            // runs the handler outside the lock

    mutable std::mutex mutex_;
    std::map<int, Control> controls_;
    Status status_;
    std::vector<Event> events_;
    std::deque<Scripted> script_;
    std::vector<MessageBoxCall> boxes_;
    std::wstring console_;
    int consoleFocus_ = 0;
    std::vector<int> exits_;
    std::vector<std::wstring> failures_;
    std::vector<std::wstring> unreported_;
    std::function<void(const std::wstring&)> handler_;
};

}  // namespace sim
