#include "plugins/plugin.h"

#include "log/log.h"
#include "logfile/log_folder.h"
#include "base/exc.h"
#include "util/file.h"
#include "base/msg_ids.h"

namespace {

BOOLEAN KORLO_STDCALL DeclineUninstall(BOOLEAN rebootRequired, const char*, PluginUninstallDecisionFn*) {
  g_log.Info(LoadMsg(IDS_UNINSTALL_SIGNAL_RECEIVED), BoolText(rebootRequired != 0));
  g_log.Warning(L"Removal of the guest service is not available in this run. The request is declined.");
  return FALSE;
}

std::atomic<PluginUninstallFn*> g_uninstallCallback{&DeclineUninstall};

// Signals the stopped event and then the manager's finished event when the
// work thread leaves its procedure by any path.
class CEndGuard {
 public:
  CEndGuard(CEvent& stopped, HANDLE finished) : m_stopped(stopped), m_finished(finished) {}
  ~CEndGuard() {
    m_stopped.Set();
    ::SetEvent(m_finished);
  }
  CEndGuard(const CEndGuard&) = delete;
  CEndGuard& operator=(const CEndGuard&) = delete;

 private:
  CEvent& m_stopped;
  HANDLE m_finished;
};

// A bare file name is looked for beside the program and in the system
// folder only, never in the current folder or along PATH, where others may
// put a library; its own imports likewise. A path is loaded as given.
HMODULE LoadPluginLibrary(const std::wstring& path) {
  if (path.find_first_of(L"\\/:") != std::wstring::npos) return ::LoadLibraryW(path.c_str());
  HMODULE module =
      ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module || ::GetLastError() != ERROR_INVALID_PARAMETER) return module;
  // A system without those flags: the same two folders by full path.
  module = ::LoadLibraryExW(CombinePath(GetModuleFolder(), path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  wchar_t system[MAX_PATH] = {};
  if (module || !::GetSystemDirectoryW(system, MAX_PATH)) return module;
  return ::LoadLibraryExW(CombinePath(system, path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

PluginUninstallFn* GetUninstallCallback() { return g_uninstallCallback; }

void SetUninstallCallback(PluginUninstallFn* callback) {
  g_uninstallCallback = callback ? callback : &DeclineUninstall;
}

CPlugin::CPlugin(const std::wstring& path, const std::wstring& logFolder, std::shared_ptr<CTermMediator> termination,
                 HANDLE finishedEvent, bool persistent, bool flr)
    : m_termination(std::move(termination)), m_path(path), m_stopped(true, false), m_persistent(persistent) {
  m_finishedCopy = DuplicateOwnHandle(finishedEvent);
  Load(logFolder, flr);
}

void CPlugin::Load(const std::wstring& logFolder, bool flr) {
  try {
    g_log.Info(LoadMsg(IDS_LOADING_PLUGIN), m_path);
    m_module.Reset(LoadPluginLibrary(m_path));
    if (!m_module) {
      const DWORD error = ::GetLastError();  // before the message text is loaded
      throw CWin32Exc(LoadMsg(IDS_CANNOT_LOAD_PLUGIN_LIBRARY), m_path, error);
    }

    m_main = ProcCast<PluginMainFn*>(::GetProcAddress(m_module.Get(), plugin::kPluginMain));
    if (!m_main) throw CWin32Exc(IDS_PLUGIN_ENTRY_POINT_NOT_FOUND, kUseLastError);
    m_initRpcEp = ProcCast<PluginInitRpcEpFn*>(::GetProcAddress(m_module.Get(), plugin::kPluginInitRpcEp));
    if (!m_initRpcEp) throw CWin32Exc(IDS_RPC_INIT_EP_UNAVAILABLE, kUseLastError);

    m_doStartupSteps =
        ProcCast<PluginDoSvcStartupStepsFn*>(::GetProcAddress(m_module.Get(), plugin::kPluginDoSvcStartupSteps));
    if (!m_doStartupSteps) {
      g_log.Warning(L"Plugin '%1' does not export 'PluginDoSvcStartupSteps' function.", m_path);
    }

    auto* initLogging =
        ProcCast<PluginInitLoggingFn*>(::GetProcAddress(m_module.Get(), plugin::kPluginInitLogging));
    if (initLogging) {
      std::wstring name = GetPluginLogName(m_path);
      if (flr) name += L"_flr";
      initLogging(logFolder.c_str(), name.c_str(), plugin::kInitLoggingReserved);
    } else {
      g_log.Info(LoadMsg(IDS_CANNOT_INIT_PLUGIN_LOGGING), m_path);
    }

    if (flr) {
      auto* setOnlyFlr = ProcCast<PluginSetOnlyFlrFn*>(::GetProcAddress(m_module.Get(), plugin::kPluginSetOnlyFlr));
      if (setOnlyFlr) {
        setOnlyFlr();
      } else {
        g_log.Warning(L"Plugin '%1' does not export 'PluginSetOnlyFlr' function.", m_path);
      }
    }
    g_log.Info(LoadMsg(IDS_PLUGIN_LOADED), m_path);
  } catch (CExc& e) {
    e.AddContext(IDS_CANNOT_LOAD_PLUGIN, m_path);
    throw;
  }
}

CPlugin::~CPlugin() {
  try {
    if (!IsStopped()) {
      CLogInfoStep step(g_log, LoadMsg(IDS_WAITING_PLUGIN_WORK_THREAD), m_path);
      WaitThread();
      step.Ok();
    }
  } catch (const CExc& e) {
    g_log.Error(L"Cannot stop plugin [" + m_path + L"].", e);
  }
  {
    CCriticalSection::CHold hold(m_lock);
    m_thread.reset();
  }
  m_module.Reset();
}

FARPROC CPlugin::GetProc(const char* name) const {
  const FARPROC proc = ::GetProcAddress(m_module.Get(), name);
  if (!proc) {
    const DWORD error = ::GetLastError();  // before the message is built
    throw CWin32Exc(FormatMsg(L"There is no procedure '%1' in plugin '%2'.", FromAnsi(name), m_path), error);
  }
  return proc;
}

void CPlugin::InitRpcEp() {
  m_rpcInitialised = true;
  m_initRpcEp();
}

void CPlugin::KeepLoadedUntilExit() {
  HMODULE pinned = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(m_main), &pinned)) {
    g_log.Warning(FormatMsg(L"Cannot keep plugin [%1] loaded until the process ends.", m_path),
                  CWin32Exc(kUseLastError));
  }
}

void CPlugin::DoStartupSteps() {
  if (m_doStartupSteps) m_doStartupSteps();
}

void CPlugin::StartThread() {
  auto thread = std::make_shared<CThread>([this] { return WorkThreadProc(); }, false);
  CCriticalSection::CHold hold(m_lock);
  m_thread = std::move(thread);
}

DWORD CPlugin::WorkThreadProc() {
  CEndGuard guard(m_stopped, m_finishedCopy.Get());
  try {
    // Duplicate adds "Cannot duplicate a termination event." itself.
    const CKernelHandle termination = m_termination->Duplicate();
    g_log.Info(LoadMsg(IDS_LAUNCHING_PLUGIN), m_path);
    m_main(termination.Get(), GetUninstallCallback(), m_persistent ? TRUE : FALSE);
    g_log.Info(LoadMsg(IDS_PLUGIN_FINISHED), m_path);
  } catch (const CExc& e) {
    g_log.Error(FormatMsg(LoadMsg(IDS_PLUGIN_FATAL_ERROR), m_path), e);
  }
  return 0;
}

bool CPlugin::IsStopped() const {
  std::shared_ptr<CThread> thread;
  {
    CCriticalSection::CHold hold(m_lock);
    thread = m_thread;
  }
  return !thread || !thread->IsRunning() || m_stopped.IsSet();
}

void CPlugin::WaitThread() const {
  std::shared_ptr<CThread> thread;
  {
    CCriticalSection::CHold hold(m_lock);
    thread = m_thread;
  }
  if (thread) thread->Wait(INFINITE);
}
