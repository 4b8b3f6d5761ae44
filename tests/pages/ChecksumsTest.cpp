#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "pages/Checksums.h"
#include "pages/MD5.h"
#include "platform/Streams.h"
#include "platform/Text.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace vellicor;
using vellicor::test::FakeUi;
using vellicor::test::TempDir;

namespace {

TMemoryStream Stream(const std::string& bytes) {
    TMemoryStream s;
    s.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    s.Seek(0, SeekOrigin::Begin);
    return s;
}

bool Add(TCheckChecksums& c, const std::string& name, const std::string& bytes) {
    TMemoryStream s = Stream(bytes);
    return c.AddChecksumFile(name, s);
}

void Check(TCheckChecksums& c, const std::string& name, const std::string& bytes, TStringList* list = nullptr) {
    TMemoryStream s = Stream(bytes);
    c.CheckFileChecksum(name, s, s.Size(), list);
}

std::string Crc(const std::string& bytes) {
    TMemoryStream s = Stream(bytes);
    return IntToHex(StreamCRC32(s, s.Size()), 8);
}

std::string Md5(const std::string& bytes) { return MD5ToHex(TMD5::Digest(bytes.data(), bytes.size())); }

void Put64(std::string& s, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

struct ParItem {
    std::u16string name;
    std::string content;  // its digests go into the table
};

// A PAR version 1 main file: the header and the file table, no recovery data.
std::string BuildPar(const std::vector<ParItem>& items, uint32_t version = 0x00010000) {
    std::string table;
    for (const auto& item : items) {
        std::string e(56, '\0');
        Put64(e, 0, 56 + 2 * item.name.size());
        Put64(e, 16, item.content.size());
        TMD5Digest whole = TMD5::Digest(item.content.data(), item.content.size());
        std::string head = item.content.substr(0, 16384);
        TMD5Digest first = TMD5::Digest(head.data(), head.size());
        std::copy(whole.begin(), whole.end(), e.begin() + 24);
        std::copy(first.begin(), first.end(), e.begin() + 40);
        for (char16_t ch : item.name) {
            e += static_cast<char>(ch & 0xFF);
            e += static_cast<char>(ch >> 8);
        }
        table += e;
    }
    std::string h(96, '\0');
    h.replace(0, 3, "PAR");
    for (int i = 0; i < 4; ++i) h[8 + i] = static_cast<char>(version >> (8 * i));
    Put64(h, 56, items.size());
    Put64(h, 64, 96);
    Put64(h, 72, table.size());
    Put64(h, 80, 96 + table.size());
    return h + table;
}

bool HaveTool(const char* tool) { return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0; }

bool RunIn(const TempDir& dir, const std::string& command) {
    return std::system(("cd '" + dir.Path() + "' && " + command + " 2>/dev/null").c_str()) == 0;
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

}  // namespace

TEST(ChecksumNames, NormalisedKeys) {
    EXPECT_EQ(TCheckChecksums::NormalizeName("Page 01.JPG"), "page_01.jpg");
    EXPECT_EQ(TCheckChecksums::NormalizeName("C:\\set\\sub/Page 01.JPG"), "page_01.jpg");
    EXPECT_EQ(TCheckChecksums::NormalizeName("C:cover.png"), "cover.png");
    EXPECT_EQ(TCheckChecksums::NormalizeName("A -(1)#.jpg"), "a_1_.jpg");
    EXPECT_EQ(TCheckChecksums::NormalizeName("x__y[2]&z+'=,;*|?<>.gif"), "x_y_2_z_.gif");
    EXPECT_EQ(TCheckChecksums::NormalizeName(""), "");
}

TEST(SfvList, ReadsNamesAndCrcs) {
    FakeUi ui;
    TCheckChecksums c;
    const std::string sfv =
        "; comment line\r\n"
        "\r\n"
        "Page 01.JPG 1a2b3c4d\r\n"
        "  dir/b.png   DEADBEEF  \r\n"
        "page 01.jpg 11111111\r\n"  // a second value for the same image: ignored
        "notes.txt 22222222\r\n"    // not an image
        "short.gif 1f\r"
        "long.bmp 0123456789\n";
    EXPECT_TRUE(Add(c, "/set/check.sfv", sfv));
    EXPECT_TRUE(ui.shown.empty());
    ASSERT_EQ(c.EntryCount(), 4);
    const TChecksumEntry* e = c.FindEntry("PAGE_01.jpg");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Key, "page_01.jpg");
    EXPECT_EQ(e->Name, "Page 01.JPG");
    EXPECT_TRUE(e->HasSFV);
    EXPECT_FALSE(e->HasMD5);
    EXPECT_EQ(e->SFVVal, 0x1a2b3c4du);
    EXPECT_EQ(c.FindEntry("b.png")->SFVVal, 0xDEADBEEFu);
    EXPECT_EQ(c.FindEntry("short.gif")->SFVVal, 0x1Fu);
    EXPECT_EQ(c.FindEntry("long.bmp")->SFVVal, 0x01234567u);  // eight digits at most
    EXPECT_EQ(c.FindEntry("notes.txt"), nullptr);

    // A file read once is not read again, whatever the case of its name.
    EXPECT_FALSE(Add(c, "/SET/CHECK.SFV", "other.jpg 00000000\n"));
    EXPECT_EQ(c.EntryCount(), 4);
    EXPECT_EQ(c.FilesReadCount(), 1);
}

TEST(SfvList, FormatErrorsAskOnceAndCancelStops) {
    const std::string sfv = "a.jpg 00000001\nno_space_here\nb.jpg 0000zz02\nc.jpg 00000003\n";
    {
        FakeUi ui;
        TCheckChecksums c;
        EXPECT_TRUE(Add(c, "set.sfv", sfv));
        ASSERT_EQ(ui.shown.size(), 1u);  // two bad lines, one question
        EXPECT_EQ(ui.shown[0].caption, "incorrect sfv file format");
        EXPECT_EQ(ui.shown[0].text, "set.sfv");
        EXPECT_EQ(ui.shown[0].buttons, mbOKCancel);
        EXPECT_NE(c.FindEntry("a.jpg"), nullptr);
        EXPECT_EQ(c.FindEntry("b.jpg"), nullptr);  // a CRC that is not hexadecimal is refused
        EXPECT_NE(c.FindEntry("c.jpg"), nullptr);
    }
    {
        FakeUi ui;
        ui.answers.push_back(mrCancel);
        TCheckChecksums c;
        EXPECT_FALSE(Add(c, "set.sfv", sfv));
        EXPECT_EQ(c.FindEntry("c.jpg"), nullptr);  // reading stopped at the first bad line
        EXPECT_EQ(c.FilesReadCount(), 0);
        EXPECT_TRUE(Add(c, "set.sfv", sfv));  // not remembered, so it is read again
        EXPECT_EQ(ui.shown.size(), 2u);
    }
}

TEST(SfvList, TextInAWindowsCodePageOrUtf8) {
    FakeUi ui;
    TCheckChecksums c;
    EXPECT_TRUE(Add(c, "a.sfv", "Seite \xE4.jpg 00000001\n"));                 // CP1252
    EXPECT_TRUE(Add(c, "b.sfv", "\xEF\xBB\xBFSeite \xC3\xB6.jpg 00000002\n"));  // UTF-8 with BOM
    EXPECT_NE(c.FindEntry("Seite \xC3\xA4.jpg"), nullptr);
    EXPECT_NE(c.FindEntry("Seite \xC3\xB6.jpg"), nullptr);
    EXPECT_TRUE(ui.shown.empty());
}

TEST(SfvList, OverlongLinesAndBinaryJunkDoNotHurt) {
    FakeUi ui;
    TCheckChecksums c;
    std::string junk = std::string(2000, 'x') + ".jpg 12345678\n" + std::string("\0\xff\x01 \n", 5) + "ok.jpg 1\n";
    EXPECT_TRUE(Add(c, "junk.sfv", junk));
    EXPECT_NE(c.FindEntry("ok.jpg"), nullptr);
    EXPECT_LE(ui.shown.size(), 1u);
    EXPECT_TRUE(Add(c, "empty.sfv", ""));
}

TEST(Md5List, DigestsModesAndEscapes) {
    FakeUi ui;
    TCheckChecksums c;
    const std::string md5 =
        "900150983cd24fb0d6963f7d28e17f72  text mode.jpg\n"
        "900150983CD24FB0D6963F7D28E17F72 *binary.png\r\n"
        "  0150983cd24fb0d6963f7d28e17f72  short.gif  \n"  // 30 digits: two leading zeros
        "\\900150983cd24fb0d6963f7d28e17f72  new\\nline.bmp\n"
        "d41d8cd98f00b204e9800998ecf8427e  readme.txt\n";
    EXPECT_TRUE(Add(c, "list.md5", md5));
    EXPECT_TRUE(ui.shown.empty());
    ASSERT_EQ(c.EntryCount(), 4);
    EXPECT_EQ(MD5ToHex(c.FindEntry("text mode.jpg")->MD5Val), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(MD5ToHex(c.FindEntry("binary.png")->MD5Val), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(MD5ToHex(c.FindEntry("short.gif")->MD5Val), "000150983cd24fb0d6963f7d28e17f72");
    const TChecksumEntry* escaped = c.FindEntry("new\nline.bmp");
    ASSERT_NE(escaped, nullptr);
    EXPECT_EQ(escaped->Name, "new\nline.bmp");
    EXPECT_TRUE(escaped->HasMD5);
}

TEST(Md5List, FormatErrors) {
    const std::string md5 =
        "00000000000000000000000000000001  a.jpg\n"
        "nospace\n"
        "0123456789abcdef0123456789abcdef0  toolong.jpg\n"  // 33 digits
        "00000000000000000000000000000002 xb.jpg\n"         // neither a space nor '*'
        "00000000000000000000000000000003  c.jpg\n";
    {
        FakeUi ui;
        TCheckChecksums c;
        EXPECT_TRUE(Add(c, "x.md5", md5));
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].caption, "incorrect md5 file format");
        EXPECT_EQ(ui.shown[0].text, "x.md5");
        EXPECT_EQ(ui.shown[0].buttons, mbOKCancel);
        EXPECT_EQ(c.EntryCount(), 2);
        EXPECT_EQ(c.FindEntry("toolong.jpg"), nullptr);
    }
    {
        FakeUi ui;
        ui.answers.push_back(mrCancel);
        TCheckChecksums c;
        EXPECT_FALSE(Add(c, "x.md5", md5));
        EXPECT_EQ(c.EntryCount(), 1);
        EXPECT_EQ(c.FilesReadCount(), 0);
    }
}

TEST(ParFile, ReadsTheFileTable) {
    FakeUi ui;
    TCheckChecksums c;
    const std::string big = RandomBytes(20000, 1);
    std::string par = BuildPar({{u"Page 01.jpg", "abc"},
                                {u"big.PNG", big},
                                {u"info.nfo", "x"},
                                {u"\u00e4\U0001F600.gif", "y"}});
    EXPECT_TRUE(Add(c, "/r/set.par", par));
    EXPECT_TRUE(ui.shown.empty());
    ASSERT_EQ(c.EntryCount(), 3);
    const TChecksumEntry* e = c.FindEntry("page_01.jpg");
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(e->HasPAR);
    EXPECT_EQ(MD5ToHex(e->PARVal), Md5("abc"));
    EXPECT_EQ(MD5ToHex(c.FindEntry("big.png")->PAR16kVal), Md5(big.substr(0, 16384)));
    EXPECT_NE(c.FindEntry("\xC3\xA4\xF0\x9F\x98\x80.gif"), nullptr);  // UTF-16 names, surrogates included
}

TEST(ParFile, VersionMismatch) {
    FakeUi ui;
    TCheckChecksums c;
    EXPECT_FALSE(Add(c, "v2.par", BuildPar({{u"a.jpg", "a"}}, 0x00020000)));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, "PAR file version mismatch");
    EXPECT_EQ(ui.shown[0].text, "v2.par");
    EXPECT_EQ(ui.shown[0].buttons, mbOK);
    EXPECT_EQ(c.EntryCount(), 0);
    EXPECT_TRUE(Add(c, "v1.par", BuildPar({{u"a.jpg", "a"}}, 0x0001FFFF)));
}

