// Round trips through the real stand-in library and its viewer program.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "extlibs/trace32/TraceMap.h"
#include "platform/Registry.h"
#include "platform/Ticks.h"
#include "support/TempDir.h"
#include "trace/Trace.h"

extern char** environ;

using namespace vellicor;
namespace tr = vellicor::trace;
using vellicor::test::ReadFileBytes;
using vellicor::test::TempDir;

namespace {

const std::string kModuleDir = VELLICOR_MODULE_DIR;

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

pid_t Spawn(std::vector<std::string> args, const std::string& out) {
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
        const char* old = std::getenv("VELLICOR_CONFIG_DIR");
        saved_ = old ? old : "";
        ::setenv("VELLICOR_CONFIG_DIR", dir_.Path().c_str(), 1);
        ResetRegistryStore();
        static int n = 0;
        map_ = "/vellicor-test-viewer-" + std::to_string(::getpid()) + "-" + std::to_string(++n);
        TRegistry r(HKEY::CLASSES_ROOT);
        ASSERT_TRUE(r.OpenKey("CLSID\\{766679C8-435A-11D1-AC1F-444553540000}\\InprocServer32", true));
        ASSERT_TRUE(r.WriteString("", kModuleDir + "/libtrace32.so"));
        tr::LoadTraceLibrary();
        ASSERT_TRUE(tr::TraceLibraryLoaded());
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
        ::setenv("VELLICOR_CONFIG_DIR", saved_.c_str(), 1);
        ResetRegistryStore();
    }
    void StartViewer() {
        viewer_ = Spawn({kModuleDir + "/tracelog32", "--map", map_, "--export", dir_.File("export.log")},
                        dir_.File("live.txt"));
        ASSERT_GT(viewer_, 0);
        ASSERT_TRUE(WaitFor([&] {
            trace32::Map* m = trace32::OpenMap(map_);
            bool up = m && m->header.viewerPid.load() == viewer_;
            trace32::CloseMap(m);
            return up;
        }));
    }
    bool LiveHas(const std::string& text) {
        return WaitFor([&] { return ReadFileBytes(dir_.File("live.txt")).find(text) != std::string::npos; });
    }

    TempDir dir_;
    std::string saved_, map_;
    pid_t viewer_ = -1;
    uint32_t now_ = 100000;
};

void TracedWork() {
    VTRACE("TRoundTrip::TracedWork");
    VTRACE_INT("TRoundTrip::TracedWork Pages", 42);
    VTRACE_STR("TRoundTrip::TracedWork Name", std::string("issue #1"));
    tr::TraceReal(1.5, "TRoundTrip::TracedWork Zoom");
    tr::TraceRect({0, 0, 640, 480}, "TRoundTrip::TracedWork Area");
}

TEST_F(Viewer, CallAndReturnRecordsReachTheViewer) {
    EXPECT_FALSE(tr::TracingEnabled());  // no viewer yet
    StartViewer();
    EXPECT_FALSE(tr::TracingEnabled());  // the next attempt is 5 s after the last
    now_ += 5000;
    ASSERT_TRUE(tr::TracingEnabled());
    TracedWork();
    ASSERT_TRUE(LiveHas("\tText\tTRoundTrip::TracedWork\tReturn\n"));
    std::string live = ReadFileBytes(dir_.File("live.txt"));
    std::string pid = std::to_string(::getpid()) + "\t";
    EXPECT_NE(live.find(pid + "Text\tTRoundTrip::TracedWork\tCall\n"), std::string::npos) << live;
    EXPECT_NE(live.find("Integer\tTRoundTrip::TracedWork Pages\t42\n"), std::string::npos);
    EXPECT_NE(live.find("Text\tTRoundTrip::TracedWork Name\tissue #1\n"), std::string::npos);
    EXPECT_NE(live.find("Real\tTRoundTrip::TracedWork Zoom\t1.5\n"), std::string::npos);
    EXPECT_NE(live.find("Rect\tTRoundTrip::TracedWork Area\t(0, 0, 640, 480)\n"), std::string::npos);
    EXPECT_LT(live.find("TracedWork\tCall"), live.find("TracedWork Pages"));

    // The export is acknowledged and holds what was shown; its temporary file is never one
    // that someone left in its place.
    std::string victim = dir_.Write("victim", "keep");
    std::filesystem::create_symlink(victim, dir_.File("export.log.tmp." + std::to_string(viewer_)));
    EXPECT_EQ(tr::ExportLogFromTraceLog(), 1);
    EXPECT_EQ(ReadFileBytes(victim), "keep");
    std::string exported = ReadFileBytes(dir_.File("export.log"));
    EXPECT_NE(exported.find("Text\tTRoundTrip::TracedWork\tCall\n"), std::string::npos) << exported;

    // A dump reads the same ring.
    pid_t dump = Spawn({kModuleDir + "/tracelog32", "--map", map_, "--dump"}, dir_.File("dump.txt"));
    ASSERT_EQ(Wait(dump), 0);
    EXPECT_NE(ReadFileBytes(dir_.File("dump.txt")).find("Integer\tTRoundTrip::TracedWork Pages\t42"),
              std::string::npos);

    // The viewer removes its map when it ends.
    ::kill(viewer_, SIGTERM);
    EXPECT_EQ(Wait(viewer_), 0);
    viewer_ = -1;
    EXPECT_EQ(trace32::OpenMap(map_), nullptr);
    dump = Spawn({kModuleDir + "/tracelog32", "--map", map_, "--dump"}, dir_.File("dump.txt"));
    EXPECT_EQ(Wait(dump), 1);
}

TEST_F(Viewer, ExportStartsTheViewerWhenNoneRuns) {
    TRegistry r(HKEY::LOCAL_MACHINE);
    ASSERT_TRUE(r.OpenKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\TraceLog32.exe", true));
    ASSERT_TRUE(r.WriteString("", "\"" + kModuleDir + "/tracelog32\""));
    ::setenv("TMPDIR", dir_.Path().c_str(), 1);
    std::string exported = trace32::DefaultExportPath(map_);
    EXPECT_EQ(exported, dir_.Path() + map_ + ".log");
    EXPECT_EQ(tr::ExportLogFromTraceLog(), 1);
    ::unsetenv("TMPDIR");
    EXPECT_TRUE(std::filesystem::exists(exported));
    // The viewer it started is gone again, and took its map with it.
    EXPECT_TRUE(WaitFor([&] { return trace32::MapInode(map_) == 0; }));

    ASSERT_TRUE(r.WriteString("", dir_.File("no-such-viewer")));
    try {
        tr::ExportLogFromTraceLog();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "ExportLog failure - Unable to start TraceLog32");
    }
}

TEST_F(Viewer, TracingFollowsARestartedViewer) {
    StartViewer();
    now_ += 5000;
    ASSERT_TRUE(tr::TracingEnabled());
    tr::TraceComment("TRoundTrip first");
    ASSERT_TRUE(LiveHas("TRoundTrip first"));
    ::kill(viewer_, SIGTERM);
    Wait(viewer_);
    StartViewer();
    // The library looks for a new map every 5 s (real time).
    EXPECT_TRUE(WaitFor(
        [&] {
            tr::TraceComment("TRoundTrip again");
            return ReadFileBytes(dir_.File("live.txt")).find("TRoundTrip again") != std::string::npos;
        },
        std::chrono::seconds(12)));
}

}  // namespace
