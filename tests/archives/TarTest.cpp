// The tar reader and writer: archives by GNU tar, Python's tarfile and another project's
// test suite, hand-made and hostile headers, and what our writer puts down.
#include <gtest/gtest.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include "ArchiveTestSupport.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

constexpr TDateTime kSomeTime = 25569.0 + 1700000000.0 / 86400.0;  // 14 November 2023 22:13:20 UTC

// A reader over bytes held by the test.
struct Tar {
    explicit Tar(std::string b) : bytes(std::move(b)), stream(bytes.data(), static_cast<int64_t>(bytes.size())), tar(stream) {}
    std::vector<TTarDirRec> List() { return ListAll(tar); }
    std::string bytes;
    TByteViewStream stream;
    TTarArchive tar;
};
std::string Header(const std::string& name, char flag, const std::string& data, const char* magic = "ustar\0" "00") {
    return RawHeader(name, flag, static_cast<int64_t>(data.size()), magic).block + Padded(data);
}

class TarBook : public ::testing::TestWithParam<const char*> {};

// Every member as tarfile lists it, data included.
TEST_P(TarBook, ListsAndReadsEveryMember) {
    if (TarBooks().empty()) GTEST_SKIP() << "tar or python3 missing";
    std::string path = TarBooks() + GetParam();
    auto manifest = ReadManifest(path + ".txt");
    TTarArchive tar(path);
    std::vector<TTarDirRec> recs;
    std::vector<std::string> data;
    for (TTarDirRec rec; tar.FindNext(rec);) recs.push_back(rec), data.push_back(tar.ReadFile());
    ASSERT_EQ(recs.size(), manifest.size());
    ASSERT_GT(recs.size(), 10u);
    for (size_t i = 0; i < recs.size(); ++i) {
        const ManifestEntry& m = manifest[i];
        SCOPED_TRACE(m.name);
        EXPECT_EQ(recs[i].Name, m.name + (m.type == '5' && recs[i].Name.back() == '/' ? "/" : ""));
        EXPECT_EQ("0123456"[std::min<int>(recs[i].FileType, 6)], m.type);
        EXPECT_EQ(recs[i].LinkName, m.link);
        EXPECT_TRUE(recs[i].ChecksumOK);
        EXPECT_EQ(data[i], m.type == '0' ? MemberContent(m.name, m.size) : "");
        if (m.type == '0') {
            EXPECT_EQ(recs[i].Size, m.size);
            EXPECT_NEAR(recs[i].DateTime, kSomeTime, 1e-9);
            EXPECT_EQ(PermissionString(recs[i].Permissions), "rw-r--r--");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(GnuAndPython, TarBook, ::testing::ValuesIn(kTarBooks), [](const auto& info) {
    std::string s = info.param;
    std::replace_if(s.begin(), s.end(), [](char c) { return !isalnum(static_cast<unsigned char>(c)); }, '_');
    return s;
});

TEST(TarReader, NamesFromFieldPrefixLongNamesAndPax) {
    RawHeader posix("page.jpg", '0', 0), gnu("page.jpg", '0', 0, "ustar  \0");
    posix.Set(345, "some/prefix").FixChecksum();
    gnu.Set(345, "\x01\x02 gnu keeps times here").FixChecksum();
    std::string longName(300, 'L'), paxPath = "pax/" + std::string(200, 'p');
    std::string pax = PaxRecord("path", paxPath) + PaxRecord("linkpath", "target") + PaxRecord("mtime", "1.5");
    Tar t(RawHeader(std::string(100, 'n'), '0', 0).block + posix.block + gnu.block +
          Header("././@LongLink", 'L', longName + '\0', "ustar  \0") + Header("short", '0', "", "ustar  \0") +
          Header("PaxHeaders/x", 'x', pax) + Header("short2", '2', "") +
          // Of two long names the second counts; a long link name too; each for one member only.
          Header("././@LongLink", 'L', std::string("first\0", 6)) + Header("././@LongLink", 'L', std::string("second\0", 7)) +
          Header("././@LongLink", 'K', std::string("dest\0", 5)) + Header("x", '1', "") + Header("plain", '0', "") + ZeroBlocks());
    auto recs = t.List();
    ASSERT_EQ(Names(recs), (std::vector<std::string>{std::string(100, 'n'), "some/prefix/page.jpg", "page.jpg", longName,
                                                     paxPath, "second", "plain"}));
    EXPECT_EQ(recs[3].FilePos, 1536) << "a member's position is that of its long-name record";
    EXPECT_EQ(recs[4].LinkName + "|" + recs[5].LinkName + "|" + recs[6].LinkName, "target|dest|");
    EXPECT_EQ(recs[4].FileType, ftSymbolicLink);
    t.tar.Reset();
    t.tar.SetFilePos(recs[3].FilePos);
    TTarDirRec rec;
    ASSERT_TRUE(t.tar.FindNext(rec));
    EXPECT_EQ(rec.Name, longName);
}

TEST(TarReader, PaxSizesGlobalHeadersAndBadRecords) {
    std::string data(1500, 'd'), huge = PaxRecord("path", std::string((1 << 20) + 10, 'h'));
    Tar t(Header("pax_global_header", 'g', PaxRecord("comment", "whole archive")) + Header("P/big", 'x', PaxRecord("size", "1500")) +
          RawHeader("big", '0', 0).block + Padded(data) +  // the header's own size is overruled
          Header("P/y", 'x', PaxRecord("path", "good") + "99 path=runs past the end\n") + Header("y", '0', "") +
          Header("P/a", 'x', huge) + Header("a", '0', "abc") + ZeroBlocks());  // an oversized record is skipped unread
    TTarDirRec rec;
    ASSERT_TRUE(t.tar.FindNext(rec));
    EXPECT_EQ(rec.Name + std::to_string(rec.Size), "big1500");
    EXPECT_EQ(rec.FilePos, 0) << "a member's headers begin at the global header before it";
    EXPECT_EQ(t.tar.ReadFile(), data);
    ASSERT_TRUE(t.tar.FindNext(rec));
    EXPECT_EQ(rec.Name, "good") << "records before a malformed one still count";
    ASSERT_TRUE(t.tar.FindNext(rec));
    EXPECT_EQ(rec.Name + t.tar.ReadFile(), "aabc");
    Tar badSize(Header("P/z", 'x', PaxRecord("size", "12x")) + Header("z", '0', "zz") + ZeroBlocks());
    ASSERT_TRUE(badSize.tar.FindNext(rec)) << "a pax size that is not a number is damage; the header's own size stands";
    EXPECT_EQ(rec.Name + badSize.tar.ReadFile(), "zzz");
    EXPECT_EQ(badSize.tar.DamageCount(), 1);
}

TEST(TarReader, SizesEndsAndTruncation) {
    TTarDirRec rec;
    // A member running past the end is listed and only its read fails (before anything is
    // allocated for it); a long-name record running past the end ends the walk.
    for (std::string bytes : {RawHeader("a", '0', 513).block + std::string(512, 'x'),
                              RawHeader("a", '0', 077777777777).block + std::string(512, 'x'),
                              RawHeader("././@LongLink", 'L', 1 << 30, "ustar  \0").block + ZeroBlocks()}) {
        Tar t(bytes);
        if (t.tar.FindNext(rec)) {
            EXPECT_EQ(rec.Name, "a");
            TMemoryStream out;
            EXPECT_THROW(t.tar.ReadFile(out), ETarArchive);
            EXPECT_EQ(out.Size(), 0);
        }
        EXPECT_FALSE(t.tar.FindNext(rec));
        EXPECT_EQ(t.tar.DamageCount(), 1);
    }
    Tar exact(RawHeader("a", '0', 300).block + std::string(300, 'x'));  // what remains, unpadded
    ASSERT_TRUE(exact.tar.FindNext(rec));
    EXPECT_EQ(exact.tar.ReadFile(), std::string(300, 'x'));
    EXPECT_EQ(exact.tar.ReadFile(), "") << "a member is delivered once";
    EXPECT_FALSE(exact.tar.FindNext(rec));
    Tar dir(RawHeader("d/", '5', 077777777).block + ZeroBlocks());  // no data, whatever the size says
    ASSERT_TRUE(dir.tar.FindNext(rec));
    EXPECT_EQ(rec.Size, 077777777);
    EXPECT_FALSE(dir.tar.FindNext(rec));
    for (std::string bytes : {ZeroBlocks(20), std::string()}) EXPECT_TRUE(Tar(bytes).List().empty());
    Tar cut(Header("a", '0', "") + RawHeader("b", '0', 0).block.substr(0, 300));
    EXPECT_EQ(Names(cut.List()), std::vector<std::string>{"a"}) << "a header cut short ends the walk";
}

int g_tarPasses = 0;
void StopAtFirstTarPass() {
    if (++g_tarPasses == 1) RequestStop();
}
TMemoryStream* g_tarOut = nullptr;
std::vector<int64_t> g_tarSizes;
const uint8_t* g_tarBuffer = nullptr;
bool g_tarMoved = false;
void NoteTarSize() {
    g_tarSizes.push_back(g_tarOut->Size());
    g_tarMoved = g_tarMoved || g_tarOut->Memory() != g_tarBuffer;
}

// A large member is read in pieces with messages let through between them, its stream grown
// a piece at a time into room reserved at once (nothing sized or cleared for the whole
// member first, nothing copied as it grows); the program's end stops the read there, and
// nothing of it is delivered.
TEST(TarReader, ALargeMemberIsReadInPiecesThatTheProgramsEndStops) {
    const std::string data(size_t(20) << 20, 'p');
    FakeUi ui;
    {
        Tar t(Header("big.jpg", '0', data));
        TTarDirRec rec;
        ASSERT_TRUE(t.tar.FindNext(rec));
        TMemoryStream whole;
        ASSERT_EQ(whole.Write("head", 4), 4);  // appended after what the stream holds
        g_tarOut = &whole;
        g_tarSizes.clear();
        g_tarMoved = false;
        ui.onProcessMessages = [] {
            if (g_tarSizes.empty()) g_tarBuffer = g_tarOut->Memory();
            NoteTarSize();
        };
        t.tar.ReadFile(whole);
        ui.onProcessMessages = nullptr;
        EXPECT_TRUE(whole.Size() == int64_t(data.size()) + 4 && std::memcmp(whole.Memory() + 4, data.data(), data.size()) == 0 &&
                    std::memcmp(whole.Memory(), "head", 4) == 0);
        EXPECT_EQ(ui.processMessagesCalls, 2) << "three pieces of 8 MB at most";
        EXPECT_EQ(g_tarSizes, (std::vector<int64_t>{4 + (8 << 20), 4 + (16 << 20)})) << "grown a piece at a time";
        EXPECT_FALSE(g_tarMoved) << "the member's room was reserved at once";
        EXPECT_EQ(whole.Memory(), g_tarBuffer);
    }
    g_tarPasses = 0;
    ui.onProcessMessages = StopAtFirstTarPass;
    Tar t(Header("big.jpg", '0', data));
    TTarDirRec rec;
    ASSERT_TRUE(t.tar.FindNext(rec));
    TMemoryStream out;
    EXPECT_THROW(t.tar.ReadFile(out), ETarArchive);
    ui.onProcessMessages = nullptr;
    RequestStop(false);
    EXPECT_EQ(g_tarPasses, 1) << "stopped after the first piece";
}

TEST(TarReader, NumericFieldsTypesAndChecksums) {
    const struct {
        int offset;
        std::string field;
        int64_t size, uid;
    } numbers[] = {
        {124, std::string("\0\0\0 7", 5), 0, 01750},  // ends at the first zero byte
        {108, std::string(" 9999\0\0\0", 8), 0, 0},
        {124, std::string("\x80\0\0\0\0\0\0\0\0\0\x02\x00", 12), 512, 01750},  // GNU base 256
        {108, std::string("\x80\0\0\0\x01\x00\x00\x00", 8), 0, 1 << 24},
    };
    TTarDirRec rec;
    for (const auto& n : numbers) {
        RawHeader h("a", '0', 0);
        Tar t(h.Set(n.offset, n.field).FixChecksum().block + std::string(1024, 'x'));
        ASSERT_TRUE(t.tar.FindNext(rec));
        EXPECT_EQ(std::to_string(rec.Size) + "/" + std::to_string(rec.UID), std::to_string(n.size) + "/" + std::to_string(n.uid));
    }
    RawHeader huge("a", '0', 0);  // a base-256 size too large for 63 bits is damage
    Tar t(huge.Set(124, std::string("\x80\x7f\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff", 12)).FixChecksum().block + ZeroBlocks());
    EXPECT_FALSE(t.tar.FindNext(rec));
    EXPECT_EQ(t.tar.FirstDamage(), "The size field of a header is not a number at byte 0");

    RawHeader dev("dev", '3', 0, "ustar  \0"), bad("bad", '0', 0), high("\xe9\xe8", '0', 0), prefixed("p", '0', 0);
    dev.Set(100, "0006755").Set(265, "alice").Set(297, "staff").Set(329, "0000010").Set(136, std::string(12, '\xff')).FixChecksum();
    bad.Set(148, "0000001");
    int sum = 0;  // an old writer's signed sum over a name with high bytes
    for (size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : static_cast<signed char>(high.block[i]);
    high.Octal(148, sum, 6);
    prefixed.Set(345, std::string(155, 'q')).FixChecksum();
    Tar types(dev.block + Header("odd", 'Q', "") + bad.block + high.block +
              prefixed.block + ZeroBlocks());
    auto recs = types.List();
    ASSERT_EQ(recs.size(), 5u) << "a failed checksum informs; the walk goes on";
    EXPECT_EQ(recs[0].FileType, ftCharacter);
    EXPECT_EQ(PermissionString(recs[0].Permissions) + " " + std::to_string(recs[0].Mode.to_ulong()), "rwxr-xr-x 3");
    EXPECT_NEAR(recs[0].DateTime, 25569.0 - 1.0 / 86400.0, 1e-9) << "a negative base-256 time";
    EXPECT_EQ(recs[1].FileType, ftNormal) << "unknown type flags read as regular files";
    EXPECT_EQ(std::vector<bool>({recs[2].ChecksumOK, recs[3].ChecksumOK, recs[4].ChecksumOK}), std::vector<bool>({false, true, true}));
}

// Which headers are followed by their size in data. Devices, like links, folders and fifos,
// carry none whatever their size field says (as bsdtar reads them): the next block is the
// next header.
TEST(TarReader, OnlyFilesCarryData) {
    const std::pair<char, bool> cases[] = {{'0', true}, {'7', true}, {'1', false}, {'2', false}, {'3', false},
                                           {'4', false}, {'5', false}, {'6', false}, {'V', false}};
    TempDir dir;
    for (auto [flag, data] : cases) {
        SCOPED_TRACE(std::string(1, flag));
        const std::string claimed = data ? std::string(1024, 'd') : "";
        Tar t(RawHeader("entry", flag, 1024).block + claimed + Header("next.jpg", '0', "next") + ZeroBlocks());
        TTarDirRec rec;
        ASSERT_TRUE(t.tar.FindNext(rec));
        EXPECT_EQ(rec.Size, 1024) << "the size field is reported as it stands";
        EXPECT_EQ(t.tar.BytesToGo(), data ? 1024 : 0);
        EXPECT_EQ(t.tar.ReadFile(), claimed);
        ASSERT_TRUE(t.tar.FindNext(rec));
        EXPECT_EQ(rec.Name + "=" + t.tar.ReadFile(), "next.jpg=next");
        EXPECT_FALSE(t.tar.FindNext(rec));
        EXPECT_EQ(t.tar.DamageCount(), 0);
        if (!data && HaveTool("bsdtar")) {
            std::string file = dir.Write("dev.tar", t.bytes);
            EXPECT_EQ(RunShell("bsdtar -tf " + Quote(file) + " | grep -qx next.jpg"), 0) << "bsdtar reads it so too";
        }
    }
}

TEST(TarReader, PositionsAndReadFileForms) {
    TempDir dir;
    std::string path = dir.Write("a.tar", Header("a", '0', "hello") + Header("b", '0', "") + ZeroBlocks());
    TTarArchive tar(path);
    TTarDirRec rec;
    ASSERT_TRUE(tar.FindNext(rec));
    char buf[5];
    EXPECT_THROW(tar.ReadFile(buf, 4), ETarArchive);
    EXPECT_EQ(tar.BytesToGo(), 5) << "a refused read leaves the member unread";
    int64_t cur = 0, size = 0;
    for (int64_t beyond : {FileSize(path), FileSize(path) + 512, int64_t{-1}}) tar.SetFilePos(beyond);
    tar.GetFilePos(cur, size);
    EXPECT_EQ(cur, 512) << "a position outside the stream leaves the reader where it was";
    EXPECT_THROW(TTarArchive(dir.File("missing.tar")), ETarArchive);
    // Data that vanish after listing are reported, and the walk ends.
    std::string shrinking = dir.Write("b.tar", Header("a", '0', std::string(5000, 'z')) + ZeroBlocks());
    TTarArchive tar2(shrinking);
    ASSERT_TRUE(tar2.FindNext(rec));
    ASSERT_EQ(::truncate(shrinking.c_str(), 2000), 0);
    EXPECT_THROW(tar2.ReadFile(dir.File("out.bin")), ETarArchive);
    EXPECT_EQ(tar2.BytesToGo(), 0);
    EXPECT_FALSE(tar2.FindNext(rec));
}

// A source whose size promises more than its reads deliver, or more than 8 GiB.
class LyingStream : public TByteViewStream {
public:
    LyingStream(const std::string& data, int64_t size) : TByteViewStream(data.data(), static_cast<int64_t>(data.size())), size_(size) {}
    int64_t Size() const override { return size_; }

private:
    int64_t size_;
};

TEST(TarWriter, HeaderEncodingFailuresAndTheEnd) {
    TMemoryStream out;
    std::string q(700, 'q');
    {
        TTarWriter w(out);
        w.UID = 01750;
        w.UserName = "alice";
        w.GroupName = std::string(40, 'g');  // cut to the field
        w.AddString("hello", "dir\\name.txt", kSomeTime);
        w.AddVolumeHeader("VOL1", kSomeTime);
        LyingStream shortSrc(q, 2000), huge("", int64_t{1} << 33);
        EXPECT_THROW(w.AddStream(shortSrc, "short", kSomeTime), ETarArchive);
        EXPECT_THROW(w.AddStream(huge, "huge", kSomeTime), ETarArchive);
        w.UID = 077777777;  // eight octal digits do not fit
        EXPECT_THROW(w.AddString("", "x", kSomeTime), ETarArchive);
    }  // deletion ends an unfinished archive
    std::string b = Bytes(&out);
    EXPECT_EQ(b.substr(0, 13), std::string("dir\\name.txt\0", 13)) << "names are written as given";
    EXPECT_EQ(b.substr(297, 32), std::string(32, 'g'));
    // Numeric fields: leading zeros as blanks, then a blank (and a zero byte in the short ones).
    const std::pair<int, std::string> fields[] = {
        {100, std::string("   777 \0", 8)}, {108, std::string("  1750 \0", 8)}, {116, std::string("     0 \0", 8)},
        {124, "          5 "}, {136, "14524770400 "}, {329, std::string("     0 \0", 8)}, {337, std::string("     0 \0", 8)}};
    for (const auto& [offset, text] : fields) EXPECT_EQ(b.substr(static_cast<size_t>(offset), text.size()), text) << offset;
    EXPECT_EQ(b.substr(148 + 6, 2), std::string(" \0", 2)) << "the checksum as a short field";
    TTarArchive tar(out);
    TTarDirRec rec;
    ASSERT_TRUE(tar.FindNext(rec) && tar.ReadFile() == "hello" && tar.FindNext(rec));
    EXPECT_EQ(rec.Name + " " + FILETYPE_NAME[rec.FileType], "VOL1 Volume Header");
    ASSERT_TRUE(tar.FindNext(rec));
    EXPECT_EQ(rec.Name + " " + tar.ReadFile(), "short " + q + std::string(1300, '\0')) << "padded to the size announced";
    EXPECT_FALSE(tar.FindNext(rec)) << "nothing of the refused members was written";
    EXPECT_EQ(b.substr(b.size() - 1024), ZeroBlocks(2)) << "two zero blocks end the archive";
    TMemoryStream out2;
    TTarWriter w(out2);
    w.Finalize();
    w.Finalize();
    EXPECT_THROW(w.AddDir("late/", kSomeTime), ETarArchive);
    EXPECT_EQ(out2.Size(), 1024) << "and only once";
}

TEST(TarWriter, EveryKindOfMemberReadsBackHereAndInGnuTar) {
    TempDir dir;
    std::string page = dir.Write("sub/page.jpg", "jpeg bytes"), longName = "book/" + std::string(150, 'n') + "/page.jpg";
    struct utimbuf times {1500000000, 1500000000};
    ASSERT_EQ(::utime(page.c_str(), &times), 0);
    std::vector<int64_t> seconds = {1500000000, 1700000000, 1700000000, 1700000000, 1700000000, 1700000000, 1700000000,
                                    1700000000, 0, 1, 59, 86399, 1234567891, 2147483647, 0};
    {
        TTarWriter w(dir.File("ours.tar"));
        w.Permissions.reset().set(tpReadByOwner).set(tpWriteByOwner).set(tpReadByOther);
        w.Mode.set(tmSaveText);
        TMemoryStream src;
        src.Write("0123456789", 10);
        src.SetPosition(4);  // from the current position to the end
        w.AddFile(page, "page.jpg");
        EXPECT_THROW(w.AddFile(dir.File("missing.jpg")), ETarArchive);
        w.AddStream(src, "stream.bin", kSomeTime);
        w.AddString(std::string(512, 's'), "exact.bin", kSomeTime);
        w.AddString("", "empty.bin", kSomeTime);
        w.AddDir("folder/", kSomeTime, 4096);
        w.AddSymbolicLink("sym", std::string(120, 'k'), kSomeTime);
        w.AddLink("hard", "exact.bin", kSomeTime);
        w.AddString("data", longName, kSomeTime);
        // Seconds whose day fraction is not exact in binary must not lose one.
        for (size_t i = 8; i + 1 < seconds.size(); ++i)
            w.AddString("", std::to_string(seconds[i]), 25569.0 + static_cast<double>(seconds[i]) / 86400.0);
        w.AddString("", "before-1970", 20000.0);
    }
    EXPECT_THROW(TTarWriter(dir.File("no/such/dir/x.tar")), ETarArchive);
    TTarArchive tar(dir.File("ours.tar"));
    std::vector<TTarDirRec> recs;
    std::vector<std::string> data;
    for (TTarDirRec rec; tar.FindNext(rec);) recs.push_back(rec), data.push_back(tar.ReadFile());
    ASSERT_EQ(recs.size(), seconds.size());
    EXPECT_EQ(data[0] + "|" + data[1] + "|" + data[2], "jpeg bytes|456789|" + std::string(512, 's'));
    EXPECT_EQ(recs[3].FilePos + 512, recs[4].FilePos) << "an empty member has no data block";
    EXPECT_EQ(std::vector<int>({recs[4].FileType, recs[5].FileType, recs[6].FileType}), std::vector<int>({ftDirectory, ftSymbolicLink, ftLink}));
    EXPECT_EQ(recs[4].Size * 1000 + int64_t(recs[5].LinkName.size()), 4096120);
    EXPECT_EQ(recs[7].Name + data[7], longName + "data");
    for (size_t i = 0; i < recs.size(); ++i) {
        EXPECT_TRUE(recs[i].ChecksumOK && recs[i].Mode.test(tmSaveText) && PermissionString(recs[i].Permissions) == "rw----r--");
        EXPECT_EQ(std::llround((recs[i].DateTime - 25569.0) * 86400.0), seconds[i]) << recs[i].Name << ": before 1970 as 0";
    }

    if (!HaveTool("tar")) GTEST_SKIP() << "GNU tar missing";
    ASSERT_EQ(RunShell("cd " + Quote(dir.Path()) + " && tar -tvf ours.tar > list.txt 2> err.txt && mkdir x && tar -xmf ours.tar -C x 2>> err.txt"), 0)
        << ReadFileBytes(dir.File("err.txt"));
    std::string list = ReadFileBytes(dir.File("list.txt"));
    for (std::string s : {longName, "sym -> " + std::string(120, 'k'), std::string("2023-11-14")}) EXPECT_NE(list.find(s), std::string::npos) << list;
    EXPECT_EQ(ReadFileBytes(dir.File("x/page.jpg")) + ReadFileBytes(dir.File("x/" + longName)), "jpeg bytesdata");
    EXPECT_EQ(ReadFileBytes(dir.File("err.txt")), "");
}

// ---- Archives from another project's test suite: odd formats, and damaged or hostile files
// that once troubled other readers. ----

struct Listing {
    std::vector<TTarDirRec> recs;
    std::vector<std::string> data;
    bool failed = false;
};

Listing ListAndRead(const std::string& bytes) {
    Listing l;
    Tar t(bytes);
    try {
        for (TTarDirRec rec; t.tar.FindNext(rec);) {
            l.recs.push_back(rec);
            try {
                l.data.push_back(t.tar.ReadFile());
            } catch (const ETarArchive&) {
                l.data.push_back("<unreadable>");
                l.failed = l.failed || !rec.Sparse;
            }
        }
    } catch (const ETarArchive&) {
        l.failed = true;
    }
    l.failed = l.failed || t.tar.DamageCount() > 0;
    return l;
}

TEST(TarPeer, EachArchiveListsAsOtherReadersDoOrIsRefused) {
    if (!std::filesystem::is_directory(PeerDataDir())) GTEST_SKIP() << "no peer test data";
    const std::string cp866[] = {"\x8f\x90\x88\x82\x85\x92", "\xaf\xe0\xa8\xa2\xa5\xe2"};
    const struct {
        const char* file;
        std::vector<std::string> names;
        bool damaged = false;
    } cases[] = {
        {"gtar_sparse_1_17_posix10.tar", {"sparse", "sparse2", "non-sparse"}},
        {"tar_acl_oob_read.tar", {"file"}}, {"tar_empty_filename.tar", {}}, {"tar_empty_with_gnulabel.tar", {"label"}},
        {"tar_mac_metadata_1.tar", {"._101_" + std::string(95, 'a'), "goodname"}}, {"tar_pax_g_large.tar", {}, true},
        {"tar_pax_negative_time.tar", {"empty"}}, {"tar_timestamp_overflow.tar", {"tmp/f.txt"}},
        {"ustar_filename_cp866.tar.Z", {cp866[0], cp866[1]}},
        {"gtar_redundant_L.tar.Z", {"storage/emulated/0/Android/data/" + std::string(88, 'x')}},
        {"gtar_sparse_length.tar.Z", {"dir/file1", "dir2/"}},
        {"gtar_sparse_skip_entry.tar.Z", {"a", "b"}}, {"tar_empty_pax.tar.Z", {}},
        {"tar_pax_large_attr.tar.Z", {"foo"}},
    };
    std::map<std::string, Listing> seen;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::string f = c.file, bytes = ReadFileBytes(PeerDataDir() + f);
        if (f.substr(f.size() - 2) == ".Z") {  // compress'ed; gzip undoes that
            TempDir tmp;
            RunShell("gzip -dc " + Quote(PeerDataDir() + f) + " > " + Quote(tmp.File("x")) + " 2>/dev/null");
            bytes = ReadFileBytes(tmp.File("x"));
        }
        ASSERT_FALSE(bytes.empty());
        Listing& l = seen[f] = ListAndRead(bytes);
        EXPECT_EQ(l.failed, c.damaged);
        EXPECT_EQ(Names(l.recs), c.names);
    }
    EXPECT_EQ(seen["gtar_redundant_L.tar.Z"].data, std::vector<std::string>{"hi\n"});
}

// Every file of the folder, tar or not, read as a tar archive: a listing or a clear error,
// never a crash, and never more data than the file holds.
TEST(TarPeer, AnyFileIsSafeToRead) {
    if (!std::filesystem::is_directory(PeerDataDir())) GTEST_SKIP() << "no peer test data";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(PeerDataDir())) {
        if (!entry.is_regular_file()) continue;
        std::string bytes = ReadFileBytes(entry.path().string());
        size_t total = 0;
        for (auto& d : ListAndRead(bytes).data) total += d.size();
        EXPECT_LE(total, bytes.size()) << entry.path();
        ++files;
    }
    EXPECT_GT(files, 100);
}

}  // namespace
