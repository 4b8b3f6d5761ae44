// The rar library: lists rar archives and unpacks their members through the caller's
// callback (RAR 4 and RAR 5, stored and compressed, solid, volume sets), on libarchive.
// Volumes are read one after another as one stream; the next one is asked for through
// the callback when it is missing. libarchive cannot decrypt: encrypted headers or
// members give ERAR_ENCRYPTED_UNSUPPORTED and the password message is never sent.
#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <clocale>
#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "Crc32.h"
#include "RarVolume.h"
#include "archives/UnRarApi.h"

#define RAR_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr size_t kReadChunk = 256 * 1024;
// After a skip the next header is near: read little, then more and more.
constexpr size_t kReadAfterSkip = 4096;
constexpr size_t kCutPadding = 64;
constexpr size_t kVolumeNameSize = 1024;
// A caller that keeps answering OK for a volume that never appears is not asked forever.
constexpr int kMaxVolumeQuestions = 10;

// libarchive reads errno after some calls that fail without setting it, and ends the
// process when it finds ENOMEM there (a name that is not UTF-8 does so): whatever the
// caller or our own file calls last left in it is cleared before libarchive goes on.
void ClearErrno() { errno = 0; }

struct RarArchive {
    std::string name;
    unsigned mode = RAR_OM_LIST;
    UNRARCALLBACK callback = nullptr;
    long user = 0;
    struct archive* a = nullptr;
    struct archive_entry* entry = nullptr;  // owned by libarchive, valid until the next header
    std::vector<std::string> volumes;       // opened so far
    rarvol::VolumeInfo last;                // of the volume being read
    FILE* file = nullptr;
    int64_t fileSize = 0;  // of the volume being read
    std::vector<char> buffer;  // libarchive reads from it
    std::vector<char> direct;  // stored members read past libarchive
    size_t readSize = kReadChunk;
    std::vector<rarvol::Entry> entries;  // from the headers of the volumes opened so far
    size_t entryIndex = 0;               // of the current header, counted from 1
    bool haveHeader = false;             // read and not yet processed
    // The current volume is cut short (last.cutAt): libarchive is handed nothing from there
    // on. reachedCut: it has read up to that point; cutGiven: the member cut short there has
    // had its header of our own (cutHeader: it is the current one).
    bool reachedCut = false;
    bool cutGiven = false;
    bool cutHeader = false;
    size_t cutPadding = 0;  // zeros handed over after the cut
    int error = 0;                       // once the stream has failed, every call returns this
    int volumeError = 0;                 // why the next volume could not be read

    ~RarArchive() {
        if (a) archive_read_free(a);
        if (file) std::fclose(file);
    }
};

// libarchive turns member names into the thread's character set: make that UTF-8 while
// it works for us, whatever the program's locale.
class Utf8Names {
public:
    Utf8Names() {
        if (locale_t utf8 = Utf8().loc) old_ = uselocale(utf8);
    }
    ~Utf8Names() {
        if (old_) uselocale(old_);
    }
    Utf8Names(const Utf8Names&) = delete;
    Utf8Names& operator=(const Utf8Names&) = delete;

private:
    // Made once, freed when the library is unloaded.
    struct Locale {
        locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        ~Locale() {
            if (loc) freelocale(loc);
        }
    };
    static Locale& Utf8() {
        static Locale l;
        return l;
    }
    locale_t old_ = static_cast<locale_t>(nullptr);
};

