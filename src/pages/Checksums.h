#pragma once
// Checksum lists that travel with a page set (SFV, md5sum lists, PAR version 1) and the
// check of every page against them. Reports go to message boxes through the UI services,
// or into a caller's list; each file is reported at most once.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "pages/MD5.h"
#include "platform/Streams.h"
#include "platform/StringList.h"

namespace vellicor {

// CRC-32 (ISO 3309, as zlib computes it) and MD5 of the first size bytes of a stream,
// read from position 0 in blocks of 16384 bytes; the stream is left at position 0.
uint32_t StreamCRC32(TStream& stream, int64_t size);
TMD5Digest StreamMD5(TStream& stream, int64_t size);

struct TChecksumEntry {
    std::string Key;   // normalised name
    std::string Name;  // the name as first met
    bool HasSFV = false;
    uint32_t SFVVal = 0;
    bool HasMD5 = false;
    TMD5Digest MD5Val{};
    bool HasPAR = false;
    TMD5Digest PARVal{};     // whole file
    TMD5Digest PAR16kVal{};  // first 16 KB (kept, not checked)
    bool Warned = false;     // reported once; never checked or reported again
};

class TCheckChecksums {
public:
    TCheckChecksums();
    ~TCheckChecksums();
    TCheckChecksums(const TCheckChecksums&) = delete;
    TCheckChecksums& operator=(const TCheckChecksums&) = delete;

    // Reads one checksum file (kind by extension: .sfv, .md5, .par) from position 0 of the
    // stream, line by line. archive is the archive holding it ("" for a loose file). A name
    // read before is not read again. Returns true when the file was read and is now
    // remembered; false when it was skipped, cancelled, malformed or too large (refused
    // with one message). Its entries judge only the pages of its own folder and archive.
    bool AddChecksumFile(const std::string& fileName, TStream& stream, const std::string& archive = "");
    // Whether a list of this many bytes is refused; the refusal's message.
    static bool TooLarge(int64_t size);
    static void RefuseTooLarge(const std::string& fileName);

    // Verifies one image's bytes (the first size bytes of the stream). A mismatch is added
    // to list when one is given, else shown in a message box. Leaves the stream at 0.
    void CheckFileChecksum(const std::string& fileName, TStream& stream, int64_t size,
                           TStringList* list = nullptr, const std::string& archive = "");

    // Reports every listed image that is not among names (loose files; or name and archive
    // pairs): into list when given, else in one message box that names the first few dozen
    // and counts the rest. Does nothing when no checksum file has been read.
    void CheckAllFilesPesent(const TStringList& names, TStringList* list = nullptr);
    void CheckAllFilesPesent(const std::vector<std::pair<std::string, std::string>>& names, TStringList* list = nullptr);

    // Forgets all entries and all files read.
    void Clear();

    int EntryCount() const { return static_cast<int>(entries_.size()); }
    int FilesReadCount() const { return filesRead_.Count(); }
    const std::vector<TChecksumEntry>& Entries() const { return entries_; }
    const TChecksumEntry* FindEntry(std::string_view fileName, const std::string& archive = "") const;

    // The key under which a name is stored: file-name part, lower case, the characters
    // /?<>\:;*|[]=,& +'-()# as underscores, runs of underscores as one.
    static std::string NormalizeName(std::string_view fileName);

private:
    bool ReadSFV(const std::string& fileName, const std::string& scope, TStream& stream);
    bool ReadMD5(const std::string& fileName, const std::string& scope, TStream& stream);
    bool ReadPAR(const std::string& fileName, const std::string& scope, TStream& stream);
    // Entries are keyed by archive and folder besides the normalised name.
    static std::string ScopeOf(const std::string& archive, std::string_view fileName);
    static std::string KeyOf(const std::string& scope, std::string_view fileName);
    TChecksumEntry* EntryFor(const std::string& scope, const std::string& name);  // creates it on first use
    TChecksumEntry* Find(const std::string& archive, std::string_view fileName);
    void Report(TChecksumEntry& entry, const std::string& fileName, const char* caption, TStringList* list);

    TStringList filesRead_;
    std::vector<TChecksumEntry> entries_;
    std::unordered_map<std::string, size_t> index_;
};

}  // namespace vellicor
