// The configuration dialog on Qt's offscreen platform: layout, exchange with the settings,
// check-box rules, keys, OK, Apply, Cancel and Default, and its opening from the reader.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFontDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <functional>
#include <memory>

#include "QtTestApp.h"
#include "pages/ProcessFiles.h"
#include "platform/DynLib.h"
#include "platform/Registry.h"
#include "settings/Configuration.h"
#include "support/ScopedConfigDir.h"
#include "support/TempDir.h"
#include "support/TestImages.h"
#include "viewer/ConfigureDlg.h"
#include "viewer/Help.h"
#include "viewer/MainWindow.h"

using namespace vellicor;

namespace {

// Answers the font and colour dialogs as a user would.
class ScriptedConfigureDlg : public TConfigureDlg {
public:
    using TConfigureDlg::TConfigureDlg;
    std::function<bool(TFontDesc&)> font = [](TFontDesc&) { return false; };
    std::function<bool(TColor&)> colour = [](TColor&) { return false; };

protected:
    bool RunInfoFontDialog(TFontDesc& f) override { return font(f); }
    bool RunInfoColourDialog(TColor& c) override { return colour(c); }
};

class ConfigureDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::App();
        registry_testing::SetBeforeRenameHook([this] {
            ++rewrites;
            return true;
        });
    }
    void TearDown() override {
        dlg.reset();
        config.reset();
        registry_testing::SetBeforeRenameHook(nullptr);
        SetHelpContextHandler(nullptr);
        SetApplicationShowHint(true);
    }
    // The settings (with whatever the store holds) and the dialog, shown and loaded.
    void Open() {
        config = std::make_unique<TConfigureForm>();
        config->OnConfigurationChange = [this](TConfigureForm&) { ++events; };
        dlg = std::make_unique<ScriptedConfigureDlg>(*config);
        dlg->show();
        rewrites = 0;
    }
    static void Store(const char* name, int32_t v) {
        TRegistry r;
        ASSERT_TRUE(r.OpenKey(TConfigureForm::kSettingsKey, true) && r.WriteInteger(name, v));
    }
    static std::optional<int32_t> Stored(const char* name) {
        TRegistry r;
        r.OpenKey(TConfigureForm::kSettingsKey, false);
        return r.ReadInteger(name);
    }
    // A key as the user types it: to the control that has the focus.
    void Key(int qtKey, Qt::KeyboardModifiers m = Qt::NoModifier) {
        QWidget* to = dlg->focusWidget() ? dlg->focusWidget() : dlg.get();
        QKeyEvent e(QEvent::KeyPress, qtKey, m);
        QApplication::sendEvent(to, &e);
    }
    std::vector<QCheckBox*> Boxes() const {
        auto l = dlg->findChildren<QCheckBox*>();
        return {l.begin(), l.end()};
    }

    test::ScopedConfigDir cfg;
    std::unique_ptr<TConfigureForm> config;
    std::unique_ptr<ScriptedConfigureDlg> dlg;
    int rewrites = 0, events = 0;
};

std::vector<int> Codes(const QComboBox* c) {
    std::vector<int> v;
    for (int i = 0; i < c->count(); ++i) {
        v.push_back(c->itemData(i).toInt());
        EXPECT_EQ(c->itemText(i).toStdString(), MouseActionText(v.back()));
    }
    return v;
}

