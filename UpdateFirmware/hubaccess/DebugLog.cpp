// The debug log (see DebugLog.h).
//
// The lock, the record buffer and the sink binding live until the process
// ends: a record written while a hub utility is being destroyed, or after
// it, by a thread that is still running, never meets a freed lock. Binding
// new ports makes a new lock; the earlier ones are kept, never deleted.
#include "hubaccess/DebugLog.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

int g_nMessageLevel = 0;

namespace {

constexpr std::size_t kPrefixLength = 7;
constexpr std::size_t kPrintBufferCapacity = 4096;

std::atomic<platform::Mutex*> m_PrintCriticalSection{nullptr};
std::atomic<platform::LogSink*> g_pLogSink{nullptr};

// Every lock made so far. Deliberately never destroyed (not even at exit).
std::vector<std::unique_ptr<platform::Mutex>>& AllLocks() {
    static auto* locks = new std::vector<std::unique_ptr<platform::Mutex>>();
    return *locks;
}

// The process-wide record buffer (prefix + text); touched only under the
// lock. Never destroyed either.
std::wstring& PrintBuffer() {
    static auto* buffer = [] {
        auto* b = new std::wstring();
        b->reserve(kPrintBufferCapacity);
        return b;
    }();
    return *buffer;
}

}  // namespace

void vDEBUG_Initial_printf(platform::Threads& threads, platform::LogSink& sink) {
    std::unique_ptr<platform::Mutex> lock = threads.CreateMutex("m_PrintCriticalSection");
    PrintBuffer();
    platform::Mutex* current = lock.get();
    AllLocks().push_back(std::move(lock));
    m_PrintCriticalSection.store(current);
    g_pLogSink.store(&sink);
}

void vDEBUG_Shutdown_printf() {
    platform::Mutex* lock = m_PrintCriticalSection.load();
    if (lock == nullptr || g_pLogSink.load() == nullptr) return;
    // A record being written ends before the sink is let go.
    platform::ScopedLock guard(*lock);
    g_pLogSink.store(nullptr);
}

namespace debuglog_detail {

void WriteRecord(const wchar_t* prefix, const wchar_t* format, const textfmt::Arg* args,
                 std::size_t argCount) {
    platform::Mutex* lock = m_PrintCriticalSection.load();
    if (lock == nullptr || g_pLogSink.load() == nullptr) return;
    platform::ScopedLock guard(*lock);
    platform::LogSink* sink = g_pLogSink.load();
    if (sink == nullptr) return;
    std::wstring& buffer = PrintBuffer();
    buffer.clear();
    buffer.append(prefix, kPrefixLength);
    textfmt::FormatArgs(buffer, kDebugTextMax, format, args, argCount);
    sink->OutputDebugString(buffer);
}

}  // namespace debuglog_detail
