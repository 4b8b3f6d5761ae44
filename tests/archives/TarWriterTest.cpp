// The tar writer: header encoding, every kind of member, the end of the archive, failures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "TarTestSupport.h"
#include "archives/TarArchive.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

std::string Bytes(TMemoryStream& m) {
    return std::string(reinterpret_cast<const char*>(m.Memory()), static_cast<size_t>(m.Size()));
}

constexpr TDateTime kSomeTime = 25569.0 + 1700000000.0 / 86400.0;

TEST(TarWriter, HeaderEncoding) {
    TMemoryStream out;
    {
        TTarWriter w(out);
        w.UID = 01750;
        w.UserName = "alice";
        w.GroupName = std::string(40, 'g');  // cut to the field
        w.AddString("hello", "dir\\name.txt", kSomeTime);
        w.Finalize();
    }
    std::string b = Bytes(out);
    ASSERT_EQ(b.size(), 512u * 4);
    EXPECT_EQ(b.substr(0, 13), std::string("dir\\name.txt\0", 13)) << "names are written as given";
    EXPECT_EQ(b.substr(100, 8), std::string("   777 \0", 8));
    EXPECT_EQ(b.substr(108, 8), std::string("  1750 \0", 8));
    EXPECT_EQ(b.substr(116, 8), std::string("     0 \0", 8));
    EXPECT_EQ(b.substr(124, 12), "          5 ");
    EXPECT_EQ(b.substr(136, 12), "14524770400 ");
    EXPECT_EQ(b[156], '0');
    EXPECT_EQ(b.substr(257, 8), "ustar   ");
    EXPECT_EQ(b.substr(265, 6), std::string("alice\0", 6));
    EXPECT_EQ(b.substr(297, 32), std::string(32, 'g'));
    EXPECT_EQ(b.substr(345, 167), std::string(167, '\0'));
    // The stored checksum is the sum of the block with the field as blanks.
    unsigned sum = 0;
    for (size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(b[i]);
    EXPECT_EQ(std::strtoul(b.substr(148, 6).c_str(), nullptr, 8), sum);
    EXPECT_EQ(b.substr(154, 2), std::string(" \0", 2));
    EXPECT_EQ(b.substr(512, 512), Padded("hello"));
    EXPECT_EQ(b.substr(1024), ZeroBlocks(2)) << "two zero blocks end the archive";
}

TEST(TarWriter, EveryKindOfMemberReadsBack) {
    TMemoryStream out;
    TTarWriter w(out);
    w.Permissions.reset().set(tpReadByOwner).set(tpWriteByOwner).set(tpReadByOther);
    w.Mode.set(tmSaveText);
    w.GID = 7;
    w.Magic = "ustar";
    TMemoryStream src;
    src.Write("0123456789", 10);
    src.SetPosition(4);  // from the current position to the end
    w.AddStream(src, "stream.bin", kSomeTime);
    w.AddString(std::string(512, 's'), "exact.bin", kSomeTime);
    w.AddString("", "empty.bin", kSomeTime);
    w.AddDir("folder/", kSomeTime, 4096);
    w.AddSymbolicLink("sym", "stream.bin", kSomeTime);
    w.AddLink("hard", "exact.bin", kSomeTime);
    w.AddVolumeHeader("VOL1", kSomeTime);
    w.Finalize();

    TTarArchive tar(out);
    std::vector<TTarDirRec> recs;
    std::vector<std::string> data;
    TTarDirRec rec;
    while (tar.FindNext(rec)) {
        recs.push_back(rec);
        data.push_back(tar.ReadFile());
    }
    ASSERT_EQ(Names(recs), (std::vector<std::string>{"stream.bin", "exact.bin", "empty.bin", "folder/", "sym", "hard",
                                                     "VOL1"}));
    EXPECT_EQ(data[0], "456789");
    EXPECT_EQ(data[1], std::string(512, 's'));
    EXPECT_EQ(recs[2].Size, 0);
    EXPECT_EQ(recs[2].FilePos + 512, recs[3].FilePos) << "an empty member has no data block";
    EXPECT_EQ(recs[3].FileType, ftDirectory);
    EXPECT_EQ(recs[3].Size, 4096);
    EXPECT_EQ(recs[4].FileType, ftSymbolicLink);
    EXPECT_EQ(recs[4].LinkName, "stream.bin");
    EXPECT_EQ(recs[5].FileType, ftLink);
    EXPECT_EQ(recs[5].LinkName, "exact.bin");
    EXPECT_EQ(recs[6].FileType, ftVolumeHeader);
    for (auto& r : recs) {
        SCOPED_TRACE(r.Name);
        EXPECT_TRUE(r.ChecksumOK);
        EXPECT_EQ(PermissionString(r.Permissions), "rw----r--");
        EXPECT_TRUE(r.Mode.test(tmSaveText));
        EXPECT_EQ(r.GID, 7);
        EXPECT_EQ(r.Magic, "ustar");
        EXPECT_NEAR(r.DateTime, kSomeTime, 1e-9);
    }
}

TEST(TarWriter, TimesRoundTripToTheSecond) {
    TMemoryStream out;
    TTarWriter w(out);
    // Seconds whose day fraction is not exact in binary must not lose a second.
    std::vector<int64_t> seconds = {0, 1, 59, 86399, 1700000001, 1234567891, 2147483647};
    for (int64_t s : seconds) w.AddString("", std::to_string(s), 25569.0 + static_cast<double>(s) / 86400.0);
    w.AddString("", "before-1970", 20000.0);
    w.Finalize();
    TTarArchive tar(out);
    auto recs = ListAll(tar);
    ASSERT_EQ(recs.size(), seconds.size() + 1);
    for (size_t i = 0; i < seconds.size(); ++i)
        EXPECT_EQ(std::llround((recs[i].DateTime - 25569.0) * 86400.0), seconds[i]) << recs[i].Name;
    EXPECT_DOUBLE_EQ(recs.back().DateTime, 25569.0) << "times before 1970 are written as 0";
}

TEST(TarWriter, LongNamesAreKeptWhole) {
    std::string name = "book/" + std::string(150, 'n') + "/page.jpg";
    std::string link = std::string(120, 'k');
    std::string exact100(100, 'e');
    TMemoryStream out;
    TTarWriter w(out);
    w.AddString("data", name, kSomeTime);
    w.AddSymbolicLink("s", link, kSomeTime);
    w.AddString("x", exact100, kSomeTime);
    w.Finalize();
    TTarArchive tar(out);
    auto recs = ListAll(tar);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].Name, name);
    EXPECT_EQ(recs[1].LinkName, link);
    EXPECT_EQ(recs[2].Name, exact100);
    tar.Reset();
    tar.SetFilePos(recs[0].FilePos);
    TTarDirRec rec;
    ASSERT_TRUE(tar.FindNext(rec));
    EXPECT_EQ(tar.ReadFile(), "data");
}

