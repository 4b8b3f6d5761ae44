// A trace library for the binding tests: reports the version it was built with, keeps the
// records it gets in memory (and appends them to $FAKE_TRACE_LOG when set, for tests that
// watch a child process), and opens its "map" only when told it exists.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
struct Rec {
    int32_t type, length;
    std::string data, label;
};
std::vector<Rec> g_records;
int g_available = 0, g_open = 0, g_openCalls = 0;
std::string g_name = "/fake";
}  // namespace

FAKE_EXPORT uint32_t GetDLLver() { return FAKE_VERSION; }

FAKE_EXPORT int32_t D_CopyToBlockMap(int32_t type, const void* data, int32_t length, const char* label) {
    if (!g_open) return 0;
    Rec r{type, length, std::string(static_cast<const char*>(data), length > 0 ? static_cast<size_t>(length) : 0),
          label ? label : "(null)"};
    if (const char* log = std::getenv("FAKE_TRACE_LOG")) {
        if (FILE* f = std::fopen(log, "a")) {
            std::string text = r.data.substr(0, r.data.find('\0'));
            std::fprintf(f, "%d|%d|%s|%s\n", type, length, r.label.c_str(), text.c_str());
            if (type == 10 && length == 2) {
                uint16_t code;
                std::memcpy(&code, data, 2);
                std::fprintf(f, "code %u\n", code);
            }
            std::fclose(f);
        }
    }
    g_records.push_back(std::move(r));
    return static_cast<int32_t>(g_records.size());
}

FAKE_EXPORT int32_t CreateTraceMemMap() { return g_open = 1; }
FAKE_EXPORT int32_t OpenTraceMemMap() {
    ++g_openCalls;
    return g_open = g_available;
}
FAKE_EXPORT int32_t CloseTraceMemMap() {
    int was = g_open;
    g_open = 0;
    return was;
}
FAKE_EXPORT int32_t GetTraceMapName(char* buffer, int32_t size) {
    if (static_cast<int32_t>(g_name.size()) >= size) return 0;
    std::memcpy(buffer, g_name.c_str(), g_name.size() + 1);
    return 1;
}
#if !FAKE_OMIT_SET_NAME
FAKE_EXPORT int32_t SetTraceMapName(const char* name) {
    g_name = name;
    return 1;
}
#endif

// For the tests.
FAKE_EXPORT void FakeSetMapAvailable(int on) { g_available = on; }
FAKE_EXPORT int FakeOpenCalls() { return g_openCalls; }
FAKE_EXPORT int FakeRecordCount() { return static_cast<int>(g_records.size()); }
FAKE_EXPORT int FakeRecord(int i, int32_t* type, int32_t* length, std::string* data, std::string* label) {
    if (i < 0 || i >= static_cast<int>(g_records.size())) return 0;
    *type = g_records[i].type;
    *length = g_records[i].length;
    *data = g_records[i].data;
    *label = g_records[i].label;
    return 1;
}
