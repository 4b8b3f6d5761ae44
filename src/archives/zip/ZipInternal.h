#pragma once
// Helpers shared by the zip component's source files.
#include <string>
#include <vector>

namespace vellicor {

extern const char* const kMissingMessagePrefix;
// Caption of the component's message boxes: the application's title.
inline const char* const kZipMessageCaption = "Sequential Image Reader";

std::string FormatZipStr(const std::string& format, const std::vector<std::string>& args);

}  // namespace vellicor
