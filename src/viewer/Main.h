#pragma once
// The main window's logic, free of any toolkit: page slots, paging, layout of one or two
// pages with their margin bands, the back buffer, the page label and the life cycle. The
// Qt window (MainWindow) implements IMainView and forwards its events here; tests fake it.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pages/BuffPage.h"
#include "pages/PageBMP.h"
#include "platform/Bitmap.h"
#include "platform/StringList.h"

namespace vellicor {

class TConfigureForm;
class TProcessFilesForm;

class TImageList;

// The modal dialogs the window's commands run; each returns true on OK.
class IMainDialogs {
public:
    virtual ~IMainDialogs() = default;
    // Pages without an image in Thumbs are shown as placeholders; Selected: in the current
    // page, out the chosen one.
    virtual bool ShowThumbs(const TImageList* Thumbs, const TStringList& Hints, int Pages, int& Selected) = 0;
    virtual bool ShowGoToPage(int Pages, int& Page) = 0;
    // Starts in Directory with FilterIndex (1-based); out the chosen names and filter.
    virtual bool ShowOpenDialog(const std::string& Directory, int& FilterIndex, TStringList& Files) = 0;
    virtual bool ShowOrganiser(std::string& FavouriteDirs, std::string& RecentDirs) = 0;
    virtual void ShowAbout() = 0;
};

// HeldFailures: a visited page's failure falls due while a step may still be running.
enum class TMainTimer { Shutdown, Resize, PageLabel, Click, Slideshow, HeldFailures };

struct TViewRect {
    int Left = 0, Top = 0, Width = 0, Height = 0;
};

struct TViewPoint {
    int X = 0, Y = 0;
};

// What the colour readout shows: the pixel at (X, Y) of the display and its eight
// neighbours, [row][column] from the top-left; points off the display are 0.
struct TColourSample {
    int X = 0, Y = 0;
    uint8_t Red[3][3] = {}, Green[3][3] = {}, Blue[3][3] = {};
};

class IMainView {
public:
    virtual ~IMainView() = default;
    virtual int ClientWidth() const = 0;
    virtual int ClientHeight() const = 0;
    // Repaint the display from the back buffer.
    virtual void InvalidateDisplay() = 0;
    // Repaint only the given part of it.
    virtual void InvalidateDisplayArea(const TViewRect& Area) {
        (void)Area;
        InvalidateDisplay();
    }
    // A repaint was asked for and has not been painted yet.
    virtual bool PaintPending() const { return false; }
    virtual void SetDisplayVisible(bool Visible) = 0;
    virtual bool DisplayVisible() const = 0;
    virtual void SetCaption(const std::string& Caption) = 0;
    virtual void ClearHint() = 0;
    virtual void SetSmallCursor(bool Small) = 0;
    // Page label in the bottom-right corner: sets the text and returns the label's top-left.
    virtual void PlacePageLabel(const std::string& Text, int& Left, int& Top) = 0;
    virtual void ShowPageLabel(bool Black) = 0;
    virtual void HidePageLabel() = 0;
    virtual int InformationHeight(const std::string& Text) = 0;
    virtual void ShowInformation(const std::string& Text, int Left, int Top, bool Visible) = 0;
    virtual void HideInformation() = 0;
    virtual void SetInformationVisible(bool Visible) = 0;
    virtual bool InformationVisible() const = 0;
    virtual void StartTimer(TMainTimer Timer, int Interval) = 0;
    virtual void StopTimer(TMainTimer Timer) = 0;
    virtual bool TimerEnabled(TMainTimer Timer) const = 0;
    virtual int DoubleClickTime() const = 0;
    virtual void Minimise() = 0;
    virtual void Terminate() = 0;
    // Window mode: windowed means a framed window with a menu, else full screen.
    virtual bool IsWindowed() const = 0;
    virtual bool IsMaximised() const = 0;
    virtual TViewRect WindowBounds() const = 0;
    virtual TViewRect WorkArea() const = 0;
    virtual void SetFullScreen() = 0;
    virtual void SetWindowed(const TViewRect& Bounds, bool Maximised) = 0;
    // Shows the configuration dialog (not modal) unless it is showing already.
    virtual void ShowConfigureDialog() {}

