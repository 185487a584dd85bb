#include "rpc_client.h"

#include "reference_plugin.h"

#include <functional>
#include <mutex>

extern "C" void* __RPC_USER MIDL_user_allocate(size_t size) { return ::HeapAlloc(::GetProcessHeap(), 0, size); }
extern "C" void __RPC_USER MIDL_user_free(void* block) { ::HeapFree(::GetProcessHeap(), 0, block); }

namespace refPluginClient {

namespace {

// True on a thread that runs a guarded call.
thread_local bool t_guarded = false;
// The filter ours replaced while a guarded call runs.
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;

LONG WINAPI EndGuardedThread(EXCEPTION_POINTERS* info) {
  if (t_guarded) ::ExitThread(info->ExceptionRecord->ExceptionCode);
  return g_previousFilter != nullptr ? g_previousFilter(info) : EXCEPTION_CONTINUE_SEARCH;
}

struct SGuardedCall {
  std::function<DWORD()> call;
  DWORD result = 0;
  bool returned = false;  // false: an exception ended the thread
};

DWORD WINAPI GuardedThread(void* param) {
  t_guarded = true;
  auto* guarded = static_cast<SGuardedCall*>(param);
  guarded->result = guarded->call();
  guarded->returned = true;
  return 0;
}

// Runs `call` on a thread of its own; an exception that ends that thread
// becomes the result and sets `raised`. Guarded calls run one at a time. Our
// filter is installed only while one runs and hands every other thread's
// exceptions to the filter it replaced (a crash handler), which is put back
// afterwards.
DWORD CallGuarded(std::function<DWORD()> call, bool& raised) {
  static std::mutex serial;
  std::lock_guard<std::mutex> lock(serial);
  SGuardedCall guarded;
  guarded.call = std::move(call);
  g_previousFilter = ::SetUnhandledExceptionFilter(EndGuardedThread);
  DWORD result = ERROR_SUCCESS;
  raised = false;
  const HANDLE thread = ::CreateThread(nullptr, 0, GuardedThread, &guarded, 0, nullptr);
  if (thread == nullptr) {
    result = ::GetLastError();
  } else {
    ::WaitForSingleObject(thread, INFINITE);
    DWORD exitCode = 0;
    ::GetExitCodeThread(thread, &exitCode);
    ::CloseHandle(thread);
    raised = !guarded.returned;
    result = raised ? exitCode : guarded.result;
  }
  ::SetUnhandledExceptionFilter(g_previousFilter);
  g_previousFilter = nullptr;
  return result;
}

}  // namespace

CReferencePluginClient::CReferencePluginClient(const std::wstring& host, const std::wstring& endpoint,
                                               const std::wstring& protocolSequence) {
  RPC_WSTR binding = nullptr;
  std::wstring protocol = protocolSequence, address = protocolSequence == L"ncalrpc" ? L"" : host,
               port = endpoint;
  m_bindStatus = ::RpcStringBindingComposeW(nullptr, reinterpret_cast<RPC_WSTR>(&protocol[0]),
                                            reinterpret_cast<RPC_WSTR>(&address[0]),
                                            reinterpret_cast<RPC_WSTR>(&port[0]), nullptr, &binding);
  if (m_bindStatus != RPC_S_OK) return;
  m_bindStatus = ::RpcBindingFromStringBindingW(binding, &m_binding);
  ::RpcStringFreeW(&binding);
  if (m_bindStatus != RPC_S_OK) return;
  std::wstring principal = L"KorloGuestHelperSvc/" + host;
  m_authStatus = ::RpcBindingSetAuthInfoExW(m_binding, reinterpret_cast<RPC_WSTR>(&principal[0]),
                                            RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_AUTHN_GSS_NEGOTIATE, nullptr,
                                            RPC_C_AUTHZ_NONE, nullptr);
}

CReferencePluginClient::~CReferencePluginClient() {
  // After a raised failure the binding is left as it is: freeing it could
  // wait for what the ended call still holds.
  if (m_binding != nullptr && m_raised == RPC_S_OK) ::RpcBindingFree(&m_binding);
}

DWORD CReferencePluginClient::Call(const std::function<DWORD()>& call) {
  if (m_bindStatus != RPC_S_OK) return m_bindStatus;
  if (m_raised != RPC_S_OK) return m_raised;
  bool raised = false;
  // Calls run one at a time (CallGuarded), so the implicit handle the stubs
  // use belongs to this call until it returns.
  const DWORD result = CallGuarded(
      [&] {
        ReferencePlugin_Binding = m_binding;
        return call();
      },
      raised);
  if (raised) m_raised = result;
  return result;
}

DWORD CReferencePluginClient::GetStatus(SStatus& status) {
  wchar_t pluginName[RP_NAME_CHARS] = {};
  wchar_t logName[RP_NAME_CHARS] = {};
  ULONG processId = 0, state = 0;
  const DWORD result = Call([&] { return ::GetStatus(pluginName, logName, &processId, &state); });
  status.pluginName = pluginName;
  status.logName = logName;
  status.processId = processId;
  status.state = state;
  return result;
}

DWORD CReferencePluginClient::RequestUninstall(bool rebootRequired, const std::string& fileLockName,
                                               EDecision decision, bool& started) {
  const RP_DECISION wire = decision == EDecision::kAccept   ? RP_DECISION_ACCEPT
                           : decision == EDecision::kCancel ? RP_DECISION_CANCEL
                                                            : RP_DECISION_NONE;
  boolean answer = 0;
  const DWORD result = Call(
      [&] { return ::RequestUninstall(rebootRequired ? 1 : 0, fileLockName.c_str(), wire, &answer); });
  started = answer != 0;
  return result;
}

}  // namespace refPluginClient
