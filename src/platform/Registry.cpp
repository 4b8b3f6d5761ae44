// The settings store: the file is the truth, the tree in memory a copy of it plus the
// writes not yet on disk (kept as a list of operations so they can be applied again to
// the file as another instance left it).
#include "platform/Registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/RegistryFormat.h"
#include "platform/UiServices.h"

namespace vellicor {

namespace {

using regfile::Key;
using regfile::Tree;

constexpr off_t kMaxFileSize = 16 << 20;  // far above any real settings file
constexpr auto kLockWait = std::chrono::seconds(5);
const char kFileName[] = "registry.txt";
const char kLockName[] = "registry.lock";

struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtime = 0, ctime = 0;
    bool operator==(const FileId&) const = default;
};

FileId IdOf(const struct stat& st) {
    FileId id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.ctime = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return id;
}

// Identity of what is at path now; "exists" with an impossible inode when it cannot be
// examined, so that it never equals what we loaded.
FileId StatPath(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return IdOf(st);
    FileId id;
    if (errno != ENOENT && errno != ENOTDIR) {
        id.exists = true;
        id.ino = static_cast<ino_t>(-1);
    }
    return id;
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void SyncDirectory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

struct Op {
    enum Kind { SetValue, DeleteValue, CreateKey, DeleteKey } kind;
    HKEY root;
    std::vector<std::string> path;
    std::string name;
    TRegDataType type = TRegDataType::rdString;
    std::string s;
    int32_t i = 0;
};

Key* Walk(Tree& tree, HKEY root, const std::vector<std::string>& path, bool create) {
    Key* k = &tree.Root(root);
    for (const auto& part : path) {
        Key* next = create ? &k->AddKey(part) : k->FindKey(part);
        if (!next) return nullptr;
        k = next;
    }
    return k;
}

// Returns whether the operation changed anything.
bool Apply(Tree& tree, const Op& op) {
    switch (op.kind) {
        case Op::SetValue: {
            auto& v = Walk(tree, op.root, op.path, true)->SetValue(op.name);
            v.type = op.type;
            v.s = op.s;
            v.i = op.i;
            return true;
        }
        case Op::DeleteValue: {
            Key* k = Walk(tree, op.root, op.path, false);
            return k && k->EraseValue(op.name);
        }
        case Op::CreateKey:
            Walk(tree, op.root, op.path, true);
            return true;
        case Op::DeleteKey: {
            if (op.path.empty()) return false;
            std::vector<std::string> parent(op.path.begin(), op.path.end() - 1);
            Key* k = Walk(tree, op.root, parent, false);
            return k && k->EraseKey(op.path.back());
        }
    }
    return false;
}

class Store {
public:
    std::mutex mutex;

    // Brings the copy in memory up to date with the file; call with the mutex held.
    void Sync() {
        std::string file = RegistryFilePath();
        if (file != file_) {
            Reset();
            file_ = std::move(file);
            dir_ = RegistryDirectory();
        }
        if (!loaded_ || StatPath(file_) != id_) Reload();
    }

    Tree& tree() { return tree_; }

    // Applies op now and writes it through (or at the end of the batch).
    bool Commit(Op op) {
        bool changed = Apply(tree_, op);
        if (!changed && op.kind != Op::SetValue) return false;
        pending_.push_back(std::move(op));
        if (batchDepth_ > 0) return true;
        return Flush();
    }

    void BeginBatch() { ++batchDepth_; }
    void EndBatch() {
        if (batchDepth_ > 0 && --batchDepth_ == 0) Flush();
    }

    void Reset() {
        tree_.Clear();
        pending_.clear();
        loaded_ = false;
        damaged_ = false;
        cleaned_ = false;
        raw_.clear();
        id_ = FileId{};
        file_.clear();
        unreadableWhy.clear();
        keptCopy.clear();
        damagedLines = 0;
        damageTold = false;
        mode_ = 0600;
        failureTold = false;
        failureToTell = false;
        failureWhy.clear();
        failureNote.clear();
    }

    bool writeFailed = false;
    // A failed write is told of once; Reset starts afresh, as a new run would.
    bool failureTold = false;
    bool failureToTell = false;
    std::string failureWhy;
    std::string failureNote;
    // Why the file could not be read at all (empty when it could), and where it was kept.
    std::string unreadableWhy;
    std::string keptCopy;
    // Lines of the file that could not be read (the values on the others were kept); told
    // once a run.
    size_t damagedLines = 0;
    bool damageTold = false;
    std::function<bool()> beforeRename;

private:
    void Reload() {
        loaded_ = true;
        damaged_ = false;
        readable_ = true;
        raw_.clear();
        tree_.Clear();
        id_ = FileId{};
        mode_ = 0600;
        std::string bytes;
        // Only a regular file is opened: a FIFO would block the start for ever, and a
        // device may do anything when opened.
        struct stat first;
        int fd = -1;
        if (::stat(file_.c_str(), &first) == 0 && !S_ISREG(first.st_mode)) {
            id_ = IdOf(first);
            damaged_ = true;
            readable_ = false;
            unreadableWhy = "it is not a file";
        } else if ((fd = ::open(file_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
            if (errno != ENOENT && errno != ENOTDIR) {
                id_ = StatPath(file_);
                damaged_ = true;
                readable_ = false;
                unreadableWhy = std::string("it cannot be opened: ") + std::strerror(errno);
            }
        } else {
            struct stat st;
            if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileSize) {
                damaged_ = true;
                readable_ = false;
                unreadableWhy = S_ISREG(st.st_mode) ? "it is larger than 16 MiB" : "it is not a file";
                id_ = ::fstat(fd, &st) == 0 ? IdOf(st) : StatPath(file_);
            } else {
                id_ = IdOf(st);
                mode_ = st.st_mode & 0777;
                char buf[65536];
                for (;;) {
                    ssize_t n = ::read(fd, buf, sizeof buf);
                    if (n < 0 && errno == EINTR) continue;
                    if (n < 0) {
                        damaged_ = true;
                        readable_ = false;
                        unreadableWhy = "it cannot be read";
                        break;
                    }
                    if (n == 0) break;
                    bytes.append(buf, static_cast<size_t>(n));
                    if (bytes.size() > static_cast<size_t>(kMaxFileSize)) {
                        damaged_ = true;
                        readable_ = false;
                        unreadableWhy = "it is larger than 16 MiB";
                        break;
                    }
                }
            }
            ::close(fd);
        }
        if (readable_ && !bytes.empty()) {
            if (const size_t bad = regfile::Parse(bytes, tree_); bad > 0) {
                damaged_ = true;
                damagedLines = bad;
                raw_ = std::move(bytes);
            }
        }
        for (const auto& op : pending_) Apply(tree_, op);
    }

    // Keeps the damaged file as it is under a name of its own; false when that failed.
    bool KeepDamagedCopy() {
        for (int n = 1; n < 1000; ++n) {
            std::string copy = file_ + ".damaged-" + std::to_string(n);
            if (::link(file_.c_str(), copy.c_str()) == 0) {
                keptCopy = copy;
                return true;
            }
            if (errno == EEXIST) continue;
            if (errno == ENOENT) return true;  // gone: nothing left to lose
            if (!readable_) return Fail(std::string("the unreadable file cannot be kept: ") + std::strerror(errno));
            int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0) {
                if (errno == EEXIST) continue;
                return Fail(std::string("the damaged file cannot be kept: ") + std::strerror(errno));
            }
            // No more readable than the file it copies (the umask cannot narrow it further).
            ::fchmod(fd, mode_);
            bool ok = WriteAll(fd, raw_) && ::fsync(fd) == 0;
            ok = ::close(fd) == 0 && ok;
            if (!ok) {
                ::unlink(copy.c_str());
                return Fail("the damaged file cannot be kept");
            }
            return true;
        }
        return Fail("the damaged file cannot be kept");
    }

    void RemoveStaleTemporaries() {
        DIR* d = ::opendir(dir_.c_str());
        if (!d) return;
        std::string prefix = std::string(kFileName) + ".tmp.";
        while (dirent* e = ::readdir(d))
            if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0)
                ::unlinkat(::dirfd(d), e->d_name, 0);
        ::closedir(d);
    }

    bool Flush() {
        if (pending_.empty()) {
            writeFailed = false;
            return true;
        }
        failureWhy.clear();
        bool ok = FlushLocked();
        writeFailed = !ok;
        if (!ok && !failureTold) {
            failureTold = failureToTell = true;
            failureNote = file_ + "\nThe settings file cannot be written: " +
                          (failureWhy.empty() ? std::string("it cannot be saved") : failureWhy) +
                          ". Until it can, changed settings last only while the reader runs.";
        }
        return ok;
    }

    // Records why a write failed; returns false for the caller to pass on.
    bool Fail(std::string why) {
        if (failureWhy.empty()) failureWhy = std::move(why);
        return false;
    }
    bool FailErrno(const char* what) { return Fail(std::string(what) + ": " + std::strerror(errno)); }

    bool FlushLocked() {
        return Locked([this] { return WriteFile(); });
    }

public:
    // Keeps a damaged file's copy now, before any write: the reader names it at start-up.
    bool KeepDamagedNow() {
        return Locked([this] {
            if (StatPath(file_) != id_) Reload();
            if (!damaged_ || !readable_) return true;
            if (!KeepDamagedCopy()) return false;
            damaged_ = false;  // kept: the next rewrite need not keep it again
            raw_.clear();
            id_ = StatPath(file_);  // the link changed its inode's time, not its text
            return true;
        });
    }

private:
    // Runs f under the advisory lock that every writing instance takes.
    template <class F>
    bool Locked(F f) {
        std::error_code ec;
        std::filesystem::create_directories(dir_, ec);
        int lock = ::open((dir_ + "/" + kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock < 0) return FailErrno("its folder cannot be written");
        auto deadline = std::chrono::steady_clock::now() + kLockWait;
        while (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > deadline) {
                bool busy = errno == EWOULDBLOCK || errno == EINTR;
                if (busy) Fail("another running reader holds it locked");
                else FailErrno("it cannot be locked");
                ::close(lock);
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        bool ok = f();
        ::close(lock);  // releases the lock
        return ok;
    }

    // With the lock held: the file as it is now, plus our writes, replaces the file.
    bool WriteFile() {
        if (StatPath(file_) != id_) Reload();
        if (damaged_ && !KeepDamagedCopy()) return false;
        if (!cleaned_) {
            RemoveStaleTemporaries();
            cleaned_ = true;
        }
        std::string text = regfile::Serialize(tree_);
        std::string temp = file_ + ".tmp." + std::to_string(::getpid());
        int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) return FailErrno("its folder cannot be written");
        // The file keeps the permissions it had, so it and a kept damaged copy never differ.
        ::fchmod(fd, mode_);
        bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
        ok = ::close(fd) == 0 && ok;
        if (!ok) FailErrno("it cannot be written");
        if (ok && beforeRename && !beforeRename()) return Fail("the write was cut short");  // as if we died here
        if (ok && ::rename(temp.c_str(), file_.c_str()) != 0) ok = FailErrno("it cannot be replaced");
        if (!ok) {
            ::unlink(temp.c_str());
            return false;
        }
        SyncDirectory(dir_);
        id_ = StatPath(file_);
        damaged_ = false;
        raw_.clear();
        pending_.clear();
        return true;
    }

    std::string file_, dir_;
    Tree tree_;
    std::vector<Op> pending_;
    FileId id_;
    bool loaded_ = false;
    bool damaged_ = false;   // the file has lines we could not read
    bool readable_ = true;   // we could read the file at all
    bool cleaned_ = false;
    std::string raw_;        // the damaged file's bytes, for the copy
    mode_t mode_ = 0600;     // the file's permissions as we found them; ours when it is new
    int batchDepth_ = 0;
};

Store& TheStore() {
    static Store store;
    return store;
}

// Says once that the settings cannot be saved. Called with the store unlocked: the box
// lets events through, and they may read or write settings.
void TellWriteFailure() {
    std::string note;
    {
        Store& s = TheStore();
        std::lock_guard g(s.mutex);
        if (!s.failureToTell) return;
        s.failureToTell = false;
        note = s.failureNote;
    }
    ShowMessageBox("Settings cannot be saved", note, mbOK, TMsgKind::Warning);
}

// Runs a change under the store's lock, then tells of a write that failed.
template <class F>
bool Change(F f) {
    bool ok;
    {
        Store& s = TheStore();
        std::lock_guard g(s.mutex);
        s.Sync();
        ok = f(s);
    }
    TellWriteFailure();
    return ok;
}

// A key path as the file keeps it, or nullopt when it cannot be stored.
std::optional<std::vector<std::string>> Resolve(bool open, const std::string& current, const std::string& key) {
    std::vector<std::string> parts;
    if (key.empty() || key[0] != '\\') parts = regfile::SplitPath(current);
    if (!open) parts.clear();
    for (auto& p : regfile::SplitPath(key)) parts.push_back(std::move(p));
    if (parts.size() > regfile::kMaxDepth) return std::nullopt;
    for (const auto& p : parts)
        if (p.find('\0') != std::string::npos) return std::nullopt;
    return parts;
}

std::string JoinPath(const std::vector<std::string>& parts) {
    std::string r;
    for (const auto& p : parts) {
        if (!r.empty()) r += '\\';
        r += p;
    }
    return r;
}

// REG_SZ-like: a string ends at its first NUL.
std::string UpToNul(const std::string& s) { return s.substr(0, s.find('\0')); }

}  // namespace

std::string RegistryDirectory() {
    if (const char* d = std::getenv("VELLICOR_CONFIG_DIR"); d && *d) return d;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) return std::string(x) + "/vellicor";
    const char* h = std::getenv("HOME");
    return std::string(h && *h ? h : ".") + "/.config/vellicor";
}