    // The mouse cursor in display coordinates (it may lie outside the display).
    virtual TViewPoint CursorPosition() const { return {-1, -1}; }
    // Another window has the keys: the settings dialog, the thumbnails or an information box.
    virtual bool KeysBlocked() const { return false; }
    // The colour readout window.
    virtual bool ColourDataShowing() const { return false; }
    virtual void SetColourDataShowing(bool Showing) { (void)Showing; }
    virtual void ColourDataValues(const TColourSample& Sample) { (void)Sample; }
    // Page export: the bitmap to the clipboard; the save dialog preset to Name (false: cancelled).
    virtual void CopyToClipboard(const TBitmap& Bitmap) { (void)Bitmap; }
    virtual bool AskSaveFileName(std::string& Name) { (void)Name; return false; }
    // The pop-up menu at the mouse cursor.
    virtual void PopupMenuAtCursor() {}
};

// What the menus enable and check, from the state of the reading.
struct TMenuState {
    bool Resume = false;           // "Resume Reading (R)"
    bool NextFiles = false;        // "Load Next Files", "Load Previous Files"
    bool WindowedChecked = false;  // "Windowed Mode (W)"
    bool NextPage = false, PreviousPage = false;
    bool HavePages = false;        // first, last, go-to, rotate, save, slideshow items
    bool SlideshowChecked = false;
    bool SetBookmark = false;      // the set-bookmark submenu
};

// One item of a submenu built at each pop-up: its caption and tag (list index), and the
// directory for directory items.
struct TPathMenuItem {
    std::string Caption;
    int Tag = 0;
    std::string Directory;
};

struct TPathMenus {
    std::vector<TPathMenuItem> Favourites, Recent, Bookmarks, SetBookmark;
};

struct FillBand {
    bool Active = false;
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    TColor Colour = 0;
};

struct TPageSlot {
    int32_t Page = -1;
    bool Displayed = false;
    bool Backward = false;
    bool ZoomShown = false;
    bool Requested = false;
    bool Available = false;
    TBufferedPagePtr Bitmap;  // shared with the cache: never freed under the window
    int32_t DestX = 0, DestY = 0, SourceX = 0, SourceY = 0, ViewWidth = 0, ViewHeight = 0;
    bool ZoomRequested = false, ZoomAvailable = false;
    TBufferedPagePtr ZoomedBitmap;
    int32_t ZoomScaleX = 0, ZoomScaleY = 0, ZoomDestX = 0, ZoomDestY = 0, ZoomSourceX = 0, ZoomSourceY = 0,
            ZoomWidth = 0, ZoomHeight = 0;
    enum { Top, Bottom, Left, Right };
    std::array<FillBand, 4> Bands;
};

// Mouse buttons as the window reports them; held buttons are a set of these bits.
enum TMouseButtonBit : uint32_t { mbLeftBit = 1, mbRightBit = 2, mbMiddleBit = 16 };

// Commands reached from the keyboard.
enum class TKeyCommand {
    None,
    Terminate,
    CyclePage,
    CyclePageBack,
    PreviousPage,
    PreviousPageSkip,
    NextPage,
    NextPageSkip,
    FirstPage,
    LastPage,
    ScrollLeft,
    ScrollRight,
    ScrollUp,
    ScrollDown,
    ScrollMaxLeft,
    ScrollMaxRight,
    ScrollTop,
    ScrollBottom,
    Balance,
    SmallCursor,
    Fit,
    FitIfOversize,
    GammaCorrection,
    FitHeight,
    FitHeightIfOversize,
    ImageInformation,
    GlimpseImageInformation,
    JapaneseMode,
    RotateLeft,
    RotateRight,
    RotateScrollFunctions,
    Minimise,
    TargetHeight,
    TwoPages,
    WindowMode,
    FitWidth,
    FitWidthIfOversize,
    Yellowing,
    Magnifier,
    Zooming,
    EdgeTab,
    Reload,
    Slideshow,
    SlideshowFaster,
    SlideshowSlower,
    SetBookmark,
    Configure,
    ColourDebugOn,
    OpenFiles,
    NextFiles,
    PreviousFiles,
    Thumbs,
    GoToPage,
    ResumeReading,
    PopupMenu,
    Help,
    Favourite,  // Shift+F1..F12: favourite directory 0..11
};

// Virtual-key codes the window translates its keys into.
enum : int {
    vkEscape = 27, vkSpace = 32, vkPrior = 33, vkNext = 34, vkEnd = 35, vkHome = 36,
    vkLeft = 37, vkUp = 38, vkRight = 39, vkDown = 40, vkApps = 93, vkAdd = 107, vkSubtract = 109,
    vkF1 = 112, vkF2 = 113, vkF5 = 116, vkF10 = 121, vkF12 = 123,
};

// Help topics: with a page on screen, and without.
enum : int { kHelpPageContext = 8, kHelpNoPageContext = 4 };

// The key map: a key code ('A'..'Z' for letters) with its modifiers to a command.
TKeyCommand KeyCommand(int Key, bool Shift, bool Alt, bool Ctrl, bool AlternateArrowKeys);

// ViewMode bits.
enum : uint32_t { vmZoomOn = 1, vmZoomSuspended = 2, vmZoomDouble = 4, vmZoomUnfitted = 8, vmMagnifierFollows = 16 };

class TMainDisplayForm {
public:
    TMainDisplayForm(IMainView& View, TConfigureForm& Config, TProcessFilesForm& Queue);
    virtual ~TMainDisplayForm();
    TMainDisplayForm(const TMainDisplayForm&) = delete;
    TMainDisplayForm& operator=(const TMainDisplayForm&) = delete;

