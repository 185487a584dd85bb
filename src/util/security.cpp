#include "util/security.h"

#include "base/exc.h"
#include "base/msg.h"
#include "base/path.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

namespace {

// Full access for SYSTEM and Administrators, inherited by files and folders
// inside; "P": nothing inherited from the parent.
constexpr wchar_t kAdminOnlySddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Any right that lets the holder change what the object holds or who may.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                      FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL | MAXIMUM_ALLOWED;

std::vector<BYTE> ProcessUserSid() {
  std::vector<BYTE> sid;
  CKernelHandle token;
  DWORD size = 0;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return sid;
  ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !::GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) return sid;
  const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  const BYTE* const bytes = static_cast<const BYTE*>(user);
  return std::vector<BYTE>(bytes, bytes + ::GetLengthSid(user));
}

bool IsTrustedSid(PSID sid, const std::vector<BYTE>& processUser) {
  return ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         (!processUser.empty() && ::EqualSid(sid, const_cast<BYTE*>(processUser.data())));
}

std::wstring SidText(PSID sid) {
  CLocalMem text;
  LPWSTR raw = nullptr;
  if (!::ConvertSidToStringSidW(sid, &raw)) return L"?";
  text.Reset(raw);
  return raw;
}

}  // namespace

CAdminOnlySecurity::CAdminOnlySecurity() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminOnlySddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
    throw CWin32Exc(L"Cannot build the access list for SYSTEM and Administrators.", kUseLastError);
  }
  m_descriptor.Reset(descriptor);
  m_attributes.nLength = sizeof(m_attributes);
  m_attributes.lpSecurityDescriptor = descriptor;
  m_attributes.bInheritHandle = FALSE;
}

bool CreateAdminOnlyFolder(const std::wstring& path) {
  CAdminOnlySecurity security;
  const std::wstring longPath = AddLongPathPrefix(path);
  if (::CreateDirectoryW(longPath.c_str(), security.Get())) return true;
  const DWORD error = ::GetLastError();
  if (error == ERROR_ALREADY_EXISTS) return false;
  throw CWin32Exc(L"CreateDirectoryW(%1) failed.", longPath, error);
}

std::wstring FindUntrustedAccess(const std::wstring& path) {
  const std::wstring longPath = AddLongPathPrefix(path);
  const DWORD attributes = ::GetFileAttributesW(longPath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return L"it is a reparse point";
  }
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  const DWORD error = ::GetNamedSecurityInfoW(longPath.c_str(), SE_FILE_OBJECT,
                                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                              nullptr, &dacl, nullptr, &raw);
  if (error != ERROR_SUCCESS) return FormatMsg(L"its access list cannot be read (error %1)", std::to_wstring(error));
  const CLocalMem descriptor(raw);
  const std::vector<BYTE> self = ProcessUserSid();
  if (owner == nullptr || !IsTrustedSid(owner, self)) {
    return FormatMsg(L"it is owned by %1", owner ? SidText(owner) : std::wstring(L"nobody"));
  }
  if (dacl == nullptr) return L"it has no access list";
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace))) return L"its access list cannot be read";
    if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->Header.AceFlags & INHERIT_ONLY_ACE)) continue;
    const PSID grantee = &ace->SidStart;
    if ((ace->Mask & kChangeRights) && !IsTrustedSid(grantee, self)) {
      return FormatMsg(L"%1 may change it", SidText(grantee));
    }
  }
  return std::wstring();
}
