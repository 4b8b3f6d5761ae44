// The settings store: values and keys, its file, damage, and other instances.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>

#include "platform/Registry.h"
#include "platform/RegistryFormat.h"
#include "support/ChildRun.h"
#include "support/FakeUi.h"
#include "support/ScopedConfigDir.h"

using namespace vellicor;
using vellicor::test::ReadFileBytes;
namespace fs = std::filesystem;

namespace {

class RegistryStore : public ::testing::Test {
protected:
    void TearDown() override { registry_testing::SetBeforeRenameHook(nullptr); }
    static std::string File() { return RegistryFilePath(); }
    // Puts text in place of the file as another program would: a new file renamed over.
    void Replace(const std::string& text) { fs::rename(cfg_.Dir().Write("other.tmp", text), File()); }
    static bool Set(const std::string& key, const std::string& name, const std::string& value) {
        TRegistry r;
        return r.OpenKey(key, true) && r.WriteString(name, value);
    }
    static std::optional<std::string> Get(const std::string& key, const std::string& name) {
        TRegistry r;
        return r.OpenKeyReadOnly(key) ? r.ReadString(name) : std::nullopt;
    }
    test::ScopedConfigDir cfg_;
};

TEST_F(RegistryStore, BothTypesRoundTripThroughTheFile) {
    std::string everyByte;
    for (int c = 1; c < 256; ++c) everyByte += static_cast<char>(c);
    const std::string strs[] = {"", "[HKEY_CURRENT_USER\\fake]\n@=\"x\"", everyByte};
    const int32_t ints[] = {0, -1, INT32_MIN, INT32_MAX};
    {
        TRegistry r;
        ASSERT_TRUE(r.OpenKey("\\Software\\Vellicor", true));
        for (size_t i = 0; i < std::size(strs); ++i) ASSERT_TRUE(r.WriteString("s" + std::to_string(i), strs[i]));
        for (size_t i = 0; i < std::size(ints); ++i) ASSERT_TRUE(r.WriteInteger("i" + std::to_string(i), ints[i]));
        ASSERT_TRUE(r.WriteString(std::string("na\0me", 5), std::string("ab\0cd", 5)));  // NUL ends a string
        ASSERT_TRUE(r.OpenKey("Empty", true));  // relative to the open key
    }
    EXPECT_FALSE(RegistryWriteFailed());
    ResetRegistryStore();  // everything below comes from the file
    TRegistry r;
    ASSERT_TRUE(r.OpenKeyReadOnly("Software\\Vellicor"));
    for (size_t i = 0; i < std::size(strs); ++i) {
        EXPECT_EQ(r.ReadString("s" + std::to_string(i)), strs[i]) << i;
        EXPECT_EQ(r.ReadInteger("s" + std::to_string(i)), std::nullopt);  // the other type is no value
    }
    for (size_t i = 0; i < std::size(ints); ++i) {
        EXPECT_EQ(r.ReadInteger("i" + std::to_string(i)), ints[i]);
        EXPECT_EQ(r.GetDataType("i" + std::to_string(i)), TRegDataType::rdInteger);
    }
    EXPECT_EQ(r.ReadString("na"), "ab");
    EXPECT_EQ(r.GetValueNames().front(), "s0");  // order kept
    EXPECT_TRUE(r.KeyExists("Empty"));
}

TEST_F(RegistryStore, NamesIgnoreCaseAndValuesAndSubKeysAreSeparate) {
    ASSERT_TRUE(Set("Software\\Vellicor", "RecentPages", "a") && Set("SOFTWARE\\vellicor", "RECENTPAGES", "b"));
    ASSERT_TRUE(Set("Software\\Vellicor\\RecentPages", "0000", "/a.jpg"));
    ResetRegistryStore();
    TRegistry r;
    ASSERT_TRUE(r.OpenKeyReadOnly("software\\VELLICOR"));
    EXPECT_EQ(r.ReadString("recentpages"), "b");
    EXPECT_EQ(r.GetValueNames(), std::vector<std::string>{"RecentPages"});  // the first case is kept
    EXPECT_TRUE(r.DeleteKey("recentPAGES"));
    EXPECT_EQ(r.ReadString("RecentPages"), "b");
    EXPECT_TRUE(r.DeleteValue("recentpages") && !r.DeleteValue("recentpages"));
}

TEST_F(RegistryStore, DefaultValueRootsAndHostilePaths) {
    TRegistry r(HKEY::CLASSES_ROOT);
    EXPECT_FALSE(r.WriteString("x", "no key open"));
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += "k\\";
    EXPECT_FALSE(r.OpenKey(deep, true));  // deeper than any real key
    ASSERT_TRUE(r.OpenKey("CLSID\\{X}", true));
    ASSERT_TRUE(r.WriteString("", "default"));
    ASSERT_TRUE(r.WriteString("@", "a value named @"));
    ResetRegistryStore();
    EXPECT_EQ(r.ReadString(""), "default");
    EXPECT_EQ(r.ReadString("@"), "a value named @");
    EXPECT_FALSE(TRegistry(HKEY::CURRENT_USER).KeyExists("CLSID"));  // roots are separate trees
    ASSERT_TRUE(r.OpenKey("\\", false));
    EXPECT_FALSE(r.DeleteKey(""));  // no deleting a root
}

TEST_F(RegistryStore, BatchWritesTheFileOnce) {
    int renames = 0;
    registry_testing::SetBeforeRenameHook([&] { return ++renames > 0; });
    {
        TRegistryBatch outer;
        TRegistry r;
        ASSERT_TRUE(r.OpenKey("K", true));
        for (int i = 0; i < 100; ++i) ASSERT_TRUE(r.WriteInteger("v" + std::to_string(i), i));
        { TRegistryBatch inner; }
        EXPECT_EQ(renames, 0);
        EXPECT_EQ(r.ReadInteger("v99"), 99);  // visible at once in memory
    }
    EXPECT_EQ(renames, 1);
    ResetRegistryStore();
    TRegistry r;
    EXPECT_TRUE(r.OpenKeyReadOnly("K") && r.GetValueNames().size() == 100u);
}

TEST_F(RegistryStore, WriteInterruptedBeforeTheRenameLosesNothing) {
    ASSERT_TRUE(Set("S", "first", "1"));
    std::string before = ReadFileBytes(File());
    registry_testing::SetBeforeRenameHook([] { return false; });
    EXPECT_FALSE(Set("S", "second", "2"));
    EXPECT_TRUE(RegistryWriteFailed());
    EXPECT_EQ(ReadFileBytes(File()), before);
    EXPECT_EQ(Get("S", "second"), "2");  // kept in memory...
    registry_testing::SetBeforeRenameHook(nullptr);
    ASSERT_TRUE(Set("S", "third", "3"));  // ...and carried by the next write that succeeds
    EXPECT_FALSE(RegistryWriteFailed());
    // A process that died mid-write leaves only its temporary, which a later write removes.
    std::string stale = cfg_.Dir().Write("registry.txt.tmp.999999", "half a fil");
    ResetRegistryStore();
    ASSERT_TRUE(Set("S", "fourth", "4"));
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_EQ(Get("S", "first"), "1");
    EXPECT_EQ(Get("S", "second"), "2");
}

TEST_F(RegistryStore, DamagedFileIsReadAroundAndKeptBeforeRewrite) {
    const std::string damaged =
        "\"orphan\"=\"before any header\"\n"
        "[HKEY_CURRENT_USER\\K]\r\n"
        "\"Good\"=dword:0000002a\r\n"
        "garbage line\n"
        "  \"Spaced\"=\"ok\"  \n"
        "[HKEY_NOWHERE\\K]\n"
        "\"Good\"=dword:00000063\n";
    Replace(damaged);
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("K", false));
    EXPECT_EQ(r.ReadInteger("Good"), 42);  // not the value under the unreadable header
    EXPECT_EQ(r.GetValueNames(), (std::vector<std::string>{"Good", "Spaced"}));
    // Reading changes nothing; the first write keeps the damaged file first, later ones do not.
    EXPECT_FALSE(fs::exists(File() + ".damaged-1"));
    ASSERT_TRUE(r.WriteInteger("New", 1));
    ASSERT_TRUE(r.WriteInteger("Newer", 2));
    EXPECT_EQ(ReadFileBytes(File() + ".damaged-1"), damaged);
    EXPECT_FALSE(fs::exists(File() + ".damaged-2"));
    ResetRegistryStore();
    EXPECT_EQ(r.ReadInteger("Good"), 42);
    const std::string binary("\0\1binary\xff", 9);  // a second damage gets a copy of its own
    Replace(binary);
    EXPECT_FALSE(r.ValueExists("Good"));
    ASSERT_TRUE(r.WriteInteger("After", 3));
    EXPECT_EQ(ReadFileBytes(File() + ".damaged-2"), binary);
    EXPECT_EQ(ReadFileBytes(File() + ".damaged-1"), damaged);
    fs::remove(File());  // a directory where the file should be can be neither read nor replaced
    fs::create_directories(File());
    EXPECT_FALSE(Set("S", "x", "1"));
    EXPECT_TRUE(RegistryWriteFailed());
    EXPECT_TRUE(fs::is_directory(File()));
}

