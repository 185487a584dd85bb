#include "host/service.h"

#include "base/exc.h"
#include "base/msg.h"
#include "base/msg_ids.h"
#include "base/path.h"
#include "crash/crash_handler.h"
#include "firewall/firewall.h"
#include "host/svc_ctx.h"
#include "log/log.h"
#include "logfile/log_folder.h"
#include "plugins/guest_cfg_file.h"
#include "plugins/plugin_mngr.h"
#include "rpc/directory.h"
#include "rpc/endpoint.h"
#include "rpc/rpc_auth.h"
#include "uninstall/removal.h"

#include <objbase.h>

void InitComSecurity() {
  g_log.Info(L"Initializing COM security");
  const HRESULT hr = ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                            RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
  if (FAILED(hr)) {
    g_log.Warning(L"Failed to set COM security value for the process. %1", HexText(static_cast<std::uint32_t>(hr)));
  }
}

// CSvcPendingNotifier

CSvcPendingNotifier& CSvcPendingNotifier::Instance() {
  static CSvcPendingNotifier instance;
  return instance;
}

CSvcPendingNotifier::CSvcPendingNotifier() : m_stop(std::make_shared<CTermMediator>()) {}

CSvcPendingNotifier::~CSvcPendingNotifier() {
  try {
    StopNotification();
  } catch (const CExc& e) {
    g_log.Error(L"Cannot stop notification to the SCM about the pending service status.", e);
  }
}

void CSvcPendingNotifier::Init(const SERVICE_STATUS& status, SERVICE_STATUS_HANDLE handle) {
  CCriticalSection::CHold hold(m_lock);
  m_status = status;
  m_handle = handle;
}

void CSvcPendingNotifier::StartPending(DWORD state) {
  try {
    CCriticalSection::CHold hold(m_lock);
    StopNotificationLocked();
    m_status.dwCurrentState = state;
    // The new state reaches the SCM before the caller goes on, so that a stop
    // control is answered with STOP_PENDING; the thread repeats it. A failed
    // report fails the thread's first one too, which ends it.
    SERVICE_STATUS first = m_status;
    first.dwCheckPoint = 0;
    first.dwWaitHint = kPendingWaitHintMs;
    ::SetServiceStatus(m_handle, &first);
    m_thread = std::make_shared<CThread>([this] { return NotificationProc(); }, false);
  } catch (CExc& e) {
    e.AddContext(L"Cannot start notification to the SCM about the pending service status.");
    throw;
  }
}

void CSvcPendingNotifier::SetStatus(DWORD state) {
  try {
    CCriticalSection::CHold hold(m_lock);
    StopNotificationLocked();
    m_status.dwCurrentState = state;
    m_status.dwCheckPoint = 0;
    m_status.dwWaitHint = 0;
    if (!::SetServiceStatus(m_handle, &m_status)) throw CWin32Exc(kUseLastError);
    if (state == SERVICE_STOPPED) m_stoppedReported = true;
  } catch (CExc& e) {
    e.AddContext(L"Cannot notify the service control manager about service start/stop.");
    throw;
  }
}

void CSvcPendingNotifier::SetStatusNoThrow(DWORD state) {
  try {
    SetStatus(state);
  } catch (const CExc& e) {
    g_log.Error(e.GetFullText());
  }
}

void CSvcPendingNotifier::StopNotification() {
  CCriticalSection::CHold hold(m_lock);
  StopNotificationLocked();
}

void CSvcPendingNotifier::StopNotificationLocked() {
  if (!m_thread) return;
  try {
    g_log.Info(L"Stopping notification about the pending status of the service");
    m_stop->Set();
    if (!m_thread->Wait(kStopNotificationLimitMs)) {
      throw CWin32Exc(L"The notification thread did not end in time.", ERROR_SERVICE_REQUEST_TIMEOUT);
    }
    m_thread.reset();
    m_stop->Reset();
  } catch (CExc& e) {
    e.AddContext(L"Cannot stop notification to the SCM about the pending service status.");
    throw;
  }
}

