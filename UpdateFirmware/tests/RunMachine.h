// A whole run on the simulated machine: the dialog state, the hub utility on
// the simulated USB stack and filter driver, a recording view, a recording
// clean-up, and chips that know an old, the file's and a newer firmware.
// Start is pressed inside the deterministic scheduler and the run goes to its
// end (the coordinator joined).
#pragma once

#include <algorithm>
#include <cstdlib>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "app/RunCleanup.h"
#include "app/RunView.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "sim/CaptureLogSink.h"
#include "sim/FakeRunView.h"
#include "sim/FilterDriver.h"
#include "sim/FilterWire.h"
#include "sim/HubChip.h"
#include "sim/Scheduler.h"
#include "sim/SimSystem.h"
#include "sim/UsbStack.h"

namespace run_machine {

// The sweeps run their full sets only when FW_FULL_SWEEP is set (and not 0).
inline bool FullSweep() {
    const char* v = std::getenv("FW_FULL_SWEEP");
    return v != nullptr && *v != '\0' && *v != '0';
}

inline std::vector<std::uint8_t> Pattern(std::size_t length, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 8));
    return bytes;
}

const sim::HubChip::Version kOldVersion{0x13, 0x01, 0x01, 0x00, 0x00, 0x00};
const sim::HubChip::Version kFileVersion{0x14, 0x04, 0x15, 0x03, 0xE5, 0x00};
const sim::HubChip::Version kNewerVersion{0x15, 0x06, 0x30, 0x01, 0xE5, 0x00};
const wchar_t kFileName[] = L"C:\\Tool\\140415_03_E5_00.bin";
// After the coordinator's grace: the last resort's wait, the scan and the
// clean-up.
constexpr std::uint64_t kLastResortRoomMs = 20'000;
// The type byte the temporary image gets for chips whose register 0x5820 reads 0x25.
constexpr std::uint8_t kImageType = 0x3C;

// A chip whose image-0 firmware area comes out of a download with another
// length word than the image's.
class LengthChangingChip : public sim::HubChip {
public:
    using sim::HubChip::HubChip;
    void OnDownloadComplete(const Download& download) override {
        sim::HubChip::OnDownloadComplete(download);
        if (download.command == 0x50 && download.image == 0) SetFirmwareArea(0, 0, {0x10, 0x50});
    }
};

class RecordingCleanup : public app::RunCleanup {
public:
    std::wstring TempPath() override { return L"C:\\Temp\\"; }
    void DeleteIniFile() override { ++iniDeleted; }
    int Remove_FilterDriverAndFiles(const std::wstring& dir) override {
        ++driverRemoved;
        return 0;
    }
    // As the payload does: devcon is let go of before it is deleted.
    void DeleteDevcon() override {
        ++devconDeleted;
        if (utility != nullptr && utility->m_hDevconHeld.IsValid()) {
            files->CloseHandle(utility->m_hDevconHeld);
            utility->m_hDevconHeld = platform::Handle::Invalid();
        }
    }
    int iniDeleted = 0, driverRemoved = 0, devconDeleted = 0;
    sim::SimFiles* files = nullptr;
    hubaccess::CHubUtility* utility = nullptr;
};

