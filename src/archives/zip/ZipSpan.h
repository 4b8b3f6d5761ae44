#pragma once
// Work records and helpers shared by the spanned set writer and joiner.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "archives/zip/ZipRecords.h"

namespace vellicor {

enum SpanMessageId : int {
    DS_NoVolume = 11005, DS_NoOutFile = 11009, DS_LOHBadRead = 11012, DS_LOHWrongSig = 11014,
    DS_LONameLen = 11016, DS_LOExtraLen = 11018, DS_CEExtraLen = 11019, DS_DataDesc = 11020, DS_ZipData = 11021,
    DS_CECommentLen = 11023, DS_LOHNotFound = 11026, DS_LOHBadWrite = 11028,
    DS_CEHBadWrite = 11029, DS_ExtWrongSig = 11031, DS_NoDiskSpace = 11032, DS_AskDeleteFile = 11039,
    DS_AskPrevFile = 11040, DS_CEHBadCopy = 11042, DS_EOCBadSeek = 11043, DS_EOCBadCopy = 11044,
    DS_CopyCentral = 11047, GE_Copying = 10105
};

namespace DiskSpan {

// One entry of a set being written or joined.
struct MDZipData {
    uint16_t DiskNr = 0;       // volume of the local header
    uint32_t RelOffLocal = 0;  // offset of the local header in that volume (or in the joined file)
    uint16_t FileNameLen = 0;
    std::string FileName;      // the stored name bytes
    uint32_t ComprSize = 0;    // from the central directory
    uint32_t DateTime = 0;
    // Where the entry came from, to pair local and central headers by place, not by name.
    uint16_t SourceDisk = 0;
    uint32_t SourceOffset = 0;
    bool Used = false;
};
using ZipEndOfCentral = zip::EndOfCentral;
using SpanRecords = std::vector<std::unique_ptr<MDZipData>>;

SpanRecords AllocSpanMem(int count);
void DeleteSpanMem(SpanRecords& records);
// The first record whose name has these bytes; raises "A local header not found..." when none.
int FindZipEntry(const SpanRecords& records, const std::string& name);

// Pairs headers with records: by their place in the source, else by name among the
// records not taken yet (two entries may share a name).
class RecordIndex {
public:
    explicit RecordIndex(const SpanRecords& records);
    int Find(uint16_t disk, uint32_t offset, const std::string& name) const;

private:
    const SpanRecords& records_;
    std::unordered_map<uint64_t, int> byPlace_;
};

// The three digits of a volume in labels and part names: the last three of 1001 + number.
std::string VolumeDigits(int volume);
// A part of a set named name.z01, name.z02, ...: the extension ".z" and digits.
bool IsSplitPartExt(const std::string& ext);

}  // namespace DiskSpan

}  // namespace vellicor