// Damage that happens to open with '[' costs its own line: the values after it stay with
// their key. A FIFO at the file's place is never opened (that would wait for a writer for
// ever): the store starts empty, says why, and its first write keeps the FIFO aside.
TEST_F(RegistryStore, DamageCostsOnlyItsOwnLinesAndOnlyAFileIsRead) {
    Replace("[HKEY_CURRENT_USER\\K]\n\"Before\"=dword:00000001\n[\x01" + std::string(3, '\0') +
            "garbage\n[]\xff\n\"After\"=dword:00000002\n");
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("K", false));
    EXPECT_EQ(r.ReadInteger("Before"), 1);
    EXPECT_EQ(r.ReadInteger("After"), 2);
    r.CloseKey();

    fs::remove(File());
    ASSERT_EQ(::mkfifo(File().c_str(), 0600), 0);
    ResetRegistryStore();
    const test::ChildRun run = test::InChild([] {
        ::alarm(30);  // a read that blocks ends here, as a failure
        TRegistry k;
        if (k.OpenKey("K", false)) return 2;
        if (TakeRegistryUnreadableNote().find("it is not a file") == std::string::npos) return 3;
        if (!Set("K", "a", "1") || !fs::is_regular_file(File())) return 4;
        return fs::is_fifo(File() + ".damaged-1") ? 0 : 5;
    });
    EXPECT_EQ(run.exitCode, 0) << "100 + 14: the read blocked";
}

