#include "logfile/log_folder.h"

#include "logfile/file_writer.h"
#include "log/log.h"
#include "base/exc.h"
#include "util/file.h"
#include "util/security.h"
#include "util/thread.h"
#include "base/msg.h"

#include <objbase.h>

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
// Names tried for the folder that replaces an unsafe one: the plain
// "<name>.unsafe-<why>", then random suffixes.
constexpr unsigned kReplacementAttempts = 8;

// The folder InitLogging settled on; empty until then.
struct SLogFolderInUse {
  CCriticalSection lock;
  std::wstring path;
};

SLogFolderInUse& LogFolderInUse() {
  static SLogFolderInUse inUse;
  return inUse;
}

const wchar_t* DistrustName(util::distrust_t kind) {
  switch (kind) {
    case util::distrust_t::link:
      return L"link";
    case util::distrust_t::owner:
      return L"owner";
    case util::distrust_t::file:
      return L"file";
    default:
      return L"access";
  }
}

// Eight hex digits no other user can guess in advance.
std::wstring RandomSuffix() {
  GUID guid = {};
  if (FAILED(::CoCreateGuid(&guid))) {
    guid.Data1 = ::GetTickCount() ^ (::GetCurrentProcessId() << 16);
  }
  std::wstring text;
  for (int shift = 28; shift >= 0; shift -= 4) text += L"0123456789abcdef"[(guid.Data1 >> shift) & 0xF];
  return text;
}

// parent\name when it is (or is now created as) a folder SYSTEM can trust;
// otherwise a folder made beside it, and a warning text in findings. The
// parent has been settled already.
std::wstring SettleFolder(const std::wstring& parent, const std::wstring& name, std::vector<std::wstring>& findings) {
  const std::wstring path = CombinePath(parent, name);
  if (util::CreateProtectedFolder(path)) return path;
  const util::folder_trust_t trust = util::InspectFolder(path);
  if (trust.kind == util::distrust_t::none) return path;
  // Left alone: a rename, move or delete of a link acts on its target under
  // some systems, and writing into it writes where its maker chose.
  const std::wstring base = path + L".unsafe-" + DistrustName(trust.kind);
  for (unsigned attempt = 0; attempt < kReplacementAttempts; ++attempt) {
    const std::wstring candidate = attempt == 0 ? base : base + L"-" + RandomSuffix();
    // The plain name may be ours from an earlier start: reused when safe.
    if (util::CreateProtectedFolder(candidate) ||
        (attempt == 0 && util::InspectFolder(candidate).kind == util::distrust_t::none)) {
      findings.push_back(FormatMsg(L"The folder [%1] is not used for the log: %2. The log is kept in [%3]; an "
                                   L"administrator should remove or correct [%1].",
                                   path, trust.reason, candidate));
      return candidate;
    }
  }
  throw CExc(L"Cannot make a folder for the log beside [%1], which is not used: %2.", path, trust.reason, E_FAIL);
}

const std::wstring& SeparatorLine() {
  static const std::wstring line(96, L'=');
  return line;
}

// True when the file's creation time lies more than the allowed number of
// whole days before now. Files that cannot be opened or dated are not old.
bool IsOldDailyLog(const std::wstring& path, std::uint64_t now) {
  CFileHandle file(::CreateFileW(AddLongPathPrefix(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
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
  {
    SLogFolderInUse& inUse = LogFolderInUse();
    CCriticalSection::CHold hold(inUse.lock);
    if (!inUse.path.empty()) return inUse.path;
  }
  return GetStandardLogFolder();
}

namespace {

std::wstring CommonAppDataFolder() {
  wchar_t path[MAX_PATH] = {};
  const HRESULT hr = ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
  if (FAILED(hr)) {
    throw CComExc(L"Cannot get the path to the system directory containing application data for all users.", hr);
  }
  return path;
}

}  // namespace

std::wstring GetStandardLogFolder() { return JoinPath({CommonAppDataFolder(), L"Korlo\\Backup"}); }

std::wstring SettleLogFolder(std::vector<std::wstring>& findings) {
  const std::wstring korlo = SettleFolder(CommonAppDataFolder(), L"Korlo", findings);
  return SettleFolder(korlo, L"Backup", findings);
}

std::wstring GetDefaultLogName(bool uninstall) {
  return uninstall ? L"KorloUninstall" : FileStem(GetModulePath());
}

std::wstring GetPluginLogName(const std::wstring& pluginPath) { return FileStem(pluginPath); }

void InitLogging(bool uninstall, const std::wstring& name) {
  try {
    const std::wstring logName = name.empty() ? GetDefaultLogName(uninstall) : name;
    // A machine set up without the installer has no log folder yet: it is
    // made here, for administrators only. Without a folder that could be
    // checked there is no log: a writer would open its file later in a
    // folder nobody checked.
    std::vector<std::wstring> findings;
    const std::wstring folder = SettleLogFolder(findings);
    {
      SLogFolderInUse& inUse = LogFolderInUse();
      CCriticalSection::CHold hold(inUse.lock);
      inUse.path = folder;
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
    for (const std::wstring& finding : findings) g_log.Warning(finding);
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
