#include "viewer/ConfigureDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFontDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "trace/Trace.h"
#include "viewer/Help.h"

namespace vellicor {

namespace {

const char* const kFormHint =
    "Configuration options - to access from main screen press key combinations indicated (C= ctrl, S = shift)";

// Action codes of each mouse list, in item order; "(None)" is always last.
const std::vector<int> kCursorMoveCodes = {6, 8, 5};
const std::vector<int> kWheelCodes = {17, 18, 5};
const std::vector<int> kLeftSingleCodes = {0, 1, 2, 3, 4, 6, 7, 10, 11, 12, 13, 14, 15, 16, 5};
const std::vector<int> kOtherSingleCodes = {0, 1, 2, 3, 4, 6, 7, 9, 10, 11, 12, 13, 14, 15, 16, 5};
const std::vector<int> kLeftMultiCodes = {1, 2, 3, 4, 10, 11, 12, 13, 14, 15, 16, 5};
const std::vector<int> kOtherMultiCodes = {1, 2, 3, 4, 9, 10, 11, 12, 13, 14, 15, 16, 5};

const char* const kSingleHints[3] = {
    "Set up left mouse button single click action.",
    "Set up middle mouse button single click action.",
    "Set up right mouse button single click action.",
};
const char* const kDoubleHints[3] = {
    "Set up left mouse button double click action.  Note that some options are only available on single click.",
    "Set up middle mouse button double click action.  Note that some options are only available on single click.",
    "Set up right mouse button double click action.  Note that some options are only available on single click.",
};
const char* const kTrebleHints[3] = {
    "Set up left mouse button treble click action.  Note that some options are only available on single click.",
    "Set up middle mouse button treble click action.  Note that some options are only available on single click.",
    "Set up right mouse button treble click action.  Note that some options are only available on single click.",
};

QGroupBox* NewGroup(QWidget* tab, const char* caption, const char* hint) {
    auto* outer = new QVBoxLayout(tab);
    outer->setContentsMargins(6, 6, 6, 6);
    auto* group = new QGroupBox(QString::fromUtf8(caption), tab);
    group->setToolTip(QString::fromUtf8(hint));
    outer->addWidget(group);
    return group;
}

QLabel* NewLabel(const char* caption, QWidget* buddy) {
    auto* label = new QLabel(QString::fromUtf8(caption));
    label->setBuddy(buddy);
    return label;
}

// A label with its control on one row.
QWidget* Row(QLabel* label, QWidget* control) {
    auto* w = new QWidget;
    auto* l = new QHBoxLayout(w);
    l->setContentsMargins(0, 0, 0, 0);
    l->addWidget(label);
    l->addWidget(control);
    l->addStretch(1);
    return w;
}

}  // namespace

TConfigureDlg::TConfigureDlg(TConfigureForm& Config, QWidget* Owner) : QDialog(Owner), Config_(Config) {
    VTRACE("TConfigureDlg::TConfigureDlg");
    // Numbers read and shown the same whatever the user's locale.
    setLocale(QLocale::c());
    setWindowTitle("Configure");
    setToolTip(kFormHint);
    setModal(false);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::WindowStaysOnTopHint);

    PageControl = new QTabWidget(this);
    PageControl->setTabPosition(QTabWidget::South);
    ImageSizingTab = new QWidget;
    ColourBalanceTab = new QWidget;
    YellowReductionTab = new QWidget;
    ProgramSettingsTab = new QWidget;
    EdgeYellowTab = new QWidget;
    MouseControlTab = new QWidget;
    PageControl->addTab(ImageSizingTab, "Image Sizing Options");
    PageControl->addTab(ColourBalanceTab, "Colour Balance");
    PageControl->addTab(YellowReductionTab, "Yellow Reduction");
    PageControl->addTab(ProgramSettingsTab, "Program Settings");
    EdgeTabIndex_ = PageControl->addTab(EdgeYellowTab, "Edge Yellow Reduction");
    PageControl->addTab(MouseControlTab, "Mouse Control");
    BuildImageSizingTab();
    BuildColourBalanceTab();
    BuildYellowReductionTab();
    BuildProgramSettingsTab();
    BuildEdgeYellowTab();
    BuildMouseControlTab();
    BuildButtons();
    BuildRules();

