#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "pages/Checksums.h"
#include "pages/MD5.h"
#include "platform/Streams.h"

using namespace vellicor;

namespace {

std::string Hex(std::string_view s) { return MD5ToHex(TMD5::Digest(s.data(), s.size())); }

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i % 251);
    return v;
}

}  // namespace

TEST(MD5, TestSuiteOfTheRfc) {
    EXPECT_EQ(Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(MD5, PaddingAroundTheBlockEdges) {
    const std::pair<size_t, const char*> cases[] = {
        {55, "6912ee65fff2d9f9ce2508cddf8bcda0"},  {56, "51fdd1acda72405dfdfa03fcb85896d7"},
        {57, "5320ef4c17ef34a0cf2db763338d25eb"},  {63, "48a6295221902e8e0938f773a7185e72"},
        {64, "b2d3f56bc197fd985d5965079b5e7148"},  {65, "8bd7053801c768420faf816fadba971c"},
        {119, "1c772251899a7ff007400b888d6b2042"}, {120, "b7ba1efc6022e9ed272f00b8831e26e6"},
        {128, "37eff01866ba3f538421b30b7cbefcac"},
    };
    for (auto [n, want] : cases) {
        auto data = Pattern(n);
        EXPECT_EQ(MD5ToHex(TMD5::Digest(data.data(), data.size())), want) << n << " bytes";
    }
}

TEST(MD5, PiecewiseUpdatesEqualOneShot) {
    auto data = Pattern(100000);
    const TMD5Digest whole = TMD5::Digest(data.data(), data.size());
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        TMD5 md5;
        size_t pos = 0;
        while (pos < data.size()) {
            size_t n = std::min<size_t>(data.size() - pos, rng() % 200);
            md5.Update(data.data() + pos, n);
            pos += n;
        }
        EXPECT_EQ(md5.Final(), whole);
    }
}

TEST(MD5, MillionLetters) {
    std::string a(1000000, 'a');
    EXPECT_EQ(Hex(a), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(StreamChecksums, CrcAndMd5FromPositionZeroAndRewound) {
    const std::string text = "123456789";
    TMemoryStream mem;
    mem.Write(text.data(), static_cast<int64_t>(text.size()));  // left at the end
    EXPECT_EQ(StreamCRC32(mem, mem.Size()), 0xCBF43926u);
    EXPECT_EQ(mem.Position(), 0);
    mem.Seek(0, SeekOrigin::End);
    EXPECT_EQ(MD5ToHex(StreamMD5(mem, mem.Size())), Hex(text));
    EXPECT_EQ(mem.Position(), 0);

    // Only the first size bytes count, whatever stream type carries them.
    TByteViewStream view(text.data(), static_cast<int64_t>(text.size()));
    view.Seek(4, SeekOrigin::Begin);
    EXPECT_EQ(MD5ToHex(StreamMD5(view, 3)), Hex("123"));
    EXPECT_EQ(view.Position(), 0);
    EXPECT_EQ(StreamCRC32(view, 0), 0u);
    // A size beyond the end is cut at the end, never read past it.
    EXPECT_EQ(StreamCRC32(view, 1 << 20), 0xCBF43926u);
    EXPECT_EQ(StreamCRC32(mem, 1 << 20), 0xCBF43926u);
}

TEST(StreamChecksums, BlockwiseReadingMatchesInPlaceReading) {
    auto data = Pattern(16384 * 3 + 77);
    TMemoryStream mem;
    mem.Write(data.data(), static_cast<int64_t>(data.size()));
    TByteViewStream view(data.data(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(StreamCRC32(mem, mem.Size()), StreamCRC32(view, view.Size()));
    EXPECT_EQ(StreamMD5(mem, mem.Size()), StreamMD5(view, view.Size()));
    EXPECT_EQ(StreamMD5(view, view.Size()), TMD5::Digest(data.data(), data.size()));
}
