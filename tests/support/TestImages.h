#pragma once
// Small page images written by tests.
#include <cstdint>
#include <functional>
#include <string>

namespace vellicor::test {

// A 24-bit bottom-up BMP of width x height; colour(x, y) gives 0x00RRGGBB for each pixel.
std::string MakeBmp24(int width, int height, const std::function<uint32_t(int x, int y)>& colour);
// Writes it to path.
void WriteBmp24(const std::string& path, int width, int height, const std::function<uint32_t(int x, int y)>& colour);

}  // namespace vellicor::test