int64_t SizeOf(FILE* f) {
    struct stat st {};
    if (::fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

// The headers of the volumes read last, so that taking one member after another from the
// same archive does not walk all its headers every time. Keyed by name, and only believed
// for the same file unchanged.
class ScanCache {
public:
    rarvol::VolumeScan Get(FILE* f, const std::string& name, int64_t size, bool first) {
        struct stat st {};
        if (::fstat(fileno(f), &st) != 0) return rarvol::ScanVolumeParts(fileno(f), size, first);
        Key key{name, st.st_dev, st.st_ino, size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, first};
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [k, scan] : items_)
            if (k == key) return scan;
        rarvol::VolumeScan scan = rarvol::ScanVolumeParts(fileno(f), size, first);
        if (items_.size() >= kItems) items_.erase(items_.begin());
        items_.emplace_back(key, scan);
        return scan;
    }

private:
    struct Key {
        std::string name;
        dev_t dev;
        ino_t ino;
        int64_t size;
        int64_t sec, nsec;
        bool first;
        bool operator==(const Key&) const = default;
    };
    static constexpr size_t kItems = 16;
    std::mutex mutex_;
    std::vector<std::pair<Key, rarvol::VolumeScan>> items_;
};

ScanCache& Scans() {
    static ScanCache cache;
    return cache;
}

// Opens a volume and reads its headers; false when it is missing or no rar volume.
bool OpenVolume(RarArchive& ar, const std::string& name, bool first) {
    FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) return false;
    int64_t size = SizeOf(f);
    rarvol::VolumeInfo info;
    if (size >= 0) {
        rarvol::VolumeScan scan = Scans().Get(f, name, size, first);
        info = scan.info;
        if (info.format != 0 && !info.overrun) {
            // libarchive passes over the rest of a RAR 5 file whose start is in an earlier
            // volume without a header, but hands out RAR 4's: the entries follow suit.
            if (info.format == 5 && ar.entries.empty() && !scan.parts.empty() && scan.parts[0].splitBefore)
                scan.parts.erase(scan.parts.begin());
            rarvol::AddParts(ar.entries, scan.parts, static_cast<int>(ar.volumes.size()));
        }
    }
    if (info.format == 0) {
        std::fclose(f);
        return false;
    }
    if (info.overrun) {
        // A size that runs past the volume is damage; libarchive would believe it and
        // allocate by it.
        std::fclose(f);
        ar.volumeError = ERAR_BAD_DATA;
        return false;
    }
    if (ar.file) std::fclose(ar.file);
    ar.file = f;
    ar.fileSize = size;
    ar.last = info;
    ar.volumes.push_back(name);
    return true;
}

int Ask(RarArchive& ar, const std::string& name, long mode) {
    if (!ar.callback) return mode == RAR_VOL_ASK ? -1 : 0;
    char buf[kVolumeNameSize] = {};
    std::memcpy(buf, name.data(), std::min(name.size(), kVolumeNameSize - 1));
    int r = ar.callback(UCM_CHANGEVOLUME, ar.user, reinterpret_cast<long>(buf), mode);
    buf[kVolumeNameSize - 1] = '\0';
    if (r != -1 && mode == RAR_VOL_ASK && buf[0]) {
        // The caller may have put another name in the buffer.
        std::string given(buf);
        if (given != name) return OpenVolume(ar, given, false) ? 1 : 0;
    }
    return r == -1 ? -1 : 0;
}

// Moves on to the next volume when the set goes on; false at the end of the set or when
// the volume could not be had (volumeError says which).
bool NextVolume(RarArchive& ar) {
    if (!ar.last.isVolume || ar.volumes.empty()) return false;
    std::string next = rarvol::NextVolumeName(ar.volumes.back(), ar.last.newNaming);
    bool needed = ar.last.MoreVolumes();
    if (OpenVolume(ar, next, false)) {
        if (Ask(ar, next, RAR_VOL_NOTIFY) == -1) {
            ar.volumeError = ERAR_EOPEN;
            return false;
        }
        return true;
    }
    if (ar.volumeError || !needed) return false;
    for (int asked = 0; asked < kMaxVolumeQuestions && !ar.volumeError; ++asked) {
        int r = Ask(ar, next, RAR_VOL_ASK);
        if (r == -1) break;
        if (r == 1 || OpenVolume(ar, next, false)) return true;
    }
    if (!ar.volumeError) ar.volumeError = ERAR_EOPEN;
    return false;
}

