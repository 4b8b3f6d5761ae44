// The main window's reading commands: scrolling, reading steps, dragging, the wheel, the
// key map and the one-line display and setting toggles.
#include <algorithm>

#include "pages/ProcessFiles.h"
#include "settings/Configuration.h"
#include "trace/Trace.h"
#include "viewer/Main.h"

namespace vellicor {

// ---- Key map ----

TKeyCommand KeyCommand(int Key, bool Shift, bool Alt, bool Ctrl, bool AlternateArrowKeys) {
    VTRACE("KeyCommand");
    using K = TKeyCommand;
    const bool plain = !Shift && !Ctrl;
    const bool ctrlOnly = Ctrl && !Shift;
    const bool ctrlShift = Ctrl && Shift;
    const bool shiftOnly = Shift && !Ctrl;
    switch (Key) {
        case vkEscape:
        case 'X': return plain ? K::Terminate : K::None;
        case vkSpace: return plain ? K::CyclePage : shiftOnly ? K::CyclePageBack : K::None;
        case vkPrior: return plain ? K::PreviousPage : shiftOnly ? K::PreviousPageSkip : K::None;
        case vkNext: return plain ? K::NextPage : shiftOnly ? K::NextPageSkip : K::None;
        case vkEnd: return K::LastPage;
        case vkHome: return K::FirstPage;
        case vkLeft:
            if (AlternateArrowKeys) return K::CyclePageBack;
            if (Alt) return K::CyclePage;
            return plain ? K::ScrollLeft : shiftOnly ? K::ScrollMaxLeft : K::None;
        case vkUp:
            if (AlternateArrowKeys) return K::None;  // the pop-up menu
            return plain ? K::ScrollUp : shiftOnly ? K::ScrollTop : K::None;
        case vkRight:
            if (AlternateArrowKeys) return K::CyclePage;
            if (Alt) return K::CyclePageBack;
            return plain ? K::ScrollRight : shiftOnly ? K::ScrollMaxRight : K::None;
        case vkDown:
            if (AlternateArrowKeys) return K::None;  // the next file set
            return plain ? K::ScrollDown : shiftOnly ? K::ScrollBottom : K::None;
        case 'B': return ctrlOnly ? K::Balance : K::None;
        case 'C': return plain ? K::Configure : ctrlOnly ? K::SmallCursor : K::None;
        case 'E': return plain ? K::ScrollLeft : K::None;
        case 'F': return ctrlOnly ? K::Fit : ctrlShift ? K::FitIfOversize : K::None;
        case 'G': return ctrlOnly ? K::GammaCorrection : K::None;
        case 'H': return ctrlOnly ? K::FitHeight : ctrlShift ? K::FitHeightIfOversize : K::None;
        case 'I': return ctrlOnly ? K::ImageInformation : K::GlimpseImageInformation;
        case 'J': return ctrlOnly ? K::JapaneseMode : K::None;
        case 'L': return ctrlOnly ? K::RotateLeft : ctrlShift ? K::RotateScrollFunctions : K::None;
        case 'M': return plain ? K::Minimise : K::None;
        case 'O': return plain ? K::ScrollUp : K::None;
        case 'R': return ctrlOnly ? K::RotateRight : ctrlShift ? K::RotateScrollFunctions : K::None;
        case 'S': return ctrlOnly ? K::TargetHeight : K::ScrollRight;
        case 'T': return ctrlOnly ? K::TwoPages : K::None;
        case 'U': return plain ? K::ScrollDown : K::None;
        case 'W': return !Ctrl ? K::WindowMode : Shift ? K::FitWidthIfOversize : K::FitWidth;
        case 'Y': return ctrlOnly ? K::Yellowing : K::None;
        case 'Z': return plain ? K::Magnifier : ctrlOnly ? K::Zooming : ctrlShift ? K::EdgeTab : K::None;
        case vkF5: return Shift ? K::None : K::Reload;  // Shift: a favourite directory
        default: break;
    }
    return K::None;
}

void TMainDisplayForm::HandleKeyPress(int Key, bool Shift, bool Alt, bool Ctrl) {
    VTRACE("TMainDisplayForm::HandleKeyPress");
    if (ThumbsShowing) return;
    if (Key < vkEscape || Key > vkF12) return;
    if (HandleFileSetKey(Key, Shift, Ctrl)) return;
    RunKeyCommand(KeyCommand(Key, Shift, Alt, Ctrl, Config_.AlternateArrowKeyFunctions));
}

void TMainDisplayForm::RunKeyCommand(TKeyCommand Command) {
    VTRACE("TMainDisplayForm::RunKeyCommand");
    using K = TKeyCommand;
    switch (Command) {
        case K::None: break;
        case K::Terminate: DoTerminate(); break;
        case K::CyclePage: CyclePage(); break;
        case K::CyclePageBack: CyclePageBack(); break;
        case K::PreviousPage: DisplayPreviousPage(false); break;
        case K::PreviousPageSkip: DisplayPreviousPage(true); break;
        case K::NextPage: DisplayNextPage(false); break;
        case K::NextPageSkip: DisplayNextPage(true); break;
        case K::FirstPage: DisplayPage(0, false); break;
        case K::LastPage: DisplayPage(PageCount() - 1, false); break;
        case K::ScrollLeft: DoHorizontalScroll(-50); break;
        case K::ScrollRight: DoHorizontalScroll(50); break;
        case K::ScrollUp: DoVerticalScroll(-50); break;
        case K::ScrollDown: DoVerticalScroll(50); break;
        case K::ScrollMaxLeft: ScrollMaxLeft(); Redraw(); break;
        case K::ScrollMaxRight: ScrollMaxRight(); Redraw(); break;
        case K::ScrollTop: ScrollTop(); Redraw(); break;
        case K::ScrollBottom: ScrollBottom(); Redraw(); break;
        case K::Balance: DoBalance(); break;
        case K::SmallCursor: DoSmallCursor(); break;
        case K::Fit: DoFit(); break;
        case K::FitIfOversize: DoFitIfOversize(); break;
        case K::GammaCorrection: DoGammaCorrection(); break;
        case K::FitHeight: DoFitHeight(); break;
        case K::FitHeightIfOversize: DoFitHeightIfOversize(); break;
        case K::ImageInformation: DoImageInformation(); break;
        case K::GlimpseImageInformation: GlimpseImageInformation(); break;
        case K::JapaneseMode: DoJapaneseMode(); break;
        case K::RotateLeft: DoRotateLeft(); break;
        case K::RotateRight: DoRotateRight(); break;
        case K::RotateScrollFunctions: DoRotateScrollFunctions(); break;
        case K::Minimise: View_.Minimise(); break;
        case K::TargetHeight: DoTargetHeight(); break;
        case K::TwoPages: DoTwoPages(); break;
        case K::WindowMode: DoWindowMode(); break;
        case K::FitWidth: DoFitWidth(); break;
        case K::FitWidthIfOversize: DoFitWidthIfOversize(); break;
        case K::Yellowing: DoYellowing(); break;
        case K::Magnifier:
            ViewMode ^= vmMagnifierFollows;
            DrawZooms();
            break;
        case K::Zooming:
            DoZooming();
            DrawZooms();
            break;
        case K::EdgeTab:
            Config_.FullForm();
            DrawZooms();
            break;
        case K::Reload: Reload(); break;
        case K::Configure: DoConfigure(); break;
    }
}

void TMainDisplayForm::Reload() {
    VTRACE("TMainDisplayForm::Reload");
    View_.SetDisplayVisible(false);
    ++RequestGeneration;
    DisplayPage(Config_.LastPage, true);
    // No request went out (no pages, or one is still outstanding and will show the display):
    // do not leave the window blank.
    if (!Busy) View_.SetDisplayVisible(true);
}

// ---- Scroll frame ----

bool TMainDisplayForm::Turned() const {
    return Config_.RotateScrollFunctions && (Config_.RotateLeft || Config_.RotateRight);
}

bool TMainDisplayForm::PageShown() const {
    const TPageSlot& s = Image_[0];
    return s.Displayed && s.Available && s.Bitmap;
}

TMainDisplayForm::TAxis TMainDisplayForm::HAxis() const {
    const TBufferedPagePtr& b = Image_[0].Bitmap;
    if (!b) return {};
    return Turned() ? TAxis{View_.ClientHeight(), b->Height()} : TAxis{View_.ClientWidth(), b->Width()};
}

TMainDisplayForm::TAxis TMainDisplayForm::VAxis() const {
    const TBufferedPagePtr& b = Image_[0].Bitmap;
    if (!b) return {};
    return Turned() ? TAxis{View_.ClientWidth(), b->Width()} : TAxis{View_.ClientHeight(), b->Height()};
}

void TMainDisplayForm::Redraw() {
    DrawPages();
    PaintDoubleBuffer();
}

// ---- Scrolling ----

bool TMainDisplayForm::ScrollAxis(int32_t& Pos, bool CanScroll, const TAxis& Axis, int d) {
    if (Busy || d == 0 || !CanScroll || !Image_[0].Bitmap) return false;
    const int range = std::max(Axis.Range(), 0);
    if (d > 0) {
        if (Axis.Page <= Pos + Axis.Window) return false;
        Pos = (d > range - Pos) ? range : Pos + d;
    } else {
        if (Pos <= 0) return false;
        Pos = (Pos + d < 1) ? 0 : Pos + d;
    }
    WheelSum_ = 0;
    return true;
}

bool TMainDisplayForm::HScroll(int d) {
    VTRACE("TMainDisplayForm::HScroll");
    return ScrollAxis(HScrollPos, CanScrollH, HAxis(), d);
}

bool TMainDisplayForm::VScroll(int d) {
    VTRACE("TMainDisplayForm::VScroll");
    return ScrollAxis(VScrollPos, CanScrollV, VAxis(), d);
}

bool TMainDisplayForm::DoHorizontalScroll(int d) {
    VTRACE("TMainDisplayForm::DoHorizontalScroll");
    if (!HScroll(d)) return false;
    Redraw();
    return true;
}

bool TMainDisplayForm::DoVerticalScroll(int d) {
    VTRACE("TMainDisplayForm::DoVerticalScroll");
    if (!VScroll(d)) return false;
    Redraw();
    return true;
}

void TMainDisplayForm::ScrollMaxLeft() {
    VTRACE("TMainDisplayForm::ScrollMaxLeft");
    if (CanScrollH) HScrollPos = 0;
}

void TMainDisplayForm::ScrollMaxRight() {
    VTRACE("TMainDisplayForm::ScrollMaxRight");
    HScrollPos = CanScrollH ? std::max(HAxis().Range(), 0) : 0;
}

void TMainDisplayForm::ScrollTop() {
    VTRACE("TMainDisplayForm::ScrollTop");
    if (CanScrollV) VScrollPos = 0;
}

void TMainDisplayForm::ScrollBottom() {
    VTRACE("TMainDisplayForm::ScrollBottom");
    if (CanScrollV) VScrollPos = std::max(VAxis().Range(), 0);
}

namespace {

// One reading step along an axis: the rest when little is left, else the largest even share
// of the range that leaves a quarter of the window overlapping the previous view.
int ReadingStep(int w, int range, int left, bool roundUp) {
    if (range < 2 * w / 3 || left < 2 * w / 3) return range;
    for (int n = 1; n <= 9; ++n) {
        int step = roundUp ? (range + n - 1) / n : range / n;
        if (w - step >= w / 4) return step;
    }
    return 2 * w / 3;
}

}  // namespace

int TMainDisplayForm::HStepInc() const {
    VTRACE("TMainDisplayForm::HStepInc");
    TAxis a = HAxis();
    return ReadingStep(a.Window, a.Range(), a.Range() - HScrollPos, true);
}

int TMainDisplayForm::HStepDec() const {
    VTRACE("TMainDisplayForm::HStepDec");
    TAxis a = HAxis();
    return -ReadingStep(a.Window, a.Range(), HScrollPos, false);
}

int TMainDisplayForm::VStepInc() const {
    VTRACE("TMainDisplayForm::VStepInc");
    TAxis a = VAxis();
    return ReadingStep(a.Window, a.Range(), a.Range() - VScrollPos, true);
}

int TMainDisplayForm::VStepDec() const {
    VTRACE("TMainDisplayForm::VStepDec");
    TAxis a = VAxis();
    return -ReadingStep(a.Window, a.Range(), VScrollPos, false);
}

// ---- Reading steps ----

void TMainDisplayForm::CyclePage() {
    VTRACE("TMainDisplayForm::CyclePage");
    if (Guarded() || !PageShown()) return;
    const TPageSlot& s = Image_[0];
    const bool turned = Turned();
    const int visW = turned ? s.ViewHeight : s.ViewWidth;
    const int visH = turned ? s.ViewWidth : s.ViewHeight;
    const bool japanese = Config_.JapaneseMode;
    const bool hStep = japanese ? (CanScrollH && HScrollPos >= 1) : (CanScrollH && HAxis().Page > visW + HScrollPos);
    if (hStep) {
        HScroll(japanese ? HStepDec() : HStepInc());
        Redraw();
    } else if (CanScrollV && VAxis().Page > VScrollPos + visH) {
        if (japanese) ScrollMaxRight();
        else ScrollMaxLeft();
        VScroll(VStepInc());
        Redraw();
    } else if (Config_.LastPage < PageCount() - 1) {
        DisplayNextPage(false);
    }
}

void TMainDisplayForm::CyclePageBack() {
    VTRACE("TMainDisplayForm::CyclePageBack");
    if (Guarded() || !PageShown()) return;
    const bool japanese = Config_.JapaneseMode;
    const bool hStep = japanese ? (CanScrollH && HScrollPos < HAxis().Range()) : (CanScrollH && HScrollPos >= 1);
    if (hStep) {
        HScroll(japanese ? HStepInc() : HStepDec());
        Redraw();
    } else if (CanScrollV && VScrollPos >= 1) {
        if (japanese) ScrollMaxLeft();
        else ScrollMaxRight();
        VScroll(VStepDec());
        Redraw();
    } else if (Config_.LastPage >= 1) {
        DisplayPreviousPage(false);
    }
}

bool TMainDisplayForm::DoPagingByScroll(int d) {
    VTRACE("TMainDisplayForm::DoPagingByScroll");
    if (Busy) return false;
    const int threshold = (CanScrollH || CanScrollV) ? 360 : 0;
    WheelSum_ += d;
    if (WheelSum_ > threshold) {
        WheelSum_ = 0;
        DisplayNextPage(false);
        return true;
    }
    if (WheelSum_ < -threshold) {
        WheelSum_ = 0;
        DisplayPreviousPage(false);
        return true;
    }
    return false;
}

// ---- Dragging and following ----

void TMainDisplayForm::DoPictureStartDrag(int x, int y) {
    VTRACE("TMainDisplayForm::DoPictureStartDrag");
    DragStartX = x;
    DragStartY = y;
    Dragging = true;
}

bool TMainDisplayForm::DoPictureDrag(int x, int y) {
    VTRACE("TMainDisplayForm::DoPictureDrag");
    if (!View_.DisplayVisible()) return false;
    bool moved = false;
    if (DragStartX != -1) moved = HScroll(DragStartX - x);
    DragStartX = x;
    if (DragStartY != -1) moved = VScroll(DragStartY - y) || moved;
    DragStartY = y;
    return moved;
}

void TMainDisplayForm::DoPictureStopDrag() {
    VTRACE("TMainDisplayForm::DoPictureStopDrag");
    DragStartX = DragStartY = -1;
    Dragging = false;
}

bool TMainDisplayForm::DoPictureFollow(int x, int y) {
    VTRACE("TMainDisplayForm::DoPictureFollow");
    if (!View_.DisplayVisible()) return false;
    bool moved = false;
    if (CanScrollH) {
        TAxis a = HAxis();
        int factor = a.Window > 0 ? 2 * (a.Page / a.Window) + 2 : 2;
        if (DragStartX != -1) moved = HScroll((DragStartX - x) * factor);
        DragStartX = x;
    }
    if (CanScrollV) {
        TAxis a = VAxis();
        int factor = a.Window > 0 ? 2 * (a.Page / a.Window) + 2 : 2;
        if (DragStartY != -1) moved = VScroll((DragStartY - y) * factor) || moved;
        DragStartY = y;
    }
    return moved;
}

// ---- Mouse ----

bool TMainDisplayForm::MouseWheel(int Delta, uint32_t Buttons) {
    VTRACE("TMainDisplayForm::MouseWheel");
    if (Config_.MouseWheel == maCycleAroundPage) {
        if (Delta < 1) CyclePage();
        else CyclePageBack();
        return false;
    }
    if (Config_.MouseWheel != maScrollPage) return true;
    const int amount = -Delta;
    const int h = Config_.JapaneseMode ? Delta : -Delta;
    const bool swapped = ((Buttons & mbMiddleBit) && Config_.MiddleClick1 == maMouseWheelDirection) ||
                         ((Buttons & mbLeftBit) && Config_.LeftClick1 == maMouseWheelDirection) ||
                         ((Buttons & mbRightBit) && Config_.RightClick1 == maMouseWheelDirection);
    if (!swapped) {
        if (!DoVerticalScroll(amount) && !DoHorizontalScroll(h)) DoPagingByScroll(amount);
    } else {
        if (!DoHorizontalScroll(h) && !DoVerticalScroll(amount)) DoPagingByScroll(amount);
    }
    return true;
}

int TMainDisplayForm::ActionOf(TMouseButtonBit Button) const {
    switch (Button) {
        case mbLeftBit: return Config_.LeftClick1;
        case mbMiddleBit: return Config_.MiddleClick1;
        case mbRightBit: return Config_.RightClick1;
    }
    return maNone;
}

void TMainDisplayForm::ImageDisplayMouseDown(TMouseButtonBit Button, int X, int Y) {
    VTRACE("TMainDisplayForm::ImageDisplayMouseDown");
    if (ActionOf(Button) == maDragImage) DoPictureStartDrag(X, Y);
}

void TMainDisplayForm::ImageDisplayMouseMove(uint32_t Buttons, int X, int Y) {
    VTRACE("TMainDisplayForm::ImageDisplayMouseMove");
    bool redraw = false;
    const bool canScroll = CanScrollH || CanScrollV;
    if (Config_.CursorMove == maFollowMouse && canScroll) redraw = DoPictureFollow(X, Y);
    // The first held button, in the order left, middle, right.
    int action = maNone;
    if (Buttons & mbLeftBit) action = ActionOf(mbLeftBit);
    else if (Buttons & mbMiddleBit) action = ActionOf(mbMiddleBit);
    else if (Buttons & mbRightBit) action = ActionOf(mbRightBit);
    if (action == maDragImage && canScroll) redraw = DoPictureDrag(X, Y) || redraw;
    if (redraw) Redraw();
}

void TMainDisplayForm::ImageDisplayMouseUp(TMouseButtonBit Button, int X, int Y) {
    VTRACE("TMainDisplayForm::ImageDisplayMouseUp");
    (void)X;
    (void)Y;
    if (ActionOf(Button) == maDragImage) DoPictureStopDrag();
}

// ---- Display and setting commands ----

void TMainDisplayForm::DoFit() { VTRACE("TMainDisplayForm::DoFit"); if (!Guarded()) Config_.SetFit(!Config_.Fit); }
void TMainDisplayForm::DoFitIfOversize() {
    VTRACE("TMainDisplayForm::DoFitIfOversize");
    if (!Guarded()) Config_.SetFitIfOversize(!Config_.FitIfOversize);
}
void TMainDisplayForm::DoFitWidth() {
    VTRACE("TMainDisplayForm::DoFitWidth");
    if (!Guarded()) Config_.SetFitWidth(!Config_.FitWidth);
}
void TMainDisplayForm::DoFitWidthIfOversize() {
    VTRACE("TMainDisplayForm::DoFitWidthIfOversize");
    if (!Guarded()) Config_.SetFitWidthIfOversize(!Config_.FitWidthIfOversize);
}
void TMainDisplayForm::DoFitHeight() {
    VTRACE("TMainDisplayForm::DoFitHeight");
    if (!Guarded()) Config_.SetFitHeight(!Config_.FitHeight);
}
void TMainDisplayForm::DoFitHeightIfOversize() {
    VTRACE("TMainDisplayForm::DoFitHeightIfOversize");
    if (!Guarded()) Config_.SetFitHeightIfOversize(!Config_.FitHeightIfOversize);
}
void TMainDisplayForm::DoTargetHeight() {
    VTRACE("TMainDisplayForm::DoTargetHeight");
    if (!Guarded()) Config_.SetTargetHeight(!Config_.TargetHeight);
}
void TMainDisplayForm::DoTwoPages() {
    VTRACE("TMainDisplayForm::DoTwoPages");
    if (!Guarded()) Config_.SetTwoPages(!Config_.TwoPages);
}
void TMainDisplayForm::DoRotateLeft() {
    VTRACE("TMainDisplayForm::DoRotateLeft");
    if (!Guarded()) Config_.SetRotateLeft(!Config_.RotateLeft);
}
void TMainDisplayForm::DoRotateRight() {
    VTRACE("TMainDisplayForm::DoRotateRight");
    if (!Guarded()) Config_.SetRotateRight(!Config_.RotateRight);
}
void TMainDisplayForm::DoBalance() {
    VTRACE("TMainDisplayForm::DoBalance");
    if (!Guarded()) Config_.SetColourBalanceOn(!Config_.Balance);
}
void TMainDisplayForm::DoGammaCorrection() {
    VTRACE("TMainDisplayForm::DoGammaCorrection");
    if (!Guarded()) Config_.SetGammaCorrectOn(!Config_.GammaCorrect);
}
void TMainDisplayForm::DoYellowing() {
    VTRACE("TMainDisplayForm::DoYellowing");
    if (!Guarded()) Config_.SetYellowReductionOn(!Config_.FixYellowing);
}
void TMainDisplayForm::DoJapaneseMode() {
    VTRACE("TMainDisplayForm::DoJapaneseMode");
    if (!Guarded()) Config_.SetJapaneseMode(!Config_.JapaneseMode);
}
void TMainDisplayForm::DoSmallCursor() {
    VTRACE("TMainDisplayForm::DoSmallCursor");
    if (!Guarded()) Config_.SetSmallCursor(!Config_.SmallCursor);
}
void TMainDisplayForm::DoZooming() {
    VTRACE("TMainDisplayForm::DoZooming");
    if (!Guarded()) Config_.SetZooming(!Config_.Zooming);
}
void TMainDisplayForm::DoRotateScrollFunctions() {
    VTRACE("TMainDisplayForm::DoRotateScrollFunctions");
    if (!Guarded()) Config_.SetRotateScrollFunctions(!Config_.RotateScrollFunctions);
}

void TMainDisplayForm::DoImageInformation() {
    VTRACE("TMainDisplayForm::DoImageInformation");
    if (Guarded()) return;
    Config_.SetImageInformation(!Config_.ImageInformation);
    View_.SetInformationVisible(Config_.ImageInformation);
    View_.StartTimer(TMainTimer::PageLabel, 3000);
}

void TMainDisplayForm::GlimpseImageInformation() {
    VTRACE("TMainDisplayForm::GlimpseImageInformation");
    if (!View_.InformationVisible()) {
        View_.SetInformationVisible(true);
        View_.StartTimer(TMainTimer::PageLabel, 10000);
    } else {
        View_.SetInformationVisible(false);
    }
}

void TMainDisplayForm::DoRotateThisPage(TRotation Rotation) {
    VTRACE("TMainDisplayForm::DoRotateThisPage");
    if (Guarded()) return;
    bool changed = false;
    for (const auto& s : Image_)
        if (s.Displayed && s.Available && Queue_.SetRotation(Rotation, s.Page)) changed = true;
    if (!changed) return;
    ++RequestGeneration;
    DisplayPage(Config_.LastPage, true);
}

void TMainDisplayForm::DoRotateWholeSet(TRotation Rotation) {
    VTRACE("TMainDisplayForm::DoRotateWholeSet");
    if (Guarded()) return;
    if (!(Image_[0].Displayed && Image_[0].Bitmap)) return;
    if (!Queue_.SetRotation(Rotation, -1)) return;
    ++RequestGeneration;
    DisplayPage(Config_.LastPage, true);
}

void TMainDisplayForm::DoConfigure() {
    VTRACE("TMainDisplayForm::DoConfigure");
    if (Guarded()) return;
    View_.ShowConfigureDialog();
}

}  // namespace vellicor
