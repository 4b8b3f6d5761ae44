#pragma once
// The configuration dialog over the settings object: six tabs of check boxes, spin edits,
// a track bar and combo boxes that work on copies of the settings. Every activation loads
// the controls from the settings; OK and Apply write back what differs and announce a
// change; Cancel drops the edits. Not modal; hidden is its resting state.
#include <QColor>
#include <QDialog>
#include <cstdint>
#include <vector>

#include "settings/Configuration.h"

class QCheckBox;
class QColorDialog;
class QComboBox;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QPushButton;
class QSlider;
class QSpinBox;
class QTabWidget;

namespace vellicor {

class TConfigureDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 688;
    static constexpr int kClientHeight = 355;
    static constexpr int kHelpContext = 14;
    // Key codes HandleKeyPress takes besides the letters 'A' to 'Z'.
    enum : int { vkReturn = 13, vkEscape = 27, vkF1 = 112 };

    explicit TConfigureDlg(TConfigureForm& Config, QWidget* Owner = nullptr);
    ~TConfigureDlg() override;

    // Settings to controls; the first tab becomes the visible one.
    void FormActivate();
    // Controls to settings; true when a value changed that changes what is shown.
    bool GetFormEntries();
    void OKButtonClick();
    void ApplyButtonClick();
    void CancelButtonClick();
    void HelpButtonClick();
    // Defaults into the controls (written only by OK or Apply); the info font and colour
    // are reset at once.
    void DefaultButtonClick();

    // Check-box rules: checking a box unchecks the boxes it excludes. They run on every
    // change of state, by the user or by program.
    void FitCheckBoxClick();
    void FitIfOversizeCheckBoxClick();
    void FitWidthCheckBoxClick();
    void FitWidthIfOversizeCheckBoxClick();
    void FitHeightCheckBoxClick();
    void FitHeightIfOversizeCheckBoxClick();
    void TargetHeightCheckBoxClick();
    void TwoPagesCheckBoxClick();
    void RotateLeftCheckBoxClick();
    void RotateRightCheckBoxClick();

    // The dialog's keys: Key is 'A'..'Z' or one of vkReturn, vkEscape, vkF1.
    void HandleKeyPress(int Key, bool Shift, bool Ctrl);
    void GammaCorrectionTrackBarChange();
    void InfoFontDialogButtonClick();
    void SetInfoColourButtonClick();
    // Reveals the "Edge Yellow Reduction" tab for the rest of the run.
    void FullForm();
    bool EdgeTabShown() const;

    // The gamma read-out for a track bar position: position / 100, shortest form.
    static QString GammaText(int Position);

    QTabWidget* PageControl = nullptr;
    QWidget* ImageSizingTab = nullptr;
    QWidget* ColourBalanceTab = nullptr;
    QWidget* YellowReductionTab = nullptr;
    QWidget* ProgramSettingsTab = nullptr;
    QWidget* EdgeYellowTab = nullptr;
    QWidget* MouseControlTab = nullptr;

    QCheckBox* FitCheckBox = nullptr;
    QCheckBox* FitIfOversizeCheckBox = nullptr;
    QCheckBox* FitWidthCheckBox = nullptr;
    QCheckBox* FitWidthIfOversizeCheckBox = nullptr;
    QCheckBox* SuppressDoubleCheckBox = nullptr;
    QCheckBox* FitHeightCheckBox = nullptr;
    QCheckBox* FitHeightIfOversizeCheckBox = nullptr;
    QCheckBox* TargetHeightCheckBox = nullptr;
    QSpinBox* TargetHeightSpinEdit = nullptr;
    QCheckBox* RotateLeftCheckBox = nullptr;
    QCheckBox* RotateRightCheckBox = nullptr;
    QCheckBox* RotateScrollFunctionsCheckBox = nullptr;
    QCheckBox* TwoPagesCheckBox = nullptr;

    QCheckBox* ColourBalanceCheckBox = nullptr;
    QSpinBox* DiscardsPer1000SpinEdit = nullptr;
    QCheckBox* GammaCorrectionCheckBox = nullptr;
    QSlider* GammaCorrectionTrackBar = nullptr;
    QLabel* GammaLabel = nullptr;

    QCheckBox* YellowReductionCheckBox = nullptr;
    QSpinBox* RedThresholdSpinEdit = nullptr;
    QSpinBox* GreenThresholdSpinEdit = nullptr;
    QSpinBox* BlueThresholdSpinEdit = nullptr;
    QSpinBox* RedBoostSpinEdit = nullptr;
    QLabel* RedBoostLabel = nullptr;
    QSpinBox* GreenBoostSpinEdit = nullptr;
    QSpinBox* BlueBoostSpinEdit = nullptr;

