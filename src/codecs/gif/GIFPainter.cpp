// The animation painter and the image's painter list.
#include "codecs/gif/GIFPainter.h"

#include <algorithm>
#include <chrono>

#include "platform/Ticks.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

// ---- event and clock ----

void TWakeEvent::Set() {
    {
        std::lock_guard<std::mutex> guard(FLock);
        FSignalled = true;
    }
    FCond.notify_one();
}

bool TWakeEvent::WaitFor(int milliseconds) {
    std::unique_lock<std::mutex> lock(FLock);
    if (milliseconds < 0) FCond.wait(lock, [this] { return FSignalled; });
    else if (!FCond.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return FSignalled; })) return false;
    FSignalled = false;
    return true;
}

bool TWakeEvent::TryTake() {
    std::lock_guard<std::mutex> guard(FLock);
    const bool was = FSignalled;
    FSignalled = false;
    return was;
}

namespace {

class TSystemPainterClock : public IGIFPainterClock {
public:
    uint32_t Now() override { return GetTickCount(); }
    bool Wait(TWakeEvent& event, int milliseconds) override { return event.WaitFor(milliseconds); }
    void Sleep(int milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(milliseconds, 0)));
    }
};

// Win32's MulDiv: rounded to the nearest, halves away from zero.
int MulDiv(int64_t a, int64_t b, int64_t c) {
    if (c == 0) return -1;
    const int64_t p = a * b;
    const int64_t q = (p >= 0) == (c > 0) ? (std::abs(p) + std::abs(c) / 2) / std::abs(c)
                                           : -((std::abs(p) + std::abs(c) / 2) / std::abs(c));
    return int(std::clamp<int64_t>(q, INT32_MIN, INT32_MAX));
}

TDisposalMethod DisposalOf(const TGIFSubImage* frame) {
    return frame->GraphicControlExtension() ? frame->GraphicControlExtension()->GetDisposal() : dmNone;
}

int PixelStep(const TBitmap& b) { return b.PixelFormat() == TPixelFormat::pf32bit ? 4 : 3; }

// Copies Source's area at (SX, SY) of Width x Height to Dest at (DX, DY), clipped to both.
void CopyArea(TBitmap& dest, int dx, int dy, const TBitmap& source, int sx, int sy, int width, int height) {
    if (dx < 0) width += dx, sx -= dx, dx = 0;
    if (dy < 0) height += dy, sy -= dy, dy = 0;
    if (sx < 0) width += sx, dx -= sx, sx = 0;
    if (sy < 0) height += sy, dy -= sy, sy = 0;
    width = std::min({width, dest.Width() - dx, source.Width() - sx});
    height = std::min({height, dest.Height() - dy, source.Height() - sy});
    if (width <= 0 || height <= 0) return;
    const int ds = PixelStep(dest), ss = PixelStep(source);
    for (int y = 0; y < height; ++y) {
        const uint8_t* s = source.ScanLine(sy + y) + int64_t(sx) * ss;
        uint8_t* d = dest.ScanLine(dy + y) + int64_t(dx) * ds;
        for (int x = 0; x < width; ++x, s += ss, d += ds) d[0] = s[0], d[1] = s[1], d[2] = s[2];
    }
}

void FillArea(TBitmap& dest, const TRect& area, TColor color) {
    const int x0 = std::max(area.Left, 0), x1 = std::min(area.Right, dest.Width());
    const int y0 = std::max(area.Top, 0), y1 = std::min(area.Bottom, dest.Height());
    const int step = PixelStep(dest);
    for (int y = y0; y < y1; ++y) {
        uint8_t* d = dest.ScanLine(y) + int64_t(x0) * step;
        for (int x = x0; x < x1; ++x, d += step) d[0] = GetBValue(color), d[1] = GetGValue(color), d[2] = GetRValue(color);
    }
}

bool PaintableCanvas(const TBitmap* canvas) {
    return canvas && !canvas->Empty() &&
           (canvas->PixelFormat() == TPixelFormat::pf24bit || canvas->PixelFormat() == TPixelFormat::pf32bit);
}

}  // namespace

IGIFPainterClock& DefaultPainterClock() {
    static TSystemPainterClock clock;
    return clock;
}

// ---- the painter ----

