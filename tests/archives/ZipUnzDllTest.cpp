// The unzip library stand-in, driven directly through its record, on archives written by
// Info-ZIP's zip and by Python's zipfile.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ZipTestSupport.h"
#include "archives/zip/ZipDllApi.h"
#include "archives/zip/ZipRecords.h"

using namespace vellicor::test;

namespace {

struct CallLog {
    std::vector<ZCallBackStruct> calls;
    std::function<int32_t(ZCallBackStruct&)> answer;
    int Count(int action) const {
        int n = 0;
        for (auto& c : calls) n += c.ActionCode == action;
        return n;
    }
};

int32_t TestCallback(ZCallBackStruct* r) {
    auto* log = static_cast<CallLog*>(r->Caller);
    ZCallBackStruct asked = *r;
    int32_t result = log->answer ? log->answer(*r) : 0;
    log->calls.push_back(asked);
    return result;
}

class UnzCall {
public:
    explicit UnzCall(const std::string& zip) : zip_(zip) {
        std::memset(&p, 0, sizeof p);
        p.fVersion = 160;
        p.fSeven = ZIPDLL_CHECK_WORD;
        p.fZCallback = &TestCallback;
        p.fCaller = &log;
        p.fQuiet = 1;
        p.fPwdReqCount = 1;
    }
    UnzCall& Spec(const std::string& s) {
        specs_.push_back(s);
        return *this;
    }
    UnzCall& Password(const std::string& pw) {
        pw_ = pw;
        return *this;
    }
    UnzCall& To(const std::string& dir) {
        dir_ = dir;
        return *this;
    }
    uint32_t Run() {
        static UnzDllExecFunc exec = [] {
            void* h = dlopen((ModuleDir() + "/libunzdll.so").c_str(), RTLD_NOW | RTLD_LOCAL);
            return h ? reinterpret_cast<UnzDllExecFunc>(dlsym(h, "UnzDllExec")) : nullptr;
        }();
        if (!exec) {
            ADD_FAILURE() << "libunzdll.so not loadable";
            return 0;
        }
        records_.assign(specs_.size(), UnzFileData{});
        for (size_t i = 0; i < specs_.size(); ++i) records_[i].fFileSpec = specs_[i].c_str();
        p.fZipFN = zip_.c_str();
        p.fArgc = static_cast<int32_t>(specs_.size());
        p.fUFDS = records_.empty() ? nullptr : records_.data();
        p.fPassword = pw_.c_str();
        p.fExtractDir = dir_.empty() ? nullptr : dir_.c_str();
        return exec(&p);
    }

    UnZipParams p;
    CallLog log;
    std::vector<UnzFileData> records_;

private:
    std::string zip_, pw_, dir_;
    std::vector<std::string> specs_;
};

std::string Repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
}

std::string Noise(size_t n, uint32_t seed) {
    std::string r(n, '\0');
    for (auto& c : r) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return r;
}

class UnzDll : public ::testing::Test {
protected:
    void SetUp() override {
        ZIP_REQUIRE_TOOLS();
        text_ = Repeat("A page of text that compresses well. ", 400);
        blob_ = Noise(70000, 7);
        tmp_.Write("src/a.txt", text_);
        tmp_.Write("src/img/b.bin", blob_);
        zip_ = tmp_.File("t.zip");
        ASSERT_EQ(RunShell("cd " + Quote(tmp_.File("src")) + " && zip -qr -n .bin " + Quote(zip_) + " a.txt img"), 0);
        ASSERT_EQ(RunShell("echo 'An archive comment' | zip -qz " + Quote(zip_)), 0);
        ASSERT_TRUE(UnzipTestPasses(zip_));
    }
    TempDir tmp_;
    std::string text_, blob_, zip_;
};

}  // namespace

