#include "hubaccess/DebugLog.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/CaptureLogSink.h"
#include "sim/HostPorts.h"

namespace {

class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override { vDEBUG_Initial_printf(threads_, sink_); }
    void TearDown() override {
        vDEBUG_Shutdown_printf();
        g_nMessageLevel = 0;
    }

    sim::HostThreads threads_;
    sim::CaptureLogSink sink_;
};

TEST_F(DebugLogTest, LevelSelectsSeverities) {
    struct LevelCase {
        int level;
        std::vector<std::wstring> expected;
    };
    const std::wstring err = L"\r\nERR::e1";
    const std::wstring wrn = L"\r\nWRN::w2";
    const std::wstring msg = L"\r\nMSG::m3";
    const LevelCase cases[] = {
        {0, {}}, {1, {err}}, {2, {err, wrn}}, {3, {err, wrn, msg}}, {255, {err, wrn, msg}},
    };
    for (const LevelCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "level " << c.level);
        sink_.Clear();
        g_nMessageLevel = c.level;
        vDEBUG_ERR_printf(L"e%d", 1);
        vDEBUG_WRN_printf(L"w%d", 2);
        vDEBUG_MSG_printf(L"m%s", "3");
        EXPECT_EQ(c.expected, sink_.Records());
    }
}

TEST_F(DebugLogTest, RecordIsPrefixAndFormattedText) {
    g_nMessageLevel = 1;
    vDEBUG_ERR_printf(L"%s:%d: set_device_paths: couldn't send device command",
                      L"CVNTLFILTER0::RegisterReadWriteCmd", 1234);
    const std::vector<std::wstring> expected = {
        L"\r\nERR::CVNTLFILTER0::RegisterReadWriteCmd:1234: set_device_paths: couldn't send device "
        L"command"};
    EXPECT_EQ(expected, sink_.Records());
}

TEST_F(DebugLogTest, LongTextIsCutAt4088Characters) {
    g_nMessageLevel = 3;
    for (std::size_t length : {4087u, 4088u, 4089u, 5000u}) {
        SCOPED_TRACE(testing::Message() << "length " << length);
        sink_.Clear();
        std::wstring text(length, L'x');
        text[0] = L'<';
        text[length - 1] = L'>';
        vDEBUG_WRN_printf(L"%s", text);
        const auto records = sink_.Records();
        ASSERT_EQ(1u, records.size());
        EXPECT_EQ(L"\r\nWRN::" + text.substr(0, kDebugTextMax), records[0]);
    }
}

TEST_F(DebugLogTest, RecordsAreDroppedWithoutASinkAndGoToTheNewSinkAfterRebinding) {
    g_nMessageLevel = 3;
    vDEBUG_Shutdown_printf();
    vDEBUG_ERR_printf(L"dropped %d", 1);
    EXPECT_TRUE(sink_.Records().empty());

    sim::CaptureLogSink other;
    vDEBUG_Initial_printf(threads_, other);
    vDEBUG_ERR_printf(L"kept %d", 2);
    EXPECT_TRUE(sink_.Records().empty());
    EXPECT_EQ(std::vector<std::wstring>{L"\r\nERR::kept 2"}, other.Records());
}

TEST_F(DebugLogTest, ConcurrentRecordsArriveWholeAndInOrderPerThread) {
    constexpr int kThreads = 8;
    constexpr int kRecords = 200;
    g_nMessageLevel = 3;
    const std::wstring filler(300, L'.');
    std::vector<std::unique_ptr<platform::Thread>> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.push_back(threads_.Start(
            [t, &filler] {
                for (int i = 0; i < kRecords; ++i)
                    vDEBUG_MSG_printf(L"%s:%d: worker %d record %03d %s", L"Worker::Run", 77, t, i,
                                      filler);
            },
            platform::ThreadPriority::Normal, "worker"));
    }
    for (auto& w : workers) ASSERT_TRUE(w->Join(platform::kInfinite));

    const auto records = sink_.Records();
    ASSERT_EQ(std::size_t{kThreads * kRecords}, records.size());
    std::vector<int> nextIndex(kThreads, 0);
    for (const std::wstring& r : records) {
        // "\r\nMSG::Worker::Run:77: worker T record III ....": the thread and
        // index are read back, then the whole record must match exactly.
        const std::size_t at = r.find(L"worker ");
        ASSERT_NE(std::wstring::npos, at) << "record: " << testing::PrintToString(r);
        const int t = r[at + 7] - L'0';
        ASSERT_TRUE(t >= 0 && t < kThreads);
        const std::wstring expected =
            textfmt::Format(L"\r\nMSG::Worker::Run:77: worker %d record %03d %s", t, nextIndex[t], filler);
        ASSERT_EQ(expected, r);
        ++nextIndex[t];
    }
    EXPECT_EQ(std::vector<int>(kThreads, kRecords), nextIndex);
}

// Counts the lock operations on the log's mutex.
class CountingThreads : public platform::Threads {
public:
    struct Counts {
        int locks = 0;
        int unlocks = 0;
        std::string name;
    };

    std::unique_ptr<platform::Thread> Start(std::function<void()>, platform::ThreadPriority,
                                            const std::string&) override {
        return nullptr;
    }
    std::unique_ptr<platform::Mutex> CreateMutex(const std::string& name) override {
        counts.name = name;
        return std::make_unique<CountingMutex>(counts);
    }
    std::unique_ptr<platform::CancelToken> CreateCancelToken() override { return nullptr; }
    std::uint32_t CurrentThreadId() override { return 1; }

    Counts counts;

private:
    class CountingMutex : public platform::Mutex {
    public:
        explicit CountingMutex(Counts& c) : c_(c) {}
        void Lock() override { ++c_.locks; }
        void Unlock() override { ++c_.unlocks; }

    private:
        Counts& c_;
    };
};

TEST_F(DebugLogTest, LockIsTakenOnlyForRecordsThatAreWritten) {
    CountingThreads counting;
    vDEBUG_Initial_printf(counting, sink_);
    EXPECT_EQ("m_PrintCriticalSection", counting.counts.name);

    g_nMessageLevel = 0;
    vDEBUG_ERR_printf(L"e");
    vDEBUG_WRN_printf(L"w");
    vDEBUG_MSG_printf(L"m");
    EXPECT_EQ(0, counting.counts.locks);

    g_nMessageLevel = 1;
    vDEBUG_WRN_printf(L"w");
    vDEBUG_MSG_printf(L"m");
    EXPECT_EQ(0, counting.counts.locks);
    vDEBUG_ERR_printf(L"e");
    EXPECT_EQ(1, counting.counts.locks);
    EXPECT_EQ(1, counting.counts.unlocks);
    EXPECT_EQ(1u, sink_.Records().size());
    vDEBUG_Shutdown_printf();  // before `counting` goes away
}

}  // namespace
