// Time-limited asynchronous operations: one call run on a worker thread of
// its own while the calling thread waits for it with a limit. A call that
// hangs inside the system costs the caller at most the limit; the hung worker
// is terminated when the operation object is released.
//
// An operation is used once: constructed with its task, run once, released.
// It lives on the caller's stack. Exactly two threads touch it: the caller
// and its worker. The worker writes the result and the captured failure; the
// caller reads them only after its wait has seen the worker's exit, so no
// lock is needed. After a timeout the worker may still write them while the
// caller unwinds: the fields live until the release has ended the worker.
#pragma once

#include "base/exc.h"
#include "base/msg.h"
#include "base/win.h"
#include "log/log.h"
#include "util/thread.h"

#include <functional>
#include <memory>
#include <utility>

template <class T>
class CAsyncOperationBase {
 public:
  using Task = std::function<T()>;

  explicit CAsyncOperationBase(Task task) : m_task(std::move(task)) {}
  CAsyncOperationBase(const CAsyncOperationBase&) = delete;
  CAsyncOperationBase& operator=(const CAsyncOperationBase&) = delete;

  // Ends a worker that still runs (TerminateThread, exit code 0): whatever it
  // held is lost. A failure to end it is logged as an error ("Unable to
  // terminate async task function thread."), never thrown: the release
  // usually follows a timeout whose exception is still travelling.
  virtual ~CAsyncOperationBase() { EndWorker(); }

  // Runs the task on a worker thread and waits up to timeoutMs (INFINITE:
  // no limit). Returns the task's result or throws: the task's own CExc
  // failure with its dynamic type, messages and code; CExc "Task function
  // timeout [<ms>]" (E_FAIL) when the worker has not finished in time (it
  // runs on until the operation is released); the thread creation failure
  // with the context "Failed to initiate thread for async task function".
  T Run(DWORD timeoutMs) {
    try {
      m_thread = std::make_shared<CThread>([this]() -> DWORD { return ThreadProc(); }, true);
    } catch (CExc& e) {
      e.AddContext(L"Failed to initiate thread for async task function");
      throw;
    }
    if (!m_thread->Wait(timeoutMs)) {
      throw CExc(L"Task function timeout [%1]", std::to_wstring(timeoutMs), E_FAIL);
    }
    if (m_failure) m_failure->Throw();
    return GetResult();
  }

 protected:
  // Calls the task on the current thread and keeps what it returns.
  virtual void RunTask() = 0;
  // A copy of what RunTask kept.
  virtual T GetResult() = 0;

  // Every derived class calls this first in its destructor, so that a
  // worker still running never writes into a member already destroyed.
  void EndWorker() noexcept {
    if (!m_thread || !m_thread->IsRunning()) return;
    DWORD error = 0;
    if (!m_thread->Terminate(error)) {
      g_log.Error(L"Cannot end the worker of an asynchronous operation.",
                  CWin32Exc(L"Unable to terminate async task function thread.", error));
    }
  }

  Task m_task;

 private:
  // On the worker. Exceptions outside the CExc family are not caught here:
  // they end the process through the crash handling.
  DWORD ThreadProc() {
    try {
      RunTask();
    } catch (const CExc& e) {
      m_failure = e.Clone();
    }
    return 0;
  }

  std::shared_ptr<CThread> m_thread;
  std::shared_ptr<CExc> m_failure;
};

template <class T>
class CAsyncOperation : public CAsyncOperationBase<T> {
 public:
  using typename CAsyncOperationBase<T>::Task;
  explicit CAsyncOperation(Task task) : CAsyncOperationBase<T>(std::move(task)) {}
  ~CAsyncOperation() override { this->EndWorker(); }

 protected:
  void RunTask() override { m_result = this->m_task(); }
  T GetResult() override { return m_result; }

 private:
  T m_result{};
};

class CAsyncOperationWitoutRet : public CAsyncOperationBase<void> {
 public:
  explicit CAsyncOperationWitoutRet(Task task) : CAsyncOperationBase<void>(std::move(task)) {}
  ~CAsyncOperationWitoutRet() override { EndWorker(); }

 protected:
  void RunTask() override { m_task(); }
  void GetResult() override {}
};
