#include "hubaccess/FilterRequest.h"

#include "hubaccess/ByteOrder.h"

namespace hubaccess {
namespace {

FilterBlock EncodeWords(const std::uint32_t (&w)[6]) {
    FilterBlock b{};
    for (int i = 0; i < 6; ++i) PutLe32(b.data() + 4 * i, w[i]);
    return b;
}

}  // namespace

FilterBlock FILTER_REQUEST::Encode() const {
    const std::uint32_t w[6] = {dwTimeout, dwRequestType, dwReserved, dwCommand, dwValue, dwIndex};
    return EncodeWords(w);
}

FILTER_REQUEST FILTER_REQUEST::Decode(const std::uint8_t* p) {
    FILTER_REQUEST r;
    r.dwTimeout = GetLe32(p);
    r.dwRequestType = GetLe32(p + 4);
    r.dwReserved = GetLe32(p + 8);
    r.dwCommand = GetLe32(p + 12);
    r.dwValue = GetLe32(p + 16);
    r.dwIndex = GetLe32(p + 20);
    return r;
}

FilterBlock FILTER_REQUEST_LEGACY::Encode() const {
    const std::uint32_t w[6] = {dwTimeout, dwRequestKind, dwValue, dwIndex, dwReserved1, dwReserved2};
    return EncodeWords(w);
}

FILTER_REQUEST_LEGACY FILTER_REQUEST_LEGACY::Decode(const std::uint8_t* p) {
    FILTER_REQUEST_LEGACY r;
    r.dwTimeout = GetLe32(p);
    r.dwRequestKind = GetLe32(p + 4);
    r.dwValue = GetLe32(p + 8);
    r.dwIndex = GetLe32(p + 12);
    r.dwReserved1 = GetLe32(p + 16);
    r.dwReserved2 = GetLe32(p + 20);
    return r;
}

std::wstring FW_VERSION_BLOCK::VersionText() const {
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring s;
    for (int i = 0; i < 6; ++i) {
        s += kHex[bytes[i] >> 4];
        s += kHex[bytes[i] & 0xF];
    }
    return s;
}

bool FW_VERSION_BLOCK::IsValid() const {
    return (bytes[8] == 1 || bytes[8] == 2) && bytes[9] == 0 && bytes[10] == 7;
}

}  // namespace hubaccess
