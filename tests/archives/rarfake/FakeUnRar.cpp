// A rar library that plays a scripted archive and records the calls it gets.
#include "FakeUnRar.h"

#include <cstring>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

FakeRarState g_state;

struct Handle {
    unsigned mode = 0;
    UNRARCALLBACK callback = nullptr;
    long user = 0;
    size_t next = 0;  // index of the next header
};

int Call(Handle& h, unsigned msg, long p1, long p2) { return h.callback ? h.callback(msg, h.user, p1, p2) : 0; }

}  // namespace

FAKE_EXPORT FakeRarState* FakeRar_State() { return &g_state; }

FAKE_EXPORT void* RAROpenArchive(RAROpenArchiveData* d) {
    ++g_state.opens;
    g_state.modes.push_back(d->OpenMode);
    d->OpenResult = g_state.openResult;
    if (g_state.openResult != ERAR_SUCCESS) return nullptr;
    Handle* h = new Handle;
    h->mode = d->OpenMode;
    return h;
}

FAKE_EXPORT int RARCloseArchive(void* h) {
    ++g_state.closes;
    delete static_cast<Handle*>(h);
    return ERAR_SUCCESS;
}

FAKE_EXPORT void RARSetCallback(void* h, UNRARCALLBACK cb, long user) {
    static_cast<Handle*>(h)->callback = cb;
    static_cast<Handle*>(h)->user = user;
}

FAKE_EXPORT int RARReadHeader(void* hp, RARHeaderData* hd) {
    Handle& h = *static_cast<Handle*>(hp);
    if (h.next >= g_state.members.size()) return g_state.endCode;
    const FakeRarMember& m = g_state.members[h.next++];
    std::memset(hd->FileName, 0, sizeof hd->FileName);
    std::strncpy(hd->FileName, m.name.c_str(), sizeof hd->FileName - 1);
    hd->Flags = m.flags;
    hd->UnpSize = static_cast<unsigned>(m.data.size());
    return ERAR_SUCCESS;
}

FAKE_EXPORT int RARProcessFile(void* hp, int op, char*, char*) {
    Handle& h = *static_cast<Handle*>(hp);
    const FakeRarMember& m = g_state.members[h.next - 1];
    g_state.operations.push_back((op == RAR_TEST ? "test " : "skip ") + m.name);
    if (op != RAR_TEST) return ERAR_SUCCESS;
    if (m.passwordBufferSize > 0) {
        std::string buf(static_cast<size_t>(m.passwordBufferSize), 'X');
        int r = Call(h, UCM_NEEDPASSWORD, reinterpret_cast<long>(buf.data()), m.passwordBufferSize);
        g_state.passwordBuffers.push_back(buf);
        g_state.callbackResults.push_back(r);
        if (r == -1) return ERAR_MISSING_PASSWORD;
    }
    if (m.volumeMode >= 0) {
        std::string name = m.volumeName;
        int r = Call(h, UCM_CHANGEVOLUME, reinterpret_cast<long>(name.c_str()), m.volumeMode);
        g_state.callbackResults.push_back(r);
        if (r == -1) return ERAR_EOPEN;
    }
    size_t half = m.data.size() / 2;
    if (Call(h, UCM_PROCESSDATA, reinterpret_cast<long>(m.data.data()), static_cast<long>(half)) == -1 ||
        Call(h, UCM_PROCESSDATA, reinterpret_cast<long>(m.data.data() + half), static_cast<long>(m.data.size() - half)) == -1)
        return ERAR_UNKNOWN;
    return m.testResult;
}
