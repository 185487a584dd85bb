// Removal of the guest service. In the service, a plugin's request arrives
// through the uninstall callback: the service copies its executable to the
// temporary folder, starts the copy as the uninstaller and takes part in the
// handshake (uninstall/synch.h). In the uninstaller (the "uninstall" run),
// RunUninstall stops and deletes the service, deletes the agent's folder and
// reboots when asked.
#pragma once

#include "base/win.h"
#include "plugins/plugin_contract.h"
#include "uninstall/synch.h"

#include <map>
#include <memory>
#include <string>

namespace uninstall {

// The system's restart request. The real one calls ExitWindowsEx; tests put
// a recorder in its place (under Wine the real call ends every process of
// the prefix).
class ISystemShutdown {
 public:
  virtual ~ISystemShutdown() = default;
  // ExitWindowsEx semantics: nonzero on success, else the last error is set.
  virtual BOOL RequestRestart(UINT flags, DWORD reason) = 0;
};
// Installs `shutdown` (null: the real one) and returns the one it replaces.
std::shared_ptr<ISystemShutdown> SetSystemShutdown(std::shared_ptr<ISystemShutdown> shutdown);

// A pending reboot. Reboot clears the flag and restarts the machine;
// destruction restarts it only when the flag is still set, so a removal that
// fails midway still reboots. Held by shared pointer on the removal road.
class CSysShutdownInitiator {
 public:
  CSysShutdownInitiator() = default;
  // Reboots when still pending. A failure is logged, never thrown: this runs
  // while another failure may be unwinding.
  ~CSysShutdownInitiator();
  CSysShutdownInitiator(const CSysShutdownInitiator&) = delete;
  CSysShutdownInitiator& operator=(const CSysShutdownInitiator&) = delete;

  // Enables SeShutdownPrivilege (it stays enabled) and asks for a forced,
  // planned restart. Throws CExc ("Cannot initiate reboot of the local
  // system.") on failure.
  void Reboot();

 private:
  bool m_pending = true;
};

// Set at service start-up: removal is disabled in the desktop VSS service.
void SetRemovalDisabled(bool disabled);
bool IsRemovalDisabled();

// Installs UninstallCallback as the callback every PluginMain receives.
// `serviceName` begins the name of the temporary subfolder of the
// uninstaller's copy, "<service name>{GUID}" ("KorloDesktopVssSvc" in the
// desktop VSS service, "KorloGuestHelper" otherwise); `removalDisabled` as
// for SetRemovalDisabled.
void InstallUninstallCallback(const std::wstring& serviceName, bool removalDisabled);

// The plugins' uninstall callback (plugins/plugin_contract.h). Runs on a
// plugin's thread; never throws.
BOOLEAN KORLO_STDCALL UninstallCallback(BOOLEAN rebootRequired, const char* fileLockName,
                                        PluginUninstallDecisionFn* decide);

// What UninstallCallback does, with the agent's executable and the
// subfolder name explicit: true when the removal was set going (or its
// handling failed, logged), false when cancelled by `decide` or disabled.
bool HandleUninstallRequest(const std::wstring& agentPath, const std::wstring& serviceName, bool rebootRequired,
                            const std::wstring& fileLockName, PluginUninstallDecisionFn* decide,
                            const SSynchLimits& limits = SSynchLimits());

// The uninstaller's command line: its quoted path, "-uninstall",
// "-sys_shutdown" when asked, "-agent_path" with the quoted agent path,
// "-svc_name" with the quoted name when it is not empty, and "-fileLockName"
// and "-synchEvtsUid" when the file lock name is not empty.
std::wstring BuildUninstallerCommandLine(const std::wstring& uninstallerPath, bool rebootRequired,
                                         const std::wstring& agentPath, const std::wstring& serviceName,
                                         const CSynchVars& vars);

// The uninstaller run with the parsed command line ("svc_name", "agent_path",
// "sys_shutdown", "fileLockName", "synchEvtsUid"). Throws CExc ("Cannot
// uninstall the guest service.") after a requested reboot has been made.
void RunUninstall(const std::map<std::wstring, std::wstring>& options, const SSynchLimits& limits = SSynchLimits());

// The service is stopped with up to kStopPolls status polls one second
// apart, and deleted then whether it has stopped or not.
constexpr unsigned kStopPolls = 60000;

// Steps of the run. The agent path is checked before anything is stopped:
// it must be a full path naming an existing file, in a folder that is none
// of a drive or share root, the Windows or system folders (SysWOW64 too),
// the program and data roots, the profiles folder or a profile; otherwise
// CExc ("Cannot remove files of the guest service.") and nothing is removed.
// A service that does not exist any more is no failure (a run after a
// partial removal). The agent's folder is removed by handle, its executable
// last.
void CheckAgentFiles(const std::wstring& agentPath);
void StopAndDeregisterService(const std::wstring& serviceName);
void RemoveAgentFiles(const std::wstring& agentPath);

}  // namespace uninstall
