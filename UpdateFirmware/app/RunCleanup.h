// What the end of a run removes again, apart from the hub access layer's own
// power-management restore: the extracted INI, the filter driver and its
// files, the extracted firmware file. The application wires the payload's
// operations in; tests record the calls.
#pragma once

#include <string>

namespace hubaccess {
class CHubUtility;
}

namespace app {

class CPayload;

class RunCleanup {
public:
    virtual ~RunCleanup() = default;
    // The system's temporary directory (GetTempPathW), at most 255 characters.
    virtual std::wstring TempPath() = 0;
    // Deletes the extracted INI file next to the executable when it is there.
    virtual void DeleteIniFile() = 0;
    // Uninstalls the filter driver and deletes its files under tempDir;
    // 0 when done.
    virtual int Remove_FilterDriverAndFiles(const std::wstring& tempDir) = 0;
    // Deletes the devcon this process wrote.
    virtual void DeleteDevcon() = 0;
};

// The clean-up of the program: the INI through g_Ini, the driver package
// through the payload.
class PayloadRunCleanup : public RunCleanup {
public:
    PayloadRunCleanup(hubaccess::CHubUtility& utility, CPayload& payload) : m_utility(utility), m_payload(payload) {}
    std::wstring TempPath() override;
    void DeleteIniFile() override;
    int Remove_FilterDriverAndFiles(const std::wstring& tempDir) override;
    void DeleteDevcon() override;

private:
    hubaccess::CHubUtility& m_utility;
    CPayload& m_payload;
};

}  // namespace app
