#include "pages/Checksums.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <tuple>

#include "EngineTestSupport.h"
#include "pages/MD5.h"
#include "platform/Text.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

bool Add(TCheckChecksums& c, const std::string& name, const std::string& bytes) {
    TMemoryStream s = StreamOf(bytes);
    return c.AddChecksumFile(name, s);
}

void Check(TCheckChecksums& c, const std::string& name, const std::string& bytes, TStringList* list = nullptr) {
    TMemoryStream s = StreamOf(bytes);
    c.CheckFileChecksum(name, s, s.Size(), list);
}

std::string Md5(const std::string& bytes) { return MD5ToHex(TMD5::Digest(bytes.data(), bytes.size())); }
std::string Crc(const std::string& bytes) {
    TMemoryStream s = StreamOf(bytes);
    return IntToHex(StreamCRC32(s, s.Size()), 8);
}

void Put64(std::string& s, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) s[at + i] = char(v >> (8 * i));
}

// A PAR version 1 main file: the header and the file table (name, content), no recovery data.
std::string BuildPar(const std::vector<std::pair<std::u16string, std::string>>& items, uint32_t version = 0x00010000) {
    std::string table;
    for (const auto& [name, content] : items) {
        std::string e(56, '\0');
        Put64(e, 0, 56 + 2 * name.size());
        Put64(e, 16, content.size());
        const TMD5Digest whole = TMD5::Digest(content.data(), content.size());
        const TMD5Digest first = TMD5::Digest(content.data(), std::min<size_t>(content.size(), 16384));
        std::copy(whole.begin(), whole.end(), e.begin() + 24);
        std::copy(first.begin(), first.end(), e.begin() + 40);
        for (char16_t ch : name) e += {char(ch & 0xFF), char(ch >> 8)};
        table += e;
    }
    std::string h(96, '\0');
    h.replace(0, 3, "PAR");
    Put64(h, 8, version);
    Put64(h, 56, items.size());
    Put64(h, 64, 96);
    Put64(h, 72, table.size());
    Put64(h, 80, 96 + table.size());
    return h + table;
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = char(rng());
    return s;
}

}  // namespace

TEST(Checksums, NormalisedKeys) {
    const std::pair<const char*, const char*> cases[] = {
        {"Page 01.JPG", "page_01.jpg"}, {"C:\\set\\sub/Page 01.JPG", "page_01.jpg"}, {"C:cover.png", "cover.png"},
        {"A -(1)#.jpg", "a_1_.jpg"},    {"x__y[2]&z+'=,;*|?<>.gif", "x_y_2_z_.gif"},  {"", ""}};
    for (auto [name, key] : cases) EXPECT_EQ(TCheckChecksums::NormalizeName(name), key) << name;
}

TEST(Checksums, SfvList) {
    FakeUi ui;
    TCheckChecksums c;
    EXPECT_TRUE(Add(c, "/set/check.sfv",
                    "; comment\r\n\r\nPage 01.JPG 1a2b3c4d\r\n  dir/b.png   DEADBEEF  \r\n"
                    "page 01.jpg 11111111\r\n"  // a second value for the same image: ignored
                    "notes.txt 22222222\r\nshort.gif 1f\rlong.bmp 0123456789\n"));
    EXPECT_TRUE(ui.shown.empty());
    ASSERT_EQ(c.EntryCount(), 4);  // the info file is no image
    const TChecksumEntry* e = c.FindEntry("PAGE_01.jpg");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Key, "page_01.jpg");
    EXPECT_EQ(e->Name, "Page 01.JPG");
    EXPECT_TRUE(e->HasSFV && !e->HasMD5);
    EXPECT_EQ(e->SFVVal, 0x1a2b3c4du);
    EXPECT_EQ(c.FindEntry("b.png")->SFVVal, 0xDEADBEEFu);
    EXPECT_EQ(c.FindEntry("short.gif")->SFVVal, 0x1Fu);
    EXPECT_EQ(c.FindEntry("long.bmp")->SFVVal, 0x01234567u);  // eight digits at most
    EXPECT_FALSE(Add(c, "/SET/CHECK.SFV", "other.jpg 00000000\n")) << "a file is read once";
    EXPECT_EQ(c.EntryCount(), 4);
    // A Windows code page or UTF-8 with a BOM; overlong lines and binary junk do no harm.
    EXPECT_TRUE(Add(c, "a.sfv", "Seite \xE4.jpg 00000001\n"));
    EXPECT_TRUE(Add(c, "b.sfv", "\xEF\xBB\xBFSeite \xC3\xB6.jpg 00000002\n"));
    EXPECT_NE(c.FindEntry("Seite \xC3\xA4.jpg"), nullptr);
    EXPECT_NE(c.FindEntry("Seite \xC3\xB6.jpg"), nullptr);
    EXPECT_TRUE(Add(c, "junk.sfv", std::string(2000, 'x') + ".jpg 12345678\n" + std::string("\0\xff\x01 \n", 5) + "ok.jpg 1\n"));
    EXPECT_NE(c.FindEntry("ok.jpg"), nullptr);
    EXPECT_TRUE(Add(c, "empty.sfv", ""));
    EXPECT_LE(ui.shown.size(), 1u);
}

