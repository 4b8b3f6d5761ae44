#include "viewer/Main.h"

#include <algorithm>
#include <cstring>

#include "pages/PageOps.h"
#include "pages/Utilsunit.h"
#include "pages/ProcessFiles.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "settings/Configuration.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

// System colours (top bit set) are resolved by the window; black without one.
TColor (*g_systemColour)(TColor) = nullptr;

TColor ResolveColour(TColor c) {
    if (c & 0x80000000u) return g_systemColour ? g_systemColour(c) : 0;
    return c & 0xFFFFFF;
}

}  // namespace

void SetSystemColourResolver(TColor (*resolver)(TColor)) { g_systemColour = resolver; }

void CopyRect24(TBitmap& Dest, int DX, int DY, const TBitmap& Source, int SX, int SY, int W, int H) {
    if (Dest.PixelFormat() != TPixelFormat::pf24bit || Source.PixelFormat() != TPixelFormat::pf24bit) return;
    // Clip to the source, then to the destination, moving both origins together.
    if (SX < 0) { W += SX; DX -= SX; SX = 0; }
    if (SY < 0) { H += SY; DY -= SY; SY = 0; }
    if (DX < 0) { W += DX; SX -= DX; DX = 0; }
    if (DY < 0) { H += DY; SY -= DY; DY = 0; }
    W = std::min({W, Source.Width() - SX, Dest.Width() - DX});
    H = std::min({H, Source.Height() - SY, Dest.Height() - DY});
    if (W <= 0 || H <= 0) return;
    for (int y = 0; y < H; ++y)
        std::memcpy(Dest.ScanLine(DY + y) + static_cast<size_t>(DX) * 3, Source.ScanLine(SY + y) + static_cast<size_t>(SX) * 3,
                    static_cast<size_t>(W) * 3);
}

void FillRect24(TBitmap& Dest, int Left, int Top, int Right, int Bottom, TColor Colour) {
    if (Dest.PixelFormat() != TPixelFormat::pf24bit) return;
    Left = std::max(Left, 0);
    Top = std::max(Top, 0);
    Right = std::min(Right, Dest.Width());
    Bottom = std::min(Bottom, Dest.Height());
    if (Left >= Right || Top >= Bottom) return;
    TColor c = ResolveColour(Colour);
    uint8_t b = GetBValue(c), g = GetGValue(c), r = GetRValue(c);
    for (int y = Top; y < Bottom; ++y) {
        uint8_t* p = Dest.ScanLine(y) + static_cast<size_t>(Left) * 3;
        for (int x = Left; x < Right; ++x, p += 3) {
            p[0] = b;
            p[1] = g;
            p[2] = r;
        }
    }
}

TMainDisplayForm::TMainDisplayForm(IMainView& View, TConfigureForm& Config, TProcessFilesForm& Queue)
    : View_(View), Config_(Config), Queue_(Queue) {
    VTRACE("TMainDisplayForm::TMainDisplayForm");
    BackBuffer_.SetSize(0, 0, TPixelFormat::pf24bit);
    // Pages are fitted to the display as it is when they are processed.
    SetMainClientSizeProvider([this] { return TClientSize{View_.ClientWidth(), View_.ClientHeight()}; });
}

TMainDisplayForm::~TMainDisplayForm() {
    VTRACE("TMainDisplayForm::~TMainDisplayForm");
    if (WaitCursorOn_) Ui().SetWaitCursor(false);
    SetMainClientSizeProvider(nullptr);
    Config_.OnConfigurationChange = nullptr;
    Queue_.OnFilesReady = nullptr;
    Queue_.OnPageReady = nullptr;
    Queue_.OnFilesCleared = nullptr;
    Queue_.OnThumbsReady = nullptr;
    Queue_.OnWorkHalted = nullptr;
}

int TMainDisplayForm::PageCount() const { return Queue_.GetFiles(); }

