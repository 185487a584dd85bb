#include "util/file.h"

#include "log/log.h"
#include "base/exc.h"
#include "base/msg.h"

#include <cwchar>

namespace {

constexpr unsigned kCreateAttempts = 10;
constexpr DWORD kSharingRetryPauseMs = 100;
constexpr DWORD kProtectiveAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;


bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsNotFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// The lines of exc as warnings, one alignment step deeper than the current
// one, in one block that no other thread's lines can split.
void LogWarningLines(const CExc& exc) {
  CLog::CLogLock::CHold hold(g_log.GetLock());
  CLogIndent indent(g_log);
  for (const std::wstring& line : exc.GetMessages()) g_log.Warning(line);
}

std::wstring WithoutTrailingSeparator(const std::wstring& path) {
  if (!path.empty() && IsSeparator(path.back())) return path.substr(0, path.size() - 1);
  return path;
}

// True when the folder exists. Unexpected errors of the check are logged and
// answered with false, so that the caller goes on and tries to create it.
bool FolderExistsForMake(const std::wstring& folder) {
  const std::wstring mask = AddLongPathPrefix(CombinePath(folder, L"*"));
  WIN32_FIND_DATAW data;
  CFindHandle find(::FindFirstFileW(mask.c_str(), &data));
  if (find) return true;
  const DWORD error = ::GetLastError();
  if (IsNotFound(error)) {
    // A drive root or share that cannot be listed may still answer for its
    // attributes.
    return ::GetFileAttributesW(CombinePath(folder, L"").c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  LogWarningLines(
      CWin32Exc(FormatMsg(L"FileMakeFolder: failed to check if directory exist, path %1, mask %2", folder, mask),
                error));
  return false;
}

// A junction or directory link: RemoveDirectoryW deletes the link itself and
// leaves its target alone.
void RemoveFolderLink(const std::wstring& longPath) {
  if (!::RemoveDirectoryW(longPath.c_str())) {
    throw CWin32Exc(L"RemoveDirectory(%1) failed.", longPath, kUseLastError);
  }
}

}  // namespace

// --- File system -------------------------------------------------------------

bool FileExists(const std::wstring& path) {
  const std::wstring longPath = AddLongPathPrefix(path);
  WIN32_FIND_DATAW data;
  CFindHandle find(::FindFirstFileW(longPath.c_str(), &data));
  if (find) return true;
  const DWORD error = ::GetLastError();
  if (!IsNotFound(error)) {
    LogWarningLines(CWin32Exc(
        FormatMsg(L"Failed to check is directory exist, path: %1, long path %2", path, longPath), error));
  }
  return false;
}

void FileMakeFolder(const std::wstring& path) {
  try {
    const std::wstring folder = WithoutTrailingSeparator(path);
    if (FolderExistsForMake(folder)) return;

    const size_t last = folder.find_last_of(L"\\/");
    // Without a separator there is no parent to create; two backslashes in a
    // row mean the walk up has reached the server part of a UNC path.
    if (last == std::wstring::npos || (last > 0 && folder[last] == L'\\' && folder[last - 1] == L'\\')) {
      throw CExc(L"Invalid folder path: [%1].", folder, static_cast<std::int32_t>(E_INVALIDARG));
    }
    FileMakeFolder(folder.substr(0, last));

    const std::wstring longPath = AddLongPathPrefix(folder);
    if (!::CreateDirectoryW(longPath.c_str(), nullptr)) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_ALREADY_EXISTS) throw CWin32Exc(L"CreateDirectoryW(%1) failed.", longPath, error);
    }
  } catch (CExc& e) {
    e.AddContext(L"Cannot create folder [%1].", path);
    throw;
  }
}

void DeleteFileIfExists(const std::wstring& path) {
  try {
    if (!FileExists(path)) return;
    const std::wstring longPath = AddLongPathPrefix(path);
    if (::DeleteFileW(longPath.c_str())) return;
    const DWORD error = ::GetLastError();
    if (error != ERROR_ACCESS_DENIED) throw CWin32Exc(error);
    // A read-only file cannot be deleted until the attribute is cleared.
    ResetProtectiveFlags(path);
    if (!::DeleteFileW(longPath.c_str())) throw CWin32Exc(L"Cannot delete file.", kUseLastError);
  } catch (CExc& e) {
    e.AddContext(L"Cannot delete file [%1].", path);
    throw;
  }
}

void ResetProtectiveFlags(const std::wstring& path) {
  try {
    const std::wstring longPath = AddLongPathPrefix(path);
    const DWORD attributes = ::GetFileAttributesW(longPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      throw CWin32Exc(L"Cannot get file attributes. File path: [%1].", path, kUseLastError);
    }
    if ((attributes & kProtectiveAttributes) == 0) return;
    if (!::SetFileAttributesW(longPath.c_str(), attributes & ~kProtectiveAttributes)) {
      throw CWin32Exc(L"Cannot set file attributes. File path: [%1].", path, kUseLastError);
    }
  } catch (CExc& e) {
    e.AddContext(L"Cannot reset the protective flags. File path: [%1].", path);
    throw;
  }
}

