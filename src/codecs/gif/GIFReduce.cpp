// Colour reduction: lookups, error-diffusion dithers, the octree quantiser and ReduceColors.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codecs/gif/GIFImage.h"
#include "codecs/gif/GIFServices.h"

namespace vellicor {

// ---- lookups ----

TFastColorLookup::TFastColorLookup(HPALETTE palette) : TColorLookup(std::move(palette)) {
    if (FPalette) FEntries = *FPalette;
    if (FEntries.size() > 256) FEntries.resize(256);
    FColors = int(FEntries.size());
    FCache.assign(32768, 65535);
    for (int i = 0; i < FColors; ++i) {
        const TPaletteEntry& e = FEntries[size_t(i)];
        const int key = (e.peRed >> 3) | ((e.peGreen & 0xF8) << 2) | ((e.peBlue & 0xF8) << 7);
        if (FCache[size_t(key)] == 65535) FCache[size_t(key)] = uint16_t(i);
    }
}

uint8_t TFastColorLookup::Lookup(uint8_t red, uint8_t green, uint8_t blue, uint8_t& r, uint8_t& g, uint8_t& b) {
    if (FColors == 0) {
        r = g = b = 0;
        return 0;
    }
    const int key = (red >> 3) | ((green & 0xF8) << 2) | ((blue & 0xF8) << 7);
    int index = FCache[size_t(key)];
    if (index == 65535) {
        int best = 0x30000;
        index = 0;
        for (int i = 0; i < FColors; ++i) {
            const TPaletteEntry& e = FEntries[size_t(i)];
            const int d = std::abs(e.peRed - red) + std::abs(e.peGreen - green) + std::abs(e.peBlue - blue);
            if (d < best) {
                best = d;
                index = i;
            }
        }
        FCache[size_t(key)] = uint16_t(index);
    }
    const TPaletteEntry& e = FEntries[size_t(index)];
    r = e.peRed, g = e.peGreen, b = e.peBlue;
    return uint8_t(index);
}

uint8_t TGrayScaleLookup::Lookup(uint8_t red, uint8_t green, uint8_t blue, uint8_t& r, uint8_t& g, uint8_t& b) {
    const uint8_t grey = uint8_t((77 * red + 150 * green + 29 * blue) >> 8);
    r = g = b = grey;
    return grey;
}

uint8_t TMonochromeLookup::Lookup(uint8_t red, uint8_t green, uint8_t blue, uint8_t& r, uint8_t& g, uint8_t& b) {
    if (77 * red + 150 * green + 29 * blue < 32513) {
        r = g = b = 0;
        return 0;
    }
    r = g = b = 255;
    return 1;
}

// ---- kernel ditherers ----

TKernelDitherer::TKernelDitherer(int width, TColorLookup& lookup, int divisor, int reach, std::vector<Weight> weights)
    : TDitherEngine(width, lookup), FDivisor(divisor), FReach(reach), FWeights(std::move(weights)) {
    FRows = 1;
    for (const Weight& w : FWeights) FRows = std::max(FRows, w.Row + 1);
    for (auto& rows : FErrors) rows.assign(size_t(FRows), std::vector<int32_t>(size_t(std::max(width, 0) + 2 * reach), 0));
}

uint8_t TKernelDitherer::Dither(uint8_t red, uint8_t green, uint8_t blue, uint8_t& r, uint8_t& g, uint8_t& b) {
    if (FColumn < 0 || FColumn >= FWidth) return TDitherEngine::Dither(red, green, blue, r, g, b);
    const int slot = FColumn + FReach;
    const int in[3] = {red, green, blue};
    int adjusted[3];
    for (int c = 0; c < 3; ++c)
        adjusted[c] = std::clamp(in[c] + (FErrors[c][0][size_t(slot)] + FDivisor / 2) / FDivisor, 0, 255);
    const uint8_t index = FLookup.Lookup(uint8_t(adjusted[0]), uint8_t(adjusted[1]), uint8_t(adjusted[2]), r, g, b);
    const int chosen[3] = {r, g, b};
    for (int c = 0; c < 3; ++c) {
        const int e = adjusted[c] - chosen[c];
        if (e == 0) continue;
        for (const Weight& w : FWeights)
            FErrors[c][size_t(w.Row)][size_t(slot + FDirection * w.Offset)] += w.Value * e;
    }
    FColumn += FDirection;
    return index;
}

void TKernelDitherer::NextLine() {
    for (auto& rows : FErrors) {
        std::rotate(rows.begin(), rows.begin() + 1, rows.end());
        std::fill(rows.back().begin(), rows.back().end(), 0);
    }
    TDitherEngine::NextLine();
}

TStuckiDitherer::TStuckiDitherer(int width, TColorLookup& lookup)
    : T5by3Ditherer(width, lookup, 42, 2,
                    {{0, 1, 8}, {0, 2, 4}, {1, -2, 2}, {1, -1, 4}, {1, 0, 8}, {1, 1, 4}, {1, 2, 2},
                     {2, -2, 1}, {2, -1, 2}, {2, 0, 4}, {2, 1, 2}, {2, 2, 1}}) {}

TSierraDitherer::TSierraDitherer(int width, TColorLookup& lookup)
    : T5by3Ditherer(width, lookup, 32, 2,
                    {{0, 1, 5}, {0, 2, 3}, {1, -2, 2}, {1, -1, 4}, {1, 0, 5}, {1, 1, 4}, {1, 2, 2},
                     {2, -1, 2}, {2, 0, 3}, {2, 1, 2}}) {}

TJaJuNiDitherer::TJaJuNiDitherer(int width, TColorLookup& lookup)
    : T5by3Ditherer(width, lookup, 48, 2,
                    {{0, 1, 7}, {0, 2, 5}, {1, -2, 3}, {1, -1, 5}, {1, 0, 7}, {1, 1, 5}, {1, 2, 3},
                     {2, -2, 1}, {2, -1, 3}, {2, 0, 5}, {2, 1, 3}, {2, 2, 1}}) {}

TSteveArcheDitherer::TSteveArcheDitherer(int width, TColorLookup& lookup)
    : TKernelDitherer(width, lookup, 200, 3,
                      {{0, 2, 32}, {1, -3, 12}, {1, -1, 26}, {1, 1, 30}, {1, 3, 16}, {2, -2, 12}, {2, 0, 26},
                       {2, 2, 12}, {3, -3, 5}, {3, -1, 12}, {3, 1, 12}, {3, 3, 5}}) {}

TBurkesDitherer::TBurkesDitherer(int width, TColorLookup& lookup)
    : TKernelDitherer(width, lookup, 32, 2,
                      {{0, 1, 8}, {0, 2, 4}, {1, -2, 2}, {1, -1, 4}, {1, 0, 8}, {1, 1, 4}, {1, 2, 2}}) {}

// ---- octree ----

TColorQuantizer::TColorQuantizer(int maxColors, int colorBits)
    : FMaxColors(std::max(maxColors, 1)), FColorBits(std::clamp(colorBits, 1, 8)) {}

void TColorQuantizer::AddColor(uint8_t r, uint8_t g, uint8_t b) {
    std::unique_ptr<TOctreeNode>* at = &FTree;
    for (int level = 0;; ++level) {
        if (!*at) {
            *at = std::make_unique<TOctreeNode>();
            if (level == FColorBits) {
                (*at)->IsLeaf = true;
                ++FLeafCount;
            } else {
                (*at)->Next = FReducible[level];
                FReducible[level] = at->get();
            }
        }
        TOctreeNode* node = at->get();
        if (node->IsLeaf) {
            ++node->PixelCount;
            node->RedSum += r, node->GreenSum += g, node->BlueSum += b;
            break;
        }
        const int m = 0x80 >> level, s = 7 - level;
        at = &node->Child[((r & m) >> s) << 2 | ((g & m) >> s) << 1 | ((b & m) >> s)];
    }
    // Stops when the root is a leaf: nothing is left to merge.
    while (FLeafCount > FMaxColors && ReduceTree()) {
    }
}

bool TColorQuantizer::ReduceTree() {
    int level = FColorBits - 1;
    while (level >= 0 && !FReducible[level]) --level;
    // Every list empty means the root itself is already a leaf.
    if (level < 0) return false;
    TOctreeNode* node = FReducible[level];
    FReducible[level] = node->Next;
    node->Next = nullptr;
    int children = 0;
    for (auto& child : node->Child) {
        if (!child) continue;
        node->PixelCount += child->PixelCount;
        node->RedSum += child->RedSum, node->GreenSum += child->GreenSum, node->BlueSum += child->BlueSum;
        child.reset();
        ++children;
    }
    node->IsLeaf = true;
    // A node without children (only possible mid-add) becomes a new leaf.
    FLeafCount -= children - 1;
    return true;
}

void TColorQuantizer::ProcessImage(const TBitmap& bitmap) {
    for (int y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* p = bitmap.ScanLine(y);
        for (int x = 0; x < bitmap.Width(); ++x, p += 3) AddColor(p[2], p[1], p[0]);
    }
}

int TColorQuantizer::GetColorTable(std::vector<TRGBQuad>& table) const {
    table.clear();
    auto walk = [&](auto&& self, const TOctreeNode* node) -> void {
        if (!node) return;
        if (node->IsLeaf) {
            TRGBQuad q;
            if (node->PixelCount > 0) {
                q.red = uint8_t(node->RedSum / node->PixelCount);
                q.green = uint8_t(node->GreenSum / node->PixelCount);
                q.blue = uint8_t(node->BlueSum / node->PixelCount);
            }
            table.push_back(q);
            return;
        }
        for (const auto& child : node->Child) self(self, child.get());
    };
    walk(walk, FTree.get());
    return int(table.size());
}

// ---- palettes ----

HPALETTE SystemPalette20() {
    static const uint8_t kColors[20][3] = {
        {0, 0, 0},       {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128},
        {128, 0, 128},   {0, 128, 128},   {192, 192, 192}, {192, 220, 192}, {166, 202, 240},
        {255, 251, 240}, {160, 160, 164}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0},
        {255, 255, 0},   {0, 0, 255},     {255, 0, 255},   {0, 255, 255},   {255, 255, 255}};
    std::vector<TPaletteEntry> entries;
    for (const auto& c : kColors) entries.push_back({c[0], c[1], c[2], 0});
    return CreatePalette(std::move(entries));
}