TEST(ParFile, MalformedFilesAreRefusedSafely) {
    const std::string good = BuildPar({{u"a.jpg", "a"}, {u"b.jpg", "b"}});
    const size_t firstEntry = 96, secondEntry = 96 + 56 + 10;
    std::vector<std::pair<const char*, std::string>> cases;
    cases.emplace_back("empty", "");
    cases.emplace_back("short header", good.substr(0, 95));
    std::string magic = good;
    magic[3] = 'X';
    cases.emplace_back("bad magic", magic);
    std::string s;
    s = good, Put64(s, 64, good.size() + 1);
    cases.emplace_back("table beyond the end", s);
    s = good, Put64(s, 72, good.size());
    cases.emplace_back("table larger than the file", s);
    s = good, Put64(s, 72, ~0ull);
    cases.emplace_back("table size huge", s);
    s = good, Put64(s, 64, ~0ull - 10);
    cases.emplace_back("offset huge", s);
    s = good, Put64(s, firstEntry, 0);
    cases.emplace_back("entry size zero", s);
    s = good, Put64(s, firstEntry, 55);
    cases.emplace_back("entry below the fixed part", s);
    s = good, Put64(s, secondEntry, 67);
    cases.emplace_back("entry past the table", s);
    s = good, Put64(s, secondEntry, ~0ull);
    cases.emplace_back("entry size huge", s);
    s = good, Put64(s, 72, good.size() - 96 - 3);
    cases.emplace_back("table ends inside an entry", s);

    for (const auto& [what, bytes] : cases) {
        FakeUi ui;
        TCheckChecksums c;
        EXPECT_FALSE(Add(c, "bad.par", bytes)) << what;
        ASSERT_EQ(ui.shown.size(), 1u) << what;
        EXPECT_EQ(ui.shown[0].caption, "incorrect PAR file format") << what;
        EXPECT_EQ(ui.shown[0].buttons, mbOK) << what;
        EXPECT_EQ(c.FilesReadCount(), 0) << what;
    }

    // An empty table is a valid file with nothing in it.
    FakeUi ui;
    TCheckChecksums c;
    EXPECT_TRUE(Add(c, "none.par", BuildPar({})));
    EXPECT_TRUE(ui.shown.empty());
}

