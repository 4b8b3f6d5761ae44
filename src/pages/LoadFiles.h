#pragma once
// The file loader: turns opened names (loose files and archives) into the page list and
// serves the bytes of any listed file, from disk, from an archive or from a copy read ahead.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/Streams.h"
#include "platform/StringList.h"
#include "platform/UiServices.h"

namespace vellicor {

class IArchiveSource;
class TPageList;
class TCheckChecksums;

// Sender is the loader's owner. The stream belongs to the loader (or to the page list
// entry); the receiver reads it during the call and never frees it. Null: no stream.
using TLoaderStreamEvent = std::function<void(void* Sender, TStream* Stream, const std::string& FileName)>;
using TLoaderNotifyEvent = std::function<void(void* Sender)>;

enum TLoaderState : int {
    lsIdle = 0,
    lsLoadingList = 1,
    lsListingArchive = 2,
    lsPageStream = 3,
    lsInfoStream = 4,
    lsPreview = 6,
    lsPreloading = 7,
    lsCopyPage = 8,
};

class TLoadFiles {
public:
    explicit TLoadFiles(void* Owner);
    virtual ~TLoadFiles();
    TLoadFiles(const TLoadFiles&) = delete;
    TLoadFiles& operator=(const TLoadFiles&) = delete;

    // Replaces the archive side (null: archives are not readable).
    void SetArchiveSource(std::unique_ptr<IArchiveSource> Source);

    // Starts loading a list of names (page is not used here). An empty list does nothing.
    void LoadFiles(const TStringList& Names, int Page);
    // Serves page FileNumber through OnStreamReady. The callback set before the call belongs
    // to this request and fires exactly once (null stream when the page cannot be read).
    // True when an archive had to be opened first.
    virtual bool LoadPage(int FileNumber);
    // Serves info file Index through OnInfoReady.
    void LoadInfo(int Index);
    // Writes page FileNumber's bytes to Destination, its extension replaced by the page's type.
    bool CopyPage(int FileNumber, const std::string& Destination);
    // Whether the last CopyPage wrote its file.
    bool CopyWritten() const { return CopyWritten_; }
    // The file a copy of the page PageName to Destination is written to (the extension of
    // the page's type); "" when the page's type is not known.
    // What is said of a page refused by its size: Name (the member's or the file's) "is not
    // shown: it unpacks to (is) N MB, more than the B MB a page may take."
    static std::string TooLargeText(const std::string& Name, int64_t Size, int64_t Budget, bool Member);
    static std::string CopyTarget(const std::string& PageName, const std::string& Destination);
    // Serves the alphabetically first image of an archive through OnPreviewReady.
    virtual void GetPreview(const std::string& ArchiveName);
    // One read-ahead step; true when it did something.
    bool Idle();
    // Forgets the list, every stream read ahead and the open archive.
    void TidyUp();

    TPageList* FileNames() const { return FileNames_.get(); }
    TCheckChecksums* Checksums() const { return Checksums_.get(); }
    const TStringList& OpenedFiles() const { return OpenedFiles_; }
    const std::string& BaseDirectory() const { return BaseDirectory_; }
    const std::string& CurrentArchive() const { return CurrentArchive_; }
    TLoaderState State() const { return State_; }
    bool Busy() const { return Busy_; }
    int CurrentFile() const { return CurrentFile_; }
    int StreamsLoaded() const { return StreamsLoaded_; }
    // Bytes held by the streams read ahead.
    int64_t PreloadBytes() const { return PreloadBytes_; }
    bool PreloadDue() const { return PreloadDue_; }
    // The read-ahead window [Start, End) around CurrentFile.
    void PreloadWindow(int& Start, int& End) const;

