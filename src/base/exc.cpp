#include "base/exc.h"

#include "base/handle.h"
#include "base/msg.h"

#include <oleauto.h>
#include <comdef.h>

std::int32_t CExc::ToHResult(std::int32_t code) {
  if (code > 0) {
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(code) & 0x0000FFFFu) | 0x80070000u);
  }
  return code;
}

CExc::CExc(const std::wstring& text, std::int32_t code) : m_code(ToHResult(code)) {
  m_messages.push_back(text);
}

CExc::CExc(const std::wstring& format, const std::wstring& a1, std::int32_t code)
    : CExc(FormatMsg(format, a1), code) {}

CExc::CExc(const std::wstring& format, const std::wstring& a1, const std::wstring& a2, std::int32_t code)
    : CExc(FormatMsg(format, a1, a2), code) {}

CExc::CExc(const std::wstring& format, const std::wstring& a1, const std::wstring& a2,
           const std::wstring& a3, std::int32_t code)
    : CExc(FormatMsg(format, a1, a2, a3), code) {}

std::shared_ptr<CExc> CExc::Clone() const { return std::make_shared<CExc>(*this); }

void CExc::Throw() const { throw *this; }

void CExc::AddContext(const std::wstring& text) { m_messages.push_front(text); }

void CExc::AddContext(UINT id) { m_messages.push_front(LoadMsg(id)); }

void CExc::AddContext(UINT id, const std::wstring& a1) { m_messages.push_front(FormatMsg(LoadMsg(id), a1)); }

void CExc::AddContext(UINT id, const std::wstring& a1, const std::wstring& a2) {
  m_messages.push_front(FormatMsg(LoadMsg(id), a1, a2));
}

void CExc::AddContext(UINT id, const std::wstring& a1, const std::wstring& a2, const std::wstring& a3) {
  m_messages.push_front(FormatMsg(LoadMsg(id), a1, a2, a3));
}

void CExc::AddContext(const std::wstring& format, const std::wstring& a1) {
  m_messages.push_front(FormatMsg(format, a1));
}

void CExc::AddContext(const std::wstring& format, const std::wstring& a1, const std::wstring& a2) {
  m_messages.push_front(FormatMsg(format, a1, a2));
}

void CExc::AddContext(const std::wstring& format, const std::wstring& a1, const std::wstring& a2,
                      const std::wstring& a3) {
  m_messages.push_front(FormatMsg(format, a1, a2, a3));
}

void CExc::AddContext(const std::wstring& format, const std::wstring& a1, const std::wstring& a2,
                      const std::wstring& a3, const std::wstring& a4) {
  m_messages.push_front(FormatMsg(format, a1, a2, a3, a4));
}

std::wstring CExc::GetFullText() const {
  std::wstring text;
  bool first = true;
  for (const std::wstring& line : m_messages) {
    if (!first) text += L"\r\n";
    first = false;
    const size_t size = line.size();
    if (size >= 2 && line[size - 2] == L'\r' && line[size - 1] == L'\n') {
      text.append(line, 0, size - 2);
    } else {
      text += line;
    }
  }
  return text;
}

std::wstring GetSystemText(DWORD code, bool ignoreInserts) {
  CLocalMem buffer;
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                      (ignoreInserts ? FORMAT_MESSAGE_IGNORE_INSERTS : 0);
  const DWORD length =
      ::FormatMessageW(flags, nullptr, code, 0x0400, reinterpret_cast<LPWSTR>(buffer.Receive()), 0, nullptr);
  if (length == 0 || !buffer) return std::wstring();
  return std::wstring(static_cast<const wchar_t*>(buffer.Get()), length);
}

// CWin32Exc. GetLastError is read before any text is built, so that building
// the message cannot change it.

static DWORD ResolveWin32Code(DWORD code) { return code == kUseLastError ? ::GetLastError() : code; }

CWin32Exc::CWin32Exc() { Init(::GetLastError()); }

CWin32Exc::CWin32Exc(DWORD code) { Init(ResolveWin32Code(code)); }

CWin32Exc::CWin32Exc(const std::wstring& text, DWORD code) {
  const DWORD error = ResolveWin32Code(code);
  Init(error);
  PushFront(text);
}

CWin32Exc::CWin32Exc(const std::wstring& format, const std::wstring& a1, DWORD code) {
  const DWORD error = ResolveWin32Code(code);
  Init(error);
  PushFront(FormatMsg(format, a1));
}

CWin32Exc::CWin32Exc(UINT id, DWORD code) {
  const DWORD error = ResolveWin32Code(code);
  Init(error);
  PushFront(LoadMsg(id));
}

void CWin32Exc::Init(DWORD code) {
  m_error = code;
  SetCode(ToHResult(static_cast<std::int32_t>(code)));
  PushFront(L"Win32 error:" + GetSystemText(code) + L" Code: " + DecText(static_cast<std::int32_t>(code)));
}

std::shared_ptr<CExc> CWin32Exc::Clone() const { return std::make_shared<CWin32Exc>(*this); }