TEST(Checksums, FormatErrorsAskOnceAndCancelStops) {
    const std::string sfv = "a.jpg 00000001\nno_space_here\nb.jpg 0000zz02\nc.jpg 00000003\n";
    const std::string md5 =
        "00000000000000000000000000000001  a.jpg\nnospace\n"
        "0123456789abcdef0123456789abcdef0  toolong.jpg\n"  // 33 digits
        "00000000000000000000000000000002 xb.jpg\n"         // neither a space nor '*'
        "00000000000000000000000000000003  c.jpg\n";
    for (auto [name, text, caption] : {std::tuple{"set.sfv", sfv, "incorrect sfv file format"},
                                       std::tuple{"x.md5", md5, "incorrect md5 file format"}}) {
        FakeUi ui;
        TCheckChecksums c;
        EXPECT_TRUE(Add(c, name, text));
        ASSERT_EQ(ui.shown.size(), 1u) << "one question for several bad lines";
        EXPECT_EQ(ui.shown[0].caption, caption);
        EXPECT_EQ(ui.shown[0].text, name);
        EXPECT_EQ(ui.shown[0].buttons, mbOKCancel);
        EXPECT_EQ(c.EntryCount(), 2) << "only the good lines: " << name;
        EXPECT_NE(c.FindEntry("c.jpg"), nullptr);

        TCheckChecksums cancelled;
        ui.answers.push_back(mrCancel);
        EXPECT_FALSE(Add(cancelled, name, text));
        EXPECT_EQ(cancelled.EntryCount(), 1) << "reading stopped at the first bad line";
        EXPECT_TRUE(Add(cancelled, name, text)) << "not remembered, so read again";
    }
}

TEST(Checksums, Md5ListDigestsModesAndEscapes) {
    FakeUi ui;
    TCheckChecksums c;
    const std::string abc = "900150983cd24fb0d6963f7d28e17f72";
    EXPECT_TRUE(Add(c, "list.md5",
                    abc + "  text mode.jpg\n900150983CD24FB0D6963F7D28E17F72 *binary.png\r\n"
                          "  0150983cd24fb0d6963f7d28e17f72  short.gif  \n"  // 30 digits: two leading zeros
                          "\\" + abc + "  new\\nline.bmp\nd41d8cd98f00b204e9800998ecf8427e  readme.txt\n"));
    EXPECT_TRUE(ui.shown.empty());
    ASSERT_EQ(c.EntryCount(), 4);
    EXPECT_EQ(MD5ToHex(c.FindEntry("text mode.jpg")->MD5Val), abc);
    EXPECT_EQ(MD5ToHex(c.FindEntry("binary.png")->MD5Val), abc);
    EXPECT_EQ(MD5ToHex(c.FindEntry("short.gif")->MD5Val), "000150983cd24fb0d6963f7d28e17f72");
    ASSERT_NE(c.FindEntry("new\nline.bmp"), nullptr);
    EXPECT_EQ(c.FindEntry("new\nline.bmp")->Name, "new\nline.bmp");
}

