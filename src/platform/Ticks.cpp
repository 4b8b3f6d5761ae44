#include "platform/Ticks.h"

#include <chrono>

namespace vellicor {

static std::function<uint32_t()> g_source;

uint32_t GetTickCount() {
    if (g_source) return g_source();
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SetTickSource(std::function<uint32_t()> source) { g_source = std::move(source); }

}  // namespace vellicor
