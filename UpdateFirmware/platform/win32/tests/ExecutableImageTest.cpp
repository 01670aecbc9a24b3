// Checks the linked 262FWUpgradeTool.exe itself: a 32-bit console image that
// needs no DLL beyond the system's own, with its manifest and version info.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

// Little-endian reads with bounds checks; a read outside the file yields
// nothing and marks the image as malformed.
class Image {
public:
    explicit Image(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

    bool malformed = false;

    std::uint32_t U16(std::size_t at) { return Get(at, 2); }
    std::uint32_t U32(std::size_t at) { return Get(at, 4); }
    std::size_t size() const { return bytes_.size(); }

    std::string CString(std::size_t at) {
        std::string s;
        while (at < bytes_.size() && bytes_[at] != 0) s.push_back(static_cast<char>(bytes_[at++]));
        if (at >= bytes_.size()) malformed = true;
        return s;
    }
    std::string Range(std::size_t at, std::size_t n) {
        if (at > bytes_.size() || n > bytes_.size() - at) {
            malformed = true;
            return {};
        }
        return std::string(bytes_.begin() + at, bytes_.begin() + at + n);
    }

private:
    std::uint32_t Get(std::size_t at, int n) {
        if (at > bytes_.size() || static_cast<std::size_t>(n) > bytes_.size() - at) {
            malformed = true;
            return 0;
        }
        std::uint32_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = (v << 8) | bytes_[at + i];
        return v;
    }
    std::vector<std::uint8_t> bytes_;
};

struct Section {
    std::uint32_t virtualAddress, virtualSize, rawSize, rawOffset;
    std::string name;  // up to 8 characters, or "/<offset>" into the string table
};

struct PeFile {
    Image image;
    std::uint32_t machine = 0, characteristics = 0, magic = 0, subsystem = 0;
    std::uint32_t symbolTable = 0, symbolCount = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> directories;  // RVA, size
    std::vector<Section> sections;

    explicit PeFile(std::vector<std::uint8_t> bytes) : image(std::move(bytes)) {
        if (image.Range(0, 2) != "MZ") {
            image.malformed = true;
            return;
        }
        const std::size_t pe = image.U32(0x3C);
        if (image.Range(pe, 4) != std::string("PE\0\0", 4)) {
            image.malformed = true;
            return;
        }
        const std::size_t coff = pe + 4;
        machine = image.U16(coff + 0);
        symbolTable = image.U32(coff + 8);
        symbolCount = image.U32(coff + 12);
        const std::uint32_t sectionCount = image.U16(coff + 2);
        const std::uint32_t optionalSize = image.U16(coff + 16);
        characteristics = image.U16(coff + 18);

        const std::size_t opt = coff + 20;
        magic = image.U16(opt + 0);
        if (magic != 0x10B) return;  // only PE32 is laid out as below
        subsystem = image.U16(opt + 68);
        const std::uint32_t dirCount = std::min<std::uint32_t>(image.U32(opt + 92), 16);
        for (std::uint32_t i = 0; i < dirCount; ++i)
            directories.emplace_back(image.U32(opt + 96 + 8 * i), image.U32(opt + 100 + 8 * i));

        const std::size_t table = opt + optionalSize;
        for (std::uint32_t i = 0; i < sectionCount; ++i) {
            const std::size_t s = table + 40 * i;
            std::string name = image.Range(s, 8);
            name = name.substr(0, name.find('\0'));
            sections.push_back(
                {image.U32(s + 12), image.U32(s + 8), image.U32(s + 16), image.U32(s + 20), name});
        }
    }

    std::optional<std::size_t> Offset(std::uint32_t rva) const {
        for (const Section& s : sections) {
            const std::uint32_t span = std::max(s.virtualSize, s.rawSize);
            if (rva >= s.virtualAddress && rva - s.virtualAddress < span &&
                rva - s.virtualAddress < s.rawSize)
                return s.rawOffset + (rva - s.virtualAddress);
        }
        return std::nullopt;
    }

    std::pair<std::uint32_t, std::uint32_t> Directory(std::size_t index) const {
        return index < directories.size() ? directories[index] : std::make_pair(0u, 0u);
    }

