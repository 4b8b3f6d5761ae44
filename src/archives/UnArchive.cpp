#include "archives/UnArchive.h"

#include <cstring>

#include "archives/AceIf.h"
#include "archives/MemberMessages.h"
#include "archives/TarArchive.h"
#include "archives/UnArchiveZip.h"
#include "archives/Unrarif.h"
#include "archives/zip/ZipSpan.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

bool HasExtension(std::string_view FileName, const char* a, const char* b) {
    std::string ext = LowerCase(ExtractFileExt(FileName));
    return ext == a || ext == b;
}

bool HasSignature(TFileStream& f, int64_t offset, const char* signature, size_t length) {
    char buf[16];
    if (f.Seek(offset, SeekOrigin::Begin) != offset) return false;
    return f.Read(buf, static_cast<int64_t>(length)) == static_cast<int64_t>(length) &&
           std::memcmp(buf, signature, length) == 0;
}

const char* const kReaderNameLabels[3] = {
    "TUnArchive::ArchiveDirectoryReady zde->FileName",
    "TUnArchive::ArchiveDirectoryReady UnRar->FileNames->Strings [x]",
    "TUnArchive::ArchiveDirectoryReady UnAce->FileNames->Strings [x]",
};

// A .tar or .cbt packed whole by a compressor: named, so that it is not taken for damage.
std::string CompressedTarKind(const std::string& FileName) {
    VTRACE("UnArchive::CompressedTarKind");
    TFileStream f;
    if (!f.Open(FileName, FileMode::OpenRead)) return "";
    if (HasSignature(f, 0, "\x1f\x8b", 2)) return "gzip";
    if (HasSignature(f, 0, "BZh", 3)) return "bzip2";
    if (HasSignature(f, 0, "\xfd" "7zXZ\0", 6)) return "xz";
    if (HasSignature(f, 0, "\x28\xb5\x2f\xfd", 4)) return "zstd";
    if (HasSignature(f, 0, "LZIP", 4)) return "lzip";
    if (HasSignature(f, 0, "\x1f\x9d", 2)) return "compress";
    return "";
}

}  // namespace

bool IsZipFile(std::string_view FileName) {
    VTRACE("UnArchive::IsZipFile");
    return HasExtension(FileName, ".zip", ".cbz");
}

bool IsRarFile(std::string_view FileName) {
    VTRACE("UnArchive::IsRarFile");
    return HasExtension(FileName, ".rar", ".cbr");
}

bool IsAceFile(std::string_view FileName) {
    VTRACE("UnArchive::IsAceFile");
    return HasExtension(FileName, ".ace", ".cba");
}

bool IsTarFile(std::string_view FileName) {
    VTRACE("UnArchive::IsTarFile");
    return HasExtension(FileName, ".tar", ".cbt");
}

bool IsArchiveFile(std::string_view FileName) {
    VTRACE("UnArchive::IsArchiveFile");
    return IsZipFile(FileName) || IsRarFile(FileName) || IsAceFile(FileName) || IsTarFile(FileName);
}

std::string SplitZipPartNotice(const std::string& FileName) {
    VTRACE("UnArchive::SplitZipPartNotice");
    const std::string ext = ExtractFileExt(FileName);
    if (!DiskSpan::IsSplitPartExt(ext)) return "";
    const std::string stem = FileName.substr(0, FileName.size() - ext.size());
    std::string last = stem + (ext[1] == 'Z' ? ".ZIP" : ".zip");
    if (!FileExists(last) && FileExists(stem + (ext[1] == 'Z' ? ".zip" : ".ZIP"))) last = stem + (ext[1] == 'Z' ? ".zip" : ".ZIP");
    std::string text = ExtractFileName(FileName) + " is part " + std::to_string(StrToIntDef(ext.substr(2), 0)) +
                       " of the split zip set " + ExtractFileName(last) + ": please open its last part, " + last + ".";
    if (!FileExists(last)) text += "\nThat part is missing.";
    return text;
}

