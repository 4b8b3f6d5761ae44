// The zip component on archives: listing (end records, comments, trailing bytes,
// self-extractor prefixes, names, damaged and refused archives, split sets, the archive
// comment) and extraction (the records the library receives through the recording fake,
// the version gate, loading for the operation's duration, the real library end to end, and
// the peer test data).
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <map>

#include "ArchiveTestSupport.h"
#include "archives/UnArchive.h"
#include "archives/UnArchiveZip.h"
#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipRecords.h"
#include "platform/Text.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

class ZipArchive : public ::testing::Test {
protected:
    void SetUp() override {
        ZIP_REQUIRE_TOOLS();
        c.SetDLLDirectory(ModuleDir());
        c.OnDirUpdate = [this](TZipComponent* s) { updates += s == &c ? 1 : 1000; };
    }
    void Py(const std::string& body) { ASSERT_TRUE(RunPython(tmp.Path(), std::string(kZipPy) + body)); }
    void Zip(const std::string& args) { ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && zip -q " + args), 0) << args; }
    // Lists the archive: the names it counts, and "|" and the last message shown meanwhile.
    std::string List(const std::string& file) {
        ui.shown.clear();
        c.SetZipFileName(tmp.File(file));
        std::string names;
        for (int i = 0; i < c.GetCount(); ++i) names += (i ? "," : "") + c.ZipContents()[static_cast<size_t>(i)]->FileName;
        return names + (ui.shown.empty() ? "" : "|" + ui.shown.back().text);
    }
    std::string Member(const std::string& name) { return Bytes(c.ExtractFileToStream(name)); }
    // a.zip: a deflated member in a folder, an empty and a stored one; listed with the
    // library of the given folder.
    void OpenA(const std::string& dllDir) {
        Py("write('a.zip', make_zip([entry(b'Dir/Page1.jpg', b'jpeg bytes' * 30), entry(b'empty.jpg', b'', method=0),"
           " entry(b'stored.txt', b'stored', method=0)]))\n");
        c.SetDLLDirectory(dllDir);
        c.SetZipFileName(zip = tmp.File("a.zip"));
    }
    FakeUi ui;
    TempDir tmp;
    TZipComponent c;
    int updates = 0;
    std::string zip;
};

TEST_F(ZipArchive, InfoZipArchiveWithFolderEntriesAndComments) {
    tmp.Write("src/pages/p1.txt", "page one");
    tmp.Write("src/pages/p2.txt", std::string(5000, 'z'));
    tmp.Write("src/cover.txt", "cover");
    Zip("-r ../book.cbz cover.txt pages");
    ASSERT_EQ(RunShell("echo 'Archive comment' | zip -qz " + Quote(tmp.File("book.cbz"))), 0);
    std::vector<int> seq;
    c.OnNewName = [&](TZipComponent*, int n, const ZipDirEntry&) { seq.push_back(n); };
    EXPECT_EQ(List("book.cbz"), "cover.txt,pages\\p1.txt,pages\\p2.txt");
    EXPECT_EQ(seq, (std::vector<int>{1, 3, 4})) << "the folder entry, number 2, is left out";
    EXPECT_EQ(std::to_string(updates) + std::to_string(c.DirOnlyCount()) + std::to_string(c.SFXOffset()) + c.GetZipComment(),
              "110Archive comment");
    const ZipDirEntry& e = *c.ZipContents()[2];
    EXPECT_TRUE(!e.ExtraData.empty() && e.ExtraData.size() == e.ExtraFieldLength) << "Info-ZIP writes time and owner fields";
    EXPECT_EQ(Member("pages/p2.txt"), std::string(5000, 'z'));
    c.UseDirOnlyEntries = true;
    EXPECT_EQ(List("book.cbz"), "cover.txt,pages\\,pages\\p1.txt,pages\\p2.txt");
}

TEST_F(ZipArchive, EndRecordSearchCommentsAndTrailingBytes) {
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
pad = 512 - len(base) % 512
assert 1 < pad < 512
write('zeros_short.zip', base + b'\0' * (pad - 1))
write('zeros_block.zip', base + b'\0' * (pad + 512))
write('one_nonzero.zip', base + b'\0' * (pad - 1) + b'\x01')
)PY");
    // Found without the scan; by the scan, with the comment; padding to a 512-byte block is
    // no garbage, other trailing bytes are; a signature in the comment whose comment would run
    // past the file is no record; the last 22 bytes look like a record but carry a comment
    // length: no quick match.
    int64_t pad = FileSize(tmp.File("zeros.zip")) - FileSize(tmp.File("plain.zip"));
    const std::tuple<const char*, size_t, int64_t, std::string> cases[] = {
        {"plain.zip", 0, 0, ""}, {"comment.zip", 100, 0, ""}, {"zeros.zip", 0, pad, ""},
        {"junk.zip", 0, 300, "|Warning - Garbage at the end of the zipfile!"}, {"fakecomment.zip", 26, 0, ""}, {"quick.zip", 22, 0, ""}};
    for (const auto& [file, comment, trailing, shown] : cases) {
        EXPECT_EQ(List(file), "a.txt,b.txt" + shown);
        EXPECT_EQ(c.ZipCommentRaw().size(), comment) << file;
        EXPECT_EQ(FileSize(tmp.File(file)) - c.ZipFileSize(), trailing) << file;
        EXPECT_EQ(c.EOCPosition(), c.ZipFileSize() - 22 - int64_t(comment)) << file;
    }
    // Zeros count as padding only when they are fewer than 512 and end the file on a block
    // boundary: short of the boundary, a whole block or more, or a non-zero byte is garbage.
    for (const char* file : {"zeros_short.zip", "zeros_block.zip", "one_nonzero.zip"}) {
        EXPECT_EQ(List(file), "a.txt,b.txt|Warning - Garbage at the end of the zipfile!") << file;
        EXPECT_EQ(c.ZipFileSize(), FileSize(tmp.File("plain.zip"))) << file;
    }
    EXPECT_EQ(Member("b.txt"), "beta");
    EXPECT_EQ(List("runaway.zip"), "|This archive is not a valid Zip archive") << "the real record's comment runs past the file";
    EXPECT_EQ(List("empty.zip"), "");
    EXPECT_EQ(std::to_string(c.SFXOffset()) + c.ZipFileName(), "0" + tmp.File("empty.zip"));
}

