// Animation painters played against a clock whose time moves only when the painter waits,
// so every run gives the same frames, waits and events.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "GifTestUtil.h"
#include "codecs/gif/GIFPainter.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

class FakeClock : public IGIFPainterClock {
public:
    uint32_t Now() override {
        std::lock_guard<std::mutex> g(m);
        return now;
    }
    bool Wait(TWakeEvent& event, int ms) override {
        std::unique_lock<std::mutex> lock(m);
        waits.push_back(ms);
        if (ms < 0 || int(waits.size()) - 1 == holdAt) {
            holding = true;
            cv.notify_all();
            lock.unlock();
            event.WaitFor(-1);  // only Stop, Restart or a speed change end it
            lock.lock();
            holding = false;
            return true;
        }
        if (event.TryTake()) return true;
        now += uint32_t(ms);
        return false;
    }
    void Sleep(int ms) override {
        std::lock_guard<std::mutex> g(m);
        sleeps.push_back(ms);
        now += uint32_t(ms);
    }
    void WaitHolding() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [this] { return holding; });
    }
    std::vector<int> Waits() {
        std::lock_guard<std::mutex> g(m);
        return waits;
    }

    std::mutex m;
    std::condition_variable cv;
    uint32_t now = 5000;
    std::vector<int> waits, sleeps;
    int holdAt = -1;
    bool holding = false;
};

std::string Loop(int loops) {
    std::string s = "!\xFF\x0BNETSCAPE2.0\x03\x01";
    s += char(loops & 255);
    s += char(loops >> 8);
    s += '\0';
    return s;
}

GifFrame Frame(int left, int width, uint8_t fill, const std::string& extensions) {
    GifFrame f;
    f.left = left;
    f.width = width;
    f.height = 1;
    f.pixels.assign(size_t(width), fill);
    f.extensions = extensions;
    return f;
}

// Palette: 0 black, 1 red, 2 green, 3 blue, 4 white.
GifSpec Spec(int width) {
    GifSpec spec;
    spec.width = width;
    spec.height = 1;
    spec.globalColors = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0, 0, 0};
    return spec;
}

struct Recorder {
    std::mutex m;
    std::vector<std::string> log;
    void Hook(TGIFImage& image) {
        image.OnStartPaint = [this](TGIFPainter*) { Add("start"); };
        image.OnPaint = [this](TGIFPainter* p) { Add("paint" + std::to_string(p->GetActiveImage())); };
        image.OnAfterPaint = [this](TGIFPainter* p) { Add("after" + std::to_string(p->GetActiveImage())); };
        image.OnLoop = [this](TGIFPainter*) { Add("loop"); };
        image.OnEndPaint = [this](TGIFPainter*) { Add("end"); };
    }
    void Add(const std::string& s) {
        std::lock_guard<std::mutex> g(m);
        log.push_back(s);
    }
    std::string Joined() {
        std::lock_guard<std::mutex> g(m);
        std::string out;
        for (auto& s : log) out += (out.empty() ? "" : " ") + s;
        return out;
    }
};

// Three frames: a loop extension with Loops, delays 10, 1 and 5000.
std::string ThreeFrames(int loops) {
    GifSpec spec = Spec(3);
    spec.frames = {Frame(0, 3, 1, Loop(loops) + Gce(false, 0, 10)), Frame(0, 3, 2, Gce(false, 0, 1)),
                   Frame(0, 3, 3, Gce(false, 0, 5000))};
    return MakeGif(spec);
}

const TGIFDrawOptions kAnimate = DrawOption(goAnimate) | DrawOption(goLoop);
const TGIFDrawOptions kAsync = kAnimate | DrawOption(goAsync);

TBitmap Canvas(int w, int h) {
    TBitmap c;
    c.SetSize(w, h, TPixelFormat::pf24bit);
    c.Fill(RGBColor(255, 255, 255));
    return c;
}

std::string Colours(const TBitmap& b) {
    std::string s;
    for (int x = 0; x < b.Width(); ++x) {
        switch (b.Pixel(x, 0)) {
        case RGBColor(255, 0, 0): s += 'R'; break;
        case RGBColor(0, 255, 0): s += 'G'; break;
        case RGBColor(0, 0, 255): s += 'B'; break;
        case RGBColor(255, 255, 255): s += 'W'; break;
        case RGBColor(0, 0, 0): s += 'K'; break;
        default: s += '?';
        }
    }
    return s;
}

}  // namespace

