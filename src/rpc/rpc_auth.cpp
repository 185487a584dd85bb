#include "rpc/rpc_auth.h"

#include "base/exc.h"
#include "base/msg.h"
#include "log/log.h"
#include "settings/settings.h"

#include <rpc.h>

#include <exception>

namespace rpc {

namespace {

constexpr ULONG kDcFlags = DS_RETURN_DNS_NAME | DS_WRITABLE_REQUIRED;  // 0x40001000

// Registers one authentication service for `spn`; a refusal is a warning.
bool RegisterAuthService(CDirectoryApi& api, const std::wstring& spn, unsigned long service, const wchar_t* name) {
  const long status = api.RegisterAuthInfo(spn.c_str(), service);
  if (status == RPC_S_OK) return true;
  g_log.Warning(FormatMsg(L"Cannot register authentication information with the [%1] authentication service. "
                          L"SPN : [%2].",
                          name, spn),
                CRpcExc(status));
  return false;
}

// A directory binding, released with DsUnBindW.
class CDsBinding {
 public:
  explicit CDsBinding(CDirectoryApi& api) : m_api(api) {}
  ~CDsBinding() {
    if (m_handle != nullptr) m_api.Unbind(&m_handle);
  }
  CDsBinding(const CDsBinding&) = delete;
  CDsBinding& operator=(const CDsBinding&) = delete;
  HANDLE* Receive() { return &m_handle; }
  HANDLE Get() const { return m_handle; }

