#pragma once
// Directories standing in for disks: each root has a drive type, a label and a size.
#include <map>
#include <string>

#include "archives/zip/ZipVolumes.h"

namespace vellicor::test {

class FakeVolumes : public IVolumeService {
public:
    struct Disk {
        unsigned type = DRIVE_FIXED;
        std::string label;
        uint32_t serial = 1;
        int64_t freeBytes = 1 << 20, size = 1 << 21;
        bool present = true;      // a disk is in the drive
        bool unformatted = false;
    };
    std::map<std::string, Disk> disks;

    std::string RootOf(const std::string& path) override {
        std::string best = "/";
        for (auto& [root, d] : disks)
            if (path.compare(0, root.size(), root) == 0 && (path.size() == root.size() || path[root.size()] == '/') &&
                root.size() > best.size())
                best = root;
        return best;
    }
    bool RootExists(const std::string& root) override { return root == "/" || disks.count(root) > 0; }
    unsigned DriveType(const std::string& root) override {
        auto it = disks.find(root);
        return it == disks.end() ? (root == "/" ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR) : it->second.type;
    }
    bool VolumeInformation(const std::string& root, std::string& label, uint32_t& serial, int& error) override {
        auto it = disks.find(root);
        if (it == disks.end()) {
            label.clear();
            return root == "/";
        }
        if (!it->second.present) {
            error = 21;
            return false;
        }
        if (it->second.unformatted) {
            error = kErrorNotFormatted;
            return false;
        }
        label = it->second.label;
        serial = it->second.serial;
        return true;
    }
    bool FreeSpace(const std::string& root, int64_t& f, int64_t& s) override {
        auto it = disks.find(root);
        if (it == disks.end() || !it->second.present) return false;
        f = it->second.freeBytes;
        s = it->second.size;
        return true;
    }
};

}  // namespace vellicor::test
