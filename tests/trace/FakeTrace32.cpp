// A trace library for the binding tests: reports the version it was built with, keeps the
// records it gets (and appends them to $FAKE_TRACE_LOG when set, for tests that watch a
// child process), and opens its "map" only when told it exists.
#include "FakeTrace32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

static FakeTraceState g;
// At exit the program traces after this module's statics are gone: only the log then.
static bool g_gone = false;
static struct Gone { ~Gone() { g_gone = true; } } s_gone;  // destroyed before g

FAKE_EXPORT FakeTraceState* FakeState() { return &g; }
FAKE_EXPORT uint32_t GetDLLver() { return FAKE_VERSION; }

FAKE_EXPORT int32_t D_CopyToBlockMap(int32_t type, const void* data, int32_t length, const char* label) {
    if (!g_gone && !g.open) return 0;
    FakeRecord r{type, length, std::string(static_cast<const char*>(data), length > 0 ? length : 0), label ? label : ""};
    if (const char* log = std::getenv("FAKE_TRACE_LOG"))
        if (FILE* f = std::fopen(log, "a")) {
            std::fprintf(f, "%d|%d|%s|%s\n", type, length, r.label.c_str(), r.data.c_str());
            std::fclose(f);
        }
    if (g_gone) return 1;
    g.records.push_back(std::move(r));
    return static_cast<int32_t>(g.records.size());
}

FAKE_EXPORT int32_t CreateTraceMemMap() { return g.open = true; }
FAKE_EXPORT int32_t OpenTraceMemMap() {
    ++g.openCalls;
    return g.open = g.mapAvailable;
}
FAKE_EXPORT int32_t CloseTraceMemMap() {
    bool was = g.open;
    g.open = false;
    return was;
}
FAKE_EXPORT int32_t GetTraceMapName(char* buffer, int32_t size) {
    if (static_cast<int32_t>(g.mapName.size()) >= size) return 0;
    std::memcpy(buffer, g.mapName.c_str(), g.mapName.size() + 1);
    return 1;
}
#if !FAKE_OMIT_SET_NAME
FAKE_EXPORT int32_t SetTraceMapName(const char* name) {
    g.mapName = name;
    return 1;
}
#endif
