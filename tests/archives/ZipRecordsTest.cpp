// The zip-record library: names, patterns, dates, end records, descriptors, decryption.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "archives/zip/ZipRecords.h"

using namespace vellicor::zip;

TEST(ZipRecords, Cp437RoundTripAndUtf8Detection) {
    std::string oem = "caf\x82 \x9c\xe1";  // é, £, ß in CP437
    std::string utf8 = Cp437ToUtf8(oem);
    EXPECT_EQ(utf8, "caf\xC3\xA9 \xC2\xA3\xC3\x9F");
    EXPECT_EQ(Utf8ToCp437(utf8), oem);
    EXPECT_TRUE(IsValidUtf8(utf8));
    EXPECT_FALSE(IsValidUtf8(oem));
    EXPECT_EQ(Utf8ToCp437("\xE2\x82\xAC"), "_");  // the euro sign has no CP437 form
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));    // a surrogate
    EXPECT_FALSE(IsValidUtf8("\xC3"));            // cut short
}

TEST(ZipRecords, CodePageRules) {
    std::string oem = "\x82.jpg";
    std::string utf = "\xC3\xA9.jpg";
    // cpNone never converts, the UTF-8 flag forbids it, cpOEM always converts.
    EXPECT_EQ(DecodeStoredName(oem, zcpNone, 0x0014, 0), oem);
    EXPECT_EQ(DecodeStoredName(oem, zcpOem, 0x0314, kFlagUtf8), oem);
    EXPECT_EQ(DecodeStoredName(utf, zcpOem, 0x0314, 0), Cp437ToUtf8(utf));
    // Automatic: valid UTF-8 from a Unix host stays; bytes that are no UTF-8 are CP437;
    // a DOS-family host with version byte 50 converts whatever the bytes.
    EXPECT_EQ(DecodeStoredName(utf, zcpAuto, 0x031E, 0), utf);
    EXPECT_EQ(DecodeStoredName(oem, zcpAuto, 0x031E, 0), "\xC3\xA9.jpg");
    EXPECT_EQ(DecodeStoredName(utf, zcpAuto, 0x0032, 0), Cp437ToUtf8(utf));
    EXPECT_EQ(DecodeStoredName(utf, zcpAuto, 0x0B32, 0), Cp437ToUtf8(utf));
    EXPECT_EQ(DecodeStoredName(utf, zcpAuto, 0x0014, 0), utf);
}

TEST(ZipRecords, WildcardsIgnoreCaseAndSeparators) {
    EXPECT_TRUE(WildcardMatch("*.JPG", "dir/Page01.jpg"));
    EXPECT_TRUE(WildcardMatch("dir\\page??.jpg", "DIR/page01.jpg"));
    EXPECT_TRUE(WildcardMatch("*", ""));
    EXPECT_TRUE(WildcardMatch("a*b*c", "aXXbYYc"));
    EXPECT_FALSE(WildcardMatch("a*b*c", "aXXbYY"));
    EXPECT_FALSE(WildcardMatch("page?.jpg", "page10.jpg"));
    EXPECT_FALSE(WildcardMatch("", "x"));
}

TEST(ZipRecords, DosDateTimeRoundTrip) {
    uint16_t date = 0, time = 0;
    time_t t = DosDateTimeToUnix((44 << 9) | (3 << 5) | 15, (13 << 11) | (45 << 5) | 10);
    UnixToDosDateTime(t, date, time);
    EXPECT_EQ(date, (44 << 9) | (3 << 5) | 15);
    EXPECT_EQ(time, (13 << 11) | (45 << 5) | 10);
    UnixToDosDateTime(0, date, time);  // before 1980: the earliest DOS date
    EXPECT_EQ(date, (1 << 5) | 1);
    // Nonsense fields do not break the conversion.
    (void)DosDateTimeToUnix(0, 0xFFFF);
}

static std::vector<uint8_t> EndRecord(uint16_t entries, uint32_t size, uint32_t offset, uint16_t comment) {
    std::vector<uint8_t> r(kEndRecordSize);
    EndOfCentral e;
    e.entriesThisDisk = e.totalEntries = entries;
    e.centralSize = size;
    e.centralOffset = offset;
    e.commentLength = comment;
    e.Store(r.data());
    return r;
}

