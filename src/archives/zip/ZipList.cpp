// Reading an archive's directory: the end record, the central headers, the shift of an
// archive that sits behind a self-extractor stub; and rewriting the archive comment.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipInternal.h"
#include "archives/zip/ZipRecords.h"
#include "archives/zip/ZipVolumes.h"
#include "platform/Text.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {
constexpr size_t kInputBuffer = 64 * 1024;
constexpr int kPaddingBlock = 512;
}  // namespace

int64_t TZipComponent::FileSizeOfInput() const {
    VTRACE("TZipComponent::FileSizeOfInput");
    struct stat st {};
    if (inFile_ < 0 || ::fstat(inFile_, &st) != 0) return -1;
    return st.st_size;
}

bool TZipComponent::SeekInput(int64_t pos) {
    VTRACE("TZipComponent::SeekInput");
    inBufPos_ = inBufLen_ = 0;
    return inFile_ >= 0 && pos >= 0 && ::lseek(inFile_, static_cast<off_t>(pos), SEEK_SET) == pos;
}

int64_t TZipComponent::ReadInput(void* buf, int64_t n) {
    VTRACE("TZipComponent::ReadInput");
    auto* d = static_cast<uint8_t*>(buf);
    int64_t done = 0;
    if (inBuf_.size() < kInputBuffer) inBuf_.resize(kInputBuffer);
    while (done < n) {
        if (inBufPos_ == inBufLen_) {
            inBufPos_ = inBufLen_ = 0;
            ssize_t r;
            do {
                r = inFile_ >= 0 ? ::read(inFile_, inBuf_.data(), inBuf_.size()) : -1;
            } while (r < 0 && errno == EINTR);
            if (r <= 0) break;
            inBufLen_ = static_cast<size_t>(r);
        }
        size_t k = std::min<size_t>(inBufLen_ - inBufPos_, static_cast<size_t>(n - done));
        std::memcpy(d + done, inBuf_.data() + inBufPos_, k);
        inBufPos_ += k;
        done += static_cast<int64_t>(k);
    }
    return done;
}

void TZipComponent::SetFileName(const std::string& name) {
    VTRACE("TZipComponent::SetFileName");
    zipFileName_ = name;
    archivePassword_.clear();
    typedPassword_.clear();
    stopPasswordQuestions_ = false;
    List();
}

// Names compare with "/" and "\" alike; without case only when no name matches exactly.
static std::string SlashKey(const std::string& name) {
    std::string k = name;
    for (char& ch : k)
        if (ch == '/') ch = '\\';
    return k;
}

int TZipComponent::FindEntry(const std::string& name) const {
    VTRACE("TZipComponent::FindEntry");
    // Two members may differ only in case: the one asked for by its exact name is meant.
    std::string key = SlashKey(name);
    auto exact = exactIndex_.find(key);
    if (exact != exactIndex_.end()) return exact->second;
    auto it = index_.find(LowerCase(key));
    return it == index_.end() ? -1 : it->second;
}

void TZipComponent::BuildIndex() {
    VTRACE("TZipComponent::BuildIndex");
    index_.clear();
    exactIndex_.clear();
    index_.reserve(zipContents_.size());
    exactIndex_.reserve(zipContents_.size());
    for (size_t i = 0; i < zipContents_.size(); ++i) {  // the first one wins
        std::string key = SlashKey(zipContents_[i]->FileName);
        index_.emplace(LowerCase(key), static_cast<int>(i));
        exactIndex_.emplace(std::move(key), static_cast<int>(i));
    }
}

