// The Win32 adapters of all ports, owned together for one process.
#pragma once

#include "platform/Ports.h"
#include "platform/win32/Win32Clock.h"
#include "platform/win32/Win32CodePage.h"
#include "platform/win32/Win32Console.h"
#include "platform/win32/Win32DeviceIo.h"
#include "platform/win32/Win32Files.h"
#include "platform/win32/Win32Launcher.h"
#include "platform/win32/Win32LogSink.h"
#include "platform/win32/Win32OsInfo.h"
#include "platform/win32/Win32Processes.h"
#include "platform/win32/Win32Registry.h"
#include "platform/win32/Win32Resources.h"
#include "platform/win32/Win32SetupApi.h"
#include "platform/win32/Win32Threads.h"
#include "platform/win32/Win32Ui.h"

namespace platform::win32 {

struct Win32Ports {
    Win32DeviceIo deviceIo;
    Win32Clock clock;
    Win32Threads threads;
    Win32LogSink logSink;
    Win32Files files;
    Win32Registry registry;
    Win32Processes processes;
    Win32OsInfo osInfo;
    Win32Ui ui;
    Win32SetupApi setupApi;
    Win32Launcher launcher;
    Win32CodePage codePage;
    Win32Resources resources;
    Win32Console console;

    // Pointers into this object; valid while it lives.
    platform::Ports Ports();
};

}  // namespace platform::win32
