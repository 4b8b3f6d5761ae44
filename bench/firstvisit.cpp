// The first visit to a page that is not cached yet, in the reader's own window (offscreen
// platform unless QT_QPA_PLATFORM says otherwise): from the key press to the painted frame,
// on a 20-page cbz of 1600x2400 JPEG pages in a 1280x1024 window, default settings. Beside
// it, a cached page turn and the bare decode of one page; the last line is the ratio of a
// first visit to the bare decode.
#include <QApplication>
#include <QKeyEvent>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "pages/PageBMP.h"
#include "pages/ProcessFiles.h"
#include "platform/DynLib.h"
#include "platform/Streams.h"
#include "settings/Configuration.h"
#include "viewer/MainWindow.h"
#include "viewer/QtTextRenderer.h"
#include "viewer/QtUiServices.h"

using namespace vellicor;
using namespace bench;
namespace fs = std::filesystem;

namespace {

double Ms(Clock::time_point a) { return std::chrono::duration<double, std::milli>(Clock::now() - a).count(); }

// One turn of the event loop: events first, and the queue's step when there are none (as
// the idle pump does in the reader).
void Step(MainWindow& w) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    w.Form().IdleHandler();
}

// Lets the window work until page is on screen (or 10 s pass); false on time-out.
bool WaitForPage(MainWindow& w, int page) {
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < until) {
        const TPageSlot& s = w.Form().Image(0);
        if (s.Displayed && s.Page == page && !w.Form().Busy) return true;
        Step(w);
    }
    return false;
}

// Of each visit, the time spent painting the frame once the page was shown.
std::vector<double> g_paint;

// Presses key and times it until the page is shown and the frame painted.
double Visit(MainWindow& w, int key, int page) {
    const auto t = Clock::now();
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &press);
    if (!WaitForPage(w, page)) return -1;
    const auto shown = Clock::now();
    w.repaint();
    g_paint.push_back(Ms(shown));
    return Ms(t);
}

// Lets the queue finish its read-ahead, as while the reader reads.
void Settle(MainWindow& w) {
    const auto until = Clock::now() + std::chrono::milliseconds(1500);
    while (Clock::now() < until) Step(w);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const fs::path dir = fs::temp_directory_path() / ("vellicor-bench-firstvisit-" + std::to_string(getpid()));
    fs::create_directories(dir / "pages");
    if (!std::getenv("VELLICOR_CONFIG_DIR")) setenv("VELLICOR_CONFIG_DIR", (dir / "config").c_str(), 1);
    const std::string jpeg = MakePage(1600, 2400);
    for (int i = 1; i <= 20; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "page%02d.jpg", i);
        TFileStream f;
        if (f.Open((dir / "pages" / name).string(), FileMode::Create)) f.Write(jpeg.data(), int64_t(jpeg.size()));
    }
    const std::string book = (dir / "book.cbz").string();
    if (std::system(("cd '" + (dir / "pages").string() + "' && zip -q -0 '" + book + "' *.jpg").c_str()) != 0) {
        std::printf("zip is needed to write the book\n");
        return 1;
    }
    SetModuleSearchDir(VELLICOR_MODULE_DIR);

    QApplication app(argc, argv);
    double firstVisit = -1, cached = -1, bare = -1;
    {
        QtUiServices ui;
        QtTextRenderer text;
        TConfigureForm config;
        TProcessFilesForm queue(config);
        MainWindow window(config, queue, {book});
        window.resize(1280, 1024);
        window.show();
        if (!WaitForPage(window, 0)) {
            std::printf("the first page did not show\n");
            return 1;
        }
        Settle(window);
        // Cold pages: End, then jumps back and forth far from what was read ahead.
        std::vector<double> cold, warm;
        const std::pair<int, int> jumps[] = {{Qt::Key_End, 19}, {Qt::Key_Home, 0}};
        for (int round = 0; round < 5; ++round) {
            for (auto [key, page] : jumps) {
                // The cache holds the pages around the one read: the far end is never in it,
                // while Home comes back to pages still cached.
                (page == 0 ? warm : cold).push_back(Visit(window, key, page));
                Settle(window);
            }
            warm.push_back(Visit(window, Qt::Key_PageDown, 1));
            Settle(window);
        }
        firstVisit = Median(cold);
        cached = Median(warm);
        // Normal forward reading: Page Down with a pause to read each page, long enough for
        // the queue to make the next pages. A turn that finds its page made is a cache hit.
        int hits = 0, turns = 0;
        std::vector<double> reading;
        for (int page = 2; page < 14; ++page, ++turns) {
            const auto until = Clock::now() + std::chrono::milliseconds(250);
            while (Clock::now() < until) Step(window);
            QKeyEvent press(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
            const auto t = Clock::now();
            QCoreApplication::sendEvent(&window, &press);
            const TPageSlot& s = window.Form().Image(0);
            hits += s.Displayed && s.Page == page && !window.Form().Busy;  // shown within the key press
            if (!WaitForPage(window, page)) break;
            window.repaint();
            reading.push_back(Ms(t));
        }
        std::printf("forward reading, 250 ms a page: %d of %d turns from the cache, median turn %.2f ms\n", hits, turns,
                    Median(reading));
    }
    bare = MedianMs(15, [&] {
        TPageBMP page("p.jpg");
        TByteViewStream s(jpeg.data(), int64_t(jpeg.size()));
        page.LoadFromStream(&s);
    });
    fs::remove_all(dir);
    std::printf("20-page cbz of 1600x2400 JPEG pages, window 1280x1024, default settings (medians):\n");
    std::printf("  first visit, key to painted frame   %7.2f ms\n", firstVisit);
    std::printf("  cached page turn                    %7.2f ms\n", cached);
    std::printf("  painting the frame (of each visit)  %7.2f ms\n", Median(g_paint));
    std::printf("  bare decode of one page             %7.2f ms\n", bare);
    std::printf("ratio first visit / bare decode: %.2fx\n", firstVisit / bare);
    return 0;
}
