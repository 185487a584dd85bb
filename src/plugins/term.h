// The stop request and how it reaches the threads that must stop.
//
// CTermMediator is the termination event: a manual-reset event that working
// threads test or wait on, and that can be duplicated into a plain handle for
// code that only takes handles (the plugins). CTermSink is the process-wide
// list of parties to tell when the service is asked to stop; the service
// control handler notifies it, and the plugin manager, its subscriber, sets
// its own CTermMediator in turn.
#pragma once

#include "base/exc.h"
#include "base/handle.h"
#include "util/thread.h"
#include "base/win.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

// The termination event. Shared through std::shared_ptr; the last owner
// closes the event. Needs no lock: setting and testing a manual-reset event
// are atomic.
class CTermMediator {
 public:
  // A new manual-reset, non-signalled, unnamed event. Throws CEventExc.
  CTermMediator();
  // Takes ownership of an existing event handle.
  explicit CTermMediator(HANDLE event) noexcept;

  CTermMediator(const CTermMediator&) = delete;
  CTermMediator& operator=(const CTermMediator&) = delete;

  HANDLE GetHandle() const { return m_event.GetHandle(); }

  // Signal and clear the event; failures are not reported.
  void Set();
  void Reset();

  // Throws STermExc when the event is signalled; otherwise returns at once.
  void CheckTermination() const;
  // Waits up to timeoutMs (INFINITE: no limit). Throws STermExc when the
  // event is signalled, returns when the time is up. Both checks throw
  // CWin32Exc if the wait itself fails.
  void WaitTermination(DWORD timeoutMs) const;

  // A non-inheritable duplicate of the event with the same access, for code
  // that takes a plain handle. The caller owns and closes it; it stays valid
  // after the last CTermMediator owner is gone. Throws CWin32Exc "Cannot
  // duplicate handle." with the context "Cannot duplicate a termination
  // event.".
  CKernelHandle Duplicate() const;

 private:
  CEvent m_event;
};

// The process-wide list of parties told when the service is asked to stop.
//
// One deliberate addition to a plain list: the sink remembers that a
// termination was requested. A subscriber added after that is notified at
// once, inside Subscribe, so a stop request that arrives while the service is
// still starting (before the plugin manager subscribes) is not lost.
class CTermSink {
 public:
  class CSubscriber {
   public:
    virtual ~CSubscriber() = default;
    // Must be safe to call more than once and from any thread. A CExc thrown
    // here is logged with the subscriber's name and does not keep the other
    // subscribers from being notified.
    virtual void OnTermination() = 0;
    // For log messages only.
    virtual std::wstring GetName() const = 0;
  };

  // The process's sink, created on first use (thread-safe) and destroyed at
  // process exit.
  static CTermSink& Instance();

  // The process uses Instance(); a separate sink is for tests.
  CTermSink() = default;
  CTermSink(const CTermSink&) = delete;
  CTermSink& operator=(const CTermSink&) = delete;

  // Appends the subscriber (an empty pointer is rejected with CExc,
  // E_INVALIDARG); there is no way to remove it. When termination
  // was already requested, the subscriber is notified before this returns.
  // Waits while a notification is running on another thread.
  void Subscribe(std::shared_ptr<CSubscriber> subscriber);

  // Calls OnTermination of every subscriber, in subscription order, and
  // returns when all have returned. Runs on the thread that delivers service
  // control codes; a subscription from another thread waits until it ends.
  // Every call notifies every subscriber again.
  void Notify();

  // True once Notify has been called. Does not wait for a running Notify.
  bool IsTerminationRequested() const { return m_terminationRequested; }

 private:
  static void NotifyOne(CSubscriber& subscriber);

  CCriticalSection m_lock;
  std::vector<std::shared_ptr<CSubscriber>> m_subscribers;
  std::atomic<bool> m_terminationRequested{false};
};
