// Queries of the Windows USB stack: root hub name, descriptors, text helpers.
#include <algorithm>
#include <array>
#include <exception>
#include <system_error>
#include <vector>

#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"
#include "hubaccess/TextFormat.h"
#include "hubaccess/UsbLayouts.h"
#include "platform/Win32Errors.h"

namespace hubaccess {

namespace {

namespace ul = usblayout;

// The most a string descriptor holds.
constexpr WORD kStringDescriptorLength = 255;
// Asked for string descriptor 0: bLength, bDescriptorType, the first LANGID.
constexpr WORD kLanguageTableLength = 4;

// The string indexes the tool reads, each only when the descriptor holds it.
constexpr BYTE kSerialNumberIndex = 1;
constexpr BYTE kManufacturerIndex = 2;
constexpr BYTE kProductIndex = 3;

// Four lower-case hex digits, high byte first.
std::wstring WordText(WORD value) {
    return textfmt::Format(L"%02x%02x", static_cast<unsigned>(value >> 8), static_cast<unsigned>(value & 0xFF));
}

}  // namespace

std::wstring CHubUtility::WideStrToMultiStr(const std::wstring& text) {
    try {
        // The ANSI code page ends a text at its first NUL.
        const std::size_t nul = text.find(L'\0');
        return m_ports.codePage->AnsiRoundTrip(nul == std::wstring::npos ? text : text.substr(0, nul));
    } catch (const std::exception& e) {
        // A failed conversion carries the system's error code.
        if (const auto* failure = dynamic_cast<const std::system_error*>(&e))
            SetLastSystemError(static_cast<std::uint32_t>(failure->code().value()));
        vDEBUG_ERR_printf(L"%s:%d: WideStrToMultiStr , dwErrorCode %d", L"CHubUtility::WideStrToMultiStr",
                          __LINE__, GetLastSystemError());
        return {};
    }
}

std::wstring CHubUtility::MultiStrToWideStr(const std::string& text) {
    try {
        return m_ports.codePage->ThreadAnsiToWide(text);
    } catch (const std::exception& e) {
        if (const auto* failure = dynamic_cast<const std::system_error*>(&e))
            SetLastSystemError(static_cast<std::uint32_t>(failure->code().value()));
        vDEBUG_ERR_printf(L"%s:%d: MultiByteToWideChar , dwErrorCode %d", L"CHubUtility::MultiStrToWideStr",
                          __LINE__, GetLastSystemError());
        return {};
    }
}

BOOL CHubUtility::GetRootHubName(Handle hHostController) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::GetRootHubName";
    try {
        // Length probe with the fixed part.
        std::array<BYTE, ul::kRootHubNameFixedSize> probe{};
        const platform::IoctlResult first =
            m_ports.deviceIo->DeviceIoControl(hHostController, ul::kIoctlGetRootHubName, nullptr, 0,
                                              probe.data(), static_cast<std::uint32_t>(probe.size()));
        if (!first.Succeeded()) {
            SetLastSystemError(first.error);
            vDEBUG_ERR_printf(L"%s:%d: GetRootHubName: Get ActualLength Fail , dwErrorCode %d", kMethod, __LINE__,
                              GetLastSystemError());
            return FALSE;
        }
        const ULONG actualLength =
            ul::DecodeRootHubNameLength(probe.data(), std::min<std::size_t>(first.bytesReturned, probe.size()));
        if (!ul::IsValidRootHubNameLength(actualLength)) {
            SetLastSystemError(platform::kErrorInvalidData);
            vDEBUG_ERR_printf(L"%s:%d: GetRootHubName: ActualLength[%u] refused , dwErrorCode %d", kMethod, __LINE__,
                              actualLength, GetLastSystemError());
            return FALSE;
        }

        std::vector<BYTE> block;
        try {
            block.assign(actualLength, 0);
        } catch (const std::bad_alloc&) {
            SetLastSystemError(platform::kErrorNotEnoughMemory);
            vDEBUG_ERR_printf(L"%s:%d: GetRootHubName: Malloc ActualLength[%u] Fail , dwErrorCode %d", kMethod,
                              __LINE__, actualLength, GetLastSystemError());
            return FALSE;
        }

        const platform::IoctlResult second = m_ports.deviceIo->DeviceIoControl(
            hHostController, ul::kIoctlGetRootHubName, nullptr, 0, block.data(), actualLength);
        const std::size_t got = std::min<std::size_t>(second.bytesReturned, block.size());
        const std::wstring name = second.Succeeded() ? ul::DecodeRootHubName(block.data(), got) : std::wstring();
        if (!second.Succeeded() || name.empty()) {
            SetLastSystemError(second.Succeeded() ? platform::kErrorInvalidData : second.error);
            vDEBUG_ERR_printf(L"%s:%d: GetRootHubName: Get Root Hub Name Fail , dwErrorCode %d", kMethod, __LINE__,
                              GetLastSystemError());
            return FALSE;
        }
        strRootHubName = WideStrToMultiStr(name);
        return TRUE;
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d: GetRootHubName: dwErrorCode %d", kMethod, __LINE__, GetLastSystemError());
        return FALSE;
    }
}

