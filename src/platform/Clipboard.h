#pragma once
// The clipboard as the core sees it: data blocks under numbered formats. Formats named by
// the program are registered once per process; CF_BITMAP carries a bitmap. The default is a
// clipboard inside the process (headless runs and tests); the GUI may install its own.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Bitmap.h"

namespace vellicor {

using TClipboardFormat = uint32_t;
constexpr TClipboardFormat CF_BITMAP = 2;

// One block of clipboard data: bytes, or a bitmap for CF_BITMAP.
struct TClipboardData {
    std::vector<uint8_t> Bytes;
    std::shared_ptr<const TBitmap> Bitmap;
};
using TClipboardHandle = std::shared_ptr<const TClipboardData>;

// The number of a named format: the same name gives the same number (from 0xC000).
TClipboardFormat RegisterClipboardFormat(const std::string& Name);
std::string ClipboardFormatName(TClipboardFormat Format);

class IClipboard {
public:
    virtual ~IClipboard() = default;
    // False when the clipboard refused the data.
    virtual bool SetData(TClipboardFormat Format, TClipboardHandle Data) = 0;
    // None when the clipboard holds nothing in that format.
    virtual TClipboardHandle GetData(TClipboardFormat Format) = 0;
    virtual bool HasFormat(TClipboardFormat Format) = 0;
    virtual void Clear() = 0;
};

// A clipboard held in memory.
class TMemoryClipboard : public IClipboard {
public:
    bool SetData(TClipboardFormat Format, TClipboardHandle Data) override;
    TClipboardHandle GetData(TClipboardFormat Format) override;
    bool HasFormat(TClipboardFormat Format) override;
    void Clear() override;

private:
    std::vector<std::pair<TClipboardFormat, TClipboardHandle>> FItems;
};

IClipboard& Clipboard();
// Installs a clipboard (nullptr restores the one in memory). The caller keeps ownership.
void SetClipboard(IClipboard* Clipboard);

}  // namespace vellicor
