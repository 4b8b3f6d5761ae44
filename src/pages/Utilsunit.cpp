#include "pages/Utilsunit.h"

#include <mutex>
#include <string>

#include "platform/Text.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

// The text from the last '.' to the end, unless a separator or drive colon follows that
// dot; lower case. Non-ASCII bytes are kept as they are: no extension we test has any.
std::string LowerExtension(std::string_view name) {
    VTRACE("Utilsunit::LowerExtension");
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return {};
    for (size_t i = dot + 1; i < name.size(); ++i)
        if (name[i] == '\\' || name[i] == '/' || name[i] == ':') return {};
    return LowerCase(name.substr(dot));
}

struct ClientSizeState {
    std::mutex lock;
    TClientSizeProvider provider;
    TClientSize fixed{1024, 768};
};

ClientSizeState& SizeState() {
    VTRACE("Utilsunit::SizeState");
    static ClientSizeState state;
    return state;
}

TClientSize CurrentClientSize() {
    VTRACE("Utilsunit::CurrentClientSize");
    auto& s = SizeState();
    TClientSizeProvider provider;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.provider) return s.fixed;
        provider = s.provider;
    }
    return provider();
}

}  // namespace

bool IsJpegFile(std::string_view fileName) {
    VTRACE("Utilsunit::IsJpegFile");
    std::string ext = LowerExtension(fileName);
    return ext == ".jpg" || ext == ".jpeg";
}

bool IsPngFile(std::string_view fileName) {
    VTRACE("Utilsunit::IsPngFile");
    return LowerExtension(fileName) == ".png";
}

bool IsGifFile(std::string_view fileName) {
    VTRACE("Utilsunit::IsGifFile");
    return LowerExtension(fileName) == ".gif";
}

bool IsBmpFile(std::string_view fileName) {
    VTRACE("Utilsunit::IsBmpFile");
    return LowerExtension(fileName) == ".bmp";
}

bool IsImageFile(std::string_view fileName) {
    VTRACE("Utilsunit::IsImageFile");
    return IsJpegFile(fileName) || IsPngFile(fileName) || IsGifFile(fileName) || IsBmpFile(fileName);
}

bool IsInfoFile(std::string_view fileName) {
    VTRACE("Utilsunit::IsInfoFile");
    std::string ext = LowerExtension(fileName);
    return ext == ".nfo" || ext == ".txt";
}

bool IsSfvFile(std::string_view fileName) {
    VTRACE("Utilsunit::IsSfvFile");
    return LowerExtension(fileName) == ".sfv";
}

bool IsMd5File(std::string_view fileName) {
    VTRACE("Utilsunit::IsMd5File");
    return LowerExtension(fileName) == ".md5";
}

bool IsParFile(std::string_view fileName) {
    VTRACE("Utilsunit::IsParFile");
    return LowerExtension(fileName) == ".par";
}

bool IsChecksumFile(std::string_view fileName) {
    VTRACE("Utilsunit::IsChecksumFile");
    return IsSfvFile(fileName) || IsMd5File(fileName) || IsParFile(fileName);
}

bool IsMacMetadataFile(std::string_view fileName) {
    VTRACE("Utilsunit::IsMacMetadataFile");
    size_t start = 0;
    for (size_t i = 0; i <= fileName.size(); ++i) {
        if (i < fileName.size() && fileName[i] != '/' && fileName[i] != '\\') continue;
        const std::string_view part = fileName.substr(start, i - start);
        if (part == "__MACOSX" && i < fileName.size()) return true;
        if (i == fileName.size() && part.substr(0, 2) == "._") return true;
        start = i + 1;
    }
    return false;
}

void SetMainClientSizeProvider(TClientSizeProvider provider) {
    VTRACE("Utilsunit::SetMainClientSizeProvider");
    auto& s = SizeState();
    std::lock_guard<std::mutex> guard(s.lock);
    s.provider = std::move(provider);
}

void SetMainClientSize(int width, int height) {
    VTRACE("Utilsunit::SetMainClientSize");
    auto& s = SizeState();
    std::lock_guard<std::mutex> guard(s.lock);
    s.provider = nullptr;
    s.fixed = {width, height};
}

int MainClientWidth() {
    VTRACE("Utilsunit::MainClientWidth");
    return CurrentClientSize().Width;
}

int MainClientHeight() {
    VTRACE("Utilsunit::MainClientHeight");
    return CurrentClientSize().Height;
}

}  // namespace vellicor
