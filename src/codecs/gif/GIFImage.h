#pragma once
// GIF images (GIF87a and GIF89a): the header with the global colour table, the frames with
// their local tables, extensions and pixels, and the bitmap of the first frame that a page
// shows. Errors raise GIFException; warnings go to OnWarning and loading goes on.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codecs/gif/GIFException.h"
#include "codecs/gif/GIFServices.h"
#include "platform/Bitmap.h"
#include "platform/Clipboard.h"
#include "platform/Display.h"
#include "platform/Streams.h"
#include "platform/StringList.h"

namespace vellicor {

class TGIFImage;
class TGIFSubImage;
class TGIFHeader;
class TGIFGraphicControlExtension;
class TGIFPainter;
class IGIFPainterClock;
class TIcon;
class TPicture;

enum TGIFVersion { gvUnknown, gv87a, gv89a };
inline constexpr const char* GIFVersions[] = {"", "87a", "89a"};

enum TGIFSeverity { gsInfo, gsWarning, gsError };
using TGIFWarning = std::function<void(const void* Sender, TGIFSeverity Severity, const std::string& Message)>;

enum TProgressStage { psStarting, psRunning, psEnding };
using TProgressEvent = std::function<void(TGIFImage* Sender, TProgressStage Stage, int PercentDone, bool RedrawNow,
                                          const std::string& Message)>;

// The painting events of an image, copied into each painter; Sender is the painter.
using TGIFPainterEvent = std::function<void(TGIFPainter* Sender)>;

enum TGIFDrawOption {
    goAsync, goTransparent, goAnimate, goLoop, goLoopContinously, goValidateCanvas, goDirectDraw,
    goClearOnLoop, goTile, goDither, goAutoDither
};
using TGIFDrawOptions = uint16_t;  // bit n for option n
constexpr TGIFDrawOptions DrawOption(TGIFDrawOption o) { return TGIFDrawOptions(1u << o); }

enum TColorReduction : int {
    rmNone, rmWindows20, rmWindows256, rmWindowsGray, rmMonochrome, rmGrayScale, rmNetscape, rmQuantize,
    rmQuantizeWindows, rmPalette
};
enum TDitherMode : int { dmNearest, dmFloydSteinberg, dmStucki, dmSierra, dmJaJuNI, dmSteveArche, dmBurkes };
enum TGIFCompression { gcLZW, gcRLE };
enum TDisposalMethod { dmNone, dmNoDisposal, dmBackground, dmPrevious };
enum TGIFOptimizeOption { ooCrop, ooMerge, ooCleanup, ooColorMap, ooReduceColors };
constexpr uint8_t OptimizeOption(TGIFOptimizeOption o) { return uint8_t(1u << o); }
// Thread priorities, lowest first; the painter uses them.
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The class library's "no colour".
constexpr TColor clNone = 0x1FFFFFFF;

// Unit variables.
extern TGIFDrawOptions GIFImageDefaultDrawOptions;  // 0x060F
extern TColorReduction GIFImageDefaultColorReduction;
extern int GIFImageDefaultColorReductionBits;
extern TDitherMode GIFImageDefaultDitherMode;
extern TGIFCompression GIFImageDefaultCompression;
extern TThreadPriority GIFImageDefaultThreadPriority;
extern int GIFImageDefaultAnimationSpeed;
extern bool GIFImageRenderOnLoad;      // frames build their bitmap as soon as they are loaded
extern bool GIFImageOptimizeOnStream;
extern bool PaletteDevice;             // the screen has 8 bits per pixel or fewer
extern bool DoAutoDither;
extern int GIFDefaultDelay, GIFMinimumDelay, GIFMaximumDelay, GIFDelayExp;
// The clipboard format "GIF Image", registered when the unit is initialised.
extern TClipboardFormat CF_GIF;
// Reads the screen's depth once (PaletteDevice, DoAutoDither); images call it when created.
void InitializeGIFUnit();
// Removes goLoop from the default draw options.
void Register();

struct TGIFColor {
    uint8_t Red = 0, Green = 0, Blue = 0;
    bool operator==(const TGIFColor&) const = default;
};
inline TColor GIFColorToColor(const TGIFColor& c) { return RGBColor(c.Red, c.Green, c.Blue); }
inline TGIFColor ColorToGIFColor(TColor c) { return {GetRValue(c), GetGValue(c), GetBValue(c)}; }

struct TUsageCount {
    int32_t Count = 0;
    int32_t Index = 0;
};

// ---- base classes ----

class TGIFItem {
public:
    explicit TGIFItem(TGIFImage* GIFImage) : FGIFImage(GIFImage) {}
    virtual ~TGIFItem() = default;
    TGIFItem(const TGIFItem&) = delete;
    TGIFItem& operator=(const TGIFItem&) = delete;

