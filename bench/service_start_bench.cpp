// StartService -> RUNNING for the helper hosting the reference plugin, against
// a do-nothing service, in one run: both installed as real services, started
// and stopped in turns.
//   bench_service_start.exe <helper folder> <bare service exe> [rounds]
// The helper folder holds KorloGuestHelper.exe, KorloVssSupport.dll and
// KorloAgentConfig.xml.
#include "bench_util.h"
#include "svc_control.h"

#include "base/exc.h"
#include "base/msg.h"

#include <cstdio>

namespace {

constexpr DWORD kLimitMs = 60000;

// Seconds from StartServiceW until the service reports RUNNING; the service
// is stopped again before this returns.
double StartToRunning(const std::wstring& name) {
  const double start = bench::NowSeconds();
  svcctl::Start(name);
  if (!svcctl::WaitForState(name, SERVICE_RUNNING, kLimitMs, 2)) throw CExc(L"No RUNNING for [%1].", name, E_FAIL);
  const double seconds = bench::NowSeconds() - start;
  svcctl::Control(name, SERVICE_CONTROL_STOP);
  if (!svcctl::WaitForState(name, SERVICE_STOPPED, kLimitMs, 10)) throw CExc(L"No STOPPED for [%1].", name, E_FAIL);
  return seconds;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: bench_service_start <helper folder> <bare service exe> [rounds]\n", stderr);
    return 2;
  }
  const std::wstring helper = L"KorloBenchHelper";
  const std::wstring bare = L"KorloBenchBare";
  const int rounds = argc > 3 ? _wtoi(argv[3]) : 7;
  int result = 0;
  try {
    svcctl::Delete(helper);
    svcctl::Delete(bare);
    svcctl::Create(helper, L"\"" + std::wstring(argv[1]) + L"\\KorloGuestHelper.exe\"");
    svcctl::Create(bare, L"\"" + std::wstring(argv[2]) + L"\"");
    std::vector<double> helperTimes, bareTimes;
    for (int i = 0; i < rounds; ++i) {
      helperTimes.push_back(StartToRunning(helper));
      bareTimes.push_back(StartToRunning(bare));
    }
    const double h = bench::Median(helperTimes), b = bench::Median(bareTimes);
    std::printf("    StartService -> RUNNING, median of %d\n", rounds);
    std::printf("      helper with the reference plugin %8.1f ms\n", h * 1000);
    std::printf("      do-nothing service               %8.1f ms\n", b * 1000);
    std::printf("      helper / do-nothing              %8.2f   (target <= 1.5)\n", h / b);
  } catch (const CExc& e) {
    std::fputs(ToAnsi(e.GetFullText() + L"\n").c_str(), stderr);
    result = 1;
  }
  svcctl::Delete(helper);
  svcctl::Delete(bare);
  return result;
}
