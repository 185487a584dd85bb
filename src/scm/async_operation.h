// Time-limited asynchronous operations: one call run on a worker thread of
// its own while the calling thread waits for it with a limit. A call that
// hangs inside the system costs the caller at most the limit; the hung worker
// is terminated when the operation object is released.
//
// An operation is used once: constructed with its task, run once, released.
// It lives on the caller's stack. Exactly two threads touch it: the caller
// and its worker. The worker writes the result and the captured failure; the
// caller reads them only after its wait has seen the worker's exit, so no
// lock is needed. The task, the result and the failure live in a block the
// worker shares: a worker that cannot be terminated runs on with them after
// the release, which does not wait for it. A task must therefore capture by
// value whatever it uses.
#pragma once

#include "base/exc.h"
#include "base/msg.h"
#include "base/win.h"
#include "log/log.h"
#include "util/thread.h"

#include <functional>
#include <memory>
#include <utility>
#include <vector>

template <class T>
struct SAsyncWork {
  std::function<T()> task;
  T result{};
  std::shared_ptr<CExc> failure;
  void Run() { result = task(); }
};

template <>
struct SAsyncWork<void> {
  std::function<void()> task;
  std::shared_ptr<CExc> failure;
  void Run() { task(); }
};

// Threads that could not be terminated. Never destroyed: releasing them
// would wait for threads that may never end.
inline void KeepHungWorker(std::shared_ptr<CThread> thread) {
  static CCriticalSection* const lock = new CCriticalSection;
  static auto* const kept = new std::vector<std::shared_ptr<CThread>>;
  CCriticalSection::CHold hold(*lock);
  kept->push_back(std::move(thread));
}

template <class T>
class CAsyncOperationBase {
 public:
  using Task = std::function<T()>;

  explicit CAsyncOperationBase(Task task) : m_work(std::make_shared<SAsyncWork<T>>()) {
    m_work->task = std::move(task);
  }
  CAsyncOperationBase(const CAsyncOperationBase&) = delete;
  CAsyncOperationBase& operator=(const CAsyncOperationBase&) = delete;

  // Ends a worker that still runs (TerminateThread, exit code 0): whatever it
  // held is lost. A failure to end it is logged as an error ("Unable to
  // terminate async task function thread."), never thrown: the release
  // usually follows a timeout whose exception is still travelling. Such a
  // worker is left to run on with its shared block; the release does not
  // wait for it.
  virtual ~CAsyncOperationBase() { EndWorker(); }

  // Runs the task on a worker thread and waits up to timeoutMs (INFINITE:
  // no limit). Returns the task's result or throws: the task's own CExc
  // failure with its dynamic type, messages and code; CExc "Task function
  // timeout [<ms>]" (E_FAIL) when the worker has not finished in time (it
  // runs on until the operation is released); the thread creation failure
  // with the context "Failed to initiate thread for async task function".
  T Run(DWORD timeoutMs) {
    try {
      std::shared_ptr<SAsyncWork<T>> work = m_work;
      m_thread = std::make_shared<CThread>([work]() -> DWORD { return ThreadProc(*work); }, true);
    } catch (CExc& e) {
      e.AddContext(L"Failed to initiate thread for async task function");
      throw;
    }
    if (!m_thread->Wait(timeoutMs)) {
      throw CExc(L"Task function timeout [%1]", std::to_wstring(timeoutMs), E_FAIL);
    }
    if (m_work->failure) m_work->failure->Throw();
    return GetResult();
  }

 protected:
  // TerminateThread; false with the system's error when it fails.
  virtual bool TerminateWorker(CThread& thread, DWORD& error) { return thread.Terminate(error); }
  // A copy of what the task returned.
  virtual T GetResult() = 0;

  // A class that overrides TerminateWorker calls this in its destructor.
  void EndWorker() noexcept {
    if (!m_thread || !m_thread->IsRunning()) return;
    DWORD error = 0;
    if (!TerminateWorker(*m_thread, error)) {
      g_log.Error(L"Cannot end the worker of an asynchronous operation.",
                  CWin32Exc(L"Unable to terminate async task function thread.", error));
      KeepHungWorker(std::move(m_thread));
    }
    m_thread.reset();
  }

  std::shared_ptr<SAsyncWork<T>> m_work;

 private:
  // On the worker. Exceptions outside the CExc family are not caught here:
  // they end the process through the crash handling.
  static DWORD ThreadProc(SAsyncWork<T>& work) {
    try {
      work.Run();
    } catch (const CExc& e) {
      work.failure = e.Clone();
    }
    return 0;
  }

  std::shared_ptr<CThread> m_thread;
};

template <class T>
class CAsyncOperation : public CAsyncOperationBase<T> {
 public:
  using typename CAsyncOperationBase<T>::Task;
  explicit CAsyncOperation(Task task) : CAsyncOperationBase<T>(std::move(task)) {}

 protected:
  T GetResult() override { return this->m_work->result; }
};

class CAsyncOperationWitoutRet : public CAsyncOperationBase<void> {
 public:
  explicit CAsyncOperationWitoutRet(Task task) : CAsyncOperationBase<void>(std::move(task)) {}

 protected:
  void GetResult() override {}
};
