#pragma once
// The next or previous file set on disk, seen from the set now open. The disk is one
// ordered sequence of sets: within a directory first its subdirectories in name order
// (each with everything below it), then its archives in name order (one set each), then
// its image and info files (together one set). The search walks that order forwards or
// backwards from the current place.
#include <set>
#include <string>

#include "platform/StringList.h"

namespace vellicor {

class TNextFiles {
public:
    // The search gives up after this many moves up or down the tree.
    static constexpr int kMaxMoves = 1000;

    TNextFiles();
    TNextFiles(const TNextFiles&) = delete;
    TNextFiles& operator=(const TNextFiles&) = delete;

    // Directory: the directory of the open set; ArchiveFileName: the open archive, empty
    // when the set is a directory of loose files. True with the set's full paths in Result.
    bool GetNextFiles(const std::string& Directory, const std::string& ArchiveFileName);
    bool GetPreviousFiles(const std::string& Directory, const std::string& ArchiveFileName);

    const TStringList& Result() const { return Result_; }
    int Moves() const { return Moves_; }

    // Locale-independent, case-insensitive, no numeric ordering (a10 before a9).
    static int CompareNames(const std::string& a, const std::string& b);

private:
    bool Up();
    void Down(const std::string& Name);
    bool GetDirectories();
    bool GetArchives();
    bool GetImages();
    bool CountMove();
    void SetResultFromFiles();
    void StartWalk(const std::string& Directory);
    void SetResult(const std::string& Name);

    std::string CurrentPath_;
    std::string CurrentDir_;
    TStringList Files_;
    TStringList Result_;
    int Moves_ = 0;
    std::set<std::string> Visited_;  // real paths gone down into
};

}  // namespace vellicor
