// Writing zip archives: the zip record as the library receives it (recording fake), adding
// and deleting with the real library checked by unzip and Python's zipfile, buffers,
// archives written by other programs, renaming, copying entries, self-extractors and their
// icons, and archives that survive failed writes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <functional>
#include <map>
#include <random>

#include "ArchiveTestSupport.h"
#include "archives/zip/PeIcon.h"
#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipVolumes.h"
#include "archives/zip/ZipWriteSupport.h"
#include "platform/Text.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

class ZipWrite : public ::testing::Test {
protected:
    void SetUp() override {
        ZIP_REQUIRE_TOOLS();
        c.SetDLLDirectory(ModuleDir());
        c.HowToDelete = htdFinal;
        c.SFXPath = ModuleDir() + "/ZipSFX.bin";
        c.OnMessage = [this](TZipComponent*, int, const std::string& m) { messages += m + ";"; };
    }
    void Py(const std::string& body) { ASSERT_TRUE(RunPython(tmp.Path(), std::string(kZipPy) + body)); }
    void Zip(const std::string& args) { ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && zip -q " + args), 0) << args; }
    // A small book: text, a page that does not shrink, a page named like a stored type.
    void MakeBook() {
        tmp.Write("src/book/a.txt", Repeat("page text ", 300));
        std::string noise;
        std::mt19937 random(7);
        for (int i = 0; i < 20000; ++i) noise += static_cast<char>(random());
        tmp.Write("src/book/p1.jpg", noise);
        tmp.Write("src/book/sub/p2.png", Repeat("png ", 500));
        tmp.Write("src/book/.hidden", "h");
    }
    // Names as unzip lists them, comma-separated in archive order.
    std::string Names(const std::string& archive) {
        std::string out = tmp.File("names.txt");
        RunShell("zipinfo -1 " + Quote(archive) + " > " + Quote(out) + " 2>/dev/null");
        std::string text = ReadFileBytes(out), r;
        for (char ch : text) r += ch == '\n' ? ',' : ch;
        if (!r.empty()) r.pop_back();
        return r == "Empty zipfile." ? "" : r;
    }
    // unzip accepts the archive; Python's zipfile is asked once per test for a batch.
    bool Valid(const std::string& archive, const std::string& password = {}) {
        pyBatch.push_back({archive, password});
        return UnzipTestPasses(archive, password);
    }
    // Python's zipfile reads every member of every archive checked so far; "" or the failures.
    std::string PyValid() {
        std::string prog = "import zipfile,sys\nbad=[]\n";
        for (const auto& [a, pw] : pyBatch)
            prog += "try:\n z=zipfile.ZipFile(" + Quote(a) + ")\n z.setpassword(b" + Quote(pw) +
                    ")\n assert z.testzip() is None\nexcept Exception as e: bad.append(" + Quote(a) + "+str(e))\n";
        prog += "open('py.txt','w').write(';'.join(bad))\n";
        std::ofstream(tmp.File("check.py")) << prog;
        RunShell("cd " + Quote(tmp.Path()) + " && python3 check.py >/dev/null 2>&1");
        pyBatch.clear();
        return FileExists(tmp.File("py.txt")) ? ReadFileBytes(tmp.File("py.txt")) : "python failed";
    }
    void TearDown() override {
        if (!pyBatch.empty()) {
            EXPECT_EQ(PyValid(), "");
        }
    }
    std::vector<std::pair<std::string, std::string>> pyBatch;
    std::string Member(const std::string& archive, const std::string& name, const std::string& password = {}) {
        std::string out = tmp.File("member.bin");
        RunShell("unzip -p " + (password.empty() ? "" : "-P " + password + " ") + Quote(archive) + " " + Quote(name) + " > " +
                 Quote(out) + " 2>/dev/null");
        return ReadFileBytes(out);
    }
    void AddFrom(const std::string& root, std::initializer_list<std::string> specs) {
        c.SetRootDir(tmp.File(root));
        for (const auto& s : specs) c.FSpecArgs().Add(s);
        c.Add();
    }
    FakeUi ui;
    TempDir tmp;
    TZipComponent c;
    std::string messages;
};

// Runs body in a child process; true when the child ended by itself with status 0.
bool InChild(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) _exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::string> TempLeftovers(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string()[0] == '.') out.push_back(e.path().filename().string());
    return out;
}

// ---- The record the library receives ------------------------------------------------

TEST(ZipWriteRecord, LineSyntaxSuffixesVersionsAndDelete) {
    FakeUi ui;
    FakeLib fake("full", false);
    ASSERT_TRUE(fake.Ok());
    fake->result = 0;
    TempDir tmp;
    TZipComponent c;
    c.SetDLLDirectory(FakeDir("full"));
    c.SetZipFileName(tmp.File("a.zip"));
    auto add = [&](uint32_t version) {
        fake->version = version;
        c.Password = "rec";
        c.TempDir = "/tmp";
        c.AddOptions = {AddEncrypt, AddRecurseDirs};
        c.AddStoreSuffixes = {assZIP, assRAR};
        c.SetRootDir("/root");
        for (const char* s : {">deep/*.jpg", "|flat.txt", "secret.txt<own", "plain<", "x"}) c.FSpecArgs().Add(s);
        c.FSpecArgsExcl().Add("*.tmp");
        c.Add();
        return fake->records.back();
    };
    FakeRecord r = add(160);
    EXPECT_EQ(r.specs, (std::vector<std::string>{"deep/*.jpg", "flat.txt", "secret.txt", "plain<", "x"}));
    std::string flags;
    for (size_t i = 0; i < r.zipSpecs.size(); ++i)
        flags += std::to_string(r.zipSpecs[i].fRecurse) + std::to_string(r.zipSpecs[i].fEncrypt) + r.specPasswords[i] + " ";
    EXPECT_EQ(flags, "11rec 01rec 11own 10rec 11rec ");
    EXPECT_EQ(r.specRoots[0], "/root/");
    EXPECT_EQ(r.suffix, ".zip:.rar");
    EXPECT_EQ(r.tempPath, "/tmp");
    EXPECT_EQ(r.exclusions, std::vector<std::string>{"*.tmp"});
    EXPECT_EQ(std::to_string(r.zp.fSeven) + std::to_string(r.zp.fVersion) + std::to_string(r.zp.fLevel) +
                  std::to_string(r.zp.fJunkDir) + std::to_string(r.zp.fNoDirEntries) + std::to_string(r.zp.fGrow),
              "7160911" "1");
    EXPECT_TRUE(c.FSpecArgs().Count() == 0 && c.FSpecArgsExcl().Count() == 0) << "both lists are cleared";
    // A later library gets neither the temporary folder nor the fields of version 160.
    r = add(161);
    EXPECT_TRUE(r.tempPath.empty() && r.exclusions.empty() && r.zp.fHowToMove == 0);
    // An old library gets the old record: one text per line, as written.
    r = add(150);
    EXPECT_TRUE(r.oldLayout);
    EXPECT_EQ(r.specs[0], ">deep/*.jpg");
    c.AddStoreSuffixes = {};
    fake->version = 160;
    c.FSpecArgs().Add("x");
    c.Add();
    EXPECT_EQ(fake->records.back().suffix, "") << "no suffix selected: the field stays empty";

    // Delete: switches for deleting, specification texts only.
    tmp.Write("a.zip", "PK");
    c.AddOptions = {AddEncrypt, AddMove, AddUpdate, AddRecurseDirs};
    c.FSpecArgs().Add("p*.jpg");
    c.Delete();
    r = fake->records.back();
    EXPECT_EQ(std::to_string(r.zp.fDeleteEntries) + std::to_string(r.zp.fGrow) + std::to_string(r.zp.fMove) +
                  std::to_string(r.zp.fUpdate) + std::to_string(r.zp.fRecurse) + std::to_string(r.zp.fEncrypt) +
                  std::to_string(r.zp.fJunkDir),
              "1000000");
    EXPECT_EQ(r.specs, std::vector<std::string>{"p*.jpg"});
}