    QComboBox* BackgroundComboBox = nullptr;
    QCheckBox* ImageInformationCheckBox = nullptr;
    QCheckBox* ZoomingCheckBox = nullptr;
    QCheckBox* StdFileOpenDlgCheckBox = nullptr;
    QCheckBox* DisableHintsCheckBox = nullptr;
    QCheckBox* PageInTwosCheckBox = nullptr;
    QCheckBox* PageBackInTwosCheckBox = nullptr;
    QCheckBox* StripLastDirCheckBox = nullptr;
    QCheckBox* AlternateArrowsCheckBox = nullptr;
    QCheckBox* DisplayInfoCheckBox = nullptr;
    QPushButton* InfoFontDialogButton = nullptr;
    QPushButton* SetInfoColourButton = nullptr;
    QCheckBox* JapaneseModeCheckBox = nullptr;
    QCheckBox* SmallCursorCheckBox = nullptr;
    QCheckBox* BackgroundThumbsCheckBox = nullptr;
    QSpinBox* PageBufferSpinEdit = nullptr;
    QSpinBox* FileBufferSpinEdit = nullptr;

    QCheckBox* EdgeYellowCheckBox = nullptr;
    QCheckBox* InternalYellowCheckBox = nullptr;
    QSpinBox* EdgeRedThresholdSpinEdit = nullptr;
    QSpinBox* EdgeGreenThresholdSpinEdit = nullptr;
    QSpinBox* EdgeBlueThresholdSpinEdit = nullptr;
    QSpinBox* RedSettingSpinEdit = nullptr;
    QSpinBox* GreenSettingSpinEdit = nullptr;
    QSpinBox* BlueSettingSpinEdit = nullptr;

    QComboBox* CursorMoveComboBox = nullptr;
    QComboBox* MouseWheelComboBox = nullptr;
    QComboBox* LeftSingleClickComboBox = nullptr;
    QComboBox* MiddleSingleClickComboBox = nullptr;
    QComboBox* RightSingleClickComboBox = nullptr;
    QComboBox* LeftDoubleClickComboBox = nullptr;
    QComboBox* MiddleDoubleClickComboBox = nullptr;
    QComboBox* RightDoubleClickComboBox = nullptr;
    QComboBox* LeftTrebleClickComboBox = nullptr;
    QComboBox* MiddleTrebleClickComboBox = nullptr;
    QComboBox* RightTrebleClickComboBox = nullptr;

    QPushButton* ApplyButton = nullptr;
    QPushButton* DefaultButton = nullptr;
    QPushButton* HelpButton = nullptr;
    QPushButton* CancelButton = nullptr;
    QPushButton* OKButton = nullptr;

    // Kept for the life of the dialog, so it opens on the colour it last returned.
    QColorDialog* InfoColourDialog = nullptr;

protected:
    // The common dialogs; tests answer them instead.
    virtual bool RunInfoFontDialog(TFontDesc& Font);
    virtual bool RunInfoColourDialog(TColor& Colour);

    // Key preview: sees every key meant for this dialog before its controls do.
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    bool event(QEvent* Event) override;
    void showEvent(QShowEvent* Event) override;
    // The keys are the key preview's business; the dialog adds no Enter or Escape of its own.
    void keyPressEvent(QKeyEvent* Event) override;
    // The close box drops the edits, as Cancel does.
    void reject() override;

private:
    struct BoolControl {
        QCheckBox* Box;
        bool TSettings::*Field;
    };
    struct IntControl {
        QSpinBox* Spin;
        int32_t TSettings::*Field;
    };
    struct MouseCombo {
        QComboBox* Combo;
        int32_t TSettings::*Field;
    };
    // The boxes each box unchecks when it becomes checked.
    struct Rule {
        QCheckBox* Box;
        std::vector<QCheckBox*> Unchecks;
    };

    void BuildImageSizingTab();
    void BuildColourBalanceTab();
    void BuildYellowReductionTab();
    void BuildProgramSettingsTab();
    void BuildEdgeYellowTab();
    void BuildMouseControlTab();
    void BuildButtons();
    void BuildRules();
    QCheckBox* NewCheckBox(const char* Caption, const char* Hint);
    QSpinBox* NewSpinEdit(int Min, int Max, const char* Hint);
    QComboBox* NewMouseCombo(const std::vector<int>& Codes, const char* Hint);
    // The controls from a settings record (activation: the settings; Default: the defaults).
    void LoadControls(const TSettings& Settings, bool DisableHints);
    void ApplyRule(QCheckBox* Box);
    static void Toggle(QCheckBox* Box);
    static void SelectAction(QComboBox* Combo, int32_t Code);
    bool FormKeyDown(QKeyEvent* Event);

    TConfigureForm& Config_;
    std::vector<BoolControl> Bools_;
    std::vector<IntControl> Ints_;
    std::vector<MouseCombo> MouseCombos_;
    std::vector<Rule> Rules_;
    int EdgeTabIndex_ = -1;
    // Coming back from a dialog of its own (font, colour) is no new activation: the edits
    // stay. InOwnDialog_ is set while one runs; a deactivation meanwhile sets the other.
    bool InOwnDialog_ = false;
    QColor LastInfoColour_;  // invalid until the colour dialog first returns one
    bool DeactivatedForOwnDialog_ = false;
};

}  // namespace vellicor
