// Extension blocks and the two registries that choose their classes.
#include <algorithm>
#include <cstring>

#include "codecs/gif/GIFImage.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

template <class T>
std::unique_ptr<TGIFExtension> Make(TGIFSubImage* subImage) {
    return std::make_unique<T>(subImage);
}

struct ExtensionEntry {
    uint8_t label;
    const TGIFExtensionClass* cls;
};
struct AppExtensionEntry {
    TGIFApplicationRec ident;
    const TGIFExtensionClass* cls;
};

// Process-wide registries, made on first use; later registrations win.
std::vector<ExtensionEntry>& ExtensionRegistry() {
    static std::vector<ExtensionEntry> list{{0x01, &TGIFTextExtension::Class},
                                            {0xF9, &TGIFGraphicControlExtension::Class},
                                            {0xFE, &TGIFCommentExtension::Class},
                                            {0xFF, &TGIFApplicationExtension::Class}};
    return list;
}

TGIFApplicationRec Ident(const char* text) {
    TGIFApplicationRec rec;
    std::memcpy(rec.Identifier, text, 8);
    std::memcpy(rec.Authentication, text + 8, 3);
    return rec;
}

std::vector<AppExtensionEntry>& AppExtensionRegistry() {
    static std::vector<AppExtensionEntry> list{{Ident("NETSCAPE2.0"), &TGIFAppExtNSLoop::Class},
                                               {Ident("ANIMEXTS1.0"), &TGIFAppExtNSLoop::Class}};
    return list;
}

void WriteBytes(TStream& stream, const void* data, int64_t size) {
    if (!stream.WriteBuffer(data, size)) Error(sInvalidStream);
}

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

}  // namespace

const TGIFExtensionClass TGIFGraphicControlExtension::Class{"TGIFGraphicControlExtension",
                                                            Make<TGIFGraphicControlExtension>, nullptr};
const TGIFExtensionClass TGIFTextExtension::Class{"TGIFTextExtension", Make<TGIFTextExtension>, nullptr};
const TGIFExtensionClass TGIFCommentExtension::Class{"TGIFCommentExtension", Make<TGIFCommentExtension>, nullptr};
const TGIFExtensionClass TGIFApplicationExtension::Class{"TGIFApplicationExtension", Make<TGIFApplicationExtension>,
                                                         TGIFApplicationExtension::FindSubExtension};
const TGIFExtensionClass TGIFUnknownAppExtension::Class{"TGIFUnknownAppExtension", Make<TGIFUnknownAppExtension>,
                                                        nullptr};
const TGIFExtensionClass TGIFAppExtNSLoop::Class{"TGIFAppExtNSLoop", Make<TGIFAppExtNSLoop>, nullptr};

// ---- base ----

TGIFExtension::TGIFExtension(TGIFSubImage* subImage)
    : TGIFItem(subImage ? subImage->Image() : nullptr), FSubImage(subImage) {}

void TGIFExtension::RegisterExtension(uint8_t label, const TGIFExtensionClass& cls) {
    ExtensionRegistry().push_back({label, &cls});
}

const TGIFExtensionClass* TGIFExtension::FindExtension(TStream& stream) {
    const int64_t start = stream.Position();
    uint8_t label = 0;
    if (!ReadByte(stream, label)) return nullptr;
    const TGIFExtensionClass* found = nullptr;
    const auto& registry = ExtensionRegistry();
    for (auto it = registry.rbegin(); it != registry.rend(); ++it)
        if (it->label == label) {
            found = it->cls;
            break;
        }
    // Each class may answer with a narrower one; a class that names none (or itself) ends it.
    for (int depth = 0; found && found->FindSubExtension && depth < 8; ++depth) {
        const TGIFExtensionClass* sub = found->FindSubExtension(stream);
        if (sub == found) break;
        found = sub;
    }
    stream.SetPosition(start);
    return found;
}

void TGIFExtension::SaveToStream(TStream& stream) {
    WriteByte(stream, '!');
    WriteByte(stream, GetExtensionType());
}

void TGIFExtension::LoadFromStream(TStream& stream) {
    uint8_t head[2];
    ReadCheck(stream, head, 2);
    if (head[0] != '!') Error(sBadExtensionLabel);
    if (head[1] != GetExtensionType()) Error(sBadExtensionInstance);
}

// ---- graphic control ----

TGIFGraphicControlExtension::TGIFGraphicControlExtension(TGIFSubImage* subImage) : TGIFExtension(subImage) {
    if (FSubImage && !FSubImage->FGCE) FSubImage->FGCE = this;
}

