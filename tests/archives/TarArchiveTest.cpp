// The tar reader on archives written by GNU tar and Python's tarfile, and on hand-made headers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>

#include "TarTestSupport.h"
#include "archives/TarArchive.h"
#include "platform/Text.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

std::string StripSlash(std::string s) {
    if (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

char FlagOf(TFileType t) {
    static const char flags[] = "0123456";
    return t <= ftFifo ? flags[t] : '?';
}

class TarFixture : public ::testing::TestWithParam<const char*> {};

// Every member as the manifest lists it, data included; then every member again in reverse
// order by its header position.
TEST_P(TarFixture, ListsAndReadsEveryMember) {
    std::string path = TestDataDir() + GetParam();
    auto manifest = ReadManifest(path + ".txt");
    ASSERT_FALSE(manifest.empty());
    TTarArchive tar(path);
    std::vector<TTarDirRec> recs;
    std::vector<std::string> data;
    TTarDirRec rec;
    while (tar.FindNext(rec)) {
        recs.push_back(rec);
        data.push_back(tar.ReadFile());
    }
    ASSERT_EQ(recs.size(), manifest.size());
    for (size_t i = 0; i < recs.size(); ++i) {
        SCOPED_TRACE(manifest[i].name);
        EXPECT_EQ(StripSlash(recs[i].Name), manifest[i].name);
        EXPECT_EQ(FlagOf(recs[i].FileType), manifest[i].type);
        EXPECT_EQ(recs[i].LinkName, manifest[i].link);
        EXPECT_TRUE(recs[i].ChecksumOK);
        EXPECT_EQ(recs[i].Magic, std::string(GetParam()) == "v7.tar" ? "" : "ustar");
        if (manifest[i].type == '0') {
            EXPECT_EQ(recs[i].Size, manifest[i].size);
            EXPECT_EQ(data[i], MemberContent(manifest[i].name, manifest[i].size));
            // 14 November 2023 22:13:20 UTC
            EXPECT_NEAR(recs[i].DateTime, 25569.0 + 1700000000.0 / 86400.0, 1e-9);
            EXPECT_EQ(PermissionString(recs[i].Permissions), "rw-r--r--");
        } else {
            EXPECT_EQ(data[i], "");
        }
    }
    for (size_t i = recs.size(); i-- > 0;) {
        tar.Reset();
        tar.SetFilePos(recs[i].FilePos);
        ASSERT_TRUE(tar.FindNext(rec));
        EXPECT_EQ(rec.Name, recs[i].Name);
        EXPECT_EQ(tar.ReadFile(), data[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(GnuAndPython, TarFixture,
                         ::testing::Values("gnu.tar", "oldgnu.tar", "posix.tar", "ustar.tar", "v7.tar",
                                           "py-gnu.tar", "py-pax.tar", "py-ustar.tar"),
                         [](const auto& info) {
                             std::string s = info.param;
                             for (auto& c : s)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return s;
                         });

TEST(TarReader, LayoutOfSmallMembersAndEnd) {
    std::string bytes = RawHeader("one", '0', 1).block + Padded("x") + RawHeader("full", '0', 512).block +
                        std::string(512, 'y') + RawHeader("none", '0', 0).block + ZeroBlocks();
    TByteViewStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TTarArchive tar(s);
    auto recs = ListAll(tar);
    ASSERT_EQ(Names(recs), (std::vector<std::string>{"one", "full", "none"}));
    EXPECT_EQ(recs[0].FilePos, 0);
    EXPECT_EQ(recs[1].FilePos, 1024);
    EXPECT_EQ(recs[2].FilePos, 2048);

    // After reading a member the reader stands at the next header.
    tar.Reset();
    TTarDirRec rec;
    ASSERT_TRUE(tar.FindNext(rec));
    EXPECT_EQ(tar.ReadFile(), "x");
    int64_t cur = 0, size = 0;
    tar.GetFilePos(cur, size);
    EXPECT_EQ(cur, 1024);
    EXPECT_EQ(size, static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(tar.ReadFile(), "") << "a member is delivered once";
}

TEST(TarReader, EmptyAndZeroArchivesListNothing) {
    std::string zeros = ZeroBlocks(20);
    TByteViewStream z(zeros.data(), static_cast<int64_t>(zeros.size()));
    TTarArchive tar(z);
    EXPECT_TRUE(ListAll(tar).empty());
    TByteViewStream e("", 0);
    TTarArchive empty(e);
    EXPECT_TRUE(ListAll(empty).empty());
    // A header cut short ends the walk after the last complete one.
    std::string cut = RawHeader("a", '0', 0).block + RawHeader("b", '0', 0).block.substr(0, 300);
    TByteViewStream c(cut.data(), static_cast<int64_t>(cut.size()));
    TTarArchive tarCut(c);
    EXPECT_EQ(Names(ListAll(tarCut)), std::vector<std::string>{"a"});
}

TEST(TarReader, NamesFromFieldPrefixLongNameAndPax) {
    std::string name100(100, 'n');
    RawHeader posix("page.jpg", '0', 0);
    posix.Set(345, "some/prefix").FixChecksum();
    RawHeader gnu("page.jpg", '0', 0, "ustar  \0");
    gnu.Set(345, "\x01\x02 gnu keeps times here").FixChecksum();
    std::string longName(300, 'L');
    std::string pax = PaxRecord("path", "pax/" + std::string(200, 'p')) + PaxRecord("linkpath", "target") +
                      PaxRecord("mtime", "1.5") + PaxRecord("comment", "ignored");
    std::string bytes = RawHeader(name100, '0', 0).block + posix.block + gnu.block +
                        RawHeader("././@LongLink", 'L', 301, "ustar  \0").block + Padded(longName + '\0') +
                        RawHeader("short", '0', 0, "ustar  \0").block +
                        RawHeader("PaxHeaders/x", 'x', static_cast<int64_t>(pax.size())).block + Padded(pax) +
                        RawHeader("short2", '2', 0).block + ZeroBlocks();
    TByteViewStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TTarArchive tar(s);
    auto recs = ListAll(tar);
    ASSERT_EQ(recs.size(), 5u);
    EXPECT_EQ(recs[0].Name, name100);
    EXPECT_EQ(recs[1].Name, "some/prefix/page.jpg");
    EXPECT_EQ(recs[2].Name, "page.jpg");
    EXPECT_EQ(recs[3].Name, longName);
    EXPECT_EQ(recs[3].FilePos, 1536) << "the position is that of the long-name record";
    EXPECT_EQ(recs[4].Name, "pax/" + std::string(200, 'p'));
    EXPECT_EQ(recs[4].LinkName, "target");
    EXPECT_EQ(recs[4].FileType, ftSymbolicLink);
    // Re-reading from the recorded position gives the whole name again.
    tar.Reset();
    tar.SetFilePos(recs[3].FilePos);
    TTarDirRec rec;
    ASSERT_TRUE(tar.FindNext(rec));
    EXPECT_EQ(rec.Name, longName);
}

TEST(TarReader, LongLinkAndRepeatedLongNames) {
    std::string bytes = RawHeader("././@LongLink", 'L', 6, "ustar  \0").block + Padded(std::string("first") + '\0') +
                        RawHeader("././@LongLink", 'L', 7, "ustar  \0").block + Padded(std::string("second") + '\0') +
                        RawHeader("././@LongLink", 'K', 5, "ustar  \0").block + Padded("dest\0") +
                        RawHeader("x", '1', 0, "ustar  \0").block + RawHeader("plain", '0', 0).block + ZeroBlocks();
    TByteViewStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TTarArchive tar(s);
    auto recs = ListAll(tar);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].Name, "second");
    EXPECT_EQ(recs[0].LinkName, "dest");
    EXPECT_EQ(recs[1].Name, "plain") << "long names apply to one member only";
    EXPECT_EQ(recs[1].LinkName, "");
}

TEST(TarReader, PaxSizeGlobalHeadersAndMalformedRecords) {
    std::string data(1500, 'd');
    std::string pax = PaxRecord("size", "1500");
    RawHeader member("big", '0', 0);  // the header's own size field is overruled
    std::string global = PaxRecord("comment", "whole archive");
    std::string bad = PaxRecord("path", "good") + "99 path=runs past the end\n";
    std::string bytes = RawHeader("pax_global_header", 'g', static_cast<int64_t>(global.size())).block + Padded(global) +
                        RawHeader("P/big", 'x', static_cast<int64_t>(pax.size())).block + Padded(pax) + member.block +
                        Padded(data) + RawHeader("P/y", 'x', static_cast<int64_t>(bad.size())).block + Padded(bad) +
                        RawHeader("y", '0', 0).block + ZeroBlocks();
    TByteViewStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TTarArchive tar(s);
    TTarDirRec rec;
    ASSERT_TRUE(tar.FindNext(rec));
    EXPECT_EQ(rec.Name, "big");
    EXPECT_EQ(rec.Size, 1500);
    EXPECT_EQ(rec.FilePos, 0) << "a member's headers begin at the global header before it";
    EXPECT_EQ(tar.ReadFile(), data);
    ASSERT_TRUE(tar.FindNext(rec));
    EXPECT_EQ(rec.Name, "good") << "records before a malformed one still count";
    EXPECT_FALSE(tar.FindNext(rec));

    // A size that is not a decimal number is damage, not a guess.
    std::string badSize = PaxRecord("size", "12x");
    std::string bytes2 = RawHeader("P/z", 'x', static_cast<int64_t>(badSize.size())).block + Padded(badSize) +
                         RawHeader("z", '0', 0).block + ZeroBlocks();
    TByteViewStream s2(bytes2.data(), static_cast<int64_t>(bytes2.size()));
    TTarArchive tar2(s2);
    EXPECT_THROW(tar2.FindNext(rec), ETarArchive);
}

TEST(TarReader, OversizedMetaRecordsAreSkippedUnread) {
    std::string huge = PaxRecord("path", std::string((1 << 20) + 10, 'h'));
    std::string bytes = RawHeader("P/a", 'x', static_cast<int64_t>(huge.size())).block + Padded(huge) +
                        RawHeader("a", '0', 3).block + Padded("abc") + ZeroBlocks();
    TByteViewStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TTarArchive tar(s);
    TTarDirRec rec;
    ASSERT_TRUE(tar.FindNext(rec));
    EXPECT_EQ(rec.Name, "a");
    EXPECT_EQ(tar.ReadFile(), "abc");
}

TEST(TarReader, SizesThatRunPastTheEndAreErrors) {
    TTarDirRec rec;
    for (int64_t size : {int64_t{513}, int64_t{077777777777}}) {
        std::string bytes = RawHeader("a", '0', size).block + std::string(512, 'x');
        TByteViewStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
        TTarArchive tar(s);
        EXPECT_THROW(tar.FindNext(rec), ETarArchive) << size;
    }
    // Exactly what remains is fine, even without padding.
    std::string exact = RawHeader("a", '0', 300).block + std::string(300, 'x');
    TByteViewStream s(exact.data(), static_cast<int64_t>(exact.size()));
    TTarArchive tar(s);
    ASSERT_TRUE(tar.FindNext(rec));
    EXPECT_EQ(tar.ReadFile(), std::string(300, 'x'));
    EXPECT_FALSE(tar.FindNext(rec));
    // A long-name record that claims more than there is.
    std::string meta = RawHeader("././@LongLink", 'L', 1 << 30, "ustar  \0").block + ZeroBlocks();
    TByteViewStream m(meta.data(), static_cast<int64_t>(meta.size()));
    TTarArchive tarMeta(m);
    EXPECT_THROW(tarMeta.FindNext(rec), ETarArchive);
    // Directories and links carry no data, whatever their size field says.
    std::string dir = RawHeader("d/", '5', 077777777).block + ZeroBlocks();
    TByteViewStream d(dir.data(), static_cast<int64_t>(dir.size()));
    TTarArchive tarDir(d);
    ASSERT_TRUE(tarDir.FindNext(rec));
    EXPECT_EQ(rec.Size, 077777777);
    EXPECT_FALSE(tarDir.FindNext(rec));
}

TEST(TarReader, NumericFields) {
    TTarDirRec rec;
    auto read = [&](RawHeader h, const std::string& tail = ZeroBlocks()) {
        h.FixChecksum();
        std::string bytes = h.block + tail;
        TByteViewStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
        TTarArchive tar(s);
        EXPECT_TRUE(tar.FindNext(rec));
    };
    // Reading stops at the first character that is not an octal digit.
    read(RawHeader("a", '0', 0).Set(124, "  12x4      "), std::string(512, 'x'));
    EXPECT_EQ(rec.Size, 10);
    read(RawHeader("a", '0', 0).Set(124, std::string("\0\0\0 7", 5)));
    EXPECT_EQ(rec.Size, 0) << "the text ends at the first zero byte";
    read(RawHeader("a", '0', 0).Set(108, " 9999\0\0\0"));
    EXPECT_EQ(rec.UID, 0);
    // GNU base-256 numbers, positive and negative.
    read(RawHeader("a", '0', 0).Set(124, std::string("\x80\0\0\0\0\0\0\0\0\0\x02\x00", 12)), std::string(1024, 'x'));
    EXPECT_EQ(rec.Size, 512);
    read(RawHeader("a", '0', 0).Set(136, std::string(12, '\xff')));
    EXPECT_NEAR(rec.DateTime, 25569.0 - 1.0 / 86400.0, 1e-9);
    read(RawHeader("a", '0', 0).Set(108, std::string("\x80\0\0\0\x01\x00\x00\x00", 8)));
    EXPECT_EQ(rec.UID, 1 << 24);
    // A base-256 size too large for 63 bits is damage.
    RawHeader huge("a", '0', 0);
    huge.Set(124, std::string("\x80\x7f\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff", 12)).FixChecksum();
    std::string bytes = huge.block + ZeroBlocks();
    TByteViewStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TTarArchive tar(s);
    EXPECT_THROW(tar.FindNext(rec), ETarArchive);
}

TEST(TarReader, HeaderFieldsAndTypes) {
    RawHeader h("dev", '3', 0, "ustar  \0");
    h.Set(100, "0006755").Set(265, "alice").Set(297, "staff").Set(329, "0000010").Set(337, "0000003");
    h.Set(136, "00000000000").FixChecksum();
    std::string bytes = h.block + RawHeader("odd", 'Q', 0).block + RawHeader("v", 'V', 0).block +
                        RawHeader("fifo", '6', 0).block + ZeroBlocks();
    TByteViewStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TTarArchive tar(s);
    auto recs = ListAll(tar);
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[0].FileType, ftCharacter);
    EXPECT_EQ(PermissionString(recs[0].Permissions), "rwxr-xr-x");
    EXPECT_TRUE(recs[0].Mode.test(tmSetUid));
    EXPECT_TRUE(recs[0].Mode.test(tmSetGid));
    EXPECT_FALSE(recs[0].Mode.test(tmSaveText));
    EXPECT_EQ(recs[0].UserName, "alice");
    EXPECT_EQ(recs[0].GroupName, "staff");
    EXPECT_EQ(recs[0].UID, 01750);
    EXPECT_EQ(recs[0].MajorDevNo, 8);
    EXPECT_EQ(recs[0].MinorDevNo, 3);
    EXPECT_DOUBLE_EQ(recs[0].DateTime, 25569.0);
    EXPECT_EQ(recs[0].Magic, "ustar");
    EXPECT_EQ(recs[1].FileType, ftNormal) << "unknown type flags read as regular files";
    EXPECT_EQ(recs[2].FileType, ftVolumeHeader);
    EXPECT_EQ(recs[3].FileType, ftFifo);
    EXPECT_STREQ(FILETYPE_NAME[ftVolumeHeader], "Volume Header");
}

TEST(TarReader, ChecksumTest) {
    TTarDirRec rec;
    RawHeader bad("bad", '0', 0);
    bad.Set(148, "0000001");
    // An old writer's signed sum over a name with high bytes.
    RawHeader high("\xe9\xe8", '0', 0);
    int sum = 0;
    for (size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : static_cast<signed char>(high.block[i]);
    high.Octal(148, sum, 6);
    // A prefix field covered by the checksum.
    RawHeader prefixed("p", '0', 0);
    prefixed.Set(345, std::string(155, 'q')).FixChecksum();
    std::string bytes = bad.block + high.block + prefixed.block + ZeroBlocks();
    TByteViewStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TTarArchive tar(s);
    auto recs = ListAll(tar);
    ASSERT_EQ(recs.size(), 3u) << "a failed checksum informs; the walk goes on";
    EXPECT_FALSE(recs[0].ChecksumOK);
    EXPECT_TRUE(recs[1].ChecksumOK);
    EXPECT_TRUE(recs[2].ChecksumOK);
}

TEST(TarReader, SetFilePosOnlyWithinTheStream) {
    std::string bytes = RawHeader("a", '0', 0).block + RawHeader("b", '0', 0).block + ZeroBlocks();
    TByteViewStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TTarArchive tar(s);
    tar.SetFilePos(512);
    for (int64_t bad : {static_cast<int64_t>(bytes.size()), static_cast<int64_t>(bytes.size()) + 512, int64_t{-1}}) {
        tar.SetFilePos(bad);
        int64_t cur = 0, size = 0;
        tar.GetFilePos(cur, size);
        EXPECT_EQ(cur, 512);
    }
    TTarDirRec rec;
    ASSERT_TRUE(tar.FindNext(rec));
    EXPECT_EQ(rec.Name, "b");
}

TEST(TarReader, ReadFileForms) {
    TempDir dir;
    std::string bytes = RawHeader("a", '0', 5).block + Padded("hello") + ZeroBlocks();
    std::string path = dir.Write("a.tar", bytes);
    TTarArchive tar(path);
    TTarDirRec rec;
    auto next = [&] {
        tar.Reset();
        ASSERT_TRUE(tar.FindNext(rec));
    };
    next();
    TMemoryStream mem;
    mem.Write("pre-", 4);
    mem.SetPosition(0);
    tar.ReadFile(mem);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(mem.Memory()), static_cast<size_t>(mem.Size())), "pre-hello");
    next();
    char small[4];
    EXPECT_THROW(tar.ReadFile(small, sizeof small), ETarArchive);
    EXPECT_EQ(tar.BytesToGo(), 5) << "a refused read leaves the member unread";
    char buf[5];
    tar.ReadFile(buf, sizeof buf);
    EXPECT_EQ(std::string(buf, 5), "hello");
    next();
    tar.ReadFile(dir.File("out.bin"));
    EXPECT_EQ(ReadFileBytes(dir.File("out.bin")), "hello");
    next();
    EXPECT_THROW(tar.ReadFile(dir.File("no/such/dir/out.bin")), ETarArchive);
    EXPECT_THROW(TTarArchive(dir.File("missing.tar")), ETarArchive);
}

TEST(TarReader, DataThatVanishesIsReported) {
    TempDir dir;
    std::string bytes = RawHeader("a", '0', 5000).block + Padded(std::string(5000, 'z')) + ZeroBlocks();
    std::string path = dir.Write("a.tar", bytes);
    TTarArchive tar(path);
    TTarDirRec rec;
    ASSERT_TRUE(tar.FindNext(rec));
    ASSERT_EQ(::truncate(path.c_str(), 2000), 0);  // the file shrinks after listing
    TMemoryStream mem;
    EXPECT_THROW(tar.ReadFile(mem), ETarArchive);
    EXPECT_EQ(tar.BytesToGo(), 0);
    EXPECT_FALSE(tar.FindNext(rec));
}

TEST(TarHelpers, PermissionStringConvertFilenameAndClear) {
    TTarPermissions p;
    EXPECT_EQ(PermissionString(p), "---------");
    p.set(tpReadByOwner).set(tpExecuteByGroup).set(tpWriteByOther);
    EXPECT_EQ(PermissionString(p), "r----x-w-");
    EXPECT_EQ(ConvertFilename("a\\b\\c.jpg"), "a/b/c.jpg");
    TTarDirRec rec;
    rec.Name = "x";
    rec.Size = 9;
    rec.FileType = ftFifo;
    rec.ChecksumOK = true;
    rec.Permissions.set();
    ClearDirRec(rec);
    EXPECT_EQ(rec.Name, "");
    EXPECT_EQ(rec.Size, 0);
    EXPECT_EQ(rec.FileType, ftNormal);
    EXPECT_FALSE(rec.ChecksumOK);
    EXPECT_TRUE(rec.Permissions.none());
}

}  // namespace
