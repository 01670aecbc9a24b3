// A hub utility, the main dialog's state and the payload object on a
// simulated machine with an executable's resources and a process starter
// that records what it is asked to run. The log is captured at level 3.
#pragma once

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "app/Payload.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "sim/CaptureLogSink.h"
#include "sim/Scheduler.h"
#include "sim/SimLauncher.h"
#include "sim/SimResources.h"
#include "sim/SimSystem.h"

namespace testing_machine {

inline std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

inline std::vector<std::uint8_t> ReadHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct PayloadMachine {
    static constexpr const wchar_t* kTemp = L"C:\\Users\\user\\AppData\\Local\\Temp\\";
    static constexpr const wchar_t* kPackage = L"C:\\Users\\user\\AppData\\Local\\Temp\\VTL262xFW\\FilterDriver";

    PayloadMachine() {
        files.MakeDirectory(L"C:\\Tool");
        files.MakeDirectory(kTemp);
        files.SetCurrentDirectory(L"C:\\Tool");
        // Each item distinct, so a test sees which one went where.
        resources.Add(L"INF", 157, Bytes("[Version]\r\ninf\r\n"));
        resources.Add(L"SYS", 154, Bytes("sys i386"));
        resources.Add(L"SYS", 155, Bytes("sys amd64"));
        resources.Add(L"SYS", 165, Bytes("sys amd64 win10"));
        resources.Add(L"DLL", 148, Bytes("support dll"));
        resources.Add(L"DLL", 147, Bytes("debug runtime dll"));
        resources.Add(L"INF", 164, Bytes("@echo off\r\nbatch\r\n"));
        resources.Add(L"EXE", 152, Bytes("devcon amd64"));
        resources.Add(L"EXE", 158, Bytes("devcon x86"));
        resources.Add(L"BIN", 166, Bytes("firmware image bytes"));
        resources.AddText(L"INI", 167, "140415_03_E5_00.bin\r\n");
        ports.clock = &sched;
        ports.threads = &sched;
        ports.logSink = &sink;
        ports.files = &files;
        ports.registry = &registry;
        ports.processes = &processes;
        ports.osInfo = &os;
        ports.ui = &ui;
        ports.launcher = &launcher;
        ports.resources = &resources;
        utility = std::make_unique<hubaccess::CHubUtility>(ports);
        utility->m_szModuleDirectory = L"C:\\Tool";
        payload = std::make_unique<app::CPayload>(*utility, dialog);
        vDEBUG_Initial_printf(sched, sink);
        g_nMessageLevel = 3;
        sink.Clear();
    }
    ~PayloadMachine() {
        payload.reset();
        utility.reset();
        g_nMessageLevel = 0;
        vDEBUG_Shutdown_printf();
    }

    void SetWindows10() {
        os.SetVersion(6, 2);
        registry.SetDword(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentMajorVersionNumber", 10);
    }
    std::wstring Package(const std::wstring& name) const { return std::wstring(kPackage) + L"\\" + name; }
    std::vector<std::uint8_t> File(const std::wstring& path) const {
        auto f = files.GetFile(path);
        return f ? *f : std::vector<std::uint8_t>{};
    }
    bool Has(const std::wstring& kind, const std::wstring& method, const std::wstring& text) const {
        return sink.HasRecord(kind, L"CMy262FWUpgradeToolDlg::" + method, text);
    }

    sim::Scheduler sched;
    sim::CaptureLogSink sink;
    sim::SimFiles files;
    sim::SimRegistry registry;
    sim::SimProcesses processes;
    sim::SimOsInfo os{&sched, &files};
    sim::SimUi ui;
    sim::SimLauncher launcher;
    sim::SimResources resources;
    platform::Ports ports;
    app::CMy262FWUpgradeToolDlg dialog;
    std::unique_ptr<hubaccess::CHubUtility> utility;
    std::unique_ptr<app::CPayload> payload;
};

}  // namespace testing_machine
