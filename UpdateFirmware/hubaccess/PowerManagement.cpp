// Hub selective suspend in the registry: turned off while the tool works on
// a hub and turned on again at the end of the run. Which value is meant
// depends on the Windows version and on the driver stack that enumerates the
// hub. Every value changed is remembered in m_PowerManagementChanges, so the
// end-of-run restore reaches it whatever rescans happened in between.
#include <algorithm>
#include <cstddef>

#include "hubaccess/AsciiText.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"
#include "hubaccess/TextFormat.h"

namespace hubaccess {

namespace {

constexpr wchar_t kSetMethod[] = L"CHubUtility::bSetHubPowerManagementByRegistry";
constexpr wchar_t kRestoreMethod[] = L"CHubUtility::bRestorePowerManagement";

constexpr BYTE kRegDword = 4;
// Selective suspend on: what the end-of-run restore writes.
constexpr DWORD kSelectiveSuspendOn = 1;

constexpr wchar_t kUsbClassInstanceKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}\\";
constexpr wchar_t kClassValueName[] = L"SelectiveSuspendEnabled";
constexpr wchar_t kEnumUsb[] = L"System\\CurrentControlSet\\Enum\\USB\\";
constexpr wchar_t kEnumIusb3[] = L"System\\CurrentControlSet\\Enum\\IUSB3\\";
constexpr wchar_t kEnumAmdUsb30[] = L"System\\CurrentControlSet\\Enum\\AMDUSB30\\";
constexpr wchar_t kEnumRenesas[] = L"System\\CurrentControlSet\\Enum\\RENESAS_USB3\\";
constexpr wchar_t kEnumNusb3[] = L"System\\CurrentControlSet\\Enum\\NUSB3\\";
constexpr wchar_t kWdfValueName[] = L"IdleInWorkingState";
constexpr wchar_t kDeviceValueName[] = L"EnableSelectiveSuspend";

// A registry path as the registry compares it: letter case ignored, one
// trailing '\\' dropped.
std::wstring RegistryNameKey(const std::wstring& name) {
    std::wstring k = ToUpperAscii(name);
    if (!k.empty() && k.back() == L'\\') k.pop_back();
    return k;
}

// The device instance part of a hub interface path
// ("...#VID_7A7D&PID_3262#<instance>#{guid}"): what lies between the last
// two '#', upper-cased. Empty when the path has fewer than two '#'.
std::wstring SerialFromInterfacePath(const std::wstring& path) {
    const std::size_t last = path.rfind(L'#');
    if (last == std::wstring::npos || last == 0) return {};
    const std::size_t previous = path.rfind(L'#', last - 1);
    if (previous == std::wstring::npos) return {};
    return ToUpperAscii(path.substr(previous + 1, last - previous - 1));
}

struct Location {
    std::wstring key;
    std::wstring valueName;
};

enum class WriteOutcome {
    Unchanged,      // the stored value already was the wanted one
    Written,        // the value was rewritten or created
    CreateFailed,   // the value could not be read and writing it failed
    RewriteFailed,  // a different stored value could not be rewritten
};

// Step 6 to 8 of one value: read it; write `value` when it is missing or
// different. `existed` / `previous` tell what was there before a write.
WriteOutcome ApplyValue(CHubUtility& utility, const wchar_t* method, const Location& where, DWORD value,
                        bool* existed, DWORD* previous) {
    RegistryData stored;
    if (!utility.bRegistryReadWrite(where.key, where.valueName, &stored, 0, kRegDword)) {
        RegistryData wanted;
        wanted.number = value;
        if (utility.bRegistryReadWrite(where.key, where.valueName, &wanted, 1, kRegDword)) {
            *existed = false;
            *previous = 0;
            return WriteOutcome::Written;
        }
        vDEBUG_WRN_printf(L"%s:%d: RegCreateKeyEx fail, szSubKeyHub3=%s, dwErrorCode=%d", method, __LINE__,
                          where.key, GetLastSystemError());
        return WriteOutcome::CreateFailed;
    }
    if (stored.number == value) return WriteOutcome::Unchanged;

    vDEBUG_MSG_printf(
        L"%s:%d: Hub's power management is enable, set it disable szSubKeyHub3=%s, szKeyName=%s, szKeyValue=%d",
        method, __LINE__, where.key, where.valueName, stored.number);
    RegistryData wanted;
    wanted.number = value;
    if (!utility.bRegistryReadWrite(where.key, where.valueName, &wanted, 1, kRegDword)) {
        vDEBUG_ERR_printf(L"%s:%d: set registry value fail, szSubKeyHub3=%s, szKeyName=%s, szKeyValue=%d", method,
                          __LINE__, where.key, where.valueName, value);
        return WriteOutcome::RewriteFailed;
    }
    *existed = true;
    *previous = stored.number;
    return WriteOutcome::Written;
}

}  // namespace

