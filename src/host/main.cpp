// Process entry: COM, the service context, and the dispatch into exactly one
// run mode.
#include "host/run_modes.h"
#include "host/svc_ctx.h"
#include "log/log.h"
#include "util/exc.h"
#include "util/msg.h"

#include <objbase.h>

namespace {

// Every failure is logged; the exit code does not report it.
int HostMain() {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  InitComSecurity();
  SetMsgModule(::GetModuleHandleW(nullptr));
  try {
    const std::shared_ptr<CSvcCtx> ctx = CSvcCtx::Instance();
    if (ctx->IsPersistent()) g_log.Info(L"working in persistent mode");

    if (ctx->IsInjectVss()) {
      RunInjectVss(*ctx);
    } else if (ctx->HasOption(L"uninstall")) {
      RunUninstall(*ctx);
    } else if (ctx->HasOption(L"desktopSnapshot")) {
      RunDesktopSnapshotTest(*ctx);
    } else if (ctx->IsDbg()) {
      RunServiceBody(*ctx, true);
    } else {
      RunServiceDispatcher(*ctx);
    }
  } catch (const CExc& e) {
    g_log.Error(e.GetFullText());
  }
  return 0;
}

}  // namespace

int wmain(int, wchar_t**) { return HostMain(); }