TGIFPainter::TGIFPainter(TGIFImage* image, TBitmap* canvas, const TRect& rect, TGIFDrawOptions options,
                         TGIFPainter** painterRef)
    : FImage(image),
      FCanvas(canvas),
      FRect(rect),
      FDrawOptions(options),
      FAnimationSpeed(image->GetAnimationSpeed()),
      FPainterRef(painterRef) {
    VTRACE("TGIFPainter::Create");
    Clock = image->PainterClock;
    const int frames = image->Images().GetCount();
    if (Async() && (options & DrawOption(goAnimate)) && frames > 1 && FAnimationSpeed >= 0)
        FEvent = std::make_unique<TWakeEvent>();
    if (image->DrawBackgroundColor != clNone) FBackgroundColor = image->DrawBackgroundColor;
    else if (image->GetColorMap().Count() == 0) FBackgroundColor = RGBColor(255, 255, 255);  // the window colour
    else FBackgroundColor = image->GetBackgroundColor();
    bool background = (options & DrawOption(goClearOnLoop)) != 0, previous = false;
    for (int i = 0; i < frames; ++i) {
        const TDisposalMethod d = DisposalOf(image->Images().GetImage(i));
        background = background || d == dmBackground;
        previous = previous || d == dmPrevious;
    }
    if (FCanvas) FCanvasWidth = FCanvas->Width(), FCanvasHeight = FCanvas->Height();
    const int w = rect.Width(), h = rect.Height();
    auto areaOfCanvas = [&](std::unique_ptr<TBitmap>& buffer) {
        buffer = std::make_unique<TBitmap>();
        if (!buffer->SetSize(w, h, TPixelFormat::pf24bit)) Error(sBadDimension);
        buffer->Fill(FBackgroundColor);
        if (PaintableCanvas(FCanvas)) CopyArea(*buffer, 0, 0, *FCanvas, rect.Left, rect.Top, w, h);
    };
    if (background && (options & DrawOption(goTransparent))) areaOfCanvas(FBackground);
    if (background || previous) {
        areaOfCanvas(FFrameBuffer);
        FScratch = std::make_unique<TBitmap>();
        if (!FScratch->SetSize(w, h, TPixelFormat::pf24bit)) Error(sBadDimension);
        FScratch->Fill(FBackgroundColor);
    }
    // Only a painter that was made is handed out.
    if (FPainterRef) *FPainterRef = this;
}

TGIFPainter::~TGIFPainter() {
    if (FThread.joinable()) {
        // Only the image joins; a painter freed by its own thread must not wait for itself.
        if (OnOwnThread()) FThread.detach();
        else {
            Stop();
            FThread.join();
        }
    }
}

void TGIFPainter::Start() {
    if (!Async()) return;
    std::lock_guard<std::mutex> guard(FStateLock);
    FPaused = false;
    if (!FStarted) {
        FStarted = true;
        FThread = std::thread(&TGIFPainter::Run, this);
        FThreadId = FThread.get_id();
    }
    FStateCond.notify_all();
}

void TGIFPainter::Stop() {
    FTerminated = true;
    if (!Async()) return;
    if (FEvent) FEvent->Set();
    Priority = tpNormal;
    // A thread never started runs now, to end at once and leave the painter list.
    Start();
}

void TGIFPainter::Restart() {
    FRestart = true;
    if (FEvent) FEvent->Set();
    if (Async() && Suspended()) Start();
}

void TGIFPainter::Suspend() {
    if (!Async()) return;
    std::lock_guard<std::mutex> guard(FStateLock);
    FPaused = true;
}

bool TGIFPainter::Suspended() const {
    std::lock_guard<std::mutex> guard(FStateLock);
    return FPaused || !FStarted;
}

bool TGIFPainter::Finished() const {
    std::lock_guard<std::mutex> guard(FStateLock);
    return FFinished;
}

void TGIFPainter::WaitFirstPaint() {
    std::unique_lock<std::mutex> lock(FStateLock);
    FStateCond.wait(lock, [this] { return FPainted.load() || FFinished || (Async() && !FStarted); });
}

void TGIFPainter::Join() {
    if (FThread.joinable() && !OnOwnThread()) FThread.join();
}

void TGIFPainter::SetAnimationSpeed(int value) {
    value = std::clamp(value, 0, 1000);
    if (value == FAnimationSpeed) return;
    FAnimationSpeed = value;
    if (FEvent) FEvent->Set();
    else FRestart = true;
}

void TGIFPainter::SetActiveImage(int value) {
    if (value >= 0 && FImage && value < FImage->Images().GetCount()) FActiveImage = value;
}

void TGIFPainter::Fire(const TGIFPainterEvent& event) {
    if (FTerminated) return;
    if (event) event(this);
}

bool TGIFPainter::WaitPaused() {
    std::unique_lock<std::mutex> lock(FStateLock);
    FStateCond.wait(lock, [this] { return !FPaused || FTerminated.load(); });
    return !FTerminated;
}

