#pragma once
// The settings store in place of the system registry: a text file of our own under
// ${XDG_CONFIG_HOME:-~/.config}/vellicor/ (VELLICOR_CONFIG_DIR points it elsewhere).
// Keys are backslash paths under three roots; values are strings or 32-bit integers;
// names are case-insensitive with their case kept; values and sub-keys live in separate
// namespaces; the value named "" is the key's default value. Every write is on disk when
// the call returns (temporary file, fsync, rename) unless a TRegistryBatch is open, in
// which case the file is rewritten once when the outermost batch closes.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vellicor {

enum class HKEY { CLASSES_ROOT, CURRENT_USER, LOCAL_MACHINE };
enum class TRegDataType { rdUnknown, rdString, rdInteger };

// Where the store lives: the directory and the file in it.
std::string RegistryDirectory();
std::string RegistryFilePath();
// Drops the in-memory copy and any writes not yet on disk, so the next access reads the
// file again (tests; a new directory).
void ResetRegistryStore();
// The store is re-read whenever the file changed under it (another instance wrote it).
// Writes are made under an advisory lock on a lock file next to it and applied to the
// file as it is at that moment, so two instances never undo each other's writes.
// A file with unreadable lines is kept as RegistryFilePath() + ".damaged-N" before it
// is first rewritten. The file, a rewritten one and a kept copy alike, has the
// permissions the file had; a new one is private to its owner (0600).

// Once after the store found its file unreadable (too large, not a file, a read error):
// what happened and where the file was kept; empty otherwise.
std::string TakeRegistryUnreadableNote();
// Once a run after the store found lines of its file unreadable (and kept every value on
// the others): how many, and where the file as it was is kept (kept now when no write has
// kept it yet); empty otherwise.
std::string TakeRegistryDamageNote();

// Key access in the manner of the class library's registry object: open a key, then
// read and write its values. Paths may start with '\' (absolute from the root) or not.
class TRegistry {
public:
    explicit TRegistry(HKEY root = HKEY::CURRENT_USER) : root_(root) {}
    ~TRegistry() { CloseKey(); }
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    HKEY RootKey() const { return root_; }
    void SetRootKey(HKEY root) { CloseKey(); root_ = root; }

    // Opens key (relative to the current key when it does not start with '\').
    bool OpenKey(const std::string& key, bool canCreate);
    bool OpenKeyReadOnly(const std::string& key) { return OpenKey(key, false); }
    void CloseKey();
    bool IsOpen() const { return open_; }
    const std::string& CurrentPath() const { return path_; }  // "Software\Vellicor": no leading '\'
    bool KeyExists(const std::string& key) const;
    bool DeleteKey(const std::string& key);  // with all its sub-keys

    bool ValueExists(const std::string& name) const;
    TRegDataType GetDataType(const std::string& name) const;
    std::vector<std::string> GetValueNames() const;  // in stored order
    std::vector<std::string> GetKeyNames() const;
    bool DeleteValue(const std::string& name);

    // Reads: nullopt when the value is missing or of the other type.
    std::optional<std::string> ReadString(const std::string& name) const;
    std::optional<int32_t> ReadInteger(const std::string& name) const;
    // Writes: false when no key is open or the store cannot be written.
    bool WriteString(const std::string& name, const std::string& value);
    bool WriteInteger(const std::string& name, int32_t value);

private:
    HKEY root_;
    bool open_ = false;
    std::string path_;
};

// Groups writes: the file is rewritten once when the outermost batch ends.
class TRegistryBatch {
public:
    TRegistryBatch();
    ~TRegistryBatch();
    TRegistryBatch(const TRegistryBatch&) = delete;
    TRegistryBatch& operator=(const TRegistryBatch&) = delete;
};

// True when the last write could not be made durable (disk full, read-only directory,
// lock held too long by another instance). The change stays in memory and goes to disk
// with the next write that succeeds. The first failure of a run is told in a message box
// naming the file and why (ResetRegistryStore counts as a new run).
bool RegistryWriteFailed();

namespace registry_testing {
// Called after the temporary file is complete and synced, just before the rename;
// returning false abandons the write there, as a crash at that moment would.
void SetBeforeRenameHook(std::function<bool()> hook);
}  // namespace registry_testing

}  // namespace vellicor
