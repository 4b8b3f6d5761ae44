#include "settings/Configuration.h"

#include <algorithm>
#include <cctype>

#include "platform/Registry.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

const char* const kActionTexts[] = {
    "Drag Image",   "Next Page",        "Previous Page", "Next Page + 1",   "Next or Previous",
    "(None)",       "Zooming",          "Mouse Wheel Direction",            "Follow Mouse",
    "Popup Menu",   "Cycle Round Page", "Cycle Backwards", "Load Files",    "Load Next Files",
    "Minimize",     "Go To Page",       "Thumbnails",    "Scroll Page",     "Cycle Around Page",
};
static_assert(sizeof(kActionTexts) / sizeof(kActionTexts[0]) == kMouseActionCount - 1);

// How many values of the wrong type one box names.
constexpr size_t kInvalidNamed = 30;

bool g_showHint = true;
std::function<void(bool)> g_showHintHook;

// The display flags that the exclusive setters switch off, by bit.
struct DisplayFlag {
    bool TSettings::*field;
    const char* name;
};
const DisplayFlag kDisplayFlags[] = {
    {&TSettings::Fit, "Fit"},
    {&TSettings::FitIfOversize, "FitIfOversize"},
    {&TSettings::FitWidth, "FitWidth"},
    {&TSettings::FitWidthIfOversize, "FitWidthIfOversize"},
    {&TSettings::FitHeight, "FitHeight"},
    {&TSettings::FitHeightIfOversize, "FitHeightIfOversize"},
    {&TSettings::TargetHeight, "TargetHeight"},
    {&TSettings::TwoPages, "TwoPages"},
    {&TSettings::RotateLeft, "RotateLeft"},
    {&TSettings::RotateRight, "RotateRight"},
};
enum : int { dfFit, dfFitIfOversize, dfFitWidth, dfFitWidthIfOversize, dfFitHeight, dfFitHeightIfOversize,
             dfTargetHeight, dfTwoPages, dfRotateLeft, dfRotateRight, dfCount };
static_assert(sizeof(kDisplayFlags) / sizeof(kDisplayFlags[0]) == dfCount);

constexpr uint32_t Bit(int flag) { return 1u << flag; }
constexpr uint32_t kFitModes = Bit(dfFit) | Bit(dfFitIfOversize) | Bit(dfFitWidth) | Bit(dfFitWidthIfOversize) |
                               Bit(dfFitHeight) | Bit(dfFitHeightIfOversize);
// Partners of a fit mode: the other five, the target height and two pages.
constexpr uint32_t FitPartners(int flag) { return (kFitModes & ~Bit(flag)) | Bit(dfTargetHeight) | Bit(dfTwoPages); }

std::string SubKeyPath(const std::string& name) {
    VTRACE("Configuration::SubKeyPath");
    return std::string(TConfigureForm::kSettingsKey) + "\\" + name;
}

// A value name of four (or more) hexadecimal digits, as the page sets write them.
bool HexValue(const std::string& s, uint64_t& v) {
    VTRACE("Configuration::HexValue");
    if (s.empty() || s.size() > 16) return false;
    v = 0;
    for (char c : s) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::toupper(static_cast<unsigned char>(c)) - 'A' + 10);
        v = v * 16 + static_cast<uint64_t>(d);
    }
    return true;
}

// File names come back in list order: hexadecimal names by their number (so "10000" follows
// "FFFF"), any other names after them in text order.
void SortValueNames(std::vector<std::string>& names) {
    VTRACE("Configuration::SortValueNames");
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        uint64_t va = 0, vb = 0;
        bool ha = HexValue(a, va), hb = HexValue(b, vb);
        if (ha != hb) return ha;
        if (ha && va != vb) return va < vb;
        return AnsiCompareText(a, b) < 0;
    });
}

// The menu text shows the bare name; '\' and ':' are ordinary characters in Linux names.
std::string BareName(const std::string& path) {
    VTRACE("Configuration::BareName");
    size_t p = path.rfind('/');
    return p == std::string::npos ? path : path.substr(p + 1);
}

}  // namespace

const char* MouseActionText(int32_t code) {
    VTRACE("Configuration::MouseActionText");
    if (code < 0 || code >= kMouseActionCount - 1) return "";
    return kActionTexts[code];
}

bool ApplicationShowHint() {
    VTRACE("Configuration::ApplicationShowHint");
    return g_showHint;
}

void SetApplicationShowHint(bool show) {
    VTRACE("Configuration::SetApplicationShowHint");
    g_showHint = show;
    if (g_showHintHook) g_showHintHook(show);
}

void SetShowHintHook(std::function<void(bool show)> hook) {
    VTRACE("Configuration::SetShowHintHook");
    g_showHintHook = std::move(hook);
    if (g_showHintHook) g_showHintHook(g_showHint);
}

// ---------------------------------------------------------------------------------------
// Life cycle

