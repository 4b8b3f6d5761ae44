// The configuration dialog on Qt's offscreen platform: layout, exchange with the settings,
// check-box rules, keys, OK, Apply, Cancel and Default, and its opening from the reader.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
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
    for (QWidget* tab : {dlg->ImageSizingTab, dlg->ProgramSettingsTab, dlg->MouseControlTab}) {
        dlg->PageControl->setCurrentWidget(tab);
        QApplication::processEvents();
        auto ws = tab->findChildren<QWidget*>();
        for (QWidget* a : ws) {
            if (!a->isVisible() || !(qobject_cast<QCheckBox*>(a) || qobject_cast<QComboBox*>(a))) continue;
            QRect ra(a->mapTo(dlg.get(), QPoint(0, 0)), a->size());
            EXPECT_TRUE(dlg->rect().contains(ra)) << a->objectName().toStdString();
            EXPECT_GE(a->width(), a->sizeHint().width()) << "clipped: " << (qobject_cast<QCheckBox*>(a) ? qobject_cast<QCheckBox*>(a)->text().toStdString() : "combo");
            for (QWidget* b : ws) {
                if (b == a || !b->isVisible() || !(qobject_cast<QCheckBox*>(b) || qobject_cast<QComboBox*>(b))) continue;
                EXPECT_FALSE(ra.intersects(QRect(b->mapTo(dlg.get(), QPoint(0, 0)), b->size())));
            }
        }
    }

    // Once revealed, the sixth tab fits in the row with the others.
    dlg->FullForm();
    EXPECT_LE(dlg->PageControl->tabBar()->sizeHint().width(), dlg->width());

    EXPECT_EQ(Codes(dlg->CursorMoveComboBox), (std::vector<int>{6, 8, 5}));
    EXPECT_EQ(Codes(dlg->MouseWheelComboBox), (std::vector<int>{17, 18, 5}));
    EXPECT_EQ(Codes(dlg->LeftSingleClickComboBox), (std::vector<int>{0, 1, 2, 3, 4, 6, 7, 10, 11, 12, 13, 14, 15, 16, 5}));
    const std::vector<int> otherSingle = {0, 1, 2, 3, 4, 6, 7, 9, 10, 11, 12, 13, 14, 15, 16, 5};
    const std::vector<int> leftMulti = {1, 2, 3, 4, 10, 11, 12, 13, 14, 15, 16, 5};
    const std::vector<int> otherMulti = {1, 2, 3, 4, 9, 10, 11, 12, 13, 14, 15, 16, 5};
    EXPECT_EQ(Codes(dlg->MiddleSingleClickComboBox), otherSingle);
    EXPECT_EQ(Codes(dlg->RightSingleClickComboBox), otherSingle);
    EXPECT_EQ(Codes(dlg->LeftDoubleClickComboBox), leftMulti);
    EXPECT_EQ(Codes(dlg->LeftTrebleClickComboBox), leftMulti);
    for (QComboBox* c : {dlg->MiddleDoubleClickComboBox, dlg->MiddleTrebleClickComboBox, dlg->RightDoubleClickComboBox,
                         dlg->RightTrebleClickComboBox})
        EXPECT_EQ(Codes(c), otherMulti);
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