    // Bytes that read-ahead copies may hold together; a page larger than what is left is
    // served without a kept copy, and read-ahead stops when it is spent. An archive member
    // stated larger than this is refused by name, unread, and so is a loose file larger.
    int64_t PreloadBudget = kPageBudget;
    // Set while a page is read for something other than its own visit (a thumbnail, a page
    // the page cache reads ahead): a member lost to its password is then left alone, as by
    // the read-ahead, instead of asking again right after the question was cancelled.
    bool Background = false;
    // Set by the queue: the messages of archive members that fail as pages are gathered per
    // archive and told in one message each (naming the members) by ReportFailures, which
    // the queue calls as its work settles. Unset, each message shows as it comes.
    bool GatherFailures = false;
    // A visited page's failure waits at most this long for those the background reads meet:
    // short of a second by the time its box may take to come on a loaded machine.
    int GatherWindowMs = 750;
    // Shows the gathered failures: all of them (the queue has nothing more to do), else
    // only those of archives whose visited page has waited GatherWindowMs. True when a
    // message was shown. May be called at any time, also from within a long step that lets
    // messages through; while one of its boxes shows, a second call shows nothing.
    bool ReportFailures(bool All);
    // Milliseconds until the held failure of a visited page falls due (0: due now); -1
    // when none is held, or while one of ReportFailures' boxes shows (that call tells
    // what fell due meanwhile once the box is closed). The window side keeps a timer on
    // it, so that the message does not wait for the step in progress or for the queue to
    // settle.
    int FailureDueInMs() const;
    // The clock the gathering goes by (tests replace it).
    std::chrono::steady_clock::time_point (*Now)() = &std::chrono::steady_clock::now;

    TLoaderNotifyEvent OnFilesReady;
    TLoaderStreamEvent OnStreamReady;
    TLoaderStreamEvent OnInfoReady;
    TLoaderStreamEvent OnPreviewReady;

private:
    void ContinueLoadFiles();
    void InitialArchiveFile();
    bool OpenArchive(const std::string& ArchiveName, TStringList& Members);
    TStream* ExtractMember(const std::string& MemberName);
    // A member as a page: null, after saying so unless Quiet, when it is stated larger than
    // the page budget.
    TStream* ExtractPage(const std::string& ArchiveName, const std::string& MemberName, bool Quiet = false);
    bool GetStream(TLoaderState StateWanted, int PageNumber, const std::string& ArchiveName,
                   const std::string& FileName, TLoaderStreamEvent Callback);
    bool LoadPageAs(TLoaderState StateWanted, int FileNumber, TLoaderStreamEvent Callback);
    void ContinueCopyPage(TStream* Stream, const std::string& FileName);
    bool PreloadNextStreams();
    bool UnloadOldStreams();
    void CloseArchive();
    int FileBufferSize() const;

    void* Owner_;
    std::unique_ptr<IArchiveSource> Archive_;
    std::unique_ptr<TPageList> FileNames_;
    std::unique_ptr<TCheckChecksums> Checksums_;
    TStringList FilesToProcess_;
    TStringList ArchiveMembers_;
    TMemoryStream FileStream_;
    TStringList OpenedFiles_;
    std::string BaseDirectory_;
    std::string CurrentArchive_;
    std::string CopyDestination_;
    TLoaderState State_ = lsIdle;
    int CurrentFile_ = 0;
    bool PreloadDue_ = false;
    int StreamsLoaded_ = 0;
    int64_t PreloadBytes_ = 0;
    bool BudgetHit_ = false;  // a stream read ahead found no room in the budget
    // Members that could not be read (archive and name): not read again, neither by the
    // read-ahead nor when the page is asked for, so that a damaged member's message comes
    // once, until the set is opened again.
    std::unordered_set<std::string> PreloadFailed_;
    // Members lost to their password (wrong, or the question cancelled): read again only
    // when their page is asked for, as the answer may be different then.
    std::unordered_set<std::string> PasswordFailed_;
    bool LostToPassword_ = false;  // the last member extracted was lost to its password
    // The failures gathered since they were last told, per archive in the order met.
    struct FailureReport {
        std::string archive;
        std::vector<std::string> members;  // members whose page failed
        std::vector<HeldMessage> messages;
        bool visit = false;  // a visited page failed: told once GatherWindowMs has passed
        std::chrono::steady_clock::time_point since;
    };
    std::vector<FailureReport> Reports_;
    bool Reporting_ = false;  // one of ReportFailures' boxes is showing
    void Gather(const std::string& ArchiveName, const std::string& FileName, bool Failed, bool Visit,
                std::vector<HeldMessage>& Messages);
    bool Busy_ = false;
    bool CopyWritten_ = false;
};

}  // namespace vellicor