void TMainDisplayForm::FormCreate() {
    VTRACE("TMainDisplayForm::FormCreate");
    // The window starts full screen; a stored window mode switches to the saved window.
    if (Config_.WindowMode) DoWindowMode();
}

void TMainDisplayForm::SetCacheLimits() {
    // A hand-edited store may hold any number; keep the limits at least one page.
    int buffer = std::clamp(Config_.PageBufferSize, 0, 64);
    TBufferedPage::SetPageLimit((Config_.TwoPages ? 2 : 1) + buffer);
    TBufferedPage::SetUnprocessedLimit(Config_.TwoPages ? 2 : 1);
}

void TMainDisplayForm::ApplicationStartupComplete(const std::vector<std::string>& CommandLine) {
    VTRACE("TMainDisplayForm::ApplicationStartupComplete");
    if (RunOnce_) return;
    RunOnce_ = true;
    Config_.OnConfigurationChange = [this](auto&&...) { ConfigurationChange(); };
    Queue_.OnFilesReady = [this](TProcessFilesForm&) { FilesReady(); };
    Queue_.OnPageReady = [this](TProcessFilesForm&, const TBufferedPagePtr& Bitmap, bool& Lock) { PageReady(Bitmap, Lock); };
    Queue_.OnFilesCleared = [this](TProcessFilesForm&) { FilesCleared(); };
    Queue_.OnThumbsReady = [this](TProcessFilesForm&) { ThumbsReady(); };
    Queue_.OnWorkHalted = [this](TProcessFilesForm&) { GetAllFiles(); };
    SetCacheLimits();
    View_.SetSmallCursor(Config_.SmallCursor);
    ViewMode = 0;
    if (Config_.CursorMove == 6) ViewMode |= vmMagnifierFollows;
    ProcessMessages();
    ResizeHandlerSet_ = true;
    TStringList files;
    for (const auto& name : CommandLine) files.Add(ExpandFileName(name));
    if (files.Count() > 0) {
        View_.SetDisplayVisible(false);
        Queue_.LoadFiles(files, 0);
    }
    ClickInterval_ = View_.DoubleClickTime() > 0 ? View_.DoubleClickTime() : 500;
}

bool TMainDisplayForm::IdleHandler() {
    VTRACE("TMainDisplayForm::IdleHandler");
    // One step only: a display that never paints (hidden, minimised) must not hold the queue.
    if (!View_.PaintPending()) {
        PaintWaitedFor_ = false;
    } else if (!PaintWaitedFor_) {
        PaintWaitedFor_ = true;
        return true;  // the loop comes back once the paint has been delivered
    }
    const bool did = Queue_.Idle();
    WatchHeldFailures();
    return did;
}

// The steps that follow may be long (a page of hundreds of MB read ahead): the timer fires
// while they let messages through, so a visited page's failure keeps its time.
void TMainDisplayForm::WatchHeldFailures() {
    VTRACE("TMainDisplayForm::WatchHeldFailures");
    if (View_.TimerEnabled(TMainTimer::HeldFailures)) return;
    const int due = Queue_.LoadFile().FailureDueInMs();
    if (due >= 0) View_.StartTimer(TMainTimer::HeldFailures, std::max(due, 1));
}

void TMainDisplayForm::HeldFailuresTimerTimer() {
    VTRACE("TMainDisplayForm::HeldFailuresTimerTimer");
    View_.StopTimer(TMainTimer::HeldFailures);
    if (StopRequested()) return;
    Queue_.LoadFile().ReportFailures(false);
    // Early (a coarse timer), or another archive's visit still waiting.
    WatchHeldFailures();
}

void TMainDisplayForm::HandleDropFiles(const std::vector<std::string>& Files) {
    VTRACE("TMainDisplayForm::HandleDropFiles");
    if (Busy || ThumbsShowing) return;
    TStringList files;
    for (const auto& name : Files) files.Add(ExpandFileName(name));
    if (files.Count() > 0) {
        View_.SetDisplayVisible(false);
        Queue_.LoadFiles(files, 0);
    }
}

