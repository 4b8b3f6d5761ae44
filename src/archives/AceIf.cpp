#include "archives/AceIf.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "archives/MemberMessages.h"
#include "archives/MemberNames.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

const char* const TAceIf::kAceDllName = "libunacev2.so";
// As for zip members held in memory.
constexpr int64_t kMaxMember = int64_t(1) << 30;

namespace {

TAceIf* SelfOf(AceCallbackData* Data) {
    return (Data && Data->GlobalData) ? static_cast<TAceIf*>(Data->GlobalData->Obj) : nullptr;
}

const char* FileNameOf(AceCallbackData* Data) {
    return (Data->FileData && Data->FileData->SourceFileName) ? Data->FileData->SourceFileName : "";
}

const char* ArchiveNameOf(AceCallbackData* Data) {
    return (Data->ArchiveData && Data->ArchiveData->ArchiveName) ? Data->ArchiveData->ArchiveName : "";
}

}  // namespace

TAceIf::TAceIf(void* Owner)
    : Owner(Owner), TempDir_(SystemTempDir()), Stream(std::make_unique<TMemoryStream>()), CommentBuffer(8192, '\0') {
    VTRACE("TAceIf::TAceIf");
    FileNames_.SetSorted(true);
    FileNames_.SetDuplicates(TDuplicates::dupIgnore);
}

void TAceIf::Close() {
    VTRACE("TAceIf::Close");
    if (Stream) Stream->Clear();
}

TAceIf::~TAceIf() {
    VTRACE("TAceIf::~TAceIf");
    FreeLoadAceDll();
}

