// Listing archives: end records, comments, trailing bytes, self-extractor prefixes, sets,
// and rewriting the archive comment.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ZipTestSupport.h"
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
    // Writes archives with the Python helper; body uses make_zip/entry/write.
    void Py(const std::string& body) { ASSERT_TRUE(RunPython(tmp.Path(), std::string(kZipPy) + body)); }
    std::vector<std::string> Names() const {
        std::vector<std::string> r;
        for (auto& e : c.ZipContents()) r.push_back(e->FileName);
        return r;
    }
    std::string Member(const std::string& name) {
        TZipStream* s = c.ExtractFileToStream(name);
        return s ? std::string(reinterpret_cast<const char*>(s->Memory()), static_cast<size_t>(s->Size())) : "<null>";
    }
    FakeUi ui;
    TempDir tmp;
    TZipComponent c;
    int updates = 0;
};

}  // namespace

TEST_F(ZipList, InfoZipArchiveWithFolderEntriesAndComments) {
    tmp.Write("src/pages/p1.txt", "page one");
    tmp.Write("src/pages/p2.txt", std::string(5000, 'z'));
    tmp.Write("src/cover.txt", "cover");
    std::string zip = tmp.File("book.cbz");
    ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && zip -qr " + Quote(zip) + " cover.txt pages"), 0);
    ASSERT_EQ(RunShell("echo 'Archive comment' | zip -qz " + Quote(zip)), 0);
    std::vector<int> seq;
    c.OnNewName = [&](TZipComponent*, int n, const ZipDirEntry&) { seq.push_back(n); };
    c.SetZipFileName(zip);
    EXPECT_EQ(updates, 1);
    EXPECT_EQ(Names(), (std::vector<std::string>{"cover.txt", "pages\\p1.txt", "pages\\p2.txt"}));
    EXPECT_EQ(seq, (std::vector<int>{1, 3, 4}));  // the folder entry, number 2, is left out
    EXPECT_EQ(c.DirOnlyCount(), 1);
    EXPECT_EQ(c.GetZipComment(), "Archive comment");
    EXPECT_EQ(c.SFXOffset(), 0);
    EXPECT_TRUE(ui.shown.empty());
    const ZipDirEntry& e = *c.ZipContents()[2];
    EXPECT_EQ(e.UncomprSize, 5000u);
    EXPECT_EQ(e.ComprMethod, 8);
    EXPECT_EQ(e.RawFileName, "pages/p2.txt");
    EXPECT_FALSE(e.ExtraData.empty());  // Info-ZIP writes time and owner fields
    EXPECT_EQ(e.ExtraData.size(), e.ExtraFieldLength);

    EXPECT_EQ(Member("PAGES\\P1.TXT"), "page one");
    EXPECT_EQ(Member("pages/p2.txt"), std::string(5000, 'z'));
    EXPECT_EQ(c.ZipStream()->Position(), 0);
    EXPECT_EQ(c.ExtractFileToStream("pages\\p3.txt"), nullptr);
    EXPECT_EQ(c.FSpecArgs().Count(), 0);

    c.UseDirOnlyEntries = true;
    c.SetZipFileName(zip);
    EXPECT_EQ(c.GetCount(), 4);
    EXPECT_EQ(c.ZipContents()[1]->FileName, "pages\\");

    // The directory stays as read until the next listing; no name, no count.
    c.SetZipFileName("");
    EXPECT_EQ(c.GetCount(), 0);
    EXPECT_EQ(updates, 3);
}

