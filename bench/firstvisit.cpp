// The first visit to a page that is not cached yet. On an X server (a fresh Xvfb, when it
// and the screen timer are there): the reader against MComix and qComicBook, from the End
// key to the last page on screen, and the peak memory of each on a 2000-page book once the
// same reading has been done by every reader (End, Home, five pages forward, each waited
// for on the screen). Then in the reader's own window on the offscreen platform: key to painted frame on
// a 20-page cbz of 1600x2400 JPEG pages in a 1280x1024 window, default settings, beside a
// cached page turn and the bare decode of one page. On the X server also the turns of
// forward reading, to pages read ahead, beside turns between pages shown before.
// VELLICOR_BENCH_OTHER_BUILD=PATH has another build of ours take its turns on the X server
// (its rows are our own), VELLICOR_BENCH_ROUNDS sets the rounds of X runs (5).
// VELLICOR_BENCH_LOAD=N keeps N threads busy during the X runs (a loaded machine); run the
// whole benchmark under taskset to pin every side to the same processors.
#include <QApplication>
#include <QKeyEvent>

#include <algorithm>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "ScreenTimer.h"
#ifdef VELLICOR_SCREEN_WATCH
#include "x11/ScreenWatch.h"
#endif
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

// A stored cbz of the pages (names page0001.jpg on), written by zip from hard links.
bool WriteBook(const fs::path& dir, const std::vector<const std::string*>& pages, const std::string& book) {
    fs::create_directories(dir);
    std::vector<fs::path> firsts;
    for (size_t i = 0; i < pages.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "page%04zu.jpg", i + 1);
        const fs::path path = dir / name;
        auto same = std::find(pages.begin(), pages.begin() + long(i), pages[i]);
        std::error_code ec;
        if (same != pages.begin() + long(i)) {
            fs::create_hard_link(firsts[size_t(same - pages.begin())], path, ec);
            firsts.push_back(firsts[size_t(same - pages.begin())]);
            if (!ec) continue;
        } else {
            firsts.push_back(path);
        }
        TFileStream f;
        if (!f.Open(path.string(), FileMode::Create)) return false;
        f.Write(pages[i]->data(), int64_t(pages[i]->size()));
    }
    const bool ok = std::system(("cd '" + dir.string() + "' && zip -q -0 '" + book + "' page*.jpg").c_str()) == 0;
    fs::remove_all(dir);
    return ok;
}

