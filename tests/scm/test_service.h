// The fixture service (tests/fixtures/fixture_service.cpp) registered in the
// service control manager under a name no other test uses, and deleted again
// (stopped first when it runs) on destruction.
#pragma once

#include "base/win.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace testing_support {

class CTestService {
 public:
  explicit CTestService(const std::wstring& mode) : m_name(L"KorloTestSvc_" + NewGuidText()) {
    m_manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    const std::wstring image = L"\"" + ProgramFolder() + L"\\fixture_service.exe\" " + mode + L" \"" +
                               RecordPath() + L"\"";
    if (m_manager != nullptr) {
      m_service = ::CreateServiceW(m_manager, m_name.c_str(), m_name.c_str(), SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                   image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    EXPECT_NE(nullptr, m_service) << "cannot create the fixture service, error " << ::GetLastError();
  }
  ~CTestService() {
    if (m_service != nullptr) {
      SERVICE_STATUS status = {};
      ::ControlService(m_service, SERVICE_CONTROL_STOP, &status);
      WaitState(SERVICE_STOPPED, 10000);
      ::DeleteService(m_service);
      ::CloseServiceHandle(m_service);
    }
    if (m_manager != nullptr) ::CloseServiceHandle(m_manager);
  }
  CTestService(const CTestService&) = delete;
  CTestService& operator=(const CTestService&) = delete;

  const std::wstring& Name() const { return m_name; }
  SC_HANDLE Handle() const { return m_service; }
  // Starts the service and waits until it runs.
  void Start() {
    ASSERT_TRUE(::StartServiceW(m_service, 0, nullptr)) << "error " << ::GetLastError();
    ASSERT_TRUE(WaitState(SERVICE_RUNNING, 15000));
  }
  DWORD State() const {
    SERVICE_STATUS status = {};
    return ::QueryServiceStatus(m_service, &status) ? status.dwCurrentState : 0;
  }
  bool WaitState(DWORD state, DWORD timeoutMs) const {
    for (DWORD waited = 0; waited <= timeoutMs; waited += 50) {
      if (State() == state) return true;
      ::Sleep(50);
    }
    return false;
  }
  // The stop controls the service has received, one "stop\n" each.
  std::string Record() const { return ReadFileBytes(RecordPath()); }

 private:
  std::wstring RecordPath() const { return m_dir / L"record.txt"; }

  CScratchDir m_dir;
  std::wstring m_name;
  SC_HANDLE m_manager = nullptr;
  SC_HANDLE m_service = nullptr;
};

}  // namespace testing_support
