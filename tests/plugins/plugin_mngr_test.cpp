// The plugin manager with the fixture plugins, in-process: load checks and
// log lines, the work threads, reaping and stopping.
#include "plugins/plugin_mngr.h"

#include "exc_checks.h"
#include "fixtures/fixture_record.h"
#include "logfile/log_folder.h"
#include "log_capture.h"
#include "plugins/guest_cfg_file.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <thread>

namespace {

using testing_support::CLogCapture;
using testing_support::Narrow;

std::wstring BinPath(const std::wstring& name) { return testing_support::ProgramFolder() + L"\\" + name; }

class PluginMngrTest : public testing::Test {
 protected:
  void SetUp() override {
    m_record = m_dir / L"record.txt";
    ::SetEnvironmentVariableW(fixture::kRecordVar, m_record.c_str());
  }
  void TearDown() override { ::SetEnvironmentVariableW(fixture::kRecordVar, nullptr); }

  std::shared_ptr<cfg::CGuestCfgFile> Config(const std::vector<std::wstring>& plugins) {
    auto config = std::make_shared<cfg::CGuestCfgFile>(std::wstring(), true, false);
    for (const auto& plugin : plugins) config->AddPlugin(plugin + L".dll");
    return config;
  }
  std::vector<std::wstring> Calls(const std::wstring& module) {
    std::vector<fixture::SCall> mine;
    for (auto& call : fixture::ParseRecord(testing_support::ReadFileBytes(m_record))) {
      if (call.module == module + L".dll") mine.push_back(call);
    }
    return fixture::CallTexts(mine);
  }
  // Waits (up to a minute) until the manager holds `count` plugins.
  bool WaitForCount(CPluginMngr& manager, size_t count) {
    for (int i = 0; i < 600; ++i) {
      if (manager.GetPluginPaths().size() == count) return true;
      ::Sleep(100);
    }
    return false;
  }

  testing_support::CScratchDir m_dir;
  const std::wstring m_logFolder = m_dir.Path();
  std::wstring m_record;
  CTermSink m_sink;
};

TEST_F(PluginMngrTest, LoadsInConfigurationOrderWithWarningsForOptionalExports) {
  CLogCapture log;
  auto manager = std::make_shared<CPluginMngr>(m_sink);
  manager->LoadPlugins(*Config({L"fixture_plugin_all", L"fixture_plugin_minimal"}), m_logFolder, false, false);

  const std::wstring all = BinPath(L"fixture_plugin_all.dll");
  const std::wstring minimal = BinPath(L"fixture_plugin_minimal.dll");
  EXPECT_EQ((std::vector<std::wstring>{all, minimal}), manager->GetPluginPaths());
  EXPECT_TRUE(
      log.Contains(kLogWarning, L"Plugin '" + minimal + L"' does not export 'PluginDoSvcStartupSteps' function."));
  EXPECT_FALSE(log.Contains(kLogWarning, L"Plugin '" + all + L"' does not export 'PluginDoSvcStartupSteps' function."));

  // The logging call: the host's log folder, the plugin's stem, 1.
  EXPECT_EQ((std::vector<std::wstring>{L"load", L"PluginInitLogging|" + m_logFolder + L"|fixture_plugin_all|1"}),
            Calls(L"fixture_plugin_all"));
  EXPECT_EQ((std::vector<std::wstring>{L"load"}), Calls(L"fixture_plugin_minimal"));

  manager.reset();  // nothing started: unloads at once
  EXPECT_EQ(L"unload", Calls(L"fixture_plugin_all").back());
}

TEST_F(PluginMngrTest, FlrModeLogsUnderFlrNameAndSetsOnlyFlr) {
  CLogCapture log;
  auto manager = std::make_shared<CPluginMngr>(m_sink);
  manager->LoadPlugins(*Config({L"fixture_plugin_all", L"fixture_plugin_minimal"}), m_logFolder, false, true);
  EXPECT_EQ((std::vector<std::wstring>{L"load", L"PluginInitLogging|" + m_logFolder + L"|fixture_plugin_all_flr|1",
                                       L"PluginSetOnlyFlr"}),
            Calls(L"fixture_plugin_all"));
  EXPECT_TRUE(log.Contains(kLogWarning, L"Plugin '" + BinPath(L"fixture_plugin_minimal.dll") +
                                            L"' does not export 'PluginSetOnlyFlr' function."));
}

TEST_F(PluginMngrTest, MissingRequiredExportFailsTheSetAndKeepsEarlierPlugins) {
  const struct {
    const wchar_t* plugin;
    std::wstring cause;
    DWORD error;  // the loader's own code survives the message lines
  } cases[] = {
      {L"fixture_plugin_no_main", L"Plugin's entry point was not found. ", ERROR_PROC_NOT_FOUND},
      {L"fixture_plugin_no_rpc_ep", L"The plugin's [RpcInitEp] entry point is unavailable.", ERROR_PROC_NOT_FOUND},
      {L"fixture_plugin_not_there",
       L"Cannot load plugin's library. Plugin: [" + BinPath(L"fixture_plugin_not_there.dll") + L"].",
       ERROR_MOD_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.plugin));
    auto manager = std::make_shared<CPluginMngr>(m_sink);
    const auto e = testing_support::CatchExc<CWin32Exc>([&] {
      manager->LoadPlugins(*Config({L"fixture_plugin_all", c.plugin, L"fixture_plugin_minimal"}), m_logFolder, false, false);
    });
    ASSERT_TRUE(e);
    ASSERT_EQ(4u, e->GetMessages().size());
    EXPECT_EQ(L"Cannot load plugins set.", e->GetMessages()[0]);
    EXPECT_EQ(L"Cannot load plugin [" + BinPath(std::wstring(c.plugin) + L".dll") + L"].", e->GetMessages()[1]);
    EXPECT_EQ(c.cause, e->GetMessages()[2]);
    EXPECT_EQ(0u, e->GetMessages()[3].find(L"Win32 error:"));
    EXPECT_EQ(c.error, e->GetWin32Error());
    EXPECT_EQ((std::vector<std::wstring>{BinPath(L"fixture_plugin_all.dll")}), manager->GetPluginPaths());
  }
}

