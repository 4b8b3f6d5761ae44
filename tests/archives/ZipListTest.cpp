// Listing archives: end records, comments, trailing bytes, self-extractor prefixes, names,
// damaged and refused archives, split sets, and rewriting the archive comment.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ArchiveTestSupport.h"
#include "archives/zip/ZipComponent.h"
#include "platform/Text.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

class ZipList : public ::testing::Test {
protected:
    void SetUp() override {
        ZIP_REQUIRE_TOOLS();
        c.SetDLLDirectory(ModuleDir());
        c.OnDirUpdate = [this](TZipComponent* s) {
            EXPECT_EQ(s, &c);
            ++updates;
        };
    }
    void Py(const std::string& body) { ASSERT_TRUE(RunPython(tmp.Path(), std::string(kZipPy) + body)); }
    void Zip(const std::string& args) { ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && zip -q " + args), 0) << args; }
    // Lists the archive; its member names, the messages shown cleared before.
    std::string List(const std::string& file) {
        ui.shown.clear();
        c.SetZipFileName(tmp.File(file));
        std::string names;
        for (auto& e : c.ZipContents()) names += (names.empty() ? "" : ",") + e->FileName;
        return names;
    }
    std::string Shown() const { return ui.shown.empty() ? "" : ui.shown.back().text; }
    std::string Member(const std::string& name) { return Bytes(c.ExtractFileToStream(name)); }
    FakeUi ui;
    TempDir tmp;
    TZipComponent c;
    int updates = 0;
};

TEST_F(ZipList, InfoZipArchiveWithFolderEntriesAndComments) {
    tmp.Write("src/pages/p1.txt", "page one");
    tmp.Write("src/pages/p2.txt", std::string(5000, 'z'));
    tmp.Write("src/cover.txt", "cover");
    Zip("-r ../book.cbz cover.txt pages");
    ASSERT_EQ(RunShell("echo 'Archive comment' | zip -qz " + Quote(tmp.File("book.cbz"))), 0);
    std::vector<int> seq;
    c.OnNewName = [&](TZipComponent*, int n, const ZipDirEntry&) { seq.push_back(n); };
    EXPECT_EQ(List("book.cbz"), "cover.txt,pages\\p1.txt,pages\\p2.txt");
    EXPECT_EQ(seq, (std::vector<int>{1, 3, 4})) << "the folder entry, number 2, is left out";
    EXPECT_EQ(std::to_string(updates) + std::to_string(c.DirOnlyCount()) + std::to_string(c.SFXOffset()) + c.GetZipComment() + Shown(),
              "110Archive comment");
    const ZipDirEntry& e = *c.ZipContents()[2];
    EXPECT_EQ(std::to_string(e.UncomprSize) + " " + e.RawFileName, "5000 pages/p2.txt");
    EXPECT_TRUE(!e.ExtraData.empty() && e.ExtraData.size() == e.ExtraFieldLength) << "Info-ZIP writes time and owner fields";
    // Names are found without case and with either slash.
    EXPECT_EQ(Member("PAGES\\P1.TXT"), "page one");
    EXPECT_EQ(Member("pages/p2.txt"), std::string(5000, 'z'));
    EXPECT_EQ(c.ZipStream()->Position(), 0);
    EXPECT_EQ(c.ExtractFileToStream("pages\\p3.txt"), nullptr);
    c.UseDirOnlyEntries = true;
    EXPECT_EQ(List("book.cbz"), "cover.txt,pages\\,pages\\p1.txt,pages\\p2.txt");
    // The directory stays as read until the next listing; no name, no count.
    c.SetZipFileName("");
    EXPECT_EQ(c.GetCount() * 10 + updates, 3);
}

TEST_F(ZipList, EndRecordSearchCommentsAndTrailingBytes) {
    Py(R"PY(
es = [entry(b'a.txt', b'alpha' * 10), entry(b'b.txt', b'beta', method=0)]
base = make_zip(es)
write('plain.zip', base)
write('comment.zip', make_zip(es, comment=b'c' * 100))
write('zeros.zip', base + b'\0' * (512 - len(base) % 512))
write('junk.zip', base + b'\x01' * 300)
write('fakecomment.zip', make_zip(es, comment=b'note' + b'PK\x05\x06' + b'\0' * 16 + b'\xff\xff'))
write('quick.zip', make_zip(es, comment=b'PK\x05\x06' + b'\0' * 16 + b'\x05\x00'))
write('runaway.zip', make_zip(es, fake_comment_len=40))
write('empty.zip', make_zip([]))
)PY");
    // Found without the scan; by the scan, with the comment; padding to a 512-byte block is
    // no garbage, other trailing bytes are; a signature in the comment whose comment would run
    // past the file is no record; the last 22 bytes look like a record but carry a comment
    // length: no quick match.
    int64_t pad = FileSize(tmp.File("zeros.zip")) - FileSize(tmp.File("plain.zip"));
    const struct {
        const char* zip;
        size_t comment;
        int64_t trailing;
        const char* shown;
    } cases[] = {{"plain.zip", 0, 0, ""}, {"comment.zip", 100, 0, ""}, {"zeros.zip", 0, pad, ""},
                 {"junk.zip", 0, 300, "Warning - Garbage at the end of the zipfile!"}, {"fakecomment.zip", 26, 0, ""},
                 {"quick.zip", 22, 0, ""}};
    for (const auto& k : cases) {
        EXPECT_EQ(List(k.zip), "a.txt,b.txt");
        EXPECT_EQ(Shown(), k.shown) << k.zip;
        EXPECT_EQ(c.ZipCommentRaw().size(), k.comment) << k.zip;
        EXPECT_EQ(FileSize(tmp.File(k.zip)) - c.ZipFileSize(), k.trailing) << k.zip;
        EXPECT_EQ(c.EOCPosition(), c.ZipFileSize() - 22 - int64_t(k.comment)) << k.zip;
    }
    EXPECT_EQ(Member("b.txt"), "beta");
    // The real record's comment runs past the file: not a zip archive.
    EXPECT_EQ(List("runaway.zip"), "");
    EXPECT_EQ(c.ErrCode(), DS_NoValidZip);
    EXPECT_EQ(List("empty.zip"), "");
    EXPECT_EQ(Shown() + std::to_string(c.SFXOffset()), "0");
    EXPECT_EQ(c.ZipFileName(), tmp.File("empty.zip"));
}

TEST_F(ZipList, SelfExtractorPrefixes) {
    Py(R"PY(
es = [entry(b'p1.jpg', b'one' * 100), entry(b'p2.jpg', b'two', method=0)]
stub = b'MZ' + b'\x90' * 998
write('shifted.zip', make_zip(es, prefix=stub))
write('fromfile.zip', make_zip(es, prefix=stub, offsets_from_file=True))
write('stub.bin', stub)
)PY");
    EXPECT_EQ(List("shifted.zip"), "p1.jpg,p2.jpg");
    EXPECT_EQ(Shown(), "Warning - Error in zip structure!");
    EXPECT_EQ(c.SFXOffset(), 1000);
    EXPECT_EQ(Member("p1.jpg"), Repeat("one", 100));
    EXPECT_EQ(Member("p2.jpg"), "two");
    EXPECT_EQ(List("fromfile.zip"), "p1.jpg,p2.jpg");
    EXPECT_EQ(Shown(), "");
    EXPECT_EQ(c.SFXOffset(), 1000);
    EXPECT_EQ(Member("p2.jpg"), "two");
    // An Info-ZIP archive behind a stub, its offsets fixed with zip -A.
    tmp.Write("src/page.txt", "adjusted");
    Zip("../inner.zip page.txt");
    ASSERT_EQ(RunShell("cd " + Quote(tmp.Path()) + " && cat stub.bin inner.zip > sfx.zip && zip -qA sfx.zip"), 0);
    EXPECT_EQ(List("sfx.zip"), "page.txt");
    EXPECT_EQ(Shown(), "");
    EXPECT_EQ(c.SFXOffset(), 1000);
    EXPECT_EQ(Member("page.txt"), "adjusted");
}

// Names in CP437 unless valid UTF-8 from a Unix host or flagged as UTF-8; a DOS-family host
// with version byte 50 means CP437 whatever the bytes.
TEST_F(ZipList, NamesInCp437AndUtf8) {
    Py(R"PY(
write('names.zip', make_zip([entry(b'caf\x82.jpg', b'oem', made_by=0x0014), entry(b'ni\xc3\xb1o.jpg', b'utf8', flags=0x800),
    entry(b'dos/\xc2\xa3.jpg', b'dos', made_by=0x0032), entry(b'unix\xc2\xa3.jpg', b'unix', made_by=0x031E)]))
)PY");
    EXPECT_EQ(List("names.zip"), "caf\xC3\xA9.jpg,ni\xC3\xB1o.jpg,dos\\\xE2\x94\xAC\xC3\xBA.jpg,unix\xC2\xA3.jpg");
    EXPECT_EQ(c.ZipContents()[0]->RawFileName, "caf\x82.jpg");
    EXPECT_EQ(Member("CAF\xC3\xA9.JPG"), "oem");
    EXPECT_EQ(Member("dos\\\xE2\x94\xAC\xC3\xBA.jpg"), "dos");
    c.CodePage = cpOEM;  // every name but the flagged one
    EXPECT_EQ(List("names.zip"), "caf\xC3\xA9.jpg,ni\xC3\xB1o.jpg,dos\\\xE2\x94\xAC\xC3\xBA.jpg,unix\xE2\x94\xAC\xC3\xBA.jpg");
    c.CodePage = cpNone;
    EXPECT_EQ(List("names.zip"), "caf\x82.jpg,ni\xC3\xB1o.jpg,dos\\\xC2\xA3.jpg,unix\xC2\xA3.jpg");
    EXPECT_EQ(Member("caf\x82.jpg"), "oem");
}

TEST_F(ZipList, NotAnArchiveMissingDamagedAndZip64) {
    tmp.Write("text.cbz", std::string(3000, 't'));
    EXPECT_EQ(List("text.cbz"), "");
    EXPECT_EQ(Shown(), "This archive is not a valid Zip archive");
    EXPECT_EQ(c.ZipFileName(), "");
    EXPECT_EQ(updates, 1) << "the event comes after a failed read too";
    EXPECT_EQ(List("nothing.zip"), "");
    EXPECT_EQ(Shown(), "");
    EXPECT_EQ(updates, 2);
    c.SetZipFileName(tmp.Path());  // a directory is no archive file
    EXPECT_EQ(Shown(), "");

    Py(R"PY(
z = bytearray(make_zip([entry(b'a%d.txt' % i, b'x' * i) for i in range(5)]))
end = z.rfind(b'PK\x05\x06')
write('badsig.zip', bytes(z.replace(b'PK\x01\x02', b'PK\x01\x03', 1)))
big = bytearray(z); big[end + 12:end + 16] = (10**9).to_bytes(4, 'little')
write('bigdir.zip', bytes(big))
many = bytearray(z); many[end + 8:end + 12] = (60000).to_bytes(2, 'little') * 2
write('count.zip', bytes(many))
)PY");
    c.Unattended = true;
    const std::pair<const char*, int> damaged[] = {
        {"badsig.zip", DS_CEHWrongSig},
        {"bigdir.zip", DS_NoValidZip},  // the directory would start before the file
        {"count.zip", DS_CEHBadRead},   // more entries announced than there are
    };
    for (const auto& [file, error] : damaged) {
        c.SetZipFileName(tmp.File(file));
        EXPECT_EQ(c.ErrCode(), error) << file;
        EXPECT_EQ(c.GetCount(), 0) << file;
    }
    EXPECT_EQ(c.ZipContents().size(), 5u) << "what was read stays";

    c.Unattended = false;
    tmp.Write("src/a.txt", "sixty-four");
    if (RunShell("cd " + Quote(tmp.File("src")) + " && zip -q -fz ../z64.zip a.txt 2>/dev/null") != 0) return;
    EXPECT_EQ(List("z64.zip"), "");
    EXPECT_EQ(Shown(), "This archive needs the zip64 extensions, which are not supported");
    EXPECT_EQ(c.GetCount(), 0);
}

TEST_F(ZipList, SplitSetsListButAreNotMisread) {
    std::string big;
    for (int i = 0; i < 150000; ++i) big += static_cast<char>((i * 7919) % 251);
    tmp.Write("src/big.bin", big);
    tmp.Write("src/small.txt", "small");
    Zip("-0 -s 64k ../split.zip big.bin small.txt");
    EXPECT_EQ(List("split.zip"), "big.bin,small.txt") << "the last part holds the directory";
    EXPECT_TRUE(c.Spanned());
    ui.shown.clear();
    EXPECT_EQ(c.ExtractFileToStream("small.txt"), nullptr) << "the volumes must be joined first";
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_NE(Shown().find("multi-disk set"), std::string::npos);
    EXPECT_EQ(List("split.z01"), "");
    EXPECT_EQ(Shown(), "This is the first file in a backup set,\nplease choose the last file of this set");
}

TEST_F(ZipList, SetZipComment) {
    Py(R"PY(
write('c.zip', make_zip([entry(b'a.txt', b'alpha')], comment=b'an old and rather long comment'))
write('g.zip', make_zip([entry(b'a.txt', b'alpha')], comment=b'old') + b'trailing garbage')
)PY");
    std::string zip = tmp.File("c.zip");
    List("c.zip");
    int64_t eoc = c.EOCPosition();
    c.SetZipComment("short");
    EXPECT_EQ(c.GetZipComment(), "short");
    EXPECT_EQ(ReadFileBytes(zip).substr(static_cast<size_t>(eoc + 20)), std::string("\x05\0short", 7)) << "cut after it";
    EXPECT_TRUE(UnzipTestPasses(zip));
    c.SetZipComment("");
    EXPECT_EQ(FileSize(zip), eoc + 22);
    EXPECT_EQ(updates, 1) << "writing a comment lists nothing";
    List("g.zip");
    c.SetZipComment("new");
    EXPECT_EQ(ReadFileBytes(tmp.File("g.zip")).substr(static_cast<size_t>(c.EOCPosition() + 22)), "new");
    EXPECT_TRUE(UnzipTestPasses(tmp.File("g.zip")));
    c.SetZipComment(std::string(70000, 'L'));
    EXPECT_EQ(c.GetZipComment().size(), 65535u) << "cut to what the record can announce";
    // The file changed under us: no record at the old place, nothing written.
    std::string before = ReadFileBytes(zip);
    List("c.zip");
    tmp.Write("c.zip", "X" + before);
    c.SetZipComment("late");
    EXPECT_EQ(Shown(), "Error while reading the End Of Central Directory");
    EXPECT_EQ(c.GetZipComment(), "");
    EXPECT_EQ(ReadFileBytes(zip), "X" + before);
    TZipComponent none;
    none.SetZipComment("x");
    EXPECT_EQ(Shown(), "Input file does not exist");
    EXPECT_EQ(none.GetZipComment(), "");
}

}  // namespace
