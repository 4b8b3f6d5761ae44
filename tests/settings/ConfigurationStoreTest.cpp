// Loading the settings: first-run defaults, stored values taken as they are, bad values.
#include <sstream>

#include "SettingsFixture.h"
#include "platform/Text.h"

namespace vellicor::test {
namespace {

// Every value a first run writes, in the order it is read, with its default (written out
// independently of the settings object on purpose); strings in quotes.
const char kFirstRun[] =
    "WindowMode 0 WindowMaximized 0 WindowTop 0 WindowLeft 0 WindowHeight -1 WindowWidth -1 Fit 0 FitIfOversize 0 "
    "FitWidth 0 FitWidthIfOversize 1 SuppressFitWidthDoublePages 1 FitHeight 0 FitHeightIfOversize 0 TwoPages 0 "
    "RotateLeft 0 RotateRight 0 TargetHeight 0 TargetHeightVal 1200 RotateScrollFunctions 1 Background 0 "
    "ImageInformation 0 DisplayInfoFiles 1 JapaneseMode 0 SmallCursor 1 Zooming 0 DisableHints 0 PageInTwos 0 "
    "PageBackInTwos 0 GenerateThumbsInBackground 1 PageBufferSize 3 FileBufferSize 0 StripLastDirInHistoryList 0 "
    "AlternateArrowKeyFunctions 0 InfoFontCharset 0 InfoFontColour 0 InfoFontSize 10 InfoFontName \"Courier\" "
    "InfoFontPitch 0 InfoFontStyle 0 InfoBackgroundColour -2147483643 InfoHeight 444 InfoWidth 574 CursorMove 6 "
    "MouseWheel 17 LeftClick1 0 LeftClick2 4 LeftClick3 5 MiddleClick1 7 MiddleClick2 5 MiddleClick3 5 "
    "RightClick1 9 RightClick2 5 RightClick3 5 Balance 1 DiscardsPer1000 5 GammaCorrect 0 GammaCorrection 220 "
    "FixYellowing 1 YellowingRedThreshold 235 YellowingGreenThreshold 220 YellowingBlueThreshold 127 "
    "YellowingRedBoost 0 YellowingGreenBoost 10 YellowingBlueBoost 20 FixEdgeYellowing 0 "
    "EdgeYellowingRedThreshold 200 EdgeYellowingGreenThreshold 150 EdgeYellowingBlueThreshold 120 "
    "EdgeYellowingRedBoost 255 EdgeYellowingGreenBoost 240 EdgeYellowingBlueBoost 230 FixInternalYellowing 0 "
    "LastDir \"\" RecentDirectories \"\" FavouriteDirectories \"\" LastFilterIndex 2 StdFileOpenDlg 0";

TEST_F(SettingsTest, FirstRunWritesEveryDefaultInOrderAndLoadsIt) {
    {
        TConfigureForm form;
        EXPECT_TRUE(ui_.shown.empty());
        EXPECT_EQ(form.WindowWidth, -1);
        EXPECT_EQ(form.InfoBackgroundColour, clWindow);
        EXPECT_EQ(form.InfoFont, (TFontDesc{0, clBlack, 10, "Courier", fpDefault, 0}));
        EXPECT_EQ(form.LastFiles.Count(), 0);
        EXPECT_TRUE(ApplicationShowHint());
        EXPECT_FALSE(form.EdgeTabVisible());
        std::istringstream want(kFirstRun);
        std::string name, value;
        size_t i = 0;
        const auto names = ValueNames();  // exactly the 77 values, in the order they were read
        for (; want >> name >> value; ++i) {
            ASSERT_LT(i, names.size());
            EXPECT_EQ(names[i], name);
            if (value[0] == '"')
                EXPECT_EQ(StoredString(name), value.substr(1, value.size() - 2)) << name;
            else
                EXPECT_EQ(StoredInt(name), std::stoi(value)) << name;
        }
        EXPECT_EQ(i, 77u);
        EXPECT_EQ(names.size(), 77u);
        TRegistry reg;  // no page set yet: reading the current set creates nothing
        EXPECT_TRUE(Open(reg).GetKeyNames().empty());
    }
    EXPECT_EQ(ValueNames().size(), 78u);  // destruction adds only the page of the current set
    EXPECT_EQ(StoredInt("RecentPages"), 0);
}

TEST_F(SettingsTest, StoredValuesAreTakenAsTheyAre) {
    const std::tuple<const char*, int32_t TSettings::*, int32_t> ints[] = {
        {"WindowWidth", &TSettings::WindowWidth, -1}, {"WindowHeight", &TSettings::WindowHeight, 0},
        {"PageBufferSize", &TSettings::PageBufferSize, -5}, {"FileBufferSize", &TSettings::FileBufferSize, INT32_MAX},
        {"GammaCorrection", &TSettings::GammaCorrection, INT32_MIN}, {"LeftClick2", &TSettings::LeftClick2, 42}};
    for (const auto& [name, field, v] : ints) StoreInt(name, v);
    StoreInt("Balance", 2);  // any non-zero integer is true
    StoreInt("SmallCursor", -1);
    StoreInt("FixYellowing", 0);
    StoreString("InfoFontName", "DejaVu Sans Mono");
    StoreInt("Fit", 1);  // with two pages: the loader does not repair combinations
    StoreInt("TwoPages", 1);
    TConfigureForm form;
    for (const auto& [name, field, v] : ints) EXPECT_EQ(form.*field, v) << name;
    EXPECT_TRUE(form.Balance && form.SmallCursor && form.Fit && form.TwoPages);
    EXPECT_FALSE(form.FixYellowing);
    EXPECT_EQ(form.InfoFont.Name, "DejaVu Sans Mono");
    EXPECT_EQ(StoredInt("Balance"), 2);  // values that existed are not rewritten
    EXPECT_TRUE(ui_.shown.empty());
}

TEST_F(SettingsTest, FontStyleBits) {
    const std::pair<int32_t, int32_t> cases[] = {{5, fsBold | fsUnderline}, {2, fsItalic}, {8, fsStrikeOut},
                                                 {16, 0}, {0x7FFFFFF3, fsBold | fsItalic}, {-1, fsAllStyles}};
    for (const auto& [stored, style] : cases) {
        StoreInt("InfoFontStyle", stored);
        EXPECT_EQ(TConfigureForm().InfoFont.Style, style) << stored;
    }
}

TEST_F(SettingsTest, DisableHintsSwitchesTheApplicationHints) {
    std::vector<bool> calls;
    SetShowHintHook([&](bool show) { calls.push_back(show); });  // installing applies the state
    StoreInt("DisableHints", 1);
    { TConfigureForm form; }
    EXPECT_FALSE(ApplicationShowHint());
    EXPECT_EQ(calls, (std::vector<bool>{true, false}));
    SetShowHintHook([&](bool show) { calls.push_back(show); });  // a hook installed later learns it
    StoreInt("DisableHints", 0);
    { TConfigureForm form; }
    EXPECT_EQ(calls, (std::vector<bool>{true, false, false, true}));
}

TEST_F(SettingsTest, ValueOfTheWrongTypeFallsBackToItsDefault) {
    StoreString("WindowTop", "12");  // integer expected
    StoreInt("InfoFontName", 3);     // string expected
    StoreString("Balance", "yes");   // boolean expected
    StoreInt("StdFileOpenDlg", 1);   // fine, the very last value
    TConfigureForm form;
    EXPECT_EQ(form.WindowTop, 0);
    EXPECT_EQ(form.InfoFont.Name, "Courier");
    EXPECT_TRUE(form.Balance);
    EXPECT_TRUE(form.StdFileOpenDlg);
    EXPECT_EQ(StoredInt("FitWidthIfOversize"), 1);  // missing ones were still written
    ASSERT_EQ(ui_.shown.size(), 1u);                // one message for the whole load, naming each
    EXPECT_EQ(ui_.shown[0].caption, "Invalid data type for 'WindowTop'");
    EXPECT_NE(ui_.shown[0].text.find("Invalid data type for 'InfoFontName'"), std::string::npos);
    EXPECT_NE(ui_.shown[0].text.find("Invalid data type for 'Balance'"), std::string::npos);
    EXPECT_EQ(StoredString("WindowTop"), "12");  // the user's value is left alone...
    form.SetWindowTop(5);                        // ...until a setter replaces it
    EXPECT_EQ(StoredInt("WindowTop"), 5);
    StoreString("Weird", "text");  // met after loading: reported at once, and only once
    EXPECT_EQ(form.GetRegInt("Weird", 9), 9);
    EXPECT_TRUE(form.GetRegBool("Weird", true));
    ASSERT_EQ(ui_.shown.size(), 2u);
    EXPECT_EQ(ui_.shown[1].caption, "Invalid data type for 'Weird'");
}

// A hand-edited store with thousands of values of the wrong type, or a name of megabytes,
// gives one box of a few lines: the first names, cut short, and a count.
TEST_F(SettingsTest, ValuesOfTheWrongTypeAreReportedInABoundedBox) {
    std::string file = "[HKEY_CURRENT_USER\\Software\\Vellicor\\RecentPages]\n";
    for (int i = 0; i < 20000; ++i) file += "\"" + IntToHex(static_cast<uint32_t>(i), 4) + "\"=dword:00000001\n";
    const std::string path = cfg_.Dir().Write("registry.txt", file);
    ResetRegistryStore();
    {
        TConfigureForm form;
        EXPECT_EQ(form.LastFiles.Count(), 0);
    }
    ASSERT_EQ(ui_.shown.size(), 1u);
    EXPECT_EQ(ui_.shown[0].caption, "Invalid data type for '0000'");
    const std::string& text = ui_.shown[0].text;
    EXPECT_EQ(text.rfind(path + "\nInvalid data type for '0001'\n", 0), 0u) << text.substr(0, 200);
    EXPECT_NE(text.find("\nInvalid data type for '001D'\nand 19970 more values of the wrong type"), std::string::npos)
        << text.substr(0, 2000);
    EXPECT_EQ(text.find("'001E'"), std::string::npos);
    EXPECT_LT(text.size(), 2000u);

    const std::string name = "page " + std::string(2 << 20, 'x') + " end";
    cfg_.Dir().Write("registry.txt", "[HKEY_CURRENT_USER\\Software\\Vellicor\\RecentPages]\n\"" + name + "\"=dword:00000001\n");
    ResetRegistryStore();
    { TConfigureForm form; }
    ASSERT_EQ(ui_.shown.size(), 2u);
    const std::string& caption = ui_.shown[1].caption;
    EXPECT_LT(caption.size(), 120u);
    EXPECT_EQ(caption.rfind("Invalid data type for 'page xxx", 0), 0u) << caption;
    EXPECT_NE(caption.find("x\xE2\x80\xA6x"), std::string::npos) << caption;
    EXPECT_NE(caption.find("xxx end'"), std::string::npos) << caption;
    EXPECT_EQ(ui_.shown[1].text, path);
}

TEST_F(SettingsTest, CorruptedStoreFileStartsWithDefaults) {
    cfg_.Dir().Write("registry.txt", "\x01\xff[\\Software\\Vellicor\nWindowTop=\"unterminated\n");
    ResetRegistryStore();
    TConfigureForm form;
    EXPECT_EQ(form.PageBufferSize, 3);
    EXPECT_EQ(form.InfoFont, TFontDesc{});
}

// A file too large to be read is kept whole under a name of its own, the defaults are used,
// and the reader is told so once.
TEST_F(SettingsTest, AnOversizeStoreFileIsKeptAndReported) {
    const std::string path = cfg_.Dir().Write("registry.txt", "[\\Software\\Vellicor]\n" + std::string((16 << 20) + 10, ';'));
    ResetRegistryStore();
    TConfigureForm form;
    EXPECT_EQ(form.PageBufferSize, 3);
    ASSERT_EQ(ui_.shown.size(), 1u);
    EXPECT_EQ(ui_.shown[0].caption, "Settings reset to their defaults");
    EXPECT_EQ(ui_.shown[0].text, path + "\nThe settings file could not be read: it is larger than 16 MiB. Every setting has "
                                        "its default; the file is kept as " + path + ".damaged-1.");
    EXPECT_EQ(FileSize(path + ".damaged-1"), int64_t(16 << 20) + 10 + 21);
    TConfigureForm again;
    EXPECT_EQ(ui_.shown.size(), 1u) << "said once";
}

// NUL bytes and garbage in the middle of the file cost only the lines they hit: every value
// that still reads is kept, and the reader is told once, naming where the file as it was is.
TEST_F(SettingsTest, ADamagedStoreFileKeepsWhatReadsAndIsReported) {
    StoreInt("TwoPages", 1);
    StoreInt("PageBufferSize", 5);
    StoreInt("StdFileOpenDlg", 1);  // the very last value
    { TConfigureForm first; }
    ASSERT_TRUE(ui_.shown.empty());
    std::string bytes = ReadFileBytes(RegistryFilePath());
    const size_t at = bytes.find("\"Background\"");
    ASSERT_NE(at, std::string::npos);
    bytes.insert(at, "[garbage \x01\xfe" + std::string(4, '\0') + "\n\"Trunc\n");
    const std::string path = cfg_.Dir().Write("registry.txt", bytes);
    ResetRegistryStore();
    {
        TConfigureForm form;
        EXPECT_TRUE(form.TwoPages);
        EXPECT_EQ(form.PageBufferSize, 5);
        EXPECT_TRUE(form.StdFileOpenDlg) << "a value after the damage";
    }
    ASSERT_EQ(ui_.shown.size(), 1u);
    EXPECT_EQ(ui_.shown[0].caption, "Settings file damaged");
    EXPECT_EQ(ui_.shown[0].text, path + "\nThe settings file is damaged: 2 lines could not be read, and the settings on "
                                        "them have their defaults; every other value was kept. The file as it was is "
                                        "kept as " + path + ".damaged-1.");
    EXPECT_EQ(ReadFileBytes(path + ".damaged-1"), bytes);
    { TConfigureForm again; }
    EXPECT_EQ(ui_.shown.size(), 1u) << "said once";
    EXPECT_FALSE(FileExists(path + ".damaged-2"));
}

TEST_F(SettingsTest, UnwritableStoreStillGivesWorkingSettings) {
    ScopedConfigDir::Use(cfg_.Dir().Write("blocker", "a file, not a directory") + "/vellicor");
    TConfigureForm form;
    EXPECT_EQ(form.InfoFont.Name, "Courier");
    int events = 0;
    form.OnConfigurationChange = [&](TConfigureForm&) { ++events; };
    form.SetFit(true);
    EXPECT_FALSE(form.FitWidthIfOversize);
    EXPECT_EQ(events, 1);
    form.SetBookmark(-1);
    TStringList items;
    form.ListBookmarks(items);
    EXPECT_EQ(items.Count(), 12);
}

TEST(MouseActionTest, Texts) {
    const char* const texts[] = {"Drag Image", "Next Page", "Previous Page", "Next Page + 1", "Next or Previous",
                                 "(None)", "Zooming", "Mouse Wheel Direction", "Follow Mouse", "Popup Menu",
                                 "Cycle Round Page", "Cycle Backwards", "Load Files", "Load Next Files", "Minimize",
                                 "Go To Page", "Thumbnails", "Scroll Page", "Cycle Around Page", "", ""};
    for (int code = -1; code <= kMouseActionCount; ++code)
        EXPECT_STREQ(MouseActionText(code), code < 0 ? "" : texts[code]) << code;
}

}  // namespace
}  // namespace vellicor::test