bool EndsBetweenFiles(const RarArchive& ar) {
    return ar.last.isVolume && ar.last.sawEnd && ar.last.endSaysMore && !ar.last.lastSplitAfter;
}

la_ssize_t ReadVolumes(struct archive* a, void* data, const void** out) {
    RarArchive& ar = *static_cast<RarArchive*>(data);
    while (ar.file) {
        size_t want = std::min(ar.readSize, ar.buffer.size());
        if (ar.last.cutAt >= 0) {
            // Nothing past the cut: the volume ends there for libarchive.
            off_t pos = ftello(ar.file);
            int64_t left = pos < 0 ? 0 : ar.last.cutAt - pos;
            if (left <= 0) {
                // libarchive's RAR 5 decoder reads ahead past a member's data and fails on
                // a short file: zeros stand in for the rest, and read as no header at all.
                ar.reachedCut = true;
                if (ar.cutPadding >= kCutPadding) return 0;
                size_t pad = std::min(kCutPadding - ar.cutPadding, ar.buffer.size());
                std::memset(ar.buffer.data(), 0, pad);
                ar.cutPadding += pad;
                *out = ar.buffer.data();
                return static_cast<la_ssize_t>(pad);
            }
            want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(want), left));
        }
        size_t n = std::fread(ar.buffer.data(), 1, want, ar.file);
        ar.readSize = std::min(ar.readSize * 4, ar.buffer.size());
        if (n > 0) {
            *out = ar.buffer.data();
            ClearErrno();
            return static_cast<la_ssize_t>(n);
        }
        if (std::ferror(ar.file)) {
            ar.volumeError = ERAR_EREAD;
            archive_set_error(a, EIO, "read error");
            return -1;
        }
        // A volume that ends with its end header between two files is a whole archive to
        // libarchive, which stops there: the next volume gets a reader of its own.
        if (EndsBetweenFiles(ar)) return 0;
        std::fclose(ar.file);
        ar.file = nullptr;
        if (!NextVolume(ar)) {
            if (!ar.volumeError) return 0;
            archive_set_error(a, ENOENT, "volume missing");
            return -1;
        }
    }
    return 0;
}

// Skips within the current volume only; libarchive reads whatever is left.
la_int64_t SkipVolumes(struct archive*, void* data, la_int64_t request) {
    RarArchive& ar = *static_cast<RarArchive*>(data);
    if (!ar.file || request <= 0) return 0;
    off_t pos = ftello(ar.file);
    const int64_t end = ar.last.cutAt >= 0 ? std::min(ar.last.cutAt, ar.fileSize) : ar.fileSize;
    if (pos < 0 || end < pos) return 0;
    la_int64_t n = std::min<la_int64_t>(request, end - pos);
    if (n <= 0 || fseeko(ar.file, pos + n, SEEK_SET) != 0) return 0;
    ar.readSize = kReadAfterSkip;
    return n;
}

bool Encrypted(const RarArchive& ar);

// The libarchive failure as a library code.
int Failure(RarArchive& ar, bool fatal) {
    int code = ERAR_BAD_DATA;
    if (ar.volumeError) code = ar.volumeError;
    else if (ar.entry && Encrypted(ar)) code = ERAR_ENCRYPTED_UNSUPPORTED;
    else if (ar.reachedCut) code = ERAR_TRUNCATED;  // a member that went on past the cut
    else if (const char* why = archive_error_string(ar.a); why && std::strstr(why, "dictionary size is not supported"))
        code = ERAR_DICTIONARY_UNSUPPORTED;  // a whole archive, not a broken one
    if (fatal) ar.error = code;
    return code;
}

void CopyText(char* dst, const char* src) {
    size_t n = src ? strnlen(src, RAR_NAME_SIZE - 1) : 0;
    // Never cut a UTF-8 sequence in two.
    if (src && src[n] != '\0')
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) --n;
    if (n) std::memcpy(dst, src, n);
    dst[n] = '\0';
}

