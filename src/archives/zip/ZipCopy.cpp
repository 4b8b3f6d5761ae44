// Copying entries from this component's archive into another component's archive without
// unpacking them; the destination is rebuilt beside itself and then replaced.
#include <sys/stat.h>

#include <exception>
#include <new>
#include <string>
#include <vector>

#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipInternal.h"
#include "archives/zip/ZipWriteSupport.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {
// Names compare without case, "/" and "\" alike.
std::string Key(const std::string& s) {
    std::string k = LowerCase(s);
    for (char& c : k)
        if (c == '\\') c = '/';
    return k;
}
int FindByName(const zip::ArchiveFile& a, CPOpts codePage, const std::string& name) {
    std::string key = Key(name);
    for (size_t i = 0; i < a.entries.size(); ++i) {
        const auto& e = a.entries[i];
        if (Key(e.rawName) == key || Key(zip::DecodeStoredName(e.rawName, codePage, e.ch.versionMadeBy, e.ch.flags)) == key)
            return static_cast<int>(i);
    }
    return -1;
}
}  // namespace

// Called from a handler: tells the user why writing an archive failed; its result code.
int TZipComponent::RewriteFailed() {
    try {
        throw;
    } catch (const EZipComponent& e) {
        ShowExceptionError(e);
        return -7;
    } catch (const zip::ZipFileError& e) {
        ShowExceptionError(EZipComponent(e.code, true));
        return -7;
    } catch (const std::bad_alloc&) {
        ShowZipMessage(GE_NoMem);
        return -8;
    } catch (const std::exception& e) {
        ShowZipMessage(DS_UnknownError, e.what());  // the text ends in a line break
        return -9;
    }
}

