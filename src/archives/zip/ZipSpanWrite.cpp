// Writing a finished archive out as a spanned set: one volume per removable disk, or
// numbered part files (set001.zip, set002.zip, ...) on a fixed or network drive.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipInternal.h"
#include "archives/zip/ZipSpan.h"
#include "archives/zip/ZipVolumes.h"
#include "archives/zip/ZipWriteSupport.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

using namespace DiskSpan;

namespace {

constexpr int64_t kSpanBuffer = 8192;
const char kLabelPrefix[] = "PKBACK# ";

int64_t MTimeNs(const struct stat& st) { return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec; }

void SetMTimeNs(int fd, int64_t ns) {
    struct timespec t[2];
    t[0].tv_sec = 0;
    t[0].tv_nsec = UTIME_OMIT;
    t[1].tv_sec = static_cast<time_t>(ns / 1000000000);
    t[1].tv_nsec = static_cast<long>(ns % 1000000000);
    if (::futimens(fd, t) != 0) {
        // The date tells earlier volumes apart; a volume without it is still whole.
    }
}

bool ReadFull(int fd, void* buf, int64_t n) {
    int64_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, static_cast<uint8_t*>(buf) + got, static_cast<size_t>(n - got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += r;
    }
    return true;
}

}  // namespace

void TZipComponent::RWSplitData(void* buffer, int64_t length, int message) {
    VTRACE("TZipComponent::RWSplitData");
    while (length > 0) {
        int64_t want = std::min(length, kSpanBuffer);
        ssize_t r;
        do {
            r = ::read(inFile_, buffer, static_cast<size_t>(want));
        } while (r < 0 && errno == EINTR);
        if (r != want) throw EZipComponent(message, true);
        WriteSplit(buffer, r, 0);
        length -= r;
    }
}

