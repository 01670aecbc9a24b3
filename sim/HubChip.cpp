#include "sim/HubChip.h"

#include <algorithm>
#include <stdexcept>

#include "sim/FilterWire.h"

namespace sim {

namespace {

std::string Hex(std::uint32_t v) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    do {
        s.insert(s.begin(), digits[v & 0xF]);
        v >>= 4;
    } while (v);
    return "0x" + s;
}

}  // namespace

HubChip::HubChip() : HubChip(nullptr) {}

HubChip::HubChip(platform::Clock* clk) : clock(clk), regs_(kRegisterCount, 0) {
    BlankFlash();
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
    if (address == kEraseStatus && erase_.active) return EraseStatus();
    return address < regs_.size() ? regs_[address] : 0xFF;
}

void HubChip::SetReg(std::uint32_t address, std::uint8_t value) {
    if (address == kEraseStatus) {
        // Setting the status by hand ends the erase model's say over it.
        Settle();
        erase_ = PendingErase{};
    }
    if (address < regs_.size()) regs_[address] = value;
}

std::vector<std::uint8_t> HubChip::ReadRegs(std::uint32_t address, std::uint32_t count) const {
    std::vector<std::uint8_t> out(count);
    for (std::uint32_t i = 0; i < count; ++i) out[i] = Reg(address + i);
    if (staleReadsLeft_ > 0 && address <= kVersionBlock && kVersionBlock < address + count) {
        --staleReadsLeft_;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t at = address + i;
            if (at >= kVersionBlock && at - kVersionBlock < staleVersion_.size()) out[i] = staleVersion_[at - kVersionBlock];
        }
    }
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

// ---------------------------------------------------------------------------
// SPI flash

std::uint64_t HubChip::NowMs() const { return clock ? clock->MonotonicMs() : 0; }

bool HubChip::EraseBusy() const {
    if (!erase_.active || erase_.applied) return false;
    if (!erase_.valid || eraseNeverFinishes) return true;
    return clock != nullptr && NowMs() < erase_.doneAtMs;
}

std::uint8_t HubChip::EraseStatus() const {
    Settle();
    return EraseBusy() ? 0 : 1;
}

void HubChip::Settle() const {
    if (!erase_.active || !erase_.valid || erase_.applied || EraseBusy()) return;
    auto& block = config_[erase_.block];
    const std::size_t from = erase_.part * kErasePartSize;
    std::fill(block.begin() + from, block.begin() + from + kErasePartSize, 0xFF);
    erase_.applied = true;
}

const std::vector<std::uint8_t>& HubChip::ConfigBlock(int image) const {
    Settle();
    return config_.at(image);
}

const std::vector<std::uint8_t>& HubChip::FirmwareArea(int image) const {
    Settle();
    return firmware_.at(image);
}

void HubChip::SetConfigBlock(int image, const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() > kConfigBlockSize) throw std::out_of_range("configuration block is 256 bytes");
    Settle();
    std::copy(bytes.begin(), bytes.end(), config_.at(image).begin());
}

void HubChip::SetFirmwareArea(int image, std::uint32_t offset, const std::vector<std::uint8_t>& bytes) {
    auto& area = firmware_.at(image);
    if (offset > area.size() || bytes.size() > area.size() - offset) {
        throw std::out_of_range("beyond the firmware area");
    }
    std::copy(bytes.begin(), bytes.end(), area.begin() + offset);
}

void HubChip::BlankFlash() {
    for (auto& c : config_) c.assign(kConfigBlockSize, 0xFF);
    for (auto& f : firmware_) f.assign(kFirmwareAreaSize, 0xFF);
}

void HubChip::Program(std::vector<std::uint8_t>& area, std::size_t offset, const std::uint8_t* data,
                      std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) area[offset + i] &= data[i];
}

bool HubChip::OnDownloadChunk(std::uint32_t command, std::uint32_t image, std::uint32_t total,
                              std::uint32_t offset, const std::uint8_t* data, std::uint32_t count) {
    namespace fw = filterwire;
    const bool config = command == fw::kCmdConfigDownload || command == fw::kCmdConfigDownloadAlt;
    const bool firmware = command == fw::kCmdFirmwareDownload || command == fw::kCmdFirmwareDownloadAlt;
    if (!config && !firmware) return false;
    const std::string what = std::string(config ? "configuration" : "firmware") + " download " +
                             Hex(command) + " image " + std::to_string(image);
    const std::size_t room = config ? kConfigBlockSize : kFirmwareAreaSize;
    if (image >= static_cast<std::uint32_t>(kImageCount)) {
        flashErrors.push_back(what + ": no such image");
        return false;
    }
    if (total > room) {
        flashErrors.push_back(what + ": " + std::to_string(total) + " bytes do not fit");
        return false;
    }
    if (offset >= total) return true;  // padding beyond the announced length
    count = std::min<std::uint32_t>(count, total - offset);

    Settle();
    if (config) {
        if (EraseBusy()) flashErrors.push_back(what + ": programmed while an erase is running");
        Program(config_[image], offset, data, count);
    } else {
        auto& area = firmware_[image];
        if (offset == 0) std::fill(area.begin(), area.end(), 0xFF);
        Program(area, offset, data, count);
    }
    return true;
}

