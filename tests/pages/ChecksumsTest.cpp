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

void Check(TCheckChecksums& c, const std::string& name, const std::string& bytes) {
    TMemoryStream s = StreamOf(bytes);
    c.CheckFileChecksum(name, s, s.Size());
}

std::string Md5(std::string_view bytes) { return MD5ToHex(TMD5::Digest(bytes.data(), bytes.size())); }
std::string Crc(const std::string& bytes) {
    TMemoryStream s = StreamOf(bytes);
    return IntToHex(StreamCRC32(s, s.Size()), 8);
}
std::string Captions(const FakeUi& ui) {
    std::string r;
    for (const auto& m : ui.shown) r += m.caption + (m.buttons == mbOK ? "" : " (OK/Cancel)") + ": " + m.text + "\n";
    return r;
}

void Put64(std::string& s, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) s[at + i] = char(v >> (8 * i));
}

// A PAR version 1 main file: the header and the file table of (name, content), no recovery data.
std::string BuildPar(const std::vector<std::pair<std::u16string, std::string>>& items, uint32_t version = 0x00010000) {
    std::string table, h(96, '\0');
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
    h.replace(0, 3, "PAR");
    Put64(h, 8, version), Put64(h, 56, items.size()), Put64(h, 64, 96), Put64(h, 72, table.size());
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

TEST(Checksums, ListsAreReadOnceAndKeepTheFirstValue) {
    FakeUi ui;
    TCheckChecksums c;
    EXPECT_TRUE(Add(c, "/set/check.sfv", "; comment\r\n\r\nPage 01.JPG 1a2b3c4d\r\n  dir/b.png   DEADBEEF  \r\n"
                                         "page 01.jpg 11111111\r\nnotes.txt 22222222\r\nshort.gif 1f\rlong.bmp 0123456789\n"));
    EXPECT_FALSE(Add(c, "/SET/CHECK.SFV", "other.jpg 00000000\n")) << "a file is read once";
    ASSERT_EQ(c.EntryCount(), 4) << "the info file is no image";
    const TChecksumEntry* e = c.FindEntry("/set/PAGE_01.jpg");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Name, "Page 01.JPG");
    EXPECT_TRUE(e->HasSFV && !e->HasMD5 && e->SFVVal == 0x1a2b3c4du) << "the first value is kept";
    EXPECT_EQ(c.FindEntry("/set/dir/b.png")->SFVVal, 0xDEADBEEFu) << "a name is relative to its list";
    EXPECT_EQ(c.FindEntry("/set/short.gif")->SFVVal, 0x1Fu);
    EXPECT_EQ(c.FindEntry("/SET/long.bmp")->SFVVal, 0x01234567u) << "eight digits at most";
    EXPECT_EQ(c.FindEntry("long.bmp"), nullptr) << "a list judges only its own folder";
    // A Windows code page or UTF-8 with a BOM; overlong lines and binary junk do no harm.
    EXPECT_TRUE(Add(c, "a.sfv", "Seite \xE4.jpg 00000001\n") && Add(c, "b.sfv", "\xEF\xBB\xBFSeite \xC3\xB6.jpg 00000002\n"));
    EXPECT_TRUE(c.FindEntry("Seite \xC3\xA4.jpg") && c.FindEntry("Seite \xC3\xB6.jpg"));
    EXPECT_TRUE(Add(c, "junk.sfv", std::string(2000, 'x') + ".jpg 12345678\n" + std::string("\0\xff\x01 \n", 5) + "ok.jpg 1\n"));
    EXPECT_TRUE(c.FindEntry("ok.jpg") && Add(c, "empty.sfv", ""));
    EXPECT_LE(ui.shown.size(), 1u);

    const std::string abc = "900150983cd24fb0d6963f7d28e17f72";  // md5sum's text and binary modes and escapes
    EXPECT_TRUE(Add(c, "list.md5", abc + "  text mode.jpg\n900150983CD24FB0D6963F7D28E17F72 *binary.png\r\n"
                                         "  0150983cd24fb0d6963f7d28e17f72  short.gif  \n\\" + abc +
                                         "  new\\nline.bmp\nd41d8cd98f00b204e9800998ecf8427e  readme.txt\n"));
    EXPECT_EQ(MD5ToHex(c.FindEntry("text mode.jpg")->MD5Val) + MD5ToHex(c.FindEntry("binary.png")->MD5Val), abc + abc);
    EXPECT_EQ(MD5ToHex(c.FindEntry("short.gif")->MD5Val), "000150983cd24fb0d6963f7d28e17f72") << "30 digits: right-aligned";
    ASSERT_NE(c.FindEntry("new\nline.bmp"), nullptr);
    EXPECT_EQ(c.FindEntry("new\nline.bmp")->Name, "new\nline.bmp");
    EXPECT_EQ(c.EntryCount(), 4 + 3 + 4) << "short.gif beside list.md5 is not /set/short.gif";
}

