// The program's side of tracing, against fake trace libraries built for the tests.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "platform/DynLib.h"
#include "platform/Registry.h"
#include "platform/Ticks.h"
#include "support/TempDir.h"
#include "trace/Trace.h"

using namespace vellicor;
namespace tr = vellicor::trace;
using vellicor::test::ReadFileBytes;
using vellicor::test::TempDir;

namespace {

const char kClassKey[] = "CLSID\\{766679C8-435A-11D1-AC1F-444553540000}\\InprocServer32";

std::string Fake(const std::string& tag) { return std::string(FAKE_TRACE_DIR) + "/libfake_trace_" + tag + ".so"; }

struct Rec {
    int32_t type = 0, length = 0;
    std::string data, label;
};

// Reaches into the bound fake module.
class FakeModule {
public:
    explicit FakeModule(const std::string& path) : h_(::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {}
    ~FakeModule() {
        if (h_) ::dlclose(h_);
    }
    bool Loaded() const { return h_ != nullptr; }
    void SetMapAvailable(bool on) { Fn<void (*)(int)>("FakeSetMapAvailable")(on); }
    int OpenCalls() { return Fn<int (*)()>("FakeOpenCalls")(); }
    int Count() { return Fn<int (*)()>("FakeRecordCount")(); }
    Rec At(int i) {
        Rec r;
        Fn<int (*)(int, int32_t*, int32_t*, std::string*, std::string*)>("FakeRecord")(i, &r.type, &r.length, &r.data,
                                                                                      &r.label);
        return r;
    }
    Rec Last() { return At(Count() - 1); }

private:
    template <typename F>
    F Fn(const char* name) {
        void* p = ::dlsym(h_, name);
        if (!p) throw std::runtime_error(name);
        return reinterpret_cast<F>(p);
    }
    void* h_;
};

class Tracing : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("VELLICOR_CONFIG_DIR");
        saved_ = old ? old : "";
        ::setenv("VELLICOR_CONFIG_DIR", dir_.Path().c_str(), 1);
        ResetRegistryStore();
        SetModuleSearchDir(dir_.Path());  // no libtrace32.so there unless a test puts one
        SetTickSource([this] { return now_; });
    }
    void TearDown() override {
        tr::UnloadTraceLibrary();
        SetTickSource(nullptr);
        SetModuleSearchDir("");
        ::setenv("VELLICOR_CONFIG_DIR", saved_.c_str(), 1);
        ResetRegistryStore();
    }
    static void Register(const std::string& value) {
        TRegistry r(HKEY::CLASSES_ROOT);
        ASSERT_TRUE(r.OpenKey(kClassKey, true));
        ASSERT_TRUE(r.WriteString("", value));
    }
    // Binds the fake and lets its map open on the first attempt.
    void BindEnabled(const std::string& tag = "300") {
        Register(Fake(tag));
        tr::LoadTraceLibrary();
        ASSERT_TRUE(tr::TraceLibraryLoaded());
        FakeModule(Fake(tag)).SetMapAvailable(true);
        now_ = 100000;
        ASSERT_TRUE(tr::TracingEnabled());
    }

    TempDir dir_;
    std::string saved_;
    uint32_t now_ = 100000;
};

TEST_F(Tracing, NoLibraryMeansEveryCallReturnsZero) {
    tr::LoadTraceLibrary();
    EXPECT_FALSE(tr::TraceLibraryLoaded());
    EXPECT_FALSE(tr::g_libraryLoaded.load());
    EXPECT_FALSE(tr::TracingEnabled());
    EXPECT_EQ(tr::TraceInteger(1, "x"), 0);
    EXPECT_EQ(tr::TraceString("abc", "x"), 0);
    EXPECT_EQ(tr::TraceTimer(0, "t"), 0);
    EXPECT_FALSE(tr::CreateTraceMemMap());
    EXPECT_FALSE(tr::OpenTraceMemMap());
    EXPECT_FALSE(tr::CloseTraceMemMap());
    char buf[64];
    EXPECT_FALSE(tr::GetTraceMapName(buf, sizeof buf));
    EXPECT_FALSE(tr::SetTraceMapName("/x"));
    { VTRACE("TTest::Nothing"); }
    // A class id naming a file that is not there is no library either.
    Register("\"/nowhere/libtrace32.so\"");
    tr::LoadTraceLibrary();
    EXPECT_FALSE(tr::TraceLibraryLoaded());
}

