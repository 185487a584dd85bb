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
#include "util/security.h"

#include <shlobj.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace uninstall {

namespace {

constexpr DWORD kRemoveRetryPauseMs = 1000;
constexpr unsigned kRemoveAttempts = 10;
constexpr unsigned kFolderAttempts = 3;
constexpr UINT kRebootFlags = EWX_REBOOT | EWX_FORCE;
constexpr DWORD kRebootReason = 0x80040001;  // planned | application | maintenance
// FOLDERID_UserProfiles, spelt out: not every tool chain's import libraries
// carry the known-folder ids.
constexpr GUID kProfilesFolderId = {0x0762D272, 0xC50A, 0x4BB0, {0xA3, 0x82, 0x69, 0x7D, 0xCD, 0x72, 0x9B, 0x80}};

class CRealShutdown : public ISystemShutdown {
 public:
  BOOL RequestRestart(UINT flags, DWORD reason) override { return ::ExitWindowsEx(flags, reason); }
};

std::mutex g_settingsLock;
std::shared_ptr<ISystemShutdown> g_shutdown = std::make_shared<CRealShutdown>();
std::wstring g_serviceName = L"KorloGuestHelper";
std::atomic<bool> g_removalDisabled{false};
std::mutex g_requestLock;  // held while a removal request is handled

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

// The path as the checks below compare it: without the long-path prefix and
// without trailing separators.
std::wstring Comparable(std::wstring path) {
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    path.erase(2, 6);
  } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
    path.erase(0, 4);
  }
  while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

std::wstring FullPath(const std::wstring& path) {
  const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  const DWORD length = size ? ::GetFullPathNameW(path.c_str(), size, &full[0], nullptr) : 0;
  full.resize(length < size ? length : 0);
  return full;
}

// The folders that hold the system and everyone's programs and profiles.
std::vector<std::wstring> SystemFolders() {
  std::vector<std::wstring> folders;
  for (const int id : {CSIDL_WINDOWS, CSIDL_SYSTEM, CSIDL_SYSTEMX86, CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86,
                       CSIDL_PROGRAM_FILES_COMMON, CSIDL_PROGRAM_FILES_COMMONX86, CSIDL_COMMON_APPDATA,
                       CSIDL_PROFILE}) {
    wchar_t path[MAX_PATH] = {};
    if (SUCCEEDED(::SHGetFolderPathW(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, path))) folders.push_back(path);
  }
  // A 32-bit process sees the x86 folder under both program-files ids.
  wchar_t native[MAX_PATH] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"ProgramW6432", native, MAX_PATH);
  if (length > 0 && length < MAX_PATH) folders.push_back(native);
  return folders;
}

// The folder that holds the users' profiles (C:\Users).
std::wstring ProfilesFolder() {
  PWSTR path = nullptr;
  std::wstring folder;
  if (SUCCEEDED(::SHGetKnownFolderPath(kProfilesFolderId, 0, nullptr, &path))) folder = path;
  ::CoTaskMemFree(path);
  return folder;
}

// Refuses to let removal loose on a folder that is not plainly the agent's:
// the agent path must be a full path naming an existing file, and its folder
// must be none of a drive or share root, the system's folders, the program
// and data roots, the profiles folder or a profile in it. The command line
// of a program running as SYSTEM is not proof enough.
void CheckAgentFolder(const std::wstring& agentPath, const std::wstring& folder) {
  const std::wstring own = Comparable(folder);
  std::wstring parent, name;
  SplitPath(own, parent, name);
  const bool root = own.size() <= 2 || parent.empty() || (own.compare(0, 2, L"\\\\") == 0 &&
                                                           own.find(L'\\', own.find(L'\\', 2) + 1) == std::wstring::npos);
  const std::wstring profiles = Comparable(ProfilesFolder());
  bool system = !profiles.empty() && (EqualNoCase(own, profiles) || EqualNoCase(parent, profiles));
  for (const std::wstring& known : SystemFolders()) system = system || EqualNoCase(own, Comparable(known));
  if (root || system) {
    throw CExc(L"The folder [%1] is a drive root or a folder of the system, its programs or its users; it is not "
               L"removed.",
               folder, static_cast<std::int32_t>(E_INVALIDARG));
  }
  const std::wstring full = FullPath(agentPath);
  const DWORD attributes = ::GetFileAttributesW(AddLongPathPrefix(agentPath).c_str());
  if (!EqualNoCase(full, agentPath) || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    throw CExc(L"The folder [%1] does not hold the guest service's executable [%2]; it is not removed.", folder,
               agentPath, static_cast<std::int32_t>(E_INVALIDARG));
  }
}

// Earlier versions copied the uninstaller to <temp>\<service name>, a name
// any user can take first and fill. Such a folder is removed (by handle,
// never entering a link) only when nothing says a user made it or may change
// it: not a link, owned by SYSTEM, Administrators or this service's account,
// writable by no one else. Anything else is left as it is, with a warning.
// Never a reason to fail the request.
void ClearOldUninstallerFolder(const std::wstring& folder, const std::wstring& file) {
  if (!FileExists(folder)) return;
  const std::wstring untrusted = util::FindUntrustedAccess(folder);
  if (!untrusted.empty()) {
    g_log.Warning(L"The folder [%1] was not made by this service (%2); it is left as it is.", folder, untrusted);
    return;
  }
  const std::wstring previous = CombinePath(folder, file);
  if (FileExists(previous)) g_log.Message(LoadMsg(IDS_PREVIOUS_UNINSTALLER_FOUND), previous);
  try {
    RemoveFolder(folder);
  } catch (const CExc& e) {
    g_log.Warning(FormatMsg(L"The folder [%1] of an earlier uninstaller is left as it is.", folder), e);
  }
}