TEST(Verification, MismatchReportedOnceWithTheKindsCaption) {
    FakeUi ui;
    TCheckChecksums c;
    Add(c, "s.sfv", "sfv.jpg " + Crc("good") + "\n");
    Add(c, "m.md5", Md5("good") + "  md5.png\n");
    Add(c, "p.par", BuildPar({{u"par.gif", "good"}}));
    ASSERT_TRUE(ui.shown.empty());

    for (const char* name : {"/set/sfv.jpg", "/set/md5.png", "/set/par.gif", "/set/unlisted.jpg"})
        Check(c, name, "good");
    EXPECT_TRUE(ui.shown.empty());

    for (int pass = 0; pass < 2; ++pass)
        for (const char* name : {"/set/sfv.jpg", "/set/MD5.png", "/set/par.gif"}) Check(c, name, "bad!");
    ASSERT_EQ(ui.shown.size(), 3u);  // the second pass reports nothing
    EXPECT_EQ(ui.shown[0].caption, "SFV file checksum error");
    EXPECT_EQ(ui.shown[0].text, "/set/sfv.jpg");
    EXPECT_EQ(ui.shown[0].buttons, mbOK);
    EXPECT_EQ(ui.shown[1].caption, "MD5 file checksum error");
    EXPECT_EQ(ui.shown[1].text, "/set/MD5.png");
    EXPECT_EQ(ui.shown[2].caption, "PAR file checksum error");
    EXPECT_TRUE(c.FindEntry("sfv.jpg")->Warned);
}

