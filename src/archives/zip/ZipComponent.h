#pragma once
// The zip component: reads a zip archive's directory itself and extracts through the
// unzip run-time library (adding and deleting through the zip library).
//
// Use from the archive front end:
//   TZipComponent zip;                       // one per front end
//   zip.OnDirUpdate = [](TZipComponent*) {...};
//   zip.Load_Unz_Dll();                      // once; Unload_Unz_Dll() at the end
//   zip.SetZipFileName(path);                // lists at once, OnDirUpdate fires
//   for (int i = 0; i < zip.GetCount(); ++i) zip.ZipContents()[i]->FileName;
//   TZipStream* s = zip.ExtractFileToStream(name);  // owned by the component; null on failure
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "archives/zip/ZipDllAddApi.h"
#include "archives/zip/ZipDllApi.h"
#include "archives/zip/ZipRecords.h"
#include "platform/DynLib.h"
#include "platform/Streams.h"
#include "platform/StringList.h"

namespace vellicor {

class IVolumeService;
class TZipComponent;

// A small set over an enumeration with values below 32.
template <typename E>
class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> values) {
        for (E v : values) bits_ |= Bit(v);
    }
    constexpr bool Contains(E v) const { return (bits_ & Bit(v)) != 0; }
    constexpr void Include(E v) { bits_ |= Bit(v); }
    constexpr void Exclude(E v) { bits_ &= ~Bit(v); }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr uint32_t Bits() const { return bits_; }
    static constexpr TSet FromBits(uint32_t b) {
        TSet s;
        s.bits_ = b;
        return s;
    }
    constexpr bool operator==(const TSet&) const = default;

private:
    static constexpr uint32_t Bit(E v) { return uint32_t(1) << static_cast<int>(v); }
    uint32_t bits_ = 0;
};

enum AddOptsEnum {
    AddDirNames, AddRecurseDirs, AddMove, AddFreshen, AddUpdate, AddZipTime, AddForceDOS, AddHiddenFiles,
    AddArchiveOnly, AddResetArchive, AddEncrypt, AddSeparateDirs, AddVolume, AddDiskSpan, AddDiskSpanErase
};
enum ExtrOptsEnum { ExtrDirNames, ExtrOverWrite, ExtrFreshen, ExtrUpdate, ExtrTest };
enum SFXOptsEnum { SFXAskCmdLine, SFXAskFiles, SFXAutoRun, SFXHideOverWriteBox, SFXCheckSize, SFXNoSuccessMsg };
enum OvrOpts { OvrConfirm, OvrAlways, OvrNever };
enum CPOpts { cpAUTO, cpNone, cpOEM };
enum DeleteOpts { htdFinal, htdAllowUndo };
enum AddStoreSuffix {
    assGIF, assPNG, assZ, assZIP, assZOO, assARC, assLZH, assARJ, assTAZ, assTGZ, assLHA, assRAR, assACE, assCAB,
    assGZ, assGZIP, assJAR, assEXE
};
enum TPasswordButton { pwbOk = 0, pwbCancel = 1, pwbCancelAll = 2, pwbAbort = 3 };
using TPasswordButtons = TSet<TPasswordButton>;
enum ProgressType { NewFile = 0, ProgressUpdate = 1, EndOfBatch = 2, TotalFiles2Process = 3, TotalSize2Process = 4 };
enum UnZipSkipTypes {
    stOnFreshen, stNoOverwrite, stFileExists, stBadPassword, stNoEncryptionDLL, stCompressionUnknown,
    stUnknownZipHost, stZipFileFormatWrong, stGeneralExtractError
};
// Disk status bits and the handler's answer for a disk of a spanned set being written.
using TZipDiskStatus = uint32_t;
enum TZipDiskAction { zdaOk = 0, zdaErase = 1, zdaReject = 2, zdaCancel = 3 };

using TZipAddOptions = TSet<AddOptsEnum>;
using TZipExtrOptions = TSet<ExtrOptsEnum>;
using TZipSFXOptions = TSet<SFXOptsEnum>;
using TZipStoreSuffixes = TSet<AddStoreSuffix>;

