#pragma once
// The settings the page engine reads while it loads and processes pages. The work queue
// installs the program's settings object; until then (and in tests that install nothing)
// every setting has its default.
namespace vellicor {

struct TSettings;

void SetPageSettings(const TSettings* Settings);
const TSettings& PageSettings();

}  // namespace vellicor
