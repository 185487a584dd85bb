#include "uninstall/removal.h"
#include "uninstall/synch.h"

#include "base/msg.h"
#include "base/msg_ids.h"
#include "exc_checks.h"
#include "log_capture.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using testing_support::CLogCapture;
using testing_support::NewGuidText;
using uninstall::CSynchConsumer;
using uninstall::CSynchVars;
using uninstall::SSynchLimits;

const std::wstring kClientCannotSync =
    L"[uninstallation client]Cannot synchronize uninstallation activities with the uninstallation server.";

// The text of every line, for failure reports and searches.
std::wstring AllText(const CLogCapture& log) {
  std::wstring all;
  for (const auto& line : log.Lines()) all += line.text + L"\n";
  return all;
}

TEST(SynchVarsTest, DefinesLockPathAndEventNames) {
  const std::wstring uid = CSynchVars::NewUid();
  ASSERT_EQ(38u, uid.size());
  EXPECT_TRUE(uid.front() == L'{' && uid.back() == L'}' && uid.find_first_of(L"ABCDEF") == std::wstring::npos);

  wchar_t windows[MAX_PATH] = {};
  ::GetWindowsDirectoryW(windows, MAX_PATH);
  CLogCapture log;
  CSynchVars vars(L"KorloLock", uid);
  ASSERT_TRUE(vars.Define());
  EXPECT_TRUE(EqualNoCase(std::wstring(windows) + L"\\KorloLock.lck", vars.GetLockPath())) << vars.GetLockPath();
  EXPECT_TRUE(log.Contains(kLogInfo, L"Uninstall lock path: [" + vars.GetLockPath() + L"]."));
  const std::pair<std::wstring, std::wstring> events[] = {
      {L"uninstall lock acquired", L"Global\\KorloUninstallLockAcquired_" + uid},
      {L"continue uninstall", L"Global\\KorloUninstallContinueUninstall_" + uid},
      {L"cancel uninstall", L"Global\\KorloUninstallCancelUninstall_" + uid}};
  EXPECT_EQ(events[0].second, vars.GetLockAcquiredEvtName());
  EXPECT_EQ(events[1].second, vars.GetContinueEvtName());
  EXPECT_EQ(events[2].second, vars.GetCancelEvtName());
  for (const auto& event : events) {
    EXPECT_TRUE(log.Contains(kLogInfo, L"Alias for the [" + event.first + L"] event: [" + event.second + L"]."));
  }

  CSynchVars empty(L"", uid);
  EXPECT_FALSE(empty.Define());
  EXPECT_TRUE(log.Contains(kLogInfo, L"Uninstall synchronization variables are not set."));
}

// The product's limits: the service waits 5400 ms for the lock; the
// uninstaller tries 90 times for the lock file, waits 90000 ms for the
// decision, and polls a stopping service 60000 times.
TEST(SynchTest, Limits) {
  const SSynchLimits limits;
  EXPECT_EQ(5400u, limits.lockWaitMs);
  EXPECT_EQ(90u, limits.lockAttempts);
  EXPECT_EQ(90000u, limits.decisionWaitMs);
  EXPECT_EQ(60000u, uninstall::kStopPolls);
}

