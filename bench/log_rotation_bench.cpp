// One rotation of the live log: how long the line that crosses the limit
// waits (the whole content compressed at level 9), and the process memory
// before and after, which must not depend on the size of the log.
//
//   bench_log_rotation <folder> [limit in MiB, default 20]
//
// A limit above 20 MiB is set in the registry value AgentMaxLogSize for the
// run and put back afterwards. The content that is compressed is copied to
// <folder>\rotation_<limit>_input.log first, for a comparison with Linux
// gzip; the compressed file is <folder>\rotation_<limit>.log.gz.
#include "bench_util.h"
#include "logfile/file_writer.h"
#include "log/log.h"
#include "logfile/log_folder.h"
#include "settings/settings.h"
#include "base/handle.h"

#include <psapi.h>
#include <shellapi.h>

#include <memory>
#include <string>

namespace {

constexpr double kMiB = 1048576.0;

// Sets AgentMaxLogSize for the lifetime of the object; the previous state
// (value or none) comes back on destruction.
class CMaxLogSizeOverride {
 public:
  explicit CMaxLogSizeOverride(DWORD bytes) {
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          m_key.Receive(), nullptr) != ERROR_SUCCESS) {
      return;
    }
    DWORD size = sizeof(m_previous);
    DWORD type = 0;
    m_hadValue = ::RegQueryValueExW(m_key.Get(), L"AgentMaxLogSize", nullptr, &type,
                                    reinterpret_cast<BYTE*>(&m_previous), &size) == ERROR_SUCCESS &&
                 type == REG_DWORD;
    Set(bytes);
  }
  ~CMaxLogSizeOverride() {
    if (!m_key) return;
    if (m_hadValue) {
      Set(m_previous);
    } else {
      ::RegDeleteValueW(m_key.Get(), L"AgentMaxLogSize");
    }
  }

 private:
  void Set(DWORD bytes) {
    ::RegSetValueExW(m_key.Get(), L"AgentMaxLogSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&bytes),
                     sizeof(bytes));
  }

  CRegKey m_key;
  DWORD m_previous = 0;
  bool m_hadValue = false;
};

std::uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

PROCESS_MEMORY_COUNTERS_EX Memory() {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof(counters);
  ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof(counters));
  return counters;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  const std::wstring folder = bench::Argument(argc, argv, 1, L".");
  const unsigned limitMiB = static_cast<unsigned>(std::wcstoul(bench::Argument(argc, argv, 2, L"20").c_str(),
                                                               nullptr, 10));
  const std::wstring name = L"rotation_" + std::to_wstring(limitMiB);
  const std::wstring live = folder + L"\\" + name + L".log";
  const std::wstring input = folder + L"\\" + name + L"_input.log";
  for (const std::wstring& path : {live, live + L".gz", live.substr(0, live.size() - 4) + L".1.log.gz", input}) {
    bench::DeleteIfPresent(path);
  }

  std::unique_ptr<CMaxLogSizeOverride> override;
  if (limitMiB > 20) override = std::make_unique<CMaxLogSizeOverride>(limitMiB * 1048576u);
  auto writer = std::make_shared<CFileLogWriterWithRotation>(
      folder, name, true, std::make_shared<CLogHeaderWriter>(L"Version", nullptr));
  override.reset();
  g_log.SetWriter(writer);
  g_log.SetLevel(kLogMessage);

  // Fill the live file to just below the limit. The texts are all 80
  // characters long, so every line has the same size.
  bench::CVariedText texts;
  std::wstring line;
  AppendLogLine(line, kLogInfo, 0, bench::TypicalText(), true);
  const std::uint64_t lineBytes = line.size() * sizeof(wchar_t);
  const std::uint64_t limit = writer->GetMaxSize();
  const double fillStart = bench::NowSeconds();
  for (std::uint64_t i = 0; i < (limit - 8192) / lineBytes; ++i) g_log.Info(texts.Next());
  while (FileSize(live) + lineBytes <= limit) g_log.Info(texts.Next());
  const double fillSeconds = bench::NowSeconds() - fillStart;
  ::CopyFileW(live.c_str(), input.c_str(), FALSE);
  const std::uint64_t contentBytes = FileSize(live);

  const PROCESS_MEMORY_COUNTERS_EX before = Memory();
  const double start = bench::NowSeconds();
  g_log.Info(texts.Next());  // crosses the limit: compresses, empties, writes the header
  const double pause = bench::NowSeconds() - start;
  const PROCESS_MEMORY_COUNTERS_EX after = Memory();

  std::printf("(3) rotation at a limit of %.0f MiB: %.1f MiB compressed to %.2f MiB (filled in %.2f s)\n",
              limit / kMiB, contentBytes / kMiB, FileSize(live + L".gz") / kMiB, fillSeconds);
  std::printf("    pause of the rotating line     %7.3f s  (%.1f MiB/s)\n", pause, contentBytes / kMiB / pause);
  std::printf("RESULT limit_mib=%u rotation_seconds=%.3f input=%ls\n", limitMiB, pause, input.c_str());
  std::printf("(4) memory around the rotation (limit %.0f MiB)\n", limit / kMiB);
  std::printf("    peak working set   before %8.1f MiB  after %8.1f MiB  growth %6.2f MiB\n",
              before.PeakWorkingSetSize / kMiB, after.PeakWorkingSetSize / kMiB,
              (static_cast<double>(after.PeakWorkingSetSize) - static_cast<double>(before.PeakWorkingSetSize)) /
                  kMiB);
  // Wine reports no private bytes (0); its pagefile figure is the committed
  // memory.
  std::printf("    private bytes      before %8.1f MiB  after %8.1f MiB\n", before.PrivateUsage / kMiB,
              after.PrivateUsage / kMiB);
  std::printf("    peak pagefile use  before %8.1f MiB  after %8.1f MiB  growth %6.2f MiB\n",
              before.PeakPagefileUsage / kMiB, after.PeakPagefileUsage / kMiB,
              (static_cast<double>(after.PeakPagefileUsage) - static_cast<double>(before.PeakPagefileUsage)) /
                  kMiB);

  g_log.SetWriter(nullptr);
  ::LocalFree(argv);
  return 0;
}
