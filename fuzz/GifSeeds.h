#pragma once
// Seeds of many small blocks, written into the corpus folder when the GIF target starts: a
// sound reader runs each in milliseconds, one whose work grows with the square of the block
// count takes seconds, which the smoke run's short -timeout reports.
#include <filesystem>
#include <fstream>
#include <string>

namespace fuzz {

// The first argument that is not an option: the corpus folder libFuzzer writes to.
inline const char* CorpusFolder(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != '-') return argv[i];
    return nullptr;
}

inline void WriteGifBlockSeeds(const char* corpus, int comments, int frames) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!corpus || !fs::is_directory(corpus, ec)) return;
    // A 1x1 screen with black and white, then the blocks.
    const std::string header("GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xFF\xFF\xFF", 19);
    auto write = [&](const char* name, const std::string& block, int count, const std::string& end) {
        const fs::path path = fs::path(corpus) / name;
        if (fs::exists(path, ec)) return;
        std::string bytes = header;
        bytes.reserve(header.size() + block.size() * size_t(count) + end.size());
        for (int i = 0; i < count; ++i) bytes += block;
        std::ofstream(path, std::ios::binary) << bytes + end;
    };
    // Comment extensions with no frame and no trailer; frames of one pixel (clear, 0, end).
    write("seed-many-comments.gif", std::string("!\xFE\x01X\x00", 5), comments, "");
    write("seed-many-frames.gif", std::string(",\0\0\0\0\x01\0\x01\0\0\x02\x02\x44\x01\x00", 15), frames, ";");
}

}  // namespace fuzz
