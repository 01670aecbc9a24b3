// A console for tests: records whether one was allocated, bound or freed.
#pragma once

#include <mutex>

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

private:
    mutable std::mutex mutex_;
    bool hasConsole_ = false;
    bool bound_ = false;
    int allocations_ = 0;
    int frees_ = 0;
};

}  // namespace sim
