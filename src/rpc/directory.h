// The directory-service client, SPN construction and RPC authentication
// registration, behind one small interface. The service uses the system's
// functions (SystemDirectoryApi); tests stand in a domain of their own.
//
// Each method mirrors one platform function and returns its status as that
// function does; nothing here logs or throws.
#pragma once

#include "base/win.h"

#include <dsgetdc.h>
#include <ntdsapi.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>

#include <string>
#include <vector>

namespace rpc {

class CDirectoryApi {
 public:
  virtual ~CDirectoryApi() = default;

  // DsGetDcNameW for the local computer, no domain, GUID or site name.
  // A record handed out is released with FreeBuffer.
  virtual DWORD GetDcName(ULONG flags, DOMAIN_CONTROLLER_INFOW** info) = 0;
  // NetApiBufferFree.
  virtual DWORD FreeBuffer(void* buffer) = 0;
  // DsBindW with no controller name; a binding handed out is released with
  // Unbind.
  virtual DWORD Bind(const wchar_t* domainName, HANDLE* binding) = 0;
  virtual DWORD Unbind(HANDLE* binding) = 0;
  // DsGetSpnW(type, serviceClass, no service name, port 0, no instances);
  // appends the SPNs to `spns` in their order (the array is freed with
  // DsFreeSpnArrayW here).
  virtual DWORD GetSpns(DS_SPN_NAME_TYPE type, const wchar_t* serviceClass, std::vector<std::wstring>& spns) = 0;
  // DsWriteAccountSpnW with one SPN.
  virtual DWORD WriteAccountSpn(HANDLE binding, DS_SPN_WRITE_OP operation, const wchar_t* account,
                                const wchar_t* spn) = 0;
  // GetUserNameExW; the failure is in the last error.
  virtual BOOLEAN GetUserNameEx(EXTENDED_NAME_FORMAT format, wchar_t* buffer, ULONG* size) = 0;
  // RpcServerRegisterAuthInfoW with no key function and no argument.
  virtual long RegisterAuthInfo(const wchar_t* principal, unsigned long authnService) = 0;
};

// The system's functions. Where the platform's DsGetSpnW is a stub that
// raises an exception (Wine), the SPNs are built from the computer's fully
// qualified DNS name and its NetBIOS name, as "<class>/<host>", which is what
// DsGetSpnW gives for a host with no service name, port or instance.
CDirectoryApi& SystemDirectoryApi();

// True when the process runs under Wine (ntdll exports wine_get_version).
bool RunsUnderWine();

}  // namespace rpc