TConfigureForm::TConfigureForm() {
    VTRACE("TConfigureForm::TConfigureForm");
    loading_ = true;
    GetInitialRegEntries();
    loading_ = false;
    edgeTabVisible_ = false;
    ShowInvalidData();
    // A file the store could not read at all left every setting at its default: say so.
    std::string note = TakeRegistryUnreadableNote();
    if (!note.empty()) ShowMessageBox("Settings reset to their defaults", RegistryFilePath() + "\n" + note, mbOK, TMsgKind::Warning);
    // A damaged one kept what could be read: say so once, and where the file as it was is.
    note = TakeRegistryDamageNote();
    if (!note.empty()) ShowMessageBox("Settings file damaged", RegistryFilePath() + "\n" + note, mbOK, TMsgKind::Warning);
}

TConfigureForm::~TConfigureForm() {
    VTRACE("TConfigureForm::~TConfigureForm");
    try {
        FormDestroy();
    } catch (const std::exception& e) {
        trace::TraceException(e);
    }
}

void TConfigureForm::FormDestroy() {
    VTRACE("TConfigureForm::FormDestroy");
    // Only the page: the file list was stored when it changed.
    SetRegInt(kRecentPages, LastPage);
}

// ---------------------------------------------------------------------------------------
// Read and write primitives. Each opens the key on its own and closes it again.

void TConfigureForm::ReportInvalidData(const std::string& key, const std::string& name) {
    VTRACE("TConfigureForm::ReportInvalidData");
    VTRACE_STR("TConfigureForm::ReportInvalidData Name", key + "\\" + name);
    if (!reported_.insert(LowerCase(key + "\\" + name)).second) return;
    // A hand-edited store may hold thousands of them, or a name of megabytes: the box names
    // the first few, cut short, and counts the rest, as the missing-files box does.
    if (pending_.size() < kInvalidNamed)
        pending_.push_back("Invalid data type for '" + ShortenedName(name) + "'");
    else
        ++pendingMore_;
    if (!loading_) ShowInvalidData();
}

void TConfigureForm::ShowInvalidData() {
    VTRACE("TConfigureForm::ShowInvalidData");
    if (pending_.empty()) return;
    // One box for everything found in one go; the default is in use for each of them.
    std::string text = RegistryFilePath();
    for (size_t i = 1; i < pending_.size(); ++i) text += "\n" + pending_[i];
    if (pendingMore_ > 0) text += "\nand " + std::to_string(pendingMore_) + " more values of the wrong type";
    std::string caption = pending_.front();
    pending_.clear();
    pendingMore_ = 0;
    ShowMessageBox(caption, text, mbOK, TMsgKind::Warning);
}

std::string TConfigureForm::GetRegString(const std::string& name, const std::string& def) {
    VTRACE("TConfigureForm::GetRegString");
    TRegistry reg(HKEY::CURRENT_USER);
    if (!reg.OpenKey(kSettingsKey, true)) return def;
    if (!reg.ValueExists(name)) {
        reg.WriteString(name, def);
        return def;
    }
    if (auto v = reg.ReadString(name)) return *v;
    ReportInvalidData(kSettingsKey, name);
    return def;
}

int32_t TConfigureForm::GetRegInt(const std::string& name, int32_t def) {
    VTRACE("TConfigureForm::GetRegInt");
    TRegistry reg(HKEY::CURRENT_USER);
    if (!reg.OpenKey(kSettingsKey, true)) return def;
    if (!reg.ValueExists(name)) {
        reg.WriteInteger(name, def);
        return def;
    }
    if (auto v = reg.ReadInteger(name)) return *v;
    ReportInvalidData(kSettingsKey, name);
    return def;
}

bool TConfigureForm::GetRegBool(const std::string& name, bool def) {
    VTRACE("TConfigureForm::GetRegBool");
    return GetRegInt(name, def ? 1 : 0) != 0;
}

void TConfigureForm::SetRegString(const std::string& name, const std::string& value) {
    VTRACE("TConfigureForm::SetRegString");
    TRegistry reg(HKEY::CURRENT_USER);
    if (!reg.OpenKey(kSettingsKey, true) || !reg.WriteString(name, value))
        VTRACE_STR("TConfigureForm::SetRegString Failed", name);
}

void TConfigureForm::SetRegInt(const std::string& name, int32_t value) {
    VTRACE("TConfigureForm::SetRegInt");
    TRegistry reg(HKEY::CURRENT_USER);
    if (!reg.OpenKey(kSettingsKey, true) || !reg.WriteInteger(name, value))
        VTRACE_STR("TConfigureForm::SetRegInt Failed", name);
}

void TConfigureForm::SetRegBool(const std::string& name, bool value) {
    VTRACE("TConfigureForm::SetRegBool");
    SetRegInt(name, value ? 1 : 0);
}