TEST_F(ZipList, EndRecordSearchCommentsAndTrailingBytes) {
    Py(R"PY(
es = [entry(b'a.txt', b'alpha' * 10), entry(b'b.txt', b'beta', method=0)]
write('plain.zip', make_zip(es))
write('comment.zip', make_zip(es, comment=b'c' * 100))
write('padded.zip', make_zip(es, suffix=b'\0' * 0))
base = make_zip(es)
pad = 512 - len(base) % 512
write('zeros.zip', base + b'\0' * pad)
write('junk.zip', base + b'\x01' * 300)
fake = b'PK\x05\x06' + b'\0' * 16 + b'\xff\xff'
write('fakecomment.zip', make_zip(es, comment=b'note' + fake))
inner = b'PK\x05\x06' + b'\0' * 16 + b'\x05\x00'
write('quick.zip', make_zip(es, comment=inner))
write('runaway.zip', make_zip(es, fake_comment_len=40))
write('empty.zip', make_zip([]))
)PY");
    auto list = [&](const char* name) {
        ui.shown.clear();
        c.SetZipFileName(tmp.File(name));
        return Names();
    };
    std::vector<std::string> two = {"a.txt", "b.txt"};
    EXPECT_EQ(list("plain.zip"), two);
    EXPECT_EQ(c.EOCPosition(), FileSize(tmp.File("plain.zip")) - 22);
    EXPECT_EQ(list("comment.zip"), two);
    EXPECT_EQ(c.GetZipComment(), std::string(100, 'c'));
    EXPECT_TRUE(ui.shown.empty());

    EXPECT_EQ(list("zeros.zip"), two);  // padding to a 512-byte block is no garbage
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(c.ZipFileSize() + (FileSize(tmp.File("zeros.zip")) - c.ZipFileSize()), FileSize(tmp.File("zeros.zip")));
    EXPECT_EQ(list("junk.zip"), two);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "Warning - Garbage at the end of the zipfile!");
    EXPECT_EQ(c.ZipFileSize(), FileSize(tmp.File("junk.zip")) - 300);
    EXPECT_EQ(Member("b.txt"), "beta");

    // A signature in the comment whose comment would run past the file is no record.
    EXPECT_EQ(list("fakecomment.zip"), two);
    EXPECT_TRUE(ui.shown.empty());
    // The last 22 bytes look like a record but carry a comment length: no quick match.
    EXPECT_EQ(list("quick.zip"), two);
    EXPECT_EQ(c.GetZipComment().size(), 22u);
    // The real record's comment runs past the file: not a zip archive.
    EXPECT_TRUE(list("runaway.zip").empty());
    EXPECT_EQ(c.ErrCode(), DS_NoValidZip);

    EXPECT_TRUE(list("empty.zip").empty());
    EXPECT_EQ(c.ZipFileName(), tmp.File("empty.zip"));
    EXPECT_EQ(c.SFXOffset(), 0);
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(ZipList, SelfExtractorPrefixes) {
    Py(R"PY(
es = [entry(b'p1.jpg', b'one' * 100), entry(b'p2.jpg', b'two', method=0)]
stub = b'MZ' + b'\x90' * 998
write('shifted.zip', make_zip(es, prefix=stub))
write('fromfile.zip', make_zip(es, prefix=stub, offsets_from_file=True))
write('stub.bin', stub)
)PY");
    c.SetZipFileName(tmp.File("shifted.zip"));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "Warning - Error in zip structure!");
    EXPECT_EQ(c.GetCount(), 2);
    EXPECT_EQ(c.SFXOffset(), 1000);
    EXPECT_EQ(Member("p1.jpg"), std::string(300, 'o').replace(0, 300, [] {
        std::string s;
        for (int i = 0; i < 100; ++i) s += "one";
        return s;
    }()));
    EXPECT_EQ(Member("p2.jpg"), "two");

    ui.shown.clear();
    c.SetZipFileName(tmp.File("fromfile.zip"));
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(c.SFXOffset(), 1000);
    EXPECT_EQ(Member("p2.jpg"), "two");

    // An Info-ZIP archive behind a stub, its offsets fixed with zip -A.
    tmp.Write("src/page.txt", "adjusted");
    ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && zip -q ../inner.zip page.txt"), 0);
    ASSERT_EQ(RunShell("cd " + Quote(tmp.Path()) + " && cat stub.bin inner.zip > sfx.zip && zip -qA sfx.zip"), 0);
    ui.shown.clear();
    c.SetZipFileName(tmp.File("sfx.zip"));
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(c.SFXOffset(), 1000);
    EXPECT_EQ(Member("page.txt"), "adjusted");
}