    virtual TGIFVersion GetVersion() const { return gv87a; }
    virtual void Warning(TGIFSeverity Severity, const std::string& Message);
    // Writing whole frames comes with the encoder; items that can write override this.
    virtual void SaveToStream(TStream& Stream);
    virtual void LoadFromStream(TStream& Stream) = 0;
    void SaveToFile(const std::string& FileName);
    void LoadFromFile(const std::string& FileName);
    TGIFImage* Image() const { return FGIFImage; }

protected:
    TGIFImage* FGIFImage;
};

// An owning list of items.
class TGIFList {
public:
    explicit TGIFList(TGIFImage* Image) : FImage(Image) {}
    virtual ~TGIFList() = default;
    TGIFList(const TGIFList&) = delete;
    TGIFList& operator=(const TGIFList&) = delete;

    TGIFItem* GetItem(int Index) const;
    void SetItem(int Index, std::unique_ptr<TGIFItem> Item);  // frees the item it replaces
    int GetCount() const { return static_cast<int>(FItems.size()); }
    int Add(std::unique_ptr<TGIFItem> Item);
    void Insert(int Index, std::unique_ptr<TGIFItem> Item);
    void Delete(int Index);  // frees the item
    // Frees the items whose flag is set, each kept item moving at most once: deleting them
    // one at a time would grow with the square of the count.
    void DeleteMarked(const std::vector<bool>& Marked);
    void Clear();
    void Exchange(int Index1, int Index2);
    void Move(int CurIndex, int NewIndex);
    TGIFItem* First() const { return FItems.empty() ? nullptr : FItems.front().get(); }
    TGIFItem* Last() const { return FItems.empty() ? nullptr : FItems.back().get(); }
    int IndexOf(const TGIFItem* Item) const;
    std::unique_ptr<TGIFItem> Remove(const TGIFItem* Item);  // the caller gets ownership
    virtual void Warning(TGIFSeverity Severity, const std::string& Message);
    virtual void SaveToStream(TStream& Stream);
    virtual void LoadFromStream(TStream& Stream, void* Parent) = 0;
    TGIFImage* Image() const { return FImage; }
    // Items moved to another place in the list by insertions and deletions so far.
    int64_t Moved() const { return FMoved; }

protected:
    void CheckIndex(int Index) const;
    TGIFImage* FImage;
    std::vector<std::unique_ptr<TGIFItem>> FItems;
    int64_t FMoved = 0;
};

// ---- colour maps ----

class TGIFColorMap {
public:
    TGIFColorMap() = default;
    virtual ~TGIFColorMap() = default;
    TGIFColorMap(const TGIFColorMap&) = delete;
    TGIFColorMap& operator=(const TGIFColorMap&) = delete;

    void Clear();
    void LoadFromStream(TStream& Stream, int Count);
    void SaveToStream(TStream& Stream) const;
    int GetBitsPerPixel() const { return Colors2bpp(FCount); }
    void SetCapacity(int Size);
    int Add(const TGIFColor& Color);
    int AddUnique(const TGIFColor& Color);
    int IndexOf(const TGIFColor& Color) const;
    void Delete(int Index);
    TColor GetColor(int Index);
    void SetColor(int Index, TColor Color);
    void ImportPalette(const HPALETTE& Palette);
    void ImportColorMap(const TGIFColor* Map, int Count);
    void ImportColorTable(const TRGBQuad* Table, int Count);
    // The colour table of a palette bitmap (the stand-in for a device context's DIB colours).
    void ImportDIBColors(const TBitmap& Bitmap);
    HPALETTE ExportPalette() const;
    void Assign(const TGIFColorMap& Source);
    bool DoOptimize();