TEST_F(UnzDll, ExtractsInfoZipArchiveToDiskWithAndWithoutPaths) {
    UnzCall keep(zip_);
    keep.p.fDirectories = 1;
    EXPECT_EQ(keep.To(tmp_.File("out")).Run(), 2u);
    EXPECT_EQ(ReadFileBytes(tmp_.File("out/a.txt")), text_);
    EXPECT_TRUE(ReadFileBytes(tmp_.File("out/img/b.bin")) == blob_);
    EXPECT_EQ(keep.log.Count(zacCount), 1);
    EXPECT_EQ(keep.log.Count(zacItem), 2);
    EXPECT_EQ(keep.log.Count(zacEndOfBatch), 1);

    UnzCall flat(zip_);
    EXPECT_EQ(flat.To(tmp_.File("flat")).Spec("IMG\\*.BIN").Run(), 1u);
    EXPECT_TRUE(ReadFileBytes(tmp_.File("flat/b.bin")) == blob_);
    struct stat st {};
    EXPECT_NE(stat(tmp_.File("flat/a.txt").c_str(), &st), 0);
    EXPECT_NE(stat(tmp_.File("flat/img").c_str(), &st), 0);
}

TEST_F(UnzDll, ExtractsIntoTheCallersBufferAndNeverPastIt) {
    // Guard bytes around the buffer show any write past it.
    std::vector<uint8_t> mem(blob_.size() + 64, 0xEE);
    UnzCall c(zip_);
    c.p.fUseOutStream = 1;
    c.p.fOutStream = mem.data() + 32;
    c.p.fOutStreamSize = static_cast<uint32_t>(blob_.size());
    EXPECT_EQ(c.Spec("img/b.bin").Run(), 1u);
    EXPECT_EQ(std::memcmp(mem.data() + 32, blob_.data(), blob_.size()), 0);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(mem[i], 0xEE);
        EXPECT_EQ(mem[mem.size() - 1 - i], 0xEE);
    }

    // A buffer of another size is refused unless the caller grows it on request.
    std::vector<uint8_t> small(100, 0xEE);
    UnzCall refused(zip_);
    refused.p.fUseOutStream = 1;
    refused.p.fOutStream = small.data();
    refused.p.fOutStreamSize = 10;
    EXPECT_EQ(refused.Spec("a.txt").Run(), 0u);
    EXPECT_EQ(refused.log.Count(zacStream), 1);
    for (int i = 10; i < 100; ++i) ASSERT_EQ(small[i], 0xEE);

    std::vector<uint8_t> grown;
    UnzCall asked(zip_);
    asked.p.fUseOutStream = 1;
    asked.p.fOutStream = small.data();
    asked.p.fOutStreamSize = 10;
    asked.log.answer = [&](ZCallBackStruct& r) {
        if (r.ActionCode == zacStream) {
            grown.resize(r.FileSize);
            r.Buffer = grown.data();
        }
        return 0;
    };
    EXPECT_EQ(asked.Spec("A.TXT").Run(), 1u);
    EXPECT_EQ(std::string(grown.begin(), grown.end()), text_);
}

