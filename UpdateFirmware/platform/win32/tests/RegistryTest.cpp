#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/Win32Errors.h"
#include "platform/win32/Win32Registry.h"
#include "platform/win32/WindowsApi.h"

namespace {

using platform::win32::Win32Registry;

// A key of its own under HKLM\SOFTWARE (64-bit view), created by the test and
// deleted again.
class Win32RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        subKey_ = L"SOFTWARE\\FwToolTest-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                  std::to_wstring(::GetTickCount64());
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, nullptr, 0,
                                    KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key_, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        if (key_) ::RegCloseKey(key_);
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, subKey_.c_str(), KEY_WOW64_64KEY, 0);
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, subKey_.c_str(), KEY_WOW64_32KEY, 0);
    }

    std::wstring subKey_;
    HKEY key_ = nullptr;
    Win32Registry registry_;
};

TEST_F(Win32RegistryTest, DwordWrittenReadsBackAsRegDword) {
    const auto written = registry_.WriteDword(subKey_, L"EnableSelectiveSuspend", 0xA5B6C7D8u);
    EXPECT_EQ(written.openStatus, 0u);
    EXPECT_EQ(written.setStatus, 0u);

    const auto read = registry_.ReadValue(subKey_, L"EnableSelectiveSuspend", 8192);
    EXPECT_EQ(read.openStatus, 0u);
    EXPECT_EQ(read.queryStatus, 0u);
    EXPECT_EQ(read.type, platform::kRegDword);
    EXPECT_EQ(read.data, (std::vector<std::uint8_t>{0xD8, 0xC7, 0xB6, 0xA5}));
}

TEST_F(Win32RegistryTest, MultiStringReadsBackWithItsRawBytes) {
    const wchar_t value[] = L"usbfilt\0VntlFilter\0";  // two names and the closing NUL
    ASSERT_EQ(::RegSetValueExW(key_, L"UpperFilters", 0, REG_MULTI_SZ,
                               reinterpret_cast<const BYTE*>(value), sizeof value),
              ERROR_SUCCESS);
    std::vector<std::uint8_t> expected(sizeof value);
    std::memcpy(expected.data(), value, sizeof value);

    const auto read = registry_.ReadValue(subKey_, L"UpperFilters", 8192);
    EXPECT_EQ(read.queryStatus, 0u);
    EXPECT_EQ(read.type, platform::kRegMultiSz);
    EXPECT_EQ(read.data, expected);

    // A value larger than asked for gives no bytes at all.
    const auto cut = registry_.ReadValue(subKey_, L"UpperFilters", 8);
    EXPECT_EQ(cut.queryStatus, static_cast<std::uint32_t>(ERROR_MORE_DATA));
    EXPECT_TRUE(cut.data.empty());
    const auto none = registry_.ReadValue(subKey_, L"UpperFilters", 0);
    EXPECT_EQ(none.queryStatus, static_cast<std::uint32_t>(ERROR_MORE_DATA));
    EXPECT_TRUE(none.data.empty());
}

// Under SOFTWARE the two views of 64-bit Windows differ: the adapter reads the
// 64-bit one whatever the bitness of the process, so a 32-bit build sees the
// machine's own Windows version, not the WOW6432Node copy.
TEST_F(Win32RegistryTest, SoftwareIsSeenInThe64BitView) {
    HKEY view32 = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, nullptr, 0,
                                KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &view32, nullptr),
              ERROR_SUCCESS);
    const DWORD in32 = 32, in64 = 64;
    ASSERT_EQ(::RegSetValueExW(view32, L"CurrentMajorVersionNumber", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&in32), sizeof in32),
              ERROR_SUCCESS);
    ::RegCloseKey(view32);
    ASSERT_EQ(::RegSetValueExW(key_, L"CurrentMajorVersionNumber", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&in64), sizeof in64),
              ERROR_SUCCESS);

    const auto read = registry_.ReadValue(subKey_, L"CurrentMajorVersionNumber", 4);
    EXPECT_EQ(read.queryStatus, 0u);
    EXPECT_EQ(read.data, (std::vector<std::uint8_t>{64, 0, 0, 0}));
}

TEST_F(Win32RegistryTest, MissingKeysAndValuesReportFileNotFound) {
    const std::wstring missingKey = subKey_ + L"\\Missing";
    EXPECT_EQ(registry_.ReadValue(missingKey, L"Value", 8192).openStatus,
              platform::kErrorFileNotFound);
    // A write never creates the key.
    EXPECT_EQ(registry_.WriteDword(missingKey, L"Value", 1).openStatus,
              platform::kErrorFileNotFound);
    EXPECT_EQ(registry_.ReadValue(missingKey, L"Value", 4).openStatus,
              platform::kErrorFileNotFound);

    const auto value = registry_.ReadValue(subKey_, L"NoSuchValue", 8192);
    EXPECT_EQ(value.openStatus, 0u);
    EXPECT_EQ(value.queryStatus, platform::kErrorFileNotFound);

    const std::wstring withNul = subKey_ + std::wstring(1, L'\0');
    EXPECT_EQ(registry_.ReadValue(withNul, L"Value", 4).openStatus,
              platform::kErrorInvalidParameter);
    EXPECT_EQ(registry_.WriteDword(withNul, L"Value", 1).openStatus,
              platform::kErrorInvalidParameter);
}

}  // namespace