HPALETTE HalftonePalette() {
    // The static colours at both ends, the colour cube and greys between.
    const auto system = *SystemPalette20();
    std::vector<TPaletteEntry> entries(system.begin(), system.begin() + 10);
    const auto web = *WebPalette();
    entries.insert(entries.end(), web.begin(), web.end());
    for (int i = 1; i <= 20; ++i) {
        const uint8_t v = uint8_t(i * 255 / 21);
        entries.push_back({v, v, v, 0});
    }
    entries.insert(entries.end(), system.begin() + 10, system.end());
    return CreatePalette(std::move(entries));
}

namespace {

HPALETTE QuantizedPalette(TColorQuantizer& q, bool windows) {
    std::vector<TRGBQuad> table;
    q.GetColorTable(table);
    std::vector<TPaletteEntry> entries;
    std::vector<TPaletteEntry> system;
    if (windows) {
        system = *SystemPalette20();
        entries.assign(system.begin(), system.begin() + 10);
    }
    for (const TRGBQuad& c : table) entries.push_back({c.red, c.green, c.blue, 0});
    if (windows) {
        entries.resize(246);
        entries.insert(entries.end(), system.begin() + 10, system.end());
    }
    if (entries.empty()) entries.push_back({0, 0, 0, 0});
    return CreatePalette(std::move(entries));
}

TBitmap As24Bit(const TBitmap& source) {
    TBitmap copy = source;
    if (copy.PixelFormat() != TPixelFormat::pf24bit && !copy.SetPixelFormat(TPixelFormat::pf24bit))
        Error(sInvalidPixelFormat);
    return copy;
}

}  // namespace

