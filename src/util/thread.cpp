#include "util/thread.h"

#include "log/log.h"
#include "base/exc.h"

#include <memory>
#include <utility>

CEvent::CEvent(bool manualReset, bool initiallySet)
    : m_handle(::CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr)) {
  if (!m_handle) throw CEventExc(HRESULT_FROM_WIN32(::GetLastError()));
}

bool CEvent::Set() { return ::SetEvent(m_handle.Get()) != FALSE; }

bool CEvent::Reset() { return ::ResetEvent(m_handle.Get()) != FALSE; }

bool CEvent::IsSet() const { return ::WaitForSingleObject(m_handle.Get(), 0) == WAIT_OBJECT_0; }

namespace {

// Runs the procedure and deals with what escapes it. noexcept: an exception
// must never unwind into the system's thread start code, so anything not
// handled here ends the process.
DWORD RunProcedure(const CThread::Procedure& procedure) noexcept {
  try {
    return procedure();
  } catch (const STermExc&) {
    // A working thread unwinding after it saw its termination event.
    return 0;
  } catch (const CExc& e) {
    g_log.Error(L"A thread procedure failed.", e);
    return static_cast<DWORD>(e.GetCode() != 0 ? e.GetCode() : E_FAIL);
  }
}

DWORD WINAPI ThreadStart(void* parameter) {
  // The procedure (and whatever it captured) is released on this thread as
  // soon as it returns, not when the CThread goes.
  const std::unique_ptr<CThread::Procedure> procedure(static_cast<CThread::Procedure*>(parameter));
  return RunProcedure(*procedure);
}

// Gives the suspended thread the calling thread's impersonation token, if the
// caller is impersonating. Failures are logged, never thrown.
void PassImpersonationToken(HANDLE thread) {
  try {
    CKernelHandle token;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, token.Receive())) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_NO_TOKEN) return;  // not impersonating: the process token is right
      throw CWin32Exc(L"Failed to open main thread token", error);
    }
    HANDLE target = thread;
    if (!::SetThreadToken(&target, token.Get())) {
      const DWORD error = ::GetLastError();
      throw CWin32Exc(L"Failed to set service register thread token", error);
    }
  } catch (const CExc& e) {
    g_log.Warning(L"Unable to update thread token", e);
  }
}

}  // namespace

CThread::CThread(Procedure procedure, bool inheritToken) {
  if (!procedure) throw CExc(L"Cannot start a thread without a procedure.", E_INVALIDARG);
  auto start = std::make_unique<Procedure>(std::move(procedure));
  m_handle.Reset(
      ::CreateThread(nullptr, 0, &ThreadStart, start.get(), inheritToken ? CREATE_SUSPENDED : 0, &m_id));
  if (!m_handle) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(L"CreateThread() failed.", error);
  }
  // From here the thread owns the procedure; once resumed it may finish and
  // free it at any moment.
  Procedure* const owned = start.release();
  if (!inheritToken) return;

  PassImpersonationToken(m_handle.Get());
  if (::ResumeThread(m_handle.Get()) == static_cast<DWORD>(-1)) {
    const DWORD error = ::GetLastError();
    // The thread never ran, so the procedure is still ours to free. A thread
    // left suspended would make the destructor wait forever, so end it; if
    // even that fails, the procedure is leaked rather than freed under a
    // thread that might still run it.
    if (::TerminateThread(m_handle.Get(), 0) && ::WaitForSingleObject(m_handle.Get(), INFINITE) == WAIT_OBJECT_0) {
      delete owned;
    }
    m_handle.Reset();
    throw CWin32Exc(L"ResumeThread() failed.", error);
  }
}

CThread::~CThread() {
  if (!m_handle) return;
  const DWORD savedError = ::GetLastError();
  if (m_id == ::GetCurrentThreadId()) {
    g_log.Warning(L"A thread released its own thread object; its handle is closed without waiting for it.");
  } else {
    // No limit: a thread object must not go while its thread still uses what
    // the owner keeps alive for it.
    ::WaitForSingleObject(m_handle.Get(), INFINITE);
  }
  ::SetLastError(savedError);
}

bool CThread::IsRunning() const { return ::WaitForSingleObject(m_handle.Get(), 0) != WAIT_OBJECT_0; }

bool CThread::Wait(DWORD timeoutMs) const { return ::WaitForSingleObject(m_handle.Get(), timeoutMs) == WAIT_OBJECT_0; }

bool CThread::Terminate(DWORD& error) {
  if (!::TerminateThread(m_handle.Get(), 0)) {
    error = ::GetLastError();
    return false;
  }
  error = 0;
  return true;
}

DWORD CThread::GetExitCode() const {
  DWORD code = 0;
  if (!::GetExitCodeThread(m_handle.Get(), &code)) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(L"Cannot read the exit code of a thread.", error);
  }
  return code;
}
