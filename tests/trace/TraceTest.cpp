// The program's side of tracing, against fake trace modules built for the tests.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "FakeTrace32.h"
#include "platform/DynLib.h"
#include "platform/Ticks.h"
#include "support/ScopedConfigDir.h"
#include "trace/Trace.h"

using namespace vellicor;
namespace tr = vellicor::trace;

namespace {

const char kClassKey[] = "CLSID\\{766679C8-435A-11D1-AC1F-444553540000}\\InprocServer32";

std::string Fake(const std::string& tag) { return std::string(FAKE_TRACE_DIR) + "/libfake_trace_" + tag + ".so"; }

// The state of a fake module when it is loaded, else null.
FakeTraceState* FakeOf(const std::string& tag) {
    void* h = ::dlopen(Fake(tag).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h) return nullptr;
    auto state = reinterpret_cast<FakeTraceState* (*)()>(::dlsym(h, "FakeState"))();
    ::dlclose(h);  // still held by the binding
    return state;
}

template <typename T>
std::string Bytes(const T& v) { return std::string(reinterpret_cast<const char*>(&v), sizeof v); }

class Tracing : public ::testing::Test {
protected:
    void SetUp() override {
        SetModuleSearchDir(cfg_.Dir().Path());  // no libtrace32.so there unless a test puts one
        SetTickSource([this] { return now_; });
    }
    void TearDown() override {
        tr::UnloadTraceLibrary();
        SetTickSource(nullptr);
        SetModuleSearchDir("");
    }
    static void Register(const std::string& value) {
        TRegistry r(HKEY::CLASSES_ROOT);
        ASSERT_TRUE(r.OpenKey(kClassKey, true));
        ASSERT_TRUE(r.WriteString("", value));
    }
    // Binds the fake (version 3.0); with map, its map opens at the first attempt.
    FakeTraceState& Bind(bool map) {
        Register(Fake("300"));
        tr::LoadTraceLibrary();
        FakeTraceState* s = FakeOf("300");
        if (!s || !tr::TraceLibraryLoaded()) throw std::runtime_error("the fake module was not bound");
        *s = FakeTraceState{};  // the module may have stayed loaded since an earlier test
        if (map) {
            s->mapAvailable = true;
            EXPECT_TRUE(tr::TracingEnabled());
        }
        return *s;
    }

