#pragma once
// The one way the page engine reads archives: decide what kind an archive is (by content,
// then by extension), list its members, and extract one member into a stream that stays
// with the archive side. Zip, rar and ace archives are read by readers plugged in behind
// TArchiveReader; tar archives by the tar reader directly.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Streams.h"
#include "platform/StringList.h"

namespace vellicor {

class TTarArchive;

enum TArchiveType : int { atNone = 0, atZip = 1, atRar = 2, atAce = 3, atTar = 4 };

// Extension tests (".zip"/".cbz", ".rar"/".cbr", ".ace"/".cba", ".tar"/".cbt"), any case.
bool IsArchiveFile(std::string_view FileName);
bool IsZipFile(std::string_view FileName);
bool IsRarFile(std::string_view FileName);
bool IsAceFile(std::string_view FileName);
bool IsTarFile(std::string_view FileName);
// For a part of a split zip set other than the last (name.z01, name.z02, ...): the words that
// name the set and ask for its last part, which alone can open it; "" for any other name.
std::string SplitZipPartNotice(const std::string& FileName);
// Content test by signature; atNone when the file cannot be read or matches none. A POSIX
// tar archive ("ustar" and a zero byte) is not recognised here, only by its extension.
TArchiveType CheckArchiveFileType(const std::string& FileName);

// A reader for one kind of archive (zip, rar, ace) as the front end drives it.
class TArchiveReader {
public:
    virtual ~TArchiveReader() = default;
    // Opens the archive and reads its member list. The reader reports its own failures and
    // then leaves the list empty, except that an archive cut short keeps the members before
    // the cut (said once). May let window messages through.
    virtual void SetFileName(const std::string& ArchiveName) = 0;
    // Member names in the order they are to be listed.
    virtual const TStringList& FileNames() const = 0;
    // The member's data in a stream the reader owns (valid until its next Extract or
    // SetFileName), or null. May let window messages through.
    virtual TMemoryStream* Extract(const std::string& MemberName) = 0;
    // The member's unpacked size as the archive states it; -1 when unknown.
    virtual int64_t MemberSize(const std::string& MemberName) const {
        (void)MemberName;
        return -1;
    }
    // Lets go of what the reader keeps open between extractions, once its archive is left,
    // and of the last member's bytes (a page of hundreds of MB is not held until exit).
    virtual void Close() {}
    // After an Extract that delivered nothing: true when the member was lost to its password
    // (a wrong one, or the question cancelled), so that another try asks again.
    virtual bool FailureMayPass() const { return false; }
};

// The reader this build has for zip, rar or ace archives; null when it has none.
std::unique_ptr<TArchiveReader> CreateArchiveReader(TArchiveType Type, void* Owner);

class TUnArchive {
public:
    // Owner is the sender of OnArchiveReady and is handed to the readers.
    explicit TUnArchive(void* Owner);
    ~TUnArchive();
    TUnArchive(const TUnArchive&) = delete;
    TUnArchive& operator=(const TUnArchive&) = delete;

    // Forgets the previous archive, opens this one and lists it; OnArchiveReady fires from
    // inside the call when the list is not empty. A damaged or unreadable archive leaves the
    // list empty and is reported in a message box. Ignored while an archive operation runs.
    void SetFileName(const std::string& FileName);
    // The member (named exactly as listed) positioned at 0, or null when it cannot be
    // delivered. The stream stays with the front end: valid until the next Extract or
    // SetFileName, never freed by the caller. Null while an archive operation runs.
    TMemoryStream* Extract(const std::string& FileName);
    // The member's size as listed, without unpacking it; -1 when unknown.
    int64_t MemberSize(const std::string& FileName) const;
    // After an Extract that delivered nothing: whether its reader lost the member to its
    // password, so that another try asks again (never for tar).
    bool FailureMayPass() const;

    void GetArchiveFileType(const std::string& FileName);  // sets ArchiveType
    void TidyUpArchiveFile();
    // Builds FileNames from the active reader and fires OnArchiveReady when it is not empty.
    void ArchiveDirectoryReady(void* Sender);

    // Plugs in (or, with null, removes) the reader for zip, rar or ace archives.
    void SetReader(TArchiveType Type, std::unique_ptr<TArchiveReader> Reader);

    const TStringList& FileNames() const { return FileNames_; }
    const std::string& ArchiveFileName() const { return ArchiveFileName_; }
    TArchiveType ArchiveType() const { return ArchiveType_; }
    // True while a reader runs; the front end refuses to be entered again meanwhile.
    bool Busy() const { return Busy_; }
    int TarPositionsCapacity() const { return TarPositionsCapacity_; }

    std::function<void(void* Sender)> OnArchiveReady;

private:
    class BusyScope;
    TArchiveReader* Reader(TArchiveType Type) const;
    void ListTar();
    TMemoryStream* ExtractTar(const std::string& FileName);
    void ReportFailure(const std::string& ArchiveName, const std::string& Text);

    void* Owner;
    std::string ArchiveFileName_;
    TArchiveType ArchiveType_ = atNone;
    std::unique_ptr<TArchiveReader> Readers_[3];  // zip, rar, ace
    std::unique_ptr<TTarArchive> Tar;
    std::vector<int64_t> TarPositions;  // header position of each member of FileNames_
    std::vector<int64_t> TarSizes;      // and its size
    int TarPositionsCapacity_ = 0;
    std::unique_ptr<TMemoryStream> TarStream;
    TStringList FileNames_;
    bool Busy_ = false;
};

}  // namespace vellicor
