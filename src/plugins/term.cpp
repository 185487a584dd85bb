#include "plugins/term.h"

#include "log/log.h"
#include "util/file.h"

#include <utility>

// --- CTermMediator -------------------------------------------------------------

CTermMediator::CTermMediator() : m_event(true, false) {}

CTermMediator::CTermMediator(HANDLE event) noexcept : m_event(CKernelHandle(event)) {}

void CTermMediator::Set() { m_event.Set(); }

void CTermMediator::Reset() { m_event.Reset(); }

void CTermMediator::CheckTermination() const { WaitTermination(0); }

void CTermMediator::WaitTermination(DWORD timeoutMs) const {
  switch (::WaitForSingleObject(m_event.GetHandle(), timeoutMs)) {
    case WAIT_OBJECT_0:
      throw STermExc();
    case WAIT_TIMEOUT:
      return;
    default: {
      // Only a broken handle gets here. Returning as if the time were up
      // would turn every polling loop built on this wait into a busy loop.
      const DWORD error = ::GetLastError();
      throw CWin32Exc(L"Cannot wait for the termination event.", error);
    }
  }
}

CKernelHandle CTermMediator::Duplicate() const {
  try {
    return DuplicateOwnHandle(m_event.GetHandle());
  } catch (CExc& e) {
    e.AddContext(L"Cannot duplicate a termination event.");
    throw;
  }
}

// --- CTermSink -----------------------------------------------------------------

CTermSink& CTermSink::Instance() {
  static CTermSink sink;
  return sink;
}

void CTermSink::Subscribe(std::shared_ptr<CSubscriber> subscriber) {
  if (!subscriber) throw CExc(L"Cannot subscribe an empty subscriber to the termination sink.", E_INVALIDARG);
  CCriticalSection::CHold hold(m_lock);
  m_subscribers.push_back(subscriber);
  if (m_terminationRequested) {
    g_log.Info(L"Termination was requested before this subscriber was added; notifying it now. "
               L"Subscriber name: [%1].",
               subscriber->GetName());
    NotifyOne(*subscriber);
  }
}

void CTermSink::Notify() {
  // Held for the whole round, so a subscription from another thread waits
  // for it and every subscriber sees at most one round at a time.
  CCriticalSection::CHold hold(m_lock);
  m_terminationRequested = true;
  // A copy: the lock is recursive, so a subscriber may subscribe from inside
  // OnTermination; Subscribe notifies that newcomer itself.
  const std::vector<std::shared_ptr<CSubscriber>> subscribers = m_subscribers;
  for (const auto& subscriber : subscribers) NotifyOne(*subscriber);
}

void CTermSink::NotifyOne(CSubscriber& subscriber) {
  try {
    subscriber.OnTermination();
  } catch (const CExc& e) {
    g_log.Error(FormatMsg(L"Cannot notify a subscriber about the termination event. Subscriber name: [%1].",
                          subscriber.GetName()),
                e);
  }
}
