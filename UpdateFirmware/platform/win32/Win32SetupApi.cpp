#include "platform/win32/Win32SetupApi.h"

#include <cstddef>
#include <new>
#include <vector>

#include "platform/win32/WindowsApi.h"

#include <setupapi.h>

namespace platform::win32 {

namespace {

GUID ToNative(const Guid& g) {
    GUID n{};
    n.Data1 = g.data1;
    n.Data2 = g.data2;
    n.Data3 = g.data3;
    for (std::size_t i = 0; i < g.data4.size(); ++i) n.Data4[i] = g.data4[i];
    return n;
}

class Win32InterfaceSet final : public DeviceInterfaceSet {
public:
    Win32InterfaceSet(HDEVINFO set, const GUID& interfaceClass) : set_(set), class_(interfaceClass) {}
    ~Win32InterfaceSet() override { ::SetupDiDestroyDeviceInfoList(set_); }
    Win32InterfaceSet(const Win32InterfaceSet&) = delete;
    Win32InterfaceSet& operator=(const Win32InterfaceSet&) = delete;

    SetupCallResult EnumInterface(std::uint32_t index) override {
        SP_DEVICE_INTERFACE_DATA data{};
        return Interface(index, &data);
    }

    InterfaceDetailResult GetInterfaceDetail(std::uint32_t index) override {
        SP_DEVINFO_DATA device{};
        return Detail(index, &device);
    }

    DevicePropertyResult GetDeviceRegistryProperty(std::uint32_t index, std::uint32_t property,
                                                   std::uint32_t bufferSize) override {
        DevicePropertyResult result;
        SP_DEVINFO_DATA device{};
        const InterfaceDetailResult detail = Detail(index, &device);
        if (!detail.ok) {
            result.error = detail.error;
            return result;
        }
        std::vector<BYTE> buffer;
        try {
            buffer.assign(bufferSize, 0);
        } catch (const std::bad_alloc&) {
            result.error = ERROR_NOT_ENOUGH_MEMORY;
            return result;
        }
        DWORD regType = REG_NONE;
        DWORD required = 0;
        if (!::SetupDiGetDeviceRegistryPropertyW(set_, &device, property, &regType,
                                                 bufferSize ? buffer.data() : nullptr, bufferSize,
                                                 &required)) {
            result.error = ::GetLastError();
            result.requiredSize = required;
            result.regType = regType;
            return result;
        }
        result.ok = true;
        result.requiredSize = required;
        result.regType = regType;
        buffer.resize(required < bufferSize ? required : bufferSize);
        result.data = std::move(buffer);
        return result;
    }

    PropChangeResult PropertyChange(std::uint32_t index, PropChangeScope scope) override {
        PropChangeResult result;
        SP_DEVINFO_DATA device{};
        const InterfaceDetailResult detail = Detail(index, &device);
        if (!detail.ok) {
            result.setParams.error = detail.error;
            return result;
        }
        SP_PROPCHANGE_PARAMS params{};
        params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        params.StateChange = DICS_PROPCHANGE;
        params.Scope = static_cast<DWORD>(scope);
        params.HwProfile = 0;
        if (!::SetupDiSetClassInstallParamsW(set_, &device, &params.ClassInstallHeader, sizeof(params))) {
            result.setParams.error = ::GetLastError();
            return result;
        }
        result.setParams.ok = true;
        result.installerCalled = true;
        if (::SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set_, &device)) {
            result.callInstaller.ok = true;
        } else {
            result.callInstaller.error = ::GetLastError();
        }
        return result;
    }

    DeviceInstanceIdResult GetDeviceInstanceId(std::uint32_t index) override {
        DeviceInstanceIdResult result;
        SP_DEVINFO_DATA device{};
        const InterfaceDetailResult detail = Detail(index, &device);
        if (!detail.ok) {
            result.error = detail.error;
            return result;
        }
        DWORD required = 0;
        ::SetupDiGetDeviceInstanceIdW(set_, &device, nullptr, 0, &required);
        if (required == 0) {
            result.error = ::GetLastError();
            return result;
        }
        std::wstring id(required, L'\0');
        if (!::SetupDiGetDeviceInstanceIdW(set_, &device, &id[0], required, &required)) {
            result.error = ::GetLastError();
            return result;
        }
        id.resize(id.find(L'\0') == std::wstring::npos ? id.size() : id.find(L'\0'));
        result.ok = true;
        result.instanceId = id;
        return result;
    }

private:
    SetupCallResult Interface(std::uint32_t index, SP_DEVICE_INTERFACE_DATA* data) {
        data->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (!::SetupDiEnumDeviceInterfaces(set_, nullptr, &class_, index, data)) return {false, ::GetLastError()};
        return {true, 0};
    }

    // The interface's path and its device; the size query has to report the
    // size by failing with ERROR_INSUFFICIENT_BUFFER.
    InterfaceDetailResult Detail(std::uint32_t index, SP_DEVINFO_DATA* device) {
        InterfaceDetailResult result;
        SP_DEVICE_INTERFACE_DATA data{};
        const SetupCallResult found = Interface(index, &data);
        if (!found.ok) {
            result.error = found.error;
            return result;
        }
        DWORD required = 0;
        if (::SetupDiGetDeviceInterfaceDetailW(set_, &data, nullptr, 0, &required, nullptr)) {
            result.error = ERROR_INVALID_DATA;
            return result;
        }
        const DWORD sizeError = ::GetLastError();
        if (sizeError != ERROR_INSUFFICIENT_BUFFER || required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            result.error = sizeError == ERROR_INSUFFICIENT_BUFFER ? ERROR_INVALID_DATA : sizeError;
            return result;
        }
        // DWORD storage keeps the record aligned.
        std::vector<DWORD> storage;
        try {
            storage.assign((required + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
        } catch (const std::bad_alloc&) {
            result.outOfMemory = true;
            result.error = ERROR_NOT_ENOUGH_MEMORY;
            return result;
        }
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        device->cbSize = sizeof(SP_DEVINFO_DATA);
        if (!::SetupDiGetDeviceInterfaceDetailW(set_, &data, detail, required, nullptr, device)) {
            result.error = ::GetLastError();
            return result;
        }
        // The path ends at its NUL, or at the end of the buffer.
        const std::size_t maxChars =
            (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
        const WCHAR* path = detail->DevicePath;
        std::size_t length = 0;
        while (length < maxChars && path[length] != L'\0') ++length;
        result.ok = true;
        result.devicePath.assign(path, length);
        return result;
    }

    HDEVINFO set_;
    GUID class_;
};

}  // namespace

std::unique_ptr<DeviceInterfaceSet> Win32SetupApi::GetClassDevs(const Guid& interfaceClass, std::uint32_t flags,
                                                                std::uint32_t* error) {
    const GUID native = ToNative(interfaceClass);
    HDEVINFO set = ::SetupDiGetClassDevsW(&native, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE) {
        if (error) *error = ::GetLastError();
        return nullptr;
    }
    if (error) *error = 0;
    try {
        return std::make_unique<Win32InterfaceSet>(set, native);
    } catch (...) {
        ::SetupDiDestroyDeviceInfoList(set);
        throw;
    }
}

}  // namespace platform::win32
