// In-memory placeholder of the settings store; the file-backed store replaces it.
#include "platform/Registry.h"

#include <cstdlib>
#include <map>
#include <memory>

#include "platform/Text.h"

namespace vellicor {

namespace {

struct Value {
    std::string name;
    TRegDataType type = TRegDataType::rdUnknown;
    std::string s;
    int32_t i = 0;
};

struct Key {
    std::string name;
    std::vector<Value> values;
    std::vector<std::unique_ptr<Key>> subkeys;
    Value* FindValue(const std::string& n) {
        for (auto& v : values)
            if (SameText(v.name, n)) return &v;
        return nullptr;
    }
    Key* FindKey(const std::string& n) {
        for (auto& k : subkeys)
            if (SameText(k->name, n)) return k.get();
        return nullptr;
    }
};

Key g_roots[3];

std::vector<std::string> SplitPath(const std::string& p) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : p) {
        if (c == '\\') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

Key* Walk(HKEY root, const std::string& path, bool create) {
    Key* k = &g_roots[static_cast<int>(root)];
    for (const auto& part : SplitPath(path)) {
        Key* next = k->FindKey(part);
        if (!next) {
            if (!create) return nullptr;
            k->subkeys.push_back(std::make_unique<Key>());
            next = k->subkeys.back().get();
            next->name = part;
        }
        k = next;
    }
    return k;
}

std::string Join(const std::string& base, const std::string& key) {
    if (!key.empty() && key[0] == '\\') return key;
    return base + "\\" + key;
}

}  // namespace

std::string RegistryDirectory() {
    if (const char* d = std::getenv("VELLICOR_CONFIG_DIR"); d && *d) return d;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) return std::string(x) + "/vellicor";
    const char* h = std::getenv("HOME");
    return std::string(h ? h : ".") + "/.config/vellicor";
}
std::string RegistryFilePath() { return RegistryDirectory() + "/registry.txt"; }
void ResetRegistryStore() {
    for (auto& r : g_roots) {
        r.values.clear();
        r.subkeys.clear();
    }
}
bool RegistryWriteFailed() { return false; }

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    std::string p = open_ ? Join(path_, key) : Join("", key);
    if (!Walk(root_, p, canCreate)) return false;
    open_ = true;
    path_ = p;
    return true;
}
void TRegistry::CloseKey() {
    open_ = false;
    path_.clear();
}
bool TRegistry::KeyExists(const std::string& key) const { return Walk(root_, open_ ? Join(path_, key) : Join("", key), false); }
bool TRegistry::DeleteKey(const std::string& key) {
    auto parts = SplitPath(open_ ? Join(path_, key) : Join("", key));
    if (parts.empty()) return false;
    std::string leaf = parts.back();
    parts.pop_back();
    std::string parent;
    for (auto& p : parts) parent += "\\" + p;
    Key* k = Walk(root_, parent, false);
    if (!k) return false;
    for (auto it = k->subkeys.begin(); it != k->subkeys.end(); ++it)
        if (SameText((*it)->name, leaf)) {
            k->subkeys.erase(it);
            return true;
        }
    return false;
}
bool TRegistry::ValueExists(const std::string& name) const { return GetDataType(name) != TRegDataType::rdUnknown; }
TRegDataType TRegistry::GetDataType(const std::string& name) const {
    if (!open_) return TRegDataType::rdUnknown;
    Key* k = Walk(root_, path_, false);
    Value* v = k ? k->FindValue(name) : nullptr;
    return v ? v->type : TRegDataType::rdUnknown;
}
std::vector<std::string> TRegistry::GetValueNames() const {
    std::vector<std::string> r;
    if (Key* k = open_ ? Walk(root_, path_, false) : nullptr)
        for (auto& v : k->values) r.push_back(v.name);
    return r;
}
std::vector<std::string> TRegistry::GetKeyNames() const {
    std::vector<std::string> r;
    if (Key* k = open_ ? Walk(root_, path_, false) : nullptr)
        for (auto& s : k->subkeys) r.push_back(s->name);
    return r;
}
bool TRegistry::DeleteValue(const std::string& name) {
    Key* k = open_ ? Walk(root_, path_, false) : nullptr;
    if (!k) return false;
    for (auto it = k->values.begin(); it != k->values.end(); ++it)
        if (SameText(it->name, name)) {
            k->values.erase(it);
            return true;
        }
    return false;
}
std::optional<std::string> TRegistry::ReadString(const std::string& name) const {
    Key* k = open_ ? Walk(root_, path_, false) : nullptr;
    Value* v = k ? k->FindValue(name) : nullptr;
    if (!v || v->type != TRegDataType::rdString) return std::nullopt;
    return v->s;
}
std::optional<int32_t> TRegistry::ReadInteger(const std::string& name) const {
    Key* k = open_ ? Walk(root_, path_, false) : nullptr;
    Value* v = k ? k->FindValue(name) : nullptr;
    if (!v || v->type != TRegDataType::rdInteger) return std::nullopt;
    return v->i;
}
static Value* Slot(HKEY root, const std::string& path, const std::string& name) {
    Key* k = Walk(root, path, true);
    Value* v = k->FindValue(name);
    if (!v) {
        Value nv;
        nv.name = name;
        k->values.push_back(nv);
        v = &k->values.back();
    }
    return v;
}
bool TRegistry::WriteString(const std::string& name, const std::string& value) {
    if (!open_) return false;
    Value* v = Slot(root_, path_, name);
    v->type = TRegDataType::rdString;
    v->s = value;
    return true;
}
bool TRegistry::WriteInteger(const std::string& name, int32_t value) {
    if (!open_) return false;
    Value* v = Slot(root_, path_, name);
    v->type = TRegDataType::rdInteger;
    v->i = value;
    return true;
}
TRegistryBatch::TRegistryBatch() = default;
TRegistryBatch::~TRegistryBatch() = default;

}  // namespace vellicor
