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

bool CPluginLog::Open(const std::wstring& folder, const std::wstring& name, std::uint64_t maxFileBytes) {
  CExclusive guard(m_lock);
  if (m_file != INVALID_HANDLE_VALUE) {
    ::CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
  }
  m_path = folder + L"\\" + name + L".log";
  m_maxFileBytes = maxFileBytes;
  return CreateFolderTree(folder) && OpenFileLocked();
}

bool CPluginLog::OpenFileLocked() {
  m_file = ::CreateFileW(m_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (m_file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  m_size = ::GetFileSizeEx(m_file, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
  if (m_size == 0) {
    const wchar_t bom = 0xFEFF;
    DWORD written = 0;
    ::WriteFile(m_file, &bom, sizeof(bom), &written, nullptr);
    m_size = written;
  }
  return true;
}

std::wstring CPluginLog::Path() const {
  CExclusive guard(m_lock);
  return m_path;
}

std::wstring CPluginLog::Stamp() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  wchar_t stamp[64];
  std::swprintf(stamp, sizeof(stamp) / sizeof(stamp[0]), L"%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear,
                now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  return stamp;
}

void CPluginLog::WriteLocked(const std::wstring& text) {
  if (m_file == INVALID_HANDLE_VALUE) return;
  const std::wstring line = Stamp() + L" [" + std::to_wstring(::GetCurrentThreadId()) + L"] " + text + L"\r\n";
  const DWORD bytes = static_cast<DWORD>(line.size() * sizeof(wchar_t));
  if (m_size + bytes > m_maxFileBytes) {
    // The full file becomes the previous one; when it cannot be renamed it
    // is started anew, so the limit holds either way.
    ::CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
    const std::wstring previous = m_path.substr(0, m_path.size() - 4) + L".1.log";
    if (!::MoveFileExW(m_path.c_str(), previous.c_str(), MOVEFILE_REPLACE_EXISTING)) ::DeleteFileW(m_path.c_str());
    if (!OpenFileLocked()) return;
  }
  DWORD written = 0;
  ::WriteFile(m_file, line.data(), bytes, &written, nullptr);
  m_size += written;
}

void CPluginLog::WriteSuppressedLocked(const std::wstring& kind, SRepeat& repeat) {
  if (repeat.suppressed == 0) return;
  WriteLocked(L"[" + kind + L"] " + std::to_wstring(repeat.suppressed) + L" more since " + repeat.since + L".");
  repeat.suppressed = 0;
}

void CPluginLog::Write(const std::wstring& text) {
  const DWORD error = ::GetLastError();
  {
    CExclusive guard(m_lock);
    WriteLocked(text);
  }
  ::SetLastError(error);
}

void CPluginLog::WriteRepeatable(const std::wstring& kind, const std::wstring& text) {
  const DWORD error = ::GetLastError();
  {
    CExclusive guard(m_lock);
    SRepeat& repeat = m_repeats[kind];
    const ULONGLONG now = ::GetTickCount64();
    if (!repeat.since.empty() && now - repeat.windowStart < kRepeatWindowMs) {
      ++repeat.suppressed;
    } else {
      WriteSuppressedLocked(kind, repeat);
      repeat.windowStart = now;
      repeat.since = Stamp();
      WriteLocked(text);
    }
  }
  ::SetLastError(error);
}

void CPluginLog::Flush() {
  const DWORD error = ::GetLastError();
  {
    CExclusive guard(m_lock);
    for (auto& repeat : m_repeats) WriteSuppressedLocked(repeat.first, repeat.second);
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