TEST_F(ZipArchive, SelfExtractorPrefixes) {
    Py(R"PY(
es = [entry(b'p1.jpg', b'one' * 100), entry(b'p2.jpg', b'two', method=0)]
stub = b'MZ' + b'\x90' * 998
write('shifted.zip', make_zip(es, prefix=stub))
write('fromfile.zip', make_zip(es, prefix=stub, offsets_from_file=True))
)PY");
    EXPECT_EQ(List("shifted.zip"), "p1.jpg,p2.jpg|Warning - Error in zip structure!");
    EXPECT_EQ(c.SFXOffset(), 1000);
    EXPECT_EQ(Member("p1.jpg"), Repeat("one", 100));
    EXPECT_EQ(List("fromfile.zip"), "p1.jpg,p2.jpg");
    EXPECT_EQ(c.SFXOffset(), 1000);
    EXPECT_EQ(Member("p2.jpg"), "two");
}

// Names in CP437 unless valid UTF-8 from a Unix host or flagged as UTF-8; a DOS-family host
// with version byte 50 means CP437 whatever the bytes.
TEST_F(ZipArchive, NamesInCp437AndUtf8) {
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

TEST_F(ZipArchive, NotAnArchiveMissingDamagedAndZip64) {
    tmp.Write("text.cbz", std::string(3000, 't'));
    EXPECT_EQ(List("text.cbz"), "|This archive is not a valid Zip archive");
    EXPECT_EQ(c.ZipFileName(), "");
    EXPECT_EQ(List("nothing.zip"), "");
    EXPECT_EQ(updates, 2) << "the event comes after every read";
    EXPECT_EQ(List("."), "") << "a directory is no archive file";
    Py(R"PY(
z = bytearray(make_zip([entry(b'a%d.txt' % i, b'x' * i) for i in range(5)]))
end = z.rfind(b'PK\x05\x06')
write('badsig.zip', bytes(z.replace(b'PK\x01\x02', b'PK\x01\x03', 1)))
big = bytearray(z); big[end + 12:end + 16] = (10**9).to_bytes(4, 'little')
write('bigdir.zip', bytes(big))
many = bytearray(z); many[end + 8:end + 12] = (60000).to_bytes(2, 'little') * 2
write('count.zip', bytes(many))
)PY");
    // A wrong signature; a directory that would start before the file; more entries announced
    // than there are.
    for (auto [file, shown] : {std::pair{"badsig.zip", "|A central header signature is wrong"},
                               std::pair{"bigdir.zip", "|This archive is not a valid Zip archive"},
                               std::pair{"count.zip", "|Error while reading a central header"}}) {
        EXPECT_EQ(List(file), shown);
    }
    EXPECT_EQ(c.ZipContents().size(), 5u) << "what was read stays, uncounted";
    tmp.Write("src/a.txt", "sixty-four");
    if (RunShell("cd " + Quote(tmp.File("src")) + " && zip -q -fz ../z64.zip a.txt 2>/dev/null") != 0) return;
    EXPECT_EQ(List("z64.zip"), "|This archive needs the zip64 extensions, which are not supported");
}

TEST_F(ZipArchive, SplitSetsListAndExtractThroughTheJoiner) {
    std::string big;
    for (int i = 0; i < 150000; ++i) big += static_cast<char>((i * 7919) % 251);
    tmp.Write("src/big.bin", big);
    tmp.Write("src/small.txt", "small");
    Zip("-0 -s 64k ../split.zip big.bin small.txt");
    EXPECT_EQ(List("split.zip"), "big.bin,small.txt") << "the last part holds the directory";
    EXPECT_TRUE(c.Spanned());
    c.Load_Unz_Dll();
    EXPECT_EQ(Member("small.txt"), "small");
    EXPECT_EQ(Member("big.bin"), big) << "data running over three volume ends";
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(List("split.z01"), "|This is the first file in a backup set,\nplease choose the last file of this set");
}

TEST_F(ZipArchive, SetZipComment) {
    Py(R"PY(
write('c.zip', make_zip([entry(b'a.txt', b'alpha')], comment=b'an old and rather long comment'))
write('g.zip', make_zip([entry(b'a.txt', b'alpha')], comment=b'old') + b'trailing garbage')
)PY");
    std::string cz = tmp.File("c.zip"), gz = tmp.File("g.zip");
    List("c.zip");
    int64_t eoc = c.EOCPosition();
    c.SetZipComment("short");
    EXPECT_EQ(c.GetZipComment(), "short");
    EXPECT_EQ(ReadFileBytes(cz).substr(static_cast<size_t>(eoc + 20)), std::string("\x05\0short", 7)) << "cut after it";
    EXPECT_TRUE(UnzipTestPasses(cz));
    c.SetZipComment("");
    EXPECT_EQ(FileSize(cz), eoc + 22);
    EXPECT_EQ(updates, 1) << "writing a comment lists nothing";
    List("g.zip");
    c.SetZipComment("new");
    EXPECT_EQ(ReadFileBytes(gz).substr(static_cast<size_t>(c.EOCPosition() + 22)), "new");
    EXPECT_TRUE(UnzipTestPasses(gz));
    std::string before = ReadFileBytes(cz);  // the file changed under us: nothing written
    List("c.zip");
    tmp.Write("c.zip", "X" + before);
    c.SetZipComment("late");
    EXPECT_EQ(ui.shown.back().text + c.GetZipComment(), "Error while reading the End Of Central Directory");
    EXPECT_EQ(ReadFileBytes(cz), "X" + before);
    // Written in the OEM code page when asked; failures before anything is written.
    tmp.Write("c.zip", before);
    List("c.zip");
    c.CodePage = cpOEM;
    c.SetZipComment("caf\xC3\xA9");
    EXPECT_EQ(ReadFileBytes(cz).substr(static_cast<size_t>(c.EOCPosition() + 20)), std::string("\x04\0caf\x82", 6));
    EXPECT_EQ(c.GetZipComment(), "caf\xC3\xA9");
    std::filesystem::remove(cz);
    std::filesystem::create_directory(cz);  // no longer a file that opens for writing
    c.SetZipComment("x");
    EXPECT_EQ(std::to_string(c.ErrCode()) + ":" + ui.shown.back().text + c.GetZipComment(), "11002:Zip file could not be opened");
    TZipComponent none;
    none.SetZipComment("x");
    EXPECT_EQ(std::to_string(none.ErrCode()) + ":" + ui.shown.back().text, "11001:Input file does not exist");
}

TEST_F(ZipArchive, RecordsAsTheLibrarySeesThem) {
    FakeLib fake("full", true);
    ASSERT_TRUE(fake.Ok());
    OpenA(FakeDir("full"));
    c.Password = "secret";
    c.Verbose = true;
    c.CodePage = cpOEM;
    c.SetPasswordReqCount(3);
    c.ExtrOptions = {ExtrOverWrite, ExtrFreshen, ExtrUpdate, ExtrDirNames};
    c.ExtrBaseDir = tmp.Path();
    c.FSpecArgs().Add("*.jpg");
    c.FSpecArgs().Add("dir\\*");
    c.Extract();
    ASSERT_EQ(fake->records.size(), 1u);
    const FakeRecord& r = fake->records[0];
    const UnZipParams& p = r.p;
    EXPECT_FALSE(r.oldLayout);
    EXPECT_EQ(std::to_string(p.fSeven) + " " + std::to_string(p.fVersion) + " " + std::to_string(p.fWantedCodePage) + " " +
                  std::to_string(p.fPwdReqCount) + " " + r.password,
              "7 160 2 3 secret");
    // Quiet, verbose, update, directories, overwrite; freshen yields to update; no test, no stream.
    EXPECT_EQ(std::vector<int>({p.fQuiet, p.fVerboseEnabled, p.fUpdate, p.fDirectories, p.fOverwrite, p.fFreshen, p.fTest, p.fUseOutStream}),
              std::vector<int>({1, 1, 1, 1, 1, 0, 0, 0}));
    EXPECT_EQ(r.specs, (std::vector<std::string>{"*.jpg", "dir\\*"}));
    EXPECT_EQ(r.zipName + "|" + r.extractDir, zip + "|" + tmp.Path());
    EXPECT_EQ(c.SuccessCnt() * 10 + c.FSpecArgs().Count(), 10);
    c.ExtrBaseDir = tmp.File("nowhere");  // one that does not exist: the current directory, given whole
    c.Extract();
    char cwd[PATH_MAX];
    EXPECT_EQ(fake->records.at(1).extractDir, getcwd(cwd, sizeof cwd));
    // One member to the stream: its place from the listing, the stream as the buffer.
    c.Password.clear();
    EXPECT_EQ(c.ExtractFileToStream("DIR\\page1.jpg"), c.ZipStream());
    const FakeRecord& s = fake->records.at(2);
    EXPECT_TRUE(s.p.fUseOutStream == 1 && s.p.fOutStream && s.p.fOutStreamSize == 300);
    EXPECT_EQ(s.specs, std::vector<std::string>{"Dir\\Page1.jpg"});
    ASSERT_EQ(s.specRecords.size(), 1u);
    const UnzFileData& d = s.specRecords[0];
    EXPECT_TRUE(d.fHasPosition == 1 && d.fLocalHeaderPos == 0 && d.fUncompressedSize == 300 && d.fMethod == 8);
    EXPECT_EQ(c.ExtractFileToStream("nope.jpg"), nullptr);
    EXPECT_EQ(fake->execCalls, 3) << "a member missing from the directory never reaches the library";
    fake->result = 0;
    EXPECT_EQ(c.ExtractFileToStream("stored.txt"), nullptr) << "the library reports another count";
    EXPECT_EQ(c.ZipStream()->Size(), 0);
    EXPECT_FALSE(c.UnzDllLoaded()) << "loaded for each operation only";
}

TEST_F(ZipArchive, ScriptedCallbacksDuringAnExtraction) {
    FakeLib fake("full", true);
    ASSERT_TRUE(fake.Ok());
    OpenA(FakeDir("full"));
    std::vector<std::string> log;
    c.OnProgress = [&](TZipComponent*, ProgressType t, const std::string& n, uint32_t s) {
        log.push_back(std::to_string(t) + n + std::to_string(s));
    };
    c.OnMessage = [&](TZipComponent*, int code, const std::string& m) { log.push_back("m" + std::to_string(code) + m); };
    fake.Step(zacCount, 0, 1);
    fake.Step(zacItem, 0, 6, "stored.txt");
    fake.Step(zacStream, 0, 4, "", 'W');  // the library asks for another size and writes it
    fake.Step(zacMessage, 3, 0, "odd");
    EXPECT_EQ(Bytes(c.ExtractFileToStream("stored.txt")), "WWWW");
    EXPECT_EQ(log, (std::vector<std::string>{"31", "0stored.txt6", "m3odd"}));
    EXPECT_EQ(fake->records.at(0).replies.at(2).Buffer, c.ZipStream()->Memory());
    // A handler that cancels stops the library at once; the flag is cleared at the end.
    fake->script = {{zacItem, 0, 1, "a"}, {zacItem, 0, 1, "b"}};
    c.OnProgress = [](TZipComponent* sender, ProgressType, const std::string&, uint32_t) { sender->SetCancel(true); };
    c.ExtractFileToStream("stored.txt");
    EXPECT_TRUE(fake->records.at(1).cancelled && fake->records.at(1).replies.size() == 1);
    EXPECT_FALSE(c.Cancel());
}

TEST_F(ZipArchive, VersionGateOldRecordsAndMissingPieces) {
    FakeLib fake("full", true);
    ASSERT_TRUE(fake.Ok());
    OpenA(FakeDir("full"));
    fake->version = 155;
    EXPECT_EQ(c.ExtractFileToStream("stored.txt"), nullptr);
    EXPECT_EQ(ui.shown.back().text, "Error - your UnzDLL.dll can not use streams, please update to version >= 1.60");
    EXPECT_EQ(fake->execCalls, 0);
    c.FSpecArgs().Add("x");
    c.Extract();  // to disk is fine from 152 on, without the password count
    EXPECT_TRUE(!fake->records.at(0).oldLayout && fake->records.at(0).p.fPwdReqCount == 0);
    fake->version = 140;
    c.Unattended = true;
    c.AddOptions = {AddEncrypt};
    for (const char* spec : {"spec0", "spec1", "spec2"}) c.FSpecArgs().Add(spec);
    c.Extract();
    const FakeRecord& r = fake->records.at(1);
    EXPECT_TRUE(r.oldLayout && r.p.fSeven == ZIPDLL_CHECK_WORD && r.zipName == zip);
    EXPECT_EQ(r.specs, (std::vector<std::string>{"spec0", "spec1", "spec2"}));
    EXPECT_EQ(r.password.size(), 80u) << "old libraries get a password nobody types";
    EXPECT_EQ(c.ErrCode(), EX_UnAttPassword);
    // Unattended with neither password nor handler: warned, no questions allowed, no box.
    fake->version = 160;
    c.AddOptions = {};
    c.SetPasswordReqCount(4);
    std::vector<std::string> heard;
    c.OnMessage = [&](TZipComponent*, int, const std::string& m) { heard.push_back(m); };
    size_t boxes = ui.shown.size();
    c.ExtractFileToStream("stored.txt");
    EXPECT_EQ(heard.at(0), "Warning - Unattended Extract: possible not all files extracted");
    EXPECT_EQ(fake->records.at(2).p.fPwdReqCount * 10 + c.PasswordReqCount(), 4u);
    EXPECT_EQ(ui.shown.size(), boxes);
    TZipComponent none;
    none.Extract();
    EXPECT_EQ(ui.shown.back().text, "Error - no zip file specified!");
}

// One archive member's encryption header is random: search for an answer it lets through.
std::string WrongAnswerPassingTheCheckByte(const std::string& zip) {
    auto u16 = [&](size_t at) { return uint16_t(uint8_t(zip[at]) | uint8_t(zip[at + 1]) << 8); };
    uint32_t crc = u16(14) | uint32_t(u16(16)) << 16;
    uint8_t header[12];
    std::memcpy(header, zip.data() + 30 + u16(26) + u16(28), 12);
    for (int i = 0;; ++i) {
        std::string answer = "wrong" + std::to_string(i);
        zip::ZipCrypto crypto;
        crypto.Init(answer);
        if (crypto.CheckHeader(header, u16(6), crc, u16(10))) return answer;
    }
}

TEST_F(ZipArchive, RealLibraryMembersSizesBuffersAndPasswords) {
    OpenA(ModuleDir());
    c.Load_Unz_Dll();
    EXPECT_EQ(Member("dir\\PAGE1.JPG"), Repeat("jpeg bytes", 30)) << "found without case, with either slash";
    EXPECT_EQ(Member("stored.txt"), "stored");
    TZipStream* empty = c.ExtractFileToStream("empty.jpg");
    EXPECT_TRUE(empty && empty->Size() == 0);
    EXPECT_EQ(c.ExtractFileToStream("missing.jpg"), nullptr);
    EXPECT_TRUE(c.UnzDllLoaded()) << "loaded by the caller: stays loaded";
    EXPECT_TRUE(ui.shown.empty());
    tmp.Write("a.zip", std::string(7, 'J') + ReadFileBytes(zip));  // changed behind the listing
    EXPECT_EQ(c.ExtractFileToStream("stored.txt"), nullptr);
    EXPECT_EQ(c.ZipStream()->Size(), 0);
    // Directories that announce far more than their members' data can unpack to.
    // And a method the library does not know.
    Py("write('hostile.zip', make_zip([entry(b'huge.jpg', b'tiny' * 10, usize=900000000),"
       " entry(b'big.txt', b'short', method=0, usize=5000), entry(b'odd.txt', b'data', method=12)]))\n");
    c.Unattended = true;
    EXPECT_EQ(List("hostile.zip"), "huge.jpg,big.txt,odd.txt");
    for (const char* m : {"huge.jpg", "big.txt", "odd.txt"}) EXPECT_EQ(c.ExtractFileToStream(m), nullptr) << m;
    EXPECT_EQ(c.ZipStream()->Size(), 0);
    // A compressed buffer into the stream; the wrong size and the stream itself are refused.
    std::string plain = Repeat("a buffer of plain text, ", 5);
    std::vector<uint8_t> packed = PackedBuffer(plain);
    TMemoryStream in;
    in.Write(packed.data(), static_cast<int64_t>(packed.size()));
    EXPECT_EQ(Bytes(c.ExtractStreamToStream(&in, static_cast<uint32_t>(plain.size()))), plain);
    EXPECT_EQ(c.ExtractStreamToStream(&in, 5), nullptr);
    in.Memory()[2] ^= 1;
    EXPECT_EQ(c.ExtractStreamToStream(&in, static_cast<uint32_t>(plain.size())), nullptr) << "a wrong CRC";
    c.Unattended = false;
    EXPECT_EQ(c.ExtractStreamToStream(c.ZipStream(), 5), nullptr);
    EXPECT_EQ(ui.shown.back().text, "Input stream may not be set to the output stream");

    // Encrypted by Info-ZIP: the dialog is asked, and its answer serves the member.
    tmp.Write("src/secret.txt", "classified");
    Zip("-P pw ../enc.zip secret.txt");
    EXPECT_EQ(List("enc.zip"), "secret.txt");
    EXPECT_TRUE(c.ZipContents()[0]->Encrypted);
    // A wrong answer that the header's single check byte lets through: the data refuse it.
    ui.passwords = {WrongAnswerPassingTheCheckByte(ReadFileBytes(tmp.File("enc.zip"))), "pw"};
    c.SetPasswordReqCount(2);
    EXPECT_EQ(Member("secret.txt"), "classified");
    EXPECT_EQ(ui.passwordRequests.size(), 2u);
    List("enc.zip");  // opened anew: the password that served is forgotten
    c.Unattended = true;  // nobody is asked; the member is not delivered
    EXPECT_EQ(c.ExtractFileToStream("secret.txt"), nullptr);
    EXPECT_EQ(ui.passwordRequests.size(), 2u);
    EXPECT_EQ(c.ErrCode() * 10 + int(c.PasswordReqCount()), UZ_PASSWORD * 10 + 2);
    c.Password = "pw";
    EXPECT_EQ(Member("secret.txt"), "classified");
}

// An encrypted book asks once: the answer that served is kept for the archive while it is
// open (a wrong one is asked again), and "Cancel all" or "Abort" end the questions for it;
// opening it again starts afresh.
TEST_F(ZipArchive, EncryptedBookAsksOncePerOpening) {
    for (const char* p : {"p1.jpg", "p2.jpg", "p3.jpg"}) tmp.Write(std::string("src/") + p, std::string("page ") + p);
    Zip("-P pw ../enc.cbz p1.jpg p2.jpg p3.jpg");
    c.Load_Unz_Dll();
    auto readAll = [&] {
        std::string got;
        for (const char* p : {"p1.jpg", "p2.jpg", "p3.jpg"}) got += Bytes(c.ExtractFileToStream(p)) + ";";
        return got;
    };
    const std::string all = "page p1.jpg;page p2.jpg;page p3.jpg;", none = "<null>;<null>;<null>;";
    const struct {
        std::vector<std::string> answers;
        int refusal;
        std::string pages;
        size_t questions;
    } cases[] = {
        {{"pw"}, mrCancel, all, 1},
        {{"wrong", "pw"}, mrCancel, all, 2},  // asked again after a wrong answer
        {{}, mrCancel, none, 3},              // plain Cancel: asked for every page
        {{}, mrAll, none, 1},
        {{}, mrAbort, none, 1},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.refusal);
        List("enc.cbz");
        c.SetPasswordReqCount(2);
        ui.passwordRequests.clear();
        ui.passwords.assign(k.answers.begin(), k.answers.end());
        ui.passwordRefusal = k.refusal;
        EXPECT_EQ(readAll(), k.pages);
        EXPECT_EQ(ui.passwordRequests.size(), k.questions);
    }
    EXPECT_TRUE(c.Password.empty()) << "the component's own password is untouched";
}