// Permission bits of a file; -1 when it cannot be examined.
int ModeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

TEST_F(RegistryStore, TheFileAndItsDamagedCopyKeepThePermissionsItHad) {
    ASSERT_TRUE(Set("K", "a", "1"));
    EXPECT_EQ(ModeOf(File()), 0600);  // a new store is its owner's alone
    ASSERT_EQ(::chmod(File().c_str(), 0640), 0);
    ASSERT_TRUE(Set("K", "b", "2"));
    EXPECT_EQ(ModeOf(File()), 0640);  // a rewrite keeps what the owner chose
    Replace("damaged line\n");
    ASSERT_EQ(::chmod(File().c_str(), 0604), 0);
    ASSERT_TRUE(Set("K", "c", "3"));
    EXPECT_EQ(ModeOf(File() + ".damaged-1"), 0604);
    EXPECT_EQ(ModeOf(File()), 0604);
}

TEST_F(RegistryStore, AStoreThatCannotBeWrittenIsToldOfOncePerRun) {
    test::FakeUi ui;
    // A folder below a regular file: nothing can be created there, not even by root.
    const std::string blocker = cfg_.Dir().Write("not-a-folder", "x");
    test::ScopedConfigDir::Use(blocker + "/vellicor");
    EXPECT_FALSE(Set("K", "a", "1"));
    EXPECT_TRUE(RegistryWriteFailed());
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, "Settings cannot be saved");
    EXPECT_NE(ui.shown[0].text.find(RegistryFilePath()), std::string::npos) << ui.shown[0].text;
    EXPECT_NE(ui.shown[0].text.find("Not a directory"), std::string::npos) << ui.shown[0].text;
    EXPECT_FALSE(Set("K", "b", "2"));
    {
        TRegistryBatch batch;
        TRegistry r;
        ASSERT_TRUE(r.OpenKey("K", true));
        EXPECT_TRUE(r.WriteInteger("c", 3));  // in memory until the batch ends
    }
    EXPECT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(Get("K", "b"), "2");  // the values live on for this run
    // A batch that fails is told of as well, in a run of its own.
    test::ScopedConfigDir::Use(blocker + "/other");
    {
        TRegistryBatch batch;
        EXPECT_TRUE(Set("K", "a", "1"));
        EXPECT_EQ(ui.shown.size(), 1u);
    }
    EXPECT_EQ(ui.shown.size(), 2u);
    // A store that can be written has nothing to tell.
    test::ScopedConfigDir::Use(cfg_.Dir().Path());
    EXPECT_TRUE(Set("K", "d", "4"));
    EXPECT_EQ(ui.shown.size(), 2u);
}

