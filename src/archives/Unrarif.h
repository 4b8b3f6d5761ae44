#pragma once
// The rar reader: lists a rar archive and extracts one member at a time through the rar
// library (libunrar.so, bound at its first use), which hands the data to a callback.
// Volume and password requests of the library go to the user; its error codes become
// message boxes captioned with the archive name.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "archives/UnArchive.h"

namespace vellicor {

class TUnRar : public TArchiveReader {
public:
    explicit TUnRar(void* Owner);
    ~TUnRar() override;
    TUnRar(const TUnRar&) = delete;
    TUnRar& operator=(const TUnRar&) = delete;

    // Lists the archive: member names with their folders ('/' between them), sorted, each
    // once; folders and names that would leave their folder are left out. Damage
    // lists nothing; an archive cut short keeps the members before the cut, and says so once.
    void SetFileName(const std::string& ArchiveName) override;
    const TStringList& FileNames() const override { return FileNames_; }
    // The first member (in archive order) of this name as listed, positioned at 0; empty when
    // the library failed on it; null when the archive cannot be opened or has no such member.
    // The archive stays open after a member, so that the next one ahead of it is read on
    // from there; one behind it opens the archive again.
    TMemoryStream* Extract(const std::string& MemberName) override;
    // Closes the archive kept open; the list stays.
    void Close() override;
    // The listed size of the first member of this name (its low 32 bits, as the
    // library's header gives them); -1 when not listed.
    int64_t MemberSize(const std::string& MemberName) const override;

    // The callback registered with the library; UserData is the TUnRar.
    static int CallbackProc(unsigned int Msg, long UserData, long P1, long P2);
    int DllStatus(unsigned int Msg, long P1, long P2);
    // Shows the password dialog; the modal result, and the text when closed with OK.
    int GetPassword(const std::string& Title, const std::string& Message, std::string& Password, int Buttons);
    // Shows what the library's error code means; with a member, names it (Before: the
    // archive failed ahead of it).
    void OutArchiveError(int ErrorCode, const std::string& Member = {}, bool Before = false);

    const std::string& ArchiveName() const { return ArchiveName_; }
    const std::string& Password() const { return Password_; }

    // The library the next first use binds (a bare name is searched as modules are); any
    // library bound so far is released. The reader's tests put their fakes in this way.
    static void UseLibrary(const std::string& Name);
    static const char* const kLibraryName;
    // A member that unpacks to more than this is not held in memory.
    static constexpr int64_t kMaxMemberSize = int64_t(512) << 20;

private:
    void* Owner;
    std::string ArchiveName_;
    std::string CurrentName;
    std::string Password_;
    std::unique_ptr<TMemoryStream> Stream;
    bool Extracting = false;
    TStringList FileNames_;
    bool TooLarge = false;  // the member being extracted outgrew kMaxMemberSize
    // The volume the library last asked for, and whether the user cancelled the question:
    // a failure to open then names that volume, or, cancelled, says nothing more.
    std::string MissingVolume;
    bool VolumeCancelled = false;
    bool EncryptedReported = false;  // since SetFileName
    bool TruncationReported = false;  // since SetFileName: the archive ends early
    // The archive kept open for extraction, and the archive-order index of its next header.
    void* Handle = nullptr;
    size_t HandleNext = 0;
    // Archive-order index of the first member of each listed name.
    std::map<std::string, size_t> FirstIndex;
    std::map<std::string, int64_t> Sizes;
    void CloseHandle();
    // What is said of a member whose start lies in an earlier volume of the set.
    std::string EarlierVolumeText(const std::string& Member) const;
};

}  // namespace vellicor
