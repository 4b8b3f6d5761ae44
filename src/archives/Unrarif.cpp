#include "archives/Unrarif.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <vector>

#include "archives/UnRarApi.h"
#include "archives/zip/ZipComponent.h"
#include "platform/DynLib.h"
#include "archives/MemberMessages.h"
#include "archives/MemberNames.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

const char* const TUnRar::kLibraryName = "libunrar.so";

namespace {

// The library, bound once per process at the first call that needs it.
struct RarLibrary {
    std::string name = TUnRar::kLibraryName;
    bool tried = false;
    LibHandle handle = nullptr;
    RAROpenArchiveFunc open = nullptr;
    RARCloseArchiveFunc close = nullptr;
    RARReadHeaderFunc readHeader = nullptr;
    RARProcessFileFunc processFile = nullptr;
    RARSetCallbackFunc setCallback = nullptr;
    // Archives the readers keep open; closed before the library goes.
    std::vector<void**> kept;

    void Release() {
        for (void** h : kept) {
            if (*h && close) close(*h);
            *h = nullptr;
        }
        kept.clear();
        if (handle) FreeLibrary(handle);
        handle = nullptr;
        tried = false;
        open = nullptr;
        close = nullptr;
        readHeader = nullptr;
        processFile = nullptr;
        setCallback = nullptr;
    }
    ~RarLibrary() { Release(); }
};

RarLibrary g_rar;

// True when the library is there; the first failure is shown once, with the archive's
// name as caption, and every later use fails quietly.
bool BindLibrary(const std::string& archiveName) {
    VTRACE("TUnRar::BindLibrary");
    if (g_rar.tried) return g_rar.handle != nullptr;
    g_rar.tried = true;
    LibHandle h = LoadLibrary(g_rar.name);
    if (h) {
        g_rar.open = reinterpret_cast<RAROpenArchiveFunc>(GetProcAddress(h, "RAROpenArchive"));
        g_rar.close = reinterpret_cast<RARCloseArchiveFunc>(GetProcAddress(h, "RARCloseArchive"));
        g_rar.readHeader = reinterpret_cast<RARReadHeaderFunc>(GetProcAddress(h, "RARReadHeader"));
        g_rar.processFile = reinterpret_cast<RARProcessFileFunc>(GetProcAddress(h, "RARProcessFile"));
        g_rar.setCallback = reinterpret_cast<RARSetCallbackFunc>(GetProcAddress(h, "RARSetCallback"));
        if (g_rar.open && g_rar.close && g_rar.readHeader && g_rar.processFile && g_rar.setCallback) {
            g_rar.handle = h;
            return true;
        }
        FreeLibrary(h);
        g_rar.Release();
        g_rar.tried = true;
    }
    VTRACE_STR("TUnRar::BindLibrary Error", LastLibraryError());
    ShowMessageBox(archiveName, "The rar library " + g_rar.name + " cannot be loaded: rar and cbr archives cannot be read.",
                   mbOK, TMsgKind::Error);
    return false;
}

// A member's name with its folders, '/' between them whichever separator it was stored with,
// so that the same page name in two folders stays two members.
std::string MemberPath(const char* name) {
    std::string s(name, strnlen(name, RAR_NAME_SIZE));
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

// A member with a page of its own: no folder (a name that ends in a separator names one
// too), and no name that would leave its folder.
bool Listed(const RARHeaderData& header, const std::string& name) {
    return (header.Flags & RHDF_DIRECTORY) != RHDF_DIRECTORY && !name.empty() && name.back() != '/' &&
           IsSafeMemberName(name);
}

// Opens the archive in the given mode with our callback; null after showing why not.
void* OpenArchive(TUnRar& self, const std::string& name, unsigned mode) {
    RAROpenArchiveData d{};
    std::string arcName = name;
    d.ArcName = arcName.data();
    d.OpenMode = mode;
    void* h = g_rar.open(&d);
    if (!h || d.OpenResult != ERAR_SUCCESS) {
        // A library that hands out a handle together with an error has it closed.
        if (h) g_rar.close(h);
        self.OutArchiveError(d.OpenResult != ERAR_SUCCESS ? static_cast<int>(d.OpenResult) : ERAR_UNKNOWN);
        return nullptr;
    }
    g_rar.setCallback(h, &TUnRar::CallbackProc, reinterpret_cast<long>(&self));
    return h;
}

}  // namespace

void TUnRar::UseLibrary(const std::string& Name) {
    VTRACE("TUnRar::UseLibrary");
    g_rar.Release();
    g_rar.name = Name;
}

TUnRar::TUnRar(void* Owner) : Owner(Owner), Stream(std::make_unique<TMemoryStream>()) {
    VTRACE("TUnRar::TUnRar");
    FileNames_.SetSorted(true);
    FileNames_.SetDuplicates(TDuplicates::dupIgnore);
}

TUnRar::~TUnRar() {
    VTRACE("TUnRar::~TUnRar");
    CloseHandle();
}

void TUnRar::Close() {
    VTRACE("TUnRar::Close");
    CloseHandle();
    if (Stream) Stream->Clear();
}

void TUnRar::CloseHandle() {
    if (!Handle) return;
    auto& kept = g_rar.kept;
    kept.erase(std::remove(kept.begin(), kept.end(), &Handle), kept.end());
    if (g_rar.close) g_rar.close(Handle);
    Handle = nullptr;
    HandleNext = 0;
}

void TUnRar::OutArchiveError(int ErrorCode, const std::string& Member, bool Before) {
    VTRACE("TUnRar::OutArchiveError");
    VTRACE_INT("TUnRar::OutArchiveError ErrorCode", ErrorCode);
    std::string text;
    switch (ErrorCode) {
        case 0: return;
        case ERAR_NO_MEMORY: text = "Not enough memory"; break;
        case ERAR_BAD_DATA: text = "archive broken"; break;
        case ERAR_BAD_ARCHIVE: text = "not a RAR archive"; break;
        case ERAR_UNKNOWN_FORMAT: text = "Unknown archive format"; break;
        case ERAR_EOPEN:
            if (VolumeCancelled) return;
            text = "Cannot open " + (MissingVolume.empty() ? ArchiveName_ : MissingVolume);
            break;
        case ERAR_ECREATE: text = "File create error"; break;
        case ERAR_ECLOSE: text = "File close error"; break;
        case ERAR_EREAD: text = "Read error"; break;
        case ERAR_EWRITE: text = "Write error"; break;
        case ERAR_ENCRYPTED_UNSUPPORTED:
            // Said of the archive, so once per opening, however many members are encrypted.
            if (EncryptedReported) return;
            EncryptedReported = true;
            text = "encrypted archives are not supported";
            break;
        case ERAR_TRUNCATED:
            // Said of the archive once per opening; the listing says it with the members it
            // kept, so a member cut short then only gets its error page.
            if (TruncationReported) return;
            TruncationReported = true;
            text = "The archive ends early (cut short)";
            break;
        case ERAR_BAD_CRC: text = "archive broken"; break;
        case ERAR_DICTIONARY_UNSUPPORTED:
            text = "The archive was packed with a dictionary larger than 64 MB, which this reader cannot unpack.";
            break;
        default: text = "Unknown error"; break;
    }
    // A member's failure names the member and why, as zip's do; the volume and encryption
    // messages above are about the archive.
    if (!Member.empty() && ErrorCode != ERAR_EOPEN && ErrorCode != ERAR_ENCRYPTED_UNSUPPORTED) {
        if (ErrorCode == ERAR_TRUNCATED) text = MemberNotShownText(Member, "the archive ends early, before its data are all there");
        else if (Before) text = MemberNotShownText(Member, "the archive is damaged before it (" + text + ")");
        else if (ErrorCode == ERAR_BAD_CRC) text = MemberDamagedText(Member, kCrcMismatchText);
        else if (ErrorCode == ERAR_BAD_DATA) text = MemberDamagedText(Member, "Its data are broken (" + text + ").");
        else if (ErrorCode == ERAR_NO_MEMORY && TooLarge)
            text = MemberNotShownText(Member, "it unpacks to more than " + std::to_string(kMaxMemberSize >> 20) + " MB");
        else text = MemberNotShownText(Member, text);
    }
    ShowMessageBox(ArchiveName_, text, mbOK, TMsgKind::Error);
}

int TUnRar::GetPassword(const std::string& Title, const std::string& Message, std::string& Password, int Buttons) {
    VTRACE("TUnRar::GetPassword");
    (void)Owner;  // the dialog's owner is the main window the UI services hold
    PasswordRequest request;
    request.caption = Title;
    request.prompt = Message;
    request.buttons = Buttons;
    Password.clear();
    int result = Ui().AskPassword(request, Password);
    if (result != mrOk) Password.clear();
    if (Password.size() > 80) Password.resize(80);
    return result;
}

int TUnRar::CallbackProc(unsigned int Msg, long UserData, long P1, long P2) {
    VTRACE("TUnRar::CallbackProc");
    ProcessMessages();
    TUnRar* self = reinterpret_cast<TUnRar*>(UserData);
    return self ? self->DllStatus(Msg, P1, P2) : -1;
}

int TUnRar::DllStatus(unsigned int Msg, long P1, long P2) {
    // The program is ending (Esc went through while messages were let through): the library
    // stops here rather than unpack a member nobody will see.
    if (StopRequested()) return -1;
    switch (Msg) {
        case UCM_CHANGEVOLUME: {
            VTRACE("TUnRar::DllStatus");
            if (P2 != RAR_VOL_ASK) return 0;
            std::string volume = P1 ? std::string(reinterpret_cast<const char*>(P1)) : std::string();
            MissingVolume = volume;
            VolumeCancelled = ShowMessageBox(volume, "Insert disk", mbOKCancel, TMsgKind::Warning) != mrOk;
            return VolumeCancelled ? -1 : 0;
        }
        case UCM_PROCESSDATA:
            if (!Extracting) return 0;
            if (P2 < 0 || (P2 > 0 && !P1)) return -1;
            if (Stream->Size() + P2 > kMaxMemberSize) {
                TooLarge = true;
                return -1;
            }
            return Stream->Write(reinterpret_cast<const void*>(P1), P2) == P2 ? 0 : -1;
        case UCM_NEEDPASSWORD: {
            VTRACE("TUnRar::DllStatus");
            bool asked = false;
            int result = mrOk;
            if (Password_.empty()) {
                asked = true;
                // The member is named: the question may come from a page read in the background.
                result = GetPassword("Password protected archive", PasswordPrompt("Enter Password", CurrentName, ArchiveName_),
                                     Password_,
                                     static_cast<int>(TPasswordButtons{pwbCancel}.Bits()));
            }
            // The text always ends inside the library's buffer.
            if (P1 && P2 > 0) {
                char* buf = reinterpret_cast<char*>(P1);
                size_t n = std::min(Password_.size(), static_cast<size_t>(P2) - 1);
                std::memcpy(buf, Password_.data(), n);
                buf[n] = '\0';
            }
            return asked && result != mrOk ? -1 : 0;
        }
        default:
            return 0;
    }
}

void TUnRar::SetFileName(const std::string& ArchiveName) {
    VTRACE("TUnRar::SetFileName");
    CloseHandle();
    FileNames_.Clear();
    FirstIndex.clear();
    Sizes.clear();
    Password_.clear();
    ArchiveName_ = ArchiveName;
    CurrentName.clear();
    MissingVolume.clear();
    VolumeCancelled = false;
    EncryptedReported = false;
    TruncationReported = false;
    if (ArchiveName.empty() || !BindLibrary(ArchiveName)) return;
    void* h = OpenArchive(*this, ArchiveName, RAR_OM_LIST);
    if (!h) return;
    RARHeaderData header{};
    int r;
    bool failed = false, truncated = false;
    // Opened at a later volume of a set (its first member began in an earlier one), and the
    // next volume could not be had.
    bool laterVolume = false, missingNext = false;
    // In archive order: the last member passed whole, and the one the archive ends in.
    std::string lastWhole, cutShort;
    for (size_t index = 0; (r = g_rar.readHeader(h, &header)) == ERAR_SUCCESS; ++index) {
        std::string name = MemberPath(header.FileName);
        const bool listed = Listed(header, name);
        laterVolume = laterVolume || (header.Flags & RHDF_SPLITBEFORE);
        int p = g_rar.processFile(h, RAR_SKIP, nullptr, nullptr);
        if (p == ERAR_EOPEN && laterVolume) {
            // A later volume opened alone, the next one not to be had: the members wholly in
            // the volumes at hand are shown (the first one's page names the set's first
            // volume); the member going on into the missing one is not. When that is the
            // first one, nothing else would name the first volume.
            OutArchiveError(p);
            if ((header.Flags & RHDF_SPLITBEFORE) && listed)
                ShowMessageBox(ArchiveName_, EarlierVolumeText(name), mbOK, TMsgKind::Error);
            missingNext = true;
            break;
        }
        if (listed) {
            FileNames_.Add(name);
            FirstIndex.emplace(name, index);
            Sizes.emplace(name, static_cast<int64_t>(header.UnpSize));
            VTRACE_STR("TUnRar::SetFileName FileName", header.FileName);
        }
        if (p == ERAR_TRUNCATED) {
            if (listed) cutShort = name;
            truncated = true;
            break;
        }
        if (p != ERAR_SUCCESS) {
            OutArchiveError(p);
            failed = true;
            break;
        }
        if (listed) lastWhole = name;
    }
    if (r == ERAR_TRUNCATED) truncated = true;
    if (truncated) {
        // Cut short, as an interrupted download is: what came before the cut is whole and is
        // shown, the member cut short gets its error page, and this is said once.
        TruncationReported = true;
        ShowMessageBox(ArchiveName_, ArchiveEndsEarlyText(lastWhole, cutShort), mbOK, TMsgKind::Error);
    } else if (!failed && !missingNext && r != ERAR_END_ARCHIVE) {
        // Any other failure but the normal end is shown; a damaged archive offers no pages.
        OutArchiveError(r);
        failed = r != ERAR_EOPEN || !laterVolume;
    }
    if (failed) {
        FileNames_.Clear();
        FirstIndex.clear();
        Sizes.clear();
    }
    g_rar.close(h);
}

std::string TUnRar::EarlierVolumeText(const std::string& Member) const {
    // The set's first volume by its name: name.part2.rar -> name.part1.rar (digits kept to
    // their width), name.r00 -> name.rar. A name of any other form is not guessed at.
    std::string first;
    const std::string file = ExtractFileName(ArchiveName_);
    const std::string lower = LowerCase(file);
    const size_t dot = lower.rfind('.');
    if (dot != std::string::npos && lower.compare(dot, std::string::npos, ".rar") == 0) {
        size_t digits = dot;
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(lower[digits - 1]))) --digits;
        if (digits < dot && digits >= 5 && lower.compare(digits - 5, 5, ".part") == 0)
            first = file.substr(0, digits) + std::string(dot - digits - 1, '0') + "1" + file.substr(dot);
    } else if (dot != std::string::npos && lower.size() == dot + 4 && lower[dot + 1] >= 'r' && lower[dot + 1] <= 'z' &&
               std::isdigit(static_cast<unsigned char>(lower[dot + 2])) && std::isdigit(static_cast<unsigned char>(lower[dot + 3]))) {
        first = file.substr(0, dot) + (std::isupper(static_cast<unsigned char>(file[dot + 1])) ? ".RAR" : ".rar");
    }
    std::string why = "it begins in an earlier volume of the set; ";
    if (!first.empty()) {
        std::string path = ArchiveName_.substr(0, ArchiveName_.size() - file.size()) + first;
        why += "open its first volume, " + path;
    } else {
        why += "open the set's first volume";
    }
    return MemberNotShownText(Member, why);
}

