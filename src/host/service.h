// The service: the dispatcher, the service main, the control handler, the
// status reports to the service control manager and the service body.
#pragma once

#include "base/win.h"
#include "plugins/term.h"
#include "util/thread.h"

#include <atomic>
#include <memory>

class CSvcCtx;

// Sets the process COM security (before anything else uses COM). A failure
// is logged as a warning and the process goes on.
void InitComSecurity();

// Hands the main thread to the service control dispatcher; returns when the
// service has stopped and its service main has returned (a service main
// still running when the dispatcher returns without a STOPPED report is
// logged as an error and stopped in order first). Throws CWin32Exc when the dispatcher cannot start (a
// program started from a console).
void RunServiceDispatcher(CSvcCtx& ctx);
// The service body, on the calling thread; in debug mode nothing is reported
// to the service control manager. A CExc leaves it at once.
void RunServiceBody(CSvcCtx& ctx, bool debugMode);

// Reports the service state to the service control manager. While a pending
// state is shown, a notification thread repeats the report about once a
// second with a check point that grows by one each time and a wait hint of
// 2000 ms.
//
// Threads: StartPending and SetStatus run on the service main thread and on
// the control handler's thread; one lock serialises them. The notification
// thread only advances the check point of the record it was started with.
class CSvcPendingNotifier {
 public:
  // The process's notifier, created on first use; lives until process exit.
  static CSvcPendingNotifier& Instance();

  CSvcPendingNotifier();
  ~CSvcPendingNotifier();
  CSvcPendingNotifier(const CSvcPendingNotifier&) = delete;
  CSvcPendingNotifier& operator=(const CSvcPendingNotifier&) = delete;

  void Init(const SERVICE_STATUS& status, SERVICE_STATUS_HANDLE handle);
  // Ends a running notification, sets the state and starts a new one.
  void StartPending(DWORD state);
  // Ends a running notification and reports the state once, with check
  // point and wait hint 0. Throws CWin32Exc when the report fails.
  void SetStatus(DWORD state);
  // SetStatus; a failure is logged as an error.
  void SetStatusNoThrow(DWORD state);
  // Signals the notification thread and waits up to 60000 ms for it; throws
  // CWin32Exc (1053) when it does not end in time. Returns at once when no
  // notification runs.
  void StopNotification();
  static constexpr DWORD kStopNotificationLimitMs = 60000;
  // True once SetStatus(SERVICE_STOPPED) has reached the service control
  // manager.
  bool HasReportedStopped() const { return m_stoppedReported; }

 private:
  static constexpr DWORD kPendingWaitHintMs = 2000;
  static constexpr DWORD kPendingIntervalMs = 1000;

  void StopNotificationLocked();
  DWORD NotificationProc();

  CCriticalSection m_lock;
  std::shared_ptr<CThread> m_thread;
  std::shared_ptr<CTermMediator> m_stop;
  SERVICE_STATUS m_status = {};
  SERVICE_STATUS_HANDLE m_handle = nullptr;
  std::atomic<bool> m_stoppedReported{false};
};