TEST(Verification, OnlyTheFirstKindIsChecked) {
    FakeUi ui;
    TCheckChecksums c;
    Add(c, "m.md5", Md5("other") + "  a.jpg\n" + Md5("bytes") + "  b.jpg\n");
    Add(c, "s.sfv", "a.jpg " + Crc("bytes") + "\n");
    Add(c, "p.par", BuildPar({{u"b.jpg", "other"}}));
    Check(c, "a.jpg", "bytes");  // SFV matches; the MD5 value is not looked at
    Check(c, "b.jpg", "bytes");  // MD5 matches; the PAR value is not looked at
    EXPECT_TRUE(ui.shown.empty());
}

TEST(Verification, ListInsteadOfMessagesAndStreamRewound) {
    FakeUi ui;
    TCheckChecksums c;
    Add(c, "s.sfv", "a.jpg " + Crc("abc") + "\nb.jpg 00000000\n");
    TStringList bad;
    TMemoryStream s = Stream("abcdef");
    s.Seek(0, SeekOrigin::End);
    c.CheckFileChecksum("a.jpg", s, 3, &bad);  // only the first 3 bytes count
    EXPECT_EQ(s.Position(), 0);
    c.CheckFileChecksum("b.jpg", s, s.Size(), &bad);
    EXPECT_EQ(s.Position(), 0);
    ASSERT_EQ(bad.Count(), 1);
    EXPECT_EQ(bad[0], "b.jpg");
    EXPECT_TRUE(ui.shown.empty());
    c.CheckFileChecksum("b.jpg", s, s.Size(), &bad);
    EXPECT_EQ(bad.Count(), 1);
}