// Every control against its setting: activation shows the stored value, OK writes the edit.
TEST_F(ConfigureDlgTest, EveryControlRoundTripsItsSetting) {
    Open();
    struct BoolCase {
        QCheckBox* TConfigureDlg::*box;
        bool TSettings::*field;
        const char* name;
    } bools[] = {
        {&TConfigureDlg::SuppressDoubleCheckBox, &TSettings::SuppressFitWidthDoublePages, "SuppressFitWidthDoublePages"},
        {&TConfigureDlg::RotateScrollFunctionsCheckBox, &TSettings::RotateScrollFunctions, "RotateScrollFunctions"},
        {&TConfigureDlg::ColourBalanceCheckBox, &TSettings::Balance, "Balance"},
        {&TConfigureDlg::GammaCorrectionCheckBox, &TSettings::GammaCorrect, "GammaCorrect"},
        {&TConfigureDlg::YellowReductionCheckBox, &TSettings::FixYellowing, "FixYellowing"},
        {&TConfigureDlg::ImageInformationCheckBox, &TSettings::ImageInformation, "ImageInformation"},
        {&TConfigureDlg::ZoomingCheckBox, &TSettings::Zooming, "Zooming"},
        {&TConfigureDlg::StdFileOpenDlgCheckBox, &TSettings::StdFileOpenDlg, "StdFileOpenDlg"},
        {&TConfigureDlg::PageInTwosCheckBox, &TSettings::PageInTwos, "PageInTwos"},
        {&TConfigureDlg::PageBackInTwosCheckBox, &TSettings::PageBackInTwos, "PageBackInTwos"},
        {&TConfigureDlg::StripLastDirCheckBox, &TSettings::StripLastDirInHistoryList, "StripLastDirInHistoryList"},
        {&TConfigureDlg::AlternateArrowsCheckBox, &TSettings::AlternateArrowKeyFunctions, "AlternateArrowKeyFunctions"},
        {&TConfigureDlg::DisplayInfoCheckBox, &TSettings::DisplayInfoFiles, "DisplayInfoFiles"},
        {&TConfigureDlg::JapaneseModeCheckBox, &TSettings::JapaneseMode, "JapaneseMode"},
        {&TConfigureDlg::SmallCursorCheckBox, &TSettings::SmallCursor, "SmallCursor"},
        {&TConfigureDlg::BackgroundThumbsCheckBox, &TSettings::GenerateThumbsInBackground, "GenerateThumbsInBackground"},
        {&TConfigureDlg::EdgeYellowCheckBox, &TSettings::FixEdgeYellowing, "FixEdgeYellowing"},
        {&TConfigureDlg::InternalYellowCheckBox, &TSettings::FixInternalYellowing, "FixInternalYellowing"},
        // The display group, one at a time from a state where its rule clears nothing.
        {&TConfigureDlg::FitCheckBox, &TSettings::Fit, "Fit"},
        {&TConfigureDlg::FitIfOversizeCheckBox, &TSettings::FitIfOversize, "FitIfOversize"},
        {&TConfigureDlg::FitWidthCheckBox, &TSettings::FitWidth, "FitWidth"},
        {&TConfigureDlg::FitWidthIfOversizeCheckBox, &TSettings::FitWidthIfOversize, "FitWidthIfOversize"},
        {&TConfigureDlg::FitHeightCheckBox, &TSettings::FitHeight, "FitHeight"},
        {&TConfigureDlg::FitHeightIfOversizeCheckBox, &TSettings::FitHeightIfOversize, "FitHeightIfOversize"},
        {&TConfigureDlg::TargetHeightCheckBox, &TSettings::TargetHeight, "TargetHeight"},
        {&TConfigureDlg::TwoPagesCheckBox, &TSettings::TwoPages, "TwoPages"},
        {&TConfigureDlg::RotateLeftCheckBox, &TSettings::RotateLeft, "RotateLeft"},
        {&TConfigureDlg::RotateRightCheckBox, &TSettings::RotateRight, "RotateRight"},
    };
    for (const auto& c : bools) {
        SCOPED_TRACE(c.name);
        for (bool v : {true, false}) {
            if (v) {  // clear the display group so no rule interferes
                TSettings& s = *config;
                for (auto f : {&TSettings::Fit, &TSettings::FitIfOversize, &TSettings::FitWidth,
                               &TSettings::FitWidthIfOversize, &TSettings::FitHeight, &TSettings::FitHeightIfOversize,
                               &TSettings::TargetHeight, &TSettings::TwoPages, &TSettings::RotateLeft,
                               &TSettings::RotateRight})
                    s.*f = false;
                s.*c.field = !v;
            }
            dlg->FormActivate();
            EXPECT_EQ((dlg.get()->*c.box)->isChecked(), !v);
            (dlg.get()->*c.box)->setChecked(v);
            dlg->ApplyButtonClick();
            EXPECT_EQ(config.get()->*c.field, v);
            EXPECT_EQ(Stored(c.name), v);
        }
    }

    struct IntCase {
        QSpinBox* TConfigureDlg::*spin;
        int32_t TSettings::*field;
        const char* name;
        int value;
    } ints[] = {
        {&TConfigureDlg::TargetHeightSpinEdit, &TSettings::TargetHeightVal, "TargetHeightVal", 4096},
        {&TConfigureDlg::DiscardsPer1000SpinEdit, &TSettings::DiscardsPer1000, "DiscardsPer1000", 1000},
        {&TConfigureDlg::RedThresholdSpinEdit, &TSettings::YellowingRedThreshold, "YellowingRedThreshold", 1},
        {&TConfigureDlg::GreenThresholdSpinEdit, &TSettings::YellowingGreenThreshold, "YellowingGreenThreshold", 2},
        {&TConfigureDlg::BlueThresholdSpinEdit, &TSettings::YellowingBlueThreshold, "YellowingBlueThreshold", 3},
        {&TConfigureDlg::RedBoostSpinEdit, &TSettings::YellowingRedBoost, "YellowingRedBoost", 4},
        {&TConfigureDlg::GreenBoostSpinEdit, &TSettings::YellowingGreenBoost, "YellowingGreenBoost", 5},
        {&TConfigureDlg::BlueBoostSpinEdit, &TSettings::YellowingBlueBoost, "YellowingBlueBoost", 6},
        {&TConfigureDlg::EdgeRedThresholdSpinEdit, &TSettings::EdgeYellowingRedThreshold, "EdgeYellowingRedThreshold", 7},
        {&TConfigureDlg::EdgeGreenThresholdSpinEdit, &TSettings::EdgeYellowingGreenThreshold,
         "EdgeYellowingGreenThreshold", 8},
        {&TConfigureDlg::EdgeBlueThresholdSpinEdit, &TSettings::EdgeYellowingBlueThreshold, "EdgeYellowingBlueThreshold",
         9},
        {&TConfigureDlg::RedSettingSpinEdit, &TSettings::EdgeYellowingRedBoost, "EdgeYellowingRedBoost", 10},
        {&TConfigureDlg::GreenSettingSpinEdit, &TSettings::EdgeYellowingGreenBoost, "EdgeYellowingGreenBoost", 11},
        {&TConfigureDlg::BlueSettingSpinEdit, &TSettings::EdgeYellowingBlueBoost, "EdgeYellowingBlueBoost", 12},
        {&TConfigureDlg::PageBufferSpinEdit, &TSettings::PageBufferSize, "PageBufferSize", 8},
        {&TConfigureDlg::FileBufferSpinEdit, &TSettings::FileBufferSize, "FileBufferSize", 30},
    };
    for (const auto& c : ints) {
        SCOPED_TRACE(c.name);
        dlg->FormActivate();
        EXPECT_EQ((dlg.get()->*c.spin)->value(), config.get()->*c.field);
        (dlg.get()->*c.spin)->setValue(c.value);
        dlg->ApplyButtonClick();
        EXPECT_EQ(config.get()->*c.field, c.value);
        EXPECT_EQ(Stored(c.name), c.value);
    }

    dlg->FormActivate();
    EXPECT_EQ(dlg->GammaCorrectionTrackBar->value(), 220);
    dlg->GammaCorrectionTrackBar->setValue(150);
    dlg->BackgroundComboBox->setCurrentIndex(4);
    struct ComboCase {
        QComboBox* TConfigureDlg::*combo;
        const char* name;
        int code;
    } combos[] = {
        {&TConfigureDlg::CursorMoveComboBox, "CursorMove", 8},
        {&TConfigureDlg::MouseWheelComboBox, "MouseWheel", 18},
        {&TConfigureDlg::LeftSingleClickComboBox, "LeftClick1", 16},
        {&TConfigureDlg::LeftDoubleClickComboBox, "LeftClick2", 1},
        {&TConfigureDlg::LeftTrebleClickComboBox, "LeftClick3", 2},
        {&TConfigureDlg::MiddleSingleClickComboBox, "MiddleClick1", 9},
        {&TConfigureDlg::MiddleDoubleClickComboBox, "MiddleClick2", 10},
        {&TConfigureDlg::MiddleTrebleClickComboBox, "MiddleClick3", 11},
        {&TConfigureDlg::RightSingleClickComboBox, "RightClick1", 12},
        {&TConfigureDlg::RightDoubleClickComboBox, "RightClick2", 13},
        {&TConfigureDlg::RightTrebleClickComboBox, "RightClick3", 14},
    };
    for (const auto& c : combos) {
        QComboBox* box = dlg.get()->*c.combo;
        box->setCurrentIndex(box->findData(c.code));
    }
    dlg->OKButtonClick();
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(Stored("GammaCorrection"), 150);
    EXPECT_EQ(Stored("Background"), 4);
    for (const auto& c : combos) EXPECT_EQ(Stored(c.name), c.code) << c.name;

    // Start again on the same store: the dialog shows what was confirmed.
    dlg.reset();
    config.reset();
    ResetRegistryStore();
    Open();
    EXPECT_EQ(dlg->GammaCorrectionTrackBar->value(), 150);
    EXPECT_EQ(dlg->GammaLabel->text(), "1.5");
    EXPECT_EQ(dlg->BackgroundComboBox->currentIndex(), 4);
    EXPECT_EQ(dlg->FileBufferSpinEdit->value(), 30);
    for (const auto& c : combos) EXPECT_EQ((dlg.get()->*c.combo)->currentData().toInt(), c.code) << c.name;
}

