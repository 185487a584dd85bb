#include "log/log.h"

#include "util/file.h"

#include <cwchar>

KORLO_INIT_SEG_LIB
CLog g_log KORLO_INIT_EARLY;

namespace {

const wchar_t* LevelTag(std::int32_t level) {
  switch (level) {
    case kLogInfo:
      return L"INFO";
    case kLogWarning:
      return L"WARN";
    case kLogError:
      return L"ERR ";
    default:
      return L"    ";
  }
}

// Date and time text of the current second, per thread: formatting them
// through the locale is the dearest part of a line, and a thread writes many
// lines within one second.
struct SStampCache {
  SYSTEMTIME time = {};
  bool valid = false;
  std::wstring text;  // "<date> <time>"
};

const std::wstring& CurrentStamp() {
  thread_local SStampCache cache;
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  if (cache.valid && now.wSecond == cache.time.wSecond && now.wMinute == cache.time.wMinute &&
      now.wHour == cache.time.wHour && now.wDay == cache.time.wDay && now.wMonth == cache.time.wMonth &&
      now.wYear == cache.time.wYear) {
    return cache.text;
  }
  wchar_t date[80] = {};
  wchar_t time[80] = {};
  const int dateLength = ::GetDateFormatW(LOCALE_USER_DEFAULT, 0, &now, nullptr, date, 80);
  const int timeLength = ::GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &now, nullptr, time, 80);
  cache.text.assign(date, dateLength > 0 ? static_cast<size_t>(dateLength - 1) : 0);
  cache.text += L' ';
  cache.text.append(time, timeLength > 0 ? static_cast<size_t>(timeLength - 1) : 0);
  cache.time = now;
  cache.valid = true;
  return cache.text;
}

}  // namespace

void AppendLogLine(std::wstring& out, std::int32_t level, std::int32_t alignment, const std::wstring& text,
                   bool threadColumn) {
  out += CurrentStamp();
  out += L"  ";
  if (threadColumn) {
    wchar_t id[16];
    const int length = std::swprintf(id, 16, L"%5lu", static_cast<unsigned long>(::GetCurrentThreadId()));
    out.append(id, length > 0 ? static_cast<size_t>(length) : 0);
  }
  out += L"  ";
  out += LevelTag(level);
  out += L"    ";
  if (alignment > 0) out.append(static_cast<size_t>(alignment) * 4, L' ');
  out += text;
  out += L"\r\n";
}

// CLogLock

CLog::CLogLock::CLogLock() {
  if (!::InitializeCriticalSectionAndSpinCount(&m_section, 4000)) {
    throw CWin32Exc(L"Cannot initialize the log lock.", kUseLastError);
  }
}

CLog::CLogLock::~CLogLock() { ::DeleteCriticalSection(&m_section); }

// CMsgAligment

std::int32_t CLog::CMsgAligment::Get() {
  CLogLock::CHold hold(*m_lock);
  return m_steps;
}

void CLog::CMsgAligment::Shift(std::int32_t delta) {
  CLogLock::CHold hold(*m_lock);
  m_steps += delta;
  if (m_steps < 0) m_steps = 0;
}

// CLog

CLog::CSharedState::CSharedState()
    : lock(std::make_shared<CLogLock>()), alignment(std::make_shared<CMsgAligment>(lock)) {}

CLog::CLog() : m_state(std::make_shared<CSharedState>()), m_alignment(m_state->alignment) {}

void CLog::SetWriter(std::shared_ptr<CLogWriter> writer) {
  CLogLock::CHold hold(*m_state->lock);
  m_state->writer = std::move(writer);
  m_state->hasWriter = static_cast<bool>(m_state->writer);
}

std::shared_ptr<CLogWriter> CLog::GetWriter() {
  CLogLock::CHold hold(*m_state->lock);
  return m_state->writer;
}

void CLog::SetLevel(std::int32_t level) { m_state->threshold = level; }

std::int32_t CLog::GetLevel() const { return m_state->threshold; }

std::wstring CLog::GetLogPath() {
  CLogLock::CHold hold(*m_state->lock);
  return m_state->logPath;
}

void CLog::SetLogPath(const std::wstring& path) {
  CLogLock::CHold hold(*m_state->lock);
  m_state->logPath = path;
}

bool CLog::IsEnabled(std::int32_t level) const {
  return m_state->threshold <= level && level < kLogSilent && m_state->hasWriter;
}

void CLog::ShiftAlignment(std::int32_t delta) { m_alignment->Shift(delta); }

std::int32_t CLog::GetAlignment() { return m_alignment->Get(); }

void CLog::Write(std::int32_t level, const std::wstring& text) {
  if (!IsEnabled(level)) return;
  CLogLock::CHold hold(*m_state->lock);
  Dispatch(level, m_alignment->Get(), text);
}

void CLog::WriteWithExc(std::int32_t level, const std::wstring& text, const CExc& exc) {
  if (!IsEnabled(level)) return;
  CLogLock::CHold hold(*m_state->lock);
  Write(level, text);
  if (!IsEnabled(level)) return;
  const std::int32_t alignment = m_alignment->Get() + 1;
  for (const std::wstring& line : exc.GetMessages()) Dispatch(level, alignment, line);
}

// Caller holds the lock.
void CLog::Dispatch(std::int32_t level, std::int32_t alignment, const std::wstring& text) {
  const std::shared_ptr<CLogWriter> writer = m_state->writer;
  if (!writer) return;
  size_t begin = 0;
  const size_t size = text.size();
  while (begin < size) {
    size_t end = text.find(L'\n', begin);
    const size_t next = (end == std::wstring::npos) ? size : end + 1;
    if (end == std::wstring::npos) {
      end = size;
    } else if (end > begin && text[end - 1] == L'\r') {
      --end;
    }
    try {
      writer->Write(level, *this, alignment, text.substr(begin, end - begin));
    } catch (const CExc&) {
      // A writer loses the line it cannot write; the log never fails its caller.
    } catch (const std::exception&) {
    }
    begin = next;
  }
}

void CLog::WriteBanner(const std::wstring& title, HMODULE module) {
  CLogLock::CHold hold(*m_state->lock);
  Info(title);
  Info(L"{");
  {
    CLogIndent indent(*this);
    try {
      const std::wstring path = GetModulePath(module);
      Info(L"Module name: [%1].", GetModuleName(module));
      Info(L"Module path: [%1].", path);
      Info(L"Build edition: [%1].", L"standard");
      try {
        const VS_FIXEDFILEINFO version = GetFileVersion(path);
        Info(L"Module version: [%1].", DecText(HIWORD(version.dwFileVersionMS)) + L"." +
                                          DecText(LOWORD(version.dwFileVersionMS)) + L"." +
                                          DecText(HIWORD(version.dwFileVersionLS)) + L"." +
                                          DecText(LOWORD(version.dwFileVersionLS)));
      } catch (const CExc&) {
        // No readable version resource: only the version line is left out.
      }
    } catch (const CExc&) {
      return;  // the banner ends here; the indentation is undone by its scope
    }
  }
  Info(L"}");
}