TEST(TarWriter, FinalizeAndDestruction) {
    TMemoryStream out;
    {
        TTarWriter w(out);
        w.AddString("abc", "a", kSomeTime);
    }
    EXPECT_EQ(out.Size(), 512 * 4) << "deletion ends an unfinished archive";
    EXPECT_EQ(Bytes(out).substr(1024), ZeroBlocks(2));

    TMemoryStream out2;
    TTarWriter w(out2);
    w.Finalize();
    w.Finalize();
    EXPECT_EQ(out2.Size(), 1024);
    EXPECT_TRUE(w.Finalized());
    EXPECT_THROW(w.AddString("x", "late", kSomeTime), ETarArchive);
    EXPECT_THROW(w.AddDir("late/", kSomeTime), ETarArchive);
    EXPECT_EQ(out2.Size(), 1024);
}

// A source whose size promises more than its reads deliver.
class ShortStream : public TStream {
public:
    int64_t Read(void* buffer, int64_t count) override {
        int64_t n = std::min<int64_t>(count, static_cast<int64_t>(data_.size()) - pos_);
        if (n <= 0) return 0;
        std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
        pos_ += n;
        return n;
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t offset, SeekOrigin origin) override {
        pos_ = (origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? pos_ : Size()) + offset;
        return pos_;
    }
    int64_t Size() const override { return 2000; }
    bool SetSize(int64_t) override { return false; }

private:
    std::string data_ = std::string(700, 'q');
    int64_t pos_ = 0;
};