std::string RegistryFilePath() { return RegistryDirectory() + "/" + kFileName; }

void ResetRegistryStore() {
    Store& s = TheStore();
    std::lock_guard g(s.mutex);
    s.Reset();
}

std::string TakeRegistryUnreadableNote() {
    Store& s = TheStore();
    std::lock_guard g(s.mutex);
    if (s.unreadableWhy.empty()) return {};
    std::string note = "The settings file could not be read: " + s.unreadableWhy + ". Every setting has its default";
    note += s.keptCopy.empty() ? "." : "; the file is kept as " + s.keptCopy + ".";
    s.unreadableWhy.clear();
    s.keptCopy.clear();
    return note;
}

std::string TakeRegistryDamageNote() {
    Store& s = TheStore();
    std::lock_guard g(s.mutex);
    s.Sync();
    if (s.damagedLines == 0 || s.damageTold) return {};
    s.damageTold = true;
    if (s.keptCopy.empty()) s.KeepDamagedNow();
    const size_t lines = s.damagedLines;
    std::string note = "The settings file is damaged: " + std::to_string(lines) + (lines == 1 ? " line" : " lines") +
                       " could not be read, and the settings on " + (lines == 1 ? "it" : "them") +
                       " have their defaults; every other value was kept.";
    if (!s.keptCopy.empty()) note += " The file as it was is kept as " + s.keptCopy + ".";
    s.keptCopy.clear();
    return note;
}