// Device access as a run sees it on hardware:
//   - yield: every request first hands the baton on, so workers interleave
//     wherever no lock keeps them apart;
//   - latencyUs: every request on a filter device object costs this much
//     virtual time, charged once per chip operation (when its handle is
//     closed), so the real time of a run does not grow with it.
class YieldingIo : public platform::DeviceIo {
public:
    platform::DeviceOpenResult CreateFile(const std::wstring& path, platform::DeviceOpenMode mode) override {
        const platform::DeviceOpenResult r = inner->CreateFile(path, mode);
        if (mode == platform::DeviceOpenMode::Filter && r.handle.IsValid()) {
            pendingUs[r.handle.raw] = 0;
            paths[r.handle.raw] = path;
        }
        return r;
    }
    platform::IoctlResult DeviceIoControl(platform::Handle device, std::uint32_t code, const std::uint8_t* in,
                                          std::uint32_t inLen, std::uint8_t* out, std::uint32_t outCapacity) override {
        auto it = pendingUs.find(device.raw);
        if (it != pendingUs.end()) {
            ++requests;
            it->second += latencyUs;
        }
        if (yield) clock->Sleep(0);
        Session* session = NoteWriteStart(device, code, in, inLen);
        const platform::IoctlResult r = inner->DeviceIoControl(device, code, in, inLen, out, outCapacity);
        if (session != nullptr) NoteWriteEnd(device, *session, r.Succeeded());
        return r;
    }
    // Counts the erases and downloads that start while the run's token is
    // set (a download starts with its first chunk). After the cancel only
    // what completes a table left erased may start: its download, or (when
    // that download failed) its erase and download again.
    struct Session {
        std::uint32_t command = 0, value = 0, sent = 0, chunks = 0;
        bool failed = false;  // one of its own requests failed
    };
    Session* NoteWriteStart(platform::Handle device, std::uint32_t code, const std::uint8_t* in, std::uint32_t inLen) {
        namespace fw = sim::filterwire;
        if (code != fw::kIoctlWrite || in == nullptr || inLen < fw::kBlockSize) return nullptr;
        const std::uint32_t command = fw::Word(in, fw::kWordCommand), value = fw::Word(in, fw::kWordValue);
        bool starts = false;
        Session* sn = nullptr;
        std::uint32_t image = value;
        if (command == fw::kCmdSpiErase) {
            // One erase step: both parts, on one handle.
            sn = &sessions[device.raw];
            image = value & 0xFF;
            starts = sn->command != command;
            if (starts) *sn = Session{command, image, 0, 0};
        } else if (command == fw::kCmdFirmwareDownload || command == fw::kCmdConfigDownload) {
            sn = &sessions[device.raw];
            const std::uint32_t chunks = (fw::Word(in, fw::kWordIndex) + 31) / 32;
            if (sn->command != command || sn->value != value || sn->sent >= sn->chunks)
                *sn = Session{command, value, 0, chunks};
            starts = sn->sent++ == 0;
        } else {
            return nullptr;
        }
        const bool cancelled = cancel && *cancel && (*cancel)->IsCancelled();
        const auto key = std::make_pair(paths[device.raw], image);
        if (starts && cancelled) {
            const bool completesErase = command != fw::kCmdFirmwareDownload && tableOpen[key];
            if (!completesErase) ++writesStartedAfterCancel;
        }
        if (starts && command == fw::kCmdSpiErase) tableOpen[key] = true;
        return sn;
    }
    void NoteWriteEnd(platform::Handle device, Session& sn, bool succeeded) {
        if (!succeeded) sn.failed = true;
        namespace fw = sim::filterwire;
        if (sn.command == fw::kCmdConfigDownload && sn.sent == sn.chunks && !sn.failed)
            tableOpen[std::make_pair(paths[device.raw], sn.value)] = false;
    }
    bool CancelIoEx(platform::Handle device) override { return inner->CancelIoEx(device); }
    bool CloseHandle(platform::Handle device) override {
        auto it = pendingUs.find(device.raw);
        std::uint64_t us = 0;
        if (it != pendingUs.end()) {
            std::uint64_t& carry = carryUs[threads ? threads->CurrentThreadId() : 0];
            us = it->second + carry;
            carry = us % 1000;
            pendingUs.erase(it);
        }
        const bool closed = inner->CloseHandle(device);
        if (us > 0) {
            if (us >= 1000) clock->Sleep(static_cast<std::uint32_t>(us / 1000));
        }
        return closed;
    }

    platform::DeviceIo* inner = nullptr;
    platform::Clock* clock = nullptr;
    platform::Threads* threads = nullptr;  // keys the carry by thread when set
    bool yield = false;
    std::uint64_t latencyUs = 0;
    std::uint64_t requests = 0;  // requests on filter device objects
    // Downloads that started but were not sent whole, though none of their
    // own chunks failed.
    int CutDownloads() const {
        int cut = 0;
        for (const auto& [raw, sn] : sessions) {
            (void)raw;
            if (sn.chunks == 0 || sn.sent == 0 || sn.sent >= sn.chunks) continue;
            cut += sn.failed ? 0 : 1;
        }
        return cut;
    }
    // The run's cancel token, and the filter request (numbered as the
    // driver's journal numbers it, 1-based) at which it is set, as the run's
    // time-out would (0: never).
    const std::unique_ptr<platform::CancelToken>* cancel = nullptr;
    std::uint64_t cancelAtRequest = 0;
    int writesStartedAfterCancel = 0;

private:
    std::map<std::uintptr_t, Session> sessions;
    std::map<std::uintptr_t, std::wstring> paths;
    // (device object, image): an erase of that table started and no
    // download completed it since.
    std::map<std::pair<std::wstring, std::uint32_t>, bool> tableOpen;
    std::map<std::uintptr_t, std::uint64_t> pendingUs;
    // The part of a millisecond each thread has been charged but not slept
    // yet: one thread's requests never lengthen another's sleeps.
    std::map<std::uint32_t, std::uint64_t> carryUs;
};