TEST(ZipRecords, EndRecordSearch) {
    std::vector<uint8_t> buf(100, 0);
    auto rec = EndRecord(1, 46, 10, 5);
    std::memcpy(buf.data() + 40, rec.data(), rec.size());
    EXPECT_EQ(FindEndRecord(buf.data(), buf.size()), 40);
    EndOfCentral e;
    ASSERT_TRUE(e.Parse(buf.data() + 40, buf.size() - 40));
    EXPECT_EQ(e.centralOffset, 10u);
    // A later signature whose comment runs past the end is no record: the scan goes on.
    auto bogus = EndRecord(1, 46, 10, 500);
    std::memcpy(buf.data() + 70, bogus.data(), bogus.size());
    EXPECT_EQ(FindEndRecord(buf.data(), buf.size()), 40);
    std::vector<uint8_t> none(50, 0x50);
    EXPECT_EQ(FindEndRecord(none.data(), none.size()), -1);
    EXPECT_EQ(FindEndRecord(none.data(), 10), -1);
    // The zip64 markers are seen.
    EXPECT_TRUE(([] {
        EndOfCentral z;
        z.totalEntries = 0xFFFF;
        return z.NeedsZip64();
    })());
}

TEST(ZipRecords, DataDescriptorWithAndWithoutSignature) {
    uint8_t d[16];
    Put32(d, kDescriptorSig);
    Put32(d + 4, 0x12345678);
    Put32(d + 8, 100);
    Put32(d + 12, 200);
    DataDescriptor out;
    ASSERT_TRUE(ParseDataDescriptor(d, 16, 0x12345678, out));
    EXPECT_EQ(out.length, 16);
    EXPECT_EQ(out.compressedSize, 100u);
    ASSERT_TRUE(ParseDataDescriptor(d + 4, 12, 0x12345678, out));
    EXPECT_EQ(out.length, 12);
    EXPECT_EQ(out.uncompressedSize, 200u);
    // A CRC that happens to equal the signature: the unsigned form agrees with the CRC.
    uint8_t u[16];
    Put32(u, kDescriptorSig);
    Put32(u + 4, 7);
    Put32(u + 8, 9);
    Put32(u + 12, 0);
    ASSERT_TRUE(ParseDataDescriptor(u, 16, kDescriptorSig, out));
    EXPECT_EQ(out.length, 12);
    EXPECT_EQ(out.compressedSize, 7u);
    EXPECT_FALSE(ParseDataDescriptor(u, 8, 0, out));
}

TEST(ZipRecords, TraditionalDecryption) {
    // Encrypt with the same cipher run forwards, then decrypt.
    const char* pw = "secret";
    std::vector<uint8_t> plain = {'h', 'e', 'l', 'l', 'o', 0, 1, 2, 255};
    uint32_t crc = Crc32(0, plain.data(), plain.size());
    std::vector<uint8_t> header(12, 0x5A);
    header[11] = static_cast<uint8_t>(crc >> 24);
    // Encryption: c = p ^ k, keys updated with p.
    uint32_t keys[3] = {305419896u, 591751049u, 878082192u};
    auto update = [&](uint8_t c) {
        const uint32_t poly = 0xEDB88320u;
        auto crcByte = [&](uint32_t k, uint8_t b) {
            uint32_t x = (k ^ b) & 0xFF;
            for (int i = 0; i < 8; ++i) x = (x & 1) ? (x >> 1) ^ poly : x >> 1;
            return x ^ (k >> 8);
        };
        keys[0] = crcByte(keys[0], c);
        keys[1] = (keys[1] + (keys[0] & 0xFF)) * 134775813u + 1;
        keys[2] = crcByte(keys[2], static_cast<uint8_t>(keys[1] >> 24));
    };
    for (const char* p = pw; *p; ++p) update(static_cast<uint8_t>(*p));
    auto enc = [&](uint8_t p) {
        uint32_t t = (keys[2] & 0xFFFF) | 2;
        uint8_t c = p ^ static_cast<uint8_t>((t * (t ^ 1)) >> 8);
        update(p);
        return c;
    };
    std::vector<uint8_t> cipher;
    for (uint8_t b : header) cipher.push_back(enc(b));
    for (uint8_t b : plain) cipher.push_back(enc(b));

    ZipCrypto good;
    good.Init(pw);
    ASSERT_TRUE(good.CheckHeader(cipher.data(), 0, crc, 0));
    std::vector<uint8_t> body(cipher.begin() + 12, cipher.end());
    good.Decrypt(body.data(), body.size());
    EXPECT_EQ(body, plain);
    ZipCrypto bad;
    bad.Init("Secret");
    EXPECT_FALSE(bad.CheckHeader(cipher.data(), 0, crc, 0));
}
