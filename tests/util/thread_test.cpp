#include "util/thread.h"

#include "log/log.h"
#include "util/exc.h"

#include "log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace {

using testing_support::CLogCapture;

// Impersonates the process's own security context on the calling thread for
// the lifetime of the scope.
class CSelfImpersonation {
 public:
  CSelfImpersonation() { m_active = ::ImpersonateSelf(SecurityImpersonation) != FALSE; }
  ~CSelfImpersonation() {
    if (m_active) ::RevertToSelf();
  }
  bool Active() const { return m_active; }

 private:
  bool m_active = false;
};

// 0 when the calling thread has an impersonation token, else the error of
// OpenThreadToken (ERROR_NO_TOKEN when it runs with the process token).
DWORD ThreadTokenState() {
  CKernelHandle token;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.Receive())) return ::GetLastError();
  return 0;
}

TEST(ThreadTest, RunsProcedureAndKeepsItsResult) {
  std::atomic<DWORD> ranOn{0};
  auto thread = std::make_shared<CThread>(
      [&ranOn] {
        ranOn = ::GetCurrentThreadId();
        return DWORD{42};
      },
      false);
  ASSERT_TRUE(thread->Wait(INFINITE));
  EXPECT_EQ(thread->GetId(), ranOn.load());
  EXPECT_NE(::GetCurrentThreadId(), ranOn.load());
  EXPECT_EQ(42u, thread->GetExitCode());
  EXPECT_FALSE(thread->IsRunning());
  EXPECT_TRUE(thread->Wait(0));
}

TEST(ThreadTest, ReportsRunningUntilProcedureReturns) {
  CEvent release(true, false);
  auto thread = std::make_shared<CThread>(
      [&release] {
        ::WaitForSingleObject(release.GetHandle(), INFINITE);
        return DWORD{0};
      },
      false);
  EXPECT_TRUE(thread->IsRunning());
  EXPECT_FALSE(thread->Wait(0));
  EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), thread->GetExitCode());
  release.Set();
  EXPECT_TRUE(thread->Wait(INFINITE));
  EXPECT_FALSE(thread->IsRunning());
}

TEST(ThreadTest, ReleasingLastOwnerWaitsForThread) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  auto thread = std::make_shared<CThread>(
      [finished] {
        ::Sleep(200);
        *finished = true;
        return DWORD{0};
      },
      false);
  thread.reset();
  EXPECT_TRUE(finished->load());
}

TEST(ThreadTest, ProcedureIsReleasedWhenThreadEnds) {
  // A thread object kept by the object its procedure refers to must not keep
  // that object alive once the thread is done.
  auto captured = std::make_shared<int>(7);
  auto thread = std::make_shared<CThread>([captured] { return static_cast<DWORD>(*captured); }, false);
  ASSERT_TRUE(thread->Wait(INFINITE));
  EXPECT_EQ(7u, thread->GetExitCode());
  EXPECT_EQ(1, captured.use_count());
}

TEST(ThreadTest, ThreadReleasingItsOwnObjectDoesNotHang) {
  CLogCapture log;
  CEvent start(true, false);
  CEvent done(true, false);
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
  bool warned = false;
  for (const auto& line : log.Lines()) warned = warned || line.level == kLogWarning;
  EXPECT_TRUE(warned);
}

TEST(ThreadTest, InheritTokenFlagPassesImpersonationToken) {
  const struct {
    const char* name;
    bool impersonate;
    bool inheritToken;
    DWORD expectedTokenState;
  } cases[] = {
      {"impersonating, flag set", true, true, 0},
      {"impersonating, flag clear", true, false, ERROR_NO_TOKEN},
      {"not impersonating, flag set", false, true, ERROR_NO_TOKEN},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CLogCapture log;
    {
      std::unique_ptr<CSelfImpersonation> impersonation;
      if (c.impersonate) {
        impersonation = std::make_unique<CSelfImpersonation>();
        ASSERT_TRUE(impersonation->Active());
        ASSERT_EQ(0u, ThreadTokenState());
      }
      // The token is checked first thing: it must be in place before the
      // thread runs at all.
      CThread thread([] { return ThreadTokenState(); }, c.inheritToken);
      ASSERT_TRUE(thread.Wait(INFINITE));
      EXPECT_EQ(c.expectedTokenState, thread.GetExitCode());
      if (c.impersonate) {
        EXPECT_EQ(0u, ThreadTokenState());  // the creator keeps its own token
      }
    }
    EXPECT_TRUE(log.Lines().empty());
  }
}