 private:
  CDirectoryApi& m_api;
  HANDLE m_handle = nullptr;
};

std::wstring TextOrEmpty(const wchar_t* text) { return text != nullptr ? text : L""; }

}  // namespace

std::vector<std::wstring> GetServiceSpns(const std::wstring& serviceClass, CDirectoryApi& api) {
  if (serviceClass.empty()) throw CWin32Exc(L"ServiceName is empty", static_cast<DWORD>(E_FAIL));
  std::vector<std::wstring> spns;
  for (const DS_SPN_NAME_TYPE type : {DS_SPN_DNS_HOST, DS_SPN_NB_HOST}) {
    const DWORD result = api.GetSpns(type, serviceClass.c_str(), spns);
    if (result != ERROR_SUCCESS) throw CWin32Exc(L"Failed to get SPN (DsGetSpn)", result);
  }
  return spns;
}

void RegisterRpcAuthentication(const std::wstring& serviceClass, CDirectoryApi& api) {
  try {
    CLogStep step(g_log, L"Initializing RPC authentication service.");
    const std::vector<std::wstring> spns = GetServiceSpns(serviceClass, api);
    if (spns.empty()) {
      g_log.Warning(L"SPN list is empty");
      return;
    }
    for (const std::wstring& spn : spns) {
      g_log.Info(L"Service SPN: [%1]", spn);
      if (RegisterAuthService(api, spn, RPC_C_AUTHN_GSS_NEGOTIATE, L"RPC_C_AUTHN_GSS_NEGOTIATE")) continue;
      RegisterAuthService(api, spn, RPC_C_AUTHN_WINNT, L"RPC_C_AUTHN_WINNT");
      RegisterAuthService(api, spn, RPC_C_AUTHN_GSS_KERBEROS, L"RPC_C_AUTHN_GSS_KERBEROS");
    }
    step.Ok();
  } catch (CExc& e) {
    e.AddContext(L"Cannot initialize RPC authentication service.");
    throw;
  }
}

CDcInfoWrapper::~CDcInfoWrapper() {
  if (m_info == nullptr) return;
  try {
    if (m_api.FreeBuffer(m_info) != ERROR_SUCCESS) {
      const DWORD error = ::GetLastError();
      g_log.Error(L"NetApiBufferFree error: %1", GetSystemText(error));
    }
  } catch (...) {
    // Nothing more to do about a record that cannot be freed.
  }
}

std::wstring CDcInfoWrapper::DomainControllerName() const { return TextOrEmpty(m_info->DomainControllerName); }

std::wstring CDcInfoWrapper::DomainName() const { return TextOrEmpty(m_info->DomainName); }

std::shared_ptr<CDcInfoWrapper> CSpnRegistrar::FindDomainController() {
  try {
    CLogStep step(g_log, L"Getting Domain Controller");
    DOMAIN_CONTROLLER_INFOW* info = nullptr;
    const DWORD result = m_api.GetDcName(kDcFlags, &info);
    if (result != ERROR_SUCCESS) throw CWin32Exc(L"Failed to get Domain Controller name (DsGetDcName)", result);
    auto dc = std::make_shared<CDcInfoWrapper>(info, m_api);
    g_log.Info(L"Domain name: '%1'", dc->DomainName());
    g_log.Info(L"Domain Controller name: '%1'", dc->DomainControllerName());
    step.Ok();
    return dc;
  } catch (const CExc&) {
  } catch (const std::exception&) {
  }
  return nullptr;
}

std::wstring CSpnRegistrar::GetAccountDistinguishedName() {
  ULONG size = 0;
  const BOOLEAN sized = m_api.GetUserNameEx(NameFullyQualifiedDN, nullptr, &size);
  const DWORD sizeError = sized ? ERROR_SUCCESS : ::GetLastError();
  if (!(sized && size > 0) && !(!sized && sizeError == ERROR_MORE_DATA)) {
    throw CWin32Exc(L"Failed to get object distinguished name (GetUserNameExW): failed to get distinguished name "
                    L"size",
                    sizeError);
  }
  std::wstring name(size, L'\0');
  if (!m_api.GetUserNameEx(NameFullyQualifiedDN, &name[0], &size) || size == 0) {
    throw CWin32Exc(L"Failed to get distinguished name DN (GetUserNameExW)", kUseLastError);
  }
  name.resize(size);
  return name;
}

bool CSpnRegistrar::RegisterSpns() {
  try {
    if (!GetKerberosAutomaticSPNRegistration()) {
      g_log.Info(L"Kerberos automatic SPN registration is disabled (KerberosAutomaticSPNRegistration = %1).",
                 BoolText(false));
      return false;
    }
    const std::shared_ptr<CDcInfoWrapper> dc = FindDomainController();
    if (!dc) {
      g_log.Message(L"Domain Controller was not found. No need to register SPN");
      return false;
    }
    try {
      const std::wstring account = GetAccountDistinguishedName();
      CLogStep step(g_log, FormatMsg(L"Registering SPN for '%1' service on '%2'", m_serviceName, account));
      const std::vector<std::wstring> spns = GetServiceSpns(m_serviceClass, m_api);
      CDsBinding binding(m_api);
      {
        CLogStep bindStep(g_log, FormatMsg(L"Binding Domain Controller '%1' (Domain Name='%2')",
                                           dc->DomainControllerName(), dc->DomainName()));
        const DWORD result = m_api.Bind(dc->Get().DomainName, binding.Receive());
        if (result != ERROR_SUCCESS) throw CWin32Exc(L"Failed to bind Domain Controller (DsBindW)", result);
        bindStep.Ok();
      }
      if (spns.empty()) throw CExc(L"Failed to get SPN: SPN list is empty", E_FAIL);
      for (const std::wstring& spn : spns) {
        g_log.Info(L"Service Principal Name (SPN): %1", spn);
        const DWORD result = m_api.WriteAccountSpn(binding.Get(), DS_SPN_ADD_SPN_OP, account.c_str(), spn.c_str());
        if (result != ERROR_SUCCESS) {
          g_log.Error(L"Failed to register SPN '%1': Failed to write SPN to account (DsWriteAccountSpn): %2", spn,
                      GetSystemText(result));
        }
      }
      step.Ok();
      return true;
    } catch (const CExc& e) {
      g_log.Error(L"Failed to register SPN", e);
    }
  } catch (...) {
    // Never thrown out: the service starts without its SPNs.
  }
  return false;
}

}  // namespace rpc
