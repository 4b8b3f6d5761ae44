// The volume service over the mount table, sysfs, the by-label links and statvfs.
#include "archives/zip/ZipVolumes.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "trace/Trace.h"

extern char** environ;

namespace vellicor {

namespace {

struct Mount {
    std::string root;  // mount point
    std::string fsType;
    std::string source;
    unsigned major = 0, minor = 0;
};

// Mount-table fields escape blanks and the like as \ooo.
std::string Unescape(const std::string& s) {
    std::string r;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1]))) {
            r += static_cast<char>(std::strtol(s.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            r += static_cast<char>(std::strtol(s.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            r += s[i];
        }
    }
    return r;
}

std::vector<Mount> ParseMounts(std::istream& f) {
    std::vector<Mount> mounts;
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream in(line);
        std::string id, parent, devno, rootInFs, point;
        if (!(in >> id >> parent >> devno >> rootInFs >> point)) continue;
        std::string field;
        while (in >> field && field != "-") {
        }
        Mount m;
        m.root = Unescape(point);
        in >> m.fsType >> m.source;
        m.source = Unescape(m.source);
        unsigned a = 0, b = 0;
        if (std::sscanf(devno.c_str(), "%u:%u", &a, &b) == 2) {
            m.major = a;
            m.minor = b;
        }
        mounts.push_back(m);
    }
    return mounts;
}

// The mount table as last read, read again only when the kernel tells of a change: an open
// mountinfo polls with POLLPRI after every mount and unmount. A listing asks three times.
// A forked child opens its own: the poll's news belongs to the open file, which the parent
// shares.
class MountTable {
public:
    std::vector<Mount> Get() {
        std::lock_guard g(mutex_);
        if (fd_ >= 0 && owner_ != ::getpid()) {
            ::close(fd_);
            fd_ = -1;
        }
        if (fd_ < 0) {
            fd_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
            owner_ = ::getpid();
            valid_ = false;
        }
        if (fd_ >= 0 && valid_) {
            pollfd p{fd_, POLLPRI, 0};
            if (::poll(&p, 1, 0) != 0) valid_ = false;  // changed, or the poll failed
        }
        if (!valid_) {
            std::string text;
            if (fd_ < 0 || !ReadAll(text)) {
                std::ifstream f("/proc/self/mountinfo");
                return ParseMounts(f);
            }
            std::istringstream in(text);
            mounts_ = ParseMounts(in);
            valid_ = true;
        }
        return mounts_;
    }

private:
    bool ReadAll(std::string& text) {
        if (::lseek(fd_, 0, SEEK_SET) != 0) return false;
        char buf[8192];
        for (;;) {
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) return true;
            text.append(buf, static_cast<size_t>(n));
        }
    }
    std::mutex mutex_;
    int fd_ = -1;
    pid_t owner_ = 0;
    bool valid_ = false;
    std::vector<Mount> mounts_;
};

std::vector<Mount> ReadMounts() {
    VTRACE("ReadMounts");
    static MountTable* table = new MountTable;  // never destroyed: a thread may still ask at exit
    return table->Get();
}

// The mount whose point is the longest prefix of path (on whole components).
const Mount* Find(const std::vector<Mount>& mounts, const std::string& path) {
    const Mount* best = nullptr;
    for (const auto& m : mounts) {
        const std::string& r = m.root;
        bool prefix = path == r || r == "/" ||
                      (path.size() > r.size() && path.compare(0, r.size(), r) == 0 && path[r.size()] == '/');
        if (prefix && (!best || r.size() >= best->root.size())) best = &m;
    }
    return best;
}

std::string RealPath(const std::string& p) {
    char buf[PATH_MAX];
    if (::realpath(p.c_str(), buf)) return buf;
    return p;
}

bool ReadFlag(const std::string& path) {
    std::ifstream f(path);
    int v = 0;
    return (f >> v) && v == 1;
}