TEST(ZipWriteRecord, RefusalsBeforeTheLibrary) {
    FakeUi ui;
    FakeLib fake("full", false);
    ASSERT_TRUE(fake.Ok());
    TempDir tmp;
    TZipComponent c;
    c.SetDLLDirectory(FakeDir("full"));
    c.Unattended = true;
    std::vector<int> codes;
    c.OnMessage = [&](TZipComponent* s, int, const std::string&) { codes.push_back(s->ErrCode()); };
    c.Add();  // nothing to add
    c.FSpecArgs().Add("x");
    c.Add();  // no archive
    c.SetZipFileName(tmp.File("a.zip"));
    c.AddOptions = {AddEncrypt};
    c.FSpecArgs().Add("x");
    c.Add();  // unattended encryption without a password
    c.AddOptions = {AddDiskSpan, AddUpdate};
    c.FSpecArgs().Add("x");
    c.Add();
    c.Delete();  // nothing to delete
    c.FSpecArgs().Add("x");
    c.Delete();  // archive missing
    c.AddStreamToFile("a*.jpg", 0, 0);
    TMemoryStream empty;
    EXPECT_EQ(c.AddStreamToStream(&empty), c.ZipStream());
    EXPECT_EQ(c.AddStreamToStream(c.ZipStream()), nullptr);
    fake->version = 159;
    c.AddOptions = {};
    TMemoryStream in;
    in.Write("abc", 3);
    EXPECT_EQ(c.AddStreamToStream(&in)->Size(), 0);
    EXPECT_EQ(codes, (std::vector<int>{10301, 10102, 10302, 10303, 10401, 10102, 10307, 10301, 10306, 10305}));
    EXPECT_EQ(fake->execCalls, 0);
    // Missing library pieces give their messages and nothing runs.
    for (auto [dir, code] : {std::pair{FakeDir("noexec"), 10602}, {FakeDir("noversion"), 10603}, {tmp.Path(), 10604}}) {
        TZipComponent d;
        d.Unattended = true;
        d.SetDLLDirectory(dir);
        d.SetZipFileName(tmp.File("a.zip"));
        d.FSpecArgs().Add("x");
        d.Add();
        EXPECT_EQ(d.ErrCode(), code) << dir;
    }
}

// ---- Adding and deleting with the real library ----------------------------------------

TEST_F(ZipWrite, LevelsAndStoredSuffixes) {
    MakeBook();
    for (int level : {0, 1, 6, 9}) {
        std::string archive = tmp.File("l" + std::to_string(level) + ".zip");
        c.SetZipFileName(archive);
        c.AddCompLevel = level;
        c.AddOptions = {AddRecurseDirs, AddDirNames};
        AddFrom("src", {"book"});
        ASSERT_EQ(c.SuccessCnt(), 3) << messages;
        EXPECT_TRUE(Valid(archive)) << level;
        EXPECT_EQ(Names(archive), "book/a.txt,book/p1.jpg,book/sub/p2.png");
        std::string methods;
        for (const auto& e : c.ZipContents()) methods += std::to_string(e->ComprMethod);
        // Level 0 stores; the noise does not shrink and is stored; png is a stored suffix.
        EXPECT_EQ(methods, level == 0 ? "000" : "800") << level;
        EXPECT_TRUE(Member(archive, "book/sub/p2.png") == Repeat("png ", 500));
    }
    c.SetZipFileName(tmp.File("all.zip"));
    c.AddStoreSuffixes = {};
    c.AddOptions = {AddRecurseDirs};
    AddFrom("src/book", {"sub"});
    EXPECT_EQ(c.ZipContents()[0]->ComprMethod, 8) << "without the suffix list a png is compressed";
    EXPECT_EQ(Names(tmp.File("all.zip")), "p2.png") << "without directory names";
}

// One deflate state serves a whole add, and a small file is read once: every member must
// still be the stream a fresh deflate makes of its file, whatever came before it (stored,
// encrypted, not shrinking, empty, or too large to be read at once), and a file that changed
// after the listing is taken as it is at its turn.
TEST_F(ZipWrite, EveryMemberIsTheStreamOfAFreshDeflate) {
    std::mt19937 random(11);
    const char* words[] = {"panel ", "page ", "balloon ", "the ", "gutter ", "ink ", "\n"};
    auto text = [&](size_t n) {
        std::string t;
        while (t.size() < n) t += words[random() % 7];
        return t;
    };
    std::string noise;
    for (int i = 0; i < 50000; ++i) noise += static_cast<char>(random());
    tmp.Write("src/set/01.txt", text(300000));  // more than one read
    tmp.Write("src/set/02.bin", noise);         // does not shrink: stored
    tmp.Write("src/set/03.txt", text(100));
    tmp.Write("src/set/04.png", text(5000));    // a stored suffix
    tmp.Write("src/set/05.txt", "");
    tmp.Write("src/set/06.txt", text(17u << 20));  // streamed, not read whole
    tmp.Write("src/set/07.txt", text(70000));
    const std::string archive = tmp.File("set.zip");
    c.SetZipFileName(archive);
    c.AddCompLevel = 6;
    c.AddOptions = {AddRecurseDirs};
    AddFrom("src", {"set"});
    ASSERT_EQ(c.SuccessCnt(), 7) << messages;
    EXPECT_TRUE(Valid(archive));
    EXPECT_EQ(PyValid(), "");
    Py("import zipfile, struct\n"
       "z, f, out = zipfile.ZipFile('set.zip'), open('set.zip', 'rb'), []\n"
       "for i in z.infolist():\n"
       "    f.seek(i.header_offset + 26)\n"
       "    n, m = struct.unpack('<HH', f.read(4))\n"
       "    f.seek(i.header_offset + 30 + n + m)\n"
       "    raw, data = f.read(i.compress_size), z.read(i.filename)\n"
       "    d = zlib.compressobj(6, zlib.DEFLATED, -15, 9)\n"
       "    same = raw == (d.compress(data) + d.flush() if i.compress_type == 8 else data)\n"
       "    out.append('%s:%d:%s' % (i.filename[-6:], i.compress_type, 'same' if same else 'DIFFERENT'))\n"
       "write('methods.txt', ' '.join(out).encode())\n");
    EXPECT_EQ(ReadFileBytes(tmp.File("methods.txt")),
              "01.txt:8:same 02.bin:0:same 03.txt:8:same 04.png:0:same 05.txt:0:same 06.txt:8:same 07.txt:8:same");
    // Encrypted, every path again: the CRC read first for the streamed file, from memory
    // for the others.
    std::remove(archive.c_str());
    c.AddOptions = {AddRecurseDirs, AddEncrypt};
    c.Password = "pw";
    AddFrom("src", {"set"});
    ASSERT_EQ(c.SuccessCnt(), 7) << messages;
    EXPECT_TRUE(Valid(archive, "pw"));
    EXPECT_EQ(Names(archive), "01.txt,02.bin,03.txt,04.png,05.txt,06.txt,07.txt");
    EXPECT_TRUE(Member(archive, "07.txt", "pw") == ReadFileBytes(tmp.File("src/set/07.txt")));

    // Files that change between the listing and their turn: one that grew is streamed to its
    // end, one that shrank is taken as it is now.
    const std::string grown = text(200000), shrunk = "short";
    tmp.Write("src/change/a.txt", text(300000));
    tmp.Write("src/change/b.txt", text(1000));
    tmp.Write("src/change/c.txt", text(9000));
    c.OnProgress = [&](TZipComponent*, ProgressType t, const std::string&, uint32_t) {
        if (t != ProgressUpdate) return;
        tmp.Write("src/change/b.txt", grown);
        tmp.Write("src/change/c.txt", shrunk);
    };
    std::remove(archive.c_str());
    c.AddOptions = {AddRecurseDirs};
    AddFrom("src", {"change"});
    ASSERT_EQ(c.SuccessCnt(), 3) << messages;
    EXPECT_TRUE(Valid(archive));
    EXPECT_TRUE(Member(archive, "b.txt") == grown);
    EXPECT_EQ(Member(archive, "c.txt"), shrunk);
}

TEST_F(ZipWrite, SelectionOptions) {
    MakeBook();
    tmp.Write("src/book/LongFileName.jpeg", "long");
    struct Case {
        TZipAddOptions options;
        std::vector<std::string> specs, excluded;
        std::string names;
    } cases[] = {
        {{AddRecurseDirs, AddDirNames}, {"book/*.jpg"}, {}, "book/p1.jpg"},
        {{AddDirNames}, {"book/*"}, {}, "book/LongFileName.jpeg,book/a.txt,book/p1.jpg"},
        {{AddDirNames, AddHiddenFiles}, {"book/*"}, {}, "book/.hidden,book/LongFileName.jpeg,book/a.txt,book/p1.jpg"},
        {{AddRecurseDirs, AddDirNames, AddSeparateDirs}, {"book"}, {"*.jpg", "*.jpeg", "a.txt"}, "book/,book/sub/,book/sub/p2.png"},
        {{AddForceDOS}, {"book/LongFileName.jpeg"}, {}, "LONGFILE.JPE"},
        {{AddRecurseDirs, AddDirNames}, {"book/a.txt", "book/../book/a.txt", "missing.txt"}, {}, "book/a.txt"},
    };
    int n = 0;
    for (const auto& k : cases) {
        std::string archive = tmp.File("s" + std::to_string(n++) + ".zip");
        c.SetZipFileName(archive);
        c.AddOptions = k.options;
        for (const auto& x : k.excluded) c.FSpecArgsExcl().Add(x);
        AddFrom("src", {});
        for (const auto& s : k.specs) c.FSpecArgs().Add(s);
        c.Add();
        EXPECT_EQ(Names(archive), k.names) << n;
        EXPECT_TRUE(Valid(archive)) << n;
    }
}

