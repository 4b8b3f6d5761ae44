#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/Registry.h"
#include "platform/RegistryFormat.h"
#include "support/TempDir.h"

using namespace vellicor;
using vellicor::test::ReadFileBytes;
using vellicor::test::TempDir;

namespace {

class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("VELLICOR_CONFIG_DIR");
        saved_ = old ? old : "";
        ::setenv("VELLICOR_CONFIG_DIR", (dir_.Path() + "/cfg").c_str(), 1);
        ResetRegistryStore();
    }
    void TearDown() override {
        registry_testing::SetBeforeRenameHook(nullptr);
        ::setenv("VELLICOR_CONFIG_DIR", saved_.c_str(), 1);
        ResetRegistryStore();
    }
    std::string FilePath() const { return dir_.Path() + "/cfg/registry.txt"; }
    // Puts text in place of the file the way another program would: a new file renamed over.
    void ReplaceFile(const std::string& text) {
        std::filesystem::create_directories(dir_.Path() + "/cfg");
        dir_.Write("other.tmp", text);
        std::filesystem::rename(dir_.File("other.tmp"), FilePath());
    }
    static bool Set(const std::string& key, const std::string& name, const std::string& value) {
        TRegistry r;
        return r.OpenKey(key, true) && r.WriteString(name, value);
    }
    static std::optional<std::string> Get(const std::string& key, const std::string& name) {
        TRegistry r;
        if (!r.OpenKeyReadOnly(key)) return std::nullopt;
        return r.ReadString(name);
    }

    TempDir dir_;
    std::string saved_;
};

TEST_F(RegistryStore, DirectoryFollowsTheEnvironment) {
    EXPECT_EQ(RegistryFilePath(), FilePath());
    ::unsetenv("VELLICOR_CONFIG_DIR");
    ::setenv("XDG_CONFIG_HOME", "/somewhere", 1);
    EXPECT_EQ(RegistryDirectory(), "/somewhere/vellicor");
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", "/home/reader", 1);
    EXPECT_EQ(RegistryDirectory(), "/home/reader/.config/vellicor");
}

TEST_F(RegistryStore, BothTypesRoundTripThroughTheFile) {
    std::string everyByte;
    for (int c = 1; c < 256; ++c) everyByte += static_cast<char>(c);
    const std::string odd[] = {"", "plain", "with \"quotes\" and \\back\\slashes\\", "line\nbreak\r\n",
                               "\xff\xfe not UTF-8 \x80", "[HKEY_CURRENT_USER\\fake]", "@=x", everyByte};
    const int32_t ints[] = {0, 1, -1, INT32_MIN, INT32_MAX, 0x7f00ff00};
    {
        TRegistry r;
        ASSERT_TRUE(r.OpenKey("\\Software\\Vellicor", true));
        for (size_t i = 0; i < std::size(odd); ++i) ASSERT_TRUE(r.WriteString("s" + std::to_string(i), odd[i]));
        for (size_t i = 0; i < std::size(ints); ++i) ASSERT_TRUE(r.WriteInteger("i" + std::to_string(i), ints[i]));
    }
    EXPECT_FALSE(RegistryWriteFailed());
    ResetRegistryStore();  // everything below comes from the file
    TRegistry r;
    ASSERT_TRUE(r.OpenKeyReadOnly("Software\\Vellicor"));
    for (size_t i = 0; i < std::size(odd); ++i) {
        EXPECT_EQ(r.GetDataType("s" + std::to_string(i)), TRegDataType::rdString);
        EXPECT_EQ(r.ReadString("s" + std::to_string(i)), odd[i]) << i;
        EXPECT_EQ(r.ReadInteger("s" + std::to_string(i)), std::nullopt);
    }
    for (size_t i = 0; i < std::size(ints); ++i) {
        EXPECT_EQ(r.GetDataType("i" + std::to_string(i)), TRegDataType::rdInteger);
        EXPECT_EQ(r.ReadInteger("i" + std::to_string(i)), ints[i]);
        EXPECT_EQ(r.ReadString("i" + std::to_string(i)), std::nullopt);
    }
    EXPECT_EQ(r.GetDataType("missing"), TRegDataType::rdUnknown);
    // The file stays a readable text file: one line per value plus header and comment.
    std::string text = ReadFileBytes(FilePath());
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Vellicor]\n"), std::string::npos);
    EXPECT_NE(text.find("\"i2\"=dword:ffffffff\n"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2 + 14);
}