TEST(GIFPainter, AsynchronousPlaysLoopsWithScaledDelays) {
    struct Case {
        int loops, speed;
        TGIFDrawOptions extra;
        std::string events;
        std::vector<int> waits;
    };
    const std::string pass = "paint0 after0 paint1 after1 paint2 after2";
    // Delay 1 is raised to 3 units; 5000 is kept when asynchronous; 12 ms a unit at speed 100.
    const Case cases[] = {
        {2, 100, 0, "start " + pass + " loop " + pass + " end", {120, 36, 60000, 120, 36}},
        {2, 200, 0, "start " + pass + " loop " + pass + " end", {60, 18, 30000, 60, 18}},
        {1, 100, 0, "start " + pass + " end", {120, 36}},
    };
    for (const Case& c : cases) {
        LoadedGif g;
        LoadGif(g, ThreeFrames(c.loops));
        ASSERT_EQ(g.error, "");
        FakeClock clock;
        Recorder rec;
        rec.Hook(g.image);
        g.image.PainterClock = &clock;
        g.image.SetAnimationSpeed(c.speed);
        TBitmap canvas = Canvas(3, 1);
        std::shared_ptr<TGIFPainter> p = g.image.Paint(canvas, {0, 0, 3, 1}, kAsync | c.extra);
        ASSERT_TRUE(p);
        p->Join();
        EXPECT_EQ(rec.Joined(), c.events) << c.loops << " " << c.speed;
        EXPECT_EQ(clock.Waits(), c.waits);
        EXPECT_EQ(p->GetActiveImage(), -1);
        EXPECT_TRUE(p->Finished());
        EXPECT_EQ(g.image.PainterCount(), 0);
        std::lock_guard<std::recursive_mutex> lock(g.image.CanvasLock());
        EXPECT_EQ(Colours(canvas), "BBB");
    }
}

TEST(GIFPainter, SynchronousRunsInTheCallerAndCutsLongDelays) {
    LoadedGif g;
    LoadGif(g, ThreeFrames(2));
    FakeClock clock;
    Recorder rec;
    rec.Hook(g.image);
    g.image.PainterClock = &clock;
    TBitmap canvas = Canvas(3, 1);
    EXPECT_EQ(g.image.Paint(canvas, {0, 0, 3, 1}, kAnimate), nullptr);
    const std::string pass = "paint0 after0 paint1 after1 paint2 after2";
    EXPECT_EQ(rec.Joined(), "start " + pass + " loop " + pass + " end");
    // The first frame waits one unit; 5000 is cut to 1000; sleeps are at most 100 ms.
    int total = 0;
    for (int s : clock.sleeps) {
        EXPECT_LE(s, 100);
        total += s;
    }
    EXPECT_EQ(total, 12 + 120 + 36 + 12000 + 120 + 36);
    EXPECT_EQ(g.image.PainterCount(), 0);
    EXPECT_EQ(Colours(canvas), "BBB");
}

TEST(GIFPainter, EndlessLoopRunsUntilStoppedAndStopJoins) {
    LoadedGif g;
    LoadGif(g, ThreeFrames(0));
    FakeClock clock;
    clock.holdAt = 7;  // well into the third pass
    Recorder rec;
    rec.Hook(g.image);
    g.image.PainterClock = &clock;
    TBitmap canvas = Canvas(3, 1);
    std::shared_ptr<TGIFPainter> p = g.image.Paint(canvas, {0, 0, 3, 1}, kAsync);
    ASSERT_TRUE(p);
    clock.WaitHolding();
    EXPECT_EQ(g.image.PainterCount(), 1);
    g.image.PaintStop();
    EXPECT_TRUE(p->Finished());
    EXPECT_EQ(g.image.PainterCount(), 0);
    const std::string log = rec.Joined();
    EXPECT_EQ(log.find("end"), std::string::npos);  // no events once stopping is asked
    EXPECT_NE(log.find("loop paint0 after0 paint1 after1 paint2 after2 loop paint0"), std::string::npos);
    EXPECT_EQ(clock.Waits().size(), 8u);
}

