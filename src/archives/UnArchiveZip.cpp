#include "archives/UnArchiveZip.h"

#include "archives/zip/ZipComponent.h"
#include "trace/Trace.h"

namespace vellicor {

TZipArchiveReader::TZipArchiveReader(void* Owner) : Zip_(std::make_unique<TZipComponent>(Owner)) {
    VTRACE("TZipArchiveReader::TZipArchiveReader");
    // The list is built from the component's directory after every read of it, failed or not.
    Zip_->OnDirUpdate = [this](TZipComponent* Sender) {
        Names_.Clear();
        for (int i = 0; i < Sender->GetCount(); ++i) Names_.Add(Sender->ZipContents()[static_cast<size_t>(i)]->FileName);
    };
}

TZipArchiveReader::~TZipArchiveReader() {
    VTRACE("TZipArchiveReader::~TZipArchiveReader");
    if (UnzDllLoaded_) Zip_->Unload_Unz_Dll();
}

void TZipArchiveReader::SetFileName(const std::string& ArchiveName) {
    VTRACE("TZipArchiveReader::SetFileName");
    Names_.Clear();
    if (!UnzDllLoaded_) {
        Zip_->Load_Unz_Dll();
        UnzDllLoaded_ = true;
    }
    Zip_->SetZipFileName(ArchiveName);
}

TMemoryStream* TZipArchiveReader::Extract(const std::string& MemberName) {
    VTRACE("TZipArchiveReader::Extract");
    return Zip_->ExtractFileToStream(MemberName);
}

}  // namespace vellicor
