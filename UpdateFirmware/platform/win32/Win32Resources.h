// platform::Resources on the resource functions of the executable's module.
#pragma once

#include "platform/Resources.h"

namespace platform::win32 {

class Win32Resources final : public Resources {
public:
    ResourceData Load(const std::wstring& type, std::uint16_t id) override;
};

}  // namespace platform::win32