// One central-directory entry.
struct ZipDirEntry {
    // The central header without its signature, field by field in file order.
    uint16_t MadeByVersion = 0;  // low byte version, high byte host system
    uint16_t NeedVersion = 0;
    uint16_t Flag = 0;
    uint16_t ComprMethod = 0;
    uint16_t ModifTime = 0;
    uint16_t ModifDate = 0;
    uint32_t CRC32 = 0;
    uint32_t ComprSize = 0;
    uint32_t UncomprSize = 0;
    uint16_t FileNameLength = 0;
    uint16_t ExtraFieldLength = 0;
    uint16_t FileCommentLen = 0;
    uint16_t StartOnDisk = 0;
    uint16_t IntFileAttrib = 0;
    uint32_t ExtFileAttrib = 0;
    uint32_t RelOffLocalHdr = 0;
    std::string FileName;     // converted to UTF-8, "/" turned into "\"
    std::string FileComment;  // converted; empty when none
    bool Encrypted = false;
    std::vector<uint8_t> ExtraData;  // copy of the extra field; empty when none
    std::string RawFileName;  // the name bytes exactly as stored
};

// The component's memory stream; every extraction to memory returns the same one.
class TZipStream : public TMemoryStream {
public:
    // Takes size bytes from ptr as the stream's contents (position 0). The platform's
    // memory stream owns its storage, so the bytes are taken over by copy.
    void SetPointer(const void* ptr, int64_t size);
};

// One item of a rename list: Source is looked for in each entry's name and replaced by
// Dest; a non-zero DateTime (DOS date high, time low) becomes the entry's date and time.
struct RenameItem {
    std::string Source;
    std::string Dest;
    uint32_t DateTime = 0;
};

// An icon as its icon-file bytes; empty when it holds none.
class TZipIcon {
public:
    bool Empty() const { return bytes_.empty(); }
    void Clear() { bytes_.clear(); }
    bool LoadFromFile(const std::string& name);
    void LoadFromBytes(std::vector<uint8_t> bytes) { bytes_ = std::move(bytes); }
    void SaveToStream(TMemoryStream& s) const { s.Write(bytes_.data(), static_cast<int64_t>(bytes_.size())); }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

class EZipComponent : public std::runtime_error {
public:
    EZipComponent(int resId, bool display);
    EZipComponent(int resId, int arg);
    EZipComponent(int resId, const std::string& arg);
    EZipComponent(int resId, const std::string& arg1, const std::string& arg2);
    bool DisplayMsg;
    int ResId;
};

// Message numbers used across the component.
enum ZipMessageId : int {
    GE_FatalZip = 10101, GE_NoZipSpecified = 10102, GE_NoMem = 10103, GE_WrongPassword = 10104,
    PW_UnatAddPWMiss = 10150, PW_UnatExtPWMiss = 10151, PW_Ok = 10152, PW_Cancel = 10153, PW_Caption = 10154,
    PW_MessageEnter = 10155, PW_MessageConfirm = 10156, PW_CancelAll = 10157, PW_Abort = 10158, PW_ForFile = 10159,
    LI_ReadZipError = 10201, LI_ErrorUnknown = 10202, LI_WrongZipStruct = 10203, LI_GarbageAtEOF = 10204,
    AD_NothingToZip = 10301, AD_UnattPassword = 10302, AD_NoFreshenUpdate = 10303, AD_AutoSFXWrong = 10304,
    AD_NoStreamDLL = 10305, AD_InIsOutStream = 10306, AD_InvalidName = 10307, AD_SpannedSet = 10308,
    DL_NothingToDel = 10401,
    GE_CopyFile = 10105, GE_SFXCopyError = 10140, GE_NoSkipping = 10141, GE_Processing = 10142, GE_RenamedTo = 10143,
    GE_DatesKept = 10144,
    CF_SourceIsDest = 10180, CF_OverwriteYN = 10181, CF_CopyFailed = 10182, CF_SourceNotFound = 10183,
    CF_SFXCopyError = 10184, CF_DestFileNoOpen = 10185,
    SF_StringToLong = 10801, SF_NoZipSFXBin = 10802, SF_InputIsNoZip = 10803,
    CZ_NoExeSpecified = 10901, CZ_InputNotExe = 10902, CZ_SFXTypeUnknown = 10903,
    DS_NoTempFile = 11027, DS_NoDiskSpan = 11041,
    EX_FatalUnZip = 10501, EX_UnAttPassword = 10502, EX_NoStreamDLL = 10503,
    LZ_ZipDllLoaded = 10601, LZ_NoZipDllExec = 10602, LZ_NoZipDllVers = 10603, LZ_NoZipDll = 10604,
    LU_UnzDllLoaded = 10701, LU_NoUnzDllExec = 10702, LU_NoUnzDllVers = 10703, LU_NoUnzDll = 10704,
    DS_NoInFile = 11001, DS_FileOpen = 11002, DS_NotaDrive = 11003, DS_DriveNoMount = 11004,
    DS_NoMem = 11006, DS_Canceled = 11007, DS_FailedSeek = 11008, DS_NoWrite = 11010, DS_EOCBadRead = 11011,
    DS_CEHBadRead = 11013, DS_CEHWrongSig = 11015, DS_CENameLen = 11017, DS_FileError = 11022,
    DS_UnknownError = 11024, DS_NoUnattSpan = 11025, DS_EOCBadWrite = 11030, DS_InsertDisk = 11033,
    DS_InsertVolume = 11034, DS_InDrive = 11035, DS_NoValidZip = 11036, DS_FirstInSet = 11037,
    DS_NotLastInSet = 11038, DS_FirstFileOnHD = 11045, DS_InsertAVolume = 11046, DS_Zip64 = 11048,
    DS_VolumeMissing = 11049
};

// Loaded library: handle and entries (null where not found).
struct TZipLibrary {
    LibHandle handle = nullptr;
    void* exec = nullptr;
    DllVersionFunc version = nullptr;
    DllVersionFunc privVersion = nullptr;
};

class TZipComponent {
public:
    explicit TZipComponent(void* owner = nullptr);
    virtual ~TZipComponent();
    TZipComponent(const TZipComponent&) = delete;
    TZipComponent& operator=(const TZipComponent&) = delete;

