#include "archives/TarArchive.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "archives/MemberMessages.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

constexpr int64_t kBlock = 512;
// Long names and pax records larger than this are skipped unread: no real name or path
// comes near it, and a hostile size must not decide how much we allocate.
constexpr int64_t kMaxMetaSize = 1 << 20;
constexpr int64_t kMaxOctal11 = 077777777777LL;  // largest value of eleven octal digits
constexpr TDateTime kUnixEpoch = 25569.0;        // 1 January 1970 as a date-time

// Header field offsets and widths.
enum : int {
    hName = 0, hMode = 100, hUid = 108, hGid = 116, hSize = 124, hMtime = 136, hChksum = 148,
    hTypeflag = 156, hLinkname = 157, hMagic = 257, hUname = 265, hGname = 297, hDevmajor = 329,
    hDevminor = 337, hPrefix = 345, hGnuIsExtended = 482, hGnuExtIsExtended = 504
};

int64_t RoundUpToBlock(int64_t n) { return (n + kBlock - 1) / kBlock * kBlock; }

std::string FieldText(const uint8_t* block, int offset, int width) {
    const char* p = reinterpret_cast<const char*>(block + offset);
    size_t n = 0;
    while (n < static_cast<size_t>(width) && p[n] != 0) ++n;
    return std::string(p, n);
}

bool IsOctalDigit(unsigned char c) { return c >= '0' && c <= '7'; }

// A numeric field: octal text up to the first character that is not an octal digit, or the
// base-256 form GNU tar uses for values that do not fit (first byte with its top bit set).
// False when a base-256 value does not fit in 63 bits.
bool ReadNumber(const uint8_t* block, int offset, int width, int64_t& value) {
    value = 0;
    const uint8_t* p = block + offset;
    if (p[0] & 0x80) {
        bool negative = (p[0] & 0x40) != 0;
        uint64_t v = negative ? (~p[0] & 0x3F) : (p[0] & 0x3F);
        for (int i = 1; i < width; ++i) {
            if (v > (static_cast<uint64_t>(INT64_MAX) >> 8)) return false;
            v = (v << 8) | static_cast<uint8_t>(negative ? ~p[i] : p[i]);
        }
        value = negative ? -static_cast<int64_t>(v) - 1 : static_cast<int64_t>(v);
        return true;
    }
    std::string text = FieldText(block, offset, width);
    size_t b = 0;
    while (b < text.size() && static_cast<unsigned char>(text[b]) <= ' ') ++b;
    // At most twelve digits of three bits each: no overflow possible.
    for (size_t i = b; i < text.size() && IsOctalDigit(static_cast<unsigned char>(text[i])); ++i)
        value = value * 8 + (text[i] - '0');
    return true;
}

int32_t ReadNumber32(const uint8_t* block, int offset, int width) {
    int64_t v = 0;
    if (!ReadNumber(block, offset, width, v) || v < INT32_MIN || v > INT32_MAX) return 0;
    return static_cast<int32_t>(v);
}

// The sum of all bytes with the checksum field taken as blanks, as unsigned and as signed
// bytes (some old writers summed signed characters).
void HeaderChecksums(const uint8_t* block, int64_t& unsignedSum, int64_t& signedSum) {
    unsignedSum = 0;
    signedSum = 0;
    for (int i = 0; i < kBlock; ++i) {
        uint8_t c = (i >= hChksum && i < hChksum + 8) ? ' ' : block[i];
        unsignedSum += c;
        signedSum += static_cast<int8_t>(c);
    }
}

// The size field read strictly: octal digits between blanks (or base 256). Anything else
// means the header cannot say where the next one is.
bool ReadSizeField(const uint8_t* block, int64_t& value) {
    value = 0;
    if (block[hSize] & 0x80) return ReadNumber(block, hSize, 12, value) && value >= 0;
    std::string text = Trim(FieldText(block, hSize, 12));
    for (char c : text) {
        if (!IsOctalDigit(static_cast<unsigned char>(c))) return false;
        value = value * 8 + (c - '0');
    }
    return true;
}

