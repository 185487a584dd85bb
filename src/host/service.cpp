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

// Runs on a thread the dispatcher creates. A structured exception is taken
// by the crash handler's frame; a CExc ends the body and reports STOPPED.
void WINAPI ServiceMain(DWORD, LPWSTR*) {
  crash::RunInCrashFrame([] {
    try {
      RunServiceBody(*CSvcCtx::Instance(), false);
    } catch (const CExc& e) {
      g_log.Error(e.GetFullText());
      CSvcPendingNotifier::Instance().SetStatusNoThrow(SERVICE_STOPPED);
    }
    return 0;
  });
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
  CFirewallExceptions().RemoveFirewallException(kFirewallName, programPath);
  CAbandonedThreads::Instance().TerminateAbandonedThreads(true);

  g_log.Info(LoadMsg(IDS_AGENT_STOPPED));
  if (!debugMode) {
    CSvcPendingNotifier::Instance().SetStatus(SERVICE_STOPPED);
    g_log.Info(L"SCM status updated.");
  }
}