TEST_F(Tracing, VersionGateAcceptsFrom250Up) {
    struct Case {
        const char* tag;
        bool accepted;
        uint32_t version;
    } cases[] = {{"249", false, 0}, {"250", true, 0x00020032}, {"300", true, 0x00030000}, {"noentry", false, 0}};
    for (const auto& c : cases) {
        Register(Fake(c.tag));
        tr::LoadTraceLibrary();
        EXPECT_EQ(tr::TraceLibraryLoaded(), c.accepted) << c.tag;
        EXPECT_EQ(tr::TraceLibraryVersion(), c.version) << c.tag;
        EXPECT_EQ(tr::g_libraryLoaded.load(), c.accepted) << c.tag;
        // A refused module is unloaded again.
        EXPECT_EQ(FakeModule(Fake(c.tag)).Loaded(), c.accepted) << c.tag;
    }
}

TEST_F(Tracing, ClassIdValueIsUnquotedAndTheSearchPathIsTheFallback) {
    Register("\"" + Fake("250") + "\"");
    tr::LoadTraceLibrary();
    EXPECT_EQ(tr::TraceLibraryVersion(), 0x00020032u);
    // No class id: libtrace32.so on the module search path.
    TRegistry(HKEY::CLASSES_ROOT).DeleteKey("CLSID");
    std::filesystem::copy_file(Fake("300"), dir_.File("libtrace32.so"));
    tr::LoadTraceLibrary();
    EXPECT_EQ(tr::TraceLibraryVersion(), 0x00030000u);
    // An integer where the path should be is not a path.
    TRegistry r(HKEY::CLASSES_ROOT);
    ASSERT_TRUE(r.OpenKey(kClassKey, true));
    ASSERT_TRUE(r.WriteInteger("", 5));
    tr::LoadTraceLibrary();
    EXPECT_EQ(tr::TraceLibraryVersion(), 0x00030000u);
}

TEST_F(Tracing, EnablesWithinFiveSecondsOfTheMapAppearing) {
    Register(Fake("300"));
    tr::LoadTraceLibrary();
    FakeModule fake(Fake("300"));
    now_ = 1000;  // less than 5 s after the (never made) last attempt
    EXPECT_FALSE(tr::TracingEnabled());
    EXPECT_EQ(fake.OpenCalls(), 0);
    now_ = 100000;
    EXPECT_FALSE(tr::TracingEnabled());
    EXPECT_EQ(fake.OpenCalls(), 1);
    fake.SetMapAvailable(true);  // the viewer starts
    now_ += 4999;
    EXPECT_FALSE(tr::TracingEnabled());
    EXPECT_EQ(tr::TraceInteger(7, "x"), 0);
    EXPECT_EQ(fake.OpenCalls(), 1);
    now_ += 1;
    EXPECT_TRUE(tr::TracingEnabled());
    EXPECT_EQ(fake.OpenCalls(), 2);
    // Once on, it stays on without further attempts, even across a tick wrap.
    now_ = 3;
    EXPECT_TRUE(tr::TracingEnabled());
    EXPECT_GT(tr::TraceInteger(7, "x"), 0);
    EXPECT_EQ(fake.OpenCalls(), 2);
    // Closing the map does not switch tracing off.
    EXPECT_TRUE(tr::CloseTraceMemMap());
    EXPECT_TRUE(tr::TracingEnabled());
}

