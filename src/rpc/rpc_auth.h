// RPC authentication and service principal names (SPNs): the SPN list of a
// service class, the registration of the authentication services with the
// RPC run-time for each SPN, and the writing of the SPNs to the account the
// service runs as in Active Directory.
//
// All of it runs once on the service's run thread during start, before
// listening begins. The directory and authentication calls go through a
// CDirectoryApi, the system's by default.
#pragma once

#include "rpc/directory.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace rpc {

// The service class the guest helper registers its SPNs for.
inline constexpr wchar_t kServiceClass[] = L"KorloGuestHelperSvc";

// The SPNs of `serviceClass` on this host: first those for the host's DNS
// name, then those for its NetBIOS name, each "<class>/<host>". Throws
// CWin32Exc for an empty class and for a failed look-up.
std::vector<std::wstring> GetServiceSpns(const std::wstring& serviceClass,
                                         CDirectoryApi& api = SystemDirectoryApi());

// Registers Negotiate for every SPN of `serviceClass`; only where Negotiate is
// refused are NTLM and Kerberos registered for that SPN, each on its own.
// Refusals are logged as warnings and never stop the service. Logged as a
// step. Throws CExc (with "Cannot initialize RPC authentication service." in
// front) only when the SPN list cannot be built.
void RegisterRpcAuthentication(const std::wstring& serviceClass, CDirectoryApi& api = SystemDirectoryApi());

// Owns the domain-controller record of DsGetDcNameW and frees it with
// NetApiBufferFree on destruction (a failure is logged, never thrown).
class CDcInfoWrapper {
 public:
  CDcInfoWrapper(DOMAIN_CONTROLLER_INFOW* info, CDirectoryApi& api) : m_info(info), m_api(api) {}
  ~CDcInfoWrapper();
  CDcInfoWrapper(const CDcInfoWrapper&) = delete;
  CDcInfoWrapper& operator=(const CDcInfoWrapper&) = delete;

  const DOMAIN_CONTROLLER_INFOW& Get() const { return *m_info; }
  std::wstring DomainControllerName() const;
  std::wstring DomainName() const;

 private:
  DOMAIN_CONTROLLER_INFOW* m_info;
  CDirectoryApi& m_api;
};

// Writes the SPNs of a service class to the account the service runs as (the
// computer account for the local system account) when the registry setting
// KerberosAutomaticSPNRegistration allows it.
class CSpnRegistrar {
 public:
  // serviceName: shown in the log; serviceClass: the class of the SPNs.
  CSpnRegistrar(std::wstring serviceName, std::wstring serviceClass, CDirectoryApi& api = SystemDirectoryApi())
      : m_serviceName(std::move(serviceName)), m_serviceClass(std::move(serviceClass)), m_api(api) {}

  // True when the SPNs were processed (a refused write of one SPN is logged
  // and the others are still tried); false when disabled, when no domain
  // controller is found or when the registration failed. Never throws.
  bool RegisterSpns();

  // The writable domain controller (DS_RETURN_DNS_NAME | DS_WRITABLE_REQUIRED),
  // logged as a step; empty when none was found.
  std::shared_ptr<CDcInfoWrapper> FindDomainController();

 private:
  std::wstring GetAccountDistinguishedName();

  std::wstring m_serviceName;
  std::wstring m_serviceClass;
  CDirectoryApi& m_api;
};

}  // namespace rpc