bool Ascii(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The headers' record of the current member, when its name agrees (names that are not
// ASCII may be told differently), and for a CRC check also its kind and size.
const rarvol::Entry* Match(const RarArchive& ar, bool forCrc) {
    if (ar.entryIndex == 0 || ar.entryIndex > ar.entries.size() || !ar.entry) return nullptr;
    const rarvol::Entry& e = ar.entries[ar.entryIndex - 1];
    const char* path = archive_entry_pathname_utf8(ar.entry);
    if (!path) path = archive_entry_pathname(ar.entry);
    std::string name = path ? path : "";
    if (Ascii(name) && Ascii(e.name) && name != e.name) return nullptr;
    if (!forCrc) return &e;
    if (archive_entry_filetype(ar.entry) != AE_IFREG || e.dir) return nullptr;
    if (!archive_entry_size_is_set(ar.entry) || static_cast<uint64_t>(archive_entry_size(ar.entry)) != e.unpSize)
        return nullptr;
    return &e;
}

// libarchive does not always say so, and then unpacks encrypted data as if it were plain.
bool Encrypted(const RarArchive& ar) {
    if (archive_entry_is_encrypted(ar.entry)) return true;
    const rarvol::Entry* e = Match(ar, false);
    return e && e->encrypted;
}

// A stored member that lies whole in the volume being read, outside a solid archive, is read
// straight from the file and its CRC checked once, here: libarchive would reckon a CRC of the
// data too and not compare it. libarchive then skips the data. Null when the member is not
// such a one; otherwise the result.
const int* ReadStoredDirect(RarArchive& ar, const rarvol::Entry* e, int& result) {
    if (!e || !e->stored || e->encrypted || !e->complete || !e->hasCrc || e->dataPos < 0 || e->packSize != e->unpSize ||
        ar.last.solid || !ar.file || ar.volumes.empty() || e->volume != static_cast<int>(ar.volumes.size()) - 1)
        return nullptr;
    if (ar.direct.empty()) {
        try {
            ar.direct.resize(kReadChunk);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    const int fd = fileno(ar.file);
    uint32_t crc = 0;
    for (uint64_t done = 0; done < e->unpSize;) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(ar.direct.size(), e->unpSize - done));
        ssize_t n = ::pread(fd, ar.direct.data(), want, e->dataPos + static_cast<int64_t>(done));
        if (n <= 0) {
            result = ERAR_EREAD;
            return &result;
        }
        crc = rarcrc::Crc32(crc, ar.direct.data(), static_cast<size_t>(n));
        if (ar.callback && ar.callback(UCM_PROCESSDATA, ar.user, reinterpret_cast<long>(ar.direct.data()), static_cast<long>(n)) == -1) {
            result = ERAR_UNKNOWN;
            return &result;
        }
        done += static_cast<uint64_t>(n);
    }
    ClearErrno();
    if (archive_read_data_skip(ar.a) < ARCHIVE_WARN || ar.volumeError) {
        result = Failure(ar, true);
        return &result;
    }
    result = crc == e->crc ? ERAR_SUCCESS : ERAR_BAD_CRC;
    return &result;
}

// A libarchive reader on the volumes from the current file on; false when it fails.
bool StartReader(RarArchive& ar) {
    if (ar.a) archive_read_free(ar.a);
    ar.a = archive_read_new();
    if (!ar.a) return false;
    archive_read_support_format_rar(ar.a);
    archive_read_support_format_rar5(ar.a);
    archive_read_set_read_callback(ar.a, ReadVolumes);
    archive_read_set_skip_callback(ar.a, SkipVolumes);
    archive_read_set_callback_data(ar.a, &ar);
    ar.readSize = kReadChunk;
    return archive_read_open1(ar.a) == ARCHIVE_OK;
}

// At libarchive's end of a volume that ends between files, the set goes on in the next one.
bool ContinueInNextVolume(RarArchive& ar) {
    if (!EndsBetweenFiles(ar) || ar.volumeError) return false;
    if (ar.file) std::fclose(ar.file);
    ar.file = nullptr;
    if (!NextVolume(ar)) return false;
    if (!StartReader(ar)) {
        if (!ar.volumeError) ar.volumeError = ERAR_BAD_DATA;
        return false;
    }
    return true;
}

int TestMember(RarArchive& ar) {
    if (Encrypted(ar)) return ERAR_ENCRYPTED_UNSUPPORTED;
    // The rest of a file whose start lies in an earlier volume is no file of its own.
    if (const rarvol::Entry* e = Match(ar, false); e && e->startsEarlier) {
        if (archive_read_data_skip(ar.a) < ARCHIVE_WARN || ar.volumeError) return Failure(ar, true);
        return ERAR_BAD_DATA;
    }
    // Folders and links have no data of their own; an entry of no known type is read.
    if (archive_entry_filetype(ar.entry) == AE_IFDIR || archive_entry_filetype(ar.entry) == AE_IFLNK) {
        if (archive_read_data_skip(ar.a) < ARCHIVE_WARN || ar.volumeError) return Failure(ar, true);
        return ERAR_SUCCESS;
    }
    const rarvol::Entry* known = Match(ar, true);
    int direct = 0;
    if (ReadStoredDirect(ar, known, direct)) return direct;
    bool check = known && known->stored;
    uint32_t crc = 0;
    uint64_t done = 0;
    static const char zeros[4096] = {};
    for (;;) {
        const void* buf = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        ClearErrno();  // the data callback may have set it
        int r = archive_read_data_block(ar.a, &buf, &size, &offset);
        if (ar.volumeError) return Failure(ar, true);
        if (r == ARCHIVE_EOF) break;
        if (r < ARCHIVE_WARN) return Failure(ar, r == ARCHIVE_FATAL);
        if (offset < 0 || static_cast<uint64_t>(offset) < done) return Failure(ar, true);
        // A gap libarchive leaves is zeros, within the member's size.
        if (static_cast<uint64_t>(offset) > done) {
            if (archive_entry_size_is_set(ar.entry) && offset > archive_entry_size(ar.entry)) return Failure(ar, true);
            while (done < static_cast<uint64_t>(offset)) {
                size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof zeros, static_cast<uint64_t>(offset) - done));
                if (check) crc = rarcrc::Crc32(crc, zeros, n);
                if (ar.callback && ar.callback(UCM_PROCESSDATA, ar.user, reinterpret_cast<long>(zeros), static_cast<long>(n)) == -1)
                    return ERAR_UNKNOWN;
                done += n;
            }
        }
        if (size == 0) continue;
        // More than the header's size is damage: stop there rather than unpack on.
        if (archive_entry_size_is_set(ar.entry) && done + size > static_cast<uint64_t>(archive_entry_size(ar.entry)))
            return ERAR_BAD_DATA;
        if (check) crc = rarcrc::Crc32(crc, buf, size);
        if (ar.callback && ar.callback(UCM_PROCESSDATA, ar.user, reinterpret_cast<long>(buf), static_cast<long>(size)) == -1)
            return ERAR_UNKNOWN;
        done += size;
    }
    if (archive_entry_size_is_set(ar.entry) && done != static_cast<uint64_t>(archive_entry_size(ar.entry)))
        return ERAR_BAD_DATA;
    // Checked once the headers of the file's last part have been read.
    // The list may have grown (and moved) while later volumes were read.
    if (check) {
        const rarvol::Entry& e = ar.entries[ar.entryIndex - 1];
        if (e.complete && e.hasCrc && crc != e.crc) return ERAR_BAD_CRC;
    }
    return ERAR_SUCCESS;
}

}  // namespace

