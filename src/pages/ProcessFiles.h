#pragma once
// The work queue: every slow job (loading a file list, decoding and processing pages, zoom
// images, thumbnails, info files, page copies) runs one at a time whenever the program is
// idle. The dispatcher Idle is driven from outside, one step per call.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pages/BuffPage.h"
#include "pages/LoadFiles.h"
#include "pages/ThumbList.h"
#include "platform/StringList.h"

namespace vellicor {

class TConfigureForm;

// Job codes; each is enqueued with the priority noted.
enum TRequestType : int {
    rtLoadPage = 1,     // page for display (2)
    rtThumb = 2,        // one thumbnail (3)
    rtStartThumbs = 3,  // start the thumbnails (0)
    rtInfoFile = 4,     // next info file (0)
    rtLoadFiles = 5,    // finish loading the file list (0)
    rtZoomDouble = 6,   // zoom image at double size (2)
    rtZoomWhole = 7,    // zoom image without fitting (2)
    rtHalt = 8,         // work halted (0)
    rtCopyPage = 9,     // copy a page's file (0)
};

struct QueueEntry {
    int32_t FileNumber = 0;
    int32_t Gen = 0;
    int32_t Priority = 0;
    TRequestType Type = rtLoadPage;
};

class TProcessFilesForm;
using TQueueNotifyEvent = std::function<void(TProcessFilesForm& Sender)>;
// The handler sets Lock to have the cache hold the page while it is shown.
using TPageReadyEvent = std::function<void(TProcessFilesForm& Sender, const TBufferedPagePtr& Bitmap, bool& Lock)>;
// The handler takes the bitmap.
using TPreviewReadyEvent = std::function<void(TProcessFilesForm& Sender, std::unique_ptr<TBitmap> Bitmap)>;

class TProcessFilesForm {
public:
    explicit TProcessFilesForm(TConfigureForm& Config);
    virtual ~TProcessFilesForm();
    TProcessFilesForm(const TProcessFilesForm&) = delete;
    TProcessFilesForm& operator=(const TProcessFilesForm&) = delete;

    // The queue.
    void EnQ(int FileNumber, int Gen, int Priority, TRequestType Type);
    bool DeQ(int& FileNumber, int& Gen, TRequestType& Type, int& Priority);
    // Removes every entry but pending halt requests: whoever asked for a halt waits for it.
    void ClearQ();
    void RemoveQ(TRequestType Type);
    const std::vector<QueueEntry>& Queue() const { return Queue_; }

    // One dispatcher step: starts at most one job; true when it did work.
    bool Idle();
    // Asks for OnWorkHalted once all work queued at priority 0 before it has run.
    void HaltWork();
    // Reopens the queue after a halt (does nothing otherwise).
    void RestartWork();
    // Loads a list of file and archive names in idle time; Page becomes LastPage.
    void LoadFiles(const TStringList& Files, int Page);
    int GetFiles() const;
    void ReloadLastFiles();
    // Loads the next or previous file set on disk at page 0; false when there is none.
    bool GetNextFiles();
    bool GetPreviousFiles();

    // Page requests.
    void Get(int File1, int File2, int Gen);
    void GetZooms(bool DoubleSize, int File1, int File2, int Gen);
    void SearchAndDoQ(int FileNumber, TPageCacheType CacheType, int Gen, bool ShowIfReady, int Priority,
                      TRequestType QueueType);
    void PreLoad(int File1, int File2, int Gen);
    // Rotation of one page (FileNumber -1: every page); true when anything changed.
    bool SetRotation(TRotation Rotation, int FileNumber);
    TRotation GetRotation(int FileNumber) const;

