#pragma once
// The zip component as the front end's reader for zip archives.
#include <memory>
#include <string>

#include "archives/UnArchive.h"

namespace vellicor {

class TZipComponent;

class TZipArchiveReader : public TArchiveReader {
public:
    explicit TZipArchiveReader(void* Owner);
    ~TZipArchiveReader() override;
    void SetFileName(const std::string& ArchiveName) override;
    const TStringList& FileNames() const override { return Names_; }
    TMemoryStream* Extract(const std::string& MemberName) override;
    int64_t MemberSize(const std::string& MemberName) const override;
    bool FailureMayPass() const override { return LostToPassword_; }
    void Close() override;
    TZipComponent& Zip() { return *Zip_; }

private:
    std::unique_ptr<TZipComponent> Zip_;
    TStringList Names_;
    bool UnzDllLoaded_ = false;
    std::string ArchiveName_;
    bool UnsupportedShown_ = false;  // one such message per opening of an archive
    bool LostToPassword_ = false;    // the last Extract failed on the member's password
    std::string Damage_;             // the library's first word on damage during an Extract
};

}  // namespace vellicor