TEST_F(RegistryStore, StringsEndAtTheirFirstNul) {
    ASSERT_TRUE(Set("Software\\Vellicor", std::string("na\0me", 5), std::string("ab\0cd", 5)));
    ResetRegistryStore();
    EXPECT_EQ(Get("Software\\Vellicor", "na"), "ab");
}

TEST_F(RegistryStore, NamesAreCaseInsensitiveAndKeepTheirCase) {
    ASSERT_TRUE(Set("Software\\Vellicor", "TwoPages", "a"));
    ASSERT_TRUE(Set("SOFTWARE\\vellicor", "TWOPAGES", "b"));
    ResetRegistryStore();
    TRegistry r;
    ASSERT_TRUE(r.OpenKeyReadOnly("software\\VELLICOR"));
    EXPECT_EQ(r.ReadString("twopages"), "b");
    EXPECT_EQ(r.GetValueNames(), std::vector<std::string>{"TwoPages"});
    TRegistry top;
    ASSERT_TRUE(top.OpenKeyReadOnly("\\"));
    EXPECT_EQ(top.GetKeyNames(), std::vector<std::string>{"Software"});
    EXPECT_TRUE(top.KeyExists("sOfTwArE\\Vellicor"));
    EXPECT_FALSE(top.KeyExists("Software\\Other"));
}

TEST_F(RegistryStore, ValueAndSubKeyOfOneNameAreSeparate) {
    {
        TRegistry r;
        ASSERT_TRUE(r.OpenKey("\\Software\\Vellicor", true));
        ASSERT_TRUE(r.WriteInteger("RecentPages", 12));
        ASSERT_TRUE(r.OpenKey("RecentPages", true));  // relative to the open key
        EXPECT_EQ(r.CurrentPath(), "Software\\Vellicor\\RecentPages");
        ASSERT_TRUE(r.WriteString("0000", "/comics/a.jpg"));
        ASSERT_TRUE(r.WriteString("0001", "/comics/b.jpg"));
    }
    ResetRegistryStore();
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("\\Software\\Vellicor", false));
    EXPECT_EQ(r.ReadInteger("RecentPages"), 12);
    EXPECT_EQ(r.GetKeyNames(), std::vector<std::string>{"RecentPages"});
    EXPECT_EQ(r.GetValueNames(), std::vector<std::string>{"RecentPages"});
    EXPECT_TRUE(r.DeleteKey("RecentPages"));
    EXPECT_EQ(r.ReadInteger("RecentPages"), 12);
    EXPECT_FALSE(r.KeyExists("RecentPages"));
    ASSERT_TRUE(r.OpenKey("RecentPages", true));
    ASSERT_TRUE(r.WriteString("0000", "x"));
    ASSERT_TRUE(r.OpenKey("\\Software\\Vellicor", false));
    EXPECT_TRUE(r.DeleteValue("recentpages"));
    EXPECT_FALSE(r.DeleteValue("recentpages"));
    EXPECT_TRUE(r.KeyExists("RecentPages"));
    ResetRegistryStore();
    EXPECT_EQ(Get("Software\\Vellicor\\RecentPages", "0000"), "x");
    EXPECT_TRUE(TRegistry().OpenKeyReadOnly("Software\\Vellicor"));
}

TEST_F(RegistryStore, DefaultValueAndKeyLifecycle) {
    TRegistry r(HKEY::CLASSES_ROOT);
    EXPECT_FALSE(r.WriteString("x", "no key open"));
    EXPECT_FALSE(r.OpenKeyReadOnly("CLSID\\{X}\\InprocServer32"));
    ASSERT_TRUE(r.OpenKey("CLSID\\{X}\\InprocServer32", true));
    EXPECT_EQ(r.ReadString(""), std::nullopt);
    ASSERT_TRUE(r.WriteString("", "\"/opt/lib/libtrace32.so\""));
    ASSERT_TRUE(r.WriteString("@", "a value named @"));
    ResetRegistryStore();
    EXPECT_NE(ReadFileBytes(FilePath()).find("\n@=\"\\\"/opt/lib/libtrace32.so\\\"\"\n"), std::string::npos);
    TRegistry c(HKEY::CLASSES_ROOT);
    ASSERT_TRUE(c.OpenKeyReadOnly("\\CLSID\\{x}\\inprocserver32"));
    EXPECT_EQ(c.ReadString(""), "\"/opt/lib/libtrace32.so\"");
    EXPECT_EQ(c.ReadString("@"), "a value named @");
    // Roots are separate trees; a key deleted with its sub-keys.
    EXPECT_FALSE(TRegistry(HKEY::CURRENT_USER).KeyExists("CLSID"));
    ASSERT_TRUE(c.OpenKey("\\", false));
    EXPECT_FALSE(c.DeleteKey(""));
    EXPECT_TRUE(c.DeleteKey("clsid"));
    ResetRegistryStore();
    EXPECT_FALSE(TRegistry(HKEY::CLASSES_ROOT).KeyExists("CLSID\\{X}"));
}

