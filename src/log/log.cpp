#include "log/log.h"

#include "base/path.h"

#include <algorithm>
#include <cwchar>


namespace {

// Holds the process log without ever destroying it: threads may still log
// while the process runs its static destructors, so the log must outlive
// every other static object.
union CLogStorage {
  CLogStorage() : log() {}
  ~CLogStorage() {}
  CLog log;
};

}  // namespace

KORLO_INIT_SEG_LIB
static CLogStorage g_logStorage KORLO_INIT_EARLY;
// Bound at constant initialisation, before any constructor runs.
CLog& g_log = g_logStorage.log;

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

// Date and time text of the current second: formatting them through the
// locale is the dearest part of a line, and many lines fall within one
// second. The second is told by the system (UTC) clock, which is cheaper to
// read than the local time; local time differs from it by whole minutes, so
// both change second at the same instant.
//
// One cache for the process, taken with a flag that no thread waits for: a
// thread that finds it taken (another one formats a line at that instant,
// which the writer's lock makes rare) formats a stamp of its own. A
// thread-local cache would cost a call and a lookup on every line.
// The date and the time each take at most 80 characters with their null.
constexpr size_t kStampChars = 80 + 1 + 80;

struct SStampCache {
  std::atomic<bool> busy{false};
  bool valid = false;
  std::uint64_t second = 0;  // UTC seconds since 1601
  size_t length = 0;
  wchar_t text[kStampChars] = {};  // "<date> <time>"
};

SStampCache g_stampCache;

size_t FormatStamp(wchar_t* out) {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  const int dateLength = ::GetDateFormatW(LOCALE_USER_DEFAULT, 0, &now, nullptr, out, 80);
  size_t length = dateLength > 0 ? static_cast<size_t>(dateLength - 1) : 0;
  out[length++] = L' ';
  const int timeLength = ::GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &now, nullptr, out + length, 80);
  return length + (timeLength > 0 ? static_cast<size_t>(timeLength - 1) : 0);
}

// Copies the current stamp to out (room for kStampChars); returns its length.
size_t CurrentStamp(wchar_t* out) {
  FILETIME utc;
  ::GetSystemTimeAsFileTime(&utc);
  const std::uint64_t second = FileTimeToUInt64(utc) / 10000000ULL;
  SStampCache& cache = g_stampCache;
  if (cache.busy.exchange(true, std::memory_order_acquire)) return FormatStamp(out);
  if (!cache.valid || second != cache.second) {
    cache.length = FormatStamp(cache.text);
    cache.second = second;
    cache.valid = true;
  }
  const size_t length = cache.length;
  std::wmemcpy(out, cache.text, length);
  cache.busy.store(false, std::memory_order_release);
  return length;
}

wchar_t* Put(wchar_t* at, const wchar_t* text, size_t length) {
  std::wmemcpy(at, text, length);
  return at + length;
}

}  // namespace

void AppendLogLine(std::wstring& out, std::int32_t level, std::int32_t alignment, const std::wstring& text,
                   bool threadColumn) {
  wchar_t stamp[kStampChars];
  const size_t stampLength = CurrentStamp(stamp);
  // The thread id right-aligned in 5 columns (a longer one whole); digit by
  // digit, as the CRT formatter costs more than the rest of the line.
  wchar_t digits[10];
  size_t count = 0;
  if (threadColumn) {
    for (DWORD id = ::GetCurrentThreadId(); count == 0 || id != 0; id /= 10) {
      digits[count++] = static_cast<wchar_t>(L'0' + id % 10);
    }
  }
  const size_t column = threadColumn ? std::max<size_t>(count, 5) : 0;
  const size_t indent = alignment > 0 ? static_cast<size_t>(alignment) * 4 : 0;
  // The line is sized once and filled in place: it is built for every line.
  const size_t begin = out.size();
  out.resize(begin + stampLength + 2 + column + 2 + 4 + 4 + indent + text.size() + 2, L' ');
  wchar_t* at = Put(&out[begin], stamp, stampLength) + 2;
  at += column - count;
  while (count > 0) *at++ = digits[--count];
  at = Put(at + 2, LevelTag(level), 4) + 4 + indent;
  at = Put(at, text.data(), text.size());
  Put(at, L"\r\n", 2);
}

// CLogLock

