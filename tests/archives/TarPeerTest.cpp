// The tar reader on archives from another project's test suite: odd formats, and damaged or
// hostile files that once troubled other readers. Skipped when that folder is absent.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "TarTestSupport.h"
#include "archives/TarArchive.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

bool HavePeerData() { return std::filesystem::is_directory(PeerDataDir()); }

// .tar.Z files come compress'ed; gzip undoes that.
bool Load(const std::string& name, std::string& bytes) {
    std::string path = PeerDataDir() + name;
    if (name.size() > 2 && name.substr(name.size() - 2) == ".Z") {
        FILE* p = ::popen(("gzip -dc '" + path + "' 2>/dev/null").c_str(), "r");
        if (!p) return false;
        char buf[65536];
        size_t n;
        bytes.clear();
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) bytes.append(buf, n);
        return ::pclose(p) == 0;
    }
    bytes = ReadFileBytes(path);
    return true;
}

struct Listing {
    std::vector<TTarDirRec> recs;
    std::vector<std::string> data;
    bool failed = false;
    std::string error;
};

Listing ListAndRead(const std::string& bytes) {
    Listing l;
    TByteViewStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TTarArchive tar(s);
    TTarDirRec rec;
    try {
        while (tar.FindNext(rec)) {
            l.recs.push_back(rec);
            l.data.push_back(tar.ReadFile());
        }
    } catch (const ETarArchive& e) {
        l.failed = true;
        l.error = e.what();
    }
    return l;
}

struct PeerCase {
    const char* file;
    std::vector<std::string> names;
    bool damaged = false;
};

const std::string kRedundant = "storage/emulated/0/Android/data/" + std::string(88, 'x');

std::vector<PeerCase> Cases() {
    return {
        {"gtar_sparse_1_13.tar", {"sparse", "sparse2", "non-sparse"}},
        {"gtar_sparse_1_17.tar", {"sparse", "sparse2", "non-sparse"}},
        {"gtar_sparse_1_17_posix00.tar", {"sparse", "sparse2", "non-sparse"}},
        {"gtar_sparse_1_17_posix01.tar",
         {"./GNUSparseFile.38661/sparse", "./GNUSparseFile.38661/sparse2", "non-sparse"}},
        {"gtar_sparse_1_17_posix10.tar",
         {"./GNUSparseFile.38663/sparse", "./GNUSparseFile.38663/sparse2", "non-sparse"}},
        {"gtar_sparse_reuse.tar", {"sparse"}},
        {"tar_acl_oob_read.tar", {"file"}},
        {"tar_empty_filename.tar", {}},
        {"tar_empty_with_gnulabel.tar", {"label"}},
        {"tar_mac_metadata_1.tar", {"._101_" + std::string(95, 'a'), "goodname"}},
        {"tar_pax_g_large.tar", {}, true},
        {"tar_pax_negative_time.tar", {"empty"}},
        {"tar_pax_sun_holesdata.tar", {"hole"}},
        {"tar_pax_timestamps.tar", {"empty"}},
        {"tar_timestamp_overflow.tar", {"tmp/f.txt"}},
        {"gtar_filename_cp866.tar.Z", {"\x8f\x90\x88\x82\x85\x92", "\xaf\xe0\xa8\xa2\xa5\xe2"}},
        {"gtar_filename_eucjp.tar.Z", {"\xb4\xc1\xbb\xfa.txt", "\xc9\xbd.txt"}},
        {"gtar_filename_koi8r.tar.Z", {"\xd0\xd2\xc9\xd7\xc5\xd4", "\xf0\xf2\xe9\xf7\xe5\xf4"}},
        {"ustar_filename_cp866.tar.Z", {"\x8f\x90\x88\x82\x85\x92", "\xaf\xe0\xa8\xa2\xa5\xe2"}},
        {"ustar_filename_eucjp.tar.Z", {"\xb4\xc1\xbb\xfa.txt", "\xc9\xbd.txt"}},
        {"ustar_filename_koi8r.tar.Z", {"\xd0\xd2\xc9\xd7\xc5\xd4", "\xf0\xf2\xe9\xf7\xe5\xf4"}},
        {"tar_filename_koi8r.tar.Z", {"\xf0\xf2\xe9\xf7\xe5\xf4", "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"}},
        {"gtar_redundant_L.tar.Z", {kRedundant}},
        {"gtar_sparse_length.tar.Z", {"dir/GNUSparseFile.0/file1", "dir2/"}},
        {"gtar_sparse_skip_entry.tar.Z", {"GNUSparseFile/a", "b"}},
        {"tar_empty_pax.tar.Z", {}},
        {"tar_pax_large_attr.tar.Z", {"foo"}},
    };
}

TEST(TarPeer, EachArchiveListsAsOtherReadersDoOrIsRefused) {
    if (!HavePeerData()) GTEST_SKIP() << "no peer test data at " << PeerDataDir();
    for (const auto& c : Cases()) {
        SCOPED_TRACE(c.file);
        std::string bytes;
        if (!Load(c.file, bytes)) {
            ADD_FAILURE() << "cannot load";
            continue;
        }
        Listing l = ListAndRead(bytes);
        EXPECT_EQ(l.failed, c.damaged) << l.error;
        EXPECT_EQ(Names(l.recs), c.names);
    }
}

TEST(TarPeer, MembersCarryTheirData) {
    if (!HavePeerData()) GTEST_SKIP() << "no peer test data at " << PeerDataDir();
    std::string bytes;
    ASSERT_TRUE(Load("gtar_redundant_L.tar.Z", bytes));
    Listing l = ListAndRead(bytes);
    ASSERT_EQ(l.data.size(), 1u);
    EXPECT_EQ(l.data[0], "hi\n");
    ASSERT_TRUE(Load("tar_mac_metadata_1.tar", bytes));
    l = ListAndRead(bytes);
    ASSERT_EQ(l.data.size(), 2u);
    EXPECT_EQ(l.recs[1].Size, 20);
    EXPECT_EQ(l.data[1].size(), 20u);
    ASSERT_TRUE(Load("tar_empty_with_gnulabel.tar", bytes));
    l = ListAndRead(bytes);
    ASSERT_EQ(l.recs.size(), 1u);
    EXPECT_EQ(l.recs[0].FileType, ftVolumeHeader);
    ASSERT_TRUE(Load("tar_pax_negative_time.tar", bytes));
    l = ListAndRead(bytes);
    ASSERT_EQ(l.recs.size(), 1u);
    EXPECT_LT(l.recs[0].DateTime, 25569.0) << "a base-256 time before 1970";
}

// Every file of the folder, tar or not, read as a tar archive: a listing or a clear error,
// never a crash, and never more memory than the file holds.
TEST(TarPeer, AnyFileIsSafeToRead) {
    if (!HavePeerData()) GTEST_SKIP() << "no peer test data at " << PeerDataDir();
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(PeerDataDir())) {
        if (!entry.is_regular_file()) continue;
        std::string bytes = ReadFileBytes(entry.path().string());
        Listing l = ListAndRead(bytes);
        size_t total = 0;
        for (auto& d : l.data) total += d.size();
        EXPECT_LE(total, bytes.size()) << entry.path();
        ++files;
    }
    EXPECT_GT(files, 100);
}

}  // namespace
