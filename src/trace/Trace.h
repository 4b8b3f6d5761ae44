#pragma once
// Diagnostic trace: records go to the trace library when one is installed and its viewer
// has created the map; otherwise every call returns 0 after testing two flags.
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
int TraceStringFmt(const char* label, const char* format, ...) __attribute__((format(printf, 2, 3)));
int TraceTimer(int32_t id, const char* label);

bool CreateTraceMemMap();
bool OpenTraceMemMap();
bool CloseTraceMemMap();
bool GetTraceMapName(char* buffer, int size);
bool SetTraceMapName(const char* name);
int ExportLogFromTraceLog();

// Fast inline gate for the scope guard: true only when the library is bound.
extern bool g_libraryLoaded;

// Traces "Call" on entry and "Return" on every exit under the "Class::Method" label.
class Scope {
public:
    explicit Scope(const char* label) : label_(label) {
        if (g_libraryLoaded) TracepChar("Call", label_);
    }
    ~Scope() {
        if (g_libraryLoaded) TracepChar("Return", label_);
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
#define VTRACE_INT(label, v) ((void)(::vellicor::trace::g_libraryLoaded && ::vellicor::trace::TraceInteger((v), (label))))
#define VTRACE_STR(label, s) ((void)(::vellicor::trace::g_libraryLoaded && ::vellicor::trace::TraceString((s), (label))))
