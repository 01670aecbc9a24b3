#include "app/RunCleanup.h"

#include "app/Ini.h"
#include "app/Payload.h"
#include "hubaccess/HubUtility.h"

namespace app {

namespace {
constexpr std::size_t kMaxTempPath = 255;
}

std::wstring PayloadRunCleanup::TempPath() {
    std::wstring path = m_utility.Ports().files->GetTempPath();
    if (path.size() > kMaxTempPath) path.resize(kMaxTempPath);
    return path;
}

void PayloadRunCleanup::DeleteIniFile() { g_Ini.nDeleteINIFile(m_utility.Ports(), m_utility.m_szModuleDirectory); }

int PayloadRunCleanup::Remove_FilterDriverAndFiles(const std::wstring& tempDir) {
    return m_payload.Remove_FilterDriverAndFiles(tempDir);
}

void PayloadRunCleanup::DeleteDevcon() { m_payload.nADD_Delete_DevconFile(TempPath(), hubaccess::FALSE); }

}  // namespace app
