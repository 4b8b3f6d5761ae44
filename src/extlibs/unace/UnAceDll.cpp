// The ace library: lists, tests and extracts ACE archives for its caller, reporting every
// member, block of data, error and question through the four callbacks it was given.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "AceDecoder.h"
#include "archives/AceDllApi.h"

#define UNACE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace unace;

// The caller's settings, copied; null until ACEInitDll.
std::unique_ptr<AceGlobalData> g_global;
// A missing volume is asked for at most this often before the run gives up.
constexpr int kVolumeQuestions = 10;

// Which file a name stood for, to know that a kept state still belongs to it.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtimeNs = 0;
    bool operator==(const FileId&) const = default;
};

bool IdOf(const std::string& path, FileId& id) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    id = {st.st_dev, st.st_ino, st.st_size, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    return true;
}

// The last solid archive read, with the decoder's window after the last member it decoded:
// members are mostly read in order, and each would otherwise decode its whole chain again.
struct SolidState {
    std::string name;
    FileId id;
    std::unique_ptr<Archive> archive;
    std::unique_ptr<Decoder> decoder;
};
SolidState g_solid;

class Run {
public:
    Run(const char* archiveName, int operation) : name_(archiveName ? archiveName : ""), op_(operation) {
        archiveData_.ArchiveName = name_.c_str();
    }

    int Call(AceCallbackProc proc, int type, int code, AceFileData* file = nullptr, AceProgressData* progress = nullptr) {
        if (!proc) return ACEDLL_CONTINUE;
        AceCallbackData d{};
        d.StructureType = type;
        d.Code = code;
        d.Operation = op_;
        d.GlobalData = g_global.get();
        d.ArchiveData = &archiveData_;
        d.FileData = file;
        d.ProgressData = progress;
        return proc(&d);
    }
    int State(int type, int code, AceFileData* file = nullptr, AceProgressData* progress = nullptr) {
        return Call(g_global->StateCallbackProc, type, code, file, progress);
    }
    int Error(int type, int code, AceFileData* file = nullptr) {
        return Call(g_global->ErrorCallbackProc, type, code, file);
    }
    int Request(int type, int code, AceFileData* file = nullptr) {
        return Call(g_global->RequestCallbackProc, type, code, file);
    }

    // Opens the set; reports failures and returns their code (0 when open).
    int Open() {
        if (State(ACEDLL_TYPE_ARCHIVE, ACEDLL_STATE_START_ARCHIVE) == ACEDLL_CANCEL) return ACEDLL_ERR_CANCELLED;
        VolumeProvider volumes = [this](int index, bool required) { return OpenVolume(index, required); };
        FileId id;
        const bool known = IdOf(name_, id);
        bool kept = false;
        if (op_ != ACEDLL_OP_LIST && known && g_solid.archive && g_solid.name == name_ && g_solid.id == id) {
            archive_ = std::move(g_solid.archive);
            decoder_ = std::move(g_solid.decoder);
            kept = true;
        }
        g_solid = SolidState{};
        id_ = id;
        try {
            if (!kept) archive_->Open(volumes);
        } catch (const AceError& e) {
            if (cancelled_) return ACEDLL_ERR_CANCELLED;
            int code = ACEDLL_ERR_BROKEN;
            switch (e.fault) {
                case Fault::Read: code = ACEDLL_ERR_OPEN_READ; break;
                case Fault::NotAce: code = ACEDLL_ERR_NOT_ACE; break;
                case Fault::Volume: code = ACEDLL_ERR_VOLUME; break;
                case Fault::Memory: Error(ACEDLL_TYPE_GLOBAL, ACEDLL_ERR_MEMORY); return ACEDLL_ERR_MEMORY;
                default: break;
            }
            Error(ACEDLL_TYPE_ARCHIVE, code);
            return code;
        } catch (const std::bad_alloc&) {
            Error(ACEDLL_TYPE_GLOBAL, ACEDLL_ERR_MEMORY);
            return ACEDLL_ERR_MEMORY;
        }
        const MainHeader& m = archive_->Main();
        archiveData_.VolumeNumber = m.volume;
        archiveData_.Flags = m.flags;
        archiveData_.HostCreated = m.host;
        archiveData_.TimeCreated = m.time;
        archiveData_.VersionCreated = m.versionCreator;
        archiveData_.VersionExtract = m.versionExtract;
        if (m.versionExtract > 20) {
            Error(ACEDLL_TYPE_ARCHIVE, ACEDLL_ERR_HIGHER_VERSION);
            return ACEDLL_ERR_HIGHER_VERSION;
        }
        if (archive_->MissingVolume() >= 0 && op_ == ACEDLL_OP_LIST && !cancelled_) {
            // Asked for until the questions ran out: named as it was asked for. The members
            // before it are listed all the same.
            const std::string part = AskedName(archive_->MissingVolume());
            archiveData_.ArchiveName = part.c_str();
            Error(ACEDLL_TYPE_ARCHIVE, ACEDLL_ERR_MISSING_VOLUME);
            archiveData_.ArchiveName = name_.c_str();
        }
        names_.clear();
        for (const Member& mem : archive_->Members()) {
            std::string n = mem.name;
            for (char& c : n)
                if (c == '\\') c = '/';
            names_.push_back(std::move(n));
        }
        return ACEDLL_OK;
    }

