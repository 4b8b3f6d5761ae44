// The image, its item and list base classes, the block loop and the trailer.
#include "codecs/gif/GIFImage.h"
#include "codecs/gif/GIFPainter.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "trace/Trace.h"

namespace vellicor {

TGIFDrawOptions GIFImageDefaultDrawOptions = 0x060F;
TColorReduction GIFImageDefaultColorReduction = rmNetscape;
int GIFImageDefaultColorReductionBits = 8;
TDitherMode GIFImageDefaultDitherMode = dmNearest;
TGIFCompression GIFImageDefaultCompression = gcLZW;
TThreadPriority GIFImageDefaultThreadPriority = tpNormal;
int GIFImageDefaultAnimationSpeed = 100;
bool GIFImageRenderOnLoad = false;
bool GIFImageOptimizeOnStream = false;
bool PaletteDevice = false;
bool DoAutoDither = false;
int GIFDefaultDelay = 10, GIFMinimumDelay = 3, GIFMaximumDelay = 1000, GIFDelayExp = 12;
TClipboardFormat CF_GIF = 0;

void InitializeGIFUnit() {
    static std::once_flag once;
    std::call_once(once, [] {
        VTRACE("GIFImage::InitializeGIFUnit");
        PaletteDevice = ScreenColorDepth() < 9;
        DoAutoDither = PaletteDevice;
        CF_GIF = RegisterClipboardFormat(sGIFImageFile);
    });
}

void Register() { GIFImageDefaultDrawOptions = TGIFDrawOptions(GIFImageDefaultDrawOptions & ~DrawOption(goLoop)); }

// ---- items and lists ----

void TGIFItem::Warning(TGIFSeverity severity, const std::string& message) {
    if (FGIFImage) FGIFImage->Warning(this, severity, message);
}

void TGIFItem::SaveToStream(TStream&) { Error(sInvalidStream); }

void TGIFItem::SaveToFile(const std::string& fileName) {
    TFileStream file;
    if (!file.Open(fileName, FileMode::Create)) Error(sInvalidStream);
    SaveToStream(file);
}

void TGIFItem::LoadFromFile(const std::string& fileName) {
    TFileStream file;
    if (!file.Open(fileName, FileMode::OpenRead)) Error(sInvalidStream);
    LoadFromStream(file);
}

void TGIFList::CheckIndex(int index) const {
    if (index < 0 || index >= GetCount()) throw std::out_of_range("List index out of bounds");
}

TGIFItem* TGIFList::GetItem(int index) const {
    CheckIndex(index);
    return FItems[size_t(index)].get();
}

void TGIFList::SetItem(int index, std::unique_ptr<TGIFItem> item) {
    CheckIndex(index);
    FItems[size_t(index)] = std::move(item);
}

int TGIFList::Add(std::unique_ptr<TGIFItem> item) {
    FItems.push_back(std::move(item));
    return GetCount() - 1;
}

void TGIFList::Insert(int index, std::unique_ptr<TGIFItem> item) {
    if (index < 0 || index > GetCount()) throw std::out_of_range("List index out of bounds");
    FMoved += GetCount() - index;
    FItems.insert(FItems.begin() + index, std::move(item));
}

void TGIFList::Delete(int index) {
    CheckIndex(index);
    // Out of the list first: an item's destructor may look at the list.
    std::unique_ptr<TGIFItem> item = std::move(FItems[size_t(index)]);
    FMoved += GetCount() - index - 1;
    FItems.erase(FItems.begin() + index);
}

void TGIFList::DeleteMarked(const std::vector<bool>& marked) {
    // The marked items gather at the end, then leave the list one by one before each is
    // freed, as with Delete; nothing is allocated, so this may run while unwinding.
    size_t kept = 0;
    for (size_t i = 0; i < FItems.size(); ++i) {
        if (i < marked.size() && marked[i]) continue;
        if (kept != i) {
            std::swap(FItems[kept], FItems[i]);
            ++FMoved;
        }
        ++kept;
    }
    while (FItems.size() > kept) {
        std::unique_ptr<TGIFItem> item = std::move(FItems.back());
        FItems.pop_back();
    }
}

void TGIFList::Clear() {
    // From the back: each item leaves the list before it is freed, and nothing moves.
    while (!FItems.empty()) {
        std::unique_ptr<TGIFItem> item = std::move(FItems.back());
        FItems.pop_back();
    }
}

void TGIFList::Exchange(int index1, int index2) {
    CheckIndex(index1);
    CheckIndex(index2);
    std::swap(FItems[size_t(index1)], FItems[size_t(index2)]);
}

void TGIFList::Move(int curIndex, int newIndex) {
    CheckIndex(curIndex);
    CheckIndex(newIndex);
    std::unique_ptr<TGIFItem> item = std::move(FItems[size_t(curIndex)]);
    FMoved += std::abs(newIndex - curIndex);
    FItems.erase(FItems.begin() + curIndex);
    FItems.insert(FItems.begin() + newIndex, std::move(item));
}

int TGIFList::IndexOf(const TGIFItem* item) const {
    for (size_t i = 0; i < FItems.size(); ++i)
        if (FItems[i].get() == item) return static_cast<int>(i);
    return -1;
}

std::unique_ptr<TGIFItem> TGIFList::Remove(const TGIFItem* item) {
    const int index = IndexOf(item);
    if (index < 0) return nullptr;
    std::unique_ptr<TGIFItem> owned = std::move(FItems[size_t(index)]);
    FMoved += GetCount() - index - 1;
    FItems.erase(FItems.begin() + index);
    return owned;
}

void TGIFList::Warning(TGIFSeverity severity, const std::string& message) {
    if (FImage) FImage->Warning(this, severity, message);
}

void TGIFList::SaveToStream(TStream& stream) {
    for (auto& item : FItems) item->SaveToStream(stream);
}

// ---- the block loop ----

void TGIFImageList::LoadFromStream(TStream& stream, void* parent) {
    VTRACE("TGIFImageList::LoadFromStream");
    auto* image = static_cast<TGIFImage*>(parent);
    const int64_t size = stream.Size();
    uint8_t b = 0;
    for (;;) {
        // Zero bytes between blocks are skipped.
        do {
            if (!ReadByte(stream, b)) return;
        } while (b == 0);
        stream.Seek(-1, SeekOrigin::Current);
        if (b == ';') return;
        if (b != '!' && b != ',') {
            Warning(gsWarning, sBadBlock);
            return;
        }
        const int64_t before = stream.Position();
        auto frame = std::make_unique<TGIFSubImage>(image);
        frame->LoadFromStream(stream);
        // A frame that consumed nothing would be read again forever.
        if (stream.Position() <= before) Error(sInvalidData);
        image->AddLoadedPixels(frame->DataSize());
        Add(std::move(frame));
        const int64_t position = stream.Position();
        image->Progress(psRunning, size > 0 ? int(position * 100 / size) : 0, GIFImageRenderOnLoad, sProgressLoading);
        if (image->LoadFirstFrameOnly) return;
    }
}

void TGIFTrailer::SaveToStream(TStream& stream) { WriteByte(stream, ';'); }

void TGIFTrailer::LoadFromStream(TStream& stream) {
    uint8_t b = 0;
    if (ReadByte(stream, b) && b != ';') Warning(gsWarning, sBadTrailer);
}

// ---- the image ----

TGIFImage::TGIFImage()
    : ColorReduction(GIFImageDefaultColorReduction),
      DitherMode(GIFImageDefaultDitherMode),
      Compression(GIFImageDefaultCompression),
      ThreadPriority(GIFImageDefaultThreadPriority),
      FImages(this),
      FHeader(this),
      FDrawOptions(GIFImageDefaultDrawOptions),
      FReductionBits(GIFImageDefaultColorReductionBits),
      FAnimationSpeed(GIFImageDefaultAnimationSpeed) {
    InitializeGIFUnit();
    NewImage();
}

TGIFImage::~TGIFImage() {
    PaintStop();
    {
        // Painters still listed are those whose own thread destroys the image: they must
        // no longer reach it.
        std::lock_guard<std::recursive_mutex> guard(FPaintersLock);
        for (auto& p : FPainters) p->FPainterRef = nullptr;
    }
    Clear();
}

void TGIFImage::Clear() {
    PaintStop();
    FBitmap.reset();
    FImages.Clear();
    FLoadedPixels = 0;
    FHeader.ColorMap().Clear();
    FHeader.SetWidth(0);
    FHeader.SetHeight(0);
    FHeader.Prepare();
    SetPalette(nullptr);
}

void TGIFImage::Progress(TProgressStage stage, int percentDone, bool redrawNow, const std::string& message) {
    if (OnProgress) OnProgress(this, stage, percentDone, redrawNow, message);
}

void TGIFImage::LoadFromStream(TStream& stream) {
    VTRACE("TGIFImage::LoadFromStream");
    Progress(psStarting, 0, false, sProgressLoading);
    bool failed = true;
    try {
        Clear();
        const int64_t start = stream.Position();
        try {
            FHeader.LoadFromStream(stream);
            FImages.LoadFromStream(stream, this);
            if (!LoadFirstFrameOnly) {
                TGIFTrailer trailer(this);
                trailer.LoadFromStream(stream);
            }
        } catch (...) {
            stream.SetPosition(start);
            throw;
        }
        failed = false;
    } catch (...) {
        Progress(psEnding, 0, true, sProgressLoading);
        throw;
    }
    Progress(psEnding, failed ? 0 : 100, true, sProgressLoading);
}

void TGIFImage::LoadFromFile(const std::string& fileName) {
    TFileStream file;
    if (!file.Open(fileName, FileMode::OpenRead)) Error(sInvalidStream);
    LoadFromStream(file);
}

TGIFVersion TGIFImage::GetVersion() const {
    TGIFVersion version = gvUnknown;
    for (int i = 0; i < FImages.GetCount(); ++i) {
        const TGIFVersion v = FImages.GetImage(i)->GetVersion();
        if (v > version) version = v;
        if (v == gv89a) break;
    }
    return version;
}

int TGIFImage::GetBitsPerPixel() {
    if (FSavingBitsPerPixel > 0) return FSavingBitsPerPixel;
    int bits = FHeader.GetBitsPerPixel();
    FFramesWalked += FImages.GetCount();
    for (int i = 0; i < FImages.GetCount(); ++i) bits = std::max(bits, FImages.GetImage(i)->GetBitsPerPixel());
    return bits;
}

int TGIFImage::GetColorResolution() {
    int resolution = FHeader.GetColorResolution();
    for (int i = 0; i < FImages.GetCount(); ++i)
        resolution = std::max(resolution, FImages.GetImage(i)->GetColorResolution());
    return resolution;
}

void TGIFImage::SetDrawOptions(TGIFDrawOptions value) {
    if (value == FDrawOptions) return;
    PaintStop();
    FDrawOptions = value;
    Pack();
    Changed();
}

void TGIFImage::SetAnimationSpeed(int value) {
    value = std::clamp(value, 0, 1000);
    if (value == FAnimationSpeed) return;
    FAnimationSpeed = value;
    std::lock_guard<std::recursive_mutex> guard(FPaintersLock);
    if (FPainter) FPainter->SetAnimationSpeed(value);
}

void TGIFImage::SetReductionBits(int value) {
    if (value < 3 || value > 8) Error(sInvalidBitSize);
    FReductionBits = value;
}

void TGIFImage::SetWidth(int value) {
    for (int i = 0; i < FImages.GetCount(); ++i) {
        const TGIFSubImage* frame = FImages.GetImage(i);
        if (frame->Left() + frame->Width() > value) Error(sBadWidth);
    }
    if (value != FHeader.Width()) {
        FHeader.SetWidth(uint16_t(std::clamp(value, 0, 0xFFFF)));
        FBitmap.reset();
        Changed();
    }
}

void TGIFImage::SetHeight(int value) {
    for (int i = 0; i < FImages.GetCount(); ++i) {
        const TGIFSubImage* frame = FImages.GetImage(i);
        if (frame->Top() + frame->Height() > value) Error(sBadHeight);
    }
    if (value != FHeader.Height()) {
        FHeader.SetHeight(uint16_t(std::clamp(value, 0, 0xFFFF)));
        FBitmap.reset();
        Changed();
    }
}

int TGIFImage::Add(std::unique_ptr<TGIFSubImage> frame) {
    if (!frame) Error(sUnsupportedClass);
    const int index = FImages.Add(std::move(frame));
    FBitmap.reset();
    Changed();
    return index;
}

bool TGIFImage::GetIsTransparent() const {
    for (int i = 0; i < FImages.GetCount(); ++i) {
        const TGIFGraphicControlExtension* gce = FImages.GetImage(i)->GraphicControlExtension();
        if (gce && gce->GetTransparent()) return true;
    }
    return false;
}

void TGIFImage::Warning(const void* sender, TGIFSeverity severity, const std::string& message) {
    if (OnWarning) OnWarning(sender, severity, message);
}

void TGIFImage::Pack() {
    FBitmap.reset();
    SetPalette(nullptr);
    for (int i = 0; i < FImages.GetCount(); ++i) {
        TGIFSubImage* frame = FImages.GetImage(i);
        frame->FreeBitmap();
        frame->SetPalette(nullptr);
    }
    if (FHeader.ColorMap().Count() == 0 && FImages.GetCount() == 1) {
        TGIFSubImage* frame = FImages.GetImage(0);
        FHeader.ColorMap().Assign(frame->ColorMap());
        frame->ColorMap().Clear();
    }
}

}  // namespace vellicor