    virtual void Warning(TGIFSeverity Severity, const std::string& Message) = 0;
    virtual void BuildHistogram(TUsageCount* Histogram) = 0;  // 256 entries
    virtual void MapImages(const uint8_t* Map) = 0;           // 256 entries: new index by old
    virtual bool Optimize() = 0;
    virtual void Changed() = 0;

    int Count() const { return FCount; }
    int Capacity() const { return FCapacity; }
    bool Optimized() const { return FOptimized; }
    void SetOptimized(bool Value) { FOptimized = Value; }
    const TGIFColor* Data() const { return FColors.data(); }
    const TGIFColor& Entry(int Index) const { return FColors[size_t(Index)]; }

protected:
    std::vector<TGIFColor> FColors;  // Capacity entries, Count valid
    int FCount = 0;
    int FCapacity = 0;
    bool FOptimized = false;
};

class TGIFGlobalColorMap : public TGIFColorMap {
public:
    explicit TGIFGlobalColorMap(TGIFHeader* Header) : FHeader(Header) {}
    void Warning(TGIFSeverity Severity, const std::string& Message) override;
    void BuildHistogram(TUsageCount* Histogram) override;
    void MapImages(const uint8_t* Map) override;
    bool Optimize() override;
    void Changed() override;

private:
    TGIFHeader* FHeader;
};

class TGIFLocalColorMap : public TGIFColorMap {
public:
    explicit TGIFLocalColorMap(TGIFSubImage* SubImage) : FSubImage(SubImage) {}
    void Warning(TGIFSeverity Severity, const std::string& Message) override;
    void BuildHistogram(TUsageCount* Histogram) override;
    void MapImages(const uint8_t* Map) override;
    bool Optimize() override;
    void Changed() override;

private:
    TGIFSubImage* FSubImage;
};

// ---- header ----

class TGIFHeader : public TGIFItem {
public:
    explicit TGIFHeader(TGIFImage* GIFImage);
    void Clear();
    void Prepare();
    void Assign(const TGIFHeader& Source);
    void Assign(const TGIFColorMap& Source);
    TGIFVersion GetVersion() const override;
    void SaveToStream(TStream& Stream) override;
    void LoadFromStream(TStream& Stream) override;
    int GetBitsPerPixel() const { return FColorMap.GetBitsPerPixel(); }
    int GetColorResolution() const { return GetBitsPerPixel() - 1; }
    TColor GetBackgroundColor();
    void SetBackgroundColor(TColor Color);
    uint8_t GetBackgroundColorIndex() const { return FBackgroundColorIndex; }
    void SetBackgroundColorIndex(uint8_t Index);
    uint8_t GetAspectRatio() const { return FAspectRatio; }
    void SetAspectRatio(uint8_t Value) { FAspectRatio = Value; }
    uint16_t Width() const { return FWidth; }
    uint16_t Height() const { return FHeight; }
    void SetWidth(uint16_t Value) { FWidth = Value; }
    void SetHeight(uint16_t Value) { FHeight = Value; }
    uint8_t PackedFields() const { return FPackedFields; }
    TGIFGlobalColorMap& ColorMap() { return FColorMap; }

private:
    // The logical screen descriptor as in the stream.
    uint16_t FWidth = 0, FHeight = 0;
    uint8_t FPackedFields = 0, FBackgroundColorIndex = 0, FAspectRatio = 0;
    TGIFGlobalColorMap FColorMap;
};

// ---- extensions ----

class TGIFExtension;

// A registered extension class: how to make one, and how it narrows itself down from the
// bytes after its label (null: no narrower class).
struct TGIFExtensionClass {
    const char* Name;
    std::unique_ptr<TGIFExtension> (*Create)(TGIFSubImage* SubImage);
    const TGIFExtensionClass* (*FindSubExtension)(TStream& Stream);
};

class TGIFExtension : public TGIFItem {
public:
    explicit TGIFExtension(TGIFSubImage* SubImage);
    TGIFVersion GetVersion() const override { return gv89a; }
    void SaveToStream(TStream& Stream) override;
    void LoadFromStream(TStream& Stream) override;
    virtual uint8_t GetExtensionType() const = 0;
    virtual const TGIFExtensionClass& GetClass() const = 0;
    TGIFSubImage* SubImage() const { return FSubImage; }

