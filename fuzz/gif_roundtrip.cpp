// Any GIF our reader accepts is optimised and written again and must read back with the same frames and
// pixels; bytes it refuses, or frames whose indices lie outside their table, are reported
// with the GIF exception, never a fault.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/gif/GIFImage.h"
#include "platform/Streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vellicor;
    // Screens of a few megapixels only make runs slow; the unit tests cover the limits.
    if (size >= 10 && int64_t(data[6] | data[7] << 8) * int64_t(data[8] | data[9] << 8) > (int64_t(1) << 22))
        return -1;
    TGIFImage image;
    image.OnWarning = [](const void*, TGIFSeverity, const std::string&) {};
    TByteViewStream in(data, int64_t(size));
    try {
        image.LoadFromStream(in);
    } catch (const GIFException&) {
        return 0;
    }
    int64_t pixels = 0;
    for (int i = 0; i < image.Images().GetCount(); ++i) pixels += image.Images().GetImage(i)->DataSize();
    if (pixels > (int64_t(1) << 22)) return -1;
    try {
        image.Optimize(OptimizeOption(ooCrop) | OptimizeOption(ooMerge) | OptimizeOption(ooCleanup) |
                           OptimizeOption(ooColorMap),
                       rmNone, dmNearest, 8);
    } catch (const GIFException&) {
        return 0;
    }
    for (TGIFCompression compression : {gcLZW, gcRLE}) {
        image.Compression = compression;
        TMemoryStream out;
        try {
            image.SaveToStream(out);
        } catch (const GIFException&) {
            continue;
        }
        TGIFImage back;
        back.OnWarning = [](const void*, TGIFSeverity, const std::string&) {};
        out.SetPosition(0);
        try {
            back.LoadFromStream(out);
        } catch (const GIFException&) {
            std::abort();  // what we write must read
        }
        // Frames without pixels write only their extensions, so only frames with pixels pair up.
        auto withPixels = [](TGIFImage& g) {
            std::vector<TGIFSubImage*> v;
            for (int i = 0; i < g.Images().GetCount(); ++i)
                if (!g.Images().GetImage(i)->GetEmpty()) v.push_back(g.Images().GetImage(i));
            return v;
        };
        const auto before = withPixels(image), after = withPixels(back);
        if (before.size() != after.size()) std::abort();
        for (size_t i = 0; i < before.size(); ++i)
            if (before[i]->DataSize() != after[i]->DataSize() ||
                std::memcmp(before[i]->Data(), after[i]->Data(), size_t(before[i]->DataSize())) != 0)
                std::abort();
    }
    // A copy with one global table of the colours in use shows the same colours.
    if (pixels > (int64_t(1) << 18)) return 0;
    TGIFImage copy;
    copy.OnWarning = [](const void*, TGIFSeverity, const std::string&) {};
    copy.Assign(&image);
    auto shown = [](TGIFSubImage* f, int64_t k) -> int64_t {
        TGIFColorMap& map = f->GetActiveColorMap();
        const uint8_t p = f->Data()[k];
        if (f->Transparent() && f->GraphicControlExtension() && p == f->GraphicControlExtension()->GetTransparentColorIndex())
            return -1;
        return p < map.Count() ? int64_t(GIFColorToColor(map.Entry(p))) : -2;
    };
    std::vector<std::vector<int64_t>> colours;
    for (int i = 0; i < copy.Images().GetCount(); ++i) {
        TGIFSubImage* f = copy.Images().GetImage(i);
        std::vector<int64_t> row;
        for (int64_t k = 0; !f->GetEmpty() && k < f->DataSize(); ++k) row.push_back(shown(f, k));
        colours.push_back(std::move(row));
    }
    copy.OptimizeColorMap();
    if (copy.GetColorMap().Count() > 256) std::abort();
    for (int i = 0; i < copy.Images().GetCount(); ++i) {
        TGIFSubImage* f = copy.Images().GetImage(i);
        const std::vector<int64_t>& was = colours[size_t(i)];
        if (f->GetEmpty() || was.empty()) continue;
        bool damaged = false, fewer = copy.GetColorMap().Count() >= 255;
        for (int64_t c : was) damaged = damaged || c == -2;
        for (int64_t k = 0; k < f->DataSize(); ++k) {
            const int64_t now = shown(f, k);
            if (now == -2 && !damaged) std::abort();  // every pixel of a sound frame lies in the new table
            if (!damaged && !fewer && now != was[size_t(k)]) std::abort();
        }
    }
    return 0;
}