void TMainDisplayForm::DoTerminate() {
    VTRACE("TMainDisplayForm::DoTerminate");
    RememberScreenLayout();
    if (ThumbsShowing) return;
    RequestStop();  // the page in the making (nested below us) is dropped at its next pass
    View_.StopTimer(TMainTimer::HeldFailures);
    // No box comes any more: what the held failures would have said goes to the error output.
    Queue_.LoadFile().ReportFailures(true);
    ProcessMessages();
    View_.Minimise();
    View_.StartTimer(TMainTimer::Shutdown, 1000);
}

void TMainDisplayForm::ShutdownTimerTimer() {
    VTRACE("TMainDisplayForm::ShutdownTimerTimer");
    View_.StopTimer(TMainTimer::Shutdown);
    View_.Terminate();
}

void TMainDisplayForm::FormClose() {
    VTRACE("TMainDisplayForm::FormClose");
    RememberScreenLayout();
}

void TMainDisplayForm::FormDestroy() { VTRACE("TMainDisplayForm::FormDestroy"); }

bool TMainDisplayForm::ApplicationError(const std::string& Error, const std::string& File, const std::string& Func,
                                        int LineNo) {
    VTRACE("TMainDisplayForm::ApplicationError");
    std::string name = File;
    size_t cut = name.find_last_of("\\:/");
    if (cut != std::string::npos) name = name.substr(cut + 1);
    std::string text = "In file " + name + " in function " + Func + " at line " + IntToStr(LineNo) + ". Continue?";
    return ShowMessageBox(Error, text, mbYesNo, TMsgKind::Error) != mrNo;
}

// ---- Page display ----

void TMainDisplayForm::DisplayPage(int Page, bool Force) {
    VTRACE("TMainDisplayForm::DisplayPage");
    if (Page == Config_.LastPage && !Force) return;
    int count = PageCount();
    if (count > 0 && !Busy && !ThumbsShowing && Page >= 0 && Page < count) {
        InitiateSetUpDisplay(Page, false);
        Config_.SetLastPage(Page);
    }
}

void TMainDisplayForm::DisplayNextPage(bool Skip) {
    VTRACE("TMainDisplayForm::DisplayNextPage");
    int count = PageCount();
    if (Busy || ThumbsShowing || count <= 0) return;
    int target = Config_.LastPage + 1;
    if (Skip) ++target;
    else if (Config_.TwoPages && Config_.PageInTwos && Image_[1].Displayed) ++target;
    target = std::min(target, count - 1);
    if (target != Config_.LastPage) {
        Config_.SetLastPage(target);
        InitiateSetUpDisplay(target, false);
    }
}

void TMainDisplayForm::DisplayPreviousPage(bool Skip) {
    VTRACE("TMainDisplayForm::DisplayPreviousPage");
    int count = PageCount();
    if (Busy || ThumbsShowing || count <= 0) return;
    int target = Config_.LastPage - 1;
    if (Skip) --target;
    else if (Config_.TwoPages && Config_.PageBackInTwos) --target;
    target = std::max(target, 0);
    if (target != Config_.LastPage) {
        Config_.SetLastPage(target);
        InitiateSetUpDisplay(target, true);
    }
}

void TMainDisplayForm::StartDisplaying() {
    VTRACE("TMainDisplayForm::StartDisplaying");
    DisplayPage(Config_.LastPage, true);
}

void TMainDisplayForm::FilesReady() {
    VTRACE("TMainDisplayForm::FilesReady");
    StartDisplaying();
}

void TMainDisplayForm::ResetSlots() {
    for (auto& s : Image_) {
        s = TPageSlot();
    }
}

void TMainDisplayForm::FilesCleared() {
    VTRACE("TMainDisplayForm::FilesCleared");
    // The queue dropped every request of the old list: nothing outstanding can arrive.
    ResetSlots();
    Busy = false;
    if (WaitCursorOn_) {
        WaitCursorOn_ = false;
        Ui().SetWaitCursor(false);
    }
}