TEST_F(ZipWrite, FreshenUpdateMoveAndZipTime) {
    tmp.Write("src/a.txt", "old a");
    tmp.Write("src/b.txt", "old b");
    std::string archive = tmp.File("f.zip");
    c.SetZipFileName(archive);
    AddFrom("src", {"a.txt", "b.txt"});
    auto age = [&](const std::string& f, time_t t) {
        struct timespec ts[2] = {{t, 0}, {t, 0}};
        ::utimensat(AT_FDCWD, tmp.File(f).c_str(), ts, 0);
    };
    tmp.Write("src/a.txt", "new a");
    tmp.Write("src/b.txt", "new b");
    tmp.Write("src/c.txt", "new c");
    age("src/b.txt", 1000000000);  // older than its entry: not taken
    age("src/a.txt", time(nullptr) + 120);
    c.AddOptions = {AddFreshen};
    AddFrom("src", {"*.txt"});
    EXPECT_EQ(c.SuccessCnt(), 1);
    EXPECT_EQ(Names(archive), "a.txt,b.txt") << "freshen adds nothing new";
    EXPECT_EQ(Member(archive, "a.txt") + Member(archive, "b.txt"), "new aold b");
    c.AddOptions = {AddUpdate, AddZipTime};
    AddFrom("src", {"*.txt"});
    EXPECT_EQ(Names(archive), "a.txt,b.txt,c.txt");
    struct stat st {};
    ::stat(archive.c_str(), &st);
    EXPECT_NEAR(static_cast<double>(st.st_mtime), static_cast<double>(time(nullptr) + 120), 2.0) << "the newest entry's time";
    c.AddOptions = {AddMove};
    AddFrom("src", {"b.txt"});
    EXPECT_FALSE(FileExists(tmp.File("src/b.txt"))) << "moved into the archive";
    EXPECT_EQ(Member(archive, "b.txt"), "new b");
    // Delete by pattern; the rest stays as it was.
    c.FSpecArgs().Add("?.TXT");
    c.FSpecArgs().Add("b.txt");
    c.Delete();
    EXPECT_EQ(c.SuccessCnt(), 3);
    EXPECT_EQ(c.GetCount(), 0);
    EXPECT_EQ(FileSize(archive), 22) << "an empty archive";
}

TEST_F(ZipWrite, EncryptionAndPasswordQuestions) {
    MakeBook();
    std::string archive = tmp.File("e.zip");
    c.SetZipFileName(archive);
    c.AddOptions = {AddEncrypt};
    c.Password = "s3cret";
    AddFrom("src/book", {"a.txt", "p1.jpg"});
    ASSERT_EQ(c.SuccessCnt(), 2) << messages;
    EXPECT_TRUE(Valid(archive, "s3cret"));
    EXPECT_EQ(PyValid(), "");
    EXPECT_FALSE(UnzipTestPasses(archive, "wrong"));
    // No password: the library asks, and the dialog asks twice.
    c.Password.clear();
    ui.passwords = {"typed", "typed"};
    AddFrom("src/book", {"sub/p2.png"});
    EXPECT_EQ(ui.passwordRequests.size(), 2u);
    EXPECT_TRUE(Member(archive, "p2.png", "typed") == Repeat("png ", 500));
    // A line's own password; the other line plain.
    c.AddOptions = {};
    AddFrom("src/book", {"a.txt<line", ".hidden"});
    EXPECT_TRUE(UnzipTestPasses(archive, "line") || Member(archive, "a.txt", "line") == Repeat("page text ", 300));
    EXPECT_EQ(Member(archive, ".hidden"), "h");
    // The dialog cancelled: nothing is added and the archive is untouched.
    std::string before = ReadFileBytes(archive);
    c.AddOptions = {AddEncrypt};
    AddFrom("src/book", {"a.txt"});
    EXPECT_EQ(c.SuccessCnt(), 0);
    EXPECT_TRUE(ReadFileBytes(archive) == before);
}

TEST_F(ZipWrite, StreamsToFileAndToStream) {
    std::string archive = tmp.File("s.zip");
    c.SetZipFileName(archive);
    std::string page = Repeat("stream page ", 1000);
    c.ZipStream()->SetPointer(page.data(), static_cast<int64_t>(page.size()));
    uint32_t when = (uint32_t((2021 - 1980) << 9 | 3 << 5 | 4) << 16) | (10 << 11 | 20 << 5 | 15);
    c.AddStreamToFile("dir\\page.txt", when, 0x20);
    ASSERT_EQ(c.SuccessCnt(), 1) << messages;
    EXPECT_TRUE(Valid(archive));
    ASSERT_EQ(c.GetCount(), 1);
    EXPECT_EQ(c.ZipContents()[0]->FileName, "dir\\page.txt");
    EXPECT_EQ((uint32_t(c.ZipContents()[0]->ModifDate) << 16) | c.ZipContents()[0]->ModifTime, when);
    EXPECT_EQ(Member(archive, "dir/page.txt"), page);
    // Buffer to buffer, and back through the unzip library.
    for (const std::string& plain : {page, std::string("x"), std::string(300, '\xAB') + "tail"}) {
        TMemoryStream in;
        in.Write(plain.data(), static_cast<int64_t>(plain.size()));
        TZipStream* packed = c.AddStreamToStream(&in);
        ASSERT_TRUE(packed && packed->Size() > ZIPDLL_STREAM_HEADER);
        EXPECT_EQ(packed->Position(), ZIPDLL_STREAM_HEADER);
        TMemoryStream copy;
        copy.Write(packed->Memory(), packed->Size());
        c.SetDLLDirectory(ModuleDir());
        EXPECT_EQ(Bytes(c.ExtractStreamToStream(&copy, static_cast<uint32_t>(plain.size()))), plain);
    }
}

TEST_F(ZipWrite, NewNamesCommentsAndProgressFromTheLibrary) {
    tmp.Write("src/a.txt", "aaa");
    tmp.Write("src/b.txt", "bbbb");
    std::string archive = tmp.File("n.zip");
    c.SetZipFileName(archive);
    std::vector<std::string> progress;
    c.OnProgress = [&](TZipComponent*, ProgressType t, const std::string& name, uint32_t size) {
        if (t != ProgressUpdate) progress.push_back(std::to_string(t) + ExtractFileName(name) + ":" + std::to_string(size));
    };
    c.OnSetNewName = [](TZipComponent*, std::string& name, bool& changed) {
        if (name == "a.txt") name = "dir\\renamed.txt", changed = true;
    };
    c.OnFileComment = [](TZipComponent*, const std::string& name, std::string& comment, bool& changed) {
        if (name.find("b.txt") != std::string::npos) comment = "note on b", changed = true;
    };
    AddFrom("src", {"a.txt", "b.txt"});
    ASSERT_EQ(c.SuccessCnt(), 2) << messages;
    EXPECT_EQ(Names(archive), "dir/renamed.txt,b.txt");
    ASSERT_EQ(c.GetCount(), 2);
    EXPECT_EQ(c.ZipContents()[1]->FileComment, "note on b");
    EXPECT_EQ(progress, (std::vector<std::string>{"3:2", "4:7", "0a.txt:3", "0b.txt:4", "2:0"}));
    EXPECT_TRUE(Valid(archive));
}

// ---- Archives written by other programs ------------------------------------------------

