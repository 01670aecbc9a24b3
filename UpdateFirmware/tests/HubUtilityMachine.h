// A hub utility on a fully simulated machine, for the hub access tests: the
// filter driver, files, registry, processes, OS facts and message boxes,
// the Windows USB stack (SetupAPI, launcher and code page included), with
// the debug log captured at level 3. Device requests go to the USB stack,
// which hands those it does not know on to the filter driver.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "sim/CaptureLogSink.h"
#include "sim/FilterDriver.h"
#include "sim/Scheduler.h"
#include "sim/SimSystem.h"
#include "sim/UsbStack.h"

namespace testing_machine {

struct HubUtilityMachine {
    // `seed` drives the scheduler's choice at every scheduling point (0: FIFO).
    explicit HubUtilityMachine(std::uint64_t seed = 0) : sched(SchedulerOptions(seed)) {
        files.MakeDirectory(L"C:\\Tool");
        ports.deviceIo = &usb;
        ports.clock = &sched;
        ports.threads = &sched;
        ports.logSink = &sink;
        ports.files = &files;
        ports.registry = &registry;
        ports.processes = &processes;
        ports.osInfo = &os;
        ports.ui = &ui;
        ports.setupApi = &usb;
        ports.launcher = &usb;
        ports.codePage = &usb;
        utility = std::make_unique<hubaccess::CHubUtility>(ports);
        utility->m_szModuleDirectory = L"C:\\Tool";
        // As the payload sets it once it holds devcon in the package folder.
        utility->m_strDevconPath = L"C:\\Users\\user\\AppData\\Local\\Temp\\VTL262xFW\\FilterDriver\\devconAMD64.exe";
        files.PutFile(utility->m_strDevconPath, {'d'});
        utility->m_hDevconHeld = files.CreateFile(utility->m_strDevconPath, platform::kGenericRead,
                                                  platform::kFileShareRead, platform::FileDisposition::OpenExisting, 0)
                                     .handle;
        vDEBUG_Initial_printf(sched, sink);
        g_nMessageLevel = 3;
        sink.Clear();
    }
    // Open file handles besides the devcon the payload would hold.
    int FileHandlesOpen() const {
        return files.OpenHandleCount() - (utility && utility->m_hDevconHeld.IsValid() ? 1 : 0);
    }
    ~HubUtilityMachine() {
        if (utility) files.CloseHandle(utility->m_hDevconHeld);
        utility.reset();
        g_nMessageLevel = 0;
        vDEBUG_Shutdown_printf();
    }

    // The hub device object, bound to `devList`.
    hubaccess::CVntlHubDev& HubDev() {
        auto& dev = utility->m_USBLib.m_pHubDev;
        if (!dev) dev = std::make_unique<hubaccess::CVntlHubDev>(*utility);
        dev->m_pDevList = &devList;
        return *dev;
    }

    // A record of this kind (L"ERR", L"WRN", L"MSG") from `method` whose
    // text after "<line>: " begins with `text`.
    bool HasRecord(const std::wstring& kind, const std::wstring& method, const std::wstring& text) const {
        return sink.HasRecord(kind, method, text);
    }

    static sim::Scheduler::Options SchedulerOptions(std::uint64_t seed) {
        sim::Scheduler::Options options;
        options.seed = seed;
        return options;
    }

    sim::Scheduler sched;
    sim::CaptureLogSink sink;
    sim::FilterDriver driver{sched};
    sim::SimFiles files;
    sim::SimRegistry registry;
    sim::SimProcesses processes;
    sim::SimOsInfo os{&sched, &files};
    sim::SimUi ui;
    sim::UsbStack usb{sched, driver, &registry};
    platform::Ports ports;
    // Declared before the utility: the hub device object clears it on the way out.
    hubaccess::DEV_LIST devList;
    std::unique_ptr<hubaccess::CHubUtility> utility;
};

}  // namespace testing_machine