HPALETTE CreateOptimizedPaletteFromManyBitmaps(const std::vector<const TBitmap*>* bitmaps, int colors, int colorBits,
                                               bool windows) {
    if (!bitmaps || bitmaps->empty()) Error(sInvalidBitmapList);
    TColorQuantizer q(windows ? 236 : colors, colorBits);
    for (const TBitmap* b : *bitmaps) {
        if (!b) Error(sInvalidBitmapList);
        q.ProcessImage(As24Bit(*b));
    }
    return QuantizedPalette(q, windows);
}

std::unique_ptr<TBitmap> ReduceColors(const TBitmap& bitmap, TColorReduction reduction, TDitherMode ditherMode,
                                      int reductionBits, const HPALETTE& given) {
    if (reduction == rmNone) return std::make_unique<TBitmap>(bitmap);
    const TBitmap source = As24Bit(bitmap);
    HPALETTE palette;
    switch (reduction) {
    case rmWindows20: palette = SystemPalette20(); break;
    case rmWindows256: palette = HalftonePalette(); break;
    case rmWindowsGray:
        palette = CreatePalette({{0, 0, 0, 0}, {128, 128, 128, 0}, {192, 192, 192, 0}, {255, 255, 255, 0}});
        break;
    case rmMonochrome: palette = CreatePalette({{0, 0, 0, 0}, {255, 255, 255, 0}}); break;
    case rmGrayScale: {
        std::vector<TPaletteEntry> greys;
        for (int i = 0; i < 256; ++i) greys.push_back({uint8_t(i), uint8_t(i), uint8_t(i), 0});
        palette = CreatePalette(std::move(greys));
        break;
    }
    case rmNetscape: palette = WebPalette(); break;
    case rmQuantize:
    case rmQuantizeWindows: {
        if (reduction == rmQuantize && (reductionBits < 1 || reductionBits > 8)) Error(sInvalidBitSize);
        TColorQuantizer q(reduction == rmQuantize ? 1 << reductionBits : 236, 8);
        q.ProcessImage(source);
        palette = QuantizedPalette(q, reduction == rmQuantizeWindows);
        break;
    }
    case rmPalette:
        if (!given) Error(sInvalidReduction);
        palette = CreatePalette(*given);
        break;
    default: Error(sInvalidReduction);
    }
    std::unique_ptr<TColorLookup> lookup;
    switch (reduction) {
    case rmMonochrome: lookup = std::make_unique<TMonochromeLookup>(palette); break;
    case rmGrayScale: lookup = std::make_unique<TGrayScaleLookup>(palette); break;
    case rmNetscape: lookup = std::make_unique<TNetscapeColorLookup>(palette); break;
    default: lookup = std::make_unique<TFastColorLookup>(palette); break;
    }
    const int width = source.Width(), height = source.Height();
    std::unique_ptr<TDitherEngine> engine;
    switch (ditherMode) {
    case dmFloydSteinberg: engine = std::make_unique<TFloydSteinbergDitherer>(width, *lookup); break;
    case dmStucki: engine = std::make_unique<TStuckiDitherer>(width, *lookup); break;
    case dmSierra: engine = std::make_unique<TSierraDitherer>(width, *lookup); break;
    case dmJaJuNI: engine = std::make_unique<TJaJuNiDitherer>(width, *lookup); break;
    case dmSteveArche: engine = std::make_unique<TSteveArcheDitherer>(width, *lookup); break;
    case dmBurkes: engine = std::make_unique<TBurkesDitherer>(width, *lookup); break;
    default: engine = std::make_unique<TDitherEngine>(width, *lookup); break;
    }
    auto result = std::make_unique<TBitmap>();
    TDIBWriter writer(*result, TPixelFormat::pf8bit, width, height, palette);
    uint8_t r, g, b;
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = source.ScanLine(y);
        uint8_t* out = writer.GetScanline(y);
        for (int x = engine->Column(); x >= 0 && x < width; x = engine->Column())
            out[x] = engine->Dither(in[3 * x + 2], in[3 * x + 1], in[3 * x], r, g, b);
        engine->NextLine();
    }
    writer.Finish();
    return result;
}

}  // namespace vellicor
