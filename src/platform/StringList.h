#pragma once
// A list of strings with the class library's sorted/duplicates behaviour and CommaText rules.
#include <string>
#include <string_view>
#include <vector>

namespace vellicor {

enum class TDuplicates { dupIgnore, dupAccept, dupError };

class TStringList {
public:
    TStringList() = default;

    int Count() const { return static_cast<int>(items_.size()); }
    const std::string& operator[](int i) const { return items_.at(static_cast<size_t>(i)); }
    const std::string& Strings(int i) const { return items_.at(static_cast<size_t>(i)); }
    void Put(int i, std::string s);  // not allowed on a sorted list (ignored there)

    // Returns the index, or -1 when a duplicate is ignored or refused.
    int Add(std::string s);
    void Insert(int index, std::string s);  // unsorted lists only
    void Delete(int index);
    void Clear() { items_.clear(); }
    int IndexOf(std::string_view s) const;
    // Binary search in a sorted list: true if found; index is where s is or would go.
    bool Find(std::string_view s, int& index) const;

    bool Sorted() const { return sorted_; }
    void SetSorted(bool sorted);
    TDuplicates Duplicates() const { return dups_; }
    void SetDuplicates(TDuplicates d) { dups_ = d; }
    bool CaseSensitive() const { return caseSensitive_; }
    void SetCaseSensitive(bool cs);
    void Sort();

    // Items holding a character <= ' ', a comma or a double quote are quoted (quotes doubled);
    // reading splits on commas and on unquoted blanks.
    std::string CommaText() const;
    void SetCommaText(std::string_view text);
    std::string Text() const;  // items joined by "\n"
    void SetText(std::string_view text);  // splits on CR, LF or CRLF

    const std::vector<std::string>& Items() const { return items_; }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    int Compare(std::string_view a, std::string_view b) const;
    std::vector<std::string> items_;
    bool sorted_ = false;
    bool caseSensitive_ = false;
    TDuplicates dups_ = TDuplicates::dupIgnore;
};

}  // namespace vellicor
