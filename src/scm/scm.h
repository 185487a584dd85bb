// Typed access to the service control manager: connecting, opening a
// service, stopping it with a bounded wait, deleting it. Every request that
// can block inside the system runs as a time-limited asynchronous operation
// with the object's timeout, so a hung manager costs the caller at most that
// time ("Task function timeout [<ms>]" inside the operation's context line).
// Failures are CWin32Exc whose messages name the machine and the service.
//
// The objects are used by one thread at a time; each request runs on a
// worker of its own while the caller waits.
#pragma once

#include "base/handle.h"
#include "base/win.h"

#include <memory>
#include <string>
#include <vector>

// Owns one manager or service handle; CloseServiceHandle when the last
// shared pointer goes.
class CScmHandle {
 public:
  explicit CScmHandle(SC_HANDLE handle) : m_handle(handle) {}
  CScmHandle(const CScmHandle&) = delete;
  CScmHandle& operator=(const CScmHandle&) = delete;

  SC_HANDLE Get() const { return m_handle.Get(); }

 private:
  CScHandle m_handle;
};

class CScmSvc;

class CScmManager {
 public:
  static constexpr DWORD kNoTimeout = INFINITE;

  // OpenSCManagerW, directly (not on a worker), on the active database;
  // machine empty: the local machine. The timeout starts as kNoTimeout.
  CScmManager(const std::wstring& machine, DWORD rights);

  // OpenServiceW with the rights. The service shares the manager handle and
  // may outlive this object; it takes the manager's timeout.
  std::shared_ptr<CScmSvc> OpenService(const std::wstring& name, DWORD rights);

  void SetTimeout(DWORD timeoutMs) { m_timeoutMs = timeoutMs; }

  // Names of the database's Win32 services (EnumServicesStatusExW); needs
  // SC_MANAGER_ENUMERATE_SERVICE.
  std::vector<std::wstring> EnumServiceNames();

 private:
  std::wstring m_machine;
  std::shared_ptr<CScmHandle> m_manager;
  DWORD m_timeoutMs = kNoTimeout;
};

class CScmSvc {
 public:
  CScmSvc(std::shared_ptr<CScmHandle> manager, std::shared_ptr<CScmHandle> service, DWORD timeoutMs,
          const std::wstring& machine, const std::wstring& name);

  // Stops the service: returns at once when it is stopped; sends
  // SERVICE_CONTROL_STOP unless it is already stop-pending; then reads the
  // state up to `polls` times, 1000 ms apart, until it is stopped. A service
  // still not stopped after the polls is no failure. `termination` (may be
  // null) is checked after each poll: when set, STermExc is thrown.
  void Stop(unsigned polls, HANDLE termination = nullptr);
  // DeleteService. A running service is deleted once it stops.
  void Delete();
  // dwCurrentState of QueryServiceStatus.
  DWORD GetCurrentState();

  // What QueryServiceConfigW reports (needs SERVICE_QUERY_CONFIG).
  struct SConfig {
    DWORD serviceType = 0;
    DWORD startType = 0;
    std::wstring binaryPath;
    std::wstring account;
    std::wstring displayName;
  };
  SConfig QueryConfig();
  // QueryServiceStatusEx: the state with the process id.
  SERVICE_STATUS_PROCESS QueryStatus();

  void SetTimeout(DWORD timeoutMs) { m_timeoutMs = timeoutMs; }
  const std::wstring& GetName() const { return m_name; }

 private:
  void SendControl(DWORD control);

  std::shared_ptr<CScmHandle> m_manager;
  std::shared_ptr<CScmHandle> m_service;
  DWORD m_timeoutMs;
  std::wstring m_machine;
  std::wstring m_name;
};

// The name a service state goes by in the manager's own tools: "STOPPED",
// "START_PENDING", ..., "unknown" for a value that is none of them.
const wchar_t* ServiceStateName(DWORD state);
