#pragma once
// String and file-name helpers. Names may hold bytes that are not UTF-8; case folding is ASCII only.
// File-name helpers treat both '/' and '\' as separators (archive members use either).
#include <cstdint>
#include <string>
#include <string_view>

namespace vellicor {

int AnsiCompareText(std::string_view a, std::string_view b);  // <0, 0, >0, case-insensitive
int AnsiCompareStr(std::string_view a, std::string_view b);   // case-sensitive, bytewise
bool SameText(std::string_view a, std::string_view b);
std::string LowerCase(std::string_view s);
std::string UpperCase(std::string_view s);
std::string Trim(std::string_view s);

inline bool IsPathDelimiter(char c) { return c == '/' || c == '\\'; }
std::string ExtractFileName(std::string_view path);   // after the last separator
std::string ExtractFilePath(std::string_view path);   // up to and including the last separator
std::string ExtractFileDir(std::string_view path);    // ExtractFilePath without the trailing separator
std::string ExtractFileExt(std::string_view path);    // ".ext" of the name part, or ""
std::string ChangeFileExt(std::string_view path, std::string_view ext);
std::string IncludeTrailingPathDelimiter(std::string_view path);  // adds '/'
std::string ExcludeTrailingPathDelimiter(std::string_view path);

bool FileExists(const std::string& path);       // a regular file (not a directory)
bool DirectoryExists(const std::string& path);
int64_t FileSize(const std::string& path);      // -1 when missing
std::string ExpandFileName(const std::string& path);  // absolute, without changing the working directory

std::string IntToStr(int64_t v);
std::string IntToHex(uint64_t v, int digits);   // upper case, zero padded
int StrToIntDef(std::string_view s, int def);

// Appends a code point below 0x10000 as UTF-8.
void AppendUtf8(std::string& out, uint32_t cp);

// A name as a message may show it: one longer than Most characters keeps its start and
// its end (a file's name) around an ellipsis.
std::string ShortenedName(std::string_view Name, size_t Most = 80);

// Text files may be UTF-8 (with or without BOM) or a Windows code page: returns UTF-8.
std::string DecodeTextFile(std::string_view bytes);

}  // namespace vellicor