bool TZipComponent::CheckIfLastDisk(zip::EndOfCentral& record, bool raise) {
    VTRACE("TZipComponent::CheckIfLastDisk");
    zipComment_.clear();
    eocPosition_ = 0;
    CloseInput();
    if (inFileName_.empty()) inFileName_ = zipFileName_;
    inFile_ = ::open(inFileName_.c_str(), O_RDONLY | O_CLOEXEC);
    if (inFile_ < 0) {
        if (raise) throw EZipComponent(DS_NoInFile, true);
        ShowZipMessage(DS_FileOpen);
        return false;
    }
    // A volume label "PKBACK# nnn" tells which disk of a set this is.
    int diskNo = 0;
    if (volumeName_.compare(0, 8, "PKBACK# ") == 0 && volumeName_.size() >= 11) diskNo = StrToIntDef(volumeName_.substr(8, 3), 0);
    uint8_t head[8];
    if (::pread(inFile_, head, 8, 0) == 8 && zip::Get32(head) == zip::kDescriptorSig && zip::Get32(head + 4) == zip::kLocalSig) {
        firstPart_ = true;
        spanned_ = true;
    }
    fileSize_ = FileSizeOfInput();
    int64_t realSize = fileSize_;
    // Quick test: a record with no comment right at the end.
    uint8_t tail[zip::kEndRecordSize];
    if (fileSize_ >= zip::kEndRecordSize &&
        ::pread(inFile_, tail, sizeof tail, fileSize_ - zip::kEndRecordSize) == zip::kEndRecordSize &&
        record.Parse(tail, sizeof tail) && record.commentLength == 0) {
        eocPosition_ = fileSize_ - zip::kEndRecordSize;
        return true;
    }
    size_t n = static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(fileSize_, 0), zip::kEndRecordSize + zip::kMaxCommentLength));
    std::vector<uint8_t> buf(n);
    if (n >= size_t(zip::kEndRecordSize)) {
        if (!SeekInput(fileSize_ - static_cast<int64_t>(n))) throw EZipComponent(DS_FailedSeek, true);
        if (ReadInput(buf.data(), static_cast<int64_t>(n)) != static_cast<int64_t>(n)) throw EZipComponent(DS_EOCBadRead, true);
        int64_t at = n > size_t(zip::kEndRecordSize) ? zip::FindEndRecord(buf.data(), n, n - zip::kEndRecordSize - 1) : -1;
        if (at >= 0) {
            size_t i = static_cast<size_t>(at);
            record.Parse(buf.data() + i, n - i);
            eocPosition_ = fileSize_ - static_cast<int64_t>(n) + at;
            size_t end = i + zip::kEndRecordSize + record.commentLength;
            if (end != n) {
                size_t garbage = n - end;
                fileSize_ -= static_cast<int64_t>(garbage);
                bool zeros = std::all_of(buf.begin() + static_cast<ptrdiff_t>(end), buf.end(), [](uint8_t b) { return b == 0; });
                bool padding = garbage < size_t(kPaddingBlock) && realSize % kPaddingBlock == 0 && zeros;
                if (!padding) ShowZipMessage(LI_GarbageAtEOF);
            }
            if (record.commentLength != 0)
                zipComment_.assign(reinterpret_cast<const char*>(buf.data() + i + zip::kEndRecordSize), record.commentLength);
            return true;
        }
    }
    if (!raise) return false;
    if (diskNo > 0 && !firstPart_) throw EZipComponent(DS_NotLastInSet, diskNo);
    if (firstPart_) throw EZipComponent(diskNo == 1 ? DS_FirstInSet : DS_FirstFileOnHD, true);
    throw EZipComponent(DS_NoValidZip, true);
}

void TZipComponent::ReadCentralDirectory(const zip::EndOfCentral& end, bool fromBuffer) {
    VTRACE("TZipComponent::ReadCentralDirectory");
    if (!fromBuffer && !SeekInput(centralOffset_)) throw EZipComponent(LI_ReadZipError, true);
    sfxOffset_ = fileSize_ == zip::kEndRecordSize ? 0 : fileSize_;
    // Never trust the count for the reservation: a header takes at least 46 bytes.
    zipContents_.reserve(std::min<size_t>(end.totalEntries, static_cast<size_t>(std::max<int64_t>(fileSize_, 0) / zip::kCentralHeaderSize + 1)));
    std::string name;
    for (int i = 0; i < end.totalEntries; ++i) {
        uint8_t h[zip::kCentralHeaderSize];
        int64_t got = ReadInput(h, sizeof h);
        if (got < zip::kCentralHeaderSize) {
            if (spanned_ && currentDisk_ < endDiskNumber_) {
                GetNewDisk(currentDisk_ + 1);
                inBufPos_ = inBufLen_ = 0;
                got = ReadInput(h, sizeof h);
            }
            if (got < zip::kCentralHeaderSize) throw EZipComponent(DS_CEHBadRead, true);
        }
        zip::CentralHeader ch;
        if (!ch.Parse(h, sizeof h)) throw EZipComponent(DS_CEHWrongSig, true);
        if (ch.NeedsZip64()) throw EZipComponent(DS_Zip64, true);
        auto e = std::make_unique<ZipDirEntry>();
        e->RawFileName.resize(ch.nameLength);
        if (ReadInput(e->RawFileName.data(), ch.nameLength) != ch.nameLength) throw EZipComponent(DS_CENameLen, true);
        currentMadeBy_ = ch.versionMadeBy;
        currentFlags_ = ch.flags;
        name = e->RawFileName;
        ConvertOem2Iso(name, false);
        e->FileName = ReplaceForwardSlash(name);
        e->MadeByVersion = ch.versionMadeBy;
        e->NeedVersion = ch.versionNeeded;
        e->Flag = ch.flags;
        e->ComprMethod = ch.method;
        e->ModifTime = ch.modTime;
        e->ModifDate = ch.modDate;
        e->CRC32 = ch.crc32;
        e->ComprSize = ch.compressedSize;
        e->UncomprSize = ch.uncompressedSize;
        e->FileNameLength = ch.nameLength;
        e->ExtraFieldLength = ch.extraLength;
        e->FileCommentLen = ch.commentLength;
        e->StartOnDisk = ch.diskStart;
        e->IntFileAttrib = ch.internalAttr;
        e->ExtFileAttrib = ch.externalAttr;
        e->RelOffLocalHdr = ch.localHeaderOffset;
        e->Encrypted = (ch.flags & zip::kFlagEncrypted) != 0;
        if (ch.extraLength) {
            e->ExtraData.resize(ch.extraLength);
            if (ReadInput(e->ExtraData.data(), ch.extraLength) != ch.extraLength) throw EZipComponent(LI_ReadZipError, true);
        }
        if (ch.commentLength) {
            std::string c(ch.commentLength, '\0');
            if (ReadInput(c.data(), ch.commentLength) != ch.commentLength) throw EZipComponent(DS_FileError, true);
            ConvertOem2Iso(c, false);
            e->FileComment = c;
        }
        sfxOffset_ = std::min<int64_t>(sfxOffset_, ch.localHeaderOffset);
        if (!UseDirOnlyEntries && !e->FileName.empty() && e->FileName.back() == '\\') {
            ++dirOnlyCount_;
            continue;
        }
        zipContents_.push_back(std::move(e));
        if (OnNewName) OnNewName(this, i + 1, *zipContents_.back());
    }
}

