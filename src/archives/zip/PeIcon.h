#pragma once
// Finding the icon image in the resources of a Windows program (PE file), every offset
// checked against the bytes there are.
#include <cstddef>
#include <cstdint>

namespace vellicor {

// File offset of the data of the first icon image (resource type 3, name 1, any
// language) of exactly imageSize bytes; 0 when there is none or the file is no PE file.
int64_t FindPeIcon(const uint8_t* file, size_t size, uint32_t imageSize);

}  // namespace vellicor