// The whole run: RPC endpoints, start-up steps, threads, the waiting loop
// reaping a plugin that returns at once, termination stopping the rest.
TEST_F(PluginMngrTest, RunReapsFinishedPluginsAndStopsTheRestOnTermination) {
  CLogCapture log;
  auto manager = std::make_shared<CPluginMngr>(m_sink);
  manager->LoadPlugins(*Config({L"fixture_plugin_all", L"fixture_plugin_returns", L"fixture_plugin_minimal"}), m_logFolder, true,
                       false);
  manager->InitRpcEndpoints();
  manager->DoSvcStartupSteps();
  manager->StartWorkingThreads();
  std::thread loop([&] { manager->WaitingLoop(); });

  ASSERT_TRUE(WaitForCount(*manager, 2));
  EXPECT_EQ((std::vector<std::wstring>{BinPath(L"fixture_plugin_all.dll"), BinPath(L"fixture_plugin_minimal.dll")}),
            manager->GetPluginPaths());
  EXPECT_EQ(L"PluginMain.return|at-once", Calls(L"fixture_plugin_returns").back());  // reaped, still loaded

  m_sink.Notify();
  loop.join();
  EXPECT_TRUE(manager->GetPluginPaths().empty());
  manager->UnloadReapedPlugins();

  const auto all = Calls(L"fixture_plugin_all");
  ASSERT_EQ(8u, all.size()) << Narrow(all.back());
  EXPECT_EQ(L"PluginInitRpcEp", all[2]);
  EXPECT_EQ(L"PluginDoSvcStartupSteps", all[3]);
  EXPECT_EQ(L"PluginDoSvcStartupSteps.return", all[4]);
  EXPECT_EQ(0u, all[5].find(L"PluginMain|")) << Narrow(all[5]);
  EXPECT_EQ(L"|1|1", all[5].substr(all[5].size() - 4));  // uninstall callback given, persistent
  EXPECT_EQ(L"PluginMain.return|signalled", all[6]);
  EXPECT_EQ(L"unload", all[7]);
  EXPECT_EQ(L"PluginMain.return|at-once", Calls(L"fixture_plugin_returns")[6]);
  EXPECT_EQ(L"PluginMain.return|signalled", Calls(L"fixture_plugin_minimal")[3]);

  const std::wstring minimal = BinPath(L"fixture_plugin_minimal.dll");
  EXPECT_TRUE(log.Contains(
      kLogWarning, L"There is no startup initialization procedure for plugin '" + minimal + L"': skipping it."));
}

// PluginMain cannot be given its termination event: the plugin's fatal
// error with the cause named once, and the thread still reports its end.
TEST_F(PluginMngrTest, TerminationEventThatCannotBeDuplicatedIsThePluginsFatalError) {
  CLogCapture log;
  const std::wstring path = BinPath(L"fixture_plugin_all.dll");
  // A value that is no handle of this process.
  auto broken = std::make_shared<CTermMediator>(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFFFF00)));
  CEvent finished(true, false);
  {
    CPlugin plugin(path, m_logFolder, broken, finished.GetHandle(), false, false);
    plugin.StartThread();
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(finished.GetHandle(), 60000));
    EXPECT_TRUE(plugin.IsStopped());
  }
  const auto lines = log.Lines();
  const auto fatal = std::find_if(lines.begin(), lines.end(), [&](const CLogCapture::SLine& line) {
    return line.level == kLogError && line.text == L"Plugin's fatal error. Plugin: [" + path + L"].";
  });
  // Its lines below (the mediator's own) are checked in the mediator's test.
  ASSERT_GE(std::distance(fatal, lines.end()), 3);
  const auto calls = Calls(L"fixture_plugin_all");
  for (const auto& call : calls) EXPECT_NE(0u, call.find(L"PluginMain")) << "PluginMain was called";
  EXPECT_EQ(L"unload", calls.back());
}

// A stop request that arrives before the threads start is not lost (with a
// plugin: the service test's stop during start-up); with no plugins at all
// the loop still ends on it.
TEST_F(PluginMngrTest, TerminationBeforeStartEndsTheLoopWithoutPlugins) {
  auto manager = std::make_shared<CPluginMngr>(m_sink);
  manager->LoadPlugins(*Config({}), m_logFolder, false, false);
  m_sink.Notify();
  manager->StartWorkingThreads();
  manager->WaitingLoop();  // returns: the termination event is already set
  EXPECT_TRUE(manager->GetPluginPaths().empty());
  manager->StopAll();  // nothing left: returns at once
}

}  // namespace