bool RegistryWriteFailed() {
    Store& s = TheStore();
    std::lock_guard g(s.mutex);
    return s.writeFailed;
}

namespace registry_testing {
void SetBeforeRenameHook(std::function<bool()> hook) {
    Store& s = TheStore();
    std::lock_guard g(s.mutex);
    s.beforeRename = std::move(hook);
}
}  // namespace registry_testing

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    auto parts = Resolve(open_, path_, key);
    if (!parts) return false;
    const bool exists = Change([&](Store& s) {
        if (Walk(s.tree(), root_, *parts, false)) return true;
        if (canCreate) s.Commit(Op{Op::CreateKey, root_, *parts, {}, {}, {}, 0});
        return canCreate;
    });
    if (!exists) return false;
    open_ = true;
    path_ = JoinPath(*parts);
    return true;
}

void TRegistry::CloseKey() {
    open_ = false;
    path_.clear();
}

bool TRegistry::KeyExists(const std::string& key) const {
    auto parts = Resolve(open_, path_, key);
    if (!parts) return false;
    Store& s = TheStore();
    std::lock_guard g(s.mutex);
    s.Sync();
    return Walk(s.tree(), root_, *parts, false) != nullptr;
}

bool TRegistry::DeleteKey(const std::string& key) {
    auto parts = Resolve(open_, path_, key);
    if (!parts || parts->empty()) return false;
    return Change([&](Store& s) { return s.Commit(Op{Op::DeleteKey, root_, *parts, {}, {}, {}, 0}); });
}

