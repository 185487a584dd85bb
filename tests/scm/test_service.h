// The fixture service (tests/fixtures/fixture_service.cpp) registered under a
// name no other test uses; stopped and deleted again on destruction.
#pragma once

#include "base/exc.h"
#include "svc_control.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace testing_support {

class CTestService {
 public:
  explicit CTestService(const std::wstring& mode) : m_name(L"KorloTestSvc_" + NewGuidText()) {
    svcctl::Create(m_name, L"\"" + ProgramFolder() + L"\\fixture_service.exe\" " + mode + L" \"" +
                               (m_dir / L"record.txt") + L"\"");
  }
  ~CTestService() {
    try {
      svcctl::Control(m_name, SERVICE_CONTROL_STOP);
    } catch (const CExc&) {  // stopped already
    }
    WaitState(SERVICE_STOPPED, 10000);
    svcctl::Delete(m_name);
  }

  const std::wstring& Name() const { return m_name; }
  void Start() {
    svcctl::Start(m_name);
    ASSERT_TRUE(WaitState(SERVICE_RUNNING, 15000));
  }
  DWORD State() const { return svcctl::Query(m_name).dwCurrentState; }
  bool WaitState(DWORD state, DWORD timeoutMs) const { return svcctl::WaitForState(m_name, state, timeoutMs); }
  // The stop controls the service has received, one "stop\n" each.
  std::string Record() const { return ReadFileBytes(m_dir / L"record.txt"); }

 private:
  CScratchDir m_dir;
  std::wstring m_name;
};

}  // namespace testing_support
