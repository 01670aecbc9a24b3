#include "sim/SimResources.h"

#include "platform/Win32Errors.h"

namespace sim {

std::wstring SimResources::TypeKey(const std::wstring& type) {
    std::wstring key(type);
    for (auto& c : key)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    return key;
}

void SimResources::Add(const std::wstring& type, std::uint16_t id, std::vector<std::uint8_t> bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    items_[{TypeKey(type), id}] = std::move(bytes);
}

void SimResources::AddText(const std::wstring& type, std::uint16_t id, const std::string& text) {
    Add(type, id, std::vector<std::uint8_t>(text.begin(), text.end()));
}

void SimResources::Remove(const std::wstring& type, std::uint16_t id) {
    std::lock_guard<std::mutex> guard(mutex_);
    items_.erase({TypeKey(type), id});
}

int SimResources::LoadCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return loads_;
}

platform::ResourceData SimResources::Load(const std::wstring& type, std::uint16_t id) {
    std::lock_guard<std::mutex> guard(mutex_);
    ++loads_;
    platform::ResourceData r;
    const std::wstring key = TypeKey(type);
    const auto it = items_.find({key, id});
    if (it != items_.end()) {
        r.found = true;
        r.bytes = it->second;
        return r;
    }
    bool typeKnown = false;
    for (const auto& [k, bytes] : items_) typeKnown = typeKnown || k.first == key;
    r.error = typeKnown ? platform::kErrorResourceNameNotFound : platform::kErrorResourceTypeNotFound;
    return r;
}

}  // namespace sim
