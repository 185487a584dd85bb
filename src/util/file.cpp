#include "util/file.h"

#include "log/log.h"
#include "base/exc.h"
#include "base/msg.h"

#include <algorithm>
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

// --- Removal by handle ------------------------------------------------------------
//
// A folder is removed through handles: the folder is opened relative to the
// parent that was opened first, and every entry relative to the folder's own
// handle, never by a path that someone could re-point between two calls. An
// entry is opened without following a reparse point and must be the very
// object the listing showed (same file id): a name swapped for a link after
// the listing is never entered. A junction or directory link is deleted as
// the link itself, through a handle that shows it as a link; where the
// platform cannot open the link itself (Wine opens a Unix link's target), the
// link is left and the removal fails.

struct SNtUnicodeString {
  USHORT length;
  USHORT maximumLength;
  PWSTR buffer;
};

struct SNtObjectAttributes {
  ULONG length;
  HANDLE rootDirectory;
  SNtUnicodeString* objectName;
  ULONG attributes;
  void* securityDescriptor;
  void* securityQualityOfService;
};

struct SNtIoStatus {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};

constexpr ULONG kObjCaseInsensitive = 0x40;
constexpr ULONG kFileDirectoryFile = 0x1;
constexpr ULONG kFileSynchronousIoNonAlert = 0x20;
constexpr ULONG kFileNonDirectoryFile = 0x40;
constexpr ULONG kFileOpenForBackupIntent = 0x4000;
constexpr ULONG kFileOpenReparsePoint = 0x200000;
constexpr int kFileIdBothDirectoryInformation = 37;
constexpr LONG kStatusNoMoreFiles = static_cast<LONG>(0x80000006);
constexpr LONG kStatusNoSuchFile = static_cast<LONG>(0xC000000F);
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The three native calls that have no Win32 counterpart: opening relative to
// a folder handle, and listing a folder by handle with a name mask.
struct SNtApi {
  using OpenFn = LONG(WINAPI*)(HANDLE*, ACCESS_MASK, SNtObjectAttributes*, SNtIoStatus*, ULONG, ULONG);
  using QueryDirectoryFn = LONG(WINAPI*)(HANDLE, HANDLE, void*, void*, SNtIoStatus*, void*, ULONG, int, BOOLEAN,
                                         SNtUnicodeString*, BOOLEAN);
  using ToDosErrorFn = ULONG(WINAPI*)(LONG);
  OpenFn open = nullptr;
  QueryDirectoryFn queryDirectory = nullptr;
  ToDosErrorFn toDosError = nullptr;
};

const SNtApi& NtApi() {
  static const SNtApi api = [] {
    SNtApi loaded;
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll != nullptr) {
      loaded.open = ProcCast<SNtApi::OpenFn>(::GetProcAddress(ntdll, "NtOpenFile"));
      loaded.queryDirectory = ProcCast<SNtApi::QueryDirectoryFn>(::GetProcAddress(ntdll, "NtQueryDirectoryFile"));
      loaded.toDosError = ProcCast<SNtApi::ToDosErrorFn>(::GetProcAddress(ntdll, "RtlNtStatusToDosError"));
    }
    return loaded;
  }();
  if (!api.open || !api.queryDirectory || !api.toDosError) throw CWin32Exc(ERROR_PROC_NOT_FOUND);
  return api;
}

SNtUnicodeString NtString(const std::wstring& text) {
  const USHORT bytes = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  return SNtUnicodeString{bytes, bytes, const_cast<PWSTR>(text.c_str())};
}

// One entry of a folder as its listing shows it.
struct SFolderEntry {
  std::wstring name;
  DWORD attributes = 0;
  LONGLONG id = 0;
};

