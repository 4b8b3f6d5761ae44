// The self-extractor stub: finds the settings header and the zip archive appended to its
// own file and extracts the archive. Usage: PROGRAM [-d DIR] [-o|-n] [-P PASSWORD] [-l]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "archives/zip/ZipRecords.h"
#include "archives/zip/ZipWriteSupport.h"

using namespace vellicor::zip;

namespace {

struct Settings {
    uint8_t flags = 0;
    std::string caption = "Self-extracting Archive", dir, command, message;
};

// The end of the ELF image: its section headers are the last thing in it.
int64_t ElfEnd(const ArchiveFile& a) {
    uint8_t h[64];
    if (!a.ReadAt(0, h, sizeof h) || std::memcmp(h, "\x7f" "ELF", 4) != 0 || h[4] != 2) return -1;
    uint64_t shoff = uint64_t(Get32(h + 0x28)) | (uint64_t(Get32(h + 0x2C)) << 32);
    uint64_t end = shoff + uint64_t(Get16(h + 0x3A)) * Get16(h + 0x3C);
    return end <= uint64_t(a.fileSize) ? static_cast<int64_t>(end) : -1;
}

bool ReadSettings(const ArchiveFile& a, int64_t at, int64_t limit, Settings& s) {
    if (at < 0 || limit - at < 8) return false;
    std::vector<uint8_t> h(static_cast<size_t>(std::min<int64_t>(limit - at, 1032)));
    if (!a.ReadAt(at, h.data(), h.size()) || h[0] != 'M' || h[1] != 'P' || (h[2] != 'V' && h[2] != 'U')) return false;
    s.flags = h[3];
    size_t n = h.size();
    auto text = [&](size_t& p, size_t len) {
        len = p < n ? std::min(len, n - p) : 0;
        std::string t(reinterpret_cast<const char*>(h.data() + p), len);
        p += len;
        return t;
    };
    if (h[2] == 'V') {
        size_t p = 8;
        std::string* out[] = {&s.caption, &s.dir, &s.command, &s.message};
        for (std::string* o : out) {
            size_t len = p < n ? h[p] : 0;
            ++p;
            *o = text(p, len);
        }
    } else {
        size_t p = 7;
        s.caption = text(p, h[4]);
        s.dir = text(p, h[5]);
        s.command = text(p, h[6]);
    }
    return true;
}

bool Ask(const std::string& question) {
    if (!::isatty(STDIN_FILENO)) return false;
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::string answer;
    return std::getline(std::cin, answer) && !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

// A stored name as a relative path that stays below the target directory.
std::string SafeName(const std::string& raw) {
    std::string out, part;
    std::string name = raw;
    for (char& c : name)
        if (c == '\\') c = '/';
    size_t i = 0;
    while (i <= name.size()) {
        size_t j = name.find('/', i);
        if (j == std::string::npos) j = name.size();
        part = name.substr(i, j - i);
        if (!part.empty() && part != "." && part != "..") out += (out.empty() ? "" : "/") + part;
        i = j + 1;
    }
    return out;
}

bool MakeDirs(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/')
            if (::mkdir(path.substr(0, i).c_str(), 0777) != 0 && errno != EEXIST) return false;
    return true;
}

// Extracts one entry to path; false with a reason.
bool Extract(const ArchiveFile& a, const ArchiveEntry& e, const std::string& path, const std::string& password,
             std::string& why) {
    int64_t data = e.localPos + e.lh.TotalSize();
    int64_t left = e.ch.compressedSize;
    ZipCrypto crypto;
    if (e.ch.flags & kFlagEncrypted) {
        uint8_t head[12];
        if (left < 12 || !a.ReadAt(data, head, 12)) return why = "damaged", false;
        crypto.Init(password);
        if (!crypto.CheckHeader(head, e.ch.flags, e.ch.crc32, e.ch.modTime)) return why = "wrong password", false;
        data += 12;
        left -= 12;
    }
    if (e.ch.method != kMethodStored && e.ch.method != kMethodDeflated) return why = "unsupported method", false;
    std::string temp = path + ".part";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return why = std::strerror(errno), false;
    z_stream z{};
    bool deflated = e.ch.method == kMethodDeflated;
    if (deflated && inflateInit2(&z, -MAX_WBITS) != Z_OK) {
        ::close(fd);
        ::unlink(temp.c_str());
        return why = "out of memory", false;
    }
    std::vector<uint8_t> in(256 * 1024), out(256 * 1024);
    uint32_t crc = 0;
    uint64_t written = 0;
    bool ok = true, ended = !deflated;
    auto put = [&](const uint8_t* p, size_t n) {
        written += n;
        if (written > e.ch.uncompressedSize) return false;  // never more than announced
        crc = Crc32(crc, p, n);
        return ::write(fd, p, n) == static_cast<ssize_t>(n);
    };
    while (ok && left > 0) {
        size_t n = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(in.size())));
        if (!a.ReadAt(data, in.data(), n)) {
            ok = false;
            break;
        }
        data += static_cast<int64_t>(n);
        left -= static_cast<int64_t>(n);
        if (e.ch.flags & kFlagEncrypted) crypto.Decrypt(in.data(), n);
        if (!deflated) {
            ok = put(in.data(), n);
            continue;
        }
        z.next_in = in.data();
        z.avail_in = static_cast<uInt>(n);
        while (ok && z.avail_in > 0 && !ended) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            int r = inflate(&z, Z_NO_FLUSH);
            if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) ok = false;
            if (!put(out.data(), out.size() - z.avail_out)) ok = false;
            if (r == Z_STREAM_END) ended = true;
            if (r == Z_BUF_ERROR && z.avail_out != 0) break;
        }
    }
    while (ok && deflated && !ended) {  // what inflate still holds
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        int r = inflate(&z, Z_FINISH);
        if (!put(out.data(), out.size() - z.avail_out)) ok = false;
        if (r == Z_STREAM_END) ended = true;
        else if (r != Z_OK || z.avail_out == out.size()) ok = false;
    }
    if (deflated) inflateEnd(&z);
    ok = ::close(fd) == 0 && ok;
    if (!ok || written != e.ch.uncompressedSize || crc != e.ch.crc32) {
        ::unlink(temp.c_str());
        return why = ok ? "CRC error" : "damaged or unwritable", false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return why = std::strerror(errno), false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dirArg, password;
    int overwrite = -1;  // -1 as the settings say, 0 never, 1 always
    bool listOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-d" && i + 1 < argc) dirArg = argv[++i];
        else if (a == "-o") overwrite = 1;
        else if (a == "-n") overwrite = 0;
        else if (a == "-P" && i + 1 < argc) password = argv[++i];
        else if (a == "-l") listOnly = true;
        else {
            std::fprintf(stderr, "usage: %s [-d DIR] [-o|-n] [-P PASSWORD] [-l]\n", argv[0]);
            return 2;
        }
    }
    ArchiveFile archive;
    try {
        archive.Open("/proc/self/exe");
    } catch (const ZipFileError& e) {
        std::fprintf(stderr, "No archive found behind this program (%s)\n", e.what());
        return 1;
    }
    Settings s;
    int64_t start = archive.entries.empty() ? archive.centralPos : archive.prefixSize;
    ReadSettings(archive, ElfEnd(archive), start, s);
    std::printf("%s\n", s.caption.c_str());
    if (!(s.flags & 32) && archive.endPos + kEndRecordSize + archive.end.commentLength != archive.fileSize) {
        std::fprintf(stderr, "The archive is damaged: its size is not what it records\n");
        return 1;
    }
    if (listOnly) {
        for (const auto& e : archive.entries) std::printf("%10u  %s\n", e.ch.uncompressedSize, e.rawName.c_str());
        return 0;
    }
    if (!s.message.empty()) {
        std::printf("%s\n", s.message.c_str());
        if (::isatty(STDIN_FILENO) && !Ask("Continue?")) return 1;
    }
    std::string dir = !dirArg.empty() ? dirArg : !s.dir.empty() ? s.dir : ".";
    if (!MakeDirs(dir)) {
        std::fprintf(stderr, "Directory %s could not be made\n", dir.c_str());
        return 1;
    }
    if (overwrite < 0) overwrite = (s.flags & 8) ? 1 : (s.flags & 16) ? 0 : -1;
    int done = 0, failed = 0;
    for (const auto& e : archive.entries) {
        std::string name = SafeName(e.rawName);
        if (name.empty()) continue;
        std::string path = dir + "/" + name;
        bool isDir = !e.rawName.empty() && (e.rawName.back() == '/' || e.rawName.back() == '\\');
        if (isDir) {
            MakeDirs(path);
            continue;
        }
        std::string parent = path.substr(0, path.rfind('/'));
        if (!MakeDirs(parent)) {
            std::fprintf(stderr, "%s: directory could not be made\n", name.c_str());
            ++failed;
            continue;
        }
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            bool replace = overwrite == 1 || (overwrite < 0 && Ask("Overwrite " + path + "?"));
            if (!replace) continue;
        }
        if ((e.ch.flags & kFlagEncrypted) && password.empty()) {
            if (!::isatty(STDIN_FILENO)) {
                std::fprintf(stderr, "%s: encrypted, no password given\n", name.c_str());
                ++failed;
                continue;
            }
            std::fprintf(stderr, "Password: ");
            std::getline(std::cin, password);
        }
        std::string why;
        if (Extract(archive, e, path, password, why)) {
            ++done;
        } else {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), why.c_str());
            ++failed;
        }
    }
    if (!(s.flags & 128)) std::printf("%d file(s) extracted to %s\n", done, dir.c_str());
    if (failed == 0 && !s.command.empty() && (s.flags & 64)) {
        bool run = !(s.flags & 1) || Ask("Run \"" + s.command + "\"?");
        if (run) {
            std::string cmd = "cd '" + dir + "' && " + s.command;
            return std::system(cmd.c_str()) == 0 ? 0 : 1;
        }
    }
    return failed == 0 ? 0 : 1;
}
