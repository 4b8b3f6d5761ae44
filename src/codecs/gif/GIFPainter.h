#pragma once
// Plays the frames of a GIF image onto a canvas: each frame with its delay, its disposal and
// the image's loop count, on a thread of its own (goAsync) or inside the caller's call.
// A painter thread is owned by its image, stopped cooperatively and joined; never killed.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "codecs/gif/GIFImage.h"

namespace vellicor {

// An auto-reset event: Set wakes one wait (or the next one).
class TWakeEvent {
public:
    void Set();
    // True when the event was set, false when Milliseconds passed first (< 0: no time limit).
    bool WaitFor(int Milliseconds);
    // True (and reset) when the event is set; never blocks.
    bool TryTake();

private:
    std::mutex FLock;
    std::condition_variable FCond;
    bool FSignalled = false;
};

// The painter's time: milliseconds now, waiting on the wake-up event, sleeping. Tests give a
// clock whose time moves only when the painter waits, so that runs are exact.
class IGIFPainterClock {
public:
    virtual ~IGIFPainterClock() = default;
    virtual uint32_t Now() = 0;
    // True when woken by the event, false on time-out (Milliseconds < 0: no time-out).
    virtual bool Wait(TWakeEvent& Event, int Milliseconds) = 0;
    virtual void Sleep(int Milliseconds) = 0;
};
IGIFPainterClock& DefaultPainterClock();

class TGIFPainter {
public:
    // PainterRef, when given, holds this painter until it ends (cleared under the image's
    // painter-list lock).
    TGIFPainter(TGIFImage* Image, TBitmap* Canvas, const TRect& Rect, TGIFDrawOptions Options,
                TGIFPainter** PainterRef = nullptr);
    ~TGIFPainter();
    TGIFPainter(const TGIFPainter&) = delete;
    TGIFPainter& operator=(const TGIFPainter&) = delete;

    // Runs the thread (first call) or resumes it after Suspend; nothing for a synchronous painter.
    void Start();
    // Asks the animation to end; wakes a waiting or suspended thread.
    void Stop();
    // Plays again from the first frame.
    void Restart();
    // Holds the thread at its next frame until Start (cooperative: never mid-frame).
    void Suspend();
    void SetAnimationSpeed(int Value);
    int GetAnimationSpeed() const { return FAnimationSpeed.load(); }
    int GetActiveImage() const { return FActiveImage.load(); }
    // Event handlers may move the animation to another frame (from OnAfterPaint).
    void SetActiveImage(int Value);
    // The synchronous body; the thread runs it too.
    void Execute();

    bool Async() const { return FDrawOptions & DrawOption(goAsync); }
    bool Terminated() const { return FTerminated.load(); }
    bool Suspended() const;
    bool Finished() const;
    // Blocks until a frame has been painted or the painter has ended.
    void WaitFirstPaint();
    // The painter's own thread calling.
    bool OnOwnThread() const { return FThreadId == std::this_thread::get_id(); }
    void Join();

    TGIFImage* Image() const { return FImage; }
    TBitmap* Canvas() const { return FCanvas; }
    const TRect& Rect() const { return FRect; }
    TGIFDrawOptions DrawOptions() const { return FDrawOptions; }
    TColor BackgroundColor() const { return FBackgroundColor; }
    bool HasFrameBuffer() const { return FFrameBuffer != nullptr; }
    TThreadPriority Priority = tpNormal;  // kept for callers; threads run at the process's priority

    TGIFPainterEvent OnStartPaint, OnPaint, OnAfterPaint, OnLoop, OnEndPaint;
    // Keeps a canvas that the image owns alive while the painter draws on it.
    std::shared_ptr<TBitmap> CanvasOwner;
    IGIFPainterClock* Clock = nullptr;

private:
    friend class TGIFImage;
    void Run();
    void DoOnTerminate();
    void Fire(const TGIFPainterEvent& Event);
    bool WaitPaused();  // false when termination was asked while held
    void DoPaint(TGIFSubImage& Frame);
    void DoPaintFrame(TGIFSubImage& Frame, TDisposalMethod Disposal);
    void ClearBackground(TBitmap& Buffer, const TRect& Area);
    bool CanvasValid() const;

    TGIFImage* FImage;
    TBitmap* FCanvas;
    TRect FRect;
    TGIFDrawOptions FDrawOptions;
    std::atomic<int> FAnimationSpeed;
    std::atomic<int> FActiveImage{-1};
    TDisposalMethod FDisposal = dmNone, FPreviousDisposal = dmNoDisposal;
    std::atomic<bool> FRestart{false}, FTerminated{false}, FPainted{false};
    TColor FBackgroundColor;
    std::unique_ptr<TBitmap> FBackground, FFrameBuffer, FScratch;
    std::unique_ptr<TWakeEvent> FEvent;
    TGIFPainter** FPainterRef;
    int FCanvasWidth = 0, FCanvasHeight = 0;

    mutable std::mutex FStateLock;
    std::condition_variable FStateCond;
    bool FStarted = false, FPaused = false, FFinished = false;
    std::thread FThread;
    std::thread::id FThreadId;
};

}  // namespace vellicor
