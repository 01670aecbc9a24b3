#include "sim/FakeRunView.h"

#include <algorithm>
#include <utility>

namespace sim {

using app::RowControlId;
using app::RowPart;

FakeRunView::FakeRunView() {
    auto put = [this](int id, const std::wstring& text, bool visible, bool isBar = false) {
        Control c;
        c.text = text;
        c.visible = visible;
        c.isBar = isBar;
        controls_[id] = c;
    };
    put(app::kIdDeviceNumber, L"Display Device Number", false);
    put(app::kIdButtonStart, L"Start", false);
    put(app::kIdProgressMain, L"", true, true);
    put(app::kIdStaticStatus, L"Update Status", true);
    put(app::kIdCurrentVersion, L"Current Version", false);
    put(app::kIdUpdateVersion, L"FW Version", true);
    put(app::kIdButtonOk, L"OK", true);
    put(app::kIdVersionCaption, L"Update Version:", true);
    put(app::kIdStaticWarning,
        L"Attention! During updating,. DO NOT shut down or restart system to prevent an incomplete update.",
        true);
    for (int r = 0; r < app::kRunViewRows; ++r) {
        put(RowControlId(r, RowPart::Label), L"Hub " + std::to_wstring(r + 1) + L":", true);
        put(RowControlId(r, RowPart::Speed), L"USB 3.0", false);
        put(RowControlId(r, RowPart::Version), L"Version", true);
        put(RowControlId(r, RowPart::Bar), L"", true, true);
    }
}

void FakeRunView::ScriptAnswer(int answer, const std::wstring& textContains) {
    std::lock_guard<std::mutex> guard(mutex_);
    script_.push_back(Scripted{answer, textContains});
}

std::size_t FakeRunView::PendingAnswers() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return script_.size();
}

void FakeRunView::SetFailureHandler(std::function<void(const std::wstring&)> handler) {
    std::lock_guard<std::mutex> guard(mutex_);
    handler_ = std::move(handler);
}

FakeRunView::Control FakeRunView::Get(int controlId) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = controls_.find(controlId);
    return it == controls_.end() ? Control{} : it->second;
}

FakeRunView::Status FakeRunView::GetStatus() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return status_;
}

std::vector<FakeRunView::Event> FakeRunView::Events() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return events_;
}

std::vector<FakeRunView::MessageBoxCall> FakeRunView::Boxes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return boxes_;
}

std::wstring FakeRunView::ConsoleText() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return console_;
}

int FakeRunView::ConsoleFocusCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return consoleFocus_;
}

std::vector<int> FakeRunView::ExitRequests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return exits_;
}

std::vector<std::wstring> FakeRunView::Failures() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return failures_;
}

void FakeRunView::ClearEvents() {
    std::lock_guard<std::mutex> guard(mutex_);
    events_.clear();
}

void FakeRunView::Fail(const std::wstring& message) {
    failures_.push_back(message);
    unreported_.push_back(message);
}

void FakeRunView::Flush() {
    std::vector<std::wstring> pending;
    std::function<void(const std::wstring&)> handler;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        pending.swap(unreported_);
        handler = handler_;
    }
    if (handler)
        for (const auto& m : pending) handler(m);
}

FakeRunView::Control* FakeRunView::Find(int controlId, bool wantBar, const wchar_t* what) {
    auto it = controls_.find(controlId);
    if (it == controls_.end()) {
        Fail(std::wstring(what) + L": the dialog has no control " + std::to_wstring(controlId));
        return nullptr;
    }
    if (wantBar && !it->second.isBar) {
        Fail(std::wstring(what) + L": control " + std::to_wstring(controlId) + L" is not a progress bar");
        return nullptr;
    }
    return &it->second;
}