void TConfigureForm::GetInitialRegEntries() {
    VTRACE("TConfigureForm::GetInitialRegEntries");
    // Every field starts at its default, so a value that cannot be read leaves the default.
    static_cast<TSettings&>(*this) = TSettings{};
    const TSettings d;
    // A first run writes every default: one rewrite of the store, not 77.
    TRegistryBatch batch;

    WindowMode = GetRegBool("WindowMode", d.WindowMode);
    WindowMaximized = GetRegBool("WindowMaximized", d.WindowMaximized);
    WindowTop = GetRegInt("WindowTop", d.WindowTop);
    WindowLeft = GetRegInt("WindowLeft", d.WindowLeft);
    WindowHeight = GetRegInt("WindowHeight", d.WindowHeight);
    WindowWidth = GetRegInt("WindowWidth", d.WindowWidth);

    Fit = GetRegBool("Fit", d.Fit);
    FitIfOversize = GetRegBool("FitIfOversize", d.FitIfOversize);
    FitWidth = GetRegBool("FitWidth", d.FitWidth);
    FitWidthIfOversize = GetRegBool("FitWidthIfOversize", d.FitWidthIfOversize);
    SuppressFitWidthDoublePages = GetRegBool("SuppressFitWidthDoublePages", d.SuppressFitWidthDoublePages);
    FitHeight = GetRegBool("FitHeight", d.FitHeight);
    FitHeightIfOversize = GetRegBool("FitHeightIfOversize", d.FitHeightIfOversize);
    TwoPages = GetRegBool("TwoPages", d.TwoPages);
    RotateLeft = GetRegBool("RotateLeft", d.RotateLeft);
    RotateRight = GetRegBool("RotateRight", d.RotateRight);
    TargetHeight = GetRegBool("TargetHeight", d.TargetHeight);
    TargetHeightVal = GetRegInt("TargetHeightVal", d.TargetHeightVal);
    RotateScrollFunctions = GetRegBool("RotateScrollFunctions", d.RotateScrollFunctions);
    Background = GetRegInt("Background", d.Background);
    ImageInformation = GetRegBool("ImageInformation", d.ImageInformation);
    DisplayInfoFiles = GetRegBool("DisplayInfoFiles", d.DisplayInfoFiles);
    JapaneseMode = GetRegBool("JapaneseMode", d.JapaneseMode);
    SmallCursor = GetRegBool("SmallCursor", d.SmallCursor);
    Zooming = GetRegBool("Zooming", d.Zooming);

    SetApplicationShowHint(!GetRegBool("DisableHints", kDisableHintsDefault));

    PageInTwos = GetRegBool("PageInTwos", d.PageInTwos);
    PageBackInTwos = GetRegBool("PageBackInTwos", d.PageBackInTwos);
    GenerateThumbsInBackground = GetRegBool("GenerateThumbsInBackground", d.GenerateThumbsInBackground);
    PageBufferSize = GetRegInt("PageBufferSize", d.PageBufferSize);
    FileBufferSize = GetRegInt("FileBufferSize", d.FileBufferSize);
    StripLastDirInHistoryList = GetRegBool("StripLastDirInHistoryList", d.StripLastDirInHistoryList);
    AlternateArrowKeyFunctions = GetRegBool("AlternateArrowKeyFunctions", d.AlternateArrowKeyFunctions);

    InfoFont.Charset = GetRegInt("InfoFontCharset", d.InfoFont.Charset);
    InfoFont.Color = GetRegInt("InfoFontColour", d.InfoFont.Color);
    InfoFont.Size = GetRegInt("InfoFontSize", d.InfoFont.Size);
    InfoFont.Name = GetRegString("InfoFontName", d.InfoFont.Name);
    InfoFont.Pitch = GetRegInt("InfoFontPitch", d.InfoFont.Pitch);
    InfoFont.Style = GetRegInt("InfoFontStyle", d.InfoFont.Style) & fsAllStyles;

    storedInfoFont_ = InfoFont;
    InfoBackgroundColour = GetRegInt("InfoBackgroundColour", d.InfoBackgroundColour);
    storedInfoBackgroundColour_ = InfoBackgroundColour;
    InfoHeight = GetRegInt("InfoHeight", d.InfoHeight);
    InfoWidth = GetRegInt("InfoWidth", d.InfoWidth);

    CursorMove = GetRegInt("CursorMove", d.CursorMove);
    MouseWheel = GetRegInt("MouseWheel", d.MouseWheel);
    LeftClick1 = GetRegInt("LeftClick1", d.LeftClick1);
    LeftClick2 = GetRegInt("LeftClick2", d.LeftClick2);
    LeftClick3 = GetRegInt("LeftClick3", d.LeftClick3);
    MiddleClick1 = GetRegInt("MiddleClick1", d.MiddleClick1);
    MiddleClick2 = GetRegInt("MiddleClick2", d.MiddleClick2);
    MiddleClick3 = GetRegInt("MiddleClick3", d.MiddleClick3);
    RightClick1 = GetRegInt("RightClick1", d.RightClick1);
    RightClick2 = GetRegInt("RightClick2", d.RightClick2);
    RightClick3 = GetRegInt("RightClick3", d.RightClick3);

    Balance = GetRegBool("Balance", d.Balance);
    DiscardsPer1000 = GetRegInt("DiscardsPer1000", d.DiscardsPer1000);
    GammaCorrect = GetRegBool("GammaCorrect", d.GammaCorrect);
    GammaCorrection = GetRegInt("GammaCorrection", d.GammaCorrection);
    FixYellowing = GetRegBool("FixYellowing", d.FixYellowing);
    YellowingRedThreshold = GetRegInt("YellowingRedThreshold", d.YellowingRedThreshold);
    YellowingGreenThreshold = GetRegInt("YellowingGreenThreshold", d.YellowingGreenThreshold);
    YellowingBlueThreshold = GetRegInt("YellowingBlueThreshold", d.YellowingBlueThreshold);
    YellowingRedBoost = GetRegInt("YellowingRedBoost", d.YellowingRedBoost);
    YellowingGreenBoost = GetRegInt("YellowingGreenBoost", d.YellowingGreenBoost);
    YellowingBlueBoost = GetRegInt("YellowingBlueBoost", d.YellowingBlueBoost);
    FixEdgeYellowing = GetRegBool("FixEdgeYellowing", d.FixEdgeYellowing);
    EdgeYellowingRedThreshold = GetRegInt("EdgeYellowingRedThreshold", d.EdgeYellowingRedThreshold);
    EdgeYellowingGreenThreshold = GetRegInt("EdgeYellowingGreenThreshold", d.EdgeYellowingGreenThreshold);
    EdgeYellowingBlueThreshold = GetRegInt("EdgeYellowingBlueThreshold", d.EdgeYellowingBlueThreshold);
    EdgeYellowingRedBoost = GetRegInt("EdgeYellowingRedBoost", d.EdgeYellowingRedBoost);
    EdgeYellowingGreenBoost = GetRegInt("EdgeYellowingGreenBoost", d.EdgeYellowingGreenBoost);
    EdgeYellowingBlueBoost = GetRegInt("EdgeYellowingBlueBoost", d.EdgeYellowingBlueBoost);
    FixInternalYellowing = GetRegBool("FixInternalYellowing", d.FixInternalYellowing);

    LastDir = GetRegString("LastDir", d.LastDir);
    RecentDirectories = GetRegString("RecentDirectories", d.RecentDirectories);
    FavouriteDirectories = GetRegString("FavouriteDirectories", d.FavouriteDirectories);
    LastFilterIndex = GetRegInt("LastFilterIndex", d.LastFilterIndex);
    StdFileOpenDlg = GetRegBool("StdFileOpenDlg", d.StdFileOpenDlg);

    GetLastPages();
}

