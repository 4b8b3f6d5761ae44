// Loading, version questions and unloading of the zip and unzip libraries.
#include <string>

#include "archives/zip/ZipComponent.h"
#include "platform/DynLib.h"
#include "platform/Text.h"
#include "trace/Trace.h"

namespace vellicor {

const char* const TZipComponent::kUnzDllName = "libunzdll.so";
const char* const TZipComponent::kZipDllName = "libzipdll.so";

void TZipComponent::LoadLibraryFor(bool unzip) {
    VTRACE("TZipComponent::LoadLibraryFor");
    TZipLibrary& lib = unzip ? unzLib_ : zipLib_;
    if (lib.handle) return;
    std::string name = unzip ? kUnzDllName : kZipDllName;
    if (!dllDirectory_.empty()) {
        std::string path = IncludeTrailingPathDelimiter(dllDirectory_) + name;
        if (vellicor::FileExists(path)) name = path;
    }
    LibHandle h = LoadLibrary(name);
    if (!h) {
        ShowZipMessage(unzip ? LU_NoUnzDll : LZ_NoZipDll);
        return;
    }
    if (Trace) ShowZipMessage(unzip ? LU_UnzDllLoaded : LZ_ZipDllLoaded);
    TZipLibrary loaded;
    loaded.handle = h;
    loaded.exec = GetProcAddress(h, unzip ? "UnzDllExec" : "ZipDllExec");
    loaded.version = reinterpret_cast<DllVersionFunc>(GetProcAddress(h, unzip ? "GetUnzDllVersion" : "GetZipDllVersion"));
    loaded.privVersion =
        reinterpret_cast<DllVersionFunc>(GetProcAddress(h, unzip ? "GetUnzDllPrivVersion" : "GetZipDllPrivVersion"));
    if (!loaded.exec || !loaded.version) {
        // A library without its entries is of no use: it is not kept, so nothing can
        // ever call through a missing entry.
        ShowZipMessage(unzip ? (loaded.exec ? LU_NoUnzDllVers : LU_NoUnzDllExec)
                             : (loaded.exec ? LZ_NoZipDllVers : LZ_NoZipDllExec));
        FreeLibrary(h);
        return;
    }
    lib = loaded;
}

void TZipComponent::UnloadLibraryFor(bool unzip) {
    VTRACE("TZipComponent::UnloadLibraryFor");
    TZipLibrary& lib = unzip ? unzLib_ : zipLib_;
    if (lib.handle) FreeLibrary(lib.handle);
    lib = TZipLibrary{};
}

void TZipComponent::Load_Unz_Dll() {
    VTRACE("TZipComponent::Load_Unz_Dll");
    LoadLibraryFor(true);
}

void TZipComponent::Unload_Unz_Dll() {
    VTRACE("TZipComponent::Unload_Unz_Dll");
    UnloadLibraryFor(true);
}

void TZipComponent::Load_Zip_Dll() {
    VTRACE("TZipComponent::Load_Zip_Dll");
    LoadLibraryFor(false);
}

void TZipComponent::Unload_Zip_Dll() {
    VTRACE("TZipComponent::Unload_Zip_Dll");
    UnloadLibraryFor(false);
}

int TZipComponent::RequestVersion(bool unzip, bool priv) {
    VTRACE("TZipComponent::RequestVersion");
    bool loadedHere = false;
    if (!(unzip ? UnzDllLoaded() : ZipDllLoaded())) {
        LoadLibraryFor(unzip);
        loadedHere = true;
    }
    const TZipLibrary& lib = unzip ? unzLib_ : zipLib_;
    int v = 0;
    if (lib.handle) {
        DllVersionFunc f = priv ? lib.privVersion : lib.version;
        if (f) v = static_cast<int>(f());
    }
    if (loadedHere) UnloadLibraryFor(unzip);
    return v;
}

int TZipComponent::GetZipVers() {
    VTRACE("TZipComponent::GetZipVers");
    return RequestVersion(false, false);
}

int TZipComponent::GetZipPrivVers() {
    VTRACE("TZipComponent::GetZipPrivVers");
    return RequestVersion(false, true);
}

int TZipComponent::GetUnzVers() {
    VTRACE("TZipComponent::GetUnzVers");
    return RequestVersion(true, false);
}

int TZipComponent::GetUnzPrivVers() {
    VTRACE("TZipComponent::GetUnzPrivVers");
    return RequestVersion(true, true);
}

}  // namespace vellicor
