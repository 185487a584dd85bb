#include "util/privilege.h"

#include "base/exc.h"
#include "base/handle.h"
#include "base/win.h"

void EnablePrivilege(const std::wstring& name) {
  try {
    CKernelHandle token;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Receive()) != TRUE) {
      const DWORD error = ::GetLastError();
      throw CWin32Exc(L"Cannot open process token.", error);
    }

    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (::LookupPrivilegeValueW(nullptr, name.c_str(), &privileges.Privileges[0].Luid) != TRUE) {
      const DWORD error = ::GetLastError();
      throw CWin32Exc(L"Cannot lookup the privilege name. Privilege: [%1].", name, error);
    }

    // A token without the privilege is no failure of the call itself: it
    // succeeds and leaves ERROR_NOT_ALL_ASSIGNED as the last error.
    const BOOL adjusted = ::AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr);
    const DWORD error = ::GetLastError();
    if (adjusted != TRUE || error == ERROR_NOT_ALL_ASSIGNED) {
      throw CWin32Exc(L"Cannot adjust token privileges.", error);
    }
  } catch (CExc& exc) {
    exc.AddContext(L"Cannot enable the privilege. Privelege name: [%1].", name);
    throw;
  }
}