bool TRegistry::ValueExists(const std::string& name) const { return GetDataType(name) != TRegDataType::rdUnknown; }

namespace {
// Looks one value of a key up under the store's lock; f gets null when it is missing.
template <class F>
auto WithValue(HKEY root, const std::string& path, const std::string& name, F f) {
    Store& s = TheStore();
    std::lock_guard g(s.mutex);
    s.Sync();
    Key* k = Walk(s.tree(), root, regfile::SplitPath(path), false);
    return f(k ? k->FindValue(name) : nullptr);
}
}  // namespace

TRegDataType TRegistry::GetDataType(const std::string& name) const {
    if (!open_) return TRegDataType::rdUnknown;
    return WithValue(root_, path_, name,
                     [](const regfile::Value* v) { return v ? v->type : TRegDataType::rdUnknown; });
}

std::vector<std::string> TRegistry::GetValueNames() const {
    std::vector<std::string> r;
    if (!open_) return r;
    Store& s = TheStore();
    std::lock_guard g(s.mutex);
    s.Sync();
    if (Key* k = Walk(s.tree(), root_, regfile::SplitPath(path_), false))
        for (const auto& v : k->Values()) r.push_back(v.name);
    return r;
}

std::vector<std::string> TRegistry::GetKeyNames() const {
    std::vector<std::string> r;
    if (!open_) return r;
    Store& s = TheStore();
    std::lock_guard g(s.mutex);
    s.Sync();
    if (Key* k = Walk(s.tree(), root_, regfile::SplitPath(path_), false))
        for (const auto& sub : k->Keys()) r.push_back(sub->name);
    return r;
}

