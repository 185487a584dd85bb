// The server side of the ReferencePlugin RPC interface.
#include "plugin_log.h"
#include "plugin_state.h"
#include "base/win.h"

#include "reference_plugin.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <string>

extern "C" void* __RPC_USER MIDL_user_allocate(size_t size) { return ::HeapAlloc(::GetProcessHeap(), 0, size); }
extern "C" void __RPC_USER MIDL_user_free(void* block) { ::HeapFree(::GetProcessHeap(), 0, block); }

namespace refPlugin {

static_assert(kLockNameChars == RP_LOCK_NAME_CHARS, "the lock name's capacity is the interface's");

namespace {

std::atomic<bool> g_registered{false};

// Copies `text` into an RP_NAME_CHARS buffer, cut to fit.
void CopyName(const std::wstring& text, wchar_t* buffer) {
  const size_t chars = std::min<size_t>(text.size(), RP_NAME_CHARS - 1);
  std::wmemcpy(buffer, text.c_str(), chars);
  buffer[chars] = L'\0';
}

// True when the current call is authenticated at packet integrity or above,
// with the level and the authentication service in `caller`.
bool CallerIsAuthenticated(std::wstring& caller) {
  unsigned long level = RPC_C_AUTHN_LEVEL_NONE, service = RPC_C_AUTHN_NONE;
  RPC_AUTHZ_HANDLE privileges = nullptr;
  const RPC_STATUS status = ::RpcBindingInqAuthClientW(nullptr, &privileges, nullptr, &level, &service, nullptr);
  if (status != RPC_S_OK) {
    caller = L"status " + std::to_wstring(status);
    return false;
  }
  caller = L"level " + std::to_wstring(level) + L", service " + std::to_wstring(service);
  return service != RPC_C_AUTHN_NONE && level >= RPC_C_AUTHN_LEVEL_PKT_INTEGRITY;
}

// True when the current call may change the machine: authenticated (as
// above), and the caller's own token, taken by impersonating it, may remove
// the service (TokenMayRemove). `caller` says what was found.
bool CallerIsAdministrator(std::wstring& caller) {
  if (!CallerIsAuthenticated(caller)) return false;
  const RPC_STATUS status = ::RpcImpersonateClient(nullptr);
  if (status != RPC_S_OK) {
    caller += L", cannot impersonate: status " + std::to_wstring(status);
    return false;
  }
  HANDLE token = nullptr;
  const BOOL opened = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
  const DWORD error = ::GetLastError();
  ::RpcRevertToSelf();
  if (!opened) {
    caller += L", no token: error " + std::to_wstring(error);
    return false;
  }
  const bool allowed = TokenMayRemove(token, caller);
  ::CloseHandle(token);
  return allowed;
}

}  // namespace

DWORD RegisterRpcInterface() {
  // Registered for unauthenticated callers too, so that GetStatus works
  // without a domain; each routine that changes the machine checks its
  // caller itself (CallerIsAdministrator). No request may be larger than
  // kMaxRequestBytes: the run-time refuses it before any routine runs.
  const RPC_STATUS status =
      ::RpcServerRegisterIf2(ReferencePlugin_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH,
                             RPC_C_LISTEN_MAX_CALLS_DEFAULT, kMaxRequestBytes, nullptr);
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

error_status_t GetStatus(wchar_t* pluginName, wchar_t* logName, ULONG* processId, ULONG* state) {
  return refPlugin::RunGuarded<error_status_t>(L"RPC GetStatus", ERROR_INTERNAL_ERROR, [&]() -> error_status_t {
    const refPlugin::SStatus status = refPlugin::CurrentStatus();
    // Anyone may ask, so these lines are counted rather than each written,
    // and an unauthenticated caller learns nothing of the host process.
    std::wstring caller;
    const bool authenticated = refPlugin::CallerIsAuthenticated(caller);
    refPlugin::Log().WriteRepeatable(L"RPC GetStatus", L"RPC GetStatus (" + caller + L").");
    refPlugin::CopyName(status.pluginName, pluginName);
    refPlugin::CopyName(status.logName, logName);
    *processId = authenticated ? status.processId : 0;
    *state = status.state;
    return ERROR_SUCCESS;
  });
}

error_status_t RequestUninstall(boolean rebootRequired, const char fileLockName[RP_LOCK_NAME_CHARS],
                                RP_DECISION decision, boolean* started) {
  *started = 0;
  return refPlugin::RunGuarded<error_status_t>(L"RPC RequestUninstall", ERROR_INTERNAL_ERROR, [&]() -> error_status_t {
    std::wstring caller;
    if (!refPlugin::CallerIsAdministrator(caller)) {
      refPlugin::Log().WriteRepeatable(
          L"RPC RequestUninstall refused", L"RPC RequestUninstall refused: the caller may not remove the service (" +
                                               caller + L").");
      return ERROR_ACCESS_DENIED;
    }
    // The host puts the name on a command line and into file and event
    // names: only a plain file name stem goes on.
    if (!refPlugin::IsPlainLockName(fileLockName)) {
      refPlugin::Log().WriteRepeatable(L"RPC RequestUninstall refused",
                                       L"RPC RequestUninstall refused: the file lock name is not a plain file name.");
      return ERROR_INVALID_PARAMETER;
    }
    refPlugin::EDecision choice;
    switch (decision) {
      case RP_DECISION_NONE: choice = refPlugin::EDecision::kNone; break;
      case RP_DECISION_ACCEPT: choice = refPlugin::EDecision::kAccept; break;
      case RP_DECISION_CANCEL: choice = refPlugin::EDecision::kCancel; break;
      default:
        refPlugin::Log().WriteRepeatable(L"RPC RequestUninstall refused", L"RPC RequestUninstall: unknown decision [" +
                                                                              std::to_wstring(decision) + L"].");
        return ERROR_INVALID_PARAMETER;
    }
    bool answer = false;
    const DWORD result = refPlugin::RequestRemoval(rebootRequired != 0, fileLockName, choice, answer);
    *started = answer ? 1 : 0;
    return result;
  });
}