    static void RegisterExtension(uint8_t Label, const TGIFExtensionClass& Class);
    // The class for the extension whose "!" was just read; the position is kept.
    static const TGIFExtensionClass* FindExtension(TStream& Stream);

protected:
    TGIFSubImage* FSubImage;
};

#pragma pack(push, 1)
struct TGIFGCERec {
    uint8_t BlockSize = 4;
    uint8_t PackedFields = 0;
    uint16_t DelayTime = 0;
    uint8_t TransparentColorIndex = 0;
    uint8_t Terminator = 0;
};
struct TGIFPlainTextExtensionRec {
    uint8_t BlockSize = 12;
    uint16_t Left = 0, Top = 0, Width = 0, Height = 0;
    uint8_t CellWidth = 0, CellHeight = 0;
    uint8_t TextFGColorIndex = 0, TextBGColorIndex = 0;
};
struct TGIFApplicationRec {
    char Identifier[8] = {};
    char Authentication[3] = {};
};
#pragma pack(pop)
static_assert(sizeof(TGIFGCERec) == 6 && sizeof(TGIFPlainTextExtensionRec) == 13 && sizeof(TGIFApplicationRec) == 11);

class TGIFGraphicControlExtension : public TGIFExtension {
public:
    static const TGIFExtensionClass Class;
    explicit TGIFGraphicControlExtension(TGIFSubImage* SubImage);
    ~TGIFGraphicControlExtension() override;
    uint8_t GetExtensionType() const override { return 0xF9; }
    const TGIFExtensionClass& GetClass() const override { return Class; }
    void SaveToStream(TStream& Stream) override;
    void LoadFromStream(TStream& Stream) override;

    bool GetTransparent() const { return FRec.PackedFields & 1; }
    void SetTransparent(bool Value);
    uint8_t GetTransparentColorIndex() const { return FRec.TransparentColorIndex; }
    void SetTransparentColorIndex(uint8_t Index);
    TColor GetTransparentColor();
    void SetTransparentColor(TColor Color);
    uint16_t GetDelay() const { return FRec.DelayTime; }
    void SetDelay(uint16_t Value) { FRec.DelayTime = Value; }
    bool GetUserInput() const { return FRec.PackedFields & 2; }
    void SetUserInput(bool Value);
    // 4-7 are reserved: shown as no disposal, while the stored byte keeps them for saving.
    TDisposalMethod GetDisposal() const {
        const int d = (FRec.PackedFields >> 2) & 7;
        return d <= dmPrevious ? TDisposalMethod(d) : dmNone;
    }
    void SetDisposal(TDisposalMethod Value);
    const TGIFGCERec& Record() const { return FRec; }

private:
    TGIFGCERec FRec;
};

class TGIFTextExtension : public TGIFExtension {
public:
    static const TGIFExtensionClass Class;
    explicit TGIFTextExtension(TGIFSubImage* SubImage) : TGIFExtension(SubImage) {}
    uint8_t GetExtensionType() const override { return 0x01; }
    const TGIFExtensionClass& GetClass() const override { return Class; }
    void SaveToStream(TStream& Stream) override;
    void LoadFromStream(TStream& Stream) override;
    int GetBounds(int Index) const;  // 1 left, 2 top, 3 width, 4 height
    void SetBounds(int Index, int Value);
    int GetCharWidthHeight(int Index) const;  // 1 width, 2 height
    void SetCharWidthHeight(int Index, int Value);
    int GetColorIndex(int Index) const;  // 1 foreground, 2 background
    void SetColorIndex(int Index, int Value);
    TColor GetForegroundColor();
    void SetForegroundColor(TColor Color);
    TColor GetBackgroundColor();
    void SetBackgroundColor(TColor Color);
    TStringList Text;

private:
    TGIFPlainTextExtensionRec FRec;
};

class TGIFCommentExtension : public TGIFExtension {
public:
    static const TGIFExtensionClass Class;
    explicit TGIFCommentExtension(TGIFSubImage* SubImage) : TGIFExtension(SubImage) {}
    uint8_t GetExtensionType() const override { return 0xFE; }
    const TGIFExtensionClass& GetClass() const override { return Class; }
    void SaveToStream(TStream& Stream) override;
    void LoadFromStream(TStream& Stream) override;
    TStringList Text;
};

class TGIFApplicationExtension : public TGIFExtension {
public:
    static const TGIFExtensionClass Class;
    explicit TGIFApplicationExtension(TGIFSubImage* SubImage) : TGIFExtension(SubImage) {}
    uint8_t GetExtensionType() const override { return 0xFF; }
    const TGIFExtensionClass& GetClass() const override { return Class; }
    void SaveToStream(TStream& Stream) override;
    void LoadFromStream(TStream& Stream) override;
    std::string GetIdentifier() const { return std::string(FIdent.Identifier, 8); }
    void SetIdentifier(const std::string& Value);
    std::string GetAuthentication() const { return std::string(FIdent.Authentication, 3); }
    void SetAuthentication(const std::string& Value);

