#include "plugins/term.h"

#include "log/log.h"
#include "util/exc.h"
#include "util/thread.h"

#include "log_capture.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using testing_support::CLogCapture;

bool IsSignalled(HANDLE event) { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// Records every notification in a journal shared by the subscribers of one
// test; optionally throws after recording.
class CRecordingSubscriber : public CTermSink::CSubscriber {
 public:
  struct SJournal {
    std::mutex mutex;
    std::vector<std::wstring> calls;
    std::vector<std::wstring> Calls() {
      std::lock_guard<std::mutex> hold(mutex);
      return calls;
    }
  };

  CRecordingSubscriber(std::wstring name, std::shared_ptr<SJournal> journal, bool fails = false)
      : m_name(std::move(name)), m_journal(std::move(journal)), m_fails(fails) {}

  void OnTermination() override {
    {
      std::lock_guard<std::mutex> hold(m_journal->mutex);
      m_journal->calls.push_back(m_name);
    }
    if (m_fails) throw CWin32Exc(L"Subscriber could not stop.", ERROR_ACCESS_DENIED);
  }
  std::wstring GetName() const override { return m_name; }

 private:
  std::wstring m_name;
  std::shared_ptr<SJournal> m_journal;
  bool m_fails;
};

using SJournal = CRecordingSubscriber::SJournal;

TEST(TermMediatorTest, CheckTerminationThrowsOnlyWhileSet) {
  CTermMediator term;
  EXPECT_NO_THROW(term.CheckTermination());
  term.Set();
  EXPECT_THROW(term.CheckTermination(), STermExc);
  EXPECT_THROW(term.CheckTermination(), STermExc);  // a manual-reset event stays set
  term.Reset();
  EXPECT_NO_THROW(term.CheckTermination());
}

TEST(TermMediatorTest, WaitTerminationTimesOutOrThrowsWhenSet) {
  auto term = std::make_shared<CTermMediator>();
  EXPECT_NO_THROW(term->WaitTermination(50));

  // The pending-status pattern: a worker polls until the event is set from
  // another thread, and unwinds with STermExc.
  CEvent polling(true, false);
  auto worker = std::make_shared<CThread>(
      [term, &polling]() -> DWORD {
        for (DWORD round = 1;; ++round) {
          try {
            term->WaitTermination(20);
          } catch (const STermExc&) {
            return round;
          }
          polling.Set();
        }
      },
      false);
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(polling.GetHandle(), INFINITE));
  term->Set();
  ASSERT_TRUE(worker->Wait(INFINITE));
  EXPECT_GE(worker->GetExitCode(), 2u);  // at least one wait timed out before the one that threw

  EXPECT_THROW(term->WaitTermination(INFINITE), STermExc);
}

TEST(TermMediatorTest, DuplicateOutlivesMediator) {
  auto term = std::make_shared<CTermMediator>();
  CKernelHandle duplicate = term->Duplicate();
  ASSERT_TRUE(duplicate);
  EXPECT_NE(term->GetHandle(), duplicate.Get());
  DWORD flags = 0;
  ASSERT_TRUE(::GetHandleInformation(duplicate.Get(), &flags));
  EXPECT_EQ(0u, flags & HANDLE_FLAG_INHERIT);

  // One event behind both handles.
  term->Set();
  EXPECT_TRUE(IsSignalled(duplicate.Get()));
  term->Reset();
  EXPECT_FALSE(IsSignalled(duplicate.Get()));

  term.reset();
  ASSERT_TRUE(::SetEvent(duplicate.Get()));
  EXPECT_TRUE(IsSignalled(duplicate.Get()));
}

TEST(TermMediatorTest, AdoptedEventIsTheTerminationEvent) {
  HANDLE raw = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, raw);
  CTermMediator term(raw);
  EXPECT_EQ(raw, term.GetHandle());
  EXPECT_NO_THROW(term.CheckTermination());
  ASSERT_TRUE(::SetEvent(raw));
  EXPECT_THROW(term.CheckTermination(), STermExc);
}

TEST(TermMediatorTest, BrokenEventFailsWithContext) {
  // A value that is no handle of this process.
  CTermMediator term(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFFFF00)));
  try {
    term.Duplicate();
    FAIL() << "Duplicate succeeded";
  } catch (const CWin32Exc& e) {
    ASSERT_GE(e.GetMessages().size(), 3u);
    EXPECT_EQ(L"Cannot duplicate a termination event.", e.GetMessages()[0]);
    EXPECT_EQ(L"Cannot duplicate handle.", e.GetMessages()[1]);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), e.GetWin32Error());
  }
  // A failed wait is reported, not taken for a timeout.
  EXPECT_THROW(term.WaitTermination(0), CWin32Exc);
}