void TZipComponent::WriteSplit(const void* buffer, int64_t length, int64_t room) {
    VTRACE("TZipComponent::WriteSplit");
    auto* p = static_cast<const uint8_t*>(buffer);
    ProcessMessages();
    if (cancel_) throw EZipComponent(DS_Canceled, false);
    auto closeVolume = [&] {
        SetMTimeNs(outFile_, sourceMTime_);
        int rc = ::close(outFile_);
        outFile_ = -1;
        if (rc != 0) throw EZipComponent(DS_NoWrite, true);
        bytesOnVolume_ = 0;
        ++currentDisk_;
        newDisk_ = true;
    };
    for (;;) {
        while (outFile_ < 0) {
            std::string name = targetBase_;
            unsigned type = CheckForDisk();
            if (PartFileDrive(type)) {
                std::string ext = ExtractFileExt(targetBase_);
                name = targetBase_.substr(0, targetBase_.size() - ext.size()) + VolumeDigits(currentDisk_) + ext;
            }
            std::string label = kLabelPrefix + VolumeDigits(currentDisk_);
            if (!PartFileDrive(type) && AddOptions.Contains(AddDiskSpanErase) && (!OnGetNextDisk || diskAction_ == zdaErase)) {
                formatLabel_ = label;
                int r = ZipFormat();
                if (r == -2) throw EZipComponent(DS_Canceled, false);
                if (r == -1) {
                    // The reason the disk could not be formatted goes with the message.
                    ShowZipMessage(DS_Canceled, formatError_.empty() ? std::string() : "\n" + formatError_);
                    throw EZipComponent(DS_Canceled, false);
                }
            }
            // The archive being spanned is never a volume of its own set.
            if (zip::SameFile(name, inFileName_))
                throw EZipComponent(DS_NoOutFile, true);
            struct stat existing {};
            if (::stat(name.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
                int diskNo = volumeName_.size() >= 11 && volumeName_.compare(0, 8, kLabelPrefix) == 0
                                 ? StrToIntDef(volumeName_.substr(8, 3), 1)
                                 : 1;
                if (Unattended) throw EZipComponent(DS_NoUnattSpan, true);
                TZipDiskStatus status = 0;
                std::string question;
                if (existing.st_mtim.tv_sec == sourceMTime_ / 1000000000 && diskNo - 1 < currentDisk_) {
                    status |= 1u << 2;
                    question = FormatZipStr(LoadZipStr(DS_AskPrevFile, "Overwrite previous disk no %d"), {std::to_string(diskNo)});
                } else {
                    status |= 1u << 3;
                    question = FormatZipStr(LoadZipStr(DS_AskDeleteFile, "Overwrite previous file %s"), {name});
                }
                status |= diskSize_ != diskFree_ ? 1u << 1 : 1u << 0;
                int reply;
                if (OnStatusDisk) {
                    diskAction_ = zdaOk;
                    OnStatusDisk(this, diskNo, name, status, diskAction_);
                    reply = diskAction_ == zdaReject ? mrNo : diskAction_ == zdaCancel ? mrCancel : mrYes;
                } else {
                    reply = ShowMessageBox("Confirm", question, mbYesNoCancel, TMsgKind::Warning);
                }
                if (reply == mrNo) {
                    bytesOnVolume_ = 0;
                    newDisk_ = true;
                    continue;
                }
                if (reply != mrYes) throw EZipComponent(DS_Canceled, false);
            }
            outFile_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (outFile_ < 0) throw EZipComponent(DS_NoOutFile, true);
            outFileName_ = name;
            if (std::find(writtenVolumes_.begin(), writtenVolumes_.end(), name) == writtenVolumes_.end())
                writtenVolumes_.push_back(name);
            lastDriveType_ = type;
            DiskFreeAndSize(3);
            if (maxVolumeSize_ != 0) diskFree_ = diskFree_ < 0 ? maxVolumeSize_ : std::min(diskFree_, maxVolumeSize_);
            if (currentDisk_ == 0) diskFree_ -= keepFreeOnDisk1_;
            if (minFreeVolumeSize_ > diskFree_) {
                ::close(outFile_);
                outFile_ = -1;
                ::unlink(name.c_str());
                int diskNo = volumeName_.size() >= 11 && volumeName_.compare(0, 8, kLabelPrefix) == 0
                                 ? StrToIntDef(volumeName_.substr(8, 3), 1)
                                 : 1;
                if (Unattended) throw EZipComponent(DS_NoUnattSpan, true);
                int reply;
                if (OnStatusDisk) {
                    diskAction_ = zdaOk;
                    OnStatusDisk(this, diskNo, name, 1u << 4, diskAction_);
                    reply = diskAction_ == zdaCancel ? mrCancel : mrRetry;
                } else {
                    reply = ShowMessageBox(kZipMessageCaption, LoadZipStr(DS_NoDiskSpace, ""), mbRetryCancel, TMsgKind::Error);
                }
                if (reply == 0) throw EZipComponent(DS_NoMem, true);
                if (reply != mrRetry) throw EZipComponent(DS_Canceled, false);
                bytesOnVolume_ = 0;
                newDisk_ = true;
                continue;
            }
            if (!PartFileDrive(type) && !Volumes().SetLabel(drive_, label)) throw EZipComponent(DS_NoVolume, true);
        }
        if (room != 0 && diskFree_ < room) {
            // A header never starts where it cannot end; on an empty volume it never will.
            if (bytesOnVolume_ == 0) throw EZipComponent(DS_NoDiskSpace, true);
            closeVolume();
            continue;
        }
        int64_t chunk = std::min(length, std::max<int64_t>(diskFree_, 0));
        int64_t done = 0;
        while (done < chunk) {
            ssize_t w = ::write(outFile_, p + done, static_cast<size_t>(chunk - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) throw EZipComponent(DS_NoWrite, true);
            done += w;
        }
        if (OnProgress && progressOn_ && chunk > 0) OnProgress(this, ProgressUpdate, "", static_cast<uint32_t>(chunk));
        bytesOnVolume_ += chunk;
        diskFree_ -= chunk;
        if (chunk == length) return;
        closeVolume();
        diskFree_ = 0;
        p += chunk;
        length -= chunk;
        room = 0;
    }
}

int TZipComponent::WriteSpan(const std::string& InFileName, const std::string& OutFileName) {
    VTRACE("TZipComponent::WriteSpan");
    if (zipBusy_ || unzBusy_) return -6;
    zipBusy_ = true;
    drive_ = Volumes().RootOf(ExpandFileName(ExtractFileDir(ExpandFileName(OutFileName))));
    currentDisk_ = 0;
    diskFree_ = 0;
    bytesOnVolume_ = 0;
    newDisk_ = true;
    outFile_ = -1;
    progressOn_ = false;
    inFileName_ = InFileName;
    targetBase_ = ExpandFileName(OutFileName);
    splitLastName_.clear();
    writtenVolumes_.clear();
    diskAction_ = zdaOk;
    CloseInput();
    StartWaitCursor();
    SpanRecords records;
    int result = 0;
    try {
        if (!FileExists(InFileName)) throw EZipComponent(DS_NoInFile, true);
        zip::EndOfCentral end;
        CheckIfLastDisk(end, true);
        if (end.NeedsZip64() || end.thisDisk != 0 || end.centralDisk != 0) throw EZipComponent(DS_NoValidZip, true);
        struct stat st {};
        if (::fstat(inFile_, &st) != 0) throw EZipComponent(DS_FailedSeek, true);
        sourceMTime_ = MTimeNs(st);
        // The archive may sit behind other bytes: its directory ends right before the end record.
        int64_t centralAt = eocPosition_ - int64_t(end.centralSize);
        int64_t shift = centralAt - int64_t(end.centralOffset);
        if (centralAt < 0 || shift < 0) throw EZipComponent(DS_NoValidZip, true);
        if (::lseek(inFile_, centralAt, SEEK_SET) != centralAt) throw EZipComponent(DS_FailedSeek, true);

        // The directory first: it knows the sizes that a local header may leave to a descriptor.
        records = AllocSpanMem(end.totalEntries);
        for (auto& r : records) {
            uint8_t h[zip::kCentralHeaderSize];
            if (!ReadFull(inFile_, h, sizeof h)) throw EZipComponent(DS_CEHBadRead, true);
            zip::CentralHeader ch;
            if (!ch.Parse(h, sizeof h)) throw EZipComponent(DS_CEHWrongSig, true);
            if (ch.NeedsZip64()) throw EZipComponent(DS_Zip64, true);
            r->FileName.resize(ch.nameLength);
            if (!ReadFull(inFile_, r->FileName.data(), ch.nameLength)) throw EZipComponent(DS_CENameLen, true);
            r->FileNameLen = ch.nameLength;
            r->ComprSize = ch.compressedSize;
            r->SourceOffset = ch.localHeaderOffset;
            if (::lseek(inFile_, int64_t(ch.extraLength) + ch.commentLength, SEEK_CUR) < 0) throw EZipComponent(DS_FailedSeek, true);
        }
        // Local entries go out in the order they have in the archive.
        std::vector<size_t> order(records.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return records[a]->SourceOffset < records[b]->SourceOffset; });

        std::vector<uint8_t> buf(kSpanBuffer);
        uint8_t sig[4];
        zip::Put32(sig, zip::kDescriptorSig);
        WriteSplit(sig, 4, 0);
        progressOn_ = true;
        if (OnProgress) {
            OnProgress(this, TotalFiles2Process, "", end.totalEntries);
            OnProgress(this, TotalSize2Process, "", static_cast<uint32_t>(std::min<int64_t>(fileSize_, 0xFFFFFFFF)));
        }
        for (size_t idx : order) {
            MDZipData& r = *records[idx];
            int64_t at = int64_t(r.SourceOffset) + shift;
            if (at >= centralAt || ::lseek(inFile_, at, SEEK_SET) != at) throw EZipComponent(DS_FailedSeek, true);
            uint8_t h[zip::kLocalHeaderSize];
            if (!ReadFull(inFile_, h, sizeof h)) throw EZipComponent(DS_LOHBadRead, true);
            zip::LocalHeader lh;
            if (!lh.Parse(h, sizeof h)) throw EZipComponent(DS_LOHWrongSig, true);
            std::string name(lh.nameLength, '\0');
            if (!ReadFull(inFile_, name.data(), lh.nameLength)) throw EZipComponent(DS_LONameLen, true);
            bool descriptor = (lh.flags & zip::kFlagDescriptor) != 0;
            uint32_t size = descriptor || lh.compressedSize == 0 ? r.ComprSize : lh.compressedSize;
            std::string shown = ReplaceForwardSlash(name);
            if (OnMessage) OnMessage(this, 0, LoadZipStr(GE_Copying, "Copying: ") + shown);
            if (OnProgress)
                OnProgress(this, NewFile, shown,
                           static_cast<uint32_t>(zip::kLocalHeaderSize + lh.nameLength + lh.extraLength + size + (descriptor ? 16 : 0)));
            WriteSplit(h, sizeof h, zip::kLocalHeaderSize + int64_t(lh.nameLength) + lh.extraLength);
            r.DiskNr = static_cast<uint16_t>(currentDisk_);
            r.RelOffLocal = static_cast<uint32_t>(bytesOnVolume_ - zip::kLocalHeaderSize);
            r.Used = true;
            WriteSplit(name.data(), lh.nameLength, 0);
            RWSplitData(buf.data(), lh.extraLength, DS_LOExtraLen);
            if (int64_t(size) > centralAt - ::lseek(inFile_, 0, SEEK_CUR)) throw EZipComponent(DS_ZipData, true);
            RWSplitData(buf.data(), size, DS_ZipData);
            if (descriptor) {
                // Copied as it stands, with or without its signature.
                uint8_t d[4];
                if (!ReadFull(inFile_, d, 4)) throw EZipComponent(DS_DataDesc, true);
                WriteSplit(d, 4, 0);
                RWSplitData(buf.data(), zip::Get32(d) == zip::kDescriptorSig ? 12 : 8, DS_DataDesc);
            }
        }

        std::string centralText = LoadZipStr(DS_CopyCentral, "central directory");
        if (OnMessage) OnMessage(this, 0, LoadZipStr(GE_Copying, "Copying: ") + centralText);
        if (OnProgress) OnProgress(this, NewFile, centralText, end.centralSize + end.commentLength + zip::kEndRecordSize);
        if (::lseek(inFile_, centralAt, SEEK_SET) != centralAt) throw EZipComponent(DS_FailedSeek, true);
        int centralDisk = 0;
        int64_t centralOffset = 0;
        std::vector<int> diskOfHeader(records.size());
        for (size_t i = 0; i < records.size(); ++i) {
            uint8_t h[zip::kCentralHeaderSize];
            if (!ReadFull(inFile_, h, sizeof h)) throw EZipComponent(DS_CEHBadRead, true);
            zip::CentralHeader ch;
            if (!ch.Parse(h, sizeof h)) throw EZipComponent(DS_CEHWrongSig, true);
            std::string name(ch.nameLength, '\0');
            if (!ReadFull(inFile_, name.data(), ch.nameLength)) throw EZipComponent(DS_CENameLen, true);
            // Header i is record i: read in the same order as above.
            const MDZipData& r = *records[i];
            if (r.FileName != name || !r.Used) throw EZipComponent(DS_LOHNotFound, true);
            zip::Put16(h + 34, r.DiskNr);
            zip::Put32(h + 42, r.RelOffLocal);
            WriteSplit(h, sizeof h, zip::kCentralHeaderSize + int64_t(ch.nameLength) + ch.extraLength + ch.commentLength);
            diskOfHeader[i] = currentDisk_;
            if (i == 0) {
                centralDisk = currentDisk_;
                centralOffset = bytesOnVolume_ - zip::kCentralHeaderSize;
            }
            WriteSplit(name.data(), ch.nameLength, 0);
            RWSplitData(buf.data(), ch.extraLength, DS_CEExtraLen);
            RWSplitData(buf.data(), ch.commentLength, DS_FileError);
        }
        // The end record and comment stay together; its disk is known only once it has room.
        WriteSplit(nullptr, 0, zip::kEndRecordSize + int64_t(end.commentLength));
        zip::EndOfCentral out = end;
        out.thisDisk = static_cast<uint16_t>(currentDisk_);
        if (records.empty()) {
            centralDisk = currentDisk_;
            centralOffset = bytesOnVolume_;
        }
        out.centralDisk = static_cast<uint16_t>(centralDisk);
        out.centralOffset = static_cast<uint32_t>(centralOffset);
        out.entriesThisDisk = static_cast<uint16_t>(std::count(diskOfHeader.begin(), diskOfHeader.end(), currentDisk_));
        uint8_t e[zip::kEndRecordSize];
        out.Store(e);
        WriteSplit(e, sizeof e, 0);
        if (::lseek(inFile_, eocPosition_ + zip::kEndRecordSize, SEEK_SET) < 0) throw EZipComponent(DS_FailedSeek, true);
        RWSplitData(buf.data(), end.commentLength, DS_CECommentLen);
        progressOn_ = false;
    } catch (const std::exception&) {
        result = RewriteFailed();
    }
    if (OnProgress) OnProgress(this, EndOfBatch, "", 0);
    DeleteSpanMem(records);
    bool openAtEnd = outFile_ >= 0;
    if (outFile_ >= 0) {
        SetMTimeNs(outFile_, sourceMTime_);
        if (::close(outFile_) != 0 && result == 0) {
            ShowZipMessage(DS_NoWrite);
            result = -7;
        }
        outFile_ = -1;
    }
    CloseInput();
    if (result != 0) {
        // A set that did not come out whole is no set: its part files go. On removable
        // disks only the volume in the drive can be reached; the others keep their files.
        if (PartFileDrive(lastDriveType_)) {
            for (const auto& v : writtenVolumes_) ::unlink(v.c_str());
        } else if (openAtEnd) {
            ::unlink(outFileName_.c_str());
        }
    }
    writtenVolumes_.clear();
    outFileName_.clear();
    progressOn_ = true;
    zipBusy_ = false;
    StopWaitCursor();
    return result;
}

}  // namespace vellicor