TGIFGraphicControlExtension::~TGIFGraphicControlExtension() {
    if (FSubImage && FSubImage->FGCE == this) {
        FSubImage->FGCE = nullptr;
        if (GetTransparent()) FSubImage->FTransparent = false;
    }
}

void TGIFGraphicControlExtension::SaveToStream(TStream& stream) {
    TGIFExtension::SaveToStream(stream);
    // Always the standard block and terminator: a damaged source's size or terminator byte
    // would make the written stream unreadable.
    const uint8_t rec[6] = {4, FRec.PackedFields, uint8_t(FRec.DelayTime), uint8_t(FRec.DelayTime >> 8),
                            FRec.TransparentColorIndex, 0};
    WriteBytes(stream, rec, 6);
}

void TGIFGraphicControlExtension::LoadFromStream(TStream& stream) {
    TGIFExtension::LoadFromStream(stream);
    // Read by the block's own size, then to its terminator, so that a block of another
    // size leaves the stream in step.
    uint8_t size = 0;
    if (!ReadByte(stream, size)) {
        Warning(gsWarning, sOutOfData);
        return;
    }
    FRec.BlockSize = size;
    uint8_t data[255] = {};
    const int64_t got = stream.Read(data, size);
    if (got > 0) FRec.PackedFields = data[0];
    if (got > 2) FRec.DelayTime = Le16(data + 1);
    if (got > 3) FRec.TransparentColorIndex = data[3];
    if (got < size) {
        Warning(gsWarning, sOutOfData);
        return;
    }
    uint8_t count = 0;
    bool first = true;
    while (ReadByte(stream, count)) {
        if (first) FRec.Terminator = count;
        first = false;
        if (count == 0) break;
        if (stream.Seek(count, SeekOrigin::Current) < 0) break;
    }
    if (GetTransparent() && FSubImage) FSubImage->FTransparent = true;
}

void TGIFGraphicControlExtension::SetTransparent(bool value) {
    FRec.PackedFields = uint8_t(value ? FRec.PackedFields | 1 : FRec.PackedFields & ~1);
    if (FSubImage) FSubImage->FTransparent = value;
}

void TGIFGraphicControlExtension::SetTransparentColorIndex(uint8_t index) {
    if (FSubImage) {
        TGIFColorMap& map = FSubImage->GetActiveColorMap();
        if (index >= map.Count() && map.Count() > 0) {
            Warning(gsWarning, sBadColorIndex);
            index = 0;
        }
    }
    FRec.TransparentColorIndex = index;
}

TColor TGIFGraphicControlExtension::GetTransparentColor() {
    if (!FSubImage) Error(sNoColorTable);
    return FSubImage->GetActiveColorMap().GetColor(FRec.TransparentColorIndex);
}

void TGIFGraphicControlExtension::SetTransparentColor(TColor color) {
    if (!FSubImage) Error(sNoColorTable);
    FRec.TransparentColorIndex = uint8_t(FSubImage->GetActiveColorMap().AddUnique(ColorToGIFColor(color)));
}

void TGIFGraphicControlExtension::SetUserInput(bool value) {
    FRec.PackedFields = uint8_t(value ? FRec.PackedFields | 2 : FRec.PackedFields & ~2);
}

void TGIFGraphicControlExtension::SetDisposal(TDisposalMethod value) {
    FRec.PackedFields = uint8_t((FRec.PackedFields & ~0x1C) | ((int(value) & 7) << 2));
}

// ---- plain text ----

void TGIFTextExtension::SaveToStream(TStream& stream) {
    TGIFExtension::SaveToStream(stream);
    const uint8_t rec[13] = {FRec.BlockSize, uint8_t(FRec.Left), uint8_t(FRec.Left >> 8), uint8_t(FRec.Top),
                             uint8_t(FRec.Top >> 8), uint8_t(FRec.Width), uint8_t(FRec.Width >> 8),
                             uint8_t(FRec.Height), uint8_t(FRec.Height >> 8), FRec.CellWidth, FRec.CellHeight,
                             FRec.TextFGColorIndex, FRec.TextBGColorIndex};
    WriteBytes(stream, rec, 13);
    WriteStrings(stream, Text);
}

void TGIFTextExtension::LoadFromStream(TStream& stream) {
    TGIFExtension::LoadFromStream(stream);
    uint8_t rec[13];
    ReadCheck(stream, rec, 13);
    FRec.BlockSize = rec[0];
    FRec.Left = Le16(rec + 1);
    FRec.Top = Le16(rec + 3);
    FRec.Width = Le16(rec + 5);
    FRec.Height = Le16(rec + 7);
    FRec.CellWidth = rec[9];
    FRec.CellHeight = rec[10];
    FRec.TextFGColorIndex = rec[11];
    FRec.TextBGColorIndex = rec[12];
    ReadStrings(stream, Text);
}

