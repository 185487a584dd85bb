// KorloSvcCtl: installs, starts, stops, queries and deletes a service, for the
// demo and for trying the helper as a real service by hand.
//   KorloSvcCtl create <name> <command line>
//   KorloSvcCtl start <name>        waits until RUNNING, printing each state
//   KorloSvcCtl stop <name>         waits until STOPPED, printing each state
//   KorloSvcCtl query <name>
//   KorloSvcCtl delete <name>
// Exit code 0 on success, 1 on failure (the reason on stderr), 2 on bad usage.
#include "base/exc.h"
#include "base/msg.h"
#include "scm/scm.h"
#include "svc_control.h"

#include <cstdio>
#include <string>

namespace {

constexpr DWORD kStateLimitMs = 60000;

void Print(const std::wstring& text) {
  std::fputs(ToAnsi(text + L"\n").c_str(), stdout);
  std::fflush(stdout);
}

void PrintStatus(const std::wstring& name, const SERVICE_STATUS& status) {
  Print(FormatMsg(L"%1: %2 (check point %3, wait hint %4 ms)", name, ServiceStateName(status.dwCurrentState),
                  DecText(static_cast<int>(status.dwCheckPoint)), DecText(static_cast<int>(status.dwWaitHint))));
}

bool WaitFor(const std::wstring& name, DWORD state) {
  const bool reached = svcctl::WaitForState(name, state, kStateLimitMs, 50,
                                            [&](const SERVICE_STATUS& status) { PrintStatus(name, status); });
  if (!reached) Print(FormatMsg(L"%1: no %2 within %3 ms", name, ServiceStateName(state), DecText(kStateLimitMs)));
  return reached;
}

int Run(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const std::wstring command = argv[1];
  const std::wstring name = argv[2];
  if (command == L"create" && argc == 4) {
    svcctl::Create(name, argv[3]);
    Print(FormatMsg(L"%1: created", name));
    return 0;
  }
  if (argc != 3) return 2;
  if (command == L"start") {
    svcctl::Start(name);
    return WaitFor(name, SERVICE_RUNNING) ? 0 : 1;
  }
  if (command == L"stop") {
    svcctl::Control(name, SERVICE_CONTROL_STOP);
    return WaitFor(name, SERVICE_STOPPED) ? 0 : 1;
  }
  if (command == L"query") {
    PrintStatus(name, svcctl::Query(name));
    return 0;
  }
  if (command == L"delete") {
    svcctl::Delete(name);
    Print(FormatMsg(L"%1: deleted", name));
    return 0;
  }
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  try {
    const int result = Run(argc, argv);
    if (result == 2) std::fputs("usage: KorloSvcCtl create|start|stop|query|delete <name> [command line]\n", stderr);
    return result;
  } catch (const CExc& e) {
    std::fputs(ToAnsi(e.GetFullText() + L"\n").c_str(), stderr);
    return 1;
  }
}
