// The stand-in trace library: its shared-memory ring, and round trips through the real
// library and its viewer program.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>

#include "extlibs/trace32/TraceMap.h"
#include "platform/Ticks.h"
#include "support/ScopedConfigDir.h"
#include "trace/Trace.h"

extern char** environ;

using namespace vellicor;
namespace tr = vellicor::trace;
using vellicor::test::ReadFileBytes;

namespace {

std::string UniqueName(const char* what) {
    static int n = 0;
    return "/vellicor-test-" + std::string(what) + "-" + std::to_string(::getpid()) + "-" + std::to_string(++n);
}

class Ring : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(map_ = trace32::CreateMap(name_), nullptr); }
    void TearDown() override {
        trace32::CloseMap(map_);
        ::shm_unlink(name_.c_str());
    }
    std::vector<trace32::Record> Poll(trace32::Reader& reader, int64_t now = 0, int64_t stall = 1000000000) {
        std::vector<trace32::Record> got;
        reader.Poll(map_, got, now, stall);
        return got;
    }
    void Append(int32_t v, const char* label) { trace32::Append(map_, trace32::kInteger, &v, 4, label); }
    std::string name_ = UniqueName("ring");
    trace32::Map* map_ = nullptr;
};

TEST_F(Ring, RecordsArriveInOrderAndALappedReaderCountsWhatItMissed) {
    trace32::Map* writer = trace32::OpenMap(name_);
    ASSERT_NE(writer, nullptr);
    trace32::Append(writer, trace32::kText, "hi", 3, std::string(400, 'L').c_str());
    trace32::CloseMap(writer);
    trace32::Reader reader;
    auto got = Poll(reader);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].pid, ::getpid());
    EXPECT_EQ(std::strlen(got[0].label), trace32::kLabelMax - 1);  // cut, terminated
    for (uint32_t i = 0; i < trace32::kSlots + 100; ++i) Append(static_cast<int32_t>(i), "n");
    got = Poll(reader);
    EXPECT_EQ(reader.Lost(), 100u);
    ASSERT_EQ(got.size(), trace32::kSlots);
    for (uint32_t i = 0; i < trace32::kSlots; ++i)
        ASSERT_EQ(trace32::FormatRecord(got[i]), "Integer\tn\t" + std::to_string(i + 100));
    EXPECT_EQ(trace32::Reader::FromOldest(map_).Next(), 101u);  // where a dump starts
}

TEST_F(Ring, ARecordLeftHalfWrittenIsWaitedForThenSkipped) {
    Append(1, "a");
    map_->header.next.fetch_add(1);  // a writer claims a record and dies before finishing it
    Append(1, "c");
    trace32::Reader reader;
    EXPECT_EQ(Poll(reader, 1000, 500).size(), 1u);
    EXPECT_EQ(Poll(reader, 1400, 500).size(), 0u);
    auto got = Poll(reader, 1500, 500);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_STREQ(got[0].label, "c");
    EXPECT_EQ(reader.Lost(), 1u);
}

TEST_F(Ring, OnlyOneLiveViewerOwnsANameAndForeignObjectsAreNotOpened) {
    map_->header.viewerPid.store(::getpid());
    EXPECT_EQ(trace32::CreateMap(name_), nullptr);
    pid_t dead = ::fork();  // a viewer that died leaves its map to the next one
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    map_->header.viewerPid.store(dead);
    trace32::Map* fresh = trace32::CreateMap(name_);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->header.next.load(), 0u);
    trace32::CloseMap(fresh);

    std::string name = UniqueName("foreign");  // big enough with no magic; a right header, too small
    int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    for (size_t size : {sizeof(trace32::Map), sizeof(trace32::Header)}) {
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        if (size == sizeof(trace32::Header)) { EXPECT_GT(::pwrite(fd, &map_->header, size, 0), 0); }
        EXPECT_EQ(trace32::OpenMap(name), nullptr);
    }
    ::close(fd);
    ::shm_unlink(name.c_str());
    EXPECT_EQ(trace32::OpenMap("no-slash"), nullptr);
    EXPECT_FALSE(trace32::ValidMapName("/a/b") || trace32::ValidMapName("/"));
}

TEST(TraceMap, HostileRecordsFormatWithinBounds) {
    trace32::Record r;
    std::memset(r.data, 'A', sizeof r.data);  // no terminator anywhere
    std::memset(r.label, 'B', sizeof r.label);
    for (int32_t type : {3, 4, 5, 6, 8, 9, 10, 11, 12, 16, 99})
        for (int32_t len : {-5, 0, 1, 3, 7, 15, 100000}) {
            r.type = type;
            r.length = len;
            EXPECT_LE(trace32::FormatRecord(r).size(), 16 + sizeof r.label + sizeof r.data);  // type, label, value
        }
    r.type = trace32::kText;
    r.length = 3;
    std::memcpy(r.data, "a\nb", 3);
    r.label[0] = '\0';
    EXPECT_EQ(trace32::FormatRecord(r), "Text\t\ta\\x0ab");
    r.type = 77;
    r.length = 2;
    EXPECT_EQ(trace32::FormatRecord(r), "Type77\t\t610a");
}

