// The configuration dialog's write-back into the settings: what is written, what counts as
// a change, and how often the store is rewritten.
#include "SettingsFixture.h"

namespace vellicor::test {
namespace {

class FormEntriesTest : public SettingsTest {
protected:
    void SetUp() override {
        registry_testing::SetBeforeRenameHook([this] {
            ++rewrites_;
            return true;
        });
    }
    void TearDown() override {
        registry_testing::SetBeforeRenameHook(nullptr);
        SettingsTest::TearDown();
    }
    static TSettings Copy(const TConfigureForm& f) { return f; }
    int rewrites_ = 0;
};

// Every value the dialog edits, with whether a change of it changes what is shown.
struct Edit {
    const char* name;
    bool TSettings::*b;
    int32_t TSettings::*i;
    bool counts;
};
constexpr Edit EB(const char* n, bool TSettings::*f, bool counts = true) { return {n, f, nullptr, counts}; }
constexpr Edit EI(const char* n, int32_t TSettings::*f, bool counts = true) { return {n, nullptr, f, counts}; }
const Edit kEdits[] = {
    EB("Fit", &TSettings::Fit),
    EB("FitIfOversize", &TSettings::FitIfOversize),
    EB("FitWidth", &TSettings::FitWidth),
    EB("FitWidthIfOversize", &TSettings::FitWidthIfOversize),
    EB("SuppressFitWidthDoublePages", &TSettings::SuppressFitWidthDoublePages),
    EB("FitHeight", &TSettings::FitHeight),
    EB("FitHeightIfOversize", &TSettings::FitHeightIfOversize),
    EB("TwoPages", &TSettings::TwoPages),
    EB("RotateLeft", &TSettings::RotateLeft),
    EB("RotateRight", &TSettings::RotateRight),
    EB("RotateScrollFunctions", &TSettings::RotateScrollFunctions),
    EI("Background", &TSettings::Background),
    EB("ImageInformation", &TSettings::ImageInformation),
    EB("DisplayInfoFiles", &TSettings::DisplayInfoFiles, false),
    EB("JapaneseMode", &TSettings::JapaneseMode),
    EB("SmallCursor", &TSettings::SmallCursor),
    EB("StdFileOpenDlg", &TSettings::StdFileOpenDlg, false),
    EB("GenerateThumbsInBackground", &TSettings::GenerateThumbsInBackground, false),
    EI("PageBufferSize", &TSettings::PageBufferSize),
    EI("FileBufferSize", &TSettings::FileBufferSize),
    EB("PageInTwos", &TSettings::PageInTwos, false),
    EB("PageBackInTwos", &TSettings::PageBackInTwos, false),
    EB("StripLastDirInHistoryList", &TSettings::StripLastDirInHistoryList, false),
    EB("AlternateArrowKeyFunctions", &TSettings::AlternateArrowKeyFunctions, false),
    EB("Zooming", &TSettings::Zooming),
    EI("CursorMove", &TSettings::CursorMove, false),
    EI("MouseWheel", &TSettings::MouseWheel, false),
    EI("LeftClick1", &TSettings::LeftClick1, false),
    EI("LeftClick2", &TSettings::LeftClick2, false),
    EI("LeftClick3", &TSettings::LeftClick3, false),
    EI("MiddleClick1", &TSettings::MiddleClick1, false),
    EI("MiddleClick2", &TSettings::MiddleClick2, false),
    EI("MiddleClick3", &TSettings::MiddleClick3, false),
    EI("RightClick1", &TSettings::RightClick1, false),
    EI("RightClick2", &TSettings::RightClick2, false),
    EI("RightClick3", &TSettings::RightClick3, false),
    EB("Balance", &TSettings::Balance),
    EI("DiscardsPer1000", &TSettings::DiscardsPer1000),
    EB("GammaCorrect", &TSettings::GammaCorrect),
    EI("GammaCorrection", &TSettings::GammaCorrection),
    EB("FixYellowing", &TSettings::FixYellowing),
    EI("YellowingRedThreshold", &TSettings::YellowingRedThreshold),
    EI("YellowingGreenThreshold", &TSettings::YellowingGreenThreshold),
    EI("YellowingBlueThreshold", &TSettings::YellowingBlueThreshold),
    EI("YellowingRedBoost", &TSettings::YellowingRedBoost),
    EI("YellowingGreenBoost", &TSettings::YellowingGreenBoost),
    EI("YellowingBlueBoost", &TSettings::YellowingBlueBoost),
    EB("FixEdgeYellowing", &TSettings::FixEdgeYellowing),
    EI("EdgeYellowingRedThreshold", &TSettings::EdgeYellowingRedThreshold),
    EI("EdgeYellowingGreenThreshold", &TSettings::EdgeYellowingGreenThreshold),
    EI("EdgeYellowingBlueThreshold", &TSettings::EdgeYellowingBlueThreshold),
    EI("EdgeYellowingRedBoost", &TSettings::EdgeYellowingRedBoost),
    EI("EdgeYellowingGreenBoost", &TSettings::EdgeYellowingGreenBoost),
    EI("EdgeYellowingBlueBoost", &TSettings::EdgeYellowingBlueBoost),
    EB("FixInternalYellowing", &TSettings::FixInternalYellowing),
};

TEST_F(FormEntriesTest, EachValueIsWrittenAloneAndCountsAsItShould) {
    TConfigureForm form;
    for (const Edit& e : kEdits) {
        SCOPED_TRACE(e.name);
        TSettings entries = Copy(form);
        int32_t expect = 0;
        if (e.b) expect = (entries.*e.b = !(entries.*e.b));
        else expect = (entries.*e.i += 3);
        {
            TRegistryBatch batch;
            for (const Edit& other : kEdits) Forget(other.name);  // every write shows
        }
        rewrites_ = 0;
        EXPECT_EQ(form.GetFormEntries(entries, false), e.counts);
        EXPECT_EQ(rewrites_, 1);
        EXPECT_EQ(StoredInt(e.name), expect);
        if (e.b) {
            EXPECT_EQ(form.*e.b, expect != 0);
        } else {
            EXPECT_EQ(form.*e.i, expect);
        }
        for (const Edit& other : kEdits)
            EXPECT_EQ(StoredInt(other.name).has_value(), &other == &e) << other.name;
        // Put the store back as it was for the next value.
        TSettings now = Copy(form);
        TRegistryBatch batch;
        for (const Edit& other : kEdits) StoreInt(other.name, other.b ? int32_t(now.*other.b) : now.*other.i);
    }
}

TEST_F(FormEntriesTest, NothingEditedWritesNothingAndManyEditsOneRewrite) {
    TConfigureForm form;
    bool fired = false;
    form.OnConfigurationChange = [&](TConfigureForm&) { fired = true; };
    Forget("TargetHeight");
    rewrites_ = 0;
    EXPECT_FALSE(form.GetFormEntries(Copy(form), false));
    EXPECT_EQ(rewrites_, 0);
    TSettings entries = Copy(form);
    entries.Fit = true;
    entries.GammaCorrection = 150;
    entries.TargetHeightVal = 900;  // the box and its height are written together
    entries.LeftClick1 = maNextPage;
    EXPECT_TRUE(form.GetFormEntries(entries, true));
    EXPECT_EQ(rewrites_, 1);
    EXPECT_FALSE(fired);  // the caller fires; the write-back never does
    EXPECT_EQ(StoredInt("TargetHeight"), 0);
    EXPECT_EQ(StoredInt("TargetHeightVal"), 900);
    EXPECT_EQ(StoredInt("DisableHints"), 1);
}

TEST_F(FormEntriesTest, DisableHintsFollowsTheApplicationSwitch) {
    TConfigureForm form;
    std::vector<bool> hook;
    SetShowHintHook([&](bool show) { hook.push_back(show); });
    hook.clear();
    EXPECT_FALSE(form.GetFormEntries(Copy(form), true));  // stored but no change of the display
    EXPECT_FALSE(ApplicationShowHint());
    EXPECT_EQ(StoredInt("DisableHints"), 1);
    EXPECT_EQ(hook, std::vector<bool>{false});
    form.GetFormEntries(Copy(form), false);
    EXPECT_TRUE(ApplicationShowHint());
    EXPECT_EQ(StoredInt("DisableHints"), 0);
}

TEST_F(FormEntriesTest, InfoFontAndColourAreWrittenWhenChosenAndAfterADefault) {
    StoreString("InfoFontName", "Serif");
    StoreInt("InfoFontSize", 14);
    StoreInt("InfoFontStyle", fsBold);
    StoreInt("InfoBackgroundColour", 0x123456);
    TConfigureForm form;

    // The font button writes all six values, even when nothing was changed.
    for (const char* v : {"InfoFontCharset", "InfoFontColour", "InfoFontSize", "InfoFontName", "InfoFontPitch",
                          "InfoFontStyle"})
        Forget(v);
    form.SetInfoFont(form.InfoFont);
    for (const char* v : {"InfoFontCharset", "InfoFontColour", "InfoFontSize", "InfoFontPitch", "InfoFontStyle"})
        EXPECT_TRUE(StoredInt(v)) << v;
    EXPECT_EQ(StoredString("InfoFontName"), "Serif");

    form.SetInfoBackgroundColour(0x00FF00);
    EXPECT_EQ(StoredInt("InfoBackgroundColour"), 0x00FF00);

    // Default resets both in memory only; a later OK or Apply makes it last.
    form.ResetInfoFontAndColour();
    EXPECT_EQ(form.InfoFont, TFontDesc{});
    EXPECT_EQ(form.InfoBackgroundColour, clWindow);
    EXPECT_EQ(StoredString("InfoFontName"), "Serif");
    EXPECT_FALSE(form.GetFormEntries(Copy(form), false));
    EXPECT_EQ(StoredString("InfoFontName"), "Courier");
    EXPECT_EQ(StoredInt("InfoFontSize"), 10);
    EXPECT_EQ(StoredInt("InfoFontStyle"), 0);
    EXPECT_EQ(StoredInt("InfoBackgroundColour"), static_cast<int32_t>(clWindow));
    rewrites_ = 0;
    form.GetFormEntries(Copy(form), false);  // now in step: nothing more
    EXPECT_EQ(rewrites_, 0);
}

}  // namespace
}  // namespace vellicor::test