// bzip2 members unpack; a method or an encryption the library cannot read is refused with
// one message naming it, never empty data; claimed sizes never decide what is allocated.
TEST_F(ZipArchive, MethodsAndClaimedSizesThroughTheFrontEnd) {
    std::string page(3 << 20, '\0');  // larger than the stream's first size: it has to grow
    for (size_t i = 0; i < page.size(); i += 7) page[i] = static_cast<char>(i / 7);
    tmp.Write("src/big.jpg", page);
    tmp.Write("src/small.jpg", "small page");
    Zip("-Z bzip2 ../bz.cbz big.jpg small.jpg");
    Zip("../deflated.cbz big.jpg");
    Py(R"PY(
import struct
write('lzma.cbz', make_zip([entry(b'a.jpg', b'abc', method=0), entry(b'b.jpg', b'not lzma', method=14)]))
write('aes.cbz', make_zip([entry(b'a.jpg', b'abc', method=0), entry(b'c.jpg', b'x' * 40, method=99, flags=1)]))
z = bytearray(make_zip([entry(b'big.jpg', b'x' * 600)]))
i = z.find(b'PK\x01\x02')
struct.pack_into('<II', z, i + 20, 1000000, 1000000000)  # claims 1 MB packed, 1 GB unpacked
write('liar.cbz', bytes(z))
)PY");
    const struct {
        const char* file;
        const char* member;
        std::string data;
        const char* message;
    } cases[] = {
        {"bz.cbz", "big.jpg", page, nullptr},
        {"bz.cbz", "small.jpg", "small page", nullptr},
        {"deflated.cbz", "big.jpg", page, nullptr},
        {"lzma.cbz", "b.jpg", "<null>", "Compression method 14 (LZMA) is not supported: b.jpg"},
        {"aes.cbz", "c.jpg", "<null>", "AES encryption is not supported: c.jpg"},
        {"liar.cbz", "big.jpg", "<null>", nullptr},
    };
    TUnArchive a(nullptr);
    auto owned = std::make_unique<TZipArchiveReader>(nullptr);
    TZipArchiveReader& reader = *owned;
    reader.Zip().SetDLLDirectory(ModuleDir());
    a.SetReader(atZip, std::move(owned));
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.file) + " " + k.member);
        ui.shown.clear();
        a.SetFileName(tmp.File(k.file));
        EXPECT_EQ(Bytes(a.Extract(k.member)), k.data);
        if (k.message) {
            EXPECT_EQ(Bytes(a.Extract(k.member)), "<null>") << "asked again";
        }
        ASSERT_EQ(ui.shown.size(), k.message ? 1u : 0u) << "one message per archive";
        if (k.message) {
            EXPECT_EQ(ui.shown[0].caption, tmp.File(k.file));
            EXPECT_EQ(ui.shown[0].text, k.message);
            EXPECT_EQ(Bytes(a.Extract("a.jpg")), "abc");
        }
        EXPECT_LT(reader.Zip().ZipStream()->Bytes().capacity(), page.size() * 2 + (2u << 20)) << "no allocation by a claimed size";
    }
}

