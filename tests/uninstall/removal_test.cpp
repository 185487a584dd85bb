#include "uninstall/removal.h"

#include "base/msg.h"
#include "base/msg_ids.h"
#include "exc_checks.h"
#include "host_runner.h"
#include "log_capture.h"
#include "plugins/plugin.h"
#include "fixtures/fixture_record.h"
#include "svc_control.h"
#include "util/file.h"

#include <gtest/gtest.h>

namespace {

using testing_support::CatchExc;
using testing_support::CHostRun;
using testing_support::CLogCapture;
using testing_support::ContainsInOrder;
using testing_support::NewGuidText;

// Records restart requests instead of restarting the machine.
struct CShutdownRecorder : uninstall::ISystemShutdown {
  BOOL RequestRestart(UINT flags, DWORD reason) override {
    calls.push_back({flags, reason});
    ::SetLastError(failWith);
    return failWith == 0;
  }
  DWORD failWith = 0;
  std::vector<std::pair<UINT, DWORD>> calls;
};

// The texts of the lines appended to the uninstaller's log since
// construction, without indentation.
class CUninstallLog {
 public:
  CUninstallLog() : m_start(testing_support::ReadFileBytes(CHostRun::LogPath(L"KorloUninstall")).size()) {}
  std::vector<std::wstring> Texts() const {
    const std::string bytes = testing_support::ReadFileBytes(CHostRun::LogPath(L"KorloUninstall"));
    auto texts = testing_support::LogLineTexts(testing_support::Utf16(bytes.substr(std::min(m_start, bytes.size()))));
    for (std::wstring& text : texts) text.erase(0, text.find_first_not_of(L' '));
    return texts;
  }

