#include "rpc/directory.h"

#include <lm.h>
#include <rpc.h>

namespace rpc {

namespace {

// SPN of a host as DsGetSpnW builds it, from the computer name of `format`.
DWORD SpnFromComputerName(COMPUTER_NAME_FORMAT format, const wchar_t* serviceClass, std::vector<std::wstring>& spns) {
  DWORD size = 0;
  ::GetComputerNameExW(format, nullptr, &size);
  if (size == 0) return ::GetLastError();
  std::wstring name(size, L'\0');
  if (!::GetComputerNameExW(format, &name[0], &size)) return ::GetLastError();
  name.resize(size);
  if (name.empty()) return ERROR_INVALID_COMPUTERNAME;
  spns.push_back(std::wstring(serviceClass) + L"/" + name);
  return ERROR_SUCCESS;
}

class CSystemDirectoryApi : public CDirectoryApi {
 public:
  DWORD GetDcName(ULONG flags, DOMAIN_CONTROLLER_INFOW** info) override {
    return ::DsGetDcNameW(nullptr, nullptr, nullptr, nullptr, flags, info);
  }
  DWORD FreeBuffer(void* buffer) override { return ::NetApiBufferFree(buffer); }
  DWORD Bind(const wchar_t* domainName, HANDLE* binding) override {
    return ::DsBindW(nullptr, domainName, binding);
  }
  DWORD Unbind(HANDLE* binding) override { return ::DsUnBindW(binding); }

  DWORD GetSpns(DS_SPN_NAME_TYPE type, const wchar_t* serviceClass, std::vector<std::wstring>& spns) override {
    if (m_underWine) {
      // Wine's DsGetSpnW raises an exception that ends the process.
      return SpnFromComputerName(type == DS_SPN_NB_HOST ? ComputerNameNetBIOS : ComputerNameDnsFullyQualified,
                                 serviceClass, spns);
    }
    DWORD count = 0;
    LPWSTR* array = nullptr;
    const DWORD result = ::DsGetSpnW(type, serviceClass, nullptr, 0, 0, nullptr, nullptr, &count, &array);
    if (result != ERROR_SUCCESS) return result;
    for (DWORD i = 0; i < count; ++i) spns.emplace_back(array[i]);
    ::DsFreeSpnArrayW(count, array);
    return ERROR_SUCCESS;
  }

  DWORD WriteAccountSpn(HANDLE binding, DS_SPN_WRITE_OP operation, const wchar_t* account,
                        const wchar_t* spn) override {
    LPCWSTR spns[] = {spn};
    return ::DsWriteAccountSpnW(binding, operation, account, 1, spns);
  }

  BOOLEAN GetUserNameEx(EXTENDED_NAME_FORMAT format, wchar_t* buffer, ULONG* size) override {
    return ::GetUserNameExW(format, buffer, size);
  }

  long RegisterAuthInfo(const wchar_t* principal, unsigned long authnService) override {
    return ::RpcServerRegisterAuthInfoW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(principal)), authnService,
                                        nullptr, nullptr);
  }

 private:
  const bool m_underWine = RunsUnderWine();
};

}  // namespace

bool RunsUnderWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

CDirectoryApi& SystemDirectoryApi() {
  static CSystemDirectoryApi api;
  return api;
}

}  // namespace rpc
