// Access lists for what only the system and its administrators may touch:
// folders the service runs programs from, its logs and its dumps. An
// ordinary user of the machine must not be able to plant, change or read
// anything there.
#pragma once

#include "base/handle.h"
#include "base/win.h"

#include <string>

// Security attributes whose access list grants full access to SYSTEM and
// the Administrators group and nobody else, protected from inheriting
// anything from the parent; files and folders created inside a folder made
// with it inherit the same list. Throws CWin32Exc when the descriptor cannot
// be built.
class CAdminOnlySecurity {
 public:
  CAdminOnlySecurity();
  CAdminOnlySecurity(const CAdminOnlySecurity&) = delete;
  CAdminOnlySecurity& operator=(const CAdminOnlySecurity&) = delete;

  SECURITY_ATTRIBUTES* Get() { return &m_attributes; }

 private:
  CLocalMem m_descriptor;
  SECURITY_ATTRIBUTES m_attributes = {};
};

// Creates the folder (its parent must exist) with CAdminOnlySecurity. False
// when something of that name exists already, which is left as it is; other
// failures throw CWin32Exc.
bool CreateAdminOnlyFolder(const std::wstring& path);

// Why SYSTEM must not trust the file or folder: it is a reparse point, its
// owner is not SYSTEM, Administrators or this process's own user, or its
// access list lets anyone else write, delete or change it (or it has no list
// at all). Empty when none of these holds. An access list that cannot be
// read counts as unsafe.
std::wstring FindUntrustedAccess(const std::wstring& path);
