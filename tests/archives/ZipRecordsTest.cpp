// The zip-record library shared by the component and the unzip library: names, patterns,
// data descriptors.
#include <gtest/gtest.h>

#include "archives/zip/ZipRecords.h"

using namespace vellicor::zip;

TEST(ZipRecords, CodePagesOfNames) {
    std::string oem = "caf\x82 \x9c\xe1", utf = "caf\xC3\xA9 \xC2\xA3\xC3\x9F";  // é, £, ß
    EXPECT_EQ(Cp437ToUtf8(oem), utf);
    EXPECT_EQ(Utf8ToCp437(utf), oem);
    EXPECT_EQ(Utf8ToCp437("\xE2\x82\xAC"), "_") << "the euro sign has no CP437 form";
    for (const char* bad : {"\xED\xA0\x80", "\xC3", "caf\x82"}) EXPECT_FALSE(IsValidUtf8(bad)) << bad;
    // cpNone never converts, the UTF-8 flag forbids it, cpOEM always converts. Automatic:
    // valid UTF-8 stays, other bytes are CP437, a DOS-family host with version byte 50
    // converts whatever the bytes.
    const struct {
        const char* raw;
        int codePage;
        uint16_t madeBy, flags;
        bool converted;
    } cases[] = {
        {"\x82.jpg", zcpNone, 0x0014, 0, false},        {"\x82.jpg", zcpOem, 0x0314, kFlagUtf8, false},
        {"\xC3\xA9.jpg", zcpOem, 0x0314, 0, true},      {"\xC3\xA9.jpg", zcpAuto, 0x031E, 0, false},
        {"\x82.jpg", zcpAuto, 0x031E, 0, true},         {"\xC3\xA9.jpg", zcpAuto, 0x0032, 0, true},
        {"\xC3\xA9.jpg", zcpAuto, 0x0B32, 0, true},     {"\xC3\xA9.jpg", zcpAuto, 0x0014, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeStoredName(c.raw, c.codePage, c.madeBy, c.flags), c.converted ? Cp437ToUtf8(c.raw) : c.raw)
            << c.codePage << " " << c.madeBy;
}

TEST(ZipRecords, WildcardsIgnoreCaseAndSeparators) {
    const struct {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*.JPG", "dir/Page01.jpg", true}, {"dir\\page??.jpg", "DIR/page01.jpg", true}, {"*", "", true},
        {"a*b*c", "aXXbYYc", true},        {"a*b*c", "aXXbYY", false},                  {"page?.jpg", "page10.jpg", false},
        {"", "x", false},
    };
    for (const auto& c : cases) EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

TEST(ZipRecords, DataDescriptorWithAndWithoutSignature) {
    uint8_t d[16];
    Put32(d, kDescriptorSig);
    Put32(d + 4, 0x12345678);
    Put32(d + 8, 100);
    Put32(d + 12, 200);
    DataDescriptor out;
    ASSERT_TRUE(ParseDataDescriptor(d, 16, 0x12345678, out));
    EXPECT_EQ(out.length * 1000 + out.compressedSize, 16100u);
    ASSERT_TRUE(ParseDataDescriptor(d + 4, 12, 0x12345678, out));
    EXPECT_EQ(out.length * 1000 + out.uncompressedSize, 12200u);
    // A CRC that happens to equal the signature: the unsigned form agrees with the CRC.
    Put32(d + 4, 7);
    Put32(d + 8, 9);
    ASSERT_TRUE(ParseDataDescriptor(d, 16, kDescriptorSig, out));
    EXPECT_EQ(out.length * 1000 + out.compressedSize, 12007u);
    EXPECT_FALSE(ParseDataDescriptor(d, 8, 0, out));
}
