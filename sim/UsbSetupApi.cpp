// The simulated USB stack as SetupAPI and devcon see it: interface sets that
// keep what was present when they were made, device properties, the
// class installer's property change, and devcon's "Restart".
#include <algorithm>
#include <utility>

#include "platform/Registry.h"
#include "platform/Win32Errors.h"
#include "sim/UsbStack.h"
#include "sim/UsbText.h"

namespace sim {

using usbtext::AppendUtf16;
using usbtext::IEquals;

namespace {

std::vector<std::uint8_t> SzBytes(const std::wstring& text) {
    std::vector<std::uint8_t> b;
    AppendUtf16(b, text);
    b.insert(b.end(), {0, 0});
    return b;
}

std::vector<std::uint8_t> MultiSzBytes(const std::vector<std::wstring>& texts) {
    std::vector<std::uint8_t> b;
    for (const std::wstring& t : texts) {
        AppendUtf16(b, t);
        b.insert(b.end(), {0, 0});
    }
    b.insert(b.end(), {0, 0});
    return b;
}

std::vector<std::wstring> Words(const std::wstring& text) {
    std::vector<std::wstring> words;
    std::wstring w;
    for (wchar_t c : text + L" ") {
        if (c == L' ' || c == L'\t') {
            if (!w.empty()) words.push_back(w);
            w.clear();
        } else {
            w += c;
        }
    }
    return words;
}

}  // namespace

bool UsbStack::PropertyBytes(int node, std::uint32_t property, std::uint32_t* regType,
                             std::vector<std::uint8_t>* bytes, std::uint32_t* error) const {
    const Node& n = nodes_[node];
    *regType = platform::kRegSz;
    switch (property) {
        case platform::kSpdrpDeviceDesc:
            *bytes = SzBytes(n.spec.description);
            return true;
        case platform::kSpdrpHardwareId:
            *regType = platform::kRegMultiSz;
            *bytes = MultiSzBytes(n.spec.hardwareIds);
            return true;
        case platform::kSpdrpDriver:
            *bytes = SzBytes(n.spec.driverKey);
            return true;
        case platform::kSpdrpPhysicalDeviceObjectName:
            if (!n.started) break;
            *bytes = SzBytes(n.pdoName);
            return true;
        default:
            *error = platform::kErrorInvalidData;
            return false;
    }
    *error = kErrorNoSuchDevinst;
    return false;
}

// One SetupDiGetClassDevs snapshot: the interfaces present when it was made.
class UsbStack::InterfaceSet : public platform::DeviceInterfaceSet {
public:
    InterfaceSet(UsbStack& stack, const platform::Guid& interfaceClass, std::vector<int> nodes)
        : stack_(stack), class_(interfaceClass), nodes_(std::move(nodes)) {}

    platform::SetupCallResult EnumInterface(std::uint32_t index) override {
        if (index >= nodes_.size()) return {false, platform::kErrorNoMoreItems};
        if (const UsbFault* f = Fault(UsbOp::EnumInterface, index, {})) return {false, f->error};
        return {true, 0};
    }

    platform::InterfaceDetailResult GetInterfaceDetail(std::uint32_t index) override {
        platform::InterfaceDetailResult r;
        if (index >= nodes_.size()) {
            r.error = platform::kErrorInvalidParameter;
        } else if (const UsbFault* f = Fault(UsbOp::InterfaceDetail, index, {})) {
            r.outOfMemory = f->kind == UsbFaultKind::OutOfMemory;
            r.error = r.outOfMemory ? platform::kErrorNotEnoughMemory : f->error;
        } else {
            r.ok = true;
            r.devicePath = stack_.nodes_[nodes_[index]].spec.interfacePath;
        }
        return r;
    }

    platform::DevicePropertyResult GetDeviceRegistryProperty(std::uint32_t index, std::uint32_t property,
                                                             std::uint32_t bufferSize) override {
        platform::DevicePropertyResult r;
        if (index >= nodes_.size()) {
            r.error = platform::kErrorInvalidParameter;
            return r;
        }
        if (const UsbFault* f = Fault(UsbOp::Property, index, property)) {
            r.error = f->error;
            return r;
        }
        stack_.Refresh();
        std::vector<std::uint8_t> bytes;
        if (!stack_.PropertyBytes(nodes_[index], property, &r.regType, &bytes, &r.error)) {
            r.regType = platform::kRegNone;
            return r;
        }
        r.requiredSize = static_cast<std::uint32_t>(bytes.size());
        if (bufferSize < r.requiredSize) {
            r.error = platform::kErrorInsufficientBuffer;
            return r;
        }
        r.ok = true;
        r.data = std::move(bytes);
        return r;
    }

    platform::PropChangeResult PropertyChange(std::uint32_t index, platform::PropChangeScope scope) override {
        platform::PropChangeResult r;
        if (index >= nodes_.size()) {
            r.setParams.error = platform::kErrorInvalidParameter;
            return r;
        }
        const int node = nodes_[index];
        UsbEvent e;
        e.kind = UsbEventKind::PropertyChange;
        e.timeMs = stack_.clock_.MonotonicMs();
        e.node = node;
        e.path = stack_.nodes_[node].spec.interfacePath;
        e.scope = static_cast<std::uint32_t>(scope);
        if (const UsbFault* f = Fault(UsbOp::SetClassInstallParams, index, {})) {
            r.setParams.error = f->error;
        } else {
            r.setParams.ok = true;
            r.installerCalled = true;
            if (const UsbFault* g = Fault(UsbOp::CallClassInstaller, index, {})) {
                r.callInstaller.error = g->error;
            } else {
                r.callInstaller.ok = true;
            }
        }
        e.ok = r.callInstaller.ok;
        e.error = r.setParams.ok ? r.callInstaller.error : r.setParams.error;
        stack_.Log(std::move(e));
        if (r.callInstaller.ok) stack_.Restart(node, RestartCause::PropertyChange);
        return r;
    }