TEST(Checksums, FormatErrorsAskOnceAndCancelStops) {
    const std::string sfv = "a.jpg 00000001\nno_space_here\nb.jpg 0000zz02\nc.jpg 00000003\n";  // non-hex CRC
    const std::string md5 = "00000000000000000000000000000001  a.jpg\nnospace\n0123456789abcdef0123456789abcdef0  x.jpg\n"
                            "00000000000000000000000000000002 xb.jpg\n00000000000000000000000000000003  c.jpg\n";  // 33 digits; no ' ' or '*'
    for (auto [name, text, caption] : {std::tuple{"set.sfv", sfv, "incorrect sfv file format"},
                                       std::tuple{"x.md5", md5, "incorrect md5 file format"}}) {
        FakeUi ui;
        TCheckChecksums c, cancelled;
        EXPECT_TRUE(Add(c, name, text));
        EXPECT_EQ(Captions(ui), std::string(caption) + " (OK/Cancel): " + name + "\n") << "one question for all bad lines";
        EXPECT_TRUE(c.EntryCount() == 2 && c.FindEntry("c.jpg")) << name;
        ui.answers.push_back(mrCancel);
        EXPECT_FALSE(Add(cancelled, name, text));
        EXPECT_EQ(cancelled.EntryCount(), 1) << "reading stopped at the first bad line";
        EXPECT_TRUE(Add(cancelled, name, text)) << "not remembered, so read again";
    }
}

TEST(Checksums, ParFiles) {
    FakeUi ui;
    TCheckChecksums c;
    const std::string big = RandomBytes(20000, 1);
    EXPECT_TRUE(Add(c, "/r/set.par", BuildPar({{u"Page 01.jpg", "abc"}, {u"big.PNG", big}, {u"info.nfo", "x"}, {u"\u00e4\U0001F600.gif", "y"}})));
    ASSERT_EQ(c.EntryCount(), 3);
    ASSERT_TRUE(c.FindEntry("/r/page_01.jpg") && c.FindEntry("/r/big.png"));
    EXPECT_TRUE(c.FindEntry("/r/page_01.jpg")->HasPAR);
    EXPECT_EQ(MD5ToHex(c.FindEntry("/r/page_01.jpg")->PARVal) + MD5ToHex(c.FindEntry("/r/big.png")->PAR16kVal), Md5("abc") + Md5(big.substr(0, 16384)));
    EXPECT_NE(c.FindEntry("/r/\xC3\xA4\xF0\x9F\x98\x80.gif"), nullptr) << "UTF-16 names, surrogates included";
    TCheckChecksums v2;
    EXPECT_FALSE(Add(v2, "v2.par", BuildPar({{u"a.jpg", "a"}}, 0x00020000)));
    EXPECT_EQ(Captions(ui), "PAR file version mismatch: v2.par\n");
    EXPECT_EQ(v2.EntryCount(), 0);
    EXPECT_TRUE(Add(v2, "v1.par", BuildPar({{u"a.jpg", "a"}}, 0x0001FFFF)) && Add(v2, "none.par", BuildPar({})));

    // Every size read from the file is checked before it is used.
    const std::string good = BuildPar({{u"a.jpg", "a"}, {u"b.jpg", "b"}});
    auto patched = [&](size_t at, uint64_t v) {
        std::string s = good;
        Put64(s, at, v);
        return s;
    };
    std::string magic = good;
    magic[3] = 'X';
    const size_t first = 96, second = 96 + 56 + 10;
    const std::pair<const char*, std::string> bad[] = {
        {"empty", ""}, {"short header", good.substr(0, 95)}, {"bad magic", magic},
        {"table beyond the end", patched(64, good.size() + 1)}, {"table larger than the file", patched(72, good.size())},
        {"table size huge", patched(72, ~0ull)}, {"offset huge", patched(64, ~0ull - 10)},
        {"entry size zero", patched(first, 0)}, {"entry below the fixed part", patched(first, 55)},
        {"entry past the table", patched(second, 67)}, {"entry size huge", patched(second, ~0ull)},
        {"table ends inside an entry", patched(72, good.size() - 96 - 3)}};
    for (const auto& [what, bytes] : bad) {
        FakeUi local;
        TCheckChecksums b;
        EXPECT_FALSE(Add(b, "bad.par", bytes)) << what;
        EXPECT_EQ(Captions(local), "incorrect PAR file format: bad.par\n") << what;
        EXPECT_EQ(b.FilesReadCount(), 0) << what;
    }
}

