#include "archives/UnArchiveZip.h"

#include "archives/zip/ZipComponent.h"
#include "archives/MemberMessages.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

TZipArchiveReader::TZipArchiveReader(void* Owner) : Zip_(std::make_unique<TZipComponent>(Owner)) {
    VTRACE("TZipArchiveReader::TZipArchiveReader");
    // The list is built from the component's directory after every read of it, failed or not.
    Zip_->OnDirUpdate = [this](TZipComponent* Sender) {
        Names_.Clear();
        for (int i = 0; i < Sender->GetCount(); ++i) Names_.Add(Sender->ZipContents()[static_cast<size_t>(i)]->FileName);
    };
    // A member the library cannot unpack (its method or encryption) would otherwise only
    // show the error page: the reader is told why, once per archive.
    Zip_->OnMessage = [this](TZipComponent*, int ErrCode, const std::string& Message) {
        // The library's own words on a damaged member, for the message of Extract.
        if ((ErrCode == UZ_CORRUPT || ErrCode == UZ_FORMAT) && Damage_.empty()) Damage_ = Message;
        if (ErrCode != UZ_UNSUPPORTED || UnsupportedShown_) return;
        UnsupportedShown_ = true;
        ShowMessageBox(ArchiveName_, Message, mbOK, TMsgKind::Information);
    };
}

TZipArchiveReader::~TZipArchiveReader() {
    VTRACE("TZipArchiveReader::~TZipArchiveReader");
    if (UnzDllLoaded_) Zip_->Unload_Unz_Dll();
}

void TZipArchiveReader::Close() {
    VTRACE("TZipArchiveReader::Close");
    if (TZipStream* s = Zip_->ZipStream()) s->Clear();
}

void TZipArchiveReader::SetFileName(const std::string& ArchiveName) {
    VTRACE("TZipArchiveReader::SetFileName");
    Names_.Clear();
    ArchiveName_ = ArchiveName;
    UnsupportedShown_ = false;
    if (!UnzDllLoaded_) {
        Zip_->Load_Unz_Dll();
        UnzDllLoaded_ = true;
    }
    Zip_->SetZipFileName(ArchiveName);
}

int64_t TZipArchiveReader::MemberSize(const std::string& MemberName) const {
    VTRACE("TZipArchiveReader::MemberSize");
    int idx = Zip_->FindEntry(MemberName);
    return idx < 0 ? -1 : static_cast<int64_t>(Zip_->ZipContents()[static_cast<size_t>(idx)]->UncomprSize);
}

TMemoryStream* TZipArchiveReader::Extract(const std::string& MemberName) {
    VTRACE("TZipArchiveReader::Extract");
    LostToPassword_ = false;
    Damage_.clear();
    TMemoryStream* s = Zip_->ExtractFileToStream(MemberName);
    if (s) return s;
    const int idx = Zip_->FindEntry(MemberName);
    const bool encrypted = idx >= 0 && (Zip_->ZipContents()[static_cast<size_t>(idx)]->Flag & 1) != 0;
    switch (Zip_->ErrCode()) {
        case UZ_PASSWORD:
            LostToPassword_ = true;
            break;
        case 0:
            // Nothing was said, yet the member was not read: its password question was
            // answered "Abort".
            LostToPassword_ = encrypted && Zip_->PasswordQuestionsStopped();
            break;
        case UZ_CRC:
        case UZ_CORRUPT:
        case UZ_FORMAT: {
            // Said here, since the library says it to no one; the loader does not read the
            // member again, so it is said once per opening.
            const std::string why = Zip_->ErrCode() == UZ_CRC ? kCrcMismatchText : Damage_;
            ShowMessageBox(ArchiveName_,
                           MemberDamagedText(MemberName, why),
                           mbOK, TMsgKind::Error);
            break;
        }
        default:
            break;
    }
    return nullptr;
}

}  // namespace vellicor
