// From input to painted frame at 1920x1080 on Qt's offscreen platform: a key press that
// turns to a cached page, and a mouse move that moves the magnifying glass, each through
// the window logic and the Qt paint, against a plain QPainter::drawImage of the same frame.
#include <QApplication>
#include <QCursor>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "BenchSupport.h"
#include "pages/BuffPage.h"
#include "pages/ProcessFiles.h"
#include "platform/DynLib.h"
#include "platform/Registry.h"
#include "platform/Streams.h"
#include "settings/Configuration.h"
#include "viewer/MainWindow.h"

using namespace vellicor;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kW = 1920, kH = 1080;

// Median milliseconds of runs of a and b, timed alternately so that load from elsewhere on
// the machine falls on both alike, after a few warm-ups.
std::pair<double, double> Interleaved(int runs, const std::function<void(int)>& a, const std::function<void()>& b) {
    for (int i = 0; i < 3; ++i) {
        a(i);
        b();
    }
    std::vector<double> ta, tb;
    for (int i = 0; i < runs; ++i) {
        auto s = Clock::now();
        a(i);
        auto m = Clock::now();
        b();
        auto e = Clock::now();
        ta.push_back(std::chrono::duration<double, std::milli>(m - s).count());
        tb.push_back(std::chrono::duration<double, std::milli>(e - m).count());
    }
    std::sort(ta.begin(), ta.end());
    std::sort(tb.begin(), tb.end());
    return {ta[ta.size() / 2], tb[tb.size() / 2]};
}

// A 24-bit BMP of w x h with a gradient, so that no page is a flat fill.
void WritePage(const std::string& name, int w, int h, int seed) {
    const int stride = (w * 3 + 3) & ~3;
    std::string bmp(54 + static_cast<size_t>(stride) * h, '\0');
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bmp[at + i] = static_cast<char>(v >> (8 * i));
    };
    bmp[0] = 'B';
    bmp[1] = 'M';
    put32(2, static_cast<uint32_t>(bmp.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(w));
    put32(22, static_cast<uint32_t>(h));
    bmp[26] = 1;
    bmp[28] = 24;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            char* p = &bmp[54 + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 3];
            p[0] = static_cast<char>(x + seed);
            p[1] = static_cast<char>(y);
            p[2] = static_cast<char>((x ^ y) + seed * 40);
        }
    TFileStream f;
    if (!f.Open(name, FileMode::Create) || !f.WriteBuffer(bmp.data(), static_cast<int64_t>(bmp.size()))) {
        std::fprintf(stderr, "cannot write %s\n", name.c_str());
        std::exit(1);
    }
}

// The floor: a widget that only draws one image.
class PlainImage : public QWidget {
public:
    QImage image;
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.drawImage(0, 0, image);
    }
};

struct Reader {
    std::unique_ptr<TConfigureForm> config;
    std::unique_ptr<TProcessFilesForm> queue;
    std::unique_ptr<MainWindow> window;

    Reader(const std::vector<std::string>& pages, bool zooming) {
        config = std::make_unique<TConfigureForm>();
        config->SetFitWidthIfOversize(false);
        config->SetZooming(zooming);
        config->SetLastPage(0);
        queue = std::make_unique<TProcessFilesForm>(*config);
        window = std::make_unique<MainWindow>(*config, *queue, pages);
        window->setFixedSize(kW, kH);
        window->show();
        QCoreApplication::processEvents();
        Settle();
    }
    ~Reader() {
        window.reset();
        queue.reset();
        config.reset();
        TBufferedPage::ClearList();
    }
    void Settle() {
        for (int i = 0; i < 20000; ++i)
            if (!window->Form().IdleHandler() && !window->Form().Busy) break;
        QCoreApplication::processEvents();
    }
    QWidget* Display() const { return window->centralWidget(); }
};

