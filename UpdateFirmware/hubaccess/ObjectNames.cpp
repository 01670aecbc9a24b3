// The filter device object name of a hub: the name of the device the
// upper-filter driver creates for a hub it filters, which every chip
// operation opens. Under the MCCI stack it is formed from the hub's braced
// name; otherwise from the physical device object (PDO) name of the hub
// interface that SetupAPI lists for the hub.
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "hubaccess/AsciiText.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"
#include "platform/Win32Errors.h"

namespace hubaccess {

namespace {

constexpr wchar_t kMethod[] = L"CHubUtility::GetObjecNameFromDriverName";
constexpr std::uint32_t kHubListFlags =
    platform::kDigcfPresent | platform::kDigcfAllClasses | platform::kDigcfDeviceInterface;
// The PDO name is read into a buffer of this many bytes; a longer name
// counts as unreadable.
constexpr std::uint32_t kPdoNameBufferSize = 128;
// The object name is formed in a buffer of 256 characters.
constexpr std::size_t kObjectNameBufferSize = 256;
// Seconds a retrying lookup waits for its hub, and the pause between passes.
constexpr double kRetryTimeLimitSeconds = 20.0;
constexpr std::uint32_t kRetryPauseMs = 5000;
// An enumeration that keeps failing with errors other than "no more items"
// ends its pass here.
constexpr std::uint32_t kMaxInterfaceIndex = 4096;

// The text after the first "#" (the whole text when it has none), upper-cased.
std::wstring AfterFirstHashUpper(const std::wstring& text) {
    const std::size_t hash = text.find(L'#');
    return ToUpperAscii(hash == std::wstring::npos ? text : text.substr(hash + 1));
}

// A REG_SZ value's UTF-16LE bytes up to its first NUL.
std::wstring Utf16Text(const std::vector<std::uint8_t>& data) {
    std::wstring text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const auto unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0) break;
        text += unit;
    }
    return text;
}

// The PDO short name of entry `index`: the text after the last "\" of its
// physical device object name, every "-" turned into "_". Empty when the name
// cannot be read.
std::wstring PdoShortName(platform::DeviceInterfaceSet& set, std::uint32_t index) {
    const platform::DevicePropertyResult size =
        set.GetDeviceRegistryProperty(index, platform::kSpdrpPhysicalDeviceObjectName, 0);
    if (size.ok || size.error != platform::kErrorInsufficientBuffer) return L"";
    const platform::DevicePropertyResult read =
        set.GetDeviceRegistryProperty(index, platform::kSpdrpPhysicalDeviceObjectName, kPdoNameBufferSize);
    if (!read.ok) {
        SetLastSystemError(read.error);
        return L"";
    }
    const std::wstring pdo = Utf16Text(read.data);
    const std::size_t slash = pdo.rfind(L'\\');
    std::wstring shortName = slash == std::wstring::npos ? pdo : pdo.substr(slash + 1);
    for (wchar_t& c : shortName)
        if (c == L'-') c = L'_';
    return shortName;
}

}  // namespace

