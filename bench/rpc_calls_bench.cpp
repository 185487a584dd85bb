// Reference-plugin calls per second through the running helper, against a
// bare server of the same interface, in one run: rounds of GetStatus calls
// on each in turn, over ncacn_ip_tcp on 127.0.0.1.
//   bench_rpc_calls.exe <helper port> <bare server exe> <bare port> [rounds] [seconds per round]
#include "bench_util.h"
#include "rpc_client.h"

#include <cstdio>
#include <string>

namespace {

// Calls per second of GetStatus against 127.0.0.1:<port> for `seconds`;
// 0 when a call fails.
double CallsPerSecond(const std::wstring& port, double seconds) {
  refPluginClient::CReferencePluginClient client(L"127.0.0.1", port);
  refPluginClient::SStatus status;
  if (client.GetStatus(status) != ERROR_SUCCESS) return 0;  // binds and warms up
  const double start = bench::NowSeconds();
  long calls = 0;
  double now = start;
  while (now - start < seconds) {
    if (client.GetStatus(status) != ERROR_SUCCESS) return 0;
    ++calls;
    now = bench::NowSeconds();
  }
  return calls / (now - start);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fputs("usage: bench_rpc_calls <helper port> <bare server exe> <bare port> [rounds] [seconds]\n", stderr);
    return 2;
  }
  const std::wstring helperPort = argv[1];
  const std::wstring barePort = argv[3];
  const int rounds = argc > 4 ? _wtoi(argv[4]) : 3;
  const double seconds = argc > 5 ? _wtof(argv[5]) : 3.0;

  std::wstring commandLine = L"\"" + std::wstring(argv[2]) + L"\" " + barePort;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
    std::fprintf(stderr, "cannot start the bare server: %lu\n", ::GetLastError());
    return 1;
  }
  ::Sleep(500);  // until it listens

  std::vector<double> helper, bare;
  for (int i = 0; i < rounds; ++i) {
    helper.push_back(CallsPerSecond(helperPort, seconds));
    bare.push_back(CallsPerSecond(barePort, seconds));
  }
  ::TerminateProcess(process.hProcess, 0);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);

  const double h = bench::Median(helper), b = bench::Median(bare);
  std::printf("    GetStatus calls per second, median of %d rounds of %.0f s\n", rounds, seconds);
  std::printf("      through the helper (reference plugin) %8.0f\n", h);
  std::printf("      bare server, same IDL                 %8.0f\n", b);
  std::printf("      helper / bare                         %8.2f   (target >= 0.95)\n", b > 0 ? h / b : 0.0);
  return h > 0 && b > 0 ? 0 : 1;
}
