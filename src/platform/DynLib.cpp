#include "platform/DynLib.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "platform/Text.h"

namespace vellicor {

namespace {
std::string g_searchDir;
std::string g_lastError;
}  // namespace

void SetModuleSearchDir(const std::string& dir) { g_searchDir = dir; }
std::string ModuleSearchDir() { return g_searchDir; }

std::string ExecutableDir() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return ExtractFileDir(buf);
}

static LibHandle TryOpen(const std::string& path) {
    LibHandle h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = ::dlerror();
        g_lastError = e ? e : "dlopen failed";
    }
    return h;
}

LibHandle LoadLibrary(const std::string& name) {
    if (name.empty()) return nullptr;
    if (name.find('/') != std::string::npos) return TryOpen(name);
    if (!g_searchDir.empty()) {
        std::string p = IncludeTrailingPathDelimiter(g_searchDir) + name;
        if (FileExists(p))
            if (LibHandle h = TryOpen(p)) return h;
    }
    std::string exeDir = ExecutableDir();
    if (!exeDir.empty()) {
        std::string p = IncludeTrailingPathDelimiter(exeDir) + name;
        if (FileExists(p))
            if (LibHandle h = TryOpen(p)) return h;
    }
    return TryOpen(name);
}

void* GetProcAddress(LibHandle lib, const char* symbol) {
    if (!lib) return nullptr;
    return ::dlsym(lib, symbol);
}

void FreeLibrary(LibHandle lib) {
    if (lib) ::dlclose(lib);
}

std::string LastLibraryError() { return g_lastError; }

}  // namespace vellicor
