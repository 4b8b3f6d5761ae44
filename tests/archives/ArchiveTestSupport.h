#pragma once
// Helpers of the archive tests: archives written by other programs at test time, hand-made
// tar headers, the unzip library and its recording fake loaded by path.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "archives/TarArchive.h"
#include "archives/zip/ZipRecords.h"
#include "platform/Streams.h"
#include "support/TempDir.h"
#include "zipfake/FakeZipDll.h"

namespace vellicor::test {

inline int RunShell(const std::string& cmd) {
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}
inline bool HaveTool(const char* tool) { return RunShell(std::string("command -v ") + tool + " >/dev/null 2>&1") == 0; }
inline std::string Quote(const std::string& s) {
    std::string r = "'";
    for (char c : s) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return r + "'";
}
// Runs a Python program in dir; true when it exits with 0.
inline bool RunPython(const std::string& dir, const std::string& program) {
    std::ofstream(dir + "/gen.py") << program;
    return RunShell("cd " + Quote(dir) + " && python3 gen.py >/dev/null 2>&1") == 0;
}
inline bool UnzipTestPasses(const std::string& archive, const std::string& password = {}) {
    return RunShell("unzip -tqq" + (password.empty() ? "" : " -P " + Quote(password)) + " " + Quote(archive) +
                    " >/dev/null 2>&1") == 0;
}
#define ZIP_REQUIRE_TOOLS()                                                                     \
    if (!::vellicor::test::HaveTool("zip") || !::vellicor::test::HaveTool("unzip") ||           \
        !::vellicor::test::HaveTool("python3"))                                                 \
    GTEST_SKIP() << "zip, unzip or python3 missing"

// A stream's bytes (its position kept), or "<null>".
inline std::string Bytes(TStream* s) {
    if (!s) return "<null>";
    std::string out(static_cast<size_t>(s->Size()), '\0');
    int64_t pos = s->Position();
    s->SetPosition(0);
    s->Read(out.data(), s->Size());
    s->SetPosition(pos);
    return out;
}
inline std::string Repeat(const std::string& s, int n) {
    std::string r;
    while (n-- > 0) r += s;
    return r;
}

// A zip writer for archives no tool writes on request: raw name bytes, data descriptors in
// both forms, prefixes with offsets counted from the archive or from the file, trailing
// bytes, comments, a comment length or an unpacked size that lies.
inline const char* kZipPy = R"PY(
import struct, zlib
def entry(name, data, method=8, flags=0, desc='none', made_by=0x0314, comment=b'', usize=None):
    return dict(name=name, data=data, method=method, flags=flags, desc=desc, made_by=made_by, comment=comment, usize=usize)
def make_zip(entries, comment=b'', prefix=b'', suffix=b'', offsets_from_file=False, fake_comment_len=None):
    out, central = bytearray(prefix), bytearray()
    base = len(prefix) if offsets_from_file else 0
    for e in entries:
        data, crc = e['data'], zlib.crc32(e['data']) & 0xffffffff
        comp = data
        if e['method'] == 8:
            c = zlib.compressobj(9, zlib.DEFLATED, -15)
            comp = c.compress(data) + c.flush()
        flags = e['flags'] | (8 if e['desc'] != 'none' else 0)
        off = len(out) - len(prefix) + base
        lcrc, lcs, lus = (0, 0, 0) if e['desc'] != 'none' else (crc, len(comp), len(data))
        out += struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, flags, e['method'], 0x6000, 0x5821,
                           lcrc, lcs, lus, len(e['name']), 0) + e['name'] + comp
        if e['desc'] == 'signed': out += struct.pack('<IIII', 0x08074b50, crc, len(comp), len(data))
        if e['desc'] == 'unsigned': out += struct.pack('<III', crc, len(comp), len(data))
        central += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, e['made_by'], 20, flags, e['method'],
                               0x6000, 0x5821, crc, len(comp), e['usize'] or len(data), len(e['name']), 0,
                               len(e['comment']), 0, 0, 0, off) + e['name'] + e['comment']
    cd_off, n = len(out) - len(prefix) + base, len(entries)
    out += central
    clen = len(comment) if fake_comment_len is None else fake_comment_len
    out += struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, n, n, len(central), cd_off, clen) + comment + suffix
    return bytes(out)