int64_t TUnRar::MemberSize(const std::string& MemberName) const {
    auto it = Sizes.find(MemberName);
    return it == Sizes.end() ? -1 : it->second;
}

TMemoryStream* TUnRar::Extract(const std::string& MemberName) {
    VTRACE("TUnRar::Extract");
    if (ArchiveName_.empty() || !BindLibrary(ArchiveName_)) return nullptr;
    MissingVolume.clear();
    VolumeCancelled = false;
    // Read on from the open archive only when the first member of that name lies ahead;
    // anything else walks from the start as a fresh open does.
    auto first = FirstIndex.find(MemberName);
    if (Handle && (first == FirstIndex.end() || first->second < HandleNext)) CloseHandle();
    if (!Handle) {
        Handle = OpenArchive(*this, ArchiveName_, RAR_OM_EXTRACT);
        if (!Handle) return nullptr;
        HandleNext = 0;
        g_rar.kept.push_back(&Handle);
    }
    void* h = Handle;
    Extracting = false;
    bool found = false, keep = false;
    RARHeaderData header{};
    int r;
    while ((r = g_rar.readHeader(h, &header)) == ERAR_SUCCESS) {
        ++HandleNext;
        CurrentName = MemberPath(header.FileName);
        if (CurrentName == MemberName && Listed(header, CurrentName)) {
            found = true;
            Stream->Reuse();
            // The library never hands over more than the header's size, so room for that is
            // made at once: growing by doubling would copy the data and touch twice the memory.
            // It is only reserved, not touched, so a header that lies costs address space.
            try {
                Stream->Bytes().reserve(static_cast<size_t>(std::min<int64_t>(header.UnpSize, kMaxMemberSize)));
            } catch (const std::bad_alloc&) {
                // the stream grows as the data comes
            }
            Extracting = true;
            TooLarge = false;
            int p = g_rar.processFile(h, RAR_TEST, nullptr, nullptr);
            Extracting = false;
            if (p != ERAR_SUCCESS) {
                // Stopped because the program is ending: nothing to report, the member is not damaged.
                const bool earlier = (header.Flags & RHDF_SPLITBEFORE) && !TooLarge && p != ERAR_EOPEN &&
                                     p != ERAR_ENCRYPTED_UNSUPPORTED;
                if (!StopRequested()) {
                    if (earlier) ShowMessageBox(ArchiveName_, EarlierVolumeText(MemberName), mbOK, TMsgKind::Error);
                    else OutArchiveError(TooLarge ? ERAR_NO_MEMORY : p, MemberName);
                }
                Stream->Clear();
            } else {
                keep = true;  // a failed member may have left the library anywhere
            }
            Stream->SetPosition(0);
            break;
        }
        int p = g_rar.processFile(h, RAR_SKIP, nullptr, nullptr);
        if (p != ERAR_SUCCESS) {
            OutArchiveError(p, MemberName, true);
            r = ERAR_SUCCESS;
            break;
        }
    }
    if (!found && r != ERAR_SUCCESS && r != ERAR_END_ARCHIVE) OutArchiveError(r, MemberName, true);
    if (!keep) CloseHandle();
    Extracting = false;
    return found ? Stream.get() : nullptr;
}

}  // namespace vellicor