void RemoveFolder(const std::wstring& path) {
  try {
    const std::wstring longPath = AddLongPathPrefix(path);
    const DWORD attributes = ::GetFileAttributesW(longPath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      RemoveFolderLink(longPath);
      return;
    }
    std::vector<std::wstring> files, folders, links;
    SearchFiles(CombinePath(longPath, L"*"), files, folders, &links);
    for (const std::wstring& file : files) DeleteFileIfExists(CombinePath(path, file));
    for (const std::wstring& link : links) RemoveFolderLink(AddLongPathPrefix(CombinePath(path, link)));
    for (const std::wstring& folder : folders) RemoveFolder(CombinePath(path, folder));

    if (!::RemoveDirectoryW(longPath.c_str())) {
      if (::GetLastError() == ERROR_ACCESS_DENIED) ResetProtectiveFlags(longPath);
      if (!::RemoveDirectoryW(longPath.c_str())) {
        throw CWin32Exc(L"RemoveDirectory(%1) failed.", longPath, kUseLastError);
      }
    }
  } catch (CExc& e) {
    e.AddContext(L"Cannot remove folder [%1].", path);
    throw;
  }
}

void RemoveFolderWithRetries(const std::wstring& path, DWORD pauseMs, unsigned attempts) {
  for (unsigned attempt = 1; attempt <= attempts; ++attempt) {
    try {
      RemoveFolder(path);
      return;
    } catch (const CWin32Exc& e) {
      // Another process still holding a file inside shows as one of these
      // two; it is expected to let go soon.
      const DWORD error = e.GetWin32Error();
      if (error != ERROR_ACCESS_DENIED && error != ERROR_DIR_NOT_EMPTY) throw;
    }
    if (attempt < attempts) ::Sleep(pauseMs);
  }
}

void MoveFileTo(const std::wstring& source, const std::wstring& target) {
  if (!::MoveFileW(source.c_str(), target.c_str())) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(FormatMsg(L"Cannot move file. Source path: [%1]. Target path: [%2].", source, target), error);
  }
}

void CopyFileTo(const std::wstring& source, const std::wstring& target, bool makeFolder) {
  try {
    if (makeFolder) {
      std::wstring folder, file;
      SplitPath(target, folder, file);
      // A bare file name goes to the current folder, which exists.
      if (!folder.empty()) FileMakeFolder(folder);
    }
    // Named, not temporaries: their release must not run between the failed
    // call and the reading of its error.
    const std::wstring longSource = AddLongPathPrefix(source);
    const std::wstring longTarget = AddLongPathPrefix(target);
    if (!::CopyFileW(longSource.c_str(), longTarget.c_str(), FALSE)) {
      throw CWin32Exc(L"CopyFile() failed.", kUseLastError);
    }
  } catch (CExc& e) {
    e.AddContext(L"Cannot copy file. Source file: [%1]. Target file: [%2].", source, target);
    throw;
  }
}

void SearchFiles(const std::wstring& mask, std::vector<std::wstring>& files, std::vector<std::wstring>& folders,
                 std::vector<std::wstring>* links) {
  files.clear();
  folders.clear();
  if (links) links->clear();
  const std::wstring longMask = AddLongPathPrefix(mask);
  WIN32_FIND_DATAW data;
  CFindHandle find(::FindFirstFileW(longMask.c_str(), &data));
  if (!find) {
    const DWORD error = ::GetLastError();
    if (!IsNotFound(error)) LogWarningLines(CWin32Exc(L"Failed to search files", error));
    return;
  }
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (links && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      links->push_back(name);
    } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      folders.push_back(name);
    } else {
      files.push_back(name);
    }
  } while (::FindNextFileW(find.Get(), &data));
  const DWORD error = ::GetLastError();
  if (error != ERROR_NO_MORE_FILES && !IsNotFound(error)) {
    LogWarningLines(CWin32Exc(L"Failed to search files", error));
  }
}

std::wstring GetTempFolder() {
  DWORD size = ::GetTempPathW(0, nullptr);
  DWORD error = ::GetLastError();
  while (size != 0) {
    std::wstring buffer(size, L'\0');
    const DWORD length = ::GetTempPathW(size, &buffer[0]);
    error = ::GetLastError();  // before the buffer goes
    if (length != 0 && length < size) {
      buffer.resize(length);
      return buffer;
    }
    size = length;  // 0: failed; larger: TMP changed between the two calls
  }
  throw CWin32Exc(L"Cannot retrieve the path of the directory designated for temporary files.", error);
}

void StartProcess(const std::wstring& executablePath, const std::wstring& commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  // CreateProcessW may write into the command line.
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  if (!::CreateProcessW(executablePath.empty() ? nullptr : executablePath.c_str(), line.data(), nullptr, nullptr,
                        FALSE, 0, nullptr, nullptr, &startup, &info)) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(FormatMsg(L"Cannot create a new process. Path to the executable file: [%1]. "
                              L"Command line arguments: [%2].",
                              executablePath, commandLine),
                    error);
  }
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
}