    // ---- Published properties -------------------------------------------------------
    bool Verbose = false;
    bool Trace = false;
    int AddCompLevel = 9;
    TZipAddOptions AddOptions;
    TZipExtrOptions ExtrOptions;
    TZipSFXOptions SFXOptions{SFXCheckSize};
    std::string ExtrBaseDir;
    std::string Password;
    std::string SFXPath;
    OvrOpts SFXOverWriteMode = OvrConfirm;
    std::string SFXCaption = "Self-extracting Archive";
    std::string SFXDefaultDir, SFXCommandLine, SFXMessage;
    std::string TempDir;
    bool ConfirmErase = true;
    bool Unattended = false;
    CPOpts CodePage = cpAUTO;
    DeleteOpts HowToDelete = htdAllowUndo;
    TZipStoreSuffixes AddStoreSuffixes;  // every value but assEXE (set by the constructor)
    bool UseDirOnlyEntries = false;

    TStringList& FSpecArgs() { return fSpecArgs_; }
    void SetFSpecArgs(const TStringList& list) { fSpecArgs_ = list; }
    TStringList& FSpecArgsExcl() { return fSpecArgsExcl_; }
    void SetFSpecArgsExcl(const TStringList& list) { fSpecArgsExcl_ = list; }
    const std::string& ZipFileName() const { return zipFileName_; }
    void SetZipFileName(const std::string& name) { SetFileName(name); }
    const std::string& DLLDirectory() const { return dllDirectory_; }
    void SetDLLDirectory(const std::string& dir);
    int64_t KeepFreeOnDisk1() const { return keepFreeOnDisk1_; }
    void SetKeepFreeOnDisk1(int32_t v);
    int64_t MaxVolumeSize() const { return maxVolumeSize_; }
    void SetMaxVolumeSize(int32_t v);
    int64_t MinFreeVolumeSize() const { return minFreeVolumeSize_; }
    void SetMinFreeVolumeSize(int32_t v);
    unsigned PasswordReqCount() const { return passwordReqCount_; }
    void SetPasswordReqCount(unsigned v);
    const std::string& RootDir() const { return rootDir_; }
    void SetRootDir(const std::string& dir);
    std::string VersionInfo() const;