    auto* main = new QVBoxLayout(this);
    main->setContentsMargins(4, 4, 4, 6);
    main->setSpacing(4);
    main->addWidget(PageControl, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    for (QPushButton* b : {ApplyButton, DefaultButton, HelpButton, CancelButton, OKButton}) buttons->addWidget(b);
    main->addLayout(buttons);
    setFixedSize(kClientWidth, kClientHeight);

    // Tab order: the buttons from OK leftwards, then the pages.
    setTabOrder(OKButton, CancelButton);
    setTabOrder(CancelButton, HelpButton);
    setTabOrder(HelpButton, DefaultButton);
    setTabOrder(DefaultButton, ApplyButton);
    setTabOrder(ApplyButton, PageControl);

    InfoColourDialog = new QColorDialog(this);
    InfoColourDialog->setOptions(QColorDialog::DontUseNativeDialog);

    // All six tabs in one row once the hidden one shows: a smaller tab font where needed.
    QTabBar* bar = PageControl->tabBar();
    QFont tabFont = bar->font();
    for (qreal pt = tabFont.pointSizeF(); pt > 6 && bar->sizeHint().width() > kClientWidth - 16; pt -= 0.5) {
        tabFont.setPointSizeF(pt - 0.5);
        bar->setFont(tabFont);
    }
    PageControl->setTabVisible(EdgeTabIndex_, Config_.EdgeTabVisible());
    Config_.OnFullForm = [this] { PageControl->setTabVisible(EdgeTabIndex_, true); };
    qApp->installEventFilter(this);
}

TConfigureDlg::~TConfigureDlg() {
    VTRACE("TConfigureDlg::~TConfigureDlg");
    qApp->removeEventFilter(this);
    Config_.OnFullForm = nullptr;
}

QCheckBox* TConfigureDlg::NewCheckBox(const char* Caption, const char* Hint) {
    auto* box = new QCheckBox(QString::fromUtf8(Caption));
    box->setToolTip(QString::fromUtf8(Hint));
    return box;
}

QSpinBox* TConfigureDlg::NewSpinEdit(int Min, int Max, const char* Hint) {
    auto* spin = new QSpinBox;
    spin->setRange(Min, Max);
    spin->setToolTip(QString::fromUtf8(Hint));
    spin->setMinimumWidth(64);
    return spin;
}

QComboBox* TConfigureDlg::NewMouseCombo(const std::vector<int>& Codes, const char* Hint) {
    auto* combo = new QComboBox;
    for (int code : Codes) combo->addItem(QString::fromUtf8(MouseActionText(code)), code);
    combo->setToolTip(QString::fromUtf8(Hint));
    return combo;
}

void TConfigureDlg::BuildImageSizingTab() {
    QGroupBox* g = NewGroup(ImageSizingTab, "Image Size Options",
                            "Image sizing option switches - note that all options maintain the pages' aspect ratios");
    FitCheckBox = NewCheckBox("Fit (C+F)", "Fits each page to the screen");
    FitIfOversizeCheckBox = NewCheckBox("Fit If Oversize (C+S+F)",
                                        "Fits each page width and height to fit within the screen if the page is too "
                                        "large to fit");
    FitWidthCheckBox = NewCheckBox("Fit Width (C+W)", "Fits each page width to the screen width");
    FitWidthIfOversizeCheckBox = NewCheckBox("Fit Width If Oversize (C+S+W)",
                                             "Fits each page width to the screen width if the page is too large to fit");
    SuppressDoubleCheckBox =
        NewCheckBox("Suppress For Double Pages", "Suppresses Fit Width options for double width pages");
    FitHeightCheckBox = NewCheckBox("Fit Height (C+H)", "Fits each page height to the screen height");
    FitHeightIfOversizeCheckBox =
        NewCheckBox("Fit Height If Oversize (C+S+H)",
                    "Fits each page height to the screen height if the page is too large to fit");
    TargetHeightCheckBox = NewCheckBox(
        "Set Height (C+S)", "Displays each page at the desired height as specified in the 'Height' window");
    TargetHeightSpinEdit = NewSpinEdit(1, 4096, "The desired page height in pixels");
    TargetHeightSpinEdit->setEnabled(false);  // follows its box
    RotateLeftCheckBox =
        NewCheckBox("Rotate Left (C+L)", "Rotate the image to the left before displaying on the screen");
    RotateRightCheckBox =
        NewCheckBox("Rotate Right (C+R)", "Rotate the image to the right before displaying on the screen");
    RotateScrollFunctionsCheckBox =
        NewCheckBox("Rotate Scroll Functions (C+S+L or C+S+R)",
                    "Rotate image scrolling functions (arrows keys, cursor drag) when the image is rotated");
    TwoPagesCheckBox =
        NewCheckBox("Display Two Pages (C+T)", "Displays two full pages side by side on the screen");

    auto* grid = new QGridLayout(g);
    grid->setVerticalSpacing(2);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    int r = 0;
    for (QCheckBox* b : {FitCheckBox, FitIfOversizeCheckBox, FitWidthCheckBox, FitWidthIfOversizeCheckBox})
        grid->addWidget(b, r++, 0);
    auto* suppress = new QWidget;
    auto* sl = new QHBoxLayout(suppress);
    sl->setContentsMargins(20, 0, 0, 0);  // belongs to the two width modes above
    sl->addWidget(SuppressDoubleCheckBox);
    grid->addWidget(suppress, r++, 0);
    grid->addWidget(FitHeightCheckBox, r++, 0);
    grid->addWidget(FitHeightIfOversizeCheckBox, r++, 0);
    r = 0;
    grid->addWidget(TargetHeightCheckBox, r++, 1);
    auto* height = new QWidget;
    auto* hl = new QHBoxLayout(height);
    hl->setContentsMargins(20, 0, 0, 0);
    hl->addWidget(NewLabel("Height:", TargetHeightSpinEdit));
    hl->addWidget(TargetHeightSpinEdit);
    hl->addStretch(1);
    grid->addWidget(height, r++, 1);
    for (QCheckBox* b : {RotateLeftCheckBox, RotateRightCheckBox, RotateScrollFunctionsCheckBox, TwoPagesCheckBox})
        grid->addWidget(b, r++, 1);
    grid->setRowStretch(7, 1);

    for (auto [box, field] : {std::pair{FitCheckBox, &TSettings::Fit},
                              {FitIfOversizeCheckBox, &TSettings::FitIfOversize},
                              {FitWidthCheckBox, &TSettings::FitWidth},
                              {FitWidthIfOversizeCheckBox, &TSettings::FitWidthIfOversize},
                              {SuppressDoubleCheckBox, &TSettings::SuppressFitWidthDoublePages},
                              {FitHeightCheckBox, &TSettings::FitHeight},
                              {FitHeightIfOversizeCheckBox, &TSettings::FitHeightIfOversize},
                              {TargetHeightCheckBox, &TSettings::TargetHeight},
                              {RotateLeftCheckBox, &TSettings::RotateLeft},
                              {RotateRightCheckBox, &TSettings::RotateRight},
                              {RotateScrollFunctionsCheckBox, &TSettings::RotateScrollFunctions},
                              {TwoPagesCheckBox, &TSettings::TwoPages}})
        Bools_.push_back({box, field});
    Ints_.push_back({TargetHeightSpinEdit, &TSettings::TargetHeightVal});
}

void TConfigureDlg::BuildColourBalanceTab() {
    QGroupBox* g = NewGroup(ColourBalanceTab, "Colour Balance Options", "Histogramic colour balance algorithm switches");
    ColourBalanceCheckBox = NewCheckBox("Colour Balance On (C+B)", "Turns on colour balancing");
    DiscardsPer1000SpinEdit = NewSpinEdit(0, 1000, "Specifies the number of extreme values when balancing");
    GammaCorrectionCheckBox = NewCheckBox("Gamma Correction (C+G)", "Apply gamma correction to output bitmap");
    GammaCorrectionTrackBar = new QSlider(Qt::Horizontal);
    GammaCorrectionTrackBar->setRange(1, 700);
    GammaCorrectionTrackBar->setTickInterval(100);
    GammaCorrectionTrackBar->setTickPosition(QSlider::TicksBelow);
    GammaCorrectionTrackBar->setPageStep(100);
    GammaCorrectionTrackBar->setValue(100);
    GammaCorrectionTrackBar->setToolTip("Gamma correction to apply (1 = no gamma correction)");
    GammaLabel = new QLabel("1.00");
    GammaLabel->setToolTip("Gamma correction to apply");
    GammaLabel->setMinimumWidth(48);
    connect(GammaCorrectionTrackBar, &QSlider::valueChanged, this, [this] { GammaCorrectionTrackBarChange(); });

    auto* grid = new QGridLayout(g);
    grid->addWidget(ColourBalanceCheckBox, 0, 0, 1, 3);
    grid->addWidget(Row(NewLabel("Discards per 1000", DiscardsPer1000SpinEdit), DiscardsPer1000SpinEdit), 1, 0, 1, 3);
    grid->addWidget(GammaCorrectionCheckBox, 2, 0, 1, 3);
    grid->addWidget(GammaCorrectionTrackBar, 3, 0, 1, 2);
    grid->addWidget(GammaLabel, 3, 2);
    grid->setColumnStretch(0, 3);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(4, 1);

    Bools_.push_back({ColourBalanceCheckBox, &TSettings::Balance});
    Bools_.push_back({GammaCorrectionCheckBox, &TSettings::GammaCorrect});
    Ints_.push_back({DiscardsPer1000SpinEdit, &TSettings::DiscardsPer1000});
}

void TConfigureDlg::BuildYellowReductionTab() {
    QGroupBox* g = NewGroup(YellowReductionTab, "Yellow Reduction Options",
                            "Detects pale yellow and reduces it - can distort colours if turned on too high");
    YellowReductionCheckBox = NewCheckBox("Yellow Reduction On (C+Y)", "Turns on yellow reduction");
    RedThresholdSpinEdit = NewSpinEdit(0, 255, "Red component of pale yellow to apply boost to");
    GreenThresholdSpinEdit = NewSpinEdit(0, 255, "Green component of pale yellow to apply boost to");
    BlueThresholdSpinEdit = NewSpinEdit(0, 255, "Blue component of pale yellow to apply boost to");
    RedBoostSpinEdit = NewSpinEdit(0, 255, "Boost to apply to red component of pale yellow");
    GreenBoostSpinEdit = NewSpinEdit(0, 255, "Boost to apply to green component of pale yellow");
    BlueBoostSpinEdit = NewSpinEdit(0, 255, "Boost to apply to blue component of pale yellow");
    RedBoostLabel = NewLabel("Red Boost", RedBoostSpinEdit);

    auto* grid = new QGridLayout(g);
    grid->addWidget(YellowReductionCheckBox, 0, 0, 1, 4);
    grid->addWidget(NewLabel("Red Threshold", RedThresholdSpinEdit), 1, 0);
    grid->addWidget(RedThresholdSpinEdit, 1, 1);
    grid->addWidget(NewLabel("Green Threshold", GreenThresholdSpinEdit), 2, 0);
    grid->addWidget(GreenThresholdSpinEdit, 2, 1);
    grid->addWidget(NewLabel("Blue Threshold", BlueThresholdSpinEdit), 3, 0);
    grid->addWidget(BlueThresholdSpinEdit, 3, 1);
    grid->addWidget(RedBoostLabel, 1, 2);
    grid->addWidget(RedBoostSpinEdit, 1, 3);
    grid->addWidget(NewLabel("Green Boost", GreenBoostSpinEdit), 2, 2);
    grid->addWidget(GreenBoostSpinEdit, 2, 3);
    grid->addWidget(NewLabel("Blue Boost", BlueBoostSpinEdit), 3, 2);
    grid->addWidget(BlueBoostSpinEdit, 3, 3);
    grid->setColumnStretch(4, 1);
    grid->setRowStretch(4, 1);
    // The red boost takes part in the exchange but is not offered.
    RedBoostLabel->hide();
    RedBoostSpinEdit->hide();
    QSizePolicy keep = RedBoostSpinEdit->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    RedBoostSpinEdit->setSizePolicy(keep);
    RedBoostLabel->setSizePolicy(keep);

    Bools_.push_back({YellowReductionCheckBox, &TSettings::FixYellowing});
    for (auto [spin, field] : {std::pair{RedThresholdSpinEdit, &TSettings::YellowingRedThreshold},
                               {GreenThresholdSpinEdit, &TSettings::YellowingGreenThreshold},
                               {BlueThresholdSpinEdit, &TSettings::YellowingBlueThreshold},
                               {RedBoostSpinEdit, &TSettings::YellowingRedBoost},
                               {GreenBoostSpinEdit, &TSettings::YellowingGreenBoost},
                               {BlueBoostSpinEdit, &TSettings::YellowingBlueBoost}})
        Ints_.push_back({spin, field});
}

void TConfigureDlg::BuildProgramSettingsTab() {
    QGroupBox* g = NewGroup(ProgramSettingsTab, "Miscellaneous Program Settings", "Other miscellaneous program settings");
    BackgroundComboBox = new QComboBox;
    BackgroundComboBox->addItems({"Auto", "Black", "White", "Gray", "Background"});
    BackgroundComboBox->setToolTip("Select background colour filling option");
    ImageInformationCheckBox =
        NewCheckBox("Image Information (C+I)", "Displays information about the current page");
    ZoomingCheckBox = NewCheckBox("Zooming (C+Z)",
                                  "Enables magnifying glass - only when full page is visible.  Once enabled, park "
                                  "mouse at side of screen to suppress.");
    StdFileOpenDlgCheckBox = NewCheckBox("Standard Windows File Open",
                                         "Uses the standard windows file open dialog - use if the customised file open "
                                         "malfunctions on your OS version");
    DisableHintsCheckBox = NewCheckBox("Disable Hints", "Disables hints (tool tips) for the entire application.");
    PageInTwosCheckBox = NewCheckBox("Forward Two Pages in Two Page Mode",
                                     "Pages forward two pages at a time whenever possible in two page mode");
    PageBackInTwosCheckBox = NewCheckBox("Backward Two Pages in Two Page Mode",
                                         "Pages backward two pages at a time whenever possible in two page mode");
    StripLastDirCheckBox = NewCheckBox("Strip Last Directory in History",
                                       "Strip last directory from paths in history list - reduces duplicates");
    AlternateArrowsCheckBox =
        NewCheckBox("Alternate Arrow Keys for Tablet PCs",
                    "Assigns arrow keys to Cycle Round Page, Cycle Backwards, Popup Menu and Load Next");
    DisplayInfoCheckBox = NewCheckBox("Display", "Enables and disables info file display");
    InfoFontDialogButton = new QPushButton("Set Font");
    InfoFontDialogButton->setToolTip("Press to set up information screen font.");
    InfoFontDialogButton->setAutoDefault(false);
    SetInfoColourButton = new QPushButton("Set Colour");
    SetInfoColourButton->setToolTip("Press to set up information screen colour.");
    SetInfoColourButton->setAutoDefault(false);
    JapaneseModeCheckBox =
        NewCheckBox("Japanese Mode (C+J)",
                    "Pages presented in Japanese viewing order rather than western order when checked");
    SmallCursorCheckBox = NewCheckBox("Small cursor (C+C)", "The size of the cursor is reduced to a dot.");
    BackgroundThumbsCheckBox = NewCheckBox("Generate Thumbs in Background",
                                           "Generate thumbnails either in the background or only when needed");
    PageBufferSpinEdit = NewSpinEdit(0, 8, "Number of pages held in memory to allow for faster display.");
    FileBufferSpinEdit = NewSpinEdit(0, 100,
                                     "Number of files pre-loaded into memory to help battery life on laptops. Must "
                                     "be more than 5.  Recommend 30.");
    // Arrows only: the text cannot be typed over.
    for (QSpinBox* spin : {PageBufferSpinEdit, FileBufferSpinEdit})
        if (auto* edit = spin->findChild<QLineEdit*>()) edit->setReadOnly(true);
    connect(InfoFontDialogButton, &QPushButton::clicked, this, [this] { InfoFontDialogButtonClick(); });
    connect(SetInfoColourButton, &QPushButton::clicked, this, [this] { SetInfoColourButtonClick(); });

    auto* grid = new QGridLayout(g);
    grid->setVerticalSpacing(2);
    int r = 0;
    grid->addWidget(Row(NewLabel("Background Colour", BackgroundComboBox), BackgroundComboBox), r++, 0);
    for (QCheckBox* b : {ImageInformationCheckBox, ZoomingCheckBox, StdFileOpenDlgCheckBox, DisableHintsCheckBox,
                         PageInTwosCheckBox, PageBackInTwosCheckBox, StripLastDirCheckBox, AlternateArrowsCheckBox})
        grid->addWidget(b, r++, 0);
    r = 0;
    auto* info = new QWidget;
    auto* il = new QHBoxLayout(info);
    il->setContentsMargins(0, 0, 0, 0);
    il->addWidget(new QLabel("Info File:"));
    il->addWidget(DisplayInfoCheckBox);
    il->addWidget(InfoFontDialogButton);
    il->addWidget(SetInfoColourButton);
    il->addStretch(1);
    grid->addWidget(info, r++, 1);
    for (QCheckBox* b : {JapaneseModeCheckBox, SmallCursorCheckBox, BackgroundThumbsCheckBox})
        grid->addWidget(b, r++, 1);
    grid->addWidget(Row(NewLabel("Page Buffer Size:", PageBufferSpinEdit), PageBufferSpinEdit), r++, 1);
    grid->addWidget(Row(NewLabel("File Buffer Size:", FileBufferSpinEdit), FileBufferSpinEdit), r++, 1);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(9, 1);

    for (auto [box, field] : {std::pair{ImageInformationCheckBox, &TSettings::ImageInformation},
                              {ZoomingCheckBox, &TSettings::Zooming},
                              {StdFileOpenDlgCheckBox, &TSettings::StdFileOpenDlg},
                              {PageInTwosCheckBox, &TSettings::PageInTwos},
                              {PageBackInTwosCheckBox, &TSettings::PageBackInTwos},
                              {StripLastDirCheckBox, &TSettings::StripLastDirInHistoryList},
                              {AlternateArrowsCheckBox, &TSettings::AlternateArrowKeyFunctions},
                              {DisplayInfoCheckBox, &TSettings::DisplayInfoFiles},
                              {JapaneseModeCheckBox, &TSettings::JapaneseMode},
                              {SmallCursorCheckBox, &TSettings::SmallCursor},
                              {BackgroundThumbsCheckBox, &TSettings::GenerateThumbsInBackground}})
        Bools_.push_back({box, field});
    Ints_.push_back({PageBufferSpinEdit, &TSettings::PageBufferSize});
    Ints_.push_back({FileBufferSpinEdit, &TSettings::FileBufferSize});
}

void TConfigureDlg::BuildEdgeYellowTab() {
    QGroupBox* g = NewGroup(EdgeYellowTab, "Edge Yellow Reduction Options",
                            "Aggressive yellow reduction for page edges - experimental - can leak into panels if not "
                            "bordered properly");
    EdgeYellowCheckBox = NewCheckBox("Edge Yellow Reduction On", "Turns on page edge yellow eduction");
    InternalYellowCheckBox = NewCheckBox("Internal Yellow Reduction On", "Turns on page internal yellow eduction");
    EdgeYellowCheckBox->setFocusPolicy(Qt::ClickFocus);
    InternalYellowCheckBox->setFocusPolicy(Qt::ClickFocus);
    EdgeRedThresholdSpinEdit = NewSpinEdit(0, 255, "Red component of pale yellow to apply boost to");
    EdgeGreenThresholdSpinEdit = NewSpinEdit(0, 255, "Green component of pale yellow to apply boost to");
    EdgeBlueThresholdSpinEdit = NewSpinEdit(0, 255, "Blue component of pale yellow to apply boost to");
    RedSettingSpinEdit = NewSpinEdit(0, 255, "Value to set red component of edge colour");
    GreenSettingSpinEdit = NewSpinEdit(0, 255, "Value to set green component of edge colour");
    BlueSettingSpinEdit = NewSpinEdit(0, 255, "Value to set blue component of edge colour");

    auto* grid = new QGridLayout(g);
    grid->addWidget(EdgeYellowCheckBox, 0, 0, 1, 2);
    grid->addWidget(InternalYellowCheckBox, 0, 2, 1, 2);
    const std::pair<const char*, QSpinBox*> cells[] = {
        {"Red Threshold", EdgeRedThresholdSpinEdit}, {"Red Setting", RedSettingSpinEdit},
        {"Green Threshold", EdgeGreenThresholdSpinEdit}, {"Green Setting", GreenSettingSpinEdit},
        {"Blue Threshold", EdgeBlueThresholdSpinEdit}, {"Blue Setting", BlueSettingSpinEdit},
    };
    for (int i = 0; i < 6; ++i) {
        grid->addWidget(NewLabel(cells[i].first, cells[i].second), 1 + i / 2, (i % 2) * 2);
        grid->addWidget(cells[i].second, 1 + i / 2, (i % 2) * 2 + 1);
    }
    grid->setColumnStretch(4, 1);
    grid->setRowStretch(4, 1);

    Bools_.push_back({EdgeYellowCheckBox, &TSettings::FixEdgeYellowing});
    Bools_.push_back({InternalYellowCheckBox, &TSettings::FixInternalYellowing});
    for (auto [spin, field] : {std::pair{EdgeRedThresholdSpinEdit, &TSettings::EdgeYellowingRedThreshold},
                               {EdgeGreenThresholdSpinEdit, &TSettings::EdgeYellowingGreenThreshold},
                               {EdgeBlueThresholdSpinEdit, &TSettings::EdgeYellowingBlueThreshold},
                               {RedSettingSpinEdit, &TSettings::EdgeYellowingRedBoost},
                               {GreenSettingSpinEdit, &TSettings::EdgeYellowingGreenBoost},
                               {BlueSettingSpinEdit, &TSettings::EdgeYellowingBlueBoost}})
        Ints_.push_back({spin, field});
}

void TConfigureDlg::BuildMouseControlTab() {
    QGroupBox* g = NewGroup(MouseControlTab, "Mouse Control Options",
                            "Mouse settings.  Use this option with care - remember F10 allows access to the pop-up "
                            "menu.  Refer to the help for hints on efficient mouse customisation.");
    CursorMoveComboBox =
        NewMouseCombo(kCursorMoveCodes, "Set up action for ordinary mouse movement without button presses");
    MouseWheelComboBox = NewMouseCombo(kWheelCodes, "Set up action for mouse wheel");
    LeftSingleClickComboBox = NewMouseCombo(kLeftSingleCodes, kSingleHints[0]);
    MiddleSingleClickComboBox = NewMouseCombo(kOtherSingleCodes, kSingleHints[1]);
    RightSingleClickComboBox = NewMouseCombo(kOtherSingleCodes, kSingleHints[2]);
    LeftDoubleClickComboBox = NewMouseCombo(kLeftMultiCodes, kDoubleHints[0]);
    MiddleDoubleClickComboBox = NewMouseCombo(kOtherMultiCodes, kDoubleHints[1]);
    RightDoubleClickComboBox = NewMouseCombo(kOtherMultiCodes, kDoubleHints[2]);
    LeftTrebleClickComboBox = NewMouseCombo(kLeftMultiCodes, kTrebleHints[0]);
    MiddleTrebleClickComboBox = NewMouseCombo(kOtherMultiCodes, kTrebleHints[1]);
    RightTrebleClickComboBox = NewMouseCombo(kOtherMultiCodes, kTrebleHints[2]);

    auto* grid = new QGridLayout(g);
    grid->setVerticalSpacing(4);
    grid->addWidget(NewLabel("Cursor Move Action", CursorMoveComboBox), 0, 0);
    grid->addWidget(CursorMoveComboBox, 0, 1);
    grid->addWidget(NewLabel("Mouse Wheel Action", MouseWheelComboBox), 0, 2);
    grid->addWidget(MouseWheelComboBox, 0, 3);
    const char* columns[] = {"Left Button", "Middle Button", "Right Button"};
    const char* rows[] = {"Single Click Action", "Double Click Action", "Treble Click Action"};
    QComboBox* cells[3][3] = {
        {LeftSingleClickComboBox, MiddleSingleClickComboBox, RightSingleClickComboBox},
        {LeftDoubleClickComboBox, MiddleDoubleClickComboBox, RightDoubleClickComboBox},
        {LeftTrebleClickComboBox, MiddleTrebleClickComboBox, RightTrebleClickComboBox},
    };
    auto* clicks = new QGridLayout;
    clicks->setHorizontalSpacing(6);
    for (int c = 0; c < 3; ++c) clicks->addWidget(new QLabel(columns[c]), 0, c + 1);
    for (int r = 0; r < 3; ++r) {
        clicks->addWidget(new QLabel(rows[r]), r + 1, 0);
        for (int c = 0; c < 3; ++c) clicks->addWidget(cells[r][c], r + 1, c + 1);
    }
    grid->addLayout(clicks, 1, 0, 1, 5);
    grid->setColumnStretch(4, 1);
    grid->setRowStretch(2, 1);
    grid->setRowMinimumHeight(0, 32);

    MouseCombos_ = {
        {CursorMoveComboBox, &TSettings::CursorMove},          {MouseWheelComboBox, &TSettings::MouseWheel},
        {LeftSingleClickComboBox, &TSettings::LeftClick1},     {LeftDoubleClickComboBox, &TSettings::LeftClick2},
        {LeftTrebleClickComboBox, &TSettings::LeftClick3},     {MiddleSingleClickComboBox, &TSettings::MiddleClick1},
        {MiddleDoubleClickComboBox, &TSettings::MiddleClick2}, {MiddleTrebleClickComboBox, &TSettings::MiddleClick3},
        {RightSingleClickComboBox, &TSettings::RightClick1},   {RightDoubleClickComboBox, &TSettings::RightClick2},
        {RightTrebleClickComboBox, &TSettings::RightClick3},
    };
}

void TConfigureDlg::BuildButtons() {
    auto make = [this](const char* caption, const char* hint) {
        auto* b = new QPushButton(QString::fromUtf8(caption), this);
        b->setToolTip(QString::fromUtf8(hint));
        // Enter belongs to the key preview (OK), whichever button has the focus.
        b->setAutoDefault(false);
        b->setDefault(false);
        return b;
    };
    ApplyButton = make("Apply", "Apply changes");
    DefaultButton = make("Default", "Reset values to default");
    HelpButton = make("Help", "Display help");
    CancelButton = make("Cancel", "Cancel changes");
    OKButton = make("OK ", "Ok");
    connect(ApplyButton, &QPushButton::clicked, this, [this] { ApplyButtonClick(); });
    connect(DefaultButton, &QPushButton::clicked, this, [this] { DefaultButtonClick(); });
    connect(HelpButton, &QPushButton::clicked, this, [this] { HelpButtonClick(); });
    connect(CancelButton, &QPushButton::clicked, this, [this] { CancelButtonClick(); });
    connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
}

void TConfigureDlg::BuildRules() {
    const std::vector<QCheckBox*> fits = {FitCheckBox,       FitIfOversizeCheckBox,      FitWidthCheckBox,
                                          FitWidthIfOversizeCheckBox, FitHeightCheckBox, FitHeightIfOversizeCheckBox};
    for (QCheckBox* fit : fits) {
        Rule r{fit, {}};
        for (QCheckBox* other : fits)
            if (other != fit) r.Unchecks.push_back(other);
        r.Unchecks.push_back(TargetHeightCheckBox);
        r.Unchecks.push_back(TwoPagesCheckBox);
        Rules_.push_back(std::move(r));
    }
    Rule target{TargetHeightCheckBox, fits};
    target.Unchecks.push_back(TwoPagesCheckBox);
    Rules_.push_back(std::move(target));
    Rule two{TwoPagesCheckBox, fits};
    for (QCheckBox* b : {TargetHeightCheckBox, RotateLeftCheckBox, RotateRightCheckBox}) two.Unchecks.push_back(b);
    Rules_.push_back(std::move(two));
    Rules_.push_back({RotateLeftCheckBox, {TwoPagesCheckBox, RotateRightCheckBox}});
    Rules_.push_back({RotateRightCheckBox, {TwoPagesCheckBox, RotateLeftCheckBox}});

    // Every change of state runs the rule, as a click would.
    const std::pair<QCheckBox*, void (TConfigureDlg::*)()> handlers[] = {
        {FitCheckBox, &TConfigureDlg::FitCheckBoxClick},
        {FitIfOversizeCheckBox, &TConfigureDlg::FitIfOversizeCheckBoxClick},
        {FitWidthCheckBox, &TConfigureDlg::FitWidthCheckBoxClick},
        {FitWidthIfOversizeCheckBox, &TConfigureDlg::FitWidthIfOversizeCheckBoxClick},
        {FitHeightCheckBox, &TConfigureDlg::FitHeightCheckBoxClick},
        {FitHeightIfOversizeCheckBox, &TConfigureDlg::FitHeightIfOversizeCheckBoxClick},
        {TargetHeightCheckBox, &TConfigureDlg::TargetHeightCheckBoxClick},
        {TwoPagesCheckBox, &TConfigureDlg::TwoPagesCheckBoxClick},
        {RotateLeftCheckBox, &TConfigureDlg::RotateLeftCheckBoxClick},
        {RotateRightCheckBox, &TConfigureDlg::RotateRightCheckBoxClick},
    };
    for (auto [box, handler] : handlers) connect(box, &QCheckBox::toggled, this, [this, h = handler] { (this->*h)(); });
}

// ---- Exchange with the settings ----

void TConfigureDlg::SelectAction(QComboBox* Combo, int32_t Code) {
    int index = Combo->findData(Code);
    Combo->setCurrentIndex(index >= 0 ? index : 0);  // an action the list does not offer: its first
}

void TConfigureDlg::LoadControls(const TSettings& Settings, bool DisableHints) {
    VTRACE("TConfigureDlg::LoadControls");
    for (const auto& b : Bools_) b.Box->setChecked(Settings.*b.Field);
    DisableHintsCheckBox->setChecked(DisableHints);
    for (const auto& i : Ints_) i.Spin->setValue(Settings.*i.Field);
    GammaCorrectionTrackBar->setValue(Settings.GammaCorrection);
    // A stored background beyond the list shows nothing and stays as it is unless chosen.
    BackgroundComboBox->setCurrentIndex(
        Settings.Background >= 0 && Settings.Background < BackgroundComboBox->count() ? Settings.Background : -1);
    for (const auto& m : MouseCombos_) SelectAction(m.Combo, Settings.*m.Field);
}

void TConfigureDlg::FormActivate() {
    VTRACE("TConfigureDlg::FormActivate");
    LoadControls(Config_, !ApplicationShowHint());
    PageControl->setCurrentWidget(ImageSizingTab);
}

bool TConfigureDlg::GetFormEntries() {
    VTRACE("TConfigureDlg::GetFormEntries");
    TSettings entries = Config_;
    for (const auto& b : Bools_) entries.*b.Field = b.Box->isChecked();
    for (const auto& i : Ints_) {
        i.Spin->interpretText();  // text still being typed counts as entered
        entries.*i.Field = i.Spin->value();
    }
    entries.GammaCorrection = GammaCorrectionTrackBar->value();
    if (BackgroundComboBox->currentIndex() >= 0) entries.Background = BackgroundComboBox->currentIndex();
    for (const auto& m : MouseCombos_)
        if (m.Combo->currentIndex() >= 0) entries.*m.Field = m.Combo->currentData().toInt();
    return Config_.GetFormEntries(entries, DisableHintsCheckBox->isChecked());
}

void TConfigureDlg::OKButtonClick() {
    VTRACE("TConfigureDlg::OKButtonClick");
    hide();
    if (GetFormEntries()) Config_.FireConfigurationChange();
}

void TConfigureDlg::ApplyButtonClick() {
    VTRACE("TConfigureDlg::ApplyButtonClick");
    if (GetFormEntries()) Config_.FireConfigurationChange();
}

void TConfigureDlg::CancelButtonClick() {
    VTRACE("TConfigureDlg::CancelButtonClick");
    hide();
}

void TConfigureDlg::reject() { CancelButtonClick(); }

void TConfigureDlg::HelpButtonClick() {
    VTRACE("TConfigureDlg::HelpButtonClick");
    ShowHelpContext(kHelpContext);
}

void TConfigureDlg::DefaultButtonClick() {
    VTRACE("TConfigureDlg::DefaultButtonClick");
    LoadControls(TSettings{}, TConfigureForm::kDisableHintsDefault);
    Config_.ResetInfoFontAndColour();
}

// ---- Check-box rules ----

void TConfigureDlg::ApplyRule(QCheckBox* Box) {
    if (!Box->isChecked()) return;
    for (const Rule& r : Rules_)
        if (r.Box == Box)
            for (QCheckBox* other : r.Unchecks) other->setChecked(false);
}

void TConfigureDlg::FitCheckBoxClick() {
    VTRACE("TConfigureDlg::FitCheckBoxClick");
    ApplyRule(FitCheckBox);
}

void TConfigureDlg::FitIfOversizeCheckBoxClick() {
    VTRACE("TConfigureDlg::FitIfOversizeCheckBoxClick");
    ApplyRule(FitIfOversizeCheckBox);
}

void TConfigureDlg::FitWidthCheckBoxClick() {
    VTRACE("TConfigureDlg::FitWidthCheckBoxClick");
    ApplyRule(FitWidthCheckBox);
}

void TConfigureDlg::FitWidthIfOversizeCheckBoxClick() {
    VTRACE("TConfigureDlg::FitWidthIfOversizeCheckBoxClick");
    ApplyRule(FitWidthIfOversizeCheckBox);
}

void TConfigureDlg::FitHeightCheckBoxClick() {
    VTRACE("TConfigureDlg::FitHeightCheckBoxClick");
    ApplyRule(FitHeightCheckBox);
}

void TConfigureDlg::FitHeightIfOversizeCheckBoxClick() {
    VTRACE("TConfigureDlg::FitHeightIfOversizeCheckBoxClick");
    ApplyRule(FitHeightIfOversizeCheckBox);
}

void TConfigureDlg::TwoPagesCheckBoxClick() {
    VTRACE("TConfigureDlg::TwoPagesCheckBoxClick");
    ApplyRule(TwoPagesCheckBox);
}

void TConfigureDlg::RotateLeftCheckBoxClick() {
    VTRACE("TConfigureDlg::RotateLeftCheckBoxClick");
    ApplyRule(RotateLeftCheckBox);
}

void TConfigureDlg::RotateRightCheckBoxClick() {
    VTRACE("TConfigureDlg::RotateRightCheckBoxClick");
    ApplyRule(RotateRightCheckBox);
}


void TConfigureDlg::TargetHeightCheckBoxClick() {
    VTRACE("TConfigureDlg::TargetHeightCheckBoxClick");
    TargetHeightSpinEdit->setEnabled(TargetHeightCheckBox->isChecked());
    ApplyRule(TargetHeightCheckBox);
}

// ---- Keys ----

void TConfigureDlg::Toggle(QCheckBox* Box) { Box->setChecked(!Box->isChecked()); }

void TConfigureDlg::HandleKeyPress(int Key, bool Shift, bool Ctrl) {
    VTRACE("TConfigureDlg::HandleKeyPress");
    VTRACE_INT("TConfigureDlg::HandleKeyPress Key", Key);
    switch (Key) {
        case vkReturn: OKButtonClick(); return;
        case vkEscape: CancelButtonClick(); return;
        case vkF1: HelpButtonClick(); return;
        default: break;
    }
    if (!Ctrl) return;
    switch (Key) {
        case 'B': Toggle(ColourBalanceCheckBox); break;
        case 'C': Toggle(SmallCursorCheckBox); break;
        case 'F': Toggle(Shift ? FitIfOversizeCheckBox : FitCheckBox); break;
        case 'G': Toggle(GammaCorrectionCheckBox); break;
        case 'H': Toggle(Shift ? FitHeightIfOversizeCheckBox : FitHeightCheckBox); break;
        case 'I': Toggle(ImageInformationCheckBox); break;
        case 'L': Toggle(Shift ? RotateScrollFunctionsCheckBox : RotateLeftCheckBox); break;
        case 'M': Toggle(JapaneseModeCheckBox); break;
        case 'R': Toggle(Shift ? RotateScrollFunctionsCheckBox : RotateRightCheckBox); break;
        case 'S': Toggle(TargetHeightCheckBox); break;
        case 'T': Toggle(TwoPagesCheckBox); break;
        case 'W': Toggle(Shift ? FitWidthIfOversizeCheckBox : FitWidthCheckBox); break;
        case 'Y': Toggle(YellowReductionCheckBox); break;
        case 'Z':
            if (Shift) FullForm();
            else Toggle(ZoomingCheckBox);
            break;
        default: break;
    }
}

bool TConfigureDlg::FormKeyDown(QKeyEvent* Event) {
    VTRACE("TConfigureDlg::FormKeyDown");
    const int q = Event->key();
    int key = 0;
    if (q >= Qt::Key_A && q <= Qt::Key_Z) key = 'A' + (q - Qt::Key_A);
    else if (q == Qt::Key_Return || q == Qt::Key_Enter) key = vkReturn;
    else if (q == Qt::Key_Escape) key = vkEscape;
    else if (q == Qt::Key_F1) key = vkF1;
    if (key == 0) return false;
    const Qt::KeyboardModifiers m = Event->modifiers();
    HandleKeyPress(key, (m & Qt::ShiftModifier) != 0, (m & Qt::ControlModifier) != 0);
    // The letters go on to the control as well. Enter, Escape and F1 act on the whole
    // dialog: passed on, a button with the focus or the hidden dialog would act again.
    return key == vkReturn || key == vkEscape || key == vkF1;
}

bool TConfigureDlg::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() == QEvent::KeyPress && isVisible() && Watched->isWidgetType()) {
        // Only the first delivery: a key a control ignores travels on to its parents.
        QWidget* first = focusWidget() ? focusWidget() : this;
        if (Watched == first && first->window() == this) return FormKeyDown(static_cast<QKeyEvent*>(Event));
    }
    return QDialog::eventFilter(Watched, Event);
}