TEST(Checksums, ParFile) {
    FakeUi ui;
    TCheckChecksums c;
    const std::string big = RandomBytes(20000, 1);
    EXPECT_TRUE(Add(c, "/r/set.par", BuildPar({{u"Page 01.jpg", "abc"}, {u"big.PNG", big}, {u"info.nfo", "x"},
                                               {u"\u00e4\U0001F600.gif", "y"}})));
    EXPECT_TRUE(ui.shown.empty());
    ASSERT_EQ(c.EntryCount(), 3);
    ASSERT_NE(c.FindEntry("page_01.jpg"), nullptr);
    EXPECT_TRUE(c.FindEntry("page_01.jpg")->HasPAR);
    EXPECT_EQ(MD5ToHex(c.FindEntry("page_01.jpg")->PARVal), Md5("abc"));
    EXPECT_EQ(MD5ToHex(c.FindEntry("big.png")->PAR16kVal), Md5(big.substr(0, 16384)));
    EXPECT_NE(c.FindEntry("\xC3\xA4\xF0\x9F\x98\x80.gif"), nullptr) << "UTF-16 names, surrogates included";

    TCheckChecksums v2;
    EXPECT_FALSE(Add(v2, "v2.par", BuildPar({{u"a.jpg", "a"}}, 0x00020000)));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, "PAR file version mismatch");
    EXPECT_EQ(ui.shown[0].text, "v2.par");
    EXPECT_EQ(ui.shown[0].buttons, mbOK);
    EXPECT_EQ(v2.EntryCount(), 0);
    EXPECT_TRUE(Add(v2, "v1.par", BuildPar({{u"a.jpg", "a"}}, 0x0001FFFF)));
    EXPECT_TRUE(Add(v2, "none.par", BuildPar({})));
}

TEST(Checksums, MalformedParFilesAreRefusedSafely) {
    const std::string good = BuildPar({{u"a.jpg", "a"}, {u"b.jpg", "b"}});
    const size_t first = 96, second = 96 + 56 + 10;
    auto patched = [&](size_t at, uint64_t v) {
        std::string s = good;
        Put64(s, at, v);
        return s;
    };
    std::string magic = good;
    magic[3] = 'X';
    const std::pair<const char*, std::string> cases[] = {
        {"empty", ""},
        {"short header", good.substr(0, 95)},
        {"bad magic", magic},
        {"table beyond the end", patched(64, good.size() + 1)},
        {"table larger than the file", patched(72, good.size())},
        {"table size huge", patched(72, ~0ull)},
        {"offset huge", patched(64, ~0ull - 10)},
        {"entry size zero", patched(first, 0)},
        {"entry below the fixed part", patched(first, 55)},
        {"entry past the table", patched(second, 67)},
        {"entry size huge", patched(second, ~0ull)},
        {"table ends inside an entry", patched(72, good.size() - 96 - 3)},
    };
    for (const auto& [what, bytes] : cases) {
        FakeUi ui;
        TCheckChecksums c;
        EXPECT_FALSE(Add(c, "bad.par", bytes)) << what;
        ASSERT_EQ(ui.shown.size(), 1u) << what;
        EXPECT_EQ(ui.shown[0].caption, "incorrect PAR file format") << what;
        EXPECT_EQ(ui.shown[0].buttons, mbOK) << what;
        EXPECT_EQ(c.FilesReadCount(), 0) << what;
    }
}

TEST(Checksums, MismatchReportedOnceOnlyForTheFirstKind) {
    FakeUi ui;
    TCheckChecksums c;
    Add(c, "s.sfv", "sfv.jpg " + Crc("good") + "\nboth.jpg " + Crc("bytes") + "\n");
    Add(c, "m.md5", Md5("good") + "  md5.png\n" + Md5("other") + "  both.jpg\n" + Md5("bytes") + "  md5par.jpg\n");
    Add(c, "p.par", BuildPar({{u"par.gif", "good"}, {u"md5par.jpg", "other"}}));
    ASSERT_TRUE(ui.shown.empty());
    // SFV before MD5 before PAR: the other values are not looked at.
    for (const char* name : {"/set/sfv.jpg", "/set/md5.png", "/set/par.gif", "/set/unlisted.jpg", "notes.txt"})
        Check(c, name, "good");
    Check(c, "both.jpg", "bytes");
    Check(c, "md5par.jpg", "bytes");
    EXPECT_TRUE(ui.shown.empty());
    for (int pass = 0; pass < 2; ++pass)
        for (const char* name : {"/set/sfv.jpg", "/set/MD5.png", "/set/par.gif"}) Check(c, name, "bad!");
    ASSERT_EQ(ui.shown.size(), 3u) << "the second pass reports nothing";
    EXPECT_EQ(ui.shown[0].caption, "SFV file checksum error");
    EXPECT_EQ(ui.shown[0].text, "/set/sfv.jpg");
    EXPECT_EQ(ui.shown[0].buttons, mbOK);
    EXPECT_EQ(ui.shown[1].caption, "MD5 file checksum error");
    EXPECT_EQ(ui.shown[1].text, "/set/MD5.png");
    EXPECT_EQ(ui.shown[2].caption, "PAR file checksum error");

    // Into a list instead; only the first size bytes count; the stream is left at 0.
    TCheckChecksums l;
    Add(l, "s.sfv", "a.jpg " + Crc("abc") + "\nb.jpg 00000000\n");
    TStringList bad;
    TMemoryStream s = StreamOf("abcdef");
    s.Seek(0, SeekOrigin::End);
    l.CheckFileChecksum("a.jpg", s, 3, &bad);
    EXPECT_EQ(s.Position(), 0);
    for (int i = 0; i < 2; ++i) l.CheckFileChecksum("b.jpg", s, s.Size(), &bad);
    EXPECT_EQ(bad.Items(), std::vector<std::string>{"b.jpg"});
    EXPECT_EQ(ui.shown.size(), 3u);
}

