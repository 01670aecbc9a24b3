// A log sink for tests: keeps every record, safe to use from many threads.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/LogSink.h"

namespace sim {

class CaptureLogSink : public platform::LogSink {
public:
    void OutputDebugString(const std::wstring& record) override {
        std::lock_guard<std::mutex> guard(mutex_);
        records_.push_back(record);
        times_.push_back(clock != nullptr ? clock->MonotonicMs() : 0);
    }

    // When given, every record is noted with the time it was written.
    platform::Clock* clock = nullptr;
    // The time of the first record holding `text`, or -1 when none does.
    long long TimeOf(const std::wstring& text) const {
        std::lock_guard<std::mutex> guard(mutex_);
        for (std::size_t i = 0; i < records_.size(); ++i)
            if (records_[i].find(text) != std::wstring::npos) return static_cast<long long>(times_[i]);
        return -1;
    }

    std::vector<std::wstring> Records() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return records_;
    }

    // True when some record holds `text`.
    bool Contains(const std::wstring& text) const {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& r : records_)
            if (r.find(text) != std::wstring::npos) return true;
        return false;
    }

    // True when a record of this kind (L"ERR", L"WRN", L"MSG") from `method`
    // has a text after "<line>: " that begins with `text`.
    bool HasRecord(const std::wstring& kind, const std::wstring& method, const std::wstring& text) const {
        const std::wstring head = L"\r\n" + kind + L"::" + method + L":";
        std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& r : records_) {
            if (r.compare(0, head.size(), head) != 0) continue;
            const std::size_t colon = r.find(L": ", head.size());
            if (colon != std::wstring::npos && r.compare(colon + 2, text.size(), text) == 0) return true;
        }
        return false;
    }

    void Clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        records_.clear();
        times_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> records_;
    std::vector<std::uint64_t> times_;
};

}  // namespace sim