void TMainDisplayForm::InitiateSetUpDisplay(int Page, bool Backward) {
    VTRACE("TMainDisplayForm::InitiateSetUpDisplay");
    int count = PageCount();
    for (auto& s : Image_) {
        s.Available = s.Requested = s.ZoomRequested = s.ZoomAvailable = s.Displayed = s.ZoomShown = false;
    }
    int file1 = -1, file2 = -1;
    if (Page < count) {
        Image_[0].Requested = true;
        Image_[0].Page = Page;
        Image_[0].Backward = Backward;
        file1 = Page;
    }
    if (Page + 1 < count && Config_.TwoPages) {
        Image_[1].Requested = true;
        Image_[1].Page = Page + 1;
        Image_[1].Backward = Backward;
        file2 = Page + 1;
    }
    if (file1 < 0 && file2 < 0) return;
    Busy = true;
    if (!WaitCursorOn_) {
        WaitCursorOn_ = true;
        Ui().SetWaitCursor(true);
    }
    Queue_.Get(file1, file2, RequestGeneration);
}

void TMainDisplayForm::PageReady(const TBufferedPagePtr& Bitmap, bool& Lock) {
    VTRACE("TMainDisplayForm::PageReady");
    if (!Bitmap || Bitmap->GenNo != RequestGeneration) return;
    for (size_t i = 0; i < 2; ++i) {
        TPageSlot& slot = Image_[i];
        if (slot.Page != Bitmap->PageNo) continue;
        if (Bitmap->ImageType == ctDisplay) {
            if (slot.Requested && !slot.Available) {
                Lock = true;
                slot.Bitmap = Bitmap;
                slot.Available = true;
                const TPageSlot& other = Image_[1 - i];
                if (other.Available || !other.Requested) SetUpDisplay();
            }
        } else if (slot.ZoomRequested && !slot.ZoomAvailable) {
            Lock = true;
            slot.ZoomedBitmap = Bitmap;
            slot.ZoomAvailable = true;
            SetUpZooms();
        }
    }
}

