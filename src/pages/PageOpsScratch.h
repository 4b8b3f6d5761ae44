#pragma once
// Process-wide scratch buffers of the page operations. They are kept from page to page
// (grown, never shrunk). Long operations let window messages through, and a handler may
// start another operation: the holder of a buffer owns it until it is done, and a nested
// user gets a private buffer instead of moving the shared one under the first.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <stdexcept>
#include <vector>

namespace vellicor {
class TBitmap;
}

namespace vellicor::pageops {

template <typename T>
struct ScratchPool {
    std::vector<T> buffer;
    bool busy = false;
};

template <typename T>
class Scratch {
public:
    explicit Scratch(ScratchPool<T>& pool) : pool_(pool), shared_(!pool.busy) {
        if (shared_) pool_.busy = true;
    }
    ~Scratch() {
        if (shared_) pool_.busy = false;
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // Makes the buffer hold at least n elements (plus slack on growth); false when memory
    // cannot be had (the shared buffer is then released entirely).
    bool Reserve(size_t n, size_t slack = 0) {
        std::vector<T>& v = Vec();
        if (v.size() >= n) return true;
        try {
            v.resize(n + slack);
        } catch (const std::bad_alloc&) {
            v.clear();
            v.shrink_to_fit();
            return false;
        } catch (const std::length_error&) {
            v.clear();
            v.shrink_to_fit();
            return false;
        }
        return true;
    }
    T* Data() { return Vec().data(); }
    std::vector<T>& Vec() { return shared_ ? pool_.buffer : private_; }
    bool Shared() const { return shared_; }

private:
    ScratchPool<T>& pool_;
    bool shared_;
    std::vector<T> private_;
};

// Runs fn(y0, y1) over the rows of a 24-bit page in blocks, each block shared out among
// the worker threads, and lets messages through after each block. A handler must not
// change the page; if one does (size or format), the rest is left alone: false.
bool ForRowBlocks(TBitmap& bmp, const std::function<void(int y0, int y1)>& fn);

// Tests run the plain loops as well as the vector kernels the processor offers.
void UseVectorKernels(bool on);

}  // namespace vellicor::pageops