TEST_F(RegistryStore, ABatchKeepsItsWritesOverAFileChangedUnderIt) {
    ASSERT_TRUE(Set("K", "Mine", "1"));
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("K", false));
    {
        TRegistryBatch b;
        ASSERT_TRUE(r.WriteString("Batch", "b"));
        Replace("[HKEY_CURRENT_USER\\K]\n\"Theirs\"=\"y\"\n");
        EXPECT_FALSE(r.ValueExists("Mine"));
    }
    ResetRegistryStore();
    EXPECT_EQ(Get("K", "Batch"), "b");
    EXPECT_EQ(Get("K", "Theirs"), "y");
}

TEST_F(RegistryStore, TwoInstancesWritingKeepEachOthersValues) {
    ASSERT_TRUE(Set("Shared", "parent", "p"));
    auto name = [](int c, int i) { return "c" + std::to_string(c) + "_" + std::to_string(i); };
    pid_t kids[2];
    for (int c = 0; c < 2; ++c) {
        if ((kids[c] = ::fork()) != 0) continue;
        ResetRegistryStore();
        bool ok = true;
        for (int i = 0; ok && i < 150; ++i) ok = Set("Shared", name(c, i), std::to_string(i));
        ::_exit(ok ? 0 : 1);
    }
    for (pid_t k : kids) {
        int status = 0;
        ASSERT_EQ(::waitpid(k, &status, 0), k);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(Get("Shared", "parent"), "p");  // the parent's store notices the file changed
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 150; ++i) EXPECT_EQ(Get("Shared", name(c, i)), std::to_string(i));
}

TEST(RegistryFormat, OddBytesRoundTripAndBadLinesAreCounted) {
    regfile::Tree t, back;
    t.Root(HKEY::LOCAL_MACHINE).AddKey("50% [off]\n\x01").SetValue("v\"\\").s = "\x7f\\x41";
    std::string text = regfile::Serialize(t);
    EXPECT_EQ(regfile::Parse(text, back), 0u);
    EXPECT_EQ(regfile::Serialize(back), text);
    ASSERT_NE(back.Root(HKEY::LOCAL_MACHINE).FindKey("50% [OFF]\n\x01"), nullptr);
    // Each of these is one unreadable line, and skipped.
    for (const char* bad : {"[HKEY_CURRENT_USER\\a%5cb]", "[HKEY_CURRENT_USER\\a%00]", "[HKEY_CURRENT_USER\\\\a]",
                            "[HKEY_CURRENT_USER\\a%4]", "[HKEY_CURRENT_USER", "[]", "[HKEY_NOWHERE\\a]",
                            "[K]\n\"a\"=\"abc", "[K]\n\"a\"=\"a\\x4\"", "[K]\n\"a\"=\"a\\q\"", "[K]\n\"a\"=\"a\\x00\"",
                            "[K]\n\"a\"=\"a\\", "[K]\nx", "[K]\n\"a\"=dword:xyz", "[K]\n\"a\"=dword:123456789",
                            "[K]\n\"a\"=dword:1 2", "\"before\"=\"any header\""}) {
        std::string line = bad;
        if (line.rfind("[K]", 0) == 0) line.replace(0, 3, "[HKEY_CURRENT_USER\\K]");
        EXPECT_EQ(regfile::Parse(line, back), 1u) << bad;
    }
}

}  // namespace