def write(path, data): open(path, 'wb').write(data)
)PY";

// A compressed buffer: method 8 and the CRC, then plain deflated (zlib's stream without its
// two-byte head and four-byte tail).
inline std::vector<uint8_t> PackedBuffer(const std::string& plain) {
    std::vector<uint8_t> z(compressBound(static_cast<uLong>(plain.size())) + ZIPDLL_STREAM_HEADER), out(ZIPDLL_STREAM_HEADER);
    uLongf n = static_cast<uLongf>(z.size());
    compress2(z.data(), &n, reinterpret_cast<const Bytef*>(plain.data()), static_cast<uLong>(plain.size()), 9);
    zip::Put16(out.data(), 8);
    zip::Put32(out.data() + 2, zip::Crc32(0, plain.data(), plain.size()));
    out.insert(out.end(), z.begin() + 2, z.begin() + static_cast<ptrdiff_t>(n) - 4);
    return out;
}

inline std::string ModuleDir() { return VELLICOR_MODULE_DIR; }
inline std::string FakeDir(const char* variant) { return std::string(VELLICOR_TEST_BINARY_DIR "/zipfake/") + variant; }

// The recording fake, opened by path so that a test can script it and read its records
// while the component loads and unloads the same module.
class FakeLib {
public:
    FakeLib(const char* variant, bool unzip)
        : handle_(dlopen((FakeDir(variant) + (unzip ? "/libunzdll.so" : "/libzipdll.so")).c_str(), RTLD_NOW | RTLD_LOCAL)) {
        auto state = handle_ ? reinterpret_cast<FakeStateFunc>(dlsym(handle_, "FakeDll_State")) : nullptr;
        if ((s_ = state ? state() : nullptr)) *s_ = FakeState{};
    }
    ~FakeLib() {
        if (handle_) dlclose(handle_);
    }
    FakeLib(const FakeLib&) = delete;
    FakeLib& operator=(const FakeLib&) = delete;
    bool Ok() const { return s_ != nullptr; }
    FakeState* operator->() { return s_; }
    void Step(int action, int32_t error = 0, uint32_t size = 0, const std::string& text = {}, int fill = -1) {
        s_->script.push_back({action, error, size, text, fill});
    }

private:
    void* handle_;
    FakeState* s_ = nullptr;
};

// ---- tar ----

inline std::string PeerDataDir() { return VELLICOR_SOURCE_DIR "/../shared/testdata/peer/libarchive/"; }

// A member's bytes in the generated books: its name and a bar, repeated and cut to size.
inline std::string MemberContent(const std::string& name, int64_t size) {
    return Repeat(name + "|", static_cast<int>(size / static_cast<int64_t>(name.size() + 1)) + 1).substr(0, static_cast<size_t>(size));
}

// One 512-byte header block with octal fields written the usual way and a valid checksum.
struct RawHeader {
    std::string block = std::string(512, '\0');
    RawHeader(const std::string& name, char flag, int64_t size, const char* magic = "ustar\0" "00") {
        Set(0, name.substr(0, 100)).Set(100, "0000644").Set(108, "0001750").Set(116, "0001750");
        Octal(124, size, 11).Set(136, "14515773000");
        block[156] = flag;
        std::memcpy(&block[257], magic, 8);
        FixChecksum();
    }
    RawHeader& Set(int offset, const std::string& bytes) {
        std::memcpy(&block[static_cast<size_t>(offset)], bytes.data(), bytes.size());
        return *this;
    }
    RawHeader& Octal(int offset, int64_t value, int digits) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%0*llo", digits, static_cast<long long>(value));
        return Set(offset, std::string(buf, static_cast<size_t>(digits)));
    }
    RawHeader& FixChecksum() {
        std::memset(&block[148], ' ', 8);
        unsigned sum = 0;
        for (unsigned char c : block) sum += c;
        char buf[8];
        std::snprintf(buf, sizeof buf, "%06o", sum);
        std::memcpy(&block[148], buf, 7);
        return *this;
    }
};
inline std::string Padded(const std::string& data) { return data + std::string((512 - data.size() % 512) % 512, '\0'); }
inline std::string ZeroBlocks(int n = 2) { return std::string(512 * static_cast<size_t>(n), '\0'); }
// A pax record "<len> key=value\n" with its length worked out.
inline std::string PaxRecord(const std::string& key, const std::string& value) {
    std::string body = " " + key + "=" + value + "\n";
    size_t len = body.size() + 1;
    while (std::to_string(len).size() + body.size() != len) ++len;
    return std::to_string(len) + body;
}
// Every record of an archive from its start.
inline std::vector<TTarDirRec> ListAll(TTarArchive& tar) {
    std::vector<TTarDirRec> out;
    TTarDirRec rec;
    tar.Reset();
    while (tar.FindNext(rec)) out.push_back(rec);
    return out;
}
inline std::vector<std::string> Names(const std::vector<TTarDirRec>& recs) {
    std::vector<std::string> out;
    for (auto& r : recs) out.push_back(r.Name);
    return out;
}