TEST_F(ZipWrite, PeerArchivesStayWhole) {
    MakeBook();
    for (int level = 0; level <= 9; ++level) Zip("-r -" + std::to_string(level) + " ../z" + std::to_string(level) + ".zip book");
    Zip("-r -e -P pw ../ze.zip book");
    ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && echo 'a comment' | zip -q -z -r ../zc.zip book"), 0);
    tmp.Write("stub.bin", Repeat("STUB", 1000));
    Zip("-r ../inner.zip book");
    ASSERT_EQ(RunShell("cd " + Quote(tmp.Path()) + " && cat stub.bin inner.zip > za.zip && zip -q -A za.zip"), 0);
    Py("write('pd.zip', make_zip([entry(b'book/s.txt', b'signed' * 50, desc='signed'),"
       " entry(b'book/u.txt', b'unsigned' * 50, desc='unsigned'), entry(b'book/n.txt', b'none' * 50)]))\n"
       "import zipfile, io\n"
       "class W(io.RawIOBase):\n"
       "    def __init__(s, f): s.f = f\n"
       "    def writable(s): return True\n"
       "    def write(s, b): return s.f.write(b)\n"
       "with open('py.zip', 'wb') as f:\n"
       "    with zipfile.ZipFile(W(f), 'w', zipfile.ZIP_DEFLATED) as z:\n"
       "        z.writestr('book/streamed.txt', 'streamed ' * 100)\n"
       "        z.writestr('book/second.txt', 'second ' * 100)\n");
    tmp.Write("src/extra.txt", "extra");
    for (const char* name : {"z0.zip", "z1.zip", "z2.zip", "z3.zip", "z4.zip", "z5.zip", "z6.zip", "z7.zip", "z8.zip", "z9.zip",
                             "ze.zip", "zc.zip", "za.zip", "pd.zip", "py.zip"}) {
        std::string archive = tmp.File(name);
        std::string password = std::string(name) == "ze.zip" ? "pw" : "";
        std::string before = Names(archive);
        c.SetZipFileName(archive);
        AddFrom("src", {"extra.txt"});
        ASSERT_EQ(c.SuccessCnt(), 1) << name << messages;
        EXPECT_EQ(Names(archive), before + ",extra.txt") << name;
        EXPECT_TRUE(Valid(archive, password)) << name;
        c.FSpecArgs().Add("extra.txt");
        c.Delete();
        EXPECT_EQ(Names(archive), before) << name;
        std::vector<RenameItem> items{{"book\\", "volume/", 0}};
        EXPECT_EQ(c.Rename(items, 0), 0) << name << messages;
        EXPECT_TRUE(Valid(archive, password)) << name;
        EXPECT_EQ(Names(archive).find("book/"), std::string::npos) << name;
    }
    EXPECT_EQ(ReadFileBytes(tmp.File("za.zip")).substr(0, 4000), Repeat("STUB", 1000)) << "the prefix stays in front";
    EXPECT_EQ(c.GetZipComment(), "") << "listing of the last one";
    c.SetZipFileName(tmp.File("zc.zip"));
    EXPECT_EQ(c.GetZipComment(), "a comment");
}

// Entries dropped at the start and in the middle: the kept ones are copied as runs of
// neighbouring records, each pointed at its new place.
TEST_F(ZipWrite, DeletingAroundKeptRunsLeavesTheRestWhole) {
    MakeBook();
    for (int i = 0; i < 6; ++i) tmp.Write("src/book/x" + std::to_string(i) + ".txt", Repeat("x" + std::to_string(i), 400 + i));
    Zip("-r ../d.zip book");
    const std::string archive = tmp.File("d.zip");
    std::map<std::string, std::string> before;
    std::string names = Names(archive);
    for (size_t at = 0; at <= names.size();) {
        size_t end = std::min(names.find(',', at), names.size());
        std::string name = names.substr(at, end - at);
        before[name] = Member(archive, name);
        at = end + 1;
    }
    const std::string first = names.substr(0, names.find(','));
    c.SetZipFileName(archive);
    c.FSpecArgs().Add(first);
    c.FSpecArgs().Add("book/x2.txt");
    c.FSpecArgs().Add("book/x4.txt");
    c.Delete();
    ASSERT_EQ(c.SuccessCnt(), 3) << messages;
    EXPECT_TRUE(Valid(archive));
    before.erase(first);
    before.erase("book/x2.txt");
    before.erase("book/x4.txt");
    std::string left = Names(archive);
    for (const auto& [name, bytes] : before) {
        EXPECT_NE(left.find(name), std::string::npos) << name;
        EXPECT_EQ(Member(archive, name), bytes) << name;
    }
    EXPECT_EQ(std::count(left.begin(), left.end(), ',') + 1, static_cast<long>(before.size()));
}

// Everything a listing holds, entry by entry, as text to compare.
std::string Listing(const TZipComponent& z) {
    std::string r = "count " + std::to_string(z.GetCount()) + " sfx " + std::to_string(z.SFXOffset()) + " comment [" +
                    z.GetZipComment() + "]\n";
    for (const auto& e : z.ZipContents()) {
        for (uint32_t v : {uint32_t(e->MadeByVersion), uint32_t(e->NeedVersion), uint32_t(e->Flag), uint32_t(e->ComprMethod),
                           uint32_t(e->ModifTime), uint32_t(e->ModifDate), e->CRC32, e->ComprSize, e->UncomprSize,
                           uint32_t(e->FileNameLength), uint32_t(e->ExtraFieldLength), uint32_t(e->FileCommentLen),
                           uint32_t(e->StartOnDisk), uint32_t(e->IntFileAttrib), e->ExtFileAttrib, e->RelOffLocalHdr})
            r += std::to_string(v) + " ";
        r += e->FileName + " [" + e->FileComment + "] " + e->RawFileName + " " + std::to_string(e->ExtraData.size()) +
             (e->Encrypted ? " encrypted" : "") + "\n";
    }
    return r;
}

// The system's volumes, counting the listings that ask for them.
struct CountedVolumes : IVolumeService {
    int asked = 0;
    std::string RootOf(const std::string& path) override {
        ++asked;
        return SystemVolumes().RootOf(path);
    }
    bool RootExists(const std::string& root) override { return SystemVolumes().RootExists(root); }
    unsigned DriveType(const std::string& root) override { return SystemVolumes().DriveType(root); }
    bool VolumeInformation(const std::string& root, std::string& label, uint32_t& serial, int& error) override {
        return SystemVolumes().VolumeInformation(root, label, serial, error);
    }
    bool FreeSpace(const std::string& root, int64_t& f, int64_t& s) override { return SystemVolumes().FreeSpace(root, f, s); }
};

// After a delete the listing is the new archive's, made from the directory the library just
// wrote, not from a second read of the file: field for field what a fresh listing reads, a
// stub in front, an archive comment, entry comments and every entry deleted included, and
// the members are found and read through it.
TEST_F(ZipWrite, ListingAfterADeleteIsTheWrittenOneWithoutARead) {
    MakeBook();
    for (int i = 0; i < 5; ++i) tmp.Write("src/book/x" + std::to_string(i) + ".txt", Repeat("x" + std::to_string(i), 300 + i));
    ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && echo 'the comment' | zip -q -z -r ../c.zip book"), 0);
    ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && printf 'on x1\\n' | zip -q -c ../c.zip book/x1.txt"), 0);
    tmp.Write("stub.bin", Repeat("STUB", 700));
    Zip("-r ../inner.zip book");
    ASSERT_EQ(RunShell("cd " + Quote(tmp.Path()) + " && cat stub.bin inner.zip > s.zip && zip -q -A s.zip"), 0);
    // A stub whose offsets were never adjusted: the listing shifts them, the rewrite stores
    // file positions.
    ASSERT_EQ(RunShell("cd " + Quote(tmp.Path()) + " && cat stub.bin inner.zip > u.zip"), 0);
    CountedVolumes volumes;
    c.SetVolumeService(&volumes);
    for (const char* name : {"c.zip", "s.zip", "u.zip"}) {
        const std::string archive = tmp.File(name);
        c.SetZipFileName(archive);
        ASSERT_GT(c.GetCount(), 7) << name << messages;
        const std::string p1 = Member(archive, "book/p1.jpg");
        for (const char* pattern : {"book/x3.txt", "book/a.txt", "*x?.txt", "*"}) {
            const int asked = volumes.asked;
            c.FSpecArgs().Add(pattern);
            c.Delete();
            ASSERT_GT(c.SuccessCnt(), 0) << name << " " << pattern << messages;
            EXPECT_EQ(volumes.asked, asked) << name << " " << pattern << ": the new file was listed again";
            TZipComponent fresh;
            fresh.SetZipFileName(archive);
            EXPECT_EQ(Listing(c), Listing(fresh)) << name << " " << pattern;
            if (!std::strchr(pattern, '*')) {
                EXPECT_EQ(c.FindEntry(pattern), -1) << name << " " << pattern;
            }
            if (std::string(pattern) != "*") {
                ASSERT_GE(c.FindEntry("book\\p1.jpg"), 0) << name << " " << pattern;
                TZipStream* s = c.ExtractFileToStream("book\\p1.jpg");
                ASSERT_NE(s, nullptr) << name << " " << pattern << messages;
                EXPECT_TRUE(std::string(reinterpret_cast<const char*>(s->Memory()), static_cast<size_t>(s->Size())) == p1)
                    << name << " " << pattern;
            }
        }
        EXPECT_EQ(c.GetCount(), 0) << name;
        EXPECT_TRUE(Valid(archive) || Names(archive).empty()) << name;
    }
    EXPECT_EQ(c.GetZipComment(), "") << "the last one had no comment";
    // A listing made when the archive was not there yet knows nothing of its place: the new
    // file is listed from the disk.
    const std::string late = tmp.File("late.zip");
    c.SetZipFileName(late);
    Zip("-r ../late.zip book");
    const int asked = volumes.asked;
    c.FSpecArgs().Add("book/a.txt");
    c.Delete();
    ASSERT_EQ(c.SuccessCnt(), 1) << messages;
    EXPECT_GT(volumes.asked, asked);
    TZipComponent fresh;
    fresh.SetZipFileName(late);
    EXPECT_EQ(Listing(c), Listing(fresh));
    EXPECT_GT(c.GetCount(), 5);
    c.SetVolumeService(nullptr);
}