    static void RegisterExtension(const TGIFApplicationRec& Ident, const TGIFExtensionClass& Class);
    static const TGIFExtensionClass* FindSubExtension(TStream& Stream);

protected:
    // The base class keeps nothing after the identifier; its subclasses keep their data.
    virtual void SaveData(TStream& Stream);
    virtual void LoadData(TStream& Stream);
    TGIFApplicationRec FIdent;
};

struct TGIFBlock {
    explicit TGIFBlock(int Size) : Data(size_t(Size), 0) {}
    int Size() const { return static_cast<int>(Data.size()); }
    std::vector<uint8_t> Data;
};

class TGIFUnknownAppExtension : public TGIFApplicationExtension {
public:
    static const TGIFExtensionClass Class;
    explicit TGIFUnknownAppExtension(TGIFSubImage* SubImage) : TGIFApplicationExtension(SubImage) {}
    const TGIFExtensionClass& GetClass() const override { return Class; }
    std::vector<std::unique_ptr<TGIFBlock>> Blocks;

protected:
    void SaveData(TStream& Stream) override;
    void LoadData(TStream& Stream) override;
};

class TGIFAppExtNSLoop : public TGIFApplicationExtension {
public:
    static const TGIFExtensionClass Class;
    explicit TGIFAppExtNSLoop(TGIFSubImage* SubImage);
    const TGIFExtensionClass& GetClass() const override { return Class; }
    uint16_t Loops = 0;
    uint32_t BufferSize = 0;

protected:
    void SaveData(TStream& Stream) override;
    void LoadData(TStream& Stream) override;
};

class TGIFExtensionList : public TGIFList {
public:
    explicit TGIFExtensionList(TGIFSubImage* SubImage);
    TGIFExtension* GetExtension(int Index) const { return static_cast<TGIFExtension*>(GetItem(Index)); }
    void SetExtension(int Index, std::unique_ptr<TGIFExtension> Extension) { SetItem(Index, std::move(Extension)); }
    void LoadFromStream(TStream& Stream, void* Parent) override;
};

// ---- frames ----

#pragma pack(push, 1)
struct TImageDescriptor {
    uint8_t Separator = ',';
    uint16_t Left = 0, Top = 0, Width = 0, Height = 0;
    uint8_t PackedFields = 0;
};
#pragma pack(pop)
static_assert(sizeof(TImageDescriptor) == 10);

class TGIFSubImage : public TGIFItem {
public:
    explicit TGIFSubImage(TGIFImage* GIFImage);
    ~TGIFSubImage() override;

    void Clear();
    bool GetEmpty() const;
    TGIFVersion GetVersion() const override;
    void LoadFromStream(TStream& Stream) override;
    void Decompress(TStream& Stream);
    // Extensions, then (unless empty) descriptor, local table and compressed pixels.
    void SaveToStream(TStream& Stream) override;
    void Compress(TStream& Stream);
    // Rebuilds the descriptor's packed fields from the local table.
    void Prepare();
    // Shrinks a transparent frame to its visible pixels (empties it when none are visible).
    void Crop();
    // Makes transparent the pixels that show the same colour as Previous at the same place.
    void Merge(TGIFSubImage* Previous);

    // Fills the frame from another frame, a bitmap (reduced with the image's colour settings
    // when it has more than 8 bits per pixel), an icon (with its mask) or a picture.
    // A null source clears the frame.
    void Assign(const TGIFSubImage* Source);
    void Assign(const TBitmap* Source);
    void Assign(const TIcon* Source);
    void Assign(const TPicture* Source);
    void SetBitmap(const TBitmap& Bitmap);