    // ---- Events -----------------------------------------------------------------------
    std::function<void(TZipComponent* Sender, ProgressType ProgrType, const std::string& FileName, uint32_t FileSize)>
        OnProgress;
    std::function<void(TZipComponent* Sender, int ErrCode, const std::string& Message)> OnMessage;
    std::function<void(TZipComponent* Sender)> OnDirUpdate;
    std::function<void(TZipComponent* Sender, std::string& OldFileName, bool& IsChanged)> OnSetNewName;
    std::function<void(TZipComponent* Sender, int SeqNo, const ZipDirEntry& ZipEntry)> OnNewName;
    std::function<void(TZipComponent* Sender, bool IsZipAction, std::string& NewPassword, const std::string& ForFile,
                       unsigned& RepeatCount, TPasswordButton& Action)>
        OnPasswordError;
    std::function<void(TZipComponent* Sender, const std::string& ForFile, unsigned FoundCRC, unsigned ExpectedCRC,
                       bool& DoExtract)>
        OnCRC32Error;
    std::function<void(TZipComponent* Sender, const std::string& ForFile, bool IsOlder, bool& DoOverwrite, int DirIndex)>
        OnExtractOverwrite;
    std::function<void(TZipComponent* Sender, const std::string& ForFile, UnZipSkipTypes SkipType, int ExtError)>
        OnExtractSkipped;
    std::function<void(TZipComponent* Sender, const std::string& ForFile, bool& DoOverwrite)> OnCopyZipOverwrite;
    std::function<void(TZipComponent* Sender, int DiskSeqNo, int DiskTotal, const std::string& Drive, bool& Cancel)>
        OnGetNextDisk;
    std::function<void(TZipComponent* Sender, int PreviousDisk, const std::string& PreviousFile, TZipDiskStatus Status,
                       TZipDiskAction& Action)>
        OnStatusDisk;
    std::function<void(TZipComponent* Sender, const std::string& ForFile, std::string& FileComment, bool& IsChanged)>
        OnFileComment;

    // ---- Run-time state ---------------------------------------------------------------
    int ErrCode() const { return errCode_; }
    // "Cancel all" or "Abort" answered a password question since the archive was listed.
    bool PasswordQuestionsStopped() const { return stopPasswordQuestions_; }
    int FullErrCode() const { return fullErrCode_; }
    const std::string& Message() const { return message_; }
    bool Cancel() const { return cancel_; }
    void SetCancel(bool c) { cancel_ = c; }
    int SuccessCnt() const { return successCnt_; }
    const std::vector<std::unique_ptr<ZipDirEntry>>& ZipContents() const { return zipContents_; }
    TZipStream* ZipStream() { return zipStream_.get(); }
    int64_t TotalSizeToProcess() const { return totalSize_; }

    // ---- Core ---------------------------------------------------------------------------
    int GetCount() const;
    void FreeZipDirEntryRecords();
    static bool FileExists(const std::string& name);
    static bool DirExists(const std::string& name);
    // Converts text from (toOem false) or to (toOem true) the OEM code page when the
    // CodePage rules say so for the current entry.
    void ConvertOem2Iso(std::string& text, bool toOem) const;
    void StartWaitCursor();
    void StopWaitCursor();
    static std::string LoadZipStr(int id, const std::string& defaultText);
    void ShowZipMessage(int id, const std::string& extra = {});
    void ShowExceptionError(const EZipComponent& e);
    // The libraries' callback; Caller in the record is the component.
    static int32_t ZCallback(ZCallBackStruct* record);

    int GetZipVers();
    int GetZipPrivVers();
    int GetUnzVers();
    int GetUnzPrivVers();
    std::string GetZipComment() const;
    void SetZipComment(const std::string& text);
    const std::string& ZipCommentRaw() const { return zipComment_; }

    // ---- The libraries ------------------------------------------------------------------
    void Load_Unz_Dll();
    void Unload_Unz_Dll();
    void Load_Zip_Dll();
    void Unload_Zip_Dll();
    bool ZipBusy() const { return zipBusy_; }
    bool UnzDllLoaded() const { return unzLib_.handle != nullptr && unzLib_.exec != nullptr && unzLib_.version; }
    bool ZipDllLoaded() const { return zipLib_.handle != nullptr && zipLib_.exec != nullptr && zipLib_.version; }
    static const char* const kUnzDllName;
    static const char* const kZipDllName;

