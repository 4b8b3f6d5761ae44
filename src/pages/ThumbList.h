#pragma once
// The strip of page thumbnails and the stretch drawing shared by thumbnails and previews.
#include <vector>

#include "platform/Bitmap.h"

namespace vellicor {

constexpr int kThumbWidth = 156;
constexpr int kThumbHeight = 240;

// A list of equally sized 24-bit images that grows in steps, like the platform's image list.
class TImageList {
public:
    TImageList(int Width, int Height, int Initial, int Grow);
    int Width() const { return Width_; }
    int Height() const { return Height_; }
    int Count() const { return static_cast<int>(Images_.size()); }
    int Capacity() const { return static_cast<int>(Images_.capacity()); }
    // Index of the new image, or -1 when it has the wrong size or memory runs out.
    int Add(TBitmap Image);
    const TBitmap& Image(int Index) const { return Images_.at(static_cast<size_t>(Index)); }
    void Clear();

private:
    int Width_, Height_, Grow_;
    std::vector<TBitmap> Images_;
};

// The rectangle (from the top-left corner) a page of PageW x PageH is drawn into in a box:
// the whole box when both are portrait or both landscape; otherwise the box's full height
// with the page's proportions, its right part cut off by the box.
void ThumbRect(int BoxW, int BoxH, int PageW, int PageH, int& Right, int& Bottom);
// A 24-bit BoxW x BoxH bitmap with Page stretched into ThumbRect (black where it is not).
TBitmap DrawThumb(const TBitmap& Page, int BoxW, int BoxH);

}  // namespace vellicor
