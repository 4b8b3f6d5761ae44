#include "platform/RegistryFormat.h"

#include "platform/Text.h"

namespace vellicor::regfile {

namespace {

const char* const kRootNames[3] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};
const char kHex[] = "0123456789abcdef";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string EscapeSegment(std::string_view s) {
    std::string r;
    r.reserve(s.size());
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || c == '%') {
            r += '%';
            r += kHex[c >> 4];
            r += kHex[c & 15];
        } else {
            r += ch;
        }
    }
    return r;
}

std::optional<std::string> UnescapeSegment(std::string_view s) {
    std::string r;
    r.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '%') {
            if (i + 2 >= s.size()) return std::nullopt;
            int hi = HexDigit(s[i + 1]), lo = HexDigit(s[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (c == '\0' || c == '\\') return std::nullopt;
        r += c;
    }
    if (r.empty()) return std::nullopt;
    return r;
}

// "[ROOT\seg\seg]" -> the key it names (created), or nullptr when the header is unreadable.
Key* ParseHeader(std::string_view line, Tree& tree) {
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') return nullptr;
    std::string_view body = line.substr(1, line.size() - 2);
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t i = 0; i <= body.size(); ++i) {
        if (i == body.size() || body[i] == '\\') {
            parts.push_back(body.substr(start, i - start));
            start = i + 1;
        }
    }
    if (parts.size() > kMaxDepth + 1) return nullptr;
    auto root = RootFromName(parts[0]);
    if (!root) return nullptr;
    std::vector<std::string> names;
    for (size_t i = 1; i < parts.size(); ++i) {
        auto n = UnescapeSegment(parts[i]);
        if (!n) return nullptr;
        names.push_back(std::move(*n));
    }
    Key* k = &tree.Root(*root);
    for (const auto& n : names) k = &k->AddKey(n);
    return k;
}

// "name"=data or @=data, added to key; false when the line is unreadable.
bool ParseValue(std::string_view line, Key& key) {
    size_t pos = 0;
    std::string name;
    if (line.size() >= 2 && line[0] == '@' && line[1] == '=') {
        pos = 1;
    } else if (!line.empty() && line[0] == '"') {
        auto n = UnquoteString(line, pos);
        if (!n) return false;
        name = std::move(*n);
    } else {
        return false;
    }
    if (pos >= line.size() || line[pos] != '=') return false;
    ++pos;
    Value v;
    if (pos < line.size() && line[pos] == '"') {
        auto s = UnquoteString(line, pos);
        if (!s) return false;
        v.type = TRegDataType::rdString;
        v.s = std::move(*s);
    } else if (line.substr(pos, 6) == "dword:") {
        pos += 6;
        uint32_t x = 0;
        size_t digits = 0;
        while (pos < line.size() && HexDigit(line[pos]) >= 0) {
            if (++digits > 8) return false;
            x = x * 16 + static_cast<uint32_t>(HexDigit(line[pos]));
            ++pos;
        }
        if (digits == 0) return false;
        v.type = TRegDataType::rdInteger;
        v.i = static_cast<int32_t>(x);
    } else {
        return false;
    }
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    if (pos != line.size()) return false;
    Value& slot = key.SetValue(name);
    slot.type = v.type;
    slot.s = std::move(v.s);
    slot.i = v.i;
    return true;
}

void SerializeKey(const Key& k, const std::string& header, bool isRoot, std::string& out) {
    if (!k.Values().empty() || (!isRoot && k.Keys().empty())) {
        out += '[';
        out += header;
        out += "]\n";
        for (const auto& v : k.Values()) {
            if (v.name.empty())
                out += '@';
            else
                out += QuoteString(v.name);
            out += '=';
            if (v.type == TRegDataType::rdInteger) {
                auto x = static_cast<uint32_t>(v.i);
                out += "dword:";
                for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(x >> shift) & 15];
            } else {
                out += QuoteString(v.s);
            }
            out += '\n';
        }
    }
    for (const auto& sub : k.Keys()) SerializeKey(*sub, header + '\\' + EscapeSegment(sub->name), false, out);
}

}  // namespace

Value* Key::FindValue(std::string_view n) {
    auto it = valueIndex_.find(LowerCase(n));
    return it == valueIndex_.end() ? nullptr : &values_[it->second];
}
const Value* Key::FindValue(std::string_view n) const { return const_cast<Key*>(this)->FindValue(n); }

Value& Key::SetValue(std::string_view n) {
    std::string folded = LowerCase(n);
    auto it = valueIndex_.find(folded);
    if (it != valueIndex_.end()) return values_[it->second];
    valueIndex_.emplace(std::move(folded), values_.size());
    values_.emplace_back();
    values_.back().name = std::string(n);
    return values_.back();
}

