// Whole runs on the simulated machine: Start pressed, the coordinator, the
// hub workers and the view under the deterministic scheduler, each scenario
// checked for its exit code, result text, bars and what the flash holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "RunMachine.h"
#include "app/FirmwareFiles.h"
#include "app/Payload.h"
#include "hubaccess/FilterRequest.h"

namespace {

using run_machine::RunMachine;
using sim::HubChip;

enum class Flash { New, Old, Any };

struct Scenario {
    const char* name;
    // Builds the hubs (and faults) on the machine.
    std::function<void(RunMachine&)> setup;
    int exitCode;
    std::wstring text;                // the final status text
    std::vector<Flash> flash;         // per chip, in the order added
    std::string bars;                 // per chip (rows 0..4 only): 'G'reen, 'R'ed at 100, '-' untouched
    std::function<void(RunMachine&)> check;  // further checks, may be empty
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

// A configuration table whose VID (0x84) is the hubs'.
std::vector<std::uint8_t> ConfigTable() {
    auto table = run_machine::Pattern(256, 0x5A);
    table[0x84] = 0x7D;
    table[0x85] = 0x7A;
    return table;
}

// The tiers of the hubs whose reset gate opened, in order.
std::vector<int> GateTiers(RunMachine& m) {
    std::vector<int> tiers;
    const std::wstring key = L"m_ucHubDepth=";
    for (const std::wstring& r : m.sink.Records()) {
        if (r.find(L"this Hub is unlock to do CPU rest") == std::wstring::npos) continue;
        tiers.push_back(std::stoi(r.substr(r.find(key) + key.size())));
    }
    return tiers;
}

// The images the chip's firmware downloads went to, in order.
std::vector<std::uint32_t> FirmwareDownloads(const HubChip& chip) {
    std::vector<std::uint32_t> images;
    for (const auto& d : chip.downloads)
        if (d.command == hubaccess::CMD_FW_DOWNLOAD) images.push_back(d.image);
    return images;
}

// A chip that changes one byte of every firmware download into image 0, as
// a flash that fails at one place would.
class ContentChangingChip : public HubChip {
public:
    using HubChip::HubChip;
    void OnDownloadComplete(const Download& download) override {
        HubChip::OnDownloadComplete(download);
        if (download.command == 0x50 && download.image == 0) SetFirmwareArea(0, 0x1000, {0x00});
    }
};

// Hubs at tiers 1, 2 and 3 in a chain, and a second tier-1 hub.
void ThreeTiers(RunMachine& m) {
    const int a = m.AddHub(m.root, 1);
    const int b = m.AddHub(a, 1);
    m.AddHub(b, 1);
}

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> rows = {
        {"OneHubPasses", [](RunMachine& m) { m.AddHub(m.root, 1); }, 0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             EXPECT_EQ(m.cleanup.driverRemoved, 1);
             EXPECT_EQ(m.chips[0]->cpuResets, 1);
             // Image 0 boots (its sum, not its type byte, matches): image 1 goes first.
             EXPECT_EQ(FirmwareDownloads(*m.chips[0]), (std::vector<std::uint32_t>{1, 0}));
             EXPECT_EQ(m.chips[0]->ConfigBlock(0), m.chips[0]->ConfigBlock(1));
             EXPECT_EQ(m.dlg.m_devList.rows[0].m_bConfigResult, 1);
         }},
        {"ChipBootingImage1GetsImage0First",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.AddHub(m.root, 2);
             m.BootFromImage1(1);
         },
         0, L"Pass!!", {Flash::New, Flash::New}, "GG",
         [](RunMachine& m) {
             EXPECT_EQ(FirmwareDownloads(*m.chips[0]), (std::vector<std::uint32_t>{1, 0}));
             EXPECT_EQ(FirmwareDownloads(*m.chips[1]), (std::vector<std::uint32_t>{0, 1}));
             // Its own table (from image 1) went into both images.
             EXPECT_EQ(m.chips[1]->ConfigBlock(0), run_machine::Pattern(256, 0x41));
             EXPECT_EQ(m.chips[1]->ConfigBlock(1), run_machine::Pattern(256, 0x41));
         }},
        {"DroppedChunkIsWrittenAgain",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             sim::Fault f;  // the driver reports success, the chip loses the chunk
             f.match.command = hubaccess::CMD_FW_DOWNLOAD;
             f.kind = sim::FaultKind::DropWrite;
             f.skip = 5;
             m.driver.AddFault(f);
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             // Image 1 read back wrong, written again, read back right; only then image 0.
             EXPECT_EQ(FirmwareDownloads(*m.chips[0]), (std::vector<std::uint32_t>{1, 1, 0}));
             EXPECT_TRUE(m.sink.HasRecord(L"WRN", L"CMy262FWUpgradeToolDlg::ChildThreadFun",
                                          L"ucTargetNumber[0], image 1 written once more"));
         }},
        {"AlteredTableChunkOfImage0IsWrittenAgain",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             sim::Fault f;  // a chunk of image 0's table (the second table written) lands changed
             f.match.command = hubaccess::CMD_CONFIG_DOWNLOAD;
             f.kind = sim::FaultKind::AlterWrite;
             f.skip = 8 + 2;
             m.driver.AddFault(f);
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             EXPECT_EQ(m.chips[0]->ConfigBlock(0), run_machine::Pattern(256, 0x40));
             EXPECT_EQ(m.chips[0]->ConfigBlock(1), run_machine::Pattern(256, 0x40));
             EXPECT_EQ(FirmwareDownloads(*m.chips[0]), (std::vector<std::uint32_t>{1, 0, 0}));
         }},
        {"FailedTableWriteIsTriedAgain",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             sim::Fault f;
             f.match.command = hubaccess::CMD_CONFIG_DOWNLOAD;
             m.driver.AddFault(f);
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             EXPECT_TRUE(m.sink.HasRecord(L"MSG", L"CMy262FWUpgradeToolDlg::ChildThreadFun",
                                          L"vWrRdConfiguration image 1 Failed , pChildThreadInfo->ucTargetNumber[0] "));
             EXPECT_EQ(m.chips[0]->ConfigBlock(1), run_machine::Pattern(256, 0x40));
         }},
        // Image 0 (written first: the chip boots image 1) reads back with a
        // wrong table; its rewrite's table download fails after the erase.
        // The chip would boot image 0's new firmware from then on: its table
        // is erased and written again at once, never left blank.
        {"TableFailingAfterItsEraseIsErasedAndWrittenAgain",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.BootFromImage1(0);
             sim::Fault f;
             f.match.command = hubaccess::CMD_CONFIG_DOWNLOAD;
             f.kind = sim::FaultKind::AlterWrite;  // chunk 3 of image 0's first table
             f.skip = 2;
             m.driver.AddFault(f);
             f.kind = sim::FaultKind::GenFailure;  // the first chunk of its rewrite
             f.skip = 7;
             m.driver.AddFault(f);
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             EXPECT_EQ(FirmwareDownloads(*m.chips[0]), (std::vector<std::uint32_t>{0, 0, 1}));
             EXPECT_TRUE(m.sink.HasRecord(L"MSG", L"CMy262FWUpgradeToolDlg::ChildThreadFun",
                                          L"vWrRdConfiguration image 0 Failed , pChildThreadInfo->ucTargetNumber[0] "));
             EXPECT_EQ(m.chips[0]->ConfigBlock(0), run_machine::Pattern(256, 0x40));
         }},
        {"AlteredTypeRegisterReadIsOutvoted",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.AddHub(m.root, 2);
             sim::Fault f;  // hub 0's 0x5820, read for the type byte, answers 0x35 once
             f.match.command = hubaccess::CMD_REG_READ;
             f.match.address = 0x5820;
             f.kind = sim::FaultKind::AlterReply;
             f.alterAt = 0;
             m.driver.AddFault(f);
             sim::Fault g = f;  // and fails once
             g.kind = sim::FaultKind::GenFailure;
             m.driver.AddFault(g);
         },
         0, L"Pass!!", {Flash::New, Flash::New}, "GG", nullptr},
        {"AlteredChipVersionReadIsOutvoted",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             sim::Fault f;  // the worker's first read of 0x5820 answers 0x01 (an A1, refusing the file)
             f.match.command = hubaccess::CMD_REG_READ;
             f.match.address = 0x5820;
             f.kind = sim::FaultKind::AlterReply;
             f.alterAt = 0;
             f.alterXor = 0x24;
             f.skip = 2;  // after the two reads for the type byte
             m.driver.AddFault(f);
         },
         0, L"Pass!!", {Flash::New}, "G", nullptr},
        {"AlteredTableReadIsOutvoted",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             sim::Fault f;  // the first read of image 0's table comes back changed
             f.match.command = hubaccess::CMD_ROM_READ;
             f.match.address = 0x40;
             f.kind = sim::FaultKind::AlterReply;
             m.driver.AddFault(f);
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             EXPECT_EQ(m.chips[0]->ConfigBlock(0), run_machine::Pattern(256, 0x40));
             EXPECT_EQ(m.chips[0]->ConfigBlock(1), run_machine::Pattern(256, 0x40));
         }},
        {"TableReadsThatNeverAgreeTakeImage1s",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.chips[0]->SetConfigBlock(1, run_machine::Pattern(256, 0x77));
             sim::Fault f;  // every read of image 0's table comes back changed, each differently
             f.match.command = hubaccess::CMD_ROM_READ;
             f.match.address = 0x40;
             f.kind = sim::FaultKind::AlterReply;
             for (int i = 0; i < 4; ++i) {
                 f.alterAt = static_cast<std::uint32_t>(i);
                 m.driver.AddFault(f);
             }
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             EXPECT_EQ(m.chips[0]->ConfigBlock(0), run_machine::Pattern(256, 0x77));
             EXPECT_TRUE(m.sink.HasRecord(L"WRN", L"CMy262FWUpgradeToolDlg::ChildThreadFun",
                                          L"ucTargetNumber[0], configuration image 0: no two reads agree"));
         }},
        {"ChipIgnoringReadValue1LeavesImage1sFirmwareUnverified",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.chips[0]->romReadIgnoresImageValue = true;
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             EXPECT_EQ(FirmwareDownloads(*m.chips[0]), (std::vector<std::uint32_t>{1, 0}));
             int records = 0;
             for (const std::wstring& r : m.sink.Records())
                 records += r.find(L"the chip does not map it to image 1") != std::wstring::npos;
             EXPECT_EQ(records, 1);
         }},
        {"ChipIgnoringReadValue1AndBootingImage1LogsImage1Unverified",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.BootFromImage1(0);
             m.chips[0]->romReadIgnoresImageValue = true;  // value 1 reads image 0
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             // Image 0 goes first; value 1 then answers with its new bytes.
             EXPECT_EQ(FirmwareDownloads(*m.chips[0]), (std::vector<std::uint32_t>{0, 1}));
             EXPECT_EQ(m.NotVerifiedRecords(0), 1);
         }},
        {"OneHubCurrentOneOld",
         [](RunMachine& m) {
             m.AddHub(m.root, 1, run_machine::kFileVersion);
             m.AddHub(m.root, 2);
         },
         0, L"Pass!!", {Flash::Any, Flash::New}, "GG",
         [](RunMachine& m) {
             EXPECT_TRUE(m.chips[0]->downloads.empty());
             EXPECT_EQ(m.chips[1]->cpuResets, 1);
         }},
        {"HubReportsItsVersionLate",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             // The first three looks after the reset (two agreeing reads
             // each) see the old version: as many as the re-checks allow.
             m.chips[0]->staleVersionReads = 3 * 2;
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             EXPECT_TRUE(m.sink.HasRecord(L"MSG", L"CMy262FWUpgradeToolDlg::ChildThreadFun",
                                          L"ucTargetNumber[0], iRetry = 3, Reload Version Check Failed"));
         }},
        {"HubReportsItsOldVersionOnceTooOften",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.chips[0]->staleVersionReads = 4 * 2;  // one look more than the re-checks allow
         },
         -7, L"Failed!!(-7)", {Flash::New}, "R",
         [](RunMachine& m) {
             EXPECT_TRUE(m.sink.HasRecord(L"MSG", L"CMy262FWUpgradeToolDlg::ChildThreadFun",
                                          L"try iRetry = 4, ucTargetNumber[0], Reload Version Check Failed[130101000000]"));
         }},
        // The gate's limit counts from the first poll that sees every worker
        // ready; a gate that never opens ends the hub there, not at the run's
        // time-out.
        {"GateThatNeverOpensEndsAtItsLimit",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             // After the scan: no tier ever comes up.
             m.threads.beforeStart = [&m] { m.utility->m_MaxHubDepth = 0; };
         },
         -9, L"Failed!!(-9)", {Flash::New}, "R",
         [](RunMachine& m) {
             EXPECT_EQ(m.dlg.GetRunMessage(), L"Hub[0] No responesed, Time out!!!");
             EXPECT_EQ(m.chips[0]->cpuResets, 0);
             const long long ready = m.sink.TimeOf(L"CHILD_THREAD_RST_READY");
             const long long out = m.sink.TimeOf(L"Hub[0] No responesed, Time out!!!");
             ASSERT_GE(ready, 0);
             // Seen ready at the first 500 ms poll; the limit is then tested
             // every 800 ms.
             EXPECT_GT(out - ready, 500 + 40'000);
             EXPECT_LE(out - ready, 500 + 40'000 + 800);
         }},
        {"GateOpensNearItsLimit",
         [](RunMachine& m) {
             const int a = m.AddHub(m.root, 1);
             m.AddHub(a, 1);
             sim::Fault f;  // the deeper hub's reset takes 8 s: the tier-1 hub waits at its gate
             f.match.command = hubaccess::CMD_CPU_RESET;
             f.match.device = m.usb.FilterObjectName(m.nodes[1]);
             f.kind = sim::FaultKind::Slow;
             f.delayMs = 8000;
             m.driver.AddFault(f);
         },
         0, L"Pass!!", {Flash::New, Flash::New}, "GG",
         [](RunMachine& m) { EXPECT_EQ(GateTiers(m), (std::vector<int>{2, 1})); }},
        {"ThreeTiersResetDeepestFirst", ThreeTiers, 0, L"Pass!!", {Flash::New, Flash::New, Flash::New},
         "GGG",
         [](RunMachine& m) {
             // The gates opened deepest tier first.
             EXPECT_EQ(GateTiers(m), (std::vector<int>{3, 2, 1}));
             EXPECT_EQ(m.utility->m_MaxHubDepth.load(), 1);
         }},
        {"EmptyTierIsPassedOver",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             // A foreign hub at tiers 1 and 2 carries a hub of the family at tier 3.
             const int f1 = m.usb.AddDevice(m.root, 2, sim::UsbStack::Hub(0x1111, 0x2222, 0x0300, 4));
             const int f2 = m.usb.AddDevice(f1, 1, sim::UsbStack::Hub(0x1111, 0x2222, 0x0300, 4));
             m.AddHub(f2, 1);
         },
         0, L"Pass!!", {Flash::New, Flash::New}, "GG",
         [](RunMachine& m) { EXPECT_EQ(GateTiers(m), (std::vector<int>{3, 1})); }},
        {"LegacyHubNotVerifiedResetByRegister",
         [](RunMachine& m) { m.AddHub(m.root, 1, {0x12, 0x10, 0x30, 0x00, 0x00, 0x00}); },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             EXPECT_EQ(m.chips[0]->cpuResets, 1);
             for (const auto& e : m.driver.Journal()) EXPECT_NE(e.Command(), hubaccess::CMD_CPU_RESET);
             EXPECT_FALSE(m.sink.HasRecord(L"MSG", L"CMy262FWUpgradeToolDlg::ChildThreadFun", L"ucTargetNumber[0], b.verify"));
         }},
        {"UnreadableTweakRegisterIsNotWritten",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             sim::Fault f;
             f.match.command = hubaccess::CMD_REG_READ;
             f.match.address = 0x3611;
             m.driver.AddFault(f);
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             int writes3611 = 0, writes3621 = 0;
             for (const auto& e : m.driver.Journal()) {
                 if (e.legacy || e.Command() != hubaccess::CMD_REG_WRITE) continue;
                 writes3611 += e.Index() == 0x3611;
                 writes3621 += e.Index() == 0x3621;
             }
             EXPECT_EQ(writes3611, 0);  // its read failed: left as it is
             EXPECT_EQ(writes3621, 1);  // the next tweak goes on
         }},
        {"NoHub", [](RunMachine&) {}, -4, L"Failed!!(-4)", {}, "", nullptr},
        {"AllCurrent",
         [](RunMachine& m) {
             m.AddHub(m.root, 1, run_machine::kFileVersion);
             m.view.ScriptAnswer(app::kIdOk, L"has been the latest version");
         }, 1, L"Pass!!",
         {Flash::Any}, "G",
         [](RunMachine& m) { EXPECT_EQ(m.chips[0]->downloads.size(), 0u); }},
        {"DowngradeAnsweredOk",
         [](RunMachine& m) {
             m.AddHub(m.root, 1, run_machine::kNewerVersion);
             m.view.ScriptAnswer(app::kIdOk);
         },
         0, L"Pass!!", {Flash::New}, "G", [](RunMachine& m) { EXPECT_EQ(m.view.Boxes().size(), 1u); }},
        {"DowngradeCancelled",
         [](RunMachine& m) {
             m.AddHub(m.root, 1, run_machine::kNewerVersion);
             m.view.ScriptAnswer(app::kIdCancel);
         },
         -12, L"The lastest Version!!(-12)", {Flash::Old}, "R",
         [](RunMachine& m) { EXPECT_EQ(m.chips[0]->downloads.size(), 0u); }},
        {"DowngradeSilentGoesOn",
         [](RunMachine& m) {
             m.AddHub(m.root, 1, run_machine::kNewerVersion);
             m.dlg.m_bSilentMode = 1;
             m.dlg.m_ucMsgThreshold = 0xFF;
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             EXPECT_TRUE(m.view.Boxes().empty());
             EXPECT_EQ(m.view.ExitRequests(), std::vector<int>{0});
         }},
        {"RomContentMismatchNoReset",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             // Hub 1's image 0 (written second) comes out changed at every write.
             m.AddHub(m.root, 2, run_machine::kOldVersion, {}, std::make_shared<ContentChangingChip>(&m.sched));
         },
         -2, L"Failed!!(-2)", {Flash::New, Flash::Any}, "GR",
         [](RunMachine& m) {
             EXPECT_EQ(m.chips[1]->cpuResets, 0);
             EXPECT_TRUE(m.HoldsNewFirmware(1, 1));
             EXPECT_EQ(FirmwareDownloads(*m.chips[1]), (std::vector<std::uint32_t>{1, 0, 0}));
             EXPECT_EQ(m.chips[0]->cpuResets, 1);
             EXPECT_EQ(m.dlg.m_devList.rows[1].m_bConfigResult, 1);
         }},
        {"Image0UnreadableNothingWritten",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             sim::Fault f;  // the firmware area's first block, read to choose the order: every read of 3 tries
             f.match.command = hubaccess::CMD_ROM_READ;
             f.match.address = 0x100;
             f.times = 3 * 4;
             m.driver.AddFault(f);
         },
         -6, L"Failed!!(-6)", {Flash::Old}, "R",
         [](RunMachine& m) {
             EXPECT_TRUE(m.chips[0]->downloads.empty());
             EXPECT_TRUE(m.chips[0]->erases.empty());
             EXPECT_EQ(m.chips[0]->cpuResets, 0);
         }},
        {"Image0ReadOnTheThirdTry",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             sim::Fault f;
             f.match.command = hubaccess::CMD_ROM_READ;
             f.match.address = 0x100;
             f.times = 2 * 4;  // every read of the first two tries
             m.driver.AddFault(f);
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) { EXPECT_EQ(FirmwareDownloads(*m.chips[0]), (std::vector<std::uint32_t>{1, 0})); }},
        {"ReadBackFailsTwiceOtherImageUntouched",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             sim::Fault f;  // every table read after the two that choose the table
             f.match.command = hubaccess::CMD_ROM_READ;
             f.match.address = 0;
             f.skip = 2;
             f.times = -1;
             m.driver.AddFault(f);
         },
         -6, L"Failed!!(-6)", {Flash::Any}, "R",
         [](RunMachine& m) {
             EXPECT_EQ(m.chips[0]->cpuResets, 0);
             EXPECT_TRUE(m.HoldsNewFirmware(0, 1));
             EXPECT_EQ(FirmwareDownloads(*m.chips[0]), (std::vector<std::uint32_t>{1, 1}));
             EXPECT_EQ(m.dlg.m_devList.rows[0].m_bConfigResult, 0);
             EXPECT_EQ(m.chips[0]->RunningImage(), -1);  // not reset: still the old image 0
             EXPECT_TRUE(m.chips[0]->ImageValid(0));
         }},
        {"RomLengthDiffersStillResets",
         [](RunMachine& m) {
             m.AddHub(m.root, 1, run_machine::kOldVersion, {},
                      std::make_shared<run_machine::LengthChangingChip>(&m.sched));
         },
         -3, L"Failed!!(-3)", {Flash::Any}, "R",
         [](RunMachine& m) {
             // Reset and re-identified (image 1 boots) though the update stage failed.
             EXPECT_EQ(m.chips[0]->cpuResets, 1);
             EXPECT_EQ(FirmwareDownloads(*m.chips[0]), (std::vector<std::uint32_t>{1, 0, 0}));
             EXPECT_EQ(m.dlg.m_devList.rows[0].m_bUpdateFWResult, 0);
             EXPECT_EQ(m.dlg.m_devList.rows[0].m_bReloadFWResult, 1);
         }},
        {"ImageFileReadOnceByTheRun",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.AddHub(m.root, 2);
             sim::FileFault f;  // after the preparation's check, the file cannot be read
             f.op = sim::FileOp::Read;
             f.path = L"C:\\Tool\\Temp\\TempBinData.bin";
             f.skip = 1;
             f.times = -1;
             m.files.AddFault(f);
         },
         0, L"Pass!!", {Flash::New, Flash::New}, "GG", nullptr},
        {"PackedFileMissing",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.utility->m_strFWBinFilePath = L"C:\\FW\\VTL262XFW.BIN";
             m.view.ScriptAnswer(app::kIdOk, L"Cannot Get FW File Version");
         },
         -10, L"Failed!!(-10)", {Flash::Old}, "R", [](RunMachine& m) { EXPECT_TRUE(m.chips[0]->downloads.empty()); }},
        {"ResetFailsVersionStaysOld",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             sim::Fault f;
             f.match.command = hubaccess::CMD_CPU_RESET;
             f.times = -1;
             m.driver.AddFault(f);
         },
         -7, L"Failed!!(-7)", {Flash::New}, "R", nullptr},
        {"HubNeverComesBackTimesOut",
         [](RunMachine& m) {
             m.AddHub(m.root, 1, run_machine::kOldVersion, [](sim::UsbDeviceSpec& spec) { spec.neverReturns = true; });
         },
         -9, L"TimeOut!!(-9)", {Flash::New}, "R",
         [](RunMachine& m) {
             // The coordinator gave up after its 520 passes, the worker ended cancelled.
             EXPECT_GE(m.sched.NowMs(), 259'000u);
             EXPECT_EQ(m.dlg.m_ChildThreadInfo[0].ucThreadState.load(), app::CHILD_THREAD_FINISH);
             EXPECT_EQ(m.cleanup.driverRemoved, 1);
         }},
        {"TimeOutWithOneHubDone",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.AddHub(m.root, 2, run_machine::kOldVersion, [](sim::UsbDeviceSpec& spec) { spec.neverReturns = true; });
         },
         -9, L"TimeOut!!(-9)", {Flash::New, Flash::New}, "GR",
         [](RunMachine& m) {
             // The finished hub keeps its pass; the cancelled one stored nothing.
             EXPECT_EQ(m.dlg.m_devList.rows[0].m_bReloadFWResult, 1);
             EXPECT_EQ(m.dlg.m_devList.rows[1].m_bReloadFWResult, 0);
             EXPECT_TRUE(m.dlg.GetRunMessage().empty());
         }},
        // A chunk the driver never completes ends at its own limit and fails
        // its download like any failed write (the image is written once
        // more); no other request is cancelled and the run does not wait for
        // its time-out.
        {"HungChunkFailsOnlyItsHubAtItsLimit",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.AddHub(m.root, 2);
             sim::Fault f;
             f.match.command = hubaccess::CMD_FW_DOWNLOAD;
             f.match.device = m.usb.FilterObjectName(m.nodes[1]);
             f.kind = sim::FaultKind::Hang;
             f.skip = 100;
             m.driver.AddFault(f);
         },
         // The failed download is written once more, and the hub passes.
         0, L"Pass!!", {Flash::New, Flash::New}, "GG",
         [](RunMachine& m) {
             EXPECT_EQ(FirmwareDownloads(*m.chips[1]), (std::vector<std::uint32_t>{1, 0}));  // the cut one is not recorded
             EXPECT_EQ(m.driver.HangingRequestCount(), 0);
             EXPECT_EQ(m.driver.CancelCalls(), 0);
             int cancelled = 0;
             for (const auto& e : m.driver.Journal()) cancelled += e.cancelled != sim::JournalEntry::Cancel::None;
             EXPECT_EQ(cancelled, 1);
             EXPECT_LE(m.sched.NowMs(), 60'000u);
             EXPECT_TRUE(m.sink.Contains(L"timed out after 10000 ms"));
             // Judged by the clock: the hung chunk ended 10 s after it was sent.
             for (const auto& e : m.driver.Journal())
                 if (e.faulted) {
                     EXPECT_EQ(e.endMs - e.timeMs, 10'000u);
                 }
             EXPECT_FALSE(m.dlg.m_pChildThread[0] || m.dlg.m_pChildThread[1]);  // both joined
         }},
        // The run's time-out comes while hub 0's slow chunks hold the
        // firmware lock: that download runs to its end within the grace, no
        // other hub starts a write after the time-out, and no healthy request
        // is cancelled.
        {"TimeOutDuringSlowDownloadsStartsNoWrite",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.AddHub(m.root, 2);
             m.AddHub(m.root, 3);
             sim::Fault f;
             f.match.command = hubaccess::CMD_FW_DOWNLOAD;
             f.match.device = m.usb.FilterObjectName(m.nodes[0]);
             f.kind = sim::FaultKind::Slow;
             f.delayMs = 420;  // its first image: 641 chunks, about 269 s
             f.times = 641;
             m.driver.AddFault(f);
         },
         -9, L"TimeOut!!(-9)", {Flash::Any, Flash::Any, Flash::Any}, "RRR",
         [](RunMachine& m) {
             EXPECT_EQ(m.io.writesStartedAfterCancel, 0);
             EXPECT_EQ(m.io.CutDownloads(), 0);
             EXPECT_EQ(m.driver.CancelCalls(), 0);
             EXPECT_EQ(*m.threads.held, 0);
             EXPECT_EQ(m.cleanup.driverRemoved, 1);
             EXPECT_FALSE(m.dlg.m_pChildThread[0] || m.dlg.m_pChildThread[1] || m.dlg.m_pChildThread[2]);
         }},
        // One that ignores the cancel too is abandoned: its handle closed,
        // the hub failed, the run ends and the driver is removed.
        {"ChunkIgnoringTheCancelIsAbandoned",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             sim::Fault f;
             f.match.command = hubaccess::CMD_FW_DOWNLOAD;
             f.kind = sim::FaultKind::HangIgnoringCancel;
             f.skip = 10;
             m.driver.AddFault(f);
         },
         0, L"Pass!!", {Flash::New}, "G",  // written once more on a handle of its own
         [](RunMachine& m) {
             EXPECT_EQ(m.driver.AbandonedRequestCount(), 1);
             EXPECT_EQ(m.driver.OpenHandleCount(), 0);
             EXPECT_EQ(m.cleanup.driverRemoved, 1);
             EXPECT_TRUE(m.sink.Contains(L"request abandoned and handle closed"));
         }},
        // Slower than its block's dwTimeout, within the limit: an ordinary
        // completion, and the run passes.
        {"RequestsSlowerThanTheirTimeoutComplete",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             for (std::uint32_t command : {hubaccess::CMD_FW_DOWNLOAD, hubaccess::CMD_SPI_BLOCK_ERASE,
                                           hubaccess::CMD_ROM_READ}) {
                 sim::Fault f;
                 f.match.command = command;
                 f.kind = sim::FaultKind::Slow;
                 f.delayMs = platform::kFilterRequestLimitMs - 1000;
                 f.skip = 3;
                 m.driver.AddFault(f);
             }
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             int slow = 0;
             for (const auto& e : m.driver.Journal()) slow += e.faulted && e.result.Succeeded();
             EXPECT_EQ(slow, 3);
             EXPECT_FALSE(m.sink.Contains(L"timed out"));
         }},
        {"NinthHubLeavesAllUntouched",
         [](RunMachine& m) {
             const int root2 = m.Controller(8);
             for (std::uint32_t p = 1; p <= 4; ++p) m.AddHub(m.root, p);
             for (std::uint32_t p = 1; p <= 5; ++p) m.AddHub(root2, p);
         },
         -13, L"Failed!!(-13)", std::vector<Flash>(9, Flash::Old), "RRRRRRRRR",
         [](RunMachine& m) {
             for (const auto& chip : m.chips) EXPECT_TRUE(chip->downloads.empty());
         }},
        {"CheckMatchesWithoutUpdate",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.dlg.m_bUpdateFW = 0;
             m.dlg.m_bCheckFWVersion = 1;
             m.dlg.m_strChkFWVer = L"130101000000";
         },
         0, L"Pass!!", {Flash::Old}, "G", [](RunMachine& m) { EXPECT_TRUE(m.chips[0]->downloads.empty()); }},
        {"CheckMismatch",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.dlg.m_bUpdateFW = 0;
             m.dlg.m_bCheckFWVersion = 1;
             m.dlg.m_strChkFWVer = L"130101000001";
         },
         -2, L"Failed!!(-2)", {Flash::Old}, "R", nullptr},
        {"ExportTwoHubs",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.AddHub(m.root, 2);
             m.dlg.m_bUpdateFW = 0;
             m.dlg.m_bExportFW = 1;
             m.utility->m_strFWBinFilePath.clear();
         },
         0, L"Pass!!", {Flash::Old, Flash::Old}, "GG",
         [](RunMachine& m) {
             for (int t = 0; t < 2; ++t) {
                 const auto file = m.files.GetFile(L"C:\\Tool\\Temp\\VTL262xFW[" + std::to_wstring(t) + L"].bin");
                 ASSERT_TRUE(file.has_value());
                 EXPECT_EQ(file->size(), 0x5000u + 260u);
             }
         }},
        {"ExportFileNotWrittenFails",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.dlg.m_bUpdateFW = 0;
             m.dlg.m_bExportFW = 1;
             m.utility->m_strFWBinFilePath.clear();
             sim::FileFault f;
             f.op = sim::FileOp::Write;
             f.path = L"C:\\Tool\\Temp\\VTL262xFW[0].bin";
             f.skip = 1;  // the table is written, the ROM contents are not
             m.files.AddFault(f);
         },
         -6, L"Failed!!(-6)", {Flash::Old}, "R", nullptr},
        {"BlankImage0TableTakesImage1s",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.chips[0]->SetConfigBlock(0, std::vector<std::uint8_t>(256, 0xFF));
             m.chips[0]->SetConfigBlock(1, run_machine::Pattern(256, 0x77));
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             EXPECT_EQ(m.chips[0]->ConfigBlock(0), run_machine::Pattern(256, 0x77));
             EXPECT_EQ(m.chips[0]->ConfigBlock(1), run_machine::Pattern(256, 0x77));
         }},
        {"TableLostTwiceFailsOtherImageUntouched",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             sim::Fault f;  // chunk 3 of image 1's table (written first) never lands, at both writes
             f.match.command = hubaccess::CMD_CONFIG_DOWNLOAD;
             f.kind = sim::FaultKind::DropWrite;
             f.skip = 3;
             m.driver.AddFault(f);
             f.skip = 3 + 7;
             m.driver.AddFault(f);
         },
         -2, L"Failed!!(-2)", {Flash::Any}, "R",
         [](RunMachine& m) {
             EXPECT_EQ(m.chips[0]->cpuResets, 0);
             EXPECT_EQ(FirmwareDownloads(*m.chips[0]), (std::vector<std::uint32_t>{1, 1}));
             EXPECT_EQ(m.chips[0]->ConfigBlock(0), run_machine::Pattern(256, 0x40));
             EXPECT_TRUE(m.chips[0]->ImageValid(0));
             EXPECT_FALSE(m.HoldsNewFirmware(0, 0));
         }},
        {"EightHubsUnderDosAllPass",
         [](RunMachine& m) {
             const int root2 = m.Controller(4);
             for (std::uint32_t p = 1; p <= 4; ++p) m.AddHub(m.root, p);
             for (std::uint32_t p = 1; p <= 4; ++p) m.AddHub(root2, p);
             for (auto& chip : m.chips) chip->eraseMs = 2000;  // slow erases: a long serialised stage
             m.dlg.m_bConsoleMode = 1;
         },
         0, L"Pass!!", std::vector<Flash>(8, Flash::New), "GGGGGGGG",
         [](RunMachine& m) {
             // Serialised stages take longer than a gate limit counted from each hub's own readiness.
             EXPECT_GT(m.sched.NowMs(), 60'000u);
             EXPECT_EQ(m.view.ExitRequests(), std::vector<int>{0});
         }},
        {"CoordinatorFailureStillCleansUp",
         [](RunMachine& m) {
             m.AddHub(m.root, 1, run_machine::kNewerVersion);
             m.view.SetFailureHandler([](const std::wstring&) { throw std::runtime_error("the prompt failed"); });
         },
         -10, L"Failed!!(-10)", {Flash::Old}, "-",
         [](RunMachine& m) {
             EXPECT_EQ(m.cleanup.driverRemoved, 1);
             EXPECT_TRUE(m.chips[0]->downloads.empty());
         }},
        {"ConfigFileTableGoesIntoBothImages",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.AddHub(m.root, 2);
             auto file = ConfigTable();
             const auto area = HubChip::FirmwareAreaFor(m.newImage, run_machine::kImageType);
             file.insert(file.end(), area.begin(), area.end());
             m.files.PutFile(L"C:\\Tool\\Config_140415_03_E5_00.bin", file);
             m.utility->m_strFWBinFilePath = L"C:\\Tool\\Config_140415_03_E5_00.bin";
         },
         0, L"Pass!!", {Flash::New, Flash::New}, "GG",
         [](RunMachine& m) {
             EXPECT_EQ(m.dlg.m_ucFWType, 1);
             for (const auto& chip : m.chips) {
                 EXPECT_EQ(chip->ConfigBlock(0), ConfigTable());
                 EXPECT_EQ(chip->ConfigBlock(1), ConfigTable());
             }
         }},
        {"PackedFileIsReadAndKept",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             app::FW_FILE_TRAILER trailer;
             trailer.ucVersion = run_machine::kFileVersion;
             trailer.wVID = 0x7A7D;
             auto file = m.newImage;
             const auto t = app::BuildFwFileTrailer(trailer);
             file.insert(file.end(), t.begin(), t.end());
             m.files.PutFile(L"C:\\FW\\VTL262XFW.BIN", file);
             m.files.SetReadOnly(L"C:\\FW\\VTL262XFW.BIN", true);
             m.utility->m_strFWBinFilePath = L"C:\\FW\\VTL262XFW.BIN";
         },
         0, L"Pass!!", {Flash::New}, "G",
         [](RunMachine& m) {
             EXPECT_TRUE(m.files.Exists(L"C:\\FW\\VTL262XFW.BIN"));
             EXPECT_EQ(m.dlg.m_strCurFileFWVer, L"14041503e500");
         }},
        {"OutputVersionFile",
         [](RunMachine& m) {
             ThreeTiers(m);
             m.dlg.m_bUpdateFW = 0;
             m.dlg.m_bOutputVerFile = 1;
         },
         0, L"Pass!!", {Flash::Old, Flash::Old, Flash::Old}, "GGG",
         [](RunMachine& m) {
             const auto text = m.files.GetFile(L"C:\\Tool\\VTL262xVersion.txt");
             ASSERT_TRUE(text.has_value());
             EXPECT_EQ(std::string(text->begin(), text->end()),
                       "0:130101000000\r\n1:130101000000\r\n2:130101000000\r\n");
         }},
        {"CompareSerialsOfTwoHubs",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.AddHub(m.root, 2);
             m.dlg.m_bUpdateFW = 0;
             m.dlg.m_bCompareSN = 1;
         },
         0, L"Pass!!", {Flash::Old, Flash::Old}, "GG", nullptr},
        {"CompareSerialsOfThreeHubsFails",
         [](RunMachine& m) {
             ThreeTiers(m);
             m.dlg.m_bUpdateFW = 0;
             m.dlg.m_bCompareSN = 1;
         },
         -3, L"Failed!!(-3)", {Flash::Old, Flash::Old, Flash::Old}, "RRR", nullptr},
        {"PlaceholderImageIsNeverWritten",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             std::vector<std::uint8_t> image(0x5000, 0);
             const std::string marker = app::payload::kPlaceholderFirmwareMarker;
             std::copy(marker.begin(), marker.end(), image.begin());
             m.files.PutFile(run_machine::kFileName, image);
         },
         -10, L"Failed!!(-10)", {Flash::Old}, "R", [](RunMachine& m) { EXPECT_TRUE(m.chips[0]->downloads.empty()); }},
        {"LimitRefusesFileTooNewForA1",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.chips[0]->SetReg(0x5820, 0x51);  // bit 6 set: still an A1 (mask 0x70), no B1
         },
         -10, L"Failed!!(-10)", {Flash::Old}, "R", [](RunMachine& m) { EXPECT_TRUE(m.chips[0]->downloads.empty()); }},
        {"ConsoleStopsAtFirstCurrentHub",
         [](RunMachine& m) {
             m.AddHub(m.root, 1, run_machine::kFileVersion);
             m.AddHub(m.root, 2);
             m.dlg.m_bConsoleMode = 1;
         },
         1, L"Pass!!", {Flash::Any, Flash::Old}, "G-",
         [](RunMachine& m) {
             EXPECT_TRUE(m.chips[1]->downloads.empty());
             EXPECT_EQ(m.view.ExitRequests(), std::vector<int>{1});
         }},
        {"StaleImageIsNeverFlashed",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.dlg.m_bUpdateFW = 0;
             m.dlg.m_bAutoMode = 1;
             m.utility->m_strFWBinFilePath.clear();
             m.files.PutFile(L"C:\\Tool\\Temp\\TempBinData.bin", HubChip::FirmwareAreaFor(m.newImage));
         },
         0, L"Pass!!", {Flash::Old}, "G", [](RunMachine& m) { EXPECT_TRUE(m.chips[0]->downloads.empty()); }},
        // Another process tries to put a different image in place once the
        // run has checked its own and before the workers write it: in place
        // or by deleting and making it anew. Both are refused; the checked
        // image is written and verified.
        {"ImageReplacedAfterItsCheckIsRefused",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.AddHub(m.root, 2);
             m.threads.beforeStart = [&m] {
                 if (!m.dlg.m_bImagePrepared || !m.attempts.empty()) return;
                 const std::wstring temp = L"C:\\Tool\\Temp\\TempBinData.bin";
                 const auto other = HubChip::FirmwareAreaFor(m.newerImage);
                 const platform::FileOpenResult w = m.files.CreateFile(
                     temp, platform::kGenericWrite,
                     platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete,
                     platform::FileDisposition::OpenExisting, 0);
                 m.attempts.push_back(w.error);
                 if (w.handle.IsValid()) {
                     std::uint32_t done = 0;
                     m.files.WriteFile(w.handle, other.data(), static_cast<std::uint32_t>(other.size()), &done);
                     m.files.CloseHandle(w.handle);
                 }
                 const platform::FileResult deleted = m.files.DeleteFile(temp);
                 m.attempts.push_back(deleted.error);
                 if (deleted.ok) m.files.PutFile(temp, other);
             };
         },
         0, L"Pass!!", {Flash::New, Flash::New}, "GG",
         [](RunMachine& m) {
             EXPECT_EQ(m.attempts, (std::vector<std::uint32_t>{platform::kErrorSharingViolation,
                                                               platform::kErrorSharingViolation}));
             EXPECT_EQ(m.files.OpenHandleCount(), 0);  // let go at the run's end
         }},
        // Another process tries to put a well-formed image of its own in
        // place while the run writes the temporary image: through a handle
        // of its own before the run's writer is closed, then by deleting and
        // making it anew before the run reads it back. The run refuses what
        // it reads back and writes no hub.
        {"ImageReplacedWhileWrittenIsRefused",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.AddHub(m.root, 2);
             const std::wstring temp = L"C:\\Tool\\Temp\\TempBinData.bin";
             const auto other = HubChip::FirmwareAreaFor(m.newerImage);
             const auto writeOver = [&m, temp, other] {
                 const platform::FileOpenResult w = m.files.CreateFile(
                     temp, platform::kGenericWrite,
                     platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete,
                     platform::FileDisposition::OpenExisting, 0);
                 m.attempts.push_back(w.error);
                 if (!w.handle.IsValid()) return;
                 std::uint32_t done = 0;
                 m.files.Seek(w.handle, 0);
                 m.files.WriteFile(w.handle, other.data(), static_cast<std::uint32_t>(other.size()), &done);
                 m.files.SetEndOfFile(w.handle);
                 m.files.CloseHandle(w.handle);
             };
             // Before each of the first two closes of the file.
             m.files.OnCall(sim::FileOp::Close, temp, writeOver);
             m.files.OnCall(sim::FileOp::Close, temp, writeOver);
             m.files.OnCall(sim::FileOp::Open, temp, [&m, temp, other] {
                 const platform::FileResult deleted = m.files.DeleteFile(temp);
                 m.attempts.push_back(deleted.error);
                 if (deleted.ok) m.files.PutFile(temp, other);
             }, 2);  // after the run's writer and the other process's own open
         },
         -10, L"Failed!!(-10)", {Flash::Old, Flash::Old}, "RR",
         [](RunMachine& m) {
             EXPECT_TRUE(m.chips[0]->downloads.empty() && m.chips[1]->downloads.empty());
             EXPECT_EQ(m.attempts, (std::vector<std::uint32_t>{platform::kErrorSharingViolation, 0,
                                                               platform::kErrorSharingViolation}));
             EXPECT_TRUE(m.sink.HasRecord(L"ERR", L"CHubUtility::vCreateTempBinDataFile",
                                          L"vCreateTempBinDataFile: [C:\\Tool\\Temp\\TempBinData.bin] does not read "
                                          L"back as it was written, not used"));
             EXPECT_EQ(m.files.OpenHandleCount(), 0);
         }},
        // Where a folder above a held one can be renamed (Wine), the program
        // folder is moved away once the image is checked and another image
        // put at its name: before each download the name is found to reach
        // another file, and no hub is written.
        {"ImageNameReachingAnotherFileIsNeverDownloaded",
         [](RunMachine& m) {
             m.AddHub(m.root, 1);
             m.files.SetRenameChecksEntryOnly(true);
             m.threads.beforeStart = [&m] {
                 if (!m.dlg.m_bImagePrepared || !m.attempts.empty()) return;
                 m.attempts.push_back(m.files.RenameEntry(L"C:\\Tool", L"Moved").error);
                 m.files.PutFile(L"C:\\Tool\\Temp\\TempBinData.bin", HubChip::FirmwareAreaFor(m.newerImage));
             };
         },
         -11, L"Failed!!(-11)", {Flash::Old}, "R",
         [](RunMachine& m) {
             EXPECT_EQ(m.attempts, std::vector<std::uint32_t>{0});
             EXPECT_TRUE(m.chips[0]->downloads.empty());
             // Nothing is deleted in the folder put in the held one's place.
             EXPECT_TRUE(m.files.Exists(L"C:\\Tool\\Temp\\TempBinData.bin"));
             EXPECT_TRUE(m.sink.HasRecord(L"ERR", L"CMy262FWUpgradeToolDlg::ChildThreadFun",
                                          L"ucTargetNumber[0], [C:\\Tool\\Temp\\TempBinData.bin] is not the image "
                                          L"this run holds, nothing is written"));
         }},
        {"ConsoleRunUpdatesOneHubAtATime",
         [](RunMachine& m) {
             ThreeTiers(m);
             m.AddHub(m.root, 2);
             m.dlg.m_bConsoleMode = 1;
         },
         0, L"Pass!!", {Flash::New, Flash::New, Flash::New, Flash::New}, "GGGG",
         [](RunMachine& m) { EXPECT_EQ(GateTiers(m), (std::vector<int>{3, 2, 1, 1})); }},
    };
    return rows;
}