    void NewImage() { AllocateImage(true); }
    void FreeImage();
    void NeedImage();
    int GetBounds(int Index) const;  // 1 left, 2 top, 3 width, 4 height
    void SetBounds(int Index, int Value);
    void DoSetBounds(int Left, int Top, int Width, int Height);
    TRect GetBoundsRect() const;
    TRect GetClientRect() const { return {0, 0, Width(), Height()}; }
    // Right and bottom are exclusive, as GetBoundsRect gives them.
    void SetBoundsRect(const TRect& Rect);
    uint8_t* GetScanline(int Row);
    uint8_t GetPixel(int X, int Y);
    bool GetInterlaced() const { return FImageDescriptor.PackedFields & 0x40; }
    void SetInterlaced(bool Value);
    TGIFColorMap& GetActiveColorMap();
    int GetBitsPerPixel() const { return FColorMap.GetBitsPerPixel(); }
    int GetColorResolution() const { return GetBitsPerPixel() - 1; }
    HPALETTE GetPalette();
    void SetPalette(HPALETTE Palette);
    TBitmap* GetBitmap();
    bool GetHasBitmap() const { return FBitmap != nullptr; }
    void SetHasBitmap(bool Value);
    void FreeBitmap() { FBitmap.reset(); }
    void FreeMask();
    bool HasMask();
    void AssignTo(TBitmap& Dest);
    void Draw(TBitmap& Canvas, const TRect& Rect, bool Transparent, bool Tile);
    TRect ScaleRect(const TRect& Rect) const;
    void StretchDraw(TBitmap& Canvas, const TRect& Rect, bool Transparent, bool Tile);

    int Left() const { return FImageDescriptor.Left; }
    int Top() const { return FImageDescriptor.Top; }
    int Width() const { return FImageDescriptor.Width; }
    int Height() const { return FImageDescriptor.Height; }
    const TImageDescriptor& ImageDescriptor() const { return FImageDescriptor; }
    uint8_t* Data() { return FData.get(); }
    int64_t DataSize() const { return FDataSize; }
    // Pixels the last Decompress took from the data; the rest of the frame is fill.
    int64_t DecodedPixels() const { return FDecodedPixels; }
    TGIFLocalColorMap& ColorMap() { return FColorMap; }
    TGIFExtensionList& Extensions() { return FExtensions; }
    bool Transparent() const { return FTransparent; }
    TGIFGraphicControlExtension* GraphicControlExtension() const { return FGCE; }
    const TBitmap* Mask() const { return FMask.get(); }
    std::shared_ptr<TBitmap> SharedBitmap() {
        GetBitmap();
        return FBitmap;
    }

private:
    friend class TGIFGraphicControlExtension;
    friend class TGIFImage;
    // For each index, the position of the first frame of the image that could share it as
    // its transparent index (no local table, transparent), or -1.
    using TSharedIndices = std::array<int, 256>;
    static TSharedIndices SharedIndices(TGIFImage* Image);
    // Merge with the shared indices kept by the caller; null looks them up when needed.
    void DoMerge(TGIFSubImage* Previous, const TSharedIndices* Shared);
    void AllocateImage(bool Zeroed);
    std::unique_ptr<TBitmap> DoGetBitmap();
    std::unique_ptr<TBitmap> DoGetDitherBitmap();
    void MakeMask(const std::vector<uint8_t>& Buffer, int RowBytes);
    // Pixels where the mask is not 0 become a transparent black entry added to the table.
    void ImportTransparencyMask(const TBitmap& Mask);

