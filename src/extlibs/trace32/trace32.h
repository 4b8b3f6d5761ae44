#pragma once
// The trace library's entry points, looked up by name at run time. Booleans are int32 0/1.
#include <cstdint>

extern "C" {
typedef uint32_t (*TGetDLLver)();  // major version in the high word, minor in the low word
// Copies one record into the map; returns a number above 0 (usable as a timer id), or 0
// when the record could not be stored.
typedef int32_t (*TD_CopyToBlockMap)(int32_t type, const void* data, int32_t length, const char* label);
typedef int32_t (*TCreateTraceMemMap)();
typedef int32_t (*TOpenTraceMemMap)();
typedef int32_t (*TCloseTraceMemMap)();
typedef int32_t (*TGetTraceMapName)(char* buffer, int32_t size);
typedef int32_t (*TSetTraceMapName)(const char* name);
}
