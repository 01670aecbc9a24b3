// The programs the tool starts: the environment block a child gets, and
// devcon, rundll32 and cmd started by their full paths in the locked package
// folder with that environment.
#include <gtest/gtest.h>

#include <cwctype>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PayloadMachine.h"
#include "app/Payload.h"
#include "platform/ChildEnvironment.h"
#include "sim/FilterDriver.h"
#include "sim/UsbStack.h"

namespace {

using platform::EnvironmentVariable;
using testing_machine::Bytes;
using testing_machine::PayloadMachine;
using Vars = std::vector<EnvironmentVariable>;

std::wstring Block(const std::vector<wchar_t>& block) { return std::wstring(block.begin(), block.end()); }

std::wstring Upper(std::wstring text) {
    for (wchar_t& ch : text) ch = static_cast<wchar_t>(std::towupper(ch));
    return text;
}

struct BlockCase {
    const char* name;
    Vars variables;
    std::wstring block;  // NULs written as '|'
};

TEST(EnvironmentBlock, SortedWithoutRegardToCaseEachEntryEndedAndTheBlockByASecondNul) {
    const BlockCase cases[] = {
        {"Empty", {}, L"||"},
        {"SortedByUpperCasedName",
         {{L"windir", L"W"},
          {L"ComSpec", L"C"},
          {L"PATHEXT", L".EXE"},
          {L"Path", L"P"},
          {L"PROCESSOR_LEVEL", L"6"},
          {L"PROCESSORS", L"2"}},
         // '_' (0x5F) after 'S' (0x53) once upper-cased; "PATH" before "PATHEXT".
         L"ComSpec=C|Path=P|PATHEXT=.EXE|PROCESSORS=2|PROCESSOR_LEVEL=6|windir=W||"},
        {"LaterOfOneNameInAnyCaseStays", {{L"PATH", L"old"}, {L"tmp", L"a"}, {L"Path", L"new"}}, L"Path=new|tmp=a||"},
        {"PerDriveFoldersFirstAndEmptyValuesKept", {{L"A", L""}, {L"=C:", L"C:\\Tool"}}, L"=C:=C:\\Tool|A=||"},
        {"UnusableEntriesLeftOut",
         {{L"", L"x"},
          {L"A=B", L"x"},
          {std::wstring(L"N\0M", 3), L"x"},
          {L"V", std::wstring(L"a\0b", 3)},
          {L"OK", L"1"}},
         L"OK=1||"},
    };
    for (const BlockCase& c : cases) {
        std::wstring want = c.block;
        for (wchar_t& ch : want)
            if (ch == L'|') ch = L'\0';
        const std::vector<wchar_t> block = platform::BuildEnvironmentBlock(c.variables);
        EXPECT_EQ(Block(block), want) << c.name;
        // What the block holds reads back, in its order.
        const Vars parsed = platform::ParseEnvironmentBlock(block.data());
        EXPECT_EQ(platform::BuildEnvironmentBlock(parsed), block) << c.name;
    }
    // An entry without "=" is skipped on the way in.
    const wchar_t raw[] = L"A=1\0junk\0=D:=D:\\\0\0";
    EXPECT_EQ(platform::ParseEnvironmentBlock(raw), (Vars{{L"A", L"1"}, {L"=D:", L"D:\\"}}));
}

TEST(ChildEnvironment, MachineVariablesWithTheSystemFoldersAndThePackageFolderSetOverThem) {
    const std::wstring package = PayloadMachine::kPackage;
    struct Row {
        const char* name;
        Vars machine;
        std::wstring path;  // the child's Path
    };
    const Row rows[] = {
        {"Windows10", sim::SimLauncher::MachineVariables(),
         L"D:\\Win\\System32;C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem"},
        // Names in other cases, values that point elsewhere: all replaced,
        // none twice.
        {"OddNamesAndValues",
         {{L"PATH", L"C:\\Users\\user\\bin"},
          {L"WINDIR", L"C:\\Users\\user\\win"},
          {L"systemroot", L"X:"},
          {L"COMSPEC", L"C:\\Users\\user\\cmd.exe"},
          {L"temp", L"C:\\Users\\user"},
          {L"Tmp", L"C:\\Users\\user"},
          {L"PATHEXT", L".COM;.EXE;.BAT"},
          {L"PROCESSOR_ARCHITECTURE", L"x86"}},
         L"D:\\Win\\System32;C:\\Users\\user\\bin"},
        {"NoMachinePath", {{L"PATHEXT", L".EXE"}}, L"D:\\Win\\System32"},
    };
    for (const Row& row : rows) {
        const Vars child = platform::ChildEnvironment(row.machine, L"D:\\Win", package);
        const std::wstring block = Block(platform::BuildEnvironmentBlock(child));
        const Vars parsed = platform::ParseEnvironmentBlock(block.c_str());
        auto value = [&](const std::wstring& name) {
            std::wstring found;
            int count = 0;
            for (const auto& v : parsed)
                if (Upper(v.name) == name) found = v.value, ++count;
            EXPECT_LE(count, 1) << row.name << " " << std::string(name.begin(), name.end());
            return found;
        };
        EXPECT_EQ(value(L"SYSTEMROOT"), L"D:\\Win") << row.name;
        EXPECT_EQ(value(L"WINDIR"), L"D:\\Win") << row.name;
        EXPECT_EQ(value(L"COMSPEC"), L"D:\\Win\\System32\\cmd.exe") << row.name;
        EXPECT_EQ(value(L"PATH"), row.path) << row.name;
        EXPECT_EQ(value(L"TEMP"), package) << row.name;
        EXPECT_EQ(value(L"TMP"), package) << row.name;
        // Every other machine variable (PATHEXT, the processor variables) stays as it was.
        std::size_t others = 0;
        for (const auto& v : row.machine) {
            const std::wstring name = Upper(v.name);
            if (name == L"PATH" || name == L"WINDIR" || name == L"SYSTEMROOT" || name == L"COMSPEC" ||
                name == L"TEMP" || name == L"TMP")
                continue;
            EXPECT_EQ(value(name), v.value) << row.name;
            ++others;
        }
        EXPECT_EQ(parsed.size(), others + 6) << row.name;
    }
}

// --- the launcher's table: devcon, rundll32 and cmd

// A payload machine on 64-bit Windows whose starts go to a recording
// launcher; devcon starts go on to a USB stack with one hub.
struct LaunchMachine {
    LaunchMachine() {
        m.os.SetWow64(true);
        m.files.PutFile(L"C:\\Windows\\Sysnative\\cmd.exe", Bytes("cmd"));
        m.files.PutFile(L"C:\\Windows\\Sysnative\\rundll32.exe", Bytes("rundll32"));
        // Planted where a search would look: next to the tool, its current directory.
        m.files.PutFile(L"C:\\Tool\\devconAMD64.exe", Bytes("planted"));
        m.files.PutFile(L"C:\\Tool\\rundll32.exe", Bytes("planted"));
        sim::HostControllerSpec c;
        c.interfacePath = L"\\\\?\\pci#ven_8086&dev_a12f#3&1158&0&a0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
        hub = usb.AddDevice(usb.AddHostController(c).rootHub, 1, sim::UsbStack::Hub(0x7A7D, 0x3262, 0x0300, 4));
        // The machine's own variables, one of them pointing where it must not.
        machine = sim::SimLauncher::MachineVariables();
        machine.push_back({L"windir", L"C:\\Users\\user\\windows"});
        launcher.SetMachineEnvironment(machine);
        m.payload.reset();
        m.ports.launcher = &launcher;
        m.ports.setupApi = &usb;
        m.utility = std::make_unique<hubaccess::CHubUtility>(m.ports);
        m.utility->m_szModuleDirectory = L"C:\\Tool";
        m.payload = std::make_unique<app::CPayload>(*m.utility, m.dialog);
    }