RAR_EXPORT void* RAROpenArchive(struct RAROpenArchiveData* d) {
    if (!d) return nullptr;
    ClearErrno();
    Utf8Names utf8;
    d->CmtSize = 0;
    d->CmtState = 0;
    if (!d->ArcName || !d->ArcName[0]) {
        d->OpenResult = ERAR_EOPEN;
        return nullptr;
    }
    RarArchive* ar = new (std::nothrow) RarArchive;
    if (!ar) {
        d->OpenResult = ERAR_NO_MEMORY;
        return nullptr;
    }
    ar->name = d->ArcName;
    ar->mode = d->OpenMode;
    auto fail = [&](int code) -> void* {
        delete ar;
        d->OpenResult = static_cast<unsigned>(code);
        return nullptr;
    };
    try {
        ar->buffer.resize(kReadChunk);
    } catch (const std::bad_alloc&) {
        return fail(ERAR_NO_MEMORY);
    }
    if (FILE* probe = std::fopen(ar->name.c_str(), "rb")) {
        bool regular = SizeOf(probe) >= 0;
        std::fclose(probe);
        if (!regular) return fail(ERAR_EOPEN);
    } else {
        return fail(ERAR_EOPEN);
    }
    if (!OpenVolume(*ar, ar->name, true)) return fail(ar->volumeError ? ar->volumeError : ERAR_BAD_ARCHIVE);
    if (ar->last.encryptedHeaders) return fail(ERAR_ENCRYPTED_UNSUPPORTED);
    std::rewind(ar->file);
    if (!StartReader(*ar)) return fail(ar->volumeError ? ar->volumeError : !ar->a ? ERAR_NO_MEMORY : ERAR_BAD_ARCHIVE);
    d->OpenResult = ERAR_SUCCESS;
    return ar;
}

