#include "uninstall/removal.h"

#include "exc_checks.h"
#include "host_runner.h"
#include "log_capture.h"
#include "plugins/plugin.h"
#include "fixtures/fixture_record.h"
#include "svc_control.h"
#include "util/file.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <thread>

namespace {

using testing_support::CatchExc;
using testing_support::CHostRun;
using testing_support::CLogCapture;
using testing_support::ContainsInOrder;
using testing_support::NewGuidText;
using testing_support::OpenToUsers;

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

// The texts of the lines appended to a log of the helper since construction,
// without indentation.
class CLogTail {
 public:
  explicit CLogTail(const std::wstring& name = L"KorloUninstall")
      : m_path(CHostRun::LogPath(name)), m_start(testing_support::ReadFileBytes(m_path).size()) {}
  std::vector<std::wstring> Texts() const {
    const std::string bytes = testing_support::ReadFileBytes(m_path);
    auto texts = testing_support::LogLineTexts(testing_support::Utf16(bytes.substr(std::min(m_start, bytes.size()))));
    for (std::wstring& text : texts) text.erase(0, text.find_first_not_of(L' '));
    return texts;
  }

 private:
  std::wstring m_path;
  size_t m_start;
};

const std::wstring kPluginService = L"KorloVssSupport";

// The real helper as the service its configuration names ("KorloVssSupport",
// passed to the uninstaller as "svc_name"), hosting the fixture plugin, which
// asks for removal as `request` says (fixture::kUninstallVar).
void StartPluginService(const CHostRun& host, const std::wstring& record, const std::wstring& request) {
  testing_support::WriteFileBytes(host.Folder() + L"\\KorloAgentConfig.xml", "");
  testing_support::WriteFileBytes(host.Folder() + L"\\" + fixture::kSettingsFile,
                                  testing_support::Narrow(std::wstring(fixture::kRecordVar) + L"=" + record + L"\n" +
                                                          fixture::kUninstallVar + L"=" + request + L"\n"));
  svcctl::Create(kPluginService, L"\"" + host.ExePath() + L"\"");
  svcctl::Start(kPluginService);
}

void StopAndDeleteService(const std::wstring& name) {
  svcctl::Control(name, SERVICE_CONTROL_STOP);
  svcctl::WaitForState(name, SERVICE_STOPPED, 30000);
  svcctl::Delete(name);
}

// (The services that disable removal refuse a request: the debug-mode
// test of the service.) A reboot asked for meanwhile is made once.
TEST(RemovalTest, DisabledRemovalIsSkippedAndRebootsOnceWhenAsked) {
  const auto recorder = std::make_shared<CShutdownRecorder>();
  const auto previous = uninstall::SetSystemShutdown(recorder);
  CLogCapture log;
  // What a plugin's PluginMain receives once the service has installed it.
  uninstall::InstallUninstallCallback(L"KorloDesktopVssSvc", true);
  EXPECT_EQ(FALSE, GetUninstallCallback()(TRUE, "lock", nullptr));
  SetUninstallCallback(nullptr);
  uninstall::SetRemovalDisabled(false);
  uninstall::SetSystemShutdown(previous);
  EXPECT_TRUE(log.Contains(kLogInfo, L"Forcing shutdown (due to restore)."));
  EXPECT_EQ((std::vector<std::pair<UINT, DWORD>>{{EWX_REBOOT | EWX_FORCE, 0x80040001}}), recorder->calls);
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

// The uninstaller deletes only a folder that holds the agent's executable
// and is none of the system's, its programs' or its users' own folders.
TEST(RemovalTest, FoldersThatAreNotPlainlyTheAgentsAreNeverRemoved) {
  testing_support::CScratchDir victim;
  testing_support::WriteFileBytes(victim / L"keep.txt", "x");
  const std::wstring notHeld = L"does not hold the guest service's executable", system = L"is a drive root or";
  const auto env = [](const wchar_t* name) { return std::wstring(_wgetenv(name)); };
  const std::wstring profile = env(L"USERPROFILE");
  const std::pair<std::wstring, std::wstring> cases[] = {  // agent path, reason
      {victim / L"missing.exe", notHeld},
      {victim / L".\\keep.txt", notHeld},
      {env(L"SystemDrive") + L"\\x.exe", system},
      {L"\\\\srv\\share\\x.exe", system},
      {env(L"SystemRoot") + L"\\x.exe", system},
      {env(L"ProgramFiles") + L"\\x.exe", system},
      {env(L"ProgramData") + L"\\x.exe", system},
      {profile + L"\\x.exe", system},
      {profile.substr(0, profile.find_last_of(L'\\')) + L"\\x.exe", system},
  };
  for (const auto& c : cases) {
    const auto e = CatchExc([&] { uninstall::RemoveAgentFiles(c.first); });
    ASSERT_TRUE(e) << testing_support::Narrow(c.first);
    EXPECT_EQ(L"Cannot remove files of the guest service.", e->GetMessages().front());
    EXPECT_NE(std::wstring::npos, e->GetMessages().back().find(c.second)) << testing_support::Narrow(c.first);
  }
  EXPECT_TRUE(testing_support::Exists(victim / L"keep.txt"));
}

std::wstring g_agentPath, g_copyFolderName;  // of the request in progress
bool g_secondAnswer = false;

// While the first request waits for its decision, another plugin thread asks
// for removal too (without a handshake, it would remove the agent at once);
// then the first is cancelled.
void __cdecl CancelAfterASecondRequest(BOOLEAN* cancel) {
  std::thread([] {
    g_secondAnswer = uninstall::HandleUninstallRequest(g_agentPath, g_copyFolderName, false, L"", nullptr);
  }).join();
  *cancel = TRUE;
}

// The service's side with a real uninstaller: the copy is started from a
// folder that a user made beforehand, writable by everyone, with a DLL
// planted in it; the folder is made anew for SYSTEM and Administrators only
// and holds nothing but the copy. The handshake runs, and the agent's
// folder goes only when the removal is accepted. The cancelled request asks
// for a reboot: its command line carries -sys_shutdown, and the uninstaller,
// cancelled, never gets to the reboot.
TEST(RemovalE2eTest, RequestLaunchesUninstallerThatFollowsTheDecision) {
  for (const bool cancel : {false, true}) {
    CHostRun agent;
    const std::wstring folderName = L"KorloTest_" + NewGuidText();
    const std::wstring copyFolder = GetTempFolder() + folderName;
    ASSERT_TRUE(::CreateDirectoryW(copyFolder.c_str(), nullptr));
    testing_support::WriteFileBytes(copyFolder + L"\\version.dll", "MZ");
    PSECURITY_DESCRIPTOR open = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", 1, &open, nullptr));
    ASSERT_TRUE(::SetFileSecurityW(copyFolder.c_str(), DACL_SECURITY_INFORMATION, open));
    ::LocalFree(open);
    ASSERT_TRUE(OpenToUsers(copyFolder));

    const CLogTail uninstallLog;
    CLogCapture log;
    const std::wstring lockName = L"KorloTestLock_" + NewGuidText();
    g_agentPath = agent.ExePath();
    g_copyFolderName = folderName;
    EXPECT_EQ(!cancel, uninstall::HandleUninstallRequest(agent.ExePath(), folderName, cancel, lockName,
                                                         cancel ? &CancelAfterASecondRequest : nullptr));
    EXPECT_EQ(cancel, log.Contains(kLogError, L"Another removal request is being handled; this one is refused."));
    EXPECT_EQ(cancel, g_secondAnswer);
    std::vector<std::wstring> files, folders;
    SearchFiles(copyFolder + L"\\*", files, folders);
    EXPECT_EQ(std::vector<std::wstring>{L"KorloGuestHelper.exe"}, files);
    EXPECT_FALSE(OpenToUsers(copyFolder));  // nobody but SYSTEM and Administrators
    EXPECT_TRUE(log.Contains(kLogWarning, L"The folder [" + copyFolder +
                                              L"] is not safe to run the uninstaller from: S-1-1-0 may change it. "
                                              L"It is made anew."));
    const std::wstring done = cancel ? L"Agent declined removal action." : L"Agent accepted removal action.";
    std::vector<std::wstring> expected = {
        L"The uninstaller's copy [" + copyFolder + L"\\KorloGuestHelper.exe] is deleted at the next restart.",
        L"Checking whether the uninstallation is still required.",
        cancel ? L"[uninstallation server]Agent cancelled the uninstallation."
               : L"[uninstallation server]Agent accepted the uninstallation.",
        done};
    if (!cancel) expected.push_back(L"Removing files of the guest service.. Ok.");
    std::vector<std::wstring> lines;
    for (int i = 0; i < 300 && !ContainsInOrder(lines, expected); ++i) {
      ::Sleep(100);
      lines = uninstallLog.Texts();
    }
    EXPECT_TRUE(ContainsInOrder(lines, expected)) << testing_support::JoinLines(lines);
    EXPECT_EQ(cancel, testing_support::Exists(agent.Folder()));
    EXPECT_TRUE(log.Contains(kLogInfo, L"Received signal to uninstall the application. Is machine should be "
                                       L"restarted: [" + std::wstring(cancel ? L"true" : L"false") + L"]."));
    EXPECT_TRUE(log.Contains(kLogMessage, L"Firing the uninstallation event. Event name: [" +
                                              std::wstring(cancel ? L"UninstallationCancel" : L"UninstallationAccepted") +
                                              L"]."));
    const std::wstring commandLine = L"The following command line will be passed to the uninstaller: [\"" +
                                     copyFolder + L"\\KorloGuestHelper.exe\" -uninstall" +
                                     (cancel ? L" -sys_shutdown" : L"") + L" -agent_path \"" + agent.ExePath() +
                                     L"\" -fileLockName " + lockName + L" -synchEvtsUid {";
    bool logged = false;
    for (const auto& line : log.Lines()) logged |= line.level == kLogMessage && line.text.find(commandLine) == 0;
    EXPECT_TRUE(logged) << testing_support::Narrow(commandLine);
    // Marked for deletion at the restart; remove it now, once the uninstaller has ended.
    RemoveFolderWithRetries(copyFolder, 100, 100);
    EXPECT_FALSE(testing_support::Exists(copyFolder));
  }
}

// The whole road: the service hosting the fixture plugin, which asks for
// removal and accepts it; the service goes.
TEST(RemovalE2eTest, PluginRequestRemovesTheRunningService) {
  if (svcctl::Query(kPluginService).dwCurrentState != 0) GTEST_SKIP() << "the service exists already; not the test's";
  testing_support::CScratchDir dir;
  CHostRun host({L"fixture_plugin_all.dll=KorloVssSupport.dll"});
  const CLogTail uninstallLog;
  StartPluginService(host, dir / L"record", L"0,accept,KorloTestLock_" + NewGuidText());
  for (int i = 0; i < 600 && svcctl::Query(kPluginService).dwCurrentState != 0; ++i) ::Sleep(100);
  const std::string record = testing_support::ReadFileBytes(dir / L"record");
  if (svcctl::Query(kPluginService).dwCurrentState != 0) {
    ADD_FAILURE() << "the service is still there\n" << record;
    StopAndDeleteService(kPluginService);
  }
  EXPECT_NE(std::string::npos, record.find("decide|0")) << record;
  const std::vector<std::wstring> expected = {L"Uninstalling guest service. Service name: [KorloVssSupport].",
                                              L"Agent accepted removal action.",
                                              L"Stopping and deregistering the guest service.. Ok.",
                                              L"Removing files of the guest service.. Ok."};
  std::vector<std::wstring> log;
  for (int i = 0; i < 300 && !ContainsInOrder(log, expected); ++i, ::Sleep(100)) log = uninstallLog.Texts();
  EXPECT_TRUE(ContainsInOrder(log, expected)) << testing_support::JoinLines(log);
  EXPECT_FALSE(testing_support::Exists(host.Folder()));
  RemoveFolderWithRetries(GetTempFolder() + L"KorloGuestHelper", 100, 100);
}

// Lock names that would add options to the uninstaller's command line, break it
// or leave the Windows folder, sent by a plugin of the running service: each is
// refused before anything starts; the service and folder they name stay.
TEST(RemovalE2eTest, InjectedLockNamesAreRefusedBeforeAnythingStarts) {
  if (svcctl::Query(kPluginService).dwCurrentState != 0) GTEST_SKIP() << "the service exists already; not the test's";
  testing_support::CScratchDir dir, victim;
  testing_support::WriteFileBytes(victim / L"victim.exe", "MZ");
  const std::wstring victimService = L"KorloTestVictim_" + NewGuidText();
  svcctl::Create(victimService, L"\"" + victim / L"victim.exe" + L"\"");
  const std::wstring inject = L"-agent_path " + (victim / L"victim.exe") + L" -svc_name " + victimService;
  const std::vector<std::wstring> names = {L"x " + inject, inject, L"a b", L"a\"b", L"..\\x", L"a/b", L"..",
                                           L"a:b", L"a*b", std::wstring(65, L'k')};
  std::wstring request = L"0,cancel";
  for (const std::wstring& name : names) request += (request.size() == 8 ? L"," : L"\t") + name;
  CHostRun host({L"fixture_plugin_all.dll=KorloVssSupport.dll"});
  const CLogTail uninstallLog, serviceLog(L"KorloGuestHelper");
  StartPluginService(host, dir / L"record", request);
  const auto answered = [&] {  // requests answered "set going" (the failure path's answer)
    const std::string record = testing_support::ReadFileBytes(dir / L"record");
    size_t count = 0;
    for (size_t at = 0; (at = record.find("|uninstall.result|1", at)) != std::string::npos; ++at) ++count;
    return count;
  };
  for (int i = 0; i < 300 && answered() < names.size(); ++i) ::Sleep(100);
  StopAndDeleteService(kPluginService);
  EXPECT_EQ(names.size(), answered());
  const std::vector<std::wstring> log = serviceLog.Texts();
  size_t refused = 0;
  for (size_t i = 0; i + 1 < log.size(); ++i) {
    refused += log[i] == L"Cannot handle an uninstallation request." && log[i + 1].find(L"The file lock name [") == 0;
  }
  EXPECT_EQ(names.size(), refused) << testing_support::JoinLines(log);
  EXPECT_FALSE(testing_support::HasLineContaining(log, L"Copying the uninstaller to the temporary folder."));
  EXPECT_TRUE(uninstallLog.Texts().empty());
  EXPECT_NE(0u, svcctl::Query(victimService).dwCurrentState);
  EXPECT_TRUE(testing_support::Exists(victim / L"victim.exe"));
  svcctl::Delete(victimService);
}

}  // namespace
