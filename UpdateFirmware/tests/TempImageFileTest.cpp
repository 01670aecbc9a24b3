// The temporary firmware image file: golden bytes, the type byte from hub 0's
// chip version, CRC-32, and that the file is always written whole or not at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HubUtilityMachine.h"
#include "sim/HubChip.h"

namespace ha = hubaccess;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::wstring kSource = L"C:\\Tool\\fw.bin";
const std::wstring kTemp = L"C:\\Tool\\Temp\\TempBinData.bin";
const std::wstring kObject = L"\\\\.\\USBPDO_50001";

Bytes Pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return b;
}

class TempImageFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m.HubDev();
        m.devList.nCount = 1;
        m.devList.rows[0].m_strObjectName = kObject;
        m.driver.AddInterface(kObject, chip);
        chip->SetReg(0x5820, 0x25);
    }
    // Writes `source`, runs the writer and hands back the temp file.
    std::optional<Bytes> Run(const Bytes& source, ha::BOOL strip = ha::FALSE, ha::BOOL crc = ha::FALSE,
                             ha::BOOL expect = ha::TRUE) {
        m.files.PutFile(kSource, source);
        EXPECT_EQ(m.utility->vCreateTempBinDataFile(kSource, strip, crc, ha::TRUE), expect);
        // Held as written and read back: the Temp folder and the image.
        std::vector<ha::BYTE> held;
        const platform::Handle image = m.utility->TakeTempImage(&held);
        EXPECT_EQ(image.IsValid(), expect != ha::FALSE);
        EXPECT_EQ(m.FileHandlesOpen(), 1 + (expect ? 1 : 0));
        const auto file = m.files.GetFile(kTemp);
        if (expect) {
            EXPECT_EQ(held, *file);
        }
        m.files.CloseHandle(image);
        m.utility->vReleaseTempFolder();
        EXPECT_EQ(m.FileHandlesOpen(), 0);
        return file;
    }

    testing_machine::HubUtilityMachine m;
    std::shared_ptr<sim::HubChip> chip = std::make_shared<sim::HubChip>();
};

TEST_F(TempImageFileTest, GoldenLayout) {
    const Bytes image = Pattern(24519);
    const auto file = Run(image);
    ASSERT_TRUE(file);
    ASSERT_EQ(file->size(), 24523u);
    EXPECT_EQ((*file)[0], 0xC7);
    EXPECT_EQ((*file)[1], 0x5F);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), file->begin() + 2));
    std::uint8_t sum = 0;
    for (auto b : image) sum = static_cast<std::uint8_t>(sum + b);
    EXPECT_EQ((*file)[24521], 0x3C);
    EXPECT_EQ((*file)[24522], sum);

    EXPECT_EQ(*Run({0xFF, 0x01, 0x02}), (Bytes{0x03, 0x00, 0xFF, 0x01, 0x02, 0x3C, 0x02}));
    const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    const auto withCrc = Run(digits, ha::FALSE, ha::TRUE);
    ASSERT_TRUE(withCrc);
    EXPECT_EQ(Bytes(withCrc->begin() + 11, withCrc->end()), (Bytes{0xC3, 0xDD, 0x26, 0x39, 0xF4, 0xCB}));

    // The second name.
    m.files.PutFile(kSource, digits);
    EXPECT_EQ(m.utility->vCreateTempBinDataFile(kSource, ha::FALSE, ha::FALSE, ha::FALSE), ha::TRUE);
    EXPECT_EQ(m.files.GetFile(L"C:\\Tool\\Temp\\TempBinData_B.bin")->size(), 13u);
}

TEST_F(TempImageFileTest, TypeByteFollowsHubZerosChipVersion) {
    struct Case {
        int reg;  // -1: every read fails
        std::uint8_t plain, crc;
        // Per read of 0x5820 (up to four): 'F' fails, 'A' answers altered
        // (XOR 0x10 on the first, 0x20 on the next...), '.' answers right.
        const char* reads = "";
    };
    for (const Case c : {Case{0x00, 0xAA, 0xA5}, Case{0x10, 0x4B, 0xB4}, Case{0x25, 0x3C, 0xC3}, Case{0x30, 0x2D, 0xD2},
                         Case{0xCF, 0xAA, 0xA5}, Case{-1, 0xAA, 0xA5},
                         // Reads until two agree: one altered or failed read is outvoted.
                         Case{0x25, 0x3C, 0xC3, "A."}, Case{0x25, 0x3C, 0xC3, "F.A."}, Case{0x25, 0x3C, 0xC3, "FFF."},
                         // None agree: the last value read (0x25 ^ 0x30 = 0x15; 0x25 ^ 0x10 = 0x35).
                         Case{0x25, 0x4B, 0xB4, "AAFA"}, Case{0x25, 0x2D, 0xD2, "FFAF"}}) {
        SCOPED_TRACE(std::to_string(c.reg) + c.reads);
        for (int variant = 0; variant < 2; ++variant) {
            m.driver.ClearFaults();
            std::uint8_t xorValue = 0x10;
            int rightBefore = 0;  // reads answered right so far: each fault lets them through
            for (const char* r = c.reads; *r; ++r) {
                if (*r == '.') {
                    ++rightBefore;
                    continue;
                }
                sim::Fault f;
                f.match.address = 0x5820;
                f.kind = *r == 'A' ? sim::FaultKind::AlterReply : sim::FaultKind::GenFailure;
                f.alterAt = 0;
                f.alterXor = xorValue;
                f.skip = rightBefore;
                if (*r == 'A') xorValue = static_cast<std::uint8_t>(xorValue + 0x10);
                m.driver.AddFault(f);
            }
            if (c.reg < 0) {
                sim::Fault f;
                f.match.address = 0x5820;
                f.times = -1;
                m.driver.AddFault(f);
            } else {
                chip->SetReg(0x5820, static_cast<std::uint8_t>(c.reg));
            }
            const auto file = variant == 0 ? Run({1, 2}) : Run({1, 2}, ha::FALSE, ha::TRUE);
            EXPECT_EQ((*file)[4], variant == 0 ? c.plain : c.crc);
        }
    }
    // No hub device object at all counts as a failed read.
    m.utility->m_USBLib.m_pHubDev.reset();
    EXPECT_EQ((*Run({1, 2}))[4], 0xAA);
    EXPECT_TRUE(m.HasRecord(L"ERR", L"CHubUtility::vCreateTempBinDataFile",
                            L"VTL262xAccessRegister Failed,pChildThreadInfo->ucTargetNumber[0]  "));
}

