#include "plugins/plugin_mngr.h"

#include "log/log.h"
#include "plugins/guest_cfg_file.h"
#include "base/exc.h"
#include "util/file.h"
#include "base/msg_ids.h"

std::shared_ptr<CPluginMngr> CPluginMngr::Instance() {
  static const std::shared_ptr<CPluginMngr> instance = std::make_shared<CPluginMngr>(CTermSink::Instance());
  return instance;
}

CPluginMngr::CPluginMngr(CTermSink& sink)
    : m_sink(sink), m_termination(std::make_shared<CTermMediator>()), m_finished(true, false) {}

CPluginMngr::~CPluginMngr() {
  try {
    StopAll();
  } catch (const CExc& e) {
    g_log.Error(L"Cannot stop the plugins.", e);
  }
  CCriticalSection::CHold hold(m_lock);
  for (const auto& plugin : m_reaped) plugin->KeepLoadedUntilExit();
  m_reaped.clear();
  m_plugins.clear();
}

void CPluginMngr::LoadPlugins(const cfg::CGuestCfgFile& config, const std::wstring& logFolder, bool persistent,
                              bool flr) {
  try {
    CLogStep step(g_log, LoadMsg(IDS_LOADING_PLUGINS));
    const std::wstring folder = GetModuleFolder();
    std::vector<std::wstring> paths;
    for (const std::wstring& path : config.EnumPlugins()) paths.push_back(CombinePath(folder, path));
    if (g_log.IsInfoEnabled()) {
      g_log.Info(LoadMsg(IDS_PLUGINS_TO_LOAD));
      CLogIndent indent(g_log);
      for (const std::wstring& path : paths) g_log.Info(path);
    }
    for (const std::wstring& path : paths) {
      CCriticalSection::CHold hold(m_lock);
      m_plugins.push_back(std::make_shared<CPlugin>(path, logFolder, m_termination, m_finished.GetHandle(), persistent, flr));
    }
    step.Ok();
  } catch (CExc& e) {
    e.AddContext(IDS_CANNOT_LOAD_PLUGINS_SET);
    throw;
  }
}

void CPluginMngr::InitRpcEndpoints() {
  try {
    CLogStep step(g_log, LoadMsg(IDS_INIT_RPC_ENDPOINTS));
    for (const auto& plugin : m_plugins) plugin->InitRpcEp();
    step.Ok();
  } catch (const CExc& e) {
    g_log.Error(LoadMsg(IDS_CANNOT_INIT_RPC_ENDPOINTS), e);
  }
}

void CPluginMngr::DoSvcStartupSteps() {
  try {
    CLogStep step(g_log,
                  L"Notifying plugin about Korlo VSS service startup. Service will be in starting state until plugin "
                  L"initialization finish.");
    for (const auto& plugin : m_plugins) {
      if (plugin->HasStartupSteps()) {
        plugin->DoStartupSteps();
      } else {
        g_log.Warning(L"There is no startup initialization procedure for plugin '%1': skipping it.",
                      plugin->GetPath());
      }
    }
    step.Ok();
  } catch (const CExc& e) {
    g_log.Error(L"Failed to initialize plugin initialization steps on service startup.", e);
  }
}

void CPluginMngr::StartWorkingThreads() {
  try {
    CLogStep step(g_log, LoadMsg(IDS_STARTING_PLUGINS_THREADS));
    {
      // Held until every thread has started: a stop all elsewhere would
      // otherwise count a plugin whose thread is not stored yet as stopped,
      // drop it and unload it while its PluginMain still runs.
      CCriticalSection::CHold hold(m_lock);
      for (const auto& plugin : m_plugins) {
        try {
          CLogStep pluginStep(g_log, LoadMsg(IDS_STARTING_PLUGIN_THREAD), plugin->GetPath());
          plugin->StartThread();
          pluginStep.Ok();
        } catch (const CExc& e) {
          g_log.Error(FormatMsg(LoadMsg(IDS_CANNOT_LAUNCH_PLUGIN_THREAD), plugin->GetPath()), e);
        }
      }
    }
    // Subscribed only now, outside the lock (a notification holds the sink's
    // lock and then takes ours). A stop request that arrived during the
    // start-up steps is remembered by the sink and runs stop all right here:
    // every PluginMain has been started, finds its event set and returns
    // before its library is unloaded.
    if (!m_subscribed) {
      m_subscribed = true;
      m_sink.Subscribe(std::make_shared<CTermSubscriber>(weak_from_this()));
    }
    step.Ok();
  } catch (const CExc& e) {
    g_log.Error(LoadMsg(IDS_CANNOT_START_PLUGINS_THREADS), e);
  }
}