// ---------------------------------------------------------------------------------------
// Setters

void TConfigureForm::FireConfigurationChange() {
    VTRACE("TConfigureForm::FireConfigurationChange");
    if (OnConfigurationChange) OnConfigurationChange(*this);
}

void TConfigureForm::StoreBool(bool& field, const char* name, bool value) {
    VTRACE("TConfigureForm::StoreBool");
    field = value;
    SetRegBool(name, value);
}

void TConfigureForm::SetExclusive(int flag, bool value, uint32_t partners) {
    VTRACE("TConfigureForm::SetExclusive");
    TSettings& s = *this;
    bool& field = s.*kDisplayFlags[flag].field;
    if (field == value) return;
    {
        // All values of one switch in one rewrite; the handler then sees them on disk.
        TRegistryBatch batch;
        StoreBool(field, kDisplayFlags[flag].name, value);
        if (value)
            for (int i = 0; i < dfCount; ++i)
                if (partners & Bit(i)) StoreBool(s.*kDisplayFlags[i].field, kDisplayFlags[i].name, false);
    }
    FireConfigurationChange();
}

void TConfigureForm::SetFit(bool value) {
    VTRACE("TConfigureForm::SetFit");
    SetExclusive(dfFit, value, FitPartners(dfFit));
}

void TConfigureForm::SetFitIfOversize(bool value) {
    VTRACE("TConfigureForm::SetFitIfOversize");
    SetExclusive(dfFitIfOversize, value, FitPartners(dfFitIfOversize));
}

void TConfigureForm::SetFitWidth(bool value) {
    VTRACE("TConfigureForm::SetFitWidth");
    SetExclusive(dfFitWidth, value, FitPartners(dfFitWidth));
}

void TConfigureForm::SetFitWidthIfOversize(bool value) {
    VTRACE("TConfigureForm::SetFitWidthIfOversize");
    SetExclusive(dfFitWidthIfOversize, value, FitPartners(dfFitWidthIfOversize));
}

void TConfigureForm::SetFitHeight(bool value) {
    VTRACE("TConfigureForm::SetFitHeight");
    SetExclusive(dfFitHeight, value, FitPartners(dfFitHeight));
}

void TConfigureForm::SetFitHeightIfOversize(bool value) {
    VTRACE("TConfigureForm::SetFitHeightIfOversize");
    SetExclusive(dfFitHeightIfOversize, value, FitPartners(dfFitHeightIfOversize));
}

void TConfigureForm::SetTargetHeight(bool value) {
    VTRACE("TConfigureForm::SetTargetHeight");
    SetExclusive(dfTargetHeight, value, kFitModes | Bit(dfTwoPages));
}