RAR_EXPORT int RARCloseArchive(void* h) {
    if (!h) return ERAR_ECLOSE;
    delete static_cast<RarArchive*>(h);
    return ERAR_SUCCESS;
}

RAR_EXPORT void RARSetCallback(void* h, UNRARCALLBACK callback, long user) {
    if (!h) return;
    RarArchive& ar = *static_cast<RarArchive*>(h);
    ar.callback = callback;
    ar.user = user;
}

RAR_EXPORT int RARReadHeader(void* h, struct RARHeaderData* hd) {
    if (!h || !hd) return ERAR_UNKNOWN;
    RarArchive& ar = *static_cast<RarArchive*>(h);
    if (ar.error) return ar.error;
    ClearErrno();
    Utf8Names utf8;
    ar.haveHeader = false;
    ar.cutHeader = false;
    int r = archive_read_next_header(ar.a, &ar.entry);
    while (r == ARCHIVE_EOF && ContinueInNextVolume(ar)) r = archive_read_next_header(ar.a, &ar.entry);
    // libarchive may take a volume that could not be had for the end of the archive.
    if (ar.volumeError) return ar.error = ar.volumeError;
    if (ar.reachedCut && (r == ARCHIVE_EOF || r < ARCHIVE_WARN)) {
        // The archive ends early. A member whose header is whole but whose data are cut is
        // still told, from our own reading of its header, so that it can be named.
        ar.entry = nullptr;
        if (ar.last.cutName.empty() || ar.cutGiven) return ar.error = ERAR_TRUNCATED;
        ar.cutGiven = true;
        ar.cutHeader = true;
        ar.haveHeader = true;
        ++ar.entryIndex;
        std::string name = ar.last.cutName;
        CopyText(hd->ArcName, ar.volumes.empty() ? ar.name.c_str() : ar.volumes.back().c_str());
        CopyText(hd->FileName, name.c_str());
        hd->Flags = ar.last.cutDir ? RHDF_DIRECTORY : 0;
        hd->UnpSize = static_cast<unsigned>(std::min<uint64_t>(ar.last.cutSize, 0xFFFFFFFFu));
        hd->PackSize = 0;
        hd->HostOS = 3;
        hd->FileTime = 0;
        hd->UnpVer = 0;
        hd->FileAttr = 0;
        hd->FileCRC = 0;
        hd->Method = 0;
        hd->CmtSize = 0;
        hd->CmtState = 0;
        return ERAR_SUCCESS;
    }
    if (r == ARCHIVE_EOF) {
        ar.entry = nullptr;
        return ERAR_END_ARCHIVE;
    }
    if (r < ARCHIVE_WARN) {
        ar.entry = nullptr;
        // libarchive refuses the header of an encrypted member of a solid archive as if the
        // archive were at fault; the volume's own headers know it is encrypted.
        if (ar.entryIndex < ar.entries.size() && ar.entries[ar.entryIndex].encrypted)
            return ar.error = ERAR_ENCRYPTED_UNSUPPORTED;
        return Failure(ar, true);
    }
    ++ar.entryIndex;
    ar.haveHeader = true;
    CopyText(hd->ArcName, ar.volumes.empty() ? ar.name.c_str() : ar.volumes.back().c_str());
    const char* path = archive_entry_pathname_utf8(ar.entry);
    CopyText(hd->FileName, path ? path : archive_entry_pathname(ar.entry));
    int64_t size = archive_entry_size_is_set(ar.entry) ? archive_entry_size(ar.entry) : 0;
    hd->Flags = 0;
    if (archive_entry_filetype(ar.entry) == AE_IFDIR) hd->Flags |= RHDF_DIRECTORY;
    if (Encrypted(ar)) hd->Flags |= RHDF_ENCRYPTED;
    if (const rarvol::Entry* e = Match(ar, false); e && e->startsEarlier) hd->Flags |= RHDF_SPLITBEFORE;
    // Held at the largest 32-bit size rather than cut to its low bits, so a member of 4 GiB
    // or more never looks small to the reader's size checks.
    hd->UnpSize = static_cast<unsigned>(std::min<uint64_t>(static_cast<uint64_t>(size), 0xFFFFFFFFu));
    hd->PackSize = 0;
    hd->HostOS = 3;
    hd->FileTime = 0;
    hd->UnpVer = 0;
    hd->FileAttr = static_cast<unsigned>(archive_entry_mode(ar.entry));
    const rarvol::Entry* known = Match(ar, true);
    hd->FileCRC = known && known->hasCrc ? known->crc : 0;
    hd->Method = known && known->stored ? 0x30 : 0x33;
    hd->CmtSize = 0;
    hd->CmtState = 0;
    return ERAR_SUCCESS;
}