TEST(Checksums, MissingFilesReportedOnceInOneBox) {
    FakeUi ui;
    TCheckChecksums c;
    TStringList present = ListOf({"/set/ONE.JPG", "/set/s.sfv", "Three.jpg"}), missing;
    c.CheckAllFilesPesent(present);  // nothing read yet
    EXPECT_TRUE(ui.shown.empty());
    Add(c, "s.sfv", "One.jpg 1\nTwo.jpg 2\nThree.jpg 3\n");
    c.CheckAllFilesPesent(present);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, "File missing from checksum list");
    EXPECT_EQ(ui.shown[0].text, "Two.jpg");
    EXPECT_EQ(ui.shown[0].buttons, mbOK);
    c.CheckAllFilesPesent(present);
    Check(c, "Two.jpg", "anything");
    EXPECT_EQ(ui.shown.size(), 1u) << "never reported again";
    Add(c, "more.md5", "1  Four.jpg\n2 *Five.jpg\n");
    c.CheckAllFilesPesent(present);
    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[1].caption, "Files missing from checksum list");
    EXPECT_EQ(ui.shown[1].text, "Four.jpg,\nFive.jpg");

    c.Clear();
    EXPECT_EQ(c.EntryCount() + c.FilesReadCount(), 0);
    Add(c, "s.sfv", "a.jpg 1\nb.jpg 2\n");  // read again after Clear
    c.CheckAllFilesPesent(ListOf({"a.jpg"}), &missing);
    EXPECT_EQ(missing.Items(), std::vector<std::string>{"b.jpg"});
    EXPECT_EQ(ui.shown.size(), 2u);
}