    // Small jobs for the window and its dialogs.
    void GenerateThumbs();
    void CopyPageToFile(int FileNumber, const std::string& FileName);
    void NewRecentDirectory(const std::string& Directory);
    // Queues the next info file (the window hides after the last).
    void InitiateDisplayInfoFile();
    // The loader's answer to an info-file request.
    void ContinueInfoDisplay(TStream* Stream, const std::string& FileName);
    // Starts a preview of an archive's first image in a Width x Height box (OnPreviewReady).
    void GetPreviewFromArchive(const std::string& ArchiveName, int Width, int Height);
    // The archive of the newest preview request.
    const std::string& PreviewArchive() const { return PreviewArchive_; }

    TLoadFiles& LoadFile() { return *LoadFile_; }
    const TLoadFiles& LoadFile() const { return *LoadFile_; }
    TConfigureForm& Config() { return Config_; }
    bool Running() const { return Running_; }
    bool Halted() const { return Halted_; }
    bool HasRotations() const { return Rotations_.has_value(); }
    const TStringList& PendingFiles() const { return PendingFiles_; }

    bool FilesLoaded = false;
    bool ThumbsStarted = false;
    bool ThumbsComplete = false;
    int CurrentInfoFile = 0;
    TStringList ThumbNames;
    // One thumbnail per page in page order; null when it could not be made.
    std::unique_ptr<TImageList> ThumbList;

    TQueueNotifyEvent OnFilesReady;
    TQueueNotifyEvent OnThumbsReady;
    TPageReadyEvent OnPageReady;
    TPreviewReadyEvent OnPreviewReady;
    TQueueNotifyEvent OnWorkHalted;
    // A new list replaced the old one: every page and request of it is gone.
    TQueueNotifyEvent OnFilesCleared;

protected:
    // The thumbnail and info-file jobs; the window side supplies them.
    virtual void GetThumbs();
    virtual void GetThumb(int FileNumber);
    virtual void DisplayInfoFiles();
    virtual void DisplayInfoFile();
    virtual void HideInfo();
    // Shows an info file's text in the info window (the window side draws it).
    virtual void ShowInfo(const std::string& Caption, const std::string& Text);

private:
    void Dispatch(const QueueEntry& Entry);
    void CompleteLoadFiles();
    void FilesReady();
    void FilesReadyForDisplay();
    void TidyUp();
    void LoadBMP(int FileNumber, int Gen, TRotation Rotation, TPageCacheType CacheType);
    void ContinueLoadBMP(TProcessBMP* Page);
    void PageReady(const TBufferedPagePtr& Page);
    int Clamp(int FileNumber) const;
    void AbandonJob();
    void ContinueGetThumb(TPageBMP* Page);
    void EndThumbs();
    void StartPreview();
    void PreviewGetFileFromArchive(TPageBMP* Page);
    void RetirePage(std::unique_ptr<TPageBMP>& Page);

    TConfigureForm& Config_;
    std::unique_ptr<TLoadFiles> LoadFile_;
    std::vector<QueueEntry> Queue_;
    bool Running_ = false;
    bool Halted_ = false;
    bool InIdle_ = false;
    TStringList PendingFiles_;
    std::optional<std::vector<TRotation>> Rotations_;
    // Each queued copy keeps its own destination, keyed by the serial it was queued with.
    std::map<int, std::string> CopyDestinations_;
    int CopySerial_ = 0;
    // The pages of the last request (Get): their jobs are visits, the others read ahead.
    int WantedFiles_[2] = {-1, -1};
    int WantedGen_ = -1;
    std::unique_ptr<TPageBMP> ThumbPage_;
    int ThumbFileNumber_ = 0;
    std::unique_ptr<TPageBMP> PreviewPage_;
    int PreviewWidth_ = 0, PreviewHeight_ = 0;
    std::string PreviewArchive_;
    bool PreviewPending_ = false;  // asked for while the loader was busy
    int PreviewSerial_ = 0;
    int LoadDepth_ = 0;  // thumbnail and preview loads on the stack
    // Pages whose completion handler is still on the stack; freed at the next job.
    std::vector<std::unique_ptr<TPageBMP>> Retired_;
    TBufferedPagePtr LoadingPage_;  // the page whose job holds the queue
};

}  // namespace vellicor