class RunScenarioTest : public ::testing::TestWithParam<std::tuple<Scenario, std::uint64_t>> {};

TEST_P(RunScenarioTest, EndsWithItsCodeTextBarsAndFlash) {
    const Scenario& s = std::get<0>(GetParam());
    RunMachine m(std::get<1>(GetParam()));
    s.setup(m);
    m.Run(2);  // a second Start while the run goes does nothing

    EXPECT_EQ(m.dlg.m_iRet.load(), s.exitCode);
    EXPECT_EQ(m.view.GetStatus().text, s.text);
    EXPECT_TRUE(m.viewFailures.empty()) << std::string(m.viewFailures.front().begin(), m.viewFailures.front().end());
    EXPECT_EQ(m.dlg.m_MainThreadInfo.ucMainStatus.load(), app::MAIN_THREAD_FINISH);
    EXPECT_TRUE(m.view.Enabled(app::kIdButtonOk));
    EXPECT_EQ(m.cleanup.iniDeleted, 1);  // one run, cleaned up once
    EXPECT_FALSE(m.dlg.m_bRunGoing.load());
    ASSERT_EQ(s.flash.size(), m.chips.size());
    for (std::size_t i = 0; i < m.chips.size(); ++i) {
        SCOPED_TRACE(i);
        if (s.flash[i] == Flash::New) {
            EXPECT_TRUE(m.HoldsNewFirmware(i, 0));
            EXPECT_TRUE(m.HoldsNewFirmware(i, 1));
        } else if (s.flash[i] == Flash::Old) {
            EXPECT_FALSE(m.HoldsNewFirmware(i, 0));
        }
        EXPECT_TRUE(m.HasBootableImage(i));
        const int row = m.RowOfChip(i);
        if (row >= 0 && row < app::kRunViewRows) {
            const auto bar = m.view.Row(row, app::RowPart::Bar);
            if (s.bars[i] != '-') {
                EXPECT_EQ(bar.barPos, 100);
                EXPECT_EQ(bar.barColour, s.bars[i] == 'G' ? app::kColourGreen : app::kColourRed);
            } else {
                EXPECT_EQ(bar.barPos, 0);
            }
        }
    }
    if (s.check) s.check(m);
}

