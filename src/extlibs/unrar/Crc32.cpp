#include "Crc32.h"

#include <zlib.h>

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define RARCRC_CLMUL 1
#endif

namespace rarcrc {

namespace {

uint32_t Zlib(uint32_t crc, const uint8_t* p, size_t size) {
    while (size > 0) {
        uInt n = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
        crc = static_cast<uint32_t>(crc32(crc, p, n));
        p += n;
        size -= n;
    }
    return crc;
}

#ifdef RARCRC_CLMUL
// Folds 64 bytes at a time in four lanes, then the lanes into one, then reduces the 128 bits
// to 32 (Barrett). `state` is the inverted running CRC; size is at least 64 and a multiple of
// 16. The constants are powers of x modulo the reflected polynomial for those distances.
#define RARCRC_TARGET __attribute__((target("pclmul,sse4.1")))
RARCRC_TARGET inline __m128i Load(const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); }
// x moved on by the distance k stands for, added to next.
RARCRC_TARGET inline __m128i FoldInto(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00)), next);
}

// Four 128-bit lanes folded forward 64 bytes at a time.
struct Lanes {
    __m128i x1, x2, x3, x4;
    RARCRC_TARGET void Start(const uint8_t* p, uint32_t state) {
        x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(state)));
        x2 = Load(p + 16);
        x3 = Load(p + 32);
        x4 = Load(p + 48);
    }
    RARCRC_TARGET void Step(const uint8_t* p, __m128i k1k2) {
        x1 = FoldInto(x1, k1k2, Load(p));
        x2 = FoldInto(x2, k1k2, Load(p + 16));
        x3 = FoldInto(x3, k1k2, Load(p + 32));
        x4 = FoldInto(x4, k1k2, Load(p + 48));
    }
    // The rest of the stream (a multiple of 16 bytes), then the lanes reduced to the inverted CRC.
    RARCRC_TARGET uint32_t Finish(const uint8_t* p, size_t size) const;
};

RARCRC_TARGET uint32_t Lanes::Finish(const uint8_t* p, size_t size) const {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    Lanes l = *this;
    for (; size >= 64; p += 64, size -= 64) l.Step(p, k1k2);
    __m128i x = FoldInto(l.x1, k3k4, l.x2);
    x = FoldInto(x, k3k4, l.x3);
    x = FoldInto(x, k3k4, l.x4);
    for (; size >= 16; p += 16, size -= 16) x = FoldInto(x, k3k4, Load(p));
    // 128 bits to 64.
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    x = _mm_xor_si128(_mm_srli_si128(x, 8), _mm_clmulepi64_si128(x, k3k4, 0x10));
    __m128i high = _mm_srli_si128(x, 4);
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00), high);
    // Barrett reduction to 32 bits.
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

// The CRC of `size` bytes (at least 64, a multiple of 16) going on from `crc`. Long runs are
// cut in two halves folded side by side, so that eight multiplications are in flight rather
// than four, and joined with zlib's crc32_combine. The constants are powers of x modulo the
// reflected polynomial for the folding distances.
RARCRC_TARGET uint32_t Fold(const uint8_t* p, size_t size, uint32_t crc) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    if (size < 1024) {
        Lanes a;
        a.Start(p, ~crc);
        return ~a.Finish(p + 64, size - 64);
    }
    const size_t half = (size / 2) & ~size_t(63);
    const uint8_t* q = p + half;
    Lanes a, b;
    a.Start(p, ~crc);
    b.Start(q, ~0u);
    size_t done = 64;
    for (; done + 64 <= half; done += 64) {
        a.Step(p + done, k1k2);
        b.Step(q + done, k1k2);
    }
    const uint32_t first = ~a.Finish(p + done, half - done);
    const uint32_t second = ~b.Finish(q + done, size - half - done);
    return static_cast<uint32_t>(crc32_combine(first, second, static_cast<z_off_t>(size - half)));
}

bool HaveClmul() {
    static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return have;
}
#endif

}  // namespace

uint32_t Crc32(uint32_t crc, const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
#ifdef RARCRC_CLMUL
    if (size >= 64 && HaveClmul()) {
        size_t whole = size & ~size_t(15);
        crc = Fold(p, whole, crc);
        p += whole;
        size -= whole;
    }
#endif
    return size ? Zlib(crc, p, size) : crc;
}

}  // namespace rarcrc
