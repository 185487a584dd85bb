// The fixture service (tests/fixtures/fixture_service.cpp) registered under a
// name no other test uses; stopped and deleted again on destruction.
#pragma once

#include "base/win.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace testing_support {

class CTestService {
 public:
  explicit CTestService(const std::wstring& mode) : m_name(L"KorloTestSvc_" + NewGuidText()) {
    const std::wstring image =
        L"\"" + ProgramFolder() + L"\\fixture_service.exe\" " + mode + L" \"" + (m_dir / L"record.txt") + L"\"";
    m_manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    m_service = ::CreateServiceW(m_manager, m_name.c_str(), m_name.c_str(), SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                 image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_NE(nullptr, m_service) << "cannot create the fixture service, error " << ::GetLastError();
  }
  ~CTestService() {
    SERVICE_STATUS status = {};
    ::ControlService(m_service, SERVICE_CONTROL_STOP, &status);
    WaitState(SERVICE_STOPPED, 10000);
    ::DeleteService(m_service);
    ::CloseServiceHandle(m_service);
    ::CloseServiceHandle(m_manager);
  }

  const std::wstring& Name() const { return m_name; }
  SC_HANDLE Handle() const { return m_service; }
  void Start() {
    ASSERT_TRUE(::StartServiceW(m_service, 0, nullptr)) << "error " << ::GetLastError();
    ASSERT_TRUE(WaitState(SERVICE_RUNNING, 15000));
  }
  DWORD State() const {
    SERVICE_STATUS status = {};
    return ::QueryServiceStatus(m_service, &status) ? status.dwCurrentState : 0;
  }
  bool WaitState(DWORD state, DWORD timeoutMs) const {
    for (DWORD waited = 0; State() != state; waited += 50) {
      if (waited >= timeoutMs) return false;
      ::Sleep(50);
    }
    return true;
  }
  // The stop controls the service has received, one "stop\n" each.
  std::string Record() const { return ReadFileBytes(m_dir / L"record.txt"); }

 private:
  CScratchDir m_dir;
  std::wstring m_name;
  SC_HANDLE m_manager = nullptr;
  SC_HANDLE m_service = nullptr;
};

}  // namespace testing_support
