#include "platform/Clipboard.h"

#include <mutex>

namespace vellicor {

namespace {

std::mutex g_lock;
std::vector<std::string> g_names;  // format 0xC000 + i
TMemoryClipboard g_memory;
IClipboard* g_clipboard = nullptr;

}  // namespace

TClipboardFormat RegisterClipboardFormat(const std::string& name) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (size_t i = 0; i < g_names.size(); ++i)
        if (g_names[i] == name) return TClipboardFormat(0xC000 + i);
    g_names.push_back(name);
    return TClipboardFormat(0xC000 + g_names.size() - 1);
}

std::string ClipboardFormatName(TClipboardFormat format) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (format >= 0xC000 && format - 0xC000 < g_names.size()) return g_names[format - 0xC000];
    return {};
}

bool TMemoryClipboard::SetData(TClipboardFormat format, TClipboardHandle data) {
    if (!data) return false;
    for (auto& item : FItems)
        if (item.first == format) {
            item.second = std::move(data);
            return true;
        }
    FItems.emplace_back(format, std::move(data));
    return true;
}

TClipboardHandle TMemoryClipboard::GetData(TClipboardFormat format) {
    for (auto& item : FItems)
        if (item.first == format) return item.second;
    return nullptr;
}

bool TMemoryClipboard::HasFormat(TClipboardFormat format) { return GetData(format) != nullptr; }

void TMemoryClipboard::Clear() { FItems.clear(); }

IClipboard& Clipboard() { return g_clipboard ? *g_clipboard : g_memory; }

void SetClipboard(IClipboard* clipboard) { g_clipboard = clipboard; }

}  // namespace vellicor