    // Life cycle.
    void FormCreate();
    void ApplicationStartupComplete(const std::vector<std::string>& CommandLine);
    // One step of the background work; true: more may be queued, keep idling. A page just
    // put up goes to the screen first: a job lets the paint through only at its first pass
    // through the events, up to 8 ms on.
    bool IdleHandler();
    // Keeps the HeldFailures timer on the queue's held failure of a visited page.
    void WatchHeldFailures();
    void HeldFailuresTimerTimer();
    void DoTerminate();
    void ShutdownTimerTimer();
    void FormClose();
    void FormDestroy();
    void HandleDropFiles(const std::vector<std::string>& Files);
    // Yes/No box for unexpected failures; false when the user chose to end the program.
    bool ApplicationError(const std::string& Error, const std::string& File, const std::string& Func, int LineNo);

    // Page display.
    void DisplayPage(int Page, bool Force);
    void DisplayNextPage(bool Skip);
    void DisplayPreviousPage(bool Skip);
    void StartDisplaying();
    void InitiateSetUpDisplay(int Page, bool Backward);
    void PageReady(const TBufferedPagePtr& Bitmap, bool& Lock);
    void SetUpDisplay();
    void DrawPages();
    void PaintDoubleBuffer();
    void FormResize();
    void ResizeTimerTimer();
    void ConfigurationChange();
    void FilesReady();
    void FilesCleared();

    // Page label and information.
    void PageVisible(int Page1, int Page2);
    void PageLabelTimerTimer();

    // Window mode (windowed/full screen) and its stored bounds.
    void DoWindowMode();
    void RememberScreenLayout();

    void OnTimer(TMainTimer Timer);