void CPluginMngr::ReapFinishedPlugins() {
  CCriticalSection::CHold hold(m_lock);
  for (auto it = m_plugins.begin(); it != m_plugins.end();) {
    if (!(*it)->IsStopped()) {
      ++it;
      continue;
    }
    {
      CLogStep step(g_log, LoadMsg(IDS_WAITING_PLUGIN_WORKING_THREAD), (*it)->GetPath());
      (*it)->WaitThread();
      step.Ok();
    }
    // A library that may still be dispatched into waits for the endpoint's
    // stop; the others are unloaded once no one else holds the plugin.
    if ((*it)->HasRpcEndpoint()) m_reaped.push_back(*it);
    it = m_plugins.erase(it);
  }
}

void CPluginMngr::WaitingLoop() {
  try {
    g_log.Info(LoadMsg(IDS_ENTERING_WAITING_LOOP));
    const CKernelHandle termination = m_termination->Duplicate();
    const HANDLE handles[] = {termination.Get(), m_finished.GetHandle()};
    for (;;) {
      const DWORD result = ::WaitForMultipleObjects(2, handles, FALSE, kWaitingLoopTimeoutMs);
      if (result == WAIT_FAILED) throw CWin32Exc(L"Cannot wait for the plugins.", kUseLastError);
      if (::WaitForSingleObject(termination.Get(), 0) == WAIT_OBJECT_0) break;
      if (result == WAIT_TIMEOUT || m_finished.IsSet()) {
        m_finished.Reset();
        ReapFinishedPlugins();
      }
    }
    StopAll();
    g_log.Info(LoadMsg(IDS_EXITING_WAITING_LOOP));
  } catch (const CExc& e) {
    g_log.Error(LoadMsg(IDS_WAITING_LOOP_FAILED), e);
  }
}

void CPluginMngr::StopAll() {
  CCriticalSection::CHold hold(m_lock);
  if (m_plugins.empty()) return;
  g_log.Info(LoadMsg(IDS_WAITING_PLUGINS_FINISH));
  m_termination->Set();
  while (!m_plugins.empty()) {
    ReapFinishedPlugins();
    if (!m_plugins.empty()) ::Sleep(kStopRecheckIntervalMs);
  }
}

void CPluginMngr::UnloadReapedPlugins() {
  std::vector<std::shared_ptr<CPlugin>> reaped;
  {
    CCriticalSection::CHold hold(m_lock);
    reaped.swap(m_reaped);
  }
  for (const auto& plugin : reaped) g_log.Info(L"Unloading plugin [%1].", plugin->GetPath());
}

std::vector<std::wstring> CPluginMngr::GetPluginPaths() {
  CCriticalSection::CHold hold(m_lock);
  std::vector<std::wstring> paths;
  for (const auto& plugin : m_plugins) paths.push_back(plugin->GetPath());
  return paths;
}

void CPluginMngr::CTermSubscriber::OnTermination() {
  const std::shared_ptr<CPluginMngr> manager = m_manager.lock();
  if (!manager) return;
  try {
    manager->m_termination->Set();
    manager->StopAll();
  } catch (const CExc& e) {
    g_log.Error(L"Cannot stop the plugins on termination.", e);
  }
}
