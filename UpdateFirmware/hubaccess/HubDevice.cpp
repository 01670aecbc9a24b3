// The hub device object's construction and the record presets; the facade.
#include <cstdint>
#include <memory>
#include <vector>

#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"
#include "hubaccess/VntlHubDev.h"

namespace hubaccess {

namespace {
const wchar_t kDash[] = L"----";
}  // namespace

CVntlHubDev::CVntlHubDev(CHubUtility& utility)
    : m_utility(utility),
      m_filter(*utility.Ports().deviceIo, *utility.Ports().clock),
      m_openHandlesLock(utility.Ports().threads->CreateMutex("CVntlHubDev::m_openHandlesLock")) {
    m_openHandles.fill(Handle::Invalid());
    m_cancelling.fill(Handle::Invalid());
    vInitialPrivateData();
}

// The hub table belongs to the caller (the dialog), which may be gone by
// now: it is not touched here.
CVntlHubDev::~CVntlHubDev() = default;

void CVntlHubDev::vInitialPrivateData() {
    vDEBUG_MSG_printf(L"%s:%d:   Clear  Descriptor", L"CVntlHubDev::vInitialPrivateData", __LINE__);
    ucListIndex = 0;
    m_strDescPID.clear();
    m_strDescVID.clear();
    m_strDescSN.clear();
    m_strDescManufacturer.clear();
    m_strDescProduct.clear();
    m_strDescBcdDevice.clear();
    m_strDescBcdUSB.clear();
}

void CVntlHubDev::vClearPrivateData() {
    vInitialPrivateData();
    if (m_pDevList == nullptr) {
        vDEBUG_ERR_printf(L"%s:%d:  m_pDevList : %x , dwErrorCode %d", L"CVntlHubDev::vClearPrivateData",
                          __LINE__, reinterpret_cast<std::uintptr_t>(m_pDevList), GetLastSystemError());
        return;
    }
    // Ports, position index, companion parent, driver name, configuration
    // table and result flags are kept: the workers still read them. The full
    // position goes: a row of no hub must not be found again by it.
    for (int i = 0; i < kDevListRowsUsed; ++i) {
        DEV_LIST_ITEM& row = m_pDevList->rows[i];
        row.m_ucTargetNumber = 0xFF;
        row.m_strPID30 = kDash;
        row.m_strPID20 = kDash;
        row.m_strSN = kDash;
        row.m_strProduct = kDash;
        row.m_strVID.clear();
        row.m_strManufacturer.clear();
        row.m_strBcdDevice.clear();
        row.m_strFWVersion.clear();
        row.m_strUSBType.clear();
        row.m_strParentHubName.clear();
        row.m_strObjectName.clear();
        row.m_strBcdUSB.clear();
        row.m_strCompanionBcdUSB.clear();
        row.m_ucHubDepth = 0;
        row.m_position = HubPosition{};
    }
    m_pDevList->nCount = 0;
}

void CVntlHubDev::vInitHubStatusFlags() {
    if (m_pDevList == nullptr) return;
    for (int i = 0; i < kDevListRowsUsed; ++i) {
        DEV_LIST_ITEM& row = m_pDevList->rows[i];
        row.m_bConfigResult = 0;
        row.m_bUpdateFWResult = 0;
        row.m_bReloadFWResult = 0;
    }
}

// Only lets go of the hub device object: it stays alive until the process
// ends (a worker still inside a chip operation keeps a live object), and it
// never touches the hub table again.
CVntlUSBLib::~CVntlUSBLib() {
    static auto* const kept = new std::vector<std::unique_ptr<CVntlHubDev>>();  // never destroyed
    if (m_pHubDev) {
        m_pHubDev->m_pDevList = nullptr;
        kept->push_back(std::move(m_pHubDev));
    }
}

}  // namespace hubaccess