TEST_F(ConfigureDlgTest, FormTabsButtonsAndLists) {
    Open();
    EXPECT_EQ(dlg->windowTitle(), "Configure");
    EXPECT_EQ(dlg->size(), QSize(688, 355));
    EXPECT_FALSE(dlg->isModal());
    EXPECT_TRUE(dlg->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(dlg->PageControl->tabPosition(), QTabWidget::South);
    const char* tabs[] = {"Image Sizing Options", "Colour Balance",        "Yellow Reduction",
                          "Program Settings",     "Edge Yellow Reduction", "Mouse Control"};
    ASSERT_EQ(dlg->PageControl->count(), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(dlg->PageControl->tabText(i), tabs[i]);
        EXPECT_EQ(dlg->PageControl->isTabVisible(i), i != 4) << tabs[i];
    }
    // Left to right Apply, Default, Help, Cancel, "OK "; the tab order runs from OK leftwards.
    QPushButton* order[] = {dlg->ApplyButton, dlg->DefaultButton, dlg->HelpButton, dlg->CancelButton, dlg->OKButton};
    const char* captions[] = {"Apply", "Default", "Help", "Cancel", "OK "};
    const char* hints[] = {"Apply changes", "Reset values to default", "Display help", "Cancel changes", "Ok"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(order[i]->text(), captions[i]);
        EXPECT_EQ(order[i]->toolTip(), hints[i]);
        EXPECT_FALSE(order[i]->autoDefault());
        if (i > 0) {
            EXPECT_LT(order[i - 1]->geometry().right(), order[i]->geometry().left());
        }
        if (i < 4) {
            EXPECT_EQ(order[i + 1]->nextInFocusChain(), order[i]);
        }
    }
    QWidget* next = dlg->ApplyButton->nextInFocusChain();
    while (!(next->focusPolicy() & Qt::TabFocus)) next = next->nextInFocusChain();
    EXPECT_TRUE(next == dlg->PageControl || dlg->PageControl->isAncestorOf(next));
    // Controls lie inside the dialog and do not overlap their neighbours on the same tab.
    auto rect = [&](QWidget* w) { return QRect(w->mapTo(dlg.get(), QPoint(0, 0)), w->size()); };
    for (QWidget* tab : {dlg->ImageSizingTab, dlg->ProgramSettingsTab, dlg->MouseControlTab}) {
        dlg->PageControl->setCurrentWidget(tab);
        QApplication::processEvents();
        std::vector<QWidget*> ws;
        for (QWidget* w : tab->findChildren<QWidget*>())
            if (w->isVisible() && (qobject_cast<QCheckBox*>(w) || qobject_cast<QComboBox*>(w))) ws.push_back(w);
        for (QWidget* a : ws) {
            EXPECT_TRUE(dlg->rect().contains(rect(a)));
            EXPECT_GE(a->width(), a->sizeHint().width());  // not clipped
            for (QWidget* b : ws) EXPECT_TRUE(a == b || !rect(a).intersects(rect(b)));
        }
    }

    // Once revealed, the sixth tab fits in the row with the others.
    dlg->FullForm();
    EXPECT_LE(dlg->PageControl->tabBar()->sizeHint().width(), dlg->width());

    const std::vector<int> leftSingle = {0, 1, 2, 3, 4, 6, 7, 10, 11, 12, 13, 14, 15, 16, 5};
    const std::vector<int> otherSingle = {0, 1, 2, 3, 4, 6, 7, 9, 10, 11, 12, 13, 14, 15, 16, 5};
    const std::vector<int> leftMulti = {1, 2, 3, 4, 10, 11, 12, 13, 14, 15, 16, 5};
    const std::vector<int> otherMulti = {1, 2, 3, 4, 9, 10, 11, 12, 13, 14, 15, 16, 5};
    const std::pair<QComboBox*, std::vector<int>> lists[] = {
        {dlg->CursorMoveComboBox, {6, 8, 5}},          {dlg->MouseWheelComboBox, {17, 18, 5}},
        {dlg->LeftSingleClickComboBox, leftSingle},    {dlg->MiddleSingleClickComboBox, otherSingle},
        {dlg->RightSingleClickComboBox, otherSingle},  {dlg->LeftDoubleClickComboBox, leftMulti},
        {dlg->LeftTrebleClickComboBox, leftMulti},     {dlg->MiddleDoubleClickComboBox, otherMulti},
        {dlg->MiddleTrebleClickComboBox, otherMulti},  {dlg->RightDoubleClickComboBox, otherMulti},
        {dlg->RightTrebleClickComboBox, otherMulti},
    };
    for (const auto& [combo, codes] : lists) EXPECT_EQ(Codes(combo), codes);
    EXPECT_EQ(dlg->RightTrebleClickComboBox->toolTip(),
              "Set up right mouse button treble click action.  Note that some options are only available on single "
              "click.");
    ASSERT_EQ(dlg->BackgroundComboBox->count(), 5);
    EXPECT_EQ(dlg->BackgroundComboBox->itemText(3), "Gray");
    EXPECT_FALSE(dlg->BackgroundComboBox->isEditable());

    // Ranges; the buffer sizes are changed with the arrows only; the red boost is not offered.
    struct Range {
        QSpinBox* s;
        int lo, hi;
    } ranges[] = {{dlg->TargetHeightSpinEdit, 1, 4096}, {dlg->DiscardsPer1000SpinEdit, 0, 1000},
                  {dlg->GreenThresholdSpinEdit, 0, 255},  {dlg->BlueSettingSpinEdit, 0, 255},
                  {dlg->PageBufferSpinEdit, 0, 8},        {dlg->FileBufferSpinEdit, 0, 100}};
    for (const auto& r : ranges) {
        EXPECT_EQ(r.s->minimum(), r.lo);
        EXPECT_EQ(r.s->maximum(), r.hi);
    }
    EXPECT_EQ(dlg->GammaCorrectionTrackBar->minimum(), 1);
    EXPECT_EQ(dlg->GammaCorrectionTrackBar->maximum(), 700);
    EXPECT_EQ(dlg->GammaCorrectionTrackBar->tickInterval(), 100);
    EXPECT_TRUE(dlg->PageBufferSpinEdit->findChild<QLineEdit*>()->isReadOnly());
    EXPECT_FALSE(dlg->TargetHeightSpinEdit->findChild<QLineEdit*>()->isReadOnly());
    dlg->PageControl->setCurrentWidget(dlg->YellowReductionTab);
    EXPECT_FALSE(dlg->RedBoostSpinEdit->isVisible());
    EXPECT_FALSE(dlg->RedBoostLabel->isVisible());
    EXPECT_TRUE(dlg->GreenBoostSpinEdit->isVisible());
    EXPECT_EQ(dlg->EdgeYellowCheckBox->focusPolicy(), Qt::ClickFocus);
}

// Every control against its setting (the stored names are the settings tests' business):
// activation shows the setting, Apply takes the edit, and a restart shows what was confirmed.
TEST_F(ConfigureDlgTest, EveryControlRoundTripsItsSetting) {
    Open();
    using D = TConfigureDlg;
    using S = TSettings;
    const std::pair<QCheckBox* D::*, bool S::*> bools[] = {
        {&D::SuppressDoubleCheckBox, &S::SuppressFitWidthDoublePages},
        {&D::RotateScrollFunctionsCheckBox, &S::RotateScrollFunctions},
        {&D::ColourBalanceCheckBox, &S::Balance},                      {&D::GammaCorrectionCheckBox, &S::GammaCorrect},
        {&D::YellowReductionCheckBox, &S::FixYellowing},
        {&D::ImageInformationCheckBox, &S::ImageInformation},
        {&D::ZoomingCheckBox, &S::Zooming},                            {&D::StdFileOpenDlgCheckBox, &S::StdFileOpenDlg},
        {&D::PageInTwosCheckBox, &S::PageInTwos},                      {&D::PageBackInTwosCheckBox, &S::PageBackInTwos},
        {&D::StripLastDirCheckBox, &S::StripLastDirInHistoryList},
        {&D::AlternateArrowsCheckBox, &S::AlternateArrowKeyFunctions},
        {&D::DisplayInfoCheckBox, &S::DisplayInfoFiles},               {&D::JapaneseModeCheckBox, &S::JapaneseMode},
        {&D::SmallCursorCheckBox, &S::SmallCursor},
        {&D::BackgroundThumbsCheckBox, &S::GenerateThumbsInBackground},
        {&D::EdgeYellowCheckBox, &S::FixEdgeYellowing},
        {&D::InternalYellowCheckBox, &S::FixInternalYellowing},
        {&D::FitCheckBox, &S::Fit},                                    {&D::FitIfOversizeCheckBox, &S::FitIfOversize},
        {&D::FitWidthCheckBox, &S::FitWidth},
        {&D::FitWidthIfOversizeCheckBox, &S::FitWidthIfOversize},
        {&D::FitHeightCheckBox, &S::FitHeight},
        {&D::FitHeightIfOversizeCheckBox, &S::FitHeightIfOversize},
        {&D::TargetHeightCheckBox, &S::TargetHeight},                  {&D::TwoPagesCheckBox, &S::TwoPages},
        {&D::RotateLeftCheckBox, &S::RotateLeft},                      {&D::RotateRightCheckBox, &S::RotateRight},
    };
    for (auto [box, field] : bools) {
        SCOPED_TRACE((dlg.get()->*box)->text().toStdString());
        for (bool v : {true, false}) {
            TSettings& s = *config;
            for (auto f : {&S::Fit, &S::FitIfOversize, &S::FitWidth, &S::FitWidthIfOversize, &S::FitHeight,
                           &S::FitHeightIfOversize, &S::TargetHeight, &S::TwoPages, &S::RotateLeft, &S::RotateRight})
                s.*f = false;  // so that no rule takes part
            s.*field = !v;
            dlg->FormActivate();
            EXPECT_EQ((dlg.get()->*box)->isChecked(), !v);
            (dlg.get()->*box)->setChecked(v);
            dlg->ApplyButtonClick();
            EXPECT_EQ(config.get()->*field, v);
        }
    }
    const std::tuple<QSpinBox* D::*, int32_t S::*, int> ints[] = {
        {&D::TargetHeightSpinEdit, &S::TargetHeightVal, 4096},
        {&D::DiscardsPer1000SpinEdit, &S::DiscardsPer1000, 1000},
        {&D::RedThresholdSpinEdit, &S::YellowingRedThreshold, 1},
        {&D::GreenThresholdSpinEdit, &S::YellowingGreenThreshold, 2},
        {&D::BlueThresholdSpinEdit, &S::YellowingBlueThreshold, 3}, {&D::RedBoostSpinEdit, &S::YellowingRedBoost, 4},
        {&D::GreenBoostSpinEdit, &S::YellowingGreenBoost, 5},      {&D::BlueBoostSpinEdit, &S::YellowingBlueBoost, 6},
        {&D::EdgeRedThresholdSpinEdit, &S::EdgeYellowingRedThreshold, 7},
        {&D::EdgeGreenThresholdSpinEdit, &S::EdgeYellowingGreenThreshold, 8},
        {&D::EdgeBlueThresholdSpinEdit, &S::EdgeYellowingBlueThreshold, 9},
        {&D::RedSettingSpinEdit, &S::EdgeYellowingRedBoost, 10},
        {&D::GreenSettingSpinEdit, &S::EdgeYellowingGreenBoost, 11},
        {&D::BlueSettingSpinEdit, &S::EdgeYellowingBlueBoost, 12}, {&D::PageBufferSpinEdit, &S::PageBufferSize, 8},
        {&D::FileBufferSpinEdit, &S::FileBufferSize, 30},
    };
    const std::tuple<QComboBox* D::*, int32_t S::*, int> combos[] = {
        {&D::CursorMoveComboBox, &S::CursorMove, 8},           {&D::MouseWheelComboBox, &S::MouseWheel, 18},
        {&D::LeftSingleClickComboBox, &S::LeftClick1, 16},     {&D::LeftDoubleClickComboBox, &S::LeftClick2, 1},
        {&D::LeftTrebleClickComboBox, &S::LeftClick3, 2},      {&D::MiddleSingleClickComboBox, &S::MiddleClick1, 9},
        {&D::MiddleDoubleClickComboBox, &S::MiddleClick2, 10}, {&D::MiddleTrebleClickComboBox, &S::MiddleClick3, 11},
        {&D::RightSingleClickComboBox, &S::RightClick1, 12},   {&D::RightDoubleClickComboBox, &S::RightClick2, 13},
        {&D::RightTrebleClickComboBox, &S::RightClick3, 14},
    };
    dlg->FormActivate();
    for (auto [spin, field, v] : ints) {
        EXPECT_EQ((dlg.get()->*spin)->value(), config.get()->*field);
        (dlg.get()->*spin)->setValue(v);
    }
    for (auto [combo, field, code] : combos) {
        EXPECT_EQ((dlg.get()->*combo)->currentData().toInt(), config.get()->*field);
        (dlg.get()->*combo)->setCurrentIndex((dlg.get()->*combo)->findData(code));
    }
    EXPECT_EQ(dlg->GammaCorrectionTrackBar->value(), 220);
    dlg->GammaCorrectionTrackBar->setValue(150);
    dlg->BackgroundComboBox->setCurrentIndex(4);
    dlg->OKButtonClick();
    EXPECT_FALSE(dlg->isVisible());
    for (auto [spin, field, v] : ints) EXPECT_EQ(config.get()->*field, v);
    for (auto [combo, field, code] : combos) EXPECT_EQ(config.get()->*field, code);
    EXPECT_EQ(config->GammaCorrection, 150);
    EXPECT_EQ(config->Background, 4);

    // Start again on the same store: the dialog shows what was confirmed.
    dlg.reset();
    config.reset();
    ResetRegistryStore();
    Open();
    EXPECT_EQ(dlg->GammaLabel->text(), "1.5");
    EXPECT_EQ(dlg->BackgroundComboBox->currentIndex(), 4);
    for (auto [spin, field, v] : ints) EXPECT_EQ((dlg.get()->*spin)->value(), v);
    for (auto [combo, field, code] : combos) EXPECT_EQ((dlg.get()->*combo)->currentData().toInt(), code);
}

TEST_F(ConfigureDlgTest, CheckBoxRulesClearTheirPartnersOnEveryChangeOfState) {
    Open();
    auto* d = dlg.get();
    const std::vector<QCheckBox*> fits = {d->FitCheckBox,       d->FitIfOversizeCheckBox, d->FitWidthCheckBox,
                                          d->FitWidthIfOversizeCheckBox, d->FitHeightCheckBox,
                                          d->FitHeightIfOversizeCheckBox};
    auto allOn = [&] {
        for (QCheckBox* b : Boxes()) {
            QSignalBlocker block(b);
            b->setChecked(true);
        }
    };
    auto with = [](std::vector<QCheckBox*> v, std::initializer_list<QCheckBox*> more, QCheckBox* but = nullptr) {
        v.insert(v.end(), more);
        std::erase(v, but);
        return v;
    };
    struct Case {
        QCheckBox* box;
        std::vector<QCheckBox*> cleared;
    };
    std::vector<Case> cases;
    for (QCheckBox* f : fits) cases.push_back({f, with(fits, {d->TargetHeightCheckBox, d->TwoPagesCheckBox}, f)});
    cases.push_back({d->TargetHeightCheckBox, with(fits, {d->TwoPagesCheckBox})});
    cases.push_back({d->TwoPagesCheckBox, with(fits, {d->TargetHeightCheckBox, d->RotateLeftCheckBox, d->RotateRightCheckBox})});
    cases.push_back({d->RotateLeftCheckBox, {d->TwoPagesCheckBox, d->RotateRightCheckBox}});
    cases.push_back({d->RotateRightCheckBox, {d->TwoPagesCheckBox, d->RotateLeftCheckBox}});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.box->text().toStdString());
        allOn();
        {
            QSignalBlocker block(c.box);
            c.box->setChecked(false);
        }
        c.box->click();  // by the user
        for (QCheckBox* b : Boxes()) {
            bool cleared = std::find(c.cleared.begin(), c.cleared.end(), b) != c.cleared.end();
            EXPECT_EQ(b->isChecked(), !cleared) << b->text().toStdString();
        }
        // Unchecking clears nothing more.
        allOn();
        c.box->setChecked(false);  // by program
        for (QCheckBox* b : Boxes()) EXPECT_EQ(b->isChecked(), b != c.box) << b->text().toStdString();
    }

    // The height follows its box.
    d->TargetHeightCheckBox->setChecked(false);
    d->FitCheckBox->setChecked(false);
    d->TargetHeightCheckBox->setChecked(true);
    EXPECT_TRUE(d->TargetHeightSpinEdit->isEnabled());
    d->FitCheckBox->setChecked(true);
    EXPECT_FALSE(d->TargetHeightCheckBox->isChecked());
    EXPECT_FALSE(d->TargetHeightSpinEdit->isEnabled());
}

