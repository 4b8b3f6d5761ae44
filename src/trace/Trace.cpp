// Placeholder until the trace binding lands: tracing is off.
#include "trace/Trace.h"

#include <cstdarg>

namespace vellicor::trace {

bool g_libraryLoaded = false;

bool TracingEnabled() { return false; }
int TraceInteger(int32_t, const char*) { return 0; }
int TraceWord(uint16_t, const char*) { return 0; }
int TracePoint(TPoint, const char*) { return 0; }
int TracePointer(const void*, const char*) { return 0; }
int TracepChar(const char*, const char*) { return 0; }
int TraceString(std::string_view, const char*) { return 0; }
int TraceReal(double, const char*) { return 0; }
int TraceRect(TRect, const char*) { return 0; }
int TraceBool(bool, const char*) { return 0; }
int TraceComment(const char*) { return 0; }
int TraceError(uint16_t) { return 0; }
int TraceException(const std::exception&) { return 0; }
int TraceStringFmt(const char*, const char*, ...) { return 0; }
int TraceTimer(int32_t, const char*) { return 0; }
bool CreateTraceMemMap() { return false; }
bool OpenTraceMemMap() { return false; }
bool CloseTraceMemMap() { return false; }
bool GetTraceMapName(char*, int) { return false; }
bool SetTraceMapName(const char*) { return false; }
int ExportLogFromTraceLog() { return 0; }

}  // namespace vellicor::trace