CKernelHandle DuplicateOwnHandle(HANDLE handle) {
  CKernelHandle duplicate;
  const HANDLE self = ::GetCurrentProcess();
  if (!::DuplicateHandle(self, handle, self, duplicate.Receive(), 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    throw CWin32Exc(L"Cannot duplicate handle.", kUseLastError);
  }
  return duplicate;
}

// --- CBinFile ------------------------------------------------------------------

CBinFile::CBinFile(CFileHandle handle, const std::wstring& path) : m_handle(std::move(handle)), m_path(path) {}

namespace {

std::shared_ptr<CBinFile> CreateBinFile(const std::wstring& path, DWORD access, DWORD shareMode, DWORD disposition,
                                        DWORD flags, SECURITY_ATTRIBUTES* security,
                                        std::shared_ptr<CBinFile> (*adopt)(CFileHandle, const std::wstring&)) {
  const std::wstring longPath = AddLongPathPrefix(path);

  DWORD error = ERROR_SUCCESS;
  for (unsigned attempt = 1; attempt <= kCreateAttempts; ++attempt) {
    const HANDLE handle = ::CreateFileW(longPath.c_str(), access, shareMode, security, disposition, flags, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      CFileHandle owned(handle);  // owned before anything that may throw
      return adopt(std::move(owned), path);
    }
    error = ::GetLastError();
    // Someone else has the file open without sharing it with us, usually
    // only for a moment (another writer, a virus scanner).
    if (error != ERROR_SHARING_VIOLATION) break;
    if (attempt < kCreateAttempts) ::Sleep(kSharingRetryPauseMs);
  }
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) throw CLockFileExc(error);
  throw CWin32Exc(L"Failed to create new binary file [%1].", path, error);
}

}  // namespace

std::shared_ptr<CBinFile> CBinFile::Create(const std::wstring& path, DWORD access, DWORD shareMode,
                                           DWORD disposition, bool backupSemantics, bool overlapped) {
  DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT;
  if (backupSemantics) flags |= FILE_FLAG_BACKUP_SEMANTICS;
  if (overlapped) flags |= FILE_FLAG_OVERLAPPED;
  return CreateBinFile(path, access, shareMode, disposition, flags, nullptr, &Adopt);
}

std::shared_ptr<CBinFile> CBinFile::CreateWithSecurity(const std::wstring& path, DWORD access, DWORD shareMode,
                                                       DWORD disposition, SECURITY_ATTRIBUTES* security) {
  return CreateBinFile(path, access, shareMode, disposition, FILE_FLAG_OPEN_REPARSE_POINT, security, &Adopt);
}

std::shared_ptr<CBinFile> CBinFile::Adopt(CFileHandle handle, const std::wstring& path) {
  return std::shared_ptr<CBinFile>(new CBinFile(std::move(handle), path));
}

void CBinFile::Write(const void* buffer, DWORD size) {
  DWORD written = 0;
  if (!::WriteFile(m_handle.Get(), buffer, size, &written, nullptr)) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(FormatMsg(L"Failed to write [%1] bytes to the file [%2].", UInt64Text(size), m_path), error);
  }
  if (written != size) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(
        FormatMsg(L"Unable to write all the supplied data (%1 bytes) to the file [%2].", UInt64Text(size), m_path),
        error);
  }
}

DWORD CBinFile::Read(void* buffer, DWORD size) {
  DWORD read = 0;
  if (!::ReadFile(m_handle.Get(), buffer, size, &read, nullptr)) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(FormatMsg(L"Failed to read %1 bytes from the file [%2].", UInt64Text(size), m_path), error);
  }
  return read;
}

std::uint64_t CBinFile::GetSize() {
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(m_handle.Get(), &size)) {
    throw CWin32Exc(L"The size of the file [%1] is unknown.", m_path, kUseLastError);
  }
  return static_cast<std::uint64_t>(size.QuadPart);
}

void CBinFile::SetSize(std::uint64_t size) {
  SeekTo(size);
  if (!::SetEndOfFile(m_handle.Get())) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(FormatMsg(L"Cannot set the new physical size %1 of the file [%2].", UInt64Text(size), m_path),
                    error);
  }
}

void CBinFile::SeekToBegin() {
  LARGE_INTEGER zero = {};
  if (!::SetFilePointerEx(m_handle.Get(), zero, nullptr, FILE_BEGIN)) {
    throw CWin32Exc(L"Unable to seek to the beginning of the file [%1]", m_path, kUseLastError);
  }
}

void CBinFile::SeekToEnd() {
  LARGE_INTEGER zero = {};
  if (!::SetFilePointerEx(m_handle.Get(), zero, nullptr, FILE_END)) {
    throw CWin32Exc(L"Unable to seek to the end of the file [%1]", m_path, kUseLastError);
  }
}

void CBinFile::SeekTo(std::uint64_t position) {
  LARGE_INTEGER distance = {};
  distance.QuadPart = static_cast<LONGLONG>(position);
  if (!::SetFilePointerEx(m_handle.Get(), distance, nullptr, FILE_BEGIN)) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(FormatMsg(L"Unable to seek to the position %1 of the file [%2]", UInt64Text(position), m_path),
                    error);
  }
}