// The scheduler's threads, noting the virtual time each thread was started.
class TimedThreads : public platform::Threads {
public:
    std::unique_ptr<platform::Thread> Start(std::function<void()> body, platform::ThreadPriority priority,
                                            const std::string& name) override {
        startedMs.push_back(clock->MonotonicMs());
        if (beforeStart) beforeStart();
        const auto hold = endHoldMs.find(name);
        const std::uint32_t holdMs = hold == endHoldMs.end() ? 0 : hold->second;
        ++*alive;
        return inner->Start(
            [body = std::move(body), holdMs, clock = clock, alive = alive] {
                struct Ended {
                    std::shared_ptr<int> count;
                    ~Ended() { --*count; }
                } ended{alive};
                body();
                if (holdMs > 0) clock->Sleep(holdMs);
            },
            priority, name);
    }
    std::unique_ptr<platform::Mutex> CreateMutex(const std::string& name) override {
        return std::make_unique<CountingMutex>(inner->CreateMutex(name), held);
    }
    std::unique_ptr<platform::CancelToken> CreateCancelToken() override { return inner->CreateCancelToken(); }
    std::uint32_t CurrentThreadId() override { return inner->CurrentThreadId(); }

    platform::Threads* inner = nullptr;
    platform::Clock* clock = nullptr;
    std::vector<std::uint64_t> startedMs;
    // Runs on the starting thread before each thread starts.
    std::function<void()> beforeStart;
    // Threads (by name) whose end comes this long after their body has
    // returned, as a Windows thread that ends with a request still pending
    // waits for that request's cancel.
    std::map<std::string, std::uint32_t> endHoldMs;
    // Threads started here that have not ended yet.
    std::shared_ptr<int> alive = std::make_shared<int>(0);
    // Locks held now, over every mutex made here.
    std::shared_ptr<int> held = std::make_shared<int>(0);

private:
    class CountingMutex : public platform::Mutex {
    public:
        CountingMutex(std::unique_ptr<platform::Mutex> m, std::shared_ptr<int> count)
            : inner_(std::move(m)), count_(std::move(count)) {}
        void Lock() override {
            inner_->Lock();
            ++*count_;
        }
        void Unlock() override {
            --*count_;
            inner_->Unlock();
        }

    private:
        std::unique_ptr<platform::Mutex> inner_;
        std::shared_ptr<int> count_;
    };
};

inline sim::Scheduler::Options SchedulerOptions(std::uint64_t seed) {
    sim::Scheduler::Options o;
    o.seed = seed;
    o.watchdogRealMs = 60'000;
    return o;
}

struct RunMachine {
    explicit RunMachine(std::uint64_t seed = 0, std::size_t imageSize = 0x5000)
        : sched(SchedulerOptions(seed)), newImage(Pattern(imageSize, 2)), oldImage(Pattern(imageSize, 1)),
          newerImage(Pattern(imageSize, 3)) {
        // Image sums that differ from every type byte in use (the old
        // images' areas carry type 0, the new one kImageType), so a reader
        // that takes one for the other is caught.
        newImage[0] = static_cast<std::uint8_t>(newImage[0] + 1);
        oldImage[0] = static_cast<std::uint8_t>(oldImage[0] + 7);
        newerImage[0] = static_cast<std::uint8_t>(newerImage[0] + 3);
        files.MakeDirectory(L"C:\\Tool");
        registry.SetMultiString(sim::UsbStack::kUsbClassKey, L"UpperFilters", {L"VntlFilter"});
        io.inner = &usb;
        io.clock = &sched;
        io.threads = &sched;
        io.yield = seed != 0;
        io.cancel = &dlg.m_pRunCancel;
        driver.onRequest = [this](std::uint64_t number) {
            if (io.cancelAtRequest != 0 && number == io.cancelAtRequest && dlg.m_pRunCancel) dlg.m_pRunCancel->Cancel();
        };
        ports.deviceIo = &io;
        ports.clock = &sched;
        threads.inner = &sched;
        threads.clock = &sched;
        ports.threads = &threads;
        ports.logSink = &sink;
        sink.clock = &sched;
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
        cleanup.files = &files;
        cleanup.utility = utility.get();
        utility->m_strVID_Indetify = L"7A7D";
        vDEBUG_Initial_printf(sched, sink);
        g_nMessageLevel = 3;
        hubaccess::pUtility = utility.get();
        app::pFWUpdateDlg = &dlg;
        dlg.m_pRunView = &view;
        view.SetFailureHandler([this](const std::wstring& m) { viewFailures.push_back(m); });
        dlg.m_pRunCleanup = &cleanup;
        dlg.m_bUpdateFW = 1;
        files.PutFile(kFileName, newImage);
        utility->m_strFWBinFilePath = kFileName;
        root = Controller();
    }
    ~RunMachine() {
        hubaccess::pUtility = nullptr;
        app::pFWUpdateDlg = nullptr;
        utility.reset();
        g_nMessageLevel = 0;
        vDEBUG_Shutdown_printf();
    }
    // What the program's end destroys when it tears down: the dialog's
    // state and the hub utility (the machine's ports stay).
    void TearDown() {
        io.cancel = nullptr;
        hubaccess::pUtility = nullptr;
        app::pFWUpdateDlg = nullptr;
        dlgOwner.reset();
        utility.reset();
    }

