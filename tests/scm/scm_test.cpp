#include "scm/async_operation.h"
#include "scm/scm.h"

#include "exc_checks.h"
#include "log_capture.h"
#include "test_service.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using testing_support::CatchExc;
using testing_support::CTestService;

DWORD ElapsedSince(DWORD start) { return ::GetTickCount() - start; }

TEST(AsyncOperationTest, TaskFailureArrivesWithItsOwnType) {
  CAsyncOperationWitoutRet operation([] { throw CWin32Exc(L"Cannot do it.", ERROR_ACCESS_DENIED); });
  const auto e = CatchExc<CWin32Exc>([&] { operation.Run(5000); });
  ASSERT_TRUE(e);
  EXPECT_EQ(static_cast<std::int32_t>(0x80070005), e->GetCode());
  EXPECT_EQ(L"Cannot do it.", e->GetMessages().front());
  EXPECT_TRUE(testing_support::IsCauseLine(e->GetMessages().back(), L"Win32", L"5"));
}

// Its release ends the hung worker, or logs that it cannot (TerminateThread
// fails) and leaves it running with the task's own state.
struct CHungOperation : CAsyncOperation<int> {
  CHungOperation(Task task, bool endable) : CAsyncOperation<int>(std::move(task)), m_endable(endable) {}
  ~CHungOperation() override { EndWorker(); }
  bool TerminateWorker(CThread& thread, DWORD& error) override {
    return (error = ERROR_ACCESS_DENIED, m_endable) && thread.Terminate(error);
  }
  bool m_endable;
};

// Either way the caller waits at most the limit, release included.
TEST(AsyncOperationTest, HungTaskTimesOutAndItsReleaseDoesNotWaitForIt) {
  for (const bool endable : {true, false}) {
    SCOPED_TRACE(endable ? "ended" : "cannot be ended");
    const auto finished = std::make_shared<std::atomic<bool>>(false);
    testing_support::CLogCapture log;
    const DWORD start = ::GetTickCount();
    {
      CHungOperation operation([finished] { return ::Sleep(800), *finished = true, 1; }, endable);
      const auto e = CatchExc([&] { operation.Run(100); });
      ASSERT_TRUE(e);
      EXPECT_EQ(L"Task function timeout [100]", e->GetFullText());
      EXPECT_EQ(static_cast<std::int32_t>(E_FAIL), e->GetCode());
    }
    EXPECT_LT(ElapsedSince(start), 600u);
    ::Sleep(1000);
    EXPECT_EQ(!endable, finished->load());
    bool logged = false;
    for (const auto& line : log.Lines()) logged |= line.text.find(L"Unable to terminate async task") != std::wstring::npos;
    EXPECT_EQ(!endable, logged);
  }
}

TEST(ScmTest, StoppingStoppedServiceSendsNoControl) {
  CTestService fixture(L"normal");
  CScmManager manager(L"", SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  manager.SetTimeout(10000);
  const auto service = manager.OpenService(fixture.Name(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), service->GetCurrentState());
  // A control to a stopped service fails (1062): getting through proves none was sent.
  service->Stop(5);
  EXPECT_EQ("", fixture.Record());
}

TEST(ScmTest, StopPendingServiceIsWaitedForWithoutSecondControl) {
  CTestService fixture(L"pendingstop");
  fixture.Start();
  svcctl::Control(fixture.Name(), SERVICE_CONTROL_STOP);
  ASSERT_TRUE(fixture.WaitState(SERVICE_STOP_PENDING, 5000));

  CScmManager manager(L"", SC_MANAGER_CONNECT);
  const auto service = manager.OpenService(fixture.Name(), SERVICE_STOP | SERVICE_QUERY_STATUS);
  service->Stop(30);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), fixture.State());
  EXPECT_EQ("stop\n", fixture.Record());
}

TEST(ScmTest, HungStopRequestTimesOut) {
  CTestService fixture(L"slowstop");
  fixture.Start();
  CScmManager manager(L"", SC_MANAGER_CONNECT);
  manager.SetTimeout(500);
  const auto service = manager.OpenService(fixture.Name(), SERVICE_STOP | SERVICE_QUERY_STATUS);
  const DWORD start = ::GetTickCount();
  const auto e = CatchExc([&] { service->Stop(30); });
  ASSERT_TRUE(e);
  // The handler answers after 3000 ms; the caller and the release of the
  // hung worker do not wait for it.
  EXPECT_LT(ElapsedSince(start), 2500u);
  ASSERT_EQ(2u, e->GetMessages().size());
  EXPECT_EQ(FormatMsg(L"Cannot stop service. Machine: []. Service: [%1].", fixture.Name()), e->GetMessages()[0]);
  EXPECT_EQ(L"Task function timeout [500]", e->GetMessages()[1]);
}

}  // namespace
