#include <gtest/gtest.h>

#include <cstring>

#include "DialogMachine.h"
#include "app/FirmwareFiles.h"

namespace {

using app::BYTE;
using testing_machine::DialogMachine;

std::vector<BYTE> Image(std::size_t n, BYTE seed = 1) {
    std::vector<BYTE> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(seed + i * 7);
    return v;
}

// A TEMP_BIN_IMAGE record: length word, image, type byte, sum.
std::vector<BYTE> Record(std::size_t n, BYTE seed = 1) {
    const std::vector<BYTE> img = Image(n, seed);
    std::vector<BYTE> r{static_cast<BYTE>(n & 0xFF), static_cast<BYTE>(n >> 8)};
    r.insert(r.end(), img.begin(), img.end());
    BYTE sum = 0;
    for (BYTE b : img) sum = static_cast<BYTE>(sum + b);
    r.push_back(0xAA);
    r.push_back(sum);
    return r;
}

std::vector<BYTE> Table(BYTE seed) {
    std::vector<BYTE> t(256);
    for (int i = 0; i < 256; ++i) t[i] = static_cast<BYTE>(seed ^ i);
    return t;
}

std::vector<BYTE> Cat(std::vector<BYTE> a, const std::vector<BYTE>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<BYTE> Cut(std::vector<BYTE> v, std::size_t n) {
    v.resize(v.size() - n);
    return v;
}

app::FW_FILE_TRAILER Trailer(BYTE type, const char* manufacturer = "Vantrel Hub") {
    app::FW_FILE_TRAILER t;
    t.ucVersion = {0x14, 0x04, 0x15, 0x03, 0xe5, 0x00};
    t.ucType = type;
    t.wVID = 0x2109;
    t.wPID30 = 0x0817;
    t.wPID20 = 0;
    std::strncpy(t.szManufacturer.data(), manufacturer, t.szManufacturer.size());
    return t;
}

std::vector<BYTE> Packed(const std::vector<BYTE>& body, const app::FW_FILE_TRAILER& t) {
    const auto bytes = app::BuildFwFileTrailer(t);
    return Cat(body, std::vector<BYTE>(bytes.begin(), bytes.end()));
}

TEST(FirmwareFiles, TrailerLayout) {
    app::FW_FILE_TRAILER t = Trailer(1);
    t.wPID20 = 0xA1B2;
    const auto b = app::BuildFwFileTrailer(t);
    ASSERT_EQ(b.size(), 57u);
    const BYTE head[13] = {0x14, 0x04, 0x15, 0x03, 0xe5, 0x00, 0x01, 0x09, 0x21, 0x17, 0x08, 0xB2, 0xA1};
    EXPECT_EQ(std::memcmp(b.data(), head, 13), 0);
    EXPECT_EQ(std::memcmp(b.data() + 13, "Vantrel Hub\0", 12), 0);
    EXPECT_EQ(b[56], 0);

    const app::FW_FILE_TRAILER p = app::ParseFwFileTrailer(b.data());
    EXPECT_EQ(app::FwTrailerVersionText(p), L"14041503e500");
    EXPECT_EQ(p.ucType, 1);
    EXPECT_EQ(p.wVID, 0x2109);
    EXPECT_EQ(p.wPID30, 0x0817);
    EXPECT_EQ(p.wPID20, 0xA1B2);
    EXPECT_EQ(app::FwTrailerManufacturer(p), L"Vantrel Hub");

    // A text that fills all 44 bytes is read no further.
    std::array<BYTE, 57> full = b;
    std::memset(full.data() + 13, 'M', 44);
    EXPECT_EQ(app::FwTrailerManufacturer(app::ParseFwFileTrailer(full.data())), std::wstring(44, L'M'));
}

TEST(FirmwareFiles, TrailerSetsOnlyTheFiltersItNames) {
    DialogMachine m;
    auto& u = *m.utility;
    u.m_strVID_Indetify = L"1111";
    u.m_strPID20_Indetify = L"2222";
    u.m_strPID30_Indetify = L"3333";
    app::FW_FILE_TRAILER t = Trailer(0, "  Maker  ");
    t.wVID = 0xabcd;
    app::vApplyFwFileTrailer(t, u, *m.dlg);
    EXPECT_EQ(u.m_strVID_Indetify, L"ABCD");
    EXPECT_EQ(u.m_strPID30_Indetify, L"0817");
    EXPECT_EQ(u.m_strPID20_Indetify, L"2222");  // 0 keeps the filter
    EXPECT_EQ(u.m_strManuString_Indetify, L"Maker");
    EXPECT_EQ(u.m_bCheckManuString, 1);
    EXPECT_EQ(m.dlg->m_strCurFileFWVer, L"14041503e500");
    EXPECT_EQ(m.dlg->m_ucFWType, 0);

    // An empty manufacturer text leaves the flag as it was.
    u.m_bCheckManuString = 0;
    app::vApplyFwFileTrailer(Trailer(1, ""), u, *m.dlg);
    EXPECT_EQ(u.m_bCheckManuString, 0);
    EXPECT_EQ(m.dlg->m_ucFWType, 1);

    // Read from a file, read-only; a short or missing file gives FALSE.
    m.files.PutFile(L"C:\\fw\\VTL262XFW.BIN", Packed(Record(0x5000), Trailer(0)));
    m.files.SetReadOnly(L"C:\\fw\\VTL262XFW.BIN", true);
    app::FW_FILE_TRAILER read;
    EXPECT_TRUE(app::bReadFwFileTrailer(m.files, L"C:\\fw\\VTL262XFW.BIN", &read));
    EXPECT_EQ(app::FwTrailerVersionText(read), L"14041503e500");
    m.files.PutFile(L"C:\\fw\\short.BIN", std::vector<BYTE>(56));
    EXPECT_FALSE(app::bReadFwFileTrailer(m.files, L"C:\\fw\\short.BIN", &read));
    EXPECT_FALSE(app::bReadFwFileTrailer(m.files, L"C:\\fw\\none.BIN", &read));
    // Start's use: a file it cannot read changes nothing.
    m.dlg->m_strCurFileFWVer = L"keep";
    EXPECT_FALSE(m.dlg->bReadFirmwareTrailer(L"C:\\fw\\short.BIN"));
    EXPECT_EQ(m.dlg->m_strCurFileFWVer, L"keep");
    EXPECT_TRUE(m.dlg->bReadFirmwareTrailer(L"C:\\fw\\VTL262XFW.BIN"));
    EXPECT_EQ(m.dlg->m_strCurFileFWVer, L"14041503e500");
    EXPECT_EQ(app::CMy262FWUpgradeToolDlg::VersionTextFromFileName(L"C:\\a\\Config_1_2.bin"), L"Config12");
}

TEST(FirmwareFiles, VersionTextFromFileName) {
    const std::pair<const wchar_t*, const wchar_t*> rows[] = {
        {L"C:\\fw\\140415_03_E5_00.bin", L"14041503E500"},
        {L"D:\\x\\Config_140415_03_E5_00.bin", L"14041503E500"},
        {L"C:\\fw\\140415_03_E5_00", L""},           // no dot
        {L"C:\\fw.d\\140415_03_E5_00", L"fw"},        // the dot of a folder
        {L"C:\\fw\\a.b.c.bin", L"a.b.c"},
        {L"1234567890abcdef.bin", L"567890abcdef"},   // no backslash: last 12
        {L"\\x.bin", L"x"},
    };
    for (const auto& [path, version] : rows) EXPECT_EQ(app::strFWVersionFromFileName(path), version) << path;
}

TEST(FirmwareFiles, VersionsCompareAsFortyEightBitNumbers) {
    struct Row {
        const wchar_t* a;
        const wchar_t* b;
        int order;
    };
    const Row rows[] = {
        {L"000100000000", L"0000ffffffff", 1},
        {L"0000FFFFFFFF", L"000100000000", -1},
        {L"14041503e500", L"14041503E500", 0},
        {L"120621000001", L"120621000000", 1},
        {L"120720000000", L"120720000001", -1},
        {L"ffff00000000", L"7fffffffffff", 1},
        {L"000000000000", L"000000000000", 0},
    };
    for (const Row& r : rows) EXPECT_EQ(app::nCompareFWVersion(r.a, r.b), r.order) << r.a << " " << r.b;
    EXPECT_EQ(app::ullFWVersionValue(L"120621000000"), 0x120621000000ull);
    EXPECT_EQ(app::ullFWVersionValue(L"ABCDEF012345"), 0xABCDEF012345ull);

    const std::pair<const wchar_t*, bool> texts[] = {
        {L"14041503e500", true}, {L"ABCDEF012345", true}, {L"", false},
        {L"14041503e50", false}, {L"14041503e5000", false}, {L"14041503g500", false}, {L"1404 503e500", false},
    };
    for (const auto& [text, ok] : texts) EXPECT_EQ(app::bIsFWVersionText(text), ok) << text;
}

TEST(FirmwareFiles, TemporaryImageCheck) {
    using C = app::TempImageCheck;
    struct Row {
        std::size_t length;  // length word
        std::size_t size;    // bytes in the file
        C expected;
    };
    const Row rows[] = {
        {0x5000, 0x5004, C::Ok},
        {0x4FFF, 0x5003, C::LengthTooSmall},
        {0x0000, 0x0004, C::LengthTooSmall},
        {0x5000, 0x5003, C::LengthBeyondEnd},
        {0xFFFC, 0x10000, C::Ok},                   // the largest legal image
        {0xFFDC, 0xFFE0 + 57, C::TooLarge},         // with a trailer: over one download
        {0xF000, 0xF004 + 57, C::Ok},               // a packed file's trailer may follow
        {0xFFE0, 0xFFE4, C::Ok},                    // rounds up to 0x10000
        {0xFFFE, 0x10002, C::TooLarge},
        {0xFFFF, 0x10003, C::TooLarge},
        {0x8000, 0x1, C::NoLengthWord},
    };
    for (const Row& r : rows) {
        std::vector<BYTE> file(r.size, 0x5A);
        if (r.size >= 2) {
            file[0] = static_cast<BYTE>(r.length & 0xFF);
            file[1] = static_cast<BYTE>(r.length >> 8);
        }
        EXPECT_EQ(app::CheckTempBinImage(file.data(), file.size()), r.expected)
            << std::hex << r.length << " " << r.size;
    }
    EXPECT_EQ(app::CheckTempBinImage(nullptr, 0), C::NoLengthWord);
}

TEST(FirmwareFiles, ConfigFileSplit) {
    DialogMachine m;
    const std::wstring temp = L"C:\\Tool\\Temp\\TempBinData.bin";
    // A longer image of an earlier run is replaced, never written through:
    // one that cannot be deleted first is refused and stays as it is.
    m.files.PutFile(temp, std::vector<BYTE>(0x9000, 0xEE));
    m.files.AddFault(sim::FileFault{sim::FileOp::Delete, temp, platform::kErrorAccessDenied});
    const std::vector<BYTE> record = Record(0x5000);
    m.files.PutFile(L"C:\\fw\\Config_140415_03_E5_00.bin", Cat(Table(0x33), record));
    EXPECT_FALSE(m.dlg->bConfig_File2TempBinFile(L"C:\\fw\\Config_140415_03_E5_00.bin"));
    EXPECT_EQ(*m.files.GetFile(temp), std::vector<BYTE>(0x9000, 0xEE));
    EXPECT_TRUE(m.dlg->bConfig_File2TempBinFile(L"C:\\fw\\Config_140415_03_E5_00.bin"));
    EXPECT_EQ(*m.files.GetFile(temp), record);
    EXPECT_EQ(m.dlg->m_TempBinImage, record);  // held as read back
    EXPECT_EQ(std::vector<BYTE>(m.utility->m_ucFileConfigTable.begin(), m.utility->m_ucFileConfigTable.end()),
              Table(0x33));

    // Exactly the table: an empty image.
    m.files.PutFile(L"C:\\fw\\Config_256.bin", Table(0x44));
    EXPECT_TRUE(m.dlg->bConfig_File2TempBinFile(L"C:\\fw\\Config_256.bin"));
    EXPECT_TRUE(m.files.GetFile(temp)->empty());

    // 255 bytes: no split; the table holds them, then 0xFF.
    std::vector<BYTE> short255 = Table(0x55);
    short255.pop_back();
    m.files.PutFile(L"C:\\fw\\Config_255.bin", short255);
    EXPECT_FALSE(m.dlg->bConfig_File2TempBinFile(L"C:\\fw\\Config_255.bin"));
    EXPECT_EQ(m.utility->m_ucFileConfigTable[254], short255[254]);
    EXPECT_EQ(m.utility->m_ucFileConfigTable[255], 0xFF);

    // A file that cannot be opened, or an image that cannot be written whole.
    EXPECT_FALSE(m.dlg->bConfig_File2TempBinFile(L"C:\\fw\\Config_missing.bin"));
    m.files.AddFault(sim::FileFault{sim::FileOp::Write, temp, platform::kErrorAccessDenied});
    EXPECT_FALSE(m.dlg->bConfig_File2TempBinFile(L"C:\\fw\\Config_140415_03_E5_00.bin"));
    EXPECT_FALSE(m.files.Exists(temp));
}

// --- the run's preparation, one row per kind of firmware file
struct PrepareRow {
    const char* name;
    const wchar_t* path;  // empty: no file named
    std::vector<BYTE> content;
    BYTE typeFromStart;   // m_ucFWType as Start left it
    bool readOnly;
    int expected;
    std::vector<BYTE> image;  // the temporary image afterwards (when 0)
};

void PrintTo(const PrepareRow& row, std::ostream* os) { *os << row.name; }

std::vector<BYTE> FramedPlain(std::size_t n) {
    std::vector<BYTE> r = Record(n);
    return r;  // no chip answers register 0x5820 here: type byte 0xAA
}

class Prepare : public testing::TestWithParam<PrepareRow> {};

TEST_P(Prepare, WritesOnlyACheckedImage) {
    const PrepareRow& row = GetParam();
    DialogMachine m;
    m.SetHubs(2);
    const std::wstring temp = L"C:\\Tool\\Temp\\TempBinData.bin";
    m.files.PutFile(temp, Record(0x6000, 9));  // a stale image of an earlier run
    if (!row.content.empty()) {
        m.files.PutFile(row.path, row.content);
        m.files.SetReadOnly(row.path, row.readOnly);
    }
    m.utility->m_strFWBinFilePath = row.path;
    m.dlg->m_ucFWType = row.typeFromStart;

    EXPECT_EQ(m.dlg->nPrepareFirmwareFile(), row.expected);
    EXPECT_EQ(m.dlg->m_bImagePrepared.load(), row.expected == 0);
    // What the workers download and verify: the checked bytes, held.
    EXPECT_EQ(m.dlg->m_TempBinImage, row.expected == 0 ? row.image : std::vector<BYTE>{});
    if (row.expected == 0) {
        ASSERT_TRUE(m.files.Exists(temp));
        EXPECT_EQ(*m.files.GetFile(temp), row.image);
    } else {
        EXPECT_FALSE(m.files.Exists(temp));
    }
    if (row.expected == -10) {
        EXPECT_EQ(m.view.Row(0, app::RowPart::Bar).barColour, app::kColourRed);
        EXPECT_EQ(m.view.GetStatus().colour, app::kColourRed);
        EXPECT_EQ(m.view.GetStatus().fontHeight, 40);
        EXPECT_FALSE(m.view.GetStatus().text.empty());
    }
    // The named file is never deleted or changed.
    if (!row.content.empty()) {
        EXPECT_EQ(*m.files.GetFile(row.path), row.content);
    }
    // No unpacked copy stays behind.
    EXPECT_FALSE(m.files.Exists(L"C:\\Tool\\Temp\\14041503e500.bin"));
}

const std::wstring kNotValid = L"The FW is not valide, Please check again!!";

INSTANTIATE_TEST_SUITE_P(
    Files, Prepare,
    testing::Values(
        PrepareRow{"NoFile", L"", {}, 0, false, 1, {}},
        PrepareRow{"Plain", L"C:\\fw\\140415_03_E5_00.bin", Image(0x5000), 0, false, 0, FramedPlain(0x5000)},
        PrepareRow{"PlainLargest", L"C:\\fw\\140415_03_E5_00.bin", Image(0xFFFC), 0, true, 0, FramedPlain(0xFFFC)},
        PrepareRow{"PlainTooSmall", L"C:\\fw\\140415_03_E5_00.bin", Image(0x4FFF), 0, false, -10, {}},
        PrepareRow{"PlainMissing", L"C:\\fw\\missing_00.bin", {}, 0, false, -10, {}},
        PrepareRow{"Config", L"C:\\fw\\Config_140415_03_E5_00.bin", Cat(Table(1), Record(0x5000)), 0, false, 0,
                   Record(0x5000)},
        PrepareRow{"ConfigTableOnly", L"C:\\fw\\Config_140415_03_E5_00.bin", Table(1), 0, false, -10, {}},
        PrepareRow{"ConfigTruncated", L"C:\\fw\\CONFIG_140415_03_E5_00.bin",
                   Cut(Cat(Table(1), Record(0x5000)), 3),
                   0, false, -10, {}},
        PrepareRow{"Packed", L"C:\\fw\\VTL262XFW.BIN", Packed(Image(0x5000), Trailer(0)), 0, true, 0,
                   FramedPlain(0x5000)},
        PrepareRow{"PackedConfig", L"C:\\fw\\VTL262XFW.BIN", Packed(Cat(Table(2), Record(0x5000)), Trailer(1)), 1,
                   false, 0, Packed(Record(0x5000), Trailer(1))},
        PrepareRow{"PackedMissing", L"C:\\fw\\VTL262XFW.BIN", {}, 0, false, -10, {}},
        PrepareRow{"PackedShort", L"C:\\fw\\VTL262XFW.BIN", std::vector<BYTE>(40, 1), 0, false, -10, {}},
        PrepareRow{"PackedImageTooSmall", L"C:\\fw\\VTL262XFW.BIN", Packed(Image(0x100), Trailer(0)), 0, false,
                   -10, {}}),
    [](const testing::TestParamInfo<PrepareRow>& info) { return std::string(info.param.name); });

TEST(FirmwareFiles, TempFolderThatRedirectsIsNeverWrittenOrDeletedIn) {
    DialogMachine m;
    m.SetHubs(1);
    m.files.PutFile(L"C:\\Elsewhere\\TempBinData.bin", Record(0x6000, 9));
    m.files.MakeRedirection(L"C:\\Tool\\Temp", L"C:\\Elsewhere");
    m.files.PutFile(L"C:\\fw\\140415_03_E5_00.bin", Image(0x5000));
    m.utility->m_strFWBinFilePath = L"C:\\fw\\140415_03_E5_00.bin";
    EXPECT_EQ(m.dlg->nPrepareFirmwareFile(), -10);
    EXPECT_FALSE(m.dlg->m_bImagePrepared.load());
    EXPECT_EQ(*m.files.GetFile(L"C:\\Elsewhere\\TempBinData.bin"), Record(0x6000, 9));
    EXPECT_EQ(m.view.GetStatus().text, kNotValid);
}

// The unpacked copy of a packed image is put in another's place between its
// writing and its reading back: refused as a temporary image that cannot be
// written, and no image is left.
TEST(FirmwareFiles, UnpackedCopyReplacedBeforeItIsReadBackIsRefused) {
    DialogMachine m;
    m.SetHubs(1);
    const std::wstring unpacked = L"C:\\Tool\\Temp\\14041503e500.bin";
    m.files.PutFile(L"C:\\fw\\VTL262XFW.BIN", Packed(Image(0x5000), Trailer(0)));
    m.utility->m_strFWBinFilePath = L"C:\\fw\\VTL262XFW.BIN";
    std::uint32_t replaced = 1;
    m.files.OnCall(sim::FileOp::Open, unpacked, [&] {
        replaced = m.files.DeleteFile(unpacked).error;
        m.files.PutFile(unpacked, Image(0x5000, 7));
    }, 1);  // after the run's own writer
    EXPECT_EQ(m.dlg->nPrepareFirmwareFile(), -10);
    EXPECT_EQ(replaced, 0u);
    EXPECT_FALSE(m.dlg->m_bImagePrepared.load());
    EXPECT_FALSE(m.files.Exists(L"C:\\Tool\\Temp\\TempBinData.bin"));
    EXPECT_TRUE(m.HasRecord(L"ERR", L"CMy262FWUpgradeToolDlg::MainThreadFun",
                            L"  [" + unpacked + L"] does not read back as it was written, not used"));
}

TEST(FirmwareFiles, PackedFileGivesTheVersionAndKeepsTheUsersFile) {
    DialogMachine m;
    m.SetHubs(1);
    const std::vector<BYTE> packed = Packed(Image(0x5000), Trailer(0));
    m.files.PutFile(L"C:\\fw\\VTL262XFW.BIN", packed);
    m.utility->m_strFWBinFilePath = L"C:\\fw\\VTL262XFW.BIN";
    EXPECT_EQ(m.dlg->nPrepareFirmwareFile(), 0);
    EXPECT_EQ(m.dlg->m_strCurFileFWVer, L"14041503e500");
    EXPECT_EQ(m.view.Text(app::kIdUpdateVersion), L"14041503e500");
    EXPECT_EQ(*m.files.GetFile(L"C:\\fw\\VTL262XFW.BIN"), packed);
    EXPECT_TRUE(m.HasRecord(L"MSG", L"CMy262FWUpgradeToolDlg::MainThreadFun",
                            L"Get new  fw path=[C:\\Tool\\Temp\\14041503e500.bin],"));

    // A preparation that fails leaves the not-valid text.
    m.files.PutFile(L"C:\\fw\\VTL262XFW.BIN", Packed(Image(0x10), Trailer(0)));
    m.utility->m_strFWBinFilePath = L"C:\\fw\\VTL262XFW.BIN";
    EXPECT_EQ(m.dlg->nPrepareFirmwareFile(), -10);
    EXPECT_EQ(m.view.GetStatus().text, kNotValid);
    EXPECT_FALSE(m.dlg->m_bImagePrepared.load());
}

}  // namespace