// The output gathers small writes and copies other files in the kernel: whatever the mix,
// the bytes land in the order written, patches included, also from a file on another file
// system (where the kernel refuses and plain reads take over).
TEST(ZipSafeOutput, GatheredWritesCopiesAndPatchesLandInOrder) {
    TempDir tmp;
    std::string source;
    for (int i = 0; i < 300000; ++i) source += static_cast<char>('a' + i % 23);
    const std::string here = tmp.Write("source.bin", source);
    std::vector<std::string> inputs{here};
    char shm[] = "/dev/shm/vellicor-safeoutput-XXXXXX";
    int shmFd = ::mkstemp(shm);
    if (shmFd >= 0) {
        EXPECT_EQ(::write(shmFd, source.data(), source.size()), static_cast<ssize_t>(source.size()));
        ::close(shmFd);
        inputs.push_back(shm);
    }
    for (const std::string& input : inputs) {
        const std::string target = tmp.File("out.zip");
        tmp.Write("out.zip", "old");
        int in = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(in, 0) << input;
        std::string expected;
        zip::SafeOutput out;
        out.Create(target);
        for (int i = 0; i < 5000; ++i) {  // many small records, as a central directory
            std::string record = "<" + std::to_string(i) + ">";
            out.Write(record.data(), record.size());
            expected += record;
        }
        out.CopyFrom(in, 1000, 200000, zip::kErrData);
        expected += source.substr(1000, 200000);
        out.Write("tail", 4);
        expected += "tail";
        const std::string big(100000, 'B');
        out.Write(big.data(), big.size());
        expected += big;
        out.Write("end", 3);
        expected += "end";
        out.WriteAt(2, "PATCH", 5);  // as a local header is finished after its data
        expected.replace(2, 5, "PATCH");
        EXPECT_EQ(out.Position(), static_cast<int64_t>(expected.size()));
        out.Write("more", 4);
        expected += "more";
        out.Truncate(static_cast<int64_t>(expected.size()) - 2);
        expected.resize(expected.size() - 2);
        out.Write("!", 1);
        expected += "!";
        struct stat st {};
        ASSERT_EQ(::fstat(out.Handle(), &st), 0);
        EXPECT_EQ(st.st_size, static_cast<off_t>(expected.size())) << "all of it in the file before the handle is used";
        // A copy the input cannot fill fails with the read error; the target stays as it was.
        try {
            out.CopyFrom(in, static_cast<int64_t>(source.size()) - 10, 20, zip::kErrData);
            ADD_FAILURE() << "a short copy passed";
        } catch (const zip::ZipFileError& e) {
            EXPECT_EQ(e.code, zip::kErrData);
        }
        EXPECT_EQ(ReadFileBytes(target), "old");
        out.Truncate(static_cast<int64_t>(expected.size()));
        out.Commit();
        ::close(in);
        EXPECT_EQ(ReadFileBytes(target), expected) << input;
        EXPECT_TRUE(TempLeftovers(tmp.Path()).empty()) << input;
    }
    if (shmFd >= 0) ::unlink(shm);
}

// ---- No archive is lost when writing fails ----------------------------------------------

TEST_F(ZipWrite, FailedWritesLeaveEveryArchiveAsItWas) {
    MakeBook();
    std::string big;
    std::mt19937 random(3);
    for (int i = 0; i < 400000; ++i) big += static_cast<char>(random());
    tmp.Write("src/big.bin", big);
    Zip("-r ../a.zip book");
    Zip("-r ../b.zip book/a.txt");
    std::string archive = tmp.File("a.zip"), dest = tmp.File("b.zip");
    std::string before = ReadFileBytes(archive), destBefore = ReadFileBytes(dest);
    auto limited = [&](std::function<bool()> op) {
        return [op] {
            ::signal(SIGXFSZ, SIG_IGN);
            struct rlimit lim {100000, 100000};  // a file system full at 100 kB
            ::setrlimit(RLIMIT_FSIZE, &lim);
            return op() ? 0 : 1;
        };
    };
    c.Unattended = true;
    c.SetZipFileName(archive);
    std::vector<std::pair<std::string, std::function<bool()>>> ops = {
        {"add", [&] { AddFrom("src", {"big.bin"}); return c.SuccessCnt() > 0; }},
        {"rename", [&] { std::vector<RenameItem> r{{"book", "b", 0}}; return c.Rename(r, 0) == 0; }},
        {"sfx", [&] { return c.ConvertSFX() == 0; }},
        {"delete", [&] {
             // Nothing written, nothing handed back: the listing stays the old archive's.
             const std::string listed = Listing(c);
             c.FSpecArgs().Add("book/p1.jpg");
             c.Delete();
             return c.SuccessCnt() > 0 || Listing(c) != listed || c.GetCount() != 2;
         }},
        {"copy", [&] {
             TZipComponent d;
             d.Unattended = true;
             d.SetZipFileName(dest);
             c.FSpecArgs().Add("big.bin");
             return c.CopyZippedFiles(&d, true, OvrAlways) == 0;
         }},
    };
    for (auto& [name, op] : ops) {
        // Rename, copy and delete fit in the limit with a larger stub: give them a big file to carry.
        if (name == "rename" || name == "copy" || name == "delete") {
            c.SetZipFileName(tmp.File("big.zip"));
            ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && zip -q -0 ../big.zip big.bin book/p1.jpg"), 0);
        }
        std::string self = c.ZipFileName(), selfBefore = ReadFileBytes(self);
        EXPECT_FALSE(InChild(limited(op))) << name << " reported success (or changed its listing) on a full file system";
        EXPECT_TRUE(ReadFileBytes(self) == selfBefore) << name;
        EXPECT_TRUE(ReadFileBytes(dest) == destBefore) << name;
        EXPECT_TRUE(TempLeftovers(tmp.Path()).empty()) << name;
        EXPECT_FALSE(FileExists(ChangeFileExt(self, ".exe"))) << name;
        c.SetZipFileName(archive);
    }
    // A process killed in the middle of writing: the archive is still the old one.
    c.OnProgress = [](TZipComponent*, ProgressType t, const std::string&, uint32_t) {
        if (t == ProgressUpdate) _exit(3);
    };
    EXPECT_FALSE(InChild([&] { AddFrom("src", {"big.bin"}); return 0; }));
    EXPECT_TRUE(ReadFileBytes(archive) == before);
    EXPECT_TRUE(Valid(archive));
    EXPECT_EQ(TempLeftovers(tmp.Path()), std::vector<std::string>{}) << "the unfinished file had no name";
    c.OnProgress = nullptr;
}

// Where a file system refuses unnamed files, the temporary has a name from the start and
// still replaces its target only when whole, and goes when the write fails.
TEST_F(ZipWrite, NamedTemporariesWhereUnnamedOnesAreRefused) {
    MakeBook();
    Zip("-r ../n.zip book");
    std::string archive = tmp.File("n.zip");
    c.SetZipFileName(archive);
    zip::SafeOutput::AllowUnnamed(false);
    std::vector<RenameItem> items{{"book/a.txt", "b.txt", 0}};
    EXPECT_EQ(c.Rename(items, 0), 0);
    EXPECT_TRUE(TempLeftovers(tmp.Path()).empty());
    std::string before = ReadFileBytes(archive);
    c.OnProgress = [](TZipComponent*, ProgressType t, const std::string&, uint32_t) {
        if (t == ProgressUpdate) _exit(3);
    };
    std::vector<RenameItem> again{{"b.txt", "c.txt", 0}};
    EXPECT_FALSE(InChild([&] { return c.Rename(again, 0); }));
    c.OnProgress = nullptr;
    zip::SafeOutput::AllowUnnamed(true);
    EXPECT_EQ(TempLeftovers(tmp.Path()).size(), 1u) << "a killed write leaves its named temporary, as before";
    EXPECT_TRUE(ReadFileBytes(archive) == before);
    EXPECT_NE(Names(archive).find("b.txt"), std::string::npos);
    EXPECT_TRUE(Valid(archive));
}

