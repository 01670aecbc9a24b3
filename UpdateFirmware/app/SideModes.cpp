// Side modes: the /O version text file and the /I serial-number compare.
#include <vector>

#include "app/FileIo.h"
#include "app/MainDialog.h"
#include "app/TextHelpers.h"
#include "hubaccess/AsciiText.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"

namespace app {

namespace {

const wchar_t kOutputTask[] = L"CMy262FWUpgradeToolDlg::outputFWVersionTask";
const wchar_t kOutputFile[] = L"CMy262FWUpgradeToolDlg::nOutputVerTextFile";
const wchar_t kCompareTask[] = L"CMy262FWUpgradeToolDlg::nCmpHubSNTask";

const wchar_t kVersionFileName[] = L"VTL262xVersion.txt";
// A line of the version file is formatted into 255 bytes, the NUL included.
constexpr std::size_t kVersionLineMax = 254;

}  // namespace

int CMy262FWUpgradeToolDlg::outputFWVersionTask() {
    hubaccess::CHubUtility& utility = *hubaccess::pUtility;
    utility.Ports().osInfo->SetCurrentDirectory(utility.m_szModuleDirectory);
    vDEBUG_MSG_printf(L"%s:%d:   outputFWVersionTask !!! , CurrentDir=%s", kOutputTask, __LINE__,
                      utility.m_szModuleDirectory);
    if (!m_bOutputVerFile) return 0;
    const int r = nOutputVerTextFile();
    vShowHubInfo(static_cast<BYTE>(m_devList.nCount));
    if (r == 0) {
        vShowUpddateResult(L"Output Version File PASS", 1, 20);
        vSetAllProgressColor(kColourGreen);
    } else {
        // A file that was not written never reads as a pass.
        vSetAllProgressColor(kColourRed);
    }
    return r;
}

int CMy262FWUpgradeToolDlg::nOutputVerTextFile() {
    hubaccess::CHubUtility& utility = *hubaccess::pUtility;
    platform::Files& files = *utility.Ports().files;
    // The module directory is the current directory of the task; the file
    // is named by its full path all the same.
    const std::wstring path = utility.m_szModuleDirectory + L"\\" + kVersionFileName;
    const int n = m_devList.nCount;

    std::vector<BYTE> content;
    for (int i = 0; i < n && i < hubaccess::kDevListRowsUsed; ++i) {
        std::wstring& version = m_devList.rows[i].m_strFWVersion;
        version = Trim(version);
        std::wstring line;
        textfmt::FormatTo(line, kVersionLineMax, L"%d:%012S\r\n", i, version);
        for (wchar_t c : line) content.push_back(static_cast<BYTE>(c & 0xFF));
    }

    files.DeleteFile(path);
    std::uint32_t error = 0;
    if (!WriteWholeFile(files, path, content, &error)) {
        vDEBUG_ERR_printf(L"%s:%d:   CreateFile Failed,OUTPUT_VERSION_FILE_NAME=%s,Erroe=%d", kOutputFile, __LINE__,
                          kVersionFileName, error);
        return kExitVersionFile;
    }
    return 0;
}

int CMy262FWUpgradeToolDlg::nCmpHubSNTask() {
    vDEBUG_MSG_printf(L"%s:%d:   nCmpHubSNTask !!! ", kCompareTask, __LINE__);
    if (m_devList.nCount != 2) {
        vSetAllProgressColor(kColourRed);
        vShowUpddateResult(L"Can not Compare above 2 Hubs in platform", 0, 40);
        return kExitLengthMismatch;
    }
    if (hubaccess::EqualsIgnoringAsciiCase(m_devList.rows[0].m_strSN, m_devList.rows[1].m_strSN)) {
        vShowUpddateResult(L"Compare Serial Number PASS", 1, 20);
        vSetAllProgressColor(kColourGreen);
        return 0;
    }
    vShowUpddateResult(L"The Serial Number are not same!!!", 0, 20);
    vSetAllProgressColor(kColourRed);
    return kExitLengthMismatch;
}

}  // namespace app