TEST_F(ConfigureDlgTest, CheckBoxRulesClearTheirPartnersOnEveryChangeOfState) {
    Open();
    auto* d = dlg.get();
    const std::vector<QCheckBox*> fits = {d->FitCheckBox,       d->FitIfOversizeCheckBox, d->FitWidthCheckBox,
                                          d->FitWidthIfOversizeCheckBox, d->FitHeightCheckBox,
                                          d->FitHeightIfOversizeCheckBox};
    std::vector<QCheckBox*> group = fits;
    for (QCheckBox* b : {d->TargetHeightCheckBox, d->TwoPagesCheckBox, d->RotateLeftCheckBox, d->RotateRightCheckBox})
        group.push_back(b);
    auto allOn = [&] {
        for (QCheckBox* b : Boxes()) {
            QSignalBlocker block(b);
            b->setChecked(true);
        }
    };
    struct Case {
        QCheckBox* box;
        std::vector<QCheckBox*> cleared;
    };
    std::vector<Case> cases;
    for (QCheckBox* f : fits) {
        Case c{f, {d->TargetHeightCheckBox, d->TwoPagesCheckBox}};
        for (QCheckBox* g : fits)
            if (g != f) c.cleared.push_back(g);
        cases.push_back(c);
    }
    cases.push_back({d->TargetHeightCheckBox, fits});
    cases.back().cleared.push_back(d->TwoPagesCheckBox);
    cases.push_back({d->TwoPagesCheckBox, fits});
    for (QCheckBox* b : {d->TargetHeightCheckBox, d->RotateLeftCheckBox, d->RotateRightCheckBox})
        cases.back().cleared.push_back(b);
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
    // With the focus on a button, on a spin edit and on a combo box of another tab.
    QWidget* focus[] = {dlg->OKButton, dlg->DiscardsPer1000SpinEdit, dlg->LeftDoubleClickComboBox};
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

    // A changed yellowing threshold is written; the edge thresholds keep theirs.
    dlg->show();
    dlg->GreenThresholdSpinEdit->setValue(200);
    dlg->OKButtonClick();
    EXPECT_EQ(Stored("YellowingGreenThreshold"), 200);
    EXPECT_EQ(config->EdgeYellowingGreenThreshold, 150);
}

