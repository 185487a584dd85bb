#include "uninstall/removal.h"

#include "base/exc.h"
#include "base/msg.h"
#include "base/msg_ids.h"
#include "base/path.h"
#include "log/log.h"
#include "plugins/guest_cfg_file.h"
#include "plugins/plugin.h"
#include "scm/scm.h"
#include "util/file.h"
#include "util/privilege.h"

#include <atomic>
#include <mutex>

namespace uninstall {

namespace {

constexpr unsigned kStopPolls = 60000;
constexpr DWORD kRemoveRetryPauseMs = 1000;
constexpr unsigned kRemoveAttempts = 10;
constexpr UINT kRebootFlags = EWX_REBOOT | EWX_FORCE;
constexpr DWORD kRebootReason = 0x80040001;  // planned | application | maintenance

class CRealShutdown : public ISystemShutdown {
 public:
  BOOL RequestRestart(UINT flags, DWORD reason) override { return ::ExitWindowsEx(flags, reason); }
};

std::mutex g_settingsLock;
std::shared_ptr<ISystemShutdown> g_shutdown = std::make_shared<CRealShutdown>();
std::wstring g_serviceName = L"KorloGuestHelper";
std::atomic<bool> g_removalDisabled{false};

std::shared_ptr<ISystemShutdown> GetSystemShutdown() {
  std::lock_guard<std::mutex> hold(g_settingsLock);
  return g_shutdown;
}

std::wstring GetServiceFolderName() {
  std::lock_guard<std::mutex> hold(g_settingsLock);
  return g_serviceName;
}

const std::wstring* FindOption(const std::map<std::wstring, std::wstring>& options, const std::wstring& name) {
  const auto found = options.find(name);
  return found == options.end() ? nullptr : &found->second;
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// The service the agent configuration beside the executable names; empty
// when it names none (no configuration file there).
std::wstring ConfiguredServiceName(const std::wstring& agentPath) {
  std::wstring folder, file;
  SplitPath(agentPath, folder, file);
  const cfg::CGuestCfgFile config(CombinePath(folder, cfg::CGuestCfgFile::kFileName), false, false);
  std::wstring name;
  return config.GetServiceName(name) ? name : std::wstring();
}

std::wstring CopyUninstaller(const std::wstring& agentPath, const std::wstring& serviceName) {
  try {
    CLogStep step(g_log, LoadMsg(IDS_COPYING_UNINSTALLER));
    const std::wstring temp = GetTempFolder();
    g_log.Message(LoadMsg(IDS_TEMP_FOLDER_PATH), temp);
    std::wstring folder, file;
    SplitPath(agentPath, folder, file);
    const std::wstring target = CombinePath(CombinePath(temp, serviceName), file);
    if (FileExists(target)) {
      g_log.Message(LoadMsg(IDS_PREVIOUS_UNINSTALLER_FOUND), target);
      DeleteFileIfExists(target);
    }
    CopyFileTo(agentPath, target, true);
    step.Ok();
    return target;
  } catch (CExc& e) {
    e.AddContext(IDS_CANNOT_COPY_UNINSTALLER);
    throw;
  }
}

void LaunchUninstaller(const std::wstring& uninstallerPath, bool rebootRequired, const std::wstring& agentPath,
                       const CSynchVars& vars) {
  try {
    CLogStep step(g_log, LoadMsg(IDS_LAUNCHING_UNINSTALLER), uninstallerPath);
    const std::wstring commandLine = BuildUninstallerCommandLine(uninstallerPath, rebootRequired, agentPath,
                                                                 ConfiguredServiceName(agentPath), vars);
    g_log.Message(L"The following command line will be passed to the uninstaller: [%1].", commandLine);
    StartProcess(uninstallerPath, commandLine);
    step.Ok();
  } catch (CExc& e) {
    e.AddContext(IDS_CANNOT_LAUNCH_UNINSTALLER, uninstallerPath);
    throw;
  }
}

}  // namespace

// --- Reboot ----------------------------------------------------------------------

std::shared_ptr<ISystemShutdown> SetSystemShutdown(std::shared_ptr<ISystemShutdown> shutdown) {
  if (!shutdown) shutdown = std::make_shared<CRealShutdown>();
  std::lock_guard<std::mutex> hold(g_settingsLock);
  std::swap(g_shutdown, shutdown);
  return shutdown;
}

CSysShutdownInitiator::~CSysShutdownInitiator() {
  if (!m_pending) return;
  try {
    Reboot();
  } catch (const CExc& e) {
    g_log.Error(L"The pending reboot of the local system failed.", e);
  } catch (const std::exception&) {
    // Out of memory while reporting: nothing more can be done here.
  }
}

void CSysShutdownInitiator::Reboot() {
  m_pending = false;
  try {
    CLogStep step(g_log, L"Initiating reboot of the local system.");
    EnablePrivilege(L"SeShutdownPrivilege");
    if (!GetSystemShutdown()->RequestRestart(kRebootFlags, kRebootReason)) {
      const DWORD error = ::GetLastError();
      throw CWin32Exc(L"Cannot set shutdown request to the operating system.", error);
    }
    step.Ok();
  } catch (CExc& e) {
    e.AddContext(L"Cannot initiate reboot of the local system.");
    throw;
  }
}

// --- Service side ----------------------------------------------------------------

void SetRemovalDisabled(bool disabled) { g_removalDisabled = disabled; }

bool IsRemovalDisabled() { return g_removalDisabled; }

void InstallUninstallCallback(const std::wstring& serviceName, bool removalDisabled) {
  {
    std::lock_guard<std::mutex> hold(g_settingsLock);
    g_serviceName = serviceName;
  }
  SetRemovalDisabled(removalDisabled);
  SetUninstallCallback(&UninstallCallback);
}

BOOLEAN KORLO_STDCALL UninstallCallback(BOOLEAN rebootRequired, const char* fileLockName,
                                        PluginUninstallDecisionFn* decide) {
  // Called from a plugin's module: nothing may leave this frame.
  try {
    return HandleUninstallRequest(GetModulePath(), GetServiceFolderName(), rebootRequired != FALSE,
                                  FromAnsi(fileLockName ? fileLockName : ""), decide)
               ? TRUE
               : FALSE;
  } catch (const CExc& e) {
    g_log.Error(LoadMsg(IDS_CANNOT_HANDLE_UNINSTALL), e);
  } catch (...) {
    g_log.Error(LoadMsg(IDS_CANNOT_HANDLE_UNINSTALL));
  }
  return TRUE;
}

bool HandleUninstallRequest(const std::wstring& agentPath, const std::wstring& serviceName, bool rebootRequired,
                            const std::wstring& fileLockName, PluginUninstallDecisionFn* decide,
                            const SSynchLimits& limits) {
  const auto vars = std::make_shared<CSynchVars>(fileLockName, CSynchVars::NewUid());
  if (IsRemovalDisabled()) {
    g_log.Info(L"Skipping uninstall signal : uninstall is disabled for desktop VSS service.");
    if (rebootRequired) {
      g_log.Info(L"Forcing shutdown (due to restore).");
      try {
        CSysShutdownInitiator().Reboot();
      } catch (const CExc& e) {
        g_log.Error(LoadMsg(IDS_CANNOT_HANDLE_UNINSTALL), e);
      }
    }
    return false;
  }
  try {
    g_log.Info(LoadMsg(IDS_UNINSTALL_SIGNAL_RECEIVED), BoolText(rebootRequired));
    const std::wstring uninstallerPath = CopyUninstaller(agentPath, serviceName);
    CSynchConsumer consumer(vars, decide, limits);
    LaunchUninstaller(uninstallerPath, rebootRequired, agentPath, *vars);
    return consumer.Synchronize();
  } catch (const CExc& e) {
    g_log.Error(LoadMsg(IDS_CANNOT_HANDLE_UNINSTALL), e);
    return true;
  }
}

std::wstring BuildUninstallerCommandLine(const std::wstring& uninstallerPath, bool rebootRequired,
                                         const std::wstring& agentPath, const std::wstring& serviceName,
                                         const CSynchVars& vars) {
  std::wstring line = Quoted(uninstallerPath) + L" -uninstall";
  if (rebootRequired) line += L" -sys_shutdown";
  line += L" -agent_path " + Quoted(agentPath);
  if (!serviceName.empty()) line += L" -svc_name " + Quoted(serviceName);
  if (!vars.GetFileLockName().empty()) {
    line += L" -fileLockName " + vars.GetFileLockName() + L" -synchEvtsUid " + vars.GetEvtsUid();
  }
  return line;
}

// --- Uninstaller side --------------------------------------------------------------

void RunUninstall(const std::map<std::wstring, std::wstring>& options, const SSynchLimits& limits) {
  const std::wstring* const serviceName = FindOption(options, L"svc_name");
  CLogStep step(g_log, L"Uninstalling guest service. Service name: [%1].", serviceName ? *serviceName : L"");
  if (!CheckUninstallRequired(options, limits)) {
    step.Ok();
    return;
  }
  try {
    // Declared inside the try: on a failure its release reboots before the
    // context line is added.
    std::shared_ptr<CSysShutdownInitiator> shutdown;
    if (FindOption(options, L"sys_shutdown")) {
      g_log.Warning(L"The reboot of the local system is required.");
      shutdown = std::make_shared<CSysShutdownInitiator>();
    }
    const std::wstring* const agentPath = FindOption(options, L"agent_path");
    if (!agentPath) throw CExc(L"The path to the guest service is not specified.", E_FAIL);
    if (serviceName) StopAndDeregisterService(*serviceName);
    RemoveAgentFiles(*agentPath);
    if (shutdown) shutdown->Reboot();
  } catch (CExc& e) {
    e.AddContext(L"Cannot uninstall the guest service.");
    throw;
  }
  step.Ok();
}

void StopAndDeregisterService(const std::wstring& serviceName) {
  try {
    CLogStep step(g_log, L"Stopping and deregistering the guest service.");
    CScmManager manager(std::wstring(), SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    const auto service = manager.OpenService(serviceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
    service->Stop(kStopPolls);
    service->Delete();
    step.Ok();
  } catch (CExc& e) {
    e.AddContext(L"Cannot stop and deregister the guest service.");
    throw;
  }
}

void RemoveAgentFiles(const std::wstring& agentPath) {
  try {
    CLogStep step(g_log, L"Removing files of the guest service.");
    std::wstring folder, file;
    SplitPath(agentPath, folder, file);
    RemoveFolderWithRetries(folder, kRemoveRetryPauseMs, kRemoveAttempts);
    step.Ok();
  } catch (CExc& e) {
    e.AddContext(L"Cannot remove files of the guest service.");
    throw;
  }
}

}  // namespace uninstall