    // Shared with the image when it shows this frame as it is (as an assigned bitmap shares
    // its picture): whoever draws on the image's picture must make its own copy first.
    std::shared_ptr<TBitmap> FBitmap;
    std::unique_ptr<TBitmap> FMask;  // 1 bit per pixel, 1 where transparent
    bool FNeedMask = true;
    HPALETTE FPalette;
    struct FreeData {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<uint8_t[], FreeData> FData;
    int64_t FDataSize = 0;
    int64_t FDecodedPixels = 0;
    TGIFLocalColorMap FColorMap;
    TImageDescriptor FImageDescriptor;
    TGIFExtensionList FExtensions;
    bool FTransparent = false;
    TGIFGraphicControlExtension* FGCE = nullptr;
};

class TGIFImageList : public TGIFList {
public:
    explicit TGIFImageList(TGIFImage* Image) : TGIFList(Image) {}
    TGIFSubImage* GetImage(int Index) const { return static_cast<TGIFSubImage*>(GetItem(Index)); }
    void SetImage(int Index, std::unique_ptr<TGIFSubImage> Image) { SetItem(Index, std::move(Image)); }
    void LoadFromStream(TStream& Stream, void* Parent) override;
};

class TGIFTrailer : public TGIFItem {
public:
    using TGIFItem::TGIFItem;
    void SaveToStream(TStream& Stream) override;
    void LoadFromStream(TStream& Stream) override;
};

// ---- the image ----

class TGIFImage {
public:
    TGIFImage();
    virtual ~TGIFImage();
    TGIFImage(const TGIFImage&) = delete;
    TGIFImage& operator=(const TGIFImage&) = delete;

    void Clear();
    void LoadFromStream(TStream& Stream);
    void LoadFromFile(const std::string& FileName);
    void SaveToStream(TStream& Stream);
    void SaveToFile(const std::string& FileName);
    bool GetEmpty() const { return FImages.GetCount() == 0; }
    int GetWidth() const { return FHeader.Width(); }
    int GetHeight() const { return FHeader.Height(); }
    void SetWidth(int Value);
    void SetHeight(int Value);
    TGIFVersion GetVersion() const;
    int GetBitsPerPixel();
    int GetColorResolution();
    uint8_t GetBackgroundColorIndex() const { return FHeader.GetBackgroundColorIndex(); }
    void SetBackgroundColorIndex(uint8_t Index) { FHeader.SetBackgroundColorIndex(Index); }
    TColor GetBackgroundColor() { return FHeader.GetBackgroundColor(); }
    void SetBackgroundColor(TColor Color) { FHeader.SetBackgroundColor(Color); }
    uint8_t GetAspectRatio() const { return FHeader.GetAspectRatio(); }
    void SetAspectRatio(uint8_t Value) { FHeader.SetAspectRatio(Value); }
    TGIFDrawOptions GetDrawOptions() const { return FDrawOptions; }
    void SetDrawOptions(TGIFDrawOptions Value);
    int GetAnimationSpeed() const { return FAnimationSpeed; }
    void SetAnimationSpeed(int Value);
    int GetReductionBits() const { return FReductionBits; }
    void SetReductionBits(int Value);
    // Appends a frame that was made for this image; returns its index.
    int Add(std::unique_ptr<TGIFSubImage> Frame);
    // Appends a new frame made from a bitmap or an icon.
    int Add(const TBitmap& Bitmap);
    int Add(const TIcon& Icon);
    // A copy of another image (this image keeps its own handlers), or the image of one
    // frame made from a bitmap, an icon or a picture. A null source clears the image.
    void Assign(const TGIFImage* Source);
    void Assign(const TBitmap* Source);
    void Assign(const TIcon* Source);
    void Assign(const TPicture* Source);
    // The graphic as stored inside another stream: optimised first when
    // GIFImageOptimizeOnStream is set.
    void WriteData(TStream& Stream);
    // Clipboard exchange: the bitmap of the image as Format, Data and Palette, and the GIF
    // itself placed on the clipboard as CF_GIF; loading takes CF_GIF or CF_BITMAP.
    void SaveToClipboardFormat(TClipboardFormat& Format, TClipboardHandle& Data, HPALETTE& Palette);
    void LoadFromClipboardFormat(TClipboardFormat Format, TClipboardHandle Data, const HPALETTE& Palette);
    // One global colour table of the colours the frames use, most used first.
    void OptimizeColorMap();
    bool GetIsTransparent() const;
    bool Equals(const TGIFImage* Graphic) const { return Graphic == this; }
    TGIFGlobalColorMap& GetColorMap() { return FHeader.ColorMap(); }
    virtual void Warning(const void* Sender, TGIFSeverity Severity, const std::string& Message);
    void Progress(TProgressStage Stage, int PercentDone, bool RedrawNow, const std::string& Message);