// Every rewrite through a symbolic link replaces the file the link names and keeps the
// link; one archive under two names is one archive.
TEST_F(ZipWrite, WritesThroughLinksReplaceTheFileTheyName) {
    MakeBook();
    Zip("-r ../real.zip book");
    std::filesystem::create_directories(tmp.File("links"));
    std::string real = tmp.File("real.zip"), link = tmp.File("links/link.zip"), chain = tmp.File("chain.zip");
    std::filesystem::create_symlink("../real.zip", link);  // relative to the link's folder
    std::filesystem::create_symlink(link, chain);          // a link to a link
    auto stillLinks = [&] {
        return std::filesystem::is_symlink(link) && std::filesystem::is_symlink(chain) &&
               std::filesystem::read_symlink(link) == "../real.zip";
    };
    c.SetZipFileName(chain);
    std::vector<RenameItem> items{{"book/a.txt", "book/renamed.txt", 0}};
    ASSERT_EQ(c.Rename(items, 0), 0) << messages;
    EXPECT_TRUE(stillLinks());
    EXPECT_NE(Names(real).find("book/renamed.txt"), std::string::npos) << Names(real);
    c.SetZipFileName(link);
    tmp.Write("src/new.txt", "new");
    AddFrom("src", {"new.txt"});
    EXPECT_EQ(c.SuccessCnt(), 1) << messages;
    c.FSpecArgs().Add("book/.hidden");
    c.Delete();
    EXPECT_EQ(c.SuccessCnt(), 1) << messages;
    EXPECT_TRUE(stillLinks());
    EXPECT_EQ(Member(real, "new.txt"), "new");
    EXPECT_EQ(Names(real).find(".hidden"), std::string::npos);
    EXPECT_TRUE(Valid(real));
    EXPECT_TRUE(TempLeftovers(tmp.File("links")).empty() && TempLeftovers(tmp.Path()).empty());

    // Copying an archive into itself under another name: refused, both names untouched.
    std::string hard = tmp.File("hard.zip"), before = ReadFileBytes(real);
    ASSERT_EQ(::link(real.c_str(), hard.c_str()), 0);
    c.Unattended = true;
    c.SetZipFileName(real);
    for (const std::string& alias : {link, chain, hard}) {
        TZipComponent d;
        d.Unattended = true;
        d.SetZipFileName(alias);
        c.FSpecArgs().Add("new.txt");
        EXPECT_EQ(c.CopyZippedFiles(&d, true, OvrAlways), -7) << alias;
        EXPECT_EQ(c.ErrCode(), 10180) << alias;
        c.FSpecArgs().Clear();
    }
    EXPECT_TRUE(ReadFileBytes(real) == before && stillLinks());
}

// ---- Renaming -------------------------------------------------------------------------

TEST_F(ZipWrite, RenameItemsDatesAndRefusals) {
    Py("write('r.zip', make_zip([entry(b'Book/Page1.jpg', b'one' * 40), entry(b'Book/sub/p2.jpg', b'two' * 40, desc='signed'),"
       " entry(b'other/p3.jpg', b'three' * 40, desc='unsigned', comment=b'c3'), entry(b'x.txt', b'x')], comment=b'arc',"
       " prefix=b'MZstub' * 100, offsets_from_file=True))\n"
       "b = bytearray(make_zip([entry(b'a.txt', b'a')]))\n"
       "b[-22 + 4] = 1\n"
       "b[-22 + 6] = 1\n"
       "write('spanned.zip', bytes(b))\n");
    std::string archive = tmp.File("r.zip");
    c.SetZipFileName(archive);
    uint32_t stamp = (uint32_t((2010 - 1980) << 9 | 5 << 5 | 6) << 16) | (7 << 11);
    // Case-blind match, a directory prefix, and a second item that sees the first one's result.
    std::vector<RenameItem> items{{"book/", "Volume\\", 0}, {"VOLUME/SUB/P2", "v/deep/second", stamp}, {"x.txt", "y.text", 0}};
    ASSERT_EQ(c.Rename(items, 0), 0) << messages;
    EXPECT_EQ(Names(archive), "Volume/Page1.jpg,v/deep/second.jpg,other/p3.jpg,y.text");
    EXPECT_TRUE(Valid(archive));
    EXPECT_EQ(Member(archive, "v/deep/second.jpg"), Repeat("two", 40)) << "descriptor carried";
    EXPECT_EQ(ReadFileBytes(archive).substr(0, 600), Repeat("MZstub", 100));
    EXPECT_EQ(c.GetZipComment(), "arc");
    EXPECT_NE(messages.find("Processing: Book/Page1.jpg renamed to: Volume/Page1.jpg"), std::string::npos) << messages;
    std::map<std::string, uint32_t> dates;
    for (const auto& e : c.ZipContents()) dates[e->FileName] = (uint32_t(e->ModifDate) << 16) | e->ModifTime;
    EXPECT_EQ(dates["v\\deep\\second.jpg"], stamp);
    EXPECT_EQ(dates["other\\p3.jpg"], 0x58216000u) << "no date given: kept";
    // A date for everything; then refusals that leave the archive alone.
    std::vector<RenameItem> none;
    ASSERT_EQ(c.Rename(none, stamp), 0);
    for (const auto& e : c.ZipContents()) EXPECT_EQ((uint32_t(e->ModifDate) << 16) | e->ModifTime, stamp);
    std::string before = ReadFileBytes(archive);
    std::vector<RenameItem> toDir{{"y.text", "dir/", 0}};
    EXPECT_EQ(c.Rename(toDir, 0), -10);
    c.Unattended = true;
    c.SetZipFileName(tmp.File("spanned.zip"));
    std::vector<RenameItem> any{{"a", "b", 0}};
    EXPECT_EQ(c.Rename(any, 0), -7);
    EXPECT_EQ(c.ErrCode(), 10141);
    EXPECT_TRUE(ReadFileBytes(archive) == before);
    // A local header that does not belong to its central entry is refused, not misread.
    Py("b = bytearray(make_zip([entry(b'aa.txt', b'a' * 10), entry(b'bb.txt', b'b' * 10)]))\n"
       "i = b.index(b'bb.txt')\n"
       "b[i:i+2] = b'cc'\n"
       "write('mismatch.zip', bytes(b))\n");
    c.SetZipFileName(tmp.File("mismatch.zip"));
    EXPECT_EQ(c.Rename(any, 0), -7);
    EXPECT_EQ(c.ErrCode(), 11026);
}

// Classic encryption with the sizes after the data (as zip writes from a pipe) checks the
// password against the entry's time: such an entry keeps its time, and the caller is told.
TEST_F(ZipWrite, RenameKeepsTheTimeOfEncryptedEntriesThatCheckIt) {
    std::filesystem::create_directories(tmp.File("src"));
    tmp.Write("src/file.txt", Repeat("file ", 100));
    ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && printf 'piped data' | zip -q -fz- -P pw ../enc.zip -"), 0);
    std::string archive = tmp.File("enc.zip");
    c.SetZipFileName(archive);
    c.AddOptions = {AddEncrypt};
    c.Password = "pw";
    AddFrom("src", {"file.txt"});
    ASSERT_EQ(c.SuccessCnt(), 1) << messages;
    std::map<std::string, uint32_t> before, after;
    std::map<std::string, uint16_t> flags;
    for (const auto& e : c.ZipContents()) {
        before[e->FileName] = (uint32_t(e->ModifDate) << 16) | e->ModifTime;
        flags[e->FileName] = e->Flag;
    }
    ASSERT_EQ(flags["-"] & 0x9, 0x9) << "encrypted, sizes in a descriptor";
    ASSERT_EQ(flags["file.txt"] & 0x9, 0x1) << "encrypted, sizes in the header";
    uint32_t stamp = (uint32_t((2020 - 1980) << 9 | 1 << 5 | 2) << 16) | (3 << 11 | 4 << 5 | 5 / 2);
    std::vector<RenameItem> items{{"-", "piped.txt", 0}};
    ASSERT_EQ(c.Rename(items, stamp), 0) << messages;
    for (const auto& e : c.ZipContents()) after[e->FileName] = (uint32_t(e->ModifDate) << 16) | e->ModifTime;
    EXPECT_EQ(after["piped.txt"], before["-"]) << "the time that checks the password is kept";
    EXPECT_EQ(after["file.txt"], stamp) << "the CRC checks this one: its date changes";
    EXPECT_EQ(c.ErrCode(), GE_DatesKept);
    EXPECT_NE(messages.find("depends on them: 1"), std::string::npos) << messages;
    EXPECT_TRUE(Valid(archive, "pw"));
    EXPECT_EQ(Member(archive, "piped.txt", "pw"), "piped data");
    EXPECT_EQ(Member(archive, "file.txt", "pw"), Repeat("file ", 100));
    // No date asked for: nothing to report.
    messages.clear();
    std::vector<RenameItem> back{{"piped.txt", "-", 0}};
    ASSERT_EQ(c.Rename(back, 0), 0);
    EXPECT_EQ(messages.find("depends on them"), std::string::npos) << messages;
}