int FakeRunView::MessageBox(const std::wstring& text, const std::wstring& caption, std::uint32_t flags) {
    int answer = app::kIdCancel;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (script_.empty()) {
            Fail(L"unexpected message box [" + caption + L"] " + text);
        } else {
            const Scripted s = script_.front();
            script_.pop_front();
            answer = s.answer;
            if (!s.textContains.empty() && text.find(s.textContains) == std::wstring::npos)
                Fail(L"message box [" + caption + L"] " + text + L" does not hold \"" + s.textContains + L"\"");
        }
        boxes_.push_back(MessageBoxCall{text, caption, flags, answer});
        events_.push_back(Event{EventKind::MessageBox, 0, caption + L"|" + text, static_cast<std::int64_t>(flags),
                                answer});
    }
    Flush();
    return answer;
}

void FakeRunView::SetStatusText(const std::wstring& text, app::COLORREF colour, int fontHeight) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        status_.text = text;
        status_.colour = colour;
        status_.fontHeight = fontHeight;
        ++status_.updates;
        controls_[app::kIdStaticStatus].text = text;
        events_.push_back(Event{EventKind::StatusText, app::kIdStaticStatus, text, colour, fontHeight});
    }
}

void FakeRunView::SetControlText(int controlId, const std::wstring& text) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (Control* c = Find(controlId, false, L"SetControlText")) {
            if (c->isBar) Fail(L"SetControlText: control " + std::to_wstring(controlId) + L" is a progress bar");
            c->text = text;
        }
        events_.push_back(Event{EventKind::ControlText, controlId, text});
    }
    Flush();
}

void FakeRunView::ShowControl(int controlId, bool show) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (Control* c = Find(controlId, false, L"ShowControl")) c->visible = show;
        events_.push_back(Event{EventKind::Show, controlId, L"", show ? 1 : 0});
    }
    Flush();
}

void FakeRunView::EnableControl(int controlId, bool enable) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (Control* c = Find(controlId, false, L"EnableControl")) c->enabled = enable;
        events_.push_back(Event{EventKind::Enable, controlId, L"", enable ? 1 : 0});
    }
    Flush();
}

void FakeRunView::SetBarPos(int controlId, int pos) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (Control* c = Find(controlId, true, L"SetBarPos"))
            c->barPos = std::clamp(pos, c->barLo, std::max(c->barLo, c->barHi));
        events_.push_back(Event{EventKind::BarPos, controlId, L"", pos});
    }
    Flush();
}

int FakeRunView::GetBarPos(int controlId) {
    int pos = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (Control* c = Find(controlId, true, L"GetBarPos")) pos = c->barPos;
    }
    Flush();
    return pos;
}

void FakeRunView::SetBarRange(int controlId, int lo, int hi) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (Control* c = Find(controlId, true, L"SetBarRange")) {
            c->barLo = lo;
            c->barHi = hi;
            c->barPos = std::clamp(c->barPos, lo, std::max(lo, hi));
        }
        events_.push_back(Event{EventKind::BarRange, controlId, L"", lo, hi});
    }
    Flush();
}

void FakeRunView::SetBarColour(int controlId, app::COLORREF colour) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (Control* c = Find(controlId, true, L"SetBarColour")) c->barColour = colour;
        events_.push_back(Event{EventKind::BarColour, controlId, L"", colour});
    }
    Flush();
}

void FakeRunView::PrepareForPrompt() {
    std::lock_guard<std::mutex> guard(mutex_);
    events_.push_back(Event{EventKind::PrepareForPrompt, 0, {}, 0, 0});
}

void FakeRunView::ConsolePrint(const std::wstring& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    console_ += text;
    events_.push_back(Event{EventKind::ConsolePrint, 0, text});
}

void FakeRunView::ConsoleFocus() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++consoleFocus_;
    events_.push_back(Event{EventKind::ConsoleFocus, 0, {}, 0, 0});
}

void FakeRunView::RequestExit(int exitCode) {
    std::lock_guard<std::mutex> guard(mutex_);
    exits_.push_back(exitCode);
    events_.push_back(Event{EventKind::RequestExit, 0, L"", exitCode});
}

}  // namespace sim
