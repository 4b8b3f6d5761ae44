// Extraction: the records the library receives (through the recording fake), the version
// gate, loading for the operation's duration, the real library end to end, and the peer
// test data.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <map>

#include "ArchiveTestSupport.h"
#include "archives/zip/ZipComponent.h"
#include "platform/Text.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

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
    // A component on a.zip, with the library of the given folder.
    void Open(const std::string& dllDir) {
        c.SetDLLDirectory(dllDir);
        c.SetZipFileName(zip);
    }
    FakeUi ui;
    TempDir tmp;
    std::string zip;
    TZipComponent c;
};

TEST_F(ZipExtract, RecordsAsTheLibrarySeesThem) {
    FakeLib fake("full", true);
    ASSERT_TRUE(fake.Ok());
    Open(FakeDir("full"));
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
    // A base directory that does not exist: the current directory, given whole.
    c.ExtrBaseDir = tmp.File("nowhere");
    c.Extract();
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(fake->records.at(1).extractDir, cwd);

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

TEST_F(ZipExtract, ScriptedCallbacksDuringAnExtraction) {
    FakeLib fake("full", true);
    ASSERT_TRUE(fake.Ok());
    Open(FakeDir("full"));
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
    fake->records.clear();
    fake->script.clear();
    fake.Step(zacItem, 0, 1, "a");
    fake.Step(zacItem, 0, 1, "b");
    c.OnProgress = [](TZipComponent* sender, ProgressType, const std::string&, uint32_t) { sender->SetCancel(true); };
    c.ExtractFileToStream("stored.txt");
    EXPECT_TRUE(fake->records.at(0).cancelled);
    EXPECT_EQ(fake->records.at(0).replies.size(), 1u);
    EXPECT_FALSE(c.Cancel());
}

TEST_F(ZipExtract, VersionGateOldRecordsAndMissingPieces) {
    FakeLib fake("full", true);
    ASSERT_TRUE(fake.Ok());
    Open(FakeDir("full"));
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
    EXPECT_EQ(fake->records.at(2).p.fPwdReqCount, 0u);
    EXPECT_EQ(c.PasswordReqCount(), 4u);
    EXPECT_EQ(ui.shown.size(), boxes);

    c.Unattended = false;
    c.SetDLLDirectory(FakeDir("noexec"));
    EXPECT_EQ(c.ExtractFileToStream("stored.txt"), nullptr);
    EXPECT_EQ(ui.shown.back().text, "UnzDllExec function not found in UNZDLL.DLL!");
    TZipComponent none;
    none.Extract();
    EXPECT_EQ(ui.shown.back().text, "Error - no zip file specified!");
}

TEST_F(ZipExtract, RealLibraryMembersSizesAndBuffers) {
    Open(ModuleDir());
    c.Load_Unz_Dll();
    EXPECT_EQ(Bytes(c.ExtractFileToStream("dir\\PAGE1.JPG")), Repeat("jpeg bytes", 30));
    EXPECT_EQ(Bytes(c.ExtractFileToStream("stored.txt")), "stored");
    TZipStream* empty = c.ExtractFileToStream("empty.jpg");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->Size(), 0);
    EXPECT_EQ(c.ExtractFileToStream("missing.jpg"), nullptr);
    EXPECT_TRUE(c.UnzDllLoaded()) << "loaded by the caller: stays loaded";
    EXPECT_TRUE(ui.shown.empty());
    // The archive changed behind the listing: the member is not where it was.
    tmp.Write("a.zip", std::string(7, 'J') + ReadFileBytes(zip));
    EXPECT_EQ(c.ExtractFileToStream("stored.txt"), nullptr);
    EXPECT_EQ(c.ZipStream()->Size(), 0);

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
    c.Unattended = true;
    c.SetZipFileName(tmp.File("hostile.zip"));
    ASSERT_EQ(c.GetCount(), 2);
    EXPECT_EQ(c.ExtractFileToStream("huge.jpg"), nullptr);
    EXPECT_EQ(c.ExtractFileToStream("big.txt"), nullptr);
    EXPECT_EQ(c.ZipStream()->Size(), 0);

    // A compressed buffer into the stream; the wrong size and the stream itself are refused.
    std::string plain = Repeat("a buffer of plain text, ", 5);
    std::vector<uint8_t> packed = PackedBuffer(plain);
    TMemoryStream in;
    in.Write(packed.data(), static_cast<int64_t>(packed.size()));
    EXPECT_EQ(Bytes(c.ExtractStreamToStream(&in, static_cast<uint32_t>(plain.size()))), plain);
    EXPECT_EQ(c.ExtractStreamToStream(&in, 5), nullptr);
    c.Unattended = false;
    EXPECT_EQ(c.ExtractStreamToStream(c.ZipStream(), 5), nullptr);
    EXPECT_EQ(ui.shown.back().text, "Input stream may not be set to the output stream");
}

