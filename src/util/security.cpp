#include "util/security.h"

#include "base/exc.h"
#include "base/msg.h"
#include "base/path.h"
#include "util/file.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

namespace util {

namespace {

// Protected; full control for SYSTEM and Administrators, inherited by files
// and folders below. The owner is left to the creator (SYSTEM or an
// administrator where the service and its tools run).
constexpr wchar_t kProtectedSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

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

protected_security_t::protected_security_t() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedSddl, SDDL_REVISION_1, &descriptor,
                                                               nullptr)) {
    throw CWin32Exc(L"Cannot build the administrators-only security descriptor.", kUseLastError);
  }
  m_descriptor.Reset(descriptor);
  m_attributes.nLength = sizeof(m_attributes);
  m_attributes.lpSecurityDescriptor = descriptor;
  m_attributes.bInheritHandle = FALSE;
}

PACL protected_security_t::Dacl() const {
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(m_descriptor.Get(), &present, &dacl, &defaulted);
  return dacl;
}

void ProtectPath(const std::wstring& path) {
  protected_security_t security;
  std::wstring name = AddLongPathPrefix(path);
  const DWORD error = ::SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, security.Dacl(), nullptr);
  if (error != ERROR_SUCCESS) {
    throw CWin32Exc(L"Cannot restrict the access to [%1] to administrators.", path, error);
  }
}

CFileHandle CreateProtectedFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
  protected_security_t security;
  return CFileHandle(::CreateFileW(AddLongPathPrefix(path).c_str(), access, share, security.Attributes(), disposition,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
}

void MakeProtectedFolder(const std::wstring& path) {
  std::wstring folder = path;
  if (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  const size_t last = folder.find_last_of(L"\\/");
  if (last != std::wstring::npos) FileMakeFolder(folder.substr(0, last));
  // Created with the access list, so that it is never open to others.
  protected_security_t security;
  if (::CreateDirectoryW(AddLongPathPrefix(folder).c_str(), security.Attributes())) return;
  const DWORD error = ::GetLastError();
  if (error != ERROR_ALREADY_EXISTS) throw CWin32Exc(L"Cannot create folder [%1].", path, error);
  ProtectPath(folder);
}

bool CreateProtectedFolder(const std::wstring& path) {
  protected_security_t security;
  const std::wstring longPath = AddLongPathPrefix(path);
  if (::CreateDirectoryW(longPath.c_str(), security.Attributes())) return true;
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

folder_trust_t InspectFolder(const std::wstring& path) {
  folder_trust_t trust;
  const DWORD attributes = ::GetFileAttributesW(AddLongPathPrefix(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    trust.kind = distrust_t::link;
  } else if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    trust.kind = distrust_t::file;
    trust.reason = L"it is not a folder";
    return trust;
  }
  trust.reason = FindUntrustedAccess(path);
  if (trust.kind == distrust_t::link || trust.reason.empty()) return trust;
  const std::wstring ownerText = L"it is owned by ";
  trust.kind = trust.reason.compare(0, ownerText.size(), ownerText) == 0 ? distrust_t::owner : distrust_t::access;
  return trust;
}

bool MakeProtectedFolderIfMissing(const std::wstring& path) {
  std::wstring folder = path;
  if (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  try {
    const DWORD attributes = ::GetFileAttributesW(AddLongPathPrefix(folder).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return false;
    const size_t last = folder.find_last_of(L"\\/");
    if (last == std::wstring::npos || last == 0 || folder[last - 1] == L':' || folder[last - 1] == L'\\' ||
        folder[last - 1] == L'?') {
      // A root (C:\, \\?\C:\) or a share's server part: nothing to create above.
    } else {
      MakeProtectedFolderIfMissing(folder.substr(0, last));
    }
    return CreateProtectedFolder(folder);
  } catch (CExc& exc) {
    exc.AddContext(L"Cannot create folder [%1].", path);
    throw;
  }
}

CFileHandle CreateNewProtectedFile(const std::wstring& path, DWORD access, DWORD share, DWORD flags) {
  protected_security_t security;
  return CFileHandle(::CreateFileW(AddLongPathPrefix(path).c_str(), access, share, security.Attributes(), CREATE_NEW,
                                   flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

}  // namespace util
