#pragma once
// The GIF unit's one exception class and its message texts.
#include <stdexcept>
#include <string>

namespace vellicor {

class GIFException : public std::runtime_error {
public:
    explicit GIFException(const std::string& Message) : std::runtime_error(Message) {}
};

// Raised by a progress handler to abandon a rendering quietly.
class EAbort : public std::exception {
public:
    const char* what() const noexcept override { return "Operation aborted"; }
};

inline constexpr const char* sOutOfData = "Premature end of data";
inline constexpr const char* sTooManyColors = "Color table overflow";
inline constexpr const char* sBadColorIndex = "Invalid color index";
inline constexpr const char* sBadVersion = "Unsupported GIF version";
inline constexpr const char* sBadSignature = "Invalid GIF signature";
inline constexpr const char* sScreenBadColorSize = "Invalid number of colors specified in Screen Descriptor";
inline constexpr const char* sImageBadColorSize = "Invalid number of colors specified in Image Descriptor";
inline constexpr const char* sUnknownExtension = "Unknown extension type";
inline constexpr const char* sBadExtensionLabel = "Invalid extension introducer";
inline constexpr const char* sOutOfMemDIB = "Failed to allocate memory for GIF DIB";
inline constexpr const char* sDIBCreate = "Failed to create DIB from Bitmap";
inline constexpr const char* sDecodeTooFewBits = "Decoder bit buffer under-run";
inline constexpr const char* sDecodeCircular = "Circular decoder table entry";
inline constexpr const char* sBadTrailer = "Invalid Image trailer";
inline constexpr const char* sBadExtensionInstance = "Internal error: Extension Instance does not match Extension Label";
inline constexpr const char* sBadBlockSize = "Unsupported Application Extension block size";
inline constexpr const char* sBadBlock = "Unknown GIF block type";
inline constexpr const char* sUnsupportedClass = "Object type not supported for operation";
inline constexpr const char* sInvalidData = "Invalid GIF data";
inline constexpr const char* sBadHeight = "Image height too small for contained frames";
inline constexpr const char* sBadWidth = "Image width too small for contained frames";
inline constexpr const char* sFailedPaste = "Failed to store GIF on clipboard";
inline constexpr const char* sScreenSizeExceeded = "Image exceeds Logical Screen size";
inline constexpr const char* sNoColorTable = "No global or local color table defined";
inline constexpr const char* sBadPixelCoordinates = "Invalid pixel coordinates";
inline constexpr const char* sUnsupportedBitmap = "Unsupported bitmap format";
inline constexpr const char* sInvalidPixelFormat = "Unsupported PixelFormat";
inline constexpr const char* sBadDimension = "Invalid image dimensions";
inline constexpr const char* sNoDIB = "Image has no DIB";
inline constexpr const char* sInvalidStream = "Invalid stream operation";
inline constexpr const char* sInvalidColor = "Color not in color table";
inline constexpr const char* sInvalidBitSize = "Invalid Bits Per Pixel value";
inline constexpr const char* sEmptyColorMap = "Color table is empty";
inline constexpr const char* sEmptyImage = "Image is empty";
inline constexpr const char* sInvalidBitmapList = "Invalid bitmap list";
inline constexpr const char* sInvalidReduction = "Invalid reduction method";
inline constexpr const char* sGIFImageFile = "GIF Image";
inline constexpr const char* sProgressLoading = "Loading...";
inline constexpr const char* sProgressSaving = "Saving...";
inline constexpr const char* sProgressConverting = "Converting...";
inline constexpr const char* sProgressRendering = "Rendering...";
inline constexpr const char* sProgressCopying = "Copying...";
inline constexpr const char* sProgressOptimizing = "Optimizing...";
// Not in the unit's table: the scan-line range error of a DIB writer.
inline constexpr const char* sScanLineRange = "Scan line index out of range";
// The class library's message for a clipboard format no graphic reads.
inline constexpr const char* sUnsupportedClipboardFormat = "Unsupported clipboard format";

[[noreturn]] inline void Error(const std::string& Message) { throw GIFException(Message); }

}  // namespace vellicor
