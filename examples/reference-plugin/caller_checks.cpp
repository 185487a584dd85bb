// The reference plugin's checks of what a caller sends and who the caller
// is, apart from the RPC run-time (the contract test runs them directly).
#include "plugin_state.h"

#include <cstring>

namespace refPlugin {

bool TokenMayRemove(HANDLE token, std::wstring& caller) {
  auto member = [token](WELL_KNOWN_SID_TYPE type) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    BOOL isMember = FALSE;
    return ::CreateWellKnownSid(type, nullptr, sid, &size) && ::CheckTokenMembership(token, sid, &isMember) &&
           isMember;
  };
  if (member(WinAnonymousSid) || member(WinBuiltinGuestsSid)) {
    caller += L", an anonymous or guest logon";
    return false;
  }
  if (!member(WinBuiltinAdministratorsSid)) {
    caller += L", not a member of the Administrators group";
    return false;
  }
  return true;
}

bool IsPlainLockName(const char* name) {
  const size_t length = std::strlen(name);
  if (length >= kLockNameChars || name[0] == '-' || name[0] == '.') return false;
  for (size_t i = 0; i < length; ++i) {
    const char c = name[i];
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                       c == '-' || c == '.' || c == '{' || c == '}';
    if (!plain) return false;
  }
  return true;
}

}  // namespace refPlugin