TEST_F(ConfigureDlgTest, ActivationAppliesTheRulesInTableOrder) {
    // A combination that breaks the rules, as a store edited by hand may hold.
    Store("Fit", 1);
    Store("TwoPages", 1);
    Store("FitWidthIfOversize", 0);
    Store("TargetHeight", 1);
    Open();
    // Fit, then Set Height, then Two Pages are set in turn, each clearing the earlier ones.
    EXPECT_FALSE(dlg->FitCheckBox->isChecked());
    EXPECT_FALSE(dlg->TargetHeightCheckBox->isChecked());
    EXPECT_FALSE(dlg->TargetHeightSpinEdit->isEnabled());
    EXPECT_TRUE(dlg->TwoPagesCheckBox->isChecked());
    dlg->OKButtonClick();
    EXPECT_EQ(Stored("Fit"), 0);
    EXPECT_EQ(Stored("TargetHeight"), 0);
    EXPECT_EQ(events, 1);
}

TEST_F(ConfigureDlgTest, KeysActWhicheverControlHasTheFocus) {
    Open();
    int help = 0;
    SetHelpContextHandler([&](int context) {
        EXPECT_EQ(context, 14);
        ++help;
    });
    struct Case {
        int key;
        Qt::KeyboardModifiers mods;
        QCheckBox* TConfigureDlg::*box;
    } cases[] = {
        {Qt::Key_B, Qt::ControlModifier, &TConfigureDlg::ColourBalanceCheckBox},
        {Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier, &TConfigureDlg::SmallCursorCheckBox},
        {Qt::Key_F, Qt::ControlModifier, &TConfigureDlg::FitCheckBox},
        {Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier, &TConfigureDlg::FitIfOversizeCheckBox},
        {Qt::Key_G, Qt::ControlModifier, &TConfigureDlg::GammaCorrectionCheckBox},
        {Qt::Key_H, Qt::ControlModifier, &TConfigureDlg::FitHeightCheckBox},
        {Qt::Key_H, Qt::ControlModifier | Qt::ShiftModifier, &TConfigureDlg::FitHeightIfOversizeCheckBox},
        {Qt::Key_I, Qt::ControlModifier | Qt::AltModifier, &TConfigureDlg::ImageInformationCheckBox},
        {Qt::Key_L, Qt::ControlModifier, &TConfigureDlg::RotateLeftCheckBox},
        {Qt::Key_L, Qt::ControlModifier | Qt::ShiftModifier, &TConfigureDlg::RotateScrollFunctionsCheckBox},
        {Qt::Key_M, Qt::ControlModifier, &TConfigureDlg::JapaneseModeCheckBox},
        {Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier, &TConfigureDlg::RotateScrollFunctionsCheckBox},
        {Qt::Key_S, Qt::ControlModifier, &TConfigureDlg::TargetHeightCheckBox},
        {Qt::Key_T, Qt::ControlModifier, &TConfigureDlg::TwoPagesCheckBox},
        {Qt::Key_W, Qt::ControlModifier, &TConfigureDlg::FitWidthCheckBox},
        {Qt::Key_W, Qt::ControlModifier | Qt::ShiftModifier, &TConfigureDlg::FitWidthIfOversizeCheckBox},
        {Qt::Key_Y, Qt::ControlModifier, &TConfigureDlg::YellowReductionCheckBox},
        {Qt::Key_Z, Qt::ControlModifier, &TConfigureDlg::ZoomingCheckBox},
    };
    // With the focus on a spin edit and on a combo box of another tab.
    QWidget* focus[] = {dlg->DiscardsPer1000SpinEdit, dlg->LeftDoubleClickComboBox};
    for (QWidget* f : focus) {
        for (int i = 0; i < dlg->PageControl->count(); ++i)
            if (dlg->PageControl->widget(i)->isAncestorOf(f)) dlg->PageControl->setCurrentIndex(i);
        f->setFocus();
        ASSERT_EQ(dlg->focusWidget(), f);
        for (const auto& c : cases) {
            QCheckBox* box = dlg.get()->*c.box;
            SCOPED_TRACE(box->text().toStdString());
            bool before = box->isChecked();
            Key(c.key, c.mods);
            EXPECT_EQ(box->isChecked(), !before);
            Key(c.key, c.mods);
            EXPECT_EQ(box->isChecked(), before);
        }
    }

    // Ctrl+R with Rotate Right on turns it off; off, turns it on and clears its partners.
    dlg->RotateRightCheckBox->setChecked(true);
    Key(Qt::Key_R, Qt::ControlModifier);
    EXPECT_FALSE(dlg->RotateRightCheckBox->isChecked());
    dlg->RotateLeftCheckBox->setChecked(false);
    dlg->TwoPagesCheckBox->setChecked(true);
    dlg->RotateLeftCheckBox->setChecked(true);
    Key(Qt::Key_R, Qt::ControlModifier);
    EXPECT_TRUE(dlg->RotateRightCheckBox->isChecked());
    EXPECT_FALSE(dlg->RotateLeftCheckBox->isChecked());
    EXPECT_FALSE(dlg->TwoPagesCheckBox->isChecked());

    // Keys that do nothing here: Ctrl+J, other Ctrl letters, plain letters.
    std::vector<bool> states;
    for (QCheckBox* b : Boxes()) states.push_back(b->isChecked());
    for (auto [k, m] : {std::pair{Qt::Key_J, Qt::KeyboardModifiers(Qt::ControlModifier)},
                        {Qt::Key_A, Qt::ControlModifier}, {Qt::Key_F, Qt::NoModifier},
                        {Qt::Key_R, Qt::ShiftModifier}})
        Key(k, m);
    std::vector<bool> after;
    for (QCheckBox* b : Boxes()) after.push_back(b->isChecked());
    EXPECT_EQ(after, states);
    EXPECT_EQ(rewrites, 0);

    // F1 with any modifiers asks for help; Ctrl+Shift+Z reveals the hidden tab, once and for all.
    Key(Qt::Key_F1);
    Key(Qt::Key_F1, Qt::ShiftModifier | Qt::ControlModifier);
    EXPECT_EQ(help, 2);
    dlg->HelpButton->click();
    EXPECT_EQ(help, 3);
    EXPECT_FALSE(dlg->EdgeTabShown());
    Key(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(dlg->EdgeTabShown());
    EXPECT_TRUE(config->EdgeTabVisible());
    Key(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(dlg->EdgeTabShown());
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(events, 0);

    // Ctrl+Enter is OK: the edits are written and the change announced.
    Key(Qt::Key_Return, Qt::ControlModifier);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(events, 1);
    EXPECT_EQ(Stored("RotateRight"), 1);

    // Escape is Cancel, with the focus on the Default button (whose click would reset).
    dlg->show();
    dlg->ColourBalanceCheckBox->setChecked(!config->Balance);
    dlg->DefaultButton->setFocus();
    rewrites = 0;
    Key(Qt::Key_Escape, Qt::ShiftModifier);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(rewrites, 0);
    // Enter with the focus on the Default button is OK, not Default.
    dlg->show();
    dlg->GammaCorrectionTrackBar->setValue(333);
    dlg->DefaultButton->setFocus();
    Key(Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(config->GammaCorrection, 333);
    EXPECT_EQ(config->InfoBackgroundColour, clWindow);
}

TEST_F(ConfigureDlgTest, RevealingTheTabFromTheReaderBeforeTheDialogExists) {
    config = std::make_unique<TConfigureForm>();
    config->FullForm();  // Ctrl+Shift+Z in the main window
    dlg = std::make_unique<ScriptedConfigureDlg>(*config);
    EXPECT_TRUE(dlg->EdgeTabShown());
}

TEST_F(ConfigureDlgTest, OkApplyAndCancelWriteWhatTheyShould) {
    Open();
    // OK without edits: nothing written, no event.
    dlg->OKButtonClick();
    EXPECT_EQ(rewrites, 0);
    EXPECT_EQ(events, 0);

    // Only a setting without a display effect: written, no event.
    dlg->show();
    dlg->PageInTwosCheckBox->setChecked(true);
    dlg->OKButtonClick();
    EXPECT_EQ(Stored("PageInTwos"), 1);
    EXPECT_EQ(events, 0);

    // Apply keeps the dialog open; a second Apply without edits announces nothing.
    dlg->show();
    dlg->TargetHeightSpinEdit->setValue(777);
    rewrites = 0;
    dlg->ApplyButtonClick();
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(events, 1);
    EXPECT_EQ(rewrites, 1);
    EXPECT_EQ(Stored("TargetHeightVal"), 777);
    EXPECT_EQ(Stored("TargetHeight"), 0);
    dlg->ApplyButtonClick();
    EXPECT_EQ(events, 1);

    // Cancel drops the edits: nothing written, and the next activation shows the settings.
    dlg->FitCheckBox->setChecked(true);
    dlg->GreenThresholdSpinEdit->setValue(1);
    rewrites = 0;
    dlg->CancelButton->click();
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(rewrites, 0);
    EXPECT_FALSE(config->Fit);
    dlg->show();
    EXPECT_FALSE(dlg->FitCheckBox->isChecked());
    EXPECT_EQ(dlg->GreenThresholdSpinEdit->value(), 220);
    // The close box is Cancel too.
    dlg->FitCheckBox->setChecked(true);
    dlg->close();
    EXPECT_FALSE(config->Fit);
}

TEST_F(ConfigureDlgTest, DefaultFillsTheControlsAndResetsFontAndColourAtOnce) {
    Store("Fit", 1);
    Store("FitWidthIfOversize", 0);
    Store("Balance", 0);
    Store("GammaCorrection", 90);
    Store("Background", 3);
    Store("DisableHints", 1);
    Store("InfoBackgroundColour", 0x00FF00);
    Store("InfoFontSize", 20);
    Open();
    EXPECT_TRUE(dlg->DisableHintsCheckBox->isChecked());
    dlg->PageControl->setCurrentWidget(dlg->MouseControlTab);
    dlg->DefaultButton->click();
    EXPECT_TRUE(dlg->FitWidthIfOversizeCheckBox->isChecked());
    EXPECT_FALSE(dlg->FitCheckBox->isChecked());
    EXPECT_TRUE(dlg->ColourBalanceCheckBox->isChecked());
    EXPECT_FALSE(dlg->DisableHintsCheckBox->isChecked());
    EXPECT_FALSE(dlg->EdgeYellowCheckBox->isChecked());
    EXPECT_EQ(dlg->GammaCorrectionTrackBar->value(), 220);
    EXPECT_EQ(dlg->GammaLabel->text(), "2.2");
    EXPECT_EQ(dlg->BlueSettingSpinEdit->value(), 230);
    EXPECT_EQ(dlg->BackgroundComboBox->currentIndex(), 0);
    EXPECT_EQ(dlg->LeftTrebleClickComboBox->currentData().toInt(), maNone);
    EXPECT_EQ(dlg->PageControl->currentWidget(), dlg->MouseControlTab);  // Default does not switch tabs
    // Nothing written yet, but font and colour are already back.
    EXPECT_EQ(rewrites, 0);
    EXPECT_EQ(config->InfoFont, TFontDesc{});
    EXPECT_EQ(config->InfoBackgroundColour, clWindow);

    // Cancel: every other setting as it was.
    dlg->CancelButtonClick();
    EXPECT_TRUE(config->Fit);
    EXPECT_EQ(config->GammaCorrection, 90);
    EXPECT_FALSE(ApplicationShowHint());
    EXPECT_EQ(rewrites, 0);

    // Default and OK: the defaults are written, font and colour included.
    dlg->show();
    EXPECT_EQ(dlg->PageControl->currentWidget(), dlg->ImageSizingTab);
    dlg->DefaultButtonClick();
    dlg->OKButtonClick();
    EXPECT_EQ(events, 1);
    EXPECT_EQ(Stored("Fit"), 0);
    EXPECT_EQ(Stored("GammaCorrection"), 220);
    EXPECT_EQ(Stored("DisableHints"), 0);
    EXPECT_TRUE(ApplicationShowHint());
    EXPECT_EQ(Stored("InfoFontSize"), 10);
    EXPECT_EQ(Stored("InfoBackgroundColour"), static_cast<int32_t>(clWindow));
}

TEST_F(ConfigureDlgTest, StoredValuesTheControlsCannotShow) {
    Store("Background", 7);
    Store("LeftClick2", 0);  // not offered for double clicks
    Store("GammaCorrection", 0);
    Open();
    EXPECT_EQ(dlg->BackgroundComboBox->currentIndex(), -1);
    EXPECT_EQ(dlg->LeftDoubleClickComboBox->currentIndex(), 0);
    EXPECT_EQ(dlg->GammaCorrectionTrackBar->value(), 1);
    dlg->OKButtonClick();
    EXPECT_EQ(Stored("Background"), 7);  // kept: the user did not choose another
    EXPECT_EQ(Stored("LeftClick2"), 1);  // the list's first item
    EXPECT_EQ(Stored("GammaCorrection"), 1);
    EXPECT_EQ(events, 1);  // the gamma, not the click action
    dlg->show();
    dlg->BackgroundComboBox->setCurrentIndex(1);
    dlg->OKButtonClick();
    EXPECT_EQ(Stored("Background"), 1);
}

TEST_F(ConfigureDlgTest, NumbersInTheCLocaleWhateverTheUsersLocale) {
    QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    Open();
    EXPECT_EQ(dlg->GammaLabel->text(), "2.2");
    struct Case {
        int position;
        const char* text;
    } cases[] = {{220, "2.2"}, {100, "1"}, {5, "0.05"}, {1, "0.01"}, {333, "3.33"}, {700, "7"}};
    for (const auto& c : cases) {
        EXPECT_EQ(TConfigureDlg::GammaText(c.position), c.text);
        dlg->GammaCorrectionTrackBar->setValue(c.position);
        EXPECT_EQ(dlg->GammaLabel->text(), c.text);
    }
    dlg->TargetHeightSpinEdit->setValue(4000);
    EXPECT_EQ(dlg->TargetHeightSpinEdit->text(), "4000");
    // Typed and confirmed at once with Enter.
    dlg->TargetHeightCheckBox->setChecked(true);
    dlg->TargetHeightSpinEdit->setFocus();
    dlg->TargetHeightSpinEdit->findChild<QLineEdit*>()->setText("2500");
    Key(Qt::Key_Return);
    EXPECT_EQ(config->TargetHeightVal, 2500);
    EXPECT_TRUE(config->TargetHeight);
    QLocale::setDefault(saved);

    // Until the track bar first moves its label reads "1.00".
    config->GammaCorrection = 100;
    ScriptedConfigureDlg fresh(*config);
    EXPECT_EQ(fresh.GammaLabel->text(), "1.00");
    fresh.FormActivate();
    EXPECT_EQ(fresh.GammaLabel->text(), "1.00");
}

TEST_F(ConfigureDlgTest, ActivationReloadsAfterAChangeMadeElsewhere) {
    Open();
    dlg->PageControl->setCurrentWidget(dlg->ColourBalanceTab);
    dlg->ZoomingCheckBox->setChecked(true);  // an edit not confirmed
    config->SetFit(true);                    // Ctrl+F in the reader meanwhile
    QEvent deactivate(QEvent::WindowDeactivate);
    QApplication::sendEvent(dlg.get(), &deactivate);
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(dlg.get(), &activate);
    EXPECT_TRUE(dlg->FitCheckBox->isChecked());
    EXPECT_FALSE(dlg->FitWidthIfOversizeCheckBox->isChecked());
    EXPECT_FALSE(dlg->ZoomingCheckBox->isChecked());
    EXPECT_EQ(dlg->PageControl->currentWidget(), dlg->ImageSizingTab);
}

TEST_F(ConfigureDlgTest, FontAndColourButtons) {
    Open();
    // Cancelling the font dialog writes nothing.
    dlg->InfoFontDialogButton->click();
    EXPECT_EQ(rewrites, 0);
    // Confirming writes all six values, at once, with no event; the dialog starts on the font.
    TFontDesc seen;
    dlg->font = [&](TFontDesc& f) {
        seen = f;
        f.Name = "Monospace";
        f.Size = 12;
        f.Style = fsBold | fsStrikeOut;
        return true;
    };
    dlg->InfoFontDialogButton->click();
    EXPECT_EQ(seen, TFontDesc{});
    EXPECT_EQ(rewrites, 1);
    EXPECT_EQ(config->InfoFont.Name, "Monospace");
    EXPECT_EQ(Stored("InfoFontSize"), 12);
    EXPECT_EQ(Stored("InfoFontStyle"), fsBold | fsStrikeOut);
    EXPECT_EQ(events, 0);

    dlg->colour = [](TColor& c) {
        c = RGBColor(1, 2, 3);
        return true;
    };
    dlg->SetInfoColourButton->click();
    EXPECT_EQ(config->InfoBackgroundColour, RGBColor(1, 2, 3));
    EXPECT_EQ(Stored("InfoBackgroundColour"), static_cast<int32_t>(RGBColor(1, 2, 3)));
    EXPECT_EQ(events, 0);
    dlg->colour = [](TColor&) { return false; };
    dlg->SetInfoColourButton->click();
    EXPECT_EQ(config->InfoBackgroundColour, RGBColor(1, 2, 3));
}

// The real common dialogs, answered as soon as they show.
TEST_F(ConfigureDlgTest, CommonDialogsKeepWhatTheUserDidNotChange) {
    config = std::make_unique<TConfigureForm>();
    TConfigureDlg d(*config);
    QColor seen;
    auto colour = [&](QColor pick, bool ok) {
        QTimer::singleShot(0, [&, pick, ok] {
            seen = d.InfoColourDialog->currentColor();
            d.InfoColourDialog->setCurrentColor(pick);
            ok ? d.InfoColourDialog->accept() : d.InfoColourDialog->reject();
        });
        d.SetInfoColourButtonClick();
    };
    colour(QColor(10, 20, 30), true);
    colour(QColor(200, 0, 0), false);  // browsed, then cancelled
    EXPECT_EQ(config->InfoBackgroundColour, RGBColor(10, 20, 30));
    colour(QColor(1, 1, 1), false);
    EXPECT_EQ(seen, QColor(10, 20, 30));

    // Confirmed untouched, the font keeps its stored face even where it is not installed.
    config->InfoFont.Style = fsItalic;
    QTimer::singleShot(0, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* f = qobject_cast<QFontDialog*>(w); f && f->isVisible()) f->accept();
    });
    d.InfoFontDialogButtonClick();
    EXPECT_EQ(config->InfoFont.Name, "Courier");
    EXPECT_EQ(config->InfoFont.Size, 10);
    EXPECT_EQ(config->InfoFont.Style, fsItalic);
    EXPECT_EQ(Stored("InfoFontStyle"), fsItalic);
}

// ---- Opened from the reader ----

class ConfigureFromReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::App();
        SetModuleSearchDir(VELLICOR_MODULE_DIR);
        config = std::make_unique<TConfigureForm>();
        queue = std::make_unique<TProcessFilesForm>(*config);
        std::string page = pages.File("page.bmp");
        test::WriteBmp24(page, 300, 200, [](int, int) { return 0x808080u; });
        window = std::make_unique<MainWindow>(*config, *queue, std::vector<std::string>{page});
        window->resize(400, 300);
        window->show();
        QCoreApplication::processEvents();
        Pump();
    }
    void TearDown() override {
        window.reset();
        queue.reset();
        config.reset();
        TBufferedPage::ClearList();
    }
    void Pump() {
        for (int i = 0; i < 2000 && window->Form().IdleHandler(); ++i) {
        }
    }
    void Key(int qtKey, Qt::KeyboardModifiers m = Qt::NoModifier) {
        QKeyEvent e(QEvent::KeyPress, qtKey, m);
        QCoreApplication::sendEvent(window.get(), &e);
    }
    test::ScopedConfigDir cfg;
    test::TempDir pages;
    std::unique_ptr<TConfigureForm> config;
    std::unique_ptr<TProcessFilesForm> queue;
    std::unique_ptr<MainWindow> window;
};

