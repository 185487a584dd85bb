// The read-only requests: the database's services, a service's configuration
// and status. Each runs on a worker under the object's timeout.
#include "scm/scm.h"

#include "base/exc.h"
#include "base/msg.h"
#include "scm/async_operation.h"

#include <algorithm>

std::vector<std::wstring> CScmManager::EnumServiceNames() {
  try {
    const auto names = std::make_shared<std::vector<std::wstring>>();
    CAsyncOperationWitoutRet operation([manager = m_manager, names] {
      std::vector<BYTE> buffer(64 * 1024);
      DWORD resume = 0;
      for (;;) {
        DWORD needed = 0;
        DWORD count = 0;
        const BOOL done = ::EnumServicesStatusExW(manager->Get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                                                  SERVICE_STATE_ALL, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                  &needed, &count, &resume, nullptr);
        const DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
        if (!done && error != ERROR_MORE_DATA) throw CWin32Exc(L"Cannot enumerate services.", error);
        const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) names->push_back(entries[i].lpServiceName);
        if (done) return;
        if (count == 0) buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
      }
    });
    operation.Run(m_timeoutMs);
    return *names;
  } catch (CExc& e) {
    e.AddContext(L"Cannot list the services. Machine: [%1].", m_machine);
    throw;
  }
}

CScmSvc::SConfig CScmSvc::QueryConfig() {
  try {
    const auto config = std::make_shared<SConfig>();
    CAsyncOperationWitoutRet operation([service = m_service, config] {
      DWORD needed = 0;
      ::QueryServiceConfigW(service->Get(), nullptr, 0, &needed);
      std::vector<BYTE> buffer(std::max<DWORD>(needed, sizeof(QUERY_SERVICE_CONFIGW)));
      auto* data = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
      if (!::QueryServiceConfigW(service->Get(), data, static_cast<DWORD>(buffer.size()), &needed)) {
        const DWORD error = ::GetLastError();
        throw CWin32Exc(L"Cannot query service configuration.", error);
      }
      config->serviceType = data->dwServiceType;
      config->startType = data->dwStartType;
      config->binaryPath = data->lpBinaryPathName ? data->lpBinaryPathName : L"";
      config->account = data->lpServiceStartName ? data->lpServiceStartName : L"";
      config->displayName = data->lpDisplayName ? data->lpDisplayName : L"";
    });
    operation.Run(m_timeoutMs);
    return *config;
  } catch (CExc& e) {
    e.AddContext(L"Cannot retrieve the configuration of the service. Machine: [%1]. Service: [%2].", m_machine,
                 m_name);
    throw;
  }
}

SERVICE_STATUS_PROCESS CScmSvc::QueryStatus() {
  try {
    const auto status = std::make_shared<SERVICE_STATUS_PROCESS>();
    CAsyncOperationWitoutRet operation([service = m_service, status] {
      DWORD needed = 0;
      if (!::QueryServiceStatusEx(service->Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status.get()),
                                  sizeof(SERVICE_STATUS_PROCESS), &needed)) {
        const DWORD error = ::GetLastError();
        throw CWin32Exc(L"Cannot query service status.", error);
      }
    });
    operation.Run(m_timeoutMs);
    return *status;
  } catch (CExc& e) {
    e.AddContext(L"Cannot retrieve the current status of the service. Machine: [%1]. Service: [%2].", m_machine,
                 m_name);
    throw;
  }
}