// A folder of the uninstaller's own, <temp>\<service name>{GUID}: created
// here with the administrators-only access list in the creating call, under
// a name nobody can know beforehand; a name that exists already is never
// used. Nothing but the copy is ever in it, so no library placed there can
// be loaded into the uninstaller.
std::wstring MakeUninstallerFolder(const std::wstring& temp, const std::wstring& serviceName) {
  for (unsigned attempt = 0; attempt < kFolderAttempts; ++attempt) {
    const std::wstring folder = CombinePath(temp, serviceName + NewBracedGuid());
    if (util::CreateProtectedFolder(folder)) return folder;
    g_log.Warning(L"The folder [%1] exists already; the uninstaller is not copied there.", folder);
  }
  throw CExc(L"Cannot create a folder for the uninstaller in [%1].", temp, E_FAIL);
}

std::wstring CopyUninstaller(const std::wstring& agentPath, const std::wstring& serviceName) {
  try {
    CLogStep step(g_log, LoadMsg(IDS_COPYING_UNINSTALLER));
    const std::wstring temp = GetTempFolder();
    g_log.Message(LoadMsg(IDS_TEMP_FOLDER_PATH), temp);
    FileMakeFolder(temp);
    std::wstring folder, file;
    SplitPath(agentPath, folder, file);
    ClearOldUninstallerFolder(CombinePath(temp, serviceName), file);
    const std::wstring target = CombinePath(MakeUninstallerFolder(temp, serviceName), file);
    CopyFileTo(agentPath, target, false);
    step.Ok();
    return target;
  } catch (CExc& e) {
    e.AddContext(IDS_CANNOT_COPY_UNINSTALLER);
    throw;
  }
}

// The uninstaller runs from a copy in a subfolder of the temporary folder
// and cannot delete itself while it runs: the copy and its folder are
// deleted at the next restart. Not for a program run from anywhere else.
void ScheduleCopyDeletion() {
  const std::wstring self = GetModulePath();
  std::wstring folder, file, parent, name;
  SplitPath(self, folder, file);
  SplitPath(folder, parent, name);
  if (!EqualNoCase(Comparable(parent), Comparable(GetTempFolder()))) return;
  for (const std::wstring& path : {self, folder}) {
    if (!::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
      const CWin32Exc failure(kUseLastError);
      g_log.Warning(FormatMsg(L"Cannot mark [%1] for deletion at the next restart.", path), failure);
      return;
    }
  }
  g_log.Info(L"The uninstaller's copy [%1] is deleted at the next restart.", self);
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
    // One request at a time: there is one copy of the uninstaller, and one
    // removal. A second request while the first runs is refused.
    const std::unique_lock<std::mutex> only(g_requestLock, std::try_to_lock);
    if (!only.owns_lock()) throw CExc(L"Another removal request is being handled; this one is refused.", E_FAIL);
    CheckFileLockName(fileLockName);  // before anything is copied or started
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
  ScheduleCopyDeletion();
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
    // Before anything is stopped or deleted: a command line that names a
    // folder that is not plainly the agent's removes nothing at all.
    CheckAgentFiles(*agentPath);
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
    std::shared_ptr<CScmSvc> service;
    try {
      service = manager.OpenService(serviceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
    } catch (const CWin32Exc& e) {
      // A removal that failed after deleting the service is run again.
      if (e.GetWin32Error() != ERROR_SERVICE_DOES_NOT_EXIST) throw;
      g_log.Info(L"The service [%1] does not exist; it was deleted before.", serviceName);
      step.Ok();
      return;
    }
    service->Stop(kStopPolls);
    service->Delete();
    step.Ok();
  } catch (CExc& e) {
    e.AddContext(L"Cannot stop and deregister the guest service.");
    throw;
  }
}

void CheckAgentFiles(const std::wstring& agentPath) {
  try {
    std::wstring folder, file;
    SplitPath(agentPath, folder, file);
    CheckAgentFolder(agentPath, folder);
  } catch (CExc& e) {
    e.AddContext(L"Cannot remove files of the guest service.");
    throw;
  }
}

void RemoveAgentFiles(const std::wstring& agentPath) {
  try {
    CLogStep step(g_log, L"Removing files of the guest service.");
    std::wstring folder, file;
    SplitPath(agentPath, folder, file);
    CheckAgentFolder(agentPath, folder);
    // The executable goes last: a removal that stops halfway leaves a folder
    // that still holds it, which a second run then accepts.
    RemoveFolderWithRetries(folder, kRemoveRetryPauseMs, kRemoveAttempts, file);
    step.Ok();
  } catch (CExc& e) {
    e.AddContext(L"Cannot remove files of the guest service.");
    throw;
  }
}

}  // namespace uninstall