INSTANTIATE_TEST_SUITE_P(Runs, RunScenarioTest,
                         ::testing::Combine(::testing::ValuesIn(Scenarios()), ::testing::Values(0u, 7u, 1234u)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_seed" +
                                    std::to_string(std::get<1>(info.param));
                         });

// One altered reply to any read of the version block (the scan's, its
// walk's, the re-identification's) on a hub one version behind the file, or
// one whose version differs from a legacy one in a single bit: the hub is
// written and read back as always, never passed unwritten nor unverified.
TEST(RunVersionReads, OneAlteredVersionReplyNeverPassesAHubUnwrittenOrUnverified) {
    struct Case {
        const char* name;
        sim::HubChip::Version running;
        std::uint32_t alterAt;
        std::uint8_t alterXor;  // turns `running` into the file's or a legacy version
    };
    const Case cases[] = {
        {"one version behind", {0x14, 0x04, 0x15, 0x03, 0xE4, 0x00}, 4, 0x01},
        {"a bit from legacy", {0x12, 0x10, 0x30, 0x00, 0x10, 0x00}, 4, 0x10},
    };
    for (const Case& c : cases) {
        // Every read of the block in an undisturbed run, each altered in turn.
        int reads = 0;
        {
            RunMachine m(0);
            m.AddHub(m.root, 1);
            m.Run();
            for (const auto& e : m.driver.Journal()) reads += e.Command() == hubaccess::CMD_REG_READ && e.Index() == 0x7F0;
        }
        ASSERT_GE(reads, 3);
        for (int skip = 0; skip < reads; ++skip) {
            SCOPED_TRACE(testing::Message() << c.name << ", read " << skip);
            RunMachine m(0);
            m.AddHub(m.root, 1);
            m.chips[0]->RegisterImageVersion(m.oldImage, c.running);
            m.chips[0]->SetVersion(c.running);
            sim::Fault f;
            f.match.command = hubaccess::CMD_REG_READ;
            f.match.address = 0x7F0;
            f.kind = sim::FaultKind::AlterReply;
            f.alterAt = c.alterAt;
            f.alterXor = c.alterXor;
            f.skip = skip;
            m.driver.AddFault(f);
            m.Run();
            EXPECT_EQ(m.dlg.m_iRet.load(), 0);
            EXPECT_TRUE(m.HoldsNewFirmware(0, 0));
            EXPECT_TRUE(m.HoldsNewFirmware(0, 1));
            EXPECT_TRUE(m.sink.HasRecord(L"MSG", L"CMy262FWUpgradeToolDlg::ChildThreadFun",
                                         L"ucTargetNumber[0], b.verify firmware"));
        }
    }
}