bool TRegistry::DeleteValue(const std::string& name) {
    if (!open_) return false;
    return Change([&](Store& s) {
        return s.Commit(Op{Op::DeleteValue, root_, regfile::SplitPath(path_), UpToNul(name), {}, {}, 0});
    });
}

std::optional<std::string> TRegistry::ReadString(const std::string& name) const {
    if (!open_) return std::nullopt;
    return WithValue(root_, path_, name, [](const regfile::Value* v) -> std::optional<std::string> {
        if (!v || v->type != TRegDataType::rdString) return std::nullopt;
        return v->s;
    });
}

std::optional<int32_t> TRegistry::ReadInteger(const std::string& name) const {
    if (!open_) return std::nullopt;
    return WithValue(root_, path_, name, [](const regfile::Value* v) -> std::optional<int32_t> {
        if (!v || v->type != TRegDataType::rdInteger) return std::nullopt;
        return v->i;
    });
}

bool TRegistry::WriteString(const std::string& name, const std::string& value) {
    if (!open_) return false;
    return Change([&](Store& s) {
        return s.Commit(Op{Op::SetValue, root_, regfile::SplitPath(path_), UpToNul(name), TRegDataType::rdString,
                           UpToNul(value), 0});
    });
}

bool TRegistry::WriteInteger(const std::string& name, int32_t value) {
    if (!open_) return false;
    return Change([&](Store& s) {
        return s.Commit(Op{Op::SetValue, root_, regfile::SplitPath(path_), UpToNul(name), TRegDataType::rdInteger,
                           {}, value});
    });
}

TRegistryBatch::TRegistryBatch() {
    Store& s = TheStore();
    std::lock_guard g(s.mutex);
    s.BeginBatch();
}

TRegistryBatch::~TRegistryBatch() {
    Change([](Store& s) {
        s.EndBatch();
        return true;
    });
}

}  // namespace vellicor