bool ChecksumMatches(const uint8_t* block) {
    int64_t stored = 0, unsignedSum = 0, signedSum = 0;
    ReadNumber(block, hChksum, 8, stored);
    HeaderChecksums(block, unsignedSum, signedSum);
    return (unsignedSum & 0xFFFF) == (stored & 0xFFFF) || (signedSum & 0xFFFF) == (stored & 0xFFFF);
}

// GNU tar files sparse members of the pax form under "GNUSparseFile.N/" before the name.
std::string WithoutSparseFolder(const std::string& name) {
    size_t at = name.find("GNUSparseFile.");
    if (at != 0 && (at == std::string::npos || name[at - 1] != '/')) return name;
    size_t slash = name.find('/', at);
    if (slash == std::string::npos) return name;
    return name.substr(0, at) + name.substr(slash + 1);
}

TFileType FileTypeFromFlag(char flag) {
    switch (flag) {
        case '0': case '\0': return ftNormal;
        case '1': return ftLink;
        case '2': return ftSymbolicLink;
        case '3': return ftCharacter;
        case '4': return ftBlock;
        case '5': return ftDirectory;
        case '6': return ftFifo;
        case '7': return ftContiguous;
        case 'D': return ftDumpDir;
        case 'M': return ftMultiVolume;
        case 'V': return ftVolumeHeader;
        default: return ftNormal;
    }
}

// Links, directories, fifos and volume headers carry no data whatever their size says.
// Devices store no data, whatever their size field holds (a writer may put the device's
// size there): reading it as data would swallow the headers that follow.
bool HasData(TFileType type) {
    return type != ftLink && type != ftSymbolicLink && type != ftCharacter && type != ftBlock && type != ftDirectory &&
           type != ftFifo && type != ftVolumeHeader;
}

char FlagFromFileType(TFileType type) {
    static const char flags[] = {'0', '1', '2', '3', '4', '5', '6', '7', 'D', 'M', 'V'};
    int i = static_cast<int>(type);
    return (i >= 0 && i < static_cast<int>(sizeof flags)) ? flags[i] : '0';
}

bool IsMetaRecord(char flag) {
    return flag == 'x' || flag == 'X' || flag == 'g' || flag == 'L' || flag == 'K';
}

// Values a pax extended header sets for the member after it.
struct PaxValues {
    bool hasPath = false, hasLinkPath = false, hasSize = false, badSize = false, sparse = false;
    std::string path, linkPath, sparseName;
    int64_t size = 0;
};

bool ParseDecimal(std::string_view s, int64_t& value) {
    if (s.empty() || s.size() > 18) return false;
    value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// Records of the form "<length> <key>=<value>\n". A malformed record ends the parse; the
// records before it still count.
void ParsePax(const std::string& data, PaxValues& pax) {
    size_t pos = 0;
    while (pos < data.size()) {
        size_t space = data.find(' ', pos);
        if (space == std::string::npos || space - pos > 18) return;
        int64_t len = 0;
        if (!ParseDecimal(std::string_view(data).substr(pos, space - pos), len)) return;
        if (len <= static_cast<int64_t>(space - pos + 1) || static_cast<uint64_t>(len) > data.size() - pos) return;
        size_t end = pos + static_cast<size_t>(len);
        if (data[end - 1] != '\n') return;
        std::string_view record(data.data() + space + 1, end - 1 - (space + 1));
        size_t eq = record.find('=');
        if (eq == std::string_view::npos) return;
        std::string_view key = record.substr(0, eq), value = record.substr(eq + 1);
        if (key == "path" && !value.empty()) {
            pax.hasPath = true;
            pax.path = value;
        } else if (key == "linkpath" && !value.empty()) {
            pax.hasLinkPath = true;
            pax.linkPath = value;
        } else if (key == "size") {
            int64_t v = 0;
            if (ParseDecimal(value, v)) {
                pax.hasSize = true;
                pax.size = v;
            } else {
                pax.badSize = true;  // the header's own size stands
            }
        } else if (key.substr(0, 11) == "GNU.sparse.") {
            pax.sparse = true;
            if (key == "GNU.sparse.name" && !value.empty()) pax.sparseName = value;
        }
        pos = end;
    }
}

TDateTime UnixToDateTime(int64_t seconds) { return kUnixEpoch + static_cast<double>(seconds) / 86400.0; }

std::string PositionText(int64_t pos) { return " at byte " + std::to_string(pos); }

}  // namespace

