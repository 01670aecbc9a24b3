// Finding the hub interfaces of one hub through SetupAPI and restarting them:
// on 64-bit Windows with devcon, on 32-bit Windows through the class
// installer's property change. Without a restart the same search gives the
// interfaces' paths and driver instance numbers.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "hubaccess/AsciiText.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"
#include "platform/Registry.h"
#include "platform/Win32Errors.h"

namespace hubaccess {

namespace {

constexpr std::uint32_t kHubListFlags = platform::kDigcfPresent | platform::kDigcfDeviceInterface;
constexpr std::uint32_t kPropertyBufferSize = 4096;
constexpr std::uint32_t kDevconWaitMs = 12000000;
constexpr std::uint32_t kRestartPauseMs = 500;
// An enumeration that keeps failing with errors other than "no more items"
// ends here.
constexpr std::uint32_t kMaxInterfaceIndex = 4096;

std::wstring AfterLastBackslash(const std::wstring& text) {
    const std::size_t slash = text.rfind(L'\\');
    return slash == std::wstring::npos ? text : text.substr(slash + 1);
}

// UTF-16LE bytes up to the first NUL: a REG_SZ value, or the first string of
// a REG_MULTI_SZ value.
std::wstring Utf16Text(const std::vector<std::uint8_t>& data) {
    std::wstring text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const auto unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0) break;
        text += unit;
    }
    return text;
}

}  // namespace

BYTE CHubUtility::ucGetHubHWIds(HUBREC rec, std::vector<std::wstring>* pPaths, BYTE bRestart) {
    std::vector<std::wstring> paths;
    const BYTE count = ucGetHWId(platform::kGuidDevInterfaceUsbHub, std::move(rec), &paths, bRestart);
    if (pPaths != nullptr) *pPaths = std::move(paths);
    return count;
}

BYTE CHubUtility::ucGetHWId(const platform::Guid& guid, HUBREC rec, std::vector<std::wstring>* pPaths,
                            BYTE bRestart) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::ucGetHWId";
    if (pPaths != nullptr) pPaths->clear();

    // An empty name would be a prefix of every interface, and restart them all.
    const std::wstring hubName = ToUpperAscii(rec.strConnectedHubName);
    if (hubName.empty()) {
        vDEBUG_WRN_printf(L"%s:%d: no hub name, no hub interface looked up", kMethod, __LINE__);
        return 0;
    }

    std::uint32_t listError = platform::kErrorInvalidHandle;
    std::unique_ptr<platform::DeviceInterfaceSet> set;
    if (m_ports.setupApi != nullptr) set = m_ports.setupApi->GetClassDevs(guid, kHubListFlags, &listError);
    if (!set) {
        SetLastSystemError(listError);
        vDEBUG_ERR_printf(L"%s:%d: hDevInfo = INVALID_HANDLE_VALUE, dwErrorCode : %d", kMethod, __LINE__,
                          GetLastSystemError());
        return 0;
    }

    BYTE count = 0;
    try {
        for (std::uint32_t index = 0; index < kMaxInterfaceIndex; ++index) {
            const platform::SetupCallResult entry = set->EnumInterface(index);
            if (!entry.ok) {
                SetLastSystemError(entry.error);
                if (entry.error == platform::kErrorNoMoreItems) break;
                continue;
            }
            const platform::InterfaceDetailResult detail = set->GetInterfaceDetail(index);
            if (!detail.ok) {
                SetLastSystemError(detail.outOfMemory ? platform::kErrorNotEnoughMemory : detail.error);
                vDEBUG_ERR_printf(L"%s:%d: SetupDiGetInterfaceDeviceDetail failed!!, dwErrorCode : %d", kMethod,
                                  __LINE__, GetLastSystemError());
                break;
            }

            // The path without its "\\?\" prefix.
            const std::wstring path =
                ToUpperAscii(detail.devicePath.substr(std::min<std::size_t>(4, detail.devicePath.size())));
            std::wstring objectName = vGetSetupDiDeviceRegistryProperty(*set, index,
                                                                        platform::kSpdrpPhysicalDeviceObjectName);
            const std::size_t brace = objectName.find(L'{');
            if (brace != std::wstring::npos) objectName.erase(0, brace);
            for (wchar_t& c : objectName)
                if (c == L'-') c = L'_';
            objectName = ToUpperAscii(objectName);

            if (!StartsWith(path, hubName) && !StartsWith(objectName, hubName)) continue;
            if (count >= kMaxHubInterfaceMatches) {
                vDEBUG_WRN_printf(L"%s:%d: more than %d hub interfaces match [%s], the rest are left alone", kMethod,
                                  __LINE__, static_cast<int>(kMaxHubInterfaceMatches), hubName);
                break;
            }

            const std::wstring instance =
                AfterLastBackslash(vGetSetupDiDeviceRegistryProperty(*set, index, platform::kSpdrpDriver));
            if (bRestart == 1) {
                if (IsWow64()) {
                    // devcon names the one device instance ("@" form): a
                    // hardware id would restart every identical hub, which
                    // other workers may be writing.
                    const platform::DeviceInstanceIdResult id = set->GetDeviceInstanceId(index);
                    const std::wstring strDevConParam = L"Restart @" + id.instanceId;
                    vDEBUG_MSG_printf(L"%s:%d: Trigger Device!!!!!Get Hub ID Number, strDevConParam[%s]", kMethod,
                                      __LINE__, strDevConParam);
                    if (!id.ok || id.instanceId.empty()) {
                        SetLastSystemError(id.ok ? platform::kErrorInvalidData : id.error);
                        vDEBUG_ERR_printf(L"%s:%d: SetupDiGetDeviceInstanceId failed, no restart, dwErrorCode : %d",
                                          kMethod, __LINE__, GetLastSystemError());
                    } else if (m_strDevconPath.empty()) {
                        // Only the devcon this process wrote and holds runs,
                        // by its full path.
                        vDEBUG_ERR_printf(L"%s:%d: no devcon of this run, no restart", kMethod, __LINE__);
                    } else if (!platform::IsSameFile(*m_ports.files, m_hDevconHeld, m_strDevconPath)) {
                        // The name no longer reaches the file written and held.
                        vDEBUG_ERR_printf(L"%s:%d: [%s] is not the devcon this run holds, no restart", kMethod,
                                          __LINE__, m_strDevconPath);
                    } else if (m_ports.launcher != nullptr) {
                        // devcon's own outcome is not read: the callers check
                        // whether the hub came back through the filter. It
                        // runs hidden, in the locked folder that holds it.
                        platform::ChildProcess devcon;
                        devcon.program = m_strDevconPath;
                        devcon.commandLine = L"\"" + m_strDevconPath + L"\" " + strDevConParam;
                        devcon.currentDirectory = m_strDevconPath.substr(0, m_strDevconPath.rfind(L'\\'));
                        devcon.noWindow = true;
                        devcon.hidden = true;
                        m_ports.launcher->StartAndWait(devcon, kDevconWaitMs);
                    }
                    m_ports.clock->Sleep(kRestartPauseMs);
                    m_ports.clock->Sleep(kRestartPauseMs);
                } else {
                    vDEBUG_MSG_printf(L"%s:%d: Trigger Device!!!!!Get Hub ID Number, strDevConParam[%s]", kMethod,
                                      __LINE__, L"Restart " + vGetSetupDiDeviceRegistryProperty(
                                                                  *set, index, platform::kSpdrpHardwareId));
                    bChangeDeviceStatus(*set, index);
                    m_ports.clock->Sleep(kRestartPauseMs);
                }
            }
            if (pPaths != nullptr) pPaths->push_back(path);
            m_strDriverInstance[count] = instance;
            ++count;
        }
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d: OpenDevice fail, dwErrorCode : %d", kMethod, __LINE__, GetLastSystemError());
    }
    return count;
}

