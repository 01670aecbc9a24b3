// A simulated VTL262x hub chip as the filter driver reaches it: one register
// file shared by all of the chip's interfaces (the version block, the
// identification signature and the erase status live in it), its USB
// descriptors, completed downloads and resets.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

class HubChip {
public:
    // Register addresses with a fixed meaning.
    static constexpr std::uint32_t kVersionBlock = 0x7F0;
    static constexpr std::uint32_t kSignatureMark = 0x7FB;
    static constexpr std::uint32_t kSignatureIndex = 0x7FC;
    static constexpr std::uint32_t kEraseStatus = 0x7FF;
    static constexpr std::uint32_t kCpuStartPosition = 0x5846;
    static constexpr std::uint32_t kCpuReset = 0x5810;
    static constexpr std::uint32_t kWrite16 = 0x6400;
    static constexpr std::size_t kRegisterCount = 0x10000;

    struct Download {
        std::uint32_t command = 0;  // 0x50/0x51/0x60/0x61
        std::uint32_t image = 0;
        std::vector<std::uint8_t> data;  // exactly the announced total length
    };

    HubChip();
    virtual ~HubChip() = default;

    // Register file. Reads past the end give 0xFF.
    std::uint8_t Reg(std::uint32_t address) const;
    void SetReg(std::uint32_t address, std::uint8_t value);
    std::vector<std::uint8_t> ReadRegs(std::uint32_t address, std::uint32_t count) const;

    // The version block: bytes 0..5 the version; a valid block carries
    // 1 or 2 / 0 / 7 in bytes 8..10.
    void SetVersion(const std::array<std::uint8_t, 6>& version, bool valid = true);

    // Last 16-bit value written through command 0x40.
    std::uint16_t write16Value = 0;
    int write16Count = 0;

    // Descriptors.
    std::array<std::uint8_t, 18> deviceDescriptor{};
    std::vector<std::uint16_t> languages{0x0409};
    // String descriptors by index (index 0 is the language list).
    std::vector<std::u16string> strings;
    void SetString(std::uint8_t index, const std::u16string& text);
    // The full descriptor bytes for string `index`, or empty when absent.
    std::vector<std::uint8_t> StringDescriptor(std::uint8_t index) const;

    // Behaviour switches.
    bool supportsNewLayout = true;  // false: new-layout requests are rejected
    bool answersCpuResetCommand = true;

    // Hooks the driver calls; the later flash and USB models extend these.
    virtual void OnRegisterWrite(std::uint32_t address, std::uint8_t value);
    virtual void OnDownloadComplete(const Download& download);
    virtual void OnSpiBlockErase(std::uint32_t part, std::uint32_t block);
    // Fills `out` with the 32 bytes of the ROM at `offset`; false rejects.
    virtual bool OnRomRead(std::uint32_t value, std::uint32_t offset, std::uint8_t* out32);
    virtual void OnCpuReset();

    std::vector<Download> downloads;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> erases;  // (part, block)
    int cpuResets = 0;
    // Called after every reset (register path or command 0x54).
    std::function<void(HubChip&)> onReset;

private:
    std::vector<std::uint8_t> regs_;
};

}  // namespace sim