const char* const FILETYPE_NAME[11] = {"Regular", "Link", "Symbolic Link", "Char File", "Block File",
                                       "Directory", "FIFO File", "Contiguous", "Dir Dump", "Multivol",
                                       "Volume Header"};

void ClearDirRec(TTarDirRec& rec) {
    VTRACE("TarArchive::ClearDirRec");
    rec = TTarDirRec();
}

std::string PermissionString(const TTarPermissions& permissions) {
    VTRACE("TarArchive::PermissionString");
    static const char letters[] = "rwxrwxrwx";
    std::string s(9, '-');
    for (int i = 0; i < 9; ++i)
        if (permissions.test(static_cast<size_t>(i))) s[static_cast<size_t>(i)] = letters[i];
    return s;
}

std::string ConvertFilename(const std::string& fileName) {
    VTRACE("TarArchive::ConvertFilename");
    std::string s = fileName;
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

TDateTime FileTimeGMT(const std::string& fileName) {
    VTRACE("TarArchive::FileTimeGMT");
    struct stat st {};
    if (fileName.empty() || ::stat(fileName.c_str(), &st) != 0) return 0;
    return kUnixEpoch + (static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9) / 86400.0;
}

// ---------------------------------------------------------------------------------------------
// Reader

TTarArchive::TTarArchive(TStream& stream) : Stream(&stream) {
    VTRACE("TTarArchive::TTarArchive");
    Reset();
}

TTarArchive::TTarArchive(const std::string& fileName, FileMode mode) {
    VTRACE("TTarArchive::TTarArchive");
    OwnedStream = std::make_unique<TFileStream>();
    if (!OwnedStream->Open(fileName, mode))
        throw ETarArchive("The archive cannot be opened: " + std::string(std::strerror(errno)));
    Stream = OwnedStream.get();
    Reset();
}

TTarArchive::~TTarArchive() { VTRACE("TTarArchive::~TTarArchive"); }

void TTarArchive::Reset() {
    VTRACE("TTarArchive::Reset");
    Stream->SetPosition(0);
    BytesToGo_ = 0;
    CurrentSparse_ = false;
    DamageCount_ = 0;
    FirstDamage_.clear();
    EndsEarly_ = false;
    CutMember_.clear();
}

void TTarArchive::ReadBlock(uint8_t* block) {
    int64_t pos = Stream->Position();
    if (Stream->Read(block, kBlock) != kBlock) throw ETarArchive("The archive cannot be read" + PositionText(pos));
}

void TTarArchive::SkipTo(int64_t pos) {
    if (Stream->Seek(pos, SeekOrigin::Begin) != pos) throw ETarArchive("The archive cannot be read" + PositionText(pos));
}

// Reads the data of a long-name or pax record and moves past its padding. Data larger than
// kMaxMetaSize is skipped and used is false.
std::string TTarArchive::ReadMetaData(int64_t size, bool& used) {
    int64_t start = Stream->Position();
    std::string data;
    used = size <= kMaxMetaSize;
    if (used) {
        data.resize(static_cast<size_t>(size));
        if (Stream->Read(data.data(), size) != size) throw ETarArchive("The archive cannot be read" + PositionText(start));
    }
    SkipTo(start + RoundUpToBlock(size));
    return data;
}

void TTarArchive::NoteDamage(const std::string& what) {
    VTRACE_STR("TTarArchive::NoteDamage", what);
    if (DamageCount_++ == 0) FirstDamage_ = what;
}

bool TTarArchive::ZerosTo(int64_t pos, int64_t end) {
    uint8_t block[kBlock];
    const int64_t back = Stream->Position();
    SkipTo(pos);
    const int64_t n = end - pos;
    bool zeros = Stream->Read(block, n) == n && std::all_of(block, block + n, [](uint8_t b) { return b == 0; });
    SkipTo(back);
    return zeros;
}

bool TTarArchive::HeaderAt(int64_t pos, int64_t streamSize) {
    if (pos == streamSize || pos + kBlock > streamSize) return pos <= streamSize;
    uint8_t block[kBlock];
    int64_t back = Stream->Position();
    SkipTo(pos);
    ReadBlock(block);
    SkipTo(back);
    return block[0] == 0 || ChecksumMatches(block);
}

bool TTarArchive::FindNext(TTarDirRec& rec) {
    VTRACE("TTarArchive::FindNext");
    const int64_t streamSize = Stream->Size();
    CurrentSparse_ = false;
    if (BytesToGo_ > 0) {
        int64_t here = Stream->Position();
        int64_t left = streamSize - here;
        if (BytesToGo_ > left || RoundUpToBlock(BytesToGo_) > left) {
            // The member ran past the end: nothing can follow it.
            SkipTo(streamSize);
            BytesToGo_ = 0;
            return false;
        }
        SkipTo(here + RoundUpToBlock(BytesToGo_));
        BytesToGo_ = 0;
    }
    uint8_t block[kBlock];
    int64_t chainStart = -1;
    bool checksumsOK = true;
    bool hasLongName = false, hasLongLink = false;
    std::string longName, longLink;
    PaxValues pax;
    // After a header that cannot be trusted, blocks are passed over until one reads as a
    // header again, so that damage costs only the member it hit.
    bool resync = false;
    auto startResync = [&](const std::string& what) {
        NoteDamage(what);
        resync = true;
        chainStart = -1;
        checksumsOK = true;
        hasLongName = hasLongLink = false;
        longName.clear();
        longLink.clear();
        pax = PaxValues();
    };
    for (;;) {
        int64_t pos = Stream->Position();
        if (pos < 0 || pos + kBlock > streamSize) {
            if (chainStart >= 0) {
                NoteDamage("The archive ends inside the headers of a member" + PositionText(chainStart));
                EndsEarly_ = true;
            } else if (!resync && pos >= 0 && pos < streamSize && !ZerosTo(pos, streamSize)) {
                // Part of a header: the archive was cut there (a cut end block is no loss).
                NoteDamage("The archive ends inside the header of a member" + PositionText(pos));
                EndsEarly_ = true;
            }
            return false;
        }
        ReadBlock(block);
        if (resync) {
            if (block[0] == 0 || !ChecksumMatches(block)) continue;
            resync = false;
        } else if (block[0] == 0) {
            return false;  // the end block; records left over describe nothing
        }
        if (chainStart < 0) chainStart = pos;

        const bool checksumOK = ChecksumMatches(block);
        const char flag = static_cast<char>(block[hTypeflag]);
        const int64_t dataStart = pos + kBlock;
        const int64_t remaining = streamSize - dataStart;
        int64_t size = 0;
        if (!ReadSizeField(block, size)) {
            startResync("The size field of a header is not a number" + PositionText(pos));
            continue;
        }
        const bool meta = IsMetaRecord(flag);
        // A header that fails its checksum is still taken when its size leads to another
        // header (or the end): then only its name or dates were hit.
        if (!checksumOK) {
            int64_t dataSize = meta || HasData(FileTypeFromFlag(flag)) ? size : 0;
            if (dataSize > remaining || !HeaderAt(dataStart + RoundUpToBlock(dataSize), streamSize)) {
                startResync("A header of the archive is damaged (wrong checksum)" + PositionText(pos));
                continue;
            }
        }
        checksumsOK = checksumsOK && checksumOK;

        if (meta) {
            if (size > remaining) {
                NoteDamage("The archive ends inside the headers of a member" + PositionText(chainStart));
                EndsEarly_ = true;
                SkipTo(streamSize);
                return false;
            }
            if (flag == 'g') {  // global pax values: nothing in them changes where members are
                SkipTo(dataStart + RoundUpToBlock(size));
                continue;
            }
            bool used = false;
            std::string data = ReadMetaData(size, used);
            if (!used) continue;
            if (flag == 'L' || flag == 'K') {
                data.resize(std::min(data.size(), data.find('\0')));
                (flag == 'L' ? hasLongName : hasLongLink) = true;
                (flag == 'L' ? longName : longLink) = data;
            } else {
                ParsePax(data, pax);
                if (pax.badSize) {
                    NoteDamage("A pax size is not a number" + PositionText(pos));
                    pax.badSize = false;
                }
            }
            continue;
        }

        ClearDirRec(rec);
        rec.FilePos = chainStart;
        rec.ChecksumOK = checksumsOK;
        rec.Name = FieldText(block, hName, 100);
        // The POSIX ustar form splits long names into prefix and name; GNU headers use the
        // prefix bytes for other things.
        if (std::memcmp(block + hMagic, "ustar\0", 6) == 0) {
            std::string prefix = FieldText(block, hPrefix, 155);
            if (!prefix.empty()) rec.Name = prefix + "/" + rec.Name;
        }
        if (hasLongName) rec.Name = longName;
        if (pax.hasPath) rec.Name = pax.path;
        if (pax.hasSize) size = pax.size;
        rec.Size = size;
        int64_t mtime = 0;
        if (ReadNumber(block, hMtime, 12, mtime)) rec.DateTime = UnixToDateTime(mtime);
        int64_t mode = 0;
        ReadNumber(block, hMode, 8, mode);
        for (int i = 0; i < 9; ++i)
            if (mode & (0400 >> i)) rec.Permissions.set(static_cast<size_t>(i));
        if (mode & 04000) rec.Mode.set(tmSetUid);
        if (mode & 02000) rec.Mode.set(tmSetGid);
        if (mode & 01000) rec.Mode.set(tmSaveText);
        rec.FileType = FileTypeFromFlag(flag);
        rec.LinkName = FieldText(block, hLinkname, 100);
        if (hasLongLink) rec.LinkName = longLink;
        if (pax.hasLinkPath) rec.LinkName = pax.linkPath;
        rec.UID = ReadNumber32(block, hUid, 8);
        rec.GID = ReadNumber32(block, hGid, 8);
        rec.UserName = FieldText(block, hUname, 32);
        rec.GroupName = FieldText(block, hGname, 32);
        rec.Magic = Trim(FieldText(block, hMagic, 8));
        rec.MajorDevNo = ReadNumber32(block, hDevmajor, 8);
        rec.MinorDevNo = ReadNumber32(block, hDevminor, 8);

        // Sparse members hold only the written parts of a file plus a map of where they go;
        // their data would be wrong bytes, so they are marked and delivered under their
        // real name.
        if (flag == 'S' || pax.sparse) {
            rec.Sparse = true;
            CurrentSparse_ = true;
            if (!pax.sparseName.empty()) rec.Name = pax.sparseName;
            else rec.Name = WithoutSparseFolder(rec.Name);
        }
        // Old GNU sparse members carry further blocks of their map between header and data.
        if (flag == 'S' && std::memcmp(block + hMagic, "ustar  \0", 8) == 0 && block[hGnuIsExtended] != 0) {
            uint8_t ext[kBlock];
            do {
                if (Stream->Position() + kBlock > streamSize) {
                    NoteDamage("A sparse member's map runs past the end of the archive" + PositionText(pos));
                    EndsEarly_ = true;
                    SkipTo(streamSize);
                    return false;
                }
                ReadBlock(ext);
            } while (ext[hGnuExtIsExtended] != 0);
        }

        if (!HasData(rec.FileType)) {
            BytesToGo_ = 0;
        } else {
            BytesToGo_ = rec.Size;
            // Listed all the same: only reading it fails.
            if (rec.Size > streamSize - Stream->Position()) {
                NoteDamage("The archive ends inside the member \"" + ShownName(rec.Name) + "\"" + PositionText(pos));
                EndsEarly_ = true;
                CutMember_ = rec.Name;
            }
        }
        VTRACE_STR("TTarArchive::FindNext Name", rec.Name);
        return true;
    }
}

template <typename Sink>
void TTarArchive::CopyData(Sink&& sink) {
    int64_t start = Stream->Position();
    int64_t total = BytesToGo_;
    // Left in place: the next FindNext passes over it.
    if (CurrentSparse_) throw ETarArchive("Sparse members cannot be read" + PositionText(start));
    BytesToGo_ = 0;  // whatever happens below, the member counts as consumed
    // A member cut off by the end of the archive fails before anything is allocated for it.
    if (total > Stream->Size() - start) {
        SkipTo(Stream->Size());
        throw ETarArchive("The archive ends inside the member's data" + PositionText(start));
    }
    if (!sink(total)) throw ETarArchive("The member's data cannot be read in full" + PositionText(start));
    SkipTo(start + RoundUpToBlock(total));
}

void TTarArchive::ReadFile(TStream& dest) {
    VTRACE("TTarArchive::ReadFile");
    if (BytesToGo_ <= 0) return;
    CopyData([&](int64_t total) {
        int64_t at = dest.Seek(0, SeekOrigin::End);
        if (at < 0) return false;
        if (auto* mem = dynamic_cast<TMemoryStream*>(&dest)) {  // read straight into its buffer
            // In pieces, the stream grown for each as it is read (room reserved, not touched):
            // nothing is done for the whole member before the first piece, messages get
            // through between pieces, and the program's end stops the read.
            constexpr int64_t kPiece = int64_t(8) << 20;
            mem->Reserve(at + total);
            bool ok = true;
            for (int64_t done = 0; ok && done < total;) {
                const int64_t n = std::min(kPiece, total - done);
                if (!mem->SetSize(at + done + n))
                    throw ETarArchive("Not enough memory for a member of " + std::to_string(total) + " bytes");
                const int64_t got = Stream->Read(mem->Memory() + at + done, n);
                ok = got == n;
                if (!ok) mem->SetSize(at + done + std::max<int64_t>(got, 0));
                done += n;
                if (ok && done < total) {
                    ProcessMessages();
                    ok = !StopRequested();
                }
            }
            mem->Seek(0, SeekOrigin::End);
            return ok;
        }
        std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(total, 1 << 16)));
        for (int64_t done = 0; done < total;) {
            int64_t n = std::min<int64_t>(total - done, static_cast<int64_t>(buf.size()));
            if (Stream->Read(buf.data(), n) != n) return false;
            if (dest.Write(buf.data(), n) != n) throw ETarArchive("The member's data cannot be written");
            done += n;
        }
        return true;
    });
}

