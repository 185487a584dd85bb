#include "util/thread.h"

#include "log/log.h"
#include "base/exc.h"

#include "exc_checks.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

namespace {

using testing_support::CLogCapture;

// 0 when the calling thread has an impersonation token, else the error of
// OpenThreadToken (ERROR_NO_TOKEN when it runs with the process token).
DWORD ThreadTokenState() {
  CKernelHandle token;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.Receive())) return ::GetLastError();
  return 0;
}

TEST(ThreadTest, RunsProcedureOnItsOwnThreadAndKeepsItsResult) {
  CEvent release(true, false);
  std::atomic<DWORD> ranOn{0};
  auto captured = std::make_shared<int>(42);
  auto thread = std::make_shared<CThread>(
      [&release, &ranOn, captured] {
        ranOn = ::GetCurrentThreadId();
        ::WaitForSingleObject(release.GetHandle(), INFINITE);
        return static_cast<DWORD>(*captured);
      },
      false);
  EXPECT_TRUE(thread->IsRunning());
  EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), thread->GetExitCode());
  release.Set();
  ASSERT_TRUE(thread->Wait(INFINITE));
  EXPECT_FALSE(thread->IsRunning());
  EXPECT_EQ(42u, thread->GetExitCode());
  EXPECT_EQ(thread->GetId(), ranOn.load());
  EXPECT_NE(::GetCurrentThreadId(), ranOn.load());
  // The procedure went with the thread: it does not keep what it captured.
  EXPECT_EQ(1, captured.use_count());
}

TEST(ThreadTest, ThreadReleasingItsOwnObjectDoesNotHang) {
  CLogCapture log;
  CEvent start(true, false), done(true, false);
  auto slot = std::make_shared<std::shared_ptr<CThread>>();
  *slot = std::make_shared<CThread>(
      [slot, &start, &done] {
        ::WaitForSingleObject(start.GetHandle(), INFINITE);
        slot->reset();  // the last owner, released on the thread itself
        done.Set();
        return DWORD{0};
      },
      false);
  start.Set();
  // Generous: this only tells a hang from a pass.
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(done.GetHandle(), 30000));
  ASSERT_EQ(1u, log.Lines().size());
  EXPECT_EQ(kLogWarning, log.Lines()[0].level);
}

TEST(ThreadTest, InheritTokenFlagPassesImpersonationToken) {
  const struct {
    bool impersonate;
    bool inheritToken;
    DWORD expectedTokenState;
  } cases[] = {{true, true, 0}, {true, false, ERROR_NO_TOKEN}, {false, true, ERROR_NO_TOKEN}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "impersonate " << c.impersonate << ", inherit " << c.inheritToken);
    CLogCapture log;
    ASSERT_TRUE(!c.impersonate || ::ImpersonateSelf(SecurityImpersonation));
    {
      // The token is checked first thing: it must be in place before the
      // thread runs at all.
      CThread thread([] { return ThreadTokenState(); }, c.inheritToken);
      EXPECT_TRUE(thread.Wait(INFINITE));
      EXPECT_EQ(c.expectedTokenState, thread.GetExitCode());
    }
    if (c.impersonate) {
      EXPECT_EQ(0u, ThreadTokenState());  // the creator keeps its own token
      ASSERT_TRUE(::RevertToSelf());
    }
    EXPECT_TRUE(log.Lines().empty());
  }
}

TEST(ThreadTest, ExceptionsLeavingProcedureEndThreadAsDocumented) {
  const struct {
    void (*raise)();
    DWORD expectedExitCode;
    const wchar_t* expectedLoggedLine;  // null: nothing is logged
  } cases[] = {
      {[] { throw STermExc(); }, 0, nullptr},
      {[] { throw CWin32Exc(L"Cannot do the work.", ERROR_ACCESS_DENIED); }, 0x80070005u, L"Cannot do the work."},
      {[] { throw CExc(L"Work failed.", 0); }, static_cast<DWORD>(E_FAIL), L"Work failed."},
  };
  for (const auto& c : cases) {
    CLogCapture log;
    CThread thread(
        [raise = c.raise]() -> DWORD {
          raise();
          return 99;
        },
        false);
    ASSERT_TRUE(thread.Wait(INFINITE));
    EXPECT_EQ(c.expectedExitCode, thread.GetExitCode());
    const auto lines = log.Lines();
    EXPECT_EQ(c.expectedLoggedLine == nullptr, lines.empty());
    if (c.expectedLoggedLine == nullptr) continue;
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(kLogError, lines[0].level);
    EXPECT_EQ(c.expectedLoggedLine, lines[1].text);  // the exception's own lines follow the entry
  }

  const auto e = testing_support::CatchExc([] { CThread thread(CThread::Procedure(), false); });
  ASSERT_TRUE(e) << "a thread was started without a procedure";
  EXPECT_EQ(E_INVALIDARG, e->GetCode());
}

}  // namespace
