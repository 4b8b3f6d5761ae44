#include <gtest/gtest.h>

#include "pages/Utilsunit.h"

using namespace vellicor;

TEST(FileTypes, ExtensionDecidesWhateverTheCase) {
    for (const char* name : {"a.jpg", "a.JPG", "C:\\scans\\Page.Jpeg", "/home/r/x.jPeG", "dir\\sub/p.jpg", ".jpg"})
        EXPECT_TRUE(IsJpegFile(name)) << name;
    for (const char* name : {"a.jpe", "a.jpg.bak", "a", "", "jpg", "a.jpgx", "a. jpg", "a.jpg "})
        EXPECT_FALSE(IsJpegFile(name)) << name;
    EXPECT_TRUE(IsPngFile("C:\\x\\A.PNG"));
    EXPECT_TRUE(IsGifFile("b.Gif"));
    EXPECT_TRUE(IsBmpFile("dir/c.BMP"));
    EXPECT_FALSE(IsPngFile("a.gif"));
}

TEST(FileTypes, DotInADirectoryNameIsNoExtension) {
    // The last dot is followed by a separator or a drive colon: no extension at all.
    for (const char* name : {"x.jpg\\readme", "x.jpg/readme", "C:\\pages.png\\cover", "D.gif:stream"}) {
        EXPECT_FALSE(IsImageFile(name)) << name;
        EXPECT_FALSE(IsInfoFile(name)) << name;
        EXPECT_FALSE(IsChecksumFile(name)) << name;
    }
}

TEST(FileTypes, CompositeTests) {
    for (const char* name : {"1.jpg", "2.jpeg", "3.png", "4.gif", "5.BMP"}) EXPECT_TRUE(IsImageFile(name)) << name;
    for (const char* name : {"6.tif", "7.webp", "8.txt", "9.sfv"}) EXPECT_FALSE(IsImageFile(name)) << name;

    EXPECT_TRUE(IsInfoFile("READ.TXT"));
    EXPECT_TRUE(IsInfoFile("group.nfo"));
    EXPECT_FALSE(IsInfoFile("file_id.diz"));
    EXPECT_FALSE(IsImageFile("file_id.diz"));
    EXPECT_FALSE(IsChecksumFile("file_id.diz"));

    EXPECT_TRUE(IsSfvFile("set.SFV"));
    EXPECT_TRUE(IsMd5File("set.md5"));
    EXPECT_TRUE(IsParFile("set.Par"));
    for (const char* name : {"set.SFV", "set.md5", "set.Par"}) EXPECT_TRUE(IsChecksumFile(name)) << name;
    for (const char* name : {"set.par2", "set.p01", "set.md5sum", "set.crc"}) EXPECT_FALSE(IsChecksumFile(name)) << name;
    EXPECT_FALSE(IsSfvFile("set.md5"));
    EXPECT_FALSE(IsMd5File("set.par"));
}

TEST(MainClientSize, FixedSizeAndProviderReadAtEachCall) {
    SetMainClientSize(800, 600);
    EXPECT_EQ(MainClientWidth(), 800);
    EXPECT_EQ(MainClientHeight(), 600);

    int w = 1920, h = 1080;
    SetMainClientSizeProvider([&] { return TClientSize{w, h}; });
    EXPECT_EQ(MainClientWidth(), 1920);
    EXPECT_EQ(MainClientHeight(), 1080);
    w = 1280;  // a window resize shows at the next call
    h = 1024;
    EXPECT_EQ(MainClientWidth(), 1280);
    EXPECT_EQ(MainClientHeight(), 1024);

    SetMainClientSizeProvider(nullptr);  // back to the fixed size
    EXPECT_EQ(MainClientWidth(), 800);
    SetMainClientSize(1024, 768);
    EXPECT_EQ(MainClientHeight(), 768);
}