TEST(GIFPainter, SpeedZeroWaitsUntilWoken) {
    LoadedGif g;
    LoadGif(g, ThreeFrames(1));
    FakeClock clock;
    Recorder rec;
    rec.Hook(g.image);
    g.image.PainterClock = &clock;
    g.image.SetAnimationSpeed(0);
    TBitmap canvas = Canvas(3, 1);
    std::shared_ptr<TGIFPainter> p = g.image.Paint(canvas, {0, 0, 3, 1}, kAsync);
    clock.WaitHolding();
    EXPECT_EQ(clock.Waits(), std::vector<int>{-1});
    EXPECT_EQ(rec.Joined(), "start paint0 after0");
    // The image's speed goes to its own painter only; this one is woken by stopping.
    g.image.PaintStop();
    EXPECT_TRUE(p->Finished());
}

TEST(GIFPainter, RestartBeginsAgainFromTheFirstFrame) {
    LoadedGif g;
    LoadGif(g, ThreeFrames(1));
    FakeClock clock;
    clock.holdAt = 1;
    Recorder rec;
    rec.Hook(g.image);
    g.image.PainterClock = &clock;
    TBitmap canvas = Canvas(3, 1);
    std::shared_ptr<TGIFPainter> p = g.image.Paint(canvas, {0, 0, 3, 1}, kAsync);
    clock.WaitHolding();
    g.image.PaintRestart();
    p->Join();
    EXPECT_EQ(rec.Joined(),
              "start paint0 after0 paint1 after1 start paint0 after0 paint1 after1 paint2 after2 end");
}

TEST(GIFPainter, AfterPaintHandlerChoosesTheNextFrame) {
    LoadedGif g;
    LoadGif(g, ThreeFrames(1));
    FakeClock clock;
    Recorder rec;
    rec.Hook(g.image);
    int jumps = 0;
    g.image.OnAfterPaint = [&](TGIFPainter* p) {
        rec.Add("after" + std::to_string(p->GetActiveImage()));
        if (p->GetActiveImage() == 1 && jumps++ == 0) p->SetActiveImage(0);
    };
    g.image.PainterClock = &clock;
    TBitmap canvas = Canvas(3, 1);
    g.image.Paint(canvas, {0, 0, 3, 1}, kAnimate);
    EXPECT_EQ(rec.Joined(), "start paint0 after0 paint1 after1 paint0 after0 paint1 after1 paint2 after2 end");
}

TEST(GIFPainter, PauseHoldsAndResumeGoesOn) {
    LoadedGif g;
    LoadGif(g, ThreeFrames(1));
    FakeClock clock;
    clock.holdAt = 0;
    Recorder rec;
    rec.Hook(g.image);
    g.image.PainterClock = &clock;
    TBitmap canvas = Canvas(3, 1);
    std::shared_ptr<TGIFPainter> p = g.image.Paint(canvas, {0, 0, 3, 1}, kAsync);
    clock.WaitHolding();
    g.image.PaintPause();
    EXPECT_TRUE(p->Suspended());
    g.image.PaintResume();
    EXPECT_FALSE(p->Suspended());
    g.image.PaintStop();
    EXPECT_TRUE(p->Finished());
    EXPECT_EQ(g.image.PainterCount(), 0);
}

