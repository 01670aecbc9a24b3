#include "platform/win32/Win32Ports.h"

namespace platform::win32 {

platform::Ports Win32Ports::Ports() {
    platform::Ports ports;
    ports.deviceIo = &deviceIo;
    ports.clock = &clock;
    ports.threads = &threads;
    ports.logSink = &logSink;
    ports.files = &files;
    ports.registry = &registry;
    ports.processes = &processes;
    ports.osInfo = &osInfo;
    ports.ui = &ui;
    ports.setupApi = &setupApi;
    ports.launcher = &launcher;
    ports.codePage = &codePage;
    ports.resources = &resources;
    ports.console = &console;
    return ports;
}

}  // namespace platform::win32