// A new name with letters beyond ASCII is marked UTF-8 (bit 11), as an added one is; a name
// stored in the old code page is matched as listed and comes out in UTF-8.
TEST_F(ZipWrite, RenamedNamesBeyondAsciiAreMarkedUtf8) {
    Py("write('u.zip', make_zip([entry(b'plain.txt', b'p'), entry(b'caf\\x82.txt', b'c', made_by=0x0014),"
       " entry(b'keep \\x82.txt', b'k', made_by=0x0014), entry(b'other.txt', b'o')]))\n");
    std::string archive = tmp.File("u.zip");
    c.SetZipFileName(archive);
    std::vector<RenameItem> items{{"plain", "Ünïcödé", 0}, {"café", "thé", 0}, {"other", "still ascii", 0}};
    ASSERT_EQ(c.Rename(items, 0), 0) << messages;
    Py("import zipfile\n"
       "z = zipfile.ZipFile('u.zip')\n"
       "got = ['%s:%d' % (i.filename, i.flag_bits & 0x800) for i in z.infolist()]\n"
       "open('names.txt', 'w', encoding='utf-8').write(','.join(got))\n");
    EXPECT_EQ(ReadFileBytes(tmp.File("names.txt")), "Ünïcödé.txt:2048,thé.txt:2048,keep é.txt:0,still ascii.txt:0");
    EXPECT_TRUE(Valid(archive));
    EXPECT_EQ(Member(archive, "Ünïcödé.txt"), "p");
}

// ---- Copying entries -------------------------------------------------------------------

TEST_F(ZipWrite, CopyOverwriteRulesAndSourceDeletion) {
    tmp.Write("src/a.txt", "source a");
    tmp.Write("src/b.txt", "source b");
    tmp.Write("src/new.txt", "source new");
    Zip("../source.zip a.txt b.txt new.txt");
    tmp.Write("src/a.txt", "dest a");
    tmp.Write("src/b.txt", "dest b");
    tmp.Write("src/keep.txt", "dest keep");
    tmp.Write("stub", Repeat("S", 300));
    Zip("../inner.zip a.txt b.txt keep.txt");
    ASSERT_EQ(RunShell("cd " + Quote(tmp.Path()) + " && cat stub inner.zip > dest.zip && zip -q -A dest.zip &&"
                       " echo 'dest note' | zip -q -z dest.zip"), 0);
    std::string source = tmp.File("source.zip"), dest = tmp.File("dest.zip");
    std::string sourceBytes = ReadFileBytes(source);
    TZipComponent d;
    d.HowToDelete = htdFinal;
    d.SetZipFileName(dest);
    c.SetZipFileName(source);
    struct Case {
        OvrOpts mode;
        std::vector<int> answers;  // the dialog's answers for a and b
        bool remove;
        std::string a, b, left, sourceNames;
    } cases[] = {
        {OvrNever, {}, true, "dest a", "dest b", "a.txt,B.TXT", "a.txt,b.txt,new.txt"},
        {OvrConfirm, {mrNo, mrYes}, false, "dest a", "source b", "a.txt", "a.txt,b.txt,new.txt"},
        {OvrAlways, {}, true, "source a", "source b", "", ""},
    };
    for (const auto& k : cases) {
        tmp.Write("source.zip", sourceBytes);
        ASSERT_EQ(RunShell("cd " + Quote(tmp.Path()) + " && cat stub inner.zip > dest.zip && zip -q -A dest.zip &&"
                           " echo 'dest note' | zip -q -z dest.zip"), 0);
        c.SetZipFileName(source);
        d.SetZipFileName(dest);
        ui.answers.assign(k.answers.begin(), k.answers.end());
        for (const char* n : {"a.txt", "B.TXT"}) c.FSpecArgs().Add(n);
        if (k.mode != OvrNever) c.FSpecArgs().Add("new.txt");
        ASSERT_EQ(c.CopyZippedFiles(&d, k.remove, k.mode), 0) << k.mode << messages;
        EXPECT_EQ(Member(dest, "a.txt") + "|" + Member(dest, "b.txt"), k.a + "|" + k.b) << k.mode;
        EXPECT_EQ(Names(dest), k.mode == OvrNever ? "a.txt,b.txt,keep.txt" : "a.txt,b.txt,keep.txt,new.txt") << k.mode;
        EXPECT_EQ(c.FSpecArgs().CommaText(), k.left) << k.mode;
        EXPECT_EQ(Names(source), k.sourceNames) << k.mode;
        EXPECT_TRUE(Valid(dest)) << k.mode;
        EXPECT_EQ(ReadFileBytes(dest).substr(0, 300), Repeat("S", 300)) << "the stub survives";
        EXPECT_EQ(d.GetZipComment(), "dest note");
        c.FSpecArgs().Clear();
    }
    // A copied record keeps its own local extra field, which differs from the central one.
    auto localRecord = [](const std::string& bytes, const std::string& name) {
        size_t at = bytes.find(name);
        return at == std::string::npos || at < 30 ? std::string() : bytes.substr(at - 30, 30 + name.size() + zip::Get16(reinterpret_cast<const uint8_t*>(bytes.data() + at - 2)));
    };
    EXPECT_EQ(localRecord(ReadFileBytes(dest), "new.txt").substr(4), localRecord(sourceBytes, "new.txt").substr(4));
    // Refusals: nothing changes in either archive.
    std::string destBytes = ReadFileBytes(dest);
    c.Unattended = true;
    tmp.Write("source.zip", sourceBytes);
    c.SetZipFileName(source);
    c.FSpecArgs().Add("a.txt");
    c.FSpecArgs().Add("nowhere.txt");
    EXPECT_EQ(c.CopyZippedFiles(&d, true, OvrAlways), -7);
    EXPECT_EQ(c.ErrCode(), 10183);
    EXPECT_EQ(c.CopyZippedFiles(&c, false, OvrAlways), -7);
    EXPECT_EQ(c.ErrCode(), 10180);
    EXPECT_TRUE(ReadFileBytes(dest) == destBytes && ReadFileBytes(source) == sourceBytes);
}

// ---- Self-extractors -------------------------------------------------------------------