    int Controller(std::uint8_t ports = 4) {
        sim::HostControllerSpec spec;
        spec.interfacePath = L"\\\\?\\pci#ven_8086&dev_a12f&subsys_00000000&rev_01#3&11583659&0&" +
                             std::to_wstring(++controllers) + L"0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
        spec.rootPorts = ports;
        return usb.AddHostController(spec).rootHub;
    }
    // A chip running `running` from image 0 (image 1 blank), with one USB 3.0
    // interface on `port` of `parent`; returns the chip's node.
    int AddHub(int parent, std::uint32_t port, const sim::HubChip::Version& running = kOldVersion,
               const std::function<void(sim::UsbDeviceSpec&)>& tweak = {},
               std::shared_ptr<sim::HubChip> chip = nullptr) {
        if (!chip) chip = std::make_shared<sim::HubChip>(&sched);
        chip->SetConfigBlock(0, Pattern(256, static_cast<std::uint8_t>(0x40 + chips.size())));
        const std::vector<std::uint8_t>& image =
            running == kFileVersion ? newImage : running == kNewerVersion ? newerImage : oldImage;
        chip->SetFirmwareArea(0, 0, sim::HubChip::FirmwareAreaFor(image));
        chip->RegisterImageVersion(oldImage, kOldVersion);
        chip->RegisterImageVersion(newImage, kFileVersion);
        chip->RegisterImageVersion(newerImage, kNewerVersion);
        chip->SetVersion(running);
        chip->SetReg(0x5820, 0x25);
        chips.push_back(chip);
        sim::UsbDeviceSpec spec = sim::UsbStack::ChipInterface(chip, 0x0300);
        spec.powerValue = 0;
        if (tweak) tweak(spec);
        const int node = usb.AddDevice(parent, port, spec);
        nodes.push_back(node);
        return node;
    }

    // Presses Start (`starts` times) and waits until the coordinator has ended.
    void Run(int starts = 1) {
        sched.Run([&] {
            for (int i = 0; i < starts; ++i) dlg.OnBnClickedButtonStart();
            if (dlg.m_pMainThread) dlg.m_pMainThread->Join(platform::kInfinite);
        });
    }

