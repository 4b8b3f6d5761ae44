#pragma once
// Diagnostic trace: records go to the trace library when one is installed and its viewer
// has created the map; otherwise every call returns 0 after testing two flags.
// The library is bound by the first trace call: the file named by the default value of
// HKEY_CLASSES_ROOT "CLSID\{766679C8-435A-11D1-AC1F-444553540000}\InprocServer32" in the
// settings store, else libtrace32.so on the module search path; versions from 2.50 up.
#include <atomic>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace vellicor::trace {

struct TPoint { int32_t x = 0, y = 0; };
struct TRect { int32_t left = 0, top = 0, right = 0, bottom = 0; };

bool TracingEnabled();

int TraceInteger(int32_t value, const char* label);
int TraceWord(uint16_t value, const char* label);
int TracePoint(TPoint p, const char* label);
int TracePointer(const void* p, const char* label);
int TracepChar(const char* text, const char* label);
int TraceString(std::string_view text, const char* label);  // first 255 characters
int TraceReal(double value, const char* label);
int TraceRect(TRect r, const char* label);
int TraceBool(bool value, const char* label);
int TraceComment(const char* label);
int TraceError(uint16_t code);
int TraceException(const std::exception& e);
// For a program entry that catches e and ends: traces e, marks the exit as one with
// errors (so the exit record is written) and returns 1, the exit code.
int FailedExit(const std::exception& e);
int TraceStringFmt(const char* label, const char* format, ...) __attribute__((format(printf, 2, 3)));
int TraceTimer(int32_t id, const char* label);

bool CreateTraceMemMap();
bool OpenTraceMemMap();
bool CloseTraceMemMap();
bool GetTraceMapName(char* buffer, int size);
bool SetTraceMapName(const char* name);
// Asks the trace viewer to export its log, starting it when it is not running, and waits
// (with a time limit) for its acknowledgement: 1 when acknowledged, 0 when not.
// Throws std::runtime_error when the viewer cannot be started.
int ExportLogFromTraceLog();

// Binding. LoadTraceLibrary drops any earlier binding and binds again (tests, a changed
// store); UnloadTraceLibrary leaves tracing off. Neither is safe while other threads trace.
void LoadTraceLibrary();
void UnloadTraceLibrary();
bool TraceLibraryLoaded();
uint32_t TraceLibraryVersion();  // 0 when none is bound
// Marks the program as ending with a run-time error: the exit record is traced at the
// end. An exception that reaches std::terminate does this by itself.
void SetExitError(uint16_t code, const void* address);

// Fast inline gate for the scope guard: false once binding found no usable library.
extern std::atomic<bool> g_libraryLoaded;

// Traces "Call" on entry and "Return" on every exit under the "Class::Method" label.
class Scope {
public:
    explicit Scope(const char* label) : label_(label) {
        if (g_libraryLoaded.load(std::memory_order_relaxed)) TracepChar("Call", label_);
    }
    ~Scope() {
        if (g_libraryLoaded.load(std::memory_order_relaxed)) TracepChar("Return", label_);
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    const char* Label() const { return label_; }

private:
    const char* label_;
};

}  // namespace vellicor::trace

#define VTRACE_CAT2(a, b) a##b
#define VTRACE_CAT(a, b) VTRACE_CAT2(a, b)
// One line at the top of a function: VTRACE("TConfigureForm::GetRegString");
#define VTRACE(label) ::vellicor::trace::Scope VTRACE_CAT(vtrace_scope_, __LINE__)(label)
// Value traces under "<function label> <name>": VTRACE_INT("TPageBMP::LoadFromStream Width", w);
#define VTRACE_ON() (::vellicor::trace::g_libraryLoaded.load(std::memory_order_relaxed))
#define VTRACE_INT(label, v) ((void)(VTRACE_ON() && ::vellicor::trace::TraceInteger((v), (label))))
#define VTRACE_STR(label, s) ((void)(VTRACE_ON() && ::vellicor::trace::TraceString((s), (label))))
