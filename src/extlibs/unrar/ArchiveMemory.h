#pragma once
#include <cstddef>

namespace rarvol {

// The largest block libarchive may allocate inside the rar library: the RAR 4 PPMd model
// of 256 MB and its small overhead.
constexpr size_t kMaxArchiveBlock = (size_t(256) << 20) + (size_t(1) << 20);

}  // namespace rarvol
