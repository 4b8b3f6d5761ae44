// Joining the volumes of a spanned set into one ordinary archive, and the work records
// and copiers that the set writer and the rewriting operations share.
#include "archives/zip/ZipSpan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipInternal.h"
#include "archives/zip/ZipVolumes.h"
#include "platform/Text.h"
#include "trace/Trace.h"

namespace vellicor {

namespace DiskSpan {

SpanRecords AllocSpanMem(int count) {
    VTRACE("DiskSpan::AllocSpanMem");
    SpanRecords r;
    r.reserve(static_cast<size_t>(std::max(count, 0)));
    for (int i = 0; i < count; ++i) r.push_back(std::make_unique<MDZipData>());
    return r;
}

void DeleteSpanMem(SpanRecords& records) {
    VTRACE("DiskSpan::DeleteSpanMem");
    records.clear();
}

int FindZipEntry(const SpanRecords& records, const std::string& name) {
    VTRACE("DiskSpan::FindZipEntry");
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i]->FileNameLen == name.size() && records[i]->FileName == name) return static_cast<int>(i);
    throw EZipComponent(DS_LOHNotFound, true);
}

RecordIndex::RecordIndex(const SpanRecords& records) : records_(records) {
    VTRACE("DiskSpan::RecordIndex::RecordIndex");
    byPlace_.reserve(records.size());
    for (size_t i = 0; i < records.size(); ++i)
        byPlace_.emplace((uint64_t(records[i]->SourceDisk) << 32) | records[i]->SourceOffset, static_cast<int>(i));
}

int RecordIndex::Find(uint16_t disk, uint32_t offset, const std::string& name) const {
    VTRACE("DiskSpan::RecordIndex::Find");
    auto it = byPlace_.find((uint64_t(disk) << 32) | offset);
    if (it != byPlace_.end() && !records_[static_cast<size_t>(it->second)]->Used &&
        records_[static_cast<size_t>(it->second)]->FileName == name)
        return it->second;
    for (size_t i = 0; i < records_.size(); ++i)
        if (!records_[i]->Used && records_[i]->FileName == name) return static_cast<int>(i);
    throw EZipComponent(DS_LOHNotFound, true);
}

std::string VolumeDigits(int volume) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%03d", (1001 + volume) % 1000);
    return buf;
}

bool IsSplitPartExt(const std::string& ext) {
    if (ext.size() < 4 || (ext[1] != 'z' && ext[1] != 'Z')) return false;
    for (size_t i = 2; i < ext.size(); ++i)
        if (ext[i] < '0' || ext[i] > '9') return false;
    return true;
}

}  // namespace DiskSpan

using namespace DiskSpan;