TEST_F(ConfigureDlgTest, DefaultFillsTheControlsAndResetsFontAndColourAtOnce) {
    Store("Fit", 1);
    Store("FitWidthIfOversize", 0);
    Store("Balance", 0);
    Store("GammaCorrection", 90);
    Store("PageBufferSize", 7);
    Store("RightClick1", 16);
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
    EXPECT_EQ(dlg->PageBufferSpinEdit->value(), 3);
    EXPECT_EQ(dlg->TargetHeightSpinEdit->value(), 1200);
    EXPECT_EQ(dlg->BlueSettingSpinEdit->value(), 230);
    EXPECT_EQ(dlg->BackgroundComboBox->currentIndex(), 0);
    EXPECT_EQ(dlg->RightSingleClickComboBox->currentData().toInt(), maPopupMenu);
    EXPECT_EQ(dlg->MiddleSingleClickComboBox->currentData().toInt(), maMouseWheelDirection);
    EXPECT_EQ(dlg->LeftDoubleClickComboBox->currentData().toInt(), maNextOrPrevious);
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
    EXPECT_EQ(Stored("Background"), 0);
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
    Key(Qt::Key_C, Qt::ControlModifier);  // Ctrl+C stays the small cursor
    EXPECT_FALSE(config->SmallCursor);
    config->SetSmallCursor(true);
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
