// The volume service over the mount table, sysfs, the by-label links and statvfs.
#include "archives/zip/ZipVolumes.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "trace/Trace.h"

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

std::vector<Mount> ReadMounts() {
    VTRACE("ReadMounts");
    std::vector<Mount> mounts;
    std::ifstream f("/proc/self/mountinfo");
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
        if (m->fsType == "tmpfs" || m->fsType == "ramfs") return DRIVE_RAMDISK;
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
};

}  // namespace

IVolumeService& SystemVolumes() {
    static LinuxVolumes volumes;
    return volumes;
}

}  // namespace vellicor
