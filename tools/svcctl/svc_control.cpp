#include "svc_control.h"

#include "base/exc.h"
#include "base/msg.h"

namespace svcctl {

namespace {

CScHandle OpenManager(DWORD access) {
  CScHandle manager(::OpenSCManagerW(nullptr, nullptr, access));
  if (!manager) throw CWin32Exc(L"Cannot open the service control manager.", kUseLastError);
  return manager;
}

CScHandle OpenSvc(const std::wstring& name, DWORD access) {
  const CScHandle manager = OpenManager(SC_MANAGER_CONNECT);
  CScHandle service(::OpenServiceW(manager.Get(), name.c_str(), access));
  if (!service) throw CWin32Exc(FormatMsg(L"Cannot open service [%1].", name), kUseLastError);
  return service;
}

}  // namespace

void Create(const std::wstring& name, const std::wstring& commandLine) {
  const CScHandle manager = OpenManager(SC_MANAGER_CREATE_SERVICE);
  const CScHandle service(::CreateServiceW(manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) throw CWin32Exc(FormatMsg(L"Cannot create service [%1].", name), kUseLastError);
}

void Start(const std::wstring& name) {
  const CScHandle service = OpenSvc(name, SERVICE_START);
  if (!::StartServiceW(service.Get(), 0, nullptr)) {
    throw CWin32Exc(FormatMsg(L"Cannot start service [%1].", name), kUseLastError);
  }
}

SERVICE_STATUS Control(const std::wstring& name, DWORD control) {
  const CScHandle service = OpenSvc(name, SERVICE_STOP | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL);
  SERVICE_STATUS status = {};
  if (!::ControlService(service.Get(), control, &status)) {
    throw CWin32Exc(FormatMsg(L"Cannot send control [%1] to service [%2].", DecText(static_cast<int>(control)), name),
                    kUseLastError);
  }
  return status;
}

void Delete(const std::wstring& name) {
  const CScHandle manager = OpenManager(SC_MANAGER_CONNECT);
  const CScHandle service(::OpenServiceW(manager.Get(), name.c_str(), DELETE));
  if (!service) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return;
    throw CWin32Exc(FormatMsg(L"Cannot open service [%1].", name), error);
  }
  if (!::DeleteService(service.Get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
    throw CWin32Exc(FormatMsg(L"Cannot delete service [%1].", name), kUseLastError);
  }
}

SERVICE_STATUS Query(const std::wstring& name) {
  SERVICE_STATUS status = {};
  const CScHandle manager = OpenManager(SC_MANAGER_CONNECT);
  const CScHandle service(::OpenServiceW(manager.Get(), name.c_str(), SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return status;
    throw CWin32Exc(FormatMsg(L"Cannot open service [%1].", name), error);
  }
  if (!::QueryServiceStatus(service.Get(), &status)) {
    throw CWin32Exc(FormatMsg(L"Cannot query service [%1].", name), kUseLastError);
  }
  return status;
}

DWORD ProcessId(const std::wstring& name) {
  const CScHandle service = OpenSvc(name, SERVICE_QUERY_STATUS);
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed)) {
    throw CWin32Exc(FormatMsg(L"Cannot query service [%1].", name), kUseLastError);
  }
  return status.dwProcessId;
}

bool WaitForState(const std::wstring& name, DWORD state, DWORD timeoutMs, DWORD pollMs,
                  const std::function<void(const SERVICE_STATUS&)>& seen) {
  SERVICE_STATUS last = {};
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    const SERVICE_STATUS status = Query(name);
    if (seen && (status.dwCurrentState != last.dwCurrentState || status.dwCheckPoint != last.dwCheckPoint)) {
      seen(status);
    }
    last = status;
    if (status.dwCurrentState == state) return true;
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(pollMs);
  }
}

}  // namespace svcctl
