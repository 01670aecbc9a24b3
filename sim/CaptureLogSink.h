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
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> records_;
};

}  // namespace sim
