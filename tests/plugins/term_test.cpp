#include "plugins/term.h"

#include "log/log.h"
#include "base/exc.h"

#include "exc_checks.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using testing_support::CatchExc;
using testing_support::CLogCapture;
using Names = std::vector<std::wstring>;


// Appends its name to `journal` when notified, then runs `then` (which may
// throw or subscribe another party). The journal is read by the thread that
// notifies.
class CSubscriber : public CTermSink::CSubscriber {
 public:
  CSubscriber(std::wstring name, std::shared_ptr<Names> journal, std::function<void()> then = nullptr)
      : m_name(std::move(name)), m_journal(std::move(journal)), m_then(std::move(then)) {}
  void OnTermination() override {
    m_journal->push_back(m_name);
    if (m_then) m_then();
  }
  std::wstring GetName() const override { return m_name; }

 private:
  std::wstring m_name;
  std::shared_ptr<Names> m_journal;
  std::function<void()> m_then;
};

void Fail() { throw CWin32Exc(L"Subscriber could not stop.", ERROR_ACCESS_DENIED); }

TEST(TermMediatorTest, CheckAndWaitThrowOnlyWhileSet) {
  CTermMediator term;
  EXPECT_NO_THROW(term.CheckTermination());
  EXPECT_NO_THROW(term.WaitTermination(50));  // times out
  term.Set();
  EXPECT_THROW(term.CheckTermination(), STermExc);
  EXPECT_THROW(term.WaitTermination(INFINITE), STermExc);  // a manual-reset event stays set
  term.Reset();
  EXPECT_NO_THROW(term.CheckTermination());
}

TEST(TermMediatorTest, BrokenEventFailsWithContext) {
  // A value that is no handle of this process.
  CTermMediator term(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFFFF00)));
  const auto e = CatchExc<CWin32Exc>([&] { term.Duplicate(); });
  ASSERT_TRUE(e);
  ASSERT_GE(e->GetMessages().size(), 3u);
  EXPECT_EQ(L"Cannot duplicate a termination event.", e->GetMessages()[0]);
  EXPECT_EQ(L"Cannot duplicate handle.", e->GetMessages()[1]);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), e->GetWin32Error());
  // A failed wait is reported, not taken for a timeout.
  EXPECT_THROW(term.WaitTermination(0), CWin32Exc);
}

TEST(TermSinkTest, FailingSubscriberDoesNotStopTheRound) {
  CLogCapture log;
  auto journal = std::make_shared<Names>();
  CTermSink sink;
  const auto rejected = CatchExc([&] { sink.Subscribe(nullptr); });
  EXPECT_EQ(E_INVALIDARG, rejected ? rejected->GetCode() : S_OK);
  sink.Subscribe(std::make_shared<CSubscriber>(L"first", journal));
  sink.Subscribe(std::make_shared<CSubscriber>(L"failing", journal, Fail));
  sink.Subscribe(std::make_shared<CSubscriber>(L"last", journal));
  EXPECT_FALSE(sink.IsTerminationRequested());

  sink.Notify();
  EXPECT_TRUE(sink.IsTerminationRequested());
  EXPECT_EQ((Names{L"first", L"failing", L"last"}), *journal);
  EXPECT_TRUE(log.Contains(
      kLogError, L"Cannot notify a subscriber about the termination event. Subscriber name: [failing]."));
  EXPECT_TRUE(log.Contains(kLogError, L"Subscriber could not stop."));

  // Every notification reaches every subscriber again.
  sink.Notify();
  EXPECT_EQ((Names{L"first", L"failing", L"last", L"first", L"failing", L"last"}), *journal);
}

// A stop request that comes before anyone subscribes is not lost, and a
// party subscribed during a notification is notified once.
TEST(TermSinkTest, LateSubscribersAreNotifiedOnce) {
  CLogCapture log;
  auto journal = std::make_shared<Names>();
  {
    CTermSink sink;
    sink.Notify();  // nobody listens yet: remembered
    sink.Subscribe(std::make_shared<CSubscriber>(L"early-stop", journal));
    EXPECT_EQ(Names{L"early-stop"}, *journal);
    sink.Subscribe(std::make_shared<CSubscriber>(L"second", journal, Fail));
    EXPECT_EQ((Names{L"early-stop", L"second"}), *journal);
    EXPECT_TRUE(log.Contains(
        kLogError, L"Cannot notify a subscriber about the termination event. Subscriber name: [second]."));
  }
  journal = std::make_shared<Names>();
  CTermSink sink;
  bool subscribed = false;
  sink.Subscribe(std::make_shared<CSubscriber>(L"subscribing", journal, [&] {
    if (subscribed) return;
    subscribed = true;
    sink.Subscribe(std::make_shared<CSubscriber>(L"newcomer", journal));
  }));
  sink.Subscribe(std::make_shared<CSubscriber>(L"existing", journal));
  sink.Notify();
  EXPECT_EQ((Names{L"subscribing", L"newcomer", L"existing"}), *journal);
}

}  // namespace