void HubChip::OnDownloadComplete(const Download& download) { downloads.push_back(download); }

void HubChip::OnSpiBlockErase(std::uint32_t part, std::uint32_t block) {
    erases.emplace_back(part, block);
    Settle();
    erase_ = PendingErase{};
    erase_.active = true;
    erase_.valid = block < static_cast<std::uint32_t>(kImageCount) && part < 2;
    erase_.block = block;
    erase_.part = part;
    erase_.doneAtMs = NowMs() + eraseMs;
    if (!erase_.valid) {
        flashErrors.push_back("erase of block " + std::to_string(block) + " part " +
                              std::to_string(part) + ": no such block");
    }
}

bool HubChip::OnRomRead(std::uint32_t value, std::uint32_t offset, std::uint8_t* out32) {
    if (value >= static_cast<std::uint32_t>(kImageCount)) return false;
    Settle();
    const std::uint64_t end = static_cast<std::uint64_t>(kFirmwareAreaOffset) + kFirmwareAreaSize;
    if (static_cast<std::uint64_t>(offset) + 32 > end) return false;
    const std::uint32_t firmwareImage = romReadIgnoresImageValue ? 0 : value;
    for (std::uint32_t i = 0; i < 32; ++i) {
        const std::uint32_t at = offset + i;
        out32[i] = at < kFirmwareAreaOffset ? config_[value][at] : firmware_[firmwareImage][at - kFirmwareAreaOffset];
    }
    return true;
}

// ---------------------------------------------------------------------------
// CPU reset

namespace {

constexpr std::uint32_t kMinImageLength = 0x5000;
constexpr std::uint32_t kMaxImageLength = 0xFFFE;
// The version block's own bytes; 0x7FB on belong to the signature and the
// erase status.
constexpr std::size_t kVersionBytes = 11;

}  // namespace

std::uint32_t HubChip::Crc32(const std::uint8_t* data, std::size_t length) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::vector<std::uint8_t> HubChip::FirmwareAreaFor(const std::vector<std::uint8_t>& image, std::uint8_t type) {
    std::vector<std::uint8_t> area;
    area.reserve(image.size() + 4);
    area.push_back(static_cast<std::uint8_t>(image.size()));
    area.push_back(static_cast<std::uint8_t>(image.size() >> 8));
    area.insert(area.end(), image.begin(), image.end());
    area.push_back(type);
    std::uint8_t sum = 0;
    for (std::uint8_t b : image) sum = static_cast<std::uint8_t>(sum + b);
    area.push_back(sum);
    return area;
}

void HubChip::RegisterImageVersion(const std::vector<std::uint8_t>& image, const Version& version) {
    imageVersions[Crc32(image.data(), image.size())] = version;
}

bool HubChip::ImageValid(int image) const {
    const std::vector<std::uint8_t>& area = FirmwareArea(image);
    const std::uint32_t length = area[0] | (static_cast<std::uint32_t>(area[1]) << 8);
    if (length < kMinImageLength || length > kMaxImageLength) return false;
    std::uint8_t sum = 0;
    for (std::uint32_t i = 0; i < length; ++i) sum = static_cast<std::uint8_t>(sum + area[2 + i]);
    return sum == area[2 + length + 1];
}

void HubChip::PowerOn() {
    Settle();
    staleVersion_.assign(regs_.begin() + kVersionBlock, regs_.begin() + kVersionBlock + kVersionBytes);
    staleReadsLeft_ = staleVersionReads;
    erase_ = PendingErase{};
    regs_[kSignatureMark] = 0xFF;
    regs_[kSignatureIndex] = 0xFF;
    regs_[kEraseStatus] = 1;
    regs_[kCpuStartPosition] = 0;
    regs_[kCpuReset] = 0;

    if (keepOldVersionResets > 0) {
        --keepOldVersionResets;
        return;
    }
    std::fill(regs_.begin() + kVersionBlock, regs_.begin() + kVersionBlock + kVersionBytes, 0);
    runningImage_ = ImageValid(0) ? 0 : ImageValid(1) ? 1 : -1;
    if (runningImage_ < 0) return;  // the version bytes stay 0: invalid
    const std::vector<std::uint8_t>& area = FirmwareArea(runningImage_);
    const std::uint32_t length = area[0] | (static_cast<std::uint32_t>(area[1]) << 8);
    const auto known = imageVersions.find(Crc32(area.data() + 2, length));
    if (known != imageVersions.end()) SetVersion(known->second);
}

void HubChip::OnCpuReset() {
    ++cpuResets;
    PowerOn();
    if (onReset) onReset(*this);
}

}  // namespace sim