    int List() {
        const auto& members = archive_->Members();
        for (size_t i = 0; i < members.size(); ++i) {
            AceFileData fd = FileData(i);
            if (State(ACEDLL_TYPE_ARCHIVED_FILE, ACEDLL_STATE_START_FILE, &fd) == ACEDLL_CANCEL)
                return ACEDLL_ERR_CANCELLED;
        }
        if (archive_->Cut()) {
            // Only the last member can be the one cut short.
            AceFileData fd{};
            const bool named = !members.empty() && members.back().cutShort;
            if (named) fd = FileData(members.size() - 1);
            Error(ACEDLL_TYPE_ARCHIVE, ACEDLL_ERR_ENDS_EARLY, named ? &fd : nullptr);
            return ACEDLL_ERR_ENDS_EARLY;
        }
        return ACEDLL_OK;
    }

    // Test (dest empty) or extract the chosen members.
    int Process(const AceFilesStruct& files, const char* password, const std::string& dest, bool flat) {
        const auto& members = archive_->Members();
        std::vector<std::string> wanted = SplitList(files.FileList), excluded = SplitList(files.ExcludeList);
        std::vector<bool> selected(members.size()), needed(members.size());
        bool any = false;
        for (size_t i = 0; i < members.size(); ++i) {
            selected[i] = (wanted.empty() || Matches(wanted, names_[i], files.FullMatch != 0)) &&
                          !Matches(excluded, names_[i], files.FullMatch != 0);
            any |= selected[i];
        }
        if (!any) {
            Error(ACEDLL_TYPE_ARCHIVE, ACEDLL_ERR_NO_FILES);
            return ACEDLL_ERR_NO_FILES;
        }
        // A solid member needs every member of its chain before it.
        bool need = false;
        for (size_t i = members.size(); i-- > 0;) {
            need = selected[i] || (need && i + 1 < members.size() && decoder_->NeedsPredecessor(*archive_, i + 1));
            needed[i] = need;
        }
        // Members the kept window already holds are not decoded again, as long as the wanted
        // ones come after them; otherwise the chain starts afresh.
        size_t firstSelected = 0;
        while (!selected[firstSelected]) ++firstSelected;
        const long last = decoder_->LastIndex(*archive_);
        if (last >= 0 && static_cast<size_t>(last) < firstSelected) {
            for (size_t i = 0; i <= static_cast<size_t>(last); ++i) needed[i] = false;
        } else {
            decoder_->Reset();
        }
        std::string pw = password ? password : "";
        bool asked = false;
        int result = ACEDLL_OK;
        for (size_t i = 0; i < members.size(); ++i) {
            if (!needed[i]) continue;
            const unace::Member& m = members[i];
            AceFileData fd = FileData(i);
            if (selected[i] && State(ACEDLL_TYPE_ARCHIVED_FILE, ACEDLL_STATE_START_FILE, &fd) == ACEDLL_CANCEL)
                return result ? result : ACEDLL_ERR_CANCELLED;
            if (m.Encrypted() && !asked) {
                // The caller answers by setting the password pointer of the global data.
                g_global->DecryptPassword = nullptr;
                if (Request(ACEDLL_TYPE_ARCHIVED_FILE, ACEDLL_REQ_PASSWORD, &fd) != ACEDLL_CONTINUE)
                    return result ? result : ACEDLL_ERR_CANCELLED;
                if (g_global->DecryptPassword) pw = g_global->DecryptPassword;
                asked = true;
            }
            int code = selected[i] ? One(i, fd, pw, dest, flat) : Skip(i, pw);
            if (code == ACEDLL_ERR_CANCELLED) return result ? result : code;
            if (code != ACEDLL_OK) {
                if (!result) result = code;
                int type = code == ACEDLL_ERR_READ || code == ACEDLL_ERR_BROKEN ? ACEDLL_TYPE_ARCHIVE
                           : code == ACEDLL_ERR_MEMORY                            ? ACEDLL_TYPE_GLOBAL
                                                                                  : ACEDLL_TYPE_ARCHIVED_FILE;
                if (Error(type, code, &fd) != ACEDLL_CONTINUE) return result;
                decoder_->Reset();
            }
        }
        return result;
    }

