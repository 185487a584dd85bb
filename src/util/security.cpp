#include "util/security.h"

#include "base/exc.h"
#include "base/path.h"
#include "util/file.h"

#include <aclapi.h>
#include <sddl.h>

namespace util {

namespace {

// Protected; full control for SYSTEM and Administrators, inherited by files
// and folders below. The owner is left to the creator (SYSTEM or an
// administrator where the service and its tools run).
constexpr wchar_t kProtectedSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

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

}  // namespace util
