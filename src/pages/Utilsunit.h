#pragma once
// File-type tests by extension, and the size of the area in which pages are shown.
// Names may be bare names or full paths, with '/' or '\' as separators; only the
// extension decides, nothing is opened.
#include <functional>
#include <string_view>

namespace vellicor {

bool IsJpegFile(std::string_view fileName);   // .jpg, .jpeg
bool IsPngFile(std::string_view fileName);    // .png
bool IsGifFile(std::string_view fileName);    // .gif
bool IsBmpFile(std::string_view fileName);    // .bmp
bool IsImageFile(std::string_view fileName);  // any of the four above
bool IsInfoFile(std::string_view fileName);   // .nfo, .txt
bool IsSfvFile(std::string_view fileName);    // .sfv
bool IsMd5File(std::string_view fileName);    // .md5
bool IsParFile(std::string_view fileName);    // .par
bool IsChecksumFile(std::string_view fileName);  // .sfv, .md5, .par
// What the archiver of macOS puts beside each file: "._NAME" (an AppleDouble file), and
// whatever lies in a "__MACOSX" folder. Never a page, whatever its extension says.
bool IsMacMetadataFile(std::string_view fileName);

// Client size of the main display window, read at the moment of the call: pages are
// fitted to it whenever they are processed.
struct TClientSize {
    int Width = 0;
    int Height = 0;
};
using TClientSizeProvider = std::function<TClientSize()>;

// The main window installs a provider that reads its current client size; an empty
// provider restores the fixed size below.
void SetMainClientSizeProvider(TClientSizeProvider provider);
// A fixed size (tests, headless use); drops any provider. The default is 1024 x 768.
void SetMainClientSize(int width, int height);

int MainClientWidth();
int MainClientHeight();

}  // namespace vellicor