int CHubUtility::GetObjecNameFromDriverName(DRIVERINFO* Driverinfo, BYTE bRetry) {
    if (Driverinfo == nullptr || Driverinfo->DriverName.empty()) {
        vDEBUG_ERR_printf(L"%s:%d: no hub name to look up", kMethod, __LINE__);
        return -10;
    }
    const std::wstring& driverName = Driverinfo->DriverName;

    // MCCI stack: the object name comes straight from the braced hub name,
    // except on Windows 8, where SetupAPI knows the hub.
    if (driverName[0] == L'{' && ucGetOSVersion() != kOsWin8) {
        Driverinfo->ObjectName = BoundedText(L"\\\\.\\" + driverName + L"0001", kObjectNameBufferSize);
        vDEBUG_MSG_printf(L"%s:%d: Get MCCI Driver , ObjectName =%s ", kMethod, __LINE__, Driverinfo->ObjectName);
        return 0;
    }

    platform::SetupApi* setupApi = m_ports.setupApi;
    if (setupApi == nullptr) {
        vDEBUG_ERR_printf(L"%s:%d: Can not found any Hubs", kMethod, __LINE__);
        return -1;
    }

    SetLastSystemError(0);
    const std::int64_t start = m_ports.clock->PerformanceCounter();
    std::uint32_t listError = 0;
    std::unique_ptr<platform::DeviceInterfaceSet> set =
        setupApi->GetClassDevs(platform::kGuidDevInterfaceUsbHub, kHubListFlags, &listError);
    if (!set) {
        SetLastSystemError(listError);
        vDEBUG_ERR_printf(L"%s:%d: Can not found any Hubs", kMethod, __LINE__);
        return -1;
    }

    const std::wstring wantedPath = AfterFirstHashUpper(driverName);
    std::wstring strDeviceName;
    bool examined = false;
    for (;;) {
        for (std::uint32_t index = 0; index < kMaxInterfaceIndex; ++index) {
            const platform::SetupCallResult entry = set->EnumInterface(index);
            if (!entry.ok) {
                SetLastSystemError(entry.error);
                if (entry.error == platform::kErrorNoMoreItems) break;
                continue;
            }
            const platform::InterfaceDetailResult detail = set->GetInterfaceDetail(index);
            if (!detail.ok) {
                if (detail.outOfMemory) {
                    SetLastSystemError(platform::kErrorNotEnoughMemory);
                    vShowMessage(L"Insufficient memory");
                    vDEBUG_ERR_printf(L"%s:%d: Memory Insurfficient!!!!", kMethod, __LINE__);
                    return -8;
                }
                SetLastSystemError(detail.error);
                vDEBUG_ERR_printf(L"%s:%d: Get Device Interface Detail failed", kMethod, __LINE__);
                return -1;
            }
            strDeviceName = AfterFirstHashUpper(detail.devicePath);
            const std::wstring pdoShortName = PdoShortName(*set, index);
            examined = true;
            if (strDeviceName != wantedPath && !EqualsIgnoringAsciiCase(pdoShortName, driverName)) continue;

            // Without its PDO name there is no object name to open: such an
            // interface is passed over, not reported as found.
            if (pdoShortName.empty()) {
                vDEBUG_WRN_printf(L"%s:%d: the PDO name of [%s] cannot be read, interface skipped", kMethod,
                                  __LINE__, strDeviceName);
                continue;
            }
            Driverinfo->ObjectName = BoundedText(L"\\\\.\\" + pdoShortName + L"0001", kObjectNameBufferSize);
            vDEBUG_MSG_printf(L"%s:%d: GetObjecNameFromDriverName[%s]", kMethod, __LINE__, Driverinfo->ObjectName);
            return 0;
        }

        // End of a pass without a match.
        if (!bRetry) return examined ? -5 : -4;

        const double elapsed =
            m_liFrequency > 0
                ? static_cast<double>(m_ports.clock->PerformanceCounter() - start) / static_cast<double>(m_liFrequency)
                : std::numeric_limits<double>::infinity();
        // A pass that ends 20 s or more after the start is the last one.
        if (elapsed >= kRetryTimeLimitSeconds) {
            vDEBUG_MSG_printf(L"%s:%d:  Time Out, fsdif= : %f ,  strDeviceName=%s, Driverinfo->DriverName=%s",
                              kMethod, __LINE__, elapsed, strDeviceName, driverName);
            return -9;
        }
        // The list is taken again after the pause, so that it shows the hubs
        // as they are by then.
        set.reset();
        m_ports.clock->Sleep(kRetryPauseMs);
        SetLastSystemError(0);
        set = setupApi->GetClassDevs(platform::kGuidDevInterfaceUsbHub, kHubListFlags, &listError);
        if (!set) {
            SetLastSystemError(listError);
            vDEBUG_ERR_printf(L"%s:%d: Can not found any Hubs", kMethod, __LINE__);
            return -4;
        }
        vDEBUG_MSG_printf(L"%s:%d: Can not find Target Hubs[%s] Retry ", kMethod, __LINE__, driverName);
    }
}

}  // namespace hubaccess
