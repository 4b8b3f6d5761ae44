#include "viewer/Help.h"

#include "trace/Trace.h"

namespace vellicor {

namespace {
std::function<void(int)>& Handler() {
    static std::function<void(int)> handler;
    return handler;
}
}  // namespace

void ShowHelpContext(int Context) {
    VTRACE("ShowHelpContext");
    VTRACE_INT("ShowHelpContext Context", Context);
    if (Handler()) Handler()(Context);
}

void SetHelpContextHandler(std::function<void(int Context)> Handler_) { Handler() = std::move(Handler_); }

}  // namespace vellicor