void TConfigureForm::SetTwoPages(bool value) {
    VTRACE("TConfigureForm::SetTwoPages");
    SetExclusive(dfTwoPages, value, kFitModes | Bit(dfTargetHeight) | Bit(dfRotateLeft) | Bit(dfRotateRight));
}

void TConfigureForm::SetRotateLeft(bool value) {
    VTRACE("TConfigureForm::SetRotateLeft");
    SetExclusive(dfRotateLeft, value, Bit(dfTwoPages) | Bit(dfRotateRight));
}

void TConfigureForm::SetRotateRight(bool value) {
    VTRACE("TConfigureForm::SetRotateRight");
    SetExclusive(dfRotateRight, value, Bit(dfTwoPages) | Bit(dfRotateLeft));
}

void TConfigureForm::SetAndAnnounce(bool& field, const char* name, bool value, bool fire) {
    VTRACE("TConfigureForm::SetAndAnnounce");
    if (field == value) return;
    StoreBool(field, name, value);
    if (fire) FireConfigurationChange();
}

void TConfigureForm::SetJapaneseMode(bool value) {
    VTRACE("TConfigureForm::SetJapaneseMode");
    SetAndAnnounce(JapaneseMode, "JapaneseMode", value, true);
}

void TConfigureForm::SetSmallCursor(bool value) {
    VTRACE("TConfigureForm::SetSmallCursor");
    SetAndAnnounce(SmallCursor, "SmallCursor", value, true);
}

void TConfigureForm::SetZooming(bool value) {
    VTRACE("TConfigureForm::SetZooming");
    SetAndAnnounce(Zooming, "Zooming", value, true);
}

void TConfigureForm::SetColourBalanceOn(bool value) {
    VTRACE("TConfigureForm::SetColourBalanceOn");
    SetAndAnnounce(Balance, "Balance", value, true);
}

void TConfigureForm::SetGammaCorrectOn(bool value) {
    VTRACE("TConfigureForm::SetGammaCorrectOn");
    SetAndAnnounce(GammaCorrect, "GammaCorrect", value, true);
}

void TConfigureForm::SetYellowReductionOn(bool value) {
    VTRACE("TConfigureForm::SetYellowReductionOn");
    SetAndAnnounce(FixYellowing, "FixYellowing", value, true);
}

void TConfigureForm::SetImageInformation(bool value) {
    VTRACE("TConfigureForm::SetImageInformation");
    SetAndAnnounce(ImageInformation, "ImageInformation", value, false);
}

void TConfigureForm::SetRotateScrollFunctions(bool value) {
    VTRACE("TConfigureForm::SetRotateScrollFunctions");
    SetAndAnnounce(RotateScrollFunctions, "RotateScrollFunctions", value, false);
}

void TConfigureForm::SetLastDir(const std::string& value) {
    VTRACE("TConfigureForm::SetLastDir");
    LastDir = value;
    SetRegString("LastDir", LastDir);
}

void TConfigureForm::SetRecentDirs(const std::string& commaText) {
    VTRACE("TConfigureForm::SetRecentDirs");
    RecentDirectories = commaText;
    SetRegString("RecentDirectories", RecentDirectories);
}

void TConfigureForm::SetFavouriteDirs(const std::string& commaText) {
    VTRACE("TConfigureForm::SetFavouriteDirs");
    FavouriteDirectories = commaText;
    SetRegString("FavouriteDirectories", FavouriteDirectories);
}

void TConfigureForm::SetLastIndex(int32_t value) {
    VTRACE("TConfigureForm::SetLastIndex");
    LastFilterIndex = value;
    SetRegInt("LastFilterIndex", value);
}

void TConfigureForm::SetInfoWidth(int32_t value) {
    VTRACE("TConfigureForm::SetInfoWidth");
    InfoWidth = value;
    SetRegInt("InfoWidth", value);
}

void TConfigureForm::SetInfoHeight(int32_t value) {
    VTRACE("TConfigureForm::SetInfoHeight");
    InfoHeight = value;
    SetRegInt("InfoHeight", value);
}

void TConfigureForm::SetWindowMode(bool value) {
    VTRACE("TConfigureForm::SetWindowMode");
    StoreBool(WindowMode, "WindowMode", value);
}

void TConfigureForm::SetWindowMaximized(bool value) {
    VTRACE("TConfigureForm::SetWindowMaximized");
    StoreBool(WindowMaximized, "WindowMaximized", value);
}

void TConfigureForm::SetWindowWidth(int32_t value) {
    VTRACE("TConfigureForm::SetWindowWidth");
    WindowWidth = value;
    SetRegInt("WindowWidth", value);
}

void TConfigureForm::SetWindowHeight(int32_t value) {
    VTRACE("TConfigureForm::SetWindowHeight");
    WindowHeight = value;
    SetRegInt("WindowHeight", value);
}

void TConfigureForm::SetWindowTop(int32_t value) {
    VTRACE("TConfigureForm::SetWindowTop");
    WindowTop = value;
    SetRegInt("WindowTop", value);
}

void TConfigureForm::SetWindowLeft(int32_t value) {
    VTRACE("TConfigureForm::SetWindowLeft");
    WindowLeft = value;
    SetRegInt("WindowLeft", value);
}

