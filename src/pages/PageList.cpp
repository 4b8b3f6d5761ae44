#include "pages/PageList.h"

#include <algorithm>

#include "pages/Utilsunit.h"
#include "platform/Text.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

// Loose files sort by name; an archive's members sort at the place of the archive's path,
// by name within it. Where the keys are equal a loose file goes before archive members,
// which keeps the order strict and weak (a loose name equal to an archive path would
// otherwise compare equal to members that differ among themselves).
bool ComesBefore(const std::unique_ptr<TPageEntry>& a, const std::unique_ptr<TPageEntry>& b) {
    VTRACE("TPageList::ComesBefore");
    const bool aLoose = a->Archive.empty(), bLoose = b->Archive.empty();
    int c = AnsiCompareText(aLoose ? a->Name : a->Archive, bLoose ? b->Name : b->Archive);
    if (c != 0) return c < 0;
    if (aLoose != bLoose) return aLoose;
    if (aLoose) return false;
    return AnsiCompareText(a->Name, b->Name) < 0;
}

bool InRange(const TPageEntries& list, int index) {
    VTRACE("TPageList::InRange");
    return index >= 0 && static_cast<size_t>(index) < list.size();
}

}  // namespace

TPageList::TPageList() {
    VTRACE("TPageList::TPageList");
    allNames_.SetSorted(true);
    allNames_.SetDuplicates(TDuplicates::dupIgnore);
}

TPageList::~TPageList() {
    VTRACE("TPageList::~TPageList");
    Clear();
}

void TPageList::Add(const std::string& fileName, const std::string& archiveName) {
    VTRACE("TPageList::Add");
    TPageEntries* target;
    if (IsMacMetadataFile(fileName)) return;  // the macOS archiver's, beside each real file
    if (IsImageFile(fileName)) target = &pages_;
    else if (IsInfoFile(fileName)) target = &infos_;
    else if (IsChecksumFile(fileName)) target = &checksums_;
    else return;
    auto entry = std::make_unique<TPageEntry>();
    entry->Name = fileName;
    entry->Archive = archiveName;
    target->push_back(std::move(entry));
    allNames_.Add(fileName);
}

void TPageList::Add(const TStringList& fileNames, const std::string& archiveName) {
    VTRACE("TPageList::Add");
    for (const auto& name : fileNames) Add(name, archiveName);
}

void TPageList::Sort() {
    VTRACE("TPageList::Sort");
    std::stable_sort(pages_.begin(), pages_.end(), ComesBefore);
    std::stable_sort(infos_.begin(), infos_.end(), ComesBefore);
    std::stable_sort(checksums_.begin(), checksums_.end(), ComesBefore);
}

void TPageList::Clear() {
    VTRACE("TPageList::Clear");
    pages_.clear();
    infos_.clear();
    checksums_.clear();
    allNames_.Clear();
}

std::string TPageList::GetName(const TPageEntries& list, int index) const {
    VTRACE("TPageList::GetName");
    return InRange(list, index) ? list[static_cast<size_t>(index)]->Name : std::string();
}

std::string TPageList::GetArchive(const TPageEntries& list, int index) const {
    VTRACE("TPageList::GetArchive");
    return InRange(list, index) ? list[static_cast<size_t>(index)]->Archive : std::string();
}

TStream* TPageList::GetData(const TPageEntries& list, int index) const {
    VTRACE("TPageList::GetData");
    return InRange(list, index) ? list[static_cast<size_t>(index)]->Data.get() : nullptr;
}

void TPageList::SetData(const TPageEntries& list, int index, std::unique_ptr<TStream> stream) {
    VTRACE("TPageList::SetData");
    TPageEntries* target = Mutable(list);
    if (!target || !InRange(*target, index)) return;
    (*target)[static_cast<size_t>(index)]->Data = std::move(stream);
}

TPageEntries* TPageList::Mutable(const TPageEntries& list) {
    VTRACE("TPageList::Mutable");
    if (&list == &pages_) return &pages_;
    if (&list == &infos_) return &infos_;
    if (&list == &checksums_) return &checksums_;
    return nullptr;
}

}  // namespace vellicor
