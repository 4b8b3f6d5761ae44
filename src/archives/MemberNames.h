#pragma once
// Member names as the archive readers list them.
#include <string>

namespace vellicor {

// False for a name that would leave the folder it is unpacked below: absolute, on a drive,
// with a ".." part or a control character. Either separator counts.
inline bool IsSafeMemberName(const std::string& Name) {
    if (Name.empty() || Name[0] == '/' || Name[0] == '\\') return false;
    if (Name.size() >= 2 && Name[1] == ':') return false;
    size_t start = 0;
    for (size_t i = 0; i <= Name.size(); ++i) {
        if (i == Name.size() || Name[i] == '/' || Name[i] == '\\') {
            if (Name.compare(start, i - start, "..") == 0 && i - start == 2) return false;
            start = i + 1;
        } else if (static_cast<unsigned char>(Name[i]) < 0x20) {
            return false;
        }
    }
    return true;
}

}  // namespace vellicor