TEST(GIFPainter, DisposalsThroughTheFrameBuffer) {
    struct Case {
        const char* name;
        std::vector<GifFrame> frames;
        std::vector<std::string> canvases;  // after each frame
        TGIFDrawOptions extra = DrawOption(goTransparent);
    };
    const Case cases[] = {
        // Background disposal clears the frame's area to the background colour (entry 3),
        // or, drawing transparently, to what the canvas showed before.
        {"background", {Frame(0, 4, 1, Gce(false, 0, 0, 2)), Frame(0, 2, 2, Gce(false, 0))}, {"RRRR", "GGBB"}, 0},
        {"canvas", {Frame(0, 4, 1, Gce(false, 0, 0, 2)), Frame(0, 2, 2, Gce(false, 0))}, {"RRRR", "GGWW"}},
        // Restore to previous: the next frame is drawn over what was there before it.
        {"previous",
         {Frame(0, 4, 1, Gce(false, 0)), Frame(0, 2, 2, Gce(false, 0, 0, 3)), Frame(2, 1, 3, Gce(false, 0))},
         {"RRRR", "GGRR", "RRBR"}},
        // A transparent frame over a kept one.
        {"transparent", {Frame(0, 4, 1, Gce(false, 0, 0, 1)), Frame(0, 4, 0, Gce(true, 0, 0, 2))}, {"RRRR", "RRRR"}},
    };
    for (const Case& c : cases) {
        GifSpec spec = Spec(4);
        spec.frames = c.frames;
        std::string bytes = MakeGif(spec);
        bytes[11] = 3;  // background colour index: blue
        LoadedGif g;
        LoadGif(g, bytes);
        ASSERT_EQ(g.error, "") << c.name;
        FakeClock clock;
        g.image.PainterClock = &clock;
        TBitmap canvas = Canvas(4, 1);
        std::vector<std::string> seen;
        g.image.OnAfterPaint = [&](TGIFPainter*) { seen.push_back(Colours(canvas)); };
        g.image.Paint(canvas, {0, 0, 4, 1}, kAnimate | c.extra);
        EXPECT_EQ(seen, c.canvases) << c.name;
    }
}

TEST(GIFPainter, PaintingControlEdgeCases) {
    LoadedGif one;
    LoadGif(one, MakeGif([] {
        GifSpec s = Spec(3);
        s.frames = {Frame(0, 3, 2, "")};
        return s;
    }()));
    Recorder rec;
    rec.Hook(one.image);
    TBitmap canvas = Canvas(3, 1);
    // One frame: painted at once in the caller, whatever the options.
    EXPECT_EQ(one.image.Paint(canvas, {0, 0, 3, 1}, kAsync), nullptr);
    EXPECT_EQ(rec.Joined(), "start paint0 after0 end");
    EXPECT_EQ(Colours(canvas), "GGG");
    // An empty rectangle: no painter.
    LoadedGif g;
    LoadGif(g, ThreeFrames(1));
    EXPECT_EQ(g.image.Paint(canvas, {2, 0, 2, 1}, kAsync), nullptr);
    EXPECT_EQ(g.image.PainterCount(), 0);
    // Stopping without painters only drops the cached bitmap.
    ASSERT_NE(g.image.GetBitmap(), nullptr);
    g.image.PaintStop();
    EXPECT_EQ(g.image.PainterCount(), 0);
}

TEST(GIFPainter, ImageDestroyedWhilePainting) {
    FakeClock clock;
    clock.holdAt = 2;
    TBitmap canvas = Canvas(3, 1);
    std::shared_ptr<TGIFPainter> p;
    {
        LoadedGif g;
        LoadGif(g, ThreeFrames(0));
        g.image.PainterClock = &clock;
        p = g.image.Paint(canvas, {0, 0, 3, 1}, kAsync);
        clock.WaitHolding();
    }
    // The painter outlives the image only as a finished object.
    EXPECT_TRUE(p->Finished());
}

TEST(GIFPainter, AnimatedDrawShowsTheFirstFrameThroughTheCachedPicture) {
    LoadedGif g;
    LoadGif(g, ThreeFrames(0));
    FakeClock clock;
    clock.holdAt = 0;
    g.image.PainterClock = &clock;
    g.image.SetDrawOptions(kAsync);
    TBitmap canvas = Canvas(6, 2);
    g.image.Draw(canvas, {0, 0, 6, 2});
    EXPECT_NE(g.image.Painter(), nullptr);
    EXPECT_EQ(canvas.Pixel(5, 1), RGBColor(255, 0, 0));
    // Changing the options stops the animation.
    g.image.SetDrawOptions(kAnimate);
    EXPECT_EQ(g.image.Painter(), nullptr);
    EXPECT_EQ(g.image.PainterCount(), 0);
}

