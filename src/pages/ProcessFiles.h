#pragma once
// The work queue: every slow job (loading a file list, decoding and processing pages, zoom
// images, thumbnails, info files, page copies) runs one at a time whenever the program is
// idle. The dispatcher Idle is driven from outside, one step per call.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pages/BuffPage.h"
#include "pages/LoadFiles.h"
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

    TConfigureForm& Config_;
    std::unique_ptr<TLoadFiles> LoadFile_;
    std::vector<QueueEntry> Queue_;
    bool Running_ = false;
    bool Halted_ = false;
    bool InIdle_ = false;
    TStringList PendingFiles_;
    std::optional<std::vector<TRotation>> Rotations_;
    std::string CopyDestination_;
    TBufferedPagePtr LoadingPage_;  // the page whose job holds the queue
};

}  // namespace vellicor
