// The set of OS ports a process (or a test) hands to the core.
#pragma once

#include "Clock.h"
#include "CodePage.h"
#include "Console.h"
#include "DeviceIo.h"
#include "Files.h"
#include "Launcher.h"
#include "LogSink.h"
#include "OsInfo.h"
#include "Processes.h"
#include "Registry.h"
#include "Resources.h"
#include "SetupApi.h"
#include "Threads.h"
#include "Ui.h"

namespace platform {

struct Ports {
    DeviceIo* deviceIo = nullptr;
    Clock* clock = nullptr;
    Threads* threads = nullptr;
    LogSink* logSink = nullptr;
    Files* files = nullptr;
    Registry* registry = nullptr;
    Processes* processes = nullptr;
    OsInfo* osInfo = nullptr;
    Ui* ui = nullptr;
    SetupApi* setupApi = nullptr;
    Launcher* launcher = nullptr;
    CodePage* codePage = nullptr;
    Resources* resources = nullptr;
    Console* console = nullptr;
};

}  // namespace platform