// Lists written by Debian's own tools, so the readers meet files no one here wrote.
class ToolWrittenLists : public ::testing::Test {
protected:
    void SetUp() override {
        files_ = {{"Page 01.jpg", RandomBytes(40000, 11)}, {"page-02 (b).png", RandomBytes(17000, 12)},
                  {"cover.GIF", RandomBytes(5, 13)},       {"notes.txt", "read me\n"}};
        for (auto& [name, bytes] : files_) dir_.Write(name, bytes);
    }
    // Writes the list with the tool (command, the names, then out; skipped when the tool is
    // missing); reads it and checks every file (no report), then a damaged copy of the
    // second (one report with the caption).
    void Verify(const std::string& command, const std::string& out, const std::string& list, const char* caption,
                int entries = 3) {
        const std::string tool = command.substr(0, command.find(' '));
        if (std::system(("command -v " + tool + " >/dev/null").c_str()) != 0) GTEST_SKIP() << tool << " is missing";
        std::string names;
        for (auto& [name, bytes] : files_) names += " '" + name + "'";
        ASSERT_EQ(std::system(("cd '" + dir_.Path() + "' && " + command + names + out + " 2>/dev/null").c_str()), 0);
        FakeUi ui;
        TCheckChecksums c;
        TMemoryStream s;
        ASSERT_TRUE(s.LoadFromFile(dir_.File(list)));
        ASSERT_TRUE(c.AddChecksumFile(dir_.File(list), s));
        EXPECT_EQ(c.EntryCount(), entries);
        TStringList present;
        for (auto& [name, bytes] : files_) Check(c, dir_.File(name), bytes), present.Add(dir_.File(name));
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

TEST_F(ToolWrittenLists, Cksfv) { Verify("cksfv", " > set.sfv", "set.sfv", "SFV file checksum error"); }
TEST_F(ToolWrittenLists, Md5sumText) { Verify("md5sum -t", " > text.md5", "text.md5", "MD5 file checksum error"); }
TEST_F(ToolWrittenLists, Md5sumBinary) { Verify("md5sum -b", " > binary.md5", "binary.md5", "MD5 file checksum error"); }
TEST_F(ToolWrittenLists, Parchive) { Verify("parchive a -n1 set.par", " > /dev/null", "set.par", "PAR file checksum error"); }
TEST_F(ToolWrittenLists, Md5sumEscapesANameWithABackslash) {
    files_.push_back({"back\\slash.bmp", RandomBytes(300, 14)});
    dir_.Write(files_.back().first, files_.back().second);
    Verify("md5sum", " > escaped.md5", "escaped.md5", "MD5 file checksum error", 4);
    if (IsSkipped()) return;
    EXPECT_NE(ReadFileBytes(dir_.File("escaped.md5")).find("\n\\"), std::string::npos) << "md5sum escaped nothing";
}

// ---- MD5 and the stream checksums ----

TEST(MD5, TestSuiteOfTheRfcAndBlockEdges) {
    auto hex = [](std::string_view s) { return MD5ToHex(TMD5::Digest(s.data(), s.size())); };
    const std::pair<std::string, const char*> rfc[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const auto& [text, digest] : rfc) EXPECT_EQ(hex(text), digest) << text.size() << " bytes";
    // Padding around the 64-byte block edges, on bytes i % 251.
    const std::pair<size_t, const char*> edges[] = {
        {55, "6912ee65fff2d9f9ce2508cddf8bcda0"},  {56, "51fdd1acda72405dfdfa03fcb85896d7"},
        {57, "5320ef4c17ef34a0cf2db763338d25eb"},  {63, "48a6295221902e8e0938f773a7185e72"},
        {64, "b2d3f56bc197fd985d5965079b5e7148"},  {65, "8bd7053801c768420faf816fadba971c"},
        {119, "1c772251899a7ff007400b888d6b2042"}, {120, "b7ba1efc6022e9ed272f00b8831e26e6"},
        {128, "37eff01866ba3f538421b30b7cbefcac"}};
    std::string pattern(100000, '\0');
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = char(i % 251);
    for (auto [n, digest] : edges) EXPECT_EQ(hex(std::string_view(pattern).substr(0, n)), digest) << n << " bytes";
    // Updates in pieces of any size give the one-shot digest.
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        TMD5 md5;
        for (size_t pos = 0, n; pos < pattern.size(); pos += n) {
            n = std::min<size_t>(pattern.size() - pos, rng() % 200);
            md5.Update(pattern.data() + pos, n);
        }
        EXPECT_EQ(MD5ToHex(md5.Final()), hex(pattern));
    }
}

TEST(MD5, StreamChecksumsFromPositionZeroAndRewound) {
    const std::string text = "123456789";
    TMemoryStream mem = StreamOf(text);
    mem.Seek(0, SeekOrigin::End);
    EXPECT_EQ(StreamCRC32(mem, mem.Size()), 0xCBF43926u);
    EXPECT_EQ(mem.Position(), 0);
    mem.Seek(0, SeekOrigin::End);
    EXPECT_EQ(MD5ToHex(StreamMD5(mem, mem.Size())), Md5(text));
    EXPECT_EQ(mem.Position(), 0);
    // Only the first size bytes count, whatever stream carries them; never past the end.
    TByteViewStream view(text.data(), int64_t(text.size()));
    view.Seek(4, SeekOrigin::Begin);
    EXPECT_EQ(MD5ToHex(StreamMD5(view, 3)), Md5("123"));
    EXPECT_EQ(view.Position(), 0);
    EXPECT_EQ(StreamCRC32(view, 0), 0u);
    EXPECT_EQ(StreamCRC32(view, 1 << 20), 0xCBF43926u);
    EXPECT_EQ(StreamCRC32(mem, 1 << 20), 0xCBF43926u);
    // Blocks of 16384 read through a plain stream give what memory read in place gives.
    std::string data(16384 * 3 + 77, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i % 251);
    TMemoryStream m = StreamOf(data);
    TByteViewStream v(data.data(), int64_t(data.size()));
    EXPECT_EQ(StreamCRC32(m, m.Size()), StreamCRC32(v, v.Size()));
    EXPECT_EQ(MD5ToHex(StreamMD5(v, v.Size())), Md5(data));
    EXPECT_EQ(StreamMD5(m, m.Size()), StreamMD5(v, v.Size()));
}
