// Message wording: the numbered-placeholder formatter, the string-table
// loader and the small value formatters that turn numbers into message text.
#pragma once

#include "base/win.h"

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

// Replaces "%1".."%N" in format with the arguments (1-based). A placeholder
// whose number is out of range stays visible as written; a '%' without a
// number is copied. There is no escape syntax.
std::wstring FormatMsg(const std::wstring& format, const std::vector<std::wstring>& args);

template <class... A>
using EnableIfTexts = std::enable_if_t<(std::is_convertible_v<const A&, std::wstring> && ...)>;

template <class... A, class = EnableIfTexts<A...>>
std::wstring FormatMsg(const std::wstring& format, const A&... args) {
  return FormatMsg(format, std::vector<std::wstring>{std::wstring(args)...});
}

// Module whose string table LoadMsg reads. Defaults to the executable.
void SetMsgModule(HMODULE module);
HMODULE GetMsgModule();

// Text of string-table entry `id`; when the entry is missing or empty, a
// fallback text that names the id and carries four placeholders.
std::wstring LoadMsg(UINT id, bool* loaded = nullptr);

// Value formatters and the integer parser.
std::wstring HexText(std::uint32_t value);     // "0x%x"
std::wstring DecText(std::int32_t value);      // "%d"
std::wstring UInt64Text(std::uint64_t value);  // "%I64u"
std::wstring BoolText(bool value);             // "true" / "false"
// wcstol base 10; throws CExc when no character was consumed. Trailing
// characters are ignored and overflow is not reported.
long ParseInt(const std::wstring& text);

// Narrow <-> wide with the calling thread's ANSI code page.
std::string ToAnsi(const std::wstring& text);
std::wstring FromAnsi(const std::string& text);

// Ordinal comparison that ignores case (the system's upper-case table).
bool EqualNoCase(const wchar_t* a, std::size_t aLength, const wchar_t* b, std::size_t bLength);
inline bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
  return EqualNoCase(a.data(), a.size(), b.data(), b.size());
}

// A FILETIME as one 64-bit count of 100-ns units.
inline std::uint64_t FileTimeToUInt64(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// A new GUID as "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (lower case). Throws
// CComExc when no GUID is made, CRpcExc when it cannot be turned into text.
std::wstring NewBracedGuid();