TEST_F(ZipList, NamesInCp437AndUtf8) {
    Py(R"PY(
import zipfile
write('names.zip', make_zip([
    entry(b'caf\x82.jpg', b'oem', made_by=0x0014),
    entry('ni\u00f1o.jpg'.encode(), b'utf8', flags=0x800),
    entry(b'dos/\x9c.jpg', b'pound', made_by=0x0032),
]))
)PY");
    c.SetZipFileName(tmp.File("names.zip"));
    EXPECT_EQ(Names(), (std::vector<std::string>{"caf\xC3\xA9.jpg", "ni\xC3\xB1o.jpg", "dos\\\xC2\xA3.jpg"}));
    EXPECT_EQ(c.ZipContents()[0]->RawFileName, "caf\x82.jpg");
    EXPECT_EQ(Member("CAF\xC3\xA9.JPG"), "oem");
    EXPECT_EQ(Member("dos\\\xC2\xA3.jpg"), "pound");
    c.CodePage = cpNone;
    c.SetZipFileName(tmp.File("names.zip"));
    EXPECT_EQ(Names()[0], "caf\x82.jpg");
    EXPECT_EQ(Member("caf\x82.jpg"), "oem");
}

TEST_F(ZipList, NotAnArchiveMissingAndDamaged) {
    tmp.Write("text.cbz", std::string(3000, 't'));
    c.SetZipFileName(tmp.File("text.cbz"));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "This archive is not a valid Zip archive");
    EXPECT_EQ(c.ZipFileName(), "");
    EXPECT_EQ(c.GetCount(), 0);
    EXPECT_EQ(updates, 1);

    ui.shown.clear();
    c.SetZipFileName(tmp.File("nothing.zip"));
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(updates, 2);
    EXPECT_EQ(c.GetCount(), 0);
    c.SetZipFileName(tmp.Path());  // a directory is no archive file
    EXPECT_TRUE(ui.shown.empty());

    Py(R"PY(
es = [entry(b'a%d.txt' % i, b'x' * i) for i in range(5)]
z = bytearray(make_zip(es))
write('badsig.zip', bytes(z.replace(b'PK\x01\x02', b'PK\x01\x03', 1)))
end = z.rfind(b'PK\x05\x06')
big = bytearray(z); big[end + 12:end + 16] = (10**9).to_bytes(4, 'little')
write('bigdir.zip', bytes(big))
many = bytearray(z); many[end + 10:end + 12] = (60000).to_bytes(2, 'little'); many[end + 8:end + 10] = (60000).to_bytes(2, 'little')
write('count.zip', bytes(many))
)PY");
    c.Unattended = true;
    c.SetZipFileName(tmp.File("badsig.zip"));
    EXPECT_EQ(c.ErrCode(), DS_CEHWrongSig);
    EXPECT_EQ(c.GetCount(), 0);
    c.SetZipFileName(tmp.File("bigdir.zip"));  // the directory would start before the file
    EXPECT_EQ(c.ErrCode(), DS_NoValidZip);
    c.SetZipFileName(tmp.File("count.zip"));  // more entries announced than there are
    EXPECT_EQ(c.ErrCode(), DS_CEHBadRead);
    EXPECT_EQ(c.ZipContents().size(), 5u);  // what was read stays
    EXPECT_EQ(c.GetCount(), 0);
}

