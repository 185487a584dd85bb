// The process log: one object, g_log, alive from static construction to
// process exit. Until a writer is installed every message is dropped.
//
// Lock order: the log lock (CLog::CLogLock), then the writer's own lock. Both
// are recursive: the header a rotating writer writes into a fresh file goes
// through g_log on the same thread while both are held.
#pragma once

#include "base/exc.h"
#include "base/handle.h"
#include "base/msg.h"
#include "base/win.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

class CLog;

enum ELogLevel : std::int32_t {
  kLogMessage = 1,  // tag: four blanks
  kLogInfo = 2,     // "INFO"
  kLogWarning = 3,  // "WARN"
  kLogError = 4,    // "ERR "
  kLogSilent = 5,   // threshold only: nothing is written
};

// Receives the lines CLog dispatches. Called with the log lock held.
class CLogWriter {
 public:
  virtual ~CLogWriter() = default;
  virtual void Reopen() = 0;
  virtual void Write(std::int32_t level, CLog& log, std::int32_t alignment, const std::wstring& text) = 0;
};

// Appends one formatted log line to out: date, time, the thread column (when
// threadColumn), the level's tag, 4 blanks per alignment step, the text and
// "\r\n". Date and time come from the user's default short forms.
void AppendLogLine(std::wstring& out, std::int32_t level, std::int32_t alignment, const std::wstring& text,
                   bool threadColumn);

class CLog {
 public:
  // One recursive lock. Not a critical section: a contended critical section
  // under Wine passes itself from thread to thread through the scheduler on
  // every release, and 8 threads logging at once then write a quarter of the
  // lines one thread writes alone. Here the running thread may take the lock
  // again at once, and a release wakes a sleeping waiter only when no other
  // waiter is awake already (the woken one competes like everyone else).
  class CLogLock {
   public:
    // Throws CWin32Exc when the semaphore for waiters cannot be created.
    CLogLock();
    ~CLogLock();
    CLogLock(const CLogLock&) = delete;
    CLogLock& operator=(const CLogLock&) = delete;
    // Always true, except on a thread that processes its own crash (see
    // CCrashScope): false there when the lock is held by a crashed thread
    // (the caller itself, from before its crash, included), or when it
    // stays busy for a few seconds. The caller then skips what the lock
    // guards.
    bool Lock();
    void Unlock();

    // Holds the lock for a scope; false when Lock refused it.
    class CHold {
     public:
      explicit CHold(CLogLock& lock) : m_lock(lock), m_held(lock.Lock()) {}
      ~CHold() {
        if (m_held) m_lock.Unlock();
      }
      CHold(const CHold&) = delete;
      CHold& operator=(const CHold&) = delete;
      explicit operator bool() const { return m_held; }

     private:
      CLogLock& m_lock;
      const bool m_held;
    };

   private:
    void LockContended();
    bool LockInCrash();
    void WakeWaiter(long state);

    // kLocked | kWoken | sleeping waiters * kOneWaiter
    std::atomic<long> m_state{0};
    std::atomic<DWORD> m_owner{0};  // thread id of the holder, 0 when free
    long m_depth = 0;               // recursion depth of the holder
    int m_ownerCrashDepth = 0;      // the holder's crash depth when it took the lock
    CKernelHandle m_waiters;        // semaphore the sleeping waiters wait on
  };

  // The indentation count, one for the whole process and shared by all
  // threads: a step open on one thread also indents other threads' lines.
  class CMsgAligment {
   public:
    explicit CMsgAligment(std::shared_ptr<CLogLock> lock) : m_lock(std::move(lock)) {}
    std::int32_t Get();
    void Shift(std::int32_t delta);

   private:
    std::shared_ptr<CLogLock> m_lock;
    std::int32_t m_steps = 0;
  };

  struct CSharedState {
    CSharedState();
    std::shared_ptr<CLogLock> lock;
    std::shared_ptr<CMsgAligment> alignment;
    std::shared_ptr<CLogWriter> writer;
    std::atomic<std::int32_t> threshold{kLogMessage};
    std::atomic<bool> hasWriter{false};
    std::wstring logPath;
  };

  CLog();
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

  // Installs the writer (the previous one is released) and the path of the
  // file it writes, which GetLogPath answers (empty: no file).
  void SetWriter(std::shared_ptr<CLogWriter> writer, std::wstring path = std::wstring());
  std::shared_ptr<CLogWriter> GetWriter();
  void SetLevel(std::int32_t level);
  std::int32_t GetLevel() const;
  std::wstring GetLogPath();

  bool IsEnabled(std::int32_t level) const;
  bool IsMessageEnabled() const { return IsEnabled(kLogMessage); }
  bool IsInfoEnabled() const { return IsEnabled(kLogInfo); }

  void Message(const std::wstring& text) { Write(kLogMessage, text); }
  void Info(const std::wstring& text) { Write(kLogInfo, text); }
  void Warning(const std::wstring& text) { Write(kLogWarning, text); }
  void Error(const std::wstring& text) { Write(kLogError, text); }

