// Paths, files, folders and processes. Failures are thrown as CWin32Exc (with
// the operation's own context line in front where it has one); the existence
// checks (FileExists, SearchFiles) log a warning and answer "no" instead.
// Operations that touch the file system put the long-path prefix in front of
// the path first, so paths longer than MAX_PATH work (MoveFileTo and
// GetFileVersion take their paths as given). Messages name the paths as the
// caller gave them.
#pragma once

#include "base/handle.h"
#include "base/path.h"
#include "base/win.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// --- File system -------------------------------------------------------------

// True when a file or folder of that name exists. Never throws: errors other
// than "not found" are logged as warnings and answered with false.
bool FileExists(const std::wstring& path);
// Creates the folder and its missing parents. A path without any separator
// (or one that walks up to a UNC server name) fails with E_INVALIDARG.
void FileMakeFolder(const std::wstring& path);
// Deletes the file if it exists; a read-only, hidden or system file has
// those attributes cleared first when the plain delete is refused.
void DeleteFileIfExists(const std::wstring& path);
// Clears the read-only, hidden and system attributes.
void ResetProtectiveFlags(const std::wstring& path);
// Deletes the folder with everything in it, depth first, by handle: the
// folder is opened relative to its parent, each entry relative to the
// folder's handle, and an entry is acted on only when its handle is the very
// object the folder's listing showed. So a folder or entry that someone
// replaces by a link while the removal runs is never entered, and nothing
// outside the folder is deleted. A junction or directory link (inside, or
// the folder itself) is deleted as the link and never entered; where the
// platform cannot open the link itself (Wine opens a Unix link's target) it
// is left and the removal fails with ERROR_CANT_ACCESS_FILE. The entry of
// the folder named `last` goes after all others, so that a folder that could
// not be emptied still holds it. On failure what was removed so far stays
// removed.
void RemoveFolder(const std::wstring& path, const std::wstring& last = std::wstring());
// Retries RemoveFolder while it fails with access denied or "directory not
// empty"; returns without an exception when every attempt failed that way.
void RemoveFolderWithRetries(const std::wstring& path, DWORD pauseMs, unsigned attempts,
                             const std::wstring& last = std::wstring());
// The target must not exist.
void MoveFileTo(const std::wstring& source, const std::wstring& target);
// Overwrites an existing target; makeFolder creates the target's folder first.
void CopyFileTo(const std::wstring& source, const std::wstring& target, bool makeFolder);
// Bare names of the entries matching mask ("." and ".." skipped), split into
// files and folders, in the order the system returns them. With `links`,
// folders that are reparse points (junctions, directory links) go there
// instead of to `folders`. The lists are cleared first. Never throws: an
// unexpected error is logged as a warning and the names gathered so far are
// kept.
void SearchFiles(const std::wstring& mask, std::vector<std::wstring>& files, std::vector<std::wstring>& folders,
                 std::vector<std::wstring>* links = nullptr);
// With a trailing backslash, as GetTempPathW gives it.
std::wstring GetTempFolder();
// Starts a process and does not wait; both returned handles are closed. An
// empty executable path leaves the program to the command line. The child
// inherits no handles.
void StartProcess(const std::wstring& executablePath, const std::wstring& commandLine);
// A non-inheritable duplicate, same access, owned by the caller.
CKernelHandle DuplicateOwnHandle(HANDLE handle);

// --- CBinFile ------------------------------------------------------------------

// Owner of one Win32 file handle; every message names the file by its path.
// Used by one thread at a time.
class CBinFile {
 public:
  // CreateFileW with FILE_FLAG_OPEN_REPARSE_POINT (plus the asked flags). A
  // sharing violation is retried ten times, 100 ms apart, and then thrown as
  // CLockFileExc, as is a lock violation. Read, Write and the seeks work on
  // the file position, so an overlapped file is for callers that do their
  // own I/O on GetHandle().
  static std::shared_ptr<CBinFile> Create(const std::wstring& path, DWORD access, DWORD shareMode,
                                          DWORD disposition, bool backupSemantics = false,
                                          bool overlapped = false);
  // The same with security attributes for a file the call creates (an
  // existing file keeps its own descriptor).
  static std::shared_ptr<CBinFile> CreateWithSecurity(const std::wstring& path, DWORD access, DWORD shareMode,
                                                      DWORD disposition, SECURITY_ATTRIBUTES* security);

  // Writes all of buffer at the current position, or throws.
  void Write(const void* buffer, DWORD size);
  // One read at the current position; the count read, 0 at the end.
  DWORD Read(void* buffer, DWORD size);
  std::uint64_t GetSize();
  // Moves the position to size and ends the file there.
  void SetSize(std::uint64_t size);
  void SeekToBegin();
  void SeekToEnd();
  void SeekTo(std::uint64_t position);

  HANDLE GetHandle() const { return m_handle.Get(); }
  const std::wstring& GetPath() const { return m_path; }

 private:
  CBinFile(CFileHandle handle, const std::wstring& path);
  static std::shared_ptr<CBinFile> Adopt(CFileHandle handle, const std::wstring& path);

  CFileHandle m_handle;
  std::wstring m_path;
};