    test::ScopedConfigDir cfg_;
    uint32_t now_ = 100000;
};

TEST_F(Tracing, NoLibraryMeansEveryCallReturnsZero) {
    Register("\"/nowhere/libtrace32.so\"");  // a class id naming a missing file is no library
    tr::LoadTraceLibrary();
    EXPECT_FALSE(tr::TraceLibraryLoaded() || tr::g_libraryLoaded.load() || tr::TracingEnabled());
    EXPECT_EQ(tr::TraceInteger(1, "x") + tr::TraceString("abc", "x") + tr::TraceTimer(0, "t"), 0);
    EXPECT_FALSE(tr::CreateTraceMemMap() || tr::OpenTraceMemMap() || tr::CloseTraceMemMap());
    char buf[64];
    EXPECT_FALSE(tr::GetTraceMapName(buf, sizeof buf) || tr::SetTraceMapName("/x"));
    { VTRACE("TTest::Nothing"); }
}

TEST_F(Tracing, VersionGateAcceptsFrom250Up) {
    const struct {
        const char* tag;
        uint32_t version;  // 0: refused
    } cases[] = {{"249", 0}, {"250", 0x00020032}, {"300", 0x00030000}, {"noentry", 0}};
    for (const auto& c : cases) {
        Register(Fake(c.tag));
        tr::LoadTraceLibrary();
        EXPECT_EQ(tr::TraceLibraryLoaded(), c.version != 0) << c.tag;
        EXPECT_EQ(tr::g_libraryLoaded.load(), c.version != 0) << c.tag;
        EXPECT_EQ(tr::TraceLibraryVersion(), c.version) << c.tag;
        EXPECT_EQ(FakeOf(c.tag) != nullptr, c.version != 0) << c.tag;  // a refused module is unloaded
    }
}

TEST_F(Tracing, ClassIdValueIsUnquotedAndTheSearchPathIsTheFallback) {
    Register("\"" + Fake("250") + "\"");
    tr::LoadTraceLibrary();
    EXPECT_EQ(tr::TraceLibraryVersion(), 0x00020032u);
    TRegistry(HKEY::CLASSES_ROOT).DeleteKey("CLSID");
    std::filesystem::copy_file(Fake("300"), cfg_.Dir().File("libtrace32.so"));
    tr::LoadTraceLibrary();
    EXPECT_EQ(tr::TraceLibraryVersion(), 0x00030000u);
    TRegistry r(HKEY::CLASSES_ROOT);  // an integer where the path should be is not a path
    ASSERT_TRUE(r.OpenKey(kClassKey, true));
    ASSERT_TRUE(r.WriteInteger("", 5));
    tr::LoadTraceLibrary();
    EXPECT_EQ(tr::TraceLibraryVersion(), 0x00030000u);
}

TEST_F(Tracing, EnablesWithinFiveSecondsOfTheMapAppearing) {
    FakeTraceState& fake = Bind(false);
    now_ = 1000;  // less than 5 s after the (never made) last attempt
    EXPECT_FALSE(tr::TracingEnabled());
    now_ = 100000;
    EXPECT_FALSE(tr::TracingEnabled());
    EXPECT_EQ(fake.openCalls, 1);
    fake.mapAvailable = true;  // the viewer starts
    now_ += 4999;
    EXPECT_EQ(tr::TraceInteger(7, "x"), 0);
    now_ += 1;
    EXPECT_TRUE(tr::TracingEnabled());
    EXPECT_EQ(fake.openCalls, 2);
    now_ = 3;  // once on, it stays on without further attempts, even across a tick wrap
    EXPECT_GT(tr::TraceInteger(7, "x"), 0);
    EXPECT_TRUE(tr::OpenTraceMemMap() && tr::CreateTraceMemMap());
    EXPECT_EQ(fake.openCalls, 2);
    EXPECT_TRUE(tr::CloseTraceMemMap());  // closing the map does not switch tracing off
    EXPECT_TRUE(tr::TracingEnabled());
}

// The class name as far as room allows, then the whole address.
std::string ExceptionText(const std::exception& e) {
    char addr[32];
    std::snprintf(addr, sizeof addr, " at %08llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&e)));
    return std::string("std::runtime_error").substr(0, 30 - std::strlen(addr)) + addr;
}

TEST_F(Tracing, RecordsCarryTheirTypesLengthsAndLabels) {
    FakeTraceState& fake = Bind(true);
    std::string s300(300, 'x');
    s300[254] = 'y';
    int local = 0;
    const void* ptr = &local;
    std::runtime_error e("went wrong");
    const struct {
        std::function<int()> call;
        int32_t type, length;
        std::string label, data;  // data: what the record starts with
    } cases[] = {
        {[&] { return tr::TraceString(s300, "S"); }, 4, 255, "S", s300.substr(0, 255)},
        {[] { return tr::TracepChar("abc", "P"); }, 4, 4, "P", std::string("abc\0", 4)},
        {[] { return tr::TracepChar(nullptr, nullptr); }, 4, 1, "", std::string(1, '\0')},
        {[] { return tr::TraceComment("C"); }, 4, 2, "C", std::string(" \0", 2)},
        {[] { return tr::TraceStringFmt("F", "%s=%d", std::string(400, 'z').c_str(), 5); }, 4, 256, "F",
         std::string(255, 'z') + '\0'},
        {[] { return tr::TraceInteger(-5, "I"); }, 11, 4, "I", Bytes(int32_t{-5})},
        {[] { return tr::TraceWord(65535, "W"); }, 11, 4, "W", Bytes(int32_t{65535})},
        {[&] { return tr::TracePointer(ptr, "Ptr"); }, 3, sizeof(void*), "Ptr", Bytes(ptr)},
        {[] { return tr::TraceReal(1.25, "R"); }, 6, 8, "R", Bytes(1.25)},
        {[] { return tr::TracePoint({3, -4}, "Pt"); }, 8, 8, "Pt", Bytes(tr::TPoint{3, -4})},
        {[] { return tr::TraceRect({1, 2, 3, 4}, "Rc"); }, 9, 16, "Rc", Bytes(tr::TRect{1, 2, 3, 4})},
        {[] { return tr::TraceBool(true, "B"); }, 5, 4, "B", Bytes(int32_t{1})},
        {[] { return tr::TraceError(1234); }, 10, 2, "Error Code", Bytes(uint16_t{1234})},
        {[&] { return tr::TraceException(e); }, 12, 30, "went wrong", ExceptionText(e)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_GT(c.call(), 0);
        const FakeRecord& r = fake.records.back();
        EXPECT_EQ(r.type, c.type);
        EXPECT_EQ(r.length, c.length);
        EXPECT_EQ(r.label, c.label);
        EXPECT_EQ(r.data.substr(0, c.data.size()), c.data);
    }
}

void Traced(bool fail) {
    VTRACE("TTest::Traced");
    VTRACE_INT("TTest::Traced Fail", fail ? 1 : 0);
    if (fail) throw std::runtime_error("x");
}

TEST_F(Tracing, ScopeTracesCallAndReturnOnEveryExit) {
    FakeTraceState& fake = Bind(true);
    Traced(false);
    EXPECT_THROW(Traced(true), std::runtime_error);
    std::string seen;
    for (const FakeRecord& r : fake.records) seen += r.label + "=" + (r.type == 4 ? r.data.c_str() : "int") + ";";
    EXPECT_EQ(seen, "TTest::Traced=Call;TTest::Traced Fail=int;TTest::Traced=Return;"
                    "TTest::Traced=Call;TTest::Traced Fail=int;TTest::Traced=Return;");
}

TEST_F(Tracing, TimersMeasureFromTheirStart) {
    FakeTraceState& fake = Bind(false);
    EXPECT_EQ(tr::TraceTimer(0, "T"), 0);  // off: no timer is made
    EXPECT_TRUE(fake.records.empty());
    fake.mapAvailable = true;
    now_ = 200000;
    int id = tr::TraceTimer(0, "T");
    ASSERT_GT(id, 0);
    EXPECT_EQ(fake.records.back().data, std::string("Timer Initialised") + '\0');
    auto lap = [&](int timer, uint32_t at) {
        now_ = at;
        EXPECT_GT(tr::TraceTimer(timer, "lap"), 0);
        EXPECT_EQ(fake.records.back().type, 16);
        int32_t ms = -1;
        std::memcpy(&ms, fake.records.back().data.data(), 4);
        return ms;
    };
    EXPECT_EQ(lap(id, 201234), 1234);
    EXPECT_EQ(lap(999999, 201234), 201234);  // an unknown id measures from tick 0...
    EXPECT_EQ(lap(999999, 0x90000000u), 0);  // ...and a negative span is 0
}

// The exit record is written when the program ends; watch it in a child process.
std::string RunChild(const std::string& log, void (*body)()) {
    std::remove(log.c_str());
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("FAKE_TRACE_LOG", log.c_str(), 1);
        body();
        std::exit(0);
    }
    ::waitpid(pid, nullptr, 0);
    return test::ReadFileBytes(log);
}

TEST_F(Tracing, ExitWithErrorsLeavesAnExitRecord) {
    Bind(true);
    const std::string log = cfg_.Dir().File("child.log");
    std::string clean = RunChild(log, [] { tr::TraceInteger(1, "child"); });
    EXPECT_NE(clean.find("11|4|child|"), std::string::npos);
    EXPECT_EQ(clean.find("WITH ERRORS"), std::string::npos);

    std::string failed = RunChild(log, [] { tr::SetExitError(217, reinterpret_cast<void*>(0x1234)); });
    const size_t path = failed.find("|App. Exited WITH ERRORS|/"), code = failed.find("10|2|Error Code|\xD9\n"),
                 addr = failed.find(std::to_string(sizeof(void*)) + "|ErrorAddr|");  // code 217, in this order
    EXPECT_TRUE(path < code && code < addr && addr != std::string::npos) << failed;
    std::string thrown = RunChild(log, [] { ::signal(SIGABRT, SIG_DFL); std::terminate(); });
    EXPECT_NE(thrown.find("App. Exited WITH ERRORS"), std::string::npos) << thrown;
    // A program entry that catches an exception and returns.
    std::string caught = RunChild(log, [] {
        try {
            throw std::runtime_error("settings unreadable");
        } catch (const std::exception& e) {
            EXPECT_EQ(tr::FailedExit(e), 1);
        }
    });
    EXPECT_TRUE(caught.find("12|30|settings unreadable|") < caught.find("App. Exited WITH ERRORS")) << caught;
}

}  // namespace
