// The unzip library stand-in, driven directly through its record, on archives written by
// Info-ZIP's zip and by Python's zipfile.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "ArchiveTestSupport.h"
#include "platform/Text.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

// One call of the library: the record, what its callbacks asked, and how they answer.
struct UnzCall {
    explicit UnzCall(const std::string& zip, const std::string& dir = {}) : zip_(zip), dir_(dir) {
        p.fVersion = 160;
        p.fSeven = ZIPDLL_CHECK_WORD;
        p.fZCallback = [](ZCallBackStruct* r) {
            auto* self = static_cast<UnzCall*>(r->Caller);
            self->calls.push_back(*r);
            return self->answer ? self->answer(*r) : 0;
        };
        p.fCaller = this;
        p.fQuiet = p.fPwdReqCount = 1;
    }
    UnzCall& Spec(const std::string& s) {
        specs_.push_back(s);
        return *this;
    }
    UnzCall& ToBuffer(void* buffer, uint32_t size) {
        p.fUseOutStream = 1;
        p.fOutStream = buffer;
        p.fOutStreamSize = size;
        return *this;
    }
    uint32_t Run(const std::vector<UnzFileData>* records = nullptr) {
        static auto exec = reinterpret_cast<UnzDllExecFunc>(
            dlsym(dlopen((ModuleDir() + "/libunzdll.so").c_str(), RTLD_NOW | RTLD_LOCAL), "UnzDllExec"));
        records_.assign(specs_.size(), UnzFileData{});
        for (size_t i = 0; i < specs_.size(); ++i) records_[i].fFileSpec = specs_[i].c_str();
        if (records) records_ = *records;
        p.fZipFN = zip_.c_str();
        p.fArgc = static_cast<int32_t>(records_.size());
        p.fUFDS = records_.empty() ? nullptr : records_.data();
        p.fPassword = "";
        p.fExtractDir = dir_.empty() ? nullptr : dir_.c_str();
        return exec ? exec(&p) : 0;
    }
    int Count(int action, uint32_t size = ~0u) const {
        return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const ZCallBackStruct& c) {
            return c.ActionCode == action && (size == ~0u || c.FileSize == size);
        }));
    }
    // Sets the reply of every callback of one action.
    void On(int action, std::function<void(ZCallBackStruct&)> f) {
        answer = [action, f](ZCallBackStruct& r) {
            if (r.ActionCode == action) f(r);
            return 0;
        };
    }
    UnZipParams p{};
    std::vector<ZCallBackStruct> calls;
    std::function<int32_t(ZCallBackStruct&)> answer;

private:
    std::string zip_, dir_;
    std::vector<std::string> specs_;
    std::vector<UnzFileData> records_;
};

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