// The real library to disk through the component: names never lead out of the base, both
// descriptor forms read, a user's file stays unless overwriting is asked, and a damaged
// member never replaces one.
TEST_F(ZipArchive, RealLibraryToDiskKeepsUserFilesAndNamesInside) {
    Py(R"PY(
es = [entry(b'plain.txt', b'unsigned descriptor ' * 20, desc='unsigned'), entry(b'signed.txt', b'signed', method=0, desc='signed'),
      entry(b'../../evil.txt', b'contained'), entry(b'/abs/root.txt', b'rooted'), entry(b'b.bin', b'blob' * 100, method=0)]
write('hand.zip', make_zip(es))
z = bytearray(make_zip(es)); z[z.find(b'blobblob') + 50] ^= 0x55
write('bad.zip', bytes(z))
)PY");
    ASSERT_TRUE(UnzipTestPasses(tmp.File("hand.zip")));
    std::string out = tmp.File("out/");
    tmp.Write("out/plain.txt", "user's file");
    c.ExtrBaseDir = out;
    c.ExtrOptions = {ExtrDirNames};
    EXPECT_EQ(List("hand.zip"), "plain.txt,signed.txt,..\\..\\evil.txt,\\abs\\root.txt,b.bin");
    c.Extract();
    EXPECT_EQ(c.SuccessCnt(), 4);
    EXPECT_EQ(ReadFileBytes(out + "plain.txt"), "user's file") << "kept unless overwriting is asked";
    EXPECT_EQ(ReadFileBytes(out + "signed.txt") + ReadFileBytes(out + "evil.txt") + ReadFileBytes(out + "abs/root.txt"), "signedcontainedrooted");
    EXPECT_FALSE(FileExists(tmp.File("evil.txt")) || FileExists(tmp.File("../evil.txt"))) << "names never lead out of the base";
    c.ExtrOptions = {ExtrOverWrite};
    c.FSpecArgs().Add("PLAIN.TXT");
    c.Extract();
    EXPECT_EQ(ReadFileBytes(out + "plain.txt"), Repeat("unsigned descriptor ", 20));
    tmp.Write("out/b.bin", "keep me");
    List("bad.zip");
    c.FSpecArgs().Add("*.bin");
    c.Extract();
    EXPECT_EQ(c.SuccessCnt(), 0);
    EXPECT_EQ(ReadFileBytes(out + "b.bin"), "keep me");
}

