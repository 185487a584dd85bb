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
    CAsyncOperation<std::shared_ptr<CScmSvc>> operation([this, name, rights] { return DoOpenService(name, rights); });
    return operation.Run(m_timeoutMs);
  } catch (CExc& e) {
    e.AddContext(L"Cannot open service. Machine: [%1]. Service name: [%2].", m_machine, name);
    throw;
  }
}

// On the worker.
std::shared_ptr<CScmSvc> CScmManager::DoOpenService(const std::wstring& name, DWORD rights) {
  const SC_HANDLE handle = ::OpenServiceW(m_manager->Get(), name.c_str(), rights);
  if (handle == nullptr) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(L"Cannot open service.", error);
  }
  auto service = std::make_shared<CScmHandle>(handle);
  return std::make_shared<CScmSvc>(m_manager, std::move(service), m_timeoutMs, m_machine, name);
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
    CAsyncOperationWitoutRet operation([this] { DoDelete(); });
    operation.Run(m_timeoutMs);
  } catch (CExc& e) {
    e.AddContext(L"Cannot delete service. Machine: [%1]. Service name: [%2].", m_machine, m_name);
    throw;
  }
}

DWORD CScmSvc::GetCurrentState() {
  try {
    SERVICE_STATUS status = {};
    CAsyncOperationWitoutRet operation([this, &status] { QueryStatus(status); });
    operation.Run(m_timeoutMs);
    return status.dwCurrentState;
  } catch (CExc& e) {
    e.AddContext(L"Cannot retrieve the current status of the service. Machine: [%1]. Service: [%2].", m_machine,
                 m_name);
    throw;
  }
}

// The tasks below run on the workers. They hold the handles through the
// shared pointers captured with `this`; the caller keeps the object alive
// until the operation is released, which ends a hung worker.

void CScmSvc::QueryStatus(SERVICE_STATUS& status) {
  if (!::QueryServiceStatus(m_service->Get(), &status)) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(L"Cannot query service status.", error);
  }
}

void CScmSvc::SendControl(DWORD control) {
  CAsyncOperationWitoutRet operation([this, control] {
    SERVICE_STATUS status = {};
    if (!::ControlService(m_service->Get(), control, &status)) {
      const DWORD error = ::GetLastError();
      throw CWin32Exc(L"Cannot notify the service that it should be stopped.", error);
    }
  });
  operation.Run(m_timeoutMs);
}

void CScmSvc::DoDelete() {
  if (!::DeleteService(m_service->Get())) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(L"Cannot delete service.", error);
  }
}