void CWin32Exc::Throw() const { throw *this; }

CLockFileExc::CLockFileExc(DWORD code) : CWin32Exc(code) {}

CLockFileExc::CLockFileExc(const std::wstring& text, DWORD code) : CWin32Exc(text, code) {}

std::shared_ptr<CExc> CLockFileExc::Clone() const { return std::make_shared<CLockFileExc>(*this); }

void CLockFileExc::Throw() const { throw *this; }

// CComExc

static std::wstring TakeComErrorDescription() {
  IErrorInfo* info = nullptr;
  if (::GetErrorInfo(0, &info) != S_OK || !info) return std::wstring();
  BSTR description = nullptr;
  std::wstring text;
  if (SUCCEEDED(info->GetDescription(&description)) && description) {
    text.assign(description, ::SysStringLen(description));
  }
  ::SysFreeString(description);
  info->Release();
  return text;
}

CComExc::CComExc(HRESULT hr) { Init(hr); }

CComExc::CComExc(const std::wstring& text, HRESULT hr) {
  Init(hr);
  PushFront(text);
}

CComExc::CComExc(const std::wstring& format, const std::wstring& a1, HRESULT hr) {
  Init(hr);
  PushFront(FormatMsg(format, a1));
}

CComExc::CComExc(const std::wstring& format, const std::wstring& a1, const std::wstring& a2, HRESULT hr) {
  Init(hr);
  PushFront(FormatMsg(format, a1, a2));
}

CComExc::CComExc(const std::wstring& format, const std::wstring& a1, const std::wstring& a2,
                 const std::wstring& a3, HRESULT hr) {
  Init(hr);
  PushFront(FormatMsg(format, a1, a2, a3));
}

CComExc::CComExc(const std::wstring& format, const std::wstring& a1, const std::wstring& a2,
                 const std::wstring& a3, const std::wstring& a4, HRESULT hr) {
  Init(hr);
  PushFront(FormatMsg(format, a1, a2, a3, a4));
}

void CComExc::Init(HRESULT hr) {
  SetCode(static_cast<std::int32_t>(hr));
  PushFront(L"COM error: " + TakeComErrorDescription() + L" Code: " + HexText(static_cast<std::uint32_t>(hr)));
}

std::shared_ptr<CExc> CComExc::Clone() const { return std::make_shared<CComExc>(*this); }

void CComExc::Throw() const { throw *this; }

// CRpcExc

CRpcExc::CRpcExc(long status) { Init(status); }

CRpcExc::CRpcExc(UINT id, long status) {
  Init(status);
  PushFront(LoadMsg(id));
}

CRpcExc::CRpcExc(UINT id, const std::wstring& a1, long status) {
  Init(status);
  PushFront(FormatMsg(LoadMsg(id), a1));
}

CRpcExc::CRpcExc(const std::wstring& text, long status) {
  Init(status);
  PushFront(text);
}

void CRpcExc::Init(long status) {
  m_status = static_cast<DWORD>(status);
  SetCode(ToHResult(static_cast<std::int32_t>(status)));
  PushFront(L"RPC error:" + GetSystemText(m_status) + L" Code: " + DecText(static_cast<std::int32_t>(status)));
}

std::shared_ptr<CExc> CRpcExc::Clone() const { return std::make_shared<CRpcExc>(*this); }

void CRpcExc::Throw() const { throw *this; }

// _com_error handlers

static std::wstring ComErrorMessage(HRESULT hr) {
  std::wstring text = GetSystemText(static_cast<DWORD>(hr), true);
  if (!text.empty()) {
    if (text.back() == L'\n') {
      text.pop_back();
      if (!text.empty() && text.back() == L'\r') text.pop_back();
    }
    return text;
  }
  wchar_t fallback[64];
  const unsigned long code = static_cast<unsigned long>(hr);
  const WORD dispatchCode = (code >= 0x80040200ul && code <= 0x8004FFFFul) ? static_cast<WORD>(code - 0x80040200ul) : 0;
  if (dispatchCode != 0) {
    swprintf(fallback, 64, L"IDispatch error #%d", static_cast<int>(dispatchCode));
  } else {
    swprintf(fallback, 64, L"Unknown error 0x%0lX", static_cast<unsigned long>(hr));
  }
  return fallback;
}

static std::wstring BstrText(const _bstr_t& text) {
  const wchar_t* p = static_cast<const wchar_t*>(text);
  return p ? std::wstring(p, text.length()) : std::wstring();
}

void ThrowComError(const std::wstring& text, const _com_error& error) {
  const HRESULT hr = error.Error();
  const std::wstring details = FormatMsg(L"\tCode = %1\n\tCode meaning = %2\n\tSource = %3\n\tDescription = %4\n",
                                         HexText(static_cast<std::uint32_t>(hr)), ComErrorMessage(hr),
                                         BstrText(error.Source()), BstrText(error.Description()));
  throw CComExc(FormatMsg(L"%1\n%2", text, details), hr);
}