    // Keeps a solid archive and its window for the next run on it.
    void Keep() {
        if (archive_->Main().Solid() && decoder_->LastIndex(*archive_) >= 0) {
            g_solid.name = name_;
            g_solid.id = id_;
            g_solid.archive = std::move(archive_);
            g_solid.decoder = std::move(decoder_);
            archive_ = std::make_unique<Archive>();
            decoder_ = std::make_unique<Decoder>();
        }
    }

    AceArchiveData& ArchiveData() { return archiveData_; }
    size_t Count() const { return archive_->Members().size(); }

private:
    class ProgressSink : public Sink {
    public:
        ProgressSink(Run& r, AceFileData& fd, FILE* file) : run_(r), fd_(fd), file_(file) {}
        bool Write(const uint8_t* data, size_t size) override {
            if (file_ && std::fwrite(data, 1, size, file_) != size) {
                writeFailed_ = true;
                return false;
            }
            done_ += size;
            AceProgressData p{data, size, done_, fd_.Size};
            return run_.State(ACEDLL_TYPE_PROGRESS, ACEDLL_STATE_PROGRESS, &fd_, &p) != ACEDLL_CANCEL;
        }
        bool writeFailed_ = false;

    private:
        Run& run_;
        AceFileData& fd_;
        FILE* file_;
        uint64_t done_ = 0;
    };
    class NullSink : public Sink {
    public:
        bool Write(const uint8_t*, size_t) override { return true; }
    };

    static int CodeOf(const AceError& e) {
        switch (e.fault) {
            case Fault::Read: return ACEDLL_ERR_READ;
            case Fault::Broken:
            case Fault::Volume: return ACEDLL_ERR_BROKEN;
            case Fault::Method: return ACEDLL_ERR_METHOD;
            case Fault::Password:
            case Fault::NoPassword: return ACEDLL_ERR_PASSWORD;
            case Fault::Cancelled: return ACEDLL_ERR_CANCELLED;
            case Fault::Memory: return ACEDLL_ERR_MEMORY;
            default: return ACEDLL_ERR_CRC;
        }
    }

    int Skip(size_t i, const std::string& pw) {
        NullSink sink;
        try {
            decoder_->Decode(*archive_, i, pw, sink);
        } catch (const AceError& e) {
            return CodeOf(e);
        }
        return ACEDLL_OK;
    }

