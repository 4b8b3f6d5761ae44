#pragma once
// Reading and writing tar archives (512-byte header blocks, ustar layout). The reader walks
// headers in any seekable stream; GNU long-name records and pax extended headers are folded
// into the member they describe, so callers only ever see real members.
#include <bitset>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/Streams.h"

namespace vellicor {

// Days since 30 December 1899, with the time of day as fraction.
using TDateTime = double;

// A damaged or unreadable archive, or a failed write. The message says what and where.
class ETarArchive : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum TTarPermission : int {
    tpReadByOwner, tpWriteByOwner, tpExecuteByOwner,
    tpReadByGroup, tpWriteByGroup, tpExecuteByGroup,
    tpReadByOther, tpWriteByOther, tpExecuteByOther
};
using TTarPermissions = std::bitset<9>;

enum TFileType : int {
    ftNormal, ftLink, ftSymbolicLink, ftCharacter, ftBlock, ftDirectory,
    ftFifo, ftContiguous, ftDumpDir, ftMultiVolume, ftVolumeHeader
};
extern const char* const FILETYPE_NAME[11];

enum TTarMode : int { tmSetUid, tmSetGid, tmSaveText };
using TTarModes = std::bitset<3>;

struct TTarDirRec {
    std::string Name;
    int64_t Size = 0;
    TDateTime DateTime = 0;
    TTarPermissions Permissions;
    TFileType FileType = ftNormal;
    std::string LinkName;
    int32_t UID = 0;
    int32_t GID = 0;
    std::string UserName;
    std::string GroupName;
    bool ChecksumOK = false;
    TTarModes Mode;
    std::string Magic;
    int32_t MajorDevNo = 0;
    int32_t MinorDevNo = 0;
    // Where this member's headers begin (its first long-name or pax record, if any).
    int64_t FilePos = 0;
    // A GNU or pax sparse member: listed under its real name, but its data cannot be read.
    bool Sparse = false;
};

void ClearDirRec(TTarDirRec& rec);
std::string PermissionString(const TTarPermissions& permissions);  // "rwxr-x---"
std::string ConvertFilename(const std::string& fileName);          // '\' becomes '/'
// Modification time of a file (UTC); 0 when it cannot be read.
TDateTime FileTimeGMT(const std::string& fileName);

class TTarArchive {
public:
    explicit TTarArchive(TStream& stream);  // not owned
    // Opens the file (read only unless mode says otherwise); throws ETarArchive when it cannot.
    explicit TTarArchive(const std::string& fileName, FileMode mode = FileMode::OpenRead);
    virtual ~TTarArchive();
    TTarArchive(const TTarArchive&) = delete;
    TTarArchive& operator=(const TTarArchive&) = delete;

    // Back to the start; forgets the damage seen.
    void Reset();
    // Next member; false at the end of the archive. Damage does not stop the walk: a header
    // that fails its checksum is delivered with ChecksumOK false when its size leads to the
    // next header, otherwise it is passed over up to the next block that reads as a header;
    // a member running past the end is delivered and only its read fails. Each such place
    // is counted in DamageCount. Throws ETarArchive when the stream cannot be read.
    bool FindNext(TTarDirRec& rec);
    int DamageCount() const { return DamageCount_; }
    const std::string& FirstDamage() const { return FirstDamage_; }
    // One of those places is the archive's end, met inside a header or a member's data (an
    // interrupted download); CutMember names the member whose data it cut, if any.
    bool EndsEarly() const { return EndsEarly_; }
    const std::string& CutMember() const { return CutMember_; }
    // The current member's data (nothing once it has been read); each throws ETarArchive when
    // the data cannot be read in full.
    void ReadFile(TStream& dest);                      // appended at dest's end
    void ReadFile(void* buffer, int64_t bufferSize);   // bufferSize must hold the member
    void ReadFile(const std::string& fileName);        // creates or truncates the file
    std::string ReadFile();
    void GetFilePos(int64_t& current, int64_t& size);
    // Moves to pos when it lies before the end of the stream; callers Reset first.
    void SetFilePos(int64_t pos);
    int64_t BytesToGo() const { return BytesToGo_; }

private:
    void ReadBlock(uint8_t* block);
    void SkipTo(int64_t pos);
    std::string ReadMetaData(int64_t size, bool& used);
    template <typename Sink> void CopyData(Sink&& sink);
    void NoteDamage(const std::string& what);
    bool HeaderAt(int64_t pos, int64_t streamSize);
    bool ZerosTo(int64_t pos, int64_t end);  // less than a block from pos to end, all zero

    TStream* Stream;
    std::unique_ptr<TFileStream> OwnedStream;  // set when the reader opened the file itself
    int64_t BytesToGo_ = 0;
    bool CurrentSparse_ = false;
    int DamageCount_ = 0;
    std::string FirstDamage_;
    bool EndsEarly_ = false;
    std::string CutMember_;
};

class TTarWriter {
public:
    explicit TTarWriter(TStream& stream);  // not owned
    // Creates the file; throws ETarArchive when it cannot.
    explicit TTarWriter(const std::string& fileName, FileMode mode = FileMode::Create);
    virtual ~TTarWriter();  // finalizes an archive not yet finalized
    TTarWriter(const TTarWriter&) = delete;
    TTarWriter& operator=(const TTarWriter&) = delete;

    // Every Add throws ETarArchive when the data cannot be read or written, or the member
    // cannot be represented (a size of 8 GiB or more).
    void AddFile(const std::string& fileName, const std::string& tarFilename = "");
    void AddStream(TStream& stream, const std::string& tarFilename, TDateTime fileDateGmt);
    void AddString(const std::string& contents, const std::string& tarFilename, TDateTime fileDateGmt);
    void AddDir(const std::string& dirname, TDateTime dateGmt, int64_t maxDirSize = 0);
    void AddSymbolicLink(const std::string& filename, const std::string& linkname, TDateTime dateGmt);
    void AddLink(const std::string& filename, const std::string& linkname, TDateTime dateGmt);
    void AddVolumeHeader(const std::string& volumeId, TDateTime dateGmt);
    // Ends the archive with the two zero blocks readers look for.
    void Finalize();
    bool Finalized() const { return Finalized_; }

    // Stamped on every header written.
    TTarPermissions Permissions = TTarPermissions().set();
    int32_t UID = 0;
    int32_t GID = 0;
    std::string UserName;
    std::string GroupName;
    TTarModes Mode;
    std::string Magic = "ustar";

private:
    void WriteHeader(const TTarDirRec& rec);
    void WriteBlock(const uint8_t* block);
    void CheckOpen() const;
    void AddLinkRecord(const std::string& filename, const std::string& linkname, TDateTime dateGmt, TFileType type);

    TStream* Stream;
    std::unique_ptr<TFileStream> OwnedStream;
    bool Finalized_ = false;
};

}  // namespace vellicor
