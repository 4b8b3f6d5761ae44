// A fake zip/unzip library for tests: reports the version a test chose, records every
// record it receives and plays a scripted series of callbacks. Built in variants without
// some entries.
#include "FakeZipDll.h"

#include <cstddef>
#include <cstring>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

static FakeState g_state;
[[maybe_unused]] static std::string Copy(const char* s) { return s ? std::string(s) : std::string(); }

FAKE_EXPORT FakeState* FakeDll_State() { return &g_state; }

#if !defined(FAKE_NO_EXEC) && defined(FAKE_UNZIP)
FAKE_EXPORT uint32_t UnzDllExec(UnZipParams* p) {
    ++g_state.execCalls;
    if (!p) return 0;
    FakeRecord r;
    r.oldLayout = g_state.version < UNZ_NEW_LAYOUT_VERSION;
    auto* old = reinterpret_cast<UnZipParamsOld*>(p);
    if (r.oldLayout) {
        std::memcpy(&r.p, p, offsetof(UnZipParams, fUFDS));
        r.p.fSeven = old->fSeven;
    } else {
        r.p = *p;
        r.extractDir = Copy(p->fExtractDir);
    }
    r.password = Copy(p->fPassword);
    r.zipName = Copy(p->fZipFN);
    for (int i = 0; i < p->fArgc; ++i) {
        if (r.oldLayout && i < ZIPDLL_OLD_MAX_SPECS) r.specs.push_back(Copy(old->fFileSpecs[i]));
        if (!r.oldLayout && p->fUFDS) {
            r.specs.push_back(Copy(p->fUFDS[i].fFileSpec));
            r.specRecords.push_back(p->fUFDS[i]);
        }
    }
    for (const auto& step : g_state.script) {
        ZCallBackStruct rec;
        std::memset(&rec, 0, sizeof rec);
        rec.Caller = p->fCaller;
        rec.Version = static_cast<int32_t>(g_state.version);
        rec.ActionCode = step.action;
        rec.ErrorCode = step.error;
        rec.FileSize = step.size;
        std::strncpy(rec.FileNameOrMsg, step.text.c_str(), ZCB_TEXT_MAX);
        r.cancelled = p->fZCallback && p->fZCallback(&rec) != 0;
        if (step.action == zacStream && !r.oldLayout && rec.Buffer) {
            // The output now goes to the buffer the callback gave.
            p->fOutStream = rec.Buffer;
            p->fOutStreamSize = rec.FileSize;
            if (step.fill >= 0) std::memset(rec.Buffer, step.fill, rec.FileSize);
        }
        r.replies.push_back(rec);
        if (r.cancelled) break;
    }
    g_state.records.push_back(std::move(r));
    return g_state.result;
}
#elif !defined(FAKE_NO_EXEC)
FAKE_EXPORT uint32_t ZipDllExec(ZipParams* p) {
    ++g_state.execCalls;
    FakeRecord r;
    if (p) {
        r.oldLayout = g_state.version < ZIP_NEW_LAYOUT_VERSION;
        auto* old = reinterpret_cast<ZipParamsOld*>(p);
        if (r.oldLayout) {
            std::memcpy(&r.zp, p, offsetof(ZipParams, fTempPath));
            r.zp.fSeven = old->fSeven;
        } else {
            r.zp = *p;
            r.tempPath = Copy(p->fTempPath);
            r.comment = Copy(p->fArchComment);
            for (int i = 0; i < p->fTotExFileSpecs && p->fExFiles; ++i) r.exclusions.push_back(Copy(p->fExFiles[i]));
        }
        r.password = Copy(p->fPassword);
        r.suffix = Copy(p->fSuffix);
        r.zipName = Copy(p->fZipFN);
        for (int i = 0; i < p->fArgc; ++i) {
            if (r.oldLayout && i < ZIPDLL_OLD_MAX_SPECS) r.specs.push_back(Copy(old->fFileSpecs[i]));
            if (!r.oldLayout && p->fFDS) {
                r.specs.push_back(Copy(p->fFDS[i].fFileSpec));
                r.specPasswords.push_back(Copy(p->fFDS[i].fFilePassword));
                r.specRoots.push_back(Copy(p->fFDS[i].fRootDir));
                r.zipSpecs.push_back(p->fFDS[i]);
            }
        }
    }
    g_state.records.push_back(std::move(r));
    return g_state.result;
}
#endif

#if !defined(FAKE_NO_VERSION) && defined(FAKE_UNZIP)
FAKE_EXPORT uint32_t GetUnzDllVersion() { return ++g_state.versionCalls, g_state.version; }
#elif !defined(FAKE_NO_VERSION)
FAKE_EXPORT uint32_t GetZipDllVersion() { return ++g_state.versionCalls, g_state.version; }
#endif

#ifdef FAKE_UNZIP
FAKE_EXPORT uint32_t GetUnzDllPrivVersion() { return g_state.privVersion; }
#else
FAKE_EXPORT uint32_t GetZipDllPrivVersion() { return g_state.privVersion; }
#endif
