#pragma once
// The one settings object of the reader. Every setting is a public field named after its
// value in the settings store; the constructor loads them all (a first run writes every
// default), the setters write through at once and announce display changes, and the page
// sets (the one being read and twelve bookmarks) live in sub-keys of the settings key.
// The rest of the program reads the fields directly and changes them only through the
// setters; the configuration dialog (GUI) edits the same object.
//
// Stored values are taken as they are: nothing is clamped on load. Every reader of a
// numeric setting must cope with 0, negative and huge values.
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/Bitmap.h"
#include "platform/StringList.h"

namespace vellicor {

// Colours are the platform's TColor: 0x00BBGGRR, or a system colour with the high bit set
// and the system colour's index in the low byte.
inline constexpr TColor clBlack = 0;
inline constexpr TColor clWindow = static_cast<TColor>(0x80000005u);

// Style bits of a font, as stored in "InfoFontStyle".
enum TFontStyleBit : int32_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
inline constexpr int32_t fsAllStyles = fsBold | fsItalic | fsUnderline | fsStrikeOut;

// Pitch values of a font.
enum TFontPitch : int32_t { fpDefault = 0, fpVariable = 1, fpFixed = 2 };

// A font described by value; the GUI turns it into its own font object.
struct TFontDesc {
    int32_t Charset = 0;
    TColor Color = clBlack;
    int32_t Size = 10;  // points; as stored, so possibly 0 or negative
    std::string Name = "Courier";
    int32_t Pitch = fpDefault;
    int32_t Style = 0;  // TFontStyleBit set
    bool operator==(const TFontDesc&) const = default;
};

// What a mouse movement, the wheel or a click does. The settings hold the code as a plain
// integer, which may be out of range when the store was edited by hand.
enum TMouseAction : int32_t {
    maDragImage = 0,
    maNextPage = 1,
    maPreviousPage = 2,
    maNextPagePlus1 = 3,
    maNextOrPrevious = 4,
    maNone = 5,
    maZooming = 6,
    maMouseWheelDirection = 7,
    maFollowMouse = 8,
    maPopupMenu = 9,
    maCycleRoundPage = 10,
    maCycleBackwards = 11,
    maLoadFiles = 12,
    maLoadNextFiles = 13,
    maMinimize = 14,
    maGoToPage = 15,
    maThumbnails = 16,
    maScrollPage = 17,
    maCycleAroundPage = 18,
    maLoadPreviousFiles = 19,  // known to the click handling only; has no text
};
inline constexpr int32_t kMouseActionCount = 20;
// The text under which the dialog offers an action; "" for 19 and for codes out of range.
const char* MouseActionText(int32_t code);

// The application's show-hint switch (tool tips). The GUI installs a hook that turns its
// tool tips on or off; installing it applies the current state at once, since the settings
// are loaded before the GUI is complete. Without a hook only the switch is kept.
bool ApplicationShowHint();
void SetApplicationShowHint(bool show);
void SetShowHintHook(std::function<void(bool show)> hook);

// Every persisted setting with its default. Field names are the names of the stored values
// (LastFiles and LastPage are stored as the page set "RecentPages" instead). A value-
// initialised TSettings holds every default, which is what the dialog's Default button needs.
struct TSettings {
    bool WindowMode = false;
    bool WindowMaximized = false;
    int32_t WindowTop = 0;
    int32_t WindowLeft = 0;
    int32_t WindowWidth = -1;   // -1: never stored; any other value as stored, 0 and negative included
    int32_t WindowHeight = -1;  // -1: never stored; as WindowWidth
    bool Fit = false;
    bool FitIfOversize = false;
    bool FitWidth = false;
    bool FitWidthIfOversize = true;
    bool SuppressFitWidthDoublePages = true;
    bool FitHeight = false;
    bool FitHeightIfOversize = false;
    bool RotateScrollFunctions = true;
    bool TwoPages = false;
    bool RotateLeft = false;
    bool RotateRight = false;
    bool TargetHeight = false;
    bool ImageInformation = false;
    bool JapaneseMode = false;
    bool SmallCursor = true;
    bool Zooming = false;
    int32_t InfoWidth = 574;   // pixels, as stored: may be 0 or negative
    int32_t InfoHeight = 444;  // pixels, as stored: may be 0 or negative
    bool Balance = true;
    bool GammaCorrect = false;
    bool FixYellowing = true;
    bool FixEdgeYellowing = false;
    std::string RecentDirectories;     // comma text of a string list
    std::string FavouriteDirectories;  // comma text of a string list
    std::string LastDir;
    TStringList LastFiles;  // names of the page set being read
    int32_t LastPage = 0;   // page index within LastFiles; may be beyond the pages or negative
    int32_t LastFilterIndex = 2;  // open dialog filter, as stored
    bool StdFileOpenDlg = false;
    int32_t DiscardsPer1000 = 5;    // the dialog offers 0 to 1000; the store may hold anything
    int32_t GammaCorrection = 220;  // gamma times 100; the dialog offers 1 to 700, the store may hold 0
    // Colour components: the dialog offers 0 to 255, the store may hold anything.
    int32_t YellowingRedThreshold = 235;
    int32_t YellowingGreenThreshold = 220;
    int32_t YellowingBlueThreshold = 127;
    int32_t YellowingRedBoost = 0;
    int32_t YellowingGreenBoost = 10;
    int32_t YellowingBlueBoost = 20;
    int32_t EdgeYellowingRedThreshold = 200;
    int32_t EdgeYellowingGreenThreshold = 150;
    int32_t EdgeYellowingBlueThreshold = 120;
    int32_t EdgeYellowingRedBoost = 255;
    int32_t EdgeYellowingGreenBoost = 240;
    int32_t EdgeYellowingBlueBoost = 230;
    bool FixInternalYellowing = false;
    int32_t TargetHeightVal = 1200;  // pixels; the dialog offers 1 to 4096, the store may hold 0
    int32_t Background = 0;  // 0 Auto, 1 Black, 2 White, 3 Gray, 4 Background; others possible
    bool GenerateThumbsInBackground = true;
    int32_t PageBufferSize = 3;  // the dialog offers 0 to 8; the store may hold anything
    int32_t FileBufferSize = 0;  // the dialog offers 0 to 100; the store may hold anything
    // TMouseAction codes; a stored code may be out of range.
    int32_t CursorMove = maZooming;
    int32_t MouseWheel = maScrollPage;
    int32_t LeftClick1 = maDragImage;
    int32_t LeftClick2 = maNextOrPrevious;
    int32_t LeftClick3 = maNone;
    int32_t MiddleClick1 = maMouseWheelDirection;
    int32_t MiddleClick2 = maNone;
    int32_t MiddleClick3 = maNone;
    int32_t RightClick1 = maPopupMenu;
    int32_t RightClick2 = maNone;
    int32_t RightClick3 = maNone;
    bool PageInTwos = false;
    bool PageBackInTwos = false;
    bool StripLastDirInHistoryList = false;
    bool AlternateArrowKeyFunctions = false;
    bool DisplayInfoFiles = true;
    TFontDesc InfoFont;  // stored as the six InfoFont* values
    TColor InfoBackgroundColour = clWindow;
};

class TConfigureForm;
// Sender is the settings object.
using TConfigurationChangeEvent = std::function<void(TConfigureForm& Sender)>;

class TConfigureForm : public TSettings {
public:
    // The settings key under HKEY_CURRENT_USER, and the name of the current page set.
    static constexpr const char* kSettingsKey = "\\Software\\Vellicor";
    static constexpr const char* kRecentPages = "RecentPages";
    static constexpr int kBookmarkSlots = 12;
    // Defaults of the values that have no field.
    static constexpr bool kDisableHintsDefault = false;

