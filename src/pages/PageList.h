#pragma once
// Every file found in what the user opened: image pages (in reading order after Sort),
// info files and checksum files, each with the archive it came from and, when read
// ahead, its bytes. Page numbers everywhere are indices into the page list.
#include <memory>
#include <string>
#include <vector>

#include "platform/Streams.h"
#include "platform/StringList.h"

namespace vellicor {

struct TPageEntry {
    std::string Name;     // full path of a loose file, or the member name inside its archive
    std::string Archive;  // full path of the archive; empty for a loose file
    std::unique_ptr<TStream> Data;  // bytes read ahead, or null; owned by the entry
};

using TPageEntries = std::vector<std::unique_ptr<TPageEntry>>;

class TPageList {
public:
    TPageList();
    ~TPageList();
    TPageList(const TPageList&) = delete;
    TPageList& operator=(const TPageList&) = delete;

    // Adds an image, info or checksum file; any other name is ignored.
    void Add(const std::string& fileName, const std::string& archiveName);
    void Add(const TStringList& fileNames, const std::string& archiveName);
    // Sorts each list: loose files by name, an archive's members as one block at the
    // place of the archive's path, by name within it. Case-insensitive; equal keys keep
    // the order in which they were added.
    void Sort();
    // Empties every list and frees every entry's stream.
    void Clear();

    int GetPageCount() const { return static_cast<int>(pages_.size()); }
    int GetInfoCount() const { return static_cast<int>(infos_.size()); }
    int GetCheckSumCount() const { return static_cast<int>(checksums_.size()); }

    const TPageEntries& PageList() const { return pages_; }
    const TPageEntries& InfoList() const { return infos_; }
    const TPageEntries& CheckSumList() const { return checksums_; }
    // Every distinct name added to any list (sorted, case-insensitive).
    const TStringList& AllNames() const { return allNames_; }

    // list is one of PageList(), InfoList(), CheckSumList(). An index outside
    // 0 .. count-1 gives an empty string / null, and SetData does nothing.
    std::string GetName(const TPageEntries& list, int index) const;
    std::string GetArchive(const TPageEntries& list, int index) const;
    TStream* GetData(const TPageEntries& list, int index) const;  // still owned by the entry
    // The entry takes the stream; a stream it held before is freed. Pass null to free it.
    void SetData(const TPageEntries& list, int index, std::unique_ptr<TStream> stream);

    std::string GetPageName(int index) const { return GetName(pages_, index); }
    std::string GetInfoName(int index) const { return GetName(infos_, index); }
    std::string GetPageArchive(int index) const { return GetArchive(pages_, index); }
    std::string GetInfoArchive(int index) const { return GetArchive(infos_, index); }
    TStream* GetPageData(int index) const { return GetData(pages_, index); }
    void SetPageData(int index, std::unique_ptr<TStream> stream) { SetData(pages_, index, std::move(stream)); }

private:
    TPageEntries* Mutable(const TPageEntries& list);

    TPageEntries pages_;
    TPageEntries infos_;
    TPageEntries checksums_;
    TStringList allNames_;
};

}  // namespace vellicor
