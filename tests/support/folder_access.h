// Access lists as the tests read them back and make them.
#pragma once

#include "base/handle.h"
#include "base/win.h"

#include <sddl.h>

#include <string>

namespace testing_support {

// Owner and access list of a file or folder as the system reports them, in
// bytes; empty when they cannot be read.
inline std::string DescriptorBytes(const std::wstring& path) {
  DWORD size = 0;
  const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  ::GetFileSecurityW(path.c_str(), what, nullptr, 0, &size);
  std::string bytes(size, '\0');
  if (size == 0 || !::GetFileSecurityW(path.c_str(), what, &bytes[0], size, &size)) return std::string();
  return bytes;
}

// Creates a folder whose protected access list grants SYSTEM and the
// Administrators group full control, and no one else anything.
inline bool MakeAdminsOnlyFolder(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return false;
  }
  const CLocalMem owned(descriptor);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  return ::CreateDirectoryW(path.c_str(), &attributes) != FALSE;
}

}  // namespace testing_support
