#pragma once
// Help at a topic of the help file. The help service itself comes later: until one is
// installed, asking for help does nothing.
#include <functional>

namespace vellicor {

// Topic numbers; 0 is the contents.
inline constexpr int kHelpContents = 0;
void ShowHelpContext(int Context);
void SetHelpContextHandler(std::function<void(int Context)> Handler);

}  // namespace vellicor
