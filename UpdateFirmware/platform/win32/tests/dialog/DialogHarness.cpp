#include "DialogHarness.h"

#include <cstdio>
#include <future>
#include <vector>

namespace dialogtest {

bool WaitFor(const std::function<bool()>& done, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

DialogRun::DialogRun(std::function<void(app::CMy262FWUpgradeToolDlg&)> prepare, MainDialogHooks hooks) {
    if (prepare) prepare(model_);
    app::pFWUpdateDlg = &model_;
    window_ = std::make_unique<MainDialogWindow>(::GetModuleHandleW(nullptr), model_, std::move(hooks));
    view_ = std::make_unique<Win32RunView>(*window_);
    model_.m_pRunView = view_.get();
    ui_ = std::thread([this] {
        window_->DoModal();
        exitCode_ = window_->exitCode();
        hwnd_ = nullptr;
        ended_ = true;
    });
    // Ready once WM_INITDIALOG has been handled: the first posted update
    // runs in the modal loop after it.
    WaitFor([this] { return window_->uiWindow() != nullptr || ended_; });
    if (!ended_) OnUi([] {});
    hwnd_ = window_->uiWindow();
}

DialogRun::~DialogRun() {
    if (!ended_) {
        window_->SetRunGoing(false);
        window_->RequestExit(0);
        if (!WaitFor([this] { return ended_.load(); }, 5000)) {
            ::PostMessageW(window_->hwnd(), WM_CLOSE, 0, 0);
        }
    }
    if (ui_.joinable()) ui_.join();
    model_.m_pRunView = nullptr;
    app::pFWUpdateDlg = nullptr;
}

int DialogRun::WaitForExit(int ms) {
    if (!WaitFor([this] { return ended_.load(); }, ms)) return -999;
    return exitCode_.load();
}

void DialogRun::OnUi(const std::function<void()>& fn) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    window_->PostToUi([fn, done] {
        fn();
        done->set_value();
    });
    future.wait_for(std::chrono::seconds(10));
}

Screenshot::Screenshot(HWND window) {
    ::GetWindowRect(window, &rect_);
    HDC screen = ::GetDC(nullptr);
    dc_ = ::CreateCompatibleDC(screen);
    bitmap_ = ::CreateCompatibleBitmap(screen, rect_.right - rect_.left, rect_.bottom - rect_.top);
    old_ = ::SelectObject(dc_, bitmap_);
    ::BitBlt(dc_, 0, 0, rect_.right - rect_.left, rect_.bottom - rect_.top, screen, rect_.left, rect_.top,
             SRCCOPY);
    ::ReleaseDC(nullptr, screen);
}

Screenshot::~Screenshot() {
    ::SelectObject(dc_, old_);
    ::DeleteObject(bitmap_);
    ::DeleteDC(dc_);
}

COLORREF Screenshot::At(HWND control, int x, int y) const {
    POINT p{x, y};
    ::ClientToScreen(control, &p);
    return ::GetPixel(dc_, p.x - rect_.left, p.y - rect_.top);
}

int Screenshot::Count(HWND control, COLORREF color) const {
    RECT rc;
    ::GetClientRect(control, &rc);
    int n = 0;
    for (int y = rc.top; y < rc.bottom; ++y)
        for (int x = rc.left; x < rc.right; ++x)
            if (At(control, x, y) == color) ++n;
    return n;
}

}  // namespace dialogtest

namespace dialogtest {

bool Screenshot::SaveBmp(const char* path) const {
    const int w = rect_.right - rect_.left, h = rect_.bottom - rect_.top;
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = w;
    info.biHeight = h;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const int stride = (w * 3 + 3) & ~3;
    std::vector<unsigned char> pixels(static_cast<std::size_t>(stride) * h);
    // GetDIBits wants the bitmap not selected into a DC.
    ::SelectObject(dc_, old_);
    const int lines = ::GetDIBits(dc_, bitmap_, 0, h, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
                                  DIB_RGB_COLORS);
    ::SelectObject(dc_, bitmap_);
    if (lines != h) return false;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    std::fwrite(&file, sizeof file, 1, f);
    std::fwrite(&info, sizeof info, 1, f);
    std::fwrite(pixels.data(), 1, pixels.size(), f);
    return std::fclose(f) == 0;
}

}  // namespace dialogtest