TEST_F(ConfigureFromReaderTest, COpensTheDialogAndOkRedisplays) {
    ASSERT_TRUE(window->Form().Image(0).Displayed);
    EXPECT_EQ(window->findChild<TConfigureDlg*>(), nullptr);
    Key(Qt::Key_C);
    auto* dlg = window->findChild<TConfigureDlg*>();
    ASSERT_NE(dlg, nullptr);
    EXPECT_TRUE(dlg->isVisible());
    Key(Qt::Key_C);  // showing already: the same dialog, nothing else
    EXPECT_EQ(window->findChildren<TConfigureDlg*>().size(), 1u);
    const bool small = config->SmallCursor;
    Key(Qt::Key_C, Qt::ControlModifier);  // the reader takes no keys while a dialog is open
    EXPECT_EQ(config->SmallCursor, small);
    Pump();

    const int generation = window->Form().RequestGeneration;
    dlg->TwoPagesCheckBox->setChecked(true);
    dlg->GammaCorrectionTrackBar->setValue(180);
    dlg->OKButtonClick();
    EXPECT_TRUE(config->TwoPages);
    EXPECT_EQ(config->GammaCorrection, 180);
    EXPECT_GT(window->Form().RequestGeneration, generation);  // the page is asked for again
}

}  // namespace