TEST(TermSinkTest, FailingSubscriberDoesNotStopTheRound) {
  CLogCapture log;
  auto journal = std::make_shared<SJournal>();
  CTermSink sink;
  sink.Subscribe(std::make_shared<CRecordingSubscriber>(L"first", journal));
  sink.Subscribe(std::make_shared<CRecordingSubscriber>(L"failing", journal, true));
  sink.Subscribe(std::make_shared<CRecordingSubscriber>(L"last", journal));
  EXPECT_FALSE(sink.IsTerminationRequested());

  sink.Notify();
  EXPECT_TRUE(sink.IsTerminationRequested());
  EXPECT_EQ((std::vector<std::wstring>{L"first", L"failing", L"last"}), journal->Calls());
  EXPECT_TRUE(log.Contains(
      kLogError, L"Cannot notify a subscriber about the termination event. Subscriber name: [failing]."));
  EXPECT_TRUE(log.Contains(kLogError, L"Subscriber could not stop."));

  // Every notification reaches every subscriber again.
  sink.Notify();
  EXPECT_EQ((std::vector<std::wstring>{L"first", L"failing", L"last", L"first", L"failing", L"last"}),
            journal->Calls());
}

TEST(TermSinkTest, LateSubscriberIsNotifiedAtOnce) {
  CLogCapture log;
  auto journal = std::make_shared<SJournal>();
  CTermSink sink;
  sink.Notify();  // nobody listens yet: remembered
  EXPECT_TRUE(journal->Calls().empty());

  sink.Subscribe(std::make_shared<CRecordingSubscriber>(L"early-stop", journal));
  EXPECT_EQ(std::vector<std::wstring>{L"early-stop"}, journal->Calls());
  sink.Subscribe(std::make_shared<CRecordingSubscriber>(L"second", journal, true));
  EXPECT_EQ((std::vector<std::wstring>{L"early-stop", L"second"}), journal->Calls());
  // The late notification is handled like any other: the failure is logged.
  EXPECT_TRUE(log.Contains(
      kLogError, L"Cannot notify a subscriber about the termination event. Subscriber name: [second]."));
}

TEST(TermSinkTest, SubscriberAddedDuringNotificationIsNotifiedOnce) {
  class CSubscribingSubscriber : public CTermSink::CSubscriber {
   public:
    CSubscribingSubscriber(CTermSink& sink, std::shared_ptr<SJournal> journal)
        : m_sink(sink), m_journal(std::move(journal)) {}
    void OnTermination() override {
      if (m_done) return;
      m_done = true;
      m_sink.Subscribe(std::make_shared<CRecordingSubscriber>(L"newcomer", m_journal));
    }
    std::wstring GetName() const override { return L"subscribing"; }

   private:
    CTermSink& m_sink;
    std::shared_ptr<SJournal> m_journal;
    bool m_done = false;
  };

  auto journal = std::make_shared<SJournal>();
  CTermSink sink;
  sink.Subscribe(std::make_shared<CSubscribingSubscriber>(sink, journal));
  sink.Subscribe(std::make_shared<CRecordingSubscriber>(L"existing", journal));
  sink.Notify();
  EXPECT_EQ((std::vector<std::wstring>{L"newcomer", L"existing"}), journal->Calls());
}

TEST(TermSinkTest, RejectsEmptySubscriber) {
  CTermSink sink;
  try {
    sink.Subscribe(nullptr);
    FAIL() << "an empty subscriber was accepted";
  } catch (const CExc& e) {
    EXPECT_EQ(E_INVALIDARG, e.GetCode());
  }
  EXPECT_NO_THROW(sink.Notify());
}

TEST(TermSinkTest, ProcessSinkStopsWorkerThroughMediator) {
  // The stop path end to end: a control thread notifies the process's sink,
  // the subscriber sets the termination event, the worker waiting on its
  // duplicate wakes and the one waiting on the mediator unwinds.
  class CSettingSubscriber : public CTermSink::CSubscriber {
   public:
    explicit CSettingSubscriber(std::shared_ptr<CTermMediator> term) : m_term(std::move(term)) {}
    void OnTermination() override { m_term->Set(); }
    std::wstring GetName() const override { return L"setting"; }

   private:
    std::shared_ptr<CTermMediator> m_term;
  };

  auto term = std::make_shared<CTermMediator>();
  CTermSink::Instance().Subscribe(std::make_shared<CSettingSubscriber>(term));

  auto handleWorker = std::make_shared<CThread>(
      [duplicate = std::make_shared<CKernelHandle>(term->Duplicate())] {
        return ::WaitForSingleObject(duplicate->Get(), INFINITE);
      },
      false);
  auto mediatorWorker = std::make_shared<CThread>(
      [term]() -> DWORD {
        term->WaitTermination(INFINITE);
        return 1;  // not reached: the wait ends by STermExc
      },
      false);
  auto control = std::make_shared<CThread>(
      [] {
        CTermSink::Instance().Notify();
        return DWORD{0};
      },
      false);
  ASSERT_TRUE(control->Wait(INFINITE));
  ASSERT_TRUE(handleWorker->Wait(INFINITE));
  ASSERT_TRUE(mediatorWorker->Wait(INFINITE));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), handleWorker->GetExitCode());
  EXPECT_EQ(0u, mediatorWorker->GetExitCode());
  EXPECT_TRUE(CTermSink::Instance().IsTerminationRequested());
}

}  // namespace