TEST_F(UnzDll, ReadsThePositionGivenInsteadOfTheDirectory) {
    // The member is found at the position given, even when the archive's directory is gone.
    std::string bytes = ReadFileBytes(zip_);
    size_t at = bytes.find(std::string("PK\x03\x04", 4));
    ASSERT_EQ(at, 0u);
    vellicor::zip::LocalHeader lh;
    ASSERT_TRUE(lh.Parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    std::string cut = tmp_.Write("cut.zip", bytes.substr(0, lh.TotalSize() + lh.compressedSize));
    std::vector<uint8_t> out(lh.uncompressedSize);
    UnzCall c(cut);
    c.Spec("a.txt");
    c.p.fUseOutStream = 1;
    c.p.fOutStream = out.data();
    c.p.fOutStreamSize = lh.uncompressedSize;
    c.records_.resize(1);
    // Run() rebuilds the records, so fill them through a second call set-up.
    std::vector<UnzFileData> rec(1);
    rec[0].fFileSpec = "a.txt";
    rec[0].fHasPosition = 1;
    rec[0].fLocalHeaderPos = 0;
    rec[0].fCRC32 = lh.crc32;
    rec[0].fCompressedSize = lh.compressedSize;
    rec[0].fUncompressedSize = lh.uncompressedSize;
    rec[0].fMethod = lh.method;
    rec[0].fFlags = lh.flags;
    std::string name = cut;
    c.p.fZipFN = name.c_str();
    c.p.fArgc = 1;
    c.p.fUFDS = rec.data();
    void* h = dlopen((ModuleDir() + "/libunzdll.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr);
    auto exec = reinterpret_cast<UnzDllExecFunc>(dlsym(h, "UnzDllExec"));
    EXPECT_EQ(exec(&c.p), 1u);
    EXPECT_EQ(std::string(out.begin(), out.end()), text_);
    // A wrong position is a damaged archive, not a crash.
    rec[0].fLocalHeaderPos = 5;
    EXPECT_EQ(exec(&c.p), 0u);
    rec[0].fLocalHeaderPos = 1 << 30;
    EXPECT_EQ(exec(&c.p), 0u);
    dlclose(h);
}

TEST_F(UnzDll, PasswordsWithRetriesThroughTheCallback) {
    std::string enc = tmp_.File("e.zip");
    ASSERT_EQ(RunShell("cd " + Quote(tmp_.File("src")) + " && zip -q -P secret " + Quote(enc) + " a.txt img/b.bin"), 0);
    ASSERT_TRUE(UnzipTestPasses(enc, "secret"));

    UnzCall given(enc);
    EXPECT_EQ(given.Password("secret").To(tmp_.File("o1")).Run(), 2u);
    EXPECT_EQ(given.log.Count(zacPassword), 0);
    EXPECT_TRUE(ReadFileBytes(tmp_.File("o1/b.bin")) == blob_);

    // Wrong first, right second; the good password serves the next member too.
    UnzCall retry(enc);
    retry.p.fPwdReqCount = 2;
    std::vector<std::string> answers = {"wrong", "secret"};
    size_t next = 0;
    retry.log.answer = [&](ZCallBackStruct& r) {
        if (r.ActionCode == zacPassword && next < answers.size()) {
            std::strcpy(r.FileNameOrMsg, answers[next++].c_str());
            r.ErrorCode = 1;
        }
        return 0;
    };
    EXPECT_EQ(retry.To(tmp_.File("o2")).Run(), 2u);
    EXPECT_EQ(retry.log.Count(zacPassword), 2);
    EXPECT_EQ(retry.log.calls[0].FileSize, 2u);  // the count of questions left is sent along
    EXPECT_EQ(ReadFileBytes(tmp_.File("o2/a.txt")), text_);

    // Only one question allowed: the wrong answer skips the member as a bad password.
    UnzCall once(enc);
    once.log.answer = [&](ZCallBackStruct& r) {
        if (r.ActionCode == zacPassword) {
            std::strcpy(r.FileNameOrMsg, "wrong");
            r.ErrorCode = 1;
        }
        return 0;
    };
    EXPECT_EQ(once.Spec("a.txt").To(tmp_.File("o3")).Run(), 0u);
    bool badPassword = false;
    for (auto& c : once.log.calls)
        if (c.ActionCode == zacSkipped && c.FileSize == uzsBadPassword + 1) badPassword = true;
    EXPECT_TRUE(badPassword);
    EXPECT_TRUE(ReadFileBytes(tmp_.File("o3/a.txt")).empty());

    // "Cancel all": no more questions for the other members.
    UnzCall all(enc);
    all.p.fPwdReqCount = 5;
    all.log.answer = [&](ZCallBackStruct& r) {
        if (r.ActionCode == zacPassword) r.ActionCode = 0;
        return 0;
    };
    EXPECT_EQ(all.To(tmp_.File("o4")).Run(), 0u);
    EXPECT_EQ(all.log.Count(zacPassword), 1);

    // A non-zero callback result stops everything.
    UnzCall stop(enc);
    stop.log.answer = [&](ZCallBackStruct& r) { return r.ActionCode == zacPassword ? 1 : 0; };
    EXPECT_EQ(stop.To(tmp_.File("o5")).Run(), 0u);
    EXPECT_EQ(stop.log.Count(zacPassword), 1);
}

TEST_F(UnzDll, OverwriteFreshenUpdateAndTest) {
    std::string out = tmp_.File("ow");
    tmp_.Write("ow/a.txt", "old contents");
    struct timespec future[2] = {{2000000000, 0}, {2000000000, 0}};
    utimensat(AT_FDCWD, (out + "/a.txt").c_str(), future, 0);
    // No overwrite flag: asked, and the default answer keeps the file.
    UnzCall ask(zip_);
    EXPECT_EQ(ask.To(out).Run(), 1u);  // b.bin is new
    EXPECT_EQ(ask.log.Count(zacOverwrite), 1);
    EXPECT_EQ(ReadFileBytes(out + "/a.txt"), "old contents");
    for (auto& c : ask.log.calls) {
        if (c.ActionCode == zacOverwrite) {
            EXPECT_FALSE(ZCB_IS_OLDER(c.ErrorCode));  // newer than the member
        }
    }
    bool noOverwrite = false;
    for (auto& c : ask.log.calls)
        if (c.ActionCode == zacSkipped && c.FileSize == uzsNoOverwrite + 1) noOverwrite = true;
    EXPECT_TRUE(noOverwrite);

    UnzCall yes(zip_);
    yes.log.answer = [](ZCallBackStruct& r) {
        if (r.ActionCode == zacOverwrite) r.FileSize = 1;
        return 0;
    };
    EXPECT_EQ(yes.To(out).Spec("a.txt").Run(), 1u);
    EXPECT_EQ(ReadFileBytes(out + "/a.txt"), text_);

    // Freshen only replaces older files that exist; update also adds new ones.
    std::string fr = tmp_.File("fr");
    tmp_.Write("fr/a.txt", "old");
    struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    utimensat(AT_FDCWD, (fr + "/a.txt").c_str(), old, 0);
    UnzCall freshen(zip_);
    freshen.p.fFreshen = 1;
    EXPECT_EQ(freshen.To(fr).Run(), 1u);
    EXPECT_EQ(ReadFileBytes(fr + "/a.txt"), text_);
    struct stat st {};
    EXPECT_NE(stat((fr + "/b.bin").c_str(), &st), 0);
    UnzCall update(zip_);
    update.p.fUpdate = 1;
    EXPECT_EQ(update.To(fr).Run(), 1u);  // a.txt is now as new as the member
    EXPECT_TRUE(ReadFileBytes(fr + "/b.bin") == blob_);

    UnzCall force(zip_);
    force.p.fOverwrite = 1;
    EXPECT_EQ(force.To(fr).Run(), 2u);
    EXPECT_EQ(force.log.Count(zacOverwrite), 0);

    UnzCall test(zip_);
    test.p.fTest = 1;
    EXPECT_EQ(test.To(tmp_.File("none")).Run(), 2u);
    EXPECT_NE(stat(tmp_.File("none").c_str(), &st), 0);
}

TEST_F(UnzDll, CrcErrorsAskAndNeverDestroyTheOldFile) {
    // Damage a stored member: its CRC no longer matches.
    std::string bytes = ReadFileBytes(zip_);
    size_t at = bytes.find(blob_.substr(0, 64));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 100] ^= 0x55;
    std::string bad = tmp_.Write("bad.zip", bytes);
    tmp_.Write("crc/b.bin", "keep me");

    UnzCall refuse(bad);
    refuse.p.fOverwrite = 1;
    EXPECT_EQ(refuse.Spec("*.bin").To(tmp_.File("crc")).Run(), 0u);
    ASSERT_EQ(refuse.log.Count(zacCRCError), 1);
    for (auto& c : refuse.log.calls)
        if (c.ActionCode == zacCRCError) {
            uint32_t expected = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(blob_.data()), blob_.size()));
            EXPECT_EQ(c.FileSize, expected);
            EXPECT_NE(static_cast<uint32_t>(c.ErrorCode), expected);
        }
    EXPECT_EQ(ReadFileBytes(tmp_.File("crc/b.bin")), "keep me");

    UnzCall keep(bad);
    keep.p.fOverwrite = 1;
    keep.log.answer = [](ZCallBackStruct& r) {
        if (r.ActionCode == zacCRCError) r.ErrorCode = 1;
        return 0;
    };
    EXPECT_EQ(keep.Spec("*.bin").To(tmp_.File("crc")).Run(), 1u);
    EXPECT_EQ(ReadFileBytes(tmp_.File("crc/b.bin")).size(), blob_.size());
}