    // ---- Passwords ------------------------------------------------------------------------
    TPasswordButton GetPassword(const std::string& title, const std::string& prompt, TPasswordButtons buttons,
                                std::string& answer);
    std::string GetAddPassword();
    std::string GetExtrPassword();

    // ---- Directory listing --------------------------------------------------------------
    void SetFileName(const std::string& name);
    void List();
    bool CheckIfLastDisk(zip::EndOfCentral& record, bool raise);
    int64_t EOCPosition() const { return eocPosition_; }
    int64_t ZipFileSize() const { return fileSize_; }
    int64_t CentralOffset() const { return centralOffset_; }
    int64_t SFXOffset() const { return sfxOffset_; }
    bool Spanned() const { return spanned_; }
    int CurrentDisk() const { return currentDisk_; }
    int DirOnlyCount() const { return dirOnlyCount_; }
    // Index of the first entry named exactly name, else of the first whose name equals it
    // ignoring case; "/" and "\" alike; -1 when none.
    int FindEntry(const std::string& name) const;

    // ---- Extraction ---------------------------------------------------------------------
    void Extract();
    TZipStream* ExtractFileToStream(const std::string& FileName);
    TZipStream* ExtractStreamToStream(TMemoryStream* InStream, uint32_t OutSize);
    void ExtExtract(int UseStream, TMemoryStream* MemStream);
    // The largest member extracted into memory.
    static constexpr int64_t kMaxStreamMember = int64_t(1) << 30;

    // ---- Adding and deleting --------------------------------------------------------------
    void Add();
    // Adds the component's stream as the entry FileName (FileDate 0: now).
    void AddStreamToFile(const std::string& FileName, uint32_t FileDate, uint32_t FileAttr);
    // Packs InStream into the component's stream (a 6-byte head, then the data); null on failure.
    TZipStream* AddStreamToStream(TMemoryStream* InStream);
    void ExtAdd(int UseStream, uint32_t StrFileDate, uint32_t StrFileAttr, TMemoryStream* MemStream);
    void Delete();
    // Appends ".suffix:" to list when value is among AddStoreSuffixes.
    void AddSuffix(AddStoreSuffix value, std::string& list, int index) const;
    // The store-suffix list of the zip record: ".gif:.png:...", no colon at the end.
    std::string StoreSuffixList() const;

    // ---- Renaming, copying entries, self-extractors ----------------------------------------
    int Rename(std::vector<RenameItem>& RenameList, uint32_t DateTime);
    int CopyZippedFiles(TZipComponent* DestZipComponent, bool DeleteFromSource, OvrOpts OverwriteDest);
    int ConvertSFX() { return ConvertSFX(false); }
    int ConvertSFX(bool automatic);
    int ConvertZIP();
    bool IsZipSFX(const std::string& name);
    // The first 2,048 bytes of the open file hold another maker's stub text.
    static bool IsInstallShield(int file);
    // Puts SFXIcon into the icon resource of the stub at the start of file.
    int ReplaceIcon(int file, int64_t stubSize);
    TZipIcon& SFXIcon() { return sfxIcon_; }
    void SetSFXIcon(const TZipIcon& icon) { sfxIcon_ = icon; }
    // The settings header written behind the stub.
    std::vector<uint8_t> MakeSFXHeader() const;

    // ---- File operations ----------------------------------------------------------------
    static std::string AppendSlash(const std::string& dir);
    static std::string ReplaceForwardSlash(const std::string& text);
    // 0 when copied (to the end of the input with length -1), -2 on a short write, -9 on a
    // read error.
    int CopyBuffer(int inFile, int outFile, int64_t length);
    int CopyFile(const std::string& inName, const std::string& outName);
    static int EraseFile(const std::string& name, DeleteOpts how);
    std::string MakeTempFileName(const std::string& prefix, const std::string& ext);

