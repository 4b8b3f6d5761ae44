// The trace library: the seven entry points over the shared-memory ring.
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "extlibs/trace32/TraceMap.h"
#include "extlibs/trace32/trace32.h"

#define TRACE32_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint32_t kVersion = 0x00030000;  // 3.0
constexpr int64_t kRecheckNs = 5000000000;  // how often to look for a viewer that started anew

std::mutex g_mutex;
// Plain storage, never destroyed: a program traces its exit record after this library's
// own static objects are gone (it was loaded after the program registered its exit hook).
char g_name[trace32::kNameMax];
std::atomic<trace32::Map*> g_map{nullptr};
ino_t g_inode = 0;
std::atomic<int64_t> g_nextCheck{0};

std::string Name() {
    if (!g_name[0]) std::snprintf(g_name, sizeof g_name, "%s", trace32::DefaultMapName().c_str());
    return g_name;
}

// Process and thread ids are system calls; a record needs them, so they are kept, and
// forgotten in the child after a fork.
std::atomic<int32_t> g_pid{0};
thread_local int32_t t_tid = 0;

void ForgetIds() {
    g_pid.store(0);
    t_tid = 0;
}

int32_t Pid() {
    int32_t p = g_pid.load(std::memory_order_relaxed);
    if (p == 0) {
        static std::once_flag once;
        std::call_once(once, [] { ::pthread_atfork(nullptr, nullptr, ForgetIds); });
        p = static_cast<int32_t>(::getpid());
        g_pid.store(p, std::memory_order_relaxed);
    }
    return p;
}

int32_t Tid() {
    if (t_tid == 0) t_tid = static_cast<int32_t>(::syscall(SYS_gettid));
    return t_tid;
}

int64_t MonotonicNs() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Now and then: when the viewer quit or a new one made its map anew, follow it.
// A replaced mapping is left mapped: another thread may still be writing into it.
void RecheckMap(int64_t now) {
    std::lock_guard g(g_mutex);
    if (now < g_nextCheck.load(std::memory_order_relaxed)) return;
    g_nextCheck.store(now + kRecheckNs, std::memory_order_relaxed);
    if (!g_map.load()) return;
    ino_t current = trace32::MapInode(Name());
    if (current == 0 || current == g_inode) return;
    ino_t ino = 0;
    if (trace32::Map* m = trace32::OpenMap(Name(), &ino)) {
        g_map.store(m, std::memory_order_release);
        g_inode = ino;
    }
}

}  // namespace

TRACE32_EXPORT uint32_t GetDLLver() { return kVersion; }

TRACE32_EXPORT int32_t D_CopyToBlockMap(int32_t type, const void* data, int32_t length, const char* label) {
    int64_t now = MonotonicNs();
    if (now >= g_nextCheck.load(std::memory_order_relaxed)) RecheckMap(now);
    trace32::Map* m = g_map.load(std::memory_order_acquire);
    if (!m) return 0;
    uint64_t n = trace32::Append(m, type, data, length, label, Pid(), Tid());
    return static_cast<int32_t>(n % 0x7fffffff) + 1;
}

TRACE32_EXPORT int32_t CreateTraceMemMap() {
    std::lock_guard g(g_mutex);
    if (g_map.load()) return 1;
    ino_t ino = 0;
    trace32::Map* m = trace32::CreateMap(Name(), &ino);
    if (!m) return 0;
    g_inode = ino;
    g_nextCheck.store(MonotonicNs() + kRecheckNs);
    g_map.store(m, std::memory_order_release);
    return 1;
}

TRACE32_EXPORT int32_t OpenTraceMemMap() {
    std::lock_guard g(g_mutex);
    if (g_map.load()) return 1;
    ino_t ino = 0;
    trace32::Map* m = trace32::OpenMap(Name(), &ino);
    if (!m) return 0;
    g_inode = ino;
    g_nextCheck.store(MonotonicNs() + kRecheckNs);
    g_map.store(m, std::memory_order_release);
    return 1;
}

TRACE32_EXPORT int32_t CloseTraceMemMap() {
    std::lock_guard g(g_mutex);
    trace32::Map* m = g_map.exchange(nullptr);
    if (!m) return 0;
    trace32::CloseMap(m);
    g_inode = 0;
    return 1;
}

TRACE32_EXPORT int32_t GetTraceMapName(char* buffer, int32_t size) {
    std::lock_guard g(g_mutex);
    if (!buffer || size <= 0) return 0;
    const std::string n = Name();
    if (n.size() >= static_cast<size_t>(size)) return 0;
    std::memcpy(buffer, n.c_str(), n.size() + 1);
    return 1;
}

// Takes effect at the next create or open.
TRACE32_EXPORT int32_t SetTraceMapName(const char* name) {
    if (!name) return 0;
    std::string n = name[0] == '/' ? name : std::string("/") + name;
    if (!trace32::ValidMapName(n)) return 0;
    std::lock_guard g(g_mutex);
    std::snprintf(g_name, sizeof g_name, "%s", n.c_str());
    return 1;
}