void TZipComponent::List() {
    VTRACE("TZipComponent::List");
    FreeZipDirEntryRecords();
    CloseInput();
    DropJoinedSpan();
    eocPosition_ = 0;
    centralOffset_ = 0;
    sfxOffset_ = 0;
    archiveShift_ = 0;
    spanned_ = false;
    firstPart_ = false;
    dirOnlyCount_ = 0;
    endDiskNumber_ = 0;
    listedFile_.clear();
    if (!FileExists(zipFileName_)) {
        if (OnDirUpdate) OnDirUpdate(this);
        return;
    }
    StartWaitCursor();
    bool failed = false;
    zip::EndOfCentral end;
    try {
        inFileName_ = zipFileName_;
        {
            // A set written by zip -s: name.z01, name.z02, ... before the part named name.
            std::string ext = ExtractFileExt(zipFileName_);
            std::string stem = zipFileName_.substr(0, zipFileName_.size() - ext.size());
            splitLastName_ = FileExists(stem + ".z01") || FileExists(stem + ".Z01") ? zipFileName_ : std::string();
        }
        drive_ = Volumes().RootOf(ExpandFileName(zipFileName_));
        if (!Volumes().RootExists(drive_)) throw EZipComponent(DS_DriveNoMount, drive_);
        std::string label;
        uint32_t serial = 0;
        int error = 0;
        volumeName_.clear();
        if (Volumes().VolumeInformation(drive_, label, serial, error)) volumeName_ = label;
        CheckIfLastDisk(end, true);
        int64_t endRecordPos = eocPosition_;
        if (end.NeedsZip64() || (endRecordPos >= zip::kZip64LocatorSize && [&] {
                uint8_t loc[4];
                return ::pread(inFile_, loc, 4, endRecordPos - zip::kZip64LocatorSize) == 4 &&
                       zip::Get32(loc) == zip::kZip64LocatorSig;
            }()))
            throw EZipComponent(DS_Zip64, true);
        endDiskNumber_ = end.thisDisk;
        currentDisk_ = end.thisDisk;
        totalDisks_ = end.thisDisk;
        if (end.thisDisk > 0) spanned_ = true;
        if (spanned_ && end.centralDisk != end.thisDisk) {
            // Plug point of the spanned set: the directory starts on an earlier volume.
            GetNewDisk(end.centralDisk);
            fileSize_ = FileSizeOfInput();
        }
        if (!spanned_) {
            centralOffset_ = fileSize_ - static_cast<int64_t>(end.centralSize) - zip::kEndRecordSize - end.commentLength;
            if (centralOffset_ < 0) throw EZipComponent(DS_NoValidZip, true);
            if (centralOffset_ != static_cast<int64_t>(end.centralOffset)) ShowZipMessage(LI_WrongZipStruct);
        } else {
            centralOffset_ = end.centralOffset;
        }
        ReadCentralDirectory(end);
    } catch (const EZipComponent& e) {
        ShowExceptionError(e);
        failed = true;
    } catch (const std::bad_alloc&) {
        ShowZipMessage(GE_NoMem);
        failed = true;
    } catch (const std::exception& e) {
        ShowZipMessage(LI_ErrorUnknown, e.what());
        failed = true;
    }
    archiveShift_ = spanned_ ? 0 : centralOffset_ - static_cast<int64_t>(end.centralOffset);
    sfxOffset_ += archiveShift_;
    StopWaitCursor();
    CloseInput();
    if (failed) {
        zipFileName_.clear();
        sfxOffset_ = 0;
        archiveShift_ = 0;
    } else {
        listedFile_ = zipFileName_;
    }
    BuildIndex();
    if (OnDirUpdate) OnDirUpdate(this);
}

