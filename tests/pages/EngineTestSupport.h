#pragma once
// Helpers for the loader, cache and queue tests: small BMP files, an in-memory archive
// source, and a step-capped driver for the work queue.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "pages/ArchiveSource.h"
#include "platform/Streams.h"
#include "platform/StringList.h"

namespace vellicor::test {

// A 24-bit bottom-up BMP filled with one colour (0x00BBGGRR).
inline std::string MakeBmp(int w, int h, uint32_t colour = 0x00808080) {
    const int row = (w * 3 + 3) & ~3;
    const uint32_t imageSize = static_cast<uint32_t>(row * h);
    std::string b(54 + imageSize, '\0');
    auto put16 = [&](size_t at, uint32_t v) {
        b[at] = static_cast<char>(v & 0xFF);
        b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
    };
    auto put32 = [&](size_t at, uint32_t v) {
        put16(at, v & 0xFFFF);
        put16(at + 2, v >> 16);
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, 54 + imageSize);
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(w));
    put32(22, static_cast<uint32_t>(h));
    put16(26, 1);
    put16(28, 24);
    put32(34, imageSize);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            size_t p = 54 + static_cast<size_t>(y * row + x * 3);
            b[p] = static_cast<char>((colour >> 16) & 0xFF);
            b[p + 1] = static_cast<char>((colour >> 8) & 0xFF);
            b[p + 2] = static_cast<char>(colour & 0xFF);
        }
    return b;
}

// Archives held in memory: name -> members in archive order.
class FakeArchiveSource : public IArchiveSource {
public:
    struct Member {
        std::string name;
        std::string bytes;
        bool fails = false;  // Extract returns null
    };

    void AddArchive(const std::string& archive, std::vector<Member> members) { archives[archive] = std::move(members); }

    bool Open(const std::string& archiveName, TStringList& memberNames) override {
        ++opens;
        openLog.push_back(archiveName);
        if (onCall) onCall();
        current.clear();
        memberNames.Clear();
        if (throwOnOpen) throw std::runtime_error("archive reader failed");
        auto it = archives.find(archiveName);
        if (it == archives.end()) return false;
        for (auto& m : it->second) memberNames.Add(m.name);
        current = archiveName;
        return memberNames.Count() > 0;
    }

    TStream* Extract(const std::string& memberName) override {
        ++extracts;
        extractLog.push_back(memberName);
        if (onCall) onCall();
        auto it = archives.find(current);
        if (it == archives.end()) return nullptr;
        for (auto& m : it->second) {
            if (m.name != memberName) continue;
            if (m.fails) return nullptr;
            stream = std::make_unique<TMemoryStream>();
            stream->Write(m.bytes.data(), static_cast<int64_t>(m.bytes.size()));
            stream->Seek(0, SeekOrigin::Begin);
            return stream.get();
        }
        return nullptr;
    }

    void Close() override {
        ++closes;
        current.clear();
        stream.reset();
    }

    std::map<std::string, std::vector<Member>> archives;
    std::string current;
    std::unique_ptr<TMemoryStream> stream;
    int opens = 0, extracts = 0, closes = 0;
    std::vector<std::string> openLog, extractLog;
    bool throwOnOpen = false;
    std::function<void()> onCall;  // runs inside every Open and Extract (a message pump)
};

}  // namespace vellicor::test