    // Scrolling, dragging and reading steps. The Do... operations and the scroll
    // primitives return whether anything moved.
    bool HScroll(int d);
    bool VScroll(int d);
    bool DoHorizontalScroll(int d);
    bool DoVerticalScroll(int d);
    void ScrollMaxLeft();
    void ScrollMaxRight();
    void ScrollTop();
    void ScrollBottom();
    int HStepInc() const;
    int HStepDec() const;
    int VStepInc() const;
    int VStepDec() const;
    void CyclePage();
    void CyclePageBack();
    bool DoPagingByScroll(int d);
    void DoPictureStartDrag(int x, int y);
    bool DoPictureDrag(int x, int y);
    void DoPictureStopDrag();
    bool DoPictureFollow(int x, int y);
    int WheelSum() const { return WheelSum_; }

    // The wheel (Delta: signed notch amount, up positive; Buttons: held TMouseButtonBit set).
    // False when the wheel is left to others (it turns pages then).
    bool MouseWheel(int Delta, uint32_t Buttons);
    // Mouse on the display. Held: the buttons down after the press (0: just Button); the
    // first of left, middle, right decides.
    void ImageDisplayMouseDown(TMouseButtonBit Button, int X, int Y, uint32_t Held = 0);
    void ImageDisplayMouseMove(uint32_t Buttons, int X, int Y);
    void ImageDisplayMouseUp(TMouseButtonBit Button, int X, int Y);
    // Counts a click; a completed sequence runs the button's single, double or triple action.
    void ImageDisplayClick(TMouseButtonBit Button);
    void ClickTimerTimer();
    void RunMouseAction(int Action);
    void NextOrPreviousPage();
    int Clicks() const { return Clicks_; }

    // Zoom images: the magnifying glass over fitted pages, the whole page when it scrolls.
    void SetUpZooms();
    bool DrawZooms();  // true: the screen must be recomposed
    bool DrawMagnifyingGlass();
    bool DrawFullPageZoom();

    // Colour readout.
    void DoColourDebugOn();
    void DoColourDebug(int x, int y);

    // Keyboard.
    void HandleKeyPress(int Key, bool Shift, bool Alt, bool Ctrl);
    void RunKeyCommand(TKeyCommand Command, int Key = 0);

    // Commands of the dialogs, menus, slideshow and file sets, reached from keys and clicks
    // (virtual: the tests record them).
    virtual void DoSlideShow();                     // slideshow on/off
    virtual void DoSlideShowSpeed(bool Faster);
    virtual void GetNextFiles();                    // next file set
    virtual void GetPreviousFiles();                // previous file set
    virtual void ResumeReading();                   // reload the recent page set
    virtual void PopUpClickMenu();                  // the pop-up menu at the mouse cursor
    virtual void ShowHelp(int Context);             // help topic kHelpPageContext / kHelpNoPageContext
    void SlideshowTimerTimer();                     // a slideshow step is a reading step

    // Display and setting commands.
    void DoFit();
    void DoFitIfOversize();
    void DoFitWidth();
    void DoFitWidthIfOversize();
    void DoFitHeight();
    void DoFitHeightIfOversize();
    void DoTargetHeight();
    void DoTwoPages();
    void DoRotateLeft();
    void DoRotateRight();
    void DoBalance();
    void DoGammaCorrection();
    void DoYellowing();
    void DoJapaneseMode();
    void DoSmallCursor();
    void DoZooming();
    void DoRotateScrollFunctions();
    void DoImageInformation();
    void GlimpseImageInformation();
    void DoRotateThisPage(TRotation Rotation);
    void DoRotateWholeSet(TRotation Rotation);
    void Reload();
    virtual void DoConfigure();  // the settings dialog, shown modeless

    // Thumbnails, go-to-page, opening files, favourites and the about box.
    virtual void DoThumbs();
    void ThumbsReady();
    virtual void DoGoToPage();
    virtual void GetFiles(const std::string& Path);  // open files, from Path or the last directory
    void GetAllFiles();
    virtual void DoLoadWithFavourite(int Index);
    void ManageFavouritesMenuItemClick();
    void AboutMenuItemClick();
    IMainDialogs* Dialogs = nullptr;
    std::string LastPath;