TEST(MissingFiles, ReportedOnceInOneBox) {
    FakeUi ui;
    TCheckChecksums c;
    TStringList present;
    c.CheckAllFilesPesent(present);  // nothing read yet
    EXPECT_TRUE(ui.shown.empty());

    Add(c, "s.sfv", "One.jpg 1\nTwo.jpg 2\nThree.jpg 3\n");
    present.Add("/set/ONE.JPG");
    present.Add("/set/s.sfv");
    present.Add("Three.jpg");
    c.CheckAllFilesPesent(present);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, "File missing from checksum list");
    EXPECT_EQ(ui.shown[0].text, "Two.jpg");
    EXPECT_EQ(ui.shown[0].buttons, mbOK);
    c.CheckAllFilesPesent(present);
    Check(c, "Two.jpg", "anything");
    EXPECT_EQ(ui.shown.size(), 1u);  // never reported again

    Add(c, "more.md5", "1  Four.jpg\n2 *Five.jpg\n");
    c.CheckAllFilesPesent(present);
    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[1].caption, "Files missing from checksum list");
    EXPECT_EQ(ui.shown[1].text, "Four.jpg,\nFive.jpg");
}

TEST(MissingFiles, IntoAListAndForgottenByClear) {
    FakeUi ui;
    TCheckChecksums c;
    Add(c, "s.sfv", "a.jpg 1\nb.jpg 2\n");
    TStringList present, missing;
    present.Add("a.jpg");
    c.CheckAllFilesPesent(present, &missing);
    ASSERT_EQ(missing.Count(), 1);
    EXPECT_EQ(missing[0], "b.jpg");
    EXPECT_TRUE(ui.shown.empty());

    c.Clear();
    EXPECT_EQ(c.EntryCount(), 0);
    EXPECT_EQ(c.FilesReadCount(), 0);
    c.CheckAllFilesPesent(present);
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_TRUE(Add(c, "s.sfv", "a.jpg 1\n"));  // can be read again
}