TEST_F(RegistryStore, EmptyKeysAndOrderSurvive) {
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("A\\Empty", true));
    ASSERT_TRUE(r.OpenKey("\\A", false));
    for (const char* n : {"zeta", "alpha", "Mid"}) ASSERT_TRUE(r.WriteInteger(n, 1));
    ResetRegistryStore();
    TRegistry a;
    ASSERT_TRUE(a.OpenKeyReadOnly("A"));
    EXPECT_EQ(a.GetValueNames(), (std::vector<std::string>{"zeta", "alpha", "Mid"}));
    EXPECT_TRUE(a.KeyExists("Empty"));
}

TEST_F(RegistryStore, DeepPathsAreRefused) {
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += "k\\";
    TRegistry r;
    EXPECT_FALSE(r.OpenKey(deep, true));
}

TEST_F(RegistryStore, BatchWritesTheFileOnce) {
    int renames = 0;
    registry_testing::SetBeforeRenameHook([&] { ++renames; return true; });
    {
        TRegistryBatch outer;
        TRegistry r;
        ASSERT_TRUE(r.OpenKey("\\Software\\Vellicor", true));
        for (int i = 0; i < 100; ++i) ASSERT_TRUE(r.WriteInteger("v" + std::to_string(i), i));
        {
            TRegistryBatch inner;
            ASSERT_TRUE(r.WriteString("inner", "yes"));
        }
        EXPECT_EQ(renames, 0);
        EXPECT_EQ(r.ReadInteger("v99"), 99);  // visible at once in memory
        EXPECT_FALSE(std::filesystem::exists(FilePath()));
    }
    EXPECT_EQ(renames, 1);
    ResetRegistryStore();
    EXPECT_EQ(Get("Software\\Vellicor", "inner"), "yes");
    TRegistry r;
    ASSERT_TRUE(r.OpenKeyReadOnly("Software\\Vellicor"));
    EXPECT_EQ(r.GetValueNames().size(), 101u);
}

TEST_F(RegistryStore, WriteInterruptedBeforeTheRenameLosesNothing) {
    ASSERT_TRUE(Set("S", "first", "1"));
    std::string before = ReadFileBytes(FilePath());
    registry_testing::SetBeforeRenameHook([] { return false; });
    EXPECT_FALSE(Set("S", "second", "2"));
    EXPECT_TRUE(RegistryWriteFailed());
    EXPECT_EQ(ReadFileBytes(FilePath()), before);
    EXPECT_EQ(Get("S", "second"), "2");  // kept in memory
    registry_testing::SetBeforeRenameHook(nullptr);
    // The next write that succeeds carries the one that did not.
    ASSERT_TRUE(Set("S", "third", "3"));
    EXPECT_FALSE(RegistryWriteFailed());
    ResetRegistryStore();
    EXPECT_EQ(Get("S", "first"), "1");
    EXPECT_EQ(Get("S", "second"), "2");
    EXPECT_EQ(Get("S", "third"), "3");
    // A process that died mid-write leaves only its temporary, which a later write removes.
    std::filesystem::path stale = FilePath() + ".tmp.999999";
    dir_.Write("cfg/registry.txt.tmp.999999", "half a fil");
    ResetRegistryStore();
    EXPECT_EQ(Get("S", "first"), "1");
    ASSERT_TRUE(Set("S", "fourth", "4"));
    EXPECT_FALSE(std::filesystem::exists(stale));
}