namespace {

constexpr long kLocked = 1;
constexpr long kWoken = 2;  // a waiter is awake and competing: wake no other
constexpr long kOneWaiter = 4;
// Rounds a thread spins while the holder runs before it goes to sleep.
constexpr int kLockSpins = 200;

// Crash processing. A crashing thread waits at most this long for a log
// lock held by a running thread (a rotation compressing the file); once it
// gave up, it does not wait again during that crash.
constexpr DWORD kCrashLockWaitMs = 3000;
constexpr DWORD kCrashLockPollMs = 5;
// Threads processing a crash at the same time that the others can tell;
// more are still processed, only their locks may cost the wait above.
constexpr size_t kCrashedSlots = 32;

thread_local int t_crashDepth = 0;
thread_local bool t_crashGaveUp = false;
std::atomic<DWORD> g_crashedThreads[kCrashedSlots];
// Threads inside a crash scope. While it is 0 no thread is in one, and the
// locks need not read the thread's own depth: a thread-local variable costs
// a call and a lookup under mingw-w64, on every lock. A thread that enters a
// scope counts itself first, so it always sees its own count.
std::atomic<int> g_crashScopes{0};

// The calling thread's crash depth.
int CrashDepth() {
  if (g_crashScopes.load(std::memory_order_relaxed) == 0) return 0;
  return t_crashDepth;
}

bool IsCrashedThread(DWORD id) {
  if (id == 0) return false;
  for (const std::atomic<DWORD>& slot : g_crashedThreads) {
    if (slot.load() == id) return true;
  }
  return false;
}

}  // namespace

CLog::CCrashScope::CCrashScope() {
  if (t_crashDepth++ > 0) return;
  g_crashScopes.fetch_add(1);
  t_crashGaveUp = false;
  const DWORD self = ::GetCurrentThreadId();
  for (std::atomic<DWORD>& slot : g_crashedThreads) {
    DWORD free = 0;
    if (slot.compare_exchange_strong(free, self)) break;
  }
}

CLog::CCrashScope::~CCrashScope() {
  if (--t_crashDepth > 0) return;
  const DWORD self = ::GetCurrentThreadId();
  for (std::atomic<DWORD>& slot : g_crashedThreads) {
    DWORD mine = self;
    if (slot.compare_exchange_strong(mine, 0)) break;
  }
  g_crashScopes.fetch_sub(1);
}

bool CLog::CCrashScope::InCrash() { return CrashDepth() > 0; }

CLog::CLogLock::CLogLock() : m_waiters(::CreateSemaphoreW(nullptr, 0, MAXLONG, nullptr)) {
  if (!m_waiters) throw CWin32Exc(L"Cannot initialize the log lock.", kUseLastError);
}

CLog::CLogLock::~CLogLock() = default;

bool CLog::CLogLock::Lock() {
  const DWORD self = ::GetCurrentThreadId();
  const int crashDepth = CrashDepth();
  if (m_owner.load(std::memory_order_relaxed) == self) {
    // Held since before this thread crashed: what it guards may be half
    // changed.
    if (m_ownerCrashDepth != crashDepth) return false;
    ++m_depth;
    return true;
  }
  long expected = 0;
  if (!m_state.compare_exchange_strong(expected, kLocked, std::memory_order_acquire)) {
    if (crashDepth == 0) {
      LockContended();
    } else if (!LockInCrash()) {
      return false;
    }
  }
  m_owner.store(self, std::memory_order_relaxed);
  m_depth = 1;
  m_ownerCrashDepth = crashDepth;
  return true;
}

// Polls instead of queueing as a waiter: a waiter that gives up could not
// leave the queue.
bool CLog::CLogLock::LockInCrash() {
  for (DWORD waited = 0;; waited += kCrashLockPollMs) {
    long state = m_state.load(std::memory_order_relaxed);
    if (!(state & kLocked) &&
        m_state.compare_exchange_strong(state, state | kLocked, std::memory_order_acquire)) {
      return true;
    }
    if (t_crashGaveUp || waited >= kCrashLockWaitMs || IsCrashedThread(m_owner.load(std::memory_order_relaxed))) {
      t_crashGaveUp = true;
      return false;
    }
    ::Sleep(kCrashLockPollMs);
  }
}

void CLog::CLogLock::Unlock() {
  if (--m_depth > 0) return;
  m_owner.store(0, std::memory_order_relaxed);
  const long state = m_state.fetch_sub(kLocked, std::memory_order_release) - kLocked;
  if (state != 0) WakeWaiter(state);
}

