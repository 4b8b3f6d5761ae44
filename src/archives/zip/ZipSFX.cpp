// Self-extracting archives: a stub program, a settings header and the archive behind it;
// converting an archive into one and back, recognising one, and the stub's icon.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "archives/zip/PeIcon.h"
#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipInternal.h"
#include "archives/zip/ZipWriteSupport.h"
#include "platform/Text.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {
constexpr size_t kMaxSFXHeader = 1032;
constexpr size_t kIconImageSize = 744;
constexpr size_t kIconFileSize = 766;
constexpr size_t kIconFileHead = 22;

std::string ProgramDir() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return ExtractFileDir(buf);
}

// The 766-byte icon file of one 32 by 32, 16-colour image.
std::vector<uint8_t> IconFileOf(const uint8_t* image) {
    std::vector<uint8_t> f(kIconFileSize, 0);
    zip::Put16(f.data() + 2, 1);
    zip::Put16(f.data() + 4, 1);
    f[6] = 32;
    f[7] = 32;
    f[8] = 16;
    zip::Put16(f.data() + 10, 1);
    zip::Put16(f.data() + 12, 4);
    zip::Put32(f.data() + 14, kIconImageSize);
    zip::Put32(f.data() + 18, kIconFileHead);
    std::memcpy(f.data() + kIconFileHead, image, kIconImageSize);
    return f;
}

