// The disks of a spanned set: measuring, asking for and recognising the volume wanted.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipInternal.h"
#include "archives/zip/ZipVolumes.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {
const char kLabelPrefix[] = "PKBACK# ";

// The three digits of a volume: the last three of 1001 + its 0-based number.
std::string VolumeDigits(int volume) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%03d", (1001 + volume) % 1000);
    return buf;
}

}  // namespace

IVolumeService& TZipComponent::Volumes() const {
    VTRACE("TZipComponent::Volumes");
    return volumes_ ? *volumes_ : SystemVolumes();
}

void TZipComponent::DiskFreeAndSize(int flags) {
    VTRACE("TZipComponent::DiskFreeAndSize");
    int64_t freeBytes = -1, size = -1;
    int64_t f = 0, s = 0;
    if (Volumes().FreeSpace(drive_, f, s)) {
        freeBytes = f;
        size = s;
    }
    if (flags & 1) diskFree_ = freeBytes;
    if (flags & 2) diskSize_ = size;
}

bool TZipComponent::IsDiskPresent() {
    VTRACE("TZipComponent::IsDiskPresent");
    unsigned type = Volumes().DriveType(drive_);
    bool network = type == DRIVE_REMOTE;
    if (!network) {
        // A root is an absolute path here; it must be a volume that is there.
        if (drive_.empty() || drive_[0] != '/') throw EZipComponent(DS_NotaDrive, drive_);
        if (!Volumes().RootExists(drive_)) throw EZipComponent(DS_DriveNoMount, drive_);
    }
    DiskFreeAndSize(3);
    std::string label;
    uint32_t serial = 0;
    int error = 0;
    if (!Volumes().VolumeInformation(drive_, label, serial, error))
        return error == kErrorNotFormatted && AddOptions.Contains(AddDiskSpanErase);
    volumeName_ = label;
    volumeSerial_ = serial;
    return network || diskSize_ != -1;
}

unsigned TZipComponent::CheckForDisk() {
    VTRACE("TZipComponent::CheckForDisk");
    unsigned type = Volumes().DriveType(drive_);
    int reply = mrOk;
    ProcessMessages();
    for (;;) {
        if ((reply != mrOk || IsDiskPresent()) && !newDisk_) break;
        if (PartFileDrive(type)) {
            newDisk_ = false;
            break;
        }
        if (Unattended) throw EZipComponent(DS_NoUnattSpan, true);
        std::string text;
        TMsgKind kind = TMsgKind::Question;
        if (currentDisk_ < 0) {
            text = LoadZipStr(DS_InsertDisk, "Please insert last disk in set");
            kind = TMsgKind::Error;
        } else if (!zipBusy_) {
            text = FormatZipStr(LoadZipStr(DS_InsertVolume, ""), {std::to_string(currentDisk_ + 1), std::to_string(totalDisks_ + 1)});
        } else {
            int64_t volumeSize = diskSize_;
            if (maxVolumeSize_ != 0 && (volumeSize < 0 || maxVolumeSize_ < volumeSize)) volumeSize = maxVolumeSize_;
            if (volumeSize <= 0) {
                totalDisks_ = 0xFFFF;
                text = FormatZipStr(LoadZipStr(DS_InsertAVolume, ""), {std::to_string(currentDisk_ + 1)});
            } else {
                int64_t archiveSize = fileSize_;
                int64_t estimate = (archiveSize + 4 + keepFreeOnDisk1_) / volumeSize;
                totalDisks_ = static_cast<int>(std::max<int64_t>(currentDisk_, estimate));
                text = FormatZipStr(LoadZipStr(DS_InsertVolume, ""), {std::to_string(currentDisk_ + 1), std::to_string(totalDisks_ + 1)});
            }
        }
        text += FormatZipStr(LoadZipStr(DS_InDrive, ""), {drive_});
        if (OnGetNextDisk) {
            bool cancel = false;
            OnGetNextDisk(this, currentDisk_ + 1, totalDisks_ + 1, drive_, cancel);
            reply = cancel ? mrCancel : mrOk;
        } else {
            reply = ShowMessageBox(kZipMessageCaption, text, mbOKCancel, kind);
        }
        newDisk_ = false;
    }
    if (reply == 0) throw EZipComponent(DS_NoMem, true);
    if (reply != mrOk) throw EZipComponent(DS_Canceled, false);
    return type;
}

bool TZipComponent::IsRightDisk(unsigned driveType) {
    VTRACE("TZipComponent::IsRightDisk");
    if (PartFileDrive(driveType) && !splitLastName_.empty()) {
        // name.z01, name.z02, ... and the last part under the set's own name.
        if (currentDisk_ >= totalDisks_) {
            inFileName_ = splitLastName_;
        } else {
            std::string stem = splitLastName_.substr(0, splitLastName_.size() - ExtractFileExt(splitLastName_).size());
            char ext[16];
            std::snprintf(ext, sizeof ext, ".z%02d", currentDisk_ + 1);
            inFileName_ = stem + ext;
            if (!FileExists(inFileName_)) {
                std::snprintf(ext, sizeof ext, ".Z%02d", currentDisk_ + 1);
                if (FileExists(stem + ext)) inFileName_ = stem + ext;
            }
        }
        return true;
    }
    if (PartFileDrive(driveType)) {
        std::string ext = ExtractFileExt(inFileName_);
        std::string stem = inFileName_.substr(0, inFileName_.size() - ext.size());
        size_t nameStart = stem.size() - ExtractFileName(stem).size();
        size_t cut = stem.size() >= nameStart + 3 ? stem.size() - 3 : nameStart;
        inFileName_ = stem.substr(0, cut) + VolumeDigits(currentDisk_) + ext;
        return true;
    }
    return volumeName_ == kLabelPrefix + VolumeDigits(currentDisk_);
}

void TZipComponent::GetNewDisk(int volume) {
    VTRACE("TZipComponent::GetNewDisk");
    CloseInput();
    currentDisk_ = volume;
    lastDriveType_ = DRIVE_REMOVABLE;
    bool failedOpen = false;
    for (;;) {
        if (failedOpen) {
            if (PartFileDrive(lastDriveType_)) throw EZipComponent(DS_VolumeMissing, inFileName_);
            ShowZipMessage(DS_NoInFile);
        }
        do {
            newDisk_ = true;
            lastDriveType_ = CheckForDisk();
        } while (!IsRightDisk(lastDriveType_));
        inFile_ = ::open(inFileName_.c_str(), O_RDONLY | O_CLOEXEC);
        if (inFile_ >= 0) return;
        failedOpen = true;
    }
}

}  // namespace vellicor