void TMainDisplayForm::SetUpDisplay() {
    VTRACE("TMainDisplayForm::SetUpDisplay");
    TPageSlot& s0 = Image_[0];
    TPageSlot& s1 = Image_[1];
    TBufferedPagePtr bmp0 = s0.Bitmap;  // held across the message pump below
    if (!bmp0) return;
    const int CW = View_.ClientWidth(), CH = View_.ClientHeight();
    const int mode = Config_.Background;

    s0.Displayed = true;
    TColor bg0 = DetermineBackground(*bmp0, mode);
    ProcessMessages();
    if (s0.Bitmap != bmp0) return;  // a new list replaced the page while messages ran

    TBufferedPagePtr bmp1 = s1.Bitmap;
    s1.Displayed = Config_.TwoPages && s1.Available && bmp1;
    if (s1.Displayed && (bmp0->Height() < bmp0->Width() || bmp1->Height() < bmp1->Width())) s1.Displayed = false;
    TColor bg1 = s1.Displayed ? DetermineBackground(*bmp1, mode) : 0;

    const int W0 = bmp0->Width(), H0 = bmp0->Height();
    auto band = [](FillBand& b, int l, int t, int r, int bt, TColor c) { b = FillBand{true, l, t, r, bt, c}; };

    // One page, centred.
    s0.DestX = s0.DestY = 0;
    s0.ViewWidth = CW;
    s0.ViewHeight = CH;
    for (auto& b : s0.Bands) b.Active = false;
    if (H0 < CH) {
        s0.DestY = (CH - H0) / 2;
        s0.ViewHeight = H0;
        band(s0.Bands[TPageSlot::Top], 0, 0, CW, s0.DestY, bg0);
        band(s0.Bands[TPageSlot::Bottom], 0, s0.DestY + H0, CW, CH, bg0);
    }
    if (W0 < CW) {
        s0.DestX = (CW - W0) / 2;
        s0.ViewWidth = W0;
        band(s0.Bands[TPageSlot::Left], 0, 0, s0.DestX, CH, bg0);
        band(s0.Bands[TPageSlot::Right], s0.DestX + W0, 0, CW, CH, bg0);
    }

    // Two pages meeting at the centre line.
    if (s1.Displayed) {
        const int half = CW / 2;
        const int W1 = bmp1->Width(), H1 = bmp1->Height();
        const bool japanese = Config_.JapaneseMode;
        auto& b0 = s0.Bands;
        if (!japanese) {
            s0.DestX = half - W0;
            b0[TPageSlot::Right].Active = false;
            b0[TPageSlot::Top].Right = half;
            b0[TPageSlot::Bottom].Right = half;
            b0[TPageSlot::Left].Right = s0.DestX;
            s1.DestX = half;
        } else {
            s0.DestX = half;
            b0[TPageSlot::Left].Active = false;
            b0[TPageSlot::Top].Left = half;
            b0[TPageSlot::Bottom].Left = half;
            b0[TPageSlot::Right].Left = s0.DestX + W0;
            s1.DestX = half - W1;
        }
        s1.DestY = 0;
        s1.ViewWidth = half;
        s1.ViewHeight = CH;
        for (auto& b : s1.Bands) b.Active = false;
        const int l1 = japanese ? 0 : half, r1 = japanese ? half : CW;
        if (H1 < CH) {
            s1.DestY = (CH - H1) / 2;
            band(s1.Bands[TPageSlot::Top], l1, 0, r1, s1.DestY, bg1);
            band(s1.Bands[TPageSlot::Bottom], l1, s1.DestY + H1, r1, CH, bg1);
        }
        if (W1 < half) {
            if (!japanese) band(s1.Bands[TPageSlot::Right], s1.DestX + W1, 0, CW, CH, bg1);
            else band(s1.Bands[TPageSlot::Left], 0, 0, s1.DestX, CH, bg1);
        }
        // Both pages fill the height: the outer bands take the colour of the nearest margin.
        bool fillHeight = !b0[TPageSlot::Top].Active && !b0[TPageSlot::Bottom].Active &&
                          !s1.Bands[TPageSlot::Top].Active && !s1.Bands[TPageSlot::Bottom].Active;
        if (fillHeight) {
            if (!japanese && b0[TPageSlot::Left].Active && s1.Bands[TPageSlot::Right].Active) {
                b0[TPageSlot::Left].Colour = DetermineBackgroundLeft(*bmp0, mode);
                s1.Bands[TPageSlot::Right].Colour = DetermineBackgroundRight(*bmp1, mode);
            } else if (japanese && b0[TPageSlot::Right].Active && s1.Bands[TPageSlot::Left].Active) {
                b0[TPageSlot::Right].Colour = DetermineBackgroundRight(*bmp0, mode);
                s1.Bands[TPageSlot::Left].Colour = DetermineBackgroundLeft(*bmp1, mode);
            }
        }
    }
    for (auto* s : {&s0, &s1}) {
        s->DestX = std::max(s->DestX, 0);
        s->DestY = std::max(s->DestY, 0);
    }

    // Scroll frame: the page, or the page turned a quarter when scrolling follows rotation.
    const bool turned = Config_.RotateScrollFunctions && (Config_.RotateLeft || Config_.RotateRight);
    int vMax = 0, hMax = 0;
    if (s1.Displayed) {
        CanScrollV = CanScrollH = false;
    } else if (!turned) {
        CanScrollV = CH < H0;
        CanScrollH = CW < W0;
        vMax = CanScrollV ? H0 - CH : 0;
        hMax = CanScrollH ? W0 - CW : 0;
    } else {
        CanScrollV = CW < W0;
        CanScrollH = CH < H0;
        vMax = CanScrollV ? W0 - CW : 0;
        hMax = CanScrollH ? H0 - CH : 0;
    }
    View_.ClearHint();
    if (!Config_.JapaneseMode) {
        HScrollPos = VScrollPos = 0;
        if (s0.Backward) {
            HScrollPos = hMax;
            VScrollPos = vMax;
        }
    } else {
        VScrollPos = 0;
        HScrollPos = hMax;
        if (s0.Backward) {
            HScrollPos = 0;
            VScrollPos = vMax;
        }
    }
    DragStartX = DragStartY = -1;
    Dragging = false;
    WheelSum_ = 0;

    if (WaitCursorOn_) {
        WaitCursorOn_ = false;
        Ui().SetWaitCursor(false);
    }
    Busy = false;
    for (auto* s : {&s0, &s1}) {
        s->ZoomedBitmap.reset();
        s->ZoomRequested = s->ZoomAvailable = s->ZoomShown = false;
    }
    DrawPages();
    PaintDoubleBuffer();

    ViewMode &= ~(vmZoomOn | vmZoomDouble | vmZoomUnfitted);
    if (Config_.Zooming) {
        ViewMode |= (!CanScrollH && !CanScrollV) ? vmZoomDouble : vmZoomUnfitted;
        ViewMode |= vmZoomOn;
        for (auto* s : {&s0, &s1})
            if (s->Page != -1) s->ZoomRequested = true;
        Queue_.GetZooms((ViewMode & vmZoomDouble) != 0, s0.Page, s1.Displayed ? s1.Page : -1, RequestGeneration);
    }
    PageVisible(s0.Page + 1, s1.Displayed ? s1.Page + 1 : -1);
    if (ConfigurationPending_) ConfigurationChange();
}