TEST_F(ZipExtract, RealLibraryPasswordsThroughTheDialog) {
    tmp.Write("src/secret.txt", "classified");
    ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && zip -q -P pw ../enc.zip secret.txt"), 0);
    c.SetDLLDirectory(ModuleDir());
    c.SetZipFileName(tmp.File("enc.zip"));
    ASSERT_TRUE(c.GetCount() == 1 && c.ZipContents()[0]->Encrypted);
    ui.passwords = {"wrong", "pw"};  // the dialog is asked, and its answer serves the member
    c.SetPasswordReqCount(2);
    EXPECT_EQ(Bytes(c.ExtractFileToStream("secret.txt")), "classified");
    EXPECT_EQ(ui.passwordRequests.size(), 2u);
    c.Unattended = true;  // nobody is asked; the member is not delivered
    EXPECT_EQ(c.ExtractFileToStream("secret.txt"), nullptr);
    EXPECT_EQ(ui.passwordRequests.size(), 2u);
    EXPECT_EQ(c.ErrCode() * 10 + int(c.PasswordReqCount()), UZ_PASSWORD * 10 + 2);
    c.Password = "pw";
    EXPECT_EQ(Bytes(c.ExtractFileToStream("secret.txt")), "classified");
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
                                          "for i,info in enumerate(z.infolist()):\n"
                                          " try:\n  data=z.read(info)\n except Exception: continue\n"
                                          " open('dump/%d'%i,'wb').write(data)\n";
    int files = 0, compared = 0;
    for (const auto& entry : std::filesystem::directory_iterator(PeerDataDir())) {
        std::string f = entry.path().filename().string(), ext = ExtractFileExt(f);
        if (f.rfind("zip", 0) != 0 || !(ext == ".zip" || ext == ".zipx" || ext == ".jar" || f == "zip_sfx")) continue;
        SCOPED_TRACE(f);
        ++files;
        std::string path = entry.path().string();
        if (python) RunShell("cd " + Quote(tmp.Path()) + " && rm -rf dump && mkdir dump && timeout 20 python3 dump.py " + Quote(path) + " >/dev/null 2>&1");
        TZipComponent c;
        c.SetDLLDirectory(ModuleDir());
        c.Unattended = true;
        c.UseDirOnlyEntries = true;
        c.Load_Unz_Dll();
        c.SetZipFileName(path);
        std::map<std::string, int> seen;
        for (int i = 0; i < c.GetCount(); ++i) ++seen[LowerCase(c.ZipContents()[static_cast<size_t>(i)]->FileName)];
        for (int i = 0; i < c.GetCount(); ++i) {
            std::string name = c.ZipContents()[static_cast<size_t>(i)]->FileName, ref = tmp.File("dump/" + std::to_string(i));
            TZipStream* s = c.ExtractFileToStream(name);
            if (!s || seen[LowerCase(name)] != 1 || !FileExists(ref)) continue;
            EXPECT_TRUE(Bytes(s) == ReadFileBytes(ref)) << name;
            ++compared;
        }
    }
    EXPECT_GT(files, 10);
    if (python) {
        EXPECT_GT(compared, 20);
    }
}

}  // namespace
