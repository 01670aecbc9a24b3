// A log sink for tests: keeps every record, safe to use from many threads.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/LogSink.h"

namespace sim {

class CaptureLogSink : public platform::LogSink {
public:
    void OutputDebugString(const std::wstring& record) override {
        std::lock_guard<std::mutex> guard(mutex_);
        records_.push_back(record);
    }

    std::vector<std::wstring> Records() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return records_;
    }

    void Clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        records_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> records_;
};

}  // namespace sim
