// The server side of the ReferencePlugin RPC interface.
#include "plugin_log.h"
#include "plugin_state.h"
#include "base/win.h"

#include "reference_plugin.h"

#include <algorithm>
#include <atomic>
#include <cwchar>

extern "C" void* __RPC_USER MIDL_user_allocate(size_t size) { return ::HeapAlloc(::GetProcessHeap(), 0, size); }
extern "C" void __RPC_USER MIDL_user_free(void* block) { ::HeapFree(::GetProcessHeap(), 0, block); }

namespace refPlugin {

namespace {

std::atomic<bool> g_registered{false};

// Copies `text` into an RP_NAME_CHARS buffer, cut to fit.
void CopyName(const std::wstring& text, wchar_t* buffer) {
  const size_t chars = std::min<size_t>(text.size(), RP_NAME_CHARS - 1);
  std::wmemcpy(buffer, text.c_str(), chars);
  buffer[chars] = L'\0';
}

}  // namespace

DWORD RegisterRpcInterface() {
  // No authentication is demanded, so that the client works without a
  // domain. A plugin whose calls change the machine checks its callers in a
  // security callback (RpcBindingInqAuthClientW, RpcImpersonateClient).
  const RPC_STATUS status =
      ::RpcServerRegisterIf2(ReferencePlugin_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH,
                             RPC_C_LISTEN_MAX_CALLS_DEFAULT, static_cast<unsigned>(-1), nullptr);
  if (status == RPC_S_OK) g_registered = true;
  return status;
}

void UnregisterRpcInterface() {
  if (!g_registered.exchange(false)) return;
  const RPC_STATUS status = ::RpcServerUnregisterIf(ReferencePlugin_v1_0_s_ifspec, nullptr, TRUE);
  if (status == RPC_S_OK) {
    Log().Write(L"RPC interface unregistered.");
  } else {
    Log().Write(WithError(L"Cannot unregister the RPC interface.", status));
  }
}

}  // namespace refPlugin

// Manager routines, called on the RPC run-time's threads.

error_status_t GetStatus(handle_t /*binding*/, wchar_t* pluginName, wchar_t* logName, ULONG* processId,
                         ULONG* state) {
  const refPlugin::SStatus status = refPlugin::CurrentStatus();
  refPlugin::Log().Write(L"RPC GetStatus.");
  refPlugin::CopyName(status.pluginName, pluginName);
  refPlugin::CopyName(status.logName, logName);
  *processId = status.processId;
  *state = status.state;
  return ERROR_SUCCESS;
}

error_status_t RequestUninstall(handle_t /*binding*/, boolean rebootRequired, const char* fileLockName,
                                RP_DECISION decision, boolean* started) {
  *started = 0;
  refPlugin::EDecision choice;
  switch (decision) {
    case RP_DECISION_NONE: choice = refPlugin::EDecision::kNone; break;
    case RP_DECISION_ACCEPT: choice = refPlugin::EDecision::kAccept; break;
    case RP_DECISION_CANCEL: choice = refPlugin::EDecision::kCancel; break;
    default:
      refPlugin::Log().Write(L"RPC RequestUninstall: unknown decision [" + std::to_wstring(decision) + L"].");
      return ERROR_INVALID_PARAMETER;
  }
  bool answer = false;
  const DWORD result = refPlugin::RequestRemoval(rebootRequired != 0, fileLockName, choice, answer);
  *started = answer ? 1 : 0;
  return result;
}
