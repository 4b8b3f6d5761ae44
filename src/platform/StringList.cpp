#include "platform/StringList.h"

#include <algorithm>

#include "platform/Text.h"

namespace vellicor {

int TStringList::Compare(std::string_view a, std::string_view b) const {
    return caseSensitive_ ? AnsiCompareStr(a, b) : AnsiCompareText(a, b);
}

void TStringList::Put(int i, std::string s) {
    if (sorted_) return;
    items_.at(static_cast<size_t>(i)) = std::move(s);
}

int TStringList::Add(std::string s) {
    if (!sorted_) {
        items_.push_back(std::move(s));
        return Count() - 1;
    }
    int index = 0;
    if (Find(s, index) && dups_ != TDuplicates::dupAccept) return -1;
    items_.insert(items_.begin() + index, std::move(s));
    return index;
}

void TStringList::Insert(int index, std::string s) {
    if (sorted_) {
        Add(std::move(s));
        return;
    }
    index = std::clamp(index, 0, Count());
    items_.insert(items_.begin() + index, std::move(s));
}

void TStringList::Delete(int index) {
    if (index >= 0 && index < Count()) items_.erase(items_.begin() + index);
}

int TStringList::IndexOf(std::string_view s) const {
    if (sorted_) {
        int i = 0;
        return Find(s, i) ? i : -1;
    }
    for (int i = 0; i < Count(); ++i)
        if (Compare(items_[static_cast<size_t>(i)], s) == 0) return i;
    return -1;
}

bool TStringList::Find(std::string_view s, int& index) const {
    int lo = 0, hi = Count() - 1;
    bool found = false;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        int c = Compare(items_[static_cast<size_t>(mid)], s);
        if (c < 0) {
            lo = mid + 1;
        } else {
            hi = mid - 1;
            if (c == 0) {
                found = true;
                if (dups_ != TDuplicates::dupAccept) lo = mid;
            }
        }
    }
    index = lo;
    return found;
}

void TStringList::SetSorted(bool sorted) {
    if (sorted && !sorted_) {
        sorted_ = true;
        Sort();
    }
    sorted_ = sorted;
}

void TStringList::SetCaseSensitive(bool cs) {
    caseSensitive_ = cs;
    if (sorted_) Sort();
}

void TStringList::Sort() {
    std::stable_sort(items_.begin(), items_.end(),
                     [this](const std::string& a, const std::string& b) { return Compare(a, b) < 0; });
}

std::string TStringList::CommaText() const {
    std::string out;
    for (size_t i = 0; i < items_.size(); ++i) {
        if (i) out += ',';
        const std::string& s = items_[i];
        bool quote = false;
        for (unsigned char c : s)
            if (c <= ' ' || c == ',' || c == '"') quote = true;
        if (!quote) {
            out += s;
            continue;
        }
        out += '"';
        for (char c : s) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
    }
    return out;
}

void TStringList::SetCommaText(std::string_view text) {
    Clear();
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ' && text[i] != '\0') ++i;
    };
    skipBlanks();
    while (i < text.size()) {
        std::string item;
        if (text[i] == '"') {
            ++i;
            while (i < text.size()) {
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        item += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                item += text[i++];
            }
            // Anything glued after the closing quote belongs to the item up to a separator.
            while (i < text.size() && static_cast<unsigned char>(text[i]) > ' ' && text[i] != ',') item += text[i++];
        } else {
            while (i < text.size() && static_cast<unsigned char>(text[i]) > ' ' && text[i] != ',') item += text[i++];
        }
        Add(std::move(item));
        skipBlanks();
        if (i < text.size() && text[i] == ',') {
            ++i;
            skipBlanks();
            if (i >= text.size()) Add(std::string());  // a trailing comma ends in an empty item
        }
    }
}

std::string TStringList::Text() const {
    std::string out;
    for (const auto& s : items_) {
        out += s;
        out += '\n';
    }
    return out;
}

void TStringList::SetText(std::string_view text) {
    Clear();
    size_t i = 0;
    while (i < text.size()) {
        size_t j = i;
        while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
        Add(std::string(text.substr(i, j - i)));
        if (j < text.size() && text[j] == '\r') ++j;
        if (j < text.size() && text[j] == '\n') ++j;
        i = j;
    }
}

}  // namespace vellicor
