// Setters: exclusive display groups, write-through and the change event.
#include <functional>

#include "SettingsFixture.h"

namespace vellicor::test {
namespace {

const char* const kFlags[] = {"Fit", "FitIfOversize", "FitWidth", "FitWidthIfOversize", "FitHeight",
                              "FitHeightIfOversize", "TargetHeight", "TwoPages", "RotateLeft", "RotateRight"};
constexpr int kFlagCount = 10;

bool& FlagField(TConfigureForm& f, int i) {
    bool* fields[] = {&f.Fit, &f.FitIfOversize, &f.FitWidth, &f.FitWidthIfOversize, &f.FitHeight,
                      &f.FitHeightIfOversize, &f.TargetHeight, &f.TwoPages, &f.RotateLeft, &f.RotateRight};
    return *fields[i];
}

struct ExclusiveCase {
    const char* setter;
    void (TConfigureForm::*set)(bool);
    int flag;
    uint32_t partners;  // bits of kFlags switched off when the flag goes on
};
constexpr uint32_t kFits = 0x3F, kTarget = 1u << 6, kTwo = 1u << 7, kLeft = 1u << 8, kRight = 1u << 9;
const ExclusiveCase kExclusive[] = {
    {"SetFit", &TConfigureForm::SetFit, 0, (kFits & ~1u) | kTarget | kTwo},
    {"SetFitIfOversize", &TConfigureForm::SetFitIfOversize, 1, (kFits & ~2u) | kTarget | kTwo},
    {"SetFitWidth", &TConfigureForm::SetFitWidth, 2, (kFits & ~4u) | kTarget | kTwo},
    {"SetFitWidthIfOversize", &TConfigureForm::SetFitWidthIfOversize, 3, (kFits & ~8u) | kTarget | kTwo},
    {"SetFitHeight", &TConfigureForm::SetFitHeight, 4, (kFits & ~16u) | kTarget | kTwo},
    {"SetFitHeightIfOversize", &TConfigureForm::SetFitHeightIfOversize, 5, (kFits & ~32u) | kTarget | kTwo},
    {"SetTargetHeight", &TConfigureForm::SetTargetHeight, 6, kFits | kTwo},
    {"SetTwoPages", &TConfigureForm::SetTwoPages, 7, kFits | kTarget | kLeft | kRight},
    {"SetRotateLeft", &TConfigureForm::SetRotateLeft, 8, kTwo | kRight},
    {"SetRotateRight", &TConfigureForm::SetRotateRight, 9, kTwo | kLeft},
};

class SettersTest : public SettingsTest {
protected:
    // Removes a value behind the settings object's back, so a later write shows.
    static void Forget(const std::string& name) {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(TConfigureForm::kSettingsKey, false));
        reg.DeleteValue(name);
    }
    void Watch(TConfigureForm& form) {
        form.OnConfigurationChange = [this](TConfigureForm& sender) {
            ++events_;
            sender_ = &sender;
            if (onEvent_) onEvent_(sender);
        };
    }
    int events_ = 0;
    TConfigureForm* sender_ = nullptr;
    std::function<void(TConfigureForm&)> onEvent_;
};

TEST_F(SettersTest, SwitchingOnClearsExactlyThePartners) {
    for (const auto& c : kExclusive) {
        SCOPED_TRACE(c.setter);
        ResetRegistryStore();
        // Everything on but the flag itself; SuppressFitWidthDoublePages on as a bystander.
        for (int i = 0; i < kFlagCount; ++i) StoreInt(kFlags[i], i == c.flag ? 0 : 1);
        StoreInt("SuppressFitWidthDoublePages", 1);
        StoreInt("RotateScrollFunctions", 1);
        TConfigureForm form;
        Watch(form);
        events_ = 0;
        for (int i = 0; i < kFlagCount; ++i) Forget(kFlags[i]);

        (form.*c.set)(true);
        EXPECT_EQ(events_, 1);
        EXPECT_EQ(sender_, &form);
        for (int i = 0; i < kFlagCount; ++i) {
            SCOPED_TRACE(kFlags[i]);
            const bool partner = c.partners & (1u << i);
            if (i == c.flag) {
                EXPECT_TRUE(FlagField(form, i));
                EXPECT_EQ(StoredInt(kFlags[i]), 1);
            } else if (partner) {
                EXPECT_FALSE(FlagField(form, i));
                EXPECT_EQ(StoredInt(kFlags[i]), 0);  // written even if already off
            } else {
                EXPECT_TRUE(FlagField(form, i));
                EXPECT_EQ(StoredInt(kFlags[i]), std::nullopt);  // not touched
            }
        }
        EXPECT_TRUE(form.SuppressFitWidthDoublePages);
        EXPECT_TRUE(form.RotateScrollFunctions);
    }
}

TEST_F(SettersTest, SwitchingOffWritesOnlyTheFlag) {
    for (const auto& c : kExclusive) {
        SCOPED_TRACE(c.setter);
        ResetRegistryStore();
        for (int i = 0; i < kFlagCount; ++i) StoreInt(kFlags[i], 1);
        TConfigureForm form;
        Watch(form);
        events_ = 0;
        for (int i = 0; i < kFlagCount; ++i) Forget(kFlags[i]);

        (form.*c.set)(false);
        EXPECT_EQ(events_, 1);
        for (int i = 0; i < kFlagCount; ++i) {
            SCOPED_TRACE(kFlags[i]);
            EXPECT_EQ(FlagField(form, i), i != c.flag);
            EXPECT_EQ(StoredInt(kFlags[i]), i == c.flag ? std::optional<int32_t>(0) : std::nullopt);
        }
    }
}

TEST_F(SettersTest, UnchangedValueWritesNothingAndStaysQuiet) {
    for (const auto& c : kExclusive) {
        SCOPED_TRACE(c.setter);
        ResetRegistryStore();
        StoreInt(kFlags[c.flag], 1);
        TConfigureForm form;
        Watch(form);
        events_ = 0;
        for (int i = 0; i < kFlagCount; ++i) Forget(kFlags[i]);
        const auto before = ValueNames();
        (form.*c.set)(true);
        EXPECT_EQ(events_, 0);
        EXPECT_EQ(ValueNames(), before);
    }
}

TEST_F(SettersTest, FitOnWithFitWidthIfOversizeAndTwoPages) {
    StoreInt("TwoPages", 1);
    StoreInt("RotateLeft", 1);
    TConfigureForm form;
    ASSERT_TRUE(form.FitWidthIfOversize);
    Watch(form);
    // The handler runs after every write and sees the new values.
    onEvent_ = [](TConfigureForm& f) {
        EXPECT_TRUE(f.Fit);
        EXPECT_FALSE(f.FitWidthIfOversize);
        EXPECT_FALSE(f.TwoPages);
        EXPECT_EQ(StoredInt("Fit"), 1);
        EXPECT_EQ(StoredInt("TwoPages"), 0);
    };
    form.SetFit(true);
    EXPECT_EQ(events_, 1);
    onEvent_ = nullptr;
    EXPECT_TRUE(form.RotateLeft);  // rotations are not part of the fitting group
    // Turning a rotation on clears two pages and the other rotation only.
    form.SetTwoPages(true);
    EXPECT_FALSE(form.Fit);
    EXPECT_FALSE(form.RotateLeft);
    form.SetRotateRight(true);
    EXPECT_FALSE(form.TwoPages);
    EXPECT_TRUE(form.RotateRight);
    form.SetRotateLeft(true);
    EXPECT_FALSE(form.RotateRight);
    EXPECT_EQ(events_, 4);
}

struct SimpleCase {
    const char* name;
    void (TConfigureForm::*set)(bool);
    bool TSettings::*field;
    bool fires;
};
const SimpleCase kSimple[] = {
    {"JapaneseMode", &TConfigureForm::SetJapaneseMode, &TSettings::JapaneseMode, true},
    {"SmallCursor", &TConfigureForm::SetSmallCursor, &TSettings::SmallCursor, true},
    {"Zooming", &TConfigureForm::SetZooming, &TSettings::Zooming, true},
    {"Balance", &TConfigureForm::SetColourBalanceOn, &TSettings::Balance, true},
    {"GammaCorrect", &TConfigureForm::SetGammaCorrectOn, &TSettings::GammaCorrect, true},
    {"FixYellowing", &TConfigureForm::SetYellowReductionOn, &TSettings::FixYellowing, true},
    {"ImageInformation", &TConfigureForm::SetImageInformation, &TSettings::ImageInformation, false},
    {"RotateScrollFunctions", &TConfigureForm::SetRotateScrollFunctions, &TSettings::RotateScrollFunctions, false},
};

TEST_F(SettersTest, ComparingSetters) {
    TConfigureForm form;
    Watch(form);
    for (const auto& c : kSimple) {
        SCOPED_TRACE(c.name);
        const bool was = form.*c.field;
        events_ = 0;
        Forget(c.name);
        (form.*c.set)(was);  // same value: nothing
        EXPECT_EQ(StoredInt(c.name), std::nullopt);
        EXPECT_EQ(events_, 0);
        (form.*c.set)(!was);
        EXPECT_EQ(form.*c.field, !was);
        EXPECT_EQ(StoredInt(c.name), was ? 0 : 1);
        EXPECT_EQ(events_, c.fires ? 1 : 0);
    }
}

TEST_F(SettersTest, PlainSettersAlwaysWriteAndNeverFire) {
    TConfigureForm form;
    Watch(form);
    const std::pair<const char*, std::function<void()>> calls[] = {
        {"LastDir", [&] { form.SetLastDir(form.LastDir); }},
        {"RecentDirectories", [&] { form.SetRecentDirs(form.RecentDirectories); }},
        {"FavouriteDirectories", [&] { form.SetFavouriteDirs(form.FavouriteDirectories); }},
        {"LastFilterIndex", [&] { form.SetLastIndex(form.LastFilterIndex); }},
        {"InfoWidth", [&] { form.SetInfoWidth(form.InfoWidth); }},
        {"InfoHeight", [&] { form.SetInfoHeight(form.InfoHeight); }},
        {"WindowMode", [&] { form.SetWindowMode(form.WindowMode); }},
        {"WindowMaximized", [&] { form.SetWindowMaximized(form.WindowMaximized); }},
        {"WindowWidth", [&] { form.SetWindowWidth(form.WindowWidth); }},
        {"WindowHeight", [&] { form.SetWindowHeight(form.WindowHeight); }},
        {"WindowTop", [&] { form.SetWindowTop(form.WindowTop); }},
        {"WindowLeft", [&] { form.SetWindowLeft(form.WindowLeft); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        Forget(name);
        call();  // the same value is written again
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(TConfigureForm::kSettingsKey, false));
        EXPECT_TRUE(reg.ValueExists(name));
    }
    form.SetLastDir("/data/scans");
    form.SetFavouriteDirs("/a,/b");
    form.SetInfoWidth(-3);
    form.SetWindowMode(true);
    EXPECT_EQ(StoredString("LastDir"), "/data/scans");
    EXPECT_EQ(StoredString("FavouriteDirectories"), "/a,/b");
    EXPECT_EQ(StoredInt("InfoWidth"), -3);
    EXPECT_EQ(StoredInt("WindowMode"), 1);
    EXPECT_EQ(events_, 0);

    // The page of the current set is kept in memory only.
    Forget("RecentPages");
    form.SetLastPage(12);
    EXPECT_EQ(form.LastPage, 12);
    EXPECT_EQ(StoredInt("RecentPages"), std::nullopt);
}

TEST_F(SettersTest, WithoutAHandlerSettersStillStoreAndWrite) {
    TConfigureForm form;
    form.SetTwoPages(true);
    form.SetGammaCorrectOn(true);
    EXPECT_TRUE(form.TwoPages);
    EXPECT_FALSE(form.FitWidthIfOversize);
    EXPECT_EQ(StoredInt("TwoPages"), 1);
    EXPECT_EQ(StoredInt("FitWidthIfOversize"), 0);
    EXPECT_EQ(StoredInt("GammaCorrect"), 1);
}

TEST_F(SettersTest, HandlerMayCallSetters) {
    TConfigureForm form;
    Watch(form);
    // A handler that reacts with another setter gets its own event, after the first.
    onEvent_ = [&](TConfigureForm& f) {
        if (f.TwoPages) f.SetJapaneseMode(true);
    };
    form.SetTwoPages(true);
    EXPECT_EQ(events_, 2);
    EXPECT_TRUE(form.JapaneseMode);
}

TEST_F(SettersTest, FullFormRevealsTheEdgeTabOnly) {
    TConfigureForm form;
    Watch(form);
    int shown = 0;
    form.OnFullForm = [&] { ++shown; };
    EXPECT_FALSE(form.EdgeTabVisible());
    const auto before = ValueNames();
    form.FullForm();
    EXPECT_TRUE(form.EdgeTabVisible());
    form.FullForm();
    EXPECT_TRUE(form.EdgeTabVisible());
    EXPECT_EQ(shown, 2);
    EXPECT_EQ(events_, 0);
    EXPECT_EQ(ValueNames(), before);
}

}  // namespace
}  // namespace vellicor::test
