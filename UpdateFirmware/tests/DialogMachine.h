// The main dialog on a simulated machine, for the application's tests: a hub
// utility (HubUtilityMachine) as the process-wide pUtility, the dialog as
// pFWUpdateDlg, and a recording view whose faults (an unexpected message box,
// a control the dialog does not have) fail the test.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "app/MainDialog.h"
#include "sim/FakeRunView.h"
#include "HubUtilityMachine.h"

namespace testing_machine {

struct DialogMachine : HubUtilityMachine {
    DialogMachine() {
        hubaccess::pUtility = utility.get();
        dlg = std::make_unique<app::CMy262FWUpgradeToolDlg>();
        app::pFWUpdateDlg = dlg.get();
        dlg->m_pRunView = &view;
        view.SetFailureHandler([](const std::wstring& m) { ADD_FAILURE() << std::string(m.begin(), m.end()); });
    }
    ~DialogMachine() {
        app::pFWUpdateDlg = nullptr;
        hubaccess::pUtility = nullptr;
    }

    // Puts n hubs into the dialog's hub table with these versions.
    void SetHubs(int n, const std::wstring& version = L"140415030000") {
        dlg->m_devList.nCount = n;
        for (int i = 0; i < n; ++i) {
            auto& row = dlg->m_devList.rows[i];
            row.m_strFWVersion = version;
            row.m_strUSBType = i % 2 ? L"USB 2.0" : L"USB 3.0";
            row.m_strSN = L"SN" + std::to_wstring(i);
        }
    }

    sim::FakeRunView view;
    std::unique_ptr<app::CMy262FWUpgradeToolDlg> dlg;
};

}  // namespace testing_machine