    // Names of the DLLs in the import table, lower case.
    std::vector<std::string> ImportedDlls() {
        std::vector<std::string> names;
        const auto dir = Directory(1);
        if (dir.first == 0) return names;
        auto at = Offset(dir.first);
        if (!at) {
            image.malformed = true;
            return names;
        }
        for (std::size_t d = *at;; d += 20) {
            const std::uint32_t nameRva = image.U32(d + 12);
            const std::uint32_t firstThunk = image.U32(d + 16);
            if (image.malformed || (nameRva == 0 && firstThunk == 0)) break;
            auto nameAt = Offset(nameRva);
            if (!nameAt) {
                image.malformed = true;
                break;
            }
            std::string name = image.CString(*nameAt);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            names.push_back(name);
        }
        return names;
    }

    // Data of resource type/id (first language), or nothing.
    std::optional<std::string> Resource(std::uint32_t type, std::uint32_t id) {
        const auto dir = Directory(2);
        if (dir.first == 0) return std::nullopt;
        auto root = Offset(dir.first);
        if (!root) return std::nullopt;

        // A directory: 16-byte header, named entries, then id entries
        // (id, offset; high bit of the offset = subdirectory).
        auto find = [&](std::size_t table, std::optional<std::uint32_t> wanted)
            -> std::optional<std::uint32_t> {
            const std::uint32_t named = image.U16(table + 12);
            const std::uint32_t ids = image.U16(table + 14);
            for (std::uint32_t i = 0; i < named + ids; ++i) {
                const std::size_t e = table + 16 + 8 * i;
                const std::uint32_t entryId = image.U32(e);
                if (image.malformed) return std::nullopt;
                if (i < named) continue;
                if (!wanted || entryId == *wanted) return image.U32(e + 4);
            }
            return std::nullopt;
        };
        auto typeEntry = find(*root, type);
        if (!typeEntry || !(*typeEntry & 0x80000000u)) return std::nullopt;
        auto idEntry = find(*root + (*typeEntry & 0x7FFFFFFFu), id);
        if (!idEntry || !(*idEntry & 0x80000000u)) return std::nullopt;
        auto langEntry = find(*root + (*idEntry & 0x7FFFFFFFu), std::nullopt);
        if (!langEntry || (*langEntry & 0x80000000u)) return std::nullopt;
        const std::size_t dataEntry = *root + *langEntry;
        auto data = Offset(image.U32(dataEntry));
        if (!data) return std::nullopt;
        return image.Range(*data, image.U32(dataEntry + 4));
    }
};

PeFile LoadTool() {
    std::ifstream in(FW_TOOL_EXE_PATH, std::ios::binary);
    EXPECT_TRUE(in) << "cannot open " << FW_TOOL_EXE_PATH;
    return PeFile(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}));
}

TEST(ToolImage, Is32BitConsoleExecutable) {
    PeFile pe = LoadTool();
    ASSERT_FALSE(pe.image.malformed);
    EXPECT_EQ(pe.machine, 0x14Cu);                 // i386
    EXPECT_EQ(pe.magic, 0x10Bu);                   // PE32 optional header
    EXPECT_EQ(pe.subsystem, 3u);                   // Windows console
    EXPECT_TRUE(pe.characteristics & 0x0002u);     // executable image
    EXPECT_TRUE(pe.characteristics & 0x0100u);     // 32-bit machine
    EXPECT_FALSE(pe.characteristics & 0x2000u);    // not a DLL
}

// The shipped executable carries no symbol table and no debug sections
// (long section names like ".debug_info" are kept in the symbol string table,
// so any "/<offset>" name means debug information is still there).
TEST(ToolImage, CarriesNoSymbols) {
    PeFile pe = LoadTool();
    ASSERT_FALSE(pe.image.malformed);
    EXPECT_EQ(pe.symbolTable, 0u);
    EXPECT_EQ(pe.symbolCount, 0u);
    for (const Section& s : pe.sections) {
        EXPECT_NE(s.name.rfind("/", 0), 0u) << s.name;
        EXPECT_NE(s.name.rfind(".debug", 0), 0u) << s.name;
    }
}