BOOL CHubUtility::bSetHubPowerManagementByRegistry(HUBREC rec, DWORD dwValue) {
    const BYTE os = ucGetOSVersion();

    // The interface paths to treat, each with the driver instance number the
    // same search gave it.
    std::vector<std::wstring> paths;
    std::array<std::wstring, kMaxHubInterfaceMatches> instances;
    if (os == kOsWin7) {
        if (rec.bOwnHostController != 0) return TRUE;
        paths.push_back(L"\\\\?\\" + rec.strConnectedHubName);
        instances[0] = m_strDriverInstance[0];
    } else if (dwValue == 1) {
        paths.push_back(rec.strHubHWIdPath);
        instances[0] = m_strDriverInstance[0];
    } else {
        BYTE found = ucGetHubHWIds(rec, &paths, 0);
        if (found == 0) {
            paths.clear();
            found = ucGetHubHWIds(rec, &paths, 0);
        }
        const std::size_t count =
            std::min({static_cast<std::size_t>(found), paths.size(), kMaxHubInterfaceMatches});
        paths.resize(count);
        std::copy_n(m_strDriverInstance.begin(), count, instances.begin());
    }

    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::wstring& path = paths[i];
        const std::wstring serial = SerialFromInterfacePath(path);

        // Where the value lives: the USB class instance key for the Vantrel
        // driver stack, the device's own key otherwise.
        Location where;
        bool classLocation = false;
        if (os >= kOsWin8) {
            if (Contains(path, L"VANTRELUSBD")) {
                vDEBUG_MSG_printf(L"%s:%d: Vantrel driver USB 3.0 driver", kSetMethod, __LINE__);
                if (Contains(path, L"VANTRELUSBD_HUB"))
                    vDEBUG_MSG_printf(L"%s:%d: MCCI driver USB 3.0 on Win 8", kSetMethod, __LINE__);
                classLocation = true;
            } else {
                vDEBUG_MSG_printf(L"%s:%d: Win 8 Inbox driver", kSetMethod, __LINE__);
                if (!serial.empty()) {
                    where.key = textfmt::Format(L"%s\\WDF\\",
                                                textfmt::Format(L"%sVID_%s&PID_%s\\%s\\Device Parameters", kEnumUsb,
                                                                rec.strHubVID, rec.strHubPID, serial));
                    where.valueName = kWdfValueName;
                }
            }
        } else if (Contains(path, L"VANTRELUSBD")) {
            vDEBUG_MSG_printf(L"%s:%d: MCCI driver USB 3.0 ", kSetMethod, __LINE__);
            classLocation = true;
        } else {
            const std::wstring& hubName = rec.strConnectedHubName;
            const wchar_t* prefix = kEnumUsb;
            const bool amd = !Contains(hubName, L"IUSB") && Contains(hubName, L"AMDUSB");
            if (Contains(hubName, L"IUSB")) {
                prefix = kEnumIusb3;
                vDEBUG_MSG_printf(L"%s:%d: Intel driver USB 3.0 , HubName[%s]", kSetMethod, __LINE__, hubName);
            } else if (amd) {
                // An instance ID the system made up ("6&...") lives under USB.
                prefix = serial.find(L'&', 1) != std::wstring::npos ? kEnumUsb : kEnumAmdUsb30;
                vDEBUG_MSG_printf(L"%s:%d: AMD driver USB 3.0 , HubName[%s], strSN[%s]", kSetMethod, __LINE__,
                                  hubName, serial);
            } else if (Contains(hubName, L"RENESAS_USB3")) {
                prefix = kEnumRenesas;
                vDEBUG_MSG_printf(L"%s:%d: RENESAS driver USB 3.0 , HubName[%s]", kSetMethod, __LINE__, hubName);
            } else if (Contains(hubName, L"NUSB3")) {
                prefix = kEnumNusb3;
                vDEBUG_MSG_printf(L"%s:%d: NEC driver USB 3.0 , HubName[%s]", kSetMethod, __LINE__, hubName);
            } else {
                vDEBUG_MSG_printf(L"%s:%d: Others driver USB 3.0 , HubName[%s]", kSetMethod, __LINE__, hubName);
            }
            if (!serial.empty()) {
                where.key = textfmt::Format(L"%sVID_%s&PID_%s\\%s\\Device Parameters", prefix, rec.strHubVID,
                                            rec.strHubPID, serial);
                where.valueName = kDeviceValueName;
            }
            if (amd)
                vDEBUG_MSG_printf(L"%s:%d: AMD driver USB 3.0 , strSubKeyRoot[%s]", kSetMethod, __LINE__, where.key);
        }

        if (classLocation) {
            // Without an instance number the key would be the USB class
            // itself, which must never receive the value.
            if (instances[i].empty()) {
                vDEBUG_WRN_printf(L"%s:%d: no driver instance number for the hub interface, path[%s]", kSetMethod,
                                  __LINE__, path);
                continue;
            }
            where.key = kUsbClassInstanceKey + instances[i];
            where.valueName = kClassValueName;
        } else if (where.key.empty()) {
            vDEBUG_WRN_printf(L"%s:%d: no device instance in the hub interface path[%s]", kSetMethod, __LINE__,
                              path);
            continue;
        }

        bool existed = false;
        DWORD previous = 0;
        switch (ApplyValue(*this, kSetMethod, where, dwValue, &existed, &previous)) {
            case WriteOutcome::Unchanged:
            case WriteOutcome::CreateFailed:
                continue;
            case WriteOutcome::RewriteFailed:
                return FALSE;
            case WriteOutcome::Written:
                break;
        }

        // Remember the first state of every value the run changes.
        const std::wstring keyId = RegistryNameKey(where.key);
        const std::wstring nameId = ToUpperAscii(where.valueName);
        platform::ScopedLock held(*m_PowerManagementLock);
        const bool known = std::any_of(
            m_PowerManagementChanges.begin(), m_PowerManagementChanges.end(), [&](const PowerManagementChange& c) {
                return RegistryNameKey(c.key) == keyId && ToUpperAscii(c.valueName) == nameId;
            });
        if (!known) m_PowerManagementChanges.push_back({where.key, where.valueName, existed, previous});

        // The walk's entry for this hub (in whatever list the walk fills):
        // the identification restarts it.
        if (DRIVERINFO* entry = CurrentWalkEntry()) entry->bPMChanged = 1;
    }
    return TRUE;
}

std::size_t CHubUtility::PowerManagementChangeCount() {
    platform::ScopedLock held(*m_PowerManagementLock);
    return m_PowerManagementChanges.size();
}

BOOL CHubUtility::bRestorePowerManagement() {
    // Every value is treated, even after one failed.
    BOOL result = TRUE;
    std::vector<PowerManagementChange> changes;
    {
        platform::ScopedLock held(*m_PowerManagementLock);
        changes = m_PowerManagementChanges;
    }
    for (const PowerManagementChange& change : changes) {
        bool existed = false;
        DWORD previous = 0;
        if (ApplyValue(*this, kRestoreMethod, Location{change.key, change.valueName}, kSelectiveSuspendOn, &existed,
                       &previous) == WriteOutcome::RewriteFailed)
            result = FALSE;
    }
    return result;
}

}  // namespace hubaccess
