// The records the hub access layer and the application pass between them:
// the hub table (DEV_LIST of DEV_LIST_ITEM rows), the hub interfaces a walk
// found (DRIVERINFO) and the names of one hub handed to the restart and
// power-management operations (HUBREC).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "hubaccess/FilterRequest.h"
#include "hubaccess/WinTypes.h"

namespace hubaccess {

constexpr int kDevListCapacity = 16;
// Rows the program uses: one worker, progress bar and result slot each.
constexpr int kDevListRowsUsed = 8;
constexpr int kDriverInfoCapacity = 16;
constexpr int kDriverInfoMax = 15;
// Characters of a DRIVERINFO text field, the terminator included.
constexpr std::size_t kDriverInfoTextSize = 260;
constexpr std::size_t kConfigTableSize = 256;

// Where a hub hangs: the root hub of its host controller and the port
// numbers from the root hub down to the hub itself. Unlike the one-byte
// position index it tells every place in the tree apart.
struct HubPosition {
    std::wstring rootHubName;
    std::vector<BYTE> portChain;

    bool empty() const { return rootHubName.empty() && portChain.empty(); }
    friend bool operator==(const HubPosition& a, const HubPosition& b) {
        return a.rootHubName == b.rootHubName && a.portChain == b.portChain;
    }
    friend bool operator!=(const HubPosition& a, const HubPosition& b) { return !(a == b); }
};

// (depth + 1) * ports + port as a 32-bit value, kept as its low byte, signed.
std::int8_t ComputePositionIndex(BYTE parentDepth, BYTE parentPortCount, BYTE port);

// Copies `text` into a fixed-size text field: at most size - 1 characters.
std::wstring BoundedText(const std::wstring& text, std::size_t size = kDriverInfoTextSize);
std::string BoundedText(const std::string& text, std::size_t size = kDriverInfoTextSize);

// A result flag of a hub row: one worker writes it while the coordinator
// and the view may read it, so it is an atomic byte; unlike std::atomic it
// is copied with its row (a copy takes the value it holds at that moment).
class SharedFlag {
public:
    SharedFlag(BYTE value = 0) : value_(value) {}
    SharedFlag(const SharedFlag& other) : value_(other.value_.load()) {}
    SharedFlag& operator=(const SharedFlag& other) {
        value_.store(other.value_.load());
        return *this;
    }
    SharedFlag& operator=(BYTE value) {
        value_.store(value);
        return *this;
    }
    operator BYTE() const { return value_.load(); }

private:
    std::atomic<BYTE> value_;
};

struct DEV_LIST_ITEM {
    BYTE m_ucTargetNumber = 0xFF;
    BYTE m_ucPortNumber = 0;
    BYTE m_ucCompanionPortNumber = 0;
    std::int8_t m_ucPositionIndex = 0;
    std::wstring m_strParentHubName;
    std::wstring m_strCompanionParentHubName;
    std::wstring m_strObjectName;
    std::wstring m_strVID;
    std::wstring m_strPID30;
    std::wstring m_strPID20;
    std::wstring m_strSN;
    std::wstring m_strManufacturer;
    std::wstring m_strProduct;
    std::wstring m_strBcdDevice;
    std::wstring m_strBcdUSB;
    std::wstring m_strCompanionBcdUSB;
    std::wstring m_strFWVersion;
    std::wstring m_strDriverName;
    std::wstring m_strUSBType;
    std::array<BYTE, kConfigTableSize> m_ucConfigTable{};
    BYTE m_ucHubDepth = 0;
    SharedFlag m_bConfigResult = 0;
    SharedFlag m_bUpdateFWResult = 0;
    SharedFlag m_bReloadFWResult = 0;
    SharedFlag m_bChkFWResult = 0;
    SharedFlag m_bExportResult = 0;
    // Full position of the first interface (see HubPosition).
    HubPosition m_position;
};

struct DEV_LIST {
    std::int32_t nCount = 0;
    std::array<DEV_LIST_ITEM, kDevListCapacity> rows{};
};

struct DRIVERINFO {
    std::wstring DriverName;
    std::wstring ObjectName;
    std::wstring szVID;
    std::wstring szPID;
    std::wstring szBcdUSB;
    std::string szHWIdPath;
    std::wstring szParentHubName;
    FW_VERSION_BLOCK ucFWVersion;
    BYTE ucPortNumber = 0;
    BYTE ucHubDepth = 0;
    std::int8_t ucPositionIndex = 0;
    BYTE bPMChanged = 0;
    HubPosition position;
};

struct HUBREC {
    std::wstring strConnectedHubName;
    std::wstring strHubVID;
    std::wstring strHubPID;
    std::wstring strHubHWIdPath;
    BYTE bOwnHostController = 0;
};

}  // namespace hubaccess