// Reads a whole small file; false when it cannot.
bool ReadPrefix(int fd, int64_t n, std::vector<uint8_t>& out) {
    out.resize(static_cast<size_t>(n));
    int64_t done = 0;
    while (done < n) {
        ssize_t r = ::pread(fd, out.data() + done, static_cast<size_t>(n - done), static_cast<off_t>(done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += r;
    }
    return true;
}

int ResultOf(const zip::ZipFileError& e) {
    if (e.code == zip::kErrTemp || e.code == zip::kErrCreate) return -1;
    if (e.code == zip::kErrWrite) return -2;
    return -9;
}
}  // namespace

bool TZipIcon::LoadFromFile(const std::string& name) {
    TMemoryStream s;
    if (!s.LoadFromFile(name)) return false;
    bytes_.assign(s.Memory(), s.Memory() + s.Size());
    return true;
}

std::vector<uint8_t> TZipComponent::MakeSFXHeader() const {
    VTRACE("TZipComponent::MakeSFXHeader");
    uint8_t flags = 0;
    if (SFXOptions.Contains(SFXAskCmdLine)) flags |= 1;
    if (SFXOptions.Contains(SFXAskFiles)) flags |= 2;
    if (SFXOptions.Contains(SFXHideOverWriteBox)) flags |= 4;
    if (SFXOverWriteMode == OvrAlways) flags |= 8;
    if (SFXOverWriteMode == OvrNever) flags |= 16;
    if (!SFXOptions.Contains(SFXCheckSize)) flags |= 32;
    if (SFXOptions.Contains(SFXAutoRun)) flags |= 64;
    if (SFXOptions.Contains(SFXNoSuccessMsg)) flags |= 128;
    std::vector<uint8_t> h = {'M', 'P', 'V', flags, 0, 1, 0, 0};
    for (const std::string* t : {&SFXCaption, &SFXDefaultDir, &SFXCommandLine, &SFXMessage}) {
        size_t n = std::min<size_t>(t->size(), 255);
        h.push_back(static_cast<uint8_t>(n));
        h.insert(h.end(), t->begin(), t->begin() + static_cast<ptrdiff_t>(n));
    }
    while (h.size() % 4) h.push_back(0);
    zip::Put16(h.data() + 6, static_cast<uint16_t>(h.size()));
    return h;
}

void TZipComponent::ReadSFXHeader(const uint8_t* p, size_t n) {
    VTRACE("TZipComponent::ReadSFXHeader");
    if (n < 4) return;
    bool v = p[2] == 'V';
    uint8_t flags = p[3];
    SFXOptions = TZipSFXOptions{};
    SFXOverWriteMode = OvrConfirm;
    if (flags & 1) SFXOptions.Include(SFXAskCmdLine);
    if (flags & 2) SFXOptions.Include(SFXAskFiles);
    if (flags & 4) SFXOptions.Include(SFXHideOverWriteBox);
    if (flags & 8) SFXOverWriteMode = OvrAlways;
    if (flags & 16) SFXOverWriteMode = OvrNever;
    if (!(flags & 32)) SFXOptions.Include(SFXCheckSize);
    if (flags & 64) SFXOptions.Include(SFXAutoRun);
    if (v && (flags & 128)) SFXOptions.Include(SFXNoSuccessMsg);
    // Every length is checked against the bytes there are.
    auto text = [&](size_t& at) {
        if (at >= n) return std::string();
        size_t len = std::min<size_t>(p[at], n - at - 1);
        std::string s(reinterpret_cast<const char*>(p + at + 1), len);
        at += 1 + len;
        return s;
    };
    if (v) {
        size_t at = 8;
        SFXCaption = text(at);
        SFXDefaultDir = text(at);
        SFXCommandLine = text(at);
        SFXMessage = text(at);
    } else {
        if (n < 7) return;
        size_t l1 = p[4], l2 = p[5], l3 = p[6];
        size_t at = 7;
        auto take = [&](size_t len) {
            len = std::min(len, n > at ? n - at : 0);
            std::string s(reinterpret_cast<const char*>(p + at), len);
            at += len;
            return s;
        };
        SFXCaption = take(l1);
        SFXDefaultDir = take(l2);
        SFXCommandLine = take(l3);
    }
}

int TZipComponent::ReplaceIcon(int file, int64_t stubSize) {
    VTRACE("TZipComponent::ReplaceIcon");
    std::vector<uint8_t> stub;
    int result = -10;
    if (stubSize > 0 && stubSize <= (int64_t(64) << 20) && ReadPrefix(file, stubSize, stub)) {
        int64_t at = FindPeIcon(stub.data(), stub.size(), kIconImageSize);
        if (at > 0) {
            TMemoryStream s;
            sfxIcon_.SaveToStream(s);
            if (s.Size() != static_cast<int64_t>(kIconFileSize)) {
                result = -12;
            } else {
                const uint8_t* image = s.Memory() + kIconFileHead;
                result = ::pwrite(file, image, kIconImageSize, static_cast<off_t>(at)) == static_cast<ssize_t>(kIconImageSize) ? 0 : -2;
            }
        }
    }
    ::lseek(file, 0, SEEK_END);
    return result;
}

int TZipComponent::ConvertSFX(bool automatic) {
    VTRACE("TZipComponent::ConvertSFX");
    progressOn_ = false;
    if (!automatic && !FileExists(zipFileName_)) {
        ShowZipMessage(GE_NoZipSpecified);
        return -9;
    }
    size_t lengths = SFXCaption.size() + SFXDefaultDir.size() + SFXCommandLine.size() + SFXMessage.size();
    if (SFXCaption.size() > 255 || SFXDefaultDir.size() > 255 || SFXCommandLine.size() > 255 || SFXMessage.size() > 255) {
        ShowZipMessage(SF_StringToLong, "\r\nSFXCaption + SFXDefaultDir + SFXCommandLine + SFXMessage = " + std::to_string(lengths));
        return -9;
    }
    std::string stubName;
    std::vector<std::string> places = {SFXPath, "ZipSFX.bin"};
    std::string own = ProgramDir();
    if (!own.empty()) places.push_back(own + "/ZipSFX.bin");
    if (!dllDirectory_.empty()) places.push_back(IncludeTrailingPathDelimiter(dllDirectory_) + "ZipSFX.bin");
    for (const auto& p : places)
        if (!p.empty() && FileExists(p)) {
            stubName = p;
            break;
        }
    if (stubName.empty()) {
        ShowZipMessage(SF_NoZipSFXBin);
        SFXPath.clear();
        return -9;
    }
    SFXPath = stubName;
    std::vector<uint8_t> header;
    try {
        header = MakeSFXHeader();
    } catch (const std::bad_alloc&) {
        ShowZipMessage(GE_NoMem);
        return -9;
    }
    std::string outName = zipFileName_;
    if (!automatic) {
        if (UpperCase(ExtractFileExt(zipFileName_)) != ".ZIP") {
            ShowZipMessage(SF_InputIsNoZip);
            return -9;
        }
        outName = ChangeFileExt(zipFileName_, ".exe");
    }
    StartWaitCursor();
    int result = 0;
    std::string source = zipFileName_;
    try {
        zip::ArchiveFile archive;
        if (!automatic) {
            archive.Open(source);
            // A self-extractor of nothing would be a program that does nothing.
            if (archive.entries.empty()) {
                StopWaitCursor();
                ShowZipMessage(AD_NothingToZip);
                return -9;
            }
        }
        zip::SafeOutput out;
        out.Create(outName);
        out.SetMode(0777);  // a program
        int stub = ::open(stubName.c_str(), O_RDONLY | O_CLOEXEC);
        if (stub < 0) {
            result = -3;
        } else {
            struct stat st {};
            int64_t stubSize = ::fstat(stub, &st) == 0 ? st.st_size : -1;
            try {
                out.CopyFrom(stub, 0, stubSize, zip::kErrWrite);
            } catch (...) {
                ::close(stub);
                throw;
            }
            ::close(stub);
            if (!sfxIcon_.Empty()) result = ReplaceIcon(out.Handle(), stubSize);
            if (result == 0) {
                out.Write(header.data(), header.size());
                int64_t delta = stubSize + static_cast<int64_t>(header.size());
                if (automatic) {
                    zip::WriteEnd(out, 0, 0, delta, "");
                } else if (archive.shift == 0) {
                    out.CopyFrom(archive.fd, 0, archive.centralPos, zip::kErrData);
                    int64_t centralOffset = out.Position();
                    for (const auto& e : archive.entries) {
                        zip::CentralHeader ch = e.ch;
                        if (int64_t(ch.localHeaderOffset) + delta >= 0xFFFFFFFFLL) throw zip::ZipFileError(zip::kErrZip64, "zip64");
                        ch.localHeaderOffset = static_cast<uint32_t>(ch.localHeaderOffset + delta);
                        zip::WriteCentral(out, ch, e.rawName, e.centralExtra, e.comment);
                    }
                    zip::WriteEnd(out, static_cast<uint16_t>(archive.entries.size()), out.Position() - centralOffset,
                                  centralOffset, archive.comment);
                } else {
                    out.CopyFrom(archive.fd, 0, archive.fileSize, zip::kErrData);
                }
                if (!automatic && out.Position() != delta + archive.fileSize) result = -9;
                if (result == 0) out.Commit();
            }
        }
    } catch (const zip::ZipFileError& e) {
        ShowZipMessage(e.code == zip::kErrZip64 ? DS_Zip64 : e.code);
        result = ResultOf(e);
    } catch (const std::bad_alloc&) {
        ShowZipMessage(GE_NoMem);
        result = -9;
    }
    StopWaitCursor();
    if (result == 0) {
        if (!automatic) EraseFile(source, HowToDelete);
        SetZipFileName(outName);
    }
    return result;
}

int TZipComponent::ConvertZIP() {
    VTRACE("TZipComponent::ConvertZIP");
    progressOn_ = false;
    if (!FileExists(zipFileName_)) {
        ShowZipMessage(CZ_NoExeSpecified);
        return -3;
    }
    if (UpperCase(ExtractFileExt(zipFileName_)) != ".EXE") {
        ShowZipMessage(CZ_InputNotExe);
        return -9;
    }
    std::string source = zipFileName_;
    std::string outName = ChangeFileExt(source, ".zip");
    int result = 0;
    StartWaitCursor();
    try {
        zip::ArchiveFile archive;
        archive.Open(source);
        int64_t offset = archive.entries.empty() ? archive.centralPos : archive.prefixSize;
        if (offset <= 0) {
            StopWaitCursor();
            ShowZipMessage(CZ_SFXTypeUnknown);
            return -9;
        }
        size_t n = static_cast<size_t>(std::min<int64_t>(kMaxSFXHeader, offset));
        std::vector<uint8_t> tail(n);
        if (!archive.ReadAt(offset - static_cast<int64_t>(n), tail.data(), n)) throw zip::ZipFileError(zip::kErrSeek, "seek");
        for (size_t i = 0; i + 2 < n; ++i) {
            if (tail[i] == 'M' && tail[i + 1] == 'P' && (tail[i + 2] == 'U' || tail[i + 2] == 'V')) {
                std::vector<uint8_t> stub;
                if (ReadPrefix(archive.fd, offset, stub)) {
                    int64_t at = FindPeIcon(stub.data(), stub.size(), kIconImageSize);
                    if (at > 0) sfxIcon_.LoadFromBytes(IconFileOf(stub.data() + at));
                }
                ReadSFXHeader(tail.data() + i, n - i);
                break;
            }
        }
        zip::SafeOutput out;
        out.Create(outName);
        if (archive.shift == 0) {
            out.CopyFrom(archive.fd, offset, archive.centralPos - offset, zip::kErrData);
            int64_t centralOffset = out.Position();
            for (const auto& e : archive.entries) {
                zip::CentralHeader ch = e.ch;
                ch.localHeaderOffset = static_cast<uint32_t>(int64_t(ch.localHeaderOffset) - offset);
                zip::WriteCentral(out, ch, e.rawName, e.centralExtra, e.comment);
            }
            zip::WriteEnd(out, static_cast<uint16_t>(archive.entries.size()), out.Position() - centralOffset, centralOffset,
                          archive.comment);
        } else {
            out.CopyFrom(archive.fd, offset, archive.fileSize - offset, zip::kErrData);
        }
        if (out.Position() != archive.fileSize - offset) result = -9;
        if (result == 0) out.Commit();
    } catch (const zip::ZipFileError& e) {
        ShowZipMessage(e.code == zip::kErrZip64 ? DS_Zip64 : e.code);
        result = ResultOf(e);
    } catch (const std::bad_alloc&) {
        ShowZipMessage(GE_NoMem);
        result = -9;
    }
    StopWaitCursor();
    if (result == 0) {
        EraseFile(source, HowToDelete);
        SetZipFileName(outName);
    }
    return result;
}

bool TZipComponent::IsInstallShield(int file) {
    VTRACE("TZipComponent::IsInstallShield");
    uint8_t head[2048];
    ssize_t got = ::pread(file, head, sizeof head, 0);
    static const char kText[] = "InstallShield Self-Extracting Stub Program";
    return got > 0 && std::search(head, head + got, kText, kText + sizeof kText - 1) != head + got;
}

bool TZipComponent::IsZipSFX(const std::string& name) {
    VTRACE("TZipComponent::IsZipSFX");
    static const auto skip = [] {
        std::vector<uint8_t> t(256, 4);
        t['P'] = 3;
        t['K'] = 2;
        t[5] = 1;
        t[6] = 0;
        return t;
    }();
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EZipComponent(DS_NoInFile, true);
    StartWaitCursor();
    struct Guard {
        TZipComponent* c;
        int fd;
        ~Guard() {
            ::close(fd);
            c->StopWaitCursor();
        }
    } guard{this, fd};
    if (IsInstallShield(fd)) return false;
    off_t size = ::lseek(fd, 0, SEEK_END);
    if (size < 0) throw EZipComponent(DS_FailedSeek, true);
    fileSize_ = size;
    uint8_t last[zip::kEndRecordSize];
    if (size >= zip::kEndRecordSize && ::pread(fd, last, sizeof last, size - zip::kEndRecordSize) == zip::kEndRecordSize &&
        zip::Get32(last) == zip::kEndSig)
        return true;
    size_t n = static_cast<size_t>(std::min<int64_t>(size, 65557));
    std::vector<uint8_t> buf(n);
    if (::lseek(fd, size - static_cast<off_t>(n), SEEK_SET) < 0) throw EZipComponent(DS_FailedSeek, true);
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::read(fd, buf.data() + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    if (done != n) throw EZipComponent(DS_EOCBadRead, true);
    size_t i = 3;
    while (i < n) {
        uint8_t d = skip[buf[i]];
        if (d != 0) {
            i += d;
            continue;
        }
        if (buf[i - 3] == 'P' && buf[i - 2] == 'K' && buf[i - 1] == 5 && n - (i + 1) >= 18) {
            zip::EndOfCentral end;
            end.Parse(buf.data() + i - 3, n - (i - 3));
            uint8_t sig[4];
            if (::pread(fd, sig, 4, end.centralOffset) == 4 && zip::Get32(sig) == zip::kCentralSig) return true;
        }
        i += 4;
    }
    return false;
}

}  // namespace vellicor