void SetTime(const std::string& path, time_t t) {
    struct timespec ts[2] = {{t, 0}, {t, 0}};
    utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

class UnzDll : public ::testing::Test {
protected:
    void SetUp() override {
        ZIP_REQUIRE_TOOLS();
        uint32_t seed = 7;
        for (auto& c : blob_) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
        tmp_.Write("src/a.txt", text_);
        tmp_.Write("src/img/b.bin", blob_);
        ASSERT_EQ(RunShell("cd " + Quote(tmp_.File("src")) + " && zip -qr -n .bin ../t.zip a.txt img && zip -q -P secret ../e.zip a.txt img/b.bin"), 0);
        ASSERT_EQ(RunShell("echo 'An archive comment' | zip -qz " + Quote(zip_)), 0);
    }
    std::string Out(const std::string& name) { return tmp_.File(name); }
    TempDir tmp_;
    std::string text_ = Repeat("A page of text that compresses well. ", 400), blob_ = std::string(70000, '\0');
    std::string zip_ = tmp_.File("t.zip"), enc_ = tmp_.File("e.zip");
};

TEST_F(UnzDll, ToDiskAndIntoTheCallersBufferNeverPastIt) {
    UnzCall keep(zip_, Out("out"));
    keep.p.fDirectories = 1;
    EXPECT_EQ(keep.Run(), 2u);
    EXPECT_TRUE(ReadFileBytes(Out("out/a.txt")) == text_ && ReadFileBytes(Out("out/img/b.bin")) == blob_);
    EXPECT_EQ(keep.Count(zacCount) * 100 + keep.Count(zacItem) * 10 + keep.Count(zacEndOfBatch), 121);
    EXPECT_EQ(UnzCall(zip_, Out("flat")).Spec("IMG\\*.BIN").Spec("?.TX?").Spec("??.txt").Run(), 2u) << "patterns ignore case and take either slash";
    EXPECT_TRUE(ReadFileBytes(Out("flat/b.bin")) == blob_);
    EXPECT_FALSE(Exists(Out("flat/img")));

    std::vector<uint8_t> mem(blob_.size() + 64, 0xEE);  // guard bytes around the buffer
    EXPECT_EQ(UnzCall(zip_).ToBuffer(mem.data() + 32, static_cast<uint32_t>(blob_.size())).Spec("img/b.bin").Run(), 1u);
    EXPECT_EQ(std::memcmp(mem.data() + 32, blob_.data(), blob_.size()), 0);
    EXPECT_EQ(std::string(mem.begin(), mem.begin() + 32) + std::string(mem.end() - 32, mem.end()), std::string(64, '\xEE'));
    // A buffer of another size is refused, unless the caller grows it on request.
    std::vector<uint8_t> small(100, 0xEE), grown;
    UnzCall refused(zip_), asked(zip_);
    EXPECT_EQ(refused.ToBuffer(small.data(), 10).Spec("a.txt").Run(), 0u);
    EXPECT_EQ(refused.Count(zacStream), 1);
    EXPECT_EQ(std::count(small.begin(), small.end(), 0xEE), 100);
    asked.On(zacStream, [&](ZCallBackStruct& r) { grown.resize(r.FileSize), r.Buffer = grown.data(); });
    EXPECT_EQ(asked.ToBuffer(small.data(), 10).Spec("A.TXT").Run(), 1u);
    EXPECT_EQ(std::string(grown.begin(), grown.end()), text_);

    // A compressed buffer asked for fewer bytes than it holds, or with a wrong CRC: refused.
    std::string plain = blob_.substr(0, 2500) + std::string(2500, 'x');
    std::vector<uint8_t> packed = PackedBuffer(plain), few(116, 0xEE);
    UnzCall buf("");
    buf.p.fUseInStream = 1;
    buf.p.fInStream = packed.data();
    buf.p.fInStreamSize = static_cast<uint32_t>(packed.size());
    EXPECT_EQ(buf.ToBuffer(few.data(), 100).Run(), 0u);
    EXPECT_EQ(std::string(few.begin() + 100, few.end()), std::string(16, '\xEE'));
    std::vector<uint8_t> out(plain.size());
    packed[2] ^= 1;
    EXPECT_EQ(buf.ToBuffer(out.data(), static_cast<uint32_t>(out.size())).Run(), 0u);
}

TEST_F(UnzDll, PasswordsThroughTheCallbackAndStopping) {
    auto answering = [](UnzCall& c, std::vector<std::string> answers) {
        c.On(zacPassword, [answers, next = size_t(0)](ZCallBackStruct& r) mutable {
            if (next < answers.size()) std::strcpy(r.FileNameOrMsg, answers[next++].c_str()), r.ErrorCode = 1;
        });
    };
    UnzCall retry(enc_, Out("o2"));  // wrong, then right; the right one serves the next member too
    retry.p.fPwdReqCount = 2;
    answering(retry, {"wrong", "secret"});
    EXPECT_EQ(retry.Run(), 2u);
    EXPECT_EQ(retry.Count(zacPassword), 2);
    EXPECT_EQ(retry.calls[0].FileSize, 2u) << "the count of questions left is sent along";
    EXPECT_TRUE(ReadFileBytes(Out("o2/a.txt")) == text_ && ReadFileBytes(Out("o2/b.bin")) == blob_);
    UnzCall once(enc_, Out("o3"));  // one question only: a wrong answer skips the member
    answering(once, {"wrong"});
    EXPECT_EQ(once.Spec("a.txt").Run(), 0u);
    EXPECT_EQ(once.Count(zacSkipped, uzsBadPassword + 1), 1);
    EXPECT_FALSE(Exists(Out("o3/a.txt")));
    UnzCall all(enc_, Out("o4"));  // "Cancel all": no more questions for the other members
    all.p.fPwdReqCount = 5;
    all.On(zacPassword, [](ZCallBackStruct& r) { r.ActionCode = 0; });
    EXPECT_EQ(all.Run(), 0u);
    EXPECT_EQ(all.Count(zacPassword), 1);
    for (int action : {zacPassword, zacItem}) {  // a non-zero callback result stops everything
        UnzCall stop(action == zacPassword ? enc_ : zip_, Out("o5"));
        stop.answer = [action](ZCallBackStruct& r) { return r.ActionCode == action ? 1 : 0; };
        EXPECT_EQ(stop.Run(), 0u);
        EXPECT_EQ(stop.Count(action) * 10 + stop.Count(zacProgress), 10);
    }
}

TEST_F(UnzDll, OverwriteFreshenUpdateTestAndCrcErrors) {
    tmp_.Write("ow/a.txt", "old contents");
    SetTime(Out("ow/a.txt"), 2000000000);
    UnzCall ask(zip_, Out("ow")), yes(zip_, Out("ow"));  // asked; the default keeps the file
    EXPECT_EQ(ask.Run(), 1u);
    ASSERT_EQ(ask.Count(zacOverwrite) * 10 + ask.Count(zacSkipped, uzsNoOverwrite + 1), 11);
    EXPECT_EQ(ReadFileBytes(Out("ow/a.txt")), "old contents");
    for (auto& c : ask.calls) EXPECT_FALSE(c.ActionCode == zacOverwrite && ZCB_IS_OLDER(c.ErrorCode)) << "newer than the member";
    yes.On(zacOverwrite, [](ZCallBackStruct& r) { r.FileSize = 1; });
    EXPECT_EQ(yes.Spec("a.txt").Run(), 1u);
    EXPECT_EQ(ReadFileBytes(Out("ow/a.txt")), text_);

    tmp_.Write("fr/a.txt", "old");  // freshen only replaces older files that exist; update adds
    SetTime(Out("fr/a.txt"), 1000000000);
    UnzCall freshen(zip_, Out("fr")), update(zip_, Out("fr")), force(zip_, Out("fr")), test(zip_, Out("none"));
    freshen.p.fFreshen = update.p.fUpdate = force.p.fOverwrite = test.p.fTest = 1;
    EXPECT_EQ(freshen.Run(), 1u);
    EXPECT_TRUE(ReadFileBytes(Out("fr/a.txt")) == text_ && !Exists(Out("fr/b.bin")));
    EXPECT_EQ(update.Run(), 1u) << "a.txt is now as new as the member";
    EXPECT_TRUE(ReadFileBytes(Out("fr/b.bin")) == blob_);
    EXPECT_EQ(force.Run(), 2u);
    EXPECT_EQ(force.Count(zacOverwrite), 0);
    EXPECT_EQ(test.Run(), 2u);
    EXPECT_FALSE(Exists(Out("none")));

    std::string bytes = ReadFileBytes(zip_);  // a damaged stored member: asked about; the old file stays
    bytes[bytes.find(blob_.substr(0, 64)) + 100] ^= 0x55;
    std::string bad = tmp_.Write("bad.zip", bytes);
    tmp_.Write("crc/b.bin", "keep me");
    UnzCall refuse(bad, Out("crc")), keepData(bad, Out("crc"));
    refuse.p.fOverwrite = keepData.p.fOverwrite = 1;
    EXPECT_EQ(refuse.Spec("*.bin").Run(), 0u);
    EXPECT_EQ(refuse.Count(zacCRCError, zip::Crc32(0, blob_.data(), blob_.size())), 1);
    EXPECT_EQ(ReadFileBytes(Out("crc/b.bin")), "keep me");
    keepData.On(zacCRCError, [](ZCallBackStruct& r) { r.ErrorCode = 1; });
    EXPECT_EQ(keepData.Spec("*.bin").Run(), 1u);
    EXPECT_EQ(ReadFileBytes(Out("crc/b.bin")).size(), blob_.size());
}

TEST_F(UnzDll, PythonArchivesDescriptorsNamesAndPathEscapes) {
    ASSERT_TRUE(RunPython(tmp_.Path(), std::string(kZipPy) + R"PY(
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
write('hand.zip', make_zip([entry(b'caf\x82.txt', b'oem name', method=0, made_by=0x0014),
    entry(b'plain.txt', b'unsigned descriptor ' * 20, desc='unsigned'),
    entry(b'signed.txt', b'signed descriptor', method=0, desc='signed'),
    entry(b'../../evil.txt', b'contained'), entry(b'/abs/root.txt', b'rooted')]))
)PY"));
    const struct {
        const char* zip;
        uint32_t count;
        std::vector<std::pair<const char*, std::string>> files;
    } cases[] = {
        {"py_dd.zip", 2, {{"one.txt", Repeat("first member ", 50)}, {"dir/two.txt", "second"}}},
        {"py_utf8.zip", 1, {{"dir/caf\xC3\xA9.txt", "utf8 name"}}},
        {"hand.zip", 5, {{"caf\xC3\xA9.txt", "oem name"}, {"plain.txt", Repeat("unsigned descriptor ", 20)},
                         {"signed.txt", "signed descriptor"}, {"evil.txt", "contained"}, {"abs/root.txt", "rooted"}}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(UnzipTestPasses(tmp_.File(c.zip))) << c.zip;
        UnzCall call(tmp_.File(c.zip), Out("x/base"));
        call.p.fDirectories = 1;
        EXPECT_EQ(call.Run(), c.count) << c.zip;
        for (auto& [file, data] : c.files) EXPECT_EQ(ReadFileBytes(Out(std::string("x/base/") + file)), data) << file;
    }
    EXPECT_FALSE(Exists(Out("evil.txt")) || Exists(Out("x/evil.txt"))) << "names never lead out of the base";
    EXPECT_EQ(UnzCall(tmp_.File("hand.zip"), Out("oem")).Spec("CAF\xC3\xA9.TXT").Run(), 1u) << "matched converted";
}

TEST_F(UnzDll, DamagedAndUnsupportedArchivesFailCleanly) {
    std::string bytes = ReadFileBytes(zip_);
    for (size_t cut : {size_t(0), size_t(10), bytes.size() / 2, bytes.size() - 30}) {
        UnzCall c(tmp_.Write("cut" + std::to_string(cut) + ".zip", bytes.substr(0, cut)), Out("cut"));
        EXPECT_EQ(c.Run(), 0u) << cut;
        EXPECT_GE(c.Count(zacMessage), 1);
    }
    EXPECT_EQ(UnzCall(tmp_.File("nothing.zip")).Run(), 0u);
    if (RunShell("cd " + Quote(tmp_.File("src")) + " && zip -q -Z bzip2 ../bz.zip a.txt 2>/dev/null") == 0) {
        UnzCall bz(tmp_.File("bz.zip"), Out("bz"));
        EXPECT_EQ(bz.Run(), 0u);
        EXPECT_EQ(bz.Count(zacSkipped, uzsCompressionUnknown + 1), 1) << "an unknown method";
    }
    UnzCall wrong(zip_, Out("w"));
    wrong.p.fSeven = 6;
    EXPECT_EQ(wrong.Run(), 0u);
    EXPECT_TRUE(wrong.calls.empty()) << "a record with a wrong check word is not touched";
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

}  // namespace