void TTarArchive::ReadFile(void* buffer, int64_t bufferSize) {
    VTRACE("TTarArchive::ReadFile");
    if (BytesToGo_ <= 0) return;
    if (bufferSize < BytesToGo_) throw ETarArchive("The buffer is too small for the member");
    CopyData([&](int64_t total) { return Stream->Read(buffer, total) == total; });
}

void TTarArchive::ReadFile(const std::string& fileName) {
    VTRACE("TTarArchive::ReadFile");
    TFileStream out;
    if (!out.Open(fileName, FileMode::Create))
        throw ETarArchive("The file \"" + fileName + "\" cannot be created: " + std::strerror(errno));
    ReadFile(out);
}

std::string TTarArchive::ReadFile() {
    VTRACE("TTarArchive::ReadFile");
    std::string s;
    if (BytesToGo_ <= 0) return s;
    CopyData([&](int64_t total) {
        s.resize(static_cast<size_t>(total));
        return Stream->Read(s.data(), total) == total;
    });
    return s;
}

void TTarArchive::GetFilePos(int64_t& current, int64_t& size) {
    VTRACE("TTarArchive::GetFilePos");
    current = Stream->Position();
    size = Stream->Size();
}

void TTarArchive::SetFilePos(int64_t pos) {
    VTRACE("TTarArchive::SetFilePos");
    if (pos >= 0 && pos < Stream->Size()) Stream->SetPosition(pos);
}