// Runs on the notification thread. The record is not written elsewhere while
// the thread runs (StartPending and SetStatus end it first), so the thread
// reports a copy in which only the check point advances.
DWORD CSvcPendingNotifier::NotificationProc() {
  SERVICE_STATUS status = m_status;
  status.dwCheckPoint = 0;
  status.dwWaitHint = kPendingWaitHintMs;
  try {
    for (;;) {
      if (!::SetServiceStatus(m_handle, &status)) throw CWin32Exc(kUseLastError);
      m_stop->WaitTermination(kPendingIntervalMs);
      ++status.dwCheckPoint;
    }
  } catch (const STermExc&) {
    g_log.Info(L"Stopping notification about the pending service status.");
  } catch (const CExc& e) {
    return static_cast<DWORD>(e.GetCode());  // a failed report ends the thread quietly
  }
  return 0;
}

namespace {

constexpr wchar_t kFirewallName[] = L"KorloGuestHelper";
constexpr wchar_t kDumpPrefix[] = L"GA";
// How long main waits, after the dispatcher has returned, for a service main
// that reported STOPPED to finish its last lines before it is told to stop.
constexpr DWORD kServiceMainEndGraceMs = 10000;

// Reset while the service main runs: the process must not end under it.
CEvent& ServiceMainEnded() {
  static CEvent ended(true, true);
  return ended;
}

// Runs on the dispatcher's thread (the process's main thread).
void WINAPI ControlHandler(DWORD control) {
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return;
  try {
    CSvcPendingNotifier::Instance().StartPending(SERVICE_STOP_PENDING);
  } catch (const CExc& e) {
    g_log.Error(e.GetFullText());
  }
  CTermSink::Instance().Notify();
}

// Wine ends a service process when its prefix shuts down (the last ordinary
// process has exited and the server's linger time is over): the dispatcher
// sends no control to a service that accepts only STOP and calls
// ExitProcess(0), and the server kills what is left 2 s later. The event
// behind it is the one Wine hands to every process made a system process; a
// watch on it logs the reason and starts the orderly stop, which completes
// when the stop is quick enough. Elsewhere (no such event) nothing is watched.
HANDLE OpenPlatformShutdownEvent() {
  if (!rpc::RunsUnderWine()) return nullptr;
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  using SetInformationFn = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG);
  const auto setInformation = ProcCast<SetInformationFn>(::GetProcAddress(ntdll, "NtSetInformationProcess"));
  constexpr ULONG kWineMakeProcessSystem = 1000;
  HANDLE event = nullptr;
  if (!setInformation || setInformation(::GetCurrentProcess(), kWineMakeProcessSystem, &event, sizeof(HANDLE*)) != 0) {
    return nullptr;
  }
  return event;
}

// Until the service main ends.
DWORD WatchPlatformShutdown(const CKernelHandle& shutdown) {
  const HANDLE handles[] = {shutdown.Get(), ServiceMainEnded().GetHandle()};
  if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) return 0;
  if (::WaitForSingleObject(handles[1], 0) == WAIT_OBJECT_0) return 0;  // the service has ended already
  g_log.Error(L"The platform is ending the service process: the last user process has exited. Stopping the service.");
  ControlHandler(SERVICE_CONTROL_STOP);
  return 0;
}

// Runs on a thread the dispatcher creates. A structured exception is taken
// by the crash handler's frame; a CExc ends the body and reports STOPPED.
void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceMainEnded().Reset();
  std::shared_ptr<CThread> watch;
  if (const HANDLE shutdown = OpenPlatformShutdownEvent()) {
    try {
      auto event = std::make_shared<CKernelHandle>(shutdown);
      watch = std::make_shared<CThread>([event] { return WatchPlatformShutdown(*event); }, false);
    } catch (const CExc& e) {
      g_log.Warning(L"Cannot watch for the end of the platform's session.", e);
    }
  }
  crash::RunInCrashFrame([] {
    try {
      RunServiceBody(*CSvcCtx::Instance(), false);
    } catch (const CExc& e) {
      g_log.Error(e.GetFullText());
      CSvcPendingNotifier::Instance().SetStatusNoThrow(SERVICE_STOPPED);
    }
    return 0;
  });
  ServiceMainEnded().Set();
  watch.reset();  // waits for the watch, which has seen the end
}

