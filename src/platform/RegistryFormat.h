#pragma once
// The settings store's file: its in-memory tree, the parser and the writer.
//
//   ; comment
//   [HKEY_CURRENT_USER\Software\Vellicor]
//   "TwoPages"=dword:00000001
//   "LastDir"="/home/me/comics"
//   @="the key's default value"
//
// Strings are quoted with \\, \" and \xHH escapes for control bytes, so every byte but
// NUL survives; bytes from 0x80 up are written as they are. Key names in a header use
// %HH for control bytes and '%'. A line that cannot be read is skipped and counted, and
// the values under an unreadable header are skipped with it rather than given to the
// wrong key; every other value is kept.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/Registry.h"

namespace vellicor::regfile {

// Deeper key paths are refused: nothing needs them, and the writer and the tree's
// destruction recurse once per level.
constexpr size_t kMaxDepth = 256;

struct Value {
    std::string name;
    TRegDataType type = TRegDataType::rdString;
    std::string s;
    int32_t i = 0;
};

// Names are found case-insensitively through indexes on the folded name; order is kept.
class Key {
public:
    std::string name;

    const std::vector<Value>& Values() const { return values_; }
    const std::vector<std::unique_ptr<Key>>& Keys() const { return keys_; }

    Value* FindValue(std::string_view n);
    const Value* FindValue(std::string_view n) const;
    Value& SetValue(std::string_view n);  // finds or appends (an existing name keeps its case)
    bool EraseValue(std::string_view n);

    Key* FindKey(std::string_view n);
    const Key* FindKey(std::string_view n) const;
    Key& AddKey(std::string_view n);  // finds or appends
    bool EraseKey(std::string_view n);

    void Clear();

private:
    std::vector<Value> values_;
    std::unordered_map<std::string, size_t> valueIndex_;
    std::vector<std::unique_ptr<Key>> keys_;
    std::unordered_map<std::string, size_t> keyIndex_;
};

struct Tree {
    Key roots[3];
    Key& Root(HKEY r) { return roots[static_cast<int>(r)]; }
    const Key& Root(HKEY r) const { return roots[static_cast<int>(r)]; }
    void Clear();
};

const char* RootName(HKEY root);
std::optional<HKEY> RootFromName(std::string_view name);  // case-insensitive

// Splits a backslash path into its non-empty parts.
std::vector<std::string> SplitPath(std::string_view path);

std::string QuoteString(std::string_view s);
// Reads a quoted string starting at text[pos] == '"'; pos ends after the closing quote.
std::optional<std::string> UnquoteString(std::string_view text, size_t& pos);

// Fills tree from text (the tree is cleared first); returns the number of lines skipped.
size_t Parse(std::string_view text, Tree& tree);
std::string Serialize(const Tree& tree);

}  // namespace vellicor::regfile