    PayloadMachine m;
    sim::FilterDriver driver{m.sched};
    sim::UsbStack usb{m.sched, driver, &m.registry};
    sim::SimLauncher launcher{&usb};
    Vars machine;
    int hub = -1;
};

TEST(Launcher, DevconRundll32AndCmdStartByFullPathInThePackageFolderWithTheMachineEnvironment) {
    const std::wstring package = PayloadMachine::kPackage;
    const std::wstring temp = PayloadMachine::kTemp;
    struct Row {
        const char* name;
        std::function<void(LaunchMachine&)> act;
        std::wstring program;
        std::function<std::wstring(LaunchMachine&)> arguments;
        bool noWindow, hidden;
    };
    const Row rows[] = {
        {"devcon",
         [&](LaunchMachine& l) {
             ASSERT_EQ(l.m.payload->nADD_Delete_DevconFile(temp, 1), 0);
             ASSERT_EQ(l.m.utility->ucGetHubHWIds(hubaccess::HUBREC{l.usb.Name(l.hub), L"", L"", L"", 0}, nullptr, 1),
                       1);
         },
         package + L"\\devconAMD64.exe", [](LaunchMachine& l) { return L"Restart @" + l.usb.InstanceId(l.hub); }, true,
         true},
        {"rundll32", [&](LaunchMachine& l) { ASSERT_EQ(l.m.payload->InstallFilterDriver(temp), 0); },
         L"C:\\Windows\\Sysnative\\rundll32.exe",
         [&](LaunchMachine&) {
             return L"setupapi,InstallHinfSection DefaultInstall 132 " + package + L"\\revodereriri.inf";
         },
         false, false},
        {"cmd", [&](LaunchMachine& l) { ASSERT_EQ(l.m.payload->Remove_FilterDriverAndFiles(temp), 0); },
         L"C:\\Windows\\Sysnative\\cmd.exe",
         [&](LaunchMachine&) { return L"/d /v:off /c \"\"" + package + L"\\DeleteRevodereriri.bat\"\""; }, true, false},
    };
    for (const Row& row : rows) {
        LaunchMachine l;
        row.act(l);
        const std::vector<sim::ProcessCall> calls = l.launcher.Calls();
        ASSERT_EQ(calls.size(), 1u) << row.name;
        const sim::ProcessCall& call = calls[0];
        EXPECT_EQ(call.program, row.program) << row.name;
        EXPECT_EQ(call.commandLine, L"\"" + row.program + L"\" " + row.arguments(l)) << row.name;
        EXPECT_EQ(call.currentDirectory, package) << row.name;
        EXPECT_EQ(call.noWindow, row.noWindow) << row.name;
        EXPECT_EQ(call.hidden, row.hidden) << row.name;
        EXPECT_EQ(call.Variable(L"TEMP"), package) << row.name;
        EXPECT_EQ(call.Variable(L"TMP"), package) << row.name;
        EXPECT_EQ(call.Variable(L"SystemRoot"), L"C:\\Windows") << row.name;
        EXPECT_EQ(call.Variable(L"windir"), L"C:\\Windows") << row.name;
        // As the 64-bit child sees its system folder.
        EXPECT_EQ(call.Variable(L"ComSpec"), L"C:\\Windows\\System32\\cmd.exe") << row.name;
        EXPECT_EQ(call.Variable(L"Path").rfind(L"C:\\Windows\\System32;", 0), 0u) << row.name;
        EXPECT_EQ(call.Variable(L"PATHEXT"), L".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC") << row.name;
        EXPECT_EQ(call.Variable(L"PROCESSOR_ARCHITECTURE"), L"AMD64") << row.name;
        // The process's own current directory stays the program's.
        EXPECT_EQ(l.m.files.CurrentDirectory(), L"C:\\Tool") << row.name;
    }
    // devcon went on to the USB stack, which restarted the one hub.
    LaunchMachine l;
    rows[0].act(l);
    ASSERT_FALSE(l.usb.Journal().empty());
    std::vector<int> restarted;
    for (const sim::UsbEvent& e : l.usb.Journal())
        if (e.kind == sim::UsbEventKind::Launch) restarted = e.restarted;
    EXPECT_EQ(restarted, std::vector<int>{l.hub});
}

}  // namespace