TEST_F(UnzDll, StopsWhenTheCallbackSaysSo) {
    UnzCall c(zip_);
    c.log.answer = [](ZCallBackStruct& r) { return r.ActionCode == zacItem ? 1 : 0; };
    EXPECT_EQ(c.To(tmp_.File("stop")).Run(), 0u);
    EXPECT_EQ(c.log.Count(zacItem), 1);
    EXPECT_EQ(c.log.Count(zacProgress), 0);
}

TEST_F(UnzDll, PythonArchivesDescriptorsAndNames) {
    std::string py = std::string(kZipPy) + R"PY(
import zipfile, io
class Unseekable(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)
with open('py_dd.zip', 'wb') as raw:
    with zipfile.ZipFile(Unseekable(raw), 'w', zipfile.ZIP_DEFLATED) as z:
        z.writestr('one.txt', b'first member ' * 50)
        z.writestr('dir/two.txt', b'second')
with zipfile.ZipFile('py_utf8.zip', 'w', zipfile.ZIP_STORED) as z:
    z.writestr('dir/', b'')
    z.writestr('dir/caf\u00e9.txt', b'utf8 name')
write('hand.zip', make_zip([
    entry(b'caf\x82.txt', b'oem name', method=0, made_by=0x0014),
    entry(b'plain.txt', b'unsigned descriptor ' * 20, desc='unsigned'),
    entry(b'signed.txt', b'signed descriptor', method=0, desc='signed'),
    entry(b'../../evil.txt', b'contained'),
    entry(b'/abs/root.txt', b'rooted'),
]))
)PY";
    ASSERT_TRUE(RunPython(tmp_.Path(), py));
    for (const char* name : {"py_dd.zip", "py_utf8.zip", "hand.zip"}) ASSERT_TRUE(UnzipTestPasses(tmp_.File(name))) << name;

    UnzCall dd(tmp_.File("py_dd.zip"));
    dd.p.fDirectories = 1;
    EXPECT_EQ(dd.To(tmp_.File("dd")).Run(), 2u);
    EXPECT_EQ(ReadFileBytes(tmp_.File("dd/one.txt")), Repeat("first member ", 50));
    EXPECT_EQ(ReadFileBytes(tmp_.File("dd/dir/two.txt")), "second");

    UnzCall utf(tmp_.File("py_utf8.zip"));
    utf.p.fDirectories = 1;
    EXPECT_EQ(utf.To(tmp_.File("u")).Run(), 1u);
    EXPECT_EQ(ReadFileBytes(tmp_.File("u/dir/caf\xC3\xA9.txt")), "utf8 name");

    UnzCall hand(tmp_.File("hand.zip"));
    hand.p.fDirectories = 1;
    EXPECT_EQ(hand.To(tmp_.File("h/base")).Run(), 5u);
    EXPECT_EQ(ReadFileBytes(tmp_.File("h/base/caf\xC3\xA9.txt")), "oem name");
    EXPECT_EQ(ReadFileBytes(tmp_.File("h/base/plain.txt")), Repeat("unsigned descriptor ", 20));
    EXPECT_EQ(ReadFileBytes(tmp_.File("h/base/signed.txt")), "signed descriptor");
    // Names never lead out of the base directory.
    EXPECT_EQ(ReadFileBytes(tmp_.File("h/base/evil.txt")), "contained");
    EXPECT_EQ(ReadFileBytes(tmp_.File("h/base/abs/root.txt")), "rooted");
    struct stat st {};
    EXPECT_NE(stat(tmp_.File("evil.txt").c_str(), &st), 0);

    // The CP437 name is matched in its converted form; cpNone keeps the bytes.
    UnzCall oem(tmp_.File("hand.zip"));
    EXPECT_EQ(oem.Spec("CAF\xC3\xA9.TXT").To(tmp_.File("oem")).Run(), 1u);
}

