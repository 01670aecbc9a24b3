// The debug log (see DebugLog.h).
#include "hubaccess/DebugLog.h"

#include <memory>
#include <string>

int g_nMessageLevel = 0;

namespace {

constexpr std::size_t kPrefixLength = 7;
constexpr std::size_t kPrintBufferCapacity = 4096;

std::unique_ptr<platform::Mutex> m_PrintCriticalSection;
platform::LogSink* g_pLogSink = nullptr;
// The process-wide record buffer (prefix + text); touched only under
// m_PrintCriticalSection.
std::wstring g_wszPrintBuffer;

}  // namespace

void vDEBUG_Initial_printf(platform::Threads& threads, platform::LogSink& sink) {
    m_PrintCriticalSection = threads.CreateMutex("m_PrintCriticalSection");
    g_wszPrintBuffer.clear();
    g_wszPrintBuffer.reserve(kPrintBufferCapacity);
    g_pLogSink = &sink;
}

void vDEBUG_Shutdown_printf() {
    g_pLogSink = nullptr;
    m_PrintCriticalSection.reset();
}

namespace debuglog_detail {

void WriteRecord(const wchar_t* prefix, const wchar_t* format, const textfmt::Arg* args,
                 std::size_t argCount) {
    platform::Mutex* lock = m_PrintCriticalSection.get();
    if (lock == nullptr) return;
    platform::ScopedLock guard(*lock);
    if (g_pLogSink == nullptr) return;
    g_wszPrintBuffer.clear();
    g_wszPrintBuffer.append(prefix, kPrefixLength);
    textfmt::FormatArgs(g_wszPrintBuffer, kDebugTextMax, format, args, argCount);
    g_pLogSink->OutputDebugString(g_wszPrintBuffer);
}

}  // namespace debuglog_detail