TEST_F(ZipList, Zip64IsRefusedWithAClearMessage) {
    tmp.Write("src/a.txt", "sixty-four");
    if (RunShell("cd " + Quote(tmp.File("src")) + " && zip -q -fz ../z64.zip a.txt 2>/dev/null") != 0)
        GTEST_SKIP() << "zip cannot force zip64";
    c.SetZipFileName(tmp.File("z64.zip"));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "This archive needs the zip64 extensions, which are not supported");
    EXPECT_EQ(c.GetCount(), 0);
}

TEST_F(ZipList, SplitSetsListButAreNotMisread) {
    std::string big;
    for (int i = 0; i < 150000; ++i) big += static_cast<char>((i * 7919) % 251);
    tmp.Write("src/big.bin", big);
    tmp.Write("src/small.txt", "small");
    ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && zip -q -0 -s 64k ../split.zip big.bin small.txt"), 0);
    // The last part holds the directory: the set lists.
    c.SetZipFileName(tmp.File("split.zip"));
    EXPECT_EQ(Names(), (std::vector<std::string>{"big.bin", "small.txt"}));
    EXPECT_TRUE(c.Spanned());
    // Extraction needs the volumes joined first, which is refused clearly.
    ui.shown.clear();
    EXPECT_EQ(c.ExtractFileToStream("small.txt"), nullptr);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_NE(ui.shown[0].text.find("multi-disk set"), std::string::npos);
    // The first part is recognised as such.
    ui.shown.clear();
    c.SetZipFileName(tmp.File("split.z01"));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "This is the first file in a backup set,\nplease choose the last file of this set");
    EXPECT_EQ(c.GetCount(), 0);
}

TEST_F(ZipList, SetZipComment) {
    Py(R"PY(
es = [entry(b'a.txt', b'alpha')]
write('c.zip', make_zip(es, comment=b'an old and rather long comment'))
write('g.zip', make_zip(es, comment=b'old') + b'trailing garbage')
)PY");
    std::string zip = tmp.File("c.zip");
    c.SetZipFileName(zip);
    int64_t eoc = c.EOCPosition();
    c.SetZipComment("short");
    EXPECT_EQ(c.GetZipComment(), "short");
    EXPECT_EQ(FileSize(zip), eoc + 22 + 5);
    EXPECT_EQ(ReadFileBytes(zip).substr(static_cast<size_t>(eoc + 22)), "short");
    EXPECT_TRUE(UnzipTestPasses(zip));
    c.SetZipComment("");
    EXPECT_EQ(FileSize(zip), eoc + 22);
    c.SetZipFileName(zip);
    EXPECT_EQ(c.GetZipComment(), "");
    EXPECT_EQ(updates, 2);  // writing a comment lists nothing

    ui.shown.clear();
    c.SetZipFileName(tmp.File("g.zip"));
    ui.shown.clear();
    c.SetZipComment("new");
    EXPECT_EQ(ReadFileBytes(tmp.File("g.zip")).substr(static_cast<size_t>(c.EOCPosition() + 22)), "new");
    EXPECT_TRUE(UnzipTestPasses(tmp.File("g.zip")));

    // The file changed under us: no record at the old place, nothing written.
    std::string before = ReadFileBytes(zip);
    c.SetZipFileName(zip);
    tmp.Write("c.zip", "X" + before);
    c.SetZipComment("late");
    EXPECT_EQ(ui.shown.back().text, "Error while reading the End Of Central Directory");
    EXPECT_EQ(c.GetZipComment(), "");
    EXPECT_EQ(ReadFileBytes(zip), "X" + before);

    TZipComponent none;
    none.SetZipComment("x");
    EXPECT_EQ(ui.shown.back().text, "Input file does not exist");
    EXPECT_EQ(none.GetZipComment(), "");
    // A comment longer than the record can announce is cut.
    c.SetZipFileName(tmp.File("g.zip"));
    c.SetZipComment(std::string(70000, 'L'));
    EXPECT_EQ(c.GetZipComment().size(), 65535u);
}