void TMainDisplayForm::DrawPages() {
    VTRACE("TMainDisplayForm::DrawPages");
    for (auto& s : Image_) {
        if (!s.Displayed || !s.Bitmap) continue;
        if (Config_.RotateScrollFunctions && Config_.RotateLeft) {
            s.SourceX = VScrollPos;
            s.SourceY = s.Bitmap->Height() - HScrollPos - s.ViewHeight;
        } else if (Config_.RotateScrollFunctions && Config_.RotateRight) {
            s.SourceX = s.Bitmap->Width() - VScrollPos - s.ViewWidth;
            s.SourceY = HScrollPos;
        } else {
            s.SourceX = HScrollPos;
            s.SourceY = VScrollPos;
        }
    }
    DrawZooms();
    if (!View_.DisplayVisible()) View_.SetDisplayVisible(true);
}

void TMainDisplayForm::PaintDoubleBuffer() {
    VTRACE("TMainDisplayForm::PaintDoubleBuffer");
    if (ComposeBackBuffer()) View_.InvalidateDisplay();
}

bool TMainDisplayForm::ComposeBackBuffer(const TViewRect* Area) {
    if (View_.TimerEnabled(TMainTimer::Resize)) return false;
    const int CW = View_.ClientWidth(), CH = View_.ClientHeight();
    if (CW <= 0 || CH <= 0) return false;
    if (BackBuffer_.Width() != CW || BackBuffer_.Height() != CH) {
        BackBuffer_.SetSize(CW, CH, TPixelFormat::pf24bit);
        Area = nullptr;  // a new buffer is composed whole
    }
    // Within Area only, when given: the rest of the buffer is already as it would be.
    auto copy = [&](const TBitmap& src, int dx, int dy, int sx, int sy, int w, int h) {
        if (Area) {
            const int l = std::max(dx, Area->Left), r = std::min(dx + w, Area->Left + Area->Width);
            const int t = std::max(dy, Area->Top), b = std::min(dy + h, Area->Top + Area->Height);
            sx += l - dx;
            sy += t - dy;
            dx = l;
            dy = t;
            w = r - l;
            h = b - t;
            if (w <= 0 || h <= 0) return;
        }
        CopyRect24(BackBuffer_, dx, dy, src, sx, sy, w, h);
    };
    for (auto& s : Image_) {
        if (!(s.Displayed && s.Bitmap && s.Requested && s.Available)) continue;
        copy(*s.Bitmap, s.DestX, s.DestY, s.SourceX, s.SourceY, s.ViewWidth, s.ViewHeight);
        for (const auto& b : s.Bands) {
            if (!b.Active) continue;
            if (!Area) FillRect24(BackBuffer_, b.Left, b.Top, b.Right, b.Bottom, b.Colour);
            else
                FillRect24(BackBuffer_, std::max(b.Left, Area->Left), std::max(b.Top, Area->Top),
                           std::min(b.Right, Area->Left + Area->Width), std::min(b.Bottom, Area->Top + Area->Height),
                           b.Colour);
        }
    }
    bool zooming = Config_.Zooming && (ViewMode & vmZoomOn) && !(ViewMode & vmZoomSuspended) &&
                   (Image_[0].ZoomShown || Image_[1].ZoomShown);
    if (zooming) {
        for (auto& s : Image_)
            if (s.ZoomShown && s.ZoomedBitmap && s.ZoomRequested && s.ZoomAvailable)
                copy(*s.ZoomedBitmap, s.ZoomDestX, s.ZoomDestY, s.ZoomSourceX, s.ZoomSourceY, s.ZoomWidth, s.ZoomHeight);
    }
    return true;
}

