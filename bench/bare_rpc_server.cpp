// A bare server of the reference plugin's interface: the same IDL's stubs,
// routines that only fill in their answer, one static TCP endpoint. The
// yardstick for calls through the helper.
//   bench_bare_rpc_server.exe <port>     serves until the process is ended
#include "base/win.h"

#include "reference_plugin.h"

#include <cwchar>

error_status_t GetStatus(wchar_t* pluginName, wchar_t* logName, ULONG* processId, ULONG* state) {
  std::wcscpy(pluginName, L"BareServer");
  logName[0] = L'\0';
  *processId = ::GetCurrentProcessId();
  *state = RP_STATE_RUNNING;
  return ERROR_SUCCESS;
}

error_status_t RequestUninstall(boolean, const char*, RP_DECISION, boolean* started) {
  *started = 0;
  return ERROR_ACCESS_DENIED;
}

// The parameter type of the run-time's declaration (size_t, not SIZE_T, which
// is another type on x86): any other makes a C++ overload the stubs never call.
extern "C" void* __RPC_USER MIDL_user_allocate(size_t size) { return ::HeapAlloc(::GetProcessHeap(), 0, size); }
extern "C" void __RPC_USER MIDL_user_free(void* p) { ::HeapFree(::GetProcessHeap(), 0, p); }

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  RPC_WSTR protseq = reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncacn_ip_tcp"));
  RPC_WSTR endpoint = reinterpret_cast<RPC_WSTR>(argv[1]);
  if (::RpcServerUseProtseqEpW(protseq, RPC_C_PROTSEQ_MAX_REQS_DEFAULT, endpoint, nullptr) != RPC_S_OK) return 1;
  if (::RpcServerRegisterIf2(ReferencePlugin_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH,
                             RPC_C_LISTEN_MAX_CALLS_DEFAULT, static_cast<unsigned>(-1), nullptr) != RPC_S_OK) {
    return 1;
  }
  return ::RpcServerListen(2, RPC_C_LISTEN_MAX_CALLS_DEFAULT, FALSE) == RPC_S_OK ? 0 : 1;
}
