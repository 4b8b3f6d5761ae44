#pragma once
// Helpers of the zip tests: archives written by other programs, the libraries loaded by
// path, and the recording fake.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/TempDir.h"
#include "zipfake/FakeZipDll.h"

namespace vellicor::test {

inline int RunShell(const std::string& cmd) {
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

inline bool HaveTool(const char* tool) {
    return RunShell(std::string("command -v ") + tool + " >/dev/null 2>&1") == 0;
}

inline std::string Quote(const std::string& s) {
    std::string r = "'";
    for (char c : s) {
        if (c == '\'') r += "'\\''";
        else r += c;
    }
    return r + "'";
}

// Runs a Python program (text on stdin) in dir; true when it exits with 0.
inline bool RunPython(const std::string& dir, const std::string& program) {
    std::string path = dir + "/gen.py";
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    std::fputs(program.c_str(), f);
    std::fclose(f);
    return RunShell("cd " + Quote(dir) + " && python3 gen.py >/dev/null 2>&1") == 0;
}

// A small zip writer in Python for archives no tool writes on request: raw name bytes,
// data descriptors in both forms, prefixes (self-extractor stubs) with offsets counted
// from the archive or from the file, trailing bytes, comments.
inline const char* kZipPy = R"PY(
import struct, zlib
def entry(name, data, method=8, flags=0, desc='none', made_by=0x0314, comment=b'', extra=b''):
    return dict(name=name, data=data, method=method, flags=flags, desc=desc, made_by=made_by,
                comment=comment, extra=extra)
def make_zip(entries, comment=b'', prefix=b'', suffix=b'', offsets_from_file=False, fake_comment_len=None):
    out = bytearray(prefix)
    base = len(prefix) if offsets_from_file else 0
    central = bytearray()
    for e in entries:
        data = e['data']
        crc = zlib.crc32(data) & 0xffffffff
        if e['method'] == 8:
            c = zlib.compressobj(9, zlib.DEFLATED, -15)
            comp = c.compress(data) + c.flush()
        else:
            comp = data
        flags = e['flags'] | (8 if e['desc'] != 'none' else 0)
        off = len(out) - len(prefix) + base
        lcrc, lcs, lus = (0, 0, 0) if e['desc'] != 'none' else (crc, len(comp), len(data))
        out += struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, flags, e['method'], 0x6000, 0x5821,
                           lcrc, lcs, lus, len(e['name']), 0) + e['name'] + comp
        if e['desc'] == 'signed':
            out += struct.pack('<IIII', 0x08074b50, crc, len(comp), len(data))
        elif e['desc'] == 'unsigned':
            out += struct.pack('<III', crc, len(comp), len(data))
        central += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, e['made_by'], 20, flags, e['method'],
                               0x6000, 0x5821, crc, len(comp), len(data), len(e['name']), len(e['extra']),
                               len(e['comment']), 0, 0, 0, off) + e['name'] + e['extra'] + e['comment']
    cd_off = len(out) - len(prefix) + base
    out += central
    n = len(entries)
    clen = len(comment) if fake_comment_len is None else fake_comment_len
    out += struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, n, n, len(central), cd_off, clen) + comment + suffix
    return bytes(out)
def write(path, data):
    open(path, 'wb').write(data)
)PY";

// `unzip -t` accepts the archive.
inline bool UnzipTestPasses(const std::string& archive, const std::string& password = {}) {
    std::string pw = password.empty() ? "" : " -P " + Quote(password);
    return RunShell("unzip -tqq" + pw + " " + Quote(archive) + " >/dev/null 2>&1") == 0;
}

#define ZIP_REQUIRE_TOOLS()                                                        \
    do {                                                                           \
        if (!::vellicor::test::HaveTool("zip") || !::vellicor::test::HaveTool("unzip") || \
            !::vellicor::test::HaveTool("python3"))                                \
            GTEST_SKIP() << "zip, unzip or python3 missing";                       \
    } while (0)

inline std::string ModuleDir() { return VELLICOR_MODULE_DIR; }
inline std::string FakeDir(const char* variant) { return std::string(VELLICOR_TEST_BINARY_DIR "/zipfake/") + variant; }

// The recording fake, opened by path so a test can script it and read its records while
// the component loads and unloads the same module.
class FakeLib {
public:
    FakeLib(const char* variant, bool unzip) {
        std::string path = FakeDir(variant) + (unzip ? "/libunzdll.so" : "/libzipdll.so");
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) return;
        setVersion = reinterpret_cast<FakeSetU32>(dlsym(handle_, "FakeDll_SetVersion"));
        setPrivVersion = reinterpret_cast<FakeSetU32>(dlsym(handle_, "FakeDll_SetPrivVersion"));
        setResult = reinterpret_cast<FakeSetU32>(dlsym(handle_, "FakeDll_SetResult"));
        reset = reinterpret_cast<FakeVoid>(dlsym(handle_, "FakeDll_Reset"));
        addStep = reinterpret_cast<FakeAddStep>(dlsym(handle_, "FakeDll_AddStep"));
        versionCalls = reinterpret_cast<FakeCount>(dlsym(handle_, "FakeDll_VersionCalls"));
        execCalls = reinterpret_cast<FakeCount>(dlsym(handle_, "FakeDll_ExecCalls"));
        recordCount = reinterpret_cast<FakeCount>(dlsym(handle_, "FakeDll_RecordCount"));
        record = reinterpret_cast<FakeGetRecord>(dlsym(handle_, "FakeDll_Record"));
        if (reset) reset();
    }
    ~FakeLib() {
        if (handle_) dlclose(handle_);
    }
    FakeLib(const FakeLib&) = delete;
    FakeLib& operator=(const FakeLib&) = delete;
    bool Ok() const { return handle_ && reset && record; }
    void Step(int action, int32_t error = 0, uint32_t size = 0, const std::string& text = {},
              const std::string& comment = {}, int fill = -1) {
        FakeScriptStep s;
        s.action = action;
        s.error = error;
        s.size = size;
        s.text = text;
        s.comment = comment;
        s.fill = fill;
        addStep(&s);
    }

    FakeSetU32 setVersion = nullptr, setPrivVersion = nullptr, setResult = nullptr;
    FakeVoid reset = nullptr;
    FakeAddStep addStep = nullptr;
    FakeCount versionCalls = nullptr, execCalls = nullptr, recordCount = nullptr;
    FakeGetRecord record = nullptr;

private:
    void* handle_ = nullptr;
};

}  // namespace vellicor::test
