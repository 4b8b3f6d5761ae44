#pragma once
// Run-time library loading over dlopen. A bare name is searched in the configured
// directory, then next to the executable, then on the system's default path.
#include <string>
#include <vector>

namespace vellicor {

using LibHandle = void*;

void SetModuleSearchDir(const std::string& dir);  // the configured directory ("" for none)
std::string ModuleSearchDir();
std::string ExecutableDir();

LibHandle LoadLibrary(const std::string& name);   // nullptr on failure
void* GetProcAddress(LibHandle lib, const char* symbol);
void FreeLibrary(LibHandle lib);
std::string LastLibraryError();

}  // namespace vellicor