bool TGIFPainter::CanvasValid() const {
    return PaintableCanvas(FCanvas) && FCanvas->Width() == FCanvasWidth && FCanvas->Height() == FCanvasHeight;
}

void TGIFPainter::Run() {
    {
        // Start has recorded the thread's id once this lock is free.
        std::lock_guard<std::mutex> guard(FStateLock);
    }
    try {
        Execute();
    } catch (...) {
        // A frame that cannot be drawn ends the animation; the thread must not take the
        // process down with it.
        FTerminated = true;
    }
    DoOnTerminate();
}

void TGIFPainter::DoOnTerminate() {
    VTRACE("TGIFPainter::DoOnTerminate");
    if (FImage) {
        std::lock_guard<std::recursive_mutex> guard(FImage->FPaintersLock);
        if (FPainterRef && *FPainterRef == this) *FPainterRef = nullptr;
        auto& list = FImage->FPainters;
        for (auto it = list.begin(); it != list.end(); ++it)
            if (it->get() == this) {
                // The image joins the thread and frees the painter later.
                if (Async()) FImage->FEnded.push_back(std::move(*it));
                list.erase(it);
                break;
            }
    }
    FBackground.reset();
    FFrameBuffer.reset();
    FScratch.reset();
    {
        std::lock_guard<std::mutex> guard(FStateLock);
        FFinished = true;
    }
    FStateCond.notify_all();
}

void TGIFPainter::ClearBackground(TBitmap& buffer, const TRect& area) {
    if (FBackground && (FDrawOptions & DrawOption(goTransparent)))
        CopyArea(buffer, area.Left, area.Top, *FBackground, area.Left, area.Top, area.Width(), area.Height());
    else FillArea(buffer, area, FBackgroundColor);
}

void TGIFPainter::DoPaint(TGIFSubImage& frame) {
    std::lock_guard<std::recursive_mutex> guard(FImage->FCanvasLock);
    if ((FDrawOptions & DrawOption(goValidateCanvas)) && !CanvasValid()) {
        FTerminated = true;
        return;
    }
    if (FCanvas) frame.Draw(*FCanvas, FRect, FDrawOptions & DrawOption(goTransparent), FDrawOptions & DrawOption(goTile));
    FPainted = true;
}

void TGIFPainter::DoPaintFrame(TGIFSubImage& frame, TDisposalMethod disposal) {
    std::lock_guard<std::recursive_mutex> guard(FImage->FCanvasLock);
    // A canvas that changed size or went away is no longer the one this painter was made for.
    if (((FDrawOptions & DrawOption(goValidateCanvas)) && !CanvasValid()) || !FCanvas) {
        FTerminated = true;
        return;
    }
    const bool transparent = FDrawOptions & DrawOption(goTransparent);
    const bool tile = FDrawOptions & DrawOption(goTile);
    const TRect local{0, 0, FRect.Width(), FRect.Height()};
    TBitmap& buffer = *FFrameBuffer;
    if ((FDrawOptions & DrawOption(goClearOnLoop)) && FActiveImage == 0) ClearBackground(buffer, local);
    auto toCanvas = [&](const TBitmap& from) {
        if (PaintableCanvas(FCanvas)) CopyArea(*FCanvas, FRect.Left, FRect.Top, from, 0, 0, local.Right, local.Bottom);
    };
    switch (disposal) {
    case dmPrevious:
        if (FPreviousDisposal == dmNone || FPreviousDisposal == dmNoDisposal) {
            // The frame buffer already holds what the canvas shows before this frame.
            frame.Draw(*FCanvas, FRect, transparent, tile);
        } else {
            *FScratch = buffer;
            frame.Draw(*FScratch, local, transparent, tile);
            toCanvas(*FScratch);
        }
        break;
    case dmBackground: {
        frame.Draw(buffer, local, transparent, tile);
        toCanvas(buffer);
        if (!tile) {
            ClearBackground(buffer, frame.ScaleRect(local));
        } else {
            const int sw = std::max(FImage->GetWidth(), 1), sh = std::max(FImage->GetHeight(), 1);
            for (int64_t x = frame.Left(); x < local.Right; x += sw)
                for (int64_t y = frame.Top(); y < local.Bottom; y += sh)
                    ClearBackground(buffer, {int(x), int(y), int(x) + frame.Width(), int(y) + frame.Height()});
        }
        break;
    }
    default:
        frame.Draw(buffer, local, transparent, tile);
        toCanvas(buffer);
        break;
    }
    FPainted = true;
}