void TConfigureForm::SetLastPage(int32_t value) {
    VTRACE("TConfigureForm::SetLastPage");
    LastPage = value;
}

// ---------------------------------------------------------------------------------------
// The dialog's write-back

namespace {

// One value of the write-back, in the order the dialog hands them over. Counts: a change
// of it changes what is shown, so the change event is fired.
struct FormEntry {
    enum Kind { Bool, Int, TargetHeightPair, DisableHints } kind;
    bool TSettings::*b;
    int32_t TSettings::*i;
    const char* name;
    bool counts;
};

constexpr FormEntry B(bool TSettings::*f, const char* n, bool counts = true) {
    return {FormEntry::Bool, f, nullptr, n, counts};
}
constexpr FormEntry I(int32_t TSettings::*f, const char* n, bool counts = true) {
    return {FormEntry::Int, nullptr, f, n, counts};
}

const FormEntry kFormEntries[] = {
    B(&TSettings::Fit, "Fit"),
    B(&TSettings::FitIfOversize, "FitIfOversize"),
    B(&TSettings::FitWidth, "FitWidth"),
    B(&TSettings::FitWidthIfOversize, "FitWidthIfOversize"),
    B(&TSettings::SuppressFitWidthDoublePages, "SuppressFitWidthDoublePages"),
    B(&TSettings::FitHeight, "FitHeight"),
    B(&TSettings::FitHeightIfOversize, "FitHeightIfOversize"),
    B(&TSettings::TwoPages, "TwoPages"),
    B(&TSettings::RotateLeft, "RotateLeft"),
    B(&TSettings::RotateRight, "RotateRight"),
    {FormEntry::TargetHeightPair, nullptr, nullptr, "TargetHeight", true},
    B(&TSettings::RotateScrollFunctions, "RotateScrollFunctions"),
    I(&TSettings::Background, "Background"),
    B(&TSettings::ImageInformation, "ImageInformation"),
    B(&TSettings::DisplayInfoFiles, "DisplayInfoFiles", false),
    B(&TSettings::JapaneseMode, "JapaneseMode"),
    B(&TSettings::SmallCursor, "SmallCursor"),
    B(&TSettings::StdFileOpenDlg, "StdFileOpenDlg", false),
    B(&TSettings::GenerateThumbsInBackground, "GenerateThumbsInBackground", false),
    I(&TSettings::PageBufferSize, "PageBufferSize"),
    I(&TSettings::FileBufferSize, "FileBufferSize"),
    {FormEntry::DisableHints, nullptr, nullptr, "DisableHints", false},
    B(&TSettings::PageInTwos, "PageInTwos", false),
    B(&TSettings::PageBackInTwos, "PageBackInTwos", false),
    B(&TSettings::StripLastDirInHistoryList, "StripLastDirInHistoryList", false),
    B(&TSettings::AlternateArrowKeyFunctions, "AlternateArrowKeyFunctions", false),
    B(&TSettings::Zooming, "Zooming"),
    I(&TSettings::CursorMove, "CursorMove", false),
    I(&TSettings::MouseWheel, "MouseWheel", false),
    I(&TSettings::LeftClick1, "LeftClick1", false),
    I(&TSettings::LeftClick2, "LeftClick2", false),
    I(&TSettings::LeftClick3, "LeftClick3", false),
    I(&TSettings::MiddleClick1, "MiddleClick1", false),
    I(&TSettings::MiddleClick2, "MiddleClick2", false),
    I(&TSettings::MiddleClick3, "MiddleClick3", false),
    I(&TSettings::RightClick1, "RightClick1", false),
    I(&TSettings::RightClick2, "RightClick2", false),
    I(&TSettings::RightClick3, "RightClick3", false),
    B(&TSettings::Balance, "Balance"),
    I(&TSettings::DiscardsPer1000, "DiscardsPer1000"),
    B(&TSettings::GammaCorrect, "GammaCorrect"),
    I(&TSettings::GammaCorrection, "GammaCorrection"),
    B(&TSettings::FixYellowing, "FixYellowing"),
    I(&TSettings::YellowingRedThreshold, "YellowingRedThreshold"),
    I(&TSettings::YellowingGreenThreshold, "YellowingGreenThreshold"),
    I(&TSettings::YellowingBlueThreshold, "YellowingBlueThreshold"),
    I(&TSettings::YellowingRedBoost, "YellowingRedBoost"),
    I(&TSettings::YellowingGreenBoost, "YellowingGreenBoost"),
    I(&TSettings::YellowingBlueBoost, "YellowingBlueBoost"),
    B(&TSettings::FixEdgeYellowing, "FixEdgeYellowing"),
    I(&TSettings::EdgeYellowingRedThreshold, "EdgeYellowingRedThreshold"),
    I(&TSettings::EdgeYellowingGreenThreshold, "EdgeYellowingGreenThreshold"),
    I(&TSettings::EdgeYellowingBlueThreshold, "EdgeYellowingBlueThreshold"),
    I(&TSettings::EdgeYellowingRedBoost, "EdgeYellowingRedBoost"),
    I(&TSettings::EdgeYellowingGreenBoost, "EdgeYellowingGreenBoost"),
    I(&TSettings::EdgeYellowingBlueBoost, "EdgeYellowingBlueBoost"),
    B(&TSettings::FixInternalYellowing, "FixInternalYellowing"),
};

}  // namespace