TEST_F(Tracing, RecordsCarryTheirTypesLengthsAndLabels) {
    BindEnabled();
    FakeModule fake(Fake("300"));
    std::string long300(300, 'x');
    long300[254] = 'y';
    EXPECT_GT(tr::TraceString(long300, "L 255"), 0);
    Rec r = fake.Last();
    EXPECT_EQ(r.type, 4);
    EXPECT_EQ(r.length, 255);
    EXPECT_EQ(r.data, long300.substr(0, 255));
    EXPECT_EQ(r.label, "L 255");

    tr::TracepChar("abc", "P");
    r = fake.Last();
    EXPECT_EQ(r.type, 4);
    EXPECT_EQ(r.length, 4);
    EXPECT_EQ(r.data, std::string("abc\0", 4));

    tr::TraceInteger(-5, "I");
    r = fake.Last();
    EXPECT_EQ(r.type, 11);
    EXPECT_EQ(r.length, 4);
    int32_t i;
    std::memcpy(&i, r.data.data(), 4);
    EXPECT_EQ(i, -5);
    tr::TraceWord(65535, "W");
    std::memcpy(&i, fake.Last().data.data(), 4);
    EXPECT_EQ(fake.Last().type, 11);
    EXPECT_EQ(i, 65535);

    int local = 0;
    tr::TracePointer(&local, "Ptr");
    r = fake.Last();
    EXPECT_EQ(r.type, 3);
    ASSERT_EQ(r.length, static_cast<int32_t>(sizeof(void*)));
    void* p;
    std::memcpy(&p, r.data.data(), sizeof p);
    EXPECT_EQ(p, &local);

    tr::TraceReal(1.25, "R");
    EXPECT_EQ(fake.Last().type, 6);
    EXPECT_EQ(fake.Last().length, 8);
    tr::TracePoint({3, -4}, "Pt");
    EXPECT_EQ(fake.Last().type, 8);
    EXPECT_EQ(fake.Last().length, 8);
    tr::TraceRect({1, 2, 3, 4}, "Rc");
    r = fake.Last();
    EXPECT_EQ(r.type, 9);
    ASSERT_EQ(r.length, 16);
    int32_t rc[4];
    std::memcpy(rc, r.data.data(), 16);
    EXPECT_EQ(rc[3], 4);
    tr::TraceBool(true, "B");
    EXPECT_EQ(fake.Last().type, 5);
    EXPECT_EQ(fake.Last().length, 4);
    tr::TraceComment("C");
    EXPECT_EQ(fake.Last().data, std::string(" \0", 2));
    EXPECT_EQ(fake.Last().label, "C");
    tr::TraceError(1234);
    r = fake.Last();
    EXPECT_EQ(r.type, 10);
    EXPECT_EQ(r.length, 2);
    EXPECT_EQ(r.label, "Error Code");

    tr::TraceStringFmt("F", "%s=%d", std::string(400, 'z').c_str(), 5);
    r = fake.Last();
    EXPECT_EQ(r.length, 256);  // cut to 255, terminator counted
    EXPECT_EQ(r.data.substr(0, 255), std::string(255, 'z'));

    std::runtime_error e("went wrong");
    tr::TraceException(e);
    r = fake.Last();
    EXPECT_EQ(r.type, 12);
    EXPECT_EQ(r.length, 30);
    EXPECT_EQ(r.data.substr(0, 22), "std::runtime_error at ");
    EXPECT_EQ(r.label, "went wrong");

    // Null texts are traced as empty rather than read.
    tr::TracepChar(nullptr, nullptr);
    EXPECT_EQ(fake.Last().length, 1);
}

void Traced(bool fail) {
    VTRACE("TTest::Traced");
    VTRACE_INT("TTest::Traced Fail", fail ? 1 : 0);
    if (fail) throw std::runtime_error("x");
}

TEST_F(Tracing, ScopeTracesCallAndReturnOnEveryExit) {
    BindEnabled();
    FakeModule fake(Fake("300"));
    int before = fake.Count();
    Traced(false);
    EXPECT_THROW(Traced(true), std::runtime_error);
    ASSERT_EQ(fake.Count(), before + 6);
    const char* want[] = {"Call", nullptr, "Return", "Call", nullptr, "Return"};
    for (int k = 0; k < 6; ++k) {
        Rec r = fake.At(before + k);
        if (want[k]) {
            EXPECT_EQ(r.label, "TTest::Traced");
            EXPECT_EQ(r.data, std::string(want[k]) + '\0');
        } else {
            EXPECT_EQ(r.label, "TTest::Traced Fail");
            EXPECT_EQ(r.type, 11);
        }
    }
}

