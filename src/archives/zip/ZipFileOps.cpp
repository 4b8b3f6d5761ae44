// Small file operations shared by the component's operations: path helpers, buffered
// copies, deletion (optionally to the desktop's trash) and temporary names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "archives/zip/ZipComponent.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

std::string TZipComponent::AppendSlash(const std::string& dir) {
    VTRACE("TZipComponent::AppendSlash");
    if (dir.empty() || dir.back() == '/' || dir.back() == '\\') return dir;
    return dir + '/';
}

std::string TZipComponent::ReplaceForwardSlash(const std::string& text) {
    VTRACE("TZipComponent::ReplaceForwardSlash");
    std::string r = text;
    for (char& c : r)
        if (c == '/') c = '\\';
    return r;
}

int TZipComponent::CopyBuffer(int inFile, int outFile, int64_t length) {
    VTRACE("TZipComponent::CopyBuffer");
    constexpr int64_t kBuffer = 8192;
    std::unique_ptr<char[]> buf(new char[kBuffer]);
    for (;;) {
        if (length == 0) return 0;
        int64_t want = length >= 0 && length < kBuffer ? length : kBuffer;
        ssize_t got;
        do {
            got = ::read(inFile, buf.get(), static_cast<size_t>(want));
        } while (got < 0 && errno == EINTR);
        if (got < 0) return -9;  // a read error is no end of the input
        int64_t written = 0;
        while (written < got) {
            ssize_t w = ::write(outFile, buf.get() + written, static_cast<size_t>(got - written));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) break;
            written += w;
        }
        if (written < got) return -2;
        if (OnProgress && progressOn_) OnProgress(this, ProgressUpdate, "", static_cast<uint32_t>(got));
        if (length > 0) length -= got;
        ProcessMessages();
        // Copying to the end stops at the end; a copy of a known length that runs short
        // did not copy what it was asked to.
        if (got < want) return length > 0 ? -2 : 0;
    }
}

int TZipComponent::CopyFile(const std::string& inName, const std::string& outName) {
    VTRACE("TZipComponent::CopyFile");
    progressOn_ = false;
    if (!FileExists(inName)) return -3;
    StartWaitCursor();
    int result = -3;
    int in = ::open(inName.c_str(), O_RDONLY | O_CLOEXEC);
    int out = -1;
    if (in >= 0) {
        if (FileExists(outName)) EraseFile(outName, HowToDelete);
        out = ::open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (out < 0) {
            result = -1;
        } else {
            result = CopyBuffer(in, out, -1);
            if (result == 0) {
                struct stat st {};
                if (::fstat(in, &st) != 0) {
                    result = -4;
                } else {
                    struct timespec times[2] = {st.st_atim, st.st_mtim};
                    if (::futimens(out, times) != 0) result = -4;
                }
            }
            off_t inSize = ::lseek(in, 0, SEEK_END);
            off_t outSize = ::lseek(out, 0, SEEK_END);
            if (::close(out) != 0 && result == 0) result = -2;
            out = -1;
            if (result == 0 && (inSize < 0 || outSize < 0 || inSize != outSize)) result = -9;
            if (result != 0 && result != -4) ::unlink(outName.c_str());
        }
        ::close(in);
    }
    StopWaitCursor();
    return result;
}

namespace {

std::string UrlEncodePath(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string r;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            r += static_cast<char>(c);
        } else {
            r += '%';
            r += hex[c >> 4];
            r += hex[c & 15];
        }
    }
    return r;
}

bool MakeDir(const std::string& dir) {
    std::string cur;
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            cur = dir.substr(0, i);
            if (::mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST) return false;
        }
    }
    return DirectoryExists(dir);
}

// Moves path into trash (a folder with files/ and info/); 0 on success, else an errno.
int MoveToTrashDir(const std::string& path, const std::string& trash) {
    VTRACE("MoveToTrashDir");
    if (!MakeDir(trash + "/files") || !MakeDir(trash + "/info")) return errno ? errno : EIO;
    std::string base = ExtractFileName(path);
    char when[32];
    time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &t);
    std::string info = "[Trash Info]\nPath=" + UrlEncodePath(path) + "\nDeletionDate=" + when + "\n";
    for (int n = 1; n < 10000; ++n) {
        std::string name = n == 1 ? base : base + "." + std::to_string(n);
        std::string infoPath = trash + "/info/" + name + ".trashinfo";
        // The info file is made first and exclusively: it reserves the name.
        int fd = ::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return errno;
        }
        bool ok = ::write(fd, info.data(), info.size()) == static_cast<ssize_t>(info.size());
        ok = ::close(fd) == 0 && ok;
        if (ok && ::rename(path.c_str(), (trash + "/files/" + name).c_str()) == 0) return 0;
        int err = ok ? errno : EIO;
        ::unlink(infoPath.c_str());
        return err ? err : EIO;
    }
    return EEXIST;
}

// The desktop's trash: the home trash, or the trash at the top of the file's volume when
// the file lives elsewhere. Nothing is deleted when no trash takes the file.
int MoveToTrash(const std::string& path) {
    VTRACE("MoveToTrash");
    std::string home;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) home = x;
    else if (const char* h = std::getenv("HOME"); h && *h) home = std::string(h) + "/.local/share";
    int err = EXDEV;
    if (!home.empty()) {
        err = MoveToTrashDir(path, home + "/Trash");
        if (err != EXDEV) return err;
    }
    // Another volume: $topdir/.Trash-$uid.
    std::string dir = ExtractFileDir(path);
    struct stat fileSt {};
    if (::stat(dir.c_str(), &fileSt) != 0) return errno;
    std::string top = dir;
    while (top != "/") {
        std::string parent = ExtractFileDir(top);
        if (parent.empty()) parent = "/";
        struct stat st {};
        if (::stat(parent.c_str(), &st) != 0 || st.st_dev != fileSt.st_dev) break;
        top = parent;
    }
    return MoveToTrashDir(path, (top == "/" ? "" : top) + "/.Trash-" + std::to_string(::getuid()));
}

}  // namespace

int TZipComponent::EraseFile(const std::string& name, DeleteOpts how) {
    VTRACE("TZipComponent::EraseFile");
    std::string path = ExpandFileName(name);
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0) return -1;
    if (how == htdAllowUndo) return MoveToTrash(path);
    if (S_ISDIR(st.st_mode)) return ::rmdir(path.c_str()) == 0 ? 0 : errno;
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

std::string TZipComponent::MakeTempFileName(const std::string& prefix, const std::string& ext) {
    VTRACE("TZipComponent::MakeTempFileName");
    std::string dir = TempDir;
    if (dir.empty()) {
        const char* t = std::getenv("TMPDIR");
        dir = t && *t ? t : "/tmp";
    }
    std::string pattern = AppendSlash(dir) + prefix + "XXXXXX";
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) return {};
    ::close(fd);
    ::unlink(pattern.c_str());
    std::string result = ChangeFileExt(pattern, ext);
    if (FileExists(result)) return {};
    return result;
}

}  // namespace vellicor