TEST_F(RegistryStore, DamagedFileIsReadAroundAndKeptBeforeRewrite) {
    const std::string damaged =
        "; hand edited\r\n"
        "\"orphan\"=\"before any header\"\n"
        "[HKEY_CURRENT_USER\\Software\\Vellicor]\r\n"
        "\"Good\"=dword:0000002a\r\n"
        "garbage line\n"
        "\"Unterminated\"=\"abc\n"
        "\"BadInt\"=dword:xyz\n"
        "\"TooLong\"=dword:123456789\n"
        "  \"Spaced\"=\"ok\"  \n"
        "[HKEY_NOWHERE\\Software\\Vellicor]\n"
        "\"Good\"=dword:00000063\n"
        "[HKEY_CURRENT_USER\\Software\\Vellicor\\Sub]\n"
        "@=\"sub default\"\n"
        "\"Bad\\q\"=\"unknown escape\"\n";
    ReplaceFile(damaged);
    TRegistry r;
    ASSERT_TRUE(r.OpenKeyReadOnly("Software\\Vellicor"));
    EXPECT_EQ(r.ReadInteger("Good"), 42);  // not the value under the unreadable header
    EXPECT_EQ(r.ReadString("Spaced"), "ok");
    EXPECT_EQ(r.GetValueNames(), (std::vector<std::string>{"Good", "Spaced"}));
    EXPECT_EQ(Get("Software\\Vellicor\\Sub", ""), "sub default");
    // Reading changes nothing; the first write keeps the damaged file first.
    EXPECT_FALSE(std::filesystem::exists(FilePath() + ".damaged-1"));
    ASSERT_TRUE(r.OpenKey("\\Software\\Vellicor", false));
    ASSERT_TRUE(r.WriteInteger("New", 1));
    EXPECT_EQ(ReadFileBytes(FilePath() + ".damaged-1"), damaged);
    ASSERT_TRUE(r.WriteInteger("Newer", 2));
    EXPECT_FALSE(std::filesystem::exists(FilePath() + ".damaged-2"));  // the rewrite is clean
    ResetRegistryStore();
    TRegistry back;
    ASSERT_TRUE(back.OpenKeyReadOnly("Software\\Vellicor"));
    EXPECT_EQ(back.ReadInteger("Good"), 42);
    EXPECT_EQ(back.ReadInteger("Newer"), 2);
    // A second damage gets a copy of its own.
    ReplaceFile(std::string("\0\1binary\xff", 9));
    EXPECT_FALSE(back.ValueExists("Good"));
    ASSERT_TRUE(back.WriteInteger("After", 3));
    EXPECT_EQ(ReadFileBytes(FilePath() + ".damaged-2"), std::string("\0\1binary\xff", 9));
    EXPECT_EQ(ReadFileBytes(FilePath() + ".damaged-1"), damaged);
}

TEST_F(RegistryStore, AFileThatCannotBeReplacedIsNeverLost) {
    // A directory where the file should be: neither readable nor replaceable.
    std::filesystem::create_directories(FilePath());
    EXPECT_FALSE(Set("S", "x", "1"));
    EXPECT_TRUE(RegistryWriteFailed());
    EXPECT_TRUE(std::filesystem::is_directory(FilePath()));
}

TEST_F(RegistryStore, ChangesByAnotherProcessAreSeen) {
    ASSERT_TRUE(Set("Software\\Vellicor", "Mine", "1"));
    TRegistry r;
    ASSERT_TRUE(r.OpenKeyReadOnly("Software\\Vellicor"));
    EXPECT_EQ(r.ReadString("Mine"), "1");
    ReplaceFile("[HKEY_CURRENT_USER\\Software\\Vellicor]\n\"Mine\"=\"2\"\n\"Theirs\"=\"x\"\n");
    EXPECT_EQ(r.ReadString("Mine"), "2");
    EXPECT_EQ(r.ReadString("Theirs"), "x");
    // A batch in progress keeps its writes over a file that changed under it.
    {
        TRegistryBatch b;
        TRegistry w;
        ASSERT_TRUE(w.OpenKey("Software\\Vellicor", true));
        ASSERT_TRUE(w.WriteString("Batch", "b"));
        ReplaceFile("[HKEY_CURRENT_USER\\Software\\Vellicor]\n\"Theirs\"=\"y\"\n");
        EXPECT_EQ(w.ReadString("Batch"), "b");
        EXPECT_EQ(w.ReadString("Theirs"), "y");
        EXPECT_FALSE(w.ValueExists("Mine"));
    }
    ResetRegistryStore();
    EXPECT_EQ(Get("Software\\Vellicor", "Batch"), "b");
    EXPECT_EQ(Get("Software\\Vellicor", "Theirs"), "y");
}