TEST_F(UnzDll, DamagedAndUnsupportedArchivesFailCleanly) {
    std::string bytes = ReadFileBytes(zip_);
    // Cut in the middle, garbage, an empty file, a missing file.
    for (size_t cut : {size_t(0), size_t(10), bytes.size() / 2, bytes.size() - 30}) {
        std::string f = tmp_.Write("cut" + std::to_string(cut) + ".zip", bytes.substr(0, cut));
        UnzCall c(f);
        EXPECT_EQ(c.To(tmp_.File("cut")).Run(), 0u) << cut;
        EXPECT_GE(c.log.Count(zacMessage), 1);
    }
    UnzCall missing(tmp_.File("nothing.zip"));
    EXPECT_EQ(missing.Run(), 0u);

    // A bzip2 member is skipped as an unknown method.
    if (RunShell("cd " + Quote(tmp_.File("src")) + " && zip -q -Z bzip2 ../bz.zip a.txt 2>/dev/null") == 0) {
        UnzCall bz(tmp_.File("bz.zip"));
        EXPECT_EQ(bz.To(tmp_.File("bz")).Run(), 0u);
        bool unknown = false;
        for (auto& c : bz.log.calls)
            if (c.ActionCode == zacSkipped && c.FileSize == uzsCompressionUnknown + 1) unknown = true;
        EXPECT_TRUE(unknown);
    }

    // A record with a wrong check word is not touched.
    UnzCall wrong(zip_);
    wrong.p.fSeven = 6;
    EXPECT_EQ(wrong.To(tmp_.File("w")).Run(), 0u);
    EXPECT_TRUE(wrong.log.calls.empty());
}

