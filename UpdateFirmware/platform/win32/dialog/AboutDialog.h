// The About box (template 100): icon, name and version, and OK.
#pragma once

#include "platform/win32/dialog/DialogBase.h"

namespace platform::win32::dialog {

class AboutDialog : public DialogBase {
public:
    explicit AboutDialog(HINSTANCE instance);
};

}  // namespace platform::win32::dialog