TEST_F(Tracing, TimersMeasureFromTheirStart) {
    Register(Fake("300"));
    tr::LoadTraceLibrary();
    FakeModule fake(Fake("300"));
    // Off: no timer is made.
    EXPECT_EQ(tr::TraceTimer(0, "T"), 0);
    EXPECT_EQ(fake.Count(), 0);
    fake.SetMapAvailable(true);
    now_ = 200000;
    int id = tr::TraceTimer(0, "T");
    ASSERT_GT(id, 0);
    EXPECT_EQ(fake.Last().data, std::string("Timer Initialised") + '\0');
    now_ += 1234;
    EXPECT_GT(tr::TraceTimer(id, "T lap"), 0);
    Rec r = fake.Last();
    EXPECT_EQ(r.type, 16);
    ASSERT_EQ(r.length, 4);
    int32_t ms;
    std::memcpy(&ms, r.data.data(), 4);
    EXPECT_EQ(ms, 1234);
    // An unknown id measures from tick 0; a negative span is 0.
    tr::TraceTimer(999999, "unknown");
    std::memcpy(&ms, fake.Last().data.data(), 4);
    EXPECT_EQ(ms, 201234);
    now_ = 0x90000000u;
    tr::TraceTimer(999999, "unknown");
    std::memcpy(&ms, fake.Last().data.data(), 4);
    EXPECT_EQ(ms, 0);
}

TEST_F(Tracing, MapOperationsPassThrough) {
    Register(Fake("300"));
    tr::LoadTraceLibrary();
    FakeModule fake(Fake("300"));
    EXPECT_FALSE(tr::OpenTraceMemMap());
    EXPECT_TRUE(tr::CreateTraceMemMap());  // the fake's create always succeeds
    EXPECT_TRUE(tr::TracingEnabled());
    EXPECT_TRUE(tr::OpenTraceMemMap());  // already enabled: no new attempt
    EXPECT_EQ(fake.OpenCalls(), 1);
    EXPECT_TRUE(tr::SetTraceMapName("/other"));
    char buf[32];
    ASSERT_TRUE(tr::GetTraceMapName(buf, sizeof buf));
    EXPECT_STREQ(buf, "/other");
    EXPECT_FALSE(tr::GetTraceMapName(buf, 3));
}

// The exit record is written when the program ends; watch it in a child process.
std::string RunChild(const std::string& dir, void (*body)()) {
    std::string log = dir + "/child.log";
    std::remove(log.c_str());
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("FAKE_TRACE_LOG", log.c_str(), 1);
        body();
        std::exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return ReadFileBytes(log);
}

TEST_F(Tracing, ExitWithErrorsLeavesAnExitRecord) {
    BindEnabled();
    std::string clean = RunChild(dir_.Path(), [] { tr::TraceInteger(1, "child"); });
    EXPECT_NE(clean.find("11|4|child|"), std::string::npos);
    EXPECT_EQ(clean.find("WITH ERRORS"), std::string::npos);

    std::string failed = RunChild(dir_.Path(), [] { tr::SetExitError(217, reinterpret_cast<void*>(0x1234)); });
    EXPECT_NE(failed.find("|App. Exited WITH ERRORS|/"), std::string::npos) << failed;
    EXPECT_NE(failed.find("10|2|Error Code|"), std::string::npos);
    EXPECT_NE(failed.find("code 217"), std::string::npos);
    EXPECT_NE(failed.find("|ErrorAddr|"), std::string::npos);

    std::string thrown = RunChild(dir_.Path(), [] {
        ::signal(SIGABRT, SIG_DFL);
        std::set_terminate(std::get_terminate());
        std::terminate();
    });
    EXPECT_NE(thrown.find("App. Exited WITH ERRORS"), std::string::npos) << thrown;
}

}  // namespace