// ---------------------------------------------------------------------------------------------
// Writer

namespace {

// digits octal digits, leading zeros as blanks (the last digit always stays).
void PutOctal(uint8_t* field, int64_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        field[i] = static_cast<uint8_t>('0' + (value & 7));
        value >>= 3;
        if (value == 0) {
            for (int k = 0; k < i; ++k) field[k] = ' ';
            break;
        }
    }
}

// An 8-byte numeric field: six digits, a blank and a zero byte; values that need a seventh
// digit drop the blank.
void PutShortOctal(uint8_t* field, int64_t value, const char* what) {
    if (value < 0 || value > 07777777) throw ETarArchive(std::string("The ") + what + " cannot be stored in a tar header");
    if (value > 0777777) {
        PutOctal(field, value, 7);
        field[7] = 0;
        return;
    }
    PutOctal(field, value, 6);
    field[6] = ' ';
    field[7] = 0;
}

void PutLongOctal(uint8_t* field, int64_t value) {
    PutOctal(field, value, 11);
    field[11] = ' ';
}

void PutText(uint8_t* field, const std::string& text, size_t width) {
    std::memcpy(field, text.data(), std::min(text.size(), width));
}

}  // namespace

TTarWriter::TTarWriter(TStream& stream) : Stream(&stream) { VTRACE("TTarWriter::TTarWriter"); }

