// The decoder against archives written by the archiver itself, the cipher against known
// values, and hostile archives made here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "AceTestSupport.h"

namespace vellicor::test {
namespace {

using unace::AceError;
using unace::Fault;

struct VectorSink : unace::Sink {
    std::vector<uint8_t> data;
    bool Write(const uint8_t* p, size_t n) override {
        data.insert(data.end(), p, p + n);
        return true;
    }
};

unace::VolumeProvider FilesOf(const std::string& first) {
    return [first](int index, bool) -> std::unique_ptr<unace::ByteSource> {
        for (bool upper : {false, true})
            if (auto s = unace::OpenFileSource(unace::VolumeName(first, index, upper))) return s;
        return nullptr;
    };
}

unace::VolumeProvider BytesOf(const std::vector<uint8_t>& bytes) {
    return [&bytes](int index, bool) -> std::unique_ptr<unace::ByteSource> {
        if (index != 0) return nullptr;
        return std::make_unique<unace::MemorySource>(bytes.data(), bytes.size());
    };
}

std::string Slashed(std::string s) {
    for (char& c : s)
        if (c == '\\') c = '/';
    return s;
}

// Decodes every member in order; name -> data of the files.
std::map<std::string, std::vector<uint8_t>> DecodeAll(unace::Archive& a, const std::string& password = {}) {
    std::map<std::string, std::vector<uint8_t>> out;
    unace::Decoder d;
    for (size_t i = 0; i < a.Members().size(); ++i) {
        VectorSink sink;
        d.Decode(a, i, password, sink);
        if (!a.Members()[i].Directory()) out[Slashed(a.Members()[i].name)] = sink.data;
    }
    return out;
}

TEST(AceCrc, MatchesKnownValues) {
    EXPECT_EQ(unace::Crc32("123456789", 9), 0x340BC6D9u);
    EXPECT_EQ(unace::Crc32("", 0), 0xFFFFFFFFu);
    EXPECT_EQ(unace::Crc32("42", 2), 0xCDDB4F77u);
}

TEST(AceCipher, KeyAndFirstBlockMatchKnownValues) {
    uint32_t k[5];
    unace::Cipher::Key("1234", k);
    const uint32_t k1234[5] = {0x42E17F0F, 0x0416C052, 0xBD187D39, 0xA7AF418F, 0x0B6311FD};
    EXPECT_TRUE(std::equal(k, k + 5, k1234));
    unace::Cipher::Key("123456789", k);
    const uint32_t k9[5] = {0xB70ECB9C, 0xC63C99E5, 0xF1E50085, 0x4E0246FE, 0x3571369E};
    EXPECT_TRUE(std::equal(k, k + 5, k9));

    uint8_t block[8];
    std::memset(block, 0xFF, 8);
    uint32_t iv[2] = {0, 0};
    unace::Cipher("123456789").DecryptCbc(block, 8, iv);
    const uint8_t expect[8] = {0xB7, 0x77, 0x46, 0x40, 0x35, 0x2E, 0x65, 0x72};
    EXPECT_EQ(0, std::memcmp(block, expect, 8));

    uint8_t data[8] = {0x57, 0x04, 0xDA, 0x73, 0xD2, 0xD0, 0x29, 0xD9};
    uint32_t iv2[2] = {0, 0};
    unace::Cipher("1234").DecryptCbc(data, 8, iv2);
    const uint8_t plain[8] = {0x4F, 0x02, 0x01, 0x80, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, std::memcmp(data, plain, 8));
}

TEST(AceCipher, EncryptThenDecryptIsIdentity) {
    unace::Cipher c("secret");
    uint32_t l = 0x01234567, r = 0x89ABCDEF;
    c.Encrypt(l, r);
    EXPECT_FALSE(l == 0x01234567 && r == 0x89ABCDEF);
    c.Decrypt(l, r);
    EXPECT_EQ(l, 0x01234567u);
    EXPECT_EQ(r, 0x89ABCDEFu);
}

// Every member of every fixture decodes to the data its md5 list names.
class AceFixture : public ::testing::TestWithParam<const char*> {};

TEST_P(AceFixture, EveryMemberMatchesItsMd5) {
    const std::string path = UnaceDir() + "/" + GetParam();
    if (!FileThere(path)) GTEST_SKIP() << "no fixture " << path;
    auto md5 = ReadMd5List(path + ".md5");
    ASSERT_FALSE(md5.empty());
    unace::Archive a;
    a.Open(FilesOf(path));
    auto files = DecodeAll(a);
    EXPECT_EQ(files.size(), md5.size());
    for (const auto& [name, sum] : md5) {
        auto it = files.find(name);
        ASSERT_NE(it, files.end()) << name;
        EXPECT_EQ(Md5Hex(it->second), sum) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Archiver, AceFixture,
                         ::testing::Values("tests.ace.v1/ALCHT.ACE", "tests.ace.v1/Patch.ace", "tests.ace.v1/ZGFX2.ace",
                                           "tests.ace.v1/multivolume.ace", "tests.ace.v1/onefile.ace",
                                           "tests.ace.v1/trps.ace", "tests.ace.v1/zdir.ace", "tests.ace.v2/dir2.ace",
                                           "tests.ace.v2/multivol2.ace"));

TEST(AceEncrypted, RightPasswordDecodesWrongOneFailsCleanly) {
    const std::string path = UnaceDir() + "/tests.ace.v2/passwd2.ace";
    if (!FileThere(path)) GTEST_SKIP();
    auto md5 = ReadMd5List(path + ".md5");
    unace::Archive a;
    a.Open(FilesOf(path));
    ASSERT_EQ(a.Members().size(), 1u);
    EXPECT_TRUE(a.Members()[0].Encrypted());
    auto files = DecodeAll(a, "1234");
    EXPECT_EQ(Md5Hex(files["passwd2.m4"]), md5["passwd2.m4"]);

    for (const char* wrong : {"12345", "x", "4321"}) {
        unace::Decoder d;
        VectorSink sink;
        try {
            d.Decode(a, 0, wrong, sink);
            ADD_FAILURE() << "decoded with " << wrong;
        } catch (const AceError& e) {
            EXPECT_EQ(e.fault, Fault::Password) << wrong;
        }
    }
    unace::Decoder d;
    VectorSink sink;
    try {
        d.Decode(a, 0, "", sink);
        ADD_FAILURE();
    } catch (const AceError& e) {
        EXPECT_EQ(e.fault, Fault::NoPassword);
    }
}

TEST(AceEncrypted, UnknownPasswordArchiveFailsCleanly) {
    const std::string path = UnaceDir() + "/tests.ace.v1/passwd.ace";
    if (!FileThere(path)) GTEST_SKIP();
    unace::Archive a;
    a.Open(FilesOf(path));
    ASSERT_FALSE(a.Members().empty());
    unace::Decoder d;
    VectorSink sink;
    EXPECT_THROW(d.Decode(a, 0, "1234", sink), AceError);
}

TEST(AceStored, WorkedExampleListsAndDecodes) {
    const std::string path = PeerDir() + "/patool/t.ace";
    if (!FileThere(path)) GTEST_SKIP();
    unace::Archive a;
    a.Open(FilesOf(path));
    ASSERT_EQ(a.Members().size(), 2u);
    EXPECT_TRUE(a.Members()[0].Directory());
    EXPECT_EQ(a.Members()[1].name, "t\\t.txt");
    auto files = DecodeAll(a);
    EXPECT_EQ(std::string(files["t/t.txt"].begin(), files["t/t.txt"].end()), "42");
}

// A stub before the archive (as in self-extractors) is skipped, also when it holds the magic
// text itself; only a main header with its CRC is taken.
TEST(AceStored, PrefixBeforeTheMainHeaderIsSkipped) {
    AceWriter w;
    w.Add("a.jpg", "page");
    const std::vector<uint8_t> archive = w.Bytes();
    std::vector<uint8_t> b(3000, 'M');
    const std::string decoy = "xxxxxxx**ACE**";  // the magic without a sound header around it
    std::copy(decoy.begin(), decoy.end(), b.begin() + 100);
    b.insert(b.end(), archive.begin(), archive.end());
    unace::Archive a;
    a.Open(BytesOf(b));
    ASSERT_EQ(a.Members().size(), 1u);
    auto files = DecodeAll(a);
    EXPECT_EQ(std::string(files["a.jpg"].begin(), files["a.jpg"].end()), "page");

    std::vector<uint8_t> none(b.begin(), b.begin() + 3000);
    unace::Archive empty;
    try {
        empty.Open(BytesOf(none));
        ADD_FAILURE();
    } catch (const AceError& e) {
        EXPECT_EQ(e.fault, Fault::NotAce);
    }
}

// A member whose data was changed after it was written gives an error, never other bytes:
// every single-bit change in a stored member, and changes spread over the compressed data
// of the archiver's fixtures (where many changes still decode, to wrong bytes).
TEST(AceCrc, ChangedMemberDataIsAnErrorNeverWrongBytes) {
    AceWriter w;
    std::string text;
    for (int i = 0; i < 40; ++i) text += "page " + std::to_string(i) + " ";
    w.Add("a.jpg", text);
    const std::vector<uint8_t> good = w.Bytes();
    const size_t dataStart = good.size() - text.size();
    for (size_t at = dataStart; at < good.size(); at += 7)
        for (int bit : {0, 5}) {
            std::vector<uint8_t> bad = good;
            bad[at] ^= static_cast<uint8_t>(1 << bit);
            unace::Archive a;
            a.Open(BytesOf(bad));
            unace::Decoder d;
            VectorSink sink;
            try {
                d.Decode(a, 0, "", sink);
                ADD_FAILURE() << "stored byte " << at << " bit " << bit << " gave data";
            } catch (const AceError& e) {
                EXPECT_EQ(e.fault, Fault::Crc) << at;
            }
        }

    int fixtures = 0, decodedWrong = 0, refused = 0;
    for (const char* name : {"tests.ace.v1/onefile.ace", "tests.ace.v2/dir2.ace"}) {
        const std::string path = UnaceDir() + "/" + name;
        if (!FileThere(path)) continue;
        ++fixtures;
        const std::vector<uint8_t> original = ReadAll(path);
        unace::Archive a;
        a.Open(BytesOf(original));
        // The first compressed file; in a solid archive the members before it are decoded first.
        size_t index = a.Members().size();
        for (size_t i = 0; i < a.Members().size() && index == a.Members().size(); ++i)
            if (a.Members()[i].method != 0 && a.Members()[i].segments.size() == 1 && a.Members()[i].origSize > 0)
                index = i;
        ASSERT_LT(index, a.Members().size()) << name;
        auto decode = [index](unace::Archive& x) {
            unace::Decoder d;
            VectorSink sink;
            for (size_t i = 0; i <= index; ++i) {
                sink.data.clear();
                d.Decode(x, i, "", sink);
            }
            return sink.data;
        };
        const std::vector<uint8_t> want = decode(a);
        const unace::Segment seg = a.Members()[index].segments[0];
        const size_t step = std::max<size_t>(1, static_cast<size_t>(seg.size) / 70);
        for (size_t at = static_cast<size_t>(seg.offset); at < seg.offset + seg.size; at += step) {
            std::vector<uint8_t> bad = original;
            bad[at] ^= static_cast<uint8_t>(1 << (at % 8));
            unace::Archive b;
            b.Open(BytesOf(bad));
            try {
                if (decode(b) != want) {
                    ++decodedWrong;
                    ADD_FAILURE() << name << ": byte " << at << " changed, wrong bytes delivered";
                }
            } catch (const AceError&) {
                ++refused;
            }
        }
    }
    if (fixtures == 0) GTEST_SKIP() << "the archiver's fixtures are missing; the stored cases ran";
    EXPECT_EQ(decodedWrong, 0);
    EXPECT_GT(refused, 60);
}

TEST(AceNames, OnlyNamesThatStayInsideTheirFolderAreSafe) {
    struct Case {
        const char* stored;
        const char* safe;  // null: refused
    } cases[] = {{"a\\b.jpg", "a/b.jpg"}, {"a\\.\\b.jpg", "a/b.jpg"}, {"..\\x", nullptr}, {"a\\..\\x", nullptr},
                 {"\\x", nullptr}, {"/x", nullptr}, {"c:x", nullptr}, {"a\x01b", nullptr}, {"", nullptr},
                 {"..x\\y..", "..x/y.."}};
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(unace::SafeRelativeName(c.stored, out), c.safe != nullptr) << c.stored;
        if (c.safe) {
            EXPECT_EQ(out, c.safe);
        }
    }
}

}  // namespace
}  // namespace vellicor::test
