#include "pages/NextFiles.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "archives/UnArchive.h"
#include "pages/Utilsunit.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

namespace fs = std::filesystem;

namespace {

// Sorted by CompareNames, without duplicates.
void SortNames(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return TNextFiles::CompareNames(a, b) < 0; });
}

void Assign(TStringList& list, const std::vector<std::string>& names) {
    list.SetSorted(false);
    list.Clear();
    for (const auto& n : names) list.Add(n);
}

// Entries of a directory; an unreadable directory lists as empty.
template <typename Keep>
std::vector<std::string> List(const std::string& dir, Keep keep) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
    if (ec) return names;
    for (fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) break;
        const fs::directory_entry& e = *it;
        std::string name = e.path().filename().string();
        if (name == "." || name == "..") continue;
        if (keep(e, name)) names.push_back(std::move(name));
    }
    SortNames(names);
    return names;
}

bool IsFile(const fs::directory_entry& e) {
    std::error_code ec;
    return e.is_regular_file(ec);
}

}  // namespace

TNextFiles::TNextFiles() { VTRACE("TNextFiles::TNextFiles"); }

int TNextFiles::CompareNames(const std::string& a, const std::string& b) { return AnsiCompareText(a, b); }

bool TNextFiles::Up() {
    VTRACE("TNextFiles::Up");
    std::string path = CurrentPath_;
    while (path.size() > 1 && IsPathDelimiter(path.back())) path.pop_back();
    size_t cut = path.find_last_of("/\\");
    CurrentDir_ = cut == std::string::npos ? path : path.substr(cut + 1);
    if (CurrentDir_.empty() || cut == std::string::npos) {
        CurrentDir_.clear();
        return false;  // a root
    }
    CurrentPath_ = cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
    return true;
}

void TNextFiles::Down(const std::string& Name) {
    VTRACE("TNextFiles::Down");
    CurrentDir_.clear();
    if (!CurrentPath_.empty() && IsPathDelimiter(CurrentPath_.back())) CurrentPath_ += Name;
    else CurrentPath_ += "/" + Name;
    std::error_code ec;
    fs::path real = fs::canonical(CurrentPath_, ec);
    if (!ec) Visited_.insert(real.string());
}

bool TNextFiles::GetDirectories() {
    VTRACE("TNextFiles::GetDirectories");
    // A directory that leads back to where the walk stands or above it, or to one this
    // search has been in already (link loops), is not a place to go down into.
    std::error_code ec;
    fs::path here = fs::canonical(CurrentPath_, ec);
    if (ec) here.clear();
    auto names = List(CurrentPath_, [this, &here](const fs::directory_entry& e, const std::string&) {
        std::error_code ec2;
        // The macOS archiver's metadata folder holds no pages.
        if (!e.is_directory(ec2) || e.path().filename() == "__MACOSX") return false;
        if (!e.is_symlink(ec2)) return true;
        fs::path target = fs::canonical(e.path(), ec2);
        if (ec2) return false;
        if (Visited_.count(target.string())) return false;
        if (here.empty()) return true;
        auto [t, h] = std::mismatch(target.begin(), target.end(), here.begin(), here.end());
        (void)h;
        return t != target.end();
    });
    Assign(Files_, names);
    return Files_.Count() > 0;
}

bool TNextFiles::GetArchives() {
    VTRACE("TNextFiles::GetArchives");
    auto names = List(CurrentPath_, [](const fs::directory_entry& e, const std::string& name) {
        return IsFile(e) && IsArchiveFile(name) && !IsMacMetadataFile(name);
    });
    Assign(Files_, names);
    return Files_.Count() > 0;
}

bool TNextFiles::GetImages() {
    VTRACE("TNextFiles::GetImages");
    bool image = false;
    auto names = List(CurrentPath_, [&image](const fs::directory_entry& e, const std::string& name) {
        if (!IsFile(e) || IsMacMetadataFile(name)) return false;
        if (IsImageFile(name)) {
            image = true;
            return true;
        }
        return IsInfoFile(name);
    });
    Assign(Files_, names);
    return image;
}

bool TNextFiles::CountMove() {
    ++Moves_;
    return Moves_ < kMaxMoves;
}

void TNextFiles::SetResult(const std::string& Name) {
    Result_.Add(IncludeTrailingPathDelimiter(CurrentPath_) + Name);
}

void TNextFiles::SetResultFromFiles() {
    for (const auto& name : Files_) SetResult(name);
}

// A walk starts from Directory with an empty sorted result and no moves counted.
void TNextFiles::StartWalk(const std::string& Directory) {
    ProcessMessages();
    Result_.Clear();
    Result_.SetSorted(true);
    Result_.SetDuplicates(TDuplicates::dupIgnore);
    Moves_ = 0;
    Visited_.clear();
    CurrentPath_ = Directory;
    CurrentDir_.clear();
}

bool TNextFiles::GetNextFiles(const std::string& Directory, const std::string& ArchiveFileName) {
    VTRACE("TNextFiles::GetNextFiles");
    WaitCursor wait;
    StartWalk(Directory);
    std::string archive = ExtractFileName(ArchiveFileName);
    bool doDirectories = false;
    if (ArchiveFileName.empty()) {
        if (!Up()) return false;
        doDirectories = true;
    }
    for (;;) {
        if (doDirectories && GetDirectories()) {
            if (!CurrentDir_.empty())
                while (Files_.Count() > 0 && CompareNames(Files_[0], CurrentDir_) <= 0) Files_.Delete(0);
            if (Files_.Count() > 0) {
                Down(Files_[0]);
                if (!CountMove()) return false;
                continue;
            }
        }
        if (GetArchives()) {
            if (!archive.empty())
                while (Files_.Count() > 0 && CompareNames(Files_[0], archive) <= 0) Files_.Delete(0);
            archive.clear();
            if (Files_.Count() > 0) {
                SetResult(Files_[0]);
                return true;
            }
        }
        if (GetImages()) {
            SetResultFromFiles();
            return true;
        }
        if (!Up()) return false;
        doDirectories = true;
        archive.clear();
        if (!CountMove()) return false;
    }
}

bool TNextFiles::GetPreviousFiles(const std::string& Directory, const std::string& ArchiveFileName) {
    VTRACE("TNextFiles::GetPreviousFiles");
    WaitCursor wait;
    StartWalk(Directory);
    std::string archive = ExtractFileName(ArchiveFileName);
    bool doImages = false, doArchives = true;
    for (;;) {
        if (doImages && GetImages()) {
            SetResultFromFiles();
            return true;
        }
        if (doArchives && GetArchives()) {
            if (!archive.empty())
                while (Files_.Count() > 0 && CompareNames(Files_[Files_.Count() - 1], archive) >= 0)
                    Files_.Delete(Files_.Count() - 1);
            archive.clear();
            if (Files_.Count() > 0) {
                SetResult(Files_[Files_.Count() - 1]);
                return true;
            }
        }
        if (GetDirectories()) {
            if (!CurrentDir_.empty())
                while (Files_.Count() > 0 && CompareNames(Files_[Files_.Count() - 1], CurrentDir_) >= 0)
                    Files_.Delete(Files_.Count() - 1);
            if (Files_.Count() > 0) {
                Down(Files_[Files_.Count() - 1]);
                doImages = doArchives = true;
                if (!CountMove()) return false;
                continue;
            }
        }
        if (!Up()) return false;
        doImages = doArchives = false;
        archive.clear();
        if (!CountMove()) return false;
    }
}

}  // namespace vellicor
