// The debug log: severity-filtered, printf-style records written to the log
// sink (OutputDebugStringW on Windows).
//
//   g_nMessageLevel  0 nothing, 1 errors, 2 errors and warnings, >= 3 all
//
// Each record is a 7-character prefix (L"\r\nERR::", L"\r\nWRN::",
// L"\r\nMSG::") followed by the formatted text, cut at kDebugTextMax
// characters. Records are formatted and written under one lock, the
// innermost lock of the system: nothing else may be locked while it is held,
// and a sink must not log. Below the level a call returns at once, without
// formatting and without taking the lock. Until vDEBUG_Initial_printf has run
// (and after vDEBUG_Shutdown_printf) records are dropped.
//
// Callers pass the method name and the line first:
//   vDEBUG_ERR_printf(L"%s:%d: couldn't send device command",
//                     L"CVNTLFILTER0::RegisterReadWriteCmd", __LINE__);
#pragma once

#include <array>
#include <cstddef>

#include "hubaccess/TextFormat.h"
#include "platform/LogSink.h"
#include "platform/Threads.h"

extern int g_nMessageLevel;

// Most characters of formatted text in one record (the prefix comes on top).
constexpr std::size_t kDebugTextMax = 4088;

// Creates the log lock (m_PrintCriticalSection) and remembers the sink. May be
// called again to bind other ports; no other thread may log meanwhile. A
// lock, once made, is never deleted: it lives until the process ends.
void vDEBUG_Initial_printf(platform::Threads& threads, platform::LogSink& sink);
// Forgets the sink (after any record being written); the lock stays. For the
// owner of a sink that is about to go away, and for a process that ends
// itself at once (the log is flushed first).
void vDEBUG_Shutdown_printf();

namespace debuglog_detail {
// Formats and writes one record under the log lock.
void WriteRecord(const wchar_t* prefix, const wchar_t* format, const textfmt::Arg* args,
                 std::size_t argCount);
}  // namespace debuglog_detail

template <class... A>
void vDEBUG_MSG_printf(const wchar_t* format, const A&... args) {
    if (g_nMessageLevel < 3) return;
    const std::array<textfmt::Arg, sizeof...(A)> captured{textfmt::MakeArg(args)...};
    debuglog_detail::WriteRecord(L"\r\nMSG::", format, captured.data(), captured.size());
}

template <class... A>
void vDEBUG_WRN_printf(const wchar_t* format, const A&... args) {
    if (g_nMessageLevel < 2) return;
    const std::array<textfmt::Arg, sizeof...(A)> captured{textfmt::MakeArg(args)...};
    debuglog_detail::WriteRecord(L"\r\nWRN::", format, captured.data(), captured.size());
}

template <class... A>
void vDEBUG_ERR_printf(const wchar_t* format, const A&... args) {
    if (g_nMessageLevel < 1) return;
    const std::array<textfmt::Arg, sizeof...(A)> captured{textfmt::MakeArg(args)...};
    debuglog_detail::WriteRecord(L"\r\nERR::", format, captured.data(), captured.size());
}
