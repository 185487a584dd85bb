#include "base/msg.h"

#include "base/exc.h"

#include <objbase.h>
#include <rpc.h>

#include <cwchar>
#include <cstdio>

std::wstring FormatMsg(const std::wstring& format, const std::vector<std::wstring>& args) {
  std::wstring result;
  result.reserve(format.size() + 16 * args.size());
  const wchar_t* p = format.c_str();
  const wchar_t* const end = p + format.size();
  while (p < end) {
    if (*p != L'%') {
      result += *p++;
      continue;
    }
    ++p;
    wchar_t* after = nullptr;
    const long n = std::wcstol(p, &after, 10);
    if (after == p) {
      result += L'%';
      continue;
    }
    if (n < 1 || static_cast<unsigned long>(n) > args.size()) {
      result += L'%';
      result += std::to_wstring(n);
    } else {
      result += args[static_cast<size_t>(n - 1)];
    }
    p = after;
  }
  return result;
}

namespace {
HMODULE g_msgModule = nullptr;
}

void SetMsgModule(HMODULE module) { g_msgModule = module; }

HMODULE GetMsgModule() { return g_msgModule ? g_msgModule : ::GetModuleHandleW(nullptr); }

std::wstring LoadMsg(UINT id, bool* loaded) {
  const wchar_t* text = nullptr;
  // With a buffer size of 0 the call hands out a pointer into the read-only
  // resource, so there is no length limit.
  const int length = ::LoadStringW(GetMsgModule(), id, reinterpret_cast<LPWSTR>(&text), 0);
  if (length > 0 && text) {
    if (loaded) *loaded = true;
    return std::wstring(text, static_cast<size_t>(length));
  }
  if (loaded) *loaded = false;
  return L"Cannot load a string from the strings table. String ID: " + std::to_wstring(id) +
         L"Arguments: %1, %2, %3, %4.";
}

std::wstring HexText(std::uint32_t value) {
  wchar_t buffer[16];
  std::swprintf(buffer, 16, L"0x%x", static_cast<unsigned>(value));
  return buffer;
}

std::wstring DecText(std::int32_t value) { return std::to_wstring(value); }

std::wstring UInt64Text(std::uint64_t value) { return std::to_wstring(value); }

std::wstring BoolText(bool value) { return value ? L"true" : L"false"; }

long ParseInt(const std::wstring& text) {
  const wchar_t* begin = text.c_str();
  wchar_t* end = nullptr;
  const long value = std::wcstol(begin, &end, 10);
  if (end == begin) {
    throw CExc(L"Cannot unserialize a string value to integer. String: [%1].", text, E_FAIL);
  }
  return value;
}

std::string ToAnsi(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), &result[0], size,
                          nullptr, nullptr);
  }
  return result;
}

std::wstring FromAnsi(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size =
      ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) {
    ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), &result[0], size);
  }
  return result;
}

bool EqualNoCase(const wchar_t* a, std::size_t aLength, const wchar_t* b, std::size_t bLength) {
  return ::CompareStringOrdinal(a, static_cast<int>(aLength), b, static_cast<int>(bLength), TRUE) == CSTR_EQUAL;
}

std::wstring NewBracedGuid() {
  GUID guid = {};
  const HRESULT hr = ::CoCreateGuid(&guid);
  if (FAILED(hr)) throw CComExc(L"Cannot create a GUID.", hr);
  RPC_WSTR text = nullptr;
  const RPC_STATUS status = ::UuidToStringW(&guid, &text);
  if (status != RPC_S_OK) throw CRpcExc(L"Cannot convert a GUID to text.", status);
  std::wstring braced = L"{" + std::wstring(reinterpret_cast<const wchar_t*>(text)) + L"}";
  ::RpcStringFreeW(&text);
  return braced;
}