 private:
  size_t m_start;
};

TEST(RemovalTest, DisabledRemovalIsSkippedAndRebootsOnceWhenAsked) {
  for (const bool reboot : {false, true}) {
    const auto recorder = std::make_shared<CShutdownRecorder>();
    const auto previous = uninstall::SetSystemShutdown(recorder);
    CLogCapture log;
    // What a plugin's PluginMain receives once the service has installed it.
    uninstall::InstallUninstallCallback(L"KorloDesktopVssSvc", true);
    EXPECT_EQ(FALSE, GetUninstallCallback()(reboot ? TRUE : FALSE, "lock", nullptr));
    SetUninstallCallback(nullptr);
    uninstall::SetRemovalDisabled(false);
    uninstall::SetSystemShutdown(previous);
    EXPECT_TRUE(log.Contains(kLogInfo, L"Skipping uninstall signal : uninstall is disabled for desktop VSS service."));
    EXPECT_EQ(reboot, log.Contains(kLogInfo, L"Forcing shutdown (due to restore)."));
    using TCalls = std::vector<std::pair<UINT, DWORD>>;
    EXPECT_EQ((reboot ? TCalls{{EWX_REBOOT | EWX_FORCE, 0x80040001}} : TCalls{}), recorder->calls);
  }
}

// The reboot still happens when the run fails, and its own failure is logged
// while the first failure goes on to the caller.
TEST(RemovalTest, FailedRunStillRebootsAndKeepsItsFailure) {
  const auto recorder = std::make_shared<CShutdownRecorder>();
  recorder->failWith = ERROR_ACCESS_DENIED;
  const auto previous = uninstall::SetSystemShutdown(recorder);
  CLogCapture log;
  const auto e = CatchExc([] { uninstall::RunUninstall({{L"uninstall", L""}, {L"sys_shutdown", L""}}); });
  uninstall::SetSystemShutdown(previous);
  ASSERT_TRUE(e);
  ASSERT_EQ(2u, e->GetMessages().size());
  EXPECT_EQ(L"Cannot uninstall the guest service.", e->GetMessages()[0]);
  EXPECT_EQ(L"The path to the guest service is not specified.", e->GetMessages()[1]);
  EXPECT_EQ(1u, recorder->calls.size());
  EXPECT_TRUE(log.Contains(kLogWarning, L"The reboot of the local system is required."));
  EXPECT_TRUE(log.Contains(kLogError, L"The pending reboot of the local system failed."));
  EXPECT_TRUE(log.Contains(kLogError, L"Cannot initiate reboot of the local system."));
}

void __cdecl Cancel(BOOLEAN* cancel) { *cancel = TRUE; }

// The service's side with a real uninstaller: the copy is started, the
// handshake runs, and the agent's folder goes only when the removal is
// accepted.
TEST(RemovalE2eTest, RequestLaunchesUninstallerThatFollowsTheDecision) {
  for (const bool cancel : {false, true}) {
    CHostRun agent;
    const std::wstring folderName = L"KorloTest_" + NewGuidText();
    const CUninstallLog uninstallLog;
    CLogCapture log;
    const std::wstring lockName = L"KorloTestLock_" + NewGuidText();
    EXPECT_EQ(!cancel, uninstall::HandleUninstallRequest(agent.ExePath(), folderName, false, lockName,
                                                         cancel ? &Cancel : nullptr));
    const std::wstring done = LoadMsg(cancel ? IDS_AGENT_DECLINED_REMOVAL : IDS_AGENT_ACCEPTED_REMOVAL);
    std::vector<std::wstring> expected = {done};
    if (!cancel) expected.push_back(L"Removing files of the guest service.. Ok.");
    std::vector<std::wstring> lines;
    for (int i = 0; i < 300 && !ContainsInOrder(lines, expected); ++i) {
      ::Sleep(100);
      lines = uninstallLog.Texts();
    }
    EXPECT_TRUE(ContainsInOrder(lines, expected)) << testing_support::JoinLines(lines);
    EXPECT_EQ(cancel, testing_support::Exists(agent.Folder()));
    EXPECT_TRUE(log.Contains(kLogInfo, FormatMsg(LoadMsg(IDS_UNINSTALL_SIGNAL_RECEIVED), L"false")));

    // The copy in the temporary folder stays behind, as in the product;
    // remove it once the uninstaller has ended.
    const std::wstring copyFolder = GetTempFolder() + folderName;
    RemoveFolderWithRetries(copyFolder, 100, 100);
    EXPECT_FALSE(testing_support::Exists(copyFolder));
  }
}

// The whole road: the real helper as the service its configuration names
// ("KorloVssSupport", passed to the uninstaller as "svc_name"), hosting the
// fixture plugin, which asks for removal and accepts it; the service goes.
TEST(RemovalE2eTest, PluginRequestRemovesTheRunningService) {
  const std::wstring name = L"KorloVssSupport";
  if (svcctl::Query(name).dwCurrentState != 0) GTEST_SKIP() << "the service exists already; it is not the test's";
  testing_support::CScratchDir dir;
  CHostRun host({L"fixture_plugin_all.dll=KorloVssSupport.dll"});
  testing_support::WriteFileBytes(host.Folder() + L"\\KorloAgentConfig.xml", "");
  testing_support::WriteFileBytes(host.Folder() + L"\\" + fixture::kSettingsFile,
                                  testing_support::Narrow(std::wstring(fixture::kRecordVar) + L"=" + (dir / L"record") +
                                                          L"\n" + fixture::kUninstallVar + L"=0,accept,KorloTestLock_" +
                                                          NewGuidText() + L"\n"));
  const CUninstallLog uninstallLog;
  svcctl::Create(name, L"\"" + host.ExePath() + L"\"");
  svcctl::Start(name);
  for (int i = 0; i < 600 && svcctl::Query(name).dwCurrentState != 0; ++i) ::Sleep(100);
  const std::string record = testing_support::ReadFileBytes(dir / L"record");
  if (svcctl::Query(name).dwCurrentState != 0) {
    ADD_FAILURE() << "the service is still there\n" << record;
    svcctl::Control(name, SERVICE_CONTROL_STOP);
    svcctl::WaitForState(name, SERVICE_STOPPED, 30000);
    svcctl::Delete(name);
  }
  EXPECT_NE(std::string::npos, record.find("decide|0")) << record;
  const std::vector<std::wstring> expected = {L"Uninstalling guest service. Service name: [KorloVssSupport].",
                                              LoadMsg(IDS_AGENT_ACCEPTED_REMOVAL),
                                              L"Stopping and deregistering the guest service.. Ok.",
                                              L"Removing files of the guest service.. Ok."};
  std::vector<std::wstring> log;
  for (int i = 0; i < 300 && !ContainsInOrder(log, expected); ++i, ::Sleep(100)) log = uninstallLog.Texts();
  EXPECT_TRUE(ContainsInOrder(log, expected)) << testing_support::JoinLines(log);
  EXPECT_FALSE(testing_support::Exists(host.Folder()));
  RemoveFolderWithRetries(GetTempFolder() + L"KorloGuestHelper", 100, 100);
}

}  // namespace