TEST(Checksums, MismatchesAndMissingFilesAreReportedOnce) {
    FakeUi ui;
    TCheckChecksums c;
    Add(c, "/set/s.sfv", "sfv.jpg " + Crc("good") + "\nboth.jpg " + Crc("bytes") + "\n");
    Add(c, "/set/m.md5", Md5("good") + "  md5.png\n" + Md5("other") + "  both.jpg\n" + Md5("bytes") + "  md5par.jpg\n");
    Add(c, "/set/p.par", BuildPar({{u"par.gif", "good"}, {u"md5par.jpg", "other"}}));
    // Only the first kind counts, SFV before MD5 before PAR; unlisted names and non-images are not checked.
    for (const char* name : {"/set/sfv.jpg", "/set/md5.png", "/set/par.gif", "/set/unlisted.jpg", "notes.txt"}) Check(c, name, "good");
    Check(c, "/set/both.jpg", "bytes");
    Check(c, "/set/md5par.jpg", "bytes");
    EXPECT_TRUE(ui.shown.empty());
    for (int pass = 0; pass < 2; ++pass)
        for (const char* name : {"/set/sfv.jpg", "/set/MD5.png", "/set/par.gif"}) Check(c, name, "bad!");
    EXPECT_EQ(Captions(ui), "SFV file checksum error: /set/sfv.jpg\nMD5 file checksum error: /set/MD5.png\n"
                            "PAR file checksum error: /set/par.gif\n");
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

    FakeUi missingUi;
    TCheckChecksums m;
    const TStringList present = ListOf({"/set/ONE.JPG", "/set/s.sfv", "/set/Three.jpg"});
    m.CheckAllFilesPesent(present);  // nothing read yet
    Add(m, "/set/s.sfv", "One.jpg 1\nTwo.jpg 2\nThree.jpg 3\n");
    m.CheckAllFilesPesent(present);
    m.CheckAllFilesPesent(present);
    Check(m, "/set/Two.jpg", "anything");
    Add(m, "/set/more.md5", "1  Four.jpg\n2 *Five.jpg\n");
    m.CheckAllFilesPesent(present);
    EXPECT_EQ(Captions(missingUi), "File missing from checksum list: Two.jpg\nFiles missing from checksum list: Four.jpg,\nFive.jpg\n");
    m.Clear();
    EXPECT_EQ(m.EntryCount() + m.FilesReadCount(), 0);
    TStringList missing;
    Add(m, "s.sfv", "a.jpg 1\nb.jpg 2\n");  // read again after Clear
    m.CheckAllFilesPesent(ListOf({"a.jpg"}), &missing);
    EXPECT_EQ(missing.Items(), std::vector<std::string>{"b.jpg"});
}