void TGIFPainter::Execute() {
    VTRACE("TGIFPainter::Execute");
    IGIFPainterClock& clock = Clock ? *Clock : DefaultPainterClock();
    const bool async = Async();
    const bool animate = FDrawOptions & DrawOption(goAnimate);
    const bool continuous = FDrawOptions & DrawOption(goLoopContinously);
    TGIFImageList& frames = FImage->Images();
    if (FDrawOptions & DrawOption(goValidateCanvas)) {
        FCanvasWidth = FCanvas ? FCanvas->Width() : 0;
        FCanvasHeight = FCanvas ? FCanvas->Height() : 0;
    }
    FRestart = true;
    while (FRestart && !FTerminated) {
        FActiveImage = 0;
        Fire(OnStartPaint);
        FRestart = false;
        FPainted = false;
        int loopCount = 1, loopFrame = 0;
        bool loopSeen = false;
        int delay = async ? 0 : 1;
        FPreviousDisposal = dmNoDisposal;
        uint32_t lastTime = clock.Now();
        int oldDelay = 0;
        for (;;) {
            if ((loopCount == 0 && !continuous) || FTerminated || FRestart) break;
            FActiveImage = loopFrame;
            if (FPainted) Fire(OnLoop);
            while (FActiveImage < frames.GetCount() && !FTerminated && !FRestart) {
                TGIFSubImage* frame = frames.GetImage(FActiveImage);
                if (frame->GetEmpty()) break;
                if (async && !WaitPaused()) break;
                if (delay > 0) {
                    frame->GetBitmap();
                    const uint32_t now = clock.Now();
                    const int speed = FAnimationSpeed;
                    if (speed < 1) {
                        delay = async ? -1 : GIFMaximumDelay * GIFDelayExp;
                    } else {
                        const int elapsed = (int(int32_t(now - lastTime)) - oldDelay) / 2;
                        delay = MulDiv(int64_t(delay) * GIFDelayExp - elapsed, 100, speed);
                        oldDelay = delay;
                    }
                    lastTime = now;
                    if (async) {
                        if ((delay >= 1 || FAnimationSpeed == 0) && FEvent) {
                            if (clock.Wait(*FEvent, delay)) {
                                oldDelay = 0;
                                lastTime = clock.Now();
                            }
                        } else if (delay >= 1 || delay < 0) {
                            // No wake-up event (a single frame or no animation): plain time.
                            clock.Sleep(std::max(delay, 0));
                        }
                    } else {
                        delay = std::max(delay, 1);
                        while (delay > 0 && !FTerminated && !FRestart) {
                            const int step = std::min(delay, 100);
                            clock.Sleep(step);
                            delay -= step;
                            ProcessMessages();
                        }
                    }
                }
                if (delay <= 0) std::this_thread::yield();
                if (FTerminated || FRestart) break;
                if (async && !WaitPaused()) break;
                Fire(OnPaint);
                if (FTerminated || FRestart) break;
                FDisposal = dmNoDisposal;
                TGIFExtensionList& ext = frame->Extensions();
                for (int i = 0; i < ext.GetCount(); ++i) {
                    TGIFExtension* e = ext.GetExtension(i);
                    if (&e->GetClass() == &TGIFAppExtNSLoop::Class && !loopSeen) {
                        loopSeen = true;
                        loopCount = static_cast<TGIFAppExtNSLoop*>(e)->Loops;
                        loopFrame = FActiveImage;
                        if (loopCount == 0 && async) loopCount = -1;
                        else if (loopCount != 0 && async && continuous) loopCount = -1;
                    } else if (&e->GetClass() == &TGIFGraphicControlExtension::Class) {
                        FDisposal = static_cast<TGIFGraphicControlExtension*>(e)->GetDisposal();
                    }
                }
                if (FFrameBuffer) DoPaintFrame(*frame, FDisposal);
                else DoPaint(*frame);
                {
                    std::lock_guard<std::mutex> guard(FStateLock);
                }
                FStateCond.notify_all();  // WaitFirstPaint
                FPreviousDisposal = FDisposal;
                delay = GIFDefaultDelay;
                if (const TGIFGraphicControlExtension* gce = frame->GraphicControlExtension())
                    if (gce->GetDelay() != 0) {
                        delay = std::max<int>(gce->GetDelay(), GIFMinimumDelay);
                        if (!async) delay = std::min(delay, GIFMaximumDelay);
                    }
                const int before = FActiveImage;
                Fire(OnAfterPaint);
                if (FActiveImage == before) ++FActiveImage;
                if (!animate) break;
            }
            if (loopCount > 0) --loopCount;
            if (!(animate && (FDrawOptions & DrawOption(goLoop)))) break;
        }
    }
    FActiveImage = -1;
    Fire(OnEndPaint);
}

