#include "base/bstr.h"

#include "base/exc.h"

#include <comdef.h>

CBstr::CBstr(const std::wstring& text) : m_bstr(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
  if (!m_bstr) ThrowComError(std::wstring(), _com_error(E_OUTOFMEMORY));
}
