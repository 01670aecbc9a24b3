// The simulated executable's resources: a table of items by type and id.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Resources.h"

namespace sim {

class SimResources : public platform::Resources {
public:
    void Add(const std::wstring& type, std::uint16_t id, std::vector<std::uint8_t> bytes);
    void AddText(const std::wstring& type, std::uint16_t id, const std::string& text);
    void Remove(const std::wstring& type, std::uint16_t id);
    int LoadCount() const;

    // Types compare without letter case, as the system's do. A missing type
    // gives ERROR_RESOURCE_TYPE_NOT_FOUND, a missing id of a known type
    // ERROR_RESOURCE_NAME_NOT_FOUND.
    platform::ResourceData Load(const std::wstring& type, std::uint16_t id) override;

private:
    static std::wstring TypeKey(const std::wstring& type);

    mutable std::mutex mutex_;
    std::map<std::pair<std::wstring, std::uint16_t>, std::vector<std::uint8_t>> items_;
    int loads_ = 0;
};

}  // namespace sim