// The same small book written by GNU tar in one format of each family and by Python's tarfile,
// each with a manifest (name, type, size, link target as tarfile reads them back). Made
// once per run; the folder, or "" when tar or python3 is missing.
inline const char* const kTarBooks[] = {"gnu.tar", "posix.tar", "ustar.tar", "v7.tar", "py-pax.tar"};
inline std::string TarBooks() {
    static TempDir dir;
    static bool made = HaveTool("tar") && HaveTool("python3") && RunPython(dir.Path(), R"PY(
import os, subprocess, tarfile, tempfile
SHORT = [('page001.jpg', 3000), ('page002.bmp', 512), ('page003.png', 1), ('empty.txt', 0), ('notes.nfo', 511),
         ('sub/page004.gif', 513), ('str\u00e1nka007.jpg', 100)]
PREFIXED = [('a' * 60 + '/' + 'b' * 60 + '/page005.jpg', 700)]  # fits ustar's prefix field
LONG = [('c' * 90 + '/' + 'd' * 90 + '/' + 'e' * 90 + '/page006.jpg', 1024)]
def make(out, members, fmt):
    with tempfile.TemporaryDirectory() as root:
        for name, size in members:
            path = os.path.join(root, 'book', name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            unit = ('book/' + name + '|').encode()
            open(path, 'wb').write((unit * (size // len(unit) + 1))[:size])
            os.chmod(path, 0o644)
        os.symlink('page001.jpg', os.path.join(root, 'book/link.jpg'))
        os.link(os.path.join(root, 'book/page001.jpg'), os.path.join(root, 'book/zhard.jpg'))
        for d, dirs, files in os.walk(root):
            for n in dirs + files: os.utime(os.path.join(d, n), (1700000000, 1700000000), follow_symlinks=False)
        if isinstance(fmt, int):
            with tarfile.open(out, 'w', format=fmt) as t: t.add(os.path.join(root, 'book'), arcname='book')
        else:
            pax = ['--pax-option=exthdr.name=%d/PaxHeaders/%f,delete=atime,delete=ctime'] if fmt == 'posix' else []
            subprocess.run(['tar', '--format=' + fmt, '--owner=0', '--group=0', '--numeric-owner'] + pax +
                           ['-C', root, '-cf', os.path.abspath(out), 'book'], check=True)
    with tarfile.open(out) as t, open(out + '.txt', 'w', encoding='utf-8') as m:
        for e in t.getmembers():
            m.write('%s\t%s\t%d\t%s\n' % (e.name, (e.type or b'0').replace(b'\0', b'0').decode(), e.size, e.linkname))
for fmt in ('gnu', 'posix'): make(fmt + '.tar', SHORT + PREFIXED + LONG, fmt)
make('ustar.tar', SHORT + PREFIXED, 'ustar')
make('v7.tar', SHORT, 'v7')
make('py-pax.tar', SHORT + PREFIXED + LONG, tarfile.PAX_FORMAT)
)PY");
    return made ? dir.Path() + "/" : "";
}

struct ManifestEntry {
    std::string name, link;
    char type = '0';
    int64_t size = 0;
};
inline std::vector<ManifestEntry> ReadManifest(const std::string& path) {
    std::vector<ManifestEntry> out;
    std::ifstream f(path, std::ios::binary);
    std::string name, type, size, link;
    while (std::getline(f, name, '\t') && std::getline(f, type, '\t') && std::getline(f, size, '\t') &&
           std::getline(f, link))
        out.push_back({name, link, type.empty() ? '0' : type[0], std::stoll(size)});
    return out;
}

}  // namespace vellicor::test
