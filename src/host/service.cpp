#include "host/service.h"

#include "host/svc_ctx.h"
#include "log/log.h"
#include "base/exc.h"
#include "base/msg.h"

#include <objbase.h>

void InitComSecurity() {
  g_log.Info(L"Initializing COM security");
  const HRESULT hr = ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                            RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
  if (FAILED(hr)) {
    g_log.Warning(L"Failed to set COM security value for the process. %1", HexText(static_cast<std::uint32_t>(hr)));
  }
}

namespace {

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  try {
    RunServiceBody(*CSvcCtx::Instance(), false);
  } catch (const CExc& e) {
    g_log.Error(e.GetFullText());
  }
}

}  // namespace

void RunServiceDispatcher(CSvcCtx& ctx) {
  std::wstring name = ctx.GetServiceName();
  const SERVICE_TABLE_ENTRYW table[] = {{&name[0], ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) {
    throw CWin32Exc(L"Cannot start service control dispatcher.", kUseLastError);
  }
}

void RunServiceBody(CSvcCtx&, bool) {
  g_log.Info(L"Initializing service...");
  throw CExc(L"The service run is not available in this build.", E_NOTIMPL);
}