std::wstring CHubUtility::GetStringDescriptor(Handle hHub, ULONG ulPortIndex, USHORT* uspLanguageID,
                                              BYTE ucIndex) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::GetStringDescriptor";
    USHORT languageId = 0;
    USHORT* pLanguage = uspLanguageID ? uspLanguageID : &languageId;
    try {
        ul::DescriptorRequestBlock block{};
        const auto blockSize = static_cast<std::uint32_t>(block.size());

        // String descriptor 0: the device's first language ID.
        ul::EncodeStringDescriptorRequest(block, ulPortIndex, 0, 0, kLanguageTableLength);
        platform::IoctlResult r = m_ports.deviceIo->DeviceIoControl(
            hHub, ul::kIoctlGetDescriptorFromNodeConnection, block.data(), blockSize, block.data(), blockSize);
        WORD firstLanguage = 0;
        if (!r.Succeeded() || !ul::DecodeFirstLanguageId(block, r.bytesReturned, &firstLanguage)) {
            SetLastSystemError(r.Succeeded() ? platform::kErrorInvalidData : r.error);
            vDEBUG_ERR_printf(
                L"%s:%d: GetStringDescriptor : IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION Get uspLanguageID Fail , dwErrorCode %d",
                kMethod, __LINE__, GetLastSystemError());
            return {};
        }
        *pLanguage = firstLanguage;

        // The string itself in that language.
        ul::EncodeStringDescriptorRequest(block, ulPortIndex, ucIndex, firstLanguage, kStringDescriptorLength);
        r = m_ports.deviceIo->DeviceIoControl(hHub, ul::kIoctlGetDescriptorFromNodeConnection, block.data(),
                                              blockSize, block.data(), blockSize);
        if (!r.Succeeded()) {
            SetLastSystemError(r.error);
            vDEBUG_ERR_printf(
                L"%s:%d: GetStringDescriptor : IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION Fail , dwErrorCode %d",
                kMethod, __LINE__, GetLastSystemError());
            return {};
        }
        return ul::DecodeStringDescriptor(block, r.bytesReturned);
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(
            L"%s:%d: GetStringDescriptor : ulPortIndex : %d , uspLanguageID : %d , ucIndex : %d , dwErrorCode %d",
            kMethod, __LINE__, ulPortIndex, *pLanguage, ucIndex, GetLastSystemError());
        return {};
    }
}

void CHubUtility::GetDeviceDescriptor(Handle hHub, ULONG ulPort, const BYTE* pDeviceDescriptor18) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::GetDeviceDescriptor";
    try {
        // The strings belong to this device alone: none of them may keep the
        // text of the device read before.
        strIManufacture.clear();
        strIProduct.clear();
        strISerialNumber.clear();
        if (pDeviceDescriptor18 == nullptr) {
            strbcdUSB.clear();
            strVID.clear();
            strPID.clear();
            strbcdDevice.clear();
            SetLastSystemError(platform::kErrorInvalidParameter);
            vDEBUG_ERR_printf(L"%s:%d: GetDeviceDescriptor , dwErrorCode %d", kMethod, __LINE__, GetLastSystemError());
            return;
        }
        const ul::DeviceDescriptorFields d = ul::DecodeDeviceDescriptor(pDeviceDescriptor18);

        strbcdUSB = WordText(d.bcdUSB);
        strVID = WordText(d.idVendor);
        strPID = WordText(d.idProduct);
        strbcdDevice = WordText(d.bcdDevice);
        vDEBUG_MSG_printf(L"%s:%d: bcdUSB %s", kMethod, __LINE__, strbcdUSB);
        vDEBUG_MSG_printf(L"%s:%d: wVendorID %s ", kMethod, __LINE__, strVID);
        vDEBUG_MSG_printf(L"%s:%d: wProductID %s ", kMethod, __LINE__, strPID);

        USHORT languageId = 0;
        if (d.iManufacturer == kManufacturerIndex) {
            strIManufacture = GetStringDescriptor(hHub, ulPort, &languageId, kManufacturerIndex);
            vDEBUG_MSG_printf(L"%s:%d: iManufacturer %s", kMethod, __LINE__, strIManufacture);
        }
        if (d.iProduct == kProductIndex) {
            strIProduct = GetStringDescriptor(hHub, ulPort, &languageId, kProductIndex);
            vDEBUG_MSG_printf(L"%s:%d: iProduct %s", kMethod, __LINE__, strIProduct);
        }
        if (d.iSerialNumber == kSerialNumberIndex) {
            strISerialNumber = GetStringDescriptor(hHub, ulPort, &languageId, kSerialNumberIndex);
            vDEBUG_MSG_printf(L"%s:%d: iSerialNumber %s", kMethod, __LINE__, strISerialNumber);
        }
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d: GetDeviceDescriptor , dwErrorCode %d", kMethod, __LINE__, GetLastSystemError());
    }
}

DWORD CHubUtility::vCharToHex(const std::wstring& text) {
    // Hexadecimal digits of either case; the value wraps at 32 bits. Reading
    // stops at the first other character (a NUL included).
    DWORD value = 0;
    for (const wchar_t c : text) {
        DWORD digit;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<DWORD>(c - L'0');
        } else if (c >= L'A' && c <= L'F') {
            digit = static_cast<DWORD>(c - L'A' + 10);
        } else if (c >= L'a' && c <= L'f') {
            digit = static_cast<DWORD>(c - L'a' + 10);
        } else {
            break;
        }
        value = value * 16u + digit;
    }
    return value;
}

}  // namespace hubaccess