    platform::DeviceInstanceIdResult GetDeviceInstanceId(std::uint32_t index) override {
        platform::DeviceInstanceIdResult r;
        if (index >= nodes_.size()) {
            r.error = platform::kErrorInvalidParameter;
        } else if (const UsbFault* f = Fault(UsbOp::InstanceId, index, {})) {
            r.error = f->error;
        } else {
            r.ok = true;
            r.instanceId = stack_.InstanceId(nodes_[index]);
        }
        return r;
    }

private:
    const UsbFault* Fault(UsbOp op, std::uint32_t index, std::optional<std::uint32_t> property) {
        Request request;
        request.index = index;
        request.property = property;
        request.interfaceClass = class_;
        return stack_.FindFault(op, nodes_[index], L"", request);
    }

    UsbStack& stack_;
    platform::Guid class_;
    std::vector<int> nodes_;
};

std::unique_ptr<platform::DeviceInterfaceSet> UsbStack::GetClassDevs(const platform::Guid& interfaceClass,
                                                                     std::uint32_t flags, std::uint32_t* error) {
    Refresh();
    Request request;
    request.interfaceClass = interfaceClass;
    if (const UsbFault* f = FindFault(UsbOp::ClassDevs, -1, L"", request)) {
        if (error) *error = f->error;
        return nullptr;
    }
    if (error) *error = 0;
    std::vector<int> members;
    const bool present = (flags & platform::kDigcfPresent) != 0;
    if (flags & platform::kDigcfDeviceInterface) {
        for (int i = 0; i < NodeCount(); ++i) {
            const Node& n = nodes_[i];
            const bool inClass =
                (interfaceClass == platform::kGuidDevInterfaceUsbHostController && n.kind == Kind::Controller) ||
                (interfaceClass == platform::kGuidDevInterfaceUsbHub && n.kind == Kind::Hub);
            if (inClass && (!present || Usable(i))) members.push_back(i);
        }
    }
    return std::make_unique<InterfaceSet>(*this, interfaceClass, std::move(members));
}

platform::ProcessRunResult UsbStack::StartAndWait(const platform::ChildProcess& child, std::uint32_t waitMs) {
    Refresh();
    const std::wstring& file = child.program;
    // The arguments: the command line after its (quoted) program.
    std::wstring parameters = child.commandLine;
    if (!parameters.empty() && parameters[0] == L'"') {
        const std::size_t close = parameters.find(L'"', 1);
        parameters.erase(0, close == std::wstring::npos ? parameters.size() : close + 1);
    } else {
        parameters.erase(0, std::min(parameters.size(), parameters.find(L' ')));
    }
    parameters.erase(0, std::min(parameters.size(), parameters.find_first_not_of(L' ')));
    UsbEvent e;
    e.kind = UsbEventKind::Launch;
    e.timeMs = clock_.MonotonicMs();
    e.path = file;
    e.parameters = parameters;
    e.directory = child.currentDirectory;
    e.scope = child.hidden ? 0 : 1;

    platform::ProcessRunResult r;
    const std::size_t slash = file.find_last_of(L"\\/");
    const std::wstring program = slash == std::wstring::npos ? file : file.substr(slash + 1);
    const UsbFault* fault = FindFault(UsbOp::Launch, -1, file, {});
    if (fault && fault->kind == UsbFaultKind::Fail) {
        r.error = fault->error;
    } else if (!IEquals(program, L"devconAMD64.exe")) {
        r.error = platform::kErrorFileNotFound;
    } else {
        r.started = true;
    }
    e.ok = r.started;
    e.error = r.error;
    if (!r.started) {
        Log(std::move(e));
        return r;
    }

    // devcon restart <id>: every present device whose first hardware id it
    // is; devcon restart @<instance id>: that one device.
    const std::vector<std::wstring> words = Words(parameters);
    if (words.size() == 2 && IEquals(words[0], L"restart")) {
        const bool byInstance = !words[1].empty() && words[1][0] == L'@';
        for (int i = 0; i < NodeCount(); ++i) {
            const Node& n = nodes_[i];
            if (!n.started) continue;
            const bool match = byInstance ? n.kind != Kind::Controller && IEquals(InstanceId(i), words[1].substr(1))
                                          : !n.spec.hardwareIds.empty() && IEquals(n.spec.hardwareIds[0], words[1]);
            if (match) e.restarted.push_back(i);
        }
    }
    for (int i : e.restarted) Restart(i, RestartCause::Devcon);
    Log(std::move(e));

    const bool hangs = fault && fault->kind == UsbFaultKind::Hang;
    r.ended = !hangs && devconRunMs_ <= waitMs;
    clock_.Sleep(r.ended ? devconRunMs_ : waitMs);
    return r;
}

}  // namespace sim