    // Loads every setting; a first run writes every default.
    TConfigureForm();
    // Writes the page of the current page set.
    ~TConfigureForm();
    TConfigureForm(const TConfigureForm&) = delete;
    TConfigureForm& operator=(const TConfigureForm&) = delete;

    // Read with default: a missing value is written with the default first. A value of the
    // wrong type is reported once and the default is returned; so is any read when the key
    // cannot be opened.
    std::string GetRegString(const std::string& name, const std::string& def);
    bool GetRegBool(const std::string& name, bool def);
    int32_t GetRegInt(const std::string& name, int32_t def);
    // Write through at once (booleans as 0 and 1).
    void SetRegString(const std::string& name, const std::string& value);
    void SetRegBool(const std::string& name, bool value);
    void SetRegInt(const std::string& name, int32_t value);
    // Loads the whole record; the constructor calls it.
    void GetInitialRegEntries();

    // Display setters that keep the fitting modes, two pages and the rotations exclusive.
    // Each does nothing when the value is unchanged, else writes it (and, when switching
    // on, its partners as false) and fires OnConfigurationChange once.
    void SetFit(bool value);
    void SetFitIfOversize(bool value);
    void SetFitWidth(bool value);
    void SetFitWidthIfOversize(bool value);
    void SetFitHeight(bool value);
    void SetFitHeightIfOversize(bool value);
    void SetTargetHeight(bool value);
    void SetTwoPages(bool value);
    void SetRotateLeft(bool value);
    void SetRotateRight(bool value);
    // Compare first and fire OnConfigurationChange on a change.
    void SetJapaneseMode(bool value);
    void SetSmallCursor(bool value);
    void SetZooming(bool value);
    void SetColourBalanceOn(bool value);
    void SetGammaCorrectOn(bool value);
    void SetYellowReductionOn(bool value);
    // Compare first, never fire.
    void SetImageInformation(bool value);
    void SetRotateScrollFunctions(bool value);
    // Store and write every time, never fire.
    void SetLastDir(const std::string& value);
    void SetRecentDirs(const std::string& commaText);
    void SetFavouriteDirs(const std::string& commaText);
    void SetLastIndex(int32_t value);
    void SetInfoWidth(int32_t value);
    void SetInfoHeight(int32_t value);
    void SetWindowMode(bool value);
    void SetWindowMaximized(bool value);
    void SetWindowWidth(int32_t value);
    void SetWindowHeight(int32_t value);
    void SetWindowTop(int32_t value);
    void SetWindowLeft(int32_t value);
    // The field only; the page is stored with the page set (SetLastPages, SetBookmark,
    // RetrieveBookmark, destruction).
    void SetLastPage(int32_t value);