namespace {

// Members of a set run to megabytes: 8 KB a call made the join half again as slow as it
// needs to be; past 1 MB nothing more is gained.
constexpr int64_t kSpanBuffer = 1 << 20;
// A copy in the kernel goes in pieces this large, for the progress between them.
constexpr int64_t kJoinPiece = 8 << 20;

int64_t MTimeNs(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return 0;
    return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

void SetMTimeNs(int fd, int64_t ns) {
    struct timespec t[2];
    t[0].tv_sec = 0;
    t[0].tv_nsec = UTIME_OMIT;
    t[1].tv_sec = static_cast<time_t>(ns / 1000000000);
    t[1].tv_nsec = static_cast<long>(ns % 1000000000);
    if (::futimens(fd, t) != 0) {
        // The date is a courtesy; the set is whole without it.
    }
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

bool TZipComponent::InputAtEnd() const {
    VTRACE("TZipComponent::InputAtEnd");
    struct stat st {};
    off_t pos = inFile_ >= 0 ? ::lseek(inFile_, 0, SEEK_CUR) : -1;
    return pos >= 0 && ::fstat(inFile_, &st) == 0 && pos >= st.st_size;
}

int64_t TZipComponent::ReadAcross(void* buffer, int64_t n, int message) {
    VTRACE("TZipComponent::ReadAcross");
    auto* d = static_cast<uint8_t*>(buffer);
    int64_t got = 0;
    while (got < n) {
        ssize_t r;
        do {
            r = inFile_ >= 0 ? ::read(inFile_, d + got, static_cast<size_t>(n - got)) : -1;
        } while (r < 0 && errno == EINTR);
        if (r < 0) throw EZipComponent(message, true);
        if (r == 0) {
            // A volume that ends inside a record goes on at the start of the next one.
            if (!InputAtEnd()) throw EZipComponent(message, true);
            if (currentDisk_ >= totalDisks_) return got;
            GetNewDisk(currentDisk_ + 1);
            continue;
        }
        got += r;
    }
    return got;
}

void TZipComponent::SkipAcross(int64_t n, int message) {
    VTRACE("TZipComponent::SkipAcross");
    while (n > 0) {
        struct stat st {};
        off_t pos = ::lseek(inFile_, 0, SEEK_CUR);
        if (pos < 0 || ::fstat(inFile_, &st) != 0) throw EZipComponent(message, true);
        int64_t left = st.st_size - pos;
        if (left >= n) {
            if (::lseek(inFile_, static_cast<off_t>(n), SEEK_CUR) < 0) throw EZipComponent(message, true);
            return;
        }
        n -= std::max<int64_t>(left, 0);
        if (currentDisk_ >= totalDisks_) throw EZipComponent(message, true);
        GetNewDisk(currentDisk_ + 1);
    }
}

void TZipComponent::WriteJoin(const void* buffer, int64_t length, int message) {
    VTRACE("TZipComponent::WriteJoin");
    auto* p = static_cast<const uint8_t*>(buffer);
    int64_t done = 0;
    while (done < length) {
        ssize_t w = ::write(outFile_, p + done, static_cast<size_t>(length - done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) throw EZipComponent(message, true);
        done += w;
    }
    bytesOnVolume_ += length;
    if (OnProgress && progressOn_) OnProgress(this, ProgressUpdate, "", static_cast<uint32_t>(length));
}

void TZipComponent::RWJoinData(void* buffer, int64_t length, int message) {
    VTRACE("TZipComponent::RWJoinData");
    // In the kernel first: the bytes need not pass through this process. Where the file
    // systems cannot (or on any failure) the rest goes through the buffer, which tells a
    // read error from a write error.
    while (length > 0) {
        ssize_t r = inFile_ >= 0 ? ::copy_file_range(inFile_, nullptr, outFile_, nullptr,
                                                     static_cast<size_t>(std::min(length, kJoinPiece)), 0)
                                 : -1;
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) break;
        if (r == 0) {
            // This volume is done: the data go on at the start of the next one.
            if (!InputAtEnd() || currentDisk_ >= totalDisks_) throw EZipComponent(message, true);
            GetNewDisk(currentDisk_ + 1);
            continue;
        }
        bytesOnVolume_ += r;
        length -= r;
        if (OnProgress && progressOn_) OnProgress(this, ProgressUpdate, "", static_cast<uint32_t>(r));
    }
    while (length > 0) {
        int64_t want = std::min(length, kSpanBuffer);
        // A short read means the set ended before the stated size: the join would be short.
        if (ReadAcross(buffer, want, message) != want) throw EZipComponent(message, true);
        WriteJoin(buffer, want, message);
        length -= want;
    }
}

int TZipComponent::RWCentralDir(int outFile, const zip::EndOfCentral& end, int64_t change) {
    VTRACE("TZipComponent::RWCentralDir");
    try {
        uint8_t h[zip::kCentralHeaderSize];
        auto readFull = [&](void* b, size_t n) {
            size_t got = 0;
            while (got < n) {
                ssize_t r = ::read(inFile_, static_cast<uint8_t*>(b) + got, n - got);
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) break;
                got += static_cast<size_t>(r);
            }
            return got == n;
        };
        auto writeFull = [&](const void* b, size_t n) { return ::write(outFile, b, n) == static_cast<ssize_t>(n); };
        for (int i = 0; i < end.totalEntries; ++i) {
            if (!readFull(h, sizeof h)) throw EZipComponent(DS_CEHBadRead, true);
            if (zip::Get32(h) != zip::kCentralSig) throw EZipComponent(DS_CEHWrongSig, true);
            int64_t offset = int64_t(zip::Get32(h + 42)) + change;
            // A shift that leaves the 32-bit field would point nowhere.
            if (offset < 0 || offset > 0xFFFFFFFFll) throw EZipComponent(DS_CEHBadWrite, true);
            zip::Put32(h + 42, static_cast<uint32_t>(offset));
            if (!writeFull(h, sizeof h)) throw EZipComponent(DS_CEHBadWrite, true);
            int64_t rest = int64_t(zip::Get16(h + 28)) + zip::Get16(h + 30) + zip::Get16(h + 32);
            // The bytes must really be there: a short copy is a damaged directory.
            struct stat st {};
            off_t pos = ::lseek(inFile_, 0, SEEK_CUR);
            if (pos < 0 || ::fstat(inFile_, &st) != 0 || st.st_size - pos < rest) throw EZipComponent(DS_CEHBadCopy, true);
            if (CopyBuffer(inFile_, outFile, rest) != 0) throw EZipComponent(DS_CEHBadCopy, true);
        }
        uint8_t e[zip::kEndRecordSize];
        if (!readFull(e, sizeof e)) throw EZipComponent(DS_EOCBadSeek, true);
        zip::EndOfCentral rec = end;
        int64_t offset = int64_t(end.centralOffset) + change;
        if (offset < 0 || offset > 0xFFFFFFFFll) throw EZipComponent(DS_EOCBadWrite, true);
        rec.centralOffset = static_cast<uint32_t>(offset);
        rec.Store(e);
        if (!writeFull(e, sizeof e)) throw EZipComponent(DS_EOCBadWrite, true);
        if (CopyBuffer(inFile_, outFile, end.commentLength) != 0) throw EZipComponent(DS_EOCBadCopy, true);
    } catch (const EZipComponent&) {
        return -2;
    }
    return 0;
}

void TZipComponent::DropJoinedSpan() {
    VTRACE("TZipComponent::DropJoinedSpan");
    if (joinedSpanFd_ >= 0) ::close(joinedSpanFd_);
    joinedSpanFd_ = -1;
    joinedSpan_.clear();
    joinedSpanFor_.clear();
    joinFailedFor_.clear();
}

int TZipComponent::ReadSpan(const std::string& inFileName, std::string& outFilePath) {
    VTRACE("TZipComponent::ReadSpan");
    bool wasBusy = unzBusy_;
    unzBusy_ = true;
    drive_ = Volumes().RootOf(ExpandFileName(inFileName));
    currentDisk_ = -1;
    newDisk_ = false;
    progressOn_ = false;
    inFileName_ = inFileName;
    CloseInput();
    StartWaitCursor();
    // A set written by zip -s: name.z01, name.z02, ... and the last part under the name itself.
    splitLastName_.clear();
    std::string ext = ExtractFileExt(inFileName);
    std::string stem = inFileName.substr(0, inFileName.size() - ext.size());
    if (!IsSplitPartExt(ext) && (FileExists(stem + ".z01") || FileExists(stem + ".Z01"))) splitLastName_ = inFileName;
    std::vector<uint8_t> buf(kSpanBuffer);
    SpanRecords records;
    std::string outName;
    int64_t lastDate = 0;
    int result = 0;
    try {
        if (!ExtractFileName(outFilePath).empty()) {
            if (FileExists(outFilePath)) EraseFile(outFilePath, HowToDelete);
            outName = ChangeFileExt(outFilePath, ".zip");
            // Never write over a volume of the set being read.
            if (SameFile(outName, inFileName)) throw EZipComponent(DS_NoOutFile, true);
            outFile_ = ::open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        } else {
            std::string dir = outFilePath.empty() ? TempDir : outFilePath;
            if (dir.empty()) {
                const char* t = std::getenv("TMPDIR");
                dir = t && *t ? t : "/tmp";
            }
            std::string pattern = AppendSlash(dir) + "zipXXXXXX.zip";
            outFile_ = ::mkstemps(pattern.data(), 4);
            if (outFile_ < 0) throw EZipComponent(DS_NoTempFile, true);
            outName = pattern;
        }
        if (outFile_ < 0) throw EZipComponent(DS_NoOutFile, true);
        bytesOnVolume_ = 0;

        // The last volume holds the end record.
        zip::EndOfCentral end;
        for (;;) {
            unsigned type = CheckForDisk();
            newDisk_ = true;
            if (CheckIfLastDisk(end, false)) break;
            if (PartFileDrive(type)) {
                std::string e = ExtractFileExt(inFileName_);
                std::string s = inFileName_.substr(0, inFileName_.size() - e.size());
                int number = IsSplitPartExt(e) ? StrToIntDef(e.substr(2), 0)
                                               : StrToIntDef(s.size() >= 3 ? s.substr(s.size() - 3) : std::string(), 0);
                if (number == 1) throw EZipComponent(DS_FirstInSet, true);
                throw EZipComponent(DS_NotLastInSet, number);
            }
        }
        if (end.NeedsZip64()) throw EZipComponent(DS_Zip64, true);
        lastDate = MTimeNs(inFile_);
        const std::string comment = zipComment_;
        if (comment.size() != end.commentLength) throw EZipComponent(DS_CECommentLen, true);
        totalDisks_ = end.thisDisk;
        currentDisk_ = end.thisDisk;
        if (end.centralDisk > end.thisDisk) throw EZipComponent(DS_CEHBadRead, true);
        auto goToVolume = [&](int volume) {
            // The volume already open is used again (a set of one volume has no other name).
            if (volume == currentDisk_ && inFile_ >= 0) {
                if (::lseek(inFile_, 0, SEEK_SET) != 0) throw EZipComponent(DS_FailedSeek, true);
                return;
            }
            GetNewDisk(volume);
        };
        auto seekCentral = [&] {
            goToVolume(end.centralDisk);
            struct stat st {};
            if (::fstat(inFile_, &st) != 0 || int64_t(end.centralOffset) > st.st_size ||
                ::lseek(inFile_, end.centralOffset, SEEK_SET) != static_cast<off_t>(end.centralOffset))
                throw EZipComponent(DS_FailedSeek, true);
        };
        seekCentral();

        // First pass: names, sizes and places of the entries.
        records = AllocSpanMem(end.totalEntries);
        int64_t progressTotal = 0;
        for (auto& r : records) {
            uint8_t h[zip::kCentralHeaderSize];
            if (ReadAcross(h, sizeof h, DS_CEHBadRead) != zip::kCentralHeaderSize) throw EZipComponent(DS_CEHBadRead, true);
            zip::CentralHeader ch;
            if (!ch.Parse(h, sizeof h)) throw EZipComponent(DS_CEHWrongSig, true);
            if (ch.NeedsZip64()) throw EZipComponent(DS_Zip64, true);
            r->FileName.resize(ch.nameLength);
            if (ReadAcross(r->FileName.data(), ch.nameLength, DS_CENameLen) != ch.nameLength)
                throw EZipComponent(DS_CENameLen, true);
            r->FileNameLen = ch.nameLength;
            r->ComprSize = ch.compressedSize;
            r->SourceDisk = ch.diskStart;
            r->SourceOffset = ch.localHeaderOffset;
            SkipAcross(int64_t(ch.extraLength) + ch.commentLength, DS_FailedSeek);
            progressTotal += int64_t(ch.nameLength) + ch.compressedSize + ch.extraLength + ch.commentLength;
        }
        RecordIndex index(records);

        goToVolume(0);
        progressOn_ = true;
        if (OnProgress) {
            OnProgress(this, TotalFiles2Process, "", end.totalEntries);
            OnProgress(this, TotalSize2Process, "", static_cast<uint32_t>(std::min<int64_t>(progressTotal, 0xFFFFFFFF)));
        }
        uint8_t sig[4];
        if (ReadAcross(sig, 4, DS_ExtWrongSig) != 4 || zip::Get32(sig) != zip::kDescriptorSig)
            throw EZipComponent(DS_ExtWrongSig, true);

        // Second pass: the entries in the order of the volumes.
        std::string name;
        for (int i = 0; i < end.totalEntries; ++i) {
            if (InputAtEnd() && currentDisk_ < totalDisks_) GetNewDisk(currentDisk_ + 1);
            off_t at = ::lseek(inFile_, 0, SEEK_CUR);
            uint16_t atDisk = static_cast<uint16_t>(currentDisk_);
            uint8_t h[zip::kLocalHeaderSize];
            if (ReadAcross(h, sizeof h, DS_LOHBadRead) != zip::kLocalHeaderSize) throw EZipComponent(DS_LOHBadRead, true);
            zip::LocalHeader lh;
            if (!lh.Parse(h, sizeof h)) throw EZipComponent(DS_LOHWrongSig, true);
            name.resize(lh.nameLength);
            if (ReadAcross(name.data(), lh.nameLength, DS_LONameLen) != lh.nameLength) throw EZipComponent(DS_LONameLen, true);
            int k = index.Find(atDisk, static_cast<uint32_t>(std::max<off_t>(at, 0)), name);
            MDZipData& r = *records[static_cast<size_t>(k)];
            r.Used = true;
            r.DiskNr = 0;
            if (bytesOnVolume_ > 0xFFFFFFFFll) throw EZipComponent(DS_Zip64, true);
            r.RelOffLocal = static_cast<uint32_t>(bytesOnVolume_);
            bool descriptor = (lh.flags & zip::kFlagDescriptor) != 0;
            // The central directory has the size when the local header defers it.
            uint32_t size = lh.compressedSize != 0 && !descriptor ? lh.compressedSize : r.ComprSize;
            std::string shown = ReplaceForwardSlash(name);
            if (OnMessage) OnMessage(this, 0, LoadZipStr(GE_Copying, "Copying: ") + shown);
            if (OnProgress)
                OnProgress(this, NewFile, shown,
                           static_cast<uint32_t>(zip::kLocalHeaderSize + lh.nameLength + lh.extraLength + size + (descriptor ? 16 : 0)));
            WriteJoin(h, sizeof h, DS_LOHBadWrite);
            WriteJoin(name.data(), lh.nameLength, DS_LOHBadWrite);
            RWJoinData(buf.data(), lh.extraLength, DS_LOExtraLen);
            RWJoinData(buf.data(), size, DS_ZipData);
            if (descriptor) {
                // The descriptor comes with or without its signature.
                uint8_t d[4];
                if (ReadAcross(d, 4, DS_DataDesc) != 4) throw EZipComponent(DS_DataDesc, true);
                WriteJoin(d, 4, DS_DataDesc);
                RWJoinData(buf.data(), zip::Get32(d) == zip::kDescriptorSig ? 12 : 8, DS_DataDesc);
            }
        }
        progressOn_ = false;

        // Third pass: the central directory, pointed at the joined places.
        seekCentral();
        int64_t newCentral = bytesOnVolume_;
        for (int i = 0; i < end.totalEntries; ++i) {
            uint8_t h[zip::kCentralHeaderSize];
            if (ReadAcross(h, sizeof h, DS_CEHBadRead) != zip::kCentralHeaderSize) throw EZipComponent(DS_CEHBadRead, true);
            zip::CentralHeader ch;
            if (!ch.Parse(h, sizeof h)) throw EZipComponent(DS_CEHWrongSig, true);
            name.resize(ch.nameLength);
            if (ReadAcross(name.data(), ch.nameLength, DS_CENameLen) != ch.nameLength) throw EZipComponent(DS_CENameLen, true);
            // The directory is read in the same order as in the first pass: header i is record i.
            const MDZipData* r = records[static_cast<size_t>(i)].get();
            if (r->FileName != name || !r->Used) throw EZipComponent(DS_LOHNotFound, true);
            zip::Put16(h + 34, 0);
            zip::Put32(h + 42, r->RelOffLocal);
            WriteJoin(h, sizeof h, DS_CEHBadWrite);
            WriteJoin(name.data(), ch.nameLength, DS_CEHBadWrite);
            RWJoinData(buf.data(), ch.extraLength, DS_CEExtraLen);
            RWJoinData(buf.data(), ch.commentLength, DS_FileError);
        }
        if (bytesOnVolume_ > 0xFFFFFFFFll) throw EZipComponent(DS_Zip64, true);
        zip::EndOfCentral joined = end;
        joined.thisDisk = 0;
        joined.centralDisk = 0;
        joined.entriesThisDisk = end.totalEntries;
        joined.centralOffset = static_cast<uint32_t>(newCentral);
        joined.centralSize = static_cast<uint32_t>(bytesOnVolume_ - newCentral);
        uint8_t e[zip::kEndRecordSize];
        joined.Store(e);
        WriteJoin(e, sizeof e, DS_EOCBadWrite);
        WriteJoin(comment.data(), static_cast<int64_t>(comment.size()), DS_CECommentLen);
        if (OnProgress) OnProgress(this, EndOfBatch, "", 0);
    } catch (const std::exception&) {
        result = RewriteFailed();
    }
    DeleteSpanMem(records);
    CloseInput();
    if (outFile_ >= 0) {
        if (lastDate) SetMTimeNs(outFile_, lastDate);
        if (::close(outFile_) != 0 && result == 0) {
            ShowZipMessage(DS_NoWrite);
            result = -7;
        }
        outFile_ = -1;
    }
    if (result != 0) {
        if (!outName.empty()) ::unlink(outName.c_str());
        outFilePath.clear();
    } else {
        outFilePath = outName;
    }
    progressOn_ = true;
    unzBusy_ = wasBusy;
    StopWaitCursor();
    return result;
}

}  // namespace vellicor