TEST_F(TempImageFileTest, Crc32Table) {
    m.utility->vInitCRC32Table();
    EXPECT_EQ(m.utility->m_CRC32Table[1], 0x77073096u);
    EXPECT_EQ(m.utility->m_CRC32Table[128], 0xEDB88320u);
    const ha::BYTE digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(m.utility->CRC32(digits, sizeof digits), 0xCBF43926u);
}

// The file is always made new: an older, longer one leaves no tail, and one
// that cannot be deleted is never written through (it may be a link to
// another file): the image is refused and the old file stays untouched.
TEST_F(TempImageFileTest, OlderLongerFileLeavesNoTail) {
    for (bool deleteFails : {false, true}) {
        SCOPED_TRACE(deleteFails);
        m.files.PutFile(kTemp, Bytes(70000, 0xEE));
        if (deleteFails) {
            sim::FileFault f;
            f.op = sim::FileOp::Delete;
            m.files.AddFault(f);
        }
        EXPECT_EQ(*Run({9, 8, 7}, ha::FALSE, ha::FALSE, deleteFails ? ha::FALSE : ha::TRUE),
                  deleteFails ? Bytes(70000, 0xEE) : (Bytes{3, 0, 9, 8, 7, 0x3C, 24}));
    }
    EXPECT_TRUE(m.HasRecord(L"WRN", L"CHubUtility::vCreateTempBinDataFile",
                            L"vCreateTempBinDataFile: No strTempBinDataFilePath[" + kTemp + L"] to Delete  , ErrorCode = 5"));
}

TEST_F(TempImageFileTest, StripHeaderWritesTheRecordBehindTheTable) {
    const Bytes source = Pattern(300);
    EXPECT_EQ(*Run(source, ha::TRUE), Bytes(source.begin() + 256, source.end()));
    EXPECT_EQ(Run(Pattern(256), ha::TRUE)->size(), 0u);
}

// Whatever a refused source is, the image an earlier run left is gone before
// the source is read: a caller that ignores FALSE finds no file.
TEST_F(TempImageFileTest, RefusalsLeaveNoEarlierImage) {
    // The longest image whose file still fits 64 KiB.
    EXPECT_EQ(Run(Pattern(0xFFFC))->size(), 0x10000u);
    m.driver.ClearJournal();

    sim::FileFault shortRead;
    shortRead.op = sim::FileOp::Read;
    shortRead.shortRead = true;
    shortRead.shortBytes = 0;  // the file ends before its size
    struct Case {
        const char* what;
        std::size_t length;
        ha::BOOL strip;
        std::optional<sim::FileFault> fault;
    };
    const Case cases[] = {
        {"one byte too long", 0xFFFD, ha::FALSE, std::nullopt},
        {"far too long", 70000, ha::FALSE, std::nullopt},
        {"shorter than its header", 255, ha::TRUE, std::nullopt},
        {"short read", 24519, ha::FALSE, shortRead},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m.files.PutFile(kTemp, Pattern(4000));  // an earlier run's image
        m.files.ClearFaults();
        if (c.fault) m.files.AddFault(*c.fault);
        EXPECT_FALSE(Run(Pattern(c.length), c.strip, ha::FALSE, ha::FALSE).has_value());
    }
    m.files.ClearFaults();
    EXPECT_TRUE(m.HasRecord(L"WRN", L"CHubUtility::vCreateTempBinDataFile", L"vCreateTempBinDataFile: FW["));
    EXPECT_EQ(m.driver.Journal().size(), 0u);  // no chip read for a refused image

    m.files.PutFile(kTemp, Pattern(4000));
    EXPECT_EQ(m.utility->vCreateTempBinDataFile(L"C:\\Tool\\none.bin", ha::FALSE, ha::FALSE, ha::TRUE), ha::FALSE);
    EXPECT_TRUE(m.HasRecord(L"ERR", L"CHubUtility::vCreateTempBinDataFile",
                            L"vCreateTempBinDataFile: m_strFWBinFilePath : "));
    EXPECT_FALSE(m.files.Exists(kTemp));

    // A write that breaks off leaves no half image behind.
    sim::FileFault write;
    write.op = sim::FileOp::Write;
    m.files.AddFault(write);
    EXPECT_FALSE(Run(Pattern(24519), ha::FALSE, ha::FALSE, ha::FALSE));
}

}  // namespace