TArchiveType CheckArchiveFileType(const std::string& FileName) {
    VTRACE("UnArchive::CheckArchiveFileType");
    TFileStream f;
    if (FileName.empty() || !f.Open(FileName, FileMode::OpenRead)) return atNone;
    if (HasSignature(f, 0, "PK\x03\x04", 4)) return atZip;
    if (HasSignature(f, 0, "Rar!\x1a\x07", 6)) return atRar;
    if (HasSignature(f, 7, "**ACE**", 7)) return atAce;
    if (HasSignature(f, 257, "ustar  ", 7) || HasSignature(f, 257, "GNUtar ", 7)) return atTar;
    return atNone;
}

std::unique_ptr<TArchiveReader> CreateArchiveReader(TArchiveType Type, void* Owner) {
    VTRACE("UnArchive::CreateArchiveReader");
    switch (Type) {
        case atZip: return std::make_unique<TZipArchiveReader>(Owner);
        case atRar: return std::make_unique<TUnRar>(Owner);
        case atAce: return std::make_unique<TAceIf>(Owner);
        default:
            return nullptr;
    }
}

// Marks the front end busy while a reader runs, so that window messages let through by the
// reader cannot start a second archive operation; restores the previous state on exit.
class TUnArchive::BusyScope {
public:
    explicit BusyScope(TUnArchive& a) : a_(a), was_(a.Busy_) { a_.Busy_ = true; }
    ~BusyScope() { a_.Busy_ = was_; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    TUnArchive& a_;
    bool was_;
};

TUnArchive::TUnArchive(void* Owner) : Owner(Owner) {
    VTRACE("TUnArchive::TUnArchive");
    for (TArchiveType t : {atZip, atRar, atAce}) Readers_[t - atZip] = CreateArchiveReader(t, Owner);
}

TUnArchive::~TUnArchive() { VTRACE("TUnArchive::~TUnArchive"); }

void TUnArchive::SetReader(TArchiveType Type, std::unique_ptr<TArchiveReader> Reader) {
    VTRACE("TUnArchive::SetReader");
    if (Type >= atZip && Type <= atAce) Readers_[Type - atZip] = std::move(Reader);
}

TArchiveReader* TUnArchive::Reader(TArchiveType Type) const {
    return (Type >= atZip && Type <= atAce) ? Readers_[Type - atZip].get() : nullptr;
}

void TUnArchive::TidyUpArchiveFile() {
    VTRACE("TUnArchive::TidyUpArchiveFile");
    if (TArchiveReader* reader = Reader(ArchiveType_)) reader->Close();
    if (TarStream) TarStream->Clear();
    ArchiveFileName_.clear();
    FileNames_.Clear();
    ArchiveType_ = atNone;
}

void TUnArchive::GetArchiveFileType(const std::string& FileName) {
    VTRACE("TUnArchive::GetArchiveFileType");
    ArchiveType_ = CheckArchiveFileType(FileName);
    if (ArchiveType_ != atNone) return;
    if (IsZipFile(FileName)) ArchiveType_ = atZip;
    else if (IsRarFile(FileName)) ArchiveType_ = atRar;
    else if (IsAceFile(FileName)) ArchiveType_ = atAce;
    else if (IsTarFile(FileName)) ArchiveType_ = atTar;
    VTRACE_INT("TUnArchive::GetArchiveFileType ArchiveType", ArchiveType_);
}

void TUnArchive::ReportFailure(const std::string& ArchiveName, const std::string& Text) {
    VTRACE("TUnArchive::ReportFailure");
    VTRACE_STR("TUnArchive::ReportFailure Text", Text);
    ShowMessageBox(ArchiveName, Text, mbOK, TMsgKind::Error);
}

void TUnArchive::SetFileName(const std::string& FileName) {
    VTRACE("TUnArchive::SetFileName");
    if (Busy_) {
        VTRACE_STR("TUnArchive::SetFileName refused while busy", FileName);
        return;
    }
    TidyUpArchiveFile();
    GetArchiveFileType(FileName);
    switch (ArchiveType_) {
        case atZip:
        case atRar:
        case atAce: {
            TArchiveReader* reader = Reader(ArchiveType_);
            if (!reader) {
                TidyUpArchiveFile();
                ReportFailure(FileName, "Archives of this kind cannot be read.");
                return;
            }
            ArchiveFileName_ = FileName;
            {
                BusyScope busy(*this);
                reader->SetFileName(FileName);
            }
            // Fired after the reader has finished, so that whoever listens may extract or open
            // the next archive at once.
            ArchiveDirectoryReady(Owner);
            return;
        }
        case atTar: {
            const std::string packer = CompressedTarKind(FileName);
            if (!packer.empty()) {
                TidyUpArchiveFile();
                ReportFailure(FileName, "The archive is compressed with " + packer +
                                            "; tar archives are read only uncompressed.");
                return;
            }
            ArchiveFileName_ = FileName;
            Tar.reset();
            try {
                Tar = std::make_unique<TTarArchive>(FileName, FileMode::OpenRead);
            } catch (const ETarArchive& e) {
                TidyUpArchiveFile();
                ReportFailure(FileName, e.what());
                return;
            }
            if (!TarStream) TarStream = std::make_unique<TMemoryStream>();
            TarStream->Clear();
            ArchiveDirectoryReady(Owner);
            return;
        }
        case atNone:
            ArchiveFileName_.clear();
            return;
    }
}

void TUnArchive::ListTar() {
    VTRACE("TUnArchive::ListTar");
    BusyScope busy(*this);
    std::string damage;
    int damageCount = 0;
    std::vector<std::string> sparse;
    int badChecksums = 0;
    std::string firstBadChecksum;
    bool endsEarly = false;
    std::string cutMember;
    try {
        TTarDirRec rec;
        Tar->Reset();
        while (Tar->FindNext(rec)) {
            if (rec.Sparse) {  // its data would be wrong bytes
                sparse.push_back(rec.Name);
                continue;
            }
            // Listed all the same: its size led to the next header, so only its name or
            // dates may be wrong.
            if (!rec.ChecksumOK && ++badChecksums == 1)
                firstBadChecksum = "A header of the archive is damaged (wrong checksum) at byte " + std::to_string(rec.FilePos);
            if (FileNames_.Count() >= TarPositionsCapacity_) {
                TarPositionsCapacity_ += 100;
                TarPositions.resize(static_cast<size_t>(TarPositionsCapacity_));
            }
            FileNames_.Add(rec.Name);
            TarPositions[static_cast<size_t>(FileNames_.Count() - 1)] = rec.FilePos;
            TarSizes.resize(TarPositions.size());
            TarSizes[static_cast<size_t>(FileNames_.Count() - 1)] = rec.Size;
            VTRACE_STR("TUnArchive::ArchiveDirectoryReady Tar->Name", rec.Name);
        }
        damage = Tar->DamageCount() > 0 ? Tar->FirstDamage() : firstBadChecksum;
        damageCount = Tar->DamageCount() + badChecksums;
        endsEarly = Tar->EndsEarly();
        cutMember = Tar->CutMember();
        if (endsEarly) {
            // The cut is told as an archive that ends early; what else is wrong follows.
            --damageCount;
            damage = Tar->DamageCount() > 1 ? Tar->FirstDamage() : firstBadChecksum;
        }
        Tar->Reset();
    } catch (const ETarArchive& e) {
        damage = e.what();  // what was listed before the failure stays
        damageCount = 1;
    }
    if (damage.empty() && sparse.empty() && !endsEarly) return;
    // One message for everything wrong with the archive.
    std::string text;
    if (endsEarly) {
        // Members are listed in archive order: the last whole one comes before the cut one.
        int last = FileNames_.Count() - 1;
        if (last >= 0 && !cutMember.empty() && FileNames_[last] == cutMember) --last;
        text = ArchiveEndsEarlyText(last >= 0 ? FileNames_[last] : std::string(), cutMember);
    }
    if (!damage.empty()) {
        if (!text.empty()) text += "\n";
        text += FileNames_.Count() > 0 ? "The archive is damaged; its intact members are shown.\n"
                                       : "The archive is damaged and cannot be read.\n";
        text += damage;
        if (damageCount > 1) text += "\n(and " + std::to_string(damageCount - 1) + " more damaged places)";
    }
    if (!sparse.empty()) {
        if (!text.empty()) text += "\n";
        text += "Sparse members cannot be shown:";
        for (size_t i = 0; i < sparse.size() && i < 10; ++i) text += " \"" + ShownName(sparse[i]) + "\"";
        if (sparse.size() > 10) text += " and " + std::to_string(sparse.size() - 10) + " more";
    }
    std::string name = ArchiveFileName_;
    if (FileNames_.Count() == 0) {
        TidyUpArchiveFile();
        Tar.reset();
    }
    ReportFailure(name, text);
}

void TUnArchive::ArchiveDirectoryReady(void* Sender) {
    VTRACE("TUnArchive::ArchiveDirectoryReady");
    (void)Sender;
    if (Busy_) return;
    FileNames_.Clear();
    switch (ArchiveType_) {
        case atZip:
        case atRar:
        case atAce:
            if (TArchiveReader* reader = Reader(ArchiveType_)) {
                for (const std::string& name : reader->FileNames()) {
                    FileNames_.Add(name);
                    VTRACE_STR(kReaderNameLabels[ArchiveType_ - atZip], name);
                }
            }
            break;
        case atTar:
            if (Tar) ListTar();
            break;
        case atNone:
            break;
    }
    if (FileNames_.Count() > 0 && OnArchiveReady) OnArchiveReady(Owner);
}

TMemoryStream* TUnArchive::ExtractTar(const std::string& FileName) {
    VTRACE("TUnArchive::ExtractTar");
    int index = -1;
    for (int i = 0; i < FileNames_.Count(); ++i)
        if (FileNames_[i] == FileName) {
            index = i;
            break;
        }
    if (index < 0 || !Tar || !TarStream) return nullptr;
    BusyScope busy(*this);
    TarStream->Reuse();
    try {
        int64_t current = 0, size = 0;
        Tar->GetFilePos(current, size);
        int64_t pos = TarPositions[static_cast<size_t>(index)];
        // Members taken in list order need no seek: the reader already stands there.
        if (pos != current || Tar->BytesToGo() != 0) {
            Tar->Reset();
            Tar->SetFilePos(pos);
        }
        TTarDirRec rec;
        if (!Tar->FindNext(rec) || rec.Name != FileName) {
            VTRACE_STR("TUnArchive::Extract", "Filename mismatch. Will not use this file.");
            return nullptr;
        }
        Tar->ReadFile(*TarStream);
    } catch (const ETarArchive& e) {
        VTRACE_STR("TUnArchive::Extract Error", e.what());
        TarStream->Clear();
        return nullptr;
    }
    TarStream->SetPosition(0);
    return TarStream.get();
}

int64_t TUnArchive::MemberSize(const std::string& FileName) const {
    VTRACE("TUnArchive::MemberSize");
    if (ArchiveType_ == atTar) {
        for (int i = 0; i < FileNames_.Count() && static_cast<size_t>(i) < TarSizes.size(); ++i)
            if (FileNames_[i] == FileName) return TarSizes[static_cast<size_t>(i)];
        return -1;
    }
    TArchiveReader* reader = Reader(ArchiveType_);
    return reader ? reader->MemberSize(FileName) : -1;
}

bool TUnArchive::FailureMayPass() const {
    TArchiveReader* reader = Reader(ArchiveType_);
    return reader && reader->FailureMayPass();
}

TMemoryStream* TUnArchive::Extract(const std::string& FileName) {
    VTRACE("TUnArchive::Extract");
    if (Busy_) {
        VTRACE_STR("TUnArchive::Extract refused while busy", FileName);
        return nullptr;
    }
    switch (ArchiveType_) {
        case atZip:
        case atRar:
        case atAce: {
            TArchiveReader* reader = Reader(ArchiveType_);
            if (!reader) return nullptr;
            TMemoryStream* s = nullptr;
            {
                BusyScope busy(*this);
                s = reader->Extract(FileName);
            }
            if (s) s->SetPosition(0);
            return s;
        }
        case atTar:
            return ExtractTar(FileName);
        case atNone:
            return nullptr;
    }
    return nullptr;
}

}  // namespace vellicor