TEST(ZipSFXHeader, SizesPaddingAndLongTexts) {
    FakeUi ui;
    TZipComponent c;
    c.SFXCaption.clear();
    std::vector<uint8_t> h = c.MakeSFXHeader();
    EXPECT_EQ(h.size(), 12u);
    EXPECT_EQ(zip::Get16(h.data() + 6), 12);
    EXPECT_EQ(std::string(h.begin(), h.begin() + 3) + std::to_string(h[3]) + std::to_string(h[4]) + std::to_string(h[5]), "MPV001");
    c.SFXCaption = "ab";
    c.SFXMessage = "xyz";
    c.SFXOptions = {SFXAskFiles, SFXAutoRun, SFXNoSuccessMsg};
    c.SFXOverWriteMode = OvrNever;
    h = c.MakeSFXHeader();
    EXPECT_EQ(h.size(), 20u);
    EXPECT_EQ(std::string(h.begin() + 17, h.end()), std::string(3, '\0'));
    EXPECT_EQ(h[3], 2 | 16 | 32 | 64 | 128);
    TempDir tmp;
    tmp.Write("a.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    c.SetZipFileName(tmp.File("a.zip"));
    c.Unattended = true;
    c.SFXCaption = std::string(256, 'c');
    EXPECT_EQ(c.ConvertSFX(), -9);
    EXPECT_EQ(c.Message(),
              "Error - On or more of the 4 property strings mentioned below exceeds 255 characters!\r\n"
              "SFXCaption + SFXDefaultDir + SFXCommandLine + SFXMessage = 259");
    c.SFXCaption = std::string(255, 'c');
    c.SFXPath = tmp.File("nowhere.bin");
    c.SetDLLDirectory(tmp.Path());
    EXPECT_EQ(c.ConvertSFX(), -9) << "the caption fits; the stub is missing";
    EXPECT_EQ(c.ErrCode(), 10802);
    EXPECT_EQ(c.SFXPath, "");
}

TEST_F(ZipWrite, SelfExtractorRoundTripAndTheStubRuns) {
    MakeBook();
    Zip("-r ../book.zip book");
    std::string original = ReadFileBytes(tmp.File("book.zip"));
    c.SetZipFileName(tmp.File("book.zip"));
    c.SFXCaption = "Comics";
    c.SFXDefaultDir = tmp.File("out");
    c.SFXCommandLine = "touch ran.flag";
    c.SFXMessage = "Hello";
    c.SFXOptions = {SFXAutoRun, SFXCheckSize};
    c.SFXOverWriteMode = OvrAlways;
    ASSERT_EQ(c.ConvertSFX(), 0) << messages;
    std::string exe = tmp.File("book.exe");
    EXPECT_EQ(c.ZipFileName(), exe);
    EXPECT_FALSE(FileExists(tmp.File("book.zip"))) << "the source is erased";
    EXPECT_TRUE(Valid(exe));
    EXPECT_EQ(PyValid(), "");
    EXPECT_TRUE(c.IsZipSFX(exe));
    EXPECT_EQ(RunShell(Quote(exe) + " </dev/null >/dev/null 2>&1"), 0);
    EXPECT_EQ(ReadFileBytes(tmp.File("out/book/a.txt")), Repeat("page text ", 300));
    EXPECT_TRUE(FileExists(tmp.File("out/ran.flag"))) << "the command ran after extraction";
    tmp.Write("out/book/a.txt", "mine");
    EXPECT_NE(RunShell(Quote(exe) + " -n </dev/null >/dev/null 2>&1"), 2);
    EXPECT_EQ(ReadFileBytes(tmp.File("out/book/a.txt")), "mine") << "told never to overwrite";
    // Back to a zip: the same bytes, and the settings read back.
    TZipComponent d;
    d.HowToDelete = htdFinal;
    d.SetZipFileName(exe);
    ASSERT_EQ(d.ConvertZIP(), 0);
    EXPECT_TRUE(ReadFileBytes(tmp.File("book.zip")) == original);
    EXPECT_EQ(d.SFXCaption + "|" + d.SFXDefaultDir + "|" + d.SFXCommandLine + "|" + d.SFXMessage,
              "Comics|" + tmp.File("out") + "|touch ran.flag|Hello");
    EXPECT_TRUE(d.SFXOptions == c.SFXOptions && d.SFXOverWriteMode == OvrAlways);
    // Adding to a new program file makes the stub first.
    c.SetZipFileName(tmp.File("fresh.exe"));
    AddFrom("src", {"book/a.txt"});
    ASSERT_EQ(c.SuccessCnt(), 1) << messages;
    EXPECT_TRUE(Valid(tmp.File("fresh.exe")));
    EXPECT_EQ(RunShell(Quote(tmp.File("fresh.exe")) + " -d " + Quote(tmp.File("out2")) + " >/dev/null 2>&1"), 0);
    EXPECT_TRUE(FileExists(tmp.File("out2/a.txt")));
    // An empty archive is not made into a program; a plain zip is no self-extractor.
    Py("write('empty.zip', make_zip([]))\nwrite('plain.zip', make_zip([entry(b'a', b'a')], comment=b'PK\\x05\\x06 tail'))\n");
    c.Unattended = true;
    c.SetZipFileName(tmp.File("empty.zip"));
    EXPECT_EQ(c.ConvertSFX(), -9);
    EXPECT_FALSE(FileExists(tmp.File("empty.exe")));
    EXPECT_TRUE(c.IsZipSFX(tmp.File("plain.zip"))) << "found through the scan past a comment";
    tmp.Write("noise.bin", Repeat("PK\x05\x06", 50));
    EXPECT_FALSE(c.IsZipSFX(tmp.File("noise.bin")));
    EXPECT_THROW(c.IsZipSFX(tmp.File("missing.exe")), EZipComponent);
}

// A small Windows program whose resources hold one icon image of the given size.
std::string PeWithIcon(uint32_t imageSize, uint8_t fill) {
    std::string f(0x260 + imageSize, '\0');
    auto p16 = [&](size_t at, uint16_t v) { zip::Put16(reinterpret_cast<uint8_t*>(&f[at]), v); };
    auto p32 = [&](size_t at, uint32_t v) { zip::Put32(reinterpret_cast<uint8_t*>(&f[at]), v); };
    f[0] = 'M';
    f[1] = 'Z';
    p32(60, 64);
    std::memcpy(&f[64], "PE\0\0", 4);
    p16(64 + 6, 1);
    p16(64 + 20, 224);
    p16(88, 0x10B);
    p32(88 + 96 + 16, 0x1000);
    std::memcpy(&f[312], ".rsrc", 5);
    p32(312 + 8, 0x60 + imageSize);
    p32(312 + 12, 0x1000);
    p32(312 + 16, 0x60 + imageSize);
    p32(312 + 20, 0x200);
    size_t r = 0x200;
    p16(r + 14, 1);
    p32(r + 16, 3);
    p32(r + 20, 0x80000018);
    p16(r + 0x18 + 14, 1);
    p32(r + 0x18 + 16, 1);
    p32(r + 0x18 + 20, 0x80000030);
    p16(r + 0x30 + 14, 1);
    p32(r + 0x30 + 16, 0x409);
    p32(r + 0x30 + 20, 0x48);
    p32(r + 0x48, 0x1060);
    p32(r + 0x48 + 4, imageSize);
    std::memset(&f[0x260], fill, imageSize);
    return f;
}

TEST(ZipSFXIcon, PeResourcesAreFoundAndCheckedAgainstTheirBounds) {
    std::string pe = PeWithIcon(744, 1);
    auto find = [](const std::string& f) { return FindPeIcon(reinterpret_cast<const uint8_t*>(f.data()), f.size(), 744); };
    EXPECT_EQ(find(pe), 0x260);
    EXPECT_EQ(find(PeWithIcon(700, 1)), 0) << "no image of the right size";
    // Damaged offsets lead nowhere, never outside the file.
    struct Damage {
        size_t at;
        uint32_t value;
    } damages[] = {{60, 0xFFFFFFF0}, {64 + 6, 0xFFFF}, {88 + 96 + 16, 0x900000}, {312 + 20, 0x7FFFFFFF},
                   {0x200 + 20, 0x8FFFFFFF}, {0x200 + 14, 0xFFFF}, {0x200 + 0x48, 0xFFFFFFF0}, {0x200 + 0x48 + 4, 744 + 0x10000}};
    for (const auto& d : damages) {
        std::string bad = pe;
        zip::Put32(reinterpret_cast<uint8_t*>(&bad[d.at]), d.value);
        int64_t at = find(bad);
        EXPECT_TRUE(at == 0 || (at > 0 && at + 744 <= static_cast<int64_t>(bad.size()))) << d.at;
    }
    for (size_t cut = 0; cut < pe.size(); cut += 37) EXPECT_EQ(find(pe.substr(0, cut)), 0) << cut;
}

TEST_F(ZipWrite, IconOfAWindowsStubAndOfOurOwn) {
    tmp.Write("src/a.txt", "a");
    tmp.Write("pe.bin", PeWithIcon(744, 1));
    std::vector<uint8_t> icon(766, 0);
    for (size_t i = 22; i < icon.size(); ++i) icon[i] = static_cast<uint8_t>(i);
    c.SFXIcon().LoadFromBytes(icon);
    c.SFXPath = tmp.File("pe.bin");
    c.Unattended = true;
    Zip("../a.zip a.txt");
    c.SetZipFileName(tmp.File("a.zip"));
    ASSERT_EQ(c.ConvertSFX(), 0) << messages;
    std::string exe = ReadFileBytes(tmp.File("a.exe"));
    EXPECT_TRUE(exe.substr(0x260, 744) == std::string(icon.begin() + 22, icon.end()));
    EXPECT_TRUE(Valid(tmp.File("a.exe")));
    EXPECT_EQ(PyValid(), "");
    TZipComponent d;
    d.HowToDelete = htdFinal;
    d.SetZipFileName(tmp.File("a.exe"));
    ASSERT_EQ(d.ConvertZIP(), 0);
    ASSERT_EQ(d.SFXIcon().Bytes().size(), 766u);
    EXPECT_TRUE(std::equal(icon.begin() + 22, icon.end(), d.SFXIcon().Bytes().begin() + 22)) << "the icon is read back";
    // An icon of the wrong size, and our own stub, which has no icon resource.
    Zip("../b.zip a.txt");
    c.SetZipFileName(tmp.File("b.zip"));
    c.SFXIcon().LoadFromBytes(std::vector<uint8_t>(700, 1));
    EXPECT_EQ(c.ConvertSFX(), -12);
    c.SFXIcon().LoadFromBytes(icon);
    c.SFXPath = ModuleDir() + "/ZipSFX.bin";
    EXPECT_EQ(c.ConvertSFX(), -10);
    EXPECT_FALSE(FileExists(tmp.File("b.exe")));
    EXPECT_TRUE(FileExists(tmp.File("b.zip"))) << "a failed conversion keeps the archive";
}

}  // namespace