bool TConfigureForm::GetFormEntries(const TSettings& Entries, bool DisableHints) {
    VTRACE("TConfigureForm::GetFormEntries");
    TSettings& s = *this;
    bool changed = false;
    TRegistryBatch batch;  // one rewrite of the store for the whole dialog
    for (const FormEntry& e : kFormEntries) {
        bool differs = false;
        switch (e.kind) {
            case FormEntry::Bool:
                if ((differs = s.*e.b != Entries.*e.b)) StoreBool(s.*e.b, e.name, Entries.*e.b);
                break;
            case FormEntry::Int:
                if ((differs = s.*e.i != Entries.*e.i)) {
                    s.*e.i = Entries.*e.i;
                    SetRegInt(e.name, s.*e.i);
                }
                break;
            case FormEntry::TargetHeightPair:
                // The box and its height are one setting: both are written when either differs.
                if ((differs = TargetHeight != Entries.TargetHeight || TargetHeightVal != Entries.TargetHeightVal)) {
                    StoreBool(TargetHeight, "TargetHeight", Entries.TargetHeight);
                    TargetHeightVal = Entries.TargetHeightVal;
                    SetRegInt("TargetHeightVal", TargetHeightVal);
                }
                break;
            case FormEntry::DisableHints:
                // The box against the application's switch, which is what the stored value means.
                if ((differs = DisableHints == ApplicationShowHint())) {
                    SetApplicationShowHint(!DisableHints);
                    SetRegBool(e.name, DisableHints);
                }
                break;
        }
        if (differs) VTRACE_STR("TConfigureForm::GetFormEntries Changed", e.name);
        if (differs && e.counts) changed = true;
    }
    // Kept in memory by the font and colour buttons and by Default; the store follows them
    // here, so a Default confirmed with OK lasts beyond this run.
    if (InfoFont != storedInfoFont_) WriteInfoFont();
    if (InfoBackgroundColour != storedInfoBackgroundColour_) SetInfoBackgroundColour(InfoBackgroundColour);
    VTRACE_INT("TConfigureForm::GetFormEntries Changed", changed);
    return changed;
}

void TConfigureForm::WriteInfoFont() {
    VTRACE("TConfigureForm::WriteInfoFont");
    TRegistryBatch batch;
    SetRegInt("InfoFontCharset", InfoFont.Charset);
    SetRegInt("InfoFontColour", static_cast<int32_t>(InfoFont.Color));
    SetRegInt("InfoFontSize", InfoFont.Size);
    SetRegString("InfoFontName", InfoFont.Name);
    SetRegInt("InfoFontPitch", InfoFont.Pitch);
    SetRegInt("InfoFontStyle", InfoFont.Style & fsAllStyles);
    storedInfoFont_ = InfoFont;
}

void TConfigureForm::SetInfoFont(const TFontDesc& Font) {
    VTRACE("TConfigureForm::SetInfoFont");
    InfoFont = Font;
    InfoFont.Style &= fsAllStyles;
    WriteInfoFont();
}

void TConfigureForm::SetInfoBackgroundColour(TColor Colour) {
    VTRACE("TConfigureForm::SetInfoBackgroundColour");
    InfoBackgroundColour = Colour;
    SetRegInt("InfoBackgroundColour", static_cast<int32_t>(Colour));
    storedInfoBackgroundColour_ = Colour;
}

void TConfigureForm::ResetInfoFontAndColour() {
    VTRACE("TConfigureForm::ResetInfoFontAndColour");
    const TSettings d;
    InfoFont = d.InfoFont;
    InfoBackgroundColour = d.InfoBackgroundColour;
}

void TConfigureForm::FullForm() {
    VTRACE("TConfigureForm::FullForm");
    edgeTabVisible_ = true;
    if (OnFullForm) OnFullForm();
}

// ---------------------------------------------------------------------------------------
// Page sets

std::string TConfigureForm::BookmarkName(int slot) {
    VTRACE("TConfigureForm::BookmarkName");
    return std::string(kRecentPages) + IntToHex(static_cast<uint32_t>(slot), 4);
}

bool TConfigureForm::AreSubKeysPresent(const std::string& name) {
    VTRACE("TConfigureForm::AreSubKeysPresent");
    TRegistry reg(HKEY::CURRENT_USER);
    if (!reg.OpenKey(SubKeyPath(name), false)) return false;
    // Only a file name makes a set; a value of the wrong type is skipped when reading.
    for (const auto& v : reg.GetValueNames())
        if (reg.GetDataType(v) == TRegDataType::rdString) return true;
    return false;
}

