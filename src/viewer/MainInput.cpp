// The main window's mouse clicks and their actions, the zoom images (magnifying glass and
// whole-page view) and the colour readout.
#include <algorithm>
#include <cstdint>

#include "pages/ProcessFiles.h"
#include "settings/Configuration.h"
#include "trace/Trace.h"
#include "viewer/Main.h"

namespace vellicor {

// ---- Clicks ----

void TMainDisplayForm::ImageDisplayClick(TMouseButtonBit Button) {
    VTRACE("TMainDisplayForm::ImageDisplayClick");
    ++Clicks_;
    ClickButton_ = Button;
    // Run at once when no further click could change the outcome.
    bool now = false;
    if (Clicks_ == 1) now = ActionOf(Button, 2) == maNone && ActionOf(Button, 3) == maNone;
    else if (Clicks_ == 2) now = ActionOf(Button, 3) == maNone;
    else now = true;
    if (now) {
        ClickTimerTimer();
        return;
    }
    // The sequence is timed from its first click: a running timer is left as it is.
    if (!View_.TimerEnabled(TMainTimer::Click)) View_.StartTimer(TMainTimer::Click, ClickInterval_);
}

void TMainDisplayForm::ClickTimerTimer() {
    VTRACE("TMainDisplayForm::ClickTimerTimer");
    View_.StopTimer(TMainTimer::Click);
    const int action = ActionOf(ClickButton_, Clicks_);
    // Counted out before the action runs: a dialog it opens may take further clicks.
    Clicks_ = 0;
    RunMouseAction(action);
}

void TMainDisplayForm::RunMouseAction(int Action) {
    VTRACE("TMainDisplayForm::RunMouseAction");
    switch (Action) {
        case maNextPage: DisplayNextPage(false); break;
        case maPreviousPage: DisplayPreviousPage(false); break;
        case maNextPagePlus1: DisplayNextPage(true); break;
        case maNextOrPrevious: NextOrPreviousPage(); break;
        case maPopupMenu: PopUpClickMenu(); break;
        case maCycleRoundPage: CyclePage(); break;
        case maCycleBackwards: CyclePageBack(); break;
        case maLoadFiles: GetFiles(""); break;
        case maLoadNextFiles: GetNextFiles(); break;
        case maMinimize: View_.Minimise(); break;
        case maGoToPage: DoGoToPage(); break;
        case maThumbnails: DoThumbs(); break;
        case maLoadPreviousFiles: GetPreviousFiles(); break;
        default: break;  // drag, zoom, wheel and cursor modes act elsewhere
    }
}

void TMainDisplayForm::NextOrPreviousPage() {
    VTRACE("TMainDisplayForm::NextOrPreviousPage");
    // The cursor and the client size are both in display coordinates, in a window too.
    const TViewPoint p = View_.CursorPosition();
    bool next;
    if (Config_.RotateLeft) next = p.Y < View_.ClientHeight() / 2;
    else if (Config_.RotateRight) next = p.Y > View_.ClientHeight() / 2;
    else next = p.X > View_.ClientWidth() / 2;
    if (next) DisplayNextPage(false);
    else DisplayPreviousPage(false);
}

void TMainDisplayForm::SlideshowTimerTimer() {
    VTRACE("TMainDisplayForm::SlideshowTimerTimer");
    CyclePage();
}

// ---- Zoom ----

void TMainDisplayForm::SetUpZooms() {
    VTRACE("TMainDisplayForm::SetUpZooms");
    const int CW = View_.ClientWidth(), CH = View_.ClientHeight();
    for (auto& s : Image_) {
        if (!(s.Displayed && s.Bitmap && s.ZoomedBitmap && s.ZoomRequested && s.ZoomAvailable)) continue;
        const int64_t pw = s.Bitmap->Width(), ph = s.Bitmap->Height();
        const int zw = s.ZoomedBitmap->Width(), zh = s.ZoomedBitmap->Height();
        if (pw <= 0 || ph <= 0) continue;
        s.ZoomScaleX = static_cast<int32_t>(int64_t{zw} * 1000 / pw);
        s.ZoomScaleY = static_cast<int32_t>(int64_t{zh} * 1000 / ph);
        if ((ViewMode & vmZoomUnfitted) && !(ViewMode & vmZoomDouble)) {
            s.ZoomDestX = s.ZoomDestY = s.ZoomSourceX = s.ZoomSourceY = 0;
            s.ZoomWidth = CW;
            s.ZoomHeight = CH;
            if (zh < CH) {
                s.ZoomDestY = (CH - zh) / 2;
                s.ZoomHeight = zh;
            }
            if (zw < CW) {
                s.ZoomDestX = (CW - zw) / 2;
                s.ZoomWidth = zw;
            }
            s.ZoomDestX = std::max(s.ZoomDestX, 0);
            s.ZoomDestY = std::max(s.ZoomDestY, 0);
        } else if (ViewMode & vmZoomDouble) {
            // A wide, low glass; across the page's height when the pages are turned.
            const bool turned = Config_.RotateLeft || Config_.RotateRight;
            const int divX = turned ? 12 : 4, divY = turned ? 4 : 12;
            int64_t w = int64_t{zw / divX} * s.ZoomScaleX / 1000;
            int64_t h = int64_t{zh / divY} * s.ZoomScaleY / 1000;
            s.ZoomWidth = static_cast<int32_t>(std::min<int64_t>(w, CW / 2));
            s.ZoomHeight = static_cast<int32_t>(std::min<int64_t>(h, CH / 2));
        }
    }
    if (DrawZooms()) PaintDoubleBuffer();
}

bool TMainDisplayForm::DrawZooms() {
    VTRACE("TMainDisplayForm::DrawZooms");
    const bool wasZoomed = Image_[0].ZoomShown || Image_[1].ZoomShown;
    Image_[0].ZoomShown = Image_[1].ZoomShown = false;
    bool zoomed = false;
    if (Config_.Zooming && (ViewMode & vmZoomOn) && (ViewMode & vmMagnifierFollows) && !(ViewMode & vmZoomSuspended)) {
        if (ViewMode & vmZoomDouble) zoomed = DrawMagnifyingGlass();
        else if (ViewMode & vmZoomUnfitted) zoomed = DrawFullPageZoom();
    }
    return zoomed || wasZoomed;
}

namespace {

// Where a glass of Size starts along one axis: centred on Point of the zoom image
// and kept inside it.
int32_t GlassSource(int64_t Scale, int Point, int Size, int ZoomExtent) {
    int64_t v = Scale * Point / 1000 - Size / 2;
    if (v < 0) v = 0;
    if (v >= ZoomExtent - Size) v = ZoomExtent - Size - 1;
    return static_cast<int32_t>(std::max<int64_t>(v, 0));
}

// Where it goes on the display: centred on the cursor, one pixel short of the far edge.
int32_t GlassDest(int Cursor, int Size, int ClientExtent) {
    int v = Cursor - Size / 2;
    if (v < 0) v = 0;
    if (v >= ClientExtent - Size) v = ClientExtent - Size - 1;
    return std::max(v, 0);
}

}  // namespace

bool TMainDisplayForm::DrawMagnifyingGlass() {
    VTRACE("TMainDisplayForm::DrawMagnifyingGlass");
    const TViewPoint c = View_.CursorPosition();
    const int CW = View_.ClientWidth(), CH = View_.ClientHeight();
    bool zoomed = false;
    for (size_t i = 0; i < 2; ++i) {
        TPageSlot& s = Image_[i];
        if (!s.Displayed) continue;
        if (c.X < s.DestX || c.X >= s.DestX + s.ViewWidth || c.Y < s.DestY || c.Y >= s.DestY + s.ViewHeight) continue;
        if (!(s.ZoomedBitmap && s.ZoomRequested && s.ZoomAvailable)) continue;
        s.ZoomSourceX = GlassSource(s.ZoomScaleX, c.X - s.DestX + s.SourceX, s.ZoomWidth, s.ZoomedBitmap->Width());
        s.ZoomSourceY = GlassSource(s.ZoomScaleY, c.Y - s.DestY + s.SourceY, s.ZoomHeight, s.ZoomedBitmap->Height());
        s.ZoomDestX = GlassDest(c.X, s.ZoomWidth, CW);
        s.ZoomDestY = GlassDest(c.Y, s.ZoomHeight, CH);
        s.ZoomShown = true;
        Image_[1 - i].ZoomShown = false;
        zoomed = true;
    }
    return zoomed;
}

bool TMainDisplayForm::DrawFullPageZoom() {
    VTRACE("TMainDisplayForm::DrawFullPageZoom");
    bool zoomed = false;
    for (size_t i = 0; i < 2; ++i) {
        TPageSlot& s = Image_[i];
        if (!(s.Displayed && s.ZoomedBitmap && s.ZoomRequested && s.ZoomAvailable)) continue;
        s.ZoomShown = true;
        Image_[1 - i].ZoomShown = false;
        zoomed = true;
    }
    return zoomed;
}

TViewRect TMainDisplayForm::ZoomArea() const {
    int l = 0, t = 0, r = 0, b = 0;
    bool any = false;
    for (const auto& s : Image_) {
        if (!s.ZoomShown) continue;
        const int sl = s.ZoomDestX, st = s.ZoomDestY, sr = sl + s.ZoomWidth, sb = st + s.ZoomHeight;
        l = any ? std::min(l, sl) : sl;
        t = any ? std::min(t, st) : st;
        r = any ? std::max(r, sr) : sr;
        b = any ? std::max(b, sb) : sb;
        any = true;
    }
    return {l, t, r - l, b - t};
}

void TMainDisplayForm::RepaintZooms() {
    const TViewRect before = ZoomArea();
    if (!DrawZooms()) return;
    const TViewRect after = ZoomArea();
    TViewRect area = after;
    if (after.Width <= 0 || after.Height <= 0) {
        area = before;
    } else if (before.Width > 0 && before.Height > 0) {
        const int l = std::min(before.Left, after.Left), t = std::min(before.Top, after.Top);
        const int r = std::max(before.Left + before.Width, after.Left + after.Width);
        const int b = std::max(before.Top + before.Height, after.Top + after.Height);
        area = {l, t, r - l, b - t};
    }
    if (ComposeBackBuffer(&area)) View_.InvalidateDisplayArea(area);
}

// ---- Colour readout ----

void TMainDisplayForm::DoColourDebugOn() {
    VTRACE("TMainDisplayForm::DoColourDebugOn");
    if (Guarded()) return;
    View_.SetSmallCursor(false);  // the arrow points at a single pixel
    View_.SetColourDataShowing(!View_.ColourDataShowing());
}

void TMainDisplayForm::DoColourDebug(int x, int y) {
    VTRACE("TMainDisplayForm::DoColourDebug");
    const TPageSlot& s0 = Image_[0];
    if (!View_.ColourDataShowing() || !View_.DisplayVisible()) return;
    if (!s0.Bitmap || s0.Bitmap->PixelFormat() != TPixelFormat::pf24bit) return;
    // Read what was painted: the back buffer, bands and glass included.
    const int w = std::min(View_.ClientWidth(), BackBuffer_.Width());
    const int h = std::min(View_.ClientHeight(), BackBuffer_.Height());
    TColourSample sample;
    sample.X = x;
    sample.Y = y;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col) {
            const int px = x - 1 + col, py = y - 1 + row;
            if (px < 0 || py < 0 || px >= w || py >= h) continue;
            const uint8_t* p = BackBuffer_.ScanLine(py) + static_cast<size_t>(px) * 3;
            sample.Blue[row][col] = p[0];
            sample.Green[row][col] = p[1];
            sample.Red[row][col] = p[2];
        }
    View_.ColourDataValues(sample);
}

}  // namespace vellicor