    int One(size_t i, AceFileData& fd, const std::string& pw, const std::string& dest, bool flat) {
        const unace::Member& m = archive_->Members()[i];
        FILE* file = nullptr;
        std::string path;
        if (!dest.empty()) {
            std::string rel;
            if (!SafeRelativeName(m.name, rel)) return ACEDLL_ERR_UNSAFE_NAME;
            if (flat) rel = rel.substr(rel.find_last_of('/') == std::string::npos ? 0 : rel.find_last_of('/') + 1);
            path = dest + "/" + rel;
            if (!MakeParents(dest, rel, m.Directory() && !flat)) return ACEDLL_ERR_CREATION;
            if (m.Directory()) {
                if (flat) return ACEDLL_OK;
            } else {
                struct stat st {};
                if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ACEDLL_ERR_NAME_USED_BY_DIR;
                if (::lstat(path.c_str(), &st) == 0 &&
                    Request(ACEDLL_TYPE_ARCHIVED_FILE, ACEDLL_REQ_OVERWRITE, &fd) != ACEDLL_CONTINUE)
                    return ACEDLL_OK;
                ::unlink(path.c_str());  // never write through a link left there
                file = std::fopen(path.c_str(), "wbx");
                if (!file) return ACEDLL_ERR_OPEN_WRITE;
            }
        }
        ProgressSink sink(*this, fd, file);
        int code = ACEDLL_OK;
        try {
            decoder_->Decode(*archive_, i, pw, sink);
        } catch (const AceError& e) {
            code = sink.writeFailed_ ? ACEDLL_ERR_WRITE : CodeOf(e);
        }
        if (file && std::fclose(file) != 0 && code == ACEDLL_OK) code = ACEDLL_ERR_WRITE;
        if (file && code != ACEDLL_OK) ::unlink(path.c_str());  // no half or wrong file is left
        if (code == ACEDLL_OK) State(ACEDLL_TYPE_CRC_CHECK, ACEDLL_STATE_END_CRC_CHECK, &fd);
        return code;
    }

    static bool MakeParents(const std::string& dest, const std::string& rel, bool includeLast) {
        size_t end = includeLast ? rel.size() : rel.find_last_of('/');
        if (end == std::string::npos) return true;
        for (size_t at = 0; at <= end && at != std::string::npos;) {
            size_t slash = rel.find('/', at);
            size_t stop = (slash == std::string::npos || slash > end) ? end : slash;
            std::string dir = dest + "/" + rel.substr(0, stop);
            struct stat st {};
            if (::lstat(dir.c_str(), &st) == 0) {
                if (!S_ISDIR(st.st_mode)) return false;  // not through a link or over a file
            } else if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
                return false;
            }
            if (stop == end) break;
            at = stop + 1;
        }
        return true;
    }

    AceFileData FileData(size_t i) const {
        const unace::Member& m = archive_->Members()[i];
        AceFileData fd{};
        fd.SourceFileName = names_[i].c_str();
        fd.Size = m.origSize;
        fd.CompressedSize = m.packSize;
        fd.CRC32 = m.crc;
        fd.Method = m.method;
        fd.Dictionary = m.DictBits() <= 31 ? 1u << m.DictBits() : 0;
        fd.Time = m.time;
        fd.Attributes = m.attributes;
        fd.Flags = m.flags;
        return fd;
    }

    static std::vector<std::string> SplitList(const char* list) {
        std::vector<std::string> out;
        if (!list) return out;
        std::string cur;
        for (const char* p = list; *p; ++p) {
            if (*p == '\r' || *p == '\n') {
                if (!cur.empty()) out.push_back(cur);
                cur.clear();
            } else {
                cur += *p == '\\' ? '/' : *p;
            }
        }
        if (!cur.empty()) out.push_back(cur);
        return out;
    }

    static bool Matches(const std::vector<std::string>& list, const std::string& name, bool full) {
        for (const std::string& n : list) {
            if (n == name) return true;
            if (!full && name.size() > n.size() && name.compare(0, n.size(), n) == 0 && name[n.size()] == '/')
                return true;
        }
        return false;
    }

    std::unique_ptr<ByteSource> OpenVolume(int index, bool required) {
        for (int question = 0;; ++question) {
            for (bool upper : {false, true})
                if (auto s = OpenFileSource(VolumeName(name_, index, upper))) return s;
            if (index == 0) return nullptr;
            if (!required || question >= kVolumeQuestions) return nullptr;
            // While it is asked for, the archive's name is the missing part's, so that the
            // question can name it.
            const std::string wanted = AskedName(index);
            archiveData_.ArchiveName = wanted.c_str();
            const int answer = Request(ACEDLL_TYPE_ARCHIVE, ACEDLL_REQ_CHANGE_VOLUME);
            archiveData_.ArchiveName = name_.c_str();
            if (answer != ACEDLL_CONTINUE) {
                cancelled_ = true;
                return nullptr;
            }
        }
    }

    // A missing part as it is named to the user: cased as the first part's extension.
    std::string AskedName(int index) const {
        const size_t dot = name_.find_last_of('.');
        const bool upper = dot != std::string::npos && dot + 1 < name_.size() && std::isupper(static_cast<unsigned char>(name_[dot + 1]));
        return VolumeName(name_, index, upper);
    }

    std::string name_;
    int op_;
    AceArchiveData archiveData_{};
    std::unique_ptr<Archive> archive_ = std::make_unique<Archive>();
    std::unique_ptr<Decoder> decoder_ = std::make_unique<Decoder>();
    std::vector<std::string> names_;
    FileId id_;
    bool cancelled_ = false;
};