int TGIFTextExtension::GetBounds(int index) const {
    switch (index) {
        case 1: return FRec.Left;
        case 2: return FRec.Top;
        case 3: return FRec.Width;
        case 4: return FRec.Height;
        default: return 0;
    }
}

void TGIFTextExtension::SetBounds(int index, int value) {
    switch (index) {
        case 1: FRec.Left = uint16_t(value); break;
        case 2: FRec.Top = uint16_t(value); break;
        case 3: FRec.Width = uint16_t(value); break;
        case 4: FRec.Height = uint16_t(value); break;
        default: break;
    }
}

int TGIFTextExtension::GetCharWidthHeight(int index) const {
    return index == 1 ? FRec.CellWidth : index == 2 ? FRec.CellHeight : 0;
}

void TGIFTextExtension::SetCharWidthHeight(int index, int value) {
    if (index == 1) FRec.CellWidth = uint8_t(value);
    else if (index == 2) FRec.CellHeight = uint8_t(value);
}

int TGIFTextExtension::GetColorIndex(int index) const {
    return index == 1 ? FRec.TextFGColorIndex : index == 2 ? FRec.TextBGColorIndex : 0;
}

void TGIFTextExtension::SetColorIndex(int index, int value) {
    if (index == 1) FRec.TextFGColorIndex = uint8_t(value);
    else if (index == 2) FRec.TextBGColorIndex = uint8_t(value);
}

TColor TGIFTextExtension::GetForegroundColor() {
    if (!FSubImage) Error(sNoColorTable);
    return FSubImage->GetActiveColorMap().GetColor(FRec.TextFGColorIndex);
}

void TGIFTextExtension::SetForegroundColor(TColor color) {
    if (!FSubImage) Error(sNoColorTable);
    FRec.TextFGColorIndex = uint8_t(FSubImage->GetActiveColorMap().AddUnique(ColorToGIFColor(color)));
}

TColor TGIFTextExtension::GetBackgroundColor() {
    if (!FSubImage) Error(sNoColorTable);
    return FSubImage->GetActiveColorMap().GetColor(FRec.TextBGColorIndex);
}

void TGIFTextExtension::SetBackgroundColor(TColor color) {
    if (!FSubImage) Error(sNoColorTable);
    FRec.TextBGColorIndex = uint8_t(FSubImage->GetActiveColorMap().AddUnique(ColorToGIFColor(color)));
}

// ---- comment ----

void TGIFCommentExtension::SaveToStream(TStream& stream) {
    TGIFExtension::SaveToStream(stream);
    WriteStrings(stream, Text);
}

void TGIFCommentExtension::LoadFromStream(TStream& stream) {
    TGIFExtension::LoadFromStream(stream);
    ReadStrings(stream, Text);
}

// ---- application ----

void TGIFApplicationExtension::RegisterExtension(const TGIFApplicationRec& ident, const TGIFExtensionClass& cls) {
    AppExtensionRegistry().push_back({ident, &cls});
}

const TGIFExtensionClass* TGIFApplicationExtension::FindSubExtension(TStream& stream) {
    const int64_t start = stream.Position();
    uint8_t size = 0;
    if (!ReadByte(stream, size)) return nullptr;
    if (size == 10) {
        uint8_t skip[10];
        return stream.Read(skip, 10) == 10 ? &TGIFUnknownAppExtension::Class : nullptr;
    }
    if (size == 11) {
        TGIFApplicationRec ident;
        if (stream.Read(&ident, 11) != 11) {
            stream.SetPosition(start);
            return &Class;
        }
        const auto& registry = AppExtensionRegistry();
        for (auto it = registry.rbegin(); it != registry.rend(); ++it)
            if (std::memcmp(&it->ident, &ident, 11) == 0) return it->cls;
        return &TGIFUnknownAppExtension::Class;
    }
    stream.SetPosition(start);
    return &Class;
}

namespace {
void SetPadded(char* field, size_t size, const std::string& value) {
    std::memset(field, ' ', size);
    std::memcpy(field, value.data(), std::min(size, value.size()));
}
}  // namespace

void TGIFApplicationExtension::SetIdentifier(const std::string& value) {
    SetPadded(FIdent.Identifier, 8, value);
}

void TGIFApplicationExtension::SetAuthentication(const std::string& value) {
    SetPadded(FIdent.Authentication, 3, value);
}

void TGIFApplicationExtension::SaveToStream(TStream& stream) {
    TGIFExtension::SaveToStream(stream);
    WriteByte(stream, 11);
    WriteBytes(stream, &FIdent, 11);
    SaveData(stream);
}