TEST(ThreadTest, ExceptionsLeavingProcedureEndThreadAsDocumented) {
  const struct {
    const char* name;
    void (*raise)();
    DWORD expectedExitCode;
    const wchar_t* expectedLoggedLine;  // null: nothing is logged
  } cases[] = {
      {"termination", [] { throw STermExc(); }, 0, nullptr},
      {"Win32 failure", [] { throw CWin32Exc(L"Cannot do the work.", ERROR_ACCESS_DENIED); }, 0x80070005u,
       L"Cannot do the work."},
      {"failure without code", [] { throw CExc(L"Work failed.", 0); }, static_cast<DWORD>(E_FAIL), L"Work failed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CLogCapture log;
    auto raise = c.raise;
    CThread thread(
        [raise]() -> DWORD {
          raise();
          return 99;
        },
        false);
    ASSERT_TRUE(thread.Wait(INFINITE));
    EXPECT_EQ(c.expectedExitCode, thread.GetExitCode());

    const auto lines = log.Lines();
    if (c.expectedLoggedLine == nullptr) {
      EXPECT_TRUE(lines.empty());
      continue;
    }
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(kLogError, lines[0].level);
    EXPECT_EQ(c.expectedLoggedLine, lines[1].text);  // the exception's own lines follow the entry
  }
}

TEST(ThreadTest, RejectsEmptyProcedure) {
  try {
    CThread thread(CThread::Procedure(), false);
    FAIL() << "a thread was started without a procedure";
  } catch (const CExc& e) {
    EXPECT_EQ(E_INVALIDARG, e.GetCode());
  }
}

TEST(ThreadTest, TerminateEndsHungThread) {
  CEvent never(true, false);
  HANDLE neverHandle = never.GetHandle();
  CThread thread(
      [neverHandle] {
        ::WaitForSingleObject(neverHandle, INFINITE);
        return DWORD{5};
      },
      false);
  DWORD error = 1;
  EXPECT_TRUE(thread.Terminate(error));
  EXPECT_EQ(0u, error);
  ASSERT_TRUE(thread.Wait(INFINITE));
  EXPECT_EQ(0u, thread.GetExitCode());
}

TEST(EventTest, KeepsResetModeAndInitialState) {
  const struct {
    bool manualReset;
    bool initiallySet;
    bool staysSetAfterWait;
  } cases[] = {
      {true, true, true},
      {true, false, true},
      {false, true, false},
      {false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "manual " << c.manualReset << ", set " << c.initiallySet);
    CEvent event(c.manualReset, c.initiallySet);
    EXPECT_EQ(c.initiallySet, event.IsSet());
    ASSERT_TRUE(event.Set());
    EXPECT_TRUE(event.IsSet());
    EXPECT_EQ(c.staysSetAfterWait, event.IsSet());
    ASSERT_TRUE(event.Reset());
    EXPECT_FALSE(event.IsSet());
  }
}

TEST(EventTest, AdoptedHandleIsOwnedAndUsed) {
  HANDLE raw = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, raw);
  CEvent adopted{CKernelHandle(raw)};
  EXPECT_EQ(raw, adopted.GetHandle());
  ASSERT_TRUE(::SetEvent(raw));
  EXPECT_TRUE(adopted.IsSet());

  CEvent moved(std::move(adopted));
  EXPECT_EQ(raw, moved.GetHandle());
  EXPECT_EQ(nullptr, adopted.GetHandle());  // NOLINT(bugprone-use-after-move): the source is empty
}

}  // namespace
