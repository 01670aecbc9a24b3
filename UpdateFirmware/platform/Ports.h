// The set of OS ports a process (or a test) hands to the core.
#pragma once

#include "Clock.h"
#include "DeviceIo.h"
#include "LogSink.h"
#include "Threads.h"

namespace platform {

struct Ports {
    DeviceIo* deviceIo = nullptr;
    Clock* clock = nullptr;
    Threads* threads = nullptr;
    LogSink* logSink = nullptr;
};

}  // namespace platform
