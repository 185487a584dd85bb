// One loaded plugin library: its exports and its work thread.
#pragma once

#include "plugins/plugin_contract.h"
#include "plugins/term.h"
#include "base/handle.h"
#include "util/thread.h"
#include "base/win.h"

#include <atomic>
#include <memory>
#include <string>

// The callback every PluginMain receives for its uninstall requests. The
// service installs the removal's callback at start-up; until then (and after
// SetUninstallCallback(nullptr)) a request is logged and declined.
PluginUninstallFn* GetUninstallCallback();
void SetUninstallCallback(PluginUninstallFn* callback);

class CPlugin {
 public:
  // Loads the library and resolves its exports, logging each step; a missing
  // required export throws (context: "Cannot load plugin [%1].").
  // `logFolder` is the folder handed to the plugin's PluginInitLogging.
  // `finishedEvent` is duplicated (the plugin owns and closes the copy) and
  // signalled when the work thread ends. `flr`: the FLR service mode (the
  // plugin logs under "<name>_flr" and is told it serves FLR only).
  CPlugin(const std::wstring& path, const std::wstring& logFolder, std::shared_ptr<CTermMediator> termination,
          HANDLE finishedEvent, bool persistent, bool flr);
  // Waits without limit for a work thread that still runs, then unloads the
  // library. Never throws.
  ~CPlugin();
  CPlugin(const CPlugin&) = delete;
  CPlugin& operator=(const CPlugin&) = delete;

  // GetProcAddress; throws CWin32Exc naming the export and the plugin.
  FARPROC GetProc(const char* name) const;

  const std::wstring& GetPath() const { return m_path; }
  bool HasStartupSteps() const { return m_doStartupSteps != nullptr; }

  void InitRpcEp();
  // True once PluginInitRpcEp was called: the RPC run-time may hold entries
  // that point into the library until the endpoint has stopped.
  bool HasRpcEndpoint() const { return m_rpcInitialised; }
  // Leaves the library loaded until the process ends, whatever releases it.
  void KeepLoadedUntilExit();
  void DoStartupSteps();
  // Starts the work thread that runs PluginMain.
  void StartThread();
  // True when there is no work thread, it has ended, or the stopped event is set.
  bool IsStopped() const;
  // Waits without limit for the work thread; returns at once without one.
  void WaitThread() const;

 private:
  void Load(const std::wstring& logFolder, bool flr);
  DWORD WorkThreadProc();

  mutable CCriticalSection m_lock;
  CLibrary m_module;
  std::shared_ptr<CThread> m_thread;
  std::shared_ptr<CTermMediator> m_termination;
  std::wstring m_path;
  CKernelHandle m_finishedCopy;
  CEvent m_stopped;
  PluginInitRpcEpFn* m_initRpcEp = nullptr;
  PluginMainFn* m_main = nullptr;
  PluginDoSvcStartupStepsFn* m_doStartupSteps = nullptr;
  bool m_persistent;
  std::atomic<bool> m_rpcInitialised{false};
};
