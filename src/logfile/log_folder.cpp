#include "logfile/log_folder.h"

#include "logfile/file_writer.h"
#include "log/log.h"
#include "base/exc.h"
#include "util/file.h"
#include "util/security.h"
#include "base/msg.h"

#include <shlobj.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>

#include <memory>
#include <vector>

namespace {

constexpr std::uint64_t kFileTimeUnitsPerDay = 864000000000ULL;  // 100 ns units
constexpr std::uint64_t kDailyLogMaxAgeDays = 30;
// "_", then eight characters and ".log".
constexpr size_t kDailyLogSuffixLength = 12;
constexpr DWORD kUserNameChars = 2048;

const std::wstring& SeparatorLine() {
  static const std::wstring line(96, L'=');
  return line;
}

// True when the file's creation time lies more than the allowed number of
// whole days before now. Files that cannot be opened or dated are not old.
bool IsOldDailyLog(const std::wstring& path, std::uint64_t now) {
  CFileHandle file(::CreateFileW(AddLongPathPrefix(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  FILETIME created = {};
  if (!::GetFileTime(file.Get(), &created, nullptr, nullptr)) return false;
  const std::uint64_t createdAt = FileTimeToUInt64(created);
  if (createdAt > now) return false;
  return (now - createdAt) / kFileTimeUnitsPerDay > kDailyLogMaxAgeDays;
}

// GetUserNameExW into a buffer of kUserNameChars, enlarged once when the
// system asks for more. Returns false with the error of the last call.
bool GetUserNameIn(EXTENDED_NAME_FORMAT format, std::wstring& name, DWORD& error) {
  std::vector<wchar_t> buffer(kUserNameChars);
  ULONG size = kUserNameChars;
  BOOLEAN ok = ::GetUserNameExW(format, buffer.data(), &size);
  error = ok ? ERROR_SUCCESS : ::GetLastError();
  if (!ok && error == ERROR_MORE_DATA && size > buffer.size()) {
    buffer.assign(size, L'\0');
    ok = ::GetUserNameExW(format, buffer.data(), &size);
    error = ok ? ERROR_SUCCESS : ::GetLastError();
  }
  if (ok) name.assign(buffer.data());
  return ok != FALSE;
}

}  // namespace

void CLogHeaderWriter::WriteHeader() {
  g_log.Info(SeparatorLine());
  g_log.Info(L"Starting new log");
  if (!m_title.empty()) g_log.WriteBanner(m_title, m_module);
}

std::wstring GetLogFolder() {
  wchar_t path[MAX_PATH] = {};
  const HRESULT hr = ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
  if (FAILED(hr)) {
    throw CComExc(L"Cannot get the path to the system directory containing application data for all users.", hr);
  }
  return JoinPath({path, L"Korlo\\Backup"});
}

std::wstring GetDefaultLogName(bool uninstall) {
  return uninstall ? L"KorloUninstall" : FileStem(GetModulePath());
}

std::wstring GetPluginLogName(const std::wstring& pluginPath) { return FileStem(pluginPath); }

void InitLogging(bool uninstall, const std::wstring& name) {
  try {
    const std::wstring folder = GetLogFolder();
    const std::wstring logName = name.empty() ? GetDefaultLogName(uninstall) : name;
    // A machine set up without the installer has no log folder yet. If it
    // cannot be made, the writer is installed all the same and drops its
    // lines until the folder exists. Only administrators may read what the
    // service logs and dumps there.
    try {
      util::MakeProtectedFolder(folder);
    } catch (const CExc&) {
    }
    RemoveOldDailyLogs(folder, logName);
    auto header = std::make_shared<CLogHeaderWriter>(L"Version", nullptr);
    auto writer = std::make_shared<CFileLogWriterWithRotation>(folder, logName, true, header);
    std::wstring path = writer->GetFilePath();
    g_log.SetWriter(std::move(writer), std::move(path));
    g_log.SetLevel(kLogMessage);
    g_log.Info(SeparatorLine());
    g_log.WriteBanner(L"Version", nullptr);
    LogCurrentUser();
  } catch (const CExc&) {
    // Before the writer is installed this leaves the process without a log;
    // after it, only the opening lines are shorter.
  }
}

void RemoveOldDailyLogs(const std::wstring& folder, const std::wstring& name) {
  const std::wstring prefix = name + L"_";
  std::vector<std::wstring> files, folders;
  try {
    SearchFiles(CombinePath(folder, prefix + L"*.log"), files, folders);
  } catch (const CExc&) {
    return;
  }
  FILETIME nowTime = {};
  ::GetSystemTimeAsFileTime(&nowTime);
  const std::uint64_t now = FileTimeToUInt64(nowTime);
  for (const std::wstring& file : files) {
    // The mask also matches through the 8.3 short name ("SVC_~1A2.LOG" for
    // "svc_1234567.logx"): the long name itself must end with ".log".
    if (file.size() != prefix.size() + kDailyLogSuffixLength || file.compare(0, prefix.size(), prefix) != 0 ||
        !EqualNoCase(file.c_str() + file.size() - 4, 4, L".log", 4)) {
      continue;
    }
    const std::wstring path = CombinePath(folder, file);
    if (!IsOldDailyLog(path, now)) continue;
    try {
      DeleteFileIfExists(path);
    } catch (const CExc&) {
      // Left for the next start.
    }
  }
}

void LogCurrentUser() {
  std::wstring user;
  DWORD error = ERROR_SUCCESS;
  if (GetUserNameIn(NameDnsDomain, user, error) || GetUserNameIn(NameSamCompatible, user, error)) {
    g_log.Info(L"User: %1", user);
    return;
  }
  g_log.Warning(L"Cannot get the name of the current user.", CWin32Exc(error));
}