std::string TAceIf::SystemTempDir() {
    const char* env = std::getenv("TMPDIR");
    std::string dir = env ? env : "";
    if (dir.empty() || dir.size() >= 300) dir = "/tmp";
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

bool TAceIf::IsSafeMemberName(const std::string& Name) { return vellicor::IsSafeMemberName(Name); }

bool TAceIf::LoadAceDll() {
    VTRACE("TAceIf::LoadAceDll");
    if (DllHandle) return true;
    LibHandle h = LoadLibrary(kAceDllName);
    const char* failure = nullptr;
    if (!h) {
        failure = "Could not load ";
    } else {
        ACEInitDll = reinterpret_cast<AceInitDllProc>(GetProcAddress(h, "ACEInitDll"));
        ACEReadArchiveData = reinterpret_cast<AceReadArchiveDataProc>(GetProcAddress(h, "ACEReadArchiveData"));
        ACEList = reinterpret_cast<AceListProc>(GetProcAddress(h, "ACEList"));
        ACETest = reinterpret_cast<AceTestProc>(GetProcAddress(h, "ACETest"));
        ACEExtract = reinterpret_cast<AceExtractProc>(GetProcAddress(h, "ACEExtract"));
        if (!ACEInitDll || !ACEReadArchiveData || !ACEList || !ACETest || !ACEExtract) {
            failure = "Could not find function in ";
            FreeLibrary(h);
            ACEInitDll = nullptr;
            ACEReadArchiveData = nullptr;
            ACEList = nullptr;
            ACETest = nullptr;
            ACEExtract = nullptr;
        }
    }
    if (failure) {
        std::string text = failure + std::string(kAceDllName);
        VTRACE_STR("TAceIf::LoadAceDll", text);
        // Said once; every later ace archive then simply lists nothing.
        if (!DllFailureReported) {
            DllFailureReported = true;
            ShowMessageBox(ArchiveName_, text, mbOK, TMsgKind::Error);
        }
        return false;
    }
    DllHandle = h;
    InitAceDll();
    return true;
}

void TAceIf::FreeLoadAceDll() {
    VTRACE("TAceIf::FreeLoadAceDll");
    if (DllHandle) FreeLibrary(DllHandle);
    DllHandle = nullptr;
}

void TAceIf::InitAceDll() {
    VTRACE("TAceIf::InitAceDll");
    AceInitDllStruct init{};
    init.GlobalData.Obj = this;
    init.GlobalData.MaxArchiveTestBytes = 0x1FFFF;
    init.GlobalData.MaxFileBufSize = 0x2FFFF;
    init.GlobalData.Comment = CommentBuffer.data();
    init.GlobalData.CommentBufSize = static_cast<uint32_t>(CommentBuffer.size());
    init.GlobalData.TempDir = TempDir_.c_str();  // held here, never copied into the record
    init.GlobalData.InfoCallbackProc = &TAceIf::InfoProc;
    init.GlobalData.ErrorCallbackProc = &TAceIf::ErrorProc;
    init.GlobalData.RequestCallbackProc = &TAceIf::RequestProc;
    init.GlobalData.StateCallbackProc = &TAceIf::StateProc;
    ACEInitDll(&init);
}

void TAceIf::SetFileName(const std::string& ArchiveName) {
    VTRACE("TAceIf::SetFileName");
    FileNames_.Clear();
    Sizes.clear();
    Password_.clear();
    ArchiveName_ = ArchiveName;
    if (!LoadAceDll() || ArchiveName.empty()) return;
    AceListStruct list{};
    list.Files.SourceDir = "";
    list.Files.FileList = "";
    list.Files.ExcludeList = "";
    list.Files.FullMatch = 0;
    RunFailed = false;
    RunError.clear();
    RefusedNames.clear();
    ListedInOrder.clear();
    EndsEarly = false;
    CutShort.clear();
    MissingPart.clear();
    int rc = ACEList(ArchiveName.c_str(), &list);
    VTRACE_INT("TAceIf::SetFileName ACEList", rc);
    if (EndsEarly && !RunFailed && rc == ACEDLL_ERR_ENDS_EARLY) {
        // Cut short, as an interrupted download is: the members before the cut are whole
        // and shown, the one cut short gets its error page, and this is said once.
        std::string last;
        for (auto it = ListedInOrder.rbegin(); it != ListedInOrder.rend() && last.empty(); ++it)
            if (*it != CutShort) last = *it;
        const bool cutListed = !CutShort.empty() && FileNames_.IndexOf(CutShort) >= 0;
        ShowMessageBox(ArchiveName, ArchiveEndsEarlyText(last, cutListed ? CutShort : std::string()), mbOK, TMsgKind::Error);
    } else if (RunFailed || (rc != ACEDLL_OK && rc != ACEDLL_ERR_CANCELLED)) {
        // A part of a list cannot be trusted: nothing is listed, and the user is told once.
        FileNames_.Clear();
        ShowMessageBox(ArchiveName, "The archive is damaged and cannot be read.\n" +
                                        (RunError.empty() ? std::string("error ") + std::to_string(rc) : RunError),
                       mbOK, TMsgKind::Error);
    } else if (rc == ACEDLL_ERR_CANCELLED) {
        FileNames_.Clear();
    } else if (!MissingPart.empty()) {
        // Asked for until the questions ran out; the pages wholly before it are shown.
        ShowMessageBox(ArchiveName, "Cannot open " + MissingPart + "\n" +
                                        (FileNames_.Count() > 0 ? "The members that lie wholly in the volumes before it are shown."
                                                                : "No member lies wholly in the volumes before it."),
                       mbOK, TMsgKind::Error);
    } else if (FileNames_.Count() == 0 && !RefusedNames.empty()) {
        // Nothing is left to show: say why, rather than let the archive look empty or damaged.
        constexpr size_t kNamed = 3;
        std::string text = "The names of the archive's members would leave their folder; they were refused as unsafe:";
        for (size_t i = 0; i < RefusedNames.size() && i < kNamed; ++i) text += "\n" + ShownName(RefusedNames[i]);
        if (RefusedNames.size() > kNamed) text += "\n(and " + std::to_string(RefusedNames.size() - kNamed) + " more)";
        ShowMessageBox(ArchiveName, text, mbOK, TMsgKind::Error);
    }
}

void TAceIf::SetList(std::vector<char>& Buffer, int& Capacity, const std::string& Text) {
    const size_t needed = Text.size() + 2;  // closed by two zero bytes
    if (static_cast<size_t>(Capacity) < needed) {
        Capacity = static_cast<int>(needed + 100);
        Buffer.assign(static_cast<size_t>(Capacity), '\0');
    }
    std::memcpy(Buffer.data(), Text.data(), Text.size());
    Buffer[Text.size()] = '\0';
    Buffer[Text.size() + 1] = '\0';
}

int64_t TAceIf::MemberSize(const std::string& MemberName) const {
    auto it = Sizes.find(MemberName);
    return it == Sizes.end() ? -1 : it->second;
}

TMemoryStream* TAceIf::ExtractFile(const std::string& MemberName) {
    VTRACE("TAceIf::ExtractFile");
    LostToPassword = false;
    if (ArchiveName_.empty() || !DllHandle) return nullptr;
    // Only listed members are pages: no folder, and no refused name.
    if (FileNames_.IndexOf(MemberName) < 0) return nullptr;
    WantedName = MemberName;
    Capturing = false;
    Done = false;
    CaptureFailed = false;
    WrongPassword = false;
    PasswordRefused = false;
    TooLarge = false;
    RunFailed = false;
    RunError.clear();
    SetList(FileList, FileListCapacity, MemberName + "\r");
    std::string exclude;
    for (const std::string& name : FileNames_)
        if (name != MemberName) exclude += name + "\r";
    SetList(ExcludeList, ExcludeListCapacity, exclude);

    Stream->Reuse();
    AceTestStruct test{};
    test.Files.SourceDir = "";
    test.Files.FileList = FileList.data();
    test.Files.ExcludeList = ExcludeList.data();
    test.Files.FullMatch = 1;
    test.DecryptPassword = Password_.c_str();  // held here; the library only reads it
    int rc = ACETest(ArchiveName_.c_str(), &test);
    VTRACE_INT("TAceIf::ExtractFile ACETest", rc);
    const bool started = Capturing || Done;
    WantedName.clear();
    Capturing = false;
    // Success needs the member to have been seen and to have ended without an error.
    if (!CaptureFailed && ((rc == ACEDLL_OK && started) || Done)) {
        Stream->SetPosition(0);
        return Stream.get();
    }
    Stream->Clear();
    LostToPassword = WrongPassword || PasswordRefused;
    // Named with why, as zip's members are; a cancelled question or the program's end is no damage.
    std::string text;
    if (WrongPassword) text = "Wrong password, or the archive is damaged:\n" + ShownName(MemberName);
    else if (TooLarge) text = MemberNotShownText(MemberName, "it unpacks to more than " + std::to_string(kMaxMember >> 20) + " MB");
    else if (RunFailed) text = MemberDamagedText(MemberName, RunError);
    else if (!started) text = MemberNotShownText(MemberName, "the archive does not hold it where its list said");
    // The member the archive ends in was named when it was listed: it only gets its error page.
    if (!CutShort.empty() && MemberName == CutShort && !WrongPassword && !TooLarge) text.clear();
    if (!text.empty() && !PasswordRefused && !StopRequested()) ShowMessageBox(ArchiveName_, text, mbOK, TMsgKind::Error);
    return nullptr;
}

int TAceIf::GetPassword(const std::string& Title, const std::string& Message, std::string& Password,
                        TPasswordButtons Buttons) {
    VTRACE("TAceIf::GetPassword");
    PasswordRequest request;
    request.caption = Title;
    request.prompt = Message;
    request.buttons = static_cast<int>(Buttons.Bits());
    Password.clear();
    int result = Ui().AskPassword(request, Password);
    if (result != mrOk) Password.clear();
    if (Password.size() > 80) Password.resize(80);
    return result;
}

// ---- callbacks ----

int TAceIf::InfoProc(AceCallbackData* Data) {
    VTRACE("TAceIf::InfoProc");
    const char* text = "unknown request";
    switch (Data ? Data->Code : -1) {
        case ACEDLL_INFO_FILELIST_CREATE: text = "creating file list"; break;
        case ACEDLL_INFO_FILELIST_CREATE_END: text = "finished creating file list"; break;
        case ACEDLL_INFO_FILELIST_ADD: text = "adding file to file list"; break;
        default: break;
    }
    VTRACE_STR("TAceIf::InfoProc", text);
    return ACEDLL_CONTINUE;
}

int TAceIf::StateProc(AceCallbackData* Data) {
    VTRACE("TAceIf::StateProc");
    TAceIf* self = SelfOf(Data);
    if (!self) return ACEDLL_CANCEL;
    switch (Data->StructureType) {
        case ACEDLL_TYPE_ARCHIVE:
            if (Data->Code == ACEDLL_STATE_START_ARCHIVE) return HandleStateStartArchive(*self, Data);
            break;
        case ACEDLL_TYPE_ARCHIVED_FILE:
            if (Data->Code == ACEDLL_STATE_START_FILE) return HandleStateStartFile(*self, Data);
            break;
        case ACEDLL_TYPE_PROGRESS:
            if (Data->Code == ACEDLL_STATE_PROGRESS) return HandleStateProgress(*self, Data);
            break;
        case ACEDLL_TYPE_CRC_CHECK:
            if (Data->Code == ACEDLL_STATE_END_CRC_CHECK) VTRACE_STR("TAceIf::StateProc", "end CRC check");
            break;
        default: break;
    }
    return ACEDLL_CONTINUE;
}

int TAceIf::HandleStateStartArchive(TAceIf& Self, AceCallbackData* Data) {
    VTRACE("TAceIf::HandleStateStartArchive");
    (void)Self;
    const char* op = Data->Operation == ACEDLL_OP_LIST      ? "Listing"
                     : Data->Operation == ACEDLL_OP_TEST    ? "Testing"
                     : Data->Operation == ACEDLL_OP_EXTRACT ? "Extracting"
                                                            : "Unknown operation";
    VTRACE_STR("TAceIf::HandleStateStartArchive", op);
    VTRACE_STR("TAceIf::HandleStateStartArchive ArchiveName", ArchiveNameOf(Data));
    return ACEDLL_CONTINUE;
}

int TAceIf::HandleStateStartFile(TAceIf& Self, AceCallbackData* Data) {
    VTRACE("TAceIf::HandleStateStartFile");
    const std::string name = FileNameOf(Data);
    switch (Data->Operation) {
        case ACEDLL_OP_LIST:
            VTRACE_STR("TAceIf::HandleStateStartFile Found", name);
            // Folders hold no page, and a name that would leave its folder is refused.
            if (Data->FileData && (Data->FileData->Attributes & 0x10)) break;
            if (!IsSafeMemberName(name)) {
                VTRACE_STR("TAceIf::HandleStateStartFile Refused", name);
                Self.RefusedNames.push_back(name);
                break;
            }
            Self.FileNames_.Add(name);
            Self.ListedInOrder.push_back(name);
            if (Data->FileData) Self.Sizes.emplace(name, static_cast<int64_t>(std::min<uint64_t>(Data->FileData->Size, INT64_MAX)));
            break;
        case ACEDLL_OP_TEST:
            VTRACE_STR("TAceIf::HandleStateStartFile Testing", name);
            // Any member starting after the wanted one ends the capture, so that a second
            // member of the same name is never appended to the first.
            if (Self.Capturing) {
                if (!Self.CaptureFailed) Self.Done = true;
                return ACEDLL_CANCEL;
            }
            if (name == Self.WantedName) {
                Self.Capturing = true;
                // Room for the stated size (up to the page budget) reserved untouched: the
                // capture then appends without copying what it holds at every doubling.
                if (Data->FileData)
                    Self.Stream->Reserve(static_cast<int64_t>(std::min<uint64_t>(Data->FileData->Size, INT64_MAX)));
            }
            break;
        case ACEDLL_OP_ANALYZE:
            VTRACE_STR("TAceIf::HandleStateStartFile Analyzing", name);
            break;
        case ACEDLL_OP_EXTRACT:
            VTRACE_STR("TAceIf::HandleStateStartFile Extracting", name);
            break;
        default: break;
    }
    return ACEDLL_CONTINUE;
}

int TAceIf::HandleStateProgress(TAceIf& Self, AceCallbackData* Data) {
    VTRACE("TAceIf::HandleStateProgress");
    const AceProgressData* p = Data->ProgressData;
    // Esc is seen while a long member is unpacked, and the program's end stops it.
    ProcessMessages();
    if (StopRequested()) {
        Self.CaptureFailed = true;
        return ACEDLL_CANCEL;
    }
    if (Data->Operation == ACEDLL_OP_TEST && Self.Capturing && p && p->Addr && p->Size > 0) {
        // A member that claims more than a page can be is not held in memory.
        if (p->Size > static_cast<uint64_t>(kMaxMember - Self.Stream->Size())) {
            Self.CaptureFailed = true;
            Self.TooLarge = true;
            return ACEDLL_CANCEL;
        }
        if (Self.Stream->Write(p->Addr, static_cast<int64_t>(p->Size)) != static_cast<int64_t>(p->Size)) {
            Self.CaptureFailed = true;
            return ACEDLL_CANCEL;
        }
    } else if (p) {
        VTRACE_INT("TAceIf::HandleStateProgress Size", static_cast<int64_t>(p->Size));
    }
    return ACEDLL_CONTINUE;
}

void TAceIf::NoteError(AceCallbackData* Data, const char* Text) {
    if (Data->Operation == ACEDLL_OP_TEST && Capturing) CaptureFailed = true;
    if (!RunFailed) RunError = Text;
    RunFailed = true;
}

int TAceIf::ErrorProc(AceCallbackData* Data) {
    VTRACE("TAceIf::ErrorProc");
    TAceIf* self = SelfOf(Data);
    if (!self) return ACEDLL_CANCEL;
    switch (Data->StructureType) {
        case ACEDLL_TYPE_GLOBAL: return HandleErrorGlobal(*self, Data);
        case ACEDLL_TYPE_ARCHIVE: return HandleErrorArchive(*self, Data);
        case ACEDLL_TYPE_ARCHIVED_FILE: return HandleErrorArchivedFile(*self, Data);
        case ACEDLL_TYPE_REAL_FILE: return HandleErrorRealFile(*self, Data);
        case ACEDLL_TYPE_SPACE: return HandleErrorSpace(*self, Data);
        case ACEDLL_TYPE_SFX_FILE: return HandleErrorSFXFile(*self, Data);
        default: self->NoteError(Data, "unknown error"); return ACEDLL_CANCEL;
    }
}

int TAceIf::HandleErrorGlobal(TAceIf& Self, AceCallbackData* Data) {
    VTRACE("TAceIf::HandleErrorGlobal");
    const char* text = Data->Code == ACEDLL_ERR_MEMORY         ? "not enough memory"
                       : Data->Code == ACEDLL_ERR_SPACE_DETECT ? "could not detect available space on network drive"
                                                               : "unknown error";
    VTRACE_STR("TAceIf::HandleErrorGlobal", text);
    Self.NoteError(Data, text);
    return ACEDLL_CANCEL;
}

int TAceIf::HandleErrorArchive(TAceIf& Self, AceCallbackData* Data) {
    VTRACE("TAceIf::HandleErrorArchive");
    const char* text = nullptr;
    switch (Data->Code) {
        case ACEDLL_ERR_AV: text = "AV of archive invalid"; break;
        case ACEDLL_ERR_OPEN_READ: text = "could not open archive for reading"; break;
        case ACEDLL_ERR_READ: text = "error reading from archive"; break;
        case ACEDLL_ERR_BROKEN: text = "archive is broken"; break;
        case ACEDLL_ERR_NO_FILES: text = "no files specified"; break;
        case ACEDLL_ERR_NOT_ACE: text = "file is not an ACE archive"; break;
        case ACEDLL_ERR_HIGHER_VERSION: text = "this Dll version is not able to handle the archive"; break;
        default: break;
    }
    if (Data->Code == ACEDLL_ERR_ENDS_EARLY) {
        // Told once the members before the cut are listed; not a failure of the list.
        Self.EndsEarly = true;
        Self.CutShort = FileNameOf(Data);
        return ACEDLL_CONTINUE;
    }
    if (Data->Code == ACEDLL_ERR_MISSING_VOLUME) {
        // Told once the members before it are listed; not asked for again.
        Self.MissingPart = ArchiveNameOf(Data);
        Self.GivenUp[Self.MissingPart] = true;
        return ACEDLL_CONTINUE;
    }
    if (!text) {
        text = Data->Code == ACEDLL_ERR_VOLUME ? "a volume of the set is missing or does not belong to it"
                                               : "unknown error";
        VTRACE_STR("TAceIf::HandleErrorArchive", text);
        Self.NoteError(Data, text);
        return ACEDLL_CANCEL;
    }
    VTRACE_STR("TAceIf::HandleErrorArchive", text);
    Self.NoteError(Data, text);
    return ACEDLL_CONTINUE;
}

int TAceIf::HandleErrorArchivedFile(TAceIf& Self, AceCallbackData* Data) {
    VTRACE("TAceIf::HandleErrorArchivedFile");
    const char* text = nullptr;
    switch (Data->Code) {
        case ACEDLL_ERR_NAME_USED_BY_DIR: text = "could not extract File; name used by directory"; break;
        case ACEDLL_ERR_WRITE: text = "error writing file"; break;
        case ACEDLL_ERR_OPEN_WRITE: text = "error opening file for writing"; break;
        case ACEDLL_ERR_METHOD: text = "compression method not known to this Dll version"; break;
        case ACEDLL_ERR_EXTRACT_SPACE: text = "not enough space to extract file"; break;
        case ACEDLL_ERR_CREATION: text = "creation of file failed (write-protection?)"; break;
        default: break;
    }
    VTRACE_STR("TAceIf::HandleErrorArchivedFile Name", FileNameOf(Data));
    if (!text) {
        text = Data->Code == ACEDLL_ERR_CRC        ? kCrcMismatchText
               : Data->Code == ACEDLL_ERR_PASSWORD ? "wrong password or damaged"
               : Data->Code == ACEDLL_ERR_UNSAFE_NAME ? "the name would leave the target folder"
                                                      : "unknown error";
        if (Data->Code == ACEDLL_ERR_PASSWORD && Data->Operation == ACEDLL_OP_TEST) Self.WrongPassword = true;
        VTRACE_STR("TAceIf::HandleErrorArchivedFile", text);
        Self.NoteError(Data, text);
        return ACEDLL_CANCEL;
    }
    VTRACE_STR("TAceIf::HandleErrorArchivedFile", text);
    Self.NoteError(Data, text);
    return ACEDLL_CONTINUE;
}

int TAceIf::HandleErrorRealFile(TAceIf& Self, AceCallbackData* Data) {
    VTRACE("TAceIf::HandleErrorRealFile");
    VTRACE_STR("TAceIf::HandleErrorRealFile", "unknown");
    Self.NoteError(Data, "unknown error");
    return ACEDLL_CANCEL;
}

int TAceIf::HandleErrorSpace(TAceIf& Self, AceCallbackData* Data) {
    VTRACE("TAceIf::HandleErrorSpace");
    VTRACE_STR("TAceIf::HandleErrorSpace", "unknown");
    Self.NoteError(Data, "unknown error");
    return ACEDLL_CANCEL;
}

int TAceIf::HandleErrorSFXFile(TAceIf& Self, AceCallbackData* Data) {
    VTRACE("TAceIf::HandleErrorSFXFile");
    VTRACE_STR("TAceIf::HandleErrorSFXFile", "unknown");
    Self.NoteError(Data, "unknown error");
    return ACEDLL_CANCEL;
}

int TAceIf::RequestProc(AceCallbackData* Data) {
    VTRACE("TAceIf::RequestProc");
    TAceIf* self = SelfOf(Data);
    if (!self) return ACEDLL_CANCEL;
    switch (Data->StructureType) {
        case ACEDLL_TYPE_GLOBAL: return HandleRequestGlobal(*self, Data);
        case ACEDLL_TYPE_ARCHIVE: return HandleRequestArchive(*self, Data);
        case ACEDLL_TYPE_ARCHIVED_FILE: return HandleRequestArchivedFile(*self, Data);
        case ACEDLL_TYPE_REAL_FILE: return HandleRequestRealFile(*self, Data);
        default: return ACEDLL_CANCEL;
    }
}

int TAceIf::HandleRequestGlobal(TAceIf& Self, AceCallbackData* Data) {
    VTRACE("TAceIf::HandleRequestGlobal");
    (void)Self;
    (void)Data;
    VTRACE_STR("TAceIf::HandleRequestGlobal", "unknown");
    return ACEDLL_CANCEL;
}

int TAceIf::HandleRequestArchive(TAceIf& Self, AceCallbackData* Data) {
    VTRACE("TAceIf::HandleRequestArchive");
    if (Data->Code != ACEDLL_REQ_CHANGE_VOLUME) {
        VTRACE_STR("TAceIf::HandleRequestArchive", "unknown request");
        return ACEDLL_CANCEL;
    }
    VTRACE_STR("TAceIf::HandleRequestArchive", "change volume");
    // Captioned with the part asked for, which the library names during the request. A part
    // given up on is not asked for again (every page read opens the set anew); a listing
    // says again what the questions that ran out said.
    const std::string volume = ArchiveNameOf(Data);
    if (auto it = Self.GivenUp.find(volume); it != Self.GivenUp.end()) {
        if (it->second && Data->Operation == ACEDLL_OP_LIST) Self.MissingPart = volume;
        return ACEDLL_CANCEL;
    }
    if (ShowMessageBox(volume.empty() ? Self.ArchiveName_ : volume, "Insert disk", mbOKCancel, TMsgKind::Question) == mrOk)
        return ACEDLL_CONTINUE;
    Self.GivenUp[volume] = false;  // cancelled: the user knows
    return ACEDLL_CANCEL;
}

int TAceIf::HandleRequestArchivedFile(TAceIf& Self, AceCallbackData* Data) {
    VTRACE("TAceIf::HandleRequestArchivedFile");
    switch (Data->Code) {
        case ACEDLL_REQ_OVERWRITE:
            VTRACE_STR("TAceIf::HandleRequestArchivedFile", "overwrite existing file");
            return ACEDLL_CONTINUE;
        case ACEDLL_REQ_PASSWORD: {
            VTRACE_STR("TAceIf::HandleRequestArchivedFile", "archive is encrypted");
            std::string entered;
            // The member is named: the question may come from a page read in the background.
            if (Self.GetPassword("Password protected archive", PasswordPrompt("Enter Password", FileNameOf(Data), Self.ArchiveName_),
                                 entered,
                                 TPasswordButtons{pwbCancel}) != mrOk) {
                Self.PasswordRefused = true;
                return ACEDLL_CANCEL;
            }
            Self.Password_ = entered;
            // The library reads the password from here; it stays in Password_'s own storage.
            if (Data->GlobalData) Data->GlobalData->DecryptPassword = Self.Password_.c_str();
            return ACEDLL_CONTINUE;
        }
        default:
            VTRACE_STR("TAceIf::HandleRequestArchivedFile", "unknown request");
            return ACEDLL_CANCEL;
    }
}

int TAceIf::HandleRequestRealFile(TAceIf& Self, AceCallbackData* Data) {
    VTRACE("TAceIf::HandleRequestRealFile");
    (void)Self;
    (void)Data;
    VTRACE_STR("TAceIf::HandleRequestRealFile", "unknown request");
    return ACEDLL_CANCEL;
}

}  // namespace vellicor