RAR_EXPORT int RARProcessFile(void* h, int operation, char*, char*) {
    if (!h) return ERAR_UNKNOWN;
    RarArchive& ar = *static_cast<RarArchive*>(h);
    if (ar.error) return ar.error;
    if (ar.haveHeader && ar.cutHeader) {
        // Its data are not all there, and nothing after it is.
        ar.haveHeader = false;
        ar.cutHeader = false;
        return ar.error = ERAR_TRUNCATED;
    }
    if (!ar.haveHeader || !ar.entry) return ERAR_UNKNOWN;
    ClearErrno();
    Utf8Names utf8;
    ar.haveHeader = false;
    if (operation == RAR_EXTRACT && ar.mode == RAR_OM_EXTRACT) return ERAR_ECREATE;  // no writing to disk here
    if (operation != RAR_TEST || ar.mode != RAR_OM_EXTRACT) {
        if (archive_read_data_skip(ar.a) < ARCHIVE_WARN || ar.volumeError) return Failure(ar, true);
        // A file that goes on in the next volume, from a volume cut short: that volume is
        // never reached, so the file is cut short too.
        if (ar.last.cutAt >= 0)
            if (const rarvol::Entry* e = Match(ar, false); e && !e->complete) return ar.error = ERAR_TRUNCATED;
        return ERAR_SUCCESS;
    }
    int r = TestMember(ar);
    if (ar.volumeError) return ar.error = ar.volumeError;
    return r;
}
