#pragma once
// The reader against other readers on a real X server: a fresh Xvfb with a window manager,
// the screen timer (xprobe) pressing keys and watching the screen, every run with a fresh
// settings folder, the readers taking turns. Peers that are not installed are skipped.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace bench {

struct Reader {
    std::string name;               // as the table names it, version included
    std::vector<std::string> argv;  // the book is appended
    bool ctrlEnd = false;           // its last-page key is Ctrl+End
    bool ours = false;              // settings folder by VELLICOR_CONFIG_DIR, not HOME
};

// The readers to compare: ours first, then each installed peer.
inline std::vector<Reader> ScreenReaders(const std::string& ours) {
    std::vector<Reader> r{{"vellicor", {ours}, false, true}};
    if (std::string v = PackageVersion("mcomix"); !v.empty()) r.push_back({"MComix " + v, {"mcomix", "-f"}, false, false});
    if (std::string v = PackageVersion("qcomicbook"); !v.empty())
        // It has no full-screen option: F11 two seconds after start, as the others read full screen.
        r.push_back({"qComicBook " + v,
                     {"sh", "-c", "(sleep 2; xdotool key F11) & exec qcomicbook \"$1\"", "qcomicbook"},
                     true,
                     false});
    return r;
}

inline bool OnPath(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// A process started with the environment given (NAME=value entries added to ours).
inline pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}, bool quiet = true) {
    pid_t p = fork();
    if (p == 0) {
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        if (quiet) {
            FILE* n = std::fopen("/dev/null", "w");
            if (n) {
                dup2(fileno(n), 1);
                dup2(fileno(n), 2);
            }
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return p;
}

inline void Stop(pid_t p) {
    if (p <= 0) return;
    kill(p, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(p, nullptr, WNOHANG) == p) return;
        usleep(20000);
    }
    kill(p, SIGKILL);
    waitpid(p, nullptr, 0);
}

// An X server of its own (1280x1024x24) with openbox; display from VELLICOR_BENCH_DISPLAY
// or the first free one from :90.
class XServer {
public:
    XServer() {
        if (!OnPath("Xvfb")) return;
        int first = 90, last = 99;
        if (const char* d = std::getenv("VELLICOR_BENCH_DISPLAY")) first = last = std::atoi(d);
        for (int d = first; d <= last; ++d) {
            if (std::filesystem::exists("/tmp/.X" + std::to_string(d) + "-lock")) continue;
            display_ = ":" + std::to_string(d);
            xvfb_ = Spawn({"Xvfb", display_, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(d);
            for (int i = 0; i < 100 && !std::filesystem::exists(socket); ++i) usleep(50000);
            if (!std::filesystem::exists(socket)) {
                Stop(xvfb_);
                xvfb_ = -1;
                display_.clear();
                continue;
            }
            if (OnPath("openbox")) wm_ = Spawn({"openbox"}, {"DISPLAY=" + display_});
            sleep(1);
            return;
        }
    }
    ~XServer() {
        Stop(wm_);
        Stop(xvfb_);
    }
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    const std::string& Display() const { return display_; }

private:
    std::string display_;
    pid_t xvfb_ = -1, wm_ = -1;
};

// The environment of one run: the display (Qt readers on it) and a fresh settings folder.
inline std::vector<std::string> RunEnvironment(const Reader& r, const std::string& display, const std::string& settings) {
    std::vector<std::string> env{"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"};
    if (r.ours) {
        env.push_back("VELLICOR_CONFIG_DIR=" + settings);
    } else {
        env.push_back("HOME=" + settings);
        env.push_back("XDG_CONFIG_HOME=" + settings + "/.config");
        env.push_back("XDG_DATA_HOME=" + settings + "/.local/share");
        env.push_back("XDG_CACHE_HOME=" + settings + "/.cache");
    }
    return env;
}

// The output of a command, run with the environment given.
inline std::string Capture(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t p = fork();
    if (p == 0) {
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        dup2(fds[1], 1);
        close(fds[0]);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    close(fds[0]);
    waitpid(p, nullptr, 0);
    return out;
}

// The peak resident memory of a process in bytes (0 when gone).
inline double PeakMemoryOf(pid_t p) {
    std::ifstream status("/proc/" + std::to_string(p) + "/status");
    std::string key;
    double kb = 0;
    while (status >> key)
        if (key == "VmHWM:" && status >> kb) return kb * 1024;
    return 0;
}

}  // namespace bench