void RegisterWithScm(CSvcCtx& ctx) {
  const std::wstring name = ctx.GetServiceName();
  const SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerW(name.c_str(), ControlHandler);
  if (handle == nullptr) throw CWin32Exc(L"Cannot register the service control handler.", kUseLastError);
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS;
  status.dwCurrentState = SERVICE_START_PENDING;
  status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  CSvcPendingNotifier& notifier = CSvcPendingNotifier::Instance();
  notifier.Init(status, handle);
  notifier.StartPending(SERVICE_START_PENDING);
}

}  // namespace

void RunServiceDispatcher(CSvcCtx& ctx) {
  std::wstring name = ctx.GetServiceName();
  const SERVICE_TABLE_ENTRYW table[] = {{&name[0], ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) {
    throw CWin32Exc(L"Cannot start service control dispatcher.", kUseLastError);
  }
  // The dispatcher returns once STOPPED was reported, which the body does
  // last. Returning from main under a body that still runs would end the
  // process silently: a body that did not report STOPPED is stopped in order
  // first, and main waits for the service main in any case.
  if (::WaitForSingleObject(ServiceMainEnded().GetHandle(), kServiceMainEndGraceMs) == WAIT_OBJECT_0) return;
  if (!CSvcPendingNotifier::Instance().HasReportedStopped()) {
    g_log.Error(L"The service control dispatcher returned while the service was still running. Stopping the service.");
    CTermSink::Instance().Notify();
  }
  ::WaitForSingleObject(ServiceMainEnded().GetHandle(), INFINITE);
}

void RunServiceBody(CSvcCtx& ctx, bool debugMode) {
  const std::wstring programPath = GetModulePath();
  const std::wstring logFolder = GetLogFolder();
  CCrashHandler::Instance().SetDumpLocation(logFolder, kDumpPrefix);
  CCrashHandler::Instance().RemoveOldRecorderDumps();
  g_log.Info(L"Initializing service...");
  if (!debugMode) RegisterWithScm(ctx);

  CFirewallExceptions().AddFirewallException(ctx.GetServiceName(), programPath);
  rpc::CSpnRegistrar(rpc::kServiceClass, rpc::kServiceClass).RegisterSpns();
  RegisterRpcProtocolSequences(SelectRpcPortsSettings(ctx.GetConfig()->GetPortsSettings(), ctx.IsPersistent()));
  rpc::RegisterRpcAuthentication(rpc::kServiceClass);

  const bool removalDisabled = ctx.IsDesktopVss() || ctx.IsFlr() || ctx.IsPersistent();
  if (removalDisabled) g_log.Info(L"Disabling uninstall procedure for VSS desktop service.");
  uninstall::InstallUninstallCallback(ctx.GetServiceName(), removalDisabled);

  const std::shared_ptr<CPluginMngr> plugins = CPluginMngr::Instance();
  plugins->LoadPlugins(*ctx.GetConfig(), logFolder, ctx.IsPersistent(), ctx.IsFlr());
  plugins->InitRpcEndpoints();
  plugins->DoSvcStartupSteps();
  plugins->StartWorkingThreads();

  CRpcListener listener;
  listener.Listen();
  g_log.Message(L"RPC listening started.");

  if (!debugMode) CSvcPendingNotifier::Instance().SetStatus(SERVICE_RUNNING);
  g_log.Info(L"Service started. Is debug mode: [%1].", BoolText(debugMode));

  plugins->WaitingLoop();

  listener.Stop();
  // Only now can no call reach a plugin's library: unload the plugins the
  // loop reaped. On failure they stay loaded until the process ends.
  try {
    UnregisterRpcInterfaces();
    plugins->UnloadReapedPlugins();
  } catch (const CExc& e) {
    g_log.Error(L"The plugins' libraries stay loaded until the process ends.", e);
  }
  CFirewallExceptions().RemoveFirewallException(kFirewallName, programPath);
  CAbandonedThreads::Instance().TerminateAbandonedThreads(true);

  g_log.Info(LoadMsg(IDS_AGENT_STOPPED));
  if (!debugMode) {
    CSvcPendingNotifier::Instance().SetStatus(SERVICE_STOPPED);
    g_log.Info(L"SCM status updated.");
  }
}
