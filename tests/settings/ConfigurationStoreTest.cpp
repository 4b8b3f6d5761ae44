// Loading the settings: first-run defaults, stored values taken as they are, bad values.
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <random>

#include "SettingsFixture.h"
#include "platform/Text.h"

namespace vellicor::test {
namespace {

struct Expected {
    const char* name;
    bool isString;
    int32_t i;
    const char* s;
};

// Every value a first run writes, with its type and default (written out independently of
// the settings object on purpose).
const Expected kFirstRun[] = {
    {"WindowMode", false, 0, nullptr}, {"WindowMaximized", false, 0, nullptr}, {"WindowTop", false, 0, nullptr},
    {"WindowLeft", false, 0, nullptr}, {"WindowHeight", false, -1, nullptr}, {"WindowWidth", false, -1, nullptr},
    {"Fit", false, 0, nullptr}, {"FitIfOversize", false, 0, nullptr}, {"FitWidth", false, 0, nullptr},
    {"FitWidthIfOversize", false, 1, nullptr}, {"SuppressFitWidthDoublePages", false, 1, nullptr},
    {"FitHeight", false, 0, nullptr}, {"FitHeightIfOversize", false, 0, nullptr}, {"TwoPages", false, 0, nullptr},
    {"RotateLeft", false, 0, nullptr}, {"RotateRight", false, 0, nullptr}, {"TargetHeight", false, 0, nullptr},
    {"TargetHeightVal", false, 1200, nullptr}, {"RotateScrollFunctions", false, 1, nullptr},
    {"Background", false, 0, nullptr}, {"ImageInformation", false, 0, nullptr}, {"DisplayInfoFiles", false, 1, nullptr},
    {"JapaneseMode", false, 0, nullptr}, {"SmallCursor", false, 1, nullptr}, {"Zooming", false, 0, nullptr},
    {"DisableHints", false, 0, nullptr}, {"PageInTwos", false, 0, nullptr}, {"PageBackInTwos", false, 0, nullptr},
    {"GenerateThumbsInBackground", false, 1, nullptr}, {"PageBufferSize", false, 3, nullptr},
    {"FileBufferSize", false, 0, nullptr}, {"StripLastDirInHistoryList", false, 0, nullptr},
    {"AlternateArrowKeyFunctions", false, 0, nullptr}, {"InfoFontCharset", false, 0, nullptr},
    {"InfoFontColour", false, 0, nullptr}, {"InfoFontSize", false, 10, nullptr}, {"InfoFontName", true, 0, "Courier"},
    {"InfoFontPitch", false, 0, nullptr}, {"InfoFontStyle", false, 0, nullptr},
    {"InfoBackgroundColour", false, static_cast<int32_t>(0x80000005u), nullptr}, {"InfoHeight", false, 444, nullptr},
    {"InfoWidth", false, 574, nullptr}, {"CursorMove", false, 6, nullptr}, {"MouseWheel", false, 17, nullptr},
    {"LeftClick1", false, 0, nullptr}, {"LeftClick2", false, 4, nullptr}, {"LeftClick3", false, 5, nullptr},
    {"MiddleClick1", false, 7, nullptr}, {"MiddleClick2", false, 5, nullptr}, {"MiddleClick3", false, 5, nullptr},
    {"RightClick1", false, 9, nullptr}, {"RightClick2", false, 5, nullptr}, {"RightClick3", false, 5, nullptr},
    {"Balance", false, 1, nullptr}, {"DiscardsPer1000", false, 5, nullptr}, {"GammaCorrect", false, 0, nullptr},
    {"GammaCorrection", false, 220, nullptr}, {"FixYellowing", false, 1, nullptr},
    {"YellowingRedThreshold", false, 235, nullptr}, {"YellowingGreenThreshold", false, 220, nullptr},
    {"YellowingBlueThreshold", false, 127, nullptr}, {"YellowingRedBoost", false, 0, nullptr},
    {"YellowingGreenBoost", false, 10, nullptr}, {"YellowingBlueBoost", false, 20, nullptr},
    {"FixEdgeYellowing", false, 0, nullptr}, {"EdgeYellowingRedThreshold", false, 200, nullptr},
    {"EdgeYellowingGreenThreshold", false, 150, nullptr}, {"EdgeYellowingBlueThreshold", false, 120, nullptr},
    {"EdgeYellowingRedBoost", false, 255, nullptr}, {"EdgeYellowingGreenBoost", false, 240, nullptr},
    {"EdgeYellowingBlueBoost", false, 230, nullptr}, {"FixInternalYellowing", false, 0, nullptr},
    {"LastDir", true, 0, ""}, {"RecentDirectories", true, 0, ""}, {"FavouriteDirectories", true, 0, ""},
    {"LastFilterIndex", false, 2, nullptr}, {"StdFileOpenDlg", false, 0, nullptr},
};

TEST_F(SettingsTest, FirstRunWritesEveryDefaultAndLoadsIt) {
    ASSERT_EQ(std::size(kFirstRun), 77u);
    {
        TConfigureForm form;
        EXPECT_TRUE(ui_.shown.empty());
        // The fields hold the defaults.
        const TSettings d;
        EXPECT_EQ(form.WindowWidth, -1);
        EXPECT_EQ(form.WindowHeight, -1);
        EXPECT_TRUE(form.FitWidthIfOversize);
        EXPECT_TRUE(form.SmallCursor);
        EXPECT_EQ(form.InfoBackgroundColour, clWindow);
        EXPECT_EQ(form.InfoFont, TFontDesc{});
        EXPECT_EQ(form.InfoFont.Name, "Courier");
        EXPECT_EQ(form.CursorMove, d.CursorMove);
        EXPECT_EQ(form.RightClick1, maPopupMenu);
        EXPECT_EQ(form.LastFiles.Count(), 0);
        EXPECT_EQ(form.LastPage, 0);
        EXPECT_TRUE(ApplicationShowHint());
        EXPECT_FALSE(form.EdgeTabVisible());

        // The store holds exactly the 77 values, each with its type and default.
        auto names = ValueNames();
        EXPECT_EQ(names.size(), 77u);
        for (const auto& e : kFirstRun) {
            SCOPED_TRACE(e.name);
            if (e.isString) {
                EXPECT_EQ(StoredString(e.name), std::optional<std::string>(e.s));
            } else {
                EXPECT_EQ(StoredInt(e.name), std::optional<int32_t>(e.i));
            }
        }
        // No page set yet: reading the current set creates nothing.
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(TConfigureForm::kSettingsKey, false));
        EXPECT_TRUE(reg.GetKeyNames().empty());
    }
    // Destruction adds only the page of the current set.
    EXPECT_EQ(ValueNames().size(), 78u);
    EXPECT_EQ(StoredInt("RecentPages"), 0);
}

TEST_F(SettingsTest, StoredValuesAreTakenAsTheyAre) {
    StoreInt("WindowWidth", -1);
    StoreInt("WindowHeight", 0);
    StoreInt("WindowTop", -32000);
    StoreInt("PageBufferSize", -5);
    StoreInt("FileBufferSize", 2147483647);
    StoreInt("TargetHeightVal", 0);
    StoreInt("GammaCorrection", -2147483647 - 1);
    StoreInt("Background", 99);
    StoreInt("LeftClick2", 42);
    StoreInt("Balance", 2);          // any non-zero integer is true
    StoreInt("FixYellowing", 0);
    StoreInt("SmallCursor", -1);
    StoreInt("InfoFontSize", 0);
    StoreInt("InfoFontPitch", 7);
    StoreString("InfoFontName", "DejaVu Sans Mono");
    StoreString("LastDir", "/home/reader/comics");
    StoreString("RecentDirectories", "/a,\"/b c\"");
    // Both a fit mode and two pages: the loader does not repair combinations.
    StoreInt("Fit", 1);
    StoreInt("TwoPages", 1);

    TConfigureForm form;
    EXPECT_EQ(form.WindowWidth, -1);
    EXPECT_EQ(form.WindowHeight, 0);
    EXPECT_EQ(form.WindowTop, -32000);
    EXPECT_EQ(form.PageBufferSize, -5);
    EXPECT_EQ(form.FileBufferSize, 2147483647);
    EXPECT_EQ(form.TargetHeightVal, 0);
    EXPECT_EQ(form.GammaCorrection, -2147483647 - 1);
    EXPECT_EQ(form.Background, 99);
    EXPECT_EQ(form.LeftClick2, 42);
    EXPECT_TRUE(form.Balance);
    EXPECT_FALSE(form.FixYellowing);
    EXPECT_TRUE(form.SmallCursor);
    EXPECT_EQ(form.InfoFont.Size, 0);
    EXPECT_EQ(form.InfoFont.Pitch, 7);
    EXPECT_EQ(form.InfoFont.Name, "DejaVu Sans Mono");
    EXPECT_EQ(form.LastDir, "/home/reader/comics");
    EXPECT_EQ(form.RecentDirectories, "/a,\"/b c\"");
    EXPECT_TRUE(form.Fit);
    EXPECT_TRUE(form.TwoPages);
    // Values that existed are not rewritten.
    EXPECT_EQ(StoredInt("Balance"), 2);
    EXPECT_TRUE(ui_.shown.empty());
}

TEST_F(SettingsTest, FontStyleBits) {
    struct Case {
        int32_t stored;
        int32_t style;
    } cases[] = {{0, 0}, {5, fsBold | fsUnderline}, {2, fsItalic}, {8, fsStrikeOut}, {15, fsAllStyles},
                 {16, 0}, {0x7FFFFFF3, fsBold | fsItalic}, {-1, fsAllStyles}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        StoreInt("InfoFontStyle", c.stored);
        TConfigureForm form;
        EXPECT_EQ(form.InfoFont.Style, c.style);
        EXPECT_EQ(StoredInt("InfoFontStyle"), c.stored);
    }
}

TEST_F(SettingsTest, DisableHintsSwitchesTheApplicationHints) {
    std::vector<bool> calls;
    SetShowHintHook([&](bool show) { calls.push_back(show); });
    ASSERT_EQ(calls, std::vector<bool>{true});  // installing applies the current state

    StoreInt("DisableHints", 1);
    {
        TConfigureForm form;
        EXPECT_FALSE(ApplicationShowHint());
        EXPECT_EQ(calls.back(), false);
    }
    // A hook installed after the settings were loaded learns the state at once.
    calls.clear();
    SetShowHintHook([&](bool show) { calls.push_back(show); });
    EXPECT_EQ(calls, std::vector<bool>{false});

    StoreInt("DisableHints", 0);
    TConfigureForm form;
    EXPECT_TRUE(ApplicationShowHint());
    EXPECT_EQ(calls.back(), true);
}

TEST_F(SettingsTest, ValueOfTheWrongTypeFallsBackToItsDefault) {
    StoreString("WindowTop", "12");        // integer expected
    StoreInt("InfoFontName", 3);           // string expected
    StoreString("Balance", "yes");         // boolean expected
    StoreInt("WindowLeft", 77);            // fine, read after a bad one
    StoreInt("StdFileOpenDlg", 1);         // fine, the very last value

    TConfigureForm form;
    EXPECT_EQ(form.WindowTop, 0);
    EXPECT_EQ(form.InfoFont.Name, "Courier");
    EXPECT_TRUE(form.Balance);
    EXPECT_EQ(form.WindowLeft, 77);
    EXPECT_TRUE(form.StdFileOpenDlg);
    // Every value after the bad ones was read, and missing ones were still written.
    EXPECT_EQ(StoredInt("FitWidthIfOversize"), 1);

    // One message for the whole load, naming each bad value.
    ASSERT_EQ(ui_.shown.size(), 1u);
    const std::string all = ui_.shown[0].caption + "\n" + ui_.shown[0].text;
    EXPECT_EQ(ui_.shown[0].caption, "Invalid data type for 'WindowTop'");
    EXPECT_NE(all.find("Invalid data type for 'InfoFontName'"), std::string::npos);
    EXPECT_NE(all.find("Invalid data type for 'Balance'"), std::string::npos);
    // The user's stored value is left alone; a setter replaces it.
    EXPECT_EQ(StoredString("WindowTop"), "12");
    form.SetWindowTop(5);
    EXPECT_EQ(StoredInt("WindowTop"), 5);
}

TEST_F(SettingsTest, CorruptedStoreFileStartsWithDefaults) {
    if (!StorePersists()) GTEST_SKIP() << "the store does not keep a file yet";
    std::mt19937 rng(1234);
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>(rng() & 0xFF);
    garbage += "\n[\\Software\\Vellicor\nWindowTop=\"unterminated\n\x01\x02 = =\n";
    ::mkdir(RegistryDirectory().c_str(), 0700);
    {
        FILE* f = std::fopen(RegistryFilePath().c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(garbage.data(), 1, garbage.size(), f);
        std::fclose(f);
    }
    ResetRegistryStore();
    {
        TConfigureForm form;
        EXPECT_EQ(form.WindowWidth, -1);
        EXPECT_EQ(form.PageBufferSize, 3);
        EXPECT_EQ(form.InfoFont, TFontDesc{});
        form.SetWindowLeft(321);
    }
    // The damaged file is kept for the user; the settings work from there on.
    bool kept = false;
    for (int n = 0; n < 10 && !kept; ++n)
        kept = ReadFileBytes(RegistryFilePath() + ".damaged-" + std::to_string(n)) == garbage;
    EXPECT_TRUE(kept);
    ResetRegistryStore();
    TConfigureForm again;
    EXPECT_EQ(again.WindowLeft, 321);
}

TEST_F(SettingsTest, UnwritableStoreStillGivesWorkingSettings) {
    // The store's directory cannot be made: a plain file sits where its parent should be.
    const std::string blocker = dir_.Write("blocker", "not a directory");
    ::setenv("VELLICOR_CONFIG_DIR", (blocker + "/vellicor").c_str(), 1);
    ResetRegistryStore();
    TConfigureForm form;
    EXPECT_EQ(form.WindowWidth, -1);
    EXPECT_TRUE(form.FitWidthIfOversize);
    EXPECT_EQ(form.InfoFont.Name, "Courier");
    int events = 0;
    form.OnConfigurationChange = [&](TConfigureForm&) { ++events; };
    form.SetFit(true);
    EXPECT_TRUE(form.Fit);
    EXPECT_FALSE(form.FitWidthIfOversize);
    EXPECT_EQ(events, 1);
    form.SetLastPages(TStringList{});
    form.SetBookmark(-1);
    TStringList items;
    form.ListBookmarks(items);
    EXPECT_EQ(items.Count(), 12);
}

TEST_F(SettingsTest, SettingsSurviveARestart) {
    if (!StorePersists()) GTEST_SKIP() << "the store does not keep a file yet";
    {
        TConfigureForm form;
        form.SetFitHeight(true);
        form.SetJapaneseMode(true);
        form.SetWindowWidth(800);
        form.SetLastDir("/srv/books");
        form.SetRecentDirs("/srv/books,/tmp");
        form.SetLastIndex(4);
    }
    ResetRegistryStore();  // read the file again, as a new process would
    TConfigureForm form;
    EXPECT_TRUE(form.FitHeight);
    EXPECT_FALSE(form.FitWidthIfOversize);
    EXPECT_TRUE(form.JapaneseMode);
    EXPECT_EQ(form.WindowWidth, 800);
    EXPECT_EQ(form.LastDir, "/srv/books");
    EXPECT_EQ(form.RecentDirectories, "/srv/books,/tmp");
    EXPECT_EQ(form.LastFilterIndex, 4);
}

TEST_F(SettingsTest, PrimitivesWriteMissingValuesWithTheirDefault) {
    TConfigureForm form;
    EXPECT_EQ(form.GetRegInt("SomethingNew", -7), -7);
    EXPECT_EQ(StoredInt("SomethingNew"), -7);
    EXPECT_EQ(form.GetRegInt("SomethingNew", 3), -7);
    EXPECT_TRUE(form.GetRegBool("NewFlag", true));
    EXPECT_EQ(StoredInt("NewFlag"), 1);
    EXPECT_EQ(form.GetRegString("NewText", "x y"), "x y");
    EXPECT_EQ(form.GetRegString("NewText", "other"), "x y");
    form.SetRegBool("NewFlag", false);
    EXPECT_EQ(StoredInt("NewFlag"), 0);
    EXPECT_FALSE(form.GetRegBool("NewFlag", true));
    // A bad value met after loading is reported at once, and only once.
    StoreString("Weird", "text");
    EXPECT_EQ(form.GetRegInt("Weird", 9), 9);
    EXPECT_EQ(form.GetRegInt("Weird", 9), 9);
    ASSERT_EQ(ui_.shown.size(), 1u);
    EXPECT_EQ(ui_.shown[0].caption, "Invalid data type for 'Weird'");
}

TEST(MouseActionTest, Texts) {
    EXPECT_STREQ(MouseActionText(maDragImage), "Drag Image");
    EXPECT_STREQ(MouseActionText(maNextPagePlus1), "Next Page + 1");
    EXPECT_STREQ(MouseActionText(maNone), "(None)");
    EXPECT_STREQ(MouseActionText(maMouseWheelDirection), "Mouse Wheel Direction");
    EXPECT_STREQ(MouseActionText(maMinimize), "Minimize");
    EXPECT_STREQ(MouseActionText(maCycleAroundPage), "Cycle Around Page");
    EXPECT_STREQ(MouseActionText(maLoadPreviousFiles), "");
    EXPECT_STREQ(MouseActionText(-1), "");
    EXPECT_STREQ(MouseActionText(20), "");
}

}  // namespace
}  // namespace vellicor::test
