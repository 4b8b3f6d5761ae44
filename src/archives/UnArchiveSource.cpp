#include "archives/UnArchiveSource.h"

#include "trace/Trace.h"

namespace vellicor {

bool TUnArchiveSource::Open(const std::string& archiveName, TStringList& memberNames) {
    VTRACE("TUnArchiveSource::Open");
    Archive.SetFileName(archiveName);
    memberNames.Clear();
    // A front end that refused (an archive operation is running) still lists the archive it
    // had open: those names are not this archive's.
    if (Archive.ArchiveFileName() != archiveName) return false;
    for (const std::string& name : Archive.FileNames()) memberNames.Add(name);
    return memberNames.Count() > 0;
}

TStream* TUnArchiveSource::Extract(const std::string& memberName) {
    VTRACE("TUnArchiveSource::Extract");
    return Archive.Extract(memberName);
}

void TUnArchiveSource::Close() {
    VTRACE("TUnArchiveSource::Close");
    Archive.SetFileName("");
}

}  // namespace vellicor