// The entries of the folder behind `folder` ("." and ".." left out); with
// `mask`, only the entry of that name. Throws CWin32Exc.
std::vector<SFolderEntry> ListFolder(HANDLE folder, const std::wstring* mask) {
  const SNtApi& nt = NtApi();
  std::vector<SFolderEntry> entries;
  std::vector<LONGLONG> buffer(8192);  // 64 KiB, aligned for the records
  SNtUnicodeString maskText = mask ? NtString(*mask) : SNtUnicodeString{0, 0, nullptr};
  for (bool first = true;; first = false) {
    SNtIoStatus io = {};
    const LONG status =
        nt.queryDirectory(folder, nullptr, nullptr, nullptr, &io, buffer.data(),
                          static_cast<ULONG>(buffer.size() * sizeof(LONGLONG)), kFileIdBothDirectoryInformation,
                          FALSE, mask ? &maskText : nullptr, first ? TRUE : FALSE);
    if (status == kStatusNoMoreFiles || status == kStatusNoSuchFile) return entries;
    if (status < 0) throw CWin32Exc(nt.toDosError(status));
    const BYTE* record = reinterpret_cast<const BYTE*>(buffer.data());
    for (;;) {
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(record);
      SFolderEntry entry;
      entry.name.assign(info->FileName, info->FileNameLength / sizeof(wchar_t));
      entry.attributes = info->FileAttributes;
      entry.id = info->FileId.QuadPart;
      if (entry.name != L"." && entry.name != L"..") entries.push_back(std::move(entry));
      if (info->NextEntryOffset == 0) break;
      record += info->NextEntryOffset;
    }
  }
}

// Opens `name` inside the folder behind `parent` without following a reparse
// point. Throws CWin32Exc.
CFileHandle OpenEntry(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG options) {
  const SNtApi& nt = NtApi();
  SNtUnicodeString nameText = NtString(name);
  SNtObjectAttributes attributes = {sizeof(attributes), parent, &nameText, kObjCaseInsensitive, nullptr, nullptr};
  SNtIoStatus io = {};
  HANDLE handle = nullptr;
  const LONG status = nt.open(&handle, access | SYNCHRONIZE, &attributes, &io, kShareAll,
                              options | kFileOpenReparsePoint | kFileSynchronousIoNonAlert | kFileOpenForBackupIntent);
  if (status < 0) throw CWin32Exc(nt.toDosError(status));
  return CFileHandle(handle);
}

// What a handle is: its attributes and its file id.
SFolderEntry Describe(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!::GetFileInformationByHandle(handle, &info)) throw CWin32Exc(kUseLastError);
  SFolderEntry described;
  described.attributes = info.dwFileAttributes;
  described.id = static_cast<LONGLONG>((static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  return described;
}

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Opens the entry the listing showed and makes sure the handle is that very
// entry, a link when the listing showed a link: someone may have replaced
// the name since, and a handle to anything else must not be acted on.
CFileHandle OpenListedEntry(HANDLE parent, const SFolderEntry& entry, ACCESS_MASK access, ULONG options) {
  CFileHandle handle = OpenEntry(parent, entry.name, access, options);
  const SFolderEntry opened = Describe(handle.Get());
  if (opened.id != entry.id || IsLink(opened.attributes) != IsLink(entry.attributes)) {
    throw CWin32Exc(L"[%1] was replaced while it was being removed, or is a link that cannot be opened as one; it "
                    L"is left as it is.",
                    entry.name, static_cast<DWORD>(ERROR_CANT_ACCESS_FILE));
  }
  return handle;
}

// Marks the object for deletion when its last handle closes. False with the
// last error set when refused.
bool MarkForDeletion(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// Clears the read-only, hidden and system attributes through the handle.
void ResetProtectiveFlagsOf(HANDLE handle, const std::wstring& path) {
  FILE_BASIC_INFO basic = {};
  if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic))) {
    throw CWin32Exc(L"Cannot get file attributes. File path: [%1].", path, kUseLastError);
  }
  if ((basic.FileAttributes & kProtectiveAttributes) == 0) return;
  basic.FileAttributes &= ~kProtectiveAttributes;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic))) {
    throw CWin32Exc(L"Cannot set file attributes. File path: [%1].", path, kUseLastError);
  }
}

// Deletes through the handle; a protected object (read-only, hidden, system)
// has those attributes cleared first when the plain delete is refused.
// Throws CWin32Exc with the text `failure` when both attempts fail.
void DeleteThrough(HANDLE handle, const std::wstring& path, const std::wstring& failure) {
  if (MarkForDeletion(handle)) return;
  // Only a cleared attribute can change the answer. (Wine answers a second
  // request for a folder that is not empty with success, and then leaves the
  // folder where it is.)
  if (::GetLastError() != ERROR_ACCESS_DENIED) throw CWin32Exc(failure, kUseLastError);
  try {
    ResetProtectiveFlagsOf(handle, path);
  } catch (CExc& e) {
    e.AddContext(L"Cannot reset the protective flags. File path: [%1].", path);
    throw;
  }
  if (!MarkForDeletion(handle)) throw CWin32Exc(failure, kUseLastError);
}

