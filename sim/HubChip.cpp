#include "sim/HubChip.h"

#include <algorithm>

namespace sim {

HubChip::HubChip() : regs_(kRegisterCount, 0) {
    // A USB 3 hub's device descriptor: bLength 18, type 1, bcdUSB 3.00,
    // class 9 (hub), VID 0x7A7D, PID 0x3262, bcdDevice 1.00.
    deviceDescriptor = {18, 1, 0x00, 0x03, 9, 0, 3, 9, 0x7D, 0x7A, 0x62, 0x32, 0x00, 0x01, 1, 2, 0, 1};
    strings.resize(4);
    SetString(1, u"Vantrel");
    SetString(2, u"VTL262x");
    SetVersion({0x14, 0x04, 0x15, 0x03, 0xE5, 0x00});
    regs_[kSignatureMark] = 0xFF;
    regs_[kSignatureIndex] = 0xFF;
    regs_[kEraseStatus] = 1;
}

std::uint8_t HubChip::Reg(std::uint32_t address) const {
    return address < regs_.size() ? regs_[address] : 0xFF;
}

void HubChip::SetReg(std::uint32_t address, std::uint8_t value) {
    if (address < regs_.size()) regs_[address] = value;
}

std::vector<std::uint8_t> HubChip::ReadRegs(std::uint32_t address, std::uint32_t count) const {
    std::vector<std::uint8_t> out(count);
    for (std::uint32_t i = 0; i < count; ++i) out[i] = Reg(address + i);
    return out;
}

void HubChip::SetVersion(const std::array<std::uint8_t, 6>& version, bool valid) {
    for (int i = 0; i < 6; ++i) regs_[kVersionBlock + i] = version[i];
    regs_[kVersionBlock + 8] = valid ? 1 : 0;
    regs_[kVersionBlock + 9] = 0;
    regs_[kVersionBlock + 10] = valid ? 7 : 0;
}

void HubChip::SetString(std::uint8_t index, const std::u16string& text) {
    if (strings.size() <= index) strings.resize(index + 1u);
    strings[index] = text;
}

std::vector<std::uint8_t> HubChip::StringDescriptor(std::uint8_t index) const {
    std::vector<std::uint8_t> d;
    if (index == 0) {
        d.push_back(static_cast<std::uint8_t>(2 + 2 * languages.size()));
        d.push_back(3);
        for (std::uint16_t l : languages) {
            d.push_back(static_cast<std::uint8_t>(l));
            d.push_back(static_cast<std::uint8_t>(l >> 8));
        }
        return d;
    }
    if (index >= strings.size()) return d;
    const std::u16string& s = strings[index];
    // bLength is a byte; a longer string keeps its units behind it, so a
    // reader that ignores bLength would run on.
    d.push_back(static_cast<std::uint8_t>(std::min<std::size_t>(2 + 2 * s.size(), 0xFF)));
    d.push_back(3);
    for (char16_t c : s) {
        d.push_back(static_cast<std::uint8_t>(c));
        d.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return d;
}

void HubChip::OnRegisterWrite(std::uint32_t address, std::uint8_t value) {
    SetReg(address, value);
    if (address == kCpuReset && value == 1) OnCpuReset();
}

void HubChip::OnDownloadComplete(const Download& download) { downloads.push_back(download); }

void HubChip::OnSpiBlockErase(std::uint32_t part, std::uint32_t block) {
    erases.emplace_back(part, block);
}

bool HubChip::OnRomRead(std::uint32_t, std::uint32_t, std::uint8_t* out32) {
    std::fill(out32, out32 + 32, 0xFF);
    return true;
}

void HubChip::OnCpuReset() {
    ++cpuResets;
    if (onReset) onReset(*this);
}

}  // namespace sim
