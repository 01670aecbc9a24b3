#include "platform/win32/dialog/AboutDialog.h"

#include "res/resource.h"

namespace platform::win32::dialog {

AboutDialog::AboutDialog(HINSTANCE instance) : DialogBase(instance, IDD_ABOUTBOX) {}

}  // namespace platform::win32::dialog