void TMainDisplayForm::FormResize() {
    VTRACE("TMainDisplayForm::FormResize");
    if (!ResizeHandlerSet_) return;
    if (View_.ClientWidth() <= 0 || View_.ClientHeight() <= 0) return;  // minimised
    View_.StartTimer(TMainTimer::Resize, 2000);
}

void TMainDisplayForm::ResizeTimerTimer() {
    VTRACE("TMainDisplayForm::ResizeTimerTimer");
    if (!Busy && !ThumbsShowing) {
        View_.StopTimer(TMainTimer::Resize);
        ++RequestGeneration;
        DisplayPage(Config_.LastPage, true);
    } else {
        View_.StartTimer(TMainTimer::Resize, 2000);
    }
}

void TMainDisplayForm::ConfigurationChange() {
    VTRACE("TMainDisplayForm::ConfigurationChange");
    // A change that comes while a page is on its way is applied once it has been shown.
    if (Busy || ThumbsShowing) {
        ConfigurationPending_ = true;
        return;
    }
    ConfigurationPending_ = false;
    View_.SetSmallCursor(Config_.SmallCursor);
    View_.SetDisplayVisible(false);
    SetCacheLimits();
    ++RequestGeneration;
    DisplayPage(Config_.LastPage, true);
    // With no page to show the display would stay hidden behind nothing.
    if (PageCount() <= 0) View_.SetDisplayVisible(true);
}

// ---- Page label and information ----