int TZipComponent::CopyZippedFiles(TZipComponent* DestZipComponent, bool DeleteFromSource, OvrOpts OverwriteDest) {
    VTRACE("TZipComponent::CopyZippedFiles");
    if (zipBusy_) return -6;
    zipBusy_ = true;
    StartWaitCursor();
    progressOn_ = false;
    int result = 0;
    TStringList notCopied;
    TZipComponent* dest = DestZipComponent;
    bool replaced = false;
    try {
        // One file under two names (a link, another spelling) is still one archive.
        if (!dest || dest == this || ExpandFileName(dest->ZipFileName()) == ExpandFileName(zipFileName_) ||
            zip::SameFile(dest->ZipFileName(), zipFileName_))
            throw EZipComponent(CF_SourceIsDest, true);
        if (!FileExists(zipFileName_)) throw EZipComponent(DS_NoInFile, true);
        if (!FileExists(dest->ZipFileName())) throw EZipComponent(CF_DestFileNoOpen, true);
        zip::ArchiveFile source, target;
        source.Open(zipFileName_);
        try {
            target.Open(dest->ZipFileName());
        } catch (const zip::ZipFileError& e) {
            if (e.code == zip::kErrNoInput) throw EZipComponent(CF_DestFileNoOpen, true);
            throw;
        }
        // What happens to each destination entry, and the new ones after them.
        enum Tag { Keep, New, Overwrite, Kept, Ask };
        struct Item {
            int destIndex;  // -1: a new entry
            int sourceIndex;
            Tag tag;
            std::string name;
        };
        std::vector<Item> items;
        for (size_t i = 0; i < target.entries.size(); ++i)
            items.push_back({static_cast<int>(i), -1, Keep, target.entries[i].rawName});
        for (int k = 0; k < fSpecArgs_.Count(); ++k) {
            const std::string& line = fSpecArgs_[k];
            int s = FindByName(source, CodePage, line);
            if (s < 0) throw EZipComponent(CF_SourceNotFound, line, zipFileName_);
            int d = FindByName(target, dest->CodePage, line);
            if (d >= 0) {
                Item& it = items[static_cast<size_t>(d)];
                if (it.tag != Keep) continue;
                it.sourceIndex = s;
                it.tag = OverwriteDest == OvrAlways ? Overwrite : OverwriteDest == OvrNever ? Kept : Ask;
            } else {
                bool twice = false;
                for (const auto& it : items)
                    if (it.destIndex < 0 && it.sourceIndex == s) twice = true;
                if (!twice) items.push_back({-1, s, New, source.entries[static_cast<size_t>(s)].rawName});
            }
        }
        for (auto& it : items) {
            if (it.tag != Ask) continue;
            bool overwrite = false;
            std::string shown = ReplaceForwardSlash(it.name);
            if (dest->OnCopyZipOverwrite) {
                dest->OnCopyZipOverwrite(dest, shown, overwrite);
            } else {
                std::string text = FormatZipStr(LoadZipStr(CF_OverwriteYN, "Overwrite file '%s' in '%s' ?"), {shown, dest->ZipFileName()});
                overwrite = ShowMessageBox(kZipMessageCaption, text, mbYesNo, TMsgKind::Question) == mrYes;
            }
            it.tag = overwrite ? Overwrite : Kept;
        }
        // Names kept in the destination are neither copied nor deleted from the source.
        TStringList remaining;
        for (int k = 0; k < fSpecArgs_.Count(); ++k) {
            int d = FindByName(target, dest->CodePage, fSpecArgs_[k]);
            if (d >= 0 && items[static_cast<size_t>(d)].tag == Kept) notCopied.Add(fSpecArgs_[k]);
            else remaining.Add(fSpecArgs_[k]);
        }
        fSpecArgs_ = remaining;

        struct stat st {};
        int64_t oldTime = ::fstat(target.fd, &st) == 0 ? st.st_mtime : -1;
        zip::SafeOutput out;
        out.Create(dest->ZipFileName());
        try {
            out.CopyFrom(target.fd, 0, target.prefixSize, zip::kErrData);
        } catch (const zip::ZipFileError& e) {
            if (e.code == zip::kErrWrite) throw;
            throw EZipComponent(CF_SFXCopyError, true);
        }
        std::vector<uint32_t> offsets;
        for (const auto& it : items) {
            if (out.Position() >= 0xFFFFFFFFLL) throw EZipComponent(DS_Zip64, true);
            offsets.push_back(static_cast<uint32_t>(out.Position()));
            bool fromSource = it.tag == New || it.tag == Overwrite;
            const zip::ArchiveFile& a = fromSource ? source : target;
            const zip::ArchiveEntry& e = a.entries[static_cast<size_t>(fromSource ? it.sourceIndex : it.destIndex)];
            if (OnMessage && fromSource) OnMessage(this, 0, LoadZipStr(GE_CopyFile, "Copying: ") + ReplaceForwardSlash(e.rawName));
            try {
                // The whole local record: header, name, its own extra field, data, descriptor.
                out.CopyFrom(a.fd, e.localPos, e.LocalSpan(), zip::kErrData);
            } catch (const zip::ZipFileError& x) {
                if (x.code == zip::kErrWrite) throw;
                throw EZipComponent(CF_CopyFailed, fromSource ? zipFileName_ : dest->ZipFileName(), dest->ZipFileName());
            }
        }
        int64_t centralOffset = out.Position();
        for (size_t i = 0; i < items.size(); ++i) {
            const auto& it = items[i];
            bool fromSource = it.tag == New || it.tag == Overwrite;
            const zip::ArchiveFile& a = fromSource ? source : target;
            const zip::ArchiveEntry& e = a.entries[static_cast<size_t>(fromSource ? it.sourceIndex : it.destIndex)];
            zip::CentralHeader ch = e.ch;
            ch.localHeaderOffset = offsets[i];
            zip::WriteCentral(out, ch, e.rawName, e.centralExtra, e.comment);
        }
        if (items.size() > 0xFFFF) throw EZipComponent(DS_Zip64, true);
        zip::WriteEnd(out, static_cast<uint16_t>(items.size()), out.Position() - centralOffset, centralOffset, target.comment);
        if (oldTime >= 0) out.SetFileTime(oldTime);
        out.Commit();
        replaced = true;
    } catch (const std::exception&) {
        result = RewriteFailed();
    }
    zipBusy_ = false;
    // Only once the destination is safely replaced may anything leave the source.
    if (replaced && DeleteFromSource && fSpecArgs_.Count() > 0) Delete();
    if (result == 0) fSpecArgs_ = notCopied;
    if (dest && dest != this) dest->List();
    StopWaitCursor();
    return result;
}

}  // namespace vellicor