const std::string kModuleDir = VELLICOR_MODULE_DIR;

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    for (auto deadline = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < deadline;) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// Starts tracelog32 with args, its output going to out.
pid_t Spawn(std::vector<std::string> args, const std::string& out) {
    args.insert(args.begin(), kModuleDir + "/tracelog32");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0].c_str(), &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Viewer : public ::testing::Test {
protected:
    void SetUp() override {
        TRegistry r(HKEY::CLASSES_ROOT);
        ASSERT_TRUE(r.OpenKey("CLSID\\{766679C8-435A-11D1-AC1F-444553540000}\\InprocServer32", true));
        ASSERT_TRUE(r.WriteString("", kModuleDir + "/libtrace32.so"));
        tr::LoadTraceLibrary();
        ASSERT_EQ(tr::TraceLibraryVersion(), 0x00030000u);
        ASSERT_TRUE(tr::SetTraceMapName(map_.c_str()));
        SetTickSource([this] { return now_; });
    }
    void TearDown() override {
        if (viewer_ > 0) {
            ::kill(viewer_, SIGTERM);
            Wait(viewer_);
        }
        tr::CloseTraceMemMap();
        tr::UnloadTraceLibrary();
        SetTickSource(nullptr);
        ::shm_unlink(map_.c_str());
    }
    std::string File(const std::string& name) const { return cfg_.Dir().File(name); }
    void StartViewer() {
        viewer_ = Spawn({"--map", map_, "--export", File("export.log")}, File("live.txt"));
        ASSERT_TRUE(viewer_ > 0 && WaitFor([&] {
            trace32::Map* m = trace32::OpenMap(map_);
            bool up = m && m->header.viewerPid.load() == viewer_;
            trace32::CloseMap(m);
            return up;
        }));
    }
    bool LiveHas(const std::string& text) {
        return WaitFor([&] { return ReadFileBytes(File("live.txt")).find(text) != std::string::npos; });
    }

    test::ScopedConfigDir cfg_;
    std::string map_ = UniqueName("viewer");
    pid_t viewer_ = -1;
    uint32_t now_ = 100000;
};

void TracedWork() {
    VTRACE("TRoundTrip::TracedWork");
    VTRACE_INT("TRoundTrip::TracedWork Pages", 42);
    VTRACE_STR("TRoundTrip::TracedWork Name", std::string("issue #1"));
    tr::TraceRect({0, 0, 640, 480}, "TRoundTrip::TracedWork Area");
}

TEST_F(Viewer, RecordsReachTheViewerAndFollowItsRestart) {
    EXPECT_FALSE(tr::TracingEnabled());  // no viewer yet
    StartViewer();
    EXPECT_FALSE(tr::TracingEnabled());  // the next attempt is 5 s after the last
    now_ += 5000;
    ASSERT_TRUE(tr::TracingEnabled());
    TracedWork();
    ASSERT_TRUE(LiveHas("\tText\tTRoundTrip::TracedWork\tReturn\n"));
    std::string live = ReadFileBytes(File("live.txt"));
    for (const char* line : {"Text\tTRoundTrip::TracedWork\tCall\n", "Integer\tTRoundTrip::TracedWork Pages\t42\n",
                             "Text\tTRoundTrip::TracedWork Name\tissue #1\n",
                             "Rect\tTRoundTrip::TracedWork Area\t(0, 0, 640, 480)\n"})
        EXPECT_NE(live.find(std::to_string(::getpid()) + "\t" + line), std::string::npos) << line << live;
    EXPECT_LT(live.find("TracedWork\tCall"), live.find("TracedWork Pages"));

    // The export is acknowledged and holds what was shown; its temporary file is never one
    // that someone left in its place.
    std::string victim = cfg_.Dir().Write("victim", "keep");
    std::filesystem::create_symlink(victim, File("export.log.tmp." + std::to_string(viewer_)));
    EXPECT_EQ(tr::ExportLogFromTraceLog(), 1);
    EXPECT_EQ(ReadFileBytes(victim), "keep");
    EXPECT_NE(ReadFileBytes(File("export.log")).find("Text\tTRoundTrip::TracedWork\tCall\n"), std::string::npos);

    // A dump reads the same ring; once the viewer ends, its map is gone.
    ASSERT_EQ(Wait(Spawn({"--map", map_, "--dump"}, File("dump.txt"))), 0);
    EXPECT_NE(ReadFileBytes(File("dump.txt")).find("Integer\tTRoundTrip::TracedWork Pages\t42"), std::string::npos);
    ::kill(viewer_, SIGTERM);
    EXPECT_EQ(Wait(viewer_), 0);
    viewer_ = -1;
    EXPECT_EQ(Wait(Spawn({"--map", map_, "--dump"}, File("dump.txt"))), 1);

    // A new viewer is followed, even by a program that is exiting; the library looks every 5 s.
    pid_t child = ::fork();
    if (child == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5500));
        tr::SetExitError(3, nullptr);
        std::exit(0);
    }
    StartViewer();
    EXPECT_TRUE(LiveHas(std::to_string(child) + "\tText\tApp. Exited WITH ERRORS\t"));
    Wait(child);
}

TEST_F(Viewer, ExportStartsTheViewerWhenNoneRuns) {
    TRegistry r(HKEY::LOCAL_MACHINE);
    ASSERT_TRUE(r.OpenKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\TraceLog32.exe", true));
    ASSERT_TRUE(r.WriteString("", "\"" + kModuleDir + "/tracelog32\""));
    ::setenv("TMPDIR", cfg_.Dir().Path().c_str(), 1);
    EXPECT_EQ(tr::ExportLogFromTraceLog(), 1);
    ::unsetenv("TMPDIR");
    EXPECT_TRUE(std::filesystem::exists(cfg_.Dir().Path() + map_ + ".log"));
    EXPECT_TRUE(WaitFor([&] { return trace32::MapInode(map_) == 0; }));  // it quit and took its map
    ASSERT_TRUE(r.WriteString("", File("no-such-viewer")));
    try {
        tr::ExportLogFromTraceLog();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "ExportLog failure - Unable to start TraceLog32");
    }
}

}  // namespace