// Lists written by Debian's own tools, so the readers meet files no one here wrote.
class ToolWrittenLists : public ::testing::Test {
protected:
    void SetUp() override {
        files_ = {{"Page 01.jpg", RandomBytes(40000, 11)},
                  {"page-02 (b).png", RandomBytes(17000, 12)},
                  {"cover.GIF", RandomBytes(5, 13)},
                  {"notes.txt", "read me\n"}};
        for (auto& [name, bytes] : files_) dir_.Write(name, bytes);
    }

    std::string Quoted() const {
        std::string out;
        for (auto& [name, bytes] : files_) out += " '" + name + "'";
        return out;
    }

    // Reads the list, checks every file (no report), then a damaged copy of the first
    // image (one report with the caption), and that all names are present.
    void Verify(const std::string& listName, const char* caption) {
        FakeUi ui;
        TCheckChecksums c;
        TMemoryStream list;
        ASSERT_TRUE(list.LoadFromFile(dir_.File(listName)));
        ASSERT_TRUE(c.AddChecksumFile(dir_.File(listName), list));
        EXPECT_EQ(c.EntryCount(), 3);
        TStringList present;
        for (auto& [name, bytes] : files_) {
            Check(c, dir_.File(name), bytes);
            present.Add(dir_.File(name));
        }
        c.CheckAllFilesPesent(present);
        EXPECT_TRUE(ui.shown.empty()) << (ui.shown.empty() ? "" : ui.shown[0].caption);

        std::string damaged = files_[1].second;
        damaged[damaged.size() / 2] ^= 1;
        Check(c, dir_.File(files_[1].first), damaged);
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].caption, caption);
        EXPECT_EQ(ui.shown[0].text, dir_.File(files_[1].first));
    }

    TempDir dir_;
    std::vector<std::pair<std::string, std::string>> files_;
};

TEST_F(ToolWrittenLists, Cksfv) {
    if (!HaveTool("cksfv")) GTEST_SKIP() << "cksfv is not installed";
    ASSERT_TRUE(RunIn(dir_, "cksfv" + Quoted() + " > set.sfv"));
    Verify("set.sfv", "SFV file checksum error");
}

TEST_F(ToolWrittenLists, Md5sumTextAndBinaryModes) {
    if (!HaveTool("md5sum")) GTEST_SKIP() << "md5sum is not installed";
    ASSERT_TRUE(RunIn(dir_, "md5sum -t" + Quoted() + " > text.md5"));
    Verify("text.md5", "MD5 file checksum error");
    ASSERT_TRUE(RunIn(dir_, "md5sum -b" + Quoted() + " > binary.md5"));
    Verify("binary.md5", "MD5 file checksum error");
}

TEST_F(ToolWrittenLists, Md5sumEscapedName) {
    if (!HaveTool("md5sum")) GTEST_SKIP() << "md5sum is not installed";
    files_.push_back({"back\\slash.bmp", RandomBytes(300, 14)});
    dir_.Write(files_.back().first, files_.back().second);
    ASSERT_TRUE(RunIn(dir_, "md5sum" + Quoted() + " > escaped.md5"));
    ASSERT_NE(vellicor::test::ReadFileBytes(dir_.File("escaped.md5")).find("\n\\"), std::string::npos)
        << "md5sum escaped nothing";
    FakeUi ui;
    TCheckChecksums c;
    TMemoryStream list;
    ASSERT_TRUE(list.LoadFromFile(dir_.File("escaped.md5")));
    ASSERT_TRUE(c.AddChecksumFile("escaped.md5", list));
    EXPECT_EQ(c.EntryCount(), 4);
    Check(c, dir_.File(files_.back().first), files_.back().second);
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(ToolWrittenLists, Parchive) {
    if (!HaveTool("parchive")) GTEST_SKIP() << "parchive is not installed";
    ASSERT_TRUE(RunIn(dir_, "parchive a -n1 set.par" + Quoted() + " >/dev/null"));
    Verify("set.par", "PAR file checksum error");
}
