#include "platform/Display.h"

#include <atomic>

namespace vellicor {

namespace {
std::atomic<int> g_screenDepth{24};
}

HPALETTE CreatePalette(std::vector<TPaletteEntry> entries) {
    if (entries.empty()) return nullptr;
    return std::make_shared<const std::vector<TPaletteEntry>>(std::move(entries));
}

int PaletteEntryCount(const HPALETTE& palette) { return palette ? static_cast<int>(palette->size()) : 0; }

bool SamePalette(const HPALETTE& a, const HPALETTE& b) {
    if (a == b) return true;
    if (!a || !b) return false;
    return *a == *b;
}

std::vector<TRGBQuad> PaletteToQuads(const HPALETTE& palette) {
    std::vector<TRGBQuad> quads;
    if (!palette) return quads;
    quads.reserve(palette->size());
    for (const TPaletteEntry& e : *palette) quads.push_back({e.peBlue, e.peGreen, e.peRed, 0});
    return quads;
}

HPALETTE PaletteFromQuads(const std::vector<TRGBQuad>& quads) {
    std::vector<TPaletteEntry> entries;
    entries.reserve(quads.size());
    for (const TRGBQuad& q : quads) entries.push_back({q.red, q.green, q.blue, 0});
    return CreatePalette(std::move(entries));
}

int ScreenColorDepth() { return g_screenDepth.load(std::memory_order_relaxed); }
void SetScreenColorDepth(int bits) { g_screenDepth.store(bits, std::memory_order_relaxed); }

}  // namespace vellicor
