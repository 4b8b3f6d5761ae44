// The ace library's entry points called directly: extraction to a folder never writes
// outside it, and the archive data call reports the set.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "AceTestSupport.h"
#include "archives/AceDllApi.h"
#include "support/TempDir.h"

namespace vellicor::test {
namespace {

struct Recorder {
    std::vector<std::string> started, errors;
};
Recorder* g_rec = nullptr;

int OnState(AceCallbackData* d) {
    if (d->StructureType == ACEDLL_TYPE_ARCHIVED_FILE && d->Code == ACEDLL_STATE_START_FILE)
        g_rec->started.push_back(d->FileData->SourceFileName);
    return ACEDLL_CONTINUE;
}
int OnError(AceCallbackData* d) {
    g_rec->errors.push_back(std::to_string(d->Code) + " " + (d->FileData ? d->FileData->SourceFileName : ""));
    return ACEDLL_CONTINUE;
}
int OnOther(AceCallbackData*) { return ACEDLL_CONTINUE; }

class AceLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        lib = ::dlopen((std::string(VELLICOR_MODULE_DIR) + "/libunacev2.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << ::dlerror();
        init = reinterpret_cast<AceInitDllProc>(::dlsym(lib, "ACEInitDll"));
        extract = reinterpret_cast<AceExtractProc>(::dlsym(lib, "ACEExtract"));
        readData = reinterpret_cast<AceReadArchiveDataProc>(::dlsym(lib, "ACEReadArchiveData"));
        ASSERT_TRUE(init && extract && readData);
        AceInitDllStruct s{};
        s.GlobalData.StateCallbackProc = &OnState;
        s.GlobalData.ErrorCallbackProc = &OnError;
        s.GlobalData.RequestCallbackProc = &OnOther;
        s.GlobalData.InfoCallbackProc = &OnOther;
        ASSERT_EQ(init(&s), ACEDLL_OK);
        g_rec = &rec;
    }
    void TearDown() override {
        g_rec = nullptr;
        if (lib) ::dlclose(lib);
    }
    static bool Exists(const std::string& p) {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0;
    }
    void* lib = nullptr;
    AceInitDllProc init = nullptr;
    AceExtractProc extract = nullptr;
    AceReadArchiveDataProc readData = nullptr;
    Recorder rec;
    TempDir dir;
};

TEST_F(AceLibrary, ExtractionStaysInsideItsFolder) {
    AceWriter w;
    w.AddDirectory("book");
    w.Add("book\\p1.jpg", "one");
    for (const char* evil : {"..\\up.jpg", "book\\..\\..\\up2.jpg", "\\root.jpg", "c:\\drive.jpg", "link\\through.jpg"})
        w.Add(evil, "evil");
    std::vector<uint8_t> b = w.Bytes();
    const std::string archive = dir.Write("evil.ace", std::string(b.begin(), b.end()));
    const std::string dest = dir.File("out"), outside = dir.File("outside");
    ASSERT_EQ(::mkdir(dest.c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(outside.c_str(), 0777), 0);
    ASSERT_EQ(::symlink(outside.c_str(), (dest + "/link").c_str()), 0);  // a link planted in the target

    AceExtractStruct x{};
    x.Files.FileList = "";
    x.Files.ExcludeList = "";
    x.DestinationDir = dest.c_str();
    x.DecryptPassword = "";
    EXPECT_NE(extract(archive.c_str(), &x), ACEDLL_OK) << "refusals are errors";
    EXPECT_EQ(ReadFileBytes(dest + "/book/p1.jpg"), "one");
    for (const std::string& p : {dir.File("up.jpg"), dir.Path() + "/../up2.jpg", outside + "/through.jpg",
                                 dest + "/up.jpg", dest + "/root.jpg", dest + "/drive.jpg"})
        EXPECT_FALSE(Exists(p)) << p;
    EXPECT_EQ(rec.errors.size(), 5u);
}

TEST_F(AceLibrary, ArchiveDataOfAVolumeSet) {
    const std::string path = UnaceDir() + "/tests.ace.v2/multivol2.ace";
    if (!FileThere(path)) GTEST_SKIP();
    AceReadArchiveDataStruct d{};
    ASSERT_EQ(readData(path.c_str(), &d), ACEDLL_OK);
    EXPECT_EQ(d.FileCount, ReadMd5List(path + ".md5").size() + 4) << "37 files and 4 folders";
    EXPECT_NE(d.ArchiveData.Flags & 0x0800, 0u) << "multi-volume";
    EXPECT_EQ(d.ArchiveData.VersionExtract, 20u);
    EXPECT_EQ(readData(dir.Write("no.ace", "not an archive").c_str(), &d), ACEDLL_ERR_NOT_ACE);
}

}  // namespace
}  // namespace vellicor::test
