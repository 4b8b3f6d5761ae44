#pragma once
// Millisecond tick count: uint32 that wraps, compared by unsigned subtraction.
#include <cstdint>
#include <functional>

namespace vellicor {

uint32_t GetTickCount();
// Tests install a manual clock; an empty function restores the real one.
void SetTickSource(std::function<uint32_t()> source);
inline uint32_t TicksSince(uint32_t start) { return GetTickCount() - start; }

}  // namespace vellicor