// ---- the image's painter list ----

std::shared_ptr<TGIFPainter> TGIFImage::InternalPaint(TGIFPainter** painterRef, TBitmap& canvas, const TRect& rect,
                                                      TGIFDrawOptions options) {
    VTRACE("TGIFImage::InternalPaint");
    ReapPainters();
    if (painterRef) *painterRef = nullptr;
    if (GetEmpty() || rect.Left >= rect.Right || rect.Top >= rect.Bottom) return nullptr;
    if (FImages.GetCount() == 1) options = TGIFDrawOptions(options & ~(DrawOption(goAsync) | DrawOption(goAnimate)));
    std::shared_ptr<TGIFPainter> painter;
    {
        std::lock_guard<std::recursive_mutex> guard(FPaintersLock);
        painter = std::make_shared<TGIFPainter>(this, &canvas, rect, options, painterRef);
        FPainters.push_back(painter);
        painter->OnStartPaint = OnStartPaint;
        painter->OnPaint = OnPaint;
        painter->OnAfterPaint = OnAfterPaint;
        painter->OnLoop = OnLoop;
        painter->OnEndPaint = OnEndPaint;
        if (&canvas == FBitmap.get()) painter->CanvasOwner = FBitmap;
    }
    if (!painter->Async()) {
        try {
            painter->Execute();
        } catch (...) {
            painter->DoOnTerminate();
            throw;
        }
        painter->DoOnTerminate();
        if (painterRef) *painterRef = nullptr;
        return nullptr;
    }
    painter->Priority = ThreadPriority;
    return painter;
}

std::shared_ptr<TGIFPainter> TGIFImage::Paint(TBitmap& canvas, const TRect& rect, TGIFDrawOptions options) {
    std::shared_ptr<TGIFPainter> painter = InternalPaint(nullptr, canvas, rect, options);
    if (painter) painter->Start();
    return painter;
}

void TGIFImage::PaintStart() {
    std::lock_guard<std::recursive_mutex> guard(FPaintersLock);
    for (auto& p : FPainters) p->Start();
}

void TGIFImage::PaintResume() { PaintStart(); }

void TGIFImage::PaintPause() {
    std::lock_guard<std::recursive_mutex> guard(FPaintersLock);
    for (auto& p : FPainters) p->Suspend();
}

void TGIFImage::PaintRestart() {
    std::lock_guard<std::recursive_mutex> guard(FPaintersLock);
    for (auto& p : FPainters) p->Restart();
}

int TGIFImage::PainterCount() {
    std::lock_guard<std::recursive_mutex> guard(FPaintersLock);
    return int(FPainters.size());
}

void TGIFImage::ReapPainters() {
    std::vector<std::shared_ptr<TGIFPainter>> ended;
    {
        std::lock_guard<std::recursive_mutex> guard(FPaintersLock);
        for (auto it = FEnded.begin(); it != FEnded.end();) {
            if ((*it)->OnOwnThread()) {
                ++it;
                continue;
            }
            ended.push_back(std::move(*it));
            it = FEnded.erase(it);
        }
    }
    for (auto& p : ended) p->Join();
}

void TGIFImage::PaintStop() {
    VTRACE("TGIFImage::PaintStop");
    for (;;) {
        std::vector<std::shared_ptr<TGIFPainter>> waitFor;
        {
            std::lock_guard<std::recursive_mutex> guard(FPaintersLock);
            if (FPainters.empty()) break;
            for (auto it = FPainters.rbegin(); it != FPainters.rend(); ++it) {
                (*it)->Stop();
                // A painter that stops the image from its own event cannot wait for itself.
                if ((*it)->Async() && !(*it)->OnOwnThread()) waitFor.push_back(*it);
            }
        }
        if (waitFor.empty()) break;
        // The lock is free while joining: an ending painter takes it to leave the list.
        for (auto& p : waitFor) p->Join();
        waitFor.clear();
        ReapPainters();
    }
    ReapPainters();
    std::lock_guard<std::recursive_mutex> guard(FCanvasLock);
    FBitmap.reset();
}

void TGIFImage::StopDraw() {
    VTRACE("TGIFImage::StopDraw");
    std::shared_ptr<TGIFPainter> own;
    {
        std::lock_guard<std::recursive_mutex> guard(FPaintersLock);
        if (FPainter) {
            FPainter->Stop();
            for (auto& p : FPainters)
                if (p.get() == FPainter && p->Async()) own = p;
        }
    }
    if (own) own->Join();
    ReapPainters();
    std::lock_guard<std::recursive_mutex> guard(FCanvasLock);
    FBitmap.reset();
}

}  // namespace vellicor
