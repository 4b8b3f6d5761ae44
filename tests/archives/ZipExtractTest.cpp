// Extraction: the records the library receives (through the recording fake), the version
// gate, loading for the operation's duration, and the real library end to end.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "ZipTestSupport.h"
#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipRecords.h"
#include "platform/Text.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

std::string Bytes(TZipStream* s) {
    return s ? std::string(reinterpret_cast<const char*>(s->Memory()), static_cast<size_t>(s->Size())) : "<null>";
}

class ZipExtract : public ::testing::Test {
protected:
    void SetUp() override {
        ZIP_REQUIRE_TOOLS();
        ASSERT_TRUE(RunPython(tmp.Path(), std::string(kZipPy) + R"PY(
write('a.zip', make_zip([entry(b'Dir/Page1.jpg', b'jpeg bytes' * 30), entry(b'empty.jpg', b'', method=0),
                         entry(b'stored.txt', b'stored', method=0)]))
)PY"));
        zip = tmp.File("a.zip");
    }
    FakeUi ui;
    TempDir tmp;
    std::string zip;
};

}  // namespace

TEST_F(ZipExtract, RealLibraryMembersToTheStream) {
    TZipComponent c;
    c.SetDLLDirectory(ModuleDir());
    c.Load_Unz_Dll();
    ASSERT_TRUE(c.UnzDllLoaded());
    c.SetZipFileName(zip);
    std::string page;
    for (int i = 0; i < 30; ++i) page += "jpeg bytes";
    EXPECT_EQ(Bytes(c.ExtractFileToStream("dir\\PAGE1.JPG")), page);
    EXPECT_EQ(Bytes(c.ExtractFileToStream("stored.txt")), "stored");
    TZipStream* empty = c.ExtractFileToStream("empty.jpg");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->Size(), 0);
    EXPECT_EQ(c.ExtractFileToStream("missing.jpg"), nullptr);
    EXPECT_EQ(c.ZipStream()->Size(), 0);
    EXPECT_TRUE(c.UnzDllLoaded());  // loaded by the caller: stays loaded
    EXPECT_TRUE(ui.shown.empty());

    // The archive changed behind the listing: the member is not where it was.
    std::string bytes = ReadFileBytes(zip);
    tmp.Write("a.zip", std::string(7, 'J') + bytes);
    EXPECT_EQ(c.ExtractFileToStream("stored.txt"), nullptr);
    EXPECT_EQ(c.ZipStream()->Size(), 0);
}