void Report(const char* what, double ours, double floor, double goal) {
    bench::OwnRow(what, ours, "Qt drawImage of the frame alone (floor)", floor);
    std::printf("%-46s ours %7.3f ms   drawImage floor %7.3f ms   x%.2f   goal < %.0f ms: %s\n", what, ours, floor,
                ours / floor, goal, ours < goal ? "met" : "missed");
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    auto base = std::filesystem::temp_directory_path() / ("vellicor-bench-input-" + std::to_string(getpid()));
    std::filesystem::create_directories(base / "config");
    setenv("VELLICOR_CONFIG_DIR", (base / "config").c_str(), 1);
    ResetRegistryStore();
    SetModuleSearchDir(VELLICOR_MODULE_DIR);

    // Pages that fill the screen, so that every pixel of the frame is page.
    std::vector<std::string> full, fitted;
    for (int i = 0; i < 2; ++i) {
        full.push_back((base / ("full" + std::to_string(i) + ".bmp")).string());
        WritePage(full.back(), kW, kH, i);
        fitted.push_back((base / ("fit" + std::to_string(i) + ".bmp")).string());
        WritePage(fitted.back(), 1200, 1000, i);
    }
    const int runs = 41;
    double turn = 0, move = 0, floorTurn = 0, floorMove = 0;

    PlainImage plain;
    plain.setFixedSize(kW, kH);
    plain.show();
    // The same frame, drawn whole each time (a copy: the reader's buffer changes under it).
    auto floorOf = [&](const TBitmap& buf) {
        plain.image = QImage(buf.Bits(), buf.Width(), buf.Height(), static_cast<qsizetype>(buf.Stride()),
                             QImage::Format_BGR888)
                          .copy();
        return [&] {
            plain.update();
            QCoreApplication::processEvents();
        };
    };

    {
        Reader r(full, false);
        // Both pages in the cache: PageDown and PageUp each turn to a cached page.
        QKeyEvent down(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
        QKeyEvent up(QEvent::KeyPress, Qt::Key_PageUp, Qt::NoModifier);
        QCoreApplication::sendEvent(r.window.get(), &down);
        r.Settle();
        QCoreApplication::sendEvent(r.window.get(), &up);
        r.Settle();
        int turned = 0;
        std::tie(turn, floorTurn) = Interleaved(
            runs,
            [&](int) {
                int before = r.config->LastPage;
                QCoreApplication::sendEvent(r.window.get(), before == 0 ? &down : &up);
                QCoreApplication::processEvents();  // the paint
                if (r.config->LastPage != before && !r.window->Form().Busy) ++turned;
            },
            floorOf(r.window->BackBuffer()));
        if (turned < runs + 3) std::printf("warning: %d turns waited for the queue\n", runs + 3 - turned);
    }
    {
        Reader r(fitted, true);
        const TPageSlot& s = r.window->Form().Image(0);
        QWidget* d = r.Display();
        const QPoint at[2] = {QPoint(s.DestX + 300, s.DestY + 300), QPoint(s.DestX + 700, s.DestY + 600)};
        int shown = 0;
        std::tie(move, floorMove) = Interleaved(
            runs,
            [&](int i) {
                QPoint p = at[i % 2];
                QCursor::setPos(d->mapToGlobal(p));
                QMouseEvent e(QEvent::MouseMove, p, d->mapToGlobal(p), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
                QCoreApplication::sendEvent(d, &e);
                QCoreApplication::processEvents();
                if (s.ZoomShown) ++shown;
            },
            floorOf(r.window->BackBuffer()));
        if (!s.ZoomAvailable || shown == 0) std::printf("warning: the glass was not shown\n");
    }

    Report("key press to painted cached page turn", turn, floorTurn, 16);
    Report("mouse move to painted magnifying glass", move, floorMove, 8);
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
    std::printf("ratio to drawImage: page turn x%.2f, magnifier x%.2f\n", turn / floorTurn, move / floorMove);
    return 0;
}