TEST(ToolImage, ImportsOnlySystemDlls) {
    PeFile pe = LoadTool();
    const std::vector<std::string> dlls = pe.ImportedDlls();
    ASSERT_FALSE(pe.image.malformed);
    ASSERT_FALSE(dlls.empty());
    EXPECT_NE(std::find(dlls.begin(), dlls.end(), "kernel32.dll"), dlls.end());

    const std::set<std::string> system = {
        "kernel32.dll", "user32.dll",  "gdi32.dll",    "advapi32.dll", "shell32.dll",
        "comctl32.dll", "comdlg32.dll", "ole32.dll",   "oleaut32.dll", "msvcrt.dll",
        "setupapi.dll", "version.dll", "shlwapi.dll",  "ws2_32.dll",   "ntdll.dll",
    };
    for (const std::string& dll : dlls) {
        const bool crtApiSet = dll.rfind("api-ms-win-crt-", 0) == 0;
        EXPECT_TRUE(system.count(dll) || crtApiSet) << dll << " is not a system DLL";
    }
}

TEST(ToolImage, CarriesManifestAndVersionInfo) {
    PeFile pe = LoadTool();
    const auto manifest = pe.Resource(24, 1);  // RT_MANIFEST, process manifest
    ASSERT_TRUE(manifest.has_value());
    EXPECT_NE(manifest->find("level=\"requireAdministrator\""), std::string::npos);

    // The Windows versions it declares: Vista, 7, 8 and 8.1, not 10.
    std::set<std::string> supported;
    const std::string tag = "<supportedOS Id=\"";
    for (std::size_t at = manifest->find(tag); at != std::string::npos; at = manifest->find(tag, at + 1)) {
        const std::size_t from = at + tag.size();
        std::string id = manifest->substr(from, manifest->find('"', from) - from);
        std::transform(id.begin(), id.end(), id.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        supported.insert(id);
    }
    EXPECT_EQ(supported, (std::set<std::string>{
                             "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
                             "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
                             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
                             "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
                         }));
    EXPECT_NE(manifest->find("urn:schemas-microsoft-com:compatibility.v1"), std::string::npos);

    const auto version = pe.Resource(16, 1);  // RT_VERSION
    ASSERT_TRUE(version.has_value());
    // The fixed part starts with the VS_FIXEDFILEINFO signature.
    EXPECT_NE(version->find(std::string("\xBD\x04\xEF\xFE", 4)), std::string::npos);
    EXPECT_FALSE(pe.image.malformed);
}

}  // namespace

namespace {

std::u16string StringTableEntry(const std::string& block, int index) {
    std::size_t at = 0;
    for (int i = 0; i <= index; ++i) {
        if (at + 2 > block.size()) return {};
        const std::size_t len = static_cast<unsigned char>(block[at]) | (static_cast<unsigned char>(block[at + 1]) << 8);
        at += 2;
        if (i == index) {
            std::u16string s;
            for (std::size_t k = 0; k < len && at + 2 * k + 1 < block.size(); ++k)
                s.push_back(static_cast<char16_t>(static_cast<unsigned char>(block[at + 2 * k]) |
                                                  (static_cast<unsigned char>(block[at + 2 * k + 1]) << 8)));
            return s;
        }
        at += 2 * len;
    }
    return {};
}

TEST(ToolImage, CarriesTheDialogsIconAndAboutText) {
    PeFile pe = LoadTool();
    struct Dialog {
        std::uint32_t id, items, cx, cy;
    };
    // Main dialog: 30 controls in 287 x 195 units; About box: 4 in 170 x 62.
    for (const Dialog& d : {Dialog{102, 30, 287, 195}, Dialog{100, 4, 170, 62}}) {
        SCOPED_TRACE(d.id);
        const auto dlg = pe.Resource(5, d.id);  // RT_DIALOG, an extended template
        ASSERT_TRUE(dlg.has_value());
        Image t(std::vector<std::uint8_t>(dlg->begin(), dlg->end()));
        EXPECT_EQ(t.U16(2), 0xFFFFu);
        EXPECT_EQ(t.U16(16), d.items);
        EXPECT_EQ(t.U16(22), d.cx);
        EXPECT_EQ(t.U16(24), d.cy);
    }
    EXPECT_TRUE(pe.Resource(14, 128).has_value());  // RT_GROUP_ICON
    const auto strings = pe.Resource(6, 101 / 16 + 1);  // RT_STRING block of id 101
    ASSERT_TRUE(strings.has_value());
    EXPECT_EQ(StringTableEntry(*strings, 101 % 16), u"&About 262FWUpgradeTool...");
}

}  // namespace