TEST(UnzDllBuffers, BufferToBuffer) {
    std::string plain(5000, 'x');
    for (size_t i = 0; i < plain.size(); i += 7) plain[i] = static_cast<char>('a' + i % 26);
    std::vector<uint8_t> packed(ZIPDLL_STREAM_HEADER + plain.size() + 64);
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    z.next_in = reinterpret_cast<Bytef*>(plain.data());
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = packed.data() + ZIPDLL_STREAM_HEADER;
    z.avail_out = static_cast<uInt>(packed.size() - ZIPDLL_STREAM_HEADER);
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    packed.resize(ZIPDLL_STREAM_HEADER + z.total_out);
    deflateEnd(&z);
    vellicor::zip::Put16(packed.data(), 8);
    vellicor::zip::Put32(packed.data() + 2, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(plain.data()), plain.size())));

    std::vector<uint8_t> out(plain.size());
    UnzCall c("");
    c.p.fUseInStream = 1;
    c.p.fInStream = packed.data();
    c.p.fInStreamSize = static_cast<uint32_t>(packed.size());
    c.p.fUseOutStream = 1;
    c.p.fOutStream = out.data();
    c.p.fOutStreamSize = static_cast<uint32_t>(out.size());
    EXPECT_EQ(c.Run(), 1u);
    EXPECT_EQ(std::string(out.begin(), out.end()), plain);
    // Asked for fewer bytes than the data hold: refused, and nothing written past the buffer.
    std::vector<uint8_t> small(100 + 16, 0xEE);
    c.p.fOutStream = small.data();
    c.p.fOutStreamSize = 100;
    EXPECT_EQ(c.Run(), 0u);
    for (size_t i = 100; i < small.size(); ++i) EXPECT_EQ(small[i], 0xEE);
    // A wrong CRC is refused.
    packed[2] ^= 1;
    c.p.fOutStream = out.data();
    c.p.fOutStreamSize = static_cast<uint32_t>(out.size());
    EXPECT_EQ(c.Run(), 0u);
}