// Lists written by Debian's own tools: the tool runs as command, the names, out.
void ExpectToolWrittenListWorks(const std::string& command, const std::string& out, const std::string& list,
                                const std::string& caption, bool backslash = false) {
    if (std::system(("command -v " + command.substr(0, command.find(' ')) + " >/dev/null").c_str())) GTEST_SKIP() << command;
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> files = {
        {"Page 01.jpg", RandomBytes(40000, 11)}, {"page-02 (b).png", RandomBytes(17000, 12)}, {"cover.GIF", RandomBytes(5, 13)},
        {"notes.txt", "read me\n"}};
    if (backslash) files.push_back({"back\\slash.bmp", RandomBytes(300, 14)});  // md5sum escapes its line
    std::string names;
    for (auto& [name, bytes] : files) dir.Write(name, bytes), names += " '" + name + "'";
    ASSERT_EQ(std::system(("cd '" + dir.Path() + "' && " + command + names + out + " 2>/dev/null").c_str()), 0);
    if (backslash) {
        EXPECT_NE(ReadFileBytes(dir.File(list)).find("\n\\"), std::string::npos) << "md5sum escaped nothing";
    }
    FakeUi ui;
    TCheckChecksums c;
    TMemoryStream s;
    ASSERT_TRUE(s.LoadFromFile(dir.File(list)) && c.AddChecksumFile(dir.File(list), s));
    EXPECT_EQ(c.EntryCount(), int(files.size()) - 1);
    TStringList present;
    for (auto& [name, bytes] : files) Check(c, dir.File(name), bytes), present.Add(dir.File(name));
    c.CheckAllFilesPesent(present);
    files[1].second[9000] ^= 1;
    Check(c, dir.File(files[1].first), files[1].second);
    EXPECT_EQ(Captions(ui), caption + ": " + dir.File(files[1].first) + "\n") << "only the damaged file";
}

TEST(Checksums, ListsWrittenByCksfvMd5sumAndParchive) {
    ExpectToolWrittenListWorks("cksfv", " > set.sfv", "set.sfv", "SFV file checksum error");
    ExpectToolWrittenListWorks("md5sum -b", " > binary.md5", "binary.md5", "MD5 file checksum error", true);
    ExpectToolWrittenListWorks("parchive a -n1 set.par", " > /dev/null", "set.par", "PAR file checksum error");
}

// ---- MD5 and the stream checksums ----

TEST(MD5, TestSuiteOfTheRfc) {
    const std::pair<std::string, const char*> rfc[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"}, {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"}, {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890", "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"}};
    for (const auto& [text, digest] : rfc) EXPECT_EQ(Md5(text), digest) << text.size() << " bytes";
}

TEST(MD5, StreamChecksumsFromPositionZeroAndRewound) {
    const std::string text = "123456789";
    TMemoryStream mem = StreamOf(text);
    TByteViewStream view(text.data(), int64_t(text.size()));  // read block by block, not in place
    for (TStream* s : {static_cast<TStream*>(&mem), static_cast<TStream*>(&view)}) {
        s->Seek(4, SeekOrigin::Begin);
        EXPECT_EQ(StreamCRC32(*s, s->Size()), 0xCBF43926u);
        EXPECT_EQ(s->Position(), 0);
        s->Seek(0, SeekOrigin::End);
        EXPECT_EQ(MD5ToHex(StreamMD5(*s, 3)), Md5("123")) << "only the first size bytes count";
        EXPECT_TRUE(s->Position() == 0 && StreamCRC32(*s, 0) == 0 && StreamCRC32(*s, 1 << 20) == 0xCBF43926u);
    }
    const std::string data = RandomBytes(16384 * 3 + 77, 5);  // several blocks of the view stream
    TByteViewStream v(data.data(), int64_t(data.size()));
    EXPECT_EQ(MD5ToHex(StreamMD5(v, v.Size())), Md5(data));
}