// Runs gdbus on the system bus against UDisks2 (no shell between); its output in out.
bool CallUDisks(const std::string& objectPath, const std::string& method, const std::vector<std::string>& args,
                std::string& out) {
    VTRACE("CallUDisks");
    std::vector<std::string> argv = {"gdbus", "call", "--system", "--dest", "org.freedesktop.UDisks2", "--object-path",
                                     objectPath, "--method", "org.freedesktop.UDisks2." + method};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    int pipeFd[2];
    if (::pipe2(pipeFd, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFd[1], 2);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, "gdbus", &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFd[1]);
    out.clear();
    char buf[512];
    ssize_t n;
    while ((n = ::read(pipeFd[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(pipeFd[0]);
    if (rc != 0) {
        out = "gdbus is not installed";
        return false;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A string as GVariant text.
std::string VariantString(const std::string& s) {
    std::string r = "'";
    for (char c : s) {
        if (c == '\\' || c == '\'') r += '\\';
        r += c;
    }
    return r + "'";
}

class LinuxVolumes : public IVolumeService {
public:
    std::string RootOf(const std::string& path) override {
        VTRACE("LinuxVolumes::RootOf");
        auto mounts = ReadMounts();
        std::string real = RealPath(path);
        const Mount* m = Find(mounts, real);
        return m ? m->root : std::string();
    }
    bool RootExists(const std::string& root) override {
        VTRACE("LinuxVolumes::RootExists");
        if (root.empty()) return false;
        for (const auto& m : ReadMounts())
            if (m.root == root) return true;
        return false;
    }
    unsigned DriveType(const std::string& root) override {
        VTRACE("LinuxVolumes::DriveType");
        auto mounts = ReadMounts();
        const Mount* m = nullptr;
        for (const auto& x : mounts)
            if (x.root == root) m = &x;
        if (!m) return DRIVE_NO_ROOT_DIR;
        static const char* remote[] = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "fuse.sshfs", "sshfs", "9p", "afs", "ceph", "glusterfs"};
        for (const char* r : remote)
            if (m->fsType == r) return DRIVE_REMOTE;
        if (m->fsType == "iso9660" || m->fsType == "udf") return DRIVE_CDROM;
        // Only a removable block device holds disks that are swapped; a file system in
        // memory (tmpfs) or of no device at all is fixed.
        std::string dev = "/sys/dev/block/" + std::to_string(m->major) + ":" + std::to_string(m->minor);
        if (ReadFlag(dev + "/removable") || ReadFlag(dev + "/../removable")) return DRIVE_REMOVABLE;
        return DRIVE_FIXED;
    }
    bool VolumeInformation(const std::string& root, std::string& label, uint32_t& serial, int& error) override {
        VTRACE("LinuxVolumes::VolumeInformation");
        struct statvfs st {};
        if (::statvfs(root.c_str(), &st) != 0) {
            error = 21;  // not ready
            return false;
        }
        serial = static_cast<uint32_t>(st.f_fsid);
        label.clear();
        auto mounts = ReadMounts();
        const Mount* m = nullptr;
        for (const auto& x : mounts)
            if (x.root == root) m = &x;
        if (m && !m->source.empty() && m->source[0] == '/') {
            std::string dev = RealPath(m->source);
            if (DIR* d = ::opendir("/dev/disk/by-label")) {
                while (dirent* e = ::readdir(d)) {
                    if (e->d_name[0] == '.') continue;
                    if (RealPath(std::string("/dev/disk/by-label/") + e->d_name) == dev) {
                        label = Unescape(e->d_name);
                        break;
                    }
                }
                ::closedir(d);
            }
        }
        return true;
    }
    bool FreeSpace(const std::string& root, int64_t& freeBytes, int64_t& totalBytes) override {
        VTRACE("LinuxVolumes::FreeSpace");
        struct statvfs st {};
        if (::statvfs(root.c_str(), &st) != 0) return false;
        freeBytes = static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
        totalBytes = static_cast<int64_t>(st.f_blocks) * static_cast<int64_t>(st.f_frsize);
        return true;
    }
    bool SetLabel(const std::string& root, const std::string& label) override {
        VTRACE("LinuxVolumes::SetLabel");
        std::string object, out;
        if (!RemovableBlock(root, object, out)) return false;
        return CallUDisks(object, "Filesystem.SetLabel", {VariantString(label), "{}"}, out);
    }
    int Format(const std::string& root, const std::string& label, std::string& error) override {
        VTRACE("LinuxVolumes::Format");
        std::string object, out;
        if (!RemovableBlock(root, object, error)) return -1;
        // The disk is let go, formatted with its label and mounted again where it was.
        if (!CallUDisks(object, "Filesystem.Unmount", {"{}"}, out)) {
            error = "UDisks2 could not unmount " + root + ": " + Trim(out);
            return -1;
        }
        bool formatted = CallUDisks(object, "Block.Format", {"'vfat'", "{'label': <" + VariantString(label) + ">}"}, out);
        std::string formatOut = out;
        std::string mountOut;
        bool mounted = CallUDisks(object, "Filesystem.Mount", {"{}"}, mountOut);
        if (!formatted) {
            error = "UDisks2 could not format " + root + ": " + Trim(formatOut);
            return -1;
        }
        if (!mounted || mountOut.find(VariantString(root)) == std::string::npos) {
            error = "The formatted disk is not mounted at " + root + " again: " + Trim(mountOut);
            return -1;
        }
        return 0;
    }

private:
    // The UDisks2 object of the removable disk mounted at root; refuses every other.
    bool RemovableBlock(const std::string& root, std::string& object, std::string& error) {
        if (DriveType(root) != DRIVE_REMOVABLE) {
            error = root + " is not a removable disk; only removable disks are formatted or labelled";
            return false;
        }
        std::string device;
        for (const auto& m : ReadMounts())
            if (m.root == root && !m.source.empty() && m.source[0] == '/') device = RealPath(m.source);
        if (device.empty()) {
            error = "No block device is mounted at " + root;
            return false;
        }
        std::string base = device.substr(device.rfind('/') + 1);
        for (char c : base)
            if (!std::isalnum(static_cast<unsigned char>(c))) {
                error = "Unexpected device name " + device;
                return false;
            }
        object = "/org/freedesktop/UDisks2/block_devices/" + base;
        std::string out;
        if (!CallUDisks(object, "Block.Rescan", {"{}"}, out)) {
            error = "UDisks2 is not available: " + Trim(out);
            return false;
        }
        return true;
    }
};

}  // namespace

IVolumeService& SystemVolumes() {
    static LinuxVolumes volumes;
    return volumes;
}

}  // namespace vellicor
