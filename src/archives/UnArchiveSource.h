#pragma once
// The archive front end as the file loader's archive source.
#include <string>

#include "archives/UnArchive.h"
#include "pages/ArchiveSource.h"

namespace vellicor {

class TUnArchiveSource : public IArchiveSource {
public:
    explicit TUnArchiveSource(void* Owner) : Archive(Owner) {}
    bool Open(const std::string& archiveName, TStringList& memberNames) override;
    TStream* Extract(const std::string& memberName) override;
    void Close() override;
    int64_t MemberSize(const std::string& memberName) override { return Archive.MemberSize(memberName); }
    bool FailureMayPass() const override { return Archive.FailureMayPass(); }
    TUnArchive& FrontEnd() { return Archive; }

private:
    TUnArchive Archive;
};

}  // namespace vellicor
