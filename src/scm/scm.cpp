#include "scm/scm.h"

#include "base/exc.h"
#include "base/msg.h"
#include "scm/async_operation.h"

namespace {

constexpr DWORD kStopPollIntervalMs = 1000;

}  // namespace

CScmManager::CScmManager(const std::wstring& machine, DWORD rights) : m_machine(machine) {
  const SC_HANDLE handle =
      ::OpenSCManagerW(machine.empty() ? nullptr : machine.c_str(), SERVICES_ACTIVE_DATABASEW, rights);
  if (handle == nullptr) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(FormatMsg(L"Cannot connect to remote SCM database. Machine: [%1]. Requested rights: [%2].",
                              machine, HexText(rights)),
                    error);
  }
  m_manager = std::make_shared<CScmHandle>(handle);
}

std::shared_ptr<CScmSvc> CScmManager::OpenService(const std::wstring& name, DWORD rights) {
  try {
    // The task keeps copies of what it uses: a worker that cannot be ended
    // may outlive this object.
    CAsyncOperation<std::shared_ptr<CScmSvc>> operation(
        [manager = m_manager, timeout = m_timeoutMs, machine = m_machine, name, rights] {
          const SC_HANDLE handle = ::OpenServiceW(manager->Get(), name.c_str(), rights);
          if (handle == nullptr) {
            const DWORD error = ::GetLastError();
            throw CWin32Exc(L"Cannot open service.", error);
          }
          return std::make_shared<CScmSvc>(manager, std::make_shared<CScmHandle>(handle), timeout, machine, name);
        });
    return operation.Run(m_timeoutMs);
  } catch (CExc& e) {
    e.AddContext(L"Cannot open service. Machine: [%1]. Service name: [%2].", m_machine, name);
    throw;
  }
}

CScmSvc::CScmSvc(std::shared_ptr<CScmHandle> manager, std::shared_ptr<CScmHandle> service, DWORD timeoutMs,
                 const std::wstring& machine, const std::wstring& name)
    : m_manager(std::move(manager)),
      m_service(std::move(service)),
      m_timeoutMs(timeoutMs),
      m_machine(machine),
      m_name(name) {}

void CScmSvc::Stop(unsigned polls, HANDLE termination) {
  try {
    const DWORD state = GetCurrentState();
    if (state == SERVICE_STOPPED) return;
    if (state != SERVICE_STOP_PENDING) SendControl(SERVICE_CONTROL_STOP);
    for (unsigned round = 0; round < polls; ++round) {
      if (GetCurrentState() == SERVICE_STOPPED) return;
      if (termination != nullptr && ::WaitForSingleObject(termination, 0) == WAIT_OBJECT_0) throw STermExc();
      ::Sleep(kStopPollIntervalMs);
    }
  } catch (CExc& e) {
    e.AddContext(L"Cannot stop service. Machine: [%1]. Service: [%2].", m_machine, m_name);
    throw;
  }
}

void CScmSvc::Delete() {
  try {
    CAsyncOperationWitoutRet operation([service = m_service] {
      if (!::DeleteService(service->Get())) {
        const DWORD error = ::GetLastError();
        throw CWin32Exc(L"Cannot delete service.", error);
      }
    });
    operation.Run(m_timeoutMs);
  } catch (CExc& e) {
    e.AddContext(L"Cannot delete service. Machine: [%1]. Service name: [%2].", m_machine, m_name);
    throw;
  }
}

DWORD CScmSvc::GetCurrentState() {
  try {
    // The record is shared with the task, not left on this stack for it.
    const auto status = std::make_shared<SERVICE_STATUS>();
    CAsyncOperationWitoutRet operation([service = m_service, status] {
      if (!::QueryServiceStatus(service->Get(), status.get())) {
        const DWORD error = ::GetLastError();
        throw CWin32Exc(L"Cannot query service status.", error);
      }
    });
    operation.Run(m_timeoutMs);
    return status->dwCurrentState;
  } catch (CExc& e) {
    e.AddContext(L"Cannot retrieve the current status of the service. Machine: [%1]. Service: [%2].", m_machine,
                 m_name);
    throw;
  }
}

// Each task holds the service handle through its own copy of the shared
// pointer: a worker that cannot be ended may outlive this object.

void CScmSvc::SendControl(DWORD control) {
  CAsyncOperationWitoutRet operation([service = m_service, control] {
    SERVICE_STATUS status = {};
    if (!::ControlService(service->Get(), control, &status)) {
      const DWORD error = ::GetLastError();
      throw CWin32Exc(L"Cannot notify the service that it should be stopped.", error);
    }
  });
  operation.Run(m_timeoutMs);
}