    // File sets, bookmarks and menus.
    void StoreBookmark();  // the new-bookmark key
    void PathMenuItemClick(const TPathMenuItem& Item);
    void BookmarkMenuItemClick(int Tag);
    void SetBookmarkMenuItemClick(int Tag);
    TMenuState ClickPopupMenuPopup() const;
    TMenuState MainMenuState() const { return ClickPopupMenuPopup(); }
    TPathMenus SetUpPathMenuPopup() const;
    bool FilesLoaded() const;
    void ShowHelp();  // F1: the topic for what is on screen
    static constexpr int kHelpNoPage = 4, kHelpReading = 8;

    // Slideshow and page export.
    bool SlideshowRunning() const { return View_.TimerEnabled(TMainTimer::Slideshow); }
    int SlideshowInterval() const { return SlideshowInterval_; }
    void StopSlideshow() { View_.StopTimer(TMainTimer::Slideshow); }
    void DoSaveToClipboard();
    void DoSaveToFile();

    const TBitmap& BackBuffer() const { return BackBuffer_; }
    const TPageSlot& Image(int i) const { return Image_[static_cast<size_t>(i)]; }
    bool Busy = false;
    bool ThumbsShowing = false;
    int32_t RequestGeneration = 0;
    uint32_t ViewMode = 0;
    int32_t HScrollPos = 0, VScrollPos = 0;
    bool CanScrollH = false, CanScrollV = false;
    int32_t DragStartX = -1, DragStartY = -1;
    bool Dragging = false;
    std::string InformationText;
    std::string PageLabelText;
    bool Started() const { return RunOnce_; }
    int PageCount() const;

private:
    // One scroll axis in the scroll frame: the window's and the page's extent along it.
    struct TAxis {
        int Window = 0, Page = 0;
        int Range() const { return Page - Window; }
    };
    TAxis HAxis() const;
    TAxis VAxis() const;
    bool ScrollAxis(int32_t& Pos, bool CanScroll, const TAxis& Axis, int d);
    bool Turned() const;
    bool PageShown() const;
    bool Guarded() const { return Busy || ThumbsShowing; }
    void Redraw();
    bool ComposeBackBuffer(const TViewRect* Area = nullptr);  // false: nothing to paint now
    TViewRect ZoomArea() const;  // where a zoom is shown, empty when none
    void RepaintZooms();  // after a glass move: only where it was and where it is
    int ActionOf(TMouseButtonBit Button, int Clicks = 1) const;
    int HeldAction(uint32_t Buttons) const;
    void SetCacheLimits();
    void ResetSlots();

    IMainView& View_;
    TConfigureForm& Config_;
    TProcessFilesForm& Queue_;
    std::array<TPageSlot, 2> Image_;
    TBitmap BackBuffer_;
    bool RunOnce_ = false;
    bool ResizeHandlerSet_ = false;
    bool WaitCursorOn_ = false;
    int Clicks_ = 0;
    TMouseButtonBit ClickButton_ = mbLeftBit;
    int ClickInterval_ = 500;
    int WheelSum_ = 0;
    int SlideshowInterval_ = 2000;
    bool ConfigurationPending_ = false;  // a change that came while a page was on its way
    bool PaintWaitedFor_ = false;  // a step was given up for the pending paint
};

// A name from a page set made safe to offer as a file name to save under: the part
// after the last separator, with "." and ".." refused ("page" instead).
std::string SafeSaveName(const std::string& PageName);

// The window resolves system colours (top bit set) to RGB; black until it does.
void SetSystemColourResolver(TColor (*resolver)(TColor));

// Copies the rectangle (SX, SY, W, H) of Source to (DX, DY) of Dest, both 24-bit, clipped
// to both bitmaps.
void CopyRect24(TBitmap& Dest, int DX, int DY, const TBitmap& Source, int SX, int SY, int W, int H);
// Fills the rectangle [Left, Right) x [Top, Bottom) of a 24-bit bitmap, clipped.
void FillRect24(TBitmap& Dest, int Left, int Top, int Right, int Bottom, TColor Colour);

}  // namespace vellicor
