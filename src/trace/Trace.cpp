#include "trace/Trace.h"

#include <cxxabi.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <typeinfo>

#include "extlibs/trace32/TraceMap.h"
#include "extlibs/trace32/trace32.h"
#include "platform/DynLib.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "platform/Ticks.h"

extern char** environ;

namespace vellicor::trace {

// True until binding finds no usable library, so that the first trace call binds.
std::atomic<bool> g_libraryLoaded{true};

namespace {

const char kClassKey[] = "CLSID\\{766679C8-435A-11D1-AC1F-444553540000}\\InprocServer32";
const char kViewerKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\TraceLog32.exe";
const char kLibraryName[] = "libtrace32.so";
const char kViewerName[] = "tracelog32";
constexpr uint32_t kRetryMs = 5000;
constexpr auto kViewerStartWait = std::chrono::seconds(5);
constexpr auto kExportWait = std::chrono::seconds(5);
constexpr auto kViewerQuitWait = std::chrono::seconds(2);

struct Entries {
    TGetDLLver GetDLLver = nullptr;
    TD_CopyToBlockMap D_CopyToBlockMap = nullptr;
    TCreateTraceMemMap CreateTraceMemMap = nullptr;
    TOpenTraceMemMap OpenTraceMemMap = nullptr;
    TCloseTraceMemMap CloseTraceMemMap = nullptr;
    TGetTraceMapName GetTraceMapName = nullptr;
    TSetTraceMapName SetTraceMapName = nullptr;
};

struct TimerRec {
    int32_t id;
    uint32_t start;
    TimerRec* next;
};

std::mutex g_bindMutex;
std::atomic<bool> g_bound{false};
LibHandle g_library = nullptr;
Entries g_entries;
uint32_t g_version = 0;
std::atomic<bool> g_enabled{false};
std::atomic<uint32_t> g_lastTry{0};
std::atomic<bool> g_finalizing{false};

std::mutex g_timerMutex;
TimerRec* g_timers = nullptr;  // newest first

std::atomic<bool> g_exitError{false};
std::atomic<uint16_t> g_exitCode{0};
std::atomic<const void*> g_exitAddress{nullptr};
std::terminate_handler g_previousTerminate = nullptr;
bool g_terminateInstalled = false;

template <typename F>
F Entry(const char* name) {
    return reinterpret_cast<F>(GetProcAddress(g_library, name));
}

void FreeTimers() {
    std::lock_guard g(g_timerMutex);
    while (g_timers) {
        TimerRec* t = g_timers;
        g_timers = t->next;
        delete t;
    }
}

void UnbindLocked() {
    g_libraryLoaded.store(false);
    g_enabled.store(false);
    g_lastTry.store(0);
    g_entries = Entries{};
    g_version = 0;
    if (g_library) FreeLibrary(g_library);
    g_library = nullptr;
    FreeTimers();
}

void Finalize();

[[noreturn]] void OnTerminate() {
    if (!g_exitError.load()) SetExitError(1, nullptr);
    Finalize();
    if (g_previousTerminate) g_previousTerminate();
    std::abort();
}

std::string Unquote(std::string s) {
    if (s.size() > 255) s.resize(255);
    if (!s.empty() && s.front() == '"') s.erase(0, 1);
    if (!s.empty() && s.back() == '"') s.pop_back();
    return s;
}

void BindLocked() {
    UnbindLocked();
    g_bound.store(true);
    {
        TRegistry reg(HKEY::CLASSES_ROOT);
        if (reg.OpenKeyReadOnly(kClassKey))
            if (auto path = reg.ReadString(""); path && !path->empty())
                g_library = LoadLibrary(Unquote(*path));
    }
    if (!g_library) g_library = LoadLibrary(kLibraryName);
    if (!g_library) return;

    g_entries.GetDLLver = Entry<TGetDLLver>("GetDLLver");
    g_entries.D_CopyToBlockMap = Entry<TD_CopyToBlockMap>("D_CopyToBlockMap");
    g_entries.CreateTraceMemMap = Entry<TCreateTraceMemMap>("CreateTraceMemMap");
    g_entries.OpenTraceMemMap = Entry<TOpenTraceMemMap>("OpenTraceMemMap");
    g_entries.CloseTraceMemMap = Entry<TCloseTraceMemMap>("CloseTraceMemMap");
    g_entries.GetTraceMapName = Entry<TGetTraceMapName>("GetTraceMapName");
    g_entries.SetTraceMapName = Entry<TSetTraceMapName>("SetTraceMapName");
    g_version = g_entries.GetDLLver ? g_entries.GetDLLver() : 0;
    // Every version from 2.50 on: a later major version with a small minor one is newer.
    uint32_t major = g_version >> 16, minor = g_version & 0xFFFF;
    bool versionOk = major > 2 || (major == 2 && minor >= 50);
    const Entries& x = g_entries;
    bool complete = x.GetDLLver && x.D_CopyToBlockMap && x.CreateTraceMemMap && x.OpenTraceMemMap &&
                    x.CloseTraceMemMap && x.GetTraceMapName && x.SetTraceMapName;
    if (!versionOk || !complete) {
        UnbindLocked();
        return;
    }
    g_libraryLoaded.store(true);
    if (!g_terminateInstalled) {
        g_previousTerminate = std::set_terminate(OnTerminate);
        g_terminateInstalled = true;
    }
}

void EnsureBound() {
    if (g_bound.load(std::memory_order_acquire)) return;
    std::lock_guard g(g_bindMutex);
    if (!g_bound.load()) BindLocked();
}

// The library's entries once bound (null when none).
const Entries* Bound() {
    EnsureBound();
    return g_libraryLoaded.load() ? &g_entries : nullptr;
}

int Send(int32_t type, const void* data, int32_t length, const char* label) {
    return g_entries.D_CopyToBlockMap(type, data, length, label ? label : "");
}

std::string ExecutablePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

// The exit record, the timer list and the library, once.
void Finalize() {
    static std::atomic<bool> done{false};
    if (done.exchange(true)) return;
    g_finalizing.store(true);
    if (g_exitError.load() && g_bound.load() && g_libraryLoaded.load()) {
        std::string exe = ExecutablePath();
        TracepChar(exe.c_str(), "App. Exited WITH ERRORS");
        TraceError(g_exitCode.load());
        TracePointer(g_exitAddress.load(), "ErrorAddr");
    }
    std::lock_guard g(g_bindMutex);
    UnbindLocked();
}

struct Finalization {
    ~Finalization() { Finalize(); }
} g_finalization;

std::string MapName() {
    if (const Entries* e = Bound()) {
        char buf[trace32::kNameMax + 1] = {};
        if (e->GetTraceMapName(buf, sizeof buf)) return buf;
    }
    return trace32::DefaultMapName();
}

std::string ViewerPath() {
    std::string path;
    TRegistry reg(HKEY::LOCAL_MACHINE);
    if (reg.OpenKeyReadOnly(kViewerKey))
        if (auto v = reg.ReadString("")) path = Unquote(*v);
    if (path.empty()) path = kViewerName;
    if (path.find('/') == std::string::npos) {
        std::string beside = IncludeTrailingPathDelimiter(ExecutableDir()) + path;
        if (::access(beside.c_str(), X_OK) == 0) return beside;
    }
    return path;
}

pid_t StartViewer(const std::string& path, const std::string& mapName) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string a0 = path, a1 = "--minimised", a2 = "--map", a3 = mapName;
    char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
    pid_t pid = -1;
    int rc = path.find('/') == std::string::npos
                 ? posix_spawnp(&pid, path.c_str(), &actions, nullptr, argv, environ)
                 : posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

bool Exited(pid_t pid) {
    int status;
    return ::waitpid(pid, &status, WNOHANG) == pid;
}

void StopViewer(pid_t pid, trace32::Map* m) {
    if (m) m->header.quitRequest.store(1, std::memory_order_release);
    auto deadline = std::chrono::steady_clock::now() + kViewerQuitWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (Exited(pid)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    int status;
    ::waitpid(pid, &status, 0);
}

}  // namespace

bool TracingEnabled() {
    if (!g_libraryLoaded.load(std::memory_order_relaxed)) return false;
    if (g_enabled.load(std::memory_order_relaxed)) return true;
    if (!Bound()) return false;
    if (g_enabled.load()) return true;
    if (g_finalizing.load()) return false;
    uint32_t now = GetTickCount();
    if (now - g_lastTry.load(std::memory_order_relaxed) >= kRetryMs) {
        g_lastTry.store(now, std::memory_order_relaxed);
        g_enabled.store(g_entries.OpenTraceMemMap() != 0);
    }
    return g_enabled.load();
}

int TraceInteger(int32_t value, const char* label) {
    if (!TracingEnabled()) return 0;
    return Send(trace32::kInteger, &value, 4, label);
}

int TraceWord(uint16_t value, const char* label) { return TraceInteger(value, label); }

int TracePoint(TPoint p, const char* label) {
    if (!TracingEnabled()) return 0;
    int32_t d[2] = {p.x, p.y};
    return Send(trace32::kPoint, d, sizeof d, label);
}

int TracePointer(const void* p, const char* label) {
    if (!TracingEnabled()) return 0;
    return Send(trace32::kPointer, &p, sizeof p, label);  // the pointer's real size
}

int TracepChar(const char* text, const char* label) {
    if (!TracingEnabled()) return 0;
    if (!text) text = "";
    size_t n = std::strlen(text) + 1;
    return Send(trace32::kText, text, static_cast<int32_t>(std::min<size_t>(n, INT32_MAX)), label);
}

int TraceString(std::string_view text, const char* label) {
    if (!TracingEnabled()) return 0;
    char buf[256];
    size_t n = std::min<size_t>(text.size(), 255);
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
    return Send(trace32::kText, buf, static_cast<int32_t>(n), label);
}

int TraceReal(double value, const char* label) {
    if (!TracingEnabled()) return 0;
    return Send(trace32::kReal, &value, 8, label);
}

int TraceRect(TRect r, const char* label) {
    if (!TracingEnabled()) return 0;
    int32_t d[4] = {r.left, r.top, r.right, r.bottom};
    return Send(trace32::kRect, d, sizeof d, label);
}

int TraceBool(bool value, const char* label) {
    if (!TracingEnabled()) return 0;
    int32_t v = value ? 1 : 0;
    return Send(trace32::kBool, &v, 4, label);
}

int TraceComment(const char* label) { return TracepChar(" ", label); }

int TraceError(uint16_t code) {
    if (!TracingEnabled()) return 0;
    return Send(trace32::kError, &code, 2, "Error Code");
}

int TraceException(const std::exception& e) {
    if (!TracingEnabled()) return 0;
    const char* mangled = typeid(e).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string text = status == 0 && demangled ? demangled : mangled;
    std::free(demangled);
    // The address identifies the exception: it is kept whole (eight digits at least) and the
    // class name gives way to it within the 30 characters.
    char addr[32];
    std::snprintf(addr, sizeof addr, "%08llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&e)));
    const std::string tail = std::string(" at ") + addr;
    if (text.size() > 255) text.resize(255);
    if (text.size() + tail.size() > 30) text.resize(30 > tail.size() ? 30 - tail.size() : 0);
    text += tail;
    if (text.size() > 30) text.resize(30);
    return Send(trace32::kException, text.c_str(), static_cast<int32_t>(text.size()), e.what());
}

int FailedExit(const std::exception& e) {
    TraceException(e);
    SetExitError(1, &e);
    return 1;
}

int TraceStringFmt(const char* label, const char* format, ...) {
    if (!TracingEnabled()) return 0;
    char buf[256] = "";
    if (format) {
        va_list ap;
        va_start(ap, format);
        int n = std::vsnprintf(buf, sizeof buf, format, ap);
        va_end(ap);
        if (n < 0) buf[0] = '\0';
    }
    return TracepChar(buf, label);
}

int TraceTimer(int32_t id, const char* label) {
    if (id == 0) {
        int r = TracepChar("Timer Initialised", label);
        if (r > 0) {
            std::lock_guard g(g_timerMutex);
            g_timers = new TimerRec{r, GetTickCount(), g_timers};
        }
        return r;
    }
    if (!TracingEnabled()) return 0;
    uint32_t start = 0;
    {
        std::lock_guard g(g_timerMutex);
        for (TimerRec* t = g_timers; t; t = t->next)
            if (t->id == id) {
                start = t->start;
                break;
            }
    }
    auto elapsed = static_cast<int32_t>(GetTickCount() - start);
    if (elapsed < 0) elapsed = 0;
    return Send(trace32::kElapsed, &elapsed, 4, label);
}

bool CreateTraceMemMap() {
    if (g_enabled.load()) return true;
    const Entries* e = Bound();
    g_enabled.store(e && e->CreateTraceMemMap() != 0);
    return g_enabled.load();
}

bool OpenTraceMemMap() {
    if (g_enabled.load()) return true;
    const Entries* e = Bound();
    g_enabled.store(e && e->OpenTraceMemMap() != 0);
    return g_enabled.load();
}

bool CloseTraceMemMap() {
    const Entries* e = Bound();
    return e && e->CloseTraceMemMap() != 0;
}

bool GetTraceMapName(char* buffer, int size) {
    const Entries* e = Bound();
    return e && e->GetTraceMapName(buffer, size) != 0;
}

bool SetTraceMapName(const char* name) {
    const Entries* e = Bound();
    return e && e->SetTraceMapName(name) != 0;
}

int ExportLogFromTraceLog() {
    std::string name = MapName();
    trace32::Map* m = trace32::OpenMap(name);
    if (m && !trace32::ViewerAlive(m)) {
        trace32::CloseMap(m);
        m = nullptr;
    }
    pid_t started = -1;
    if (!m) {
        started = StartViewer(ViewerPath(), name);
        auto deadline = std::chrono::steady_clock::now() + kViewerStartWait;
        while (started > 0 && std::chrono::steady_clock::now() < deadline) {
            if ((m = trace32::OpenMap(name))) {
                if (m->header.viewerPid.load() == started) break;
                trace32::CloseMap(m);
                m = nullptr;
            }
            if (Exited(started)) {
                started = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!m) {
            if (started > 0) StopViewer(started, nullptr);
            throw std::runtime_error("ExportLog failure - Unable to start TraceLog32");
        }
    }
    trace32::Header& h = m->header;
    uint32_t request = h.exportRequest.fetch_add(1) + 1;
    bool acknowledged = false;
    auto deadline = std::chrono::steady_clock::now() + kExportWait;
    while (std::chrono::steady_clock::now() < deadline && trace32::ViewerAlive(m)) {
        if (h.exportAck.load(std::memory_order_acquire) == request) {
            acknowledged = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (started > 0) StopViewer(started, m);
    trace32::CloseMap(m);
    return acknowledged ? 1 : 0;
}

void LoadTraceLibrary() {
    std::lock_guard g(g_bindMutex);
    BindLocked();
}

void UnloadTraceLibrary() {
    std::lock_guard g(g_bindMutex);
    UnbindLocked();
    g_bound.store(true);
}

bool TraceLibraryLoaded() { return Bound() != nullptr; }

uint32_t TraceLibraryVersion() { return Bound() ? g_version : 0; }

void SetExitError(uint16_t code, const void* address) {
    g_exitCode.store(code);
    g_exitAddress.store(address);
    g_exitError.store(true);
}

}  // namespace vellicor::trace
