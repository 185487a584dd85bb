// The one-shot runs of the real executable: -injectVss and -desktopSnapshot,
// with fixture plugins standing in for KorloVssSupport.dll.
#include "fixtures/fixture_record.h"
#include "host_runner.h"

#include <gtest/gtest.h>

namespace {

using testing_support::CHostRun;
using testing_support::ContainsText;
using testing_support::HasLineContaining;
using testing_support::ContainsInOrder;
using testing_support::Narrow;

class OneShotTest : public testing::Test {
 protected:
  void SetUp() override { ::SetEnvironmentVariableW(fixture::kRecordVar, m_record.c_str()); }
  void TearDown() override { ::SetEnvironmentVariableW(fixture::kRecordVar, nullptr); }

  std::vector<std::wstring> Calls() {
    return fixture::CallTexts(fixture::ParseRecord(testing_support::ReadFileBytes(m_record)));
  }

  testing_support::CScratchDir m_dir;
  std::wstring m_record = m_dir / L"record.txt";
};

TEST_F(OneShotTest, InjectVssCallsThePluginOnceAndUnloadsIt) {
  CHostRun host({L"fixture_plugin_all.dll=KorloVssSupport.dll"});
  const auto result = host.Run(L"-injectVss -uninstall");
  EXPECT_EQ(0u, result.exitCode);
  const std::wstring logFolder = CHostRun::LogPath(L"x").substr(0, CHostRun::LogPath(L"x").size() - 6);
  EXPECT_EQ((std::vector<std::wstring>{L"load", L"PluginInitLogging|" + logFolder + L"|KorloVssSupport|1",
                                       L"HvInjectVss", L"unload"}),
            Calls());
  // With -uninstall as well, the log is the uninstall log, and only the
  // injection runs.
  const auto texts = host.LogTexts(L"KorloUninstall");
  EXPECT_TRUE(ContainsInOrder(texts, {L"Loading plugin [KorloVssSupport.dll].",
                                      L"Plugin [KorloVssSupport.dll] is loaded."}))
      << testing_support::JoinLines(texts);
  EXPECT_TRUE(host.LogLines(L"KorloGuestHelper").empty());
}

TEST_F(OneShotTest, InjectVssWithoutTheExportNamesItAndThePlugin) {
  CHostRun host({L"fixture_plugin_minimal.dll=KorloVssSupport.dll"});
  host.Run(L"-injectVss");
  const auto texts = host.LogTexts();
  EXPECT_TRUE(ContainsText(texts, L"There is no procedure 'HvInjectVss' in plugin 'KorloVssSupport.dll'."))
      << testing_support::JoinLines(texts);
  // The loader's code (ERROR_PROC_NOT_FOUND) survives the message.
  EXPECT_TRUE(HasLineContaining(texts, L" Code: 127")) << testing_support::JoinLines(texts);
  EXPECT_EQ(L"unload", Calls().back());
}

// A KorloVssSupport.dll in the current folder and along PATH, none beside
// the program: nothing is loaded.
TEST_F(OneShotTest, OneShotRunsLoadThePluginNeitherFromTheCurrentFolderNorFromPath) {
  CHostRun host;
  ASSERT_TRUE(::CopyFileW((testing_support::ProgramFolder() + L"\\fixture_plugin_all.dll").c_str(),
                          (m_dir / L"KorloVssSupport.dll").c_str(), FALSE));
  wchar_t path[4096] = {};
  ::GetEnvironmentVariableW(L"PATH", path, 4096);
  ::SetEnvironmentVariableW(L"PATH", (m_dir.Path() + L";" + path).c_str());
  for (const wchar_t* run : {L"-injectVss", L"-desktopSnapshot"}) {
    host.Run(run, "k", 60000, m_dir.Path());
    const auto texts = host.LogTexts();
    EXPECT_TRUE(ContainsInOrder(texts, {L"Loading plugin [KorloVssSupport.dll].",
                                        L"Cannot load plugin's library. Plugin: [KorloVssSupport.dll]."}))
        << testing_support::JoinLines(texts);
  }
  ::SetEnvironmentVariableW(L"PATH", path);
  EXPECT_FALSE(testing_support::Exists(m_record)) << "the planted library ran";
}

TEST_F(OneShotTest, DesktopSnapshotDrivesTheTestOperationsAndWaitsForAKey) {
  CHostRun host({L"fixture_plugin_all.dll=KorloVssSupport.dll"});
  const auto result = host.Run(L"-desktopSnapshot", "k");
  EXPECT_EQ(0u, result.exitCode);
  const std::wstring dump = host.Folder() + L"\\VolumesDump.xml";
  EXPECT_EQ("Starting desktop snapshot, wait a minute. See log for details - '" +
                Narrow(CHostRun::LogPath(L"KorloGuestHelper")) + "'.\r\n" +
                "Snapshot is ready. Volumes dump can be found here: '" + Narrow(dump) + "'.\r\n" +
                "Press any key to terminate snapshot...\r\n",
            result.output);
  const auto calls = Calls();
  EXPECT_TRUE(ContainsInOrder(calls, {L"TestInvoker|StartTestDesktopSnapshot|0|0",
                                      L"TestInvoker|WaitTestDesktopSnapshotReady|0|0",
                                      L"TestInvoker|DumpVolumesXmlForDesktopSnapshot|" + dump + L"|0",
                                      L"TestInvoker|FinishTestDesktopSnapshot|0|0", L"unload"}))
      << testing_support::JoinLines(calls);
  for (const auto& call : calls) EXPECT_NE(0u, call.find(L"PluginMain")) << "PluginMain is not called here";
}

}  // namespace