    // ---- Disks of spanned sets ----------------------------------------------------------
    void SetVolumeService(IVolumeService* service) { volumes_ = service; }  // null: the system's
    IVolumeService& Volumes() const;
    void DiskFreeAndSize(int flags);
    bool IsDiskPresent();
    unsigned CheckForDisk();
    bool IsRightDisk(unsigned driveType);
    void GetNewDisk(int volume);
    int64_t DiskFree() const { return diskFree_; }
    int64_t DiskSize() const { return diskSize_; }
    const std::string& VolumeName() const { return volumeName_; }
    const std::string& DriveRoot() const { return drive_; }
    void SetDriveRoot(const std::string& root) { drive_ = root; }
    const std::string& CurrentVolumeFile() const { return inFileName_; }
    void SetCurrentVolumeFile(const std::string& name) { inFileName_ = name; }
    void SetCurrentDisk(int d) { currentDisk_ = d; }
    int TotalDisks() const { return totalDisks_; }
    void SetTotalDisks(int d) { totalDisks_ = d; }
    void SetNewDiskFlag(bool f) { newDisk_ = f; }
    bool NewDiskFlag() const { return newDisk_; }
    int InputHandle() const { return inFile_; }
    void CloseInput();

    // ---- Spanned sets: writing, joining, formatting -------------------------------------
    // Copies a finished archive out as a spanned set; 0, or -7/-8/-9 after a reported failure.
    int WriteSpan(const std::string& InFileName, const std::string& OutFileName);
    void WriteSplit(const void* buffer, int64_t length, int64_t room);
    void RWSplitData(void* buffer, int64_t length, int message);
    void RWJoinData(void* buffer, int64_t length, int message);
    void WriteJoin(const void* buffer, int64_t length, int message);
    // Copies the central directory and end record from the input to outFile, moving every
    // offset by change; 0 done, -2 failed.
    int RWCentralDir(int outFile, const zip::EndOfCentral& end, int64_t change);
    // Formats the disk of the drive root with the volume label set before; -3 when nothing
    // could run, -2 cancelled, -1 failed, 0 done.
    int ZipFormat();
    const std::string& FormatLabel() const { return formatLabel_; }
    void SetFormatLabel(const std::string& label) { formatLabel_ = label; }
    const std::string& FormatError() const { return formatError_; }

protected:
    // Fills the unzip record for a library of version dllVersion (new layout from 152).
    void SetUnZipSwitches(const std::string& zipName, int dllVersion);
    int ReadSpan(const std::string& inFileName, std::string& outFilePath);
    // Fills the zip record for a library of version dllVersion (new layout from 151).
    void SetZipSwitches(const std::string& zipName, int dllVersion);
    // Reads n bytes of a set, going on to the next volume at a volume's end; false when
    // the set ends first. A short read inside a volume raises message.
    int64_t ReadAcross(void* buffer, int64_t n, int message);
    void SkipAcross(int64_t n, int message);
    bool InputAtEnd() const;
    // The joined file of this set kept for extraction to memory; dropped by a new listing.
    void DropJoinedSpan();

private:
    friend struct ZipCallbackAccess;
    friend class TSHFormatThread;
    void LoadLibraryFor(bool unzip);
    void UnloadLibraryFor(bool unzip);
    int RequestVersion(bool unzip, bool priv);
    int32_t HandleCallback(ZCallBackStruct& rec);
    void CallbackPassword(ZCallBackStruct& rec, const std::string& text);
    void ListArchive();
    int64_t FileSizeOfInput() const;
    // Buffered reading of the input (the listing reads many small records).
    int64_t ReadInput(void* buf, int64_t n);
    bool SeekInput(int64_t pos);
    // The directory's records at the input (read from centralOffset_, or already in the
    // input buffer when fromBuffer).
    void ReadCentralDirectory(const zip::EndOfCentral& end, bool fromBuffer = false);
    void BuildIndex();
    // The listing after a delete from the directory the library wrote; false (nothing
    // changed) when the listing has to read the file instead.
    bool ListWritten();

    void* owner_;
    std::string zipFileName_;
    std::string dllDirectory_;
    int64_t keepFreeOnDisk1_ = 0;
    int64_t maxVolumeSize_ = 0;
    int64_t minFreeVolumeSize_ = 65536;
    unsigned passwordReqCount_ = 1;
    std::string rootDir_;
    TStringList fSpecArgs_;
    TStringList fSpecArgsExcl_;

    int errCode_ = 0;
    int fullErrCode_ = 0;
    std::string message_;
    bool cancel_ = false;
    int successCnt_ = 0;
    int64_t totalSize_ = 0;
    std::vector<std::unique_ptr<ZipDirEntry>> zipContents_;
    std::unordered_map<std::string, int> index_;       // case-folded name -> first entry
    std::unordered_map<std::string, int> exactIndex_;  // name as listed -> first entry
    std::unique_ptr<TZipStream> zipStream_;
    void* handle_ = nullptr;
    int waitCursorCount_ = 0;

