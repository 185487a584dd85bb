// Loads the plugins named by the agent configuration, runs each one's
// PluginMain on a work thread of its own, watches the threads while the
// service runs, and stops and unloads them at the end.
#pragma once

#include "plugins/plugin.h"
#include "plugins/term.h"
#include "util/thread.h"

#include <memory>
#include <string>
#include <vector>

namespace cfg {
class CGuestCfgFile;
}  // namespace cfg

class CPluginMngr : public std::enable_shared_from_this<CPluginMngr> {
 public:
  // The process's manager, created on first use; it subscribes to
  // CTermSink::Instance() when its threads start.
  static std::shared_ptr<CPluginMngr> Instance();

  // A manager that subscribes to `sink` (tests use a sink of their own).
  explicit CPluginMngr(CTermSink& sink);
  // Stops all plugins, then unloads those that registered no RPC interface;
  // the others stay loaded until the process ends (the endpoint may still
  // dispatch into them).
  ~CPluginMngr();
  CPluginMngr(const CPluginMngr&) = delete;
  CPluginMngr& operator=(const CPluginMngr&) = delete;

  // Called by the service body on its thread, in this order.
  // Loads the configuration's plugins, each path joined to the program
  // folder; each plugin is told to log into `logFolder`. A failure is thrown
  // ("Cannot load plugins set.") and the plugins loaded before it stay.
  void LoadPlugins(const cfg::CGuestCfgFile& config, const std::wstring& logFolder, bool persistent, bool flr);
  void InitRpcEndpoints();
  void DoSvcStartupSteps();
  // Starts one work thread per plugin, then subscribes to the sink. A stop
  // request that came earlier is honoured during the subscription: the
  // plugins are told to stop and waited for, never unloaded before their
  // PluginMain has returned.
  void StartWorkingThreads();
  // Returns only after the termination event is signalled; reaps plugins
  // whose PluginMain has returned meanwhile. Never throws.
  void WaitingLoop();
  // Signals the plugins to stop and waits, rechecking every second, until
  // every PluginMain has returned. No overall time limit.
  void StopAll();
  // Unloads the plugins reaped so far. A plugin that was asked to register
  // its RPC interfaces is reaped without being unloaded: its interfaces may
  // still be registered and called (the contract does not ask a plugin to
  // unregister them). The service calls this once the endpoint has stopped
  // and every interface was unregistered with its calls completed.
  void UnloadReapedPlugins();

  // The plugins still in the list.
  std::vector<std::wstring> GetPluginPaths();
  std::shared_ptr<CTermMediator> GetTermination() const { return m_termination; }

  // Tells the manager to stop its plugins when the service is asked to stop.
  class CTermSubscriber : public CTermSink::CSubscriber {
   public:
    explicit CTermSubscriber(std::weak_ptr<CPluginMngr> manager) : m_manager(std::move(manager)) {}
    void OnTermination() override;
    std::wstring GetName() const override { return L"CPluginMngr::CTermSubscriber"; }

   private:
    std::weak_ptr<CPluginMngr> m_manager;
  };

 private:
  static constexpr DWORD kWaitingLoopTimeoutMs = 5000;
  static constexpr DWORD kStopRecheckIntervalMs = 1000;

  void ReapFinishedPlugins();

  CTermSink& m_sink;
  CCriticalSection m_lock;  // guards m_plugins; recursive
  std::shared_ptr<CTermMediator> m_termination;
  CEvent m_finished;
  std::vector<std::shared_ptr<CPlugin>> m_plugins;
  std::vector<std::shared_ptr<CPlugin>> m_reaped;  // stopped, still loaded
  bool m_subscribed = false;
};