// A data descriptor whose CRC happens to equal the signature: the unsigned form agrees with
// the CRC expected.
TEST(ZipRecords, ADescriptorWhoseCrcLooksLikeItsSignature) {
    uint8_t d[16];
    zip::Put32(d, zip::kDescriptorSig);
    zip::Put32(d + 4, 7);
    zip::Put32(d + 8, 9);
    zip::Put32(d + 12, 0);
    zip::DataDescriptor out;
    ASSERT_TRUE(zip::ParseDataDescriptor(d, 16, zip::kDescriptorSig, out));
    EXPECT_EQ(out.length * 1000 + out.compressedSize, 12007u);
    EXPECT_FALSE(zip::ParseDataDescriptor(d, 8, 0, out));
}

// Every zip archive of the peer test data lists and extracts what it can, the same bytes
// as Python's zipfile where both succeed, and refuses the rest with a message; nothing
// crashes, hangs or allocates by an unchecked size.
TEST(ZipPeerArchives, ListAndExtractOrRefuse) {
    if (!std::filesystem::is_directory(PeerDataDir())) GTEST_SKIP() << "no peer test data";
    FakeUi ui;
    TempDir tmp;
    bool python = HaveTool("python3");
    std::ofstream(tmp.File("dump.py")) << "import zipfile,sys\ntry:\n z=zipfile.ZipFile(sys.argv[1])\nexcept Exception: sys.exit(0)\n"
                                          "for i,info in enumerate(z.infolist()):\n try:\n  data=z.read(info)\n"
                                          " except Exception: continue\n open('dump/%d'%i,'wb').write(data)\n";
    int files = 0, compared = 0;
    for (const auto& entry : std::filesystem::directory_iterator(PeerDataDir())) {
        std::string f = entry.path().filename().string(), ext = ExtractFileExt(f), path = entry.path().string();
        if (f.rfind("zip", 0) != 0 || !(ext == ".zip" || ext == ".zipx" || ext == ".jar" || f == "zip_sfx")) continue;
        SCOPED_TRACE(f);
        ++files;
        if (python) RunShell("cd " + Quote(tmp.Path()) + " && rm -rf dump && mkdir dump && timeout 20 python3 dump.py " + Quote(path) + " >/dev/null 2>&1");
        TZipComponent c;
        c.SetDLLDirectory(ModuleDir());
        c.Unattended = c.UseDirOnlyEntries = true;
        c.Load_Unz_Dll();
        c.SetZipFileName(path);
        std::map<std::string, int> seen;
        for (int i = 0; i < c.GetCount(); ++i) ++seen[c.ZipContents()[static_cast<size_t>(i)]->FileName];
        for (int i = 0; i < c.GetCount(); ++i) {
            std::string name = c.ZipContents()[static_cast<size_t>(i)]->FileName, ref = tmp.File("dump/" + std::to_string(i));
            TZipStream* s = c.ExtractFileToStream(name);
            if (!s || seen[name] != 1 || !FileExists(ref)) continue;
            EXPECT_TRUE(Bytes(s) == ReadFileBytes(ref)) << name;
            ++compared;
        }
    }
    EXPECT_GT(files, 10);
    EXPECT_TRUE(!python || compared > 20) << compared;
}

}  // namespace