    TZipLibrary unzLib_;
    TZipLibrary zipLib_;
    ZipParams* zipParams_ = nullptr;
    ZipParamsOld* zipParamsOld_ = nullptr;
    std::vector<ZipFileData> zipSpecs_;
    std::vector<const char*> zipExcl_;
    std::vector<std::unique_ptr<char[]>> zipTexts_;
    const char* KeepZipText(const std::string& s);
    void EndZipRun(bool unloadLibrary);
    bool NewZipParams(int version, bool& newLayout, const std::string& zipName);
    void RemoveSpanItems();
    // Paths the library reported taking while a move into a spanned set waits for the set.
    bool collectSpanItems_ = false;
    std::vector<std::string> spanItems_;
    // The new archive's directory handed back by the library during a delete.
    bool keepWritten_ = false;
    std::vector<uint8_t> writtenDirectory_;
    int RewriteFailed();
    TZipIcon sfxIcon_;
    void ReadSFXHeader(const uint8_t* p, size_t n);
    bool unzBusy_ = false;
    bool zipBusy_ = false;
    UnZipParams* unzParams_ = nullptr;
    UnZipParamsOld* unzParamsOld_ = nullptr;
    std::vector<UnzFileData> unzSpecs_;
    std::vector<std::unique_ptr<char[]>> unzTexts_;
    const char* KeepText(const std::string& s, size_t maxLength = std::string::npos);

    // Password request state of callback action 8.
    bool inLibraryPasswordRequest_ = false;
    std::string passwordMember_;  // the member the library asks the password for
    int passwordModalResult_ = 0;
    // Kept in memory only, for the archive open now: the password that last served a
    // member, the one typed during the current extraction, and whether the reader said
    // "Cancel all" or "Abort" (then nobody is asked again until the archive is opened anew).
    std::string archivePassword_;
    std::string typedPassword_;
    bool stopPasswordQuestions_ = false;

    // Entry whose host decides the code-page conversion.
    uint16_t currentMadeBy_ = 0;
    uint16_t currentFlags_ = 0;

    // Listing state.
    std::string zipComment_;
    int64_t eocPosition_ = 0;
    int64_t fileSize_ = 0;
    int64_t centralOffset_ = 0;
    int64_t sfxOffset_ = 0;
    int64_t archiveShift_ = 0;
    bool spanned_ = false;
    bool firstPart_ = false;
    int currentDisk_ = 0;
    int dirOnlyCount_ = 0;
    int endDiskNumber_ = 0;

    // Disks.
    IVolumeService* volumes_ = nullptr;
    std::string drive_;
    std::string inFileName_;
    int inFile_ = -1;
    std::vector<uint8_t> inBuf_;
    size_t inBufPos_ = 0, inBufLen_ = 0;
    int totalDisks_ = 0;
    std::string volumeName_;
    uint32_t volumeSerial_ = 0;
    int64_t diskFree_ = -1;
    int64_t diskSize_ = -1;
    bool newDisk_ = false;
    unsigned lastDriveType_ = 0;
    bool progressOn_ = true;

    // Spanned sets.
    std::string splitLastName_;  // the last part of a set named name.z01, name.z02, ...; else ""
    // The archive whose volume, label and neighbours the last listing found ("" when it
    // found no archive): a file rewritten in its place keeps them.
    std::string listedFile_;
    std::string targetBase_;
    std::string outFileName_;
    int outFile_ = -1;
    int64_t bytesOnVolume_ = 0;
    int64_t sourceMTime_ = 0;  // nanoseconds
    TZipDiskAction diskAction_ = zdaOk;
    std::vector<std::string> writtenVolumes_;
    std::string joinedSpan_, joinedSpanFor_, joinFailedFor_;
    int joinedSpanFd_ = -1;  // the joined file, already unlinked: nothing is left behind
    // The disk format.
    std::string formatLabel_;
    std::string formatError_;
    std::atomic<int> formatState_{0};  // 0 waiting, 1 running, 2 done
    std::atomic<int> formatResult_{-3};
    std::atomic<bool> formatAutoStart_{false};
};

}  // namespace vellicor
