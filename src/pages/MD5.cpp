#include "pages/MD5.h"

#include <cstring>

#include "trace/Trace.h"

namespace vellicor {

namespace {

inline uint32_t Load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline void Store32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// The four auxiliary functions of RFC 1321, F and G in their cheaper equivalent forms.
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_STEP(f, a, b, c, d, x, t, s) \
    (a) += f((b), (c), (d)) + (x) + (t);  \
    (a) = Rotl((a), (s)) + (b)

}  // namespace

void TMD5::Init() {
    VTRACE("TMD5::Init");
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    count_ = 0;
}

void TMD5::Transform(const uint8_t* block, size_t blocks) {
    VTRACE("TMD5::Transform");
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (; blocks > 0; --blocks, block += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = Load32(block + 4 * i);
        const uint32_t aa = a, bb = b, cc = c, dd = d;

        MD5_STEP(MD5_F, a, b, c, d, x[0], 0xd76aa478, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[2], 0x242070db, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[5], 0x4787c62a, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[6], 0xa8304613, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[7], 0xfd469501, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[8], 0x698098d8, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[11], 0x895cd7be, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[12], 0x6b901122, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[13], 0xfd987193, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[14], 0xa679438e, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[15], 0x49b40821, 22);

        MD5_STEP(MD5_G, a, b, c, d, x[1], 0xf61e2562, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[6], 0xc040b340, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[11], 0x265e5a51, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[0], 0xe9b6c7aa, 20);
        MD5_STEP(MD5_G, a, b, c, d, x[5], 0xd62f105d, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[10], 0x02441453, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[15], 0xd8a1e681, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[4], 0xe7d3fbc8, 20);
        MD5_STEP(MD5_G, a, b, c, d, x[9], 0x21e1cde6, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[14], 0xc33707d6, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[3], 0xf4d50d87, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[8], 0x455a14ed, 20);
        MD5_STEP(MD5_G, a, b, c, d, x[13], 0xa9e3e905, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[2], 0xfcefa3f8, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[7], 0x676f02d9, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[12], 0x8d2a4c8a, 20);

        MD5_STEP(MD5_H, a, b, c, d, x[5], 0xfffa3942, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[8], 0x8771f681, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[14], 0xfde5380c, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[1], 0xa4beea44, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[6], 0x04881d05, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23);

        MD5_STEP(MD5_I, a, b, c, d, x[0], 0xf4292244, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[7], 0x432aff97, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[14], 0xab9423a7, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[5], 0xfc93a039, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[12], 0x655b59c3, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[10], 0xffeff47d, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[1], 0x85845dd1, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[6], 0xa3014314, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[4], 0xf7537e82, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[11], 0xbd3af235, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[9], 0xeb86d391, 21);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state_[0] = a;
    state_[1] = b;
    state_[2] = c;
    state_[3] = d;
}

void TMD5::Update(const void* data, size_t length) {
    VTRACE("TMD5::Update");
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t used = static_cast<size_t>(count_ & 63);
    count_ += length;
    if (used) {
        size_t take = 64 - used;
        if (length < take) {
            std::memcpy(buffer_ + used, p, length);
            return;
        }
        std::memcpy(buffer_ + used, p, take);
        Transform(buffer_, 1);
        p += take;
        length -= take;
    }
    if (length >= 64) {
        Transform(p, length / 64);
        p += length & ~static_cast<size_t>(63);
        length &= 63;
    }
    if (length) std::memcpy(buffer_, p, length);
}

TMD5Digest TMD5::Final() {
    VTRACE("TMD5::Final");
    const uint64_t bits = count_ * 8;
    size_t used = static_cast<size_t>(count_ & 63);
    buffer_[used++] = 0x80;
    if (used > 56) {
        std::memset(buffer_ + used, 0, 64 - used);
        Transform(buffer_, 1);
        used = 0;
    }
    std::memset(buffer_ + used, 0, 56 - used);
    Store32(buffer_ + 56, static_cast<uint32_t>(bits));
    Store32(buffer_ + 60, static_cast<uint32_t>(bits >> 32));
    Transform(buffer_, 1);
    TMD5Digest digest;
    for (int i = 0; i < 4; ++i) Store32(digest.data() + 4 * i, state_[i]);
    return digest;
}

TMD5Digest TMD5::Digest(const void* data, size_t length) {
    VTRACE("TMD5::Digest");
    TMD5 md5;
    md5.Update(data, length);
    return md5.Final();
}

std::string MD5ToHex(const TMD5Digest& digest) {
    VTRACE("MD5::MD5ToHex");
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(32);
    for (uint8_t b : digest) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

}  // namespace vellicor
