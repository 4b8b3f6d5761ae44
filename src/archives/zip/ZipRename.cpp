// Renaming entries of an archive without unpacking them: every record is copied into a
// new file beside the archive with its new name, which then replaces the archive.
#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipInternal.h"
#include "archives/zip/ZipWriteSupport.h"
#include "platform/Text.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {
std::string Backslashes(std::string s) {
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}
std::string Slashes(std::string s) {
    for (char& c : s)
        if (c == '\\') c = '/';
    return s;
}
struct ProgressContext {
    TZipComponent* c;
};
void CopyProgressOf(void* context, uint32_t bytes) {
    auto* c = static_cast<ProgressContext*>(context)->c;
    if (c->OnProgress) c->OnProgress(c, ProgressUpdate, "", bytes);
}
bool Ascii(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; });
}
// Classic encryption of an entry whose sizes follow its data checks the password against
// the modification time: a new time would lock the data away for good.
bool TimeGuardsPassword(const zip::ArchiveEntry& e) {
    uint16_t flags = e.ch.flags | e.lh.flags;
    return (flags & zip::kFlagEncrypted) && (flags & zip::kFlagDescriptor) && !(flags & zip::kFlagStrongEncryption) &&
           e.ch.method != zip::kMethodAes;
}
}  // namespace