// Each refused name breaks one rule only; a braced GUID passes.
TEST(SynchVarsTest, LockNameIsAPlainFileNameStem) {
  const std::pair<std::wstring, bool> names[] = {
      {L"", true}, {L"{" + NewGuidText() + L"}", true}, {L"Lock-1.2_x", true}, {std::wstring(64, L'k'), true},
      {L"-KorloLock", false}, {L".KorloLock", false}, {std::wstring(65, L'k'), false}, {L"Korlo Lock", false},
      {L"Korlo[1]", false}, {L"Korlo\\Lock", false}, {L"Korlo\u00e9", false},
  };
  for (const auto& name : names) {
    bool refused = false;
    try {
      uninstall::CheckFileLockName(name.first);
    } catch (const CExc&) {
      refused = true;
    }
    EXPECT_EQ(!name.second, refused) << testing_support::Narrow(name.first);
  }
  const auto e = testing_support::CatchExc([] { uninstall::CheckFileLockName(L"-KorloLock"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(static_cast<std::int32_t>(E_INVALIDARG), e->GetCode());
  EXPECT_EQ(L"The file lock name [-KorloLock] is refused: a lock name holds only letters, digits, \"_\", \"-\", "
            L"\".\", \"{\" and \"}\", does not start with \"-\" or \".\" and has at most 64 characters.",
            e->GetMessages().back());
}

TEST(SynchTest, ClientGivesUpWaitingForLockAndAccepts) {
  CLogCapture log;
  SSynchLimits limits;
  limits.lockWaitMs = 200;
  CSynchConsumer consumer(std::make_shared<CSynchVars>(L"KorloTestLock_" + NewGuidText(), CSynchVars::NewUid()),
                          nullptr, limits);
  EXPECT_TRUE(consumer.Synchronize());
  const std::wstring all = AllText(log);
  const std::wstring failure = kClientCannotSync + L"\nWaiting for the installation lock has timed out.";
  EXPECT_NE(std::wstring::npos, all.find(failure)) << testing_support::Narrow(all);
  EXPECT_EQ(std::wstring::npos, all.find(L"Firing"));
}

void __cdecl CancelLate(BOOLEAN* cancel) {
  ::Sleep(600);
  *cancel = TRUE;
}

// A decision that comes after the server gave up waiting is not reported to
// the plugin as a cancel: the server goes on with the removal.
TEST(SynchTest, DecisionAfterTheServerGaveUpIsTooLate) {
  const std::wstring lockName = L"KorloTestLock_" + NewGuidText(), uid = CSynchVars::NewUid();
  SSynchLimits limits;
  limits.decisionWaitMs = 300;
  limits.decisionMarginMs = 100;
  CLogCapture log;
  CSynchConsumer consumer(std::make_shared<CSynchVars>(lockName, uid), &CancelLate, limits);
  bool required = false;
  std::thread server([&] {
    required = uninstall::CheckUninstallRequired({{L"fileLockName", lockName}, {L"synchEvtsUid", uid}}, limits);
  });
  EXPECT_TRUE(consumer.Synchronize());
  server.join();
  EXPECT_TRUE(required);
  const std::wstring all = AllText(log);
  EXPECT_NE(std::wstring::npos, all.find(kClientCannotSync +
                                         L"\nThe agent's decision came too late, after [")) << testing_support::Narrow(all);
  EXPECT_EQ(std::wstring::npos, all.find(L"Firing"));
}

// The child of LockHeldByAnotherProcess holds the lock file for 4 s.
void HoldLockInChild(const std::wstring& path) {
  CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                 FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  ASSERT_TRUE(file);
  ::Sleep(4000);
}

// Every fault of the server's handshake is logged with text 182 and the
// removal goes on.
TEST(SynchTest, ServerFaultsLetTheRemovalGoOn) {
  if (testing_support::ChildRole().compare(0, 5, L"hold:") == 0) {
    HoldLockInChild(testing_support::ChildRole().substr(5));
    return;
  }
  enum EFault { kServiceGone, kLockHeldByAnotherProcess, kNoDecision };
  const struct {
    EFault fault;
    std::vector<std::wstring> chain;  // expected parts of the logged failure, in order
  } cases[] = {
      {kServiceGone, {L"Cannot open event. Event name: [Global\\KorloUninstallLockAcquired_{"}},
      {kLockHeldByAnotherProcess,
       {L"[uninstallation server]Cannot acquire the installation lock. Lock path: [",
        L"Waiting for the file lock has timed out. Lock path: ["}},
      {kNoDecision,
       {L"Cannot wait until the removed agent accepts or declines the uninstallation.",
        L"Waiting for an agent decision has timed out."}},
  };
  for (const auto& c : cases) {
    const std::wstring lockName = L"KorloTestLock_" + NewGuidText();
    const std::wstring uid = CSynchVars::NewUid();
    CSynchVars names(lockName, uid);
    names.Define();
    std::unique_ptr<CSynchConsumer> consumer;
    auto vars = std::make_shared<CSynchVars>(lockName, uid);
    if (c.fault != kServiceGone) consumer = std::make_unique<CSynchConsumer>(vars, nullptr);
    std::thread holder;
    if (c.fault == kLockHeldByAnotherProcess) {
      holder = std::thread([&] {
        testing_support::RunSelfAsChild("SynchTest.ServerFaultsLetTheRemovalGoOn", L"hold:" + names.GetLockPath());
      });
      for (int i = 0; i < 100 && !testing_support::Exists(names.GetLockPath()); ++i) ::Sleep(50);
    }

    CLogCapture log;
    SSynchLimits limits;
    limits.lockAttempts = 2;
    limits.decisionWaitMs = 300;
    const DWORD start = ::GetTickCount();
    EXPECT_TRUE(uninstall::CheckUninstallRequired({{L"fileLockName", lockName}, {L"synchEvtsUid", uid}}, limits));
    const DWORD elapsed = ::GetTickCount() - start;
    if (holder.joinable()) holder.join();

    const std::wstring all = AllText(log);
    size_t at = all.find(L"Cannot check whether the uninstallation is still required. Let's assume that "
                         L"uninstallation is required.");
    EXPECT_NE(std::wstring::npos, at) << testing_support::Narrow(all);
    for (const std::wstring& part : c.chain) {
      at = all.find(part, at);
      EXPECT_NE(std::wstring::npos, at) << testing_support::Narrow(part) << "\n" << testing_support::Narrow(all);
    }
    EXPECT_LT(elapsed, 3500u);
    if (c.fault == kNoDecision) {
      // The lock was taken and announced, and released again.
      CKernelHandle acquired(::OpenEventW(SYNCHRONIZE, FALSE, names.GetLockAcquiredEvtName().c_str()));
      EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(acquired.Get(), 0));
      EXPECT_FALSE(testing_support::Exists(names.GetLockPath()));
    }
  }
}

}  // namespace