TEST_F(RegistryStore, TwoInstancesWritingKeepEachOthersValues) {
    ASSERT_TRUE(Set("Shared", "parent", "p"));
    constexpr int kPerChild = 150;
    pid_t kids[2];
    for (int c = 0; c < 2; ++c) {
        kids[c] = ::fork();
        ASSERT_GE(kids[c], 0);
        if (kids[c] == 0) {
            ResetRegistryStore();
            bool ok = true;
            for (int i = 0; i < kPerChild; ++i) {
                TRegistry r;
                ok = ok && r.OpenKey("Shared", true) &&
                     r.WriteInteger("c" + std::to_string(c) + "_" + std::to_string(i), i);
                if (i % 10 == 0) {  // and a batch now and then
                    TRegistryBatch b;
                    ok = ok && r.WriteString("last" + std::to_string(c), std::to_string(i)) &&
                         r.OpenKey("Child" + std::to_string(c), true) && r.WriteInteger("n", i);
                }
            }
            ::_exit(ok ? 0 : 1);
        }
    }
    for (pid_t k : kids) {
        int status = 0;
        ASSERT_EQ(::waitpid(k, &status, 0), k);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    TRegistry r;  // the parent's store notices the file changed
    ASSERT_TRUE(r.OpenKeyReadOnly("Shared"));
    EXPECT_EQ(r.ReadString("parent"), "p");
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < kPerChild; ++i)
            EXPECT_EQ(r.ReadInteger("c" + std::to_string(c) + "_" + std::to_string(i)), i);
        EXPECT_EQ(r.ReadString("last" + std::to_string(c)), "140");
        TRegistry child;
        ASSERT_TRUE(child.OpenKeyReadOnly("Shared\\Child" + std::to_string(c)));
        EXPECT_EQ(child.ReadInteger("n"), 140);
    }
}

TEST_F(RegistryStore, WriteWaitsForAnotherInstancesLock) {
    ASSERT_TRUE(Set("S", "a", "1"));
    int fd = ::open((dir_.Path() + "/cfg/registry.lock").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    std::thread release([fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::close(fd);
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(Set("S", "b", "2"));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
    release.join();
}

// The file parser on its own.
TEST(RegistryFormat, QuotingRoundTripsAndRejectsBadEscapes) {
    std::string s;
    for (int c = 1; c < 256; ++c) s += static_cast<char>(c);
    std::string q = regfile::QuoteString(s);
    EXPECT_EQ(q.find('\n'), std::string::npos);
    size_t pos = 0;
    EXPECT_EQ(regfile::UnquoteString(q, pos), s);
    EXPECT_EQ(pos, q.size());
    for (const char* bad : {"\"abc", "\"a\\x4\"", "\"a\\q\"", "\"a\\x00\"", "\"a\\", "x"}) {
        pos = 0;
        EXPECT_EQ(regfile::UnquoteString(bad, pos), std::nullopt) << bad;
    }
    pos = 0;
    EXPECT_EQ(regfile::UnquoteString("\"t\\tn\\nr\\r\"", pos), "t\tn\nr\r");
}

TEST(RegistryFormat, KeyNamesWithOddBytesSurvive) {
    regfile::Tree t;
    t.Root(HKEY::LOCAL_MACHINE).AddKey("50% [off]\n\x01").SetValue("v").i = 5;
    std::string text = regfile::Serialize(t);
    regfile::Tree back;
    EXPECT_EQ(regfile::Parse(text, back), 0u);
    EXPECT_EQ(regfile::Serialize(back), text);
    const regfile::Key* k = back.Root(HKEY::LOCAL_MACHINE).FindKey("50% [OFF]\n\x01");
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->name, "50% [off]\n\x01");
    // A header naming an impossible key is a damaged line, as is an empty segment.
    for (const char* bad : {"[HKEY_CURRENT_USER\\a%5cb]", "[HKEY_CURRENT_USER\\a%00]", "[HKEY_CURRENT_USER\\\\a]",
                            "[HKEY_CURRENT_USER\\a%4]", "[HKEY_CURRENT_USER", "[]"})
        EXPECT_EQ(regfile::Parse(bad, back), 1u) << bad;
}

}  // namespace