    // The configuration dialog's write-back. Entries holds the dialog's values (fields it
    // does not edit are ignored) and DisableHints the state of its hint box. Each value
    // that differs from its field is stored and written, all in one rewrite of the store;
    // the result tells whether one of them changes what is shown (the caller then fires
    // OnConfigurationChange). The info font and colour are written too when they differ
    // from the store (Default resets them in memory only).
    bool GetFormEntries(const TSettings& Entries, bool DisableHints);
    // The info-file window's font (six values) and background colour, written at once.
    void SetInfoFont(const TFontDesc& Font);
    void SetInfoBackgroundColour(TColor Colour);
    // The dialog's Default: both back to their defaults in memory, at once.
    void ResetInfoFontAndColour();

    // Reveals the dialog's hidden "Edge Yellow Reduction" tab for the rest of the run.
    void FullForm();
    bool EdgeTabVisible() const { return edgeTabVisible_; }
    // Set by the dialog to show the tab when FullForm is called while it exists.
    std::function<void()> OnFullForm;

    // Announces a settings change; unset until the main window installs its handler. The
    // setters above and the dialog's OK and Apply fire it (FireConfigurationChange).
    TConfigurationChangeEvent OnConfigurationChange;
    void FireConfigurationChange();

    // Page sets. A set named N is the integer value N (its page) in the settings key and the
    // sub-key N holding the file names as string values "0000", "0001", ... in list order.
    // It is present when the sub-key holds at least one file name.
    bool AreSubKeysPresent(const std::string& name);
    void DeleteSubKeys(const std::string& name);  // the page value stays
    void SetSubKeys(const std::string& name, int32_t page, const TStringList& files);
    bool GetSubKeys(const std::string& name, int32_t& page, TStringList& files);
    // The current set ("RecentPages") into LastFiles and LastPage.
    void GetLastPages();
    // Makes files the current set and stores it with the current LastPage.
    void SetLastPages(const TStringList& files);
    // Stores the current set as a bookmark: slot -1 makes a new one in slot 0 (the others
    // move down, the oldest drops out when all are used), 0 to 11 overwrites that slot.
    void SetBookmark(int slot);
    // Twelve menu texts, one per slot: "<first file name> - #<page + 1>", or "" when empty.
    void ListBookmarks(TStringList& items);
    // Makes a stored bookmark the current set; an empty or unknown slot changes nothing.
    void RetrieveBookmark(int slot);
    // "RecentPages0000" to "RecentPages000B".
    static std::string BookmarkName(int slot);

private:
    void FormDestroy();
    // Stores value in field and writes it under name.
    void StoreBool(bool& field, const char* name, bool value);
    // flag and partners index the table of display flags in the source file.
    void SetExclusive(int flag, bool value, uint32_t partners);
    void SetAndAnnounce(bool& field, const char* name, bool value, bool fire);
    void ReportInvalidData(const std::string& key, const std::string& name);
    void ShowInvalidData();

    void WriteInfoFont();

    bool edgeTabVisible_ = false;
    // What the store holds for the info font and colour, so a reset in memory can be told
    // from the stored values.
    TFontDesc storedInfoFont_;
    TColor storedInfoBackgroundColour_ = clWindow;
    bool loading_ = false;
    std::set<std::string> reported_;     // values already reported as invalid
    std::vector<std::string> pending_;   // reports collected while loading, the first few
    size_t pendingMore_ = 0;             // and how many more there were
};

}  // namespace vellicor