    // The first frame at the logical screen's size (none without frames); cached.
    TBitmap* GetBitmap();
    void AssignTo(TBitmap& Dest);
    HPALETTE GetPalette();
    void SetPalette(HPALETTE Palette);
    bool GetDoDither() const;
    void NewBitmap();
    void FreeBitmap();
    void Draw(TBitmap& Canvas, const TRect& Rect);
    void Pack();
    void Optimize(uint8_t Options, TColorReduction ColorReduction, TDitherMode DitherMode, int ReductionBits);
    // Painters. Paint and InternalPaint return the painter of an asynchronous drawing (not
    // yet started by InternalPaint) or none when the drawing ran at once in the caller.
    std::shared_ptr<TGIFPainter> InternalPaint(TGIFPainter** PainterRef, TBitmap& Canvas, const TRect& Rect,
                                               TGIFDrawOptions Options);
    std::shared_ptr<TGIFPainter> Paint(TBitmap& Canvas, const TRect& Rect, TGIFDrawOptions Options);
    void PaintStart();
    void PaintPause();
    void PaintResume();
    void PaintRestart();
    // Stops every painter and joins its thread, then drops the cached bitmap.
    void PaintStop();
    // Stops the painter of Draw and joins it, then drops the cached bitmap.
    void StopDraw();
    int PainterCount();
    TGIFPainter* Painter() const {
        std::lock_guard<std::recursive_mutex> guard(FPaintersLock);
        return FPainter;
    }
    // Held by painters while they draw: take it to read a canvas a painter draws on.
    std::recursive_mutex& CanvasLock() { return FCanvasLock; }
    std::recursive_mutex& PaintersLock() { return FPaintersLock; }
    void Changed() {}

    // Pixels of the frames LoadFromStream has read so far: the running total for the limit.
    int64_t LoadedPixels() const { return FLoadedPixels; }
    void AddLoadedPixels(int64_t Pixels) { FLoadedPixels += Pixels; }
    // Frames looked at so far to find a transparent index a merged frame may share with
    // others: the work of merging, which must grow with the frame count, not its square.
    int64_t SharedIndexLookups() const { return FSharedIndexLookups; }
    // Frames looked at by whole-image questions that come up for each frame: the image's bits
    // per pixel while saving, the frame each frame merges with. Must grow with the frame count.
    int64_t FramesWalked() const { return FFramesWalked; }

    TGIFHeader& Header() { return FHeader; }
    TGIFImageList& Images() { return FImages; }
    const TGIFImageList& Images() const { return FImages; }
    bool PaletteModified() const { return FPaletteModified; }
    void SetPaletteModified(bool Value) { FPaletteModified = Value; }

    TColorReduction ColorReduction;
    TDitherMode DitherMode;
    TGIFCompression Compression;
    TThreadPriority ThreadPriority;
    TColor DrawBackgroundColor = clNone;
    // LoadFromStream stops after the first frame, which is all a page shows; what follows
    // it is not read.
    bool LoadFirstFrameOnly = false;
    TGIFWarning OnWarning;
    TProgressEvent OnProgress;
    TGIFPainterEvent OnStartPaint, OnPaint, OnAfterPaint, OnLoop, OnEndPaint;
    // The painters' clock (none: the system's).
    IGIFPainterClock* PainterClock = nullptr;

private:
    friend class TGIFPainter;
    friend class TGIFSubImage;
    void NewImage() { Clear(); }
    // Joins and frees painters whose thread has ended.
    void ReapPainters();
    mutable std::recursive_mutex FPaintersLock;
    std::vector<std::shared_ptr<TGIFPainter>> FPainters;
    std::vector<std::shared_ptr<TGIFPainter>> FEnded;
    TGIFPainter* FPainter = nullptr;
    std::recursive_mutex FCanvasLock;

    TGIFImageList FImages;
    TGIFHeader FHeader;
    HPALETTE FGlobalPalette;
    TGIFDrawOptions FDrawOptions;
    int FReductionBits;
    std::shared_ptr<TBitmap> FBitmap;
    int FAnimationSpeed;
    int64_t FLoadedPixels = 0;
    int64_t FSharedIndexLookups = 0;
    int64_t FFramesWalked = 0;
    // Held while the image is saved: every frame without a table of its own asks for it,
    // and each asking walks every frame.
    int FSavingBitsPerPixel = 0;
    bool FDrawing = false;
    bool FPaletteLookup = false;
    bool FPaletteModified = false;
};

}  // namespace vellicor