TEST_F(ZipExtract, AnnouncedSizesAreNotBelieved) {
    // Directories that announce far more than their members' data can unpack to.
    ASSERT_TRUE(RunPython(tmp.Path(), std::string(kZipPy) + R"PY(
import struct
z = bytearray(make_zip([entry(b'huge.jpg', b'tiny' * 10), entry(b'big.txt', b'short', method=0)]))
c = z.find(b'PK\x01\x02')
z[c + 24:c + 28] = struct.pack('<I', 900000000)
c2 = z.find(b'PK\x01\x02', c + 4)
z[c2 + 24:c2 + 28] = struct.pack('<I', 5000)
write('hostile.zip', bytes(z))
)PY"));
    TZipComponent c;
    c.SetDLLDirectory(ModuleDir());
    c.Unattended = true;
    c.SetZipFileName(tmp.File("hostile.zip"));
    ASSERT_EQ(c.GetCount(), 2);
    EXPECT_EQ(c.ExtractFileToStream("huge.jpg"), nullptr);
    EXPECT_EQ(c.ExtractFileToStream("big.txt"), nullptr);
    EXPECT_EQ(c.ZipStream()->Size(), 0);
}

TEST_F(ZipExtract, RealLibraryPasswordsAndDisk) {
    tmp.Write("src/secret.txt", "classified");
    tmp.Write("src/sub/open.txt", "public");
    std::string enc = tmp.File("enc.zip");
    ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && zip -q -P pw " + Quote(enc) + " secret.txt && zip -q " + Quote(enc) + " sub/open.txt"), 0);
    TZipComponent c;
    c.SetDLLDirectory(ModuleDir());
    c.SetZipFileName(enc);
    ASSERT_EQ(c.GetCount(), 2);
    EXPECT_TRUE(c.ZipContents()[0]->Encrypted);
    // The dialog is asked (through the UI services) and the answer serves the member.
    ui.passwords = {"wrong", "pw"};
    c.SetPasswordReqCount(2);
    EXPECT_EQ(Bytes(c.ExtractFileToStream("secret.txt")), "classified");
    EXPECT_EQ(ui.passwordRequests.size(), 2u);
    EXPECT_FALSE(c.UnzDllLoaded());  // loaded for the operation only
    // Unattended without a password: nobody is asked, the member is not delivered.
    ui.passwordRequests.clear();
    c.Unattended = true;
    EXPECT_EQ(c.ExtractFileToStream("secret.txt"), nullptr);
    EXPECT_TRUE(ui.passwordRequests.empty());
    EXPECT_EQ(c.ErrCode(), 5);  // the library's bad-password report
    EXPECT_EQ(c.PasswordReqCount(), 2u);
    c.Password = "pw";
    EXPECT_EQ(Bytes(c.ExtractFileToStream("secret.txt")), "classified");

    // To disk, paths kept, into the base directory given.
    c.ExtrBaseDir = tmp.File("out");
    ASSERT_EQ(mkdir(c.ExtrBaseDir.c_str(), 0755), 0);
    c.ExtrOptions = {ExtrDirNames};
    c.FSpecArgs().Add("*");
    c.Extract();
    EXPECT_EQ(c.SuccessCnt(), 2);
    EXPECT_EQ(ReadFileBytes(tmp.File("out/secret.txt")), "classified");
    EXPECT_EQ(ReadFileBytes(tmp.File("out/sub/open.txt")), "public");
    EXPECT_EQ(c.FSpecArgs().Count(), 0);
    // Test only: nothing written.
    c.ExtrOptions = {ExtrTest};
    c.ExtrBaseDir = tmp.File("out");
    c.Extract();
    EXPECT_EQ(c.SuccessCnt(), 2);
}

TEST_F(ZipExtract, RealLibraryBufferToBuffer) {
    std::string plain = "a buffer of plain text, a buffer of plain text, a buffer of plain text";
    TMemoryStream in;
    std::vector<uint8_t> packed(ZIPDLL_STREAM_HEADER + plain.size() + 64);
    uLongf n = static_cast<uLongf>(packed.size() - ZIPDLL_STREAM_HEADER);
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    z.next_in = reinterpret_cast<Bytef*>(plain.data());
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = packed.data() + ZIPDLL_STREAM_HEADER;
    z.avail_out = static_cast<uInt>(n);
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    packed.resize(ZIPDLL_STREAM_HEADER + z.total_out);
    deflateEnd(&z);
    zip::Put16(packed.data(), 8);
    zip::Put32(packed.data() + 2, zip::Crc32(0, plain.data(), plain.size()));
    in.Write(packed.data(), static_cast<int64_t>(packed.size()));

    TZipComponent c;
    c.SetDLLDirectory(ModuleDir());
    EXPECT_EQ(Bytes(c.ExtractStreamToStream(&in, static_cast<uint32_t>(plain.size()))), plain);
    EXPECT_EQ(c.ExtractStreamToStream(&in, 5), nullptr);  // the wrong size is refused
    EXPECT_EQ(c.ExtractStreamToStream(c.ZipStream(), 5), nullptr);
    EXPECT_EQ(ui.shown.back().text, "Input stream may not be set to the output stream");
}

TEST_F(ZipExtract, RecordsAsTheLibrarySeesThem) {
    FakeLib fake("full", true);
    ASSERT_TRUE(fake.Ok());
    TZipComponent c;
    c.SetDLLDirectory(FakeDir("full"));
    c.SetZipFileName(zip);
    c.Password = "secret";
    c.Verbose = true;
    c.CodePage = cpOEM;
    c.SetPasswordReqCount(3);
    c.ExtrOptions = {ExtrOverWrite, ExtrFreshen, ExtrUpdate, ExtrDirNames};
    c.ExtrBaseDir = tmp.Path();
    c.FSpecArgs().Add("*.jpg");
    c.FSpecArgs().Add("dir\\*");
    c.Extract();
    ASSERT_EQ(fake.recordCount(), 1);
    const FakeRecord* r = fake.record(0);
    EXPECT_FALSE(r->oldLayout);
    EXPECT_EQ(r->seven, ZIPDLL_CHECK_WORD);
    EXPECT_EQ(r->version, 160);
    EXPECT_EQ(r->password, "secret");
    EXPECT_EQ(r->codePage, 2);
    EXPECT_EQ(r->quiet, 1);
    EXPECT_EQ(r->verbose, 1);
    EXPECT_EQ(r->update, 1);
    EXPECT_EQ(r->freshen, 0);  // freshen yields to update
    EXPECT_EQ(r->directories, 1);
    EXPECT_EQ(r->overwrite, 1);
    EXPECT_EQ(r->test, 0);
    EXPECT_EQ(r->argc, 2);
    EXPECT_EQ(r->specs, (std::vector<std::string>{"*.jpg", "dir\\*"}));
    EXPECT_EQ(r->zipName, zip);
    EXPECT_EQ(r->extractDir, tmp.Path());
    EXPECT_EQ(r->pwdReqCount, 3u);
    EXPECT_EQ(r->useOutStream, 0);
    EXPECT_EQ(c.SuccessCnt(), 1);

    // A base directory that does not exist: the current directory, given whole.
    c.ExtrBaseDir = tmp.File("nowhere");
    c.Extract();
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(fake.record(1)->extractDir, cwd);

    // One member to the stream: its position from the listing, the stream as buffer.
    c.Password.clear();
    EXPECT_EQ(c.ExtractFileToStream("DIR\\page1.jpg"), c.ZipStream());
    const FakeRecord* s = fake.record(2);
    EXPECT_EQ(s->useOutStream, 1);
    EXPECT_TRUE(s->hasOutBuffer);
    EXPECT_EQ(s->outSize, 300u);
    EXPECT_EQ(s->argc, 1);
    ASSERT_EQ(s->specRecords.size(), 1u);
    EXPECT_EQ(s->specRecords[0].fHasPosition, 1);
    EXPECT_EQ(s->specRecords[0].fLocalHeaderPos, 0);
    EXPECT_EQ(s->specRecords[0].fUncompressedSize, 300u);
    EXPECT_EQ(s->specRecords[0].fMethod, 8);
    EXPECT_EQ(s->specs[0], "Dir\\Page1.jpg");
    EXPECT_EQ(s->extractDir, cwd);
    // A member missing from the directory never reaches the library.
    EXPECT_EQ(c.ExtractFileToStream("nope.jpg"), nullptr);
    EXPECT_EQ(fake.execCalls(), 3);
    // The library reports another count: no stream.
    fake.setResult(0);
    EXPECT_EQ(c.ExtractFileToStream("stored.txt"), nullptr);
    EXPECT_EQ(c.ZipStream()->Size(), 0);
    EXPECT_FALSE(c.UnzDllLoaded());
}

TEST_F(ZipExtract, ScriptedCallbacksDuringAnExtraction) {
    FakeLib fake("full", true);
    ASSERT_TRUE(fake.Ok());
    TZipComponent c;
    c.SetDLLDirectory(FakeDir("full"));
    c.SetZipFileName(zip);
    std::vector<std::string> log;
    c.OnProgress = [&](TZipComponent*, ProgressType t, const std::string& n, uint32_t s) {
        log.push_back(std::to_string(t) + n + std::to_string(s));
    };
    c.OnMessage = [&](TZipComponent*, int code, const std::string& m) { log.push_back("m" + std::to_string(code) + m); };
    fake.Step(zacCount, 0, 1);
    fake.Step(zacItem, 0, 6, "stored.txt");
    fake.Step(zacStream, 0, 4, "", "", 'W');  // the library asks for another size and writes it
    fake.Step(zacMessage, 3, 0, "odd");
    TZipStream* s = c.ExtractFileToStream("stored.txt");
    EXPECT_EQ(Bytes(s), "WWWW");
    EXPECT_EQ(log, (std::vector<std::string>{"31", "0stored.txt6", "m3odd"}));
    ASSERT_EQ(fake.record(0)->replies.size(), 4u);
    EXPECT_EQ(fake.record(0)->replies[2].Buffer, c.ZipStream()->Memory());

    // A handler that cancels stops the library at once.
    fake.reset();
    fake.Step(zacItem, 0, 1, "a");
    fake.Step(zacItem, 0, 1, "b");
    c.OnProgress = [](TZipComponent* sender, ProgressType, const std::string&, uint32_t) { sender->SetCancel(true); };
    c.ExtractFileToStream("stored.txt");
    EXPECT_TRUE(fake.record(0)->cancelled);
    EXPECT_EQ(fake.record(0)->replies.size(), 1u);
    EXPECT_FALSE(c.Cancel());  // cleared at the end
}

TEST_F(ZipExtract, VersionGateAndOldRecords) {
    FakeLib fake("full", true);
    ASSERT_TRUE(fake.Ok());
    TZipComponent c;
    c.SetDLLDirectory(FakeDir("full"));
    c.SetZipFileName(zip);
    fake.setVersion(155);
    EXPECT_EQ(c.ExtractFileToStream("stored.txt"), nullptr);
    EXPECT_EQ(ui.shown.back().text, "Error - your UnzDLL.dll can not use streams, please update to version >= 1.60");
    EXPECT_EQ(fake.execCalls(), 0);
    c.FSpecArgs().Add("x");
    c.Extract();  // to disk is fine from 152 on, without the password count
    ASSERT_EQ(fake.recordCount(), 1);
    EXPECT_FALSE(fake.record(0)->oldLayout);
    EXPECT_EQ(fake.record(0)->pwdReqCount, 0u);

    fake.setVersion(140);
    c.Unattended = true;
    c.AddOptions = {AddEncrypt};
    for (int i = 0; i < 3; ++i) c.FSpecArgs().Add("spec" + std::to_string(i));
    c.Extract();
    ASSERT_EQ(fake.recordCount(), 2);
    const FakeRecord* r = fake.record(1);
    EXPECT_TRUE(r->oldLayout);
    EXPECT_EQ(r->seven, ZIPDLL_CHECK_WORD);
    EXPECT_EQ(r->specs, (std::vector<std::string>{"spec0", "spec1", "spec2"}));
    EXPECT_EQ(r->password.size(), 80u);  // old libraries get a password nobody types
    EXPECT_EQ(r->zipName, zip);
    EXPECT_EQ(c.ErrCode(), EX_UnAttPassword);  // unattended without a password: warned

    // Unattended with neither password nor handler: warned, and no questions allowed.
    fake.setVersion(160);
    c.AddOptions = {};
    c.Unattended = false;
    ui.shown.clear();
    c.Unattended = true;
    c.SetPasswordReqCount(4);
    c.OnMessage = [](TZipComponent*, int, const std::string&) {};
    std::vector<std::string> heard;
    c.OnMessage = [&](TZipComponent*, int, const std::string& m) { heard.push_back(m); };
    c.ExtractFileToStream("stored.txt");
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard[0], "Warning - Unattended Extract: possible not all files extracted");
    EXPECT_EQ(fake.record(2)->pwdReqCount, 0u);
    EXPECT_EQ(c.PasswordReqCount(), 4u);
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(ZipExtract, MissingArchiveOrLibrary) {
    TZipComponent c;
    c.SetDLLDirectory(FakeDir("noexec"));
    c.Extract();
    EXPECT_EQ(ui.shown.back().text, "Error - no zip file specified!");
    c.SetZipFileName(zip);
    ui.shown.clear();
    EXPECT_EQ(c.ExtractFileToStream("stored.txt"), nullptr);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "UnzDllExec function not found in UNZDLL.DLL!");
}

