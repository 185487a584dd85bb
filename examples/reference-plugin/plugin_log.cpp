#include "plugin_log.h"

#include <cwchar>

namespace refPlugin {

namespace {

class CExclusive {
 public:
  explicit CExclusive(SRWLOCK& lock) : m_lock(lock) { ::AcquireSRWLockExclusive(&m_lock); }
  ~CExclusive() { ::ReleaseSRWLockExclusive(&m_lock); }
  CExclusive(const CExclusive&) = delete;
  CExclusive& operator=(const CExclusive&) = delete;

 private:
  SRWLOCK& m_lock;
};

// Creates `folder` and the folders above it that are missing.
bool CreateFolderTree(const std::wstring& folder) {
  if (::CreateDirectoryW(folder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) return true;
  if (::GetLastError() != ERROR_PATH_NOT_FOUND) return false;
  const size_t slash = folder.find_last_of(L'\\');
  if (slash == std::wstring::npos || slash == 0 || !CreateFolderTree(folder.substr(0, slash))) return false;
  return ::CreateDirectoryW(folder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace

CPluginLog::CPluginLog() = default;

CPluginLog::~CPluginLog() {
  if (m_file != INVALID_HANDLE_VALUE) ::CloseHandle(m_file);
}

bool CPluginLog::Open(const std::wstring& folder, const std::wstring& name) {
  CExclusive guard(m_lock);
  if (m_file != INVALID_HANDLE_VALUE) {
    ::CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
  }
  m_path = folder + L"\\" + name + L".log";
  if (!CreateFolderTree(folder)) return false;
  m_file = ::CreateFileW(m_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (m_file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  if (::GetFileSizeEx(m_file, &size) && size.QuadPart == 0) {
    const wchar_t bom = 0xFEFF;
    DWORD written = 0;
    ::WriteFile(m_file, &bom, sizeof(bom), &written, nullptr);
  }
  return true;
}

std::wstring CPluginLog::Path() const {
  CExclusive guard(m_lock);
  return m_path;
}

void CPluginLog::Write(const std::wstring& text) {
  const DWORD error = ::GetLastError();
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  wchar_t stamp[64];
  std::swprintf(stamp, sizeof(stamp) / sizeof(stamp[0]), L"%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] ",
                now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                ::GetCurrentThreadId());
  const std::wstring line = stamp + text + L"\r\n";
  {
    CExclusive guard(m_lock);
    if (m_file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      ::WriteFile(m_file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    }
  }
  ::SetLastError(error);
}

CPluginLog& Log() {
  static CPluginLog log;
  return log;
}

std::wstring WithError(const std::wstring& text, DWORD code) {
  wchar_t* system = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t*>(&system), 0, nullptr);
  std::wstring message = length != 0 ? std::wstring(system, length) : std::wstring();
  if (system != nullptr) ::LocalFree(system);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.')) {
    message.pop_back();
  }
  return text + L" Error: " + std::to_wstring(code) + (message.empty() ? L"." : L" (" + message + L").");
}

}  // namespace refPlugin
