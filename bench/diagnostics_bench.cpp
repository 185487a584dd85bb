// The diagnostics bundle against a log folder of thousands of old logs:
// writes 2,000 day-stamped logs of realistic text into the log folder, runs
// KorloGuestHelper.exe -collectDiagnostics and times it, twice: with logs
// that fit the bundle's bound (2,000 x 20 KB) and with logs that exceed it
// (2,000 x 80 KB). Removes its logs and bundles afterwards.
//
//   bench_diagnostics.exe <KorloGuestHelper.exe> <output folder>
#include "bench_util.h"
#include "logfile/log_folder.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kLogs = 2000;
constexpr int kRounds = 3;

std::vector<std::wstring> WriteOldLogs(const std::wstring& folder, size_t bytesEach) {
  bench::CVariedText text;
  std::wstring content = L"\xFEFF";
  while (content.size() * 2 < bytesEach) content += L"12/7/2026 5:00:00 AM  1234  INFO  " + text.Next() + L"\r\n";
  std::vector<std::wstring> paths;
  for (int i = 0; i < kLogs; ++i) {
    wchar_t name[64];
    std::swprintf(name, 64, L"\\KorloBenchOld_%08d.log", 20200000 + i);
    paths.push_back(folder + name);
    const HANDLE file = ::CreateFileW(paths.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(file, content.data(), static_cast<DWORD>(content.size() * 2), &written, nullptr);
    ::CloseHandle(file);
  }
  return paths;
}

// Seconds of one run, or a negative number when it failed.
double RunOnce(const std::wstring& program, const std::wstring& bundle) {
  bench::DeleteIfPresent(bundle);
  std::wstring line = L"\"" + program + L"\" -collectDiagnostics \"" + bundle + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  PROCESS_INFORMATION process = {};
  const double start = bench::NowSeconds();
  if (!::CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    return -1;
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  const double seconds = bench::NowSeconds() - start;
  DWORD code = 1;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hProcess);
  ::CloseHandle(process.hThread);
  ::CloseHandle(startup.hStdOutput);
  return code == 0 ? seconds : -1;
}

std::uint64_t SizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring program = bench::Argument(argc, argv, 1, L"KorloGuestHelper.exe");
  const std::wstring out = bench::Argument(argc, argv, 2, L".");
  const std::wstring folder = GetLogFolder();
  for (const size_t bytesEach : {20 * 1024, 80 * 1024}) {
    const std::vector<std::wstring> logs = WriteOldLogs(folder, bytesEach);
    const std::wstring bundle = out + L"\\diagnostics.cab";
    std::vector<double> times;
    for (int round = 0; round < kRounds; ++round) times.push_back(RunOnce(program, bundle));
    const double best = *std::min_element(times.begin(), times.end());
    std::printf("    %d old logs of %3u KB: -collectDiagnostics %6.2f s (median of %d), bundle %llu bytes%s\n", kLogs,
                static_cast<unsigned>(bytesEach / 1024), bench::Median(times), kRounds,
                static_cast<unsigned long long>(SizeOf(bundle)), best < 0 ? " FAILED" : "");
    std::printf("RESULT diagnostics_%u_kb_seconds=%.3f\n", static_cast<unsigned>(bytesEach / 1024),
                bench::Median(times));
    bench::DeleteIfPresent(bundle);
    for (const std::wstring& log : logs) bench::DeleteIfPresent(log);
  }
  return 0;
}