// A worker whose download outlives the grace and the last resort (its slow
// chunks ignore every cancel) is logged and left; the run still ends -9 and
// the clean-up leaves the driver installed, so the worker never reaches
// filter objects of a driver being removed.
TEST(RunLastResort, AWorkerOutlivingTheLastResortKeepsTheDriverInstalled) {
    RunMachine m(0);
    m.AddHub(m.root, 1);
    m.AddHub(m.root, 2);
    sim::Fault f;
    f.match.command = hubaccess::CMD_FW_DOWNLOAD;
    f.match.device = m.usb.FilterObjectName(m.nodes[0]);
    f.kind = sim::FaultKind::Slow;
    f.delayMs = 600;  // its first image: about 385 s
    f.ignoresCancel = true;
    f.times = 641;
    m.driver.AddFault(f);
    bool leftRunning = false;
    std::uint64_t runEndMs = 0;
    m.sched.Run([&] {
        m.dlg.OnBnClickedButtonStart();
        m.dlg.m_pMainThread->Join(platform::kInfinite);
        runEndMs = m.sched.NowMs();
        for (auto& worker : m.dlg.m_pChildThread) {
            if (!worker) continue;
            leftRunning = leftRunning || !worker->HasEnded();
            worker->Join(platform::kInfinite);  // the test waits for it; the tool would not
        }
    });
    EXPECT_TRUE(leftRunning);
    EXPECT_EQ(m.dlg.m_iRet.load(), -9);
    EXPECT_EQ(m.view.GetStatus().text, L"TimeOut!!(-9)");
    EXPECT_EQ(m.cleanup.driverRemoved, 0);
    EXPECT_GE(m.driver.CancelCalls(), 1);  // the last resort, logged
    EXPECT_TRUE(m.sink.Contains(L"still running after the grace, its requests cancelled"));
    EXPECT_TRUE(m.sink.Contains(L"the filter driver is not removed"));
    EXPECT_LE(runEndMs, 260'000u + 30'000u + run_machine::kLastResortRoomMs);
    EXPECT_EQ(m.io.writesStartedAfterCancel, 0);
}