TTarWriter::TTarWriter(const std::string& fileName, FileMode mode) {
    VTRACE("TTarWriter::TTarWriter");
    OwnedStream = std::make_unique<TFileStream>();
    if (!OwnedStream->Open(fileName, mode))
        throw ETarArchive("The archive cannot be created: " + std::string(std::strerror(errno)));
    Stream = OwnedStream.get();
}

TTarWriter::~TTarWriter() {
    VTRACE("TTarWriter::~TTarWriter");
    if (!Finalized_) {
        try {
            Finalize();
        } catch (const ETarArchive&) {
            // A destructor cannot report; callers who care call Finalize themselves.
        }
    }
}

void TTarWriter::CheckOpen() const {
    if (Finalized_) throw ETarArchive("Nothing can be added to a finalized archive");
}

void TTarWriter::WriteBlock(const uint8_t* block) {
    if (Stream->Write(block, kBlock) != kBlock) throw ETarArchive("The archive cannot be written");
}

void TTarWriter::WriteHeader(const TTarDirRec& rec) {
    VTRACE("TTarWriter::WriteHeader");
    if (rec.Size < 0 || rec.Size > kMaxOctal11)
        throw ETarArchive("The member \"" + rec.Name + "\" is too large for a tar archive");
    double seconds = (rec.DateTime - kUnixEpoch) * 86400.0;
    // A thousandth of a second absorbs the rounding of the day fraction.
    int64_t mtime = seconds <= 0 ? 0 : seconds >= static_cast<double>(kMaxOctal11)
                                          ? kMaxOctal11 : static_cast<int64_t>(std::floor(seconds + 1e-3));

    auto encode = [&](uint8_t* block, const std::string& name, char flag, int64_t size, const std::string& link) {
        std::memset(block, 0, kBlock);
        PutText(block + hName, name, 100);
        int64_t mode = 0;
        for (int i = 0; i < 9; ++i)
            if (Permissions.test(static_cast<size_t>(i))) mode |= 0400 >> i;
        if (Mode.test(tmSetUid)) mode |= 04000;
        if (Mode.test(tmSetGid)) mode |= 02000;
        if (Mode.test(tmSaveText)) mode |= 01000;
        PutShortOctal(block + hMode, mode, "mode");
        PutShortOctal(block + hUid, UID, "user id");
        PutShortOctal(block + hGid, GID, "group id");
        PutLongOctal(block + hSize, size);
        PutLongOctal(block + hMtime, mtime);
        block[hTypeflag] = static_cast<uint8_t>(flag);
        PutText(block + hLinkname, link, 100);
        PutText(block + hMagic, (Magic + "        ").substr(0, 8), 8);
        PutText(block + hUname, UserName, 32);
        PutText(block + hGname, GroupName, 32);
        PutShortOctal(block + hDevmajor, 0, "device number");
        PutShortOctal(block + hDevminor, 0, "device number");
        std::memset(block + hChksum, ' ', 8);
        int64_t sum = 0;
        for (int i = 0; i < kBlock; ++i) sum += block[i];
        PutShortOctal(block + hChksum, sum, "checksum");
    };

    uint8_t block[kBlock];
    // Names and link targets that do not fit go ahead in GNU long-name records, so that
    // nothing is cut short.
    auto writeLong = [&](char flag, const std::string& text) {
        int64_t size = static_cast<int64_t>(text.size()) + 1;
        encode(block, "././@LongLink", flag, size, "");
        WriteBlock(block);
        for (int64_t done = 0; done < size; done += kBlock) {
            std::memset(block, 0, kBlock);
            std::memcpy(block, text.data() + done, static_cast<size_t>(std::min<int64_t>(kBlock, size - 1 - done)));
            WriteBlock(block);
        }
    };
    if (rec.Name.size() > 100) writeLong('L', rec.Name);
    if (rec.LinkName.size() > 100) writeLong('K', rec.LinkName);
    encode(block, rec.Name, FlagFromFileType(rec.FileType), rec.Size, rec.LinkName);
    WriteBlock(block);
}

