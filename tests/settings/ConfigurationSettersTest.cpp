// Setters: exclusive display groups, write-through and the change event.
#include <functional>

#include "SettingsFixture.h"

namespace vellicor::test {
namespace {

const char* const kFlags[] = {"Fit", "FitIfOversize", "FitWidth", "FitWidthIfOversize", "FitHeight",
                              "FitHeightIfOversize", "TargetHeight", "TwoPages", "RotateLeft", "RotateRight"};
bool TSettings::*const kFields[] = {&TSettings::Fit, &TSettings::FitIfOversize, &TSettings::FitWidth,
                                    &TSettings::FitWidthIfOversize, &TSettings::FitHeight,
                                    &TSettings::FitHeightIfOversize, &TSettings::TargetHeight,
                                    &TSettings::TwoPages, &TSettings::RotateLeft, &TSettings::RotateRight};
constexpr uint32_t kFits = 0x3F, kTarget = 1u << 6, kTwo = 1u << 7, kLeft = 1u << 8, kRight = 1u << 9;
// Per flag: its setter, and the flags it switches off when it goes on.
const std::pair<void (TConfigureForm::*)(bool), uint32_t> kExclusive[] = {
    {&TConfigureForm::SetFit, (kFits & ~1u) | kTarget | kTwo},
    {&TConfigureForm::SetFitIfOversize, (kFits & ~2u) | kTarget | kTwo},
    {&TConfigureForm::SetFitWidth, (kFits & ~4u) | kTarget | kTwo},
    {&TConfigureForm::SetFitWidthIfOversize, (kFits & ~8u) | kTarget | kTwo},
    {&TConfigureForm::SetFitHeight, (kFits & ~16u) | kTarget | kTwo},
    {&TConfigureForm::SetFitHeightIfOversize, (kFits & ~32u) | kTarget | kTwo},
    {&TConfigureForm::SetTargetHeight, kFits | kTwo},
    {&TConfigureForm::SetTwoPages, kFits | kTarget | kLeft | kRight},
    {&TConfigureForm::SetRotateLeft, kTwo | kRight},
    {&TConfigureForm::SetRotateRight, kTwo | kLeft},
};

class SettersTest : public SettingsTest {
protected:
    void Watch(TConfigureForm& form) {
        form.OnConfigurationChange = [this](TConfigureForm& sender) {
            ++events_;
            EXPECT_EQ(&sender, form_);
            if (onEvent_) onEvent_(sender);
        };
        form_ = &form;
    }
    int events_ = 0;
    TConfigureForm* form_ = nullptr;
    std::function<void(TConfigureForm&)> onEvent_;
};

TEST_F(SettersTest, ExclusiveSettersClearExactlyTheirPartners) {
    // Partners on, and partners already off: written false either way.
    for (int pass = 0; pass < 20; ++pass) {
        const int flag = pass % 10;
        const bool othersOn = pass < 10;
        SCOPED_TRACE(std::string(kFlags[flag]) + (othersOn ? ", the others on" : ", the others off"));
        const auto [set, partners] = kExclusive[flag];
        for (int i = 0; i < 10; ++i) StoreInt(kFlags[i], othersOn && i != flag);  // all on (or off) but the flag itself
        TConfigureForm form;
        Watch(form);
        onEvent_ = [&](TConfigureForm& f) {  // runs after every write of the call and sees them
            const bool on = f.*kFields[flag];
            EXPECT_EQ(StoredInt(kFlags[flag]), on);
            for (int i = 0; i < 10; ++i) EXPECT_TRUE(!on || !(partners >> i & 1) || StoredInt(kFlags[i]) == 0);
        };
        events_ = 0;
        auto forgetFlags = [] { for (const char* f : kFlags) Forget(f); };  // so that every write shows
        forgetFlags();
        (form.*set)(true);  // on: the flag and every partner written, the partners false
        EXPECT_EQ(events_, 1);
        for (int i = 0; i < 10; ++i) {
            const bool partner = partners & (1u << i);
            EXPECT_EQ(form.*kFields[i], i == flag || (othersOn && !partner)) << kFlags[i];
            EXPECT_EQ(StoredInt(kFlags[i]), i == flag ? std::optional(1) : partner ? std::optional(0) : std::nullopt)
                << kFlags[i];
        }
        EXPECT_TRUE(form.SuppressFitWidthDoublePages && form.RotateScrollFunctions);  // in neither group
        forgetFlags();
        const size_t rest = ValueNames().size();
        (form.*set)(true);  // the same value again: nothing written, no event
        EXPECT_EQ(events_, 1);
        EXPECT_EQ(ValueNames().size(), rest);
        for (int i = 0; i < 10; ++i) form.*kFields[i] = true;
        (form.*set)(false);  // off: only the flag is written, the others stay as they were
        EXPECT_EQ(events_, 2);
        for (int i = 0; i < 10; ++i) EXPECT_EQ(form.*kFields[i], i != flag);
        EXPECT_EQ(StoredInt(kFlags[flag]), 0);
        EXPECT_EQ(ValueNames().size(), rest + 1);
    }
}

TEST_F(SettersTest, ComparingSetters) {
    const std::tuple<const char*, void (TConfigureForm::*)(bool), bool TSettings::*, bool> cases[] = {
        {"JapaneseMode", &TConfigureForm::SetJapaneseMode, &TSettings::JapaneseMode, true},
        {"SmallCursor", &TConfigureForm::SetSmallCursor, &TSettings::SmallCursor, true},
        {"Zooming", &TConfigureForm::SetZooming, &TSettings::Zooming, true},
        {"Balance", &TConfigureForm::SetColourBalanceOn, &TSettings::Balance, true},
        {"GammaCorrect", &TConfigureForm::SetGammaCorrectOn, &TSettings::GammaCorrect, true},
        {"FixYellowing", &TConfigureForm::SetYellowReductionOn, &TSettings::FixYellowing, true},
        {"ImageInformation", &TConfigureForm::SetImageInformation, &TSettings::ImageInformation, false},
        {"RotateScrollFunctions", &TConfigureForm::SetRotateScrollFunctions, &TSettings::RotateScrollFunctions, false},
    };
    TConfigureForm form;
    Watch(form);
    for (const auto& [name, set, field, fires] : cases) {
        const bool was = form.*field;
        events_ = 0;
        Forget(name);
        (form.*set)(was);  // same value: nothing
        EXPECT_EQ(StoredInt(name), std::nullopt) << name;
        (form.*set)(!was);
        EXPECT_EQ(form.*field, !was) << name;
        EXPECT_EQ(StoredInt(name), !was) << name;
        EXPECT_EQ(events_, fires ? 1 : 0) << name;
    }
}

TEST_F(SettersTest, PlainSettersAlwaysWriteAndNeverFire) {
    TConfigureForm f;
    Watch(f);
    const char* const names[] = {"LastDir", "RecentDirectories", "FavouriteDirectories", "LastFilterIndex",
                                 "InfoWidth", "InfoHeight", "WindowMode", "WindowMaximized", "WindowWidth",
                                 "WindowHeight", "WindowTop", "WindowLeft", "RecentPages"};
    for (const char* name : names) Forget(name);
    // Each with the value it has: written all the same.
    f.SetLastDir(f.LastDir); f.SetRecentDirs(f.RecentDirectories); f.SetFavouriteDirs(f.FavouriteDirectories);
    f.SetLastIndex(f.LastFilterIndex); f.SetInfoWidth(f.InfoWidth); f.SetInfoHeight(f.InfoHeight);
    f.SetWindowMode(f.WindowMode); f.SetWindowMaximized(f.WindowMaximized); f.SetWindowWidth(f.WindowWidth);
    f.SetWindowHeight(f.WindowHeight); f.SetWindowTop(f.WindowTop); f.SetWindowLeft(f.WindowLeft);
    f.SetLastPage(12);  // the page of the current set is kept in memory only
    EXPECT_EQ(f.LastPage, 12);
    EXPECT_EQ(ValueNames().size(), 77u);  // the twelve are back, and nothing else
    EXPECT_EQ(StoredInt("RecentPages"), std::nullopt);
    f.SetLastDir("/data/scans");
    f.SetInfoWidth(-3);
    EXPECT_EQ(StoredString("LastDir"), "/data/scans");
    EXPECT_EQ(StoredInt("InfoWidth"), -3);
    EXPECT_EQ(events_, 0);
}

TEST_F(SettersTest, HandlersAreOptionalAndMayCallSetters) {
    TConfigureForm form;
    form.SetTwoPages(true);  // no handler: still stored and written
    form.SetGammaCorrectOn(true);
    EXPECT_EQ(StoredInt("TwoPages"), 1);
    EXPECT_EQ(StoredInt("FitWidthIfOversize"), 0);
    EXPECT_EQ(StoredInt("GammaCorrect"), 1);
    Watch(form);
    onEvent_ = [&](TConfigureForm& f) {  // a reacting handler gets its own event, after the first
        if (f.TwoPages) f.SetJapaneseMode(true);
    };
    form.SetTwoPages(false);
    form.SetTwoPages(true);
    EXPECT_EQ(events_, 3);
    EXPECT_TRUE(form.JapaneseMode);
    const auto before = ValueNames();  // FullForm reveals the hidden tab, changes no setting, fires nothing
    int shown = 0;
    form.OnFullForm = [&] { ++shown; };
    form.FullForm();
    EXPECT_TRUE(form.EdgeTabVisible() && shown == 1);
    EXPECT_EQ(events_, 3);
    EXPECT_EQ(ValueNames(), before);
}

}  // namespace
}  // namespace vellicor::test