void TConfigureDlg::keyPressEvent(QKeyEvent* Event) { QWidget::keyPressEvent(Event); }

bool TConfigureDlg::event(QEvent* Event) {
    if (Event->type() == QEvent::WindowActivate) {
        if (!DeactivatedForOwnDialog_) FormActivate();
        DeactivatedForOwnDialog_ = false;
    } else if (Event->type() == QEvent::WindowDeactivate) {
        DeactivatedForOwnDialog_ = InOwnDialog_;
    }
    return QDialog::event(Event);
}

void TConfigureDlg::showEvent(QShowEvent* Event) {
    VTRACE("TConfigureDlg::showEvent");
    if (QScreen* s = screen()) move(s->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    FormActivate();
    QDialog::showEvent(Event);
}

// ---- Gamma, font, colour and the hidden tab ----

QString TConfigureDlg::GammaText(int Position) { return QString::number(Position * 0.01, 'g', 15); }

void TConfigureDlg::GammaCorrectionTrackBarChange() {
    VTRACE("TConfigureDlg::GammaCorrectionTrackBarChange");
    GammaLabel->setText(GammaText(GammaCorrectionTrackBar->value()));
}

bool TConfigureDlg::RunInfoFontDialog(TFontDesc& Font) {
    VTRACE("TConfigureDlg::RunInfoFontDialog");
    QFont initial(QString::fromStdString(Font.Name));
    if (Font.Size > 0) initial.setPointSize(Font.Size);
    initial.setBold((Font.Style & fsBold) != 0);
    initial.setItalic((Font.Style & fsItalic) != 0);
    initial.setUnderline((Font.Style & fsUnderline) != 0);
    initial.setStrikeOut((Font.Style & fsStrikeOut) != 0);
    QFontDialog dialog(this);
    dialog.setOptions(QFontDialog::DontUseNativeDialog);
    dialog.setCurrentFont(initial);
    // A face that is not installed shows as a substitute: it stays unless another is chosen.
    const QString shownFamily = dialog.currentFont().family();
    InOwnDialog_ = true;
    const int result = dialog.exec();
    InOwnDialog_ = false;
    if (result != QDialog::Accepted) return false;
    const QFont chosen = dialog.selectedFont();
    // Character set, colour and pitch are not offered here and stay as they were.
    if (chosen.family() != shownFamily) Font.Name = chosen.family().toStdString();
    if (chosen.pointSize() > 0) Font.Size = chosen.pointSize();
    Font.Style = (chosen.bold() ? fsBold : 0) | (chosen.italic() ? fsItalic : 0) |
                 (chosen.underline() ? fsUnderline : 0) | (chosen.strikeOut() ? fsStrikeOut : 0);
    return true;
}

bool TConfigureDlg::RunInfoColourDialog(TColor& Colour) {
    VTRACE("TConfigureDlg::RunInfoColourDialog");
    // It opens on the colour it last returned, whatever was browsed in a cancelled run.
    if (LastInfoColour_.isValid()) InfoColourDialog->setCurrentColor(LastInfoColour_);
    InOwnDialog_ = true;
    int result = InfoColourDialog->exec();
    InOwnDialog_ = false;
    if (result != QDialog::Accepted) return false;
    QColor c = InfoColourDialog->currentColor();
    LastInfoColour_ = c;
    Colour = RGBColor(static_cast<uint8_t>(c.red()), static_cast<uint8_t>(c.green()), static_cast<uint8_t>(c.blue()));
    return true;
}

void TConfigureDlg::InfoFontDialogButtonClick() {
    VTRACE("TConfigureDlg::InfoFontDialogButtonClick");
    TFontDesc font = Config_.InfoFont;
    if (RunInfoFontDialog(font)) Config_.SetInfoFont(font);
}

void TConfigureDlg::SetInfoColourButtonClick() {
    VTRACE("TConfigureDlg::SetInfoColourButtonClick");
    TColor colour = 0;
    if (RunInfoColourDialog(colour)) Config_.SetInfoBackgroundColour(colour);
}

void TConfigureDlg::FullForm() {
    VTRACE("TConfigureDlg::FullForm");
    Config_.FullForm();
}

bool TConfigureDlg::EdgeTabShown() const { return PageControl->isTabVisible(EdgeTabIndex_); }

}  // namespace vellicor