    // Whether image `image` of chip i holds the file's firmware area as the
    // run prepared it: length word, image bytes, type byte (from the first
    // hub's chip: imageType) and sum.
    bool HoldsNewFirmware(std::size_t i, int image) const {
        const auto area = sim::HubChip::FirmwareAreaFor(newImage, imageType);
        const auto& flash = chips[i]->FirmwareArea(image);
        return flash.size() >= area.size() && std::equal(area.begin(), area.end(), flash.begin());
    }
    // Chip i as one that boots image 1: its firmware and table move to
    // image 1, image 0 is blank.
    void BootFromImage1(std::size_t i) {
        sim::HubChip& chip = *chips[i];
        const std::vector<std::uint8_t> area = chip.FirmwareArea(0), table = chip.ConfigBlock(0);
        chip.SetFirmwareArea(1, 0, area);
        chip.SetConfigBlock(1, table);
        chip.SetFirmwareArea(0, 0, std::vector<std::uint8_t>(area.size(), 0xFF));
        chip.SetConfigBlock(0, std::vector<std::uint8_t>(256, 0xFF));
    }
    // Starting states an earlier run may have left.
    // Image 0's download cut after `bytes` of the prepared area: its table
    // written, the rest of its firmware area blank; the chip boots image 1.
    void CutImage0Download(std::size_t i, std::size_t bytes) {
        BootFromImage1(i);
        sim::HubChip& chip = *chips[i];
        chip.SetConfigBlock(0, chip.ConfigBlock(1));
        const auto area = sim::HubChip::FirmwareAreaFor(newImage, imageType);
        std::vector<std::uint8_t> cut(area.size(), 0xFF);
        std::copy(area.begin(), area.begin() + static_cast<std::ptrdiff_t>(std::min(bytes, area.size())), cut.begin());
        chip.SetFirmwareArea(0, 0, cut);
    }
    // Both images written with the prepared area and the chip's table, the
    // hub never reset: it still runs (and reports) its old firmware.
    void BothImagesPrepared(std::size_t i) {
        sim::HubChip& chip = *chips[i];
        const auto area = sim::HubChip::FirmwareAreaFor(newImage, imageType);
        const auto table = chip.ConfigBlock(0);
        for (int image = 0; image < 2; ++image) {
            chip.SetFirmwareArea(image, 0, area);
            chip.SetConfigBlock(image, table);
        }
    }
    // Image 1 holds another old version whose first 32 bytes of firmware
    // area equal image 0's, with the same table.
    void OtherOldVersionInImage1(std::size_t i) {
        sim::HubChip& chip = *chips[i];
        std::vector<std::uint8_t> other = Pattern(oldImage.size(), 9);
        std::copy(oldImage.begin(), oldImage.begin() + 30, other.begin());
        chip.RegisterImageVersion(other, sim::HubChip::Version{0x13, 0x02, 0x02, 0x00, 0x00, 0x00});
        chip.SetFirmwareArea(1, 0, sim::HubChip::FirmwareAreaFor(other));
        chip.SetConfigBlock(1, chip.ConfigBlock(0));
    }
    // Whether the log holds the record that image 1's firmware of target t
    // was not verified, and how many.
    int NotVerifiedRecords(int t) const {
        const std::wstring target = L"ucTargetNumber[" + std::to_wstring(t) + L"]";
        int n = 0;
        for (const std::wstring& r : sink.Records())
            n += r.find(L"image 1's firmware is not verified") != std::wstring::npos &&
                 r.find(target) != std::wstring::npos;
        return n;
    }
    // The table chip i holds before the run: image 0's, or image 1's when
    // image 0's is blank.
    std::vector<std::uint8_t> OwnTable(std::size_t i) const {
        const auto& table0 = chips[i]->ConfigBlock(0);
        const bool blank = std::all_of(table0.begin(), table0.end(), [](std::uint8_t b) { return b == 0xFF; });
        return blank ? chips[i]->ConfigBlock(1) : table0;
    }
    // The default table the tool writes when it has none of the chip's.
    std::vector<std::uint8_t> DefaultTable() const {
        std::array<hubaccess::BYTE, hubaccess::kConfigTableSize> table{};
        utility->BuildDefaultConfigTable(table);
        return std::vector<std::uint8_t>(table.begin(), table.end());
    }
    // The image chip i boots after a reset (the first whose firmware is
    // valid), or -1.
    int BootImage(std::size_t i) const { return chips[i]->ImageValid(0) ? 0 : chips[i]->ImageValid(1) ? 1 : -1; }
    // Whether the image chip i boots carries a table.
    bool HasBootableImage(std::size_t i) const {
        const int image = BootImage(i);
        if (image < 0) return false;
        const auto& table = chips[i]->ConfigBlock(image);
        return !std::all_of(table.begin(), table.end(), [](std::uint8_t b) { return b == 0xFF; });
    }
    int RowOfChip(std::size_t i) {
        const std::wstring name = usb.FilterObjectName(nodes[i]);
        for (int t = 0; t < dlg.m_devList.nCount; ++t)
            if (dlg.m_devList.rows[t].m_strObjectName == name) return t;
        return -1;
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
    YieldingIo io;
    TimedThreads threads;
    platform::Ports ports;
    sim::FakeRunView view;
    RecordingCleanup cleanup;
    std::vector<std::wstring> viewFailures;
    std::unique_ptr<app::CMy262FWUpgradeToolDlg> dlgOwner = std::make_unique<app::CMy262FWUpgradeToolDlg>();
    app::CMy262FWUpgradeToolDlg& dlg = *dlgOwner;
    std::unique_ptr<hubaccess::CHubUtility> utility;
    std::vector<std::uint8_t> newImage, oldImage, newerImage;
    // The type byte of the prepared image (register 0x5820 of the first hub).
    std::uint8_t imageType = kImageType;
    std::vector<std::shared_ptr<sim::HubChip>> chips;
    std::vector<int> nodes;
    int controllers = 0;
    int root = -1;
    std::vector<std::uint32_t> attempts;  // a test's file errors, in order
};

}  // namespace run_machine