BOOL CHubUtility::bChangeDeviceStatus(platform::DeviceInterfaceSet& set, std::uint32_t index) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::bChangeDeviceStatus";
    BOOL allDone = TRUE;
    // A global pass, then one for the current hardware profile, whatever the
    // first one gave.
    for (const platform::PropChangeScope scope :
         {platform::PropChangeScope::Global, platform::PropChangeScope::ConfigSpecific}) {
        const platform::PropChangeResult r = set.PropertyChange(index, scope);
        if (!r.setParams.ok) {
            SetLastSystemError(r.setParams.error);
            vDEBUG_ERR_printf(L"%s:%d: SetupDiSetClassInstallParams Fail , dwErrorCode %d", kMethod, __LINE__,
                              GetLastSystemError());
            allDone = FALSE;
            continue;
        }
        if (!r.installerCalled || !r.callInstaller.ok) {
            SetLastSystemError(r.callInstaller.error);
            vDEBUG_ERR_printf(L"%s:%d: SetupDiCallClassInstaller Fail , dwErrorCode %d", kMethod, __LINE__,
                              GetLastSystemError());
            allDone = FALSE;
        }
    }
    return allDone;
}

std::wstring CHubUtility::vGetSetupDiDeviceRegistryProperty(platform::DeviceInterfaceSet& set, std::uint32_t index,
                                                            DWORD property) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::vGetSetupDiDeviceRegistryProperty";
    std::wstring text;
    try {
        const platform::DevicePropertyResult r = set.GetDeviceRegistryProperty(index, property, kPropertyBufferSize);
        if (!r.ok) SetLastSystemError(r.error);
        const std::uint32_t regType = r.ok ? r.regType : platform::kRegNone;
        // The value's bytes as a little-endian DWORD; missing bytes read as 0.
        std::uint8_t b[4] = {0, 0, 0, 0};
        for (std::size_t i = 0; i < 4 && i < r.data.size(); ++i) b[i] = r.data[i];

        switch (regType) {
            case platform::kRegNone:
                break;
            case platform::kRegSz:
            case platform::kRegMultiSz:
                text = Utf16Text(r.data);
                break;
            case platform::kRegDword:
                if (property == platform::kSpdrpAddress) {
                    text = textfmt::Format(L"%d %d", b[0] + 65536 * b[1], b[2] + 65536 * b[3]);
                } else if (property == platform::kSpdrpBusNumber) {
                    const DWORD value = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<DWORD>(b[3]) << 24);
                    text = textfmt::Format(L"%d", value);
                } else {
                    text = textfmt::Format(L"%d", b[0]);
                }
                break;
            default:
                vDEBUG_WRN_printf(L"%s:%d:  Type[%d] Not Valid dwPropertyRegDataType %d", kMethod, __LINE__, property,
                                  regType);
                break;
        }
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d:   dwErrorCode %d", kMethod, __LINE__, GetLastSystemError());
    }
    return text;
}

}  // namespace hubaccess
