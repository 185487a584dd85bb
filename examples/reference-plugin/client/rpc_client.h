// A client of the reference plugin's RPC interface over ncacn_ip_tcp.
//
// The RPC run-time reports a failed call (server unreachable, interface not
// registered, ...) by raising a structured exception, which GCC-built code
// cannot catch. Each call therefore runs on a thread of its own; when the
// exception reaches the unhandled-exception filter on that thread, the filter
// ends the thread and the call returns the exception code. The thread ends
// without unwinding, so the run-time may keep what that call held: after
// such a failure the client makes no further calls (each returns the same
// code) and leaves its binding unfreed. Fine for a tool; a long-running
// process wants a compiler with structured exception frames.
#pragma once

#include "base/win.h"

#include <rpc.h>

#include <functional>
#include <string>

namespace refPluginClient {

struct SStatus {
  std::wstring pluginName;
  std::wstring logName;
  unsigned long processId = 0;
  unsigned long state = 0;  // RP_STATE_* bits
};

enum class EDecision { kNone, kAccept, kCancel };

class CReferencePluginClient {
 public:
  // Binds to <protocolSequence>:<host>[<endpoint>] (ncalrpc: the host is
  // ignored); nothing is sent until the first call. BindStatus tells whether
  // the binding was made. The binding then asks for Negotiate at packet
  // privacy with this process's credentials, for the SPN the guest helper
  // registers ("KorloGuestHelperSvc/<host>"); where that is refused
  // (AuthStatus), calls go out unauthenticated and RequestUninstall answers
  // ERROR_ACCESS_DENIED.
  CReferencePluginClient(const std::wstring& host, const std::wstring& endpoint,
                         const std::wstring& protocolSequence = L"ncacn_ip_tcp");
  ~CReferencePluginClient();
  CReferencePluginClient(const CReferencePluginClient&) = delete;
  CReferencePluginClient& operator=(const CReferencePluginClient&) = delete;

  RPC_STATUS BindStatus() const { return m_bindStatus; }
  RPC_STATUS AuthStatus() const { return m_authStatus; }

  // Each call returns 0, the RPC failure of the call, or the server's
  // Win32 error code. Calls may come from any thread; they run one at a time.
  DWORD GetStatus(SStatus& status);
  DWORD RequestUninstall(bool rebootRequired, const std::string& fileLockName, EDecision decision, bool& started);

 private:
  DWORD Call(const std::function<DWORD()>& call);

  RPC_BINDING_HANDLE m_binding = nullptr;
  RPC_STATUS m_bindStatus = RPC_S_OK;
  RPC_STATUS m_authStatus = RPC_S_OK;
  DWORD m_raised = RPC_S_OK;  // the code of the failure that ended a call
};

}  // namespace refPluginClient
