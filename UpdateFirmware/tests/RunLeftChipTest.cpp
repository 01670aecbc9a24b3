// Whole runs where the time-out meets a failure, and chips an earlier run
// left half-written: the image the chip boots after the run keeps a table of
// its own, the write order rests on reads that agree, and image 1 passes as
// verified only once value 1 has been seen to read it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RunMachine.h"
#include "hubaccess/FilterRequest.h"

namespace {

using run_machine::RunMachine;
namespace ha = hubaccess;

std::vector<std::uint32_t> FirmwareDownloads(const sim::HubChip& chip) {
    std::vector<std::uint32_t> images;
    for (const auto& d : chip.downloads)
        if (d.command == ha::CMD_FW_DOWNLOAD) images.push_back(d.image);
    return images;
}

// The number of the first request of the undisturbed 1-hub run (seed 0)
// that `pick` chooses (0: none).
template <typename Pick>
std::uint64_t RequestOfCleanRun(Pick pick) {
    RunMachine m(0);
    m.AddHub(m.root, 1);
    m.Run();
    const auto& journal = m.driver.Journal();
    for (std::size_t i = 0; i < journal.size(); ++i)
        if (pick(journal, i)) return journal[i].number;
    return 0;
}

bool IsErase(const sim::JournalEntry& e, std::uint32_t block, std::uint32_t part) {
    return !e.legacy && e.Command() == ha::CMD_SPI_BLOCK_ERASE && e.Value() == ((part << 8) | block);
}

// The time-out at image 0's erase (the image the chip boots, written
// second), then a failure in that table's step. The erase is followed by a
// download of its table whatever the time-out says.
TEST(RunTimeOutWithFailure, TheBootedImageEndsWithItsOwnTable) {
    const std::uint64_t erase0 =
        RequestOfCleanRun([](const std::vector<sim::JournalEntry>& j, std::size_t i) { return IsErase(j[i], 0, 0); });
    // The first erase-status read after image 0's part 1.
    const std::uint64_t status1 = RequestOfCleanRun([](const std::vector<sim::JournalEntry>& j, std::size_t i) {
        if (i == 0 || j[i].legacy || j[i].Command() != ha::CMD_REG_READ || j[i].Index() != 0x7FF) return false;
        for (std::size_t k = i; k-- > 0;) {
            if (j[k].Command() == ha::CMD_REG_READ && j[k].Index() == 0x7FF) return false;
            if (!j[k].legacy && j[k].Command() == ha::CMD_SPI_BLOCK_ERASE) return IsErase(j[k], 0, 1);
        }
        return false;
    });
    ASSERT_GT(erase0, 0u);
    ASSERT_GT(status1, erase0);
    struct Case {
        const char* name;
        bool chunk;  // the third chunk of its download fails; else the status read
    };
    for (const Case c : {Case{"third chunk", true}, Case{"status read after part 1", false}}) {
        SCOPED_TRACE(c.name);
        RunMachine m(0);
        m.AddHub(m.root, 1);
        const auto own = m.chips[0]->ConfigBlock(0);
        m.io.cancelAtRequest = erase0;
        sim::Fault f;
        if (c.chunk) {
            f.match.command = ha::CMD_CONFIG_DOWNLOAD;
            f.skip = 8 + 2;  // image 1's table went first
        } else {
            f.match.requestNumber = status1;
        }
        m.driver.AddFault(f);
        m.Run();
        EXPECT_LT(m.dlg.m_iRet.load(), 0);
        ASSERT_EQ(m.BootImage(0), 0);
        EXPECT_EQ(m.chips[0]->ConfigBlock(0), own);
        EXPECT_TRUE(m.sink.Contains(L"run cancelled, image 0's table left erased: erased and written again"));
        EXPECT_EQ(m.io.writesStartedAfterCancel, 0);
        EXPECT_EQ(m.io.CutDownloads(), 0);
        EXPECT_EQ(m.driver.CancelCalls(), 0);
    }
}

// The coordinator's own time-out, with every request slow but answered,
// arrives during image 0's table download; a later chunk of it fails. The
// table's erase and download are repeated after the time-out, and the last
// resort does not cancel them although they outlast the grace.
TEST(RunTimeOutWithFailure, TheCoordinatorsTimeOutWaitsForATableStep) {
    RunMachine m(0);
    m.AddHub(m.root, 1);
    const auto own = m.chips[0]->ConfigBlock(0);
    sim::Fault fail;  // the fifth chunk of image 0's table
    fail.match.command = ha::CMD_CONFIG_DOWNLOAD;
    fail.skip = 8 + 4;
    m.driver.AddFault(fail);
    sim::Fault slow;
    slow.kind = sim::FaultKind::Slow;
    slow.times = -1;
    slow.match.command = ha::CMD_CONFIG_DOWNLOAD;
    slow.delayMs = 4000;
    m.driver.AddFault(slow);
    slow.match.command = ha::CMD_FW_DOWNLOAD;  // image 1's download brings image 0's table near the time-out
    slow.delayMs = 344;
    m.driver.AddFault(slow);
    std::uint64_t firstAfterTimeOut = 0;  // the first request made after the time-out
    m.driver.onRequest = [&m, &firstAfterTimeOut](std::uint64_t n) {
        if (firstAfterTimeOut == 0 && m.dlg.m_pRunCancel && m.dlg.m_pRunCancel->IsCancelled()) firstAfterTimeOut = n;
    };
    m.Run();
    EXPECT_EQ(m.dlg.m_iRet.load(), -9);
    EXPECT_EQ(m.view.GetStatus().text, L"TimeOut!!(-9)");
    // The time-out fell between image 0's erase and the failed chunk.
    std::uint64_t erase = 0, failed = 0;
    for (const auto& e : m.driver.Journal()) {
        if (erase == 0 && IsErase(e, 0, 0)) erase = e.number;
        if (failed == 0 && e.faulted && e.Command() == ha::CMD_CONFIG_DOWNLOAD && !e.result.Succeeded()) failed = e.number;
    }
    ASSERT_GT(erase, 0u);
    EXPECT_GT(firstAfterTimeOut, erase);
    EXPECT_LE(firstAfterTimeOut, failed);
    ASSERT_EQ(m.BootImage(0), 0);
    EXPECT_EQ(m.chips[0]->ConfigBlock(0), own);
    EXPECT_EQ(m.driver.CancelCalls(), 0) << "a table step's requests cancelled";
    EXPECT_TRUE(m.sink.Contains(L"worker[0] inside a table's erase and download: waited for up to"));
    EXPECT_FALSE(m.dlg.m_bWorkerLeftRunning.load());
}

// Chips an earlier run left half-written.
struct LeftState {
    const char* name;
    bool cutImage0;  // else both images prepared, never reset
    bool value1ReadsImage0;
    bool alterImage1;  // every firmware download to image 1 lands changed
    std::vector<std::uint32_t> downloads;
    bool passes;
    int notVerified;
};

TEST(RunLeftChip, Image1PassesOnlyOnceValue1IsSeenToReadIt) {
    const LeftState cases[] = {
        // (a) both images hold the prepared area: order 1,0.
        {"(a) value 1 reads image 0", false, true, false, {1, 0}, true, 1},
        // (image 1 passes unverified: the second altered download is image 0's)
        {"(a) value 1 reads image 0, image 1 altered", false, true, true, {1, 0, 0}, true, 1},
        {"(a) value 1 mapped, image 1 altered", false, false, true, {1, 1}, false, 0},
        // (b) the chip boots image 1, image 0 holds the start of the new image: order 0,1.
        {"(b) value 1 reads image 0", true, true, false, {0, 1}, true, 1},
        {"(b) value 1 reads image 0, image 1 altered", true, true, true, {0, 1}, true, 1},
        {"(b) value 1 mapped, image 1 altered", true, false, true, {0, 1, 1}, false, 0},
        {"(b) value 1 mapped", true, false, false, {0, 1}, true, 0},
    };
    for (const LeftState& c : cases) {
        SCOPED_TRACE(c.name);
        RunMachine m(0);
        m.AddHub(m.root, 1);
        if (c.cutImage0) m.CutImage0Download(0, 0x2000);
        else m.BothImagesPrepared(0);
        m.chips[0]->romReadIgnoresImageValue = c.value1ReadsImage0;
        if (c.alterImage1) {
            // Chunk 5 of the first download to image 1 and of the one after it.
            const std::uint32_t chunks = (0x5000 + 4 + 31) / 32;
            const std::uint32_t first = c.cutImage0 ? chunks : 0;
            sim::Fault f;
            f.match.command = ha::CMD_FW_DOWNLOAD;
            f.kind = sim::FaultKind::AlterWrite;
            f.skip = static_cast<int>(first + 5);
            m.driver.AddFault(f);
            f.skip = static_cast<int>(first + chunks + 5 - 1);  // the first fault's hit is not counted
            m.driver.AddFault(f);
        }
        m.Run();
        EXPECT_EQ(FirmwareDownloads(*m.chips[0]), c.downloads);
        EXPECT_EQ(m.dlg.m_iRet.load() == 0, c.passes) << m.dlg.m_iRet.load();
        EXPECT_EQ(m.NotVerifiedRecords(0), c.notVerified);
        EXPECT_TRUE(m.HasBootableImage(0));
    }
}

// Image 0 cut during an earlier download (the chip boots image 1): one
// altered reply makes its sum match. Reads that agree decide the order, so
// the image the chip boots is not written first.
TEST(RunLeftChip, AnAlteredSumReplyNeverChoosesTheWriteOrder) {
    RunMachine m(0);
    m.AddHub(m.root, 1);
    const std::size_t cut = 0x2000;
    m.CutImage0Download(0, cut);
    // The sum of the image bytes image 0 holds now, at its place.
    const auto& area = m.chips[0]->FirmwareArea(0);
    const std::size_t length = area[0] | (area[1] << 8);
    std::uint8_t sum = 0;
    for (std::size_t j = 0; j < length; ++j) sum = static_cast<std::uint8_t>(sum + area[2 + j]);
    const std::size_t at = 2 + length + 1;
    sim::Fault f;
    f.match.command = ha::CMD_ROM_READ;
    f.match.address = static_cast<std::uint32_t>(0x100 + at / 32 * 32);
    f.kind = sim::FaultKind::AlterReply;
    f.alterAt = static_cast<std::uint32_t>(at % 32);
    f.alterXor = static_cast<std::uint8_t>(area[at] ^ sum);
    m.driver.AddFault(f);
    m.Run();
    ASSERT_NE(f.alterXor, 0);
    EXPECT_EQ(FirmwareDownloads(*m.chips[0]), (std::vector<std::uint32_t>{0, 1}));
    EXPECT_EQ(m.dlg.m_iRet.load(), 0);
    EXPECT_TRUE(m.HoldsNewFirmware(0, 0));
    EXPECT_TRUE(m.HoldsNewFirmware(0, 1));
}

}  // namespace
