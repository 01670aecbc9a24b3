// A simulated VTL262x hub chip as the filter driver reaches it: one register
// file shared by all of the chip's interfaces (the version block, the
// identification signature and the erase status live in it), its USB
// descriptors, its SPI flash, completed downloads and resets.
//
// SPI flash: two images (0 and 1), each a 256-byte configuration block and a
// firmware area. A ROM read (0x55) with value n addresses image n: offsets
// 0x00..0xFF are its configuration block, offsets from 0x100 its firmware
// area (the firmware in its length-word format). Unwritten bytes read 0xFF;
// programming only clears bits (new = old AND data), so data written over
// bytes that were not erased comes out corrupted.
//   - Erase 0x57 (block = configuration image 0 or 1, part 0 = offsets
//     0x00..0x7F, part 1 = 0x80..0xFF): the erase status (0x7FF) reads 0 at
//     once and 1 when the erase is done, eraseMs of virtual time later (at
//     once without a clock), or never with eraseNeverFinishes; the bytes are
//     erased when it is done. Any other block or part is an error: noted in
//     flashErrors, and the status never turns 1.
//   - Configuration download (0x51/0x61, value = image, at most 256 bytes)
//     programs that image's configuration block chunk by chunk.
//   - Firmware download (0x50/0x60, value = image) erases that image's
//     firmware area at its first chunk and programs it from its start.
//   romReadIgnoresImageValue: a ROM read of the firmware area (offsets from
//   0x100) answers with image 0's area whatever the value; the
//   configuration blocks still follow the value.
//   A download with another image number or too long for its area is
//   rejected (the request fails) and noted in flashErrors. Programming a
//   configuration block while an erase is still running is noted there too
//   (the bytes are programmed all the same).
//
// CPU reset (command 0x54, or 0x5810 <- 1 on the register path):
//   - The registers the model gives a meaning return to their power-on
//     values: the signature (0x7FB and 0x7FC read 0xFF), the erase status
//     (0x7FF reads 1, ready; an erase that is not done by then is abandoned,
//     its bytes stay as they were), the CPU start position and reset
//     registers (0x5846, 0x5810: 0) and the version block (below). The
//     model knows no reset value for any other register: they keep theirs.
//   - The chip then runs the first image it finds valid: image 0 when the
//     length word L of its firmware area lies in 0x5000..0xFFFE and the 8-bit
//     sum of its L image bytes equals the sum byte behind the type byte, else
//     image 1 under the same test, else none.
//   - The version block reports the version registered for the image it runs
//     (imageVersions, keyed by the CRC-32 of the L image bytes). With no valid
//     image, or with an image nobody registered, the block is invalid: its
//     bytes 0..10 (0x7F0..0x7FA) are 0, so a reader sees "000000000000".
//   - staleVersionReads > 0: after each reset, that many reads of the version
//     block still answer with the block as it was before the reset (a hub
//     that reports its new version late).
//   - keepOldVersionResets > 0: that many resets keep the version block (and
//     the running image) as they were before the reset, as if the new
//     firmware had not taken; each such reset counts it down.
//   - Then onReset runs. The USB stack hooks it to take the chip's interfaces
//     away and bring them back at the same positions with new PDO names;
//     coming back late or never is the stack's per-device choice
//     (UsbDeviceSpec::restartDelayMs, neverReturns).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/Clock.h"

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

    // SPI flash geometry.
    static constexpr int kImageCount = 2;
    static constexpr std::size_t kConfigBlockSize = 0x100;
    static constexpr std::size_t kErasePartSize = 0x80;
    // ROM offset of the firmware area within an image.
    static constexpr std::uint32_t kFirmwareAreaOffset = 0x100;
    // Room for the largest image (64 KiB) with its frame and a read-ahead block.
    static constexpr std::size_t kFirmwareAreaSize = 0x10000 + 0x200;

    struct Download {
        std::uint32_t command = 0;  // 0x50/0x51/0x60/0x61
        std::uint32_t image = 0;
        std::vector<std::uint8_t> data;  // exactly the announced total length
    };

    HubChip();
    explicit HubChip(platform::Clock* clock);
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

    // SPI flash. The clock times the erase; without one an erase is done at
    // once.
    platform::Clock* clock = nullptr;
    std::uint32_t eraseMs = 50;
    bool eraseNeverFinishes = false;
    bool romReadIgnoresImageValue = false;
    // What went wrong on the flash side, one line each; empty when all was
    // well.
    std::vector<std::string> flashErrors;

    // Flash contents as they are now (a pending erase that is due is applied
    // first).
    const std::vector<std::uint8_t>& ConfigBlock(int image) const;
    const std::vector<std::uint8_t>& FirmwareArea(int image) const;
    // Fixtures: set bytes as they are, without the AND of programming.
    void SetConfigBlock(int image, const std::vector<std::uint8_t>& bytes);
    void SetFirmwareArea(int image, std::uint32_t offset, const std::vector<std::uint8_t>& bytes);
    // Both images blank (all 0xFF).
    void BlankFlash();
    // True while an erase has been started and is not done.
    bool EraseBusy() const;

    // Hooks the driver calls; the later USB model extends these.
    virtual void OnRegisterWrite(std::uint32_t address, std::uint8_t value);
    // One download chunk: `data` holds the `count` bytes that land at
    // `offset` of the download (`total` bytes announced). False rejects it.
    virtual bool OnDownloadChunk(std::uint32_t command, std::uint32_t image, std::uint32_t total,
                                 std::uint32_t offset, const std::uint8_t* data, std::uint32_t count);
    virtual void OnDownloadComplete(const Download& download);
    virtual void OnSpiBlockErase(std::uint32_t part, std::uint32_t block);
    // Fills `out` with the 32 bytes of the ROM at `offset`; false rejects.
    virtual bool OnRomRead(std::uint32_t value, std::uint32_t offset, std::uint8_t* out32);
    virtual void OnCpuReset();

    std::vector<Download> downloads;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> erases;  // (part, block)
    int cpuResets = 0;
    // Called after every reset (register path or command 0x54), once the
    // chip has restarted as described above.
    std::function<void(HubChip&)> onReset;

    // --- reset behaviour
    using Version = std::array<std::uint8_t, 6>;
    // The version each image reports when the chip runs it, by the CRC-32 of
    // its L image bytes.
    std::map<std::uint32_t, Version> imageVersions;
    int keepOldVersionResets = 0;
    int staleVersionReads = 0;
    // Registers the version of an image given as its L image bytes.
    void RegisterImageVersion(const std::vector<std::uint8_t>& image, const Version& version);
    // The image the chip ran after its last reset: 0, 1, or -1 (none valid,
    // or no reset yet).
    int RunningImage() const { return runningImage_; }
    // True when `image`'s firmware area holds an image the chip would run.
    bool ImageValid(int image) const;

    // CRC-32 (reflected, polynomial 0xEDB88320, as zip).
    static std::uint32_t Crc32(const std::uint8_t* data, std::size_t length);
    // A firmware area for `image`: length word, the image bytes, the type
    // byte and the 8-bit sum of the image bytes.
    static std::vector<std::uint8_t> FirmwareAreaFor(const std::vector<std::uint8_t>& image,
                                                     std::uint8_t type = 0);

private:
    struct PendingErase {
        bool active = false;
        bool valid = false;  // a block and part the chip has
        bool applied = false;  // the bytes have been erased
        std::uint32_t block = 0, part = 0;
        std::uint64_t doneAtMs = 0;
    };
    std::uint8_t EraseStatus() const;
    // Applies a pending erase whose time has come.
    void Settle() const;
    void Program(std::vector<std::uint8_t>& area, std::size_t offset, const std::uint8_t* data,
                 std::size_t count);
    std::uint64_t NowMs() const;
    // The register file and version block as a reset leaves them.
    void PowerOn();

    std::vector<std::uint8_t> regs_;
    // Mutable: reading the flash or the status applies an erase that is due.
    mutable PendingErase erase_;
    mutable std::array<std::vector<std::uint8_t>, kImageCount> config_;
    mutable std::array<std::vector<std::uint8_t>, kImageCount> firmware_;
    int runningImage_ = -1;
    // The version block before the last reset, and how many reads still see it.
    std::vector<std::uint8_t> staleVersion_;
    mutable int staleReadsLeft_ = 0;
};

}  // namespace sim
