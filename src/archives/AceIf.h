#pragma once
// The ace interface: lists and extracts ace archives through the ace library, loaded at run
// time. The library has no call that unpacks one member into memory, so a member is captured
// from the blocks that a test run restricted to that member reports.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archives/AceDllApi.h"
#include "archives/UnArchive.h"
#include "archives/zip/ZipComponent.h"
#include "platform/DynLib.h"
#include "platform/Streams.h"
#include "platform/StringList.h"

namespace vellicor {

class TAceIf : public TArchiveReader {
public:
    static const char* const kAceDllName;

    explicit TAceIf(void* Owner);
    ~TAceIf() override;
    TAceIf(const TAceIf&) = delete;
    TAceIf& operator=(const TAceIf&) = delete;

    // Loads and initialises the library once; true when it is loaded. A library that cannot
    // be loaded is reported to the user once.
    bool LoadAceDll();
    void FreeLoadAceDll();
    void InitAceDll();

    // Lists the archive into FileNames. A damaged archive leaves the list empty and is
    // reported in one message; one cut short keeps the members before the cut, and says so once.
    void SetFileName(const std::string& ArchiveName) override;
    const TStringList& FileNames() const override { return FileNames_; }
    TMemoryStream* Extract(const std::string& MemberName) override { return ExtractFile(MemberName); }
    // The library asks for the password every time: a wrong or refused one may pass next time.
    bool FailureMayPass() const override { return LostToPassword; }
    void Close() override;
    // The listed size of the first member of this name; -1 when not listed.
    int64_t MemberSize(const std::string& MemberName) const override;
    // The member's data positioned at 0, or null. The stream stays with the interface.
    TMemoryStream* ExtractFile(const std::string& MemberName);

    // Shows the password dialog; returns its modal result and fills Password after OK.
    int GetPassword(const std::string& Title, const std::string& Message, std::string& Password,
                    TPasswordButtons Buttons);

    static int InfoProc(AceCallbackData* Data);
    static int ErrorProc(AceCallbackData* Data);
    static int RequestProc(AceCallbackData* Data);
    static int StateProc(AceCallbackData* Data);

    static int HandleStateStartArchive(TAceIf& Self, AceCallbackData* Data);
    static int HandleStateStartFile(TAceIf& Self, AceCallbackData* Data);
    static int HandleStateProgress(TAceIf& Self, AceCallbackData* Data);
    static int HandleErrorGlobal(TAceIf& Self, AceCallbackData* Data);
    static int HandleErrorArchive(TAceIf& Self, AceCallbackData* Data);
    static int HandleErrorArchivedFile(TAceIf& Self, AceCallbackData* Data);
    static int HandleErrorRealFile(TAceIf& Self, AceCallbackData* Data);
    static int HandleErrorSpace(TAceIf& Self, AceCallbackData* Data);
    static int HandleErrorSFXFile(TAceIf& Self, AceCallbackData* Data);
    static int HandleRequestGlobal(TAceIf& Self, AceCallbackData* Data);
    static int HandleRequestArchive(TAceIf& Self, AceCallbackData* Data);
    static int HandleRequestArchivedFile(TAceIf& Self, AceCallbackData* Data);
    static int HandleRequestRealFile(TAceIf& Self, AceCallbackData* Data);

    // The system's temporary folder without a trailing separator; "/tmp" when it is unset,
    // empty or 300 characters or longer.
    static std::string SystemTempDir();
    // True when a member of that name may be created below a folder.
    static bool IsSafeMemberName(const std::string& Name);

    const std::string& TempDir() const { return TempDir_; }
    const std::string& ArchiveName() const { return ArchiveName_; }
    const std::string& Password() const { return Password_; }
    bool DllLoaded() const { return DllHandle != nullptr; }

private:
    static void SetList(std::vector<char>& Buffer, int& Capacity, const std::string& Text);
    void NoteError(AceCallbackData* Data, const char* Text);

    void* Owner;
    std::string TempDir_;
    std::string ArchiveName_;
    std::string Password_;
    std::string WantedName;
    bool Capturing = false;
    bool Done = false;
    std::unique_ptr<TMemoryStream> Stream;
    LibHandle DllHandle = nullptr;
    std::vector<char> CommentBuffer;
    std::vector<char> FileList;
    int FileListCapacity = 0;
    std::vector<char> ExcludeList;
    int ExcludeListCapacity = 0;
    AceInitDllProc ACEInitDll = nullptr;
    AceReadArchiveDataProc ACEReadArchiveData = nullptr;
    AceListProc ACEList = nullptr;
    AceTestProc ACETest = nullptr;
    AceExtractProc ACEExtract = nullptr;
    TStringList FileNames_;

    bool DllFailureReported = false;
    bool RunFailed = false;      // the library reported an error during the current run
    std::string RunError;        // its first error text
    bool CaptureFailed = false;  // the wanted member failed after it had started
    bool WrongPassword = false;
    bool PasswordRefused = false;  // the password question was cancelled in this run
    bool TooLarge = false;         // the wanted member outgrew what a page may hold
    bool LostToPassword = false;   // the last ExtractFile failed on a wrong or refused password
    std::vector<std::string> RefusedNames;  // listed names that would leave their folder
    std::vector<std::string> ListedInOrder;  // names listed, in archive order
    bool EndsEarly = false;                  // the list was cut short with the archive
    std::string CutShort;                    // the member the archive ends in, if any
    std::string MissingPart;                 // the volume the questions ran out on, if any
    // Volumes not asked for again: cancelled (false) or asked for until the questions ran out.
    std::map<std::string, bool> GivenUp;
    std::map<std::string, int64_t> Sizes;   // of the listed members
};

}  // namespace vellicor