void TGIFApplicationExtension::LoadFromStream(TStream& stream) {
    TGIFExtension::LoadFromStream(stream);
    uint8_t size = 0;
    if (!ReadByte(stream, size)) Error(sOutOfData);
    if (size == 10) FIdent = TGIFApplicationRec{};
    else if (size < 10) Error(sBadBlockSize);
    ReadCheck(stream, &FIdent, 11);
    // Size 10 steps back over the byte read beyond the block; larger sizes skip the rest.
    stream.Seek(int64_t(size) - 11, SeekOrigin::Current);
    LoadData(stream);
}

// The generic class keeps no data: it skips the sub-blocks to stay in step.
void TGIFApplicationExtension::SaveData(TStream& stream) { WriteByte(stream, 0); }

void TGIFApplicationExtension::LoadData(TStream& stream) {
    uint8_t count = 0;
    while (ReadByte(stream, count) && count != 0)
        if (stream.Seek(count, SeekOrigin::Current) < 0) break;
}

void TGIFUnknownAppExtension::SaveData(TStream& stream) {
    for (const auto& block : Blocks) {
        WriteByte(stream, uint8_t(block->Size()));
        WriteBytes(stream, block->Data.data(), block->Size());
    }
    WriteByte(stream, 0);
}

void TGIFUnknownAppExtension::LoadData(TStream& stream) {
    Blocks.clear();
    uint8_t size = 0;
    while (ReadByte(stream, size) && size != 0) {
        auto block = std::make_unique<TGIFBlock>(size);
        ReadCheck(stream, block->Data.data(), size);
        Blocks.push_back(std::move(block));
    }
}

TGIFAppExtNSLoop::TGIFAppExtNSLoop(TGIFSubImage* subImage) : TGIFApplicationExtension(subImage) {
    FIdent = Ident("NETSCAPE2.0");
}

void TGIFAppExtNSLoop::SaveData(TStream& stream) {
    const uint8_t loop[4] = {3, 1, uint8_t(Loops), uint8_t(Loops >> 8)};
    WriteBytes(stream, loop, 4);
    if (BufferSize != 0) {
        const uint8_t buffer[6] = {5, 2, uint8_t(BufferSize), uint8_t(BufferSize >> 8), uint8_t(BufferSize >> 16),
                                   uint8_t(BufferSize >> 24)};
        WriteBytes(stream, buffer, 6);
    }
    WriteByte(stream, 0);
}

void TGIFAppExtNSLoop::LoadData(TStream& stream) {
    uint8_t size = 0;
    while (ReadByte(stream, size) && size != 0) {
        uint8_t id = 0;
        if (!ReadByte(stream, id)) break;
        int left = size - 1;
        if ((id & 7) == 1) {
            if (left < 2) Error(sInvalidData);
            uint8_t b[2];
            ReadCheck(stream, b, 2);
            Loops = Le16(b);
            left -= 2;
        } else if ((id & 7) == 2) {
            if (left < 4) Error(sInvalidData);
            uint8_t b[4];
            ReadCheck(stream, b, 4);
            BufferSize = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
            left -= 4;
        }
        if (left > 0 && stream.Seek(left, SeekOrigin::Current) < 0) break;
    }
}

// ---- the list ----

TGIFExtensionList::TGIFExtensionList(TGIFSubImage* subImage) : TGIFList(subImage ? subImage->Image() : nullptr) {}

void TGIFExtensionList::LoadFromStream(TStream& stream, void* parent) {
    auto* frame = static_cast<TGIFSubImage*>(parent);
    uint8_t b = 0;
    if (!ReadByte(stream, b)) return;
    while (b != ',' && b != ';') {
        if (b != '!') {
            Warning(gsWarning, sBadExtensionLabel);
            break;
        }
        const TGIFExtensionClass* cls = TGIFExtension::FindExtension(stream);
        if (!cls) Error(sUnknownExtension);
        stream.Seek(-1, SeekOrigin::Current);
        std::unique_ptr<TGIFExtension> extension = cls->Create(frame);
        extension->LoadFromStream(stream);
        // A page needs only the frame's graphic control: the others are read past, not kept,
        // so that a million comments do not cost a million objects.
        const bool pageOnly = frame && frame->Image() && frame->Image()->LoadFirstFrameOnly;
        if (!pageOnly || frame->GraphicControlExtension() == extension.get()) Add(std::move(extension));
        if (!ReadByte(stream, b)) return;
    }
    stream.Seek(-1, SeekOrigin::Current);
}

}  // namespace vellicor