void TTarWriter::AddFile(const std::string& fileName, const std::string& tarFilename) {
    VTRACE("TTarWriter::AddFile");
    CheckOpen();
    TDateTime dt = FileTimeGMT(fileName);
    std::string name = tarFilename.empty() ? ConvertFilename(fileName) : tarFilename;
    TFileStream in;
    if (!in.Open(fileName, FileMode::OpenRead))
        throw ETarArchive("The file \"" + fileName + "\" cannot be opened: " + std::strerror(errno));
    AddStream(in, name, dt);
}

void TTarWriter::AddStream(TStream& stream, const std::string& tarFilename, TDateTime fileDateGmt) {
    VTRACE("TTarWriter::AddStream");
    CheckOpen();
    TTarDirRec rec;
    rec.Name = tarFilename;
    rec.DateTime = fileDateGmt;
    rec.Size = std::max<int64_t>(0, stream.Size() - stream.Position());
    rec.FileType = ftNormal;
    WriteHeader(rec);

    std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(RoundUpToBlock(rec.Size), 1 << 16)));
    bool shortRead = false;
    for (int64_t done = 0; done < rec.Size;) {
        int64_t n = std::min<int64_t>(rec.Size - done, static_cast<int64_t>(buf.size()));
        int64_t got = shortRead ? 0 : std::max<int64_t>(0, stream.Read(buf.data(), n));
        if (got < n) shortRead = true;
        // Zero padding up to a whole block; after a short read the member is filled up with
        // zeros so that the archive stays readable, and the failure is reported below.
        int64_t blocks = RoundUpToBlock(n);
        std::memset(buf.data() + got, 0, static_cast<size_t>(blocks - got));
        if (Stream->Write(buf.data(), blocks) != blocks) throw ETarArchive("The archive cannot be written");
        done += n;
    }
    if (shortRead) throw ETarArchive("The data of \"" + tarFilename + "\" could not be read in full");
}

