#pragma once
// What the zip component needs to know about the volumes its files live on: the root of
// a file's volume, the kind of drive, label, serial number and space. The system's
// implementation reads the mount table; tests install a fake of directories as disks.
#include <cstdint>
#include <string>

namespace vellicor {

// Drive kinds with the platform's usual numbers.
enum TDriveType : unsigned {
    DRIVE_UNKNOWN = 0, DRIVE_NO_ROOT_DIR = 1, DRIVE_REMOVABLE = 2, DRIVE_FIXED = 3, DRIVE_REMOTE = 4,
    DRIVE_CDROM = 5, DRIVE_RAMDISK = 6
};
// Drives that take a set as numbered part files side by side, not one volume per disk.
inline bool PartFileDrive(unsigned type) { return type == DRIVE_FIXED || type == DRIVE_REMOTE; }
// Error of VolumeInformation for a disk that is in the drive but not formatted.
constexpr int kErrorNotFormatted = 31;

class IVolumeService {
public:
    virtual ~IVolumeService() = default;
    // The root (mount point) of the volume holding path; "" when there is none.
    virtual std::string RootOf(const std::string& path) = 0;
    // The root names a volume that is there (mounted).
    virtual bool RootExists(const std::string& root) = 0;
    virtual unsigned DriveType(const std::string& root) = 0;
    // Label and serial number; false with an error code when they cannot be read.
    virtual bool VolumeInformation(const std::string& root, std::string& label, uint32_t& serial, int& error) = 0;
    // Bytes free to the caller and total bytes; false when the volume cannot be measured.
    virtual bool FreeSpace(const std::string& root, int64_t& freeBytes, int64_t& totalBytes) = 0;
    // Sets the label of the removable disk at root; false when it cannot be set.
    virtual bool SetLabel(const std::string& root, const std::string& label) {
        (void)root, (void)label;
        return false;
    }
    // Erases and formats the removable disk at root under label: 0 done, -1 refused or
    // failed (error tells why). Runs on the format thread.
    virtual int Format(const std::string& root, const std::string& label, std::string& error) {
        (void)root, (void)label;
        error = "Formatting is not available";
        return -1;
    }
};

IVolumeService& SystemVolumes();

}  // namespace vellicor
