// Access lists for what only the system and its administrators may touch:
// the log and dump folder, its dumps and reports, the private folders of the
// programs the service writes to disk and starts. An ordinary user of the
// machine must not be able to plant, change or read anything there.
#pragma once

#include "base/handle.h"
#include "base/win.h"

#include <string>

namespace util {

// A security descriptor whose protected access list (nothing inherited from
// the parent) grants full control to SYSTEM and to the Administrators group,
// inherited by everything created below a folder it is given to, and to no
// one else. Throws CWin32Exc when the descriptor cannot be built.
class protected_security_t {
 public:
  protected_security_t();
  // For CreateDirectoryW / CreateFileW; valid while this object lives.
  SECURITY_ATTRIBUTES* Attributes() { return &m_attributes; }
  PACL Dacl() const;

 private:
  CLocalMem m_descriptor;
  SECURITY_ATTRIBUTES m_attributes = {};
};

// Gives an existing file or folder the protected access list in place of the
// one it has (the system passes it on to a folder's children). Throws
// CWin32Exc.
void ProtectPath(const std::wstring& path);

// CreateFileW of a file that, when this call creates it, has the protected
// access list whatever its folder's is. An invalid handle when the file
// cannot be opened, with the last error set; throws CWin32Exc when the
// descriptor cannot be built.
CFileHandle CreateProtectedFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition);

// Creates the folder with its missing parents and gives the folder itself
// the protected access list, also when it existed already. Throws CExc.
void MakeProtectedFolder(const std::wstring& path);

// Creates the folder (its parent must exist) with the protected access list.
// False when something of that name exists already, which is left as it is;
// other failures throw CWin32Exc.
bool CreateProtectedFolder(const std::wstring& path);

// Why SYSTEM must not trust the file or folder: it is a reparse point, its
// owner is not SYSTEM, Administrators or this process's own user, or its
// access list lets anyone else write, delete or change it (or it has no list
// at all). Empty when none of these holds. An access list that cannot be
// read counts as unsafe.
std::wstring FindUntrustedAccess(const std::wstring& path);

// What makes an existing folder unfit to hold what SYSTEM writes.
enum class distrust_t {
  none,
  link,    // a junction, directory link or other reparse point (checked by path, before anything is opened)
  owner,   // owned by an account other than SYSTEM, Administrators or the one this process runs as
  access,  // anyone else may write, delete or change it; no access list, or one that cannot be read
  file,    // not a folder
};

struct folder_trust_t {
  distrust_t kind = distrust_t::none;
  std::wstring reason;  // as FindUntrustedAccess words it; empty for none
};

// The checks of FindUntrustedAccess, in the same order, for a path that
// exists, and which of them refused it first. Under Wine every file belongs
// to the account the process runs as, except those whose Unix owner is
// another user, which Wine reports as owned by ANONYMOUS LOGON: so the owner
// rule refuses there exactly what another Unix user owns.
folder_trust_t InspectFolder(const std::wstring& path);

// Creates the folder and any missing parents, each one it creates with the
// protected access list; a folder that exists is left exactly as it is.
// True when the folder itself was created. Throws CExc.
bool MakeProtectedFolderIfMissing(const std::wstring& path);

// Creates a new file with the protected access list, never opening an
// existing one (nor a link of that name). flags: FILE_FLAG_* and attributes
// for CreateFileW. An invalid handle when the file cannot be created, with
// the last error set (ERROR_FILE_EXISTS when the name is taken); throws
// CWin32Exc when the descriptor cannot be built.
CFileHandle CreateNewProtectedFile(const std::wstring& path, DWORD access, DWORD share, DWORD flags);

}  // namespace util
