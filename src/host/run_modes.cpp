#include "host/run_modes.h"

#include "host/svc_ctx.h"
#include "log/log.h"
#include "plugins/guest_cfg_file.h"
#include "plugins/plugin.h"
#include "plugins/term.h"
#include "base/exc.h"
#include "diag/diagnostics.h"
#include "util/file.h"
#include "logfile/log_folder.h"
#include "util/thread.h"
#include "uninstall/removal.h"

#include <cstdio>

namespace {


// The plugin of the one-shot runs, loaded as a hosted plugin is (same export
// checks and log lines) but without a work thread. On leaving, the
// termination event is signalled, the (absent) work thread waited for and
// the library unloaded.
class COneShotPlugin {
 public:
  explicit COneShotPlugin(const CSvcCtx& ctx)
      : m_event(true, false),
        m_termination(std::make_shared<CTermMediator>()),
        m_plugin(std::make_shared<CPlugin>(cfg::kVssPluginName, GetLogFolder(), m_termination, m_event.GetHandle(), ctx.IsPersistent(),
                                           ctx.IsFlr())) {}
  ~COneShotPlugin() {
    m_termination->Set();
    m_plugin->WaitThread();
    m_plugin.reset();
  }
  COneShotPlugin(const COneShotPlugin&) = delete;
  COneShotPlugin& operator=(const COneShotPlugin&) = delete;

  CPlugin& Get() { return *m_plugin; }

 private:
  CEvent m_event;
  std::shared_ptr<CTermMediator> m_termination;
  std::shared_ptr<CPlugin> m_plugin;
};

void ConsoleWrite(const std::wstring& text) {
  std::fputs(ToAnsi(text).c_str(), stdout);
  std::fflush(stdout);
}

// One key press, without echo and without waiting for Enter. When standard
// input is not a console (a pipe or a file), one byte of it counts as the key.
void WaitForKey() {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return;
  if (!::GetConsoleMode(input, &mode)) {
    char byte = 0;
    DWORD read = 0;
    ::ReadFile(input, &byte, 1, &read, nullptr);
    return;
  }
  ::SetConsoleMode(input, mode & ~(ENABLE_ECHO_INPUT | ENABLE_LINE_INPUT));
  ::FlushConsoleInputBuffer(input);
  for (;;) {
    INPUT_RECORD record;
    DWORD read = 0;
    if (!::ReadConsoleInputW(input, &record, 1, &read) || read == 0) break;
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) break;
  }
  ::SetConsoleMode(input, mode);
}

}  // namespace

void RunInjectVss(CSvcCtx& ctx) {
  COneShotPlugin plugin(ctx);
  auto* injectVss = ProcCast<HvInjectVssFn*>(plugin.Get().GetProc(plugin::kHvInjectVss));
  injectVss();
}

void RunDesktopSnapshotTest(CSvcCtx& ctx) {
  COneShotPlugin plugin(ctx);
  auto* invoke = ProcCast<TestInvokerFn*>(plugin.Get().GetProc(plugin::kTestInvoker));
  ConsoleWrite(FormatMsg(L"Starting desktop snapshot, wait a minute. See log for details - '%1'.\n",
                         g_log.GetLogPath()));
  invoke(plugin::kTestOpStart, 0, 0);
  invoke(plugin::kTestOpWaitReady, 0, 0);
  const std::wstring dumpPath = CombinePath(GetModuleFolder(), L"VolumesDump.xml");
  ConsoleWrite(FormatMsg(L"Snapshot is ready. Volumes dump can be found here: '%1'.\n", dumpPath));
  invoke(plugin::kTestOpDumpVolumesXml, reinterpret_cast<UINT_PTR>(dumpPath.c_str()), 0);
  ConsoleWrite(L"Press any key to terminate snapshot...\n");
  WaitForKey();
  invoke(plugin::kTestOpFinish, 0, 0);
}

void RunUninstall(CSvcCtx& ctx) { uninstall::RunUninstall(ctx.GetOptions()); }


int RunCollectDiagnostics(CSvcCtx& ctx) {
  diag::SRequest request;
  request.target = ctx.GetOptions().at(L"collectDiagnostics");
  request.commandLine = ::GetCommandLineW();
  request.serviceName = ctx.GetServiceName();
  try {
    request.config = ctx.GetConfig();
  } catch (const CExc&) {
    // Reported in the summary as a configuration that could not be loaded.
  }
  return diag::CollectDiagnostics(request);
}
