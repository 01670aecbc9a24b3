// A console for tests: records whether one was allocated, bound or freed and
// keeps what was written to stdout.
#pragma once

#include <mutex>
#include <string>

#include "platform/Console.h"

namespace sim {

class SimConsole : public platform::Console {
public:
    bool AllocConsole() override {
        std::lock_guard<std::mutex> guard(mutex_);
        ++allocations_;
        if (hasConsole_) return false;
        hasConsole_ = true;
        return true;
    }
    bool BindStdout() override {
        std::lock_guard<std::mutex> guard(mutex_);
        bound_ = hasConsole_;
        return bound_;
    }
    bool FreeConsole() override {
        std::lock_guard<std::mutex> guard(mutex_);
        ++frees_;
        const bool had = hasConsole_;
        hasConsole_ = false;
        bound_ = false;
        return had;
    }
    void Write(const std::wstring& text) override {
        std::lock_guard<std::mutex> guard(mutex_);
        output_ += text;
    }

    // --- test helpers
    void SetHasConsole(bool has) {
        std::lock_guard<std::mutex> guard(mutex_);
        hasConsole_ = has;
    }
    bool HasConsole() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return hasConsole_;
    }
    bool StdoutBound() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return bound_;
    }
    int Allocations() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return allocations_;
    }
    int Frees() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return frees_;
    }
    std::wstring Output() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return output_;
    }

private:
    mutable std::mutex mutex_;
    bool hasConsole_ = false;
    bool bound_ = false;
    int allocations_ = 0;
    int frees_ = 0;
    std::wstring output_;
};

}  // namespace sim
