// The identification signature at 0x7FB/0x7FC against the simulated chip.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

#include "HubUtilityMachine.h"
#include "sim/HubChip.h"

namespace ha = hubaccess;
using platform::Handle;

namespace {

const std::wstring kObject = L"\\\\.\\USBPDO_30001";

class SignatureMarksTest : public ::testing::Test {
protected:
    void SetUp() override {
        m.driver.AddInterface(kObject, chip);
        h = m.driver.CreateFile(kObject, platform::DeviceOpenMode::Filter).handle;
        ASSERT_TRUE(h.IsValid());
        chip->SetReg(0x7FB, 0xFF);
        chip->SetReg(0x7FC, 0xFF);
    }
    sim::Fault& Fail(sim::FaultKind kind, std::uint32_t address, int times = 1) {
        sim::Fault f;
        f.kind = kind;
        f.error = 31;
        f.match.address = address;
        f.times = times;
        return m.driver.AddFault(f);
    }
    const std::vector<sim::JournalEntry>& Journal() const { return m.driver.Journal(); }

    testing_machine::HubUtilityMachine m;
    std::shared_ptr<sim::HubChip> chip = std::make_shared<sim::HubChip>();
    Handle h;
};

TEST_F(SignatureMarksTest, MarkingClearsWritesMarkThenIndexAndReadsBothBack) {
    ASSERT_EQ(m.utility->MarkSignatureforIdentify(h, '3'), 0);
    struct Expected {
        std::uint32_t ioctl, command, value, address, inLen, outCap;
    };
    const Expected expected[] = {
        {ha::IOCTL_FILTER_WRITE, 0x53, 0xFF, 0x7FB, 25, 0}, {ha::IOCTL_FILTER_WRITE, 0x53, 0xFF, 0x7FC, 25, 0},
        {ha::IOCTL_FILTER_WRITE, 0x53, 0x5A, 0x7FB, 25, 0}, {ha::IOCTL_FILTER_WRITE, 0x53, 0x33, 0x7FC, 25, 0},
        {ha::IOCTL_FILTER_READ, 0x52, 0, 0x7FB, 24, 4},
    };
    ASSERT_EQ(Journal().size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        const auto& e = Journal()[i];
        EXPECT_EQ(e.ioctl, expected[i].ioctl);
        EXPECT_EQ(e.Command(), expected[i].command);
        EXPECT_EQ(e.Value(), expected[i].value);
        EXPECT_EQ(e.Index(), expected[i].address);
        EXPECT_EQ(e.Timeout(), 500u);
        EXPECT_EQ(e.input.size(), expected[i].inLen);
        EXPECT_EQ(e.outCapacity, expected[i].outCap);
    }
    EXPECT_EQ(chip->Reg(0x7FB), 0x5A);
    EXPECT_EQ(chip->Reg(0x7FC), 0x33);
}

TEST_F(SignatureMarksTest, ReadingTellsMarkIndexAndFailureApart) {
    struct Case {
        std::uint8_t mark, index, marked;
    };
    for (const Case c : {Case{0x5A, 0x33, 1}, Case{0x5A, 0xFF, 1}, Case{0xFF, 0xFF, 0}, Case{0x00, 0x30, 0},
                         Case{0x5B, 0x30, 0}}) {
        SCOPED_TRACE(int(c.mark));
        chip->SetReg(0x7FB, c.mark);
        chip->SetReg(0x7FC, c.index);
        EXPECT_EQ(m.utility->bIsSignatureMarked(h), c.marked);
        std::array<ha::BYTE, 4> out{};
        bool ok = false;
        EXPECT_EQ(m.utility->ucGetSignatureMarked(h, out.data(), &ok), c.index);
        EXPECT_TRUE(ok);
        EXPECT_EQ(out[0], c.mark);
        EXPECT_EQ(out[1], c.index);
    }
    // A failed read also answers 255, but says so.
    Fail(sim::FaultKind::GenFailure, 0x7FB, -1);
    bool ok = true;
    EXPECT_EQ(m.utility->ucGetSignatureMarked(h, nullptr, &ok), 255);
    EXPECT_FALSE(ok);
    EXPECT_EQ(m.utility->bIsSignatureMarked(h), 255);
    EXPECT_TRUE(m.HasRecord(L"ERR", L"CHubUtility::bIsSignatureMarked", L"VNTLFILTER1.RegisterReadWriteCmd Failed  Error:31"));
    EXPECT_TRUE(m.HasRecord(L"ERR", L"CHubUtility::ucGetSignatureMarked", L"VNTLFILTER1.RegisterReadWriteCmd Failed  Error:31"));
}

TEST_F(SignatureMarksTest, FailedWritesStopAtOnce) {
    // The clearing write of the mark byte fails: nothing else is sent.
    Fail(sim::FaultKind::GenFailure, 0x7FB);
    EXPECT_EQ(m.utility->MarkSignatureforIdentify(h, '1'), -1);
    EXPECT_EQ(Journal().size(), 1u);
    EXPECT_TRUE(m.HasRecord(L"ERR", L"CHubUtility::WriteSignatureWORD", L"RegisterReadWriteCmd Failed  Error:31"));
    EXPECT_TRUE(m.HasRecord(L"ERR", L"CHubUtility::MarkSignatureforIdentify", L"VNTLFILTER1.RegisterReadWriteCmd Failed"));

    // The index byte fails: the mark byte went out, the word is not done.
    m.driver.ClearJournal();
    Fail(sim::FaultKind::Error, 0x7FC);
    EXPECT_EQ(m.utility->WriteSignatureWORD(h, 0x315A), -1);
    EXPECT_EQ(Journal().size(), 2u);
}

TEST_F(SignatureMarksTest, VerifyNeedsBothBytesToStick) {
    // Writes to `lost` do not stick; the index byte holds another row's mark.
    for (std::uint32_t lost : {0x7FBu, 0x7FCu}) {
        SCOPED_TRACE(lost);
        m.driver.ClearFaults();
        chip->SetReg(0x7FB, 0xFF);
        chip->SetReg(0x7FC, 0x31);
        Fail(sim::FaultKind::DropWrite, lost, -1);
        EXPECT_EQ(m.utility->MarkSignatureforIdentify(h, '3'), -1);
        EXPECT_TRUE(m.HasRecord(L"ERR", L"CHubUtility::MarkSignatureforIdentify", L"bIsSignatureMarked Failed  Error:"));
    }
}

TEST_F(SignatureMarksTest, NoHandleAnswersWithoutARequest) {
    const Handle invalid = Handle::Invalid();
    EXPECT_EQ(m.utility->bIsSignatureMarked(invalid), 246);
    EXPECT_EQ(m.utility->WriteSignatureWORD(invalid, 0xFFFF), -10);
    EXPECT_EQ(m.utility->MarkSignatureforIdentify(invalid, '0'), -10);
    EXPECT_TRUE(m.sink.Records().empty());
    bool ok = true;
    EXPECT_EQ(m.utility->ucGetSignatureMarked(invalid, nullptr, &ok), 255);
    EXPECT_FALSE(ok);

    m.sink.Clear();
    EXPECT_EQ(m.utility->bIsSignatureMarked(Handle::Null()), 255);
    EXPECT_EQ(m.sink.Records().size(), 2u);
    EXPECT_TRUE(m.HasRecord(L"MSG", L"CVNTLFILTER0::RegisterReadWriteCmd", L"Driver Handle is NULL"));
    EXPECT_TRUE(m.HasRecord(L"ERR", L"CHubUtility::bIsSignatureMarked", L"VNTLFILTER1.RegisterReadWriteCmd Failed  Error:"));
    EXPECT_EQ(m.utility->WriteSignatureWORD(Handle::Null(), 0xFFFF), -1);
    EXPECT_TRUE(Journal().empty());
}

}  // namespace
