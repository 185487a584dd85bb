// Threads, events and locks shared between threads.
//
// Every thread of the agent other than the main thread, the service
// dispatcher's threads and the RPC run-time's threads is a CThread. Signals
// between threads are unnamed kernel events (CEvent); events that cross
// process boundaries are created by the uninstall handshake, not here.
#pragma once

#include "base/handle.h"
#include "base/win.h"

#include <functional>

// A kernel event could not be created. Carries HRESULT_FROM_WIN32 of the
// creation error. It is deliberately not a CExc: the handlers that catch CExc
// and carry on let it pass, so a process that cannot create its signals stops
// instead of running without them.
class CEventExc {
 public:
  explicit CEventExc(HRESULT hr) : m_hr(hr) {}
  HRESULT GetCode() const { return m_hr; }

 private:
  HRESULT m_hr;
};

// Owner of one kernel event handle. Move-only; the handle is closed on
// destruction.
class CEvent {
 public:
  // CreateEventW without security attributes and without a name. Throws
  // CEventExc on failure.
  CEvent(bool manualReset, bool initiallySet);
  // Takes ownership of an existing event handle.
  explicit CEvent(CKernelHandle event) noexcept : m_handle(std::move(event)) {}

  CEvent(CEvent&&) noexcept = default;
  CEvent& operator=(CEvent&&) noexcept = default;

  HANDLE GetHandle() const { return m_handle.Get(); }
  // SetEvent / ResetEvent; false (last error set) on failure.
  bool Set();
  bool Reset();
  // A zero-timeout wait succeeds. For an auto-reset event this consumes the
  // signal, as any successful wait does.
  bool IsSet() const;

 private:
  CKernelHandle m_handle;
};

// A recursive lock (a critical section). Not movable: its address is the
// lock.
class CCriticalSection {
 public:
  CCriticalSection() { ::InitializeCriticalSection(&m_section); }
  ~CCriticalSection() { ::DeleteCriticalSection(&m_section); }
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  void Lock() { ::EnterCriticalSection(&m_section); }
  void Unlock() { ::LeaveCriticalSection(&m_section); }

  // Holds the lock for the lifetime of the scope.
  using CHold = CLockHold<CCriticalSection>;

 private:
  CRITICAL_SECTION m_section;
};

// Owner of one Win32 thread, always held by std::shared_ptr.
//
// Releasing the last owner waits without limit for the thread to end, so the
// thread's procedure may safely use anything that outlives its CThread. The
// one exception: if the last owner is released on the thread itself, there is
// nothing to wait for (the wait would never end); the handle is just closed
// and a warning is logged. Code that keeps a CThread should not let its own
// thread release it.
class CThread {
 public:
  // The thread procedure; its result is the thread's exit code (0 by
  // convention). It runs on the new thread and is destroyed there, after it
  // returns, together with everything it captured.
  //
  // A procedure is expected to handle its own failures. What escapes it is
  // dealt with here: STermExc ends the thread normally with exit code 0; a
  // CExc is logged as an error and ends the thread with the exception's code
  // (E_FAIL when it has none); any other exception ends the process.
  using Procedure = std::function<DWORD()>;

  // Starts the thread (default security and stack size). Throws CWin32Exc
  // "CreateThread() failed." when no thread is created, and CExc
  // (E_INVALIDARG) for an empty procedure.
  //
  // With inheritToken the thread is created suspended and, when the calling
  // thread is impersonating, is given the caller's impersonation token before
  // it first runs. A failure to pass the token is logged as a warning and the
  // thread runs with the process token.
  CThread(Procedure procedure, bool inheritToken);
  ~CThread();

  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // For waits on several objects. Owned by this object: do not close it.
  HANDLE GetHandle() const { return m_handle.Get(); }
  DWORD GetId() const { return m_id; }

  // A zero-timeout wait on the thread does not succeed.
  bool IsRunning() const;
  // True when the thread has ended within timeoutMs (INFINITE: no limit).
  bool Wait(DWORD timeoutMs) const;
  // TerminateThread with exit code 0. Returns false with the system's error
  // code in `error`, or true with `error` 0. Whatever the thread held (locks,
  // heap blocks, its procedure) is lost.
  bool Terminate(DWORD& error);
  // The thread's exit code; STILL_ACTIVE while it runs. Throws CWin32Exc when
  // the system cannot read it.
  DWORD GetExitCode() const;

 private:
  CKernelHandle m_handle;
  DWORD m_id = 0;
};