  // Formatted forms: the arguments are formatted only when the level passes.
  template <class... A, class = EnableIfTexts<A...>>
  void Message(const std::wstring& format, const A&... args) { WriteFormatted(kLogMessage, format, args...); }
  template <class... A, class = EnableIfTexts<A...>>
  void Info(const std::wstring& format, const A&... args) { WriteFormatted(kLogInfo, format, args...); }
  template <class... A, class = EnableIfTexts<A...>>
  void Warning(const std::wstring& format, const A&... args) { WriteFormatted(kLogWarning, format, args...); }
  template <class... A, class = EnableIfTexts<A...>>
  void Error(const std::wstring& format, const A&... args) { WriteFormatted(kLogError, format, args...); }

  // The text, then every line of the exception one step deeper; the lines of
  // one call are never interleaved with another thread's.
  void Warning(const std::wstring& text, const CExc& exc) { WriteWithExc(kLogWarning, text, exc); }
  void Error(const std::wstring& text, const CExc& exc) { WriteWithExc(kLogError, text, exc); }

  // Writes text at level (split into lines at "\n"; a "\r" before it goes too).
  void Write(std::int32_t level, const std::wstring& text);
  void WriteWithExc(std::int32_t level, const std::wstring& text, const CExc& exc);

  // Adds delta to the alignment count; a negative result becomes 0.
  void ShiftAlignment(std::int32_t delta);
  std::int32_t GetAlignment();

  // The module banner (module null: the executable), every line at INFO.
  // Never throws.
  void WriteBanner(const std::wstring& title, HMODULE module = nullptr);

  CLogLock& GetLock() { return *m_state->lock; }

  // Marks the calling thread, for the scope's life, as processing its own
  // crash: its log lines never wait for a lock held by a thread that crashed
  // (nor take one it held itself when it crashed, whose data may be half
  // changed); they are dropped instead. Scopes nest (a crash inside crash
  // processing).
  class CCrashScope {
   public:
    CCrashScope();
    ~CCrashScope();
    CCrashScope(const CCrashScope&) = delete;
    CCrashScope& operator=(const CCrashScope&) = delete;
    // True while the calling thread processes a crash.
    static bool InCrash();
  };

  // Indentation scope: +1 on construction, -1 on destruction.
  class CLogIndent {
   public:
    explicit CLogIndent(CLog& log) : m_log(&log) { m_log->ShiftAlignment(1); }
    ~CLogIndent() { m_log->ShiftAlignment(-1); }
    CLogIndent(const CLogIndent&) = delete;
    CLogIndent& operator=(const CLogIndent&) = delete;

   private:
    CLog* m_log;
  };

 private:
  template <class... A>
  void WriteFormatted(std::int32_t level, const std::wstring& format, const A&... args) {
    if (!IsEnabled(level)) return;
    Write(level, FormatMsg(format, args...));
  }
  void Dispatch(std::int32_t level, std::int32_t alignment, const std::wstring& text);

  std::shared_ptr<CSharedState> m_state;
  std::shared_ptr<CMsgAligment> m_alignment;
};

// Constructed before every other static object and never destroyed.
extern CLog& g_log;

using CLogIndent = CLog::CLogIndent;

// A logged step: writes its text on opening and, on closing, the text followed
// by ". Ok." (Ok) or ". Failed." (destroyed without Ok, e.g. by an exception).
// Lines written inside the step stand one alignment step deeper.
template <std::int32_t Level>
class CLogStepT {
 public:
  CLogStepT(CLog& log, const std::wstring& text) : m_log(log) { Open(text); }
  CLogStepT(CLog& log, const std::wstring& format, const std::wstring& arg1) : m_log(log) {
    if (m_log.IsEnabled(Level)) Open(FormatMsg(format, arg1));
  }
  // Runs while an exception unwinds: swallows its own failures.
  ~CLogStepT() {
    if (!m_log.IsEnabled(Level) || m_closed) return;
    m_log.ShiftAlignment(-1);
    try {
      m_log.Write(Level, m_text + L". Failed.");
    } catch (const std::exception&) {
      // No memory for the closing line: the alignment is restored all the same.
    }
    m_log.ShiftAlignment(-1);
  }
  CLogStepT(const CLogStepT&) = delete;
  CLogStepT& operator=(const CLogStepT&) = delete;

  void Ok() { Close(m_text + L". Ok."); }
  // Closes with the formatted text in place of "<text>. Ok.".
  void Ok(const std::wstring& format, const std::wstring& arg1) {
    if (!m_log.IsEnabled(Level) || m_closed) return;
    Close(FormatMsg(format, arg1));
  }

 private:
  void Open(const std::wstring& text) {
    if (!m_log.IsEnabled(Level)) return;
    m_closed = false;
    m_log.ShiftAlignment(1);
    m_text = text;
    m_log.Write(Level, m_text);
    m_log.ShiftAlignment(1);
  }
  void Close(const std::wstring& line) {
    if (!m_log.IsEnabled(Level) || m_closed) return;
    m_closed = true;
    m_log.ShiftAlignment(-1);
    m_log.Write(Level, line);
    m_log.ShiftAlignment(-1);
  }

  CLog& m_log;
  bool m_closed = true;
  std::wstring m_text;
};

using CLogStep = CLogStepT<kLogMessage>;
using CLogInfoStep = CLogStepT<kLogInfo>;