void CLog::CLogLock::LockContended() {
  bool awoke = false;  // this thread was woken, and so owns the kWoken mark
  int spins = 0;
  long state = m_state.load(std::memory_order_relaxed);
  for (;;) {
    if ((state & kLocked) && spins < kLockSpins) {
      // A spinning thread counts as awake: releases need wake nobody.
      if (!awoke && !(state & kWoken) && state >= kOneWaiter &&
          m_state.compare_exchange_weak(state, state | kWoken, std::memory_order_relaxed)) {
        awoke = true;
      }
      ++spins;
      YieldProcessor();
      state = m_state.load(std::memory_order_relaxed);
      continue;
    }
    long next = (state & kLocked) ? state + kOneWaiter : state | kLocked;
    if (awoke) next &= ~kWoken;
    if (m_state.compare_exchange_weak(state, next, std::memory_order_acquire, std::memory_order_relaxed)) {
      if (!(state & kLocked)) return;
      ::WaitForSingleObject(m_waiters.Get(), INFINITE);
      awoke = true;
      spins = 0;
      state = m_state.load(std::memory_order_relaxed);
    }
  }
}

void CLog::CLogLock::WakeWaiter(long state) {
  for (;;) {
    // Nobody sleeps, the lock is taken again, or a waiter is awake already.
    if (state < kOneWaiter || (state & (kLocked | kWoken))) return;
    if (m_state.compare_exchange_weak(state, (state - kOneWaiter) | kWoken, std::memory_order_relaxed)) {
      ::ReleaseSemaphore(m_waiters.Get(), 1, nullptr);
      return;
    }
  }
}

// CMsgAligment

std::int32_t CLog::CMsgAligment::Get() {
  CLogLock::CHold hold(*m_lock);
  if (!hold) return 0;
  return m_steps;
}

void CLog::CMsgAligment::Shift(std::int32_t delta) {
  CLogLock::CHold hold(*m_lock);
  if (!hold) return;
  m_steps += delta;
  if (m_steps < 0) m_steps = 0;
}

// CLog

CLog::CSharedState::CSharedState()
    : lock(std::make_shared<CLogLock>()), alignment(std::make_shared<CMsgAligment>(lock)) {}

CLog::CLog() : m_state(std::make_shared<CSharedState>()), m_alignment(m_state->alignment) {}

void CLog::SetWriter(std::shared_ptr<CLogWriter> writer, std::wstring path) {
  CLogLock::CHold hold(*m_state->lock);
  if (!hold) return;
  m_state->logPath = std::move(path);
  m_state->writer = std::move(writer);
  m_state->hasWriter = static_cast<bool>(m_state->writer);
}

std::shared_ptr<CLogWriter> CLog::GetWriter() {
  CLogLock::CHold hold(*m_state->lock);
  if (!hold) return nullptr;
  return m_state->writer;
}

void CLog::SetLevel(std::int32_t level) { m_state->threshold = level; }

std::int32_t CLog::GetLevel() const { return m_state->threshold; }

std::wstring CLog::GetLogPath() {
  CLogLock::CHold hold(*m_state->lock);
  if (!hold) return std::wstring();
  return m_state->logPath;
}

bool CLog::IsEnabled(std::int32_t level) const {
  return m_state->threshold <= level && level < kLogSilent && m_state->hasWriter;
}

void CLog::ShiftAlignment(std::int32_t delta) { m_alignment->Shift(delta); }

std::int32_t CLog::GetAlignment() { return m_alignment->Get(); }

void CLog::Write(std::int32_t level, const std::wstring& text) {
  if (!IsEnabled(level)) return;
  CLogLock::CHold hold(*m_state->lock);
  if (!hold) return;
  Dispatch(level, m_alignment->Get(), text);
}

void CLog::WriteWithExc(std::int32_t level, const std::wstring& text, const CExc& exc) {
  if (!IsEnabled(level)) return;
  CLogLock::CHold hold(*m_state->lock);
  if (!hold) return;
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
      if (begin == 0 && end == size) {
        writer->Write(level, *this, alignment, text);  // one line: no copy
      } else {
        writer->Write(level, *this, alignment, text.substr(begin, end - begin));
      }
    } catch (const CExc&) {
      // A writer loses the line it cannot write; the log never fails its caller.
    } catch (const std::exception&) {
    }
    begin = next;
  }
}

void CLog::WriteBanner(const std::wstring& title, HMODULE module) {
  CLogLock::CHold hold(*m_state->lock);
  if (!hold) return;
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
