#pragma once
// The strip of page thumbnails and the stretch drawing shared by thumbnails and previews.
#include <cstddef>
#include <vector>

#include "platform/Bitmap.h"

namespace vellicor {

constexpr int kThumbWidth = 156;
constexpr int kThumbHeight = 240;

// Bytes of thumbnails an image list keeps in memory; the rest wait in a temporary file, so
// that a book of thousands of pages costs what a short one does.
constexpr size_t kThumbMemoryBudget = size_t(4) << 20;

// A list of equally sized 24-bit images that grows in steps, like the platform's image list.
// The first images (up to MemoryBudget bytes) are held in memory, later ones in an unnamed
// temporary file that vanishes with the list; they are read back when asked for.
class TImageList {
public:
    TImageList(int Width, int Height, int Initial, int Grow, size_t MemoryBudget = kThumbMemoryBudget);
    ~TImageList();
    TImageList(const TImageList&) = delete;
    TImageList& operator=(const TImageList&) = delete;
    int Width() const { return Width_; }
    int Height() const { return Height_; }
    int Count() const { return Count_; }
    int Capacity() const { return Capacity_; }
    // Index of the new image, or -1 when it has the wrong size or memory (or the
    // temporary file) runs out.
    int Add(TBitmap Image);
    // A copy of image Index (an empty bitmap when it cannot be read back).
    TBitmap Image(int Index) const;
    // Images held in memory (the rest are in the file).
    int InMemory() const { return static_cast<int>(Images_.size()); }
    void Clear();

private:
    bool Spill(const TBitmap& Image);

    int Width_, Height_, Grow_;
    int Count_ = 0;
    int Capacity_ = 0;
    size_t MemoryImages_;  // how many the budget holds
    std::vector<TBitmap> Images_;
    int File_ = -1;
};

// The rectangle (from the top-left corner) a page of PageW x PageH is drawn into in a box:
// the whole box when both are portrait or both landscape; otherwise the box's full height
// with the page's proportions, its right part cut off by the box.
void ThumbRect(int BoxW, int BoxH, int PageW, int PageH, int& Right, int& Bottom);
// A 24-bit BoxW x BoxH bitmap with Page stretched into ThumbRect (black where it is not).
TBitmap DrawThumb(const TBitmap& Page, int BoxW, int BoxH);

}  // namespace vellicor