void RemoveEntry(HANDLE parent, const SFolderEntry& entry, const std::wstring& path, const std::wstring& last);

// A junction or directory link (or a file link): deleted as the link itself.
void RemoveLinkAt(HANDLE parent, const SFolderEntry& entry, const std::wstring& path) {
  const CFileHandle link = OpenListedEntry(parent, entry, DELETE | FILE_READ_ATTRIBUTES, 0);
  if (!MarkForDeletion(link.Get())) throw CWin32Exc(L"RemoveDirectory(%1) failed.", path, kUseLastError);
}

void DeleteFileAt(HANDLE parent, const SFolderEntry& entry, const std::wstring& path) {
  try {
    const CFileHandle file =
        OpenListedEntry(parent, entry, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kFileNonDirectoryFile);
    DeleteThrough(file.Get(), path, L"Cannot delete file.");
  } catch (CExc& e) {
    e.AddContext(L"Cannot delete file [%1].", path);
    throw;
  }
}

// Empties the folder behind `folder` (its path is `path`, for the messages):
// files first, then links, then subfolders, each in listing order, and the
// entry named `last` after all of them.
void EmptyFolder(HANDLE folder, const std::wstring& path, const std::wstring& last) {
  std::vector<SFolderEntry> entries = ListFolder(folder, nullptr);
  const auto rank = [&last](const SFolderEntry& entry) {
    if (!last.empty() && EqualNoCase(entry.name, last)) return 3;
    if (IsLink(entry.attributes)) return 1;
    return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) ? 2 : 0;
  };
  std::stable_sort(entries.begin(), entries.end(),
                   [&rank](const SFolderEntry& a, const SFolderEntry& b) { return rank(a) < rank(b); });
  for (const SFolderEntry& entry : entries) RemoveEntry(folder, entry, CombinePath(path, entry.name), std::wstring());
}

void RemoveFolderAt(HANDLE parent, const SFolderEntry& entry, const std::wstring& path, const std::wstring& last) {
  try {
    const CFileHandle folder = OpenListedEntry(
        parent, entry, DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kFileDirectoryFile);
    EmptyFolder(folder.Get(), path, last);
    DeleteThrough(folder.Get(), path, FormatMsg(L"RemoveDirectory(%1) failed.", AddLongPathPrefix(path)));
  } catch (CExc& e) {
    e.AddContext(L"Cannot remove folder [%1].", path);
    throw;
  }
}

void RemoveEntry(HANDLE parent, const SFolderEntry& entry, const std::wstring& path, const std::wstring& last) {
  if (IsLink(entry.attributes)) {
    RemoveLinkAt(parent, entry, AddLongPathPrefix(path));
  } else if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
    RemoveFolderAt(parent, entry, path, last);
  } else {
    DeleteFileAt(parent, entry, path);
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

void RemoveFolder(const std::wstring& path, const std::wstring& last) {
  CFileHandle parent;
  SFolderEntry folder;
  try {
    std::wstring parentPath, name;
    SplitPath(WithoutTrailingSeparator(path), parentPath, name);
    if (parentPath.empty()) parentPath = L".";
    if (parentPath.size() == 2 && parentPath[1] == L':') parentPath += L'\\';  // the root, not the volume
    // The parent is opened as named; from there on nothing goes by path.
    parent.Reset(::CreateFileW(AddLongPathPrefix(parentPath).c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE, kShareAll,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!parent) throw CWin32Exc(kUseLastError);
    const std::vector<SFolderEntry> found = ListFolder(parent.Get(), &name);
    if (found.empty()) throw CWin32Exc(ERROR_PATH_NOT_FOUND);
    folder = found[0];
    if (IsLink(folder.attributes)) {
      RemoveLinkAt(parent.Get(), folder, AddLongPathPrefix(path));
      return;
    }
    if (!(folder.attributes & FILE_ATTRIBUTE_DIRECTORY)) throw CWin32Exc(ERROR_DIRECTORY);
  } catch (CExc& e) {
    e.AddContext(L"Cannot remove folder [%1].", path);
    throw;
  }
  RemoveFolderAt(parent.Get(), folder, path, last);
}

void RemoveFolderWithRetries(const std::wstring& path, DWORD pauseMs, unsigned attempts, const std::wstring& last) {
  for (unsigned attempt = 1; attempt <= attempts; ++attempt) {
    try {
      RemoveFolder(path, last);
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
