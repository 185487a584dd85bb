// Owner of one BSTR (SysAllocStringLen / SysFreeString); a null BSTR reads as
// the empty text. Move-free and copy-free: one owner per string.
#pragma once

#include "base/win.h"

#include <oleauto.h>

#include <string>
#include <utility>

class CBstr {
 public:
  CBstr() = default;
  // Throws CComExc (E_OUTOFMEMORY, empty message) when the string cannot be
  // allocated, as the COM support classes report it.
  explicit CBstr(const std::wstring& text);
  ~CBstr() { ::SysFreeString(m_bstr); }
  CBstr(const CBstr&) = delete;
  CBstr& operator=(const CBstr&) = delete;

  BSTR Get() const { return m_bstr; }
  // For out-parameters: releases the old value first.
  BSTR* Receive() {
    ::SysFreeString(std::exchange(m_bstr, nullptr));
    return &m_bstr;
  }
  std::wstring Text() const { return m_bstr ? std::wstring(m_bstr, ::SysStringLen(m_bstr)) : std::wstring(); }

 private:
  BSTR m_bstr = nullptr;
};