// A worker that has not ended when the run ends, on the normal end (its
// thread's end waits, as a Windows thread that ends with a request still
// pending waits for that request's cancel), after the last resort (its
// download ignores every cancel) or inside a restart (devcon never ends):
// the run fails with -9, the driver stays installed, devcon (its path, its
// file) and the run's image stay as a worker may read them, and the
// program's end tears nothing down: it flushes the log
// and terminates the process. The worker then finishes after the run's end
// against whatever the program's end left (under ASan a use of freed state
// fails here). A worker that ends within its join limit leaves nothing: the
// run passes, the driver goes and the program's end tears down as usual.
TEST(RunWorkerLeftRunning, FailsTheRunKeepsTheDriverAndTheProcessEndsWithoutTearDown) {
    struct Case {
        const char* name;
        std::function<void(RunMachine&)> setup;
        int exitCode;
        const wchar_t* text;
        bool left;
    };
    const Case cases[] = {
        {"NormalEndAWorkerStillEnding", [](RunMachine& m) { m.threads.endHoldMs["hub worker 0"] = 120'000; }, -9,
         L"Failed!!(-9)", true},
        {"NormalEndAWorkerEndingInTime", [](RunMachine& m) { m.threads.endHoldMs["hub worker 0"] = 20'000; }, 0,
         L"Pass!!", false},
        {"LastResort",
         [](RunMachine& m) {
             sim::Fault f;
             f.match.command = hubaccess::CMD_FW_DOWNLOAD;
             f.match.device = m.usb.FilterObjectName(m.nodes[0]);
             f.kind = sim::FaultKind::Slow;
             f.delayMs = 600;
             f.ignoresCancel = true;
             f.times = 641;
             m.driver.AddFault(f);
         },
         -9, L"TimeOut!!(-9)", true},
        {"InsideARestart",
         [](RunMachine& m) {
             // Once the workers run, the hubs' product strings no longer come
             // back through the filter: a re-identification restarts its hub
             // with devcon, which never ends. 64-bit Windows 10.
             const std::wstring currentVersion = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
             m.os.SetVersion(6, 2);
             m.registry.SetDword(currentVersion, L"CurrentMajorVersionNumber", 10);
             m.registry.SetString(currentVersion, L"CurrentBuildNumber", L"19045");
             m.os.SetWow64(true);
             auto added = std::make_shared<bool>(false);
             m.threads.beforeStart = [&m, added] {
                 if (!m.dlg.m_bImagePrepared || *added) return;  // before the first worker starts
                 *added = true;
                 sim::Fault f;
                 f.match.command = hubaccess::LEGACY_GET_STRING_DESCRIPTOR;
                 f.times = -1;
                 m.driver.AddFault(f);
             };
             sim::UsbFault hang;
             hang.op = sim::UsbOp::Launch;
             hang.kind = sim::UsbFaultKind::Hang;
             m.usb.AddFault(hang);
         },
         -9, L"TimeOut!!(-9)", true},
    };
    constexpr std::uint32_t kPid = 4242;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunMachine m(0);
        m.AddHub(m.root, 1);
        m.AddHub(m.root, 2);
        m.processes.AddProcess(kPid, L"262FWUpgradeTool.exe");
        m.processes.SetCurrentProcessId(kPid);
        c.setup(m);
        int code = 1;
        bool tornDown = false, devconKept = false, imageKept = false;
        const std::wstring devcon = m.utility->m_strDevconPath;
        std::size_t recordsAtEnd = 0;
        m.sched.Run([&] {
            m.dlg.OnBnClickedButtonStart();
            m.dlg.m_pMainThread->Join(platform::kInfinite);
            // What a worker left running reads is as it was: devcon's path
            // and the file it names, and the run's image.
            devconKept = m.utility->m_strDevconPath == devcon &&
                         platform::IsSameFile(m.files, m.utility->m_hDevconHeld, devcon);
            imageKept = m.dlg.bTempImageStillHeld();
            // The program's end once OK is pressed.
            code = m.dlg.m_iRet.load();
            if (!m.dlg.bTerminateIfRunThreadsLeft(m.processes, code)) {
                m.TearDown();
                tornDown = true;
            }
            recordsAtEnd = m.sink.Records().size();
            while (*m.threads.alive > 0) m.sched.Sleep(1000);
        });
        EXPECT_EQ(code, c.exitCode);
        EXPECT_EQ(m.view.GetStatus().text, c.text);
        EXPECT_EQ(m.cleanup.driverRemoved, c.left ? 0 : 1);
        EXPECT_EQ(m.sink.Contains(L"the filter driver is not removed"), c.left);
        EXPECT_EQ(m.cleanup.devconDeleted, c.left ? 0 : 1);
        EXPECT_EQ(devconKept, c.left);
        EXPECT_EQ(imageKept, c.left);
        EXPECT_EQ(tornDown, !c.left);
        const auto ends = m.processes.Terminations();
        if (c.left) {
            EXPECT_EQ(ends.size(), 1u);
            for (const sim::TerminateCall& end : ends) {
                EXPECT_EQ(end.pid, kPid);
                EXPECT_EQ(static_cast<int>(end.exitCode), -9);
            }
            EXPECT_FALSE(m.processes.IsRunning(kPid));
            // The record of the end is the last one; the worker that goes on
            // logs nothing more.
            const auto records = m.sink.Records();
            EXPECT_EQ(records.size(), recordsAtEnd);
            EXPECT_NE(records.empty() ? std::wstring::npos
                                      : records.back().find(L"a worker is still running: the process ends itself with [-9]"),
                      std::wstring::npos);
        } else {
            EXPECT_TRUE(ends.empty());
        }
    }
}

}  // namespace