void TTarWriter::AddString(const std::string& contents, const std::string& tarFilename, TDateTime fileDateGmt) {
    VTRACE("TTarWriter::AddString");
    TByteViewStream s(contents.data(), static_cast<int64_t>(contents.size()));
    AddStream(s, tarFilename, fileDateGmt);
}

void TTarWriter::AddDir(const std::string& dirname, TDateTime dateGmt, int64_t maxDirSize) {
    VTRACE("TTarWriter::AddDir");
    CheckOpen();
    TTarDirRec rec;
    rec.Name = dirname;
    rec.DateTime = dateGmt;
    rec.Size = maxDirSize;
    rec.FileType = ftDirectory;
    WriteHeader(rec);
}

void TTarWriter::AddSymbolicLink(const std::string& filename, const std::string& linkname, TDateTime dateGmt) {
    VTRACE("TTarWriter::AddSymbolicLink");
    AddLinkRecord(filename, linkname, dateGmt, ftSymbolicLink);
}

void TTarWriter::AddLink(const std::string& filename, const std::string& linkname, TDateTime dateGmt) {
    VTRACE("TTarWriter::AddLink");
    AddLinkRecord(filename, linkname, dateGmt, ftLink);
}

void TTarWriter::AddLinkRecord(const std::string& filename, const std::string& linkname, TDateTime dateGmt,
                               TFileType type) {
    CheckOpen();
    TTarDirRec rec;
    rec.Name = filename;
    rec.LinkName = linkname;
    rec.DateTime = dateGmt;
    rec.FileType = type;
    WriteHeader(rec);
}

void TTarWriter::AddVolumeHeader(const std::string& volumeId, TDateTime dateGmt) {
    VTRACE("TTarWriter::AddVolumeHeader");
    CheckOpen();
    TTarDirRec rec;
    rec.Name = volumeId;
    rec.DateTime = dateGmt;
    rec.FileType = ftVolumeHeader;
    WriteHeader(rec);
}

void TTarWriter::Finalize() {
    VTRACE("TTarWriter::Finalize");
    if (Finalized_) return;
    uint8_t block[kBlock] = {};
    WriteBlock(block);
    WriteBlock(block);
    Finalized_ = true;
}

}  // namespace vellicor