bool Key::EraseValue(std::string_view n) {
    auto it = valueIndex_.find(LowerCase(n));
    if (it == valueIndex_.end()) return false;
    size_t at = it->second;
    values_.erase(values_.begin() + static_cast<ptrdiff_t>(at));
    valueIndex_.erase(it);
    for (auto& [_, idx] : valueIndex_)
        if (idx > at) --idx;
    return true;
}

Key* Key::FindKey(std::string_view n) {
    auto it = keyIndex_.find(LowerCase(n));
    return it == keyIndex_.end() ? nullptr : keys_[it->second].get();
}
const Key* Key::FindKey(std::string_view n) const { return const_cast<Key*>(this)->FindKey(n); }

Key& Key::AddKey(std::string_view n) {
    std::string folded = LowerCase(n);
    auto it = keyIndex_.find(folded);
    if (it != keyIndex_.end()) return *keys_[it->second];
    keyIndex_.emplace(std::move(folded), keys_.size());
    keys_.push_back(std::make_unique<Key>());
    keys_.back()->name = std::string(n);
    return *keys_.back();
}

bool Key::EraseKey(std::string_view n) {
    auto it = keyIndex_.find(LowerCase(n));
    if (it == keyIndex_.end()) return false;
    size_t at = it->second;
    keys_.erase(keys_.begin() + static_cast<ptrdiff_t>(at));
    keyIndex_.erase(it);
    for (auto& [_, idx] : keyIndex_)
        if (idx > at) --idx;
    return true;
}

void Key::Clear() {
    values_.clear();
    valueIndex_.clear();
    keys_.clear();
    keyIndex_.clear();
}

void Tree::Clear() {
    for (auto& r : roots) r.Clear();
}

const char* RootName(HKEY root) { return kRootNames[static_cast<int>(root)]; }

std::optional<HKEY> RootFromName(std::string_view name) {
    for (int i = 0; i < 3; ++i)
        if (SameText(name, kRootNames[i])) return static_cast<HKEY>(i);
    return std::nullopt;
}

std::vector<std::string> SplitPath(std::string_view path) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '\\') {
            if (i > start) parts.emplace_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

std::string QuoteString(std::string_view s) {
    std::string r;
    r.reserve(s.size() + 2);
    r += '"';
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (ch == '\\' || ch == '"') {
            r += '\\';
            r += ch;
        } else if (c < 0x20 || c == 0x7F) {
            r += "\\x";
            r += kHex[c >> 4];
            r += kHex[c & 15];
        } else {
            r += ch;
        }
    }
    r += '"';
    return r;
}

std::optional<std::string> UnquoteString(std::string_view text, size_t& pos) {
    if (pos >= text.size() || text[pos] != '"') return std::nullopt;
    std::string r;
    for (size_t i = pos + 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            pos = i + 1;
            return r;
        }
        if (c == '\\') {
            if (++i >= text.size()) return std::nullopt;
            switch (text[i]) {
                case '\\': c = '\\'; break;
                case '"': c = '"'; break;
                case 'n': c = '\n'; break;
                case 'r': c = '\r'; break;
                case 't': c = '\t'; break;
                case 'x': {
                    if (i + 2 >= text.size()) return std::nullopt;
                    int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
                    if (hi < 0 || lo < 0) return std::nullopt;
                    c = static_cast<char>(hi * 16 + lo);
                    i += 2;
                    break;
                }
                default: return std::nullopt;
            }
        }
        if (c == '\0') return std::nullopt;
        r += c;
    }
    return std::nullopt;  // no closing quote
}

size_t Parse(std::string_view text, Tree& tree) {
    tree.Clear();
    size_t bad = 0;
    Key* current = nullptr;
    size_t start = 0;
    // A UTF-8 byte order mark from an editor is not damage.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") start = 3;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || IsBlank(line.back()))) line.remove_suffix(1);
        while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        // A header starts another key's values, even one that cannot be read (its values are
        // skipped with it, rather than given to the wrong key). Other damage that happens to
        // open with '[' costs only its own line.
        if (line[0] == '[' && (line.back() == ']' || SameText(line.substr(1, 5), "HKEY_"))) {
            current = ParseHeader(line, tree);
            if (!current) ++bad;
            continue;
        }
        if (!current) {
            // Values before any header, or under an unreadable one: their key is unknown.
            ++bad;
            continue;
        }
        if (!ParseValue(line, *current)) ++bad;
    }
    return bad;
}

std::string Serialize(const Tree& tree) {
    std::string out = "; Vellicor settings. Written by the program; edit only while it is not running.\n";
    for (int i = 0; i < 3; ++i) SerializeKey(tree.roots[i], kRootNames[i], true, out);
    return out;
}

}  // namespace vellicor::regfile