// Real animations: the canvas after each frame equals ImageMagick's coalesced frame laid on
// the canvas colour.
TEST(GIFPainter, PeerAnimationsMatchImageMagickCoalesced) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(VELLICOR_SOURCE_DIR) / "../shared/testdata/peer/image-gif";
    if (!fs::is_directory(dir)) GTEST_SKIP() << "no peer GIF files";
    if (std::system("convert -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "ImageMagick is not installed";
    TempDir tmp;
    const int kFrames = 16;
    for (const char* name : {"anim-gr.gif", "beacon.gif", "moon_impact.gif", "sample_big.gif", "gifplayer-muybridge.gif"}) {
        const std::string file = (dir / name).string();
        if (!fs::exists(file)) continue;
        LoadedGif g;
        const std::string bytes = ReadFileBytes(file);
        LoadGif(g, bytes);
        ASSERT_EQ(g.error, "") << name;
        const int w = g.image.GetWidth(), h = g.image.GetHeight();
        const std::string out = tmp.File("frames.rgb");
        const std::string cmd = "convert '" + file + "[0-" + std::to_string(kFrames - 1) +
                                "]' -coalesce -background '#123456' -alpha remove -alpha off -depth 8 rgb:'" + out + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << name;
        const std::string expected = ReadFileBytes(out);
        FakeClock clock;
        g.image.PainterClock = &clock;
        TBitmap canvas;
        canvas.SetSize(w, h, TPixelFormat::pf24bit);
        canvas.Fill(RGBColor(0x12, 0x34, 0x56));
        int painted = 0;
        g.image.OnAfterPaint = [&](TGIFPainter* p) {
            const size_t at = size_t(painted) * size_t(w) * size_t(h) * 3;
            if (at + size_t(w) * h * 3 > expected.size()) {
                p->Stop();
                return;
            }
            for (int y = 0; y < h; ++y) {
                const uint8_t* e = reinterpret_cast<const uint8_t*>(expected.data()) + at + size_t(y) * w * 3;
                const uint8_t* c = canvas.ScanLine(y);
                for (int x = 0; x < w; ++x, e += 3, c += 3)
                    if (c[0] != e[2] || c[1] != e[1] || c[2] != e[0]) {
                        ADD_FAILURE() << name << " frame " << painted << " differs at " << x << "," << y;
                        p->Stop();
                        return;
                    }
            }
            ++painted;
        };
        g.image.Paint(canvas, {0, 0, w, h}, DrawOption(goAnimate) | DrawOption(goTransparent));
        int frames = 0;
        for (int i = 0; i < g.image.Images().GetCount(); ++i) frames += !g.image.Images().GetImage(i)->GetEmpty();
        EXPECT_EQ(painted, std::min(frames, kFrames)) << name;
    }
}

TEST(GIFPainter, DirectDrawPaintsTheCanvasOnce) {
    LoadedGif g;
    LoadGif(g, ThreeFrames(0));
    FakeClock clock;
    clock.holdAt = 1;
    g.image.PainterClock = &clock;
    g.image.SetDrawOptions(kAsync | DrawOption(goDirectDraw));
    TBitmap canvas = Canvas(3, 1);
    g.image.Draw(canvas, {0, 0, 3, 1});
    TGIFPainter* first = g.image.Painter();
    ASSERT_NE(first, nullptr);
    clock.WaitHolding();
    {
        std::lock_guard<std::recursive_mutex> lock(g.image.CanvasLock());
        EXPECT_EQ(Colours(canvas), "GGG");  // the second frame, painted straight on the canvas
    }
    // Drawing the same canvas and rectangle again leaves the running painter alone.
    g.image.Draw(canvas, {0, 0, 3, 1});
    EXPECT_EQ(g.image.Painter(), first);
    EXPECT_EQ(g.image.PainterCount(), 1);
    g.image.StopDraw();
    EXPECT_EQ(g.image.Painter(), nullptr);
    EXPECT_EQ(g.image.PainterCount(), 0);
}

TEST(GIFPainter, ValidatedCanvasThatChangesEndsThePainter) {
    LoadedGif g;
    LoadGif(g, ThreeFrames(1));
    FakeClock clock;
    g.image.PainterClock = &clock;
    TBitmap canvas = Canvas(3, 1);
    Recorder rec;
    rec.Hook(g.image);
    g.image.OnAfterPaint = [&](TGIFPainter*) { canvas.SetSize(5, 1, TPixelFormat::pf24bit); };
    g.image.Paint(canvas, {0, 0, 3, 1}, kAnimate | DrawOption(goValidateCanvas));
    // The first frame is painted; the second finds another canvas and ends without events.
    EXPECT_EQ(rec.Joined(), "start paint0 paint1");
}