void TConfigureForm::DeleteSubKeys(const std::string& name) {
    VTRACE("TConfigureForm::DeleteSubKeys");
    TRegistry reg(HKEY::CURRENT_USER);
    if (reg.OpenKey(kSettingsKey, false) && reg.KeyExists(name)) reg.DeleteKey(name);
}

void TConfigureForm::SetSubKeys(const std::string& name, int32_t page, const TStringList& files) {
    VTRACE("TConfigureForm::SetSubKeys");
    TRegistryBatch batch;
    SetRegInt(name, page);
    TRegistry reg(HKEY::CURRENT_USER);
    if (!reg.OpenKey(kSettingsKey, true)) return;
    // Start from an empty sub-key, so no stray value of an earlier set can follow this list.
    if (reg.KeyExists(name)) reg.DeleteKey(name);
    if (!reg.OpenKey(name, true)) return;
    for (int i = 0; i < files.Count(); ++i) reg.WriteString(IntToHex(static_cast<uint32_t>(i), 4), files[i]);
}

bool TConfigureForm::GetSubKeys(const std::string& name, int32_t& page, TStringList& files) {
    VTRACE("TConfigureForm::GetSubKeys");
    TRegistry sub(HKEY::CURRENT_USER);
    std::vector<std::string> names;
    if (sub.OpenKey(SubKeyPath(name), false)) names = sub.GetValueNames();

    page = 0;
    {
        TRegistry reg(HKEY::CURRENT_USER);
        if (reg.OpenKey(kSettingsKey, false) && reg.ValueExists(name)) {
            if (auto v = reg.ReadInteger(name))
                page = *v;
            else
                ReportInvalidData(kSettingsKey, name);
        }
    }

    files.Clear();
    SortValueNames(names);
    for (const auto& n : names) {
        auto v = sub.ReadString(n);
        if (!v) {
            ReportInvalidData(SubKeyPath(name), n);
            continue;
        }
        files.Add(Trim(*v));
    }
    VTRACE_INT("TConfigureForm::GetSubKeys Count", files.Count());
    return files.Count() > 0;
}

void TConfigureForm::GetLastPages() {
    VTRACE("TConfigureForm::GetLastPages");
    GetSubKeys(kRecentPages, LastPage, LastFiles);
}

void TConfigureForm::SetLastPages(const TStringList& files) {
    VTRACE("TConfigureForm::SetLastPages");
    TStringList copy;  // files may be LastFiles itself
    for (const auto& f : files) copy.Add(f);
    LastFiles = std::move(copy);
    TRegistryBatch batch;
    DeleteSubKeys(kRecentPages);
    SetSubKeys(kRecentPages, LastPage, LastFiles);
}

void TConfigureForm::SetBookmark(int slot) {
    VTRACE("TConfigureForm::SetBookmark");
    VTRACE_INT("TConfigureForm::SetBookmark Slot", slot);
    if (slot < -1 || slot >= kBookmarkSlots) return;
    // An empty set would read back as no bookmark at all, after pushing out the oldest
    // (or wiping the slot given): nothing to store.
    if (LastFiles.Count() == 0) return;
    TRegistryBatch batch;
    SetRegInt(kRecentPages, LastPage);
    int target = slot;
    if (slot != -1) {
        DeleteSubKeys(BookmarkName(slot));
    } else {
        int free = -1;
        for (int i = 0; i < kBookmarkSlots && free < 0; ++i)
            if (!AreSubKeysPresent(BookmarkName(i))) free = i;
        if (free < 0) {
            DeleteSubKeys(BookmarkName(kBookmarkSlots - 1));
            free = kBookmarkSlots - 1;
        }
        for (int j = free; j >= 1; --j) {
            int32_t page = 0;
            TStringList files;
            if (GetSubKeys(BookmarkName(j - 1), page, files)) {
                SetSubKeys(BookmarkName(j), page, files);
                DeleteSubKeys(BookmarkName(j - 1));
            }
        }
        target = 0;
    }
    SetSubKeys(BookmarkName(target), LastPage, LastFiles);
}

void TConfigureForm::ListBookmarks(TStringList& items) {
    VTRACE("TConfigureForm::ListBookmarks");
    items.Clear();
    items.SetSorted(false);
    for (int slot = 0; slot < kBookmarkSlots; ++slot) {
        int32_t page = 0;
        TStringList files;
        if (GetSubKeys(BookmarkName(slot), page, files))
            items.Add(BareName(files[0]) + " - #" + IntToStr(static_cast<int64_t>(page) + 1));
        else
            items.Add("");
    }
}

void TConfigureForm::RetrieveBookmark(int slot) {
    VTRACE("TConfigureForm::RetrieveBookmark");
    VTRACE_INT("TConfigureForm::RetrieveBookmark Slot", slot);
    if (slot < 0 || slot >= kBookmarkSlots) return;
    int32_t page = 0;
    TStringList files;
    if (!GetSubKeys(BookmarkName(slot), page, files)) return;
    TRegistryBatch batch;
    DeleteSubKeys(kRecentPages);
    LastFiles = files;
    LastPage = page;
    SetSubKeys(kRecentPages, page, files);
}

}  // namespace vellicor