// Threads spinning until destroyed: load from elsewhere on the machine.
class BusyThreads {
public:
    explicit BusyThreads(int n) {
        for (int i = 0; i < n; ++i)
            threads_.emplace_back([this] {
                volatile uint64_t x = 0;
                while (!stop_) x = x + 1;
            });
    }
    ~BusyThreads() {
        stop_ = true;
        for (auto& t : threads_) t.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

std::string FreshFolder(const fs::path& under) {
    std::string pattern = (under / "run-XXXXXX").string();
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

// A folder removed with all it holds when this goes, whether the run worked or not.
struct RemovedAtEnd {
    fs::path path;
    ~RemovedAtEnd() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

#ifdef VELLICOR_SCREEN_WATCH
// What the screen shows, by the colour of its paper: a page fills enough of it for its tint
// to lead the mean (the first page is blue, the last red, the ones after the first green and
// plain in turn).
enum class Shown { other, blue, red, green, plain };

Shown Classify(const ScreenColor& c) {
    auto leads = [](double a, double b, double d) { return a > b + 40 && a > d + 40 && a > 90; };
    if (leads(c.blue, c.red, c.green)) return Shown::blue;
    if (leads(c.red, c.green, c.blue)) return Shown::red;
    if (leads(c.green, c.red, c.blue)) return Shown::green;
    const double high = std::max({c.red, c.green, c.blue}), low = std::min({c.red, c.green, c.blue});
    return high - low < 30 && low > 60 ? Shown::plain : Shown::other;
}

// Waits until the screen shows what is wanted (or the process ends, or the time is up).
bool WaitFor(ScreenWatch& screen, Shown wanted, pid_t p, double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        if (Classify(screen.Mean()) == wanted) return true;
        // Ended: left unreaped (WNOWAIT) for Stop, so that no other process gets its id meanwhile.
        siginfo_t info{};
        if (waitid(P_PID, id_t(p), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == p) return false;
        usleep(5000);
    }
    return false;
}

// The reading every reader does before its peak memory is read: the first page on screen,
// 3 s to settle (a peer is switched to full screen 2 s after its start), End to the last
// page, Home back to the first, then five pages forward, each step waited for on the screen.
// The peak resident memory in bytes, or 0 (with what failed printed) when a step did not show.
double PeakAfterReading(ScreenWatch& screen, const Reader& r, pid_t p) {
    struct Step {
        const char* key;
        Shown shows;
    };
    const Step steps[] = {{"End", Shown::red},   {"Home", Shown::blue}, {"Next", Shown::green}, {"Next", Shown::plain},
                          {"Next", Shown::green}, {"Next", Shown::plain}, {"Next", Shown::green}};
    if (!WaitFor(screen, Shown::blue, p, 60)) {
        std::printf("%s: the first page did not show\n", r.name.c_str());
        return 0;
    }
    sleep(3);
    for (const Step& s : steps) {
        // Only the jumps to either end take Control on a reader that wants it there.
        const bool ctrl = r.ctrlEnd && (s.shows == Shown::red || s.shows == Shown::blue);
        screen.Key(s.key, ctrl);
        if (!WaitFor(screen, s.shows, p, 30)) {
            std::printf("%s: %s did not show its page\n", r.name.c_str(), s.key);
            return 0;
        }
    }
    return PeakMemoryOf(p);
}

// Whether the screen's mean is within tolerance of a settled page's mean, in every channel.
bool Near(const ScreenColor& c, const ScreenColor& target, double tolerance = 4) {
    return std::abs(c.red - target.red) <= tolerance && std::abs(c.green - target.green) <= tolerance &&
           std::abs(c.blue - target.blue) <= tolerance;
}

// Presses key and times it until the screen settles on target (-1 after 5 s or when the
// process ended).
double TimedTurn(ScreenWatch& screen, const char* key, const ScreenColor& target, pid_t p) {
    const auto t = Clock::now();
    screen.Key(key);
    while (Clock::now() < t + std::chrono::seconds(5)) {
        if (Near(screen.Mean(), target)) return Ms(t);
        siginfo_t info{};
        if (waitid(P_PID, id_t(p), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == p) return -1;
        usleep(500);
    }
    return -1;
}

// Forward reading on a book of green and plain pages after the blue first one: each Page
// Down comes after kRead on the page, long enough for every reader's read-ahead to have made
// the next one. Pages 2 and 3 give the settled look of a green and a plain page; the turns
// after them go to pages read ahead. Then Page Up and Page Down between the last two pages,
// each shown before. False (with what failed printed) when a page did not show.
constexpr auto kRead = std::chrono::milliseconds(800);
constexpr int kForwardTurns = 10, kBackAndForth = 5;

bool ReadForward(ScreenWatch& screen, const Reader& r, pid_t p, std::vector<double>& ahead, std::vector<double>& before) {
    if (!WaitFor(screen, Shown::blue, p, 60)) {
        std::printf("%s: the first page did not show\n", r.name.c_str());
        return false;
    }
    sleep(3);
    ScreenColor look[2];  // green, plain
    for (int i = 0; i < 2; ++i) {
        screen.Key("Next");
        if (!WaitFor(screen, i == 0 ? Shown::green : Shown::plain, p, 30)) {
            std::printf("%s: page %d did not show\n", r.name.c_str(), i + 2);
            return false;
        }
        std::this_thread::sleep_for(kRead);
        look[i] = screen.Mean();
    }
    auto turn = [&](const char* key, int page, std::vector<double>& into) {
        const double ms = TimedTurn(screen, key, look[(page + 1) % 2], p);  // odd pages are green
        if (ms < 0) {
            std::printf("%s: %s to page %d did not settle\n", r.name.c_str(), key, page + 1);
            return false;
        }
        into.push_back(ms);
        std::this_thread::sleep_for(kRead);
        return true;
    };
    int page = 2;  // 0-based: the plain page 3 is on screen
    for (int i = 0; i < kForwardTurns; ++i)
        if (!turn("Next", ++page, ahead)) return false;
    // Going back may show the end of a page that does not fit: what each key shows is
    // taken from a first, untimed, pair of turns.
    screen.Key("Prior");
    if (!WaitFor(screen, page % 2 ? Shown::plain : Shown::green, p, 30)) {
        std::printf("%s: Prior did not show page %d\n", r.name.c_str(), page);
        return false;
    }
    std::this_thread::sleep_for(kRead);
    look[page % 2] = screen.Mean();  // of page - 1
    std::vector<double> untimed;
    if (!turn("Next", page, untimed)) return false;
    for (int i = 0; i < kBackAndForth; ++i)
        if (!turn("Prior", page - 1, before) || !turn("Next", page, before)) return false;
    return true;
}
#endif

// The readers on an X server: End to the last page, and peak memory on a long book.
void ScreenRows(const fs::path& dir, const std::string& blue, const std::string& paper, const std::string& red,
                const std::string& green) {
    const std::string xprobe = VELLICOR_XPROBE;
    if (xprobe.empty() || !fs::exists(xprobe)) {
        std::printf("screen timer not built (needs its source, X11, Xext and Xtst): X rows skipped\n");
        return;
    }
    XServer x;
    if (x.Display().empty()) {
        std::printf("no Xvfb (or no free display): X rows skipped\n");
        return;
    }
    const std::string book = (dir / "screen.cbz").string(), longBook = (dir / "long.cbz").string(),
                      readingBook = (dir / "reading.cbz").string();
    std::vector<const std::string*> pages(20, &paper);
    pages.front() = &blue;
    pages.back() = &red;
    std::vector<const std::string*> many(2000, &paper);
    many.front() = &blue;
    many.back() = &red;
    for (size_t i = 1; i < 6; i += 2) many[i] = &green;
    std::vector<const std::string*> reading(20, &paper);
    reading.front() = &blue;
    for (size_t i = 1; i < reading.size(); i += 2) reading[i] = &green;
    if (!WriteBook(dir / "screen", pages, book) || !WriteBook(dir / "long", many, longBook) ||
        !WriteBook(dir / "reading", reading, readingBook)) {
        std::printf("zip is needed to write the books\n");
        return;
    }
    std::vector<Reader> readers = ScreenReaders(VELLICOR_READER);
    // Another build of ours takes its turns beside this one (an older one, to compare builds).
    if (const char* other = std::getenv("VELLICOR_BENCH_OTHER_BUILD"); other && *other)
        readers.insert(readers.begin() + 1, Reader{std::string("vellicor at ") + other, {other}, false, true});
    const int rounds = std::getenv("VELLICOR_BENCH_ROUNDS") ? std::max(1, std::atoi(std::getenv("VELLICOR_BENCH_ROUNDS"))) : 5;
    const int load = std::getenv("VELLICOR_BENCH_LOAD") ? std::atoi(std::getenv("VELLICOR_BENCH_LOAD")) : 0;
    const std::string loaded = load > 0 ? ", loaded (" + std::to_string(load) + " busy threads)" : "";
    BusyThreads busy(load);

    // Rounds of runs, the readers taking turns, each run with a fresh settings folder and a
    // temporary folder of its own: a peer ended by a signal leaves what it unpacked there
    // (qComicBook the whole book, a gigabyte for the long one), and it goes with the run.
    auto inTurn = [&](int rounds, const std::function<void(size_t, int, std::vector<std::string>)>& run) {
        for (int round = 0; round < rounds; ++round)
            for (size_t i = 0; i < readers.size(); ++i) {
                const RemovedAtEnd settings{FreshFolder(dir)};
                const fs::path tmp = settings.path / "tmp";
                std::error_code ec;
                if (settings.path.empty() || !fs::create_directory(tmp, ec)) {
                    std::printf("no temporary folder for a run in %s\n", dir.c_str());
                    return;
                }
                std::vector<std::string> env = RunEnvironment(readers[i], x.Display(), settings.path.string());
                env.push_back("TMPDIR=" + tmp.string());
                run(i, round, std::move(env));
            }
    };
    std::vector<std::vector<double>> end(readers.size()), memory(readers.size()), ahead(readers.size()),
        before(readers.size());
    inTurn(rounds, [&](size_t i, int round, std::vector<std::string> env) {
        const Reader& r = readers[i];
        if (r.ctrlEnd) env.push_back("XPROBE_CTRL=1");
        std::vector<std::string> argv{xprobe, "end", "--"};
        argv.insert(argv.end(), r.argv.begin(), r.argv.end());
        argv.push_back(book);
        const std::string out = Capture(argv, env);
        double ms = 0;
        if (std::sscanf(out.c_str(), "%lf ms", &ms) == 1) end[i].push_back(ms);
        else std::printf("%s, round %d: %s", r.name.c_str(), round + 1, out.empty() ? "no answer\n" : out.c_str());
    });
#ifdef VELLICOR_SCREEN_WATCH
    ScreenWatch screen(x.Display());
    if (!screen.Ok()) std::printf("no shared memory or XTest on the X server: memory rows skipped\n");
    else
        inTurn(rounds, [&](size_t i, int, std::vector<std::string> env) {
            std::vector<std::string> argv = readers[i].argv;
            argv.push_back(longBook);
            const pid_t p = Spawn(argv, env);
            const double peak = PeakAfterReading(screen, readers[i], p);
            Stop(p);
            if (peak > 0) memory[i].push_back(peak / 1e6);
        });
    // Every turn of every run counts: a run's turns are spread over its pages.
    if (screen.Ok())
        inTurn(rounds, [&](size_t i, int, std::vector<std::string> env) {
            std::vector<std::string> argv = readers[i].argv;
            argv.push_back(readingBook);
            const pid_t p = Spawn(argv, env);
            std::vector<double> a, b;
            if (ReadForward(screen, readers[i], p, a, b)) {
                ahead[i].insert(ahead[i].end(), a.begin(), a.end());
                before[i].insert(before[i].end(), b.begin(), b.end());
            }
            Stop(p);
        });
#endif
    auto spread = [](const char* what, const std::string& who, std::vector<double> v) {
        std::sort(v.begin(), v.end());
        if (!v.empty())
            std::printf("%s of %s over %zu turns: min %.2f, median %.2f, max %.2f ms\n", what, who.c_str(), v.size(),
                        v.front(), v[v.size() / 2], v.back());
    };
    for (size_t i = 0; i < readers.size(); ++i) {
        spread("turn to a read-ahead page", readers[i].name, ahead[i]);
        spread("turn to a page shown before", readers[i].name, before[i]);
    }
    for (size_t i = 0; i < readers.size(); ++i) {
        std::vector<double> m = memory[i];
        std::sort(m.begin(), m.end());
        if (!m.empty())
            std::printf("peak memory of %s over %zu runs: min %.0f, median %.0f, max %.0f MB\n", readers[i].name.c_str(),
                        m.size(), m.front(), m[m.size() / 2], m.back());
    }
    for (size_t i = 1; i < readers.size(); ++i) {
        const auto PeerRow = [&](const std::string& measure, double ours, const std::string& other, double theirs,
                                 const char* unit = "ms") {
            bench::PrintRow(!readers[i].ours, measure, ours, other, theirs, unit);
        };
        if (!end[0].empty() && !end[i].empty())
            PeerRow("first visit to the last page (End to the page on screen), 20-page cbz, Xvfb" + loaded,
                    Median(end[0]), readers[i].name, Median(end[i]));
        if (!memory[0].empty() && !memory[i].empty())
            PeerRow("peak memory, 2000-page cbz after End, Home and five pages forward, Xvfb" + loaded,
                    Median(memory[0]), readers[i].name, Median(memory[i]), "MB");
        if (!ahead[0].empty() && !ahead[i].empty())
            PeerRow("Page Down to a read-ahead page (0.8 s a page, key to screen), 20-page cbz, Xvfb" + loaded,
                    Median(ahead[0]), readers[i].name, Median(ahead[i]));
        if (!before[0].empty() && !before[i].empty())
            PeerRow("Page Up/Down between pages shown before (key to screen), 20-page cbz, Xvfb" + loaded,
                    Median(before[0]), readers[i].name, Median(before[i]));
    }
    if (!ahead[0].empty() && !before[0].empty())
        OwnRow("Page Down to a read-ahead page, Xvfb" + loaded, Median(ahead[0]), "turn to a page shown before",
               Median(before[0]));
    if (readers.size() == 1)
        std::printf("neither mcomix nor qcomicbook is installed: ours alone, End %.2f ms, peak memory %.0f MB\n",
                    Median(end[0]), Median(memory[0]));
}

}  // namespace

int main(int argc, char** argv) {
    const RemovedAtEnd scratch{fs::temp_directory_path() / ("vellicor-bench-firstvisit-" + std::to_string(getpid()))};
    const fs::path& dir = scratch.path;
    fs::create_directories(dir / "pages");
    const std::string jpeg = MakePage(1600, 2400);
    // The screen timer knows the first page by blue paper and the last by red.
    ScreenRows(dir, MakeTintedPage(1600, 2400, 40, 80, 255), jpeg, MakeTintedPage(1600, 2400, 255, 50, 40),
               MakeTintedPage(1600, 2400, 60, 255, 60));
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!std::getenv("VELLICOR_CONFIG_DIR")) setenv("VELLICOR_CONFIG_DIR", (dir / "config").c_str(), 1);
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
    std::printf("offscreen, 20-page cbz of 1600x2400 JPEG pages, window 1280x1024, default settings (medians):\n");
    std::printf("  cached page turn                    %7.2f ms\n", cached);
    std::printf("  painting the frame (of each visit)  %7.2f ms\n", Median(g_paint));
    OwnRow("first visit, key to painted frame (offscreen window)", firstVisit, "bare decode of the page", bare);
    return 0;
}
