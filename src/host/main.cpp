// Process entry: COM, the service context, and the dispatch into exactly one
// run mode.
#include "base/com_ptr.h"
#include "base/exc.h"
#include "base/msg.h"
#include "crash/crash_handler.h"
#include "host/run_modes.h"
#include "host/service.h"
#include "host/svc_ctx.h"
#include "log/log.h"

namespace {

// Every failure is logged; the exit code does not report it, except in the
// diagnostics run, whose code tells the operator whether the bundle is made.
int HostMain(int argc, wchar_t** argv) {
  // COM stays initialised until the process ends (never uninitialised): the
  // context's configuration document and other singletons release their COM
  // pointers during static destruction, after this function has returned.
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  InitComSecurity();
  SetMsgModule(::GetModuleHandleW(nullptr));
  int exitCode = 0;
  try {
    CSvcCtx::SetArguments(argc, argv);
    const std::shared_ptr<CSvcCtx> ctx = CSvcCtx::Instance();
    if (ctx->IsPersistent()) g_log.Info(L"working in persistent mode");

    if (ctx->HasOption(L"collectDiagnostics")) {
      exitCode = RunCollectDiagnostics(*ctx);
    } else if (ctx->IsInjectVss()) {
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
  return exitCode;
}

}  // namespace

// The crash handler covers every run mode: a structured exception that ends
// HostMain ends the process with exit code 1 after the dump.
int wmain(int argc, wchar_t** argv) {
  CCrashHandler::Instance().Install();
  return crash::RunInCrashFrame([&] { return HostMain(argc, argv); });
}
