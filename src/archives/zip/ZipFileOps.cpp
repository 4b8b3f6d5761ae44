// Small file operations shared by the component's operations.
#include <string>

#include "archives/zip/ZipComponent.h"
#include "trace/Trace.h"

namespace vellicor {

std::string TZipComponent::AppendSlash(const std::string& dir) {
    VTRACE("TZipComponent::AppendSlash");
    if (dir.empty() || dir.back() == '/' || dir.back() == '\\') return dir;
    return dir + '/';
}

std::string TZipComponent::ReplaceForwardSlash(const std::string& text) {
    VTRACE("TZipComponent::ReplaceForwardSlash");
    std::string r = text;
    for (char& c : r)
        if (c == '/') c = '\\';
    return r;
}

}  // namespace vellicor