template <class F>
int Guarded(F f) {
    if (!g_global) return ACEDLL_ERR_NOT_INITIALISED;
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return ACEDLL_ERR_MEMORY;
    } catch (...) {
        return ACEDLL_ERR_BROKEN;
    }
}

}  // namespace

UNACE_EXPORT int ACEInitDll(AceInitDllStruct* init) {
    if (!init) return ACEDLL_ERR_PARAMETER;
    try {
        g_global = std::make_unique<AceGlobalData>(init->GlobalData);
    } catch (const std::bad_alloc&) {
        return ACEDLL_ERR_MEMORY;
    }
    if (g_global->Comment && g_global->CommentBufSize) g_global->Comment[0] = '\0';
    g_global->CommentLength = 0;
    return ACEDLL_OK;
}

UNACE_EXPORT int ACEReadArchiveData(const char* archiveName, AceReadArchiveDataStruct* data) {
    return Guarded([&] {
        if (!archiveName || !data) return static_cast<int>(ACEDLL_ERR_PARAMETER);
        Run run(archiveName, ACEDLL_OP_LIST);
        int rc = run.Open();
        if (rc != ACEDLL_OK) return rc;
        data->ArchiveData = run.ArchiveData();
        data->ArchiveData.ArchiveName = archiveName;
        data->FileCount = static_cast<uint32_t>(run.Count());
        return static_cast<int>(ACEDLL_OK);
    });
}

UNACE_EXPORT int ACEList(const char* archiveName, AceListStruct* list) {
    return Guarded([&] {
        if (!archiveName || !list) return static_cast<int>(ACEDLL_ERR_PARAMETER);
        Run run(archiveName, ACEDLL_OP_LIST);
        int rc = run.Open();
        return rc != ACEDLL_OK ? rc : run.List();
    });
}

UNACE_EXPORT int ACETest(const char* archiveName, AceTestStruct* test) {
    return Guarded([&] {
        if (!archiveName || !test) return static_cast<int>(ACEDLL_ERR_PARAMETER);
        Run run(archiveName, ACEDLL_OP_TEST);
        int rc = run.Open();
        if (rc != ACEDLL_OK) return rc;
        rc = run.Process(test->Files, test->DecryptPassword, std::string(), false);
        run.Keep();
        return rc;
    });
}

UNACE_EXPORT int ACEExtract(const char* archiveName, AceExtractStruct* extract) {
    return Guarded([&] {
        if (!archiveName || !extract || !extract->DestinationDir || !*extract->DestinationDir)
            return static_cast<int>(ACEDLL_ERR_PARAMETER);
        Run run(archiveName, ACEDLL_OP_EXTRACT);
        int rc = run.Open();
        std::string dest = extract->DestinationDir;
        while (dest.size() > 1 && dest.back() == '/') dest.pop_back();
        return rc != ACEDLL_OK ? rc
                               : run.Process(extract->Files, extract->DecryptPassword, dest, extract->ExcludePath != 0);
    });
}