// What a delete wrote is the whole directory of the new file: its central records, the end
// record and the comment, which end the file. The rest of what a listing finds (the volume
// and its label, parts of a split set beside it) belongs to the place of the archive, which
// a delete does not change.
bool TZipComponent::ListWritten() {
    VTRACE("TZipComponent::ListWritten");
    const std::vector<uint8_t>& d = writtenDirectory_;
    if (d.size() < size_t(zip::kEndRecordSize) || listedFile_.empty() || listedFile_ != zipFileName_ || spanned_)
        return false;
    const int64_t at = zip::FindEndRecord(d.data(), d.size());
    zip::EndOfCentral end;
    if (at < 0 || !end.Parse(d.data() + at, d.size() - static_cast<size_t>(at))) return false;
    const size_t records = static_cast<size_t>(at);
    if (records + zip::kEndRecordSize + end.commentLength != d.size() || end.centralSize != records ||
        end.thisDisk != 0 || end.centralDisk != 0 || end.entriesThisDisk != end.totalEntries)
        return false;
    FreeZipDirEntryRecords();
    CloseInput();
    DropJoinedSpan();
    spanned_ = false;
    firstPart_ = false;
    dirOnlyCount_ = 0;
    endDiskNumber_ = currentDisk_ = totalDisks_ = 0;
    archiveShift_ = 0;  // offsets as written are file positions
    centralOffset_ = end.centralOffset;
    eocPosition_ = centralOffset_ + at;
    fileSize_ = centralOffset_ + static_cast<int64_t>(d.size());
    zipComment_.assign(reinterpret_cast<const char*>(d.data()) + records + zip::kEndRecordSize, end.commentLength);
    inFileName_ = zipFileName_;
    inBuf_.assign(d.begin(), d.begin() + at);
    inBufPos_ = 0;
    inBufLen_ = records;
    bool ok = true;
    try {
        ReadCentralDirectory(end, true);
    } catch (...) {
        ok = false;  // not what was asked for: the file is read instead
    }
    inBuf_.clear();
    inBuf_.shrink_to_fit();
    inBufPos_ = inBufLen_ = 0;
    if (!ok) return false;
    BuildIndex();
    if (OnDirUpdate) OnDirUpdate(this);
    return true;
}

void TZipComponent::SetZipComment(const std::string& text) {
    VTRACE("TZipComponent::SetZipComment");
    // The end record holds a 16-bit length: a longer comment is cut.
    std::string buf = text.substr(0, std::min<size_t>(text.size(), zip::kMaxCommentLength));
    if (!buf.empty()) ConvertOem2Iso(buf, true);
    if (buf.size() > size_t(zip::kMaxCommentLength)) buf.resize(zip::kMaxCommentLength);
    uint16_t length = static_cast<uint16_t>(buf.size());
    zipComment_ = buf;
    int fd = -1;
    bool writeFailed = false;
    try {
        if (zipFileName_.empty()) throw EZipComponent(DS_NoInFile, true);
        fd = ::open(zipFileName_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) throw EZipComponent(DS_FileOpen, true);
        if (::lseek(fd, eocPosition_, SEEK_SET) != eocPosition_) throw EZipComponent(DS_FailedSeek, true);
        uint8_t rec[zip::kEndRecordSize];
        if (::read(fd, rec, sizeof rec) != zip::kEndRecordSize || zip::Get32(rec) != zip::kEndSig)
            throw EZipComponent(DS_EOCBadRead, true);
        zip::Put16(rec + 20, length);
        if (::lseek(fd, -zip::kEndRecordSize, SEEK_CUR) < 0) throw EZipComponent(DS_FailedSeek, true);
        if (::write(fd, rec, sizeof rec) != zip::kEndRecordSize) {
            writeFailed = true;
            throw EZipComponent(DS_EOCBadWrite, true);
        }
        if (length && ::write(fd, buf.data(), length) != length) {
            writeFailed = true;
            throw EZipComponent(DS_NoWrite, true);
        }
        off_t here = ::lseek(fd, 0, SEEK_CUR);
        if (here >= 0 && ::ftruncate(fd, here) != 0) {
            // Like the platform's cut, its result is not what decides success.
        }
    } catch (const EZipComponent& e) {
        ShowExceptionError(e);
        zipComment_.clear();
    } catch (const std::bad_alloc&) {
        ShowZipMessage(GE_NoMem);
        zipComment_.clear();
    }
    if (fd >= 0) ::close(fd);
    if (writeFailed) List();
}

}  // namespace vellicor