void TMainDisplayForm::PageVisible(int Page1, int Page2) {
    VTRACE("TMainDisplayForm::PageVisible");
    int count = PageCount();
    PageLabelText = IntToStr(Page1);
    if (Page2 != -1) PageLabelText += "," + IntToStr(Page2);
    PageLabelText += "/" + IntToStr(count);
    int left = 0, top = 0;
    View_.PlacePageLabel(PageLabelText, left, top);
    int sum = 0;
    for (int y = top - 1; y <= top + 1; ++y)
        for (int x = left - 1; x <= left + 1; ++x) {
            if (x < 0 || y < 0 || x >= BackBuffer_.Width() || y >= BackBuffer_.Height()) continue;
            TColor c = BackBuffer_.Pixel(x, y);
            sum += GetRValue(c) + GetGValue(c) + GetBValue(c);
        }
    View_.ShowPageLabel(sum / 27 >= 50);

    if (Image_[0].Bitmap) View_.SetCaption(Image_[0].Bitmap->FileName);

    auto block = [count](const TBufferedPage& p, int number) {
        return p.FileName + " (" + IntToStr(number) + " / " + IntToStr(count) + ")\n" + "Size: " +
               IntToStr(p.DecodedWidth) + " x " + IntToStr(p.DecodedHeight) + "\n" + "Colour Balance: " +
               IntToStr(p.BalanceFactor) + "%\n" + "Magnification: " + IntToStr(p.ScalePercent) + "%\n" +
               "Reduced Yellowing: " + ((p.YellowingReduced || p.AreaFilled) ? "Yes" : "No");
    };
    InformationText.clear();
    if (Image_[0].Bitmap) InformationText = block(*Image_[0].Bitmap, Page1);
    if (Page2 != -1 && Image_[1].Bitmap) InformationText += "\n\n" + block(*Image_[1].Bitmap, Page2);
    int h = View_.InformationHeight(InformationText);
    int infoTop = View_.ClientHeight() - h - 8;
    if (infoTop < 0) infoTop = 8;
    View_.ShowInformation(InformationText, 8, infoTop, Config_.ImageInformation);
    View_.StartTimer(TMainTimer::PageLabel, 3000);
}

void TMainDisplayForm::PageLabelTimerTimer() {
    VTRACE("TMainDisplayForm::PageLabelTimerTimer");
    View_.StopTimer(TMainTimer::PageLabel);
    View_.HidePageLabel();
    View_.HideInformation();
}

// ---- Window mode ----

void TMainDisplayForm::DoWindowMode() {
    VTRACE("TMainDisplayForm::DoWindowMode");
    if (View_.IsWindowed()) {
        RememberScreenLayout();
        View_.SetFullScreen();
        Config_.SetWindowMode(false);
        return;
    }
    TViewRect work = View_.WorkArea();
    TViewRect r;
    r.Top = Config_.WindowTop;
    if (r.Top < work.Top || r.Top >= work.Top + work.Height - 30) r.Top = work.Top;
    r.Left = Config_.WindowLeft;
    if (r.Left < work.Left || r.Left >= work.Left + work.Width - 30) r.Left = work.Left;
    r.Height = Config_.WindowHeight;
    if (r.Height < 30 || r.Height > work.Height) r.Height = work.Height;
    r.Width = Config_.WindowWidth;
    if (r.Width < 30 || r.Width > work.Width) {
        r.Width = r.Height * 2 / 3;
        if (work.Width < r.Width) r.Width = work.Width;
    }
    View_.SetWindowed(r, Config_.WindowMaximized);
    Config_.SetWindowMode(true);
}

void TMainDisplayForm::RememberScreenLayout() {
    VTRACE("TMainDisplayForm::RememberScreenLayout");
    if (!View_.IsWindowed()) return;
    if (View_.IsMaximised()) {
        Config_.SetWindowMaximized(true);
        return;
    }
    TViewRect b = View_.WindowBounds();
    TRegistryBatch batch;
    Config_.SetWindowTop(b.Top);
    Config_.SetWindowLeft(b.Left);
    Config_.SetWindowWidth(b.Width);
    Config_.SetWindowHeight(b.Height);
    Config_.SetWindowMaximized(false);
}

void TMainDisplayForm::OnTimer(TMainTimer Timer) {
    switch (Timer) {
        case TMainTimer::Shutdown: ShutdownTimerTimer(); break;
        case TMainTimer::Resize: ResizeTimerTimer(); break;
        case TMainTimer::PageLabel: PageLabelTimerTimer(); break;
        case TMainTimer::Click: ClickTimerTimer(); break;
        case TMainTimer::Slideshow: SlideshowTimerTimer(); break;
        case TMainTimer::HeldFailures: HeldFailuresTimerTimer(); break;
        default: View_.StopTimer(Timer); break;
    }
}

}  // namespace vellicor
