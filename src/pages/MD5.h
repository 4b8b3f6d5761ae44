#pragma once
// MD5 message digest (RFC 1321).
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vellicor {

using TMD5Digest = std::array<uint8_t, 16>;

class TMD5 {
public:
    TMD5() { Init(); }
    void Init();
    void Update(const void* data, size_t length);
    TMD5Digest Final();  // the context must be Init'ed again before reuse

    static TMD5Digest Digest(const void* data, size_t length);

private:
    void Transform(const uint8_t* block, size_t blocks);

    uint32_t state_[4];
    uint64_t count_;  // bytes hashed so far
    uint8_t buffer_[64];
};

std::string MD5ToHex(const TMD5Digest& digest);  // 32 lower-case hexadecimal digits

}  // namespace vellicor