// Every zip archive of the peer test data lists and extracts what it can, the same bytes
// as Python's zipfile where both succeed, and refuses the rest with a message; nothing
// crashes, hangs or allocates by an unchecked size.
TEST(ZipPeerArchives, ListAndExtractOrRefuse) {
    std::string dir = std::string(VELLICOR_SOURCE_DIR) + "/../shared/testdata/peer/libarchive";
    DIR* d = opendir(dir.c_str());
    if (!d) GTEST_SKIP() << "no peer test data";
    std::vector<std::string> files;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.rfind("zip", 0) == 0 && (ExtractFileExt(n) == ".zip" || ExtractFileExt(n) == ".zipx" || ExtractFileExt(n) == ".jar" || n == "zip_sfx"))
            files.push_back(n);
    }
    closedir(d);
    ASSERT_FALSE(files.empty());
    FakeUi ui;
    TempDir tmp;
    bool python = HaveTool("python3");
    int compared = 0;
    for (const auto& f : files) {
        SCOPED_TRACE(f);
        std::string path = dir + "/" + f;
        if (!FileExists(path)) continue;
        // Python's view: member i's bytes in dump/i, where it can read them.
        std::map<int, std::string> reference;
        if (python) {
            std::string py = "import zipfile,sys\ntry:\n z=zipfile.ZipFile(sys.argv[1])\nexcept Exception: sys.exit(0)\n"
                             "for i,info in enumerate(z.infolist()):\n"
                             " try:\n  data=z.read(info)\n except Exception: continue\n open('dump/%d'%i,'wb').write(data)\n";
            std::ofstream(tmp.File("dump.py")) << py;
            RunShell("cd " + Quote(tmp.Path()) + " && rm -rf dump && mkdir dump && timeout 20 python3 dump.py " + Quote(path) + " >/dev/null 2>&1");
        }
        TZipComponent c;
        c.SetDLLDirectory(ModuleDir());
        c.Unattended = true;
        c.UseDirOnlyEntries = true;
        c.Load_Unz_Dll();
        c.SetZipFileName(path);
        std::map<std::string, int> seen;
        for (int i = 0; i < c.GetCount(); ++i) ++seen[LowerCase(c.ZipContents()[static_cast<size_t>(i)]->FileName)];
        for (int i = 0; i < c.GetCount(); ++i) {
            std::string name = c.ZipContents()[static_cast<size_t>(i)]->FileName;
            TZipStream* s = c.ExtractFileToStream(name);
            if (!s || seen[LowerCase(name)] != 1) continue;
            std::string ref = ReadFileBytes(tmp.File("dump/" + std::to_string(i)));
            if (FileExists(tmp.File("dump/" + std::to_string(i)))) {
                EXPECT_TRUE(Bytes(s) == ref) << name << ": " << Bytes(s).size() << " bytes against " << ref.size();
                ++compared;
            }
        }
        c.Unload_Unz_Dll();
    }
    if (python) {
        EXPECT_GT(compared, 20);
    }
}