int TZipComponent::Rename(std::vector<RenameItem>& RenameList, uint32_t DateTime) {
    VTRACE("TZipComponent::Rename");
    if (zipBusy_) return -6;
    for (auto& item : RenameList) {
        item.Source = Backslashes(item.Source);
        item.Dest = Backslashes(item.Dest);
        bool sourceIsDir = item.Source.empty() || item.Source.back() == '\\';
        bool destIsDir = item.Dest.empty() || item.Dest.back() == '\\';
        if (!sourceIsDir && destIsDir) return -10;
        if (sourceIsDir && !destIsDir) item.Dest += '\\';
    }
    zipBusy_ = true;
    progressOn_ = false;
    StartWaitCursor();
    int result = 0;
    int keptDates = 0;
    bool progressStarted = false;
    try {
        if (!FileExists(zipFileName_)) throw EZipComponent(DS_NoInFile, true);
        zip::ArchiveFile archive;
        try {
            archive.Open(zipFileName_);
        } catch (const zip::ZipFileError& e) {
            if (e.code == zip::kErrSpanned) throw EZipComponent(GE_NoSkipping, true);
            throw;
        }
        struct stat st {};
        int64_t oldTime = ::fstat(archive.fd, &st) == 0 ? st.st_mtime : -1;
        zip::SafeOutput out;
        out.Create(zipFileName_);
        try {
            out.CopyFrom(archive.fd, 0, archive.prefixSize, zip::kErrData);
        } catch (const zip::ZipFileError&) {
            throw EZipComponent(GE_SFXCopyError, true);
        }
        int64_t total = 0;
        for (const auto& e : archive.entries) total += int64_t(e.ch.nameLength) + e.ch.compressedSize + e.ch.extraLength;
        progressOn_ = true;
        progressStarted = true;
        if (OnProgress) {
            OnProgress(this, TotalFiles2Process, "", static_cast<uint32_t>(archive.entries.size()));
            OnProgress(this, TotalSize2Process, "", static_cast<uint32_t>(std::min<int64_t>(total, 0xFFFFFFFF)));
        }
        struct Work {
            std::string name;
            uint32_t dateTime;
            uint32_t offset;
            uint16_t flags;
        };
        int datesKept = 0;
        std::vector<Work> work;
        work.reserve(archive.entries.size());
        ProgressContext ctx{this};
        for (const auto& e : archive.entries) {
            // A name in an old code page is matched as it is listed, in UTF-8.
            bool legacy = !(e.ch.flags & zip::kFlagUtf8) && !Ascii(e.rawName);
            std::string name =
                Backslashes(legacy ? zip::DecodeStoredName(e.rawName, CodePage, e.ch.versionMadeBy, e.ch.flags) : e.rawName);
            std::string text = LoadZipStr(GE_Processing, "Processing: ") + Slashes(name);
            uint32_t when = DateTime;
            bool renamed = false;
            for (const auto& item : RenameList) {
                if (item.Source.empty()) continue;
                size_t at = UpperCase(name).find(UpperCase(item.Source));
                if (at == std::string::npos) continue;
                name.replace(at, item.Source.size(), item.Dest);
                renamed = true;
                if (item.DateTime != 0) when = item.DateTime;
            }
            name = Slashes(name);
            if (renamed) text += LoadZipStr(GE_RenamedTo, " renamed to: ") + name;
            if (OnMessage) OnMessage(this, 0, text);
            uint16_t flags = e.ch.flags;
            if (!renamed) name = e.rawName;
            else if (!Ascii(name) && zip::IsValidUtf8(name)) flags |= zip::kFlagUtf8;
            if (when != 0 && TimeGuardsPassword(e)) {
                when = 0;
                ++datesKept;
            }
            if (name.size() > 0xFFFF) throw zip::ZipFileError(zip::kErrWrite, "name too long");
            if (out.Position() >= 0xFFFFFFFFLL) throw EZipComponent(DS_Zip64, true);
            Work w{name, when, static_cast<uint32_t>(out.Position()), flags};
            zip::LocalHeader lh = e.lh;
            lh.nameLength = static_cast<uint16_t>(name.size());
            lh.flags = static_cast<uint16_t>(lh.flags | (flags & zip::kFlagUtf8));
            if (when != 0) {
                lh.modDate = static_cast<uint16_t>(when >> 16);
                lh.modTime = static_cast<uint16_t>(when & 0xFFFF);
            }
            if (OnProgress)
                OnProgress(this, NewFile, name, static_cast<uint32_t>(name.size() + e.ch.extraLength + e.ch.compressedSize));
            uint8_t h[zip::kLocalHeaderSize];
            zip::StoreLocal(lh, h);
            try {
                out.Write(h, sizeof h);
                out.Write(name.data(), name.size());
            } catch (const zip::ZipFileError&) {
                throw EZipComponent(11028, true);
            }
            // Extra field, data and descriptor as they are.
            out.CopyFrom(archive.fd, e.localPos + zip::kLocalHeaderSize + e.lh.nameLength,
                         int64_t(e.lh.extraLength) + e.ch.compressedSize + e.descriptorLength, zip::kErrData, &CopyProgressOf,
                         &ctx);
            work.push_back(std::move(w));
        }
        progressOn_ = false;
        int64_t centralOffset = out.Position();
        for (size_t i = 0; i < archive.entries.size(); ++i) {
            const auto& e = archive.entries[i];
            zip::CentralHeader ch = e.ch;
            ch.localHeaderOffset = work[i].offset;
            ch.flags = work[i].flags;
            if (work[i].dateTime != 0) {
                ch.modDate = static_cast<uint16_t>(work[i].dateTime >> 16);
                ch.modTime = static_cast<uint16_t>(work[i].dateTime & 0xFFFF);
            }
            zip::WriteCentral(out, ch, work[i].name, e.centralExtra, e.comment);
        }
        zip::WriteEnd(out, static_cast<uint16_t>(archive.entries.size()), out.Position() - centralOffset, centralOffset,
                      archive.comment);
        if (oldTime >= 0) out.SetFileTime(oldTime);
        out.Commit();
        keptDates = datesKept;
    } catch (const std::exception&) {
        result = RewriteFailed();
    }
    progressOn_ = false;
    if (progressStarted && OnProgress) OnProgress(this, EndOfBatch, "", 0);
    zipBusy_ = false;
    StopWaitCursor();
    if (result == 0) List();
    if (keptDates > 0) ShowZipMessage(GE_DatesKept, std::to_string(keptDates));
    return result;
}

}  // namespace vellicor