// A source that claims more than eleven octal digits can describe.
class HugeStream : public TByteViewStream {
public:
    HugeStream() : TByteViewStream("", 0) {}
    int64_t Size() const override { return int64_t{1} << 33; }
};

TEST(TarWriter, FailuresAreReportedAndKeepTheArchiveReadable) {
    TMemoryStream out;
    TTarWriter w(out);
    ShortStream shortSrc;
    EXPECT_THROW(w.AddStream(shortSrc, "short", kSomeTime), ETarArchive);
    HugeStream huge;
    EXPECT_THROW(w.AddStream(huge, "huge", kSomeTime), ETarArchive);
    w.AddString("ok", "after", kSomeTime);
    w.Finalize();
    TTarArchive tar(out);
    TTarDirRec rec;
    ASSERT_TRUE(tar.FindNext(rec));
    EXPECT_EQ(rec.Size, 2000);
    EXPECT_EQ(tar.ReadFile(), std::string(700, 'q') + std::string(1300, '\0'));
    ASSERT_TRUE(tar.FindNext(rec));
    EXPECT_EQ(rec.Name, "after") << "nothing of the refused member was written";
    EXPECT_FALSE(tar.FindNext(rec));

    TMemoryStream out2;
    TTarWriter big(out2);
    big.UID = 077777777;
    EXPECT_THROW(big.AddString("", "x", kSomeTime), ETarArchive);
    big.UID = 07777777;  // seven digits still fit
    big.AddString("", "x", kSomeTime);
}

TEST(TarWriter, FilesOnDisk) {
    TempDir dir;
    std::string page = dir.Write("sub/page.jpg", "jpeg bytes");
    struct utimbuf times {1500000000, 1500000000};
    ASSERT_EQ(::utime(page.c_str(), &times), 0);
    EXPECT_NEAR(FileTimeGMT(page), 25569.0 + 1500000000.0 / 86400.0, 1e-9);
    EXPECT_EQ(FileTimeGMT(dir.File("missing")), 0);

    std::string archive = dir.File("out.cbt");
    {
        TTarWriter w(archive);
        w.AddFile(page, "page.jpg");
        w.AddFile(page);
        EXPECT_THROW(w.AddFile(dir.File("missing.jpg")), ETarArchive);
    }
    TTarArchive tar(archive);
    auto recs = ListAll(tar);
    ASSERT_EQ(Names(recs), (std::vector<std::string>{"page.jpg", page}));
    EXPECT_NEAR(recs[0].DateTime, 25569.0 + 1500000000.0 / 86400.0, 1e-9);
    EXPECT_THROW(TTarWriter(dir.File("no/such/dir/x.tar")), ETarArchive);
}

// GNU tar must read what we write, long names included.
TEST(TarWriter, GnuTarReadsOurArchives) {
    if (std::system("tar --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "GNU tar is not installed";
    TempDir dir;
    std::string longName = "book/" + std::string(150, 'n') + "/page.jpg";
    {
        TTarWriter w(dir.File("ours.tar"));
        w.AddDir("book/", kSomeTime);
        w.AddString("first page", "book/page1.jpg", kSomeTime);
        w.AddString(std::string(3000, 'b'), longName, kSomeTime);
        w.AddSymbolicLink("book/link.jpg", "page1.jpg", kSomeTime);
    }
    std::string cmd = "cd '" + dir.Path() + "' && tar -tvf ours.tar > list.txt 2> err.txt && mkdir x && tar -xf ours.tar -C x";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << ReadFileBytes(dir.File("err.txt"));
    std::string list = ReadFileBytes(dir.File("list.txt"));
    EXPECT_NE(list.find(longName), std::string::npos) << list;
    EXPECT_NE(list.find("book/link.jpg -> page1.jpg"), std::string::npos) << list;
    EXPECT_NE(list.find("2023-11-14"), std::string::npos) << list;
    EXPECT_EQ(ReadFileBytes(dir.File("x/book/page1.jpg")), "first page");
    EXPECT_EQ(ReadFileBytes(dir.File("x/" + longName)), std::string(3000, 'b'));
    EXPECT_EQ(ReadFileBytes(dir.File("err.txt")), "");
}

}  // namespace
