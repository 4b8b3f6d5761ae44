// A fake zip/unzip library for tests: reports the version a test chose, records every
// record it receives (texts copied, since the caller frees them after the call) and plays
// a scripted series of callbacks. Built in variants without some entries.
#include "FakeZipDll.h"

#include <cstring>
#include <vector>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
uint32_t g_version = ZIPDLL_VERSION;
uint32_t g_privVersion = 4242;
uint32_t g_result = 1;
int g_versionCalls = 0;
int g_execCalls = 0;
std::vector<FakeScriptStep> g_script;
std::vector<FakeRecord> g_records;

[[maybe_unused]] std::string Copy(const char* s) { return s ? std::string(s) : std::string(); }

[[maybe_unused]] void Play(FakeRecord& r, ZFunctionPtrType cb, void* caller, bool zipAction, UnZipParams* p) {
    for (const auto& step : g_script) {
        ZCallBackStruct rec;
        std::memset(&rec, 0, sizeof rec);
        rec.Caller = caller;
        rec.Version = static_cast<int32_t>(g_version);
        rec.IsOperationZip = zipAction ? 1 : 0;
        rec.ActionCode = step.action;
        rec.ErrorCode = step.error;
        rec.FileSize = step.size;
        std::strncpy(rec.FileNameOrMsg, step.text.c_str(), ZCB_TEXT_MAX);
        std::strncpy(rec.FileComment, step.comment.c_str(), ZCB_COMMENT_MAX);
        int32_t stop = cb ? cb(&rec) : 0;
        if (step.action == zacStream && p && rec.Buffer) {
            // The output now goes to the buffer the callback gave.
            p->fOutStream = rec.Buffer;
            p->fOutStreamSize = rec.FileSize;
            if (step.fill >= 0) std::memset(rec.Buffer, step.fill, rec.FileSize);
        }
        r.replies.push_back(rec);
        if (stop) {
            r.cancelled = true;
            break;
        }
    }
}
}  // namespace

FAKE_EXPORT void FakeDll_SetVersion(uint32_t v) { g_version = v; }
FAKE_EXPORT void FakeDll_SetPrivVersion(uint32_t v) { g_privVersion = v; }
FAKE_EXPORT void FakeDll_SetResult(uint32_t v) { g_result = v; }
FAKE_EXPORT void FakeDll_Reset() {
    g_version = ZIPDLL_VERSION;
    g_privVersion = 4242;
    g_result = 1;
    g_versionCalls = g_execCalls = 0;
    g_script.clear();
    g_records.clear();
}
FAKE_EXPORT void FakeDll_AddStep(const FakeScriptStep* s) { g_script.push_back(*s); }
FAKE_EXPORT int FakeDll_VersionCalls() { return g_versionCalls; }
FAKE_EXPORT int FakeDll_ExecCalls() { return g_execCalls; }
FAKE_EXPORT int FakeDll_RecordCount() { return static_cast<int>(g_records.size()); }
FAKE_EXPORT const FakeRecord* FakeDll_Record(int i) {
    return i >= 0 && i < static_cast<int>(g_records.size()) ? &g_records[static_cast<size_t>(i)] : nullptr;
}

#ifndef FAKE_NO_EXEC
#ifdef FAKE_UNZIP
FAKE_EXPORT uint32_t UnzDllExec(UnZipParams* p) {
    ++g_execCalls;
    FakeRecord r;
    if (!p) return 0;
    r.oldLayout = g_version < UNZ_NEW_LAYOUT_VERSION;
    r.version = p->fVersion;
    r.trace = p->fTraceEnabled;
    r.codePage = p->fWantedCodePage;
    r.hasPassword = p->fPassword != nullptr;
    r.password = Copy(p->fPassword);
    r.test = p->fTest;
    r.comments = p->fComments;
    r.convert = p->fConvert;
    r.quiet = p->fQuiet;
    r.verbose = p->fVerboseEnabled;
    r.update = p->fUpdate;
    r.freshen = p->fFreshen;
    r.directories = p->fDirectories;
    r.overwrite = p->fOverwrite;
    r.argc = p->fArgc;
    r.zipName = Copy(p->fZipFN);
    if (r.oldLayout) {
        auto* old = reinterpret_cast<UnZipParamsOld*>(p);
        r.head.assign(reinterpret_cast<uint8_t*>(old), reinterpret_cast<uint8_t*>(old) + offsetof(UnZipParamsOld, fFileSpecs));
        r.seven = old->fSeven;
        for (int i = 0; i < old->fArgc && i < ZIPDLL_OLD_MAX_SPECS; ++i) r.specs.push_back(Copy(old->fFileSpecs[i]));
    } else {
        r.head.assign(reinterpret_cast<uint8_t*>(p), reinterpret_cast<uint8_t*>(p) + sizeof(UnZipParams));
        r.seven = p->fSeven;
        for (int i = 0; i < p->fArgc && p->fUFDS; ++i) {
            r.specs.push_back(Copy(p->fUFDS[i].fFileSpec));
            r.specRecords.push_back(p->fUFDS[i]);
        }
        r.useOutStream = p->fUseOutStream;
        r.outSize = p->fOutStreamSize;
        r.hasOutBuffer = p->fOutStream != nullptr;
        r.useInStream = p->fUseInStream;
        r.inSize = p->fInStreamSize;
        if (p->fInStream && p->fInStreamSize)
            r.inBytes.assign(static_cast<const uint8_t*>(p->fInStream),
                             static_cast<const uint8_t*>(p->fInStream) + p->fInStreamSize);
        r.pwdReqCount = p->fPwdReqCount;
        r.extractDir = Copy(p->fExtractDir);
    }
    Play(r, p->fZCallback, p->fCaller, false, r.oldLayout ? nullptr : p);
    g_records.push_back(std::move(r));
    return g_result;
}
#else
FAKE_EXPORT uint32_t ZipDllExec(void* p) {
    ++g_execCalls;
    FakeRecord r;
    (void)p;
    g_records.push_back(std::move(r));
    return g_result;
}
#endif
#endif

#ifndef FAKE_NO_VERSION
#ifdef FAKE_UNZIP
FAKE_EXPORT uint32_t GetUnzDllVersion() {
    ++g_versionCalls;
    return g_version;
}
#else
FAKE_EXPORT uint32_t GetZipDllVersion() {
    ++g_versionCalls;
    return g_version;
}
#endif
#endif

#ifdef FAKE_UNZIP
FAKE_EXPORT uint32_t GetUnzDllPrivVersion() { return g_privVersion; }
#else
FAKE_EXPORT uint32_t GetZipDllPrivVersion() { return g_privVersion; }
#endif
